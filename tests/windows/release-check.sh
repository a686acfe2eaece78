#!/usr/bin/env bash
# The Windows release as a technician gets it, under Wine with nothing on the
# DLL path but what the release carries:
#   - dist/: each program's --version is the version resource's; the command
#     line completes a simulated upload; every program carries VERSIONINFO;
#   - the installer, run silently: the programs in Program Files, the
#     Start-menu entry, the Add/Remove Programs entry; its uninstaller removes
#     them again.
#   tests/windows/release-check.sh WINDOWS_BUILD LINUX_BUILD
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/windows-env.sh"
export WINEPATH=""  # the release's own DLLs only
build=$(cd "$1" && pwd)
linux_build=$(cd "$2" && pwd)
version=$(sed -n 's/^FileVersion=[[:space:]]*//p' "$here/../../resources/version.ini" | tr -d '\r')
failures=0

check() {  # check WHAT COMMAND...: passes when the command succeeds
  local what=$1
  shift
  if "$@" >/dev/null 2>&1; then
    echo "[       OK ] $what"
  else
    failures=$((failures + 1))
    echo "[  FAILED  ] $what"
  fi
}
prints() {  # prints TEXT COMMAND...: the command succeeds and its output holds TEXT
  local text=$1
  shift
  "$@" 2>&1 | tr -d '\r' | grep -qF -- "$text"
}

for program in zelvo-flash-utility zelvoflash zelvo-sim; do
  check "dist/$program.exe --version prints $version" prints "$version" wine "$build/dist/$program.exe" --version
  # The resource directory holds type 16 (RT_VERSION); its texts are UTF-16.
  check "dist/$program.exe carries a VERSIONINFO resource of $version" bash -c \
    "x86_64-w64-mingw32-objdump -p '$build/dist/$program.exe' | grep -A1 'Type Table' | grep -q 'Entry: ID: 0x000010,' &&
     strings -el '$build/dist/$program.exe' | grep -qxF '$version'"
done
check "dist/zelvoflash.exe completes a simulated upload" \
  prints '"outcome":"completed"' wine "$build/dist/zelvoflash.exe" flash \
  "$linux_build/sample-firmware/ZelvoPro-NG-9.12-A.bin" --simulate --yes --json

setup=$(ls "$build"/zelvo-flash-utility-*-setup.exe)
target='C:\Program Files\ZelvoPro Flash Utility'
installed="$WINEPREFIX/drive_c/Program Files/ZelvoPro Flash Utility"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZelvoFlashUtility'
rm -rf "$installed"
wine "$setup" /S >/dev/null 2>&1
wineserver --wait
check "the installer puts the programs in Program Files" test -f "$installed/zelvoflash.exe" -a -f "$installed/platforms/qwindows.dll"
check "the installed zelvoflash.exe runs" prints "$version" wine "$installed/zelvoflash.exe" --version
check "the installer makes the Start-menu entry" \
  test -f "$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/ZelvoPro Flash Utility.lnk"
check "the installer registers its uninstaller" prints "$version" wine reg query "$uninstall_key" /v DisplayVersion
wine "$installed/uninstall.exe" /S >/dev/null 2>&1
wineserver --wait
check "the uninstaller removes the programs" test ! -e "$installed/zelvoflash.exe"
check "the uninstaller removes its registration" bash -c "! wine reg query '$uninstall_key' >/dev/null 2>&1"

echo "release-check: $failures failed"
[ $failures -eq 0 ]
