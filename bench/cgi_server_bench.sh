#!/usr/bin/env bash
# The CGI server mode against normal mode, side by side in one run: the same
# vantora program in two folders, one with a CGI server started beside it
# (every request process relays to it), one without (every request process
# serves itself).  For a counting request and a template page, with 1 and 8
# concurrent clients, RUNS requests each (default 2000, every one a new
# visitor), timed as a web server sees them: from starting the CGI process
# until its output has ended and it has exited.
#
#   bash bench/cgi_server_bench.sh [build-dir]
#
# Goal per row: the relayed median at most 2x the normal-mode median and at
# most 5 ms more; "over50" counts requests of 50 ms or more (a wait for a
# poll tick would put every relayed request there).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:-build}")
runs=${RUNS:-2000}
load="$build/bench/vantora_cgi_load"
work=$(mktemp -d)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

for mode in normal relay; do
  mkdir "$work/$mode"
  cp "$build/vantora" "$work/$mode/vantora"
  cp "$here/../tools/demo/vantora.htm" "$work/$mode/vantora.htm"
done

# The server, started by hand beside the relay copy (no CGI environment).
env -u SERVER_SOFTWARE CGI_LOG_DIR="$work/relay/Log" "$work/relay/vantora" </dev/null \
  >"$work/server.out" 2>&1 &
server_pid=$!
for _ in $(seq 200); do [ -e "$work/relay/Temp/vantora_W" ] && break; sleep 0.05; done

export SERVER_SOFTWARE=lighttpd/1.4.69 GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET
export SCRIPT_NAME=/cgi-bin/vantora SERVER_NAME=127.0.0.1 REMOTE_ADDR=127.0.0.1
unset CONTENT_LENGTH CONTENT_TYPE CGI_VERSION QUERY_STRING

echo "load before: $(uptime)"
printf '%-10s %-7s %-7s %10s %8s %8s %8s %7s %6s\n' request clients mode median_ms p90_ms p99_ms \
  max_ms over50 failed
results=()
for request in STAT template; do
  query=$request
  [ "$request" = template ] && query=""
  for clients in 1 8; do
    line=()
    for mode in normal relay; do
      read -r median p90 p99 max over failed < <(CGI_LOG_DIR="$work/$mode/Log" \
        "$load" "$work/$mode/vantora" "$query" "$clients" "$runs" || true)
      printf '%-10s %-7s %-7s %10s %8s %8s %8s %7s %6s\n' "$request" "$clients" "$mode" "$median" \
        "$p90" "$p99" "$max" "$over" "$failed"
      line+=("$median")
    done
    results+=("$request $clients ${line[0]} ${line[1]}")
  done
done
echo "load after: $(uptime)"
echo
echo "goal: relayed median <= 2 x normal median and <= normal + 5 ms"
for row in "${results[@]}"; do
  set -- $row
  awk -v r="$1" -v c="$2" -v n="$3" -v s="$4" 'BEGIN {
    ok = (s <= 2 * n && s <= n + 5) ? "met" : "NOT met"
    printf "%-9s %d client(s): normal %.3f ms, relayed %.3f ms, ratio %.2f, +%.3f ms: %s\n",
      r, c, n, s, s / n, s - n, ok }'
done
