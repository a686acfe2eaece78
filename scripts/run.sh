#!/usr/bin/env bash
# make run: the window, or without a display the command line.
set -euo pipefail
build=${1:-build}
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$build/src/app/zelvo-flash-utility" "${@:2}"
fi
echo "run: no display (DISPLAY is not set); starting the window under Xvfb for 5 s as a smoke check."
exec xvfb-run -a timeout --preserve-status 5 "$build/src/app/zelvo-flash-utility" "${@:2}" || true
