#!/usr/bin/env bash
# Load test of the headless bridge: wrk on /rig and /health, then many
# parallel plain clients. Nothing may be lost or crash: no socket errors, only
# exact 200 answers, the server still answering afterwards, descriptors back
# to their baseline and the log accounting for every request.
#
# run-load.sh <cvn-bridge-serve> <folder of this script>
# Exits 77 (skipped) when wrk is not installed.
set -uo pipefail
SERVE="$1"
HERE="$2"
command -v wrk >/dev/null || { echo "wrk not installed: skipped"; exit 77; }

WORK="$(mktemp -d)"
export XDG_DATA_HOME="$WORK/data" XDG_CONFIG_HOME="$WORK/config"
PID=""
cleanup() {
  [[ -n "$PID" ]] && kill "$PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

# A free port: the tool reports whether it could listen.
for attempt in $(seq 1 20); do
  PORT=$((20000 + RANDOM % 30000))
  "$SERVE" --port "$PORT" >"$WORK/status" 2>"$WORK/stderr" &
  PID=$!
  for _ in $(seq 1 50); do
    [[ -s "$WORK/status" ]] && break
    sleep 0.1
  done
  grep -qx "Listening on 127.0.0.1:$PORT" "$WORK/status" && break
  wait "$PID" 2>/dev/null
  PID=""
done
[[ -n "$PID" ]] || fail "no free port"

HEALTH='{"ok":true,"app":"corvanthelis","version":"1.0.0","schema":1}'
EXPECTED=$'HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: https://corvanthelis.com\r\nAccess-Control-Allow-Methods: GET, OPTIONS\r\nAccess-Control-Max-Age: 86400\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: 61\r\nConnection: close\r\n\r\n'"$HEALTH"
health() {
  exec 3<>"/dev/tcp/127.0.0.1/$PORT" || return 1
  printf 'GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n' >&3
  local answer
  answer="$(cat <&3)"
  exec 3<&-
  [[ "$answer" == "$EXPECTED" ]]
}
fds() { ls "/proc/$PID/fd" | wc -l; }
rss() { awk '/VmRSS/ { print $2 }' "/proc/$PID/status"; }

health || fail "first /health not exact"
BASE_FDS="$(fds)"
BASE_RSS="$(rss)"
SERVED=1

# 64 parallel plain clients, 500 requests each, compared byte for byte.
for client in $(seq 1 64); do
  (
    for _ in $(seq 1 500); do health || exit 1; done
  ) &
done
bad=0
for job in $(jobs -p); do
  [[ "$job" == "$PID" ]] && continue
  wait "$job" || bad=$((bad + 1))
done
((bad == 0)) || fail "$bad parallel clients saw an answer that was not exact"
SERVED=$((SERVED + 64 * 500))

# Every answer is in the log, or counted as dropped. Checked before wrk: its
# hundreds of thousands of lines pass the log's 8 MiB rotation, after which
# earlier lines are gone by design.
LOG="$XDG_DATA_HOME/Corvanthelis/bridge.log"
logged() {
  local ok dropped
  ok="$(grep -c -- '-> 200 OK$' "$LOG")"
  dropped="$(grep -o 'log: [0-9]* lines dropped' "$LOG" | awk '{ s += $2 } END { print s + 0 }')"
  echo $((ok + dropped))
}
for _ in $(seq 1 50); do
  (($(logged) >= SERVED)) && break
  sleep 0.1
done
(($(logged) == SERVED)) || fail "log accounts for $(logged) requests, served $SERVED"
[[ ! -e "$LOG.old" ]] || fail "log rotated during the plain-client stage"

for path in /rig /health; do
  BRIDGE_PATH="$path" wrk -t2 -c16 -d10s --timeout 2s -s "$HERE/check.lua" "http://127.0.0.1:$PORT$path" \
    >"$WORK/wrk" 2>&1
  cat "$WORK/wrk"
  grep -q "Socket errors" "$WORK/wrk" && fail "socket errors on $path"
  grep -q "Non-2xx" "$WORK/wrk" && fail "non-2xx answers on $path"
  grep -qx "mismatches 0" "$WORK/wrk" || fail "body mismatches on $path"
  requests="$(awk '/requests in/ { print $1 }' "$WORK/wrk")"
  rate="$(awk '/Requests\/sec/ { print int($2) }' "$WORK/wrk")"
  ((rate > 1000)) || fail "only $rate requests/s on $path"
  SERVED=$((SERVED + requests))
done

kill -0 "$PID" || fail "server died"
health || fail "/health not exact after the load"
SERVED=$((SERVED + 1))
for _ in $(seq 1 20); do
  (($(fds) <= BASE_FDS)) && break
  sleep 0.1
done
(($(fds) <= BASE_FDS)) || fail "descriptors $(fds), baseline $BASE_FDS"
GROWTH=$(($(rss) - BASE_RSS))
((GROWTH < 20480)) || fail "RSS grew by $GROWTH kB"

kill -TERM "$PID"
wait "$PID" || fail "server exited with an error"
PID=""
# The safety rotation keeps the log bounded however long the run.
(($(stat -c %s "$LOG") < 16777216)) || fail "log grew to $(stat -c %s "$LOG") bytes"
echo "served $SERVED"
echo "PASS"
