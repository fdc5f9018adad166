#!/usr/bin/env bash
# The main job: the whole system on one machine. Starts the master and the client agent from
# build/, side by side, each with its own registry store and session word under build/demo/ (so
# neither meets an agent already running here), the client configured with the master's
# address. A sample application announced to the client appears in the master's list under the
# client's ID, keep-alives flow while it runs, and its end is withdrawn. On a desktop the two
# windows show it; without a display, screenshots of both and the logs tell it. It ends with the
# history report of the demonstration and its chart beside the screenshots.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${KORVEL_BUILD_DIR:-$root/build}
bin=$build/bin
demo=$build/demo
mkdir -p "$demo"

for p in master client korvel-run korvel-reg korvel-report korvel-report-chart; do
  [ -x "$bin/$p" ] || { echo "demo: $bin/$p is missing; run scripts/setup.sh build first" >&2; exit 1; }
done

port=${KORVEL_DEMO_PORT:-52100}
seconds=${KORVEL_DEMO_APP_SECONDS:-8}
msession=demo$$-master
csession=demo$$-client

# key_value STORE NAME VALUE: the suite's key in STORE, created when missing, with one value.
key_value() {
  local key='HKLM\SOFTWARE\Ardentis\Korvel'
  KORVEL_REGISTRY=$1 "$bin/korvel-reg" query "$key" >/dev/null 2>&1 ||
    KORVEL_REGISTRY=$1 "$bin/korvel-reg" add "$key" >/dev/null
  KORVEL_REGISTRY=$1 "$bin/korvel-reg" add "$key" /v "$2" /d "$3" /f >/dev/null
}
# The master dictates keep-alives every 5 seconds (audit period 5, hexadecimal in "Master").
key_value "$demo/master.reg" Master 5h78m1e0sb4
key_value "$demo/master.reg" Port "$port"
key_value "$demo/client.reg" Address 127.0.0.1
key_value "$demo/client.reg" Host localhost
key_value "$demo/client.reg" Port "$port"

args=()
headless=0
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  args=(-platform offscreen)
  headless=1
fi
rm -f "$demo"/*.png "$demo"/*.log "$demo"/*.err "$demo"/*.svg "$demo"/history.sqlite*
# The master keeps the demonstration's history in a file of its own.
history=$demo/history.sqlite

# wait_for FILE TEXT PID WHAT: up to 10 s for TEXT to appear in FILE while PID runs.
wait_for() {
  for _ in $(seq 1 100); do
    grep -qF -- "$2" "$1" 2>/dev/null && return 0
    kill -0 "$3" 2>/dev/null || { echo "demo: the $4 ended early:" >&2; cat "$1" >&2; return 1; }
    sleep 0.1
  done
  echo "demo: the $4 did not show \"$2\" in time" >&2
  return 1
}

pids=()
trap 'for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done' EXIT

KORVEL_REGISTRY=$demo/master.reg KORVEL_SESSION=$msession KORVEL_SCREENSHOT=$demo/master.png \
  KORVEL_HISTORY=$history KORVEL_LOG_ECHO=1 "$bin/master" "${args[@]}" >"$demo/master.log" 2>"$demo/master.err" &
master=$!
pids+=("$master")
wait_for "$demo/master.log" "Master begins listening" "$master" master
echo "Master started (pid $master, port $port, session $msession)."

KORVEL_REGISTRY=$demo/client.reg KORVEL_SESSION=$csession KORVEL_SCREENSHOT=$demo/client.png \
  KORVEL_CLIENT_PROBE=1 "$bin/client" "${args[@]}" >/dev/null 2>"$demo/client.log" &
client=$!
pids+=("$client")
wait_for "$demo/client.log" "client started" "$client" "client agent"
echo "Client agent started (pid $client, session $csession), talking to 127.0.0.1:$port."

# A sample application of the suite (code 83) on the client's machine, announced to the client
# agent, and one (code 93) on the master station itself.
KORVEL_SESSION=$csession "$bin/korvel-run" 83 -- sleep "$seconds" &
app=$!
KORVEL_SESSION=$msession "$bin/korvel-run" 93 -- sleep 3 &
local_app=$!
wait_for "$demo/master.log" "Client is assigned ID = 11." "$master" master
wait_for "$demo/client.log" "client apps: Ardentis Ledger" "$client" "client agent"
sleep 1
if [ "$headless" = 1 ]; then
  cp "$demo/master.png" "$demo/master-running.png"
  cp "$demo/client.png" "$demo/client-running.png"
  echo "The master's list (application 83 under client 11, 93 under client 10): $demo/master-running.png"
  echo "The client agent's window with the running application: $demo/client-running.png"
else
  echo "The master's list shows application 83 under client 11; the client agent's window names it."
fi

wait "$app" || true
wait "$local_app" || true
wait_for "$demo/master.log" "Application 83 has shut down, client 11." "$master" master
wait_for "$demo/client.log" "client apps: " "$client" "client agent"
sleep 0.5
if [ "$headless" = 1 ]; then
  cp "$demo/master.png" "$demo/master-after.png"
  cp "$demo/client.png" "$demo/client-after.png"
  echo "After the application's end: $demo/master-after.png, $demo/client-after.png"
fi
echo "Event log of the master:"
sed 's/^/  /' "$demo/master.log"
echo "What the client agent's window showed:"
grep '^client ' "$demo/client.log" | sed 's/^client /  /'

kill -TERM "$client"
wait "$client" || true
kill -TERM "$master"
wait "$master" || true
trap - EXIT
echo "Client agent and master stopped."

# What the history kept of the demonstration.
today=$(date +%F)
echo "History of the demonstration ($history):"
"$bin/korvel-report" sessions --file "$history" --from "$today" | sed 's/^/  /'
echo "Daily peaks:"
"$bin/korvel-report" peaks --file "$history" --from "$today" --by-host | sed 's/^/  /'
"$bin/korvel-report" chart --file "$history" --from "$today" --out "$demo/history-chart.svg"
"$bin/korvel-report" chart --file "$history" --from "$today" --out "$demo/history-chart.png"
echo "Its chart: $demo/history-chart.svg and $demo/history-chart.png"
exit 0
