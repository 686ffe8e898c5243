#!/usr/bin/env bash
# check_wine_test.sh WITH_BOARD PREFIX BOARD_LIBRARY WINE_RUN SEND_EXE WORK_DIR
#
# shiftlamp-send.exe --check and --list under Wine, the board on COM12: a
# CDC-ACM device as Windows records it gets its quirk, --check --invert
# pulses the latch behind an inverting stage and rests the lines, and a
# standard output that cannot be written is status 74.
set -uo pipefail
with_board=$1 prefix=$2 library=$3 wine_run=$4 send=$5 dir=$6
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
rm -f "$dir"/*.trace "$dir"/*.log "$dir"/*.err
source "$(dirname "$0")/send_checks.sh"

# run NAME [BOARD_SETTING=VALUE...] -- ARGS...: shiftlamp-send.exe ARGS with
# the board; $status is its exit status, NAME.log its output.
run() {
  local name=$1 settings=()
  shift
  while [ "$1" != -- ]; do settings+=("$1"); shift; done
  shift
  status=0
  "$with_board" --prefix "$prefix" --library "$library" --port COM12 --dir "$dir" \
    --trace "$dir/$name.trace" --log "$dir/$name.log" "${settings[@]}" -- "$wine_run" "$send" "$@" || status=$?
  [ ! -f "$dir/$name.log" ] || sed -i 's/\r$//' "$dir/$name.log"
}

# The device manager's record of a CDC-ACM device (an Arduino Uno) on COM12,
# as Windows keeps it with its own driver, whose service is usbser: Wine
# makes none for its ports, but reads one planted in the registry.
record='HKLM\System\CurrentControlSet\Enum\USB\VID_2341&PID_0043\85735313233351F0E1B1'
reg_quiet() { "$wine_run" reg "$@" >/dev/null 2>&1; }
trap 'reg_quiet delete "$record" /f' EXIT
reg_quiet add "$record" /v ClassGUID /d '{4D36E978-E325-11CE-BFC1-08002BE10318}' /f &&
  reg_quiet add "$record" /v FriendlyName /d 'USB Serial Device (COM12)' /f &&
  reg_quiet add "$record" /v HardwareID /t REG_MULTI_SZ /d 'USB\VID_2341&PID_0043&REV_0001\0USB\VID_2341&PID_0043' /f &&
  reg_quiet add "$record" /v Mfg /d 'Microsoft' /f &&
  reg_quiet add "$record" /v Service /d usbser /f &&
  reg_quiet add "$record\Device Parameters" /v PortName /d COM12 /f || fail "acm: the device record could not be made"
run acm -- --check --port COM12
[ "$status" -eq 0 ] || fail "acm: status $status: $(cat "$dir/acm.log")"
for finding in '  driver      usbser' 'COM12: usable, with 1 warning'; do
  grep -qxF "$finding" "$dir/acm.log" || fail "acm: no '$finding' in: $(cat "$dir/acm.log")"
done
grep -q '^  quirk  *CDC-ACM: ' "$dir/acm.log" || fail "acm: no quirk: $(cat "$dir/acm.log")"
reg_quiet delete "$record" /f
trap - EXIT

# --check --invert on an inverting board whose driver raised DTR at open:
# the latch rises at the register (the break going clear) for the pulse
# and for the rest, which clears the break before DTR and leaves RTS idle.
run inverted SHIFTLAMP_BOARD_INVERT=1 SHIFTLAMP_BOARD_OPEN_DTR=1 -- --check --invert --port COM12
[ "$status" -eq 0 ] || fail "inverted: status $status: $(cat "$dir/inverted.log")"
rises=$(awk '$2 == "BREAK" { if (was == 1 && $3 == 0) n++; was = $3 } END { print n + 0 }' "$dir/inverted.trace")
[ "$rises" -eq 2 ] || fail "inverted: $rises rising latch edges, expected 2"
last=$(grep -v '^#' "$dir/inverted.trace" | awk '$2 != "close"' | tail -n 2)
[ "$(echo "$last" | awk '{ print $2, $3 }' | paste -sd,)" = "BREAK 0,DTR 0" ] &&
  echo "$last" | tail -n 1 | grep -q 'dtr=0 rts=1 break=0 ' || fail "inverted: the lines ended as: $last"

# A standard output that cannot be written.
status=0
"$with_board" --prefix "$prefix" --library "$library" --port COM12 --dir "$dir" --log "$dir/full.log" -- \
  bash -c 'exec "$@" >/dev/full 2>"$0"' "$dir/full.err" "$wine_run" "$send" --check --port COM12 || status=$?
[ "$status" -eq 74 ] || fail "full: status $status, expected 74: $(cat "$dir/full.err")"
grep -q 'standard output could not be written' "$dir/full.err" || fail "full: $(cat "$dir/full.err")"

[ "$failures" -eq 0 ] && echo "shiftlamp-send.exe --check under Wine: passed"
exit $((failures > 0))
