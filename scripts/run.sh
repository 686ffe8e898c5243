#!/usr/bin/env bash
# run.sh [--board COMn | --no-board] [COMn=DEVICE ...]
#
# Builds the Windows program and runs it under Wine on your X display, in a
# prefix of its own (build/windows/run-prefix), inside guard.sh. Nothing
# needs to be plugged in: COM1 is attached to the simulated register board
# (tools/board), and the board's eight outputs are shown live in this
# terminal as a row of lamps that change as Send is pressed.
#
#   --board COMn   the board is on port n instead (1 to 10)
#   --no-board     no board, no lamps
#   COMn=DEVICE    port n is the Unix serial device DEVICE for this run, a
#                  USB adapter say (COM1=/dev/ttyUSB0); the board then stays
#                  off that port
#
# Every other port of COM1 to COM10 is hidden for the run (the program then
# reports that it cannot open it). When the program ends, the viewer, the
# board's pseudo-terminals and the prefix's wineserver are ended too. The
# board's trace is kept in build/windows/run/board.trace
# (tools/board/lamps --once shows it again).
#
# SHIFTLAMP_RUN_PREFIX names another prefix, SHIFTLAMP_RUN_DIR another
# directory for the board's files; SHIFTLAMP_RUN_BUILD=0 skips installing
# and building (the program must be built).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

prefix=${SHIFTLAMP_RUN_PREFIX:-$root/build/windows/run-prefix}
run_dir=${SHIFTLAMP_RUN_DIR:-$root/build/windows/run}
exe=$root/build/windows/src/app/shiftlamp.exe
library=$root/build/windows/tools/board/libshiftlamp_board.so

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
  exit 2
}

board=COM1
declare -A devices=()
while [ $# -gt 0 ]; do
  case $1 in
    --board)
      [[ ${2:-} =~ ^COM([1-9]|10)$ ]] || { echo "run.sh: --board takes COM1 to COM10" >&2; exit 2; }
      board=$2
      shift 2
      ;;
    --no-board) board=''; shift ;;
    -h | --help) usage ;;
    *)
      port=${1%%=*} device=${1#*=}
      if [[ ! $port =~ ^COM([1-9]|10)$ || $device == "$1" || -z $device ]]; then
        echo "run.sh: expected COMn=DEVICE with n from 1 to 10, got '$1'" >&2
        exit 2
      fi
      devices[$port]=$device
      shift
      ;;
  esac
done
if [ -n "$board" ] && [ -n "${devices[$board]:-}" ]; then
  echo "$board is ${devices[$board]}: no simulated board this time"
  board=''
fi

if [ -z "${DISPLAY:-}" ]; then
  echo "run.sh: no X display (DISPLAY is not set)" >&2
  exit 1
fi

if [ "${SHIFTLAMP_RUN_BUILD:-1}" != 0 ]; then
  scripts/install-deps.sh
  cmake --preset windows >/dev/null
  cmake --build --preset windows --target shiftlamp shiftlamp_board_preload -j2
fi

# A new prefix hides COM1 to COM32, so that Wine's own mapping of the
# machine's serial devices lands on numbers the program never opens.
if [ ! -f "$prefix/system.reg" ]; then
  echo "Creating the Wine prefix $prefix"
  scripts/guard.sh scripts/wine-prefix.sh "$prefix" setup
fi

# The ports as this run has them, in one import: mapped, or hidden (the
# board's port is mapped by with_board.sh).
pairs=()
for n in 1 2 3 4 5 6 7 8 9 10; do
  port=COM$n
  if [ -n "${devices[$port]:-}" ]; then
    echo "$port is ${devices[$port]}"
    pairs+=("$port" "${devices[$port]}")
  else
    pairs+=("$port" "")
  fi
done
scripts/guard.sh scripts/wine-prefix.sh "$prefix" map "${pairs[@]}"

run_program() {
  export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
  local status=0
  # Output to a file: Wine's helpers inherit it and outlive the program.
  wine "$exe" >"$1" 2>&1 || status=$?
  scripts/wine-prefix.sh "$prefix" stop
  return $status
}

# run_in_background COMMAND...: runs COMMAND and waits for it. Ctrl+C or a
# TERM stops the prefix's wineserver, which ends the program, and COMMAND
# then ends as it would after a close: whatever it set up is taken down.
run_in_background() {
  "$@" &
  local runner=$! status=0
  interrupted=0
  trap 'interrupted=130; scripts/guard.sh scripts/wine-prefix.sh "$prefix" stop' INT
  trap 'interrupted=143; scripts/guard.sh scripts/wine-prefix.sh "$prefix" stop' TERM
  while :; do
    wait "$runner" && status=0 || status=$?
    kill -0 "$runner" 2>/dev/null || break
  done
  trap - INT TERM
  [ "$interrupted" -eq 0 ] || status=$interrupted
  return $status
}

mkdir -p "$run_dir"
status=0
if [ -z "$board" ]; then
  run_in_background scripts/guard.sh bash -c "$(declare -f run_program); exe=\$1 prefix=\$2; run_program \$3" \
    run "$exe" "$prefix" "$run_dir/wine.log" || status=$?
  exit $status
fi

# With the board: the lamps follow its trace in this terminal while the
# program runs; with_board.sh makes the pseudo-terminals, maps the port and
# takes it all down again when the program ends.
trace=$run_dir/board.trace
rm -f "$trace"
echo "$board is the simulated register board; its outputs:"
tools/board/lamps "$trace" &
viewer=$!
stop_viewer() {
  kill "$viewer" 2>/dev/null || true
  wait "$viewer" 2>/dev/null || true
}
trap stop_viewer EXIT

run_in_background scripts/guard.sh tools/board/with_board.sh --prefix "$prefix" --library "$library" \
  --port "$board" --dir "$run_dir" --trace "$trace" --log "$run_dir/command.log" -- \
  bash -c "$(declare -f run_program); exe=\$1 prefix=\$2; run_program \$3" run "$exe" "$prefix" "$run_dir/wine.log" ||
  status=$?
stop_viewer
exit $status
