#!/usr/bin/env bash
# Writes cmake/vantora.order: the functions the program's requests run, in
# the order the linker is to lay them out (cmake/vantora_layout.cmake), the
# counting request's first, then the template and examine pages', then the
# charts'; then the data they touch, the data they write first (a page of
# data that a process writes costs it a copy of its own).
#
#   bash tools/order-functions.sh [build-dir]
#
# The requests run as real CGI processes of the built program in a folder of
# their own with statistics files like a live site's: under callgrind (every
# function a request enters, whatever the machine), then natively under perf
# sampling when perf is there (the variants of the C library's string and
# memory functions that this machine's processor selects; callgrind's
# simulated processor selects others).  Run it again when the program's
# functions have changed much; a list that has fallen behind only leaves the
# new functions where the linker would put them anyway.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
program=$(realpath "$build/vantora")
out=cmake/vantora.order
command -v valgrind >/dev/null || { echo "needs valgrind" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
site="$work/site"
mkdir -p "$site"
cp "$program" "$site/vantora"
cp tools/demo/vantora.htm "$site/vantora.htm"

export SERVER_SOFTWARE=lighttpd/1.4.69 GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET
export SCRIPT_NAME=/cgi-bin/vantora SERVER_NAME=127.0.0.1 SERVER_PORT=80 SERVER_PROTOCOL=HTTP/1.1
export REMOTE_ADDR=127.0.0.1 HTTP_REFERER=http://127.0.0.1/index.html CGI_LOG_DIR="$work/log"
unset CONTENT_LENGTH CONTENT_TYPE HTTP_COOKIE REMOTE_HOST CGI_VERSION

# A year of hourly records up to the present hour, and visitors of varied
# browsers, referrers and hosts.
python3 - "$site/vantora.stat2" <<'PY'
import struct, sys, time
now = time.time()
local_now = (now + time.localtime(now).tm_gmtoff) / 86400 + 25569
hour = int(local_now) + int((local_now % 1) * 24) / 24
with open(sys.argv[1], "wb") as f:
    for k in range(365 * 24, 0, -1):
        f.write(struct.pack("<di", hour - k / 24, 1 + k % 17))
PY
agents=("Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 Safari/537.36"
        "Mozilla/5.0 (X11; Linux x86_64; rv:121.0) Gecko/20100101 Firefox/121.0"
        "Mozilla/5.0 (iPhone; CPU iPhone OS 17_1 like Mac OS X) Mobile/15E148"
        "Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)")
for n in $(seq 1 80); do
  QUERY_STRING=STAT REMOTE_ADDR="10.0.$((n % 5)).$n" REMOTE_HOST="host$n.example.de" \
    HTTP_USER_AGENT="${agents[n % 4]} v$n" HTTP_REFERER="https://www.example.org/page$((n % 7))" \
    "$site/vantora" </dev/null >/dev/null
done

# name|query|extra environment, in layout order.
requests=(
  "count_new|STAT|HTTP_USER_AGENT=Order-New-Visitor"
  "count_named|STAT|HTTP_USER_AGENT=Order-Named-Visitor REMOTE_HOST=host.example.com"
  "count_repeat|STAT|HTTP_USER_AGENT=Order-New-Visitor"
  "template||HTTP_USER_AGENT=Order"
  "examine|A=X|HTTP_USER_AGENT=Order"
  "hour_chart|A=CHART&Accuracy=1H&Days=30|HTTP_USER_AGENT=Order"
  "day_chart|A=CHART&Accuracy=1D&Days=365|HTTP_USER_AGENT=Order"
)

# The program's defined code symbols.
nm --defined-only "$site/vantora" | awk '$2 ~ /^[tTwWi]$/ {print $3}' | sort -u >"$work/symbols"

# The C library's resolvers of its processor-specific functions all run when
# any process starts (the static program's IRELATIVE relocations): first.
readelf -rW "$site/vantora" | awk '/IRELATIV/ {print $NF}' | sort -u >"$work/resolvers"
nm --defined-only "$site/vantora" |
  awk 'NR == FNR { want[$1] = 1; next } { address = $1; sub(/^0+/, "", address) }
       want[address] && $2 ~ /^[tTiW]$/ {print $3}' "$work/resolvers" - >"$work/ordered"
for request in "${requests[@]}"; do
  IFS='|' read -r name query extra <<<"$request"
  # shellcheck disable=SC2086
  env QUERY_STRING="$query" $extra valgrind --tool=callgrind --demangle=no --compress-strings=no \
    --callgrind-out-file="$work/$name.callgrind" "$site/vantora" </dev/null >/dev/null \
    2>"$work/$name.valgrind"
  sed -n "s/^fn=\\(([0-9]*) \\)\\?//p" "$work/$name.callgrind" >>"$work/ordered"
  if command -v perf >/dev/null && perf record -q -e cpu-clock -F 20000 -o "$work/$name.perf" \
       -- true 2>/dev/null; then
    # shellcheck disable=SC2086
    env QUERY_STRING="$query" $extra perf record -q -e cpu-clock -F 20000 -o "$work/$name.perf" -- \
      bash -c 'for i in $(seq 100); do "$0" </dev/null >/dev/null; done' "$site/vantora" \
      2>/dev/null || true
    perf report -i "$work/$name.perf" --no-demangle --comm vantora --sort sym --stdio 2>/dev/null |
      sed -n 's/.*\[\.\] \([^ ]*\).*/\1/p' >>"$work/ordered" || true
  fi
done

# The data symbols each request touches (valgrind's lackey traces every
# load and store): written ones, then those only read.
cat >"$work/data.py" <<'PY'
import bisect, subprocess, sys
binary = sys.argv[1]
segments = []
for line in subprocess.run(["readelf", "-lW", binary], capture_output=True, text=True).stdout.splitlines():
    p = line.split()
    if p and p[0] == "LOAD" and "E" not in p[6:-1]:
        segments.append((int(p[2], 16), int(p[2], 16) + int(p[5], 16)))
symbols = []
for line in subprocess.run(["nm", "-S", "--defined-only", binary], capture_output=True,
                           text=True).stdout.splitlines():
    p = line.split()
    if len(p) == 4 and p[2] in "dDbBrRvVgGsSu":
        symbols.append((int(p[0], 16), max(int(p[1], 16), 1), p[3]))
symbols.sort()
starts = [s[0] for s in symbols]
written, read = {}, {}
for line in sys.stdin:
    p = line.split()
    if len(p) != 2 or p[0] not in ("L", "S", "M"):
        continue
    address = int(p[1].split(",")[0], 16)
    if not any(s <= address < e for s, e in segments):
        continue
    i = bisect.bisect_right(starts, address) - 1
    if i >= 0 and address < symbols[i][0] + symbols[i][1]:
        (written if p[0] in "SM" else read).setdefault(symbols[i][2], None)
for name in written:
    print(name)
for name in read:
    if name not in written:
        print(name)
PY
nm --defined-only "$site/vantora" | awk '$2 ~ /^[dDbBrRvVgGsSu]$/ {print $3}' | sort -u >>"$work/symbols"
: >"$work/data"
for request in "${requests[@]}"; do
  IFS='|' read -r name query extra <<<"$request"
  # shellcheck disable=SC2086
  env QUERY_STRING="$query" $extra valgrind --tool=lackey --trace-mem=yes --log-fd=3 \
    "$site/vantora" 3>&1 </dev/null >/dev/null 2>/dev/null | python3 "$work/data.py" "$site/vantora" \
    >>"$work/data"
done
cat "$work/data" >>"$work/ordered"

# First appearance wins; only symbols the program defines.
awk 'NR == FNR { known[$0] = 1; next } known[$0] && !seen[$0]++' "$work/symbols" "$work/ordered" >"$out"
echo "$(wc -l <"$out") symbols written to $out"
