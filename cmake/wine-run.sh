#!/bin/sh
# wine-run.sh PREFIX PROGRAM [ARGS...]: runs a program of the Windows cross-build under Wine, in the Wine
# prefix PREFIX (made on first use) and with Wine's own messages off. The windows preset's emulator, so
# that ctest runs the .exe files as it runs the host's programs.
prefix=$1
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all
wine=/usr/lib/wine/wine64
if [ ! -f "$prefix/system.reg" ]; then
    "$wine" wineboot -i >/dev/null 2>&1
fi
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
