#!/usr/bin/env bash
# install-deps.sh [--run [i686|x86-64] | --i686-vm | --release]: installs what is
# missing on Debian 12: everything the builds, the tests, the benchmarks,
# the tools and the release need; with --run only what scripts/run.sh needs
# to build the program of that build (by default the one this machine runs)
# and run it (no test tool chain: clang, GoogleTest, Benchmark, Xvfb,
# ImageMagick, xdotool); with --i686-vm what the emulated machine that runs the i686
# programs needs besides (scripts/i686-vm.sh); with --release what
# scripts/release.sh needs (both cross compilers, no Wine, no test tools).
#
# Wine comes for the programs this machine can run: 32-bit Wine only where
# the kernel runs 32-bit programs (elsewhere it could never start), 64-bit
# Wine everywhere, since the x86-64 tree is tested on every machine.
# Idempotent: installs only what is missing; uses sudo when not root.
set -euo pipefail
# shellcheck source=machine.sh
source "$(dirname "$0")/machine.sh"

common=(cmake ninja-build gcc gcc-multilib libcli11-dev wine x11-utils socat util-linux)
i686=(g++-mingw-w64-i686-posix)
x86_64=(g++-mingw-w64-x86-64-posix wine64)
if machine_runs_32bit; then i686+=(wine32:i386); fi
test_packages=(
  g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev sigrok-cli
  xvfb xauth x11-apps imagemagick xdotool procps
)
# scripts/release.sh: the Debian package's tools and checker, the manual
# page's formatter, the archive's zip, the completion's framework.
release_packages=(dpkg-dev lintian groff-base man-db zip bash-completion)
vm_packages=(qemu-system-x86 debootstrap e2fsprogs util-linux)
case ${1:-} in
  # run.sh runs the i686 program where it can, the x86-64 one elsewhere.
  --run)
    windows_tree "${2:-auto}" || { echo "usage: $0 --run [i686|x86-64]" >&2; exit 64; }
    if [ "$tree_arch" = i686 ]; then packages=("${common[@]}" "${i686[@]}"); else packages=("${common[@]}" "${x86_64[@]}"); fi
    ;;
  --i686-vm) packages=("${vm_packages[@]}") ;;
  --release)
    packages=(cmake ninja-build g++ libcli11-dev g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
              "${release_packages[@]}")
    ;;
  '') packages=("${common[@]}" "${i686[@]}" "${x86_64[@]}" "${test_packages[@]}" "${release_packages[@]}") ;;
  *) echo "usage: $0 [--run [i686|x86-64] | --i686-vm | --release]" >&2; exit 64 ;;
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
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
fi
as_root apt-get update -q
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
