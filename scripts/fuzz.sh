#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and the sanitizers, then runs each
# for a bounded time on a copy of its seed corpus (SECONDS_IN_ALL shared
# among them, as many at once as there are cores). Any crash, leak or
# sanitizer report fails. Usage: fuzz.sh BUILD_DIR [SECONDS_IN_ALL]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/fuzz}
total=${2:-${DRAV_FUZZ_SECONDS:-120}}
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDRAV_SANITIZE=ON -DDRAV_BUILD_FUZZ=ON -DDRAV_BUILD_TESTS=OFF -DDRAV_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzzers
targets=("$build"/fuzz/fuzz_*)
[ -e "${targets[0]}" ] || { echo "no fuzz targets"; exit 0; }
per=$(( total / ${#targets[@]} ))
[ "$per" -ge 5 ] || per=5
# Each target fuzzes for its share on a core of its own, as many at once as
# there are cores: the same seconds each, the stage in a fraction of the time.
jobs=${DRAV_JOBS:-$(nproc)}
fuzz() {  # fuzz TARGET: its run, its log kept for the report
  local t=$1 name=${1##*/fuzz_}
  local work="$build/corpus/$name"
  rm -rf "$work"; mkdir -p "$work" "$build/artifacts"
  [ -d "$root/fuzz/corpus/$name" ] && cp -r "$root/fuzz/corpus/$name/." "$work/"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$t" -max_total_time="$per" -rss_limit_mb=2048 -max_len=65536 -print_final_stats=0 \
    -artifact_prefix="$build/artifacts/$name-" "$work" 2>"$build/$name.log"
}
declare -A running=()  # pid -> target
failed=()
reap() {
  local pid status=0
  wait -n -p pid "${!running[@]}" || status=$?
  [ "$status" -eq 0 ] || failed+=("${running[$pid]}")
  unset "running[$pid]"
}
echo "fuzzing ${#targets[@]} targets for ${per}s each, $jobs at once"
for t in "${targets[@]}"; do
  [ "${#running[@]}" -lt "$jobs" ] || reap
  fuzz "$t" &
  running[$!]=$t
done
while [ "${#running[@]}" -gt 0 ]; do reap; done
for t in "${targets[@]}"; do
  name=${t##*/fuzz_}
  printf '%s: ' "$name"
  grep -E '^(#[0-9]+ *DONE|Done )' "$build/$name.log" | tail -1 || echo
done
for t in "${failed[@]}"; do
  name=${t##*/fuzz_}
  tail -60 "$build/$name.log"
  echo "fuzz target $name failed"
done
[ "${#failed[@]}" -eq 0 ]
