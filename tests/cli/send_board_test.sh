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

# The files of the case NAME, less its spaces and slashes ("shiftlamp-send
# --check 1" is a name too).
files_of() { local name=${1// /_}; echo "$work/${name//\//_}"; }

expect_status() {  # NAME STATUS [TEXT]
  local err
  err=$(files_of "$1").err
  [ "$status" -eq "$2" ] || fail "$1: exit status $status, expected $2 ($(cat "$err"))"
  if [ $# -ge 3 ]; then
    grep -qF -- "$3" "$err" || fail "$1: '$3' not in: $(cat "$err")"
  fi
  if [ "$2" -ne 0 ]; then
    local lines
    lines=$(wc -l <"$err")
    [ "$lines" -eq 1 ] || fail "$1: $lines lines on standard error, expected one"
    grep -q '^shiftlamp-send: ' "$err" || fail "$1: message without the program's name"
  fi
}

# early_changes TRACE STEP_MS: how many line changes in TRACE came less than
# STEP_MS after the one before (DTR and RTS set in one call share a stamp).
early_changes() {
  awk -v step="$2" '$2 == "DTR" || $2 == "RTS" || $2 == "BREAK" {
      if (last && $1 != last && $1 - last < step * 1000000) n++; last = $1 }
    END { print n + 0 }' "$1"
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

# Slow lines (1 ms a change, a USB adapter's) latch the same frames, and a
# step counts from when the slow call returned, as the line changed: no
# change comes less than a step after the one before.
board slow SHIFTLAMP_BOARD_LINE_US=1000 -- --step-ms 2 0xA5 0x3C
expect_status slow 0
expect_latched slow 1 "0xa5 0x3c "
early=$(early_changes "$work/slow.trace" 2)
[ "$early" -eq 0 ] || fail "slow: $early changes less than a step (2 ms) after the one before"

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

# interrupt NAME WHEN FEED -- ARGS...: FEED (a shell command) piped into
# shiftlamp-send --port <the board> ARGS, which gets SIGINT once WHEN (a
# shell command, the program's process id in $pid) returns; $status is its
# exit status, the files are named as board()'s.
interrupt() {
  local name=$1 when=$2 feed=$3
  shift 4
  status=0
  "$with_board" --native --library "$library" --dir "$work/$name.d" --trace "$work/$name.trace" \
    --log "$work/$name.log" -- bash -c 'feed=$1 when=$2 out=$3 err=$4 send=$5; shift 5
      bash -c "$feed" | "$send" --port "$SHIFTLAMP_BOARD_DEVICE" "$@" >"$out" 2>"$err" & pid=$!
      eval "$when"; kill -INT $pid; wait $pid' _ "$feed" "$when" "$work/$name.out" "$work/$name.err" "$send" "$@" ||
    status=$?
}
first_latch="await_trace '\$2 == \"BREAK\" && \$3 == 0 { found = 1; exit } END { exit !found }'"
# reading_input PID FED: waits until FED exists (the feed has written) and
# the pipe of PID's standard input holds nothing unread (FIONREAD): it has
# read all that was written, and waits for more.
reading_input() {
  local tries
  for ((tries = 0; tries < 6000; tries++)); do
    [ -e "$2" ] && [ "$(perl -e 'use Fcntl; require "sys/ioctl.ph"; my ($f, $n) = (undef, pack("i", -1));
        sysopen($f, $ARGV[0], O_RDONLY | O_NONBLOCK) && ioctl($f, FIONREAD(), $n); print unpack("i", $n)' \
        "/proc/$1/fd/0" 2>/dev/null)" = 0 ] && return 0
    sleep 0.01
  done
  echo "reading_input: $1 was never seen waiting for input" >&2
  return 1
}
export -f reading_input

# Ctrl+C: in the middle of an endless run, the frame in progress is
# finished and latched, the port closed, status 130. While the next frame
# is still on its way through a pipe, with half its line read, the frames
# before it stand and the half is never sent. While a repeating run reads
# its frames, nothing is sent and the port never opens. A read error is no
# end of the input.
# (Signalled once the trace shows the second frame begun.)
interrupt interrupted "await_trace '\$2 == \"BREAK\" && \$3 == 0 { latched = 1 } latched && \$2 == \"DTR\" { found = 1; exit } END { exit !found }'" \
  : -- --step-ms 1 --repeat 0 0x0F 0xF0
expect_status interrupted 130 "interrupted; frame "
last=$(grep -v '^#' "$work/interrupted.trace" | awk '$2 != "close"' | tail -n 2 | awk '{ print $2, $3, $4, $6 }' | tr '\n' ' ')
[ "$last" = "BREAK 0 dtr=1 break=0 DTR 0 dtr=0 break=0 " ] || fail "interrupted: the register was left mid-frame: $last"
tail -n 1 "$work/interrupted.trace" | grep -q ' close ' || fail "interrupted: the port was not closed"
interrupt halfline "$first_latch" "printf '1\\n12'; $first_latch; sleep 5; printf '8\\n'" -- --step-ms 0 -
expect_status halfline 130 "interrupted"
expect_latched halfline 1 "0x01 "
interrupt reading "reading_input \$pid '$work/reading.fed'" "printf '1\\n2\\n'; touch '$work/reading.fed'; sleep 5" \
  -- --step-ms 0 --repeat 2 -
expect_status reading 130 "interrupted before any frame was sent"
! grep -q ' open ' "$work/reading.trace" 2>/dev/null || fail "reading: the port was opened"
status=0
"$send" --dry-run - </ >/dev/null 2>"$work/unreadable.err" || status=$?
expect_status unreadable 74 "standard input could not be read"

# A stall (the program stopped for 150 ms once the trace shows the first
# frame begun) only stretches the frame: every change still comes at least
# one step after the one before. The stop must have landed between two
# changes, or the case proves nothing.
status=0
"$with_board" --native --library "$library" --dir "$work/stall.d" --trace "$work/stall.trace" -- bash -c '
  "$0" --port "$SHIFTLAMP_BOARD_DEVICE" --step-ms 20 0x55 0xAA 2>"$1" & pid=$!
  await_trace '"'"'$2 == "DTR" || $2 == "RTS" { n++ } END { exit !(n >= 3) }'"'"'
  kill -STOP $pid; sleep 0.15; kill -CONT $pid; wait $pid' "$send" "$work/stall.err" || status=$?
expect_status stall 0
expect_latched stall 1 "0x55 0xaa "
early=$(early_changes "$work/stall.trace" 20)
[ "$early" -eq 0 ] || fail "stall: $early changes less than a step (20 ms) after the one before"
awk '$2 == "DTR" || $2 == "RTS" || $2 == "BREAK" { if (last && $1 - last >= 150000000) found = 1; last = $1 }
  END { exit !found }' "$work/stall.trace" || fail "stall: the stop did not land between two changes"

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
# locked_by PID DEVICE: waits until /proc/locks shows PID's flock on DEVICE
# (its inode, whatever file system holds it); fails after 30 s.
locked_by() {
  local tries inode
  inode=$(stat -L -c %i "$2") || return 1
  for ((tries = 0; tries < 3000; tries++)); do
    awk -v pid="$1" -v inode="$inode" '$2 == "FLOCK" && $5 == pid && $6 ~ (":" inode "$") { found = 1 }
      END { exit !found }' /proc/locks && return 0
    sleep 0.01
  done
  echo "locked_by: no lock of $1 on $2" >&2
  return 1
}
export -f locked_by
status=0
"$with_board" --native --library "$library" --dir "$work/busy.d" -- bash -c '
  flock "$SHIFTLAMP_BOARD_DEVICE" sleep 10 & holder=$!
  locked_by $holder "$SHIFTLAMP_BOARD_DEVICE" || exit 99
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
# even as root.
status=0
"$send" --port /dev/ptmx 0x01 2>"$work/ptmx.err" || status=$?
expect_status ptmx 77 "/dev/ptmx: refused: a console or another terminal of the system"

# --list over a tty class made up for it (a mount namespace of its own with
# a tmpfs on /sys/class/tty): a built-in port the kernel's console runs on,
# marked as never opened, and a USB adapter with its ids; in tsv, nine
# fields with the device first.
# list NAME ARGS...: $status, and the listing in $work/NAME.out.
list() {
  local name=$1 as=(--map-root-user)
  shift
  [ "$(id -u)" -ne 0 ] || as=()
  status=0
  unshare "${as[@]}" --mount --propagation private bash -c '
    mount -t tmpfs tty-class /sys/class/tty && cd /sys/class/tty || exit 99
    for d in /dev/ttyS*; do [ ! -e "$d" ] || mount --bind /dev/null "$d" || exit 99; done  # a ttyS is named below
    mkdir -p platform/00:05 usb/1-1/1-1:1.0 ttyS5 ttyUSB3
    printf "4\n" >ttyS5/type; printf "Y\n" >ttyS5/console
    printf "1a86\n" >usb/1-1/idVendor; printf "7523\n" >usb/1-1/idProduct
    ln -s ../platform/00:05 ttyS5/device; ln -s ../usb/1-1/1-1:1.0 ttyUSB3/device
    exec "$@"' list "$send" --list "$@" >"$work/$name.out" 2>"$work/$name.err" || status=$?
  [ "$status" -ne 99 ] || fail "$name: no tty class could be made up: $(cat "$work/$name.err")"
}
list listed
expect_status listed 0
grep -q "^/dev/ttyS5 .*never opened: a serial port the kernel's console runs on" "$work/listed.out" ||
  fail "listed: no /dev/ttyS5 marked as never opened in: $(cat "$work/listed.out")"
grep -q '^/dev/ttyUSB3 .*1a86:7523' "$work/listed.out" || fail "listed: no /dev/ttyUSB3 with its ids in: $(cat "$work/listed.out")"
list listedtsv --format tsv
expect_status listedtsv 0
awk -F'\t' 'NF != 9 { bad = 1 } { devices = devices $1 " " } END { exit bad || devices != "/dev/ttyS5 /dev/ttyUSB3 " }' \
  "$work/listedtsv.out" || fail "listedtsv: not two lines of nine fields, /dev/ttyS5 and /dev/ttyUSB3 first: $(cat "$work/listedtsv.out")"

# --check over the board: usable, with a time per change that hangs
# together; every line back at rest when the port closes, also with an
# inverting stage (rest is then high).
board check SHIFTLAMP_BOARD_LINE_US=2000 -- --check
expect_check check 0 "usable$" "^  DTR  *switches: set and cleared, and the driver reports both"
grep -q "^  break  *sets and clears" "$work/check.out" || fail "check: no break finding: $(cat "$work/check.out")"
problem=$(per_change_problem "$work/check.out")
[ -z "$problem" ] || fail "check: time per change: $problem"
echo "check: per-change time $(awk '$1 == "per" && $2 == "change" { print $3 }' "$work/check.out") ms for the board's 2 ms"
expect_rest check 0
board checkinverted SHIFTLAMP_BOARD_INVERT=1 -- --check --invert --quiet
expect_check checkinverted 0 "usable$"
[ "$(wc -l <"$work/checkinverted.out")" -eq 1 ] || fail "checkinverted: --quiet printed more than the verdict"
# (At rest under invert DTR and the break are clear, RTS idle.)
grep -v '^#' "$work/checkinverted.trace" | awk '$2 != "close"' | tail -n 1 | grep -q "dtr=0 rts=1 break=0 " ||
  fail "checkinverted: the lines were not left at rest"

# Each fault of the board, with its finding and the status a transfer would
# get; whatever failed, the other lines end at rest.
board breakfails SHIFTLAMP_BOARD_BREAK_FAILS=1 -- --check
expect_check breakfails 74 "not usable: the break does not switch" "^  break  *could not be switched: "
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
expect_check checkpty 74 "not usable: no modem-control lines" "^  DTR  *could not be switched: the device has no modem-control lines"
status=0
"$with_board" --native --library "$library" --dir "$work/checkbusy.d" -- bash -c '
  flock "$SHIFTLAMP_BOARD_DEVICE" sleep 10 & holder=$!
  locked_by $holder "$SHIFTLAMP_BOARD_DEVICE" || exit 99
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

# Ctrl+C in the middle of the timed changes (50 ms each), signalled once
# the trace shows them begun (DTR switching after RTS has): 130, lines at
# rest; the break, which comes after them, never tried.
SHIFTLAMP_BOARD_LINE_US=50000 interrupt checkint \
  "await_trace '\$2 == \"RTS\" { rts = 1 } rts && \$2 == \"DTR\" { n++ } END { exit !(n >= 2) }'" : -- --check
[ "$status" -eq 130 ] || fail "checkint: exit status $status, expected 130: $(cat "$work/checkint.out")"
grep -q ": not usable: interrupted" "$work/checkint.out" || fail "checkint: $(cat "$work/checkint.out")"
! grep -q ' BREAK ' "$work/checkint.trace" || fail "checkint: the timed changes had ended before the interrupt"
expect_rest checkint 0

# Usage errors name the word refused (after the |), each case by its
# command line; a dry run opens nothing and plans 20 calls for the first
# frame.
for usage in "--port /dev/null 0x100|'0x100'" "--quiet --port /dev/null 1|--quiet" "--check 1|'1'" \
  "--list --format xml|'xml'" "--check --dry-run|--check" "--check --repeat 2|--repeat" "--check --step-ms 1|--step-ms" \
  "--check --hold-ms 5|--hold-ms" "--check --trace $work/check.vcd|--trace"; do
  words=${usage%|*}
  status=0
  # shellcheck disable=SC2086
  "$send" $words >/dev/null 2>"$(files_of "shiftlamp-send $words").err" || status=$?
  expect_status "shiftlamp-send $words" 64 "${usage##*|}"
done
[ ! -e "$work/check.vcd" ] || fail "shiftlamp-send --check --trace: the trace was written"
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
