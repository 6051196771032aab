#!/usr/bin/env bash
# Sets up what is missing on a Debian 12 machine, builds, and runs the program or the tests.
#   tools/velkor.sh run     build, start the device simulator, run Velkor with the simulator's port listed
#   tools/velkor.sh test    build and run every test (also in the ASan+UBSan and TSan builds)
#   tools/velkor.sh bench   build in release mode and print the speed, CPU and memory figures
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev qt6-base-dev qt6-svg-dev qt6-qpa-plugins
                qt6-translations-l10n fonts-noto-cjk fonts-arphic-uming)
CHECK_PACKAGES=(clang-14 libclang-rt-14-dev clang-tidy-14 clang-format-14)
FUZZ_SECONDS=${FUZZ_SECONDS:-30}
TESTS_PASSED=0

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
    ctest --preset "$1" -j2 | tee "build-ctest-$1.log"
    local count
    count=$(grep -oE 'tests passed, 0 tests failed out of [0-9]+' "build-ctest-$1.log" | grep -oE '[0-9]+$')
    rm -f "build-ctest-$1.log"
    TESTS_PASSED=$((TESTS_PASSED + ${count:-0}))
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

static_checks() {
    echo "== clang-format"
    git ls-files '*.cpp' '*.h' | xargs clang-format-14 --dry-run --Werror
    echo "== clang-tidy"
    run-clang-tidy-14 -p build -j2 -quiet "$(pwd)/(frames|serial|controls|pages|shell|resources|tools)/.*\.cpp$" \
        >build/clang-tidy.log 2>&1 || { grep -E "warning:|error:" build/clang-tidy.log; return 1; }
    echo "clang-tidy: clean"
}

fuzz() {
    echo "== fuzzing, ${FUZZ_SECONDS} s a target"
    build fuzz
    local work
    work=$(mktemp -d)
    for target in module_answer stream_splitter text lenient_number; do
        cp -r "tests/fuzz/corpus/$target" "$work/$target"
        if ! ./build-fuzz/fuzz_$target -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 \
                -artifact_prefix="$work/" "$work/$target" >"$work/$target.log" 2>&1; then
            tail -n 40 "$work/$target.log"
            echo "fuzz_$target found a fault; the input is in $work" >&2
            return 1
        fi
        echo "fuzz_$target: $(grep -E '^Done' "$work/$target.log")"
        TESTS_PASSED=$((TESTS_PASSED + 1))
    done
    rm -rf "$work"
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
    install_missing "${BUILD_PACKAGES[@]}" "${CHECK_PACKAGES[@]}"
    run_tests default
    static_checks
    run_tests asan
    run_tests tsan
    fuzz
    echo "all checks: $TESTS_PASSED passed, 0 failed"
    ;;
*)
    echo "usage: $0 run|test|bench" >&2
    exit 2
    ;;
esac
