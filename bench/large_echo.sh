#!/usr/bin/env bash
# Large binary values echoed through the typed client and dravbridge (the
# echo plugin of bench/large_echo/), one fresh host per figure: 1 MiB and
# 64 MiB of random and of text-like bytes, with the default settings and with
# compression forbidden on both sides. Per row: the median rate of 3 round
# trips (payload bytes per second), the bytes the host read and wrote for one
# call (the wire, from its access log), CPU seconds per call of client and
# host, and the resident memory each grew by at its peak over its idle size,
# as a multiple of the payload. A benchmark, not a test: it prints figures
# and fails only when something cannot start.
#
#   bench/large_echo.sh [BUILD_DIR] [METHOD]    (default build/linux, echo)
#   SIZES="1048576 67108864" KINDS="random text" MODES="default plain" to choose rows
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build/linux}" && pwd)
method=${2:-echo}
bridge_program="$build/tools/dravbridge/dravbridge"
client_program="$build/bench/large_echo/bench_large_echo_client"
plugin="$build/bench/large_echo/echo.so"
for program in "$bridge_program" "$client_program" "$plugin"; do
  [ -e "$program" ] || { echo "large_echo: $program is missing (build with -DDRAV_BUILD_BENCH=ON)" >&2; exit 2; }
done
rounds=3
budget=$((160 << 20))

work=$(mktemp -d /tmp/large_echo.XXXXXX)
host_pid=
stop_host() {
  if [ -n "$host_pid" ]; then kill "$host_pid" 2>/dev/null; wait "$host_pid" 2>/dev/null || true; fi
  host_pid=
}
trap 'stop_host; rm -rf "$work"' EXIT

kib() { sed -n "s/^$1:[[:space:]]*\([0-9]*\) kB$/\1/p" "/proc/$host_pid/status"; }
ticks() { awk '{print $14 + $15}' "/proc/$host_pid/stat"; }

# row SIZE KIND MODE
row() {
  local size=$1 kind=$2 mode=$3 host_args=()
  [ "$mode" = plain ] && host_args=(--compression never)
  : >"$work/access.log"
  "$bridge_program" --port 0 --bridge "$plugin=/bridges/echo" --call-memory-budget "$budget" \
    --access-log "$work/access.log" "${host_args[@]}" >"$work/host.out" 2>"$work/host.err" &
  host_pid=$!
  for _ in $(seq 600); do grep -q "listening on port" "$work/host.out" 2>/dev/null && break; sleep 0.05; done
  local port
  port=$(sed -n 's/^dravbridge: listening on port \([0-9]*\)$/\1/p' "$work/host.out")
  if [ -z "$port" ]; then
    echo "large_echo: dravbridge did not start ($(kill -0 "$host_pid" 2>/dev/null && echo running || echo ended))" >&2
    cat "$work/host.out" "$work/host.err" >&2
    exit 2
  fi
  local idle start_ticks
  idle=$(kib VmRSS)
  start_ticks=$(ticks)
  local client
  client=$("$client_program" "http://127.0.0.1:$port/bridges/echo" "$method" "$size" "$kind" "$mode" "$rounds") ||
    { echo "large_echo: the client failed" >&2; cat "$work/host.err" >&2; exit 1; }
  local host_peak host_cpu
  host_peak=$(kib VmHWM)
  host_cpu=$(echo "$(ticks) $start_ticks $(getconf CLK_TCK) $rounds" | awk '{printf "%.3f", ($1 - $2) / $3 / $4}')
  stop_host
  # time client address "path" "method" status code read written ms
  local wire
  wire=$(awk 'NR == 1 {printf "%d/%d", $(NF-2), $(NF-1)}' "$work/access.log")
  echo "$size $kind $mode $client $host_cpu $idle $host_peak $wire" | awk '{
    mib = $1 / 1048576
    printf "%-6s %-6s %-8s %8.1f  %-21s %6.3f %6.3f %6.2fx %6.2fx\n", mib "MiB", $2, $3, $5, $15,
           $7, $12, ($11 - $9) / mib, ($14 - $13) / 1024 / mib
  }'
}

echo "method $method; $rounds rounds per row; load: $(cut -d' ' -f1-3 /proc/loadavg)"
printf "%-6s %-6s %-8s %8s  %-21s %6s %6s %7s %7s\n" size bytes mode "MB/s" "wire in/out (bytes)" \
  "cli_s" "host_s" "cli_mem" "host_mem"
for size in ${SIZES:-$((1 << 20)) $((64 << 20))}; do
  for kind in ${KINDS:-random text}; do
    for mode in ${MODES:-default plain}; do row "$size" "$kind" "$mode"; done
  done
done
