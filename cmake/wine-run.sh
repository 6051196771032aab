#!/bin/sh
# wine-run.sh PREFIX PROGRAM [ARGS...]: runs a program of the Windows cross-build under Wine, in the Wine
# prefix PREFIX (made on first use) and with Wine's own messages off. The windows preset's emulator, so
# that ctest runs the .exe files as it runs the host's programs.
prefix=$1
shift
# Wine's mount manager would link COM1 and on to the host's own serial ports (/dev/ttyS0 may be its
# console); without it the prefix has only the COM ports the tests link to their pseudo-terminals.
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mountmgr.sys=d"
wine=/usr/lib/wine/wine64
# The prefix is made as a Simplified Chinese Windows is set up (code page 936, the CJK faces linked into the
# system's), whatever language each program is then started in; without a display and without Wine's .NET
# and HTML engines, so that it never stops to offer their download. One left half-made is made again (its
# COM port links kept). ctest starts several programs at once: one makes it, the others wait for it.
if [ ! -f "$prefix/.made" ]; then
    mkdir -p "$prefix"
    exec 9>"$prefix.lock"
    flock 9
    if [ ! -f "$prefix/.made" ]; then
        /usr/lib/wine/wineserver -k 2>/dev/null
        # Wine makes its C: and Z: only in a dosdevices folder of its own making: the links go aside.
        links=$(mktemp -d)
        [ -d "$prefix/dosdevices" ] && find "$prefix/dosdevices" -maxdepth 1 -name 'com*' -type l -exec mv {} "$links/" \;
        find "$prefix" -mindepth 1 -maxdepth 1 -exec rm -rf {} +
        LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 WINEDLLOVERRIDES="$WINEDLLOVERRIDES;mscoree,mshtml=" \
            env -u DISPLAY "$wine" wineboot -i >/dev/null 2>&1 && /usr/lib/wine/wineserver -w && touch "$prefix/.made"
        find "$links" -mindepth 1 -maxdepth 1 -exec mv {} "$prefix/dosdevices/" \;
        rmdir "$links"
    fi
    exec 9>&-
fi
for link in "$prefix"/dosdevices/com*; do
    case $(readlink "$link") in /dev/tty*) rm -f "$link" ;; esac
done
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$wine" "$@" >"$out" 2>&1
status=$?
# Now and then Wine fails to start a program at all: it ends at once, having printed nothing (a test
# program always prints). Such a start is tried once more; a program that fails again fails.
if [ $status -ne 0 ] && [ ! -s "$out" ]; then
    "$wine" "$@" >"$out" 2>&1
    status=$?
fi
cat "$out"
exit $status
