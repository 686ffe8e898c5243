#!/usr/bin/env bash
# send_board_test.sh SEND WITH_BOARD LIBRARY WORKDIR BOARD_VCD
#
# shiftlamp-send, natively, over the simulated register board: what the
# register's outputs show after each frame, and what the program says and
# returns when the port fails it.
set -uo pipefail
send=$1 with_board=$2 library=$3 work=$4 board_vcd=$5
rm -rf "$work"
mkdir -p "$work"
source "$(dirname "$0")/send_checks.sh"

# board NAME [BOARD_SETTING=VALUE...] -- ARGS...
# Runs shiftlamp-send --port <the board> ARGS with the board; sets $status,
# and leaves the trace in $work/NAME.trace, standard output in
# $work/NAME.out and standard error in $work/NAME.err.
board() {
  local name=$1 settings=()
  shift
  while [ "$1" != "--" ]; do settings+=("$1"); shift; done
  shift
  status=0
  "$with_board" --native --library "$library" --dir "$work/$name.d" --trace "$work/$name.trace" \
    --log "$work/$name.log" "${settings[@]}" -- \
    bash -c 'out=$1 err=$2; shift 2; exec "$@" >"$out" 2>"$err"' _ "$work/$name.out" "$work/$name.err" \
    bash -c 'exec "$0" --port "$SHIFTLAMP_BOARD_DEVICE" "$@"' "$send" "$@" || status=$?
}

expect_latched() {  # NAME ACTIVE EXPECTED
  local got
  got=$(latched "$work/$1.trace" "$2")
  [ "$got" = "$3" ] || fail "$1: latched '$got', expected '$3'"
}

expect_status() {  # NAME STATUS [TEXT]
  [ "$status" -eq "$2" ] || fail "$1: exit status $status, expected $2 ($(cat "$work/$1.err"))"
  if [ $# -ge 3 ]; then
    grep -q -- "$3" "$work/$1.err" || fail "$1: '$3' not in: $(cat "$work/$1.err")"
  fi
  if [ "$2" -ne 0 ]; then
    local lines
    lines=$(wc -l <"$work/$1.err")
    [ "$lines" -eq 1 ] || fail "$1: $lines lines on standard error, expected one"
    grep -q '^shiftlamp-send: ' "$work/$1.err" || fail "$1: message without the program's name"
  fi
}

expect_check() {  # NAME STATUS VERDICT [FINDING]
  [ "$status" -eq "$2" ] || fail "$1: exit status $status, expected $2: $(cat "$work/$1.out" "$work/$1.err")"
  grep -q -- ": $3" "$work/$1.out" || fail "$1: verdict '$3' not in: $(cat "$work/$1.out")"
  if [ $# -ge 4 ]; then grep -q -- "$4" "$work/$1.out" || fail "$1: '$4' not in: $(cat "$work/$1.out")"; fi
}
expect_rest() {  # NAME LEVEL
  local last
  last=$(grep -v '^#' "$work/$1.trace" | awk '$2 != "close"' | tail -n 1)
  echo "$last" | grep -q "dtr=$2 rts=$2 break=$2 " || fail "$1: the lines were not left at rest ($2): $last"
  tail -n 1 "$work/$1.trace" | grep -q ' close ' || fail "$1: the port was not closed"
}

# Every pattern class in one run, then with an inverter in the wiring and
# the invert option, then with a driver that raises every line at open and
# one that drops them at close.
patterns="0x00 0xFF 0xA5 0x5A 0x01 0x80 0b00000010 64"
expected="0x00 0xff 0xa5 0x5a 0x01 0x80 0x02 0x40 "
board plain -- --step-ms 0 $patterns
expect_status plain 0
expect_latched plain 1 "$expected"
board inverted SHIFTLAMP_BOARD_INVERT=1 -- --step-ms 0 --invert $patterns
expect_status inverted 0
expect_latched inverted 0 "$expected"
# (A break set at open is a latch pulse of its own, before any frame: it
# latches the empty shift register.)
board raised SHIFTLAMP_BOARD_OPEN_DTR=1 SHIFTLAMP_BOARD_OPEN_RTS=1 SHIFTLAMP_BOARD_OPEN_BREAK=1 -- --step-ms 0 0xA5 0x81
expect_status raised 0
expect_latched raised 1 "0x00 0xa5 0x81 "
board dropped SHIFTLAMP_BOARD_CLOSE=drop -- --step-ms 0.5 0x3C
expect_status dropped 0
tail -n 1 "$work/dropped.trace" | grep -q 'close - dtr=0 rts=0 break=0 .*outputs=0x3c' ||
  fail "dropped: the outputs did not stay 0x3c after the lines dropped at close"

# The board in a folder whose path holds a comma and a colon, which socat
# would take for its own.
board "comma,colon:folder" -- --step-ms 0 0x3C
expect_status "comma,colon:folder" 0
expect_latched "comma,colon:folder" 1 "0x3c "

# DTR and RTS go out together: 20 device calls for the first frame, 19 for
# each one after (every call changes at least one line, so it leaves one
# time stamp in the trace).
calls=$(awk '$2 == "DTR" || $2 == "RTS" || $2 == "BREAK" { print $1 }' "$work/plain.trace" | sort -u | wc -l)
[ "$calls" -le $((20 + 19 * 7)) ] || fail "plain: $calls device calls for 8 frames, expected at most $((20 + 19 * 7))"

# Slow lines (1 ms a change, a USB adapter's) slow a transfer down but
# latch the same frames: two frames of 20 and 19 changes take 39 ms at least.
board slow SHIFTLAMP_BOARD_LINE_US=1000 -- --step-ms 0 0xA5 0x3C
expect_status slow 0
expect_latched slow 1 "0xa5 0x3c "
took=$(grep -v '^#' "$work/slow.trace" | awk '$2 == "open" { start = $1 } $2 == "BREAK" && $3 == 0 { end = $1 }
  END { print int((end - start) / 1000000) }')
[ "${took:-0}" -ge 38 ] || fail "slow: two frames took ${took:-?} ms, expected at least 38"

# Frames from standard input with their holds, repeated; a frame's hold
# keeps the latched outputs at least that long.
printf '0x01 60  # held 60 ms\n\n# a comment\n0x02\n  0x03 0\n' >"$work/frames.txt"
board input -- --step-ms 0.2 --hold-ms 5 --repeat 2 - <"$work/frames.txt"
expect_status input 0
expect_latched input 1 "0x01 0x02 0x03 0x01 0x02 0x03 "
held=$(awk '$2 == "BREAK" && $3 == 0 && !first { first = $1; next } first && $2 != "BREAK" { print int(($1 - first) / 1000000); exit }' "$work/input.trace")
[ "${held:-0}" -ge 60 ] || fail "input: frame 1 was held ${held:-?} ms, expected at least 60"
printf '0x01\n0x1FF\n' >"$work/bad.txt"
board badinput -- --step-ms 0 - <"$work/bad.txt"
expect_status badinput 64 "line 2: '0x1FF'"

# The trace, read by sigrok's SPI decoder (clock DTR, data RTS), gives back
# the byte sent.
board traced -- --step-ms 1 --trace "$work/traced.vcd" 0xA5
expect_status traced 0
decoded=$(sigrok-cli -I vcd -i "$work/traced.vcd" -P spi:clk=DTR:mosi=RTS -A spi=mosi-data 2>&1)
echo "$decoded" | grep -qi 'a5' || fail "traced: sigrok-cli decoded '$decoded', expected A5"
# So does one at --step-ms 0, live and planned: every pulse gets a stamp of
# its own, however close the changes came.
board traced0 -- --step-ms 0 --trace "$work/traced0.vcd" 0xA5
expect_status traced0 0
"$send" --dry-run --step-ms 0 --trace "$work/dry0.vcd" 0xA5 >/dev/null || fail "dry0: the dry run failed"
for vcd in traced0 dry0; do
  decoded=$(sigrok-cli -I vcd -i "$work/$vcd.vcd" -P spi:clk=DTR:mosi=RTS -A spi=mosi-data 2>&1)
  echo "$decoded" | grep -qi 'a5' || fail "$vcd: sigrok-cli decoded '$decoded', expected A5"
done

# The board's own trace as a waveform (board_vcd): the SPI decoder gives
# back the frames, and Q1..Q8 end at the board's outputs. Opening the port
# raises DTR, one clock edge before any frame, which a real register takes
# too: the latch (TXD_BREAK, as an active-low select) sets the decoder right
# again for every frame after the first.
board converted -- --step-ms 1 0x00 0xA5 0x4E
expect_status converted 0
"$board_vcd" "$work/converted.trace" "$work/converted.vcd" || fail "converted: board_vcd failed"
decoded=$(sigrok-cli -I vcd -i "$work/converted.vcd" -P spi:clk=DTR:mosi=RTS:cs=TXD_BREAK:cs_polarity=active-low \
  -A spi=mosi-data 2>&1 | awk '{ printf "%s ", tolower($2) }')
case $decoded in *"a5 4e ") ;; *) fail "converted: sigrok-cli decoded '$decoded', expected it to end in 'a5 4e'" ;; esac
q=$(sigrok-cli -I vcd -i "$work/converted.vcd" -O csv:header=false:label=off -C Q1,Q2,Q3,Q4,Q5,Q6,Q7,Q8 |
  tail -n 1 | awk -F, '{ for (k = NF; k >= 1; k--) v = v * 2 + $k; printf "0x%02x", v }')
[ "$q" = 0x4e ] || fail "converted: Q1..Q8 end at $q, the board's outputs at 0x4e"

# interrupt NAME SECONDS FEED -- ARGS...: FEED (a shell command) piped into
# shiftlamp-send --port <the board> ARGS, which gets SIGINT after SECONDS;
# $status is its exit status, the files are named as board()'s.
interrupt() {
  local name=$1 after=$2 feed=$3
  shift 4
  status=0
  "$with_board" --native --library "$library" --dir "$work/$name.d" --trace "$work/$name.trace" \
    --log "$work/$name.log" -- bash -c 'feed=$1 after=$2 out=$3 err=$4 send=$5; shift 5
      bash -c "$feed" | "$send" --port "$SHIFTLAMP_BOARD_DEVICE" "$@" >"$out" 2>"$err" & pid=$!
      sleep "$after"; kill -INT $pid; wait $pid' _ "$feed" "$after" "$work/$name.out" "$work/$name.err" "$send" "$@" ||
    status=$?
}

# Ctrl+C: in the middle of an endless run, the frame in progress is
# finished and latched, the port closed, status 130. While the next frame
# is still on its way through a pipe, with half its line read, the frames
# before it stand and the half is never sent. While a repeating run reads
# its frames, nothing is sent and the port never opens. A read error is no
# end of the input.
interrupt interrupted 0.5 : -- --step-ms 1 --repeat 0 0x0F 0xF0
expect_status interrupted 130 "interrupted; the last frame started was sent whole"
last=$(grep -v '^#' "$work/interrupted.trace" | awk '$2 != "close"' | tail -n 1)
echo "$last" | grep -q '^[0-9]* BREAK 0 dtr=0 ' || fail "interrupted: the register was left mid-frame: $last"
tail -n 1 "$work/interrupted.trace" | grep -q ' close ' || fail "interrupted: the port was not closed"
interrupt halfline 1 "printf '1\\n12'; sleep 3; printf '8\\n'" -- --step-ms 0 -
expect_status halfline 130 "interrupted"
expect_latched halfline 1 "0x01 "
interrupt reading 1 "printf '1\\n2\\n'; sleep 3" -- --step-ms 0 --repeat 2 -
expect_status reading 130 "nothing was sent"
! grep -q ' open ' "$work/reading.trace" 2>/dev/null || fail "reading: the port was opened"
status=0
"$send" --dry-run - </ >/dev/null 2>"$work/unreadable.err" || status=$?
expect_status unreadable 74 "standard input could not be read"

# A stall (the program stopped for 150 ms in the middle of a frame) only
# stretches the frame: every change still comes at least one step after
# the one before it.
status=0
"$with_board" --native --library "$library" --dir "$work/stall.d" --trace "$work/stall.trace" -- bash -c '
  "$0" --port "$SHIFTLAMP_BOARD_DEVICE" --step-ms 20 0x55 0xAA 2>"$1" & pid=$!
  sleep 0.3; kill -STOP $pid; sleep 0.15; kill -CONT $pid; wait $pid' "$send" "$work/stall.err" || status=$?
expect_status stall 0
expect_latched stall 1 "0x55 0xaa "
early=$(awk '$2 == "DTR" || $2 == "RTS" || $2 == "BREAK" { if (last && $1 != last && $1 - last < 20000000) n++; last = $1 }
  END { print n + 0 }' "$work/stall.trace")
[ "$early" -eq 0 ] || fail "stall: $early changes less than a step (20 ms) after the one before"

# Failures, each with its status and one line that names the port.
status=0
"$send" --port "$work/no-such-device" 0x01 2>"$work/missing.err" || status=$?
expect_status missing 69 "no-such-device: no such port"

# The pair's other end is a plain pseudo-terminal: no modem lines.
status=0
"$with_board" --native --library "$library" --dir "$work/plain-pty.d" -- \
  bash -c 'exec "$0" --port "$1" --step-ms 0 0x01 2>"$2"' "$send" "$work/plain-pty.d/other-pty" "$work/plain-pty.err" \
  >/dev/null || status=$?
expect_status plain-pty 74 "no modem-control lines"

board unplugged SHIFTLAMP_BOARD_FAIL_AT=5 -- --step-ms 0 0xA5
expect_status unplugged 74 "stopped answering"
tail -n 1 "$work/unplugged.trace" | grep -q ' close ' || fail "unplugged: the port was not closed"

# Busy: another process holds the port's lock.
status=0
"$with_board" --native --library "$library" --dir "$work/busy.d" -- bash -c '
  flock "$SHIFTLAMP_BOARD_DEVICE" sleep 3 & holder=$!
  sleep 0.5
  "$0" --port "$SHIFTLAMP_BOARD_DEVICE" 0x01 2>"$1"; status=$?
  kill $holder 2>/dev/null; wait $holder 2>/dev/null
  exit $status' "$send" "$work/busy.err" >/dev/null || status=$?
expect_status busy 75 "port busy"

# Permission: a device node of the dialout group, opened by a user outside
# it. Needs root to make the node and to become that user.
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP permission: needs root to make a device node and run as another user"
elif ! command -v setpriv >/dev/null || ! getent group dialout >/dev/null; then
  echo "SKIP permission: no setpriv or no group dialout here"
elif ! setpriv --reuid=65534 --regid=65534 --clear-groups test -x "$send"; then
  echo "SKIP permission: user nobody cannot reach $send (a folder above it is closed to others)"
else
  status=0
  "$with_board" --native --library "$library" --dir "$work/denied.d" -- bash -c '
    node=$2/denied.node
    rm -f "$node"
    mknod "$node" c $(stat -L -c "0x%t 0x%T" "$SHIFTLAMP_BOARD_DEVICE") && chgrp dialout "$node" && chmod 660 "$node" || exit 99
    chmod o+rx "$2"
    setpriv --reuid=65534 --regid=65534 --clear-groups "$0" --port "$node" 0x01 2>"$1"' \
    "$send" "$work/denied.err" "$work" >/dev/null || status=$?
  if [ "$status" -eq 99 ]; then
    echo "SKIP permission: no device node could be made in $work"
  else
    expect_status denied 77 "belongs to group dialout; add yourself with: sudo usermod -aG dialout"
    status=0
    "$with_board" --native --library "$library" --dir "$work/denied.d" -- bash -c '
      setpriv --reuid=65534 --regid=65534 --clear-groups "$0" --check --port "$2/denied.node" >"$1"' \
      "$send" "$work/checkdenied.out" "$work" >/dev/null || status=$?
    expect_check checkdenied 77 "not usable: permission denied" "^  open  *permission denied: the device belongs to group dialout"
  fi
fi

# Devices the serial layer never opens are refused as such, not as a
# permission the user could get: the pseudo-terminal master (device 5,2)
# even as root; --list marks the built-in ports the same way.
status=0
"$send" --port /dev/ptmx 0x01 2>"$work/ptmx.err" || status=$?
expect_status ptmx 77 "/dev/ptmx: refused: a console or another terminal of the system"
unmarked=$("$send" --list | grep '^/dev/ttyS' | grep -v 'never opened: a built-in serial port')
[ -z "$unmarked" ] || fail "list: built-in ports without their refusal: $unmarked"

# --check over the board: usable, with a time per change within 20 % of the
# board's 2 ms; every line back at rest when the port closes, also with an
# inverting stage (rest is then high).
board check SHIFTLAMP_BOARD_LINE_US=2000 -- --check
expect_check check 0 "usable$" "^  DTR  *switches: set and cleared, and the driver reports both"
grep -q "^  break  *sets and clears" "$work/check.out" || fail "check: no break finding: $(cat "$work/check.out")"
median=$(awk '$1 == "per" && $2 == "change" { print $3 }' "$work/check.out")
awk -v m="${median:-0}" 'BEGIN { exit !(m >= 1.6 && m <= 2.4) }' ||
  fail "check: per-change time ${median:-?} ms, expected 2 ms within 20 %"
echo "check: per-change time $median ms for the board's 2 ms"
expect_rest check 0
board checkinverted SHIFTLAMP_BOARD_INVERT=1 -- --check --invert --quiet
expect_check checkinverted 0 "usable$"
[ "$(wc -l <"$work/checkinverted.out")" -eq 1 ] || fail "checkinverted: --quiet printed more than the verdict"
expect_rest checkinverted 1

# Each fault of the board, with its finding and the status a transfer would
# get; whatever failed, the other lines end at rest.
board breakfails SHIFTLAMP_BOARD_BREAK_FAILS=1 -- --check
expect_check breakfails 74 "not usable: the break cannot be set" "^  break  *could not be set: "
board rtsfails SHIFTLAMP_BOARD_LINES_FAIL=rts -- --check
expect_check rtsfails 74 "not usable: RTS does not switch" "^  RTS  *could not be switched: "
board dtrstuck SHIFTLAMP_BOARD_LINES_STUCK=dtr -- --check
expect_check dtrstuck 74 "not usable: DTR does not switch" "^  DTR  *does not switch: set to 1, the driver reports 0"
expect_rest dtrstuck 0
board dtrfails SHIFTLAMP_BOARD_LINES_FAIL=dtr -- --check
expect_check dtrfails 74 "not usable: DTR does not switch" "^  DTR  *could not be switched: "
! grep -q "^  per change" "$work/dtrfails.out" || fail "dtrfails: changes timed without a clock"
board rtsstuck SHIFTLAMP_BOARD_LINES_STUCK=rts -- --check
expect_check rtsstuck 74 "not usable: RTS does not switch" "^  RTS  *does not switch: set to 1, the driver reports 0"
board checkgone SHIFTLAMP_BOARD_FAIL_AT=8 -- --check
expect_check checkgone 74 "not usable: the device stopped answering"

# A plain pseudo-terminal has no modem lines; a port another process holds
# open and locked names that process; a missing port is 69.
status=0
"$with_board" --native --library "$library" --dir "$work/checkpty.d" -- \
  bash -c 'exec "$0" --check --port "$1" >"$2"' "$send" "$work/checkpty.d/other-pty" "$work/checkpty.out" || status=$?
expect_check checkpty 74 "not usable: no modem-control lines" "^  DTR  *no modem-control lines"
status=0
"$with_board" --native --library "$library" --dir "$work/checkbusy.d" -- bash -c '
  flock "$SHIFTLAMP_BOARD_DEVICE" sleep 10 & holder=$!
  for _ in $(seq 50); do grep -q FLOCK /proc/locks && break; sleep 0.1; done
  echo "$holder" >"$2"
  "$0" --check --port "$SHIFTLAMP_BOARD_DEVICE" >"$1"; status=$?
  kill $holder 2>/dev/null; wait $holder 2>/dev/null
  exit $status' "$send" "$work/checkbusy.out" "$work/checkbusy.pid" || status=$?
holder=$(cat "$work/checkbusy.pid")
expect_check checkbusy 75 "not usable: port busy: .*pid $holder (flock)" \
  "^  held by  *pid $holder (flock): has it open and holds a lock on it"
status=0
"$send" --check --port "$work/no-such-device" >"$work/checkmissing.out" || status=$?
expect_check checkmissing 69 "not usable: no such port"
status=0
"$send" --check --port /dev/ptmx >"$work/checkptmx.out" || status=$?
expect_check checkptmx 77 "not usable: refused"

# A service that grabs ports (a program named ModemManager) is a warning,
# not a failure.
cp "$(command -v sleep)" "$work/ModemManager"
"$work/ModemManager" 10 & grabber=$!
board checkservice -- --check
kill $grabber; wait $grabber 2>/dev/null
expect_check checkservice 0 "usable, with 1 warning" "^  service  *ModemManager is running (pid $grabber)"

# Ctrl+C in the middle of the timed changes (50 ms each): 130, lines at rest.
SHIFTLAMP_BOARD_LINE_US=50000 interrupt checkint 0.6 : -- --check
[ "$status" -eq 130 ] || fail "checkint: exit status $status, expected 130: $(cat "$work/checkint.out")"
grep -q ": not usable: interrupted" "$work/checkint.out" || fail "checkint: $(cat "$work/checkint.out")"
expect_rest checkint 0

# --list --format tsv: nine fields, the device first.
"$send" --list --format tsv | awk -F'\t' 'NF != 9 || $1 !~ /^\// { bad = 1 } END { exit bad }' ||
  fail "list: a tsv line without nine fields or without the device first"

# Usage errors name the word; a dry run opens nothing and plans 20 calls
# for the first frame.
status=0
"$send" --port /dev/null 0x100 2>"$work/usage.err" || status=$?
expect_status usage 64 "'0x100' is not a pattern"
for words in "--quiet --port /dev/null 1" "--check 1" "--list --format xml" "--check --dry-run" "--check --repeat 2"; do
  status=0
  # shellcheck disable=SC2086
  "$send" $words >/dev/null 2>"$work/usage.err" || status=$?
  expect_status usage 64
done
status=0
"$send" --dry-run 0xA5 >"$work/dry.out" 2>"$work/dry.err" || status=$?
expect_status dry 0
[ "$(grep -vc '^#' "$work/dry.out")" -eq 20 ] || fail "dry: $(grep -vc '^#' "$work/dry.out") changes planned, expected 20"
# A run longer than its clock can count is refused before anything is
# printed, not planned with times that wrap to negative.
status=0
"$send" --dry-run --repeat 200000 --hold-ms 86400000 1 >"$work/long.out" 2>"$work/long.err" || status=$?
expect_status long 64 "the run could last 547 years"
[ ! -s "$work/long.out" ] || fail "long: $(grep -c '^-' "$work/long.out") negative times printed"

echo
if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
