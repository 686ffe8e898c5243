#!/usr/bin/env bash
# e2e_test.sh WITH_BOARD PREFIX BOARD_LIBRARY WINE_RUN EXE PROBE WORK_DIR CASE
#
# The real shiftlamp.exe under Wine, on an X display (Xvfb), used as a
# person uses it: xdotool clicks on the controls at their screen points and
# types keys; the simulated register board on COM1 (tools/board) records
# what each Send left on the register's outputs. The program runs unmanaged
# in the test prefix, so Wine draws its title bar and the close button can
# be clicked. Every box is answered and the program is always closed by the
# test; a program still running at the end is ended by its process id.
#
# CASE:
#   clicks       LED patterns ticked and sent with the mouse, invert off;
#                closed with the title bar's close button
#   inverted     the same with the invert box ticked and an inverter in the
#                board's wiring; unticked again, the outputs are the
#                complement; closed with Alt+F4
#   dtr-at-open  a driver that raises DTR when the port opens, invert off
#                and on (one run each)
#   close-drop, close-break-first, close-hupcl  invert ticked, the board
#                inverting, its driver clearing the lines at close: DTR and
#                RTS then the break; the break, DTR, RTS; DTR and RTS alone
#   keyboard     Tab, Shift+Tab and Space tick the boxes and press Send;
#                Alt+F4 closes
#   hidden-port  COM7 (hidden) chosen in the list with the mouse: the error
#                box is read and closed with a click on its OK button; back
#                on COM1 Send works again
#   no-modem-lines  COM2 a plain pseudo-terminal: Send shows that the lines
#                did not switch; on COM1 no box and the pattern arrives
#   random       200 sends of random patterns (fixed seed) in a row
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [ $# -ne 8 ]; then
  sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
  exit 2
fi
with_board=$1 prefix=$2 library=$3 wine_run=$4 exe=$5 probe=$6 dir=$7 case=$8
if [ -z "${DISPLAY:-}" ]; then
  echo "e2e_test.sh: no X display; run it under xvfb-run" >&2
  exit 1
fi
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
rm -rf "${dir:?}"/*

failures=0
# run NAME SCENARIO [BOARD_SETTING...]: one run of the program on the board
# ($other: a with_board.sh option for the pair's other end).
other=()
run() {
  local name=$1 scenario=$2
  shift 2
  echo "== $name"
  "$with_board" --prefix "$prefix" --library "$library" --port COM1 "${other[@]}" --dir "$dir" \
    --trace "$dir/$name.trace" --log "$dir/$name.log" \
    E2E_WINE_RUN="$wine_run" E2E_EXE="$exe" E2E_PROBE="$probe" E2E_WORK="$dir/$name" "$@" \
    -- "$here/scenario.sh" "$scenario" || failures=$((failures + 1))
}

case $case in
  clicks) run clicks clicks ;;
  inverted) run inverted inverted SHIFTLAMP_BOARD_INVERT=1 ;;
  dtr-at-open)
    run dtr-at-open-0 dtr-at-open SHIFTLAMP_BOARD_OPEN_DTR=1 SHIFTLAMP_BOARD_INVERT=0
    run dtr-at-open-1 dtr-at-open SHIFTLAMP_BOARD_OPEN_DTR=1 SHIFTLAMP_BOARD_INVERT=1
    ;;
  close-drop) run close-drop inverted-close SHIFTLAMP_BOARD_INVERT=1 SHIFTLAMP_BOARD_CLOSE=drop ;;
  close-break-first)
    run close-break-first inverted-close SHIFTLAMP_BOARD_INVERT=1 SHIFTLAMP_BOARD_CLOSE=break,dtr,rts ;;
  close-hupcl) run close-hupcl inverted-close SHIFTLAMP_BOARD_INVERT=1 SHIFTLAMP_BOARD_CLOSE=dtr,rts ;;
  keyboard) run keyboard keyboard ;;
  hidden-port) run hidden-port hidden-port ;;
  no-modem-lines) other=(--other COM2); run no-modem-lines no-modem-lines ;;
  random) run random random ;;
  *)
    echo "unknown case $case" >&2
    exit 2
    ;;
esac

if [ "$failures" -gt 0 ]; then
  for trace in "$dir"/*.trace; do
    [ -f "$trace" ] || continue
    echo "== $trace (last lines)"
    tail -n 40 "$trace"
  done
  exit 1
fi
echo "$case: passed"
