#!/usr/bin/env bash
# Smoke start of each program: starts it headless (-platform offscreen) with a registry store
# and session word of its own, checks that it comes up and stays up, then ends it with SIGTERM
# and expects exit code 0. Usage: scripts/smoke.sh BIN_DIR PROGRAM...
set -euo pipefail
bin=$1; shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for program in "$@"; do
  export KORVEL_REGISTRY=$work/$program.reg
  export KORVEL_SESSION=smoke$$-$program
  "$bin/korvel-reg" add 'HKLM\SOFTWARE\Ardentis\Korvel' >/dev/null
  # A port away from the default, so that an agent already running here is not disturbed.
  "$bin/korvel-reg" add 'HKLM\SOFTWARE\Ardentis\Korvel' /v Port /d $((40000 + $$ % 20000)) /f >/dev/null
  "$bin/$program" -platform offscreen >"$work/$program.out" 2>&1 &
  pid=$!
  up=1
  for _ in $(seq 1 30); do # 3 s: still running at the end means it came up
    if ! kill -0 "$pid" 2>/dev/null; then up=0; break; fi
    sleep 0.1
  done
  if [ $up = 0 ]; then
    wait "$pid" && rc=0 || rc=$?
    echo "smoke: $program ended at start (exit $rc):" >&2
    cat "$work/$program.out" >&2
    status=1
    continue
  fi
  kill -TERM "$pid"
  rc=124
  for _ in $(seq 1 100); do # 10 s to end
    if ! kill -0 "$pid" 2>/dev/null; then wait "$pid" && rc=0 || rc=$?; break; fi
    sleep 0.1
  done
  if [ $rc = 124 ]; then kill -KILL "$pid" 2>/dev/null || true; fi
  if [ $rc != 0 ]; then
    echo "smoke: $program did not end cleanly on SIGTERM (exit $rc):" >&2
    cat "$work/$program.out" >&2
    status=1
  else
    echo "smoke: $program started and ended cleanly"
  fi
done
exit $status
