#!/usr/bin/env bash
# board_transfer.sh [TRANSFERS]: the product's transfer, timed by the
# simulated register board under Wine. Builds the Windows tree that runs on
# this machine (scripts/windows-tree.sh: build/windows, or build/windows64
# where 32-bit programs do not run; SHIFTLAMP_ARCH chooses too) and says
# which on its first line, sends
# TRANSFERS (100 by default) transfers with tools/board/board_drive on the
# board's port, checks that the register holds the pattern, and reports the
# step intervals and transfer times from the board's trace, the first
# transfer apart (bench/board_trace_stats.sh). The trace is kept in
# TREE/bench.
#
# Pattern 0x55 with invert on makes every step a line change, so that every
# step shows in the trace: RTS alternates, and each transfer leaves the
# clock and the latch clear, so the next one's first steps idle them again.
set -euo pipefail
cd "$(dirname "$0")/.."
transfers=${1:-100}
# shellcheck source=scripts/windows-tree.sh
source scripts/windows-tree.sh
use_windows_tree bench/board_transfer.sh

cmake --preset "$tree_preset" >/dev/null
cmake --build --preset "$tree_preset" -j2 >/dev/null

tree=$PWD/$tree_dir
out=$tree/bench
mkdir -p "$out"
trace=$out/board_transfer.trace
rm -f "$trace"
start=$(date +%s%N)
scripts/guard.sh tools/board/with_board.sh --prefix "$tree/wineprefix" \
  --library "$tree/tools/board/libshiftlamp_board.so" --trace "$trace" SHIFTLAMP_BOARD_INVERT=1 -- \
  "$tree/wine-run" "$tree/tools/board/board_drive.exe" COM3 1 "$transfers" 55 >/dev/null
end=$(date +%s%N)

latched=$(grep -c ' close .* outputs=0x55 ' "$trace" || true)
echo "$transfers transfers of pattern 0x55 with invert on, by board_drive under Wine"
echo "whole run, Wine start and port set-up included: $(((end - start) / 1000000)) ms"
if [ "$latched" -ne "$transfers" ]; then
  echo "the register held 0x55 after only $latched of $transfers transfers" >&2
  exit 1
fi
bench/board_trace_stats.sh "$trace"
