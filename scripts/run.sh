#!/usr/bin/env bash
# run.sh [--arch i686|x86-64] [--board COMn | --no-board] [COMn=DEVICE ...]
#
# Builds the Windows program and runs it under Wine on your X display, in a
# prefix of its own (build/TREE/run-prefix), inside guard.sh. Nothing
# needs to be plugged in: COM1 is attached to the simulated register board
# (tools/board), and the board's eight outputs are shown live in this
# terminal as a row of lamps that change as Send is pressed.
#
#   --arch ARCH    which build runs: i686 (the product, build/windows; it
#                  needs a machine that runs 32-bit programs) or x86-64 (the
#                  same program as a 64-bit one, build/windows64, under
#                  64-bit Wine). By default i686 where 32-bit programs run,
#                  x86-64 elsewhere; SHIFTLAMP_ARCH sets it as well.
#   --board COMn   the board is on port n instead (1 to 10)
#   --no-board     no board, no lamps: every port not given as COMn=DEVICE
#                  is hidden
#   COMn=DEVICE    port n is the Unix serial device DEVICE for this run, a
#                  USB adapter say (COM1=/dev/ttyUSB0); the board then stays
#                  off that port. The device is checked before the run.
#   -h, --help     this text
#
# Every other port of COM1 to COM10 is hidden for the run (the program then
# reports that it cannot open it). When the program ends, the viewer, the
# board's pseudo-terminals and the prefix's wineserver are ended too. The
# board's trace is kept in build/TREE/run/board.trace until the next run,
# which keeps it as board.trace.previous (tools/board/lamps --once shows
# either again).
#
# One run at a time uses a prefix: a second one is refused. SHIFTLAMP_RUN_PREFIX
# names another prefix, SHIFTLAMP_RUN_DIR another directory for the board's
# files; SHIFTLAMP_RUN_BUILD=0 skips installing and building (the program
# must be built).
set -euo pipefail
caller_dir=$PWD
cd "$(dirname "$0")/.."
root=$PWD
# shellcheck source=machine.sh
source scripts/machine.sh

# Usage errors end with status 64, naming the offending word.
usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
  exit 0
}
usage_error() {
  echo "run.sh: $1 (run.sh --help lists what it takes)" >&2
  exit 64
}

# check_device PORT DEVICE: DEVICE made absolute (from where run.sh was
# started) in $device, once it is a character device this user may open;
# otherwise says what is wrong and how to mend it, and ends the run.
check_device() {
  local port=$1 group
  device=$2
  [[ $device == /* ]] || device=$caller_dir/$device
  if [ ! -e "$device" ]; then
    echo "run.sh: $port=$device: no such device (is the adapter plugged in? ls /dev/serial/by-id lists those that are)" >&2
    exit 69
  fi
  if [ ! -c "$device" ]; then
    echo "run.sh: $port=$device: not a serial device (a character device such as /dev/ttyUSB0 is needed)" >&2
    exit 69
  fi
  if [ ! -r "$device" ] || [ ! -w "$device" ]; then
    group=$(stat -c %G "$device")
    echo "run.sh: permission denied: $device belongs to group $group;" \
      "add yourself with: sudo usermod -aG $group \$USER, then log in again" >&2
    exit 77
  fi
}

board=COM1
arch=${SHIFTLAMP_ARCH:-auto}
declare -A devices=()
while [ $# -gt 0 ]; do
  case $1 in
    --arch)
      arch=${2:-}
      windows_tree "$arch" || usage_error "--arch takes i686 or x86-64, got '$arch'"
      shift 2
      ;;
    --board)
      port=${2:-}
      port=${port^^}
      [[ $port =~ ^COM([1-9]|10)$ ]] || usage_error "--board takes COM1 to COM10, got '${2:-}'"
      board=$port
      shift 2
      ;;
    --no-board) board=''; shift ;;
    -h | --help) usage ;;
    -*) usage_error "unknown option '$1'" ;;
    *)
      port=${1%%=*} device=${1#*=}
      port=${port^^}
      if [[ ! $port =~ ^COM([1-9]|10)$ || $device == "$1" || -z $device ]]; then
        usage_error "expected COMn=DEVICE with n from 1 to 10, got '$1'"
      fi
      check_device "$port" "$device"
      devices[$port]=$device
      shift
      ;;
  esac
done
windows_tree "$arch" || usage_error "SHIFTLAMP_ARCH takes i686 or x86-64, got '$arch'"
# Wine runs the i686 program as a 32-bit Linux process; some kernels cannot
# start one at all, and Wine would fail with a puzzling message.
if [ "$tree_arch" = i686 ] && ! machine_runs_32bit; then
  echo "run.sh: this machine's kernel cannot run 32-bit programs, which Wine needs for the i686" \
    "shiftlamp.exe; the same program built for x86-64 runs here: scripts/run.sh --arch x86-64" >&2
  exit 69
fi
prefix=${SHIFTLAMP_RUN_PREFIX:-$root/$tree_dir/run-prefix}
run_dir=${SHIFTLAMP_RUN_DIR:-$root/$tree_dir/run}
[[ $prefix == /* ]] || prefix=$caller_dir/$prefix
[[ $run_dir == /* ]] || run_dir=$caller_dir/$run_dir
exe=$root/$tree_dir/src/app/shiftlamp.exe
library=$root/$tree_dir/tools/board/libshiftlamp_board.so
echo "Running the $tree_arch build: $tree_dir/src/app/shiftlamp.exe"

if [ -n "$board" ] && [ -n "${devices[$board]:-}" ]; then
  echo "$board is ${devices[$board]}: no simulated board this time"
  board=''
elif [ -z "$board" ]; then
  echo "No simulated board: every port not given as COMn=DEVICE is hidden (Send reports that it cannot open it)"
fi

# Wine without a display it can use starts, shows nothing and ends quietly.
if [ -z "${DISPLAY:-}" ]; then
  echo "run.sh: no X display: DISPLAY is not set (run it in a desktop session, or on a virtual display: xvfb-run -a scripts/run.sh)" >&2
  exit 69
fi
if command -v xdpyinfo >/dev/null && ! xdpyinfo >/dev/null 2>&1; then
  echo "run.sh: cannot open the X display '$DISPLAY' (is its X server running, and may this user use it?)" >&2
  exit 69
fi

# One run per prefix and per run directory (take_lock).
# shellcheck source=run-lock.sh
source "$root/scripts/run-lock.sh"
locks=()
viewer=''
on_exit() {
  if [ -n "$viewer" ]; then
    kill "$viewer" 2>/dev/null || true
    wait "$viewer" 2>/dev/null || true
  fi
  rm -rf "${locks[@]}"
}
trap on_exit EXIT
take_lock "$prefix" "the prefix"
take_lock "$run_dir" "the run directory"

if [ "${SHIFTLAMP_RUN_BUILD:-1}" != 0 ]; then
  scripts/install-deps.sh --run "$tree_arch"
  cmake --preset "$tree_preset" >/dev/null
  cmake --build --preset "$tree_preset" --target shiftlamp shiftlamp_board_preload -j2
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
  run_in_background scripts/guard.sh bash -c "$(declare -f run_program); exe=\$1 prefix=\$2; run_program \"\$3\"" \
    run "$exe" "$prefix" "$run_dir/wine.log" || status=$?
  exit $status
fi

# With the board: the lamps follow its trace in this terminal while the
# program runs; with_board.sh makes the pseudo-terminals, maps the port and
# takes it all down again when the program ends.
trace=$run_dir/board.trace
if [ -e "$trace" ]; then mv -f "$trace" "$trace.previous"; fi
echo "$board is the simulated register board; its outputs:"
tools/board/lamps --wait "$trace" &
viewer=$!

run_in_background scripts/guard.sh tools/board/with_board.sh --prefix "$prefix" --library "$library" \
  --port "$board" --dir "$run_dir" --trace "$trace" --log "$run_dir/command.log" -- \
  bash -c "$(declare -f run_program); exe=\$1 prefix=\$2; run_program \"\$3\"" run "$exe" "$prefix" "$run_dir/wine.log" ||
  status=$?
exit $status
