#!/usr/bin/env bash
# Syntax check of the Windows-only code (IrDA over Winsock, USB over SetupAPI)
# with the MinGW cross-compiler, for a machine without a Windows build. Needs
# the Debian package g++-mingw-w64-x86-64-posix; uses this machine's Qt headers,
# so it checks our code, not a Windows link.
set -euo pipefail
cd "$(dirname "$0")/.."
cxx=x86_64-w64-mingw32-g++-posix
command -v "$cxx" >/dev/null || { echo "check-windows-syntax: $cxx not found (apt-get install g++-mingw-w64-x86-64-posix)"; exit 2; }
qt=$(pkg-config --variable=includedir Qt6Core 2>/dev/null || echo /usr/include/x86_64-linux-gnu/qt6)
status=0
for f in src/link/IrdaStackWindows.cpp src/usb/WindowsUsbBackend.cpp src/link/IrCommPort.cpp src/link/SerialPort.cpp; do
  echo "== $f"
  # Qt's Linux headers seen by a Windows compiler warn about dllimport; not ours.
  if ! "$cxx" -std=c++20 -fsyntax-only -Wall -Wextra -Wno-attributes -DQT_NO_KEYWORDS -I src \
       -I "$qt" -I "$qt/QtCore" -I "$qt/QtNetwork" -I "$qt/QtSerialPort" "$f"; then
    status=1
  fi
done
exit $status
