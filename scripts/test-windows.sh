#!/usr/bin/env bash
# The Windows tests under Wine (64-bit, the prefix of scripts/windows-env.sh):
# every suite of the Windows build, each left-out suite with its reason, then
# the command line end to end against the Linux simulator.
#   scripts/test-windows.sh WINDOWS_BUILD LINUX_BUILD JOBS
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/windows-env.sh"
windows_build=$1 linux_build=$2 jobs=$3
# Window tests on the offscreen platform: no display needed.
export QT_QPA_PLATFORM=offscreen
unset DISPLAY

status=0
# One wine server for every test: programs that start together with none
# running can race to start it.
wineserver --persistent=60
wine cmd /c exit 0
ctest --test-dir "$windows_build" --output-on-failure -j "$jobs" -LE left-out || status=1
echo "Suites left out on Windows:"
ctest --test-dir "$windows_build" -L left-out -V 2>/dev/null | sed -n 's/^.*\[  SKIPPED \] \([^"]*\)"*$/  \1/p' | sort -u
"$here/../tests/windows/release-check.sh" "$windows_build" "$linux_build" || status=1
"$here/../tests/windows/wine-e2e.sh" "$windows_build" "$linux_build" || status=1
wineserver --kill 2>/dev/null || true
exit $status
