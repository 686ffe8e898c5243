#!/usr/bin/env bash
# app_transfer.sh [TRANSFERS]: the real shiftlamp.exe's transfers, timed by
# the simulated register board under Wine and Xvfb. Builds the Windows tree
# that runs on this machine (scripts/windows-tree.sh: build/windows, or
# build/windows64 where 32-bit programs do not run; SHIFTLAMP_ARCH chooses
# too) and says which on its first line, starts the program with the board on COM1, ticks "Инвертировать"
# and LEDs 1, 3, 5 and 7 with xdotool clicks, then presses Send TRANSFERS
# times (100 by default) by posting the button's click message (BM_CLICK)
# from a probe, all at once: the presses wait in the program's queue and the
# transfers run back to back. Checks that each left 0x55 on the outputs and
# reports, from the board's trace (bench/board_trace_stats.sh), the first
# transfer after the program started on its own, its first step interval
# apart (it pays for whatever the first Send sets up), then the step
# intervals and transfer times of the others and the time from one close to
# the next open. The trace is kept in TREE/bench.
#
# Pattern 0x55 with invert on and an inverter in the board's wiring makes
# every step a line change, so that every step shows in the trace.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = --inside ]; then
  # Inside with_board.sh: one run of the program.
  transfers=$2
  source tests/app/e2e/session.sh
  mkdir -p "$E2E_WORK"
  e2e_start || exit 1
  e2e_leds_to 55
  e2e_click invert "${E2E_CLICKS[@]}"
  e2e_probe press-send "$transfers" || e2e_fail "the probe could not post the presses"
  e2e_wait_closes "$transfers" $((transfers + 30)) || e2e_fail "only $(e2e_closes) of $transfers transfers ended"
  e2e_key alt+F4
  e2e_wait_exit 10 || true
  e2e_kill
  [ "$E2E_FAILURES" -eq 0 ]
else
  transfers=${1:-100}
  # shellcheck source=scripts/windows-tree.sh
  source scripts/windows-tree.sh
  use_windows_tree bench/app_transfer.sh
  # shellcheck source=bench/app_bench.sh
  source bench/app_bench.sh
  app_bench_run app_transfer SHIFTLAMP_BOARD_INVERT=1 -- "$transfers"

  latched=$(grep -c ' close .* outputs=0x55 ' "$trace" || true)
  echo "$transfers presses of Send (BM_CLICK posted at once) in shiftlamp.exe under Wine, pattern 0x55, invert on"
  if [ "$latched" -ne "$transfers" ]; then
    echo "the register held 0x55 after only $latched of $transfers transfers" >&2
    exit 1
  fi
  bench/board_trace_stats.sh "$trace"
fi
