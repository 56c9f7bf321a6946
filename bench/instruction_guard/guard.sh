#!/usr/bin/env bash
# Instructions per small call, for the client and for the host, against the
# figures recorded in counts.txt beside this script: a count more than the
# recorded tolerance away from its figure fails (more: calls got dearer; less:
# record the lower figure, so that the next rise is caught from there).
#
# callgrind counts the instructions of two processes: small_calls (the typed
# client calling the sample bridge's echo, Long 1 and String "abc", on one
# connection) and dravbridge serving it on its default settings but one event
# loop. Each runs twice, with 20 and with 220 calls; the difference over 200
# is the cost per call without start-up and shut-down. Counts depend on the
# binaries (compiler, flags: the RelWithDebInfo build of the test command),
# the C library and libcurl, so the figures hold for the machines the test
# command runs on; the environment is emptied for the same reason. About 20 s.
#
#   guard.sh BUILD_DIR [--record]     (--record writes the counts measured)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
record=${2:-}
figures="$here/counts.txt"
host_program="$build/tools/dravbridge/dravbridge"
client_program="$build/bench/instruction_guard/small_calls"
short=20 long=220
for program in valgrind "$host_program" "$client_program"; do
  command -v "$program" >/dev/null || { echo "guard: $program is missing" >&2; exit 2; }
done

work=$(mktemp -d /tmp/instruction_guard.XXXXXX)
host_pid=
cleanup() {
  [ -z "$host_pid" ] || { kill "$host_pid" && wait "$host_pid"; } 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The same environment wherever it runs: libcurl, for one, looks for proxies in it.
quiet_env=(env -i PATH=/usr/bin:/bin HOME="$work" LC_ALL=C)
callgrind=(valgrind --tool=callgrind --dump-instr=no --compress-strings=no --compress-pos=no)

# The instructions a callgrind profile counted.
total() { sed -n 's/^summary: *//p' "$1"; }

# Runs the host and the client under callgrind for `$1` calls; sets
# client_ir and host_ir.
count() {
  local calls=$1 out="$work/host.$1.out"
  : >"$out"
  "${quiet_env[@]}" "${callgrind[@]}" --callgrind-out-file="$work/host.$calls" \
    "$host_program" --port 0 --event-loops 1 >"$out" 2>"$work/host.$calls.err" &
  host_pid=$!
  local port=
  for _ in $(seq 600); do
    port=$(sed -n 's/^dravbridge: listening on port \([0-9]*\)$/\1/p' "$out")
    [ -n "$port" ] && break
    sleep 0.05
  done
  [ -n "$port" ] || { echo "guard: dravbridge did not start" >&2; cat "$work/host.$calls.err" >&2; exit 2; }
  "${quiet_env[@]}" "${callgrind[@]}" --callgrind-out-file="$work/client.$calls" \
    "$client_program" "http://127.0.0.1:$port/bridges/sample" "$calls" 2>"$work/client.$calls.err" ||
    { echo "guard: the calls failed" >&2; cat "$work/client.$calls.err" >&2; exit 2; }
  kill -TERM "$host_pid"
  wait "$host_pid" || { echo "guard: dravbridge did not stop cleanly" >&2; cat "$out" >&2; exit 2; }
  host_pid=
  grep -q "stopped after $((calls)) requests" "$out" ||
    { echo "guard: dravbridge served other than $calls requests" >&2; cat "$out" >&2; exit 2; }
  client_ir=$(total "$work/client.$calls") host_ir=$(total "$work/host.$calls")
}

count $short
client_short=$client_ir host_short=$host_ir
count $long
client_per_call=$(((client_ir - client_short) / (long - short)))
host_per_call=$(((host_ir - host_short) / (long - short)))

if [ "$record" = "--record" ]; then
  sed -i -e "s/^client .*/client $client_per_call/" -e "s/^host .*/host $host_per_call/" "$figures"
  echo "guard: recorded client $client_per_call, host $host_per_call instructions per call in $figures"
  exit 0
fi

tolerance=$(sed -n 's/^tolerance_percent //p' "$figures")
verdict=0
# Compares one count with its figure; a count off by more than the tolerance fails.
check() {
  local name=$1 measured=$2 recorded
  recorded=$(sed -n "s/^$name //p" "$figures")
  local change=$(((measured - recorded) * 1000 / recorded))  # in tenths of a percent
  printf 'guard: %-6s %9d instructions per call, recorded %9d (%s%%)\n' "$name" "$measured" "$recorded" \
    "$(awk -v m="$measured" -v r="$recorded" 'BEGIN {printf "%+.1f", (m - r) * 100 / r}')"
  if ((change > tolerance * 10)); then
    echo "guard: the $name's small call costs more than $tolerance% above its figure" >&2
    verdict=1
  elif ((change < -tolerance * 10)); then
    echo "guard: the $name's small call costs more than $tolerance% below its figure: record the new one" \
      "(bench/instruction_guard/guard.sh BUILD_DIR --record) so that a rise from here is caught" >&2
    verdict=1
  fi
}
check client "$client_per_call"
check host "$host_per_call"
if ((verdict)); then
  # The profiles, for callgrind_annotate (bench/smallcall_cost.sh splits the client's).
  kept="$build/bench/instruction_guard/profiles"
  mkdir -p "$kept"
  cp "$work"/client.* "$work"/host.* "$kept/"
  echo "guard: the callgrind profiles of both runs are in $kept" >&2
fi
exit $verdict
