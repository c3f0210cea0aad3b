#!/usr/bin/env bash
# Installs what building, testing and the demo need, from Debian's packages
# only. Quick when everything is already there. `install-deps.sh windows`
# installs what the Windows cross build and its tests under wine need instead.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev libgl-dev libftdi1-dev libcli11-dev
  libusb-1.0-0-dev umockdev libumockdev-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  xvfb xauth fonts-dejavu-core jq dbus-daemon
  dpkg-dev desktop-file-utils lintian appstream
)
if [ "${1:-}" = windows ]; then
  # mingw-w64 with the posix thread model (std::thread), 64-bit wine, an X
  # server for the window's tests, GoogleTest's sources to build for Windows,
  # and NSIS for the installer.
  packages=(cmake ninja-build g++-mingw-w64-x86-64-posix wine64 xvfb googletest nsis)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
