#!/usr/bin/env bash
# Cross-builds the Windows programs with Debian's mingw-w64 into
# build-windows/ and runs every test that needs no Qt under wine, among them
# the D2XX backend and a whole kelvo-flash.exe run against the project's
# stand-in ftd2xx.dll. Leaves build-windows/bin/kelvo-flash.exe and
# kelvo-scramble.exe; `cd build-windows && cpack -G ZIP` makes the zip for
# Windows users.
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
/usr/lib/wine/wineserver64 -p
trap '/usr/lib/wine/wineserver64 -k || true' EXIT
/usr/lib/wine/wine64 wineboot --init 2>build-windows/wineboot.log || { cat build-windows/wineboot.log; exit 1; }

cmake --preset windows
cmake --build --preset windows -j "$jobs"
ctest --preset windows -j "$jobs" | tee build-windows/ctest.log
