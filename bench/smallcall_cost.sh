#!/usr/bin/env bash
# The client's own cost of one small call, in instructions: the
# SmallCalls_Transport row of bench_transport (and, for reference, the
# plain-libcurl row sending the same request) run under callgrind at 20 and
# at 120 calls; the difference of the two runs over 100 is the cost per
# call, without start-up. Only the benchmark's thread is counted (the test
# server runs on threads of its own). "libcurl" is everything libcurl does
# (with the libraries it calls), "ours" the rest: transport, config,
# serialization, the WinINet layer, and the C and C++ library calls they
# make themselves. Needs valgrind; takes about a minute.
#
#   bench/smallcall_cost.sh [BUILD_DIR] [TOP]   (default build/linux, 12)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build/linux}" && pwd)
top=${2:-12}
program="$build/bench/bench_transport"
command -v valgrind >/dev/null || { echo "smallcall_cost: valgrind is missing" >&2; exit 2; }
[ -x "$program" ] || { echo "smallcall_cost: build bench_transport first" >&2; exit 2; }

work=$(mktemp -d /tmp/smallcall_cost.XXXXXX)
trap 'rm -rf "$work"' EXIT

for row in SmallCalls_PlainLibcurlSameRequest SmallCalls_Transport; do
  for n in 20 120; do
    valgrind --tool=callgrind --separate-threads=yes --callgrind-out-file="$work/$row.$n" "$program" \
      --benchmark_filter="^$row/iterations:$n/" >"$work/$row.$n.log" 2>&1
    python3 "$here/callgrind_split.py" "$work/$row.$n-01" bench_transport >"$work/$row.$n.split"
  done
  echo "== $row: Ir per call"
  # Per call: (120-call figure - 20-call figure) / 100, for every line.
  awk -v top="$top" '
    FNR == 1 { file++ }
    { key = $1 == "fn" ? substr($0, index($0, $3)) : $1
      value[key] += (file == 1 ? -$2 : $2); if (!(key in seen)) { seen[key] = 1; order[++n] = key } }
    END {
      ours = value["total"] - value["libcurl"]
      printf "total %d  libcurl %d  ours %d\n", value["total"] / 100, value["libcurl"] / 100, ours / 100
      shown = 0
      for (i = 1; i <= n; i++) {
        k = order[i]
        if (k == "total" || k == "libcurl") continue
        if (value[k] > 0) printf "%d\t%s\n", value[k] / 100, k
      }
    }' "$work/$row.20.split" "$work/$row.120.split" | { read -r head; echo "$head"; sort -rn | awk -v top="$top" 'NR <= top'; }
done
