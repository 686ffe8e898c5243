#!/usr/bin/env bash
# run.sh [COMn=DEVICE ...]: builds the Windows program and runs it under
# Wine, in a prefix of its own (build/windows/run-prefix), inside guard.sh.
#
# COM1 to COM10 stay hidden (the program then reports the port as not
# opening) unless mapped: each COMn=DEVICE argument maps port n to a Unix
# serial device before the start, for example
#
#     scripts/run.sh COM1=/dev/ttyUSB0
#
# A mapping is kept in the prefix for later runs. The prefix's wineserver
# is stopped when the program ends.
set -euo pipefail
cd "$(dirname "$0")/.."

prefix=${SHIFTLAMP_RUN_PREFIX:-$PWD/build/windows/run-prefix}
exe=$PWD/build/windows/src/app/shiftlamp.exe

if [ -z "${DISPLAY:-}" ]; then
  echo "run.sh: no X display (DISPLAY is not set)" >&2
  exit 1
fi

scripts/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target shiftlamp -j2

# A new prefix hides COM1 to COM32, so that Wine's own mapping of the
# machine's serial devices lands on numbers the program never opens.
if [ ! -f "$prefix/system.reg" ]; then
  echo "Creating the Wine prefix $prefix"
  scripts/guard.sh scripts/wine-prefix.sh "$prefix" setup
fi

pairs=()
for mapping in "$@"; do
  port=${mapping%%=*} device=${mapping#*=}
  if [[ ! $port =~ ^COM([1-9]|10)$ || $device == "$mapping" || -z $device ]]; then
    echo "run.sh: expected COMn=DEVICE with n from 1 to 10, got '$mapping'" >&2
    exit 2
  fi
  echo "Mapping $port to $device"
  pairs+=("$port" "$device")
done
if [ ${#pairs[@]} -gt 0 ]; then
  scripts/guard.sh scripts/wine-prefix.sh "$prefix" map "${pairs[@]}"
fi

status=0
scripts/guard.sh bash -c '
  export WINEPREFIX=$1 WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
  status=0
  wine "$2" || status=$?
  scripts/wine-prefix.sh "$1" stop
  exit $status' run "$prefix" "$exe" || status=$?
exit $status
