#!/usr/bin/env bash
# Ours beside gRPC C++ and Apache Thrift C++ (Debian's packages), the same
# small service in each (greet, sum, echo of bytes), on 127.0.0.1: builds the
# target `peers` (outside the default build), starts the servers (ours: the
# typed bridge plugin in dravbridge, once with its default compression and
# once with compression off; gRPC's synchronous server; Thrift's threaded
# server), then runs every measurement for the three frameworks back to back,
# in an order that turns each round, for 3 rounds, and prints the medians
# with ratios. A benchmark, not a test: it fails only when something cannot
# start. About 4 minutes after the build. docs/performance.md says what each
# figure means.
#
#   bench/peers/run.sh [BUILD_DIR]      (default build/peers; PEERS_ROUNDS=3)
#
# PEERS_BEFORE=OTHER_BUILD_DIR (a tree of another version of ours, with the
# target `peers` built) adds that version as a fourth framework in the same
# rounds, with a column of its own and the ratio of ours to it: a change
# measured before and after in one run.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build/peers}
rounds=${PEERS_ROUNDS:-3}
small_seconds=2 threads=16 threads_seconds=2 mib=1048576

"$root/scripts/install-deps.sh" peers || { echo "peers: install the packages above first" >&2; exit 2; }

# --- build -------------------------------------------------------------------
if [ -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DDRAV_BUILD_PEERS=ON >/dev/null
else
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAV_BUILD_TESTS=OFF \
    -DDRAV_BUILD_PEERS=ON "${launcher[@]}" >/dev/null
fi
cmake --build "$build" --target peers
bin="$build/bench/peers"
before_build=${PEERS_BEFORE:-}
if [ -n "$before_build" ]; then
  before_build=$(cd "$before_build" && pwd)
  for f in tools/dravbridge/dravbridge bench/peers/libpeer.so bench/peers/peers_client_drav; do
    [ -e "$before_build/$f" ] || { echo "peers: $before_build has no $f (build its target peers)" >&2; exit 2; }
  done
fi
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")

work=$(mktemp -d /tmp/peers.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do { kill "$pid" && wait "$pid"; } 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# --- servers -----------------------------------------------------------------
# Starts a server whose output names its port in a line matching `$2`
# (sed, one group); sets server_pid and server_port.
start_server() {
  local name=$1 pattern=$2
  shift 2
  : >"$work/$name.out"
  "$@" >>"$work/$name.out" 2>"$work/$name.err" &
  server_pid=$!
  pids+=("$server_pid")
  server_port=
  for _ in $(seq 200); do
    server_port=$(sed -n "s/$pattern/\1/p" "$work/$name.out")
    [ -n "$server_port" ] && break
    sleep 0.05
  done
  [ -n "$server_port" ] || { echo "peers: $name did not start" >&2; cat "$work/$name.err" >&2; exit 2; }
}

# A 64 MiB echo held once, and room for its compressed form beside it.
drav_call_budget=$((160 * mib))
# drav_host BUILD_DIR [OPTION...]: that tree's dravbridge serving its bridge.
drav_host() {
  local tree=$1
  shift
  exec "$tree/tools/dravbridge/dravbridge" --port 0 --bridge "$tree/bench/peers/libpeer.so" \
    --call-memory-budget $drav_call_budget "$@"
}
start_server drav '^dravbridge: listening on port \([0-9]*\)$' drav_host "$build"
declare -A address pid
address[drav.default]="http://127.0.0.1:$server_port/bridges/peer" pid[drav.default]=$server_pid
start_server drav_off '^dravbridge: listening on port \([0-9]*\)$' drav_host "$build" --compression never
address[drav.off]="http://127.0.0.1:$server_port/bridges/peer" pid[drav.off]=$server_pid
start_server grpc '^port \([0-9]*\)$' "$bin/peers_server_grpc"
address[grpc.default]="127.0.0.1:$server_port" pid[grpc.default]=$server_pid
start_server thrift '^port \([0-9]*\)$' "$bin/peers_server_thrift"
address[thrift.default]="127.0.0.1:$server_port" pid[thrift.default]=$server_pid
# gRPC and Thrift compress nothing by default: "off" is their default.
for f in grpc thrift; do address[$f.off]=${address[$f.default]} pid[$f.off]=${pid[$f.default]}; done
# Our client's switch, for the process.
declare -A client_options=([drav.off]="-DRAVgzip_mode never")
declare -A client_program=([drav]="$bin/peers_client_drav" [grpc]="$bin/peers_client_grpc"
  [thrift]="$bin/peers_client_thrift")
frameworks=(drav grpc thrift)
if [ -n "$before_build" ]; then
  start_server before '^dravbridge: listening on port \([0-9]*\)$' drav_host "$before_build"
  address[before.default]="http://127.0.0.1:$server_port/bridges/peer" pid[before.default]=$server_pid
  start_server before_off '^dravbridge: listening on port \([0-9]*\)$' drav_host "$before_build" --compression never
  address[before.off]="http://127.0.0.1:$server_port/bridges/peer" pid[before.off]=$server_pid
  client_options[before.off]=${client_options[drav.off]}
  client_program[before]="$before_build/bench/peers/peers_client_drav"
  frameworks+=(before)
fi

# --- measurements ------------------------------------------------------------
results="$work/results" failures="$work/failures"
: >"$results"
: >"$failures"

# Runs one measurement for one framework; appends its figures, or the
# reason it failed, to the results.
measure() {
  local round=$1 framework=$2 variant=$3 label=$4
  shift 4
  local key="$framework.$variant" line
  # shellcheck disable=SC2086  # the options are words
  if line=$("${client_program[$framework]}" "${address[$key]}" "${pid[$key]}" "$@" ${client_options[$key]:-} \
      2>"$work/client.err"); then
    echo "round=$round framework=$framework variant=$variant measure=$label $line" >>"$results"
  else
    echo "round=$round framework=$framework variant=$variant measure=$label failed=1" >>"$results"
    echo "$framework $variant $label (round $round): $(head -c 300 "$work/client.err")" >>"$failures"
  fi
  kill -0 "${pid[$key]}" 2>/dev/null || { echo "peers: the $framework server died" >&2; exit 2; }
}

# The frameworks one after the other, starting with a different one each
# round.
each_framework() {
  local round=$1
  shift
  local count=${#frameworks[@]}
  for ((i = 0; i < count; i++)); do measure "$round" "${frameworks[(i + round) % count]}" "$@"; done
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date +%s)
for round in $(seq "$rounds"); do
  echo "round $round of $rounds" >&2
  each_framework "$round" default small small "$small_seconds"
  each_framework "$round" default threads threads "$threads" "$threads_seconds"
  for variant in default off; do
    for kind in random text; do
      each_framework "$round" "$variant" "echo1m.$kind" echo "$mib" "$kind" 1
      each_framework "$round" "$variant" "echo64m.$kind" echo $((64 * mib)) "$kind" 0
    done
  done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# --- the table ---------------------------------------------------------------
version() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || echo "?"; }
echo
echo "peers: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) processors, load average $load_before before and" \
  "$load_after after ($(($(date +%s) - started)) s); medians of $rounds round(s)"
echo "  ours: $build_type build, dravbridge default settings but --call-memory-budget $drav_call_budget" \
  "(a 64 MiB echo in any form); compression off: dravbridge --compression never and -DRAVgzip_mode never"
echo "  gRPC $(version libgrpc++-dev) (protobuf $(version libprotobuf-dev)): synchronous unary calls, default settings" \
  "but the largest message received at 128 MiB on both sides (default 4 MiB)"
echo "  Thrift $(version libthrift-dev): binary protocol, buffered TCP transport, threaded server, default settings"
if [ -n "$before_build" ]; then
  before_source=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$before_build/CMakeCache.txt")
  echo "  ours before: $before_build, built from $(git -C "$before_source" log -1 --format='%h %s' 2>/dev/null ||
    echo "$before_source"), the same settings"
fi
python3 "$here/table.py" "$results"
if [ -s "$failures" ]; then
  echo
  echo "failed measurements:"
  cat "$failures"
fi
