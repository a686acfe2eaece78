# Sourced by the Windows build's scripts: where the cross toolchain, the
# target's test libraries and the Wine prefix live. Everything sits in a cache
# outside the source tree, made once by scripts/windows-toolchain.sh.
ZELVO_CACHE=${ZELVO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zelvoflash}
ZELVO_QT_MINGW=$ZELVO_CACHE/qt6-mingw64
ZELVO_GTEST_MINGW=$ZELVO_CACHE/gtest-mingw64
export WINEPREFIX=${ZELVO_WINEPREFIX:-$ZELVO_CACHE/wine-prefix}
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko: nothing here needs them, and their installers would ask.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# The DLLs of programs run from the build folder (dist/ carries its own).
ZELVO_MINGW_GCC_DLLS=/usr/lib/gcc/x86_64-w64-mingw32/12-posix
ZELVO_MINGW_SYSROOT_DLLS=/usr/x86_64-w64-mingw32/lib
export WINEPATH="$ZELVO_QT_MINGW/bin;$ZELVO_MINGW_GCC_DLLS;$ZELVO_MINGW_SYSROOT_DLLS"
