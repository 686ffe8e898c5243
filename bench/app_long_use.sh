#!/usr/bin/env bash
# app_long_use.sh [SENDS]: long use of the real shiftlamp.exe under Wine and
# Xvfb, with the simulated register board on COM1. Builds the Windows tree
# that runs on this machine (scripts/windows-tree.sh; SHIFTLAMP_ARCH chooses
# too) and says which on its first line, starts the program, ticks LEDs 1, 3, 5 and 7, then presses Send
# SENDS times (1000 by default), 100 presses at a time posted by a probe
# (BM_CLICK), waiting after each hundred until the board has seen them end.
# Before the first press and after each hundred it prints what the process
# holds: GDI and USER objects (GetGuiResources; "unavailable" where the
# system does not keep them), its handle count (GetProcessHandleCount), the
# handles it holds counted one by one, its windows, and, from Linux, its
# open descriptors and resident memory. Growth from the first hundred to the
# last is a leak; the last lines say what grew. Files in TREE/bench.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = --inside ]; then
  # Inside with_board.sh: one run of the program.
  sends=$2
  source tests/app/e2e/session.sh
  mkdir -p "$E2E_WORK"
  columns="sends gdi user handles handles_held windows fds rss_kb"
  # measure SENDS: one row of figures, also kept in $E2E_WORK/figures.
  measure() {
    e2e_probe resources || { e2e_fail "the probe could not read the process"; return 1; }
    local row=$1 name
    for name in gdi user handles handles_held windows; do row+=" $(e2e_answer "$name")"; done
    local fds rss
    fds=$(find "/proc/$E2E_PID/fd" -mindepth 1 2>/dev/null | wc -l) || true
    rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$E2E_PID/status" 2>/dev/null) || true
    row+=" ${fds:--} ${rss:--}"
    echo "$row" | tee -a "$E2E_WORK/figures"
  }
  rm -f "$E2E_WORK/figures"
  e2e_start || exit 1
  e2e_leds_to 55
  e2e_click "${E2E_CLICKS[@]}"
  echo "$columns"
  measure 0
  done_sends=0
  while [ "$done_sends" -lt "$sends" ] && [ "$E2E_FAILURES" -eq 0 ]; do
    batch=$((sends - done_sends < 100 ? sends - done_sends : 100))
    e2e_probe press-send "$batch" || e2e_fail "the probe could not post the presses"
    done_sends=$((done_sends + batch))
    e2e_wait_closes "$done_sends" $((batch + 30)) || e2e_fail "only $(e2e_closes) of $done_sends transfers ended"
    measure "$done_sends"
  done
  # From the first hundred on: what the first presses set up once is no leak.
  awk -v columns="$columns" 'NR == 2 { split($0, first) } { split($0, last) }
    END {
      n = split(columns, name)
      for (i = 2; i <= n; i++)
        if (first[i] ~ /^[0-9]+$/ && last[i] ~ /^[0-9]+$/ && last[i] > first[i])
          printf "grew: %s from %s (after %s sends) to %s (after %s)\n", name[i], first[i], first[1], last[i], last[1]
    }' "$E2E_WORK/figures" | tee "$E2E_WORK/growth"
  [ -s "$E2E_WORK/growth" ] || echo "nothing grew after the first hundred sends"
  e2e_key alt+F4
  e2e_wait_exit 10 || true
  e2e_kill
  [ "$E2E_FAILURES" -eq 0 ]
else
  sends=${1:-1000}
  # shellcheck source=scripts/windows-tree.sh
  source scripts/windows-tree.sh
  use_windows_tree bench/app_long_use.sh
  echo "$sends presses of Send in shiftlamp.exe under Wine, the board on COM1, pattern 0x55"
  # shellcheck source=bench/app_bench.sh
  source bench/app_bench.sh
  app_bench_run app_long_use -- "$sends"
  latched=$(grep -c ' close .* outputs=0x55 ' "$trace" || true)
  [ "$latched" -eq "$sends" ] || { echo "the register held 0x55 after only $latched of $sends transfers" >&2; exit 1; }
fi
