#!/usr/bin/env bash
# Part of check-package.sh, run in a mount namespace of its own (unshare -m): lays an overlay
# over / whose changes stay in a tmpfs and installs, upgrades, removes and purges the package
# there with apt and dpkg. Nothing reaches the real system; the overlay goes with the namespace.
#
#   install-in-overlay.sh WORK_DIR PACKAGE_FILE LIBDIR DEV_PACKAGE_FILE PLUGIN_PACKAGE_FILE LIBRARY_PACKAGE_FILE...
set -euo pipefail

work=$1
deb=$2
libdir=$3
devdeb=$4
plugindeb=$5
shift 5
libdebs=("$@")
key='HKLM\SOFTWARE\Ardentis\Korvel'
store=/var/lib/korvel/registry.reg

fail() {
  echo "package check FAILED: $*" >&2
  exit 1
}

ovl=$work/overlay
mkdir -p "$ovl"
mount -t tmpfs tmpfs "$ovl"
mkdir -p "$ovl/upper" "$ovl/work" "$ovl/root"
if ! mount -t overlay overlay -o "lowerdir=/,upperdir=$ovl/upper,workdir=$ovl/work" "$ovl/root" 2>"$work/mount.err"; then
  echo "== installation with apt: SKIPPED (no overlay here: $(cat "$work/mount.err"))"
  exit 0
fi
r=$ovl/root
for d in proc sys dev; do
  mount --rbind "/$d" "$r/$d"
done
for d in "$deb" "$devdeb" "$plugindeb" "${libdebs[@]}"; do cp "$work/$d" "$r/tmp/"; done
cp "$work/korvel_plugin_check" "$r/tmp/"

in_root() {
  chroot "$r" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 "$@"
}
station() {
  in_root korvel-reg query "$key" /v Station 2>/dev/null | sed -n 's/.*REG_SZ *//p'
}

echo "-- apt install ./$deb ./$devdeb ./$plugindeb"
in_root apt-get install -y -q --no-install-recommends "/tmp/$deb" "/tmp/$devdeb" "/tmp/$plugindeb" \
  "${libdebs[@]/#//tmp/}" >"$work/apt.log" 2>&1 ||
  { tail -20 "$work/apt.log" >&2; fail "apt cannot install the packages"; }
[ -f "$r$store" ] || fail "the installation made no registry store"
in_root korvel-reg query "$key" >/dev/null || fail "the store has no $key"
[ "$(stat -c %a "$r$store")" = 644 ] || fail "the store has the mode $(stat -c %a "$r$store")"
uid=$(in_root id -u korvel) || fail "the installation made no user korvel"
[ "$uid" -lt 1000 ] || fail "korvel is no system user (uid $uid)"
[ "$(stat -c %u "$r$store")" = "$uid" ] && [ "$(stat -c %u "$r/var/lib/korvel")" = "$uid" ] ||
  fail "the store is not the service's to write: owners $(stat -c %u "$r$store") $(stat -c %u "$r/var/lib/korvel"), korvel is $uid"
for u in korvel-master.socket korvel-master.service; do
  [ -f "$r/lib/systemd/system/$u" ] || fail "$u is not installed"
  ! find "$r/etc/systemd/system" -name "$u" 2>/dev/null | grep . || fail "$u is installed enabled"
done
[ -x "$r/usr/lib/korvel/bin/masterd" ] || fail "masterd is not in place"
[ -f "$r/usr/include/corekit/corekit.h" ] || fail "korvel-dev put no headers in place"
[ -x "$r/usr/lib/korvel/bin/launch" ] && [ -x "$r/usr/lib/korvel/bin/master" ] || fail "the programs are not in place"
in_root sh -c 'command -v korvel-run && command -v korvel-reg' >/dev/null || fail "the tools are not on the PATH"
[ -f "$r/etc/xdg/autostart/korvel-launch.desktop" ] || fail "no autostart entry"
[ -f "$r/usr/lib/korvel/Doc/fenwa2doc.chm" ] || fail "no user guide at the help path"
designer=$(in_root qtpaths6 --query QT_INSTALL_PLUGINS)/designer
in_root /tmp/korvel_plugin_check "$designer/libctlpack_designer.so" "$libdir" ||
  fail "Qt's Designer folder $designer has no plugin that loads"

echo "-- masterd as the service's user; a desktop user's launch and master find it running"
session=ovl$$
as_user() { # user, command...: replaced by the command, so that a background job's id is its own
  local user=$1 gid
  shift
  gid=$(in_root id -g "$user")
  exec chroot "$r" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 setpriv --reuid="$user" \
    --regid="$gid" --clear-groups env KORVEL_SESSION=$session QT_QPA_PLATFORM=offscreen KORVEL_AUTOBOX_SECONDS=1 "$@"
}
# Upper-case digits: read as they are, written back in lower case when masterd ends.
in_root korvel-reg add "$key" /v Master /d B4h78m1e0sB4 >/dev/null
# A random port may be taken by some other program of the machine: a few are tried.
svc=
for _ in 1 2 3 4 5; do
  svcport=$("$(dirname "$0")/../../scripts/listen-port.sh")
  in_root korvel-reg add "$key" /v Port /d "$svcport" >/dev/null
  (as_user korvel /usr/lib/korvel/bin/masterd >"$work/svc.out" 2>&1) &
  svc=$!
  for _ in $(seq 100); do
    ss -Hltnp "sport = :$svcport" | grep "pid=$svc," >/dev/null && break
    kill -0 $svc 2>/dev/null || break
    sleep 0.1
  done
  ss -Hltnp "sport = :$svcport" | grep "pid=$svc," >/dev/null && break
  kill -KILL $svc 2>/dev/null || true
  wait $svc || true
  svc=
done
[ -n "$svc" ] || fail "masterd as korvel does not serve: $(cat "$work/svc.out")"
(as_user nobody /usr/lib/korvel/bin/launch >/dev/null 2>"$work/svc-launch.err") || true
(as_user nobody /usr/lib/korvel/bin/master >/dev/null 2>"$work/svc-master.err") || true
kill -TERM $svc 2>/dev/null ||
  fail "masterd as korvel ended before SIGTERM: $(cat "$work/svc.out" "$work/svc-launch.err" "$work/svc-master.err")"
wait $svc || fail "masterd as korvel ended with $? at SIGTERM: $(cat "$work/svc.out")"
grep -qx 'launch: Korvel is already running.' "$work/svc-launch.err" ||
  fail "a user's launch beside the service says: $(cat "$work/svc-launch.err")"
grep -q 'the Korvel master service (korvel-master.service) runs on this machine' "$work/svc-master.err" ||
  fail "a user's master beside the service says: $(cat "$work/svc-master.err")"
in_root korvel-reg query "$key" /v Master 2>/dev/null | grep b4h78m1e0sb4 >/dev/null ||
  fail "masterd as korvel did not save its values in the store"

echo "-- the store is the administrator's: kept on upgrade and removal"
in_root korvel-reg add "$key" /v Station /d Master >/dev/null
in_root dpkg -i "/tmp/$deb" >>"$work/apt.log" 2>&1 || fail "dpkg cannot install the package over itself"
[ "$(station)" = Master ] || fail "the upgrade changed Station to '$(station)'"
in_root apt-get remove -y -q korvel >>"$work/apt.log" 2>&1 || fail "apt cannot remove the package"
[ ! -e "$r/usr/lib/korvel/bin/launch" ] || fail "the removal left the programs"
[ -f "$r$store" ] || fail "the removal took the store"
in_root dpkg -i "/tmp/$deb" >>"$work/apt.log" 2>&1 || fail "dpkg cannot install the package again"
[ "$(station)" = Master ] || fail "the reinstallation changed Station to '$(station)'"

echo "-- apt purge korvel"
in_root apt-get purge -y -q korvel >>"$work/apt.log" 2>&1 || fail "apt cannot purge the package"
[ ! -e "$r/var/lib/korvel" ] || fail "the purge left $(ls -A "$r/var/lib/korvel")"
[ ! -e "$r/etc/xdg/autostart/korvel-launch.desktop" ] || fail "the purge left the autostart entry"
echo "installation checks passed"
