#!/usr/bin/env bash
# bench.sh [ARGS...]: builds the optimised native tree (preset
# native-release) and the Windows tree that runs on this machine
# (scripts/windows-tree.sh: build/windows, or build/windows64 where 32-bit
# programs do not run; SHIFTLAMP_ARCH=i686|x86-64 chooses), says which on its
# first line, then runs every benchmark program: natively, and the Windows
# ones under Wine in that tree's own prefix, inside guard.sh and Xvfb. ARGS go to every program (bench_transfer: the
# number of transfers; bench_startup: the number of program starts;
# bench/board_transfer.sh and app_transfer.sh: the number of transfers the
# simulated board times). app_long_use.sh always presses Send 1,000 times.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/windows-tree.sh
source scripts/windows-tree.sh
use_windows_tree scripts/bench.sh

build() {
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j2
}
build native-release
build "$tree_preset"

for program in build/native-release/bench/bench_*; do
  [ -x "$program" ] || continue
  echo "== native: ${program##*/}"
  "$program" "$@"
done

# shiftlamp-send through the native simulated board.
echo "== native, simulated board: cli_send.sh"
bench/cli_send.sh
echo "== native, simulated board: cli_chain.sh"
bench/cli_chain.sh

tree=$PWD/$tree_dir
prefix=$tree/wineprefix
# Prefix set-up, runs and server stop all inside the guard (no real port)
# and a display of their own (the start-up benchmark opens the window).
scripts/guard.sh xvfb-run -a -s '-screen 0 1280x1024x24' bash -c '
  tree=$1 prefix=$2; shift 2
  status=0
  scripts/wine-prefix.sh "$prefix" setup
  # Every program bench_startup starts runs unmanaged, as in the tests: none
  # waits for a window manager when it closes.
  for exe in shiftlamp.exe win32_window.exe minimal_window.exe; do
    "$tree/wine-run" reg add "HKCU\\Software\\Wine\\AppDefaults\\$exe\\X11 Driver" \
      /v Managed /d N /f >/dev/null 2>&1
  done
  for program in "$tree"/bench/bench_*.exe; do
    [ -f "$program" ] || continue
    echo "== Wine: ${program##*/}"
    "$tree/wine-run" "$program" "$@" || status=1
  done
  scripts/wine-prefix.sh "$prefix" stop
  exit $status' bench "$tree" "$prefix" "$@"

# The transfer as the simulated register board sees it, under Wine: the
# product's transfer code alone, then the real program pressed by a probe.
echo "== Wine, simulated board: board_transfer.sh"
bench/board_transfer.sh "$@"
echo "== Wine, simulated board: app_transfer.sh"
bench/app_transfer.sh "$@"
# How near --check's time per change comes to the board's, natively and
# under Wine.
echo "== native and Wine, simulated board: check_accuracy.sh"
bench/check_accuracy.sh
# The idle program's processor time (10 s).
echo "== Wine: app_idle_cpu.sh"
bench/app_idle_cpu.sh
# What the program holds after long use: 1,000 Sends (about 5 min).
echo "== Wine, simulated board: app_long_use.sh"
bench/app_long_use.sh
