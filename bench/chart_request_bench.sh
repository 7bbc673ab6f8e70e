#!/usr/bin/env bash
# Times a whole chart request: the vantora program answering
# "A=CHART&Accuracy=1H&Days=30" as a standard CGI process over thirty days
# of hourly data (721 hour records ending at the present hour), side by side
# with a minimal static C program that writes the same response bytes.  The
# timing and the floor are those of bench/cgi_start_bench.sh.
#
#   bash bench/chart_request_bench.sh [build-dir]
#
# QUERY overrides the chart request (e.g. "A=CHART&Accuracy=1D&Days=30");
# RUNS (default 500) the number of timed runs of each.
set -euo pipefail

here=$(dirname "$0")
build=${1:-build}
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT

# The hourly file: 12-byte records, a little-endian double (days since
# 1899-12-30, server local time, the start of the hour) and a signed 32-bit
# hit count, oldest first.
python3 - "$data/vantora.stat2" <<'PY'
import math, struct, sys, time
now = time.time()
local_days = (now + time.localtime(now).tm_gmtoff) / 86400 + 25569
this_hour = math.floor(local_days) + math.floor((local_days % 1) * 24) / 24
with open(sys.argv[1], "wb") as f:
    for k in range(30 * 24, -1, -1):
        start = this_hour - k / 24
        hour_of_day = round((start % 1) * 24) % 24
        hits = 1 + (6 if 8 <= hour_of_day < 20 else 0) + k % 3
        f.write(struct.pack("<di", start, hits))
PY

QUERY=${QUERY:-A=CHART&Accuracy=1H&Days=30} BESIDE="$data/vantora.stat2" RUNS=${RUNS:-500} \
  bash "$here/cgi_start_bench.sh" "$build" "$build/vantora"
