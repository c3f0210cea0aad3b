#!/bin/sh
# Runs a program of the Windows cross build under wine (64-bit only): quiet,
# and with wine's crash debugger off, which would otherwise turn a crash into
# exit status 0.
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="winedbg.exe=d${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=wine64
exec "$wine" "$@"
