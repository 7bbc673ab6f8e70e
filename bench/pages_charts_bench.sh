#!/usr/bin/env bash
# Times the program's requests as whole standard CGI processes, each against
# the floor of any CGI process on this machine: a static C program that
# writes the same response bytes.  The two run alternately (program, floor,
# program, floor, ...) in one driver, so that the neighbours' load falls on
# both alike, and the table gives the ratio of the fastest runs (min) and of
# the mean CPU time (user + system) of the processes.
#
# The statistics files are built like a busy site's: a full ring of 500
# visitors with varied agents, referrers, addresses and host names, and
# hourly records for 30 days, a year or ten years up to the present hour.
#
#   bash bench/pages_charts_bench.sh [build-dir]
#
# RUNS (default 300) sets the timed runs of each command.  The last lines
# give the growth from 30 days and from a year of history to 10 years
# (difference of the fastest runs, of the mean CPU time and of the
# instructions counted by callgrind), which should stay within noise.  "prog Mi" is the program's
# user-space instructions for one request in millions (valgrind), the figure
# least disturbed by a loaded machine.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
program=$(realpath "$build/vantora")
runs=${RUNS:-300}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/site" "$work/files"
cp "$program" "$work/site/vantora"
cp tools/demo/vantora.htm "$work/site/vantora.htm"

echo "load: $(uptime)"

python3 - "$work" "$runs" <<'PY'
import os, random, shutil, struct, subprocess, sys, time

work, runs = sys.argv[1], int(sys.argv[2])
site = os.path.join(work, "site")
files = os.path.join(work, "files")
rng = random.Random(17)

# Local time as the program stores it: days since 1899-12-30.
now = time.time()
local_now = (now + time.localtime(now).tm_gmtoff) / 86400 + 25569
this_hour = int(local_now) + int((local_now % 1) * 24) / 24

def text(value, size):
    value = value.encode("latin-1")[:size]
    return bytes([len(value)]) + value + b"\0" * (size - len(value))

agents = [
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/{v}.0 Safari/537.36",
    "Mozilla/5.0 (X11; Linux x86_64; rv:{v}.0) Gecko/20100101 Firefox/{v}.0",
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 Version/17.{v} Safari",
    "Mozilla/4.0 (compatible; MSIE {v}.0; Windows NT 5.1)",
    "Mozilla/5.0 (compatible; Googlebot/2.{v}; +http://www.google.com/bot.html)",
    "Mozilla/5.0 (iPhone; CPU iPhone OS 17_{v} like Mac OS X) Mobile/15E148",
    "Opera/9.{v} (Windows NT 6.1; U; en)",
    "Wget/1.{v}",
]
referrers = [
    "https://www.google.com/search?q=statistics+{v}",
    "https://duckduckgo.com/?q=hit+counter+{v}",
    "https://news.example.org/articles/{v}.html",
    "http://blog{v}.example.de/links/",
    "https://forum.example.co.uk/thread/{v}",
    "unknown",
    "",
    "http://127.0.0.1/index.html",
]
domains = ["example.com", "example.de", "example.co.uk", "example.fr", "example.net",
           "example.jp", "example.nl", "example.info", "example.at", "example.edu"]

# The visitor ring: 500 records, the newest in slot 211, one visitor every
# one to nine minutes back from a minute ago.
ring = [b""] * 500
newest = 211
t = local_now - 1 / 1440
for age in range(500):
    v = rng.randrange(1, 120)
    addr = "10.%d.%d.%d" % (rng.randrange(4), rng.randrange(30), rng.randrange(250))
    host = "" if rng.random() < 0.2 else "host%d.dsl.%s" % (rng.randrange(900), rng.choice(domains))
    record = (struct.pack("<d", t) + text(rng.choice(referrers).format(v=v), 80)
              + text(rng.choice(agents).format(v=v % 20), 64) + text(addr, 16) + text(host, 40))
    ring[(newest - age) % 500] = record
    t -= rng.randrange(1, 10) / 1440
with open(os.path.join(files, "ring.stat1"), "wb") as f:
    f.write(struct.pack("<i", newest) + b"".join(ring))
# The newest visitor, for the repeat-visitor request.
newest_agent = ring[newest][90:90 + ring[newest][89]].decode("latin-1")

# Hourly records back from the present hour; some night hours have no hits.
def hourly(days, name):
    out = bytearray()
    for k in range(days * 24, -1, -1):
        start = this_hour - k / 24
        hour = round((start % 1) * 24) % 24
        if hour < 6 and rng.random() < 0.4:
            continue
        hits = rng.randrange(1, 8) + (12 if 8 <= hour < 20 else 0)
        out += struct.pack("<di", start, hits)
    with open(os.path.join(files, name), "wb") as f:
        f.write(out)
hourly(30, "30d.stat2")
hourly(365, "1y.stat2")
hourly(3650, "10y.stat2")

base_env = {k: v for k, v in os.environ.items()
            if k not in ("CONTENT_LENGTH", "CONTENT_TYPE", "HTTP_COOKIE", "QUERY_STRING",
                         "REMOTE_HOST", "HTTP_REFERER", "HTTP_USER_AGENT")}
base_env.update(SERVER_SOFTWARE="lighttpd/1.4.69", GATEWAY_INTERFACE="CGI/1.1",
                REQUEST_METHOD="GET", SCRIPT_NAME="/cgi-bin/vantora", SERVER_NAME="127.0.0.1",
                SERVER_PORT="80", SERVER_PROTOCOL="HTTP/1.1", REMOTE_ADDR="127.0.0.1",
                HTTP_REFERER="http://127.0.0.1/index.html",
                CGI_LOG_DIR=os.path.join(work, "log"))

def place(hourly_file):
    shutil.copyfile(os.path.join(files, "ring.stat1"), os.path.join(site, "vantora.stat1"))
    shutil.copyfile(os.path.join(files, hourly_file), os.path.join(site, "vantora.stat2"))

def make_floor(response, name):
    source = os.path.join(work, name + ".c")
    with open(source, "w") as f:
        f.write("#include <unistd.h>\nstatic const unsigned char r[] = {%s};\n"
                "int main(void) { return write(1, r, sizeof r) == (ssize_t)sizeof r ? 0 : 1; }\n"
                % ",".join(str(b) for b in response))
    binary = os.path.join(work, name)
    subprocess.run(["cc", "-O2", "-static", "-o", binary, source], check=True)
    return binary

def run_once(argv, env, out):
    start = time.perf_counter_ns()
    pid = os.posix_spawn(argv[0], argv, env,
                         file_actions=[(os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0),
                                       (os.POSIX_SPAWN_DUP2, out, 1)])
    _, status, usage = os.wait4(pid, 0)
    wall = (time.perf_counter_ns() - start) / 1e6
    if status != 0:
        raise SystemExit("%s failed with status %d" % (argv[0], status))
    return wall, (usage.ru_utime + usage.ru_stime) * 1000

# Instructions the program executes for one request (user space, callgrind),
# the figure least disturbed by a loaded machine; empty without valgrind.
def count_instructions(argv, env):
    if shutil.which("valgrind") is None:
        return None
    done = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"] + argv,
                          env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    for line in done.stderr.splitlines():
        if "Collected :" in line:
            return int(line.split(":")[-1]) / 1e6
    return None

def measure(name, query, hourly_file, extra=None, restore=False):
    env = dict(base_env, QUERY_STRING=query,
               HTTP_USER_AGENT="Mozilla/5.0 (X11; Linux x86_64; rv:121.0) Gecko/20100101 Firefox/121.0")
    env.update(extra or {})
    place(hourly_file)
    response = subprocess.run([os.path.join(site, "vantora")], env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, check=True).stdout
    floor = make_floor(response, name + "-floor")
    null = os.open("/dev/null", os.O_WRONLY)
    times = {"vantora": [], "floor": []}
    for k in range(runs + 20):
        if restore:
            place(hourly_file)
        for who, argv in (("vantora", [os.path.join(site, "vantora")]), ("floor", [floor])):
            wall, cpu = run_once(argv, env, null)
            if k >= 20:  # the first runs warm the caches
                times[who].append((wall, cpu))
    os.close(null)
    if restore:
        place(hourly_file)
    instructions = count_instructions([os.path.join(site, "vantora")], env)
    def summary(values):
        walls = sorted(w for w, _ in values)
        return walls[0], walls[len(walls) // 2], sum(c for _, c in values) / len(values)
    return len(response), summary(times["vantora"]), summary(times["floor"]), instructions

rows = [
    ("counting, new visitor (host lookup runs)", "STAT", "1y.stat2", None, True, 1.3),
    ("counting, repeat visitor", "STAT", "1y.stat2",
     {"HTTP_USER_AGENT": newest_agent, "REMOTE_ADDR": ring[newest][155:155 + ring[newest][154]].decode(),
      "REMOTE_HOST": "127.0.0.1"}, False, 1.3),
    ("template page, every tag, 1 year, full ring", "", "1y.stat2", None, False, 2.0),
    ("examine page, full ring", "A=X", "1y.stat2", None, False, 2.0),
    ("hour chart, 30 days", "A=CHART&Accuracy=1H&Days=30", "30d.stat2", None, False, 3.0),
    ("day chart, 365 days", "A=CHART&Accuracy=1D&Days=365", "1y.stat2", None, False, 3.0),
]
growth = [
    ("template page", "", None),
    ("hour chart, 30 days", "A=CHART&Accuracy=1H&Days=30", None),
]

print()
print("%-44s %7s %9s %9s %9s %9s %8s %6s %6s  %s" % (
    "request", "bytes", "floor min", "prog min", "prog med", "prog cpu", "prog Mi", "min x",
    "cpu x", "goal"))
for title, query, hourly_file, extra, restore, goal in rows:
    size, (pmin, pmed, pcpu), (fmin, fmed, fcpu), instructions = measure(
        title.split(",")[0].replace(" ", "_"), query, hourly_file, extra, restore)
    min_ratio, cpu_ratio = pmin / fmin, pcpu / fcpu if fcpu > 0 else float("inf")
    verdict = "met" if min_ratio <= goal else "NOT met"
    print("%-44s %7d %7.3fms %7.3fms %7.3fms %7.3fms %8s %6.2f %6.2f  <= %.1fx (min: %s)" % (
        title, size, fmin, pmin, pmed, pcpu,
        "-" if instructions is None else "%.2f" % instructions, min_ratio, cpu_ratio, goal, verdict))
    sys.stdout.flush()

print()
print("growth of history to 10 years (goal: no growth beyond noise); the counters of a")
print("template page sum the last 365 days, so its cost grows up to a year and no further")
for title, query, extra in growth:
    results = {}
    for hourly_file in ("30d.stat2", "1y.stat2", "10y.stat2"):
        results[hourly_file] = measure("growth", query, hourly_file, extra)
    _, (b_min, _, b_cpu), _, b_ins = results["10y.stat2"]
    for start, label in (("30d.stat2", "30 days"), ("1y.stat2", "1 year")):
        _, (a_min, _, a_cpu), _, a_ins = results[start]
        print("%-44s %s min %.3f ms, 10 years min %.3f ms: %+.3f ms (cpu %+.3f ms, %s)" % (
            title, label, a_min, b_min, b_min - a_min, b_cpu - a_cpu,
            "-" if a_ins is None else "%+.2f M instructions" % (b_ins - a_ins)))
    sys.stdout.flush()
PY
echo "load: $(uptime)"
