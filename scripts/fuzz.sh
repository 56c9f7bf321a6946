#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and the sanitizers, then runs each
# for a bounded time on a copy of its seed corpus. Any crash, leak or
# sanitizer report fails. Usage: fuzz.sh BUILD_DIR [SECONDS_IN_ALL]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/fuzz}
total=${2:-${DRAV_FUZZ_SECONDS:-120}}
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDRAV_SANITIZE=ON -DDRAV_BUILD_FUZZ=ON -DDRAV_BUILD_TESTS=OFF -DDRAV_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
targets=("$build"/fuzz/fuzz_*)
[ -e "${targets[0]}" ] || { echo "no fuzz targets"; exit 0; }
per=$(( total / ${#targets[@]} ))
[ "$per" -ge 5 ] || per=5
for t in "${targets[@]}"; do
  name=${t##*/fuzz_}
  work="$build/corpus/$name"
  rm -rf "$work"; mkdir -p "$work" "$build/artifacts"
  [ -d "$root/fuzz/corpus/$name" ] && cp -r "$root/fuzz/corpus/$name/." "$work/"
  echo "fuzzing $name for ${per}s"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$t" -max_total_time="$per" -rss_limit_mb=2048 -max_len=65536 -print_final_stats=0 \
    -artifact_prefix="$build/artifacts/$name-" "$work" 2>"$build/$name.log" \
    || { tail -60 "$build/$name.log"; echo "fuzz target $name failed"; exit 1; }
  grep -E '^(#[0-9]+ *DONE|Done )' "$build/$name.log" | tail -1 || true
done
