#!/usr/bin/env bash
# The main job: builds dravdump, encodes a body holding a few small values
# and a compressed 200 KB binary value, and dumps it back.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${DRAV_BUILD_ROOT:-$root/build}/linux
cd "$root"
scripts/install-deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target dravdump -j "$(nproc)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# 200 KB of log-like text: realistic, and compressible.
for i in $(seq 1 6000); do printf 'line %05d: sample payload for the demo\n' "$i"; done >"$work/payload.bin"
truncate -s 204800 "$work/payload.bin"

dravdump="$build/tools/dravdump/dravdump"
echo "encoding: int:5 string:abc bool:true double:2.5 utf8:żółw bin:@payload.bin (204800 bytes)"
"$dravdump" --encode -o "$work/body.bin" int:5 string:abc bool:true double:2.5 utf8:żółw "bin:@$work/payload.bin"
echo "body: $(stat -c %s "$work/body.bin") bytes on the wire"
echo "dumping it back:"
"$dravdump" "$work/body.bin"
