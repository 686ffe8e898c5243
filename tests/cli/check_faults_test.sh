#!/usr/bin/env bash
# check_faults_test.sh SEND WITH_BOARD LIBRARY WORKDIR
#
# shiftlamp-send's ports and doctor over the native simulated board: which
# ports it refuses for what the kernel says of them, --check's latch pulse
# behind an inverting stage and the level it leaves the lines at, other
# programs that share the port, and a standard output that cannot be
# written. The kernel's word comes from a made-up sysfs and console list
# mounted over the real ones in a mount namespace of the test's own: no real
# /dev/ttyS* is ever named.
set -uo pipefail
send=$1 with_board=$2 library=$3 work=$4
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
source "$(dirname "$0")/send_checks.sh"

# board NAME [BOARD_SETTING=VALUE...] -- COMMAND [WORDS...]: COMMAND (bash,
# finding the program in $send, the board in $SHIFTLAMP_BOARD_DEVICE and
# this folder in $work; WORDS are its $0, $1...) with the board; sets
# $status, and leaves the trace in NAME.trace and the output in NAME.out.
board() {
  local name=$1 settings=()
  shift
  while [ "$1" != "--" ]; do settings+=("$1"); shift; done
  shift
  status=0
  "$with_board" --native --library "$library" --dir "$work/$name.d" --trace "$work/$name.trace" \
    --log "$work/$name.out" "${settings[@]}" -- env send="$send" work="$work" bash -c "$@" || status=$?
}

expect() {  # NAME STATUS TEXT...: the status, and each TEXT (a regular expression) in the output
  local name=$1 wanted=$2 text
  shift 2
  [ "$status" -eq "$wanted" ] || fail "$name: exit status $status, expected $wanted: $(cat "$work/$name.out")"
  for text in "$@"; do
    grep -q -- "$text" "$work/$name.out" || fail "$name: '$text' not in: $(cat "$work/$name.out")"
  done
}

# isolated NAME COMMANDS: COMMANDS with the board, in a mount namespace of
# their own (as root, or as a user mapped to root) where a made-up sysfs is
# /sys and a made-up console list /proc/consoles. $number is the board's
# device number ("136:4"), whose folder in the made-up sysfs is made.
cat >"$work/isolated.sh" <<'END'
number=$(stat -L -c '%t %T' "$SHIFTLAMP_BOARD_DEVICE" | { read -r a b; echo $((16#$a)):$((16#$b)); })
mkdir -p "$work/kernel/sys/dev/char/$number"
mount --bind "$work/kernel/sys" /sys && mount --bind "$work/kernel/consoles" /proc/consoles || exit 98
# The made-up kernel names ttyS ports: should anything open one by mistake,
# it finds /dev/null, never the machine's console.
for d in /dev/ttyS*; do [ ! -e "$d" ] || mount --bind /dev/null "$d" || exit 97; done
eval "$1"
END
isolated() {
  rm -rf "$work/kernel/sys/dev"
  mkdir -p "$work/kernel/sys"
  : >"$work/kernel/consoles"
  board "$1" -- 'as=(); [ "$(id -u)" -eq 0 ] || as=(--map-root-user)
    exec unshare --mount --propagation private "${as[@]}" bash "$work/isolated.sh" "$0"' "$2"
}

# A port a kernel console runs on is never opened (77), for a transfer or a
# check (sysfs's console flag: comm_device_posix_test).
isolated consoled 'echo "ttyUSB0  -W- (E  p a)  $number" >"$work/kernel/consoles"
  "$send" --port "$SHIFTLAMP_BOARD_DEVICE" 0x01; echo "transfer: $?"
  "$send" --check --port "$SHIFTLAMP_BOARD_DEVICE"'
expect consoled 77 "refused: a serial port the kernel's console runs on" "^transfer: 77$" \
  "^  open  *never opened: a serial port the kernel's console runs on"
[ ! -s "$work/consoled.trace" ] || fail "consoled: the port was opened: $(head -n 3 "$work/consoled.trace")"

# A placeholder with no UART behind it (type 0) is no port (69), and is
# never opened either.
isolated placeholder 'echo 0 >"$work/kernel/sys/dev/char/$number/type"
  "$send" --port "$SHIFTLAMP_BOARD_DEVICE" 0x01; echo "transfer: $?"
  "$send" --check --port "$SHIFTLAMP_BOARD_DEVICE"'
expect placeholder 69 "^transfer: 69$" ": not usable: no such port"
[ ! -s "$work/placeholder.trace" ] || fail "placeholder: the port was opened"

# --list over a made-up sysfs: the 8250 driver's placeholder (Linux 6.5 on)
# is left out, a real UART of the same driver is listed, and a USB port
# given a console is marked as never opened, device node or not.
isolated list 'tree=$work/kernel/sys serial=devices/platform/serial8250
  mkdir -p "$tree/class/tty/ttyUSB7" "$tree/devices/usb1/1-1/1-1:1.0/ttyUSB7"
  for n in 2 3; do
    mkdir -p "$tree/class/tty/ttyS$n" "$tree/$serial/serial8250:0/serial8250:0.$n"
    ln -s "../../../$serial/serial8250:0/serial8250:0.$n" "$tree/class/tty/ttyS$n/device"
  done
  echo 0 >"$tree/class/tty/ttyS2/type"
  echo 4 >"$tree/class/tty/ttyS3/type"
  ln -s ../../../devices/usb1/1-1/1-1:1.0/ttyUSB7 "$tree/class/tty/ttyUSB7/device"
  echo "ttyUSB7              -W- (E  p a)  188:7" >"$work/kernel/consoles"
  "$send" --list'
expect list 0 "^/dev/ttyS3$" "^/dev/ttyUSB7  console  (never opened: a serial port the kernel's console runs on)$"
! grep -q '^/dev/ttyS2' "$work/list.out" || fail "list: a placeholder listed: $(cat "$work/list.out")"

# --check --invert on an inverting board whose driver raised DTR and RTS at
# open: the lines go idle first, so the latch pulse rises at the register;
# the check ends with DTR and the break clear (the break first: a second
# latch of the same zeros) and the lamps dark.
board inverted SHIFTLAMP_BOARD_INVERT=1 SHIFTLAMP_BOARD_OPEN_DTR=1 SHIFTLAMP_BOARD_OPEN_RTS=1 -- \
  '"$send" --check --invert --port "$SHIFTLAMP_BOARD_DEVICE"'
expect inverted 0 ": usable$"
# Rising edges at the latch behind the inverter: the break going clear.
rises=$(awk '$2 == "BREAK" { if (was == 1 && $3 == 0) n++; was = $3 } END { print n + 0 }' "$work/inverted.trace")
[ "$rises" -eq 2 ] || fail "inverted: $rises rising latch edges, expected 2"
last=$(grep -v '^#' "$work/inverted.trace" | awk '$2 != "close"' | tail -n 2)
[ "$(echo "$last" | awk '{ print $2, $3 }' | paste -sd,)" = "BREAK 0,DTR 0" ] &&
  echo "$last" | tail -n 1 | grep -q 'dtr=0 rts=1 break=0 ' || fail "inverted: the lines ended as: $last"
tail -n 1 "$work/inverted.trace" | grep -q ' close .*outputs=0x00' || fail "inverted: $(tail -n 1 "$work/inverted.trace")"

# Another program with the port open (and no lock): the check warns, naming
# it; the program at the pseudo-terminal's other end is none.
board shared -- 'sleep 30 <>"$SHIFTLAMP_BOARD_DEVICE" & sharer=$!
  "$send" --check --port "$SHIFTLAMP_BOARD_DEVICE"; status=$?; echo "sharer: $sharer"
  kill $sharer; exit $status'
sharer=$(awk '/^sharer:/ { print $2 }' "$work/shared.out")
expect shared 0 ": usable, with 1 warning$" "^  also open  *pid $sharer (sleep) has it open too"

# A standard output that cannot be written: 74, for the list and the check.
status=0
"$send" --list --format tsv >/dev/full 2>"$work/full.out" || status=$?
expect full 74 "standard output could not be written"
board fullcheck -- '"$send" --check --port "$SHIFTLAMP_BOARD_DEVICE" >/dev/full'
expect fullcheck 74 "standard output could not be written"

# --list sends nothing: patterns and transfer options are usage errors
# that name the word.
for words in "0xA5" "--step-ms 1" "--repeat 2" "--invert" "--dry-run"; do
  status=0
  # shellcheck disable=SC2086
  "$send" --list $words >/dev/null 2>"$work/usage.out" || status=$?
  expect usage 64 "${words%% *}"
done

echo
if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
