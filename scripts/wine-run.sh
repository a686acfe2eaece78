#!/usr/bin/env bash
# Runs a program of the Windows build under Wine, with the Qt and MinGW DLLs
# on its path: the cross build's emulator (build steps that run a program of
# the build, and every test).
. "$(dirname "$0")/windows-env.sh"
exec wine "$@"
