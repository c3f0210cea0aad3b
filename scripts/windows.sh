#!/usr/bin/env bash
# Cross-builds the Windows programs with Debian's mingw-w64 into
# build-windows/ and runs every test that needs no Qt under wine, among them
# the D2XX backend and a whole kelvo-flash.exe run against the project's
# stand-in ftd2xx.dll and the window of kelvo-updater.exe driven from outside
# on a private X server. Leaves build-windows/bin/kelvo-updater.exe,
# kelvo-flash.exe and kelvo-scramble.exe; `cd build-windows && cpack -G ZIP`
# makes the zip for Windows users, `cpack -G NSIS` their installer.
#
#   KELVO_JOBS   build and test parallelism (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."

jobs="${KELVO_JOBS:-2}"

bash scripts/install-deps.sh windows

# wine's own prefix beside the build, quiet, and without its crash debugger,
# which would turn a crash into exit status 0.
export WINEPREFIX="$PWD/build-windows/wine"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winedbg.exe=d"
# One server kept for the whole run (not one left from an earlier run, which
# ends on its own), and the prefix made before anything runs in it: otherwise
# the first program to start absorbs half a minute. Making a prefix is chatty
# (there is no 32-bit wine here); its words go to a log.
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wineserver64 -k 2>/dev/null || true
# The windows appear on an X server of their own, on the first free display.
rm -f build-windows/xvfb.display
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>build-windows/xvfb.display 2>build-windows/xvfb.log &
xvfb=$!
for _ in $(seq 50); do [ -s build-windows/xvfb.display ] && break; sleep 0.1; done
export DISPLAY=":$(cat build-windows/xvfb.display)"
/usr/lib/wine/wineserver64 -p
trap '/usr/lib/wine/wineserver64 -k || true; kill $xvfb 2>/dev/null || true' EXIT
# Wine's own services keep what they inherit open: their words go to a file,
# never a pipe.
/usr/lib/wine/wine64 wineboot --init </dev/null >build-windows/wineboot.log 2>&1 || { cat build-windows/wineboot.log; exit 1; }
# Without a window manager wine's "managed" windows make every closing
# top-level window (message boxes too) wait two seconds, and keys arrive late.
/usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
  </dev/null >>build-windows/wineboot.log 2>&1

cmake --preset windows
cmake --build --preset windows -j "$jobs"
ctest --preset windows -j "$jobs" | tee build-windows/ctest.log
