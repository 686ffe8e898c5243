#!/usr/bin/env bash
# install-deps.sh [--run]: installs what is missing on Debian 12: everything
# the builds, the tests, the benchmarks and the tools need, or with --run
# only what scripts/run.sh needs to build the program and run it (no test
# tool chain: clang, GoogleTest, Benchmark, Xvfb, ImageMagick, xdotool).
# Idempotent: installs only what is missing; uses sudo when not root.
set -euo pipefail

run_packages=(
  cmake ninja-build gcc gcc-multilib g++-mingw-w64-i686-posix libcli11-dev
  wine wine32:i386
  x11-utils socat util-linux
)
test_packages=(
  g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev sigrok-cli
  xvfb xauth x11-apps imagemagick xdotool procps
)
case ${1:-} in
  --run) packages=("${run_packages[@]}") ;;
  '') packages=("${run_packages[@]}" "${test_packages[@]}") ;;
  *) echo "usage: $0 [--run]" >&2; exit 64 ;;
esac

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
