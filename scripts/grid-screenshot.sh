#!/usr/bin/env bash
# Renders a combo grid with every cell type into PNG files under Xvfb, to check the look by eye.
# Usage: scripts/grid-screenshot.sh [BUILD_DIR]   (default build-ui)
# Writes BUILD_DIR/grid-screenshot.png (the grid alone) and BUILD_DIR/grid-screenshot-screen.png
# (the screen, with the list column's drop-down open).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-ui}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
[ -f "$build/build.ninja" ] || cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j2 --target grid_screenshot >/dev/null
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 800x600x24" \
  "$build/tests/ui/grid_screenshot" "$build/grid-screenshot.png"
