#!/usr/bin/env bash
# Times the vantora executable's two main requests as whole standard CGI
# processes, each side by side in one hyperfine run with a minimal static C
# program that writes the same response bytes (the floor of any CGI process
# on this machine), and prints the ratios:
#   - a counting request (query STAT): the GIF picture, then the hit is
#     recorded into a visitor ring of 500 visitors and the hourly file;
#   - a template page: the sample statistics template (every tag) filled from
#     those files.
# REMOTE_HOST is "127.0.0.1", so no host-name lookup runs.  No fakes: the
# real program, its real files.
#
#   bash bench/counter_pages_bench.sh [build-dir]
#
# RUNS (default 1000) sets the number of timed runs of each command.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
program=$(realpath "$build/vantora")
runs=${RUNS:-1000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The program's folder: the program, the sample template beside it, and the
# statistics files, filled with 500 visitors by real counting requests.
mkdir -p "$work/site"
cp "$program" "$work/site/vantora"
cp tools/demo/vantora.htm "$work/site/vantora.htm"
export SERVER_SOFTWARE=lighttpd/1.4.69 GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET
export SCRIPT_NAME=/cgi-bin/vantora SERVER_NAME=127.0.0.1
export REMOTE_ADDR=127.0.0.1 REMOTE_HOST=127.0.0.1 HTTP_REFERER=http://127.0.0.1/index.html
export CGI_LOG_DIR="$work/log"
unset CONTENT_LENGTH CONTENT_TYPE CGI_VERSION HTTP_COOKIE
for i in $(seq 1 500); do
  QUERY_STRING=STAT HTTP_USER_AGENT="Mozilla/5.0 (bench $i) Browser/$((i % 7))" \
    "$work/site/vantora" </dev/null >/dev/null
done
cp "$work/site/vantora.stat1" "$work/saved.stat1"
cp "$work/site/vantora.stat2" "$work/saved.stat2"
export HTTP_USER_AGENT="Mozilla/5.0 (timed visitor) Browser/1"

# Builds a static C program that writes the bytes of the file $1 to $2.
make_floor() {
  {
    echo '#include <unistd.h>'
    echo 'static const unsigned char response[] = {'
    od -An -v -tu1 "$1" | tr -s ' \n' '\n\n' | grep -v '^$' | paste -sd, -
    echo '};'
    echo 'int main(void) {'
    echo '  return write(1, response, sizeof response) == (ssize_t)sizeof response ? 0 : 1;'
    echo '}'
  } >"$2.c"
  cc -O2 -static -o "$2" "$2.c"
}

# Times one request kind against its floor; prints the summary line.
run() {
  local name=$1 query=$2
  export QUERY_STRING=$query
  cp "$work/saved.stat1" "$work/site/vantora.stat1"
  cp "$work/saved.stat2" "$work/site/vantora.stat2"
  "$work/site/vantora" </dev/null >"$work/$name.response"
  make_floor "$work/$name.response" "$work/$name-floor"
  # Every counting run starts from the same 500 visitors, so each one is a
  # new visitor that is appended and counted.
  hyperfine -N --style basic --warmup 50 --runs "$runs" --export-csv "$work/$name.csv" \
    --prepare "cp $work/saved.stat1 $work/site/vantora.stat1" \
    --command-name "floor (static C writing the same bytes)" "$work/$name-floor" \
    --command-name "vantora $name" "$work/site/vantora" </dev/null >&2
  awk -F, -v name="$name" -v bytes="$(stat -c %s "$work/$name.response")" '
    NR == 2 { fm = $2; fd = $4; fn = $7 } NR == 3 { pm = $2; pd = $4; pn = $7 }
    END {
      printf "%-9s (%6d bytes): floor median %.3f ms, vantora median %.3f ms (mean %.3f, min %.3f); ratio median %.2f, mean %.2f, min %.2f\n",
        name, bytes, fd * 1000, pd * 1000, pm * 1000, pn * 1000, pd / fd, pm / fm, pn / fn
    }' "$work/$name.csv"
}

counting=$(run counting STAT)
template=$(run template "")
echo
echo "$counting"
echo "$template"
