#!/usr/bin/env bash
# Fails when one of the given programs loads a Qt GUI module (Gui, Widgets, D-Bus, OpenGL,
# XCB...), directly or through our own libraries: the tools run on machines and in sessions
# without a display and must not pull in what they never use.
set -euo pipefail
status=0
for program in "$@"; do
  libs=$(ldd "$program")
  echo "== $program"
  echo "$libs" | grep -E 'libQt6|libkorvel|lib(corekit|listkit|mapkit)' || true
  if bad=$(echo "$libs" | grep -E 'libQt6(Gui|Widgets|DBus|OpenGL|Xcb|XcbQpa)|lib(xcb|X11|GL|EGL)\.'); then
    echo "loads GUI libraries:" >&2
    echo "$bad" >&2
    status=1
  fi
done
exit $status
