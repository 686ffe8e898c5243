#!/usr/bin/env bash
# Installs everything the builds, the tests and the tool need on Debian 12.
# Idempotent: installs only what is missing; uses sudo when not root.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev gcc-multilib
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  g++-mingw-w64-i686-posix
  wine wine32:i386
  xvfb xauth x11-apps imagemagick xdotool socat util-linux
  sigrok-cli
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
fi
as_root apt-get update -q
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
