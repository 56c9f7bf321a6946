#!/usr/bin/env bash
# The main job, end to end: builds the tools, starts dravbridge (the sample
# bridge) on a free 127.0.0.1 port, calls it with dravcall (small values, a
# 5 MB binary value that travels compressed, a chunked call with an extra
# blob, a streamed binary answer), prints what came back, and stops the host.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# A tree of its own without the suites: the demo needs only the build profile
# of the packages, and leaves the test command's build/linux as it was.
build=${DRAV_BUILD_ROOT:-$root/build}/demo
cd "$root"
scripts/install-deps.sh build
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAV_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target dravbridge dravcall dravdump -j "$(nproc)"

work=$(mktemp -d)
bridge_pid=
cleanup() {
  [ -n "$bridge_pid" ] && kill "$bridge_pid" 2>/dev/null && wait "$bridge_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

dravcall="$build/tools/dravcall/dravcall"
"$build/tools/dravbridge/dravbridge" --address 127.0.0.1 --port 0 >"$work/bridge.out" 2>&1 &
bridge_pid=$!
url=
for _ in $(seq 1 100); do  # up to 10 s for the host to listen
  url=$(grep -o 'http://[^ ]*' "$work/bridge.out" | head -1 || true)
  [ -n "$url" ] && break
  kill -0 "$bridge_pid" 2>/dev/null || { cat "$work/bridge.out"; exit 1; }
  sleep 0.1
done
[ -n "$url" ] || { echo "dravbridge did not start"; cat "$work/bridge.out"; exit 1; }
echo "dravbridge is serving the sample bridge at $url"

step() { printf '\n$ dravcall %s\n' "$*"; }

step "$url sample echo int:5 string:abc bool:true double:2.5 utf8:żółw"
"$dravcall" "$url" sample echo int:5 string:abc bool:true double:2.5 utf8:żółw

step "$url sample sum int:1 long:2 short:3 double:0.5"
"$dravcall" "$url" sample sum int:1 long:2 short:3 double:0.5

# 5 MB of log-like text: at or above the 64000-byte threshold, so it is
# compressed on the way out and decompressed by the bridge.
awk 'BEGIN { for (i = 1; i <= 130000; i++) printf "line %06d: sample payload for the demo\n", i }' >"$work/payload.bin"
truncate -s 5000000 "$work/payload.bin"
"$build/tools/dravdump/dravdump" --encode -o "$work/body.bin" "bin:@$work/payload.bin" 2>/dev/null
echo
echo "a 5000000-byte binary value takes $(stat -c %s "$work/body.bin") bytes in the body (compressed)"
step "$url sample echo bin:@payload.bin (5000000 bytes)"
"$dravcall" "$url" sample echo "bin:@$work/payload.bin"

# The extra blob follows the arguments in 64 KiB chunks; the bridge reads it
# chunk by chunk and answers with its size and checksum.
head -c 3000000 /dev/urandom >"$work/blob.bin"
step "--chunk-size 65536 --extra-blob blob.bin $url sample checksumExtraBlob string:blob (3000000 bytes)"
"$dravcall" --chunk-size 65536 --extra-blob "$work/blob.bin" "$url" sample checksumExtraBlob string:blob

step "--streaming OUT --output result.bin $url sample generateBinary int:2000000"
"$dravcall" --streaming OUT --output "$work/result.bin" "$url" sample generateBinary int:2000000
echo "saved $(stat -c %s "$work/result.bin") bytes"

echo
echo "stopping dravbridge"
