#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need, only
# those missing. Safe to run again; needs root (or sudo) only when something
# is missing.
#
#   scripts/bootstrap.sh            the Linux build
#   scripts/bootstrap.sh windows    the Windows cross build as well: MinGW-w64,
#                                   Wine, NSIS, then scripts/windows-toolchain.sh
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config
  qt6-base-dev qt6-serialport-dev libgl-dev
  libusb-1.0-0-dev umockdev libumockdev-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  xvfb xauth socat iproute2 util-linux
  dpkg-dev lintian desktop-file-utils groff-base man-db bash-completion
)
if [ "${1:-}" = windows ]; then
  packages+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 nsis python3)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ "${1:-}" = windows ]; then
  "$(dirname "$0")/windows-toolchain.sh"
fi
