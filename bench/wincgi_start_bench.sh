#!/usr/bin/env bash
# Times a whole counting request (query STAT) of the vantora executable as a
# Windows CGI process, reading its request from a profile and writing the
# answer into the profile's output file, side by side in one hyperfine run
# with the same request as a standard CGI process (environment in, standard
# output out).  Prints both times and their ratio (goal: 1.1 or less).
#
#   bash bench/wincgi_start_bench.sh [build-dir]
#
# Each process works on its own copy of the program whose statistics files
# hold 500 visitors, restored before every run, so every run appends a new
# visitor and counts a hit, as a page view does.  REMOTE_HOST is 127.0.0.1:
# no host-name lookup runs.  RUNS (default 1000) sets the number of timed
# runs of each.
#
# The two processes need different environments (a standard CGI process is
# one because SERVER_SOFTWARE is set), so both start through the same small
# static C launcher, which sets the NAME=value words at the front of its
# command and executes the rest.  The launcher alone (starting nothing) is
# timed in the same run; the ratio is given both as measured and with the
# launcher's own time taken off both sides.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
program=$(realpath "$build/vantora")
runs=${RUNS:-1000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/std" "$work/win"
cp "$program" "$work/std/vantora"
cp "$program" "$work/win/vantora"

# The launcher: "launcher -c 'A=1 B=2 /path/program arg'".
cat >"$work/launcher.c" <<'EOF'
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
int main(int argc, char** argv) {
  if (argc < 3) return 0;
  char* words[64];
  int count = 0;
  for (char* word = strtok(argv[2], " "); word && count < 63; word = strtok(NULL, " ")) {
    words[count++] = word;
  }
  words[count] = NULL;
  int first = 0;
  while (first < count && strchr(words[first], '=') && words[first][0] != '/') {
    putenv(words[first++]);
  }
  if (first == count) return 0;
  execvp(words[first], words + first);
  return 127;
}
EOF
cc -O2 -static -o "$work/launcher" "$work/launcher.c"

# The request both processes serve.
agent="Mozilla/5.0 (timed visitor) Browser/1"
export GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET QUERY_STRING=STAT
export SCRIPT_NAME=/cgi-bin/vantora SERVER_NAME=127.0.0.1
export REMOTE_ADDR=127.0.0.1 REMOTE_HOST=127.0.0.1 HTTP_REFERER=http://127.0.0.1/index.html
export HTTP_USER_AGENT="$agent" CGI_LOG_DIR="$work/log"
unset SERVER_SOFTWARE CONTENT_LENGTH CONTENT_TYPE CGI_VERSION HTTP_COOKIE

printf '%s\r\n' \
  "[CGI]" "Request Protocol=HTTP/1.0" "Request Method=GET" "Query String=STAT" \
  "Executable Path=/cgi-bin/vantora" "Server Software=WinCgiBench/1.0" \
  "Server Name=127.0.0.1" "Server Port=80" "CGI Version=CGI/1.3a (Win)" \
  "Remote Address=127.0.0.1" "Remote Host=127.0.0.1" "User Agent=$agent" \
  "Referer=http://127.0.0.1/index.html" "" \
  "[Accept]" "*/*=Yes" "" \
  "[System]" "GMT Offset=0" "Debug Mode=No" "Output File=$work/win/answer.out" \
  "Content File=$work/win/request.inp" "" \
  "[Extra Headers]" "Host=127.0.0.1" >"$work/win/request.ini"
: >"$work/win/request.inp"

# 500 visitors in the statistics files, by real counting requests.
for i in $(seq 1 500); do
  SERVER_SOFTWARE=lighttpd/1.4.69 HTTP_USER_AGENT="Mozilla/5.0 (bench $i) Browser/$((i % 7))" \
    "$work/std/vantora" </dev/null >/dev/null
done
for file in vantora.stat1 vantora.stat2; do
  cp "$work/std/$file" "$work/saved.$file"
  cp "$work/std/$file" "$work/win/$file"
done

# Both answer with the same picture; the Windows CGI answer has no status
# line (the web server writes it).
SERVER_SOFTWARE=lighttpd/1.4.69 "$work/std/vantora" </dev/null >"$work/std.out"
"$work/win/vantora" "$work/win/request.ini" </dev/null
cmp -s <(tail -c +18 "$work/std.out") "$work/win/answer.out" ||
  { echo "the two answers differ" >&2; exit 1; }

# A web server names a new output file for every request: the file the last
# run wrote goes before the next.
printf 'cp %s %s\nrm -f %s\n' "$work/saved.vantora.stat1" "$work/win/vantora.stat1" \
  "$work/win/answer.out" >"$work/prepare-win.sh"

hyperfine -N --style basic --warmup 50 --runs "$runs" --export-csv "$work/times.csv" \
  --prepare "cp $work/saved.vantora.stat1 $work/std/vantora.stat1" \
  --prepare "cp $work/saved.vantora.stat1 $work/std/vantora.stat1" \
  --prepare "bash $work/prepare-win.sh" \
  --command-name "launcher alone" "$work/launcher -c ''" \
  --command-name "standard CGI" \
  "$work/launcher -c 'SERVER_SOFTWARE=lighttpd/1.4.69 $work/std/vantora'" \
  --command-name "Windows CGI" "$work/launcher -c '$work/win/vantora $work/win/request.ini'" \
  </dev/null >&2

echo
# The processor time (user + system) each process used is the least
# disturbed by the neighbours' load on a shared machine; the wall times
# follow it.
awk -F, 'NR == 2 { ld = $4; lc = $5 + $6 } NR == 3 { sm = $2; sd = $4; sn = $7; sc = $5 + $6 }
  NR == 4 { wm = $2; wd = $4; wn = $7; wc = $5 + $6 }
  END {
    printf "launcher alone: median %.3f ms\n", ld * 1000
    printf "standard CGI:   mean %.3f ms, median %.3f ms, min %.3f ms\n", sm * 1000, sd * 1000, sn * 1000
    printf "Windows CGI:    mean %.3f ms, median %.3f ms, min %.3f ms\n", wm * 1000, wd * 1000, wn * 1000
    printf "processor time (user + system): launcher %.3f ms, standard CGI %.3f ms, Windows CGI %.3f ms\n", lc * 1000, sc * 1000, wc * 1000
    printf "ratio Windows CGI / standard CGI, processor time: %.2f (launcher taken off: %.2f)\n", wc / sc, (wc - lc) / (sc - lc)
    printf "ratio Windows CGI / standard CGI: median %.2f (launcher taken off: %.2f), mean %.2f, min %.2f (goal: 1.1 or less)\n", wd / sd, (wd - ld) / (sd - ld), wm / sm, wn / sn
  }' "$work/times.csv"
uptime
