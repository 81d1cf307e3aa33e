#!/usr/bin/env bash
# Runs the main job on this machine: the settings daemon (lpr-settingsd) and the
# camera's web server (lpr-webd, which loads liblprcgi.so) on 127.0.0.1.
#
#   ./scripts/run.sh              installs what is missing, builds, starts both
#   PORT=9090 ./scripts/run.sh    another port (default 8080)
#   RUN_DIR=/tmp/cam ./scripts/run.sh   another run folder (default build/run)
#
# The run folder keeps the settings database, the users file, the demo credentials,
# the bus's ipc socket files and both logs; a second run reuses them. Ctrl-C stops both.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PORT=${PORT:-8080}
RUN_DIR=${RUN_DIR:-$ROOT/build/run}

./scripts/deps.sh build host
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target lpr-webd lpr-settingsd lpr-settings-db
BIN=$ROOT/build/release/tools

mkdir -p "$RUN_DIR/ipc"
chmod 700 "$RUN_DIR"
DB=$RUN_DIR/settings.db
USERS=$RUN_DIR/webd-users
CREDENTIALS=$RUN_DIR/demo-credentials
# Both programs put their bus sockets here instead of /var/run: no root needed, and
# nothing else on the machine shares this bus.
export LPR_ZMQ_IPC_DIR=$RUN_DIR/ipc

# Demo users on the first run: admin may read and change, viewer may only read.
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
TAIL=
stop_all() {
  trap - INT TERM EXIT
  [ -z "$TAIL" ] || kill "$TAIL" 2>/dev/null || true
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
}
trap 'echo; echo "Stopping..."; stop_all; exit 0' INT TERM
trap stop_all EXIT

# wait_for FILE TEXT PID: until FILE holds TEXT; fails when PID ended first.
wait_for() {
  for _ in $(seq 1 100); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    kill -0 "$3" 2>/dev/null || { cat "$1" >&2; return 1; }
    sleep 0.1
  done
  cat "$1" >&2
  return 1
}

# The daemon first: it creates the settings database when there is none.
: >"$RUN_DIR/settingsd.log"
"$BIN/lpr-settingsd/lpr-settingsd" --db "$DB" >>"$RUN_DIR/settingsd.log" 2>&1 &
pids+=($!)
wait_for "$RUN_DIR/settingsd.log" "settingsd: ready" "${pids[0]}" || {
  echo "lpr-settingsd did not start" >&2
  exit 1
}

: >"$RUN_DIR/webd.log"
"$BIN/lpr-webd/lpr-webd" --port "$PORT" --db "$DB" --users "$USERS" \
  >>"$RUN_DIR/webd.log" 2>&1 &
pids+=($!)
wait_for "$RUN_DIR/webd.log" "lpr-webd: listening on" "${pids[1]}" || {
  echo "lpr-webd did not start (port $PORT taken? try PORT=9090 $0)" >&2
  exit 1
}

URL=http://127.0.0.1:$PORT/api/v1
read -r ADMIN_USER ADMIN_PASSWORD _ < <(grep '^admin ' "$CREDENTIALS")
read -r VIEWER_USER VIEWER_PASSWORD _ < <(grep '^viewer ' "$CREDENTIALS")
cat <<EOF

The camera's web server is running at $URL/
  users (HTTP Digest, SHA-256):
    $ADMIN_USER / $ADMIN_PASSWORD   may read and change the settings
    $VIEWER_USER / $VIEWER_PASSWORD   may only read them

Try a read and a write:
  curl --digest -u $ADMIN_USER:$ADMIN_PASSWORD $URL/get_vehicle_count
  curl --digest -u $ADMIN_USER:$ADMIN_PASSWORD -H 'Content-Type: application/json' -d '{"enable":1,"resetHour":3}' $URL/set_vehicle_count

Also: $URL/ (the actions), $URL/whoami, $URL/get_lpr_advanced.
The settings daemon stores every accepted write in $DB
(print it with: $BIN/lpr-settings-db/lpr-settings-db show $DB).
Logs follow (also in $RUN_DIR/*.log). Ctrl-C stops both.

EOF
tail -n +1 -f "$RUN_DIR/settingsd.log" "$RUN_DIR/webd.log" &
TAIL=$!
# Returns when either program ends (or Ctrl-C runs the trap).
status=0
wait -n "${pids[@]}" || status=$?
kill "$TAIL" 2>/dev/null || true
if [ "$status" -eq 0 ]; then
  echo "Stopped."
  exit 0
fi
echo "A program ended with status $status; stopping the other." >&2
exit 1
