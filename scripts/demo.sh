#!/usr/bin/env bash
# Installs what is missing, builds, and runs the updater against the simulated board.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset default
cmake --build --preset default
echo "The simulator program is not built yet."
