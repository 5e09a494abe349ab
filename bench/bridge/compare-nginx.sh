#!/usr/bin/env bash
# Throughput of the bridge against nginx serving a static file of the same
# size with "Connection: close", both under the same wrk run on this machine.
#
# compare-nginx.sh <cvn-bridge-serve> [seconds]
# Prints requests/s and latency percentiles of each and the ratio ours/nginx.
set -euo pipefail
SERVE="$1"
SECS="${2:-10}"
HERE="$(cd "$(dirname "$0")" && pwd)"
WORK="$(mktemp -d)"
export XDG_DATA_HOME="$WORK/data" XDG_CONFIG_HOME="$WORK/config"
PIDS=()
trap 'for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done; rm -rf "$WORK"' EXIT

OURS=$((20000 + RANDOM % 20000))
THEIRS=$((OURS + 1))
"$SERVE" --port "$OURS" >"$WORK/status" 2>/dev/null &
PIDS+=($!)
sleep 0.5
grep -q "Listening" "$WORK/status"

# The static file: the body the bridge serves on /rig.
exec 3<>"/dev/tcp/127.0.0.1/$OURS"
printf 'GET /rig HTTP/1.1\r\n\r\n' >&3
cat <&3 | sed -e '1,/^\r$/d' >"$WORK/rig"
exec 3<&-
mkdir -p "$WORK/www"
cp "$WORK/rig" "$WORK/www/rig"

cat >"$WORK/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $WORK/nginx.pid;
error_log $WORK/nginx-error.log;
events { worker_connections 1024; }
http {
  access_log off;
  keepalive_timeout 0;
  client_body_temp_path $WORK/tmp;
  proxy_temp_path $WORK/tmp;
  fastcgi_temp_path $WORK/tmp;
  uwsgi_temp_path $WORK/tmp;
  scgi_temp_path $WORK/tmp;
  server {
    listen 127.0.0.1:$THEIRS;
    root $WORK/www;
    default_type application/json;
  }
}
CONF
nginx -c "$WORK/nginx.conf" -p "$WORK" &
PIDS+=($!)
sleep 0.5

run() {
  BRIDGE_PATH=/rig wrk -t2 -c16 -d"${SECS}s" --timeout 2s -s "$HERE/../../tests/bridge/load/check.lua" "$1" 2>&1
}
echo "== bridge /rig ($(stat -c %s "$WORK/rig") bytes of body)"
ours="$(run "http://127.0.0.1:$OURS/rig")"
echo "$ours" | grep -E "requests in|Requests/sec|latency|mismatches|errors"
echo "== nginx static file of the same size, Connection: close"
theirs="$(run "http://127.0.0.1:$THEIRS/rig")"
echo "$theirs" | grep -E "requests in|Requests/sec|latency|mismatches|errors"
a="$(echo "$ours" | awk '/Requests\/sec/ { print $2 }')"
b="$(echo "$theirs" | awk '/Requests\/sec/ { print $2 }')"
awk -v a="$a" -v b="$b" 'BEGIN { printf "ratio ours/nginx %.2f\n", a / b }'
