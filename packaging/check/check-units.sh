#!/usr/bin/env bash
# The master station's units as systemd reads them: `systemd-analyze verify` without a word,
# and the service's exposure by `systemd-analyze security` no higher than the stated one.
#
#   packaging/check/check-units.sh UNIT_DIR MAX_EXPOSURE
set -euo pipefail
dir=${1:?usage: check-units.sh UNIT_DIR MAX_EXPOSURE}
max=${2:?usage: check-units.sh UNIT_DIR MAX_EXPOSURE}
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is not installed"; exit 77; }
cd "$dir"

# verify writes its findings to stderr and may still exit 0: any word at all is a failure.
out=$(systemd-analyze verify --man=no ./korvel-master.socket ./korvel-master.service 2>&1) || {
  echo "$out"; echo "systemd-analyze verify fails"; exit 1; }
[ -z "$out" ] || { echo "$out"; echo "systemd-analyze verify has findings"; exit 1; }
echo "verify: no findings"

report=$(systemd-analyze security --offline=true ./korvel-master.service)
level=$(sed -n 's/.*Overall exposure level for korvel-master.service: \([0-9.]*\).*/\1/p' <<<"$report")
[ -n "$level" ] || { echo "$report"; echo "no exposure level in the report"; exit 1; }
grep '✗' <<<"$report" || true
echo "exposure: $level (at most $max)"
awk -v l="$level" -v m="$max" 'BEGIN { exit !(l <= m) }' || { echo "exposure $level is above $max"; exit 1; }
