#!/usr/bin/env bash
# Measures the client agent as it runs all day on a workstation, against a real master on
# loopback (both from build/bin, headless, with their own stores and session words):
#   - resident memory when idle and with 4 running applications;
#   - wake-ups per minute when idle (context switches of all its threads, from /proc);
#   - time from an announced program's end to the withdrawal arriving at the master;
#   - time until an unreachable master is reported (refused, and not answering at all).
# Usage: scripts/measure-client.sh [IDLE_SECONDS]   (default 60; the figure is per minute)
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${KORVEL_BUILD_DIR:-$PWD/build}/bin
idle=${1:-60}
work=$(mktemp -d)
pids=()
cleanup() {
  disown -a 2>/dev/null || true
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

for p in master client korvel-run korvel-reg; do
  [ -x "$bin/$p" ] || { echo "measure: $bin/$p is missing; build first" >&2; exit 1; }
done

# reg FILE NAME VALUE...: the suite's key in FILE with the given values.
reg() {
  local file=$1 key='HKLM\SOFTWARE\Ardentis\Korvel'
  shift
  KORVEL_REGISTRY=$file "$bin/korvel-reg" add "$key" >/dev/null 2>&1 || true
  while (($#)); do
    KORVEL_REGISTRY=$file "$bin/korvel-reg" add "$key" /v "$1" /d "$2" /f >/dev/null
    shift 2
  done
}

# Each line a program writes, prefixed with the moment it was read (seconds, microseconds).
stamp() { while IFS= read -r l; do printf '%s %s\n' "$EPOCHREALTIME" "$l"; done; }

# wait_line FILE TEXT [COUNT]: until FILE holds COUNT lines with TEXT (10 s at most); prints the
# stamp of the last of them.
wait_line() {
  local n=${3:-1}
  for _ in $(seq 1 1000); do
    local at
    at=$({ grep -F -- "$2" "$1" 2>/dev/null || true; } | sed -n "${n}p" | cut -d' ' -f1)
    [ -n "$at" ] && { echo "$at"; return 0; }
    sleep 0.01
  done
  echo "measure: \"$2\" did not appear in $1" >&2
  return 1
}

ms() { echo "$1 $2" | awk '{ printf "%.1f", ($2 - $1) * 1000 }'; }

# The TCP port a process listens on, from its socket descriptors and the kernel's table.
listening_port() {
  local inodes
  inodes=$(ls -l "/proc/$1/fd" 2>/dev/null | sed -n 's/.*socket:\[\([0-9]*\)\]$/\1/p' | tr '\n' ' ')
  awk -v ino=" $inodes" 'NR > 1 && $4 == "0A" && index(ino, " " $10 " ") { split($2, a, ":"); print a[2]; exit }' \
    "/proc/$1/net/tcp" | { read -r hex && printf '%d\n' "0x$hex"; }
}

rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
switches() { cat /proc/"$1"/task/*/status | awk '/ctxt_switches/ { n += $2 } END { print n }'; }

start_client() { # SESSION PORT LOG: a client agent talking to 127.0.0.1:PORT
  reg "$work/$1.reg" Address 127.0.0.1 Port "$2"
  KORVEL_REGISTRY=$work/$1.reg KORVEL_SESSION=$1 KORVEL_CLIENT_PROBE=1 \
    "$bin/client" -platform offscreen >/dev/null 2> >(stamp >"$3") &
  client=$!
  pids+=("$client")
  wait_line "$3" "client started" >/dev/null
}

# --- a real master with the default timings on a port the system picks ---
reg "$work/master.reg" Master b4h78m1e0sb4 Port 0
KORVEL_REGISTRY=$work/master.reg KORVEL_SESSION=measure$$-m KORVEL_LOG_ECHO=1 \
  "$bin/master" -platform offscreen 2>/dev/null > >(stamp >"$work/master.log") &
master=$!
pids+=("$master")
wait_line "$work/master.log" "Master begins listening" >/dev/null
port=
for _ in $(seq 1 100); do port=$(listening_port "$master" || true); [ -n "$port" ] && break; sleep 0.05; done
[ -n "$port" ] || { echo "measure: cannot find the master's port" >&2; exit 1; }

session=measure$$-c
start_client "$session" "$port" "$work/client.log"
sleep 2
echo "client resident memory, idle:             $(rss_kib "$client") KiB"
before=$(switches "$client")
sleep "$idle"
after=$(switches "$client")
echo "client wake-ups when idle:                $(((after - before) * 60 / idle)) per minute (context switches over ${idle} s)"

apps=()
for code in 10 83 93 97; do
  KORVEL_SESSION=$session "$bin/korvel-run" "$code" -- sleep 600 &
  apps+=("$!")
  pids+=("$!")
done
wait_line "$work/client.log" "client apps: Ardentis Desk, Ardentis Ledger, Ardentis Planner, Ardentis Reports" >/dev/null
sleep 1
echo "client resident memory, 4 applications:   $(rss_kib "$client") KiB"
for p in "${apps[@]}"; do kill "$p"; done
for p in "${apps[@]}"; do wait "$p" 2>/dev/null || true; done
wait_line "$work/master.log" "Application 97 has shut down" >/dev/null

# --- an announced program's end until the withdrawal arrives at the master ---
runs=10
lat=()
shown=$(grep -cF -- 'client apps: Ardentis Ledger' "$work/client.log" || true)
withdrawn=$(grep -cF -- 'Application 83 has shut down, client 11.' "$work/master.log" || true)
for i in $(seq 1 "$runs"); do
  KORVEL_SESSION=$session "$bin/korvel-run" 83 -- sleep 0.3 &
  app=$!
  wait_line "$work/client.log" "client apps: Ardentis Ledger" "$((shown + i))" >/dev/null
  wait "$app" || true
  ended=$EPOCHREALTIME
  arrived=$(wait_line "$work/master.log" "Application 83 has shut down, client 11." "$((withdrawn + i))")
  lat+=("$(ms "$ended" "$arrived")")
done
sorted=$(printf '%s\n' "${lat[@]}" | sort -n)
echo "program end to withdrawal at the master:  median $(echo "$sorted" | sed -n "$((runs / 2))p") ms," \
  "max $(echo "$sorted" | tail -n 1) ms ($runs runs)"
kill -TERM "$client"
wait "$client" 2>/dev/null || true

# --- an unreachable master: a port bound but not listening (refused), and a listener whose
# queue is full, so that a connection gets no answer at all ---
holder() { # refused|deaf: prints the port, keeps it until killed
  exec perl -MSocket -e '
    socket(S, PF_INET, SOCK_STREAM, 0) or die; bind(S, pack_sockaddr_in(0, inet_aton("127.0.0.1"))) or die;
    my ($p) = unpack_sockaddr_in(getsockname(S));
    if ($ARGV[0] eq "deaf") { listen(S, 0) or die; socket(C, PF_INET, SOCK_STREAM, 0);
      connect(C, pack_sockaddr_in($p, inet_aton("127.0.0.1"))) or die; }
    $| = 1; print "$p\n"; sleep 600;' "$1"
}
for kind in refused deaf; do
  holder "$kind" >"$work/$kind.port" &
  pids+=("$!")
  for _ in $(seq 1 100); do [ -s "$work/$kind.port" ] && break; sleep 0.02; done
  start_client "measure$$-$kind" "$(cat "$work/$kind.port")" "$work/$kind.log"
  announced=$EPOCHREALTIME
  KORVEL_SESSION=measure$$-$kind "$bin/korvel-run" 83 -- sleep 30 &
  pids+=("$!")
  for _ in $(seq 1 3); do # the wait for the deaf one is the agent's own bound of 10 s
    shown=$(wait_line "$work/$kind.log" "client error: " 2>/dev/null) && break
  done
  echo "unreachable master ($kind) reported after:  $(ms "$announced" "$shown") ms:" \
    "$(grep -F 'client error: ' "$work/$kind.log" | head -n 1 | cut -d' ' -f4-)"
  kill -TERM "$client"
done
echo "(timings measured on a shared machine; other work running meanwhile adds to them)"
