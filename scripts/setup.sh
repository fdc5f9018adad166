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
#   scripts/setup.sh fuzz          deps + every libFuzzer target built with clang, each run briefly
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

packages=(
  build-essential cmake ninja-build pkg-config clang clang-format git
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools libgl-dev libqt6opengl6-dev
  qt6-qpa-plugins fonts-dejavu-core fonts-crosextra-carlito xdg-utils binutils
  fp-utils libchm-bin dpkg-dev file lintian iproute2 util-linux
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

configure_build() { # dir, extra cmake args... [--target T]
  local dir=$1; shift
  local args=() target=()
  while (($#)); do
    if [ "$1" = --target ]; then target=(--target "$2"); shift 2; else args+=("$1"); shift; fi
  done
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${args[@]}" >/dev/null
  cmake --build "$dir" -j2 "${target[@]}"
}

build_normal() { configure_build "$root/build" -DKORVEL_WERROR=ON; }
build_asan() { configure_build "$root/build/asan" -DKORVEL_SANITIZE=ON -DKORVEL_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug; }

run_tests() { # dir
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$1" --output-on-failure -j2
}

check_package() { "$root/packaging/check/check-package.sh" "$root/build"; }

# Every libFuzzer target (the `fuzzers` target of a clang build), each run for a bounded time
# from an empty corpus; a crash or a sanitizer report fails the run.
run_fuzzers() {
  local dir=$root/build/fuzz seconds=${KORVEL_FUZZ_SECONDS:-20}
  CC=clang CXX=clang++ configure_build "$dir" -DKORVEL_BENCH=OFF --target fuzzers
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

# Each program started headless and ended with SIGTERM.
run_smoke() { "$root/scripts/smoke.sh" "$root/build/bin" master client; }

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
    run_tests "$root/build"
    run_smoke
    run_fuzzers
    check_package
    build_asan
    run_tests "$root/build/asan"
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
