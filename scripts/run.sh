#!/usr/bin/env bash
# Runs the main job on this machine: the settings daemon (lpr-settingsd) and the
# camera's web server (lpr-webd, which loads liblprcgi.so) on 127.0.0.1.
#
#   ./scripts/run.sh              installs what is missing, builds, starts both
#   PORT=9090 ./scripts/run.sh    another port (default 8080; 0 lets the kernel pick one)
#   RUN_DIR=/tmp/cam ./scripts/run.sh   another run folder (default build/run)
#   BIN_DIR=/path/to/build/tools ./scripts/run.sh   programs built elsewhere; nothing is
#                                 installed or built
#
# The run folder keeps the settings database, the users file, the demo credentials,
# the bus's ipc socket files, the change log and both program logs, which each run
# appends to; a second run reuses them. One run.sh at a time uses a folder: it holds a
# lock on run.lock there for as long as it and its programs run. Ctrl-C stops both.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PORT=${PORT:-8080}
RUN_DIR=${RUN_DIR:-$ROOT/build/run}

mkdir -p "$RUN_DIR/ipc"
chmod 700 "$RUN_DIR"
# Before anything else touches the folder: a second instance would take the first one's
# bus endpoints and database and write into its logs.
exec 9>>"$RUN_DIR/run.lock"
if ! flock -n 9; then
  echo "run.sh: another run.sh uses this folder; set RUN_DIR=... to run a second camera" \
    "beside it (this folder: $RUN_DIR)" >&2
  exit 1
fi

if [ -n "${BIN_DIR:-}" ]; then
  BIN=$BIN_DIR
else
  ./scripts/deps.sh build host
  cmake --preset release >/dev/null
  cmake --build --preset release -j "$(nproc)" --target lpr-webd lpr-settingsd lpr-settings-db
  BIN=$ROOT/build/release/tools
fi

DB=$RUN_DIR/settings.db
USERS=$RUN_DIR/webd-users
CREDENTIALS=$RUN_DIR/demo-credentials
# Both programs put their bus sockets here instead of /var/run: no root needed, and
# nothing else on the machine shares this bus.
export LPR_ZMQ_IPC_DIR=$RUN_DIR/ipc

# Demo users on the first run: admin may read and change, viewer may only read. Their
# passwords go to this terminal and to the demo-credentials file (mode 0600), never to a log.
if [ ! -f "$USERS" ]; then
  rm -f "$CREDENTIALS"
  for entry in admin:view,change viewer:view; do
    user=${entry%%:*}
    perm=${entry#*:}
    password=$(head -c 512 /dev/urandom | tr -dc 'a-zA-Z0-9' | head -c 16)
    echo "$password" | "$BIN/lpr-webd/lpr-webd" --users "$USERS" --add-user "$user" \
      --perm "$perm" >/dev/null
    echo "$user $password $perm" >>"$CREDENTIALS"
  done
  chmod 600 "$CREDENTIALS"
fi

pids=()
tails=()
stop_all() {
  trap - INT TERM EXIT
  for pid in "${tails[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
}
trap 'echo; echo "Stopping..."; stop_all; echo "Stopped."; exit 0' INT TERM
trap stop_all EXIT

# start LOG: appends a header for this run to LOG; sets FROM to the byte after it, so
# that wait_for looks at this run's lines only, and LINE to the header's line.
start() {
  touch "$1"
  LINE=$(($(wc -l <"$1") + 1))
  echo "=== run.sh $(date '+%Y-%m-%d %H:%M:%S') ===" >>"$1"
  FROM=$(($(stat -c %s "$1") + 1))
}
# wait_for FILE FROM TEXT PID: until FILE holds TEXT after byte FROM; fails when PID
# ended first.
wait_for() {
  for _ in $(seq 1 100); do
    tail -c +"$2" "$1" | grep -q "$3" && return 0
    kill -0 "$4" 2>/dev/null || { tail -c +"$2" "$1" >&2; return 1; }
    sleep 0.1
  done
  tail -c +"$2" "$1" >&2
  return 1
}

# The daemon first: it creates the settings database when there is none.
start "$RUN_DIR/settingsd.log"
SETTINGSD_LINE=$LINE
"$BIN/lpr-settingsd/lpr-settingsd" --db "$DB" >>"$RUN_DIR/settingsd.log" 2>&1 &
pids+=($!)
wait_for "$RUN_DIR/settingsd.log" "$FROM" "settingsd: ready" "${pids[0]}" || {
  echo "lpr-settingsd did not start" >&2
  exit 1
}

start "$RUN_DIR/webd.log"
WEBD_FROM=$FROM
WEBD_LINE=$LINE
"$BIN/lpr-webd/lpr-webd" --port "$PORT" --db "$DB" --users "$USERS" \
  --change-log "$RUN_DIR/changes.log" >>"$RUN_DIR/webd.log" 2>&1 &
pids+=($!)
wait_for "$RUN_DIR/webd.log" "$WEBD_FROM" "lpr-webd: listening on" "${pids[1]}" || {
  echo "lpr-webd did not start (port $PORT taken? try PORT=9090 $0)" >&2
  exit 1
}

# The address and port lpr-webd tells (PORT=0 lets the kernel pick the port).
SITE=$(tail -c +"$WEBD_FROM" "$RUN_DIR/webd.log" |
  sed -n 's|.*lpr-webd: listening on \(http://[^/]*/\).*|\1|p' | head -n 1)
URL=${SITE}api/v1
read -r ADMIN_USER ADMIN_PASSWORD _ < <(grep '^admin ' "$CREDENTIALS")
read -r VIEWER_USER VIEWER_PASSWORD _ < <(grep '^viewer ' "$CREDENTIALS")
TOOL=$BIN/lpr-settings-db/lpr-settings-db
cat <<EOF
Settings page: $SITE

The camera's web server is running; its API is at $URL/
  users (HTTP Digest, SHA-256):
    $ADMIN_USER / $ADMIN_PASSWORD   may read and change the settings
    $VIEWER_USER / $VIEWER_PASSWORD   may only read them

Try a read and a write:
  curl --digest -u $ADMIN_USER:$ADMIN_PASSWORD $URL/get_vehicle_count
  curl --digest -u $ADMIN_USER:$ADMIN_PASSWORD -H 'Content-Type: application/json' -d '{"enable":1,"resetHour":3}' $URL/set_vehicle_count

Also: $URL/status (health), $URL/changes (who changed what), $URL/ (the actions),
$URL/whoami, $URL/get_lpr_advanced.
The settings daemon stores every accepted write in $DB
(back it up with: $TOOL export $DB > backup.json).
Logs follow (also in $RUN_DIR/*.log). Ctrl-C stops both.

EOF
# This run's lines of each log, then whatever follows.
tail -n +"$SETTINGSD_LINE" -f "$RUN_DIR/settingsd.log" &
tails+=($!)
tail -n +"$WEBD_LINE" -f "$RUN_DIR/webd.log" &
tails+=($!)
# Returns when either program ends (or Ctrl-C runs the trap).
status=0
wait -n "${pids[@]}" || status=$?
for pid in "${tails[@]}"; do
  kill "$pid" 2>/dev/null || true
done
if [ "$status" -eq 0 ]; then
  echo "Stopped."
  exit 0
fi
echo "A program ended with status $status; stopping the other." >&2
exit 1
