#!/usr/bin/env bash
# Sets up what is missing on a Debian 12 machine, builds, and runs the program or the tests.
#   tools/velkor.sh run     build, start the device simulator, run Velkor with the simulator's port listed
#   tools/velkor.sh build   only build every program (velkor, velkor-cli, velkor-sim, velkor-gateway) into build/
#   tools/velkor.sh check   after a change: the default build and its unit and end-to-end tests (no root, no
#                           Wine needed; a few tests that need root skip themselves)
#   tools/velkor.sh test    build and run every test (also in the ASan+UBSan and TSan builds, the
#                           end-to-end tests in the release build, and the Windows build under Wine)
#   tools/velkor.sh bench   build in release mode and print the speed, CPU and memory figures
#   tools/velkor.sh windows cross-build for Windows (Qt for Windows built once from Debian's source into
#                           ~/.cache/velkor), make the installer and run the Windows tests under Wine (part of "test")
#   tools/velkor.sh windows-qt  only build Qt for Windows (once) and print where it is
#   tools/velkor.sh package build the Debian packages dist/{velkor,velkor-cli,velkor-gateway,velkor-sim}_<version>_amd64.deb
set -eEuo pipefail
cd "$(dirname "$0")/.."
# A command that fails under set -e ends the run; it says which one, where, and with what status first.
trap 'status=$?; echo "velkor.sh: \"$BASH_COMMAND\" failed with status $status (line $LINENO${FUNCNAME:+, in ${FUNCNAME[*]}})" >&2' ERR

BUILD_PACKAGES=(cmake ninja-build ccache g++ pkg-config libgtest-dev nlohmann-json3-dev libcli11-dev libsqlite3-dev
                libcpp-httplib-dev libmosquitto-dev libsystemd-dev libssl-dev libgmime-3.0-dev qt6-base-dev qt6-svg-dev qt6-tools-dev qt6-l10n-tools qt6-qpa-plugins qt6-translations-l10n fonts-noto-cjk
                fonts-arphic-uming)
# Beside the checkers: the real clients the gateway's tests page it with.
# The Windows build's: MinGW-w64, Wine, Xvfb and xdotool for its window, NSIS for its installer, dpkg-dev for
# apt-get source (Qt for Windows).
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix wine64 xvfb xdotool nsis dpkg-dev)
CHECK_PACKAGES=(clang-14 libclang-rt-14-dev clang-tidy-14 clang-format-14 "${WINDOWS_PACKAGES[@]}" util-linux
                curl hylafax-client libnet-snpp-perl mosquitto mosquitto-clients openssl netcat-openbsd faketime
                chromium chromium-driver python3-selenium apprise swaks msmtp)
PACKAGE_PACKAGES=(dpkg-dev desktop-file-utils appstream man-db lintian)
FUZZ_SECONDS=${FUZZ_SECONDS:-30}
TESTS_PASSED=0
JOBS=$(nproc)
STAGE_TIMES=()

# Runs a stage of the full check and keeps its time for the summary.
stage() { # name command...
    local name=$1 start=$SECONDS
    shift
    "$@"
    STAGE_TIMES+=("$(printf '%-22s %4d s' "$name" $((SECONDS - start)))")
}

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

# Node-RED 4 from npm (Debian's Node runs it), for the test of the flow in docs/examples; without the
# network that test skips itself.
install_node_red() {
    [ -x .cache/node-red/node_modules/.bin/node-red ] && return 0
    command -v npm >/dev/null || install_missing npm
    echo "== installing Node-RED 4 into .cache/node-red"
    npm install --no-audit --no-fund --loglevel=error --prefix .cache/node-red node-red@4 >/dev/null ||
        echo "Node-RED could not be installed: the test of its flow is skipped" >&2
}

# Alertmanager, which the tests start themselves on loopback: installed without starting its service (it
# would listen on every address), and left disabled.
install_alertmanager() {
    dpkg-query -W -f='${Status}' prometheus-alertmanager 2>/dev/null | grep -q "install ok installed" && return 0
    local sudo="" policy=/usr/sbin/policy-rc.d made=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null && $sudo chmod 755 "$policy" && made=1
    fi
    install_missing prometheus-alertmanager
    [ -z "$made" ] || $sudo rm -f "$policy"
    if [ -d /run/systemd/system ]; then
        $sudo systemctl disable --now prometheus-alertmanager.service >/dev/null 2>&1 || true
    fi
}

set_up() {
    install_missing "${BUILD_PACKAGES[@]}" "${CHECK_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
    install_alertmanager
    install_node_red
}

build() { # preset
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1"
}

run_tests() { # preset [ctest options]
    local preset=$1
    shift
    echo "== tests ($preset)"
    local status=0 count
    if [ $# -eq 0 ]; then
        # The preset's workflow: configure, build, test.
        CTEST_PARALLEL_LEVEL=$JOBS cmake --workflow --preset "$preset" | tee "build-ctest-$preset.log" || status=$?
    else
        build "$preset"
        ctest --preset "$preset" -j"$JOBS" "$@" | tee "build-ctest-$preset.log" || status=$?
    fi
    if [ $status -ne 0 ]; then
        echo "velkor.sh: the tests of preset $preset failed (ctest status $status):" >&2
        sed -n '/The following tests FAILED/,$p' "build-ctest-$preset.log" >&2
        rm -f "build-ctest-$preset.log"
        return $status
    fi
    count=$(grep -oE 'tests passed, 0 tests failed out of [0-9]+' "build-ctest-$preset.log" | grep -oE '[0-9]+$')
    rm -f "build-ctest-$preset.log"
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
    cmake --build --preset release --target velkor velkor-cli velkor-sim velkor-gateway velkor-docs
    desktop-file-validate packaging/org.velkor.Velkor.desktop
    appstreamcli validate --no-net build-release/doc/org.velkor.Velkor.metainfo.xml >/dev/null
    rm -rf dist
    (cd build-release && cpack -G DEB -B ../dist >/dev/null)
    rm -rf dist/_CPack_Packages
    ls dist/*.deb
}

# The gateway's package on a server without a desktop: neither its dependencies (followed all the way down)
# nor the program itself bring Qt or fonts.
# Runs "$@" every 0.1 s until it succeeds, for at most 5 s; its last status.
until_true() {
    local _
    for _ in $(seq 50); do "$@" && return 0; sleep 0.1; done
    "$@"
}

# SIGTERM to the background job PID of this shell, then its end (SIGKILL past 5 s).
stop_job() {
    kill -TERM "$1" 2>/dev/null || true
    until_true eval "! kill -0 $1 2>/dev/null" || kill -KILL "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

# Whether velkor-sim's JSON log $1 shows $2 text frames.
frames_seen() { [ "$(grep -c '"command":"text"' "$1")" -ge "$2" ]; }

gateway_without_desktop() {
    local deb pulled
    deb=$(ls dist/velkor-gateway_*_amd64.deb)
    # What apt would install on a machine with nothing installed, choosing among alternatives as it does:
    # a recursive listing follows every alternative, and through GMime's dependencies some reach fonts.
    pulled=$(apt-get -s -o Dir::State::status=/dev/null --no-install-recommends install "./$deb" 2>&1 |
        awk '/^Inst / { print $2 }' | grep -E '^(libqt6|qt6-|fonts-)' || true)
    if [ -n "$pulled" ]; then
        echo "installing velkor-gateway pulls in: $pulled" >&2
        return 1
    fi
    if ldd /usr/bin/velkor-gateway | grep -qiE 'libqt|fontconfig|freetype'; then
        echo "velkor-gateway is linked with Qt or the font libraries" >&2
        return 1
    fi
    echo "velkor-gateway alone: no Qt, no fonts"
}

# Installed again over itself while it runs, the gateway keeps its queue and its settings (the service
# manager's restart of a running service is deb-systemd-invoke's, with systemd as init); then purged.
gateway_upgrade_and_purge() {
    local deb work failed=0
    deb=$(ls dist/velkor-gateway_*_amd64.deb)
    work=$(mktemp -d)
    chmod 755 "$work"
    install -d -o velkor-gateway -g velkor-gateway -m 700 "$work/state"
    echo "# the site's own" >>/etc/velkor/gateway.conf
    local as_service=(setpriv --reuid=velkor-gateway --regid=velkor-gateway --init-groups env STATE_DIRECTORY="$work/state")
    "${as_service[@]}" /usr/bin/velkor-gateway --port "$work/no-port" --http 127.0.0.1:18026 --snpp off 2>"$work/log" &
    local gateway=$! # setpriv and env exec: the gateway's own
    until_true curl -s -o /dev/null http://127.0.0.1:18026/v1/health
    curl -sS -d 'kept' 'http://127.0.0.1:18026/v1/pages?to=5' >/dev/null || failed=1
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --reinstall "./$deb" >/dev/null || failed=1
    stop_job "$gateway"
    grep -q "# the site's own" /etc/velkor/gateway.conf || { echo "the upgrade replaced the site's settings" >&2; failed=1; }
    "${as_service[@]}" /usr/bin/velkor-gateway --port "$work/no-port" --http 127.0.0.1:18026 --snpp off 2>>"$work/log" &
    gateway=$!
    until_true curl -s -o /dev/null http://127.0.0.1:18026/v1/health
    local queued
    queued=$(curl -s 'http://127.0.0.1:18026/v1/pages?state=queued' 2>/dev/null)
    grep -q '"text":"kept"' <<<"$queued" || { echo "the queue was not kept: $queued" >&2; cat "$work/log" >&2; failed=1; }
    stop_job "$gateway"
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq velkor-gateway >/dev/null || failed=1
    for file in /usr/bin/velkor-gateway /etc/velkor/gateway.conf /lib/systemd/system/velkor-gateway.service; do
        [ ! -e "$file" ] || { echo "$file is still there after the purge" >&2; failed=1; }
    done
    rm -rf "$work"
    [ $failed -eq 0 ] && echo "gateway upgrade and purge: clean"
    return $failed
}

# The package installed into this machine (CI's is thrown away), the installed programs started, removed.
package_tests() {
    echo "== package"
    build_package
    # Debian's own checks of each package, errors and warnings alike.
    local deb findings status
    for deb in dist/*.deb; do
        status=0
        findings=$(lintian --fail-on error,warning "$deb" 2>&1) || status=$?
        grep -v "running with root privileges" <<<"$findings" || true
        if [ $status -ne 0 ]; then
            echo "lintian finds fault with $deb" >&2
            return 1
        fi
    done
    echo "lintian: clean ($(ls dist/*.deb | wc -l) packages)"
    # The gateway first, alone, as a headless server installs it; then the others.
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ./dist/velkor-gateway_*_amd64.deb >/dev/null
    gateway_without_desktop || return 1
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ./dist/*.deb >/dev/null
    local failed=0 report
    for file in /usr/bin/velkor /usr/bin/velkor-cli /usr/bin/velkor-sim /usr/bin/velkor-gateway \
            /lib/systemd/system/velkor-gateway.service /usr/lib/sysusers.d/velkor-gateway.conf /etc/velkor/gateway.conf \
            /usr/share/applications/org.velkor.Velkor.desktop /usr/share/icons/hicolor/scalable/apps/velkor.svg \
            /usr/share/metainfo/org.velkor.Velkor.metainfo.xml; do
        [ -f "$file" ] || { echo "the package lacks $file" >&2; failed=1; }
    done
    man -w velkor-cli >/dev/null && man -w velkor >/dev/null && man -w velkor-sim >/dev/null &&
        man -w velkor-gateway >/dev/null ||
        { echo "no man page" >&2; failed=1; }
    report=$(cd / && LANGUAGE=zh_CN QT_QPA_PLATFORM=offscreen VELKOR_STARTUP_PROBE=report timeout 30 /usr/bin/velkor 2>/dev/null)
    echo "$report"
    grep -q "^translations: zh_CN" <<<"$report" && grep -q "^ok button: 确定" <<<"$report" &&
        grep -q "^icon: ok" <<<"$report" || { echo "the installed window lacks its translations or icons" >&2; failed=1; }
    # An English desktop: the window's own English, Qt's own buttons in English.
    report=$(cd / && env -u LANGUAGE LANG=en_US.UTF-8 QT_QPA_PLATFORM=offscreen VELKOR_STARTUP_PROBE=report \
        timeout 30 /usr/bin/velkor 2>/dev/null)
    echo "$report"
    grep -q "^title: Wireless Watch Setup and Messaging Tool" <<<"$report" && grep -q "^translations: en" <<<"$report" &&
        grep -q "^ok button: OK" <<<"$report" || { echo "the installed window does not speak English" >&2; failed=1; }
    /usr/bin/velkor-cli --version
    gateway_package_tests || failed=1
    gateway_upgrade_and_purge || failed=1
    DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq velkor velkor-cli velkor-sim >/dev/null
    for file in /usr/bin/velkor /usr/bin/velkor-cli /usr/bin/velkor-sim; do
        [ ! -e "$file" ] || { echo "$file is still installed" >&2; failed=1; }
    done
    [ $failed -eq 0 ] && TESTS_PASSED=$((TESTS_PASSED + 1))
    return $failed
}

# The installed gateway as its service runs it: the unit checked by systemd, its user made, its settings a
# conffile, and the program run as that user (group dialout) against the simulator, paged by sendpage, curl
# and mosquitto_pub through a broker it logs in to.
gateway_package_tests() {
    local failed=0 rating work pty pid broker
    systemd-analyze verify /lib/systemd/system/velkor-gateway.service || { echo "the unit does not verify" >&2; failed=1; }
    rating=$(systemd-analyze security --offline=true /lib/systemd/system/velkor-gateway.service 2>&1 | tail -1)
    echo "$rating"
    grep -Eq " (OK|SAFE) " <<<"$rating" || { echo "the unit is rated worse than OK" >&2; failed=1; }
    id -nG velkor-gateway | grep -qw dialout || { echo "no user velkor-gateway in dialout" >&2; failed=1; }
    dpkg-query -W -f='${Conffiles}' velkor-gateway | grep -q /etc/velkor/gateway.conf || { echo "gateway.conf is no conffile" >&2; failed=1; }
    systemctl is-enabled velkor-gateway.service >/dev/null 2>&1 && { echo "the unit is enabled at install" >&2; failed=1; }
    # Every serial class the port list shows (and a single-board computer's) is a device the unit allows.
    local class
    for class in ttyS ttyUSB ttyACM ttyAMA rfcomm; do
        grep -qx "DeviceAllow=char-$class rw" /lib/systemd/system/velkor-gateway.service ||
            { echo "the unit does not allow the serial class $class" >&2; failed=1; }
    done

    work=$(mktemp -d)
    chmod 755 "$work"
    /usr/bin/velkor-sim --json --link "$work/sim" >"$work/sim.out" 2>&1 &
    pid=$!
    until_true test -e "$work/sim"
    pty=$(readlink -f "$work/sim")
    chgrp dialout "$pty" && chmod 660 "$pty"
    install -d -o velkor-gateway -g velkor-gateway -m 700 "$work/state"
    printf 'port = %s\nhttp = 127.0.0.1:18025\nsnpp = 127.0.0.1:444\ngap = 0\n' "$pty" >"$work/gateway.conf"
    # A broker of its own that wants a login; the password file readable by the gateway's group only.
    mosquitto_passwd -b -c "$work/broker-users" desk 'pw of desk' 2>/dev/null
    printf 'listener 18883 127.0.0.1\npassword_file %s\nuser root\n' "$work/broker-users" >"$work/broker.conf"
    mosquitto -c "$work/broker.conf" >"$work/broker.log" 2>&1 &
    broker=$!
    printf 'pw of desk\n' >"$work/mqtt-password"
    chown root:velkor-gateway "$work/mqtt-password" && chmod 640 "$work/mqtt-password"
    printf 'mqtt = mqtt://127.0.0.1:18883\nmqtt-topic = pkgtest/desk\nmqtt-user = desk\nmqtt-password-file = %s\n' \
        "$work/mqtt-password" >>"$work/gateway.conf"
    chmod 644 "$work/gateway.conf"
    local as_service=(setpriv --reuid=velkor-gateway --regid=velkor-gateway --init-groups env STATE_DIRECTORY="$work/state")
    # Without the unit's CAP_NET_BIND_SERVICE, SNPP's own port is refused with the way out.
    "${as_service[@]}" /usr/bin/velkor-gateway --config "$work/gateway.conf" 2>"$work/refused.log" &&
        { echo "port 444 was bound without the capability" >&2; failed=1; }
    grep -q "CAP_NET_BIND_SERVICE" "$work/refused.log" || { cat "$work/refused.log" >&2; failed=1; }
    "${as_service[@]}" timeout 20 /usr/bin/velkor-gateway --config "$work/gateway.conf" --snpp 127.0.0.1:14444 \
        2>"$work/gateway.log" &
    local gateway=$! # timeout's: it passes the SIGTERM on
    until_true curl -s -o /dev/null http://127.0.0.1:18025/v1/health
    sendpage -h 127.0.0.1:14444 -p 12 "3号桌请取餐" >/dev/null || failed=1
    curl -sS -d '请到2号诊室' 'http://127.0.0.1:18025/v1/pages?to=all' >/dev/null || failed=1
    # The console, from the package's copy of its files.
    # Read whole before grep looks: grep -q leaving early would fail curl's write, and the pipe with it.
    local console
    console=$(curl -s http://127.0.0.1:18025/)
    grep -q 'src="console.js"' <<<"$console" && [ "$(curl -s -o /dev/null -w '%{http_code}' \
        http://127.0.0.1:18025/texts.js)" = 200 ] || { echo "the installed gateway serves no console" >&2; failed=1; }
    until_true eval "curl -s http://127.0.0.1:18025/v1/health | grep -q '\"connected\":true'"
    mosquitto_pub -p 18883 -u desk -P 'pw of desk' -q 1 -t pkgtest/all/pages -m '{"to":"7","text":"闭馆"}' || failed=1
    until_true frames_seen "$work/sim.out" 3
    stop_job "$gateway"
    # A person in dialout pages the same transmitter with velkor-cli: one counter for both, in the shared
    # folder the package made.
    [ "$(stat -c %G:%a /var/lib/velkor-sequence)" = "dialout:2770" ] ||
        { echo "/var/lib/velkor-sequence is not dialout:2770" >&2; failed=1; }
    setpriv --reuid=65534 --regid=65534 --groups="$(getent group dialout | cut -d: -f3)" \
        /usr/bin/velkor-cli text "$pty" --to 0.0.0.7 "from a person" >/dev/null || failed=1
    until_true frames_seen "$work/sim.out" 4
    local numbers
    numbers=$(grep '"command":"text"' "$work/sim.out" | grep -oE '"sequence":[0-9]+' | cut -d: -f2 | tr '\n' ' ')
    awk -v n="$numbers" 'BEGIN { c = split(n, s, " "); for (i = 2; i <= c; i++) if (s[i] != (s[i-1] + 1) % 256) exit 1; exit c != 4 }' ||
        { echo "the gateway and velkor-cli did not count on one counter: $numbers" >&2; failed=1; }
    kill "$pid" "$broker" 2>/dev/null || true
    wait "$pid" "$broker" 2>/dev/null || true
    if [ "$(grep -c '"command":"text"' "$work/sim.out")" -ne 4 ]; then
        echo "the installed gateway did not send all three pages (SNPP, HTTP, MQTT), or velkor-cli its own:" >&2
        cat "$work/gateway.log" >&2
        failed=1
    fi
    rm -rf "$work"
    [ $failed -eq 0 ] && echo "gateway package checks: clean"
    return $failed
}

# The run command as a user meets it: the window closed, and Ctrl-C in the terminal; each time the command
# ends with 0 and leaves no simulator behind.
# Whether the processes of session $1 include one named $2 (exactly), or any at all without $2.
in_session() { pgrep -s "$1" ${2:+-x "$2"} >/dev/null; }

# Whether process $1 catches SIGINT: the window has set up its handler and a Ctrl-C now closes it.
catches_sigint() { [ $((0x$(awk '/^SigCgt/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0) & 2)) -ne 0 ]; }

run_command_tests() {
    echo "== run command"
    local link="${TMPDIR:-/tmp}/velkor-sim-$(id -u)" failed=0 status pid window
    # The build command: every program the README's sections start, where they start it.
    bash tools/velkor.sh build >/dev/null || failed=1
    for program in velkor velkor-cli velkor-sim velkor-gateway; do
        [ -x "build/$program" ] || { echo "velkor.sh build made no build/$program" >&2; failed=1; }
    done
    # The window closes by itself once shown; the command's session (its own) is then empty, the
    # simulator and its link gone.
    status=0
    QT_QPA_PLATFORM=offscreen VELKOR_STARTUP_PROBE=1 setsid bash tools/velkor.sh run >/dev/null 2>&1 &
    pid=$!
    wait "$pid" || status=$?
    if [ $status -ne 0 ] || ! until_true eval "! in_session $pid" || [ -e "$link" ]; then
        echo "closing the window: status $status, or a simulator left behind" >&2
        failed=1
    fi
    # Ctrl-C: SIGINT to the command's whole process group, as a terminal sends it, once the window
    # catches it. (A background job of a script starts with SIGINT ignored, which a terminal's foreground
    # command does not: env restores it.)
    QT_QPA_PLATFORM=offscreen setsid env --default-signal=INT bash tools/velkor.sh run >/dev/null 2>&1 &
    pid=$!
    window=""
    until_true eval '[ -e "$link" ] && window=$(pgrep -s "$pid" -x velkor) && catches_sigint "$window"' ||
        echo "the window did not start within 5 s" >&2
    kill -INT -- "-$pid"
    if ! timeout 20 tail --pid="$pid" -f /dev/null; then
        kill -KILL -- "-$pid" 2>/dev/null || true
    fi
    status=0
    wait "$pid" || status=$?
    if [ $status -ne 0 ] || ! until_true eval "! in_session $pid"; then
        echo "Ctrl-C: status $status, or a process left behind: $(pgrep -a -s "$pid")" >&2
        failed=1
    fi
    [ $failed -eq 0 ] && TESTS_PASSED=$((TESTS_PASSED + 3))
    return $failed
}

static_checks() {
    echo "== clang-format, clang-tidy"
    cmake --build --preset default --target format-check tidy
}

# The Windows build (preset "windows", cross-built with MinGW-w64) run by ctest under Wine, the toolchain's
# emulator. Its COM ports are velkor-sim instances of the default build on pseudo-terminals, which a ctest
# fixture starts and stops (tests/windows/sims.sh).
windows_qt() {
    echo "== Qt for Windows"
    VELKOR_WINDOWS_QT=$(bash tools/windows-qt.sh)
    export VELKOR_WINDOWS_QT
}

windows_tests() {
    [ -n "${VELKOR_WINDOWS_QT:-}" ] || windows_qt
    build windows
    cmake --build --preset windows --target installer
    run_tests windows
    WINEPREFIX=$PWD/build-windows/wineprefix /usr/lib/wine/wineserver -k 2>/dev/null || true
    ls -l build-windows/velkor-*-setup.exe
}

fuzz() {
    echo "== fuzzing, ${FUZZ_SECONDS} s a target"
    build fuzz
    local work
    work=$(mktemp -d)
    for target in module_answer stream_splitter text lenient_number watch_list espa_station; do
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
build)
    install_missing "${BUILD_PACKAGES[@]}"
    cmake --preset default >/dev/null
    cmake --build --preset default --target velkor velkor-cli velkor-sim velkor-gateway
    ls -1 build/velkor build/velkor-cli build/velkor-sim build/velkor-gateway
    ;;
run)
    install_missing "${BUILD_PACKAGES[@]}"
    run_program
    ;;
bench)
    install_missing "${BUILD_PACKAGES[@]}"
    build release
    ./build-release/velkor-bench
    ;;
check)
    install_missing "${BUILD_PACKAGES[@]}" "${CHECK_PACKAGES[@]}"
    run_tests default -L "unit|end-to-end"
    echo "check: $TESTS_PASSED passed, 0 failed"
    ;;
test)
    stage "set-up" set_up
    stage "default build, tests" run_tests default
    stage "format, clang-tidy" static_checks
    stage "asan build, tests" run_tests asan
    stage "tsan build, tests" run_tests tsan
    # The end-to-end tests again in the optimised build, where a test that reads too early fails.
    stage "release end-to-end" run_tests release
    stage "windows Qt" windows_qt
    stage "windows" windows_tests
    stage "package" package_tests
    stage "run command" run_command_tests
    stage "fuzzing" fuzz
    echo "== time of each stage"
    printf '%s\n' "${STAGE_TIMES[@]}"
    echo "all checks: $TESTS_PASSED passed, 0 failed"
    ;;
package)
    install_missing "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
    build_package
    ;;
windows-qt)
    install_missing "${WINDOWS_PACKAGES[@]}" qt6-base-dev
    windows_qt
    echo "$VELKOR_WINDOWS_QT"
    ;;
windows)
    install_missing "${BUILD_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
    build default
    windows_tests
    echo "windows checks: $TESTS_PASSED passed, 0 failed"
    ;;
*)
    echo "usage: $0 run|build|check|test|bench|package|windows|windows-qt" >&2
    exit 2
    ;;
esac
