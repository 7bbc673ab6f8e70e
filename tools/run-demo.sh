#!/usr/bin/env bash
# Runs Vantora with its sample site behind lighttpd on a loopback port:
# installs what is missing and builds (tools/setup.sh), installs the program,
# the sample site and the server configurations (cmake --install), lays out a
# site as the install guide does (README.md) and serves it with the shipped
# lighttpd configuration until Ctrl-C.
#
#   bash tools/run-demo.sh [port]        (default port 8080)
#
# The site lives in build/demo/site: htdocs/ is the document root, vantora/
# the program's folder (statistics files, templates, the request log Log/).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
port=${1:-8080}

port_answers() { (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; }
if port_answers; then
  echo "Port $port is in use already; give another: bash tools/run-demo.sh <port>" >&2
  exit 1
fi

bash tools/setup.sh
prefix="$root/build/demo/install"
cmake --install build --prefix "$prefix" >/dev/null

site="$root/build/demo/site"
program_dir="$site/vantora"
mkdir -p "$site/htdocs" "$program_dir" "$site/var"
cp "$prefix/share/vantora/site/htdocs/index.html" "$site/htdocs/"
cp "$prefix/share/vantora/site/cgi-bin/vantora.htm" "$program_dir/"
cp "$prefix/bin/vantora" "$program_dir/vantora"

user_lines=""
if [ "$(id -u)" -eq 0 ]; then
  # lighttpd drops root and runs the program as nobody: the program's folder
  # belongs to that user (never to everyone), the program and its template
  # stay root's and readable.
  user_lines=$'server.username = "nobody"\nserver.groupname = "nogroup"'
  chmod 755 "$root/build" "$root/build/demo" "$site" "$site/htdocs"
  chown nobody:nogroup "$program_dir" "$site/var"
  chmod 755 "$program_dir" "$site/var"
fi

# The server's own settings, then the shipped configuration with the program
# folder of this site in place of /srv/vantora.
sed "s|/srv/vantora|$program_dir|g" "$prefix/share/vantora/server/lighttpd-vantora.conf" \
  > "$site/var/vantora.conf"
cat > "$site/var/lighttpd.conf" <<CONF
server.document-root = "$site/htdocs"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$site/var/error.log"
index-file.names = ("index.html")
mimetype.assign = (".html" => "text/html")
include "$site/var/vantora.conf"
$user_lines
CONF

/usr/sbin/lighttpd -D -f "$site/var/lighttpd.conf" &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; exit 0' INT TERM
# Running, not ended (an ended child stays visible to kill -0 until reaped).
server_runs() { ps -o stat= -p "$server" | grep -qv Z; }
for _ in $(seq 100); do
  server_runs && port_answers && break
  sleep 0.1
done
# lighttpd listens before it has read everything it needs: it must still run
# a moment later.
sleep 0.5
if ! server_runs || ! port_answers; then
  echo "lighttpd does not run on port $port; its error log: $site/var/error.log" >&2
  kill "$server" 2>/dev/null || true
  exit 1
fi

cat <<MSG

Vantora is running behind lighttpd. Open:
  http://127.0.0.1:$port/                        a page that carries the counting snippet
  http://127.0.0.1:$port/cgi-bin/vantora         the statistics (the sample template)
  http://127.0.0.1:$port/cgi-bin/vantora?A=X     the last visitors (examine page)
Files: $program_dir (statistics files, template, Log/ request log)
Press Ctrl-C to stop.

MSG
wait "$server"
