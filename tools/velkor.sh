#!/usr/bin/env bash
# Sets up what is missing on a Debian 12 machine, builds, and runs the program or the tests.
#   tools/velkor.sh run     build, start the device simulator, run Velkor with the simulator's port listed
#   tools/velkor.sh test    build and run every test (also in the ASan+UBSan and TSan builds, and the
#                           Windows build under Wine)
#   tools/velkor.sh bench   build in release mode and print the speed, CPU and memory figures
#   tools/velkor.sh windows cross-build for Windows and run its tests under Wine (part of "test")
#   tools/velkor.sh package build the Debian package dist/velkor_<version>_amd64.deb
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev nlohmann-json3-dev qt6-base-dev qt6-svg-dev qt6-qpa-plugins
                qt6-translations-l10n fonts-noto-cjk fonts-arphic-uming)
CHECK_PACKAGES=(clang-14 libclang-rt-14-dev clang-tidy-14 clang-format-14 g++-mingw-w64-x86-64-posix wine64 util-linux)
PACKAGE_PACKAGES=(dpkg-dev desktop-file-utils appstream man-db lintian)
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

# The simulator the run command starts; stopped when the command ends, however it ends.
SIM_PID=""
stop_simulator() {
    if [ -n "$SIM_PID" ]; then
        kill "$SIM_PID" 2>/dev/null || true
        wait "$SIM_PID" 2>/dev/null || true
        SIM_PID=""
    fi
}

run_program() {
    # Only what runs: the program and the simulator, not the test suites.
    cmake --preset release >/dev/null
    cmake --build --preset release --target velkor velkor-sim
    local link="${TMPDIR:-/tmp}/velkor-sim-$(id -u)"
    trap stop_simulator EXIT
    # Ctrl-C in the terminal reaches the window and the simulator too; the command then ends normally.
    trap 'stop_simulator; exit 0' INT TERM
    ./build-release/velkor-sim --link "$link" &
    SIM_PID=$!
    for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
    local status=0
    VELKOR_PORTS="$link${VELKOR_PORTS:+:$VELKOR_PORTS}" ./build-release/velkor || status=$?
    stop_simulator
    return $status
}

build_package() {
    cmake --preset release >/dev/null
    cmake --build --preset release --target velkor velkor-cli velkor-sim velkor-docs
    desktop-file-validate packaging/org.velkor.Velkor.desktop
    appstreamcli validate --no-net build-release/doc/org.velkor.Velkor.metainfo.xml >/dev/null
    rm -rf dist
    (cd build-release && cpack -G DEB -B ../dist >/dev/null)
    rm -rf dist/_CPack_Packages
    ls dist/velkor_*_amd64.deb
}

# The package installed into this machine (CI's is thrown away), the installed programs started, removed.
package_tests() {
    echo "== package"
    build_package
    local deb
    deb=$(ls dist/velkor_*_amd64.deb)
    # Debian's own checks of a package, errors and warnings alike.
    local findings status=0
    findings=$(lintian --fail-on error,warning "$deb" 2>&1) || status=$?
    grep -v "running with root privileges" <<<"$findings" || true
    if [ $status -ne 0 ]; then
        echo "lintian finds fault with $deb" >&2
        return 1
    fi
    echo "lintian: clean"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "./$deb" >/dev/null
    local failed=0 report
    for file in /usr/bin/velkor /usr/bin/velkor-cli /usr/bin/velkor-sim \
            /usr/share/applications/org.velkor.Velkor.desktop /usr/share/icons/hicolor/scalable/apps/velkor.svg \
            /usr/share/metainfo/org.velkor.Velkor.metainfo.xml; do
        [ -f "$file" ] || { echo "the package lacks $file" >&2; failed=1; }
    done
    man -w velkor-cli >/dev/null && man -w velkor >/dev/null && man -w velkor-sim >/dev/null ||
        { echo "no man page" >&2; failed=1; }
    report=$(cd / && QT_QPA_PLATFORM=offscreen VELKOR_STARTUP_PROBE=report timeout 30 /usr/bin/velkor 2>/dev/null)
    echo "$report"
    grep -q "^translations: zh_CN" <<<"$report" && grep -q "^ok button: 确定" <<<"$report" &&
        grep -q "^icon: ok" <<<"$report" || { echo "the installed window lacks its translations or icons" >&2; failed=1; }
    /usr/bin/velkor-cli --version
    DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq velkor >/dev/null
    [ ! -e /usr/bin/velkor ] || { echo "velkor is still installed" >&2; failed=1; }
    [ $failed -eq 0 ] && TESTS_PASSED=$((TESTS_PASSED + 1))
    return $failed
}

# The run command as a user meets it: the window closed, and Ctrl-C in the terminal; each time the command
# ends with 0 and leaves no simulator behind.
run_command_tests() {
    echo "== run command"
    local link="${TMPDIR:-/tmp}/velkor-sim-$(id -u)" failed=0 status pid
    # The window closes by itself once shown.
    status=0
    QT_QPA_PLATFORM=offscreen VELKOR_STARTUP_PROBE=1 bash tools/velkor.sh run >/dev/null 2>&1 || status=$?
    if [ $status -ne 0 ] || pgrep -f -- "velkor-sim --link $link" >/dev/null || [ -e "$link" ]; then
        echo "closing the window: status $status, or a simulator left behind" >&2
        failed=1
    fi
    # Ctrl-C: SIGINT to the command's whole process group, as a terminal sends it. (A background job of a
    # script starts with SIGINT ignored, which a terminal's foreground command does not: env restores it.)
    QT_QPA_PLATFORM=offscreen setsid env --default-signal=INT bash tools/velkor.sh run >/dev/null 2>&1 &
    pid=$!
    for _ in $(seq 100); do pgrep -f build-release/velkor$ >/dev/null && [ -e "$link" ] && break; sleep 0.1; done
    sleep 0.5
    kill -INT -- "-$pid"
    if ! timeout 20 tail --pid="$pid" -f /dev/null; then
        kill -KILL -- "-$pid" 2>/dev/null || true
    fi
    status=0
    wait "$pid" || status=$?
    sleep 0.3
    if [ $status -ne 0 ] || pgrep -f -- "velkor-sim --link $link" >/dev/null || pgrep -f build-release/velkor$ >/dev/null; then
        echo "Ctrl-C: status $status, or a process left behind" >&2
        failed=1
    fi
    [ $failed -eq 0 ] && TESTS_PASSED=$((TESTS_PASSED + 2))
    return $failed
}

static_checks() {
    echo "== clang-format"
    git ls-files '*.cpp' '*.h' | xargs clang-format-14 --dry-run --Werror
    echo "== clang-tidy"
    run-clang-tidy-14 -p build -j2 -quiet "$(pwd)/(frames|serial|controls|pages|shell|resources|tools|tests)/.*\.cpp$" \
        >build/clang-tidy.log 2>&1 || { grep -E "warning:|error:" build/clang-tidy.log; return 1; }
    echo "clang-tidy: clean"
}

# The Windows build (preset "windows", cross-built with MinGW-w64) run under Wine. Its COM ports are
# velkor-sim instances on pseudo-terminals: Wine opens \\.\COMn through $WINEPREFIX/dosdevices/comn, which
# is made a link to the simulator's link.
windows_tests() {
    echo "== Windows build, tests under Wine"
    build windows
    local wine=/usr/lib/wine/wine64
    export WINEPREFIX="$PWD/build-windows/wineprefix" WINEDEBUG=-all
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        "$wine" wineboot -i >/dev/null 2>&1
    fi
    local work
    work=$(mktemp -d)
    local sims=()
    ./build/velkor-sim --link "$work/plain" >"$work/plain.log" 2>&1 &
    sims+=($!)
    ./build/velkor-sim --stall-after 1 --link "$work/stall" >/dev/null 2>&1 &
    sims+=($!)
    ./build/velkor-sim --storm 60 --link "$work/storm" >/dev/null 2>&1 &
    sims+=($!)
    ./build/velkor-sim --storm 60 --link "$work/storm-cli" >/dev/null 2>&1 &
    sims+=($!)
    # Hangs up after each first frame and is back at once, as a re-plugged adapter.
    touch "$work/again"
    (while [ -f "$work/again" ]; do ./build/velkor-sim --hangup-after 1 --link "$work/hangup" >/dev/null 2>&1; done) &
    sims+=($!)
    for _ in $(seq 50); do [ -e "$work/plain" ] && [ -e "$work/storm-cli" ] && break; sleep 0.1; done
    local n=40
    for name in plain stall hangup storm storm-cli; do
        ln -sfn "$work/$name" "$WINEPREFIX/dosdevices/com$n"
        n=$((n + 1))
    done
    local failed=0
    for program in frames_tests serial_tests; do
        if VELKOR_TEST_COM=COM40 VELKOR_TEST_COM_STALL=COM41 VELKOR_TEST_COM_HANGUP=COM42 \
                VELKOR_TEST_COM_STORM=COM43 "$wine" "build-windows/$program.exe" >"$work/$program.log" 2>&1; then
            grep -aE '^\[  (PASSED|SKIPPED) \]|Skipped|^Wine ' "$work/$program.log" || true
            local count
            count=$(grep -aoE '^\[  PASSED  \] [0-9]+' "$work/$program.log" | grep -oE '[0-9]+$')
            TESTS_PASSED=$((TESTS_PASSED + ${count:-0}))
        else
            grep -av '^\[       OK \]\|^\[ RUN' "$work/$program.log" | tail -n 40
            echo "$program.exe failed under Wine" >&2
            failed=1
        fi
    done
    # velkor-cli.exe through a COM port, and the Chinese text of its arguments in GBK as on Linux. Only
    # COM ports are ports (AUX is the host's console under Wine), and every name of one shares its sequence
    # counter, which starts from nothing here.
    rm -rf "$WINEPREFIX"/drive_c/users/*/AppData/Local/velkor
    local check expected answer
    while IFS='|' read -r check expected; do
        # shellcheck disable=SC2086
        answer=$("$wine" build-windows/velkor-cli.exe $check 2>&1 | tr -d '\r') || true
        if [ "$answer" = "$expected" ]; then
            echo "velkor-cli.exe $check: $answer"
            TESTS_PASSED=$((TESTS_PASSED + 1))
        else
            echo "velkor-cli.exe $check answered: $answer" >&2
            failed=1
        fi
    done <<'CHECKS'
send COM40 FA80F4006E0D|FA 80 F4 07 6C 80 12 00 04 00 06 7D 0D
module COM40 get-time --timeout 1000 --json --dry-run|{"command":"module get-time","port":"COM40","sent":"FA 80 FD 00 77 0D","dry_run":true}
module COM40 read-watch-address|手表地址: 0
text COM40 --seq 3 --dry-run 3号桌请取餐|5A 03 FF FF FF FF E0 0B 33 BA C5 D7 C0 C7 EB C8 A1 B2 CD 27
text AUX --seq 1 hi|velkor-cli: cannot open AUX: not a serial port
text NUL: --seq 1 hi|velkor-cli: cannot open NUL:: not a serial port
text C:\windows --seq 1 hi|velkor-cli: cannot open C:\windows: not a serial port
text COM40 --json hi|{"command":"text","port":"COM40","sequence":1,"sent":"5A 01 FF FF FF FF E0 02 68 69 0A"}
text \\.\COM40 --json hi|{"command":"text","port":"\\\\.\\COM40","sequence":2,"sent":"5A 02 FF FF FF FF E0 02 68 69 0B"}
text com40: --json hi|{"command":"text","port":"com40:","sequence":3,"sent":"5A 03 FF FF FF FF E0 02 68 69 0C"}
CHECKS
    # A device that streams noise cannot hold the wait for an answer beyond its time-out.
    local start status=0
    start=$(date +%s%N)
    answer=$(timeout 30 "$wine" build-windows/velkor-cli.exe module COM44 get-time --timeout 1000 2>&1) || status=$?
    local elapsed=$((($(date +%s%N) - start) / 1000000))
    if [ $status -eq 3 ] && [ $elapsed -lt 6000 ] && grep -q "bytes came without the pause" <<<"$answer"; then
        echo "velkor-cli.exe module COM44 get-time in a storm: exit 3 after $elapsed ms"
        TESTS_PASSED=$((TESTS_PASSED + 1))
    else
        echo "velkor-cli.exe in a storm: exit $status after $elapsed ms: $answer" >&2
        failed=1
    fi
    rm -f "$work/again"
    kill "${sims[@]}" 2>/dev/null || true
    pkill -f -- "--link $work/" 2>/dev/null || true
    wait "${sims[@]}" 2>/dev/null || true
    rm -f "$WINEPREFIX"/dosdevices/com4[0-4]
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    rm -rf "$work"
    return $failed
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
    windows_tests
    install_missing "${PACKAGE_PACKAGES[@]}"
    package_tests
    run_command_tests
    fuzz
    echo "all checks: $TESTS_PASSED passed, 0 failed"
    ;;
package)
    install_missing "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
    build_package
    ;;
windows)
    install_missing "${BUILD_PACKAGES[@]}" g++-mingw-w64-x86-64-posix wine64
    build default
    windows_tests
    echo "windows checks: $TESTS_PASSED passed, 0 failed"
    ;;
*)
    echo "usage: $0 run|test|bench|package|windows" >&2
    exit 2
    ;;
esac
