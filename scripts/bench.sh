#!/usr/bin/env bash
# Performance figures of the library and of the reference host (docs/performance.md).
#
#   scripts/bench.sh [micro|host|writes|instructions|memory|all]      (default: all)
#
# micro: the Google Benchmark binary (bench/): every action through the real
#        liblprcgi.so against its floor in the same run, heap allocations per request.
# instructions: the same pairs under callgrind: instructions per request of action and
#        floor, a ratio that the load of a shared machine does not move (a cross-check).
# host:  wrk with keep-alive against the reference host's read action (Digest SHA-256,
#        its default, then MD5) and, in the same rounds, against nginx serving the same
#        bytes as a static file; then the host's vehicle-count write, strict (the
#        default) against --lenient in the same run; then acknowledged writes from one
#        client, database on the disk and in /dev/shm. Every host is an lpr-webd with
#        an lpr-settingsd of its own (own database copy, own bus folder).
# writes: only the two write parts.
# memory: resident size of lpr-webd and lpr-settingsd idle and after a run of requests,
#        on this machine and, built for 32-bit ARM, under qemu-arm (bench/lpr_memory.py).
# Every goal is printed as a line "goal <what>: met|missed (<figures>)".
# Everything runs on loopback from a temp folder that is removed at the end; every
# process started here is stopped here. Not part of the test run.
#
# Knobs (environment): LPR_BENCH_REPETITIONS (5), LPR_BENCH_MIN_TIME (0.5 s per run),
# LPR_BENCH_DURATION (10 s per wrk run), LPR_BENCH_CONNECTIONS (8: lpr-webd's default
# limit of connections per client address), LPR_BENCH_ROUNDS (5 alternating rounds),
# LPR_BENCH_PIN (1: servers on CPU 1, wrk on CPU 0),
# LPR_BENCH_KEEP (1: keep the temp folder with the logs and raw outputs),
# LPR_BENCH_HOST_ARGS (more lpr-webd options, e.g. "--threads 1"),
# LPR_BENCH_WRITE_CONNECTIONS (1: connections of the strict/lenient write comparison).
# LPR_BENCH_MEMORY_REQUESTS (100000), LPR_BENCH_MEMORY_BUDGET_KB (8192: the armhf budget
# of each program, idle and after the requests).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build/bench
WHAT=${1:-all}
REPETITIONS=${LPR_BENCH_REPETITIONS:-5}
MIN_TIME=${LPR_BENCH_MIN_TIME:-0.5}
DURATION=${LPR_BENCH_DURATION:-10}
CONNECTIONS=${LPR_BENCH_CONNECTIONS:-8}
ROUNDS=${LPR_BENCH_ROUNDS:-5}
PIN=${LPR_BENCH_PIN:-1}
MEMORY_REQUESTS=${LPR_BENCH_MEMORY_REQUESTS:-100000}
MEMORY_BUDGET_KB=${LPR_BENCH_MEMORY_BUDGET_KB:-8192}

case "$WHAT" in micro | host | writes | instructions | memory | all) ;; *)
    echo "usage: $0 [micro|host|writes|instructions|memory|all]" >&2
    exit 2
    ;;
esac

./scripts/deps.sh build bench

WORK=$(mktemp -d "${TMPDIR:-/tmp}/lpr-bench.XXXXXX")
PIDS=()
declare -A HOST_PIDS HOST_URLS
MEMORY_DIR=""
SHM_DIR=""
HOST_LOG=host-sha256
DIGEST=SHA-256
cleanup() {
    local pid
    for pid in "${PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    [ -z "$MEMORY_DIR" ] || rm -rf "$MEMORY_DIR"
    [ -z "$SHM_DIR" ] || rm -rf "$SHM_DIR"
    if [ "${LPR_BENCH_KEEP:-0}" = 1 ]; then
        echo "kept $WORK"
    else
        rm -rf "$WORK"
    fi
}
trap cleanup EXIT

machine() {
    echo "== machine"
    echo "cpu:     $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//') x $(nproc)"
    echo "memory:  $(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)"
    echo "kernel:  $(uname -sr)"
    echo "os:      $(. /etc/os-release && echo "$PRETTY_NAME")"
    echo "gcc:     $(g++ -dumpfullversion)"
    echo "cjson:   $(dpkg-query -W -f='${Version}' libcjson-dev)"
    echo "libzmq:  $(dpkg-query -W -f='${Version}' libzmq3-dev)"
    echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) at $(date -u '+%F %T') UTC"
}

build() {
    if ! { cmake --preset bench && cmake --build "$BUILD" -j2 --target "$@"; } \
        >"$WORK/build.log" 2>&1; then
        cat "$WORK/build.log" >&2
        exit 1
    fi
}

# ---- micro ----

# micro_run NAME [ARGS...]: lpr_bench with the repetitions and time per run above, its
# medians into $WORK/NAME.json, its output appended to $WORK/micro.txt.
micro_run() {
    local name=$1
    shift
    "$BUILD/bench/lpr_bench" "$@" \
        --benchmark_repetitions="$REPETITIONS" \
        --benchmark_min_time="$MIN_TIME" \
        --benchmark_report_aggregates_only=true \
        --benchmark_out="$WORK/$name.json" --benchmark_out_format=json \
        >>"$WORK/micro.txt" 2>"$WORK/micro.err" || { cat "$WORK/micro.err" >&2; exit 1; }
}

run_micro() {
    build lpr_bench
    echo
    echo "== micro: $BUILD/bench/lpr_bench, $REPETITIONS repetitions, medians"
    micro_run micro
    # The writes again with a subscriber on both publishers, as on a camera: shown, not a
    # verdict (the hand-over to ZeroMQ's I/O thread costs what the scheduler makes it).
    LPR_BENCH_SUBSCRIBER=1 micro_run micro-subscribed --benchmark_filter='^write/'
    python3 - "$WORK/micro.json" "$WORK/micro-subscribed.json" <<'PY'
import json, sys

# Medians over the repetitions. Per pair: the median single request of action and floor
# and their ratio (the verdict), and the ratio of the means (moved by preemption). A
# write's floor looks the members up as the write must; "parse" is its ratio against the
# floor without those lookups (parse and send only).
# Goals: reads at most 1.05 and writes (nobody listening on the bus) at most 1.15 times
# their floor, refusals under 1 us, and no heap allocation beyond need (the floor's plus
# the reply's three).
runs = {b["run_name"].replace("/manual_time", ""): b
        for path in sys.argv[1:] for b in json.load(open(path))["benchmarks"]
        if b.get("aggregate_name") == "median"}
print(f'{"benchmark":22}{"action":>10}{"floor":>10}{"ratio":>7}{"(means)":>8}{"parse":>7}'
      f'{"goal":>6}{"allocs":>8}{"need":>6}')
goals = []
def goal(what, met, figures):
    goals.append(f'goal {what}: {"met" if met else "missed"} ({figures})')
for name, b in runs.items():
    allocs, need = b.get("allocs", 0), b.get("min_allocs", 0)
    if "ratio_med" in b:
        bound = 1.05 if name.startswith("read/") else 1.15
        r = b["ratio_med"]
        parse = f'{b["parse_ratio_med"]:7.3f}' if "parse_ratio_med" in b else f'{"":7}'
        print(f'{name:22}{b["med_us"]:8.2f}us{b["floor_med_us"]:8.2f}us{r:7.3f}{b["ratio"]:8.3f}'
              f'{parse}{bound:6.2f}{allocs:8.1f}{need:6.0f}')
        against_parse = (f'; {b["parse_ratio_med"]:.3f} against the floor without the member'
                         f' lookups, {b["parse_floor_med_us"]:.2f} us') if "parse_ratio_med" in b else ""
        figures = f'{r:.3f}: {b["med_us"]:.2f} against {b["floor_med_us"]:.2f} us, medians{against_parse}'
        if name.endswith("/subscribed"):
            goals.append(f'shown {name} time: {figures}')
        else:
            goal(f'{name} time <= {bound} x floor', r <= bound, figures)
    else:
        t = b["real_time"] * {"ns": 1, "us": 1e3, "ms": 1e6}[b["time_unit"]]
        refusal = name.startswith("refuse/")
        print(f'{name:22}{t:8.0f}ns{"":10}{"":7}{"":8}{"<1us" if refusal else "":>6}'
              f'{allocs:8.1f}{need:6.0f}')
        if refusal:
            goal(f'{name} time < 1 us', t < 1000, f'{t:.0f} ns')
    goal(f'{name} allocations <= need', allocs <= need + 0.05,
         f'{allocs:.1f} per request, need {need:.0f}')
print("\n".join(goals))
PY
    echo "(full Google Benchmark output with mean/median/stddev: rerun with"
    echo " build/bench/bench/lpr_bench --benchmark_repetitions=$REPETITIONS)"
}

# ---- instructions ----

run_instructions() {
    build lpr_bench
    echo
    echo "== instructions: callgrind, instructions per request (the machine's load does not count)"
    local name
    for name in read/advanced read/vehicle_count write/advanced write/vehicle_count; do
        valgrind --tool=callgrind --callgrind-out-file="$WORK/callgrind.${name//\//_}" \
            "$BUILD/bench/lpr_bench" --benchmark_filter="^$name/" --benchmark_min_time=0.2 \
            >/dev/null 2>&1
    done
    python3 - "$WORK" <<'PY'
import re, subprocess, sys

# In callgrind_annotate's caller tree, the line of a function ("*") follows the lines of
# its callers ("<", with call counts); inclusive cost over calls is the cost of one call.
def per_call(out, func):
    calls = 0
    for line in out.splitlines():
        if "< " in line and (m := re.search(r"\((\d+)x\)", line)):
            calls += int(m.group(1))
        elif "* " in line:
            if func in line:
                return int(line.split()[0].replace(",", "")) / calls
            calls = 0
        elif not line.strip():
            calls = 0
    raise SystemExit(f"{func} not found in the profile")

# A cross-check of the time goals, not a goal itself: an instruction of strtol weighs as
# much as one of memcpy, and where the heap puts a block moves a read by a few percent.
floors = {"read/advanced": "floor_read_advanced", "read/vehicle_count": "floor_read_count",
          "write/advanced": "floor_write_advanced", "write/vehicle_count": "floor_write_count"}
print(f'{"benchmark":22}{"action Ir":>12}{"floor Ir":>12}{"ratio":>8}{"parse Ir":>12}{"ratio":>8}'
      f'{"time goal":>11}')
for name, floor in floors.items():
    out = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--tree=caller",
                          f'{sys.argv[1]}/callgrind.{name.replace("/", "_")}'],
                         capture_output=True, text=True, check=True).stdout
    action, base = per_call(out, "run_action("), per_call(out, "::" + floor + "()")
    bound = 1.05 if name.startswith("read/") else 1.15
    parse = ""
    if name.startswith("write/"):  # the floor without the member lookups
        p = per_call(out, "::parse_" + floor + "()")
        parse = f'{p:12.0f}{action / p:8.3f}'
    print(f'{name:22}{action:12.0f}{base:12.0f}{action / base:8.3f}{parse:20}{bound:11.2f}')
PY
}

# ---- host ----

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

wait_http() {
    local url=$1 i
    for i in $(seq 1 100); do
        if curl -s -o /dev/null "$url"; then
            return 0
        fi
        sleep 0.1
    done
    echo "no answer from $url" >&2
    return 1
}

# wait_log FILE TEXT: until FILE holds TEXT (10 s at most).
wait_log() {
    local _
    for _ in $(seq 1 100); do
        if grep -q "$2" "$1" 2>/dev/null; then
            return 0
        fi
        sleep 0.1
    done
    echo "no \"$2\" in $1; it ends with:" >&2
    tail -5 "$1" >&2
    return 1
}

pin() {
    if [ "$PIN" = 1 ] && [ "$(nproc)" -ge 2 ]; then
        echo taskset -c "$1"
    fi
}

# wrk_run URL OUT: a 2 s warm-up, then the measured run; prints "requests/s p50 p75 p90
# p99" with latencies in microseconds. A request counts as lost after 10 s, not wrk's
# 2 s: on a shared machine of two cores a busy moment is no failure of the server. Both servers get the same requests: every one
# carries a Digest answer computed by the script (nginx ignores it), so the client's
# work is the same on both sides. One wrk thread per connection, so that each
# connection has a Digest nonce of its own (bench/wrk_digest.lua).
wrk_run() {
    local url=$1 out=$2 args attempt
    # The warm-up also proves the nonces: one refused as stale (expired, or dropped from
    # the host's bounded nonce table) makes the connections get new nonces.
    for attempt in 1 2 3; do
        args=$(digest_args)
        WRK_RUN=$((WRK_RUN + 1))
        # shellcheck disable=SC2046,SC2086
        $(pin 0) wrk -t"$CONNECTIONS" -c"$CONNECTIONS" -d2s -s "$ROOT/bench/wrk_digest.lua" \
            "$url" -- $args >"$out.warm"
        if ! grep -q 'Non-2xx' "$out.warm"; then
            break
        fi
        echo "warm-up refused some requests (nonce taken over); new nonces" >&2
        fetch_nonces
    done
    args=$(digest_args)
    WRK_RUN=$((WRK_RUN + 1))
    # Where the measured run starts in the host's access log, and the CPU time the host
    # has used so far (user and system, in clock ticks), when HOST_PID names it.
    wc -l <"$WORK/$HOST_LOG.log" >"$out.mark"
    [ -z "${HOST_PID:-}" ] || cpu_ticks "$HOST_PID" >"$out.cpu"
    # shellcheck disable=SC2046,SC2086
    $(pin 0) wrk -t"$CONNECTIONS" -c"$CONNECTIONS" -d"${DURATION}s" --timeout 10s --latency \
        -s "$ROOT/bench/wrk_digest.lua" "$url" -- $args >"$out"
    [ -z "${HOST_PID:-}" ] || cpu_ticks "$HOST_PID" >>"$out.cpu"
    awk '
        function us(v) {
            if (v ~ /us$/) return v + 0
            if (v ~ /ms$/) return v * 1000
            if (v ~ /s$/) return v * 1000000
            return v
        }
        /Requests\/sec/ { rps = $2 }
        /^ +50%/ { p50 = us($2) } /^ +75%/ { p75 = us($2) }
        /^ +90%/ { p90 = us($2) } /^ +99%/ { p99 = us($2) }
        /Non-2xx/ { bad = $NF }
        /Socket errors/ { errors = $0 }
        END {
            if (bad > 0) { print "wrk saw " bad " non-2xx replies" > "/dev/stderr"; exit 1 }
            if (errors != "") { print "wrk: " errors > "/dev/stderr"; exit 1 }
            printf "%s %s %s %s %s\n", rps, p50, p75, p90, p99
        }' "$out" || {
        echo "statuses in the host's access log (count, status):" >&2
        grep ' access: ' "$WORK/$HOST_LOG.log" | awk '{ print $(NF - 2) }' |
            sort | uniq -c >&2
        exit 1
    }
}

# The settings of a camera in service, and one user allowed to read and write (with the
# MD5 key as well, for the hosts started with --digest-md5). Every host gets a copy.
make_settings() {
    local db=$WORK/settings.db tool=$BUILD/tools/lpr-settings-db/lpr-settings-db
    "$tool" create "$db" >/dev/null
    # The same vehicle-count settings as the micro benchmarks (bench/bench_documents.cpp).
    "$tool" set "$db" vehicle_count.enable=1 vehicle_count.showInfo=1 \
        vehicle_count.infoTableLeft=5 vehicle_count.infoTableTop=10 vehicle_count.countType=1 \
        vehicle_count.autoReset=1 vehicle_post.enable=1 vehicle_post.postMode=1 \
        vehicle_post.postInterval=1 vehicle_post.postType=1 vehicle_post.timeHour=23 \
        vehicle_post.timeMin=59 vehicle_post.timeSec=30 vehicle_post.cameraPort=8080 \
        'vehicle_post_http[0].httpEnable=1' 'vehicle_post_http[1].httpEnable=1' \
        'vehicle_post_http[0].url=http://10.20.30.40:8080/api/v1/traffic/vehicle-count?site=north-gate&lane=2' \
        'vehicle_post_http[1].url=https://counts.city-traffic.example/ingest/lpr/cameras/LPR-CAM-0042/counts' \
        'vehicle_post_http[2].url=http://192.168.1.200/cgi-bin/count_receiver.cgi' \
        'vehicle_post_http[0].user=counter' 'vehicle_post_http[1].user=lpr-north-gate' \
        'vehicle_post_http[2].user=admin' 'vehicle_post_http[0].password=s3cr3t-Passw0rd!' \
        'vehicle_post_http[1].password=Tr4ffic#Counts-2024' \
        'vehicle_post_http[2].password=admin123' >/dev/null
    printf '%s' "$BENCH_PASSWORD" |
        "$BUILD/tools/lpr-webd/lpr-webd" --users "$WORK/users" --add-user "$BENCH_USER" \
            --perm view,change --digest-md5 >/dev/null
}

# cpu_ticks PID: the user and system CPU time of a process, in clock ticks.
cpu_ticks() {
    awk '{ print $14 + $15 }' "/proc/$1/stat"
}

# launch_host NAME PORT [OPTIONS...]: a host as on a camera, lpr-settingsd and lpr-webd,
# on a copy of the settings that make_settings made ($DB_DIR/NAME.db, DB_DIR defaulting
# to $WORK), with a bus folder of their own ($WORK/ipc-NAME) and their logs
# ($WORK/NAME.log, with the access log, and $WORK/NAME-settingsd.log). A write answers
# 200 only once this daemon has stored it. Nonces live for the whole run.
launch_host() {
    local name=$1 port=$2 db=${DB_DIR:-$WORK}/$1.db
    shift 2
    mkdir -p "$WORK/ipc-$name"
    cp "$WORK/settings.db" "$db"
    # shellcheck disable=SC2046
    LPR_ZMQ_IPC_DIR=$WORK/ipc-$name $(pin 1) "$BUILD/tools/lpr-settingsd/lpr-settingsd" \
        --db "$db" >"$WORK/$name-settingsd.log" 2>&1 &
    PIDS+=($!)
    wait_log "$WORK/$name-settingsd.log" 'settingsd: ready'
    # shellcheck disable=SC2046,SC2086
    LPR_ZMQ_IPC_DIR=$WORK/ipc-$name $(pin 1) "$BUILD/tools/lpr-webd/lpr-webd" \
        --address 127.0.0.1 --port "$port" --db "$db" --users "$WORK/users" \
        --change-log "$WORK/$name-changes.log" \
        --nonce-timeout 3600 ${LPR_BENCH_HOST_ARGS:-} "$@" \
        >"$WORK/$name.log" 2>&1 &
    PIDS+=($!)
    HOST_PIDS[$name]=$!
    wait_log "$WORK/$name.log" 'listening on'
}

# One distinct Digest nonce per connection, fetched once; every challenge brings a new
# one (a repeated nonce would only be skipped).
fetch_nonces() {
    local challenge nonce
    NONCES=()
    OPAQUE=""
    while [ ${#NONCES[@]} -lt "$CONNECTIONS" ]; do
        # shellcheck disable=SC2086
        challenge=$(curl -si ${WRK_CHALLENGE_ARGS:-} "$HOST_URL" | tr -d '\r' |
            grep -i '^WWW-Authenticate:')
        nonce=$(sed -n 's/.*nonce="\([^"]*\)".*/\1/p' <<<"$challenge")
        OPAQUE=$(sed -n 's/.*opaque="\([^"]*\)".*/\1/p' <<<"$challenge")
        if [ -z "$nonce" ] || [ -z "$OPAQUE" ]; then
            echo "no Digest challenge from the host; its log ends with:" >&2
            tail -5 "$WORK/$HOST_LOG.log" >&2
            exit 1
        fi
        if [ ${#NONCES[@]} -eq 0 ] || [ "${NONCES[-1]}" != "$nonce" ]; then
            NONCES+=("$nonce")
        else
            sleep 0.25
        fi
    done
    WRK_RUN=0
}

# The script's arguments for the next wrk run: the nonce counters of every run start
# above those of the runs before it (and above the one request curl made). DIGEST is
# SHA-256 (the host's default) or MD5.
digest_args() {
    local sum=sha256sum ha1 ha2
    [ "$DIGEST" = MD5 ] && sum=md5sum
    ha1=$(printf '%s:%s:%s' "$BENCH_USER" lpr-camera "$BENCH_PASSWORD" | $sum | cut -d' ' -f1)
    ha2=$(printf '%s:%s' "${WRK_METHOD:-GET}" "$HOST_URI" | $sum | cut -d' ' -f1)
    echo "$DIGEST" "$BENCH_USER" lpr-camera "$OPAQUE" "$ha1" "$ha2" \
        "$(((WRK_RUN + 1) * 100000000))" "${NONCES[@]}"
}

start_nginx() { # serves $WORK/www; sets NGINX_URL
    local port
    port=$(free_port)
    mkdir -p "$WORK/nginx/tmp"
    local user=""
    # A master started as root hands the workers to an unprivileged user, who could not
    # read the temp folder: keep them on the current user.
    if [ "$(id -u)" -eq 0 ]; then
        user="user $(id -un);"
    fi
    cat >"$WORK/nginx/nginx.conf" <<CONF
$user
worker_processes 1;
daemon off;
master_process on;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log warn;
events { worker_connections 1024; }
http {
    access_log off;
    client_body_temp_path $WORK/nginx/tmp/body;
    proxy_temp_path $WORK/nginx/tmp/proxy;
    fastcgi_temp_path $WORK/nginx/tmp/fastcgi;
    uwsgi_temp_path $WORK/nginx/tmp/uwsgi;
    scgi_temp_path $WORK/nginx/tmp/scgi;
    keepalive_requests 1000000;
    server {
        listen 127.0.0.1:$port;
        root $WORK/www;
        location / { default_type application/json; }
    }
}
CONF
    # shellcheck disable=SC2046
    $(pin 1) nginx -p "$WORK/nginx" -e "$WORK/nginx/error.log" -c "$WORK/nginx/nginx.conf" &
    PIDS+=($!)
    NGINX_URL="http://127.0.0.1:$port/vehicle_count.json"
    wait_http "$NGINX_URL"
}

# The settings, the user, a host as it starts by default, and the document it serves in
# $WORK/www.
prepare_host() {
    build lpr-webd lpr-settingsd lpr-settings-db
    HOST_URI=/api/v1/get_vehicle_count
    BENCH_USER=bench
    BENCH_PASSWORD=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
    make_settings
    local port
    port=$(free_port)
    launch_host host-sha256 "$port"
    HOST_URLS[SHA-256]="http://127.0.0.1:$port$HOST_URI"
    mkdir -p "$WORK/www"
    curl -sf --digest -u "$BENCH_USER:$BENCH_PASSWORD" "${HOST_URLS[SHA-256]}" \
        -o "$WORK/www/vehicle_count.json"
}

# ratio_goals FIGURES LABEL: the host's goals from the rounds in FIGURES (lines "round
# host-figures nginx-figures", each "req/s p50 p75 p90 p99"); per round the ratio of host
# to nginx, the verdict on the median round.
ratio_goals() {
    python3 - "$1" "$2" <<'PY'
import statistics, sys
rows = [list(map(float, l.split())) for l in open(sys.argv[1]) if l.strip()]
label = sys.argv[2]
print(f'{"server":8}{"round":>6}{"req/s":>11}{"p50 us":>9}{"p75 us":>9}{"p90 us":>9}{"p99 us":>9}')
for k, name in ((1, "host"), (6, "nginx")):
    for r in rows:
        f = r[k:k + 5]
        print(f'{name:8}{r[0]:6.0f}{f[0]:11.0f}{f[1]:9.0f}{f[2]:9.0f}{f[3]:9.0f}{f[4]:9.0f}')
tp = [r[1] / r[6] for r in rows]
p90 = [r[4] / r[9] for r in rows]
scatter = lambda v: ", ".join(f"{x:.2f}" for x in v)
t, p = statistics.median(tp), statistics.median(p90)
print(f'goal host throughput >= 0.9 x nginx ({label}): {"met" if t >= 0.9 else "missed"} '
      f'({t:.2f}, median of rounds {scatter(tp)})')
print(f'goal host p90 <= 2 x nginx ({label}): {"met" if p <= 2 else "missed"} '
      f'({p:.2f}, median of rounds {scatter(p90)})')
PY
}

# The read against nginx: with the default options (Digest SHA-256), then with
# --digest-md5; nginx measured in the same rounds, alternating with the host.
run_host() {
    echo
    echo "== host: wrk -t$CONNECTIONS -c$CONNECTIONS -d${DURATION}s, keep-alive, loopback," \
        "$ROUNDS alternating rounds$([ "$PIN" = 1 ] && echo ', servers on CPU 1, wrk on CPU 0')"
    prepare_host
    local port
    port=$(free_port)
    launch_host host-md5 "$port" --digest-md5
    HOST_URLS[MD5]="http://127.0.0.1:$port$HOST_URI"
    start_nginx
    cmp -s "$WORK/www/vehicle_count.json" <(curl -sf "$NGINX_URL") ||
        { echo "nginx does not serve the host's bytes" >&2; exit 1; }
    echo "document: $(wc -c <"$WORK/www/vehicle_count.json") bytes, the same from both:"
    echo "  host  $HOST_URI (lpr-webd ${LPR_BENCH_HOST_ARGS:-}with its default options," \
        "and with --digest-md5; access log to a file)"
    echo "  nginx $NGINX_URL (1 worker, static file, access log off)"

    local r name
    for DIGEST in SHA-256 MD5; do
        name=host-sha256
        [ "$DIGEST" = MD5 ] && name=host-md5
        HOST_URL=${HOST_URLS[$DIGEST]}
        HOST_LOG=$name
        : >"$WORK/$name.fig"
        fetch_nonces
        for r in $(seq 1 "$ROUNDS"); do
            # Not in a subshell: wrk_run counts the runs that the nonce counters follow.
            wrk_run "$HOST_URL" "$WORK/wrk-$name-$r.txt" >"$WORK/$name-$r.host"
            wrk_run "$NGINX_URL" "$WORK/wrk-nginx-$name-$r.txt" >"$WORK/$name-$r.nginx"
            echo "$r $(cat "$WORK/$name-$r.host") $(cat "$WORK/$name-$r.nginx")" >>"$WORK/$name.fig"
        done
        echo
        echo "-- Digest $DIGEST$([ "$DIGEST" = SHA-256 ] && echo ' (the default options)')"
        ratio_goals "$WORK/$name.fig" "Digest $DIGEST"
    done
    run_host_writes
    run_write_acks
}

# The vehicle-count write, strict against --lenient: two hosts on the same settings take
# the document read above back (it passes the strict check and changes nothing), and
# are measured at the same time. A write's server time is the CPU time the web server
# used in the measured run (user and system, from /proc) divided by the writes it
# answered: it does not count the time a host waits while the other one, its daemon or
# another process runs. The access log's time of each write (request line to the end of
# the reply, so with the wait for the daemon) is shown too; it does count that waiting.
run_host_writes() {
    local CONNECTIONS=${LPR_BENCH_WRITE_CONNECTIONS:-1} DIGEST=SHA-256 mode r port
    local -A url
    local body=$WORK/write.json
    cp "$WORK/www/vehicle_count.json" "$body"
    for mode in strict lenient; do
        port=$(free_port)
        # shellcheck disable=SC2046
        launch_host "$mode" "$port" $([ "$mode" = lenient ] && echo --lenient)
        url[$mode]="http://127.0.0.1:$port/api/v1/set_vehicle_count"
    done
    echo
    echo "== host writes: POST /api/v1/set_vehicle_count ($(wc -c <"$body") bytes, the" \
        "document read above), strict and --lenient at once, each with its settings" \
        "daemon, wrk -t$CONNECTIONS -c$CONNECTIONS -d${DURATION}s each, $ROUNDS rounds"
    : >"$WORK/writes.fig"
    # Both at once, each with its own client: whatever else the machine runs slows both
    # alike (measured one after the other, the load of other processes moved each one's
    # median by a factor of two between runs).
    local runs pid
    for r in $(seq 1 "$ROUNDS"); do
        runs=()
        for mode in strict lenient; do
            HOST_URL=${url[$mode]} HOST_URI=/api/v1/set_vehicle_count HOST_LOG=$mode \
                HOST_PID=${HOST_PIDS[$mode]} \
                WRK_METHOD=POST WRK_CHALLENGE_ARGS="--data-binary @$body" \
                LPR_WRK_BODY=$body run_host_write "$mode" "$r" &
            runs+=($!)
        done
        for pid in "${runs[@]}"; do
            wait "$pid"
        done
    done
    python3 - "$WORK" <<'PY'
import statistics, sys
work = sys.argv[1]
rows = [l.split() for l in open(f"{work}/writes.fig") if l.strip()]
times = {}
print(f'{"mode":8}{"round":>6}{"req/s":>9}{"p50 us":>8}{"p99 us":>8}{"CPU us/write":>14}'
      f'{"log us, median":>16}')
for mode, rnd, rps, p50, p99, cpu in rows:
    t = [float(x) for x in open(f"{work}/server-{mode}-{rnd}.txt")]
    times.setdefault(mode, []).extend(t)
    print(f'{mode:8}{rnd:>6}{float(rps):9.0f}{float(p50):8.0f}{float(p99):8.0f}{float(cpu):14.2f}'
          f'{statistics.median(t):16.1f}')
def med(mode, k):
    return statistics.median(float(r[k]) for r in rows if r[0] == mode)
rounds = sorted({r[1] for r in rows})
per_round = [float(next(r[5] for r in rows if r[0] == "strict" and r[1] == n)) /
             float(next(r[5] for r in rows if r[0] == "lenient" and r[1] == n)) for n in rounds]
cpu = statistics.median(per_round)
log = statistics.median(times["strict"]) / statistics.median(times["lenient"])
print(f'goal strict write CPU time < 1.10 x --lenient: {"met" if cpu < 1.10 else "missed"} '
      f'({cpu:.3f}, median of rounds {", ".join(f"{x:.3f}" for x in per_round)}; '
      f'access-log time {log:.3f}, p50 {med("strict", 3) / med("lenient", 3):.3f}, '
      f'throughput {med("strict", 2) / med("lenient", 2):.3f})')
PY
}

# run_host_write MODE ROUND: a run (warm-up and measured) against the host of MODE;
# appends "mode round req/s p50 p99 cpu-us-per-write" to writes.fig and the access-log
# time of every write of the measured run, in microseconds, to server-MODE-ROUND.txt.
run_host_write() {
    local mode=$1 round=$2 out=$WORK/wrk-$1-$2.txt fig
    fetch_nonces
    fig=$(wrk_run "$HOST_URL" "$out")
    read -r -a f <<<"$fig"
    tail -n +"$(($(cat "$out.mark") + 1))" "$WORK/$mode.log" |
        awk '/ access: .* POST .* 200 / { t = $NF; sub(/us$/, "", t); print t }' \
            >"$WORK/server-$mode-$round.txt"
    local writes ticks cpu
    writes=$(wc -l <"$WORK/server-$mode-$round.txt")
    ticks=$(awk 'NR == 1 { a = $1 } NR == 2 { print $1 - a }' "$out.cpu")
    cpu=$(awk -v t="$ticks" -v n="$writes" -v hz="$(getconf CLK_TCK)" \
        'BEGIN { printf "%.2f", t / hz * 1e6 / n }')
    echo "$mode $round ${f[0]} ${f[1]} ${f[4]} $cpu" >>"$WORK/writes.fig"
}

# Acknowledged writes as one client sees them: the vehicle-count document sent back
# over one keep-alive connection, each write sent when the last one was answered, that
# is once the daemon had stored it and acknowledged it. The latency is the request's
# (request to acknowledged reply) and the throughput the writes a second one client
# gets; with the database on the disk (the temp folder) and in /dev/shm (no disk wait),
# the two hosts measured in alternating rounds.
run_write_acks() {
    local CONNECTIONS=1 DIGEST=SHA-256 place r port
    local -A url
    local body=$WORK/write.json
    SHM_DIR=$(mktemp -d /dev/shm/lpr-bench.XXXXXX)
    for place in disk shm; do
        port=$(free_port)
        DB_DIR=$([ "$place" = shm ] && echo "$SHM_DIR" || echo "$WORK") \
            launch_host "ack-$place" "$port"
        url[$place]="http://127.0.0.1:$port/api/v1/set_vehicle_count"
    done
    echo
    echo "== acknowledged writes: POST /api/v1/set_vehicle_count, one client, one" \
        "connection, wrk -t1 -c1 -d${DURATION}s, $ROUNDS rounds; database on" \
        "$(df --output=source "$WORK" | tail -1) ($WORK) and in /dev/shm"
    : >"$WORK/acks.fig"
    for r in $(seq 1 "$ROUNDS"); do
        for place in disk shm; do
            HOST_URL=${url[$place]}
            HOST_URI=/api/v1/set_vehicle_count HOST_LOG=ack-$place WRK_METHOD=POST \
                WRK_CHALLENGE_ARGS="--data-binary @$body" LPR_WRK_BODY=$body \
                run_write_ack "$place" "$r"
        done
    done
    python3 - "$WORK/acks.fig" <<'PY'
import statistics, sys
rows = [l.split() for l in open(sys.argv[1]) if l.strip()]
print(f'{"database":10}{"round":>6}{"writes/s":>10}{"p50 us":>9}{"p90 us":>9}{"p99 us":>9}')
for place, rnd, rps, p50, p75, p90, p99 in rows:
    print(f'{place:10}{rnd:>6}{float(rps):10.0f}{float(p50):9.0f}{float(p90):9.0f}{float(p99):9.0f}')
for place in ("disk", "shm"):
    mine = [list(map(float, r[2:])) for r in rows if r[0] == place]
    med = lambda k: statistics.median(r[k] for r in mine)
    where = "on disk" if place == "disk" else "in /dev/shm"
    print(f'goal write request->acknowledgement measured, database {where}: met '
          f'(p50 {med(1):.0f} us, p99 {med(4):.0f} us, one client {med(0):.0f} writes/s; '
          f'medians of {len(mine)} rounds)')
PY
}

# run_write_ack PLACE ROUND: appends "place round req/s p50 p75 p90 p99" to acks.fig.
run_write_ack() {
    fetch_nonces
    wrk_run "$HOST_URL" "$WORK/wrk-ack-$1-$2.txt" >"$WORK/ack-$1-$2.fig"
    echo "$1 $2 $(cat "$WORK/ack-$1-$2.fig")" >>"$WORK/acks.fig"
}

# ---- memory ----

# memory_run LABEL TOOLS [EMULATOR]: bench/lpr_memory.py on the programs under TOOLS;
# prints its figures and keeps them in $WORK/memory-LABEL.txt. The settings database
# goes to /dev/shm where there is one, so that the daemon keeps up with the writes
# without waiting for a disk (the disk is not what is measured).
memory_run() {
    local label=$1 tools=$2 emulator=${3:-} shm=/dev/shm
    [ -d "$shm" ] || shm=$WORK
    MEMORY_DIR=$(mktemp -d "$shm/lpr-memory.XXXXXX")
    if ! python3 "$ROOT/bench/lpr_memory.py" --tools "$tools" --emulator "$emulator" \
        --settings-db-tool "$BUILD/tools/lpr-settings-db/lpr-settings-db" \
        --requests "$MEMORY_REQUESTS" --work "$MEMORY_DIR" >"$WORK/memory-$label.txt"; then
        cat "$WORK/memory-$label.txt" >&2
        tail -n 5 "$MEMORY_DIR"/*.log >&2
        exit 1
    fi
    rm -rf "$MEMORY_DIR"
    MEMORY_DIR=""
    echo "$label: $(head -1 "$WORK/memory-$label.txt")"
    awk -v label="$label" '/^memory / {
        sub("rss_kb=", "", $4); sub("anon_kb=", "", $5); sub("file_kb=", "", $6)
        printf "  %-14s %-6s %7d kB resident (%d kB anonymous, %d kB from files)\n", $2, $3, $4, $5, $6
    }' "$WORK/memory-$label.txt"
}

run_memory() {
    build lpr-webd lpr-settingsd lpr-settings-db
    echo
    echo "== memory: lpr-webd and lpr-settingsd, idle and after $MEMORY_REQUESTS requests" \
        "(98 reads and 2 writes in every 100, each write stored before the next request;" \
        "one keep-alive connection, Digest SHA-256)"
    memory_run x86-64 "$BUILD/tools"

    # The camera's build, run under qemu-user (docs/target.md).
    local rc=0 home=${LPR_ARMHF_HOME:-/opt/lpr-armhf} sysroot
    ./scripts/armhf-setup.sh >"$WORK/armhf-setup.log" 2>&1 || rc=$?
    if [ "$rc" -eq 77 ]; then
        echo "goal memory on armhf: missed (not measured: the package archive cannot be" \
            "reached, so there is no armhf build)"
        return 0
    fi
    [ "$rc" -eq 0 ] || { cat "$WORK/armhf-setup.log" >&2; exit 1; }
    sysroot=${LPR_ARMHF_SYSROOT:-$home/sysroot}
    if ! { cmake --preset armhf && cmake --build "$ROOT/build/armhf" -j2 --target lpr-webd \
        lpr-settingsd; } >"$WORK/build-armhf.log" 2>&1; then
        cat "$WORK/build-armhf.log" >&2
        exit 1
    fi
    [ -f "$sysroot/.lpr-sysroot" ] || sysroot=/usr/arm-linux-gnueabihf  # multiarch
    memory_run armhf "$ROOT/build/armhf/tools" "$home/bin/qemu-arm -L $sysroot"
    awk -v budget="$MEMORY_BUDGET_KB" '/^memory / && ($3 == "idle" || $3 == "after") {
        sub("rss_kb=", "", $4)
        printf "goal memory armhf %s %s < %d kB: %s (%d kB)\n", $2, $3, budget,
            ($4 < budget ? "met" : "missed"), $4
    }' "$WORK/memory-armhf.txt"
}

machine
if [ "$WHAT" = micro ] || [ "$WHAT" = all ]; then
    run_micro
fi
if [ "$WHAT" = instructions ] || [ "$WHAT" = all ]; then
    run_instructions
fi
if [ "$WHAT" = host ] || [ "$WHAT" = all ]; then
    run_host
fi
if [ "$WHAT" = writes ]; then
    prepare_host
    run_host_writes
    run_write_acks
fi
if [ "$WHAT" = memory ] || [ "$WHAT" = all ]; then
    run_memory
fi
echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
