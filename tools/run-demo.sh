#!/usr/bin/env bash
# Runs Vantora with its sample site behind lighttpd on a loopback port:
# installs what is missing and builds (tools/setup.sh), installs the program
# and the sample site (cmake --install), sets up a site folder and serves it
# until Ctrl-C.
#
#   bash tools/run-demo.sh [port]        (default port 8080)
#
# The site lives in build/demo/site: the statistics files and the request
# log appear in its cgi-bin folder beside the program.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
port=${1:-8080}

bash tools/setup.sh
prefix="$root/build/demo/install"
cmake --install build --prefix "$prefix" >/dev/null

site="$root/build/demo/site"
mkdir -p "$site/htdocs/cgi-bin" "$site/var"
cp "$prefix/share/vantora/site/htdocs/index.html" "$site/htdocs/"
cp "$prefix/share/vantora/site/cgi-bin/vantora.htm" "$site/htdocs/cgi-bin/"
cp "$prefix/bin/vantora" "$site/htdocs/cgi-bin/vantora"

user_lines=""
if [ "$(id -u)" -eq 0 ]; then
  # lighttpd drops root and runs the program as nobody, which must be able
  # to write the statistics files and the log beside the program.
  user_lines=$'server.username = "nobody"\nserver.groupname = "nogroup"'
  chmod 755 "$root/build" "$root/build/demo" "$site" "$site/htdocs"
  chmod 777 "$site/htdocs/cgi-bin" "$site/var"
fi

cat > "$site/var/lighttpd.conf" <<CONF
server.document-root = "$site/htdocs"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$site/var/error.log"
server.modules = ("mod_access", "mod_cgi")
index-file.names = ("index.html")
mimetype.assign = (".html" => "text/html", ".png" => "image/png")
# Only the program runs; its templates, statistics files and log stay private.
\$HTTP["url"] == "/cgi-bin/vantora" { cgi.assign = ("" => "") }
else \$HTTP["url"] =~ "^/cgi-bin/" { url.access-deny = ("") }
$user_lines
CONF

cat <<MSG

Vantora is running behind lighttpd. Open:
  http://127.0.0.1:$port/                        a page that carries the counting picture
  http://127.0.0.1:$port/cgi-bin/vantora         the statistics (template page, every tag)
  http://127.0.0.1:$port/cgi-bin/vantora?A=X     the last visitors (examine page)
Files: $site/htdocs/cgi-bin (statistics files, Log/ request log)
Press Ctrl-C to stop.

MSG
exec /usr/sbin/lighttpd -D -f "$site/var/lighttpd.conf"
