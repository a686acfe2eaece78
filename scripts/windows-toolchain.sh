#!/usr/bin/env bash
# Makes the Windows cross build's cache once (scripts/windows-env.sh says
# where): Qt for Windows unpacked from the shared toolchain archive (checked
# against its SHA-256), GoogleTest built for the target from Debian's source,
# and a 64-bit Wine prefix. Safe to run again: what is there is kept.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/windows-env.sh"

archive=${ZELVO_QT_MINGW_ARCHIVE:-$here/../../shared/toolchains/qt6.4.2-mingw64.tar.xz}
archive_sha256=7678068678749889a578235e2893b421f377ebdf1a020dcb8cff0142071fab18
mkdir -p "$ZELVO_CACHE"

if [ ! -f "$ZELVO_QT_MINGW/lib/cmake/Qt6/qt.toolchain.cmake" ]; then
  if [ ! -f "$archive" ]; then
    echo "windows-toolchain: Qt for Windows not found: $archive (set ZELVO_QT_MINGW_ARCHIVE)" >&2
    exit 1
  fi
  echo "windows-toolchain: checking and unpacking $archive"
  echo "$archive_sha256  $archive" | sha256sum --check --quiet
  rm -rf "$ZELVO_CACHE/unpack" && mkdir -p "$ZELVO_CACHE/unpack"
  tar -xJf "$archive" -C "$ZELVO_CACHE/unpack"
  rm -rf "$ZELVO_QT_MINGW" && mv "$ZELVO_CACHE/unpack/qt6-mingw64" "$ZELVO_QT_MINGW"
  rmdir "$ZELVO_CACHE/unpack"
fi

if [ ! -f "$ZELVO_GTEST_MINGW/lib/cmake/GTest/GTestConfig.cmake" ]; then
  echo "windows-toolchain: building GoogleTest for the target"
  work="$ZELVO_CACHE/gtest-build"
  rm -rf "$work"
  cmake -S /usr/src/googletest -B "$work" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ZELVO_QT_MINGW/mingw64.cmake" -DCMAKE_INSTALL_PREFIX="$ZELVO_GTEST_MINGW" >/dev/null
  cmake --build "$work" >/dev/null
  cmake --install "$work" >/dev/null
  rm -rf "$work"
fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "windows-toolchain: making the Wine prefix $WINEPREFIX"
  wineboot --init >/dev/null 2>&1
  wineserver --wait
fi
