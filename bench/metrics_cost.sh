#!/usr/bin/env bash
# What counting calls for /metrics costs the host, in one run: two dravbridge
# processes on their default settings, one with the admin listener (and so
# the metrics) on, wrk posting the sample bridge's echo call at 64 keep-alive
# connections to each in turn, six rounds (on a shared machine the noise is
# larger than the cost: read the median), then the count the admin listener
# shows. A benchmark, not a test: it prints figures and fails only when
# something cannot start. About 70 s.
#
#   bench/metrics_cost.sh [BUILD_DIR]     (default build/linux)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/echo_call.sh"
build=$(cd "${1:-$here/../build/linux}" && pwd)
bridge_program="$build/tools/dravbridge/dravbridge"
dump_program="$build/tools/dravdump/dravdump"
for program in "$bridge_program" "$dump_program" wrk curl; do
  command -v "$program" >/dev/null || { echo "metrics_cost: $program is missing" >&2; exit 2; }
done
seconds=5 connections=64 rounds=6

work=$(mktemp -d /tmp/metrics_cost.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

# Starts dravbridge with the options given, its output in the file `$1`.
start_host() {
  local out=$1
  shift
  "$bridge_program" --port 0 "$@" >"$out" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do grep -q "^dravbridge: sample bridge" "$out" 2>/dev/null && break; sleep 0.05; done
}
# The port in the line of `$1` that starts with `$2`.
port_in() { sed -n "s/^$2\([0-9]*\)\$/\1/p" "$1"; }
start_host "$work/plain.out"
start_host "$work/counted.out" --admin-port 0
plain_port=$(port_in "$work/plain.out" "dravbridge: listening on port ")
counted_port=$(port_in "$work/counted.out" "dravbridge: listening on port ")
counted_admin=$(port_in "$work/counted.out" "dravbridge: admin listening on port ")
[ -n "$plain_port" ] && [ -n "$counted_port" ] && [ -n "$counted_admin" ] ||
  { echo "metrics_cost: dravbridge did not start" >&2; exit 2; }

write_echo_call "$work" "$dump_program" || exit 2

# Calls a second (2xx answers only) of one wrk load on the port.
rate() {
  wrk -t1 -c"$connections" -d"${seconds}s" -s "$work/echo.lua" "http://127.0.0.1:$1/bridges/sample" >"$work/wrk.out" 2>&1
  awk '/requests in/ {r = $1; d = $4; sub(/s,$/, "", d)} /Non-2xx/ {n = $5}
       END {printf "%.0f", (r - n) / (d ? d : 1)}' "$work/wrk.out"
}

echo "metrics_cost: echo at $connections keep-alive connections, ${seconds} s a load, one wrk thread"
printf '%-6s | %12s | %12s | %s\n' round "without/s" "with/s" "with/without"
ratios=()
for round in $(seq "$rounds"); do
  # Each goes first in every other round, so that a drift of the machine's load favours neither.
  if ((round % 2)); then
    without=$(rate "$plain_port")
    with=$(rate "$counted_port")
  else
    with=$(rate "$counted_port")
    without=$(rate "$plain_port")
  fi
  ratios+=("$(awk -v a="$with" -v b="$without" 'BEGIN {printf "%.3f", b ? a / b : 0}')")
  printf '%-6s | %12s | %12s | %s\n' "$round" "$without" "$with" "${ratios[-1]}"
done
echo "metrics_cost: median with/without $(printf '%s\n' "${ratios[@]}" | sort -n | sed -n "$(((rounds + 1) / 2))p")"
echo "metrics_cost: the admin listener counted" \
  "$(curl -s "http://127.0.0.1:$counted_admin/metrics" |
     sed -n 's/^drav_host_calls_total{bridge="\/bridges\/sample",method="echo",code="200"} //p') echo calls"
