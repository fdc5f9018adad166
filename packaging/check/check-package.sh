#!/usr/bin/env bash
# Builds the Debian packages (korvel, the libraries' libcorekit2 and the rest, korvel-dev,
# korvel-designer-plugin) from a configured and built tree and checks them as their users meet
# them: lintian without errors; the runtime with its libraries alone unpacked into a throwaway root, its programs (masterd among them) run from there with the
# libraries of that root; the designer plugin loads beside it; with korvel-dev added, a program
# of the suite's own builds with find_package(Korvel). As root, they are also installed,
# upgraded, removed and purged with apt and dpkg in an overlay of this system that vanishes
# afterwards.
#
#   packaging/check/check-package.sh BUILD_DIR
#
# Exit status 0 when every check passed; the first failure ends the run with its reason.
# (grep reads to the end in pipes here: with pipefail, grep -q leaving early would fail the
# writer with SIGPIPE now and then.)
set -euo pipefail

build=$(cd "${1:?usage: check-package.sh BUILD_DIR}" && pwd)
src=$(cd "$(dirname "$0")/../.." && pwd)
key='HKLM\SOFTWARE\Ardentis\Korvel'

work=$(mktemp -d "${TMPDIR:-/tmp}/korvel-package.XXXXXX")
started=()
cleanup() {
  local pid
  # What the check started, and the master launch started for it, also after a failure.
  for pid in "${started[@]}" $(session_pids "pkgcheck$$" master); do
    kill -KILL "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "package check FAILED: $*" >&2
  exit 1
}
step() { echo "== $*"; }

# Waits up to $1 tenths of a second for the command after it to succeed.
wait_for() {
  local tenths=$1
  shift
  local i
  for ((i = 0; i < tenths; i++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

# Ids of the processes named $2 whose environment holds KORVEL_SESSION=$1.
session_pids() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(cat "$p/comm" 2>/dev/null)" = "$2" ] || continue
    tr '\0' '\n' <"$p/environ" 2>/dev/null | grep -x "KORVEL_SESSION=$1" >/dev/null && echo "${p#/proc/}"
  done
  return 0
}

step "building the packages"
libnames=(corekit2 corekit-gui2 listkit2 mapkit2 noticekit2 ctlpack2)
rm -f "$build"/korvel_*.deb "$build"/korvel-dev_*.deb "$build"/korvel-designer-plugin_*.deb
for l in "${libnames[@]}"; do rm -f "$build/lib${l}"_*.deb; done
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; fail "cpack"; }
deb=$(ls "$build"/korvel_*_amd64.deb)
devdeb=$(ls "$build"/korvel-dev_*_amd64.deb)
plugindeb=$(ls "$build"/korvel-designer-plugin_*_amd64.deb)
libdebs=()
for l in "${libnames[@]}"; do libdebs+=("$(ls "$build/lib${l}"_*_amd64.deb)") || fail "no package lib$l"; done
printf '%s\n' "$deb" "${libdebs[@]}" "$devdeb" "$plugindeb"

step "lintian"
lintian --fail-on error "$deb" "${libdebs[@]}" "$devdeb" "$plugindeb" | tee "$work/lintian.txt" ||
  fail "lintian reports errors"
# What shipping libraries, headers and plugin in one package earns; the split must leave none.
if grep -E 'package-name-doesnt-match-sonames|link-to-shared-library-in-wrong-package|non-dev-pkg-with-shlib-symlink|shared-library-is-multi-arch|lacks-unversioned-link' "$work/lintian.txt"; then
  fail "lintian still sees one package doing the work of several"
fi

step "installed files"
for d in "$deb" "${libdebs[@]}" "$devdeb" "$plugindeb"; do
  echo "-- $(basename "$d"): Depends: $(dpkg-deb -f "$d" Depends)"
  dpkg-deb -c "$d" | awk '{ print $1, $6, $7, $8 }'
done
dpkg-deb -f "$devdeb" Depends | grep -q 'qt6-base-dev' || fail "korvel-dev does not depend on Qt's development files"

# The runtime with its libraries alone; the development files and the plugin are in packages of
# their own.
unpack() { # root, packages...
  local r=$1 d
  shift
  for d in "$@"; do dpkg-deb -x "$d" "$r"; done
}
root=$work/root
unpack "$root" "$deb" "${libdebs[@]}"
[ ! -e "$root/usr/include" ] || fail "the runtime package holds headers"
! find "$root" -name '*.so' -o -name 'KorvelConfig.cmake' -o -path '*/plugins/designer/*' | grep . ||
  fail "the runtime package holds development files or the plugin"
for u in korvel-master.socket korvel-master.service; do
  [ -f "$root/lib/systemd/system/$u" ] || fail "the runtime package lacks $u"
done
grep -qx "TryExec=/usr/lib/korvel/bin/launch" "$root/etc/xdg/autostart/korvel-launch.desktop" ||
  fail "the autostart entry has no TryExec"
grep -qx "NoDisplay=true" "$root/usr/share/applications/korvel-master.desktop" ||
  fail "Korvel Master is offered in the menus"
libdir=$(dirname "$(ls "$root"/usr/lib/*/libcorekit.so.2)")

step "libraries: versioned, exporting only their interface"
for lib in corekit corekit_gui listkit mapkit noticekit ctlpack; do
  so=$(ls "$libdir"/lib$lib.so.*.*.* 2>/dev/null) || fail "lib$lib is not installed with its full version"
  soname=$(readelf -d "$so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ "$soname" = "lib$lib.so.2" ] || fail "lib$lib has the soname '$soname'"
  stray=$(nm -D --defined-only "$so" | awk '$2 != "A" && $3 !~ /@@KORVEL_/' | c++filt)
  [ -z "$stray" ] || fail "lib$lib exports symbols outside its interface:"$'\n'"$stray"
  echo "lib$lib: $soname, $(nm -D --defined-only "$so" | grep -c @@KORVEL_) symbols"
done

step "every program finds its libraries in the package's own layout"
while IFS= read -r elf; do
  out=$(ldd "$elf")
  ! grep -q 'not found' <<<"$out" || fail "$elf: $(grep 'not found' <<<"$out")"
  while read -r lib; do
    grep -q "$lib => $root/" <<<"$out" || fail "$elf takes $lib from outside the package"
  done < <(grep -oE 'lib(corekit|corekit_gui|listkit|mapkit|noticekit|ctlpack)\.so\.[0-9]+' <<<"$out" | sort -u)
done < <(find "$root" -type f \( -perm -u+x -o -name '*.so*' \) -exec sh -c 'file -b "$1" | grep ELF >/dev/null' _ {} \; -print)

bin=$root/usr/lib/korvel/bin
for p in launch master masterd korvel-run korvel-reg; do
  [ -x "$bin/$p" ] || [ -x "$root/usr/bin/$p" ] || fail "$p is not installed"
done

step "user guide at the programs' help path"
chm=$bin/../Doc/fenwa2doc.chm
[ -f "$chm" ] || fail "no user guide at $chm"
[ "$(head -c 4 "$chm")" = ITSF ] || fail "$chm is no compiled help file"
toc=$(enum_chmLib "$chm")
for page in index install station client master registry korvel-run messages; do
  grep -q "/$page.html$" <<<"$toc" || fail "the guide lacks $page.html"
done
echo "$(readlink -f "$chm" | sed "s|^$root||"): $(stat -c %s "$chm") bytes"

step "korvel-reg from the unpacked package"
export KORVEL_REGISTRY=$work/registry.reg
"$root/usr/bin/korvel-reg" add "$key" >/dev/null || fail "korvel-reg cannot create the key"
"$root/usr/bin/korvel-reg" add "$key" /v Station /d Master >/dev/null || fail "korvel-reg cannot set Station"
port=$("$src/scripts/listen-port.sh")
"$root/usr/bin/korvel-reg" add "$key" /v Port /d "$port" >/dev/null
"$root/usr/bin/korvel-reg" add "$key" /v Master /d b4h78m1e0sb4 >/dev/null
"$root/usr/bin/korvel-reg" query "$key" /v Station | grep 'Station.*REG_SZ.*Master' >/dev/null ||
  fail "korvel-reg does not read back the Station value"

step "korvel-run and launch from the unpacked package"
export KORVEL_SESSION=pkgcheck$$
export QT_QPA_PLATFORM=offscreen
# As in a desktop session: without it Qt notes the missing folder on stderr, and the master that
# launch starts shares launch's stderr, so the note could land before the check below reads it.
mkdir -p -m 0700 "$work/runtime"
export XDG_RUNTIME_DIR=$work/runtime
export KORVEL_LOG_ECHO=1
if "$root/usr/bin/korvel-run" 83 -- true 2>"$work/run.err"; then
  fail "korvel-run announced to an agent that does not run"
fi
grep -q 'no Korvel agent' "$work/run.err" || fail "korvel-run without an agent says: $(cat "$work/run.err")"
"$bin/launch" >"$work/master.out" 2>"$work/launch.err" || fail "launch ended with $?"
[ ! -s "$work/launch.err" ] || fail "launch says: $(cat "$work/launch.err")"
wait_for 200 "$root/usr/bin/korvel-run" 83 -- true || fail "the master started by launch takes no announcement"
mapfile -t masters < <(session_pids "$KORVEL_SESSION" master)
started+=("${masters[@]}")
[ "${#masters[@]}" = 1 ] || fail "${#masters[@]} masters run after one launch"
[ "$(readlink "/proc/${masters[0]}/exe")" = "$bin/master" ] || fail "launch started $(readlink "/proc/${masters[0]}/exe")"
"$bin/launch" >/dev/null 2>"$work/launch2.err" || fail "the second launch ended with $?"
grep -qx 'launch: Korvel is already running.' "$work/launch2.err" ||
  fail "the second launch says: $(cat "$work/launch2.err")"
[ "$(session_pids "$KORVEL_SESSION" master | wc -l)" = 1 ] || fail "the second launch started a master"
kill -TERM "${masters[0]}"
wait_for 150 sh -c "! kill -0 ${masters[0]}" || fail "the master does not end at SIGTERM"
grep -q "Master begins listening at port $port." "$work/master.out" ||
  fail "the master's log: $(cat "$work/master.out")"
unset KORVEL_LOG_ECHO XDG_RUNTIME_DIR

step "masterd from the runtime alone, without a display"
export KORVEL_SESSION=pkgcheckd$$
# A random port may be taken by some other program of the machine: a few are tried.
masterd=
for _ in 1 2 3 4 5; do
  port=$("$src/scripts/listen-port.sh")
  "$root/usr/bin/korvel-reg" add "$key" /v Port /d "$port" >/dev/null
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$bin/masterd" >"$work/masterd.out" 2>&1 &
  masterd=$!
  started+=("$masterd")
  wait_for 200 sh -c "ss -Hltnp 'sport = :$port' | grep 'pid=$masterd,' || ! kill -0 $masterd" || true
  ss -Hltnp "sport = :$port" | grep "pid=$masterd," >/dev/null && break
  kill -KILL "$masterd" 2>/dev/null || true
  masterd=
done
[ -n "$masterd" ] || fail "masterd from the package does not serve: $(cat "$work/masterd.out")"
grep -q "Master begins listening at port $port." "$work/masterd.out" ||
  fail "masterd from the package says: $(cat "$work/masterd.out")"
wait_for 100 "$root/usr/bin/korvel-run" 83 -- true ||
  fail "masterd from the package takes no announcement: $("$root/usr/bin/korvel-run" 83 -- true 2>&1)"$'\n'"$(cat "$work/masterd.out")"
kill -TERM "$masterd"
wait "$masterd" || fail "masterd ended with $? at SIGTERM: $(cat "$work/masterd.out")"
grep -q '^<6>masterd: ended; settings saved' "$work/masterd.out" || fail "masterd's log: $(cat "$work/masterd.out")"
unset KORVEL_REGISTRY KORVEL_SESSION

step "designer plugin from its package beside the runtime"
proot=$work/plugin-root
unpack "$proot" "${libdebs[@]}" "$plugindeb"
plugin=$(find "$proot" -path '*/qt6/plugins/designer/*.so')
[ -n "$plugin" ] || fail "the designer plugin is not under Qt's plugin folder"
"$build/packaging/korvel_plugin_check" "$plugin" "$proot" || fail "the designer plugin does not load"

step "a program of the suite's own, built with find_package(Korvel) from korvel-dev"
# The libraries the development package depends on, and the development package: nothing else.
root=$work/dev-root
unpack "$root" "${libdebs[@]}" "$devdeb"
[ -f "$root/usr/include/corekit/corekit.h" ] || fail "korvel-dev has no headers"
cmake -S "$src/packaging/check/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/consumer.log" 2>&1 ||
  { cat "$work/consumer.log" >&2; fail "the consumer project does not configure"; }
grep -q "Korvel 2.* from $root/" "$work/consumer.log" || fail "find_package(Korvel) found another Korvel"
cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 ||
  { cat "$work/consumer.log" >&2; fail "the consumer project does not build"; }
got=$("$work/consumer/consumer" 2>/dev/null)
[ "$got" = "parts=4 sum=960 caught=1 block=0 edit=42 box=340 place=110,60" ] || fail "the consumer printed: $got"
lddout=$(ldd "$work/consumer/consumer")
grep -q "libcorekit.so.2 => $root/" <<<"$lddout" || fail "the consumer runs with another corekit: $(grep corekit <<<"$lddout")"
echo "consumer: $got"

if [ "$(id -u)" != 0 ]; then
  echo "== installation with apt: SKIPPED (needs root for an overlay of this system)"
  exit 0
fi

step "installation, upgrade, removal and purge in an overlay of this system"
cp "$deb" "${libdebs[@]}" "$devdeb" "$plugindeb" "$work/"
cp "$build/packaging/korvel_plugin_check" "$work/"
if ! unshare -m --propagation private bash "$src/packaging/check/install-in-overlay.sh" \
  "$work" "$(basename "$deb")" "${libdir#"$work/root"}" "$(basename "$devdeb")" "$(basename "$plugindeb")" \
  "${libdebs[@]##*/}"; then
  fail "installing the package"
fi
echo "package check passed"
