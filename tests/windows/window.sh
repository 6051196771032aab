#!/usr/bin/env bash
# The window of the Windows build under Wine, on an X server of its own (Xvfb, gone when the test ends).
#   window.sh suite SIMS HOST_CLI WINE_RUN PREFIX TEST_EXE
#       the window's QtTest suite, in Chinese, with COM45's record and the Linux build's frame of its text
#   window.sh start WINE_RUN PREFIX VELKOR_EXE LANG TITLE TRANSLATIONS OK_BUTTON [SCREENSHOT]
#       velkor.exe itself: its window shows on the display with TITLE, and it reports what it loaded
#   window.sh installer WINE_RUN PREFIX SETUP_EXE
#       velkor-<version>-setup.exe /S into a prefix of its own (its default folder), the installed velkor.exe started, the
#       uninstaller run
set -u
action=$1
shift
fail() {
    echo "window.sh $action: $*" >&2
    exit 1
}

# Xvfb picks a free display and says which on descriptor 3.
display_file=$(mktemp)
xvfb_pid=""
prefix_used=""
cleanup() {
    # The prefix's server, and with it Wine's desktop process on this display, ends before the display.
    [ -z "$prefix_used" ] || WINEPREFIX=$prefix_used /usr/lib/wine/wineserver -k 2>/dev/null
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null
    rm -f "$display_file"
}
trap cleanup EXIT
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.1; done
[ -s "$display_file" ] || fail "Xvfb did not start"
export DISPLAY=":$(head -n1 "$display_file")"

# The report of velkor.exe started with VELKOR_STARTUP_PROBE=report, compared with what is expected.
check_report() { # wine_run prefix exe lang title translations ok_button
    local report expected
    report=$(LANG=$4 LC_ALL=$4 VELKOR_STARTUP_PROBE=report timeout 120 "$1" "$2" "$3" 2>&1 | tr -d '\r')
    expected=$(printf 'shown\ntitle: %s\ntranslations: %s\nok button: %s\nicon: ok' "$5" "$6" "$7")
    echo "$report"
    [ "$report" = "$expected" ] || fail "velkor.exe reported otherwise; expected:
$expected"
}

# Starts velkor.exe and waits for a top-level X window named `title`; the screenshot, if asked for, is
# taken once it is drawn.
check_window() { # wine_run prefix exe lang title [screenshot]
    # In a process group of its own, which ends with it: the prefix's other programs run on.
    LANG=$4 LC_ALL=$4 setsid "$1" "$2" "$3" >/dev/null 2>&1 &
    local pid=$! found=""
    for _ in $(seq 300); do
        # xdotool's patterns do not match Chinese: the names are compared here.
        for id in $(xdotool search --onlyvisible --name . 2>/dev/null); do
            [ "$(xdotool getwindowname "$id" 2>/dev/null)" = "$5" ] && found=$id
        done
        [ -n "$found" ] && break
        sleep 0.1
    done
    if [ -n "$found" ] && [ -n "${6:-}" ]; then
        sleep 2
        import -window root "$6" || fail "no screenshot"
    fi
    kill -TERM -- "-$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    [ -n "$found" ] || fail "no window named \"$5\" showed within 30 s"
    echo "window \"$5\" shown"
}

case "$action" in
suite)
    sims=$1 host_cli=$2 wine_run=$3 prefix=$4 exe=$5
    prefix_used=$prefix
    frame=$("$host_cli" text /dev/null --seq 1 --dry-run 3号桌请取餐) || fail "the Linux build made no frame"
    folder=$(mktemp -d)
    trap 'cleanup; rm -rf "$folder"' EXIT
    # Wine's Z: drive is the host's root. QtTest writes its results to a file: its standard output stays
    # empty under Wine.
    status=0
    VELKOR_TEST_RECORD="Z:$sims/record.jsonl" VELKOR_SEQUENCE_DIR="Z:$folder/sequence" VELKOR_TEST_TEXT_FRAME="$frame" \
        LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 timeout 240 "$wine_run" "$prefix" "$exe" -o "Z:$folder/results.txt,txt" ||
        status=$?
    tr -d '\r' <"$folder/results.txt" 2>/dev/null || echo "no results"
    exit $status
    ;;
start)
    wine_run=$1 prefix=$2 exe=$3 lang=$4 title=$5 translations=$6 ok=$7 screenshot=${8:-}
    prefix_used=$prefix
    check_report "$wine_run" "$prefix" "$exe" "$lang" "$title" "$translations" "$ok"
    check_window "$wine_run" "$prefix" "$exe" "$lang" "$title" "$screenshot"
    ;;
installer)
    wine_run=$1 prefix=$2 setup=$3
    prefix_used=$prefix
    export WINEPREFIX=$prefix WINEDEBUG=-all
    wine=/usr/lib/wine/wine64 server=/usr/lib/wine/wineserver
    rm -rf "$prefix"
    "$wine_run" "$prefix" cmd /c exit 0 >/dev/null 2>&1
    # Where a site's script installs it: the default folder.
    timeout 120 "$wine_run" "$prefix" "$setup" /S | sed 's/^/setup: /'
    timeout 60 "$server" -w
    folder="$prefix/drive_c/Program Files/Velkor"
    menu="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Velkor"
    for file in velkor.exe velkor-cli.exe uninstall.exe qt.conf Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll \
        libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll plugins/platforms/qwindows.dll \
        plugins/styles/qwindowsvistastyle.dll translations/qtbase_zh_CN.qm licences/qt-LGPL-3.0-only.txt; do
        [ -f "$folder/$file" ] || fail "not installed: $file"
    done
    [ ! -e "$folder/Qt6Test.dll" ] || fail "the test library was installed"
    [ -f "$menu/Velkor.lnk" ] || fail "no Start-menu entry"
    "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Velkor' /reg:64 2>/dev/null |
        tr -d '\r' | grep -q 'UninstallString' || fail "no uninstall entry in the registry"
    echo "installed: $(find "$folder" -type f | wc -l) files"
    check_report "$wine_run" "$prefix" "C:\\Program Files\\Velkor\\velkor.exe" zh_CN.UTF-8 \
        "无线手表参数配置及信息发送工具-Zelt适用 V2.4" zh_CN "确定"
    check_window "$wine_run" "$prefix" "C:\\Program Files\\Velkor\\velkor.exe" en_US.UTF-8 \
        "Wireless Watch Setup and Messaging Tool - for Zelt V2.4"
    version=$(timeout 60 "$wine_run" "$prefix" "C:\\Program Files\\Velkor\\velkor-cli.exe" --version | tr -d '\r')
    [ "$version" = "velkor-cli 2.4" ] || fail "the installed velkor-cli.exe says \"$version\""
    # The uninstaller runs from a copy of itself in the temporary folder: its end is the prefix's last
    # process ending.
    timeout 120 "$wine_run" "$prefix" "C:\\Program Files\\Velkor\\uninstall.exe" /S
    timeout 60 "$server" -w
    [ ! -e "$folder" ] || fail "left behind: $(cd "$folder" && find . -mindepth 1 | head -n5 | tr '\n' ' ')"
    [ ! -e "$menu" ] || fail "the Start-menu entry was left behind"
    if "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Velkor' /reg:64 >/dev/null 2>&1; then
        fail "the uninstall entry was left in the registry"
    fi
    "$server" -k 2>/dev/null
    echo "uninstalled"
    ;;
*)
    echo "usage: $0 suite|start|installer ..." >&2
    exit 2
    ;;
esac
