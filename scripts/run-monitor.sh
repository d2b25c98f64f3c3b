#!/usr/bin/env bash
# Starts the monitor the way a newcomer first meets it: in a working folder copied from
# examples/demo (so the folder in the repository stays clean), in debug mode, replaying the
# demo's recorded quotes. Without a display it runs on a virtual X display (Xvfb) instead and
# takes a screenshot after SHOT_AFTER seconds.
# Usage: scripts/run-monitor.sh [BUILD_DIR] [RUN_DIR]   (defaults build, run/demo)
# Ctrl+C ends the monitor normally: both ranking lists are saved under RUN_DIR/log.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
run=${2:-run/demo}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
case "$run" in /*) ;; *) run="$root/$run" ;; esac
shot_after=${SHOT_AFTER:-45}

exe="$build/src/kestrel/kestrel"
[ -x "$exe" ] || { echo "run-monitor: $exe is missing; build it with 'make build'" >&2; exit 1; }

# Files the user already has in the run folder (settings with saved widths, resume files,
# saved logs) are kept; anything missing comes from the demo.
mkdir -p "$run/log"
cp -rn "$root/examples/demo/." "$run/"
echo "run-monitor: working folder $run (copied from examples/demo, debug mode)"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$exe" --workdir "$run" --show-events
fi

command -v Xvfb >/dev/null || { echo "run-monitor: no display and no Xvfb" >&2; exit 1; }
shot="$run/screenshot.png"
echo "run-monitor: no display found (DISPLAY is not set); running on a virtual X display (Xvfb)."
# Xvfb gets its own session, so the Ctrl+C meant for the monitor does not take the display away
# while the monitor is still saving its lists.
tmp=$(mktemp -d)
setsid Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb=$!
cleanup() { kill "$xvfb" 2>/dev/null || true; rm -rf "$tmp"; }
trap cleanup EXIT
for _ in $(seq 100); do [ -s "$tmp/display" ] && break; sleep 0.1; done
[ -s "$tmp/display" ] || { echo "run-monitor: Xvfb did not start:" >&2; cat "$tmp/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$tmp/display")"
echo "run-monitor: display $DISPLAY; a screenshot goes to $shot after ${shot_after}s; Ctrl+C ends the monitor."
( sleep "$shot_after" && import -window root "$shot" &&
  echo "run-monitor: screenshot written to $shot" ) &
shooter=$!
rc=0
QT_QPA_PLATFORM=xcb "$exe" --workdir "$run" --show-events || rc=$?
kill "$shooter" 2>/dev/null || true
exit $rc
