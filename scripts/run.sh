#!/usr/bin/env bash
# make run: the window against the built-in simulated instrument; on a machine
# without a display, the command line uploads a sample NG file into it instead.
set -euo pipefail
build=${1:-build}
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec "$build/src/app/zelvo-flash-utility" --simulate
fi
sample="$build/sample-ng-9.12.bin"
"$build/src/sim/zelvo-sim" make-firmware --ng --version 9.12 --type A -o "$sample"
echo "run: no display (DISPLAY is not set): uploading $sample into the simulated instrument with zelvoflash."
exec "$build/src/cli/zelvoflash" flash "$sample" --simulate kind=9,version=9.05,type=A --yes
