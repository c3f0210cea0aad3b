#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; then runs the whole
# suite again under the sanitizers, each fuzzer for a bounded time, and the
# Windows build's tests under wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
# Every C++ file as the project's .clang-format says, before anything builds.
bash scripts/check-format.sh
cmake --preset default
cmake --build --preset default
ctest --preset default | tee build/ctest.log

bash scripts/sanitize.sh
bash scripts/fuzz.sh
bash scripts/windows.sh

# One closing line for every run of the suite: the plain build's, the
# sanitizers' and the Windows build's. Any failure has already stopped the
# script above.
passed=$(cat build/ctest.log build-asan/ctest.log build-windows/ctest.log |
  sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests failed out of \([0-9]*\)$/\2 \1/p' |
  awk '{ total += $1; failed += $2 } END { print total - failed, failed }')
echo "tests: ${passed% *} passed, ${passed#* } failed"
