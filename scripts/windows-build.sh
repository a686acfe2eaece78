#!/usr/bin/env bash
# Cross-builds every program and test for Windows into BUILD_DIR, then the
# release: BUILD_DIR/dist/, the zip and the installer.
#   scripts/windows-build.sh BUILD_DIR JOBS [CMAKE_FLAGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/windows-env.sh"
build=$1 jobs=$2
shift 2
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$here/.." -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELVO_BENCH=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$ZELVO_QT_MINGW/lib/cmake/Qt6/qt.toolchain.cmake" -DQT_HOST_PATH=/usr \
    -DGTest_DIR="$ZELVO_GTEST_MINGW/lib/cmake/GTest" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$here/wine-run.sh" "$@"
fi
cmake --build "$build" -j "$jobs"
cmake --build "$build" --target windows-release
ls -l "$build"/zelvo-flash-utility-*-win64.zip "$build"/zelvo-flash-utility-*-setup.exe
