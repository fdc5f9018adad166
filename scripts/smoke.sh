#!/usr/bin/env bash
# Smoke start of the two agents, headless (-platform offscreen), each with a registry store and
# session word of its own and a port away from the default (an agent already running here is
# not disturbed):
#   - the master must listen and answer a request on the wire: 259,0,0,0 (a client without an
#     ID asks for an acknowledgment) gets "35,1,0,0";
#   - the client agent, given the master's address, must show its first status once an
#     application announces itself to it (korvel-run 83): the time of its last connection (its
#     window's texts on standard error, KORVEL_CLIENT_PROBE), and the master assigns it ID 11;
# then each is ended with SIGTERM and must end with exit code 0.
# Usage: scripts/smoke.sh BIN_DIR
set -euo pipefail
bin=$1
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do { kill -KILL "$p" && wait "$p"; } 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
key='HKLM\SOFTWARE\Ardentis\Korvel'

fail() { # what, output file
  echo "smoke: $1" >&2
  [ -z "${2:-}" ] || sed 's/^/  /' "$2" >&2
  exit 1
}

# store NAME VALUE...: the suite's key in the program's store, with the values given.
store() {
  local reg=$work/$1.reg
  shift
  KORVEL_REGISTRY=$reg "$bin/korvel-reg" add "$key" >/dev/null
  while (($#)); do
    KORVEL_REGISTRY=$reg "$bin/korvel-reg" add "$key" /v "$1" /d "$2" /f >/dev/null
    shift 2
  done
}

# wait_for FILE TEXT PID WHAT [-x]: up to 15 s for TEXT to appear in FILE (-x: as a whole line)
# while PID runs.
wait_for() {
  for _ in $(seq 1 150); do
    grep -qF ${5:-} -- "$2" "$1" 2>/dev/null && return 0
    kill -0 "$3" 2>/dev/null || fail "the $4 ended before showing \"$2\":" "$1"
    sleep 0.1
  done
  fail "the $4 did not show \"$2\" in 15 s:" "$1"
}

# stop PID WHAT OUTPUT: SIGTERM, then up to 10 s for exit code 0.
stop() {
  kill -TERM "$1"
  for _ in $(seq 1 100); do
    if ! kill -0 "$1" 2>/dev/null; then
      local rc=0
      wait "$1" || rc=$?
      [ $rc = 0 ] || fail "the $2 did not end cleanly on SIGTERM (exit $rc):" "$3"
      echo "smoke: the $2 ended cleanly on SIGTERM"
      return 0
    fi
    sleep 0.1
  done
  fail "the $2 did not end within 10 s of SIGTERM:" "$3"
}

# A port nobody answers on yet, away from the default.
port=
for _ in $(seq 0 19); do
  candidate=$("$(dirname "$0")/listen-port.sh")
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
    port=$candidate
    break
  fi
done
[ -n "$port" ] || fail "no free port found on 127.0.0.1"

# ---- the master ---------------------------------------------------------------------------
# The master takes its port only together with its timings (the "Master" value); without them it
# keeps every default, port 52100 included.
store master Master 5h78m1e0sb4 Port "$port"
KORVEL_REGISTRY=$work/master.reg KORVEL_SESSION=smoke$$-master KORVEL_LOG_ECHO=1 \
  "$bin/master" -platform offscreen >"$work/master.out" 2>&1 &
master=$!
pids+=("$master")
wait_for "$work/master.out" "Master begins listening at port $port." "$master" master

# One request on a connection of its own; the reply is read with a time limit.
reply=
if exec 3<>"/dev/tcp/127.0.0.1/$port"; then
  printf '259,0,0,0' >&3
  IFS= read -r -t 10 -N 8 reply <&3 || true
  exec 3<&-
fi
[ "$reply" = "35,1,0,0" ] || fail "the master answered 259,0,0,0 with \"$reply\", not \"35,1,0,0\":" "$work/master.out"
wait_for "$work/master.out" "Client 0 requested for acknowledgment." "$master" master
echo "smoke: the master listens at port $port and answered 259,0,0,0 with \"$reply\""

# ---- the client agent, talking to that master ---------------------------------------------
store client Address 127.0.0.1 Host localhost Port "$port"
KORVEL_REGISTRY=$work/client.reg KORVEL_SESSION=smoke$$-client KORVEL_CLIENT_PROBE=1 \
  "$bin/client" -platform offscreen >"$work/client.out" 2>&1 &
client=$!
pids+=("$client")
wait_for "$work/client.out" "client started: " "$client" "client agent"
# The agent talks to the master once an application of the suite announces itself to it.
KORVEL_SESSION=smoke$$-client "$bin/korvel-run" 83 -- sleep 3 >"$work/app.out" 2>&1 &
app=$!
pids+=("$app")
wait_for "$work/client.out" "client status: Last connection: " "$client" "client agent"
wait_for "$work/master.out" "Client is assigned ID = 11." "$master" master
echo "smoke: the client agent's first status: \"$(grep -m1 -F 'client status: ' "$work/client.out" | sed 's/^client status: //')\""
wait "$app" || fail "the sample application (korvel-run 83) failed:" "$work/app.out"
# The agent refuses to end while an application of the suite runs: first it sees this one end.
wait_for "$work/client.out" "client apps: " "$client" "client agent" -x

stop "$client" "client agent" "$work/client.out"
stop "$master" master "$work/master.out"
