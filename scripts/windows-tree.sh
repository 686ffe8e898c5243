# shellcheck shell=bash
# Sourced by the scripts that run a Windows tree under Wine without an
# --arch option of their own (bench.sh, screenshot.sh, timing-diagram.sh and
# the Wine benchmarks in bench/).
# shellcheck source=scripts/machine.sh
source "$(dirname "${BASH_SOURCE[0]}")/machine.sh"

# use_windows_tree SCRIPT [quiet]: the tree that runs on this machine, as
# windows_tree sets it (tree_arch, tree_preset, tree_dir, and the 64-bit
# Wine first on PATH for x86-64), chosen by SHIFTLAMP_ARCH: i686, x86-64, or
# auto, the default (i686 where 32-bit programs run, x86-64 elsewhere).
# SHIFTLAMP_ARCH is then exported as the tree chosen, so that what SCRIPT
# starts (itself again under Xvfb, the benchmarks bench.sh runs) takes the
# same tree without asking the kernel again. Unless quiet, says which build
# runs on standard output, "x86-64 build (build/windows64)". Ends SCRIPT
# with status 64 for an unknown SHIFTLAMP_ARCH and 69 for the i686 tree on
# a kernel that cannot start 32-bit programs, where Wine would only fail
# with a puzzling message.
use_windows_tree() {
  local script=$1 arch=${SHIFTLAMP_ARCH:-auto}
  if ! windows_tree "$arch"; then
    echo "$script: SHIFTLAMP_ARCH takes i686, x86-64 or auto, got '$arch'" >&2
    exit 64
  fi
  if [ "$tree_arch" = i686 ] && ! machine_runs_32bit; then
    echo "$script: this machine's kernel cannot run 32-bit programs, which Wine needs for the i686 build;" \
      "the x86-64 build runs here: SHIFTLAMP_ARCH=x86-64 $script" >&2
    exit 69
  fi
  export SHIFTLAMP_ARCH=$tree_arch
  [ "${2:-}" = quiet ] || echo "$tree_arch build ($tree_dir)"
}
