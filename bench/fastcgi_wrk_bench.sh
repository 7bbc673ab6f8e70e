#!/usr/bin/env bash
# Load on Vantora as a persistent FastCGI application behind nginx, side by
# side in one run with nginx serving a static file of the same size: wrk on
# loopback, 8 connections, requests per second and p50/p99 latency for
#   - counting, repeat visitor (query STAT, the same user agent each time:
#     the picture, then the hit counted in the hourly file);
#   - counting, new visitors (a user agent of its own for every request, so
#     every hit also joins the visitor ring);
#   - the template page (the sample statistics template, every tag) over a
#     ring of 500 visitors.
# Addresses are loopback, so no host-name lookup runs.  No fakes: the real
# program (built with the FastCGI adapter), real nginx, real files.
#
#   bash bench/fastcgi_wrk_bench.sh [build-dir]
#
# SECONDS_EACH (default 10) sets the length of each wrk run, CONNECTIONS
# (default 8) the connections, THREADS the program's pool (default: cores).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
program=$(realpath "$build/vantora")
seconds=${SECONDS_EACH:-10}
connections=${CONNECTIONS:-8}
threads=${THREADS:-$(nproc)}
for tool in nginx wrk curl; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || {
    echo "needs $tool (apt-get install $tool)" >&2
    exit 1
  }
done

work=$(mktemp -d)
app_pid=""
nginx_pid=""
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null || true
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/site" "$work/htdocs/static" "$work/var"
chmod 755 "$work"
cp "$program" "$work/site/vantora"
cp tools/demo/vantora.htm "$work/site/vantora.htm"

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
port=$(free_port)
socket="$work/var/vantora.sock"
CGI_LOG_DIR="$work/var/log" "$work/site/vantora" --fastcgi "$socket" --threads "$threads" \
  </dev/null >"$work/var/app.out" 2>&1 &
app_pid=$!
for _ in $(seq 1 100); do [ -S "$socket" ] && break; sleep 0.05; done
chmod 666 "$socket"

cat >"$work/var/nginx.conf" <<CONF
worker_processes 1;
pid $work/var/nginx.pid;
error_log $work/var/error.log warn;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/var/body;
  fastcgi_temp_path $work/var/fastcgi;
  proxy_temp_path $work/var/proxy;
  uwsgi_temp_path $work/var/uwsgi;
  scgi_temp_path $work/var/scgi;
  types { text/html html; image/gif gif; }
  server {
    listen 127.0.0.1:$port;
    root $work/htdocs;
    location = /cgi-bin/vantora {
      include /etc/nginx/fastcgi_params;
      fastcgi_pass unix:$socket;
    }
  }
}
CONF
user_line=""
[ "$(id -u)" -eq 0 ] && user_line="user root root;"
/usr/sbin/nginx -p "$work/var" -c "$work/var/nginx.conf" -g "daemon off; $user_line" &
nginx_pid=$!
for _ in $(seq 1 100); do curl -s -o /dev/null "http://127.0.0.1:$port/" && break; sleep 0.05; done

base="http://127.0.0.1:$port"
# 500 visitors in the ring, as a site has after a while.
for i in $(seq 1 500); do
  curl -s -o /dev/null -A "Mozilla/5.0 (bench $i) Browser/$((i % 7))" "$base/cgi-bin/vantora?STAT"
done
# The static twins: files of the same size as each answer's body.
curl -s -o "$work/htdocs/static/stat.gif" "$base/cgi-bin/vantora?STAT"
curl -s -o "$work/htdocs/static/page.html" "$base/cgi-bin/vantora"

cat >"$work/var/new-visitor.lua" <<'LUA'
local n = 0
request = function()
  n = n + 1
  wrk.headers["User-Agent"] = "Mozilla/5.0 (new visitor " .. n .. " " .. math.random(1e9) .. ")"
  return wrk.format(nil)
end
LUA

# Prints "requests/s p50 p99" of one wrk run.
measure() {
  local url=$1 script=${2:-}
  local args=(-t2 "-c$connections" "-d${seconds}s" --latency)
  [ -n "$script" ] && args+=(-s "$script")
  wrk "${args[@]}" "$url" | awk '
    /Requests\/sec/ {rps=$2}
    $1=="50%" {p50=$2}
    $1=="99%" {p99=$2}
    END {printf "%s %s %s", rps, p50, p99}'
}

uptime_now=$(uptime)
printf '\nnginx + vantora --fastcgi (%s threads) against nginx static files, %s connections, %ss each\n' \
  "$threads" "$connections" "$seconds"
printf 'machine: %s\n\n' "$uptime_now"
printf '%-26s %12s %9s %9s   %12s %9s %9s   %s\n' request "vantora r/s" p50 p99 "static r/s" p50 p99 goal
row() {
  local name=$1 url=$2 static=$3 script=${4:-} goal=$5
  read -r v_rps v_p50 v_p99 <<<"$(measure "$url" "$script")"
  read -r s_rps s_p50 s_p99 <<<"$(measure "$static")"
  printf '%-26s %12s %9s %9s   %12s %9s %9s   %s\n' "$name" "$v_rps" "$v_p50" "$v_p99" \
    "$s_rps" "$s_p50" "$s_p99" "$goal"
}
row "counting, repeat visitor" "$base/cgi-bin/vantora?STAT" "$base/static/stat.gif" "" \
  ">= 10000 r/s, p99 < 20ms"
row "counting, new visitors" "$base/cgi-bin/vantora?STAT" "$base/static/stat.gif" \
  "$work/var/new-visitor.lua" ">= 10000 r/s, p99 < 20ms"
row "template page" "$base/cgi-bin/vantora" "$base/static/page.html" "" \
  ">= 2000 r/s, p99 < 20ms"
