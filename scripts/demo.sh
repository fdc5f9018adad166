#!/usr/bin/env bash
# The main job: starts the master from build/, announces a sample application through
# korvel-run, and shows the result (the window on a desktop; a screenshot and the event log
# when there is no display). Uses its own registry store and session word under build/demo/,
# so it never meets a master or client agent already running on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${KORVEL_BUILD_DIR:-$root/build}
bin=$build/bin
demo=$build/demo
mkdir -p "$demo"

for p in master korvel-run korvel-reg; do
  [ -x "$bin/$p" ] || { echo "demo: $bin/$p is missing; run scripts/setup.sh build first" >&2; exit 1; }
done

export KORVEL_REGISTRY=$demo/korvel.reg
export KORVEL_SESSION=demo$$
port=${KORVEL_DEMO_PORT:-52100}

# The suite's key, created when missing; the master keeps its port and timings there.
if ! "$bin/korvel-reg" query 'HKLM\SOFTWARE\Ardentis\Korvel' >/dev/null 2>&1; then
  "$bin/korvel-reg" add 'HKLM\SOFTWARE\Ardentis\Korvel' >/dev/null
fi
"$bin/korvel-reg" add 'HKLM\SOFTWARE\Ardentis\Korvel' /v Master /d b4h78m1e0sb4 /f >/dev/null 2>&1 || true
"$bin/korvel-reg" add 'HKLM\SOFTWARE\Ardentis\Korvel' /v Port /d "$port" /f >/dev/null 2>&1 || true

args=()
headless=0
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  args=(-platform offscreen)
  headless=1
fi
shot=$demo/master.png
log=$demo/master.log
rm -f "$shot"
KORVEL_SCREENSHOT=$shot KORVEL_LOG_ECHO=1 "$bin/master" "${args[@]}" >"$log" 2>"$demo/master.err" &
master=$!
trap 'kill -TERM $master 2>/dev/null || true' EXIT

# Wait for the master's start-up (its first log line).
for _ in $(seq 1 100); do
  grep -q "Master begins listening" "$log" 2>/dev/null && break
  kill -0 $master 2>/dev/null || { echo "demo: the master ended early:" >&2; cat "$demo/master.err" >&2; exit 1; }
  sleep 0.1
done
echo "Master started (pid $master, port $port, registry $KORVEL_REGISTRY)."

# A sample application of the suite (code 83) that runs for a few seconds, and one over TCP
# as a client agent would announce it.
"$bin/korvel-run" 83 -- sleep 3 &
app=$!
if exec 3<>"/dev/tcp/127.0.0.1/$port" 2>/dev/null; then
  printf '112,0,93,0' >&3
  read -r -t 2 -n 32 reply <&3 || true
  echo "Network announcement 112,0,93,0 answered: ${reply:-<nothing>}"
  exec 3>&-
fi
sleep 1
if [ "$headless" = 1 ]; then
  cp "$shot" "$demo/master-running.png" 2>/dev/null || true
  echo "Main window with the announced applications: $demo/master-running.png"
else
  echo "The master's window is on your desktop; it shows the announced applications."
fi
wait $app || true
sleep 0.5
echo "Event log of the master:"
sed 's/^/  /' "$log"

kill -TERM $master
wait $master || true
trap - EXIT
echo "Master stopped; settings saved in $KORVEL_REGISTRY:"
grep -E '^"(Master|Port)"' "$KORVEL_REGISTRY" | sed 's/^/  /' || true
exit 0
