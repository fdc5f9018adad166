#!/usr/bin/env bash
# Installs what the project needs from Debian's archive (only what is missing) and builds.
#
#   scripts/setup.sh deps          install the packages only
#   scripts/setup.sh build         deps + normal build into build/
#   scripts/setup.sh test          deps + normal and sanitizer builds, all tests in both, the
#                                  Debian package with its checks (packaging/check), the threaded
#                                  units under ThreadSanitizer and a build without tests
#   scripts/setup.sh package       deps + build + the Debian package build/korvel_*.deb, checked
#   scripts/setup.sh run           deps + build + the demo (scripts/demo.sh)
#   scripts/setup.sh bench         deps + build + every benchmark
#   scripts/setup.sh fuzz          deps + every libFuzzer target built with clang, each run briefly
#
# Each build's options are a preset of CMakePresets.json (dev, asan, tsan, fuzz, notest).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

packages=(
  build-essential cmake ninja-build pkg-config clang clang-format git
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools libgl-dev libqt6opengl6-dev
  qt6-qpa-plugins fonts-dejavu-core fonts-crosextra-carlito xdg-utils binutils
  fp-utils libchm-bin dpkg-dev file lintian iproute2 util-linux
  libsqlite3-dev qt6-svg-dev libsystemd-dev systemd adduser ccache
  qt6-httpserver-dev qt6-websockets-dev prometheus chromium
)

install_deps() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# Rebuilds of unchanged sources come from the compiler cache, wherever the checkout lies.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER-ccache}
  export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER-ccache}
  export CCACHE_BASEDIR=${CCACHE_BASEDIR-$root} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR-1}
fi

# Every build's options live in CMakePresets.json; a build here is one of its presets.
preset_build() { # preset
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
}

build_normal() { preset_build dev; }
build_asan() { preset_build asan; }

run_tests() { ctest --preset "$1"; } # preset

# The threaded units and their tests under ThreadSanitizer (the tsan preset): the master's core
# and its server on a thread of its own, the message port, the watcher's waiter thread and the
# client agent over it; any report fails the run. Their tests start children with posix_spawn
# (testsupport/child.h): after a QProcess start ThreadSanitizer loses sight of the parent's locks.
run_tsan() {
  local start=$SECONDS
  preset_build tsan
  ctest --preset tsan
  echo "tsan: built and tested in $((SECONDS - start)) s"
}

# A build of what ships only (BUILD_TESTING off), with GTest, Qt Test, Designer's libraries and
# Google Benchmark kept out of its sight: it must configure and build, and hold no test.
check_without_tests() {
  local dir=$root/build/notest
  preset_build notest
  local tests
  tests=$(ctest --test-dir "$dir" -N | sed -n 's/^Total Tests: //p')
  [ "$tests" = 0 ] || { echo "a build without tests registers $tests tests" >&2; return 1; }
  if ninja -C "$dir" -t targets all | grep -E '^[^:]*(_test|_bench|_fuzz|_saveform|test_main[a-z_]*)(\.[a-z]+)?:'; then
    echo "a build without tests has the test targets above" >&2
    return 1
  fi
  if grep -E '^(GTest_DIR|Qt6Test_DIR|benchmark_DIR):.*=/' "$dir/CMakeCache.txt"; then
    echo "a build without tests found the packages above" >&2
    return 1
  fi
  echo "without tests: configured and built, no test, no test target, no GTest or Qt Test"
}

check_package() { "$root/packaging/check/check-package.sh" "$root/build"; }

# Every libFuzzer target (the `fuzzers` target of a clang build), each run for a bounded time
# from an empty corpus; a crash or a sanitizer report fails the run.
run_fuzzers() {
  local dir=$root/build/fuzz seconds=${KORVEL_FUZZ_SECONDS:-20}
  preset_build fuzz
  local list
  list=$(ninja -C "$dir" -t targets all | sed -n 's/^\(bin\/[a-z_]*_fuzz\): .*/\1/p')
  [ -n "$list" ] || { echo "no fuzz targets found" >&2; return 1; }
  for f in $list; do
    local corpus name flags=() seeds=()
    corpus=$(mktemp -d)
    name=$(basename "$f")
    # A target's dictionary and seed inputs sit beside its source as <name>.dict, <name>.seeds/;
    # new inputs go to the first folder named, the seeds are only read.
    for d in "$root"/*/fuzz/"$name".dict; do [ -f "$d" ] && flags+=(-dict="$d"); done
    for d in "$root"/*/fuzz/"$name".seeds; do [ -d "$d" ] && seeds+=("$d"); done
    echo "== $name for ${seconds} s"
    "$dir/$f" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 "${flags[@]}" "$corpus" "${seeds[@]}" \
      2>"$corpus.log" || {
      tail -n 40 "$corpus.log" >&2; rm -rf "$corpus" "$corpus.log"; return 1; }
    tail -n 1 "$corpus.log"
    rm -rf "$corpus" "$corpus.log"
  done
}

# The tree formatted with the project's .clang-format: any difference fails, with the places.
check_format() {
  local files
  files=$(git -C "$root" ls-files '*.cpp' '*.h')
  (cd "$root" && echo "$files" | xargs clang-format --dry-run --Werror) || {
    echo "Source not formatted: run clang-format -i on the files above" >&2
    return 1
  }
  echo "format: $(echo "$files" | wc -l) files formatted as .clang-format says"
}

# The master started headless answers a request; the client agent shows its first status.
run_smoke() { "$root/scripts/smoke.sh" "$root/build/bin"; }

run_benches() {
  for b in "$root"/build/bench/*_bench; do
    [ -x "$b" ] || continue
    echo "== $(basename "$b")"
    "$b" --benchmark_min_time=0.05
  done
}

case "${1:-build}" in
  deps) install_deps ;;
  build) install_deps; build_normal ;;
  test)
    install_deps
    check_format
    build_normal
    run_tests dev
    run_smoke
    run_fuzzers
    check_package
    build_asan
    run_tests asan
    run_tsan
    check_without_tests
    ;;
  bench) install_deps; build_normal; run_benches ;;
  fuzz) install_deps; run_fuzzers ;;
  package) install_deps; build_normal; check_package ;;
  run)
    install_deps
    build_normal
    if [ -x "$root/scripts/demo.sh" ]; then
      "$root/scripts/demo.sh"
    else
      run_benches
    fi
    ;;
  *) echo "usage: $0 deps|build|test|run|bench|fuzz|package" >&2; exit 2 ;;
esac
