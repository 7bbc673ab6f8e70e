#!/usr/bin/env bash
# Requests per second behind lighttpd (mod_cgi) under wrk, on a loopback
# port: the counting request and the template page (the sample template),
# over a full visitor ring and a year of hourly records.
#
#   bash bench/wrk_bench.sh [build-dir]
#
# SECONDS_EACH (default 10) sets how long each address is loaded;
# CONNECTIONS (default 4) the connections wrk keeps open.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
program=$(realpath "$build/vantora")
seconds=${SECONDS_EACH:-10}
connections=${CONNECTIONS:-4}
work=$(mktemp -d)
port=$((20000 + RANDOM % 20000))
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/site" "$work/docs"
cp "$program" "$work/site/vantora"
cp tools/demo/vantora.htm "$work/site/vantora.htm"
# A year of hourly records and a full ring, as a busy site has them.
python3 - "$work/site" <<'PY'
import os, struct, sys, time
site = sys.argv[1]
now = time.time()
local = (now + time.localtime(now).tm_gmtoff) / 86400 + 25569
hour = int(local) + int((local % 1) * 24) / 24
def text(v, n):
    v = v.encode()[:n]
    return bytes([len(v)]) + v + b"\0" * (n - len(v))
with open(os.path.join(site, "vantora.stat2"), "wb") as f:
    for k in range(365 * 24, -1, -1):
        f.write(struct.pack("<di", hour - k / 24, 3 + k % 11))
with open(os.path.join(site, "vantora.stat1"), "wb") as f:
    f.write(struct.pack("<i", 499))
    for k in range(500):
        f.write(struct.pack("<d", local - (500 - k) / 1440)
                + text("https://www.example.com/page%d.html" % (k % 37), 80)
                + text("Mozilla/5.0 (X11; rv:%d.0) Gecko/20100101 Firefox/%d.0" % (k % 40, k % 40), 64)
                + text("10.0.%d.%d" % (k % 9, k % 250), 16)
                + text("host%d.example.%s" % (k % 70, ("de", "com", "fr", "co.uk")[k % 4]), 40))
PY

cat >"$work/lighttpd.conf" <<EOF
server.document-root = "$work/docs"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$work/error.log"
server.modules += ("mod_alias", "mod_cgi")
\$HTTP["url"] == "/cgi-bin/vantora" {
  alias.url = ("/cgi-bin/vantora" => "$work/site/vantora")
  cgi.assign = ("" => "")
}
EOF
lighttpd -D -f "$work/lighttpd.conf" &
server_pid=$!
for _ in $(seq 1 50); do
  curl -s -o /dev/null "http://127.0.0.1:$port/cgi-bin/vantora?STAT" && break
  sleep 0.1
done

echo "load: $(uptime)"
for target in "counting:/cgi-bin/vantora?STAT" "template page:/cgi-bin/vantora"; do
  name=${target%%:*}
  path=${target#*:}
  rate=$(wrk -t1 -c"$connections" -d"${seconds}s" "http://127.0.0.1:$port$path" |
    awk '/Requests\/sec/ { print $2 }')
  printf '%-14s %10s requests per second\n' "$name" "$rate"
done
echo "load: $(uptime)"
