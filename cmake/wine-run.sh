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
exec "$wine" "$@"
