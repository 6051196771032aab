#!/usr/bin/env bash
# Sets up what is missing on a Debian 12 machine, builds, and runs the program or the tests.
#   tools/velkor.sh test    build and run every test (also in the ASan+UBSan and TSan builds)
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev)

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

case "${1:-}" in
test)
    install_missing "${BUILD_PACKAGES[@]}"
    run_tests default
    run_tests asan
    run_tests tsan
    ;;
*)
    echo "usage: $0 test" >&2
    exit 2
    ;;
esac
