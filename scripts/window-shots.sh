#!/usr/bin/env bash
# Pictures of the window in the "ready" step at desktop fonts of 11 and 14 pt,
# for docs/. The font is set the way a Plasma desktop sets it (Qt's own KDE
# theme reads kdeglobals), on a virtual X display.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build -t kelvo-updater-sim >/dev/null
config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT
for points in 11 14; do
  printf '[General]\nfont=Sans Serif,%d,-1,5,50,0,0,0,0,0\n' "$points" >"$config/kdeglobals"
  XDG_CURRENT_DESKTOP=KDE KDE_SESSION_VERSION=5 XDG_CONFIG_HOME="$config" QT_QPA_PLATFORM=xcb \
    xvfb-run -a build/bin/kelvo-updater-sim --clicks find --screenshot "docs/window-${points}pt.png" 2>/dev/null
done
