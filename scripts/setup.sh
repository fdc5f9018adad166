#!/usr/bin/env bash
# Installs what the project needs from Debian's archive (only what is missing) and builds.
#
#   scripts/setup.sh deps          install the packages only
#   scripts/setup.sh build         deps + normal build into build/
#   scripts/setup.sh test          deps + normal and sanitizer builds, all tests in both, and the
#                                  Debian package with its checks (packaging/check)
#   scripts/setup.sh package       deps + build + the Debian package build/korvel_*.deb, checked
#   scripts/setup.sh run           deps + build + the demo (scripts/demo.sh)
#   scripts/setup.sh bench         deps + build + every benchmark
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

packages=(
  build-essential cmake ninja-build pkg-config clang
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools libgl-dev
  qt6-qpa-plugins fonts-dejavu-core xdg-utils binutils
  fp-utils libchm-bin dpkg-dev file lintian iproute2 util-linux
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

configure_build() { # dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j2
}

build_normal() { configure_build "$root/build" -DKORVEL_WERROR=ON; }
build_asan() { configure_build "$root/build/asan" -DKORVEL_SANITIZE=ON -DKORVEL_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug; }

run_tests() { # dir
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$1" --output-on-failure -j2
}

check_package() { "$root/packaging/check/check-package.sh" "$root/build"; }

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
    build_normal
    run_tests "$root/build"
    check_package
    build_asan
    run_tests "$root/build/asan"
    ;;
  bench) install_deps; build_normal; run_benches ;;
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
  *) echo "usage: $0 deps|build|test|run|bench|package" >&2; exit 2 ;;
esac
