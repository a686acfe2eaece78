#!/usr/bin/env bash
# Makes the Debian package (make package) and checks it as a technician's PC
# would receive it: it holds every file an installation needs, lintian finds
# no errors, and the programs unpacked into a scratch root (dpkg -x; nothing
# is installed on this machine) run from there with the source and build
# trees out of sight: their versions, a simulated upload, the window's
# --version, the list of USB docks they read, the bash completion.
#
#   scripts/check-package.sh [BUILD]     BUILD: the build folder (default build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

fail() {
  echo "check-package: $*" >&2
  exit 1
}

make --no-print-directory package BUILD="$build"
version=$(sed -n 's/^FileVersion=\([0-9.]*\).*/\1/p' resources/version.ini)
deb="$build/zelvo-flash-utility_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "make package left no $deb"

echo "check-package: the contents of $deb"
listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in \
  usr/bin/zelvo-flash-utility usr/bin/zelvoflash usr/bin/zelvo-sim \
  usr/share/zelvoflash/usb_devices.txt \
  usr/share/applications/zelvo-flash-utility.desktop \
  usr/share/icons/hicolor/48x48/apps/zelvo-flash-utility.png \
  usr/lib/udev/rules.d/70-kova-dock.rules \
  usr/share/man/man1/zelvoflash.1.gz usr/share/man/man1/zelvo-sim.1.gz \
  usr/share/man/man1/zelvo-flash-utility.1.gz \
  usr/share/bash-completion/completions/zelvoflash \
  usr/share/doc/zelvo-flash-utility/copyright usr/share/doc/zelvo-flash-utility/changelog.gz; do
  grep -qxF "./$path" <<<"$listing" || fail "the package lacks /$path"
done
# The libraries' packages, found by dpkg-shlibdeps.
depends=$(dpkg-deb -f "$deb" Depends)
for library in libqt6widgets6 libqt6serialport6 libusb-1.0-0; do
  grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
done

echo "check-package: lintian"
lintian --fail-on error "$deb"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
bin=$root/usr/bin
desktop-file-validate "$root/usr/share/applications/zelvo-flash-utility.desktop"
newest=$(zcat "$root/usr/share/doc/zelvo-flash-utility/changelog.gz" | sed -n 1p)
grep -qF "($version)" <<<"$newest" ||
  fail "the changelog's newest entry is not $version (add one to packaging/changelog): $newest"

# The installed programs run with this tree (sources and build) hidden under
# an empty file system, where a private mount namespace can be had.
hide=()
if unshare --mount --map-root-user true 2>/dev/null; then
  hide=(unshare --mount --map-root-user sh -c 'mount -t tmpfs none "$0" && exec "$@"' "$PWD")
else
  echo "check-package: no private mount namespace here: the source tree stays in sight"
fi
installed() {
  env -u ZELVO_USB_DEVICES -u ZELVO_SAMPLE_FIRMWARE "${hide[@]}" "$@"
}

echo "check-package: the programs in $root"
[ "$(installed "$bin/zelvoflash" --version)" = "zelvoflash $version" ] || fail "zelvoflash --version"
[ "$(QT_QPA_PLATFORM=offscreen installed "$bin/zelvo-flash-utility" --version)" = "zelvo-flash-utility $version" ] ||
  fail "zelvo-flash-utility --version"
installed "$bin/zelvo-sim" make-firmware --ng --version 9.12 --type A -o "$root/sample.bin"
installed "$bin/zelvoflash" flash "$root/sample.bin" --simulate kind=9,version=9.05,type=A --yes ||
  fail "the simulated upload failed"
# The installed list of USB docks is the one read: a line it cannot read
# shows in the diagnostics with the file's name.
echo "tpKovaExpress not-an-id" >>"$root/usr/share/zelvoflash/usb_devices.txt"
diagnostics=$(QT_LOGGING_RULES="zelvo.diag.debug=true" installed "$bin/zelvoflash" list 2>&1 >/dev/null)
grep -qF "$root/usr/share/zelvoflash/usb_devices.txt:" <<<"$diagnostics" ||
  fail "zelvoflash list does not read the installed usb_devices.txt"

echo "check-package: the bash completion"
# Prints what bash offers for the last of the words given.
offers() {
  bash -c 'source /usr/share/bash-completion/bash_completion && source "$0" || exit 1
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    _zelvoflash zelvoflash "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    echo "${COMPREPLY[*]}"' "$root/usr/share/bash-completion/completions/zelvoflash" "$@"
}
[ "$(offers zelvoflash fl)" = "flash fleet" ] || fail "completion of a command: $(offers zelvoflash fl)"
[ "$(offers zelvoflash fleet x.bin --on)" = "--once" ] || fail "completion of a fleet option: $(offers zelvoflash fleet x.bin --on)"
[ "$(offers zelvoflash flash x.bin --dock-kind '')" = "kova-express mp-kova-express kova6" ] ||
  fail "completion of --dock-kind: $(offers zelvoflash flash x.bin --dock-kind '')"
[ "$(offers zelvoflash identify --st)" = "" ] || fail "identify offers a flash option"
[ "$(offers zelvoflash flash x.bin --st)" = "--stall-timeout" ] || fail "completion of an option"
echo "check-package: $deb is fine"
