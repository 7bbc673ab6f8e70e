#!/usr/bin/env bash
# Times a whole CGI process: the echo test program (linked like the vantora
# executable) answering one GET request as a standard CGI program, side by
# side in one hyperfine run with a minimal static C program that writes the
# same response bytes -- the floor of any CGI process on this machine.
# Prints both times and their ratio (goal: 1.3 or less).
#
#   bash bench/cgi_start_bench.sh [build-dir] [program]
#
# The program defaults to <build-dir>/tests/vantora_echo_cgi; pass
# <build-dir>/vantora to time the product (QUERY=STAT times the counting
# request, which also records a hit).  The program runs from a copy in a
# temporary folder, so the files it keeps beside itself land there.
# RUNS (default 2000) sets the number of timed runs of each; QUERY (default
# "a=1&b=2") the query string; BESIDE files to copy beside the program.
set -euo pipefail

build=${1:-build}
source_program=$(realpath "${2:-$build/tests/vantora_echo_cgi}")
runs=${RUNS:-2000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
program="$work/$(basename "$source_program")"
cp "$source_program" "$program"
# BESIDE: files to place beside the program copy (e.g. a statistics file).
for file in ${BESIDE:-}; do cp "$file" "$work/"; done

export SERVER_SOFTWARE=lighttpd/1.4.69 GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET
export QUERY_STRING="${QUERY:-a=1&b=2}" SCRIPT_NAME=/cgi-bin/vantora SERVER_NAME=127.0.0.1
export REMOTE_ADDR=127.0.0.1 HTTP_USER_AGENT=cgi-start-bench
export CGI_LOG_DIR="$work/log"
unset CONTENT_LENGTH CONTENT_TYPE CGI_VERSION

"$program" </dev/null >"$work/response"
if [ ! -s "$work/response" ]; then
  echo "$program wrote no response" >&2
  exit 1
fi

# The floor: the same bytes from a static C program.
{
  echo '#include <unistd.h>'
  echo 'static const unsigned char response[] = {'
  od -An -v -tu1 "$work/response" | tr -s ' \n' '\n\n' | grep -v '^$' | paste -sd, -
  echo '};'
  echo 'int main(void) {'
  echo '  return write(1, response, sizeof response) == (ssize_t)sizeof response ? 0 : 1;'
  echo '}'
} >"$work/floor.c"
cc -O2 -static -o "$work/floor" "$work/floor.c"
"$work/floor" >"$work/floor-response"
cmp -s "$work/response" "$work/floor-response" || { echo "floor writes other bytes" >&2; exit 1; }

hyperfine -N --style basic --warmup 100 --runs "$runs" --export-csv "$work/times.csv" \
  --command-name "floor (static C)" "$work/floor" \
  --command-name "$(basename "$program")" "$program" </dev/null

# On a shared machine the mean follows the neighbours' load; the median and
# the minimum show the start-up cost itself.
awk -F, 'NR == 2 { fm = $2; fd = $4; fn = $7 } NR == 3 { pm = $2; pd = $4; pn = $7 }
  END {
    printf "floor:   mean %.3f ms, median %.3f ms, min %.3f ms\n", fm * 1000, fd * 1000, fn * 1000
    printf "program: mean %.3f ms, median %.3f ms, min %.3f ms\n", pm * 1000, pd * 1000, pn * 1000
    printf "ratio:   mean %.2f, median %.2f, min %.2f (goal: 1.3 or less)\n", pm / fm, pd / fd, pn / fn
  }' "$work/times.csv"
