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
# is the cost per call without start-up and shut-down. The same two runs,
# without callgrind, count the system calls on sockets and event loops both
# make per 100 calls under strace: the kernel's share of a small call, which
# instructions do not see. Counts depend on the binaries (compiler, flags:
# the RelWithDebInfo build of the test command), the C library and libcurl,
# so the figures hold for the machines the test command runs on; the
# environment is emptied for the same reason. About 25 s.
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
for program in valgrind strace "$host_program" "$client_program"; do
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

# The system calls on sockets and event loops a `strace -c` summary counted:
# those a call makes. Waits between threads, timers and files follow the
# clock and the start-up, not the calls.
syscalls() {
  awk '/^-/ {rule++; next}
       rule == 1 && $NF ~ /^(recv|send|readv|writev|epoll_|poll|ppoll|p?select|accept|shutdown|[gs]etsockopt)/ {n += $4}
       END {print n + 0}' "$1"
}

# Runs the host and the client for `$1` calls under `$2` (callgrind or
# strace); sets client_count and host_count (instructions or system calls).
count() {
  local calls=$1 tool=$2 out="$work/host.$1.$2.out"
  local -a wrap client_wrap
  case $tool in
    callgrind) wrap=("${callgrind[@]}" --callgrind-out-file="$work/host.$calls")
      client_wrap=("${callgrind[@]}" --callgrind-out-file="$work/client.$calls") ;;
    strace) wrap=(strace -f -c -o "$work/host.$calls.strace")
      client_wrap=(strace -f -c -o "$work/client.$calls.strace") ;;
  esac
  : >"$out"
  "${quiet_env[@]}" "${wrap[@]}" "$host_program" --port 0 --event-loops 1 >"$out" 2>"$work/host.$calls.err" &
  host_pid=$!
  local port=
  for _ in $(seq 600); do
    port=$(sed -n 's/^dravbridge: listening on port \([0-9]*\)$/\1/p' "$out")
    [ -n "$port" ] && break
    sleep 0.05
  done
  [ -n "$port" ] || { echo "guard: dravbridge did not start" >&2; cat "$work/host.$calls.err" >&2; exit 2; }
  "${quiet_env[@]}" "${client_wrap[@]}" \
    "$client_program" "http://127.0.0.1:$port/bridges/sample" "$calls" 2>"$work/client.$calls.err" ||
    { echo "guard: the calls failed" >&2; cat "$work/client.$calls.err" >&2; exit 2; }
  # The host itself is stopped (under strace, its tracer writes the summary when it ends).
  local host=$host_pid
  [ "$tool" = callgrind ] || host=$(pgrep -P "$host_pid" -x dravbridge)
  kill -TERM "$host"
  wait "$host_pid" || { echo "guard: dravbridge did not stop cleanly" >&2; cat "$out" >&2; exit 2; }
  host_pid=
  grep -q "stopped after $((calls)) requests" "$out" ||
    { echo "guard: dravbridge served other than $calls requests" >&2; cat "$out" >&2; exit 2; }
  if [ "$tool" = callgrind ]; then
    client_count=$(total "$work/client.$calls") host_count=$(total "$work/host.$calls")
  else
    client_count=$(syscalls "$work/client.$calls.strace") host_count=$(syscalls "$work/host.$calls.strace")
  fi
}

# Per call (per 100 calls with `$2` = 100): the long run's count less the
# short run's, over the calls between them; sets client_per_call and host_per_call.
per_call() {
  local tool=$1 scale=$2
  count $short "$tool"
  local client_short=$client_count host_short=$host_count
  count $long "$tool"
  client_per_call=$(((client_count - client_short) * scale / (long - short)))
  host_per_call=$(((host_count - host_short) * scale / (long - short)))
}
per_call callgrind 1
client_ir=$client_per_call host_ir=$host_per_call
# A machine that forbids tracing (a container's seccomp rules) counts no
# system calls; it says so and checks the instructions alone.
client_sys='' host_sys=''
if strace -f -o /dev/null true 2>/dev/null; then
  per_call strace 100
  client_sys=$client_per_call host_sys=$host_per_call
else
  echo "guard: strace cannot trace here: system calls are not counted" >&2
  [ "$record" != "--record" ] || { echo "guard: nothing recorded" >&2; exit 2; }
fi

if [ "$record" = "--record" ]; then
  sed -i -e "s/^client .*/client $client_ir/" -e "s/^host .*/host $host_ir/" \
    -e "s/^client_syscalls_per_100 .*/client_syscalls_per_100 $client_sys/" \
    -e "s/^host_syscalls_per_100 .*/host_syscalls_per_100 $host_sys/" "$figures"
  echo "guard: recorded client $client_ir, host $host_ir instructions per call and client $client_sys," \
    "host $host_sys system calls per 100 calls in $figures"
  exit 0
fi

tolerance=$(sed -n 's/^tolerance_percent //p' "$figures")
verdict=0
# Compares one count with its figure; a count off by more than the tolerance fails.
check() {
  local name=$1 measured=$2 unit=$3 recorded
  recorded=$(sed -n "s/^$name //p" "$figures")
  local change=$(((measured - recorded) * 1000 / recorded))  # in tenths of a percent
  printf 'guard: %-24s %9d %s, recorded %9d (%s%%)\n' "$name" "$measured" "$unit" "$recorded" \
    "$(awk -v m="$measured" -v r="$recorded" 'BEGIN {printf "%+.1f", (m - r) * 100 / r}')"
  if ((change > tolerance * 10)); then
    echo "guard: $name: a small call costs more than $tolerance% above its figure" >&2
    verdict=1
  elif ((change < -tolerance * 10)); then
    echo "guard: $name: a small call costs more than $tolerance% below its figure: record the new one" \
      "(bench/instruction_guard/guard.sh BUILD_DIR --record) so that a rise from here is caught" >&2
    verdict=1
  fi
}
check client "$client_ir" "instructions per call"
check host "$host_ir" "instructions per call"
if [ -n "$client_sys" ]; then
  check client_syscalls_per_100 "$client_sys" "system calls per 100 calls"
  check host_syscalls_per_100 "$host_sys" "system calls per 100 calls"
fi
if ((verdict)); then
  # The profiles, for callgrind_annotate (bench/smallcall_cost.sh splits the client's).
  kept="$build/bench/instruction_guard/profiles"
  mkdir -p "$kept"
  cp "$work"/client.* "$work"/host.* "$kept/"
  echo "guard: the callgrind profiles and strace summaries of both runs are in $kept" >&2
fi
exit $verdict
