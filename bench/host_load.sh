#!/usr/bin/env bash
# The bridge host under load beside nginx, in one run on 127.0.0.1: dravbridge
# on its default settings and nginx-light (one worker, no access log, a fixed
# 100-byte answer) each on a free port, wrk posting the sample bridge's echo
# call (Long 1, String "abc") at 8, 64 and 1000 keep-alive connections, then
# 10,000 idle keep-alive connections (the host's memory, and the rate of 8
# active clients beside them) and 1000 slowloris connections (p99 of normal
# calls beside them). A benchmark, not a test: it prints figures and fails
# only when something cannot start. About 90 s.
#
#   bench/host_load.sh [BUILD_DIR]     (default build/linux)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/echo_call.sh"
build=$(cd "${1:-$here/../build/linux}" && pwd)
bridge_program="$build/tools/dravbridge/dravbridge"
dump_program="$build/tools/dravdump/dravdump"
for program in "$bridge_program" "$dump_program" wrk nginx python3; do
  command -v "$program" >/dev/null || { echo "host_load: $program is missing" >&2; exit 2; }
done

seconds=5  # per wrk load
# wrk at 1000 connections, 10,000 idle connections and the host's own need
# a descriptor each.
ulimit -n "$(ulimit -Hn)"
if [ "$(ulimit -n)" -lt 12000 ]; then echo "host_load: needs 12000 descriptors, has $(ulimit -n)" >&2; exit 2; fi

work=$(mktemp -d /tmp/host_load.XXXXXX)
host_pid= nginx_pid=
cleanup() {
  [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# --- the two servers -------------------------------------------------------
"$bridge_program" --port 0 >"$work/host.out" 2>"$work/host.err" &
host_pid=$!
for _ in $(seq 100); do grep -q "listening on port" "$work/host.out" 2>/dev/null && break; sleep 0.05; done
host_port=$(sed -n 's/^dravbridge: listening on port \([0-9]*\)$/\1/p' "$work/host.out")
[ -n "$host_port" ] || { echo "host_load: dravbridge did not start" >&2; cat "$work/host.err" >&2; exit 2; }

nginx_port=$(free_port)
mkdir -p "$work/nginx/logs"
answer=$(printf '%0100d' 0)  # 100 bytes
cat >"$work/nginx/nginx.conf" <<EOF
worker_processes 1;
worker_rlimit_nofile 20000;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log warn;
events { worker_connections 16384; }
http {
  access_log off;
  keepalive_requests 1000000;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$nginx_port;
    location / { default_type text/plain; return 200 "$answer"; }
  }
}
EOF
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/logs/error.log" &
nginx_pid=$!
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$nginx_port") 2>/dev/null && break; sleep 0.05; done

# --- the call --------------------------------------------------------------
write_echo_call "$work" "$dump_program" || exit 2
{
  printf 'POST /bridges/sample HTTP/1.1\r\nHost: 127.0.0.1\r\nDRAVBridgeName: sample\r\nDRAVMethodName: echo\r\n'
  printf 'DRAVMethodNeedSsoToken: no\r\nDRAVArgs-Size: %s\r\nDRAVExtraBlob-Size: 0\r\nContent-Length: %s\r\n\r\n' \
    "$args_size" "$args_size"
  cat "$work/echo.body"
} >"$work/echo.request"

host_url="http://127.0.0.1:$host_port/bridges/sample"
nginx_url="http://127.0.0.1:$nginx_port/"

# Runs wrk; sets ok_rate (2xx answers a second), p99, non2xx and errors.
measure() {
  local connections=$1 url=$2 out="$work/wrk.out"
  wrk -t1 -c"$connections" -d"${seconds}s" --timeout 10s --latency -s "$work/echo.lua" "$url" >"$out" 2>&1 || true
  local requests duration
  requests=$(awk '/requests in/ {print $1}' "$out")
  duration=$(awk '/requests in/ {sub(/s,$/, "", $4); print $4}' "$out")
  non2xx=$(awk '/Non-2xx or 3xx responses/ {print $5}' "$out")
  non2xx=${non2xx:-0}
  errors=$(awk '/Socket errors/ {gsub(/,/, ""); print $4 + $6 + $8 + $10}' "$out")
  errors=${errors:-0}
  p99=$(awk '$1 == "99%" {print $2}' "$out")
  ok_rate=$(awk -v r="${requests:-0}" -v n="$non2xx" -v d="${duration:-1}" 'BEGIN {printf "%.0f", (r - n) / d}')
}

rss_mib() { awk '/^VmRSS/ {printf "%.1f", $2 / 1024}' "/proc/$1/status"; }

echo "host_load: dravbridge (default settings) on port $host_port, nginx on port $nginx_port;" \
  "wrk, one thread, keep-alive, ${seconds} s per load; echo of Long 1, String \"abc\" ($args_size bytes);" \
  "calls/s count 2xx answers only"
row='%-6s | %9s %9s %8s %7s | %9s %9s %8s %7s | %s\n'
printf "$row" "conns" "host/s" "p99" "non-2xx" "errors" "nginx/s" "p99" "non-2xx" "errors" "host/nginx"
for connections in 8 64 1000; do
  measure "$connections" "$host_url"
  h_rate=$ok_rate h_p99=$p99 h_non2xx=$non2xx h_errors=$errors
  measure "$connections" "$nginx_url"
  ratio=$(awk -v a="$h_rate" -v b="$ok_rate" 'BEGIN {printf "%.2f", b ? a / b : 0}')
  printf "$row" "$connections" \
    "$h_rate" "$h_p99" "$h_non2xx" "$h_errors" "$ok_rate" "$p99" "$non2xx" "$errors" "${ratio}x"
done

# --- 10,000 idle keep-alive connections ------------------------------------
measure 8 "$host_url"
alone_rate=$ok_rate
rss_before=$(rss_mib "$host_pid")
python3 "$here/host_load.py" idle "$host_port" 10000 $((seconds + 3)) "$work/echo.request" >"$work/idle.out" 2>&1 &
idle_pid=$!
for _ in $(seq 600); do grep -q '^ready' "$work/idle.out" && break; sleep 0.1; done
rss_idle=$(rss_mib "$host_pid")
measure 8 "$host_url"
wait "$idle_pid" || true
echo
echo "idle: 10000 keep-alive connections: $(sed -n 's/^ready //p' "$work/idle.out")"
echo "idle: $(sed -n 's/^held open/held open/p' "$work/idle.out")"
echo "idle: host RSS ${rss_before} MiB before, ${rss_idle} MiB with them held" \
  "(+$(awk -v a="$rss_idle" -v b="$rss_before" 'BEGIN {printf "%.1f", a - b}') MiB)"
echo "idle: 8 active clients: $alone_rate calls/s alone, $ok_rate calls/s beside them" \
  "(p99 $p99, non-2xx $non2xx, errors $errors;" \
  "$(awk -v a="$ok_rate" -v b="$alone_rate" 'BEGIN {printf "%.2f", b ? a / b : 0}')x)"
sleep 1

# --- slowloris -------------------------------------------------------------
python3 "$here/host_load.py" slowloris "$host_port" 1000 $((seconds + 4)) >"$work/loris.out" 2>&1 &
loris_pid=$!
for _ in $(seq 300); do grep -q '^ready' "$work/loris.out" && break; sleep 0.1; done
sleep 1
measure 8 "$host_url"
wait "$loris_pid" || true
echo
echo "slowloris: $(tail -n 1 "$work/loris.out")"
echo "slowloris: 8 normal clients beside them: $ok_rate calls/s, p99 $p99, non-2xx $non2xx, errors $errors"
