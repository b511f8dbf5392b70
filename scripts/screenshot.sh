#!/usr/bin/env bash
# Renders docs/screenshot.png: the desktop program in an offscreen window with
# a real run in progress (tools/Screenshot.cpp). Usage: scripts/screenshot.sh
# [BUILD_DIR] [SECONDS]; the build must include the desktop program.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
seconds="${2:-60}"
cmake --build "$build" --target zentrova-screenshot
QT_QPA_PLATFORM=offscreen "$build/tools/zentrova-screenshot" docs/screenshot.png "$seconds"
