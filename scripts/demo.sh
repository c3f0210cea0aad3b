#!/usr/bin/env bash
# Installs what is missing, builds, and runs the updater against the simulated
# board in real time. With a display it opens the window for you to click
# through; without one it clicks "Find Device" and "Flash Device" itself,
# prints what the window shows, and saves a screenshot.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default

sim=build/bin/kelvo-updater-sim
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$sim" --realtime
fi

shot=build/demo-window.png
echo "No display: running unattended (Find Device, then Flash Device)."
QT_QPA_PLATFORM=offscreen "$sim" --realtime --clicks find,flash --events - --screenshot "$shot" |
  jq -r --unbuffered '
    def ms: (.t / 1000 * 100 | floor / 100 | tostring) + " s";
    if .event == "title" then "[\(ms)] window title: \(.text)"
    elif .event == "shown" then "[\(ms)] window shown"
    elif .event == "state" then
      "[\(ms)] window: buttons \(.buttons | map("[" + . + "]") | join(" "))" +
      (if .device != "" then " | \(.device)" else "" end) +
      (if .status != "" then " | \(.status)" else "" end)
    elif .event == "click" then "[\(ms)] click: \(.button)"
    elif .event == "progress" then
      (if .value % 8 == 0 or .value == 62 then "[\(ms)] flashing: \(.value) of \(.max)" else empty end)
    elif .event == "message" then "[\(ms)] MESSAGE \"\(.title)\": \(.text)"
    elif .event == "close-request" then "[\(ms)] close requested: \(if .granted then "granted" else "refused" end)"
    elif .event == "closed" then "[\(ms)] window closed"
    elif .event == "exit" then "[\(ms)] exit code \(.code)"
    else "[\(ms)] \(.event)" end'
echo "Screenshot of the window after the flash: $shot"
