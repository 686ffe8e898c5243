#!/usr/bin/env bash
# chain_test.sh SEND WITH_BOARD LIBRARY WORKDIR
# chain_test.sh --wine WITH_BOARD PREFIX LIBRARY WINE_RUN SEND_EXE WORKDIR
#
# shiftlamp-send with a chain of registers on the simulated board, natively
# or as the Windows console program under Wine: what each chain latches,
# patterns wider than the chain, and the device calls a frame costs.
set -uo pipefail
if [ "$1" = --wine ]; then
  wine=1 with_board=$2 prefix=$3 library=$4 wine_run=$5 send=$6 work=$7
else
  wine=0 send=$1 with_board=$2 library=$3 work=$4
fi
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
source "$(dirname "$0")/send_checks.sh"

# run NAME [SETTING=VALUE...] -- ARGS...: shiftlamp-send --port <the board>
# ARGS; $status, NAME.trace, NAME.err (standard input is the caller's).
run() {
  local name=$1 settings=()
  shift
  while [ "$1" != -- ]; do settings+=("$1"); shift; done
  shift
  status=0
  if [ $wine = 1 ]; then
    "$with_board" --prefix "$prefix" --library "$library" --port COM12 --dir "$work/$name.d" \
      --trace "$work/$name.trace" --log "$work/$name.log" "${settings[@]}" -- \
      bash -c 'err=$1; shift; exec "$@" 2>"$err"' _ "$work/$name.err" "$wine_run" "$send" --port COM12 "$@" ||
      status=$?
  else
    "$with_board" --native --library "$library" --dir "$work/$name.d" --trace "$work/$name.trace" \
      --log "$work/$name.log" "${settings[@]}" -- \
      bash -c 'err=$1; shift; exec "$0" --port "$SHIFTLAMP_BOARD_DEVICE" "$@" 2>"$err"' "$send" "$work/$name.err" "$@" ||
      status=$?
  fi
}

# pattern N SEED: 2N hexadecimal digits, the same for the same arguments.
pattern() {
  awk -v n="$1" -v seed="$2" 'BEGIN { srand(seed); for (i = 0; i < 2 * n; i++) printf "%x", int(rand() * 16) }'
}

# Each chain latches exactly the frames asked for, the last register's
# digits first; behind an inverter too; the count from $SHIFTLAMP_REGISTERS
# as from --registers; underscores anywhere between digits.
for n in 1 2 3 16 128; do
  for invert in 0 1; do
    [ $invert = 0 ] || [ $n = 3 ] || [ $n = 128 ] || continue
    a=$(pattern $n $((n + invert))) b=$(pattern $n $((n * 7 + invert)))
    flag=$([ $invert = 1 ] && echo --invert)
    name=chain$n-$invert
    if [ $n = 2 ]; then
      run $name SHIFTLAMP_BOARD_REGISTERS=$n SHIFTLAMP_REGISTERS=2 -- --step-ms 0 0x${a:0:1}_${a:1} 0x$b
    else
      run $name SHIFTLAMP_BOARD_REGISTERS=$n SHIFTLAMP_BOARD_INVERT=$invert -- --registers $n --step-ms 0 \
        ${flag:+"$flag"} 0x${a:0:1}_${a:1} 0x$b
    fi
    [ "$status" -eq 0 ] || fail "$name: status $status: $(cat "$work/$name.err")"
    got=$(latched "$work/$name.trace" $((1 - invert)))
    [ "$got" = "0x$a 0x$b " ] || fail "$name: latched '$got', expected '0x$a 0x$b '"
    last=$(grep -v '^#' "$work/$name.trace" | awk '$2 != "close"' | tail -n 1)
    echo "$last" | grep -q "dtr=0 " || fail "$name: the clock was not left at rest: $last"
  done
done

# A pattern wider than the chain is a usage error naming it, from the
# command line (hex, binary or decimal) or from standard input, and nothing
# is sent.
for wide in "2 0x1_0000" "1 0b1_0000_0000" "2 65536" "1 18446744073709551615"; do
  set -- $wide
  run wide-$1-$2 -- --registers $1 0x01 $2 </dev/null
  [ "$status" -eq 64 ] && grep -qF "'$2' is wider than the chain" "$work/wide-$1-$2.err" ||
    fail "wide $wide: status $status: $(cat "$work/wide-$1-$2.err")"
  ! grep -q ' open ' "$work/wide-$1-$2.trace" 2>/dev/null || fail "wide $wide: the port was opened"
done
printf '0x3C\n0x100\n' | run wide-input -- --step-ms 0 -
[ "$status" -eq 64 ] && grep -qF "line 2: '0x100' is wider than the chain" "$work/wide-input.err" &&
  [ "$(latched "$work/wide-input.trace" 1)" = "0x3c " ] || fail "wide-input: status $status: $(cat "$work/wide-input.err")"

# Within a run a frame costs 16N + 2 device calls: each bit its data with
# the clock's fall, then the rise; the latch two. Where DTR and RTS go in
# one call (termios) that holds for every pattern; the Windows program sets
# one line a call and moves data only where a bit differs from the one
# before: 16N + 2 for steady bits (0xFF...), 24N + 2 for alternating ones
# (0x55...). Every call moves a line, and the lines one call moves share a
# stamp, so the trace's stamps count the calls from the first frame's latch
# to the last one's.
for n in 1 3; do
  for digit in 5 F; do
    run calls$n$digit SHIFTLAMP_BOARD_REGISTERS=$n -- --registers $n --step-ms 0 --repeat 5 \
      0x$(printf "$digit%.0s" $(seq $((2 * n))))
    calls=$(awk '$2 == "DTR" || $2 == "RTS" || $2 == "BREAK" { if ($1 != stamp) i++; stamp = $1
        if ($2 == "BREAK" && $3 == 0) { if (!first) first = i; last = i } }
      END { print last - first }' "$work/calls$n$digit.trace")
    per=$((16 * n + 2))
    if [ "$wine" = 1 ] && [ $digit = 5 ]; then per=$((24 * n + 2)); fi
    [ "$status" -eq 0 ] && [ "$calls" = $((4 * per)) ] ||
      fail "calls$n$digit: status $status, $calls device calls in 4 frames after the first, expected $((4 * per))"
  done
done

# --check with the last QH' wired back: found on each input line (RI
# through an inverter), the chain measured, and never a latch pulse, so the
# outputs keep what they showed; a chain shorter than --registers says, a
# stuck stage and no loopback at all; an input that reports 1 ms late.
# check NAME EXPECTED_STATUS TEXT [SETTING=VALUE...]
check() {
  local name=$1 want=$2 text=$3
  shift 3
  run "$name" "$@" -- --check --registers 3
  [ ! -f "$work/$name.log" ] || sed -i 's/\r$//' "$work/$name.log"
  [ "$status" -eq "$want" ] && grep -qF -- "$text" "$work/$name.log" ||
    fail "$name: status $status (expected $want), '$text' not in: $(cat "$work/$name.log" "$work/$name.err")"
}
for line in cts dsr dcd ri; do
  upper=$(echo $line | tr a-z A-Z)
  invert=$([ $line = ri ] && echo 1 || echo 0)
  check loop-$line 0 "register    3 chained registers (24 outputs) answer on $upper" \
    SHIFTLAMP_BOARD_REGISTERS=3 SHIFTLAMP_BOARD_QH=$line SHIFTLAMP_BOARD_QH_INVERT=$invert
  ! grep -q ' BREAK ' "$work/loop-$line.trace" && tail -n 1 "$work/loop-$line.trace" | grep -q 'outputs=0x000000 ' ||
    fail "loop-$line: latched: $(grep -v '^#' "$work/loop-$line.trace" | grep -m1 ' BREAK ')"
done
check loop-short 74 "the chain is 16 outputs long, --registers says 3 (24)" SHIFTLAMP_BOARD_REGISTERS=2 SHIFTLAMP_BOARD_QH=cts
check loop-stuck 74 "comes back stuck at 1 on CTS" SHIFTLAMP_BOARD_REGISTERS=3 SHIFTLAMP_BOARD_QH=cts SHIFTLAMP_BOARD_STUCK=13:1
check loop-none 0 "nothing answers on CTS, DSR, DCD or RI" SHIFTLAMP_BOARD_REGISTERS=3
grep -q ' BREAK ' "$work/loop-none.trace" || fail "loop-none: no latch pulse where nothing answers"
check loop-late 0 "answer on CTS: every bit comes back" SHIFTLAMP_BOARD_REGISTERS=3 SHIFTLAMP_BOARD_QH=cts \
  SHIFTLAMP_BOARD_LINE_US=1000
grep -Eq 'an input change showed within (0\.9|1\.)' "$work/loop-late.log" || fail "loop-late: the delay not said: $(cat "$work/loop-late.log")"

[ "$failures" -eq 0 ] || exit 1
echo "chain_test: all passed"
