#!/usr/bin/env bash
# Sets up what is missing on a Debian 12 machine, builds, and runs the program or the tests.
#   tools/velkor.sh run     build, start the device simulator, run Velkor with the simulator's port listed
#   tools/velkor.sh test    build and run every test (also in the ASan+UBSan and TSan builds)
#   tools/velkor.sh bench   build in release mode and print the speed, CPU and memory figures
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev qt6-base-dev qt6-svg-dev qt6-qpa-plugins
                qt6-translations-l10n fonts-noto-cjk fonts-arphic-uming)

install_missing() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    if ((${#missing[@]})); then
        echo "== installing: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo=sudo
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

build() { # preset
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1"
}

run_tests() { # preset
    echo "== tests ($1)"
    build "$1"
    ctest --preset "$1" -j2
}

run_program() {
    build release
    local link="${TMPDIR:-/tmp}/velkor-sim-$(id -u)"
    ./build-release/velkor-sim --link "$link" &
    local sim=$!
    trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null' EXIT
    for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
    VELKOR_PORTS="$link${VELKOR_PORTS:+:$VELKOR_PORTS}" ./build-release/velkor
}

case "${1:-}" in
run)
    install_missing "${BUILD_PACKAGES[@]}"
    run_program
    ;;
bench)
    install_missing "${BUILD_PACKAGES[@]}"
    build release
    ./build-release/velkor-bench
    ;;
test)
    install_missing "${BUILD_PACKAGES[@]}"
    run_tests default
    run_tests asan
    run_tests tsan
    ;;
*)
    echo "usage: $0 run|test|bench" >&2
    exit 2
    ;;
esac
