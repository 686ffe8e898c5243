#!/usr/bin/env bash
# send_faults_test.sh SEND WITH_BOARD LIBRARY WORKDIR
#
# shiftlamp-send over the native board where a run can go wrong: a driver
# that clears the lines at close, a line failing mid-frame, signals, an
# empty port name, an endless line of input. The outputs keep the last
# frame sent whole, and the run says what happened.
set -uo pipefail
send=$1 with_board=$2 library=$3 work=$4
rm -rf "$work"
mkdir -p "$work"
# shellcheck source=send_checks.sh
source "$(dirname "$0")/send_checks.sh"

# board NAME [SETTING=VALUE...] -- SCRIPT ARGS...: bash SCRIPT with the
# board, $0 the program; $status, NAME.err (its standard error), NAME.trace.
board() {
  local name=$1 settings=()
  shift
  while [ "$1" != -- ]; do settings+=("$1"); shift; done
  status=0
  "$with_board" --native --library "$library" --dir "$work/$name.d" --trace "$work/$name.trace" \
    --log "$work/$name.log" "${settings[@]}" "ERR=$work/$name.err" -- bash -c "exec 2>\"\$ERR\"; $2" "$send" \
    "${@:3}" || status=$?
}
# expect NAME STATUS ERROR CLOSE: the exit status, a pattern of standard
# error and one of the board's last line, the port's close.
expect() {
  [ "$status" -eq "$2" ] && { [ -z "$3" ] || grep -q -- "$3" "$work/$1.err"; } &&
    tail -n 1 "$work/$1.trace" | grep -q -- "$4" ||
    fail "$1: status $status (expected $2), $(head -c 300 "$work/$1.err"), closed: $(tail -n 1 "$work/$1.trace")"
}
to_board='exec "$0" --port "$SHIFTLAMP_BOARD_DEVICE" "$@"'
# The signal $1 once the first frame has latched (the outputs no longer
# zero); the program is killed if it has not ended a minute later.
signal='sig=$1; shift; "$0" --port "$SHIFTLAMP_BOARD_DEVICE" "$@" & pid=$!
  for _ in $(seq 600); do grep -Eq "outputs=0x([1-9a-f].|0[1-9a-f])" "$SHIFTLAMP_BOARD_TRACE" 2>/dev/null && break; sleep 0.05; done
  eval "${BEFORE_SIGNAL:-}"; kill -"$sig" $pid
  for _ in $(seq 600); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
  kill -KILL $pid 2>/dev/null; wait $pid'
rest=' close - dtr=0 rts=. break=0 '

# Whatever lines a driver clears at close, in whatever order, the outputs
# keep the last frame, with an inverting stage and without.
for close in keep drop break,dtr,rts dtr,rts rts,dtr,break dtr break; do
  for invert in 0 1; do
    flag=$([ $invert = 1 ] && echo --invert)
    board "close-$close-$invert" SHIFTLAMP_BOARD_INVERT=$invert SHIFTLAMP_BOARD_CLOSE=$close -- "$to_board" \
      --step-ms 0 ${flag:+"$flag"} 0xA5 0x81
    expect "close-$close-$invert" 0 '' "$rest.*outputs=0x81 "
    [ "$(latched "$work/close-$close-$invert.trace" $((1 - invert)))" = "0xa5 0x81 " ] || fail "close-$close-$invert: latched"
  done
done
# The rest is planned: a dry run and its trace end with the clock down
# from the last frame's last bit, the break, then DTR.
"$send" --dry-run --invert --step-ms 1 --trace "$work/rest.vcd" 0xA5 >"$work/rest.out"
[ "$(tail -n 4 "$work/rest.out" | tr '\n' ' ')" = "# rest 19.000 DTR=1 20.000 TXD_BREAK=0 21.000 DTR=0 " ] &&
  [ "$(grep -v '^#' "$work/rest.vcd" | tail -n 2 | tr '\n' ' ')" = '0# 0! ' ] || fail "rest: not in the plan"

# A failing line ends the run unlatched, naming the frame; DTR and the break
# go to idle where they answer (RTS fails at the first bit of 0x0F inverted,
# and in 0x40 while the clock is high). The trace draws only what happened.
board rtsfails SHIFTLAMP_BOARD_INVERT=1 SHIFTLAMP_BOARD_LINES_FAIL=rts -- "$to_board" \
  --step-ms 0 --invert --trace "$work/rtsfails.vcd" 0x0F 0xF0
expect rtsfails 74 "frame 1 (0x0f) was not latched: .*RTS could not" ' close - dtr=1 rts=0 break=1 .*outputs=0x00 '
grep -q '^\$comment .*could not be switched' "$work/rtsfails.vcd" || fail "rtsfails: the failure is not marked"
board clockhigh SHIFTLAMP_BOARD_LINES_FAIL=rts -- "$to_board" --step-ms 0 --trace "$work/clockhigh.vcd" 0x40
expect clockhigh 74 "frame 1 (0x40)" ' close - dtr=0 rts=0 break=0 shift=0x00 outputs=0x00 '
! grep -q '^1"' "$work/clockhigh.vcd" || fail "clockhigh: RTS drawn set, which it never was"
board gone SHIFTLAMP_BOARD_FAIL_AT=25 -- "$to_board" --step-ms 0 0x3C 0xC3
expect gone 74 "frame 2 (0xc3) was not latched: the device stopped answering" 'outputs=0x3c '
board latchrose SHIFTLAMP_BOARD_FAIL_AT=21 -- "$to_board" --step-ms 0 0x3C 0xC3
expect latchrose 74 "frame 1 (0x3c) was latched, but then the device stopped" 'outputs=0x3c '
# A line that takes its change without error but stays put (read back) is
# a failed change too, found before it garbles a latch.
board stuck SHIFTLAMP_BOARD_LINES_STUCK=rts -- "$to_board" --step-ms 0 0x3C
expect stuck 74 "frame 1 (0x3c) was not latched: RTS does not switch: set to 1" 'outputs=0x00 '
# No frame, no open: an input that ends (or a Ctrl+C) before its first
# frame leaves the port's lines where they were.
board noframe -- "$to_board" - </dev/null
[ "$status" -eq 0 ] && ! grep -q ' open ' "$work/noframe.trace" 2>/dev/null || fail "noframe: status $status, or opened"

# A hang-up stops a run as Ctrl+C does, the lines at rest, 130; a signal
# ends a day's hold at once; a step too short to sleep in is spun out at
# ordinary priority (where the program could have a real-time one).
board hangup SHIFTLAMP_BOARD_INVERT=1 SHIFTLAMP_BOARD_CLOSE=drop -- "$signal" HUP --invert --step-ms 1 --repeat 0 0x3C 0xC3
expect hangup 130 "interrupted; frame [0-9]* (0x[0-9a-f]*) was sent whole" " close .*outputs=$(latched "$work/hangup.trace" 0 |
  awk '{ print $NF }') "
board hold SHIFTLAMP_BOARD_INVERT=1 -- "$signal" TERM --invert --step-ms 0 --hold-ms 86400000 0x5A 0xFF
expect hold 130 interrupted "$rest.*outputs=0x5a "
BEFORE_SIGNAL='chrt -p $pid >&2' board spin -- "$signal" INT --step-ms 0.001 --repeat 0 1 2
expect spin 130 "policy: SCHED_OTHER" ' close '

# An empty port name is a usage error, never "every port": with the
# machine's ports hidden, --check would find none (69).
hidden() {
  unshare -rm bash -c 'mount -t tmpfs none /sys/class/tty &&
    for d in /dev/ttyS*; do [ ! -e "$d" ] || mount --bind /dev/null "$d" || exit 97; done && exec "$0" "$@"' \
    "$send" "$@" 2>/dev/null
}
hidden --port '' 1; [ $? -eq 64 ] || fail "empty --port"
hidden --check --port ''; [ $? -eq 64 ] || fail "empty --port with --check"
SHIFTLAMP_PORT='' hidden --check; [ $? -eq 64 ] || fail "empty SHIFTLAMP_PORT with --check"

# An endless line is refused once past the bound, quoted short; a bad
# word's control characters are escaped.
timeout 60 bash -c 'yes 1 | tr -d "\n" | "$0" --dry-run -' "$send" >/dev/null 2>"$work/endless.err"
[ $? -eq 64 ] && [ "$(wc -c <"$work/endless.err")" -lt 200 ] && grep -q "line 1: longer than 4096" "$work/endless.err" ||
  fail "endless: $(head -c 300 "$work/endless.err")"
escaped=$(printf '1\n\033[31m\n' | "$send" --dry-run - 2>&1 >/dev/null)
[[ $escaped == *"line 2: '\x1b[31m' is not"* ]] || fail "escape: $escaped"

echo
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all checks passed"
