#!/usr/bin/env bash
# send_wine_test.sh WITH_BOARD PREFIX BOARD_LIBRARY WINE_RUN SEND_EXE WORK_DIR
#
# shiftlamp-send.exe under Wine: the board on COM12, a number the window
# program does not offer, and COM13 a plain pseudo-terminal (the pair's
# other end, without modem lines).
set -uo pipefail
with_board=$1 prefix=$2 library=$3 wine_run=$4 send=$5 dir=$6
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
rm -f "$dir"/*.trace "$dir"/*.log "$dir"/*.err
source "$(dirname "$0")/send_checks.sh"

# run NAME [BOARD_SETTING=VALUE...] -- ARGS...: shiftlamp-send.exe ARGS with
# the board; $status is its exit status, NAME.err its standard error.
run() {
  local name=$1 settings=()
  shift
  while [ "$1" != -- ]; do settings+=("$1"); shift; done
  shift
  status=0
  "$with_board" --prefix "$prefix" --library "$library" --port COM12 --other COM13 --dir "$dir" \
    --trace "$dir/$name.trace" --log "$dir/$name.log" "${settings[@]}" -- \
    bash -c 'err=$1; shift; exec "$@" 2>"$err"' _ "$dir/$name.err" "$wine_run" "$send" "$@" || status=$?
  # Standard output, as a Windows program writes it, with CR LF.
  [ ! -f "$dir/$name.log" ] || sed -i 's/\r$//' "$dir/$name.log"
}

# interrupt NAME FEED -- ARGS...: FEED (a shell command) piped into
# shiftlamp-send.exe ARGS with the board, which gets SIGINT (Ctrl+C, as Wine
# delivers it to a console program) once the first frame has latched.
interrupt() {
  local name=$1 feed=$2
  shift 3
  status=0
  "$with_board" --prefix "$prefix" --library "$library" --port COM12 --other COM13 --dir "$dir" \
    --trace "$dir/$name.trace" --log "$dir/$name.log" -- bash -c 'feed=$1 err=$2; shift 2
      bash -c "$feed" | "$@" 2>"$err" & pid=$!
      for _ in $(seq 300); do grep -q " BREAK 0 " "$SHIFTLAMP_BOARD_TRACE" 2>/dev/null && break; sleep 0.1; done
      sleep 0.3; kill -INT $pid; wait $pid' _ "$feed" "$dir/$name.err" "$wine_run" "$send" "$@" || status=$?
}

run plain -- --port COM12 --step-ms 1 0xA5 0x00 0xFF 0x5A 0x01 0x80
[ "$status" -eq 0 ] || fail "plain: status $status: $(cat "$dir/plain.err")"
got=$(latched "$dir/plain.trace" 1)
[ "$got" = "0xa5 0x00 0xff 0x5a 0x01 0x80 " ] || fail "plain: latched '$got'"

run inverted SHIFTLAMP_BOARD_INVERT=1 SHIFTLAMP_BOARD_OPEN_DTR=1 -- --port com12 --invert --step-ms 1 0xA5 0x3C
[ "$status" -eq 0 ] || fail "inverted: status $status: $(cat "$dir/inverted.err")"
got=$(latched "$dir/inverted.trace" 0)
[ "$got" = "0xa5 0x3c " ] || fail "inverted: latched '$got'"

run nolines -- --port COM13 --step-ms 0 0x01
[ "$status" -eq 74 ] || fail "nolines: status $status, expected 74: $(cat "$dir/nolines.err")"
grep -q '^shiftlamp-send: COM13: .*no modem-control lines' "$dir/nolines.err" || fail "nolines: $(cat "$dir/nolines.err")"

run missing -- --port COM14 0x01
[ "$status" -eq 69 ] || fail "missing: status $status, expected 69: $(cat "$dir/missing.err")"
grep -q '^shiftlamp-send: COM14: ' "$dir/missing.err" || fail "missing: $(cat "$dir/missing.err")"

run badport -- --port LPT1 0x01
[ "$status" -eq 64 ] || fail "badport: status $status, expected 64: $(cat "$dir/badport.err")"

# Counts do not wrap at 2^32 (long is 32 bits on Windows): 2^32 + 1 is no 1.
run count -- --port COM12 --repeat 4294967297 0x01
[ "$status" -eq 64 ] || fail "count: status $status, expected 64: $(cat "$dir/count.err")"
grep -q "'4294967297' is not a count" "$dir/count.err" || fail "count: $(cat "$dir/count.err")"

# --check on the board's port: usable, a time per change that hangs
# together (bench/check_accuracy.sh measures how near it comes to the
# board's setting), the lines left at rest.
# Wine keeps no record of the lines to read back, and its device manager
# has no COM ports: no friendly name, no hardware id.
run check SHIFTLAMP_BOARD_LINE_US=20000 -- --check --port COM12
[ "$status" -eq 0 ] || fail "check: status $status: $(cat "$dir/check.log")"
grep -q '^COM12: usable$' "$dir/check.log" || fail "check: $(cat "$dir/check.log")"
problem=$(per_change_problem "$dir/check.log")
[ -z "$problem" ] || fail "check: time per change: $problem"
echo "check: per-change time $(awk '$1 == "per" && $2 == "change" { print $3 }' "$dir/check.log") ms under Wine for the board's 20 ms"
last=$(grep -v '^#' "$dir/check.trace" | awk '$2 != "close"' | tail -n 1)
echo "$last" | grep -q "dtr=0 rts=0 break=0 " || fail "check: the lines were not left at rest: $last"
run checkbreak SHIFTLAMP_BOARD_BREAK_FAILS=1 -- --check --quiet --port COM12
[ "$status" -eq 74 ] || fail "checkbreak: status $status, expected 74: $(cat "$dir/checkbreak.log")"
# Only the verdict (the log may also hold the host's own complaints, such
# as the loader's about a preload library of the other word size).
[ "$(grep '^COM12' "$dir/checkbreak.log")" = "COM12: not usable: the break does not switch" ] &&
  ! grep -q '^  ' "$dir/checkbreak.log" || fail "checkbreak: $(cat "$dir/checkbreak.log")"
run checkpty -- --check --port COM13
[ "$status" -eq 74 ] || fail "checkpty: status $status, expected 74: $(cat "$dir/checkpty.log")"
grep -q '^  DTR  *could not be switched: the device has no modem-control lines' "$dir/checkpty.log" || fail "checkpty: $(cat "$dir/checkpty.log")"
run checkmissing -- --check --port COM14
[ "$status" -eq 69 ] || fail "checkmissing: status $status, expected 69: $(cat "$dir/checkmissing.log")"
run list -- --list --format tsv
awk -F'\t' '$1 == "COM12" && NF == 9 { found = 1 } END { exit !found }' "$dir/list.log" ||
  fail "list: no tsv line of nine fields for COM12: $(head -c 300 "$dir/list.log")"

# The device manager's record of a CH340 adapter on COM12, as Windows keeps
# it: Wine makes none for its ports, but reads one planted in the registry.
# --list and --check name the adapter and give its quirk.
record='HKLM\System\CurrentControlSet\Enum\USB\VID_1A86&PID_7523\5&1A2B3C4D&0&2'
reg_quiet() { "$wine_run" reg "$@" >/dev/null 2>&1; }
trap 'reg_quiet delete "$record" /f' EXIT
reg_quiet add "$record" /v ClassGUID /d '{4D36E978-E325-11CE-BFC1-08002BE10318}' /f &&
  reg_quiet add "$record" /v FriendlyName /d 'USB-SERIAL CH340 (COM12)' /f &&
  reg_quiet add "$record" /v HardwareID /t REG_MULTI_SZ /d 'USB\VID_1A86&PID_7523&REV_0264\0USB\VID_1A86&PID_7523' /f &&
  reg_quiet add "$record" /v Mfg /d 'wch.cn' /f &&
  reg_quiet add "$record" /v Service /d CH341SER_A64 /f &&
  reg_quiet add "$record\Device Parameters" /v PortName /d COM12 /f || fail "named: the device record could not be made"
run named -- --list
grep -qxF 'COM12  USB-SERIAL CH340 (COM12)  usb 1a86:7523  wch.cn  CH341SER_A64  USB\VID_1A86&PID_7523&REV_0264' \
  "$dir/named.log" || fail "named: --list says: $(grep '^COM12 ' "$dir/named.log")"
run namedcheck -- --check --port com12
[ "$status" -eq 0 ] || fail "namedcheck: status $status: $(cat "$dir/namedcheck.log")"
for finding in '  name        USB-SERIAL CH340 (COM12)' '  usb         1a86:7523, wch.cn' \
  '  driver      CH341SER_A64' '  hardware    USB\VID_1A86&PID_7523&REV_0264' 'com12: usable, with 1 warning'; do
  grep -qxF "$finding" "$dir/namedcheck.log" || fail "namedcheck: no '$finding' in: $(cat "$dir/namedcheck.log")"
done
grep -q '^  quirk  *CH340: the driver imitates a break' "$dir/namedcheck.log" || fail "namedcheck: no quirk: $(cat "$dir/namedcheck.log")"
reg_quiet delete "$record" /f
trap - EXIT

# Ctrl+C while the next frame is on its way through a pipe, half its line
# read: the frame before it stands, the half is never sent, status 130.
# The line's end comes well after the first frame has latched, not a set
# time after the feed starts: Wine may take longer than that to start the
# program (in an emulated machine it did, and the line arrived whole).
interrupt halfline "printf '1\\n12'
  for _ in \$(seq 600); do grep -q ' BREAK 0 ' \"\$SHIFTLAMP_BOARD_TRACE\" 2>/dev/null && break; sleep 0.1; done
  sleep 8; printf '8\\n'" -- --port COM12 --step-ms 0 -
[ "$status" -eq 130 ] || fail "halfline: status $status, expected 130: $(cat "$dir/halfline.err")"
got=$(latched "$dir/halfline.trace" 1)
[ "$got" = "0x01 " ] || fail "halfline: latched '$got', expected '0x01 '"

# The same from the console: with a terminal for its input (script(1)'s
# pseudo-terminal), Wine gives the program a console, and Ctrl+C typed
# there ends a console read that has half a line.
status=0
"$with_board" --prefix "$prefix" --library "$library" --port COM12 --other COM13 --dir "$dir" \
  --trace "$dir/console.trace" --log "$dir/console.log" -- bash -c '
    seen() { for _ in $(seq 300); do grep -q "$1" "$SHIFTLAMP_BOARD_TRACE" 2>/dev/null && return; sleep 0.1; done; }
    # Typed once the program has opened the port: what comes before its
    # console is set up is dropped.
    { seen " open "; sleep 0.5; printf "1\r"; seen " BREAK 0 "
      printf 12; sleep 0.5; printf "\003"; sleep 5; } |
    script -qec "$(printf "%q " "$@")" /dev/null' _ "$wine_run" "$send" --port COM12 --step-ms 0 - || status=$?
[ "$status" -eq 130 ] || fail "console: status $status, expected 130: $(tail -c 300 "$dir/console.log")"
got=$(latched "$dir/console.trace" 1)
[ "$got" = "0x01 " ] || fail "console: latched '$got', expected '0x01 '"

[ "$failures" -eq 0 ] && echo "shiftlamp-send.exe under Wine: passed"
exit $((failures > 0))
