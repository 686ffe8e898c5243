#!/usr/bin/env bash
# send_wine_faults_test.sh WITH_BOARD PREFIX BOARD_LIBRARY WINE_RUN SEND_EXE WORK_DIR
#
# shiftlamp-send.exe under Wine, the board on COM12, where a run can go
# wrong: each way of clearing the lines at close under invert, a line
# failing mid-frame, an empty port name, an endless line of input.
set -uo pipefail
with_board=$1 prefix=$2 library=$3 wine_run=$4 send=$5 dir=$6
rm -rf "$dir"
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
# shellcheck source=send_checks.sh
source "$(dirname "$0")/send_checks.sh"

# run NAME [SETTING=VALUE...] -- ARGS... [< INPUT]: the program with the
# board; checked by expect NAME STATUS ERROR CLOSE (standard error holds
# the host's complaints about the preload library too: only our line counts).
run() {
  local name=$1 settings=()
  shift
  while [ "$1" != -- ]; do settings+=("$1"); shift; done
  status=0
  "$with_board" --prefix "$prefix" --library "$library" --port COM12 --dir "$dir" --trace "$dir/$name.trace" \
    --log "$dir/$name.log" "${settings[@]}" -- bash -c 'err=$1; shift; exec "$@" 2>"$err"' _ "$dir/$name.err" \
    "$wine_run" "$send" "${@:2}" || status=$?
}
expect() {
  local message
  message=$(grep '^shiftlamp-send: ' "$dir/$1.err")
  [ "$status" -eq "$2" ] && [[ $message == *$3* ]] && [ "${#message}" -lt 300 ] &&
    { [ -z "$4" ] || tail -n 1 "$dir/$1.trace" | grep -q -- "$4"; } ||
    fail "$1: status $status (expected $2), ${message:0:300}, closed: $(tail -n 1 "$dir/$1.trace" 2>/dev/null)"
}

for close in drop break,dtr,rts rts,dtr,break dtr,rts; do
  run "close-$close" SHIFTLAMP_BOARD_INVERT=1 SHIFTLAMP_BOARD_CLOSE=$close -- --port COM12 --invert --step-ms 0 0xA5 0x81
  expect "close-$close" 0 '' ' close - dtr=0 rts=. break=0 .*outputs=0x81 '
done
run rtsfails SHIFTLAMP_BOARD_INVERT=1 SHIFTLAMP_BOARD_LINES_FAIL=rts -- --port COM12 --invert --step-ms 0 0x0F 0xF0
expect rtsfails 74 'COM12: frame 1 (0x0f) was not latched: *RTS' ' close - dtr=1 rts=0 break=1 .*outputs=0x00 '
run emptyport -- --port "" 0x01
expect emptyport 64 'the port name is empty' ''
run emptycheck -- --check --port ""
expect emptycheck 64 'the port name is empty' ''
run emptyvariable SHIFTLAMP_PORT= -- --check
expect emptyvariable 64 'SHIFTLAMP_PORT is set but empty' ''
yes 1 | tr -d '\n' | head -c 1000000 >"$dir/endless.in"
run endless -- --port COM12 --step-ms 0 - <"$dir/endless.in"
# No frame came, so the port was never opened, let alone latched.
expect endless 64 'line 1: longer than 4096 bytes' ''
! grep -q ' BREAK ' "$dir/endless.trace" 2>/dev/null || fail "endless: the register latched"

[ "$failures" -eq 0 ] && echo "shiftlamp-send.exe under Wine, where a run goes wrong: passed"
exit $((failures > 0))
