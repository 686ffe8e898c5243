#!/usr/bin/env bash
# board_wine_test.sh WITH_BOARD PREFIX BOARD_LIBRARY WINE_RUN DRIVE_EXE LINES_EXE WORK_DIR CASE [BOARD_VCD]
#
# The simulated board under Wine, through tools/board/with_board.sh: COM6 is
# the board's port, COM7 a plain pseudo-terminal (the other end of the
# pair), and the product's transfer or the serial layer drives them. The
# board's trace says what the register received.
#
# CASE:
#   patterns           LED patterns sent with invert off reach the outputs
#   patterns-inverted  the same with invert on, the board wired through an
#                      inverter
#   dtr-at-open        a driver that raises DTR on open, invert off and on
#   close-orders       a driver that clears the lines at close, in each
#                      order it may (SHIFTLAMP_BOARD_CLOSE), invert off
#   close-orders-inverted  the same with invert on, the board inverting
#   timing             at least 10 ms between line changes, and after the last
#   lines              each line call under Wine, and the plain port
#   vcd                the trace converted by BOARD_VCD and read by sigrok,
#                      of one register and of a chain of two
set -euo pipefail
with_board=$1 prefix=$2 library=$3 wine_run=$4 drive=$5 lines_exe=$6 dir=$7 case=$8 board_vcd=${9:-}
board_port=COM6 other_port=COM7

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
rm -f "$dir"/*.trace "$dir"/*.log

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# on_board TRACE [VAR=VALUE...] -- WINDOWS_PROGRAM ARGS...
on_board() {
  local trace=$1
  shift
  local settings=()
  while [ "$1" != -- ]; do settings+=("$1"); shift; done
  shift
  "$with_board" --prefix "$prefix" --library "$library" --port "$board_port" --other "$other_port" \
    --dir "$dir" --trace "$trace" --log "${trace%.trace}.log" "${settings[@]}" -- "$wine_run" "$@"
}

# The outputs at each close, one per line, as bare hexadecimal.
outputs_at_close() {
  awk '$2 == "close" { for (i = 3; i <= NF; i++) if ($i ~ /^outputs=/) print substr($i, 11) }' "$1"
}

# expect_patterns TRACE PATTERN...: each transfer left its pattern.
expect_patterns() {
  local trace=$1
  shift
  local got
  got=$(outputs_at_close "$trace" | tr '\n' ' ')
  [ "$got" = "$* " ] || fail "outputs after each transfer: got '$got', wanted '$* '"
}

# Rising edges at the register's pins (line level XOR invert) per transfer:
# "SRCLK RCLK", one line per transfer. Outputs changing at anything but a
# rising RCLK are reported on their own lines as "stray".
pin_edges() {
  awk -v invert="$2" '
    /^#/ { next }
    {
      outputs = ""
      for (i = 4; i <= NF; i++) if ($i ~ /^outputs=/) outputs = $i
      if (seen && outputs != last && !($2 == "BREAK" && ($3 + invert) % 2 == 1)) print "stray", $0
      seen = 1; last = outputs
    }
    $2 == "open" { clock = 0; latch = 0 }
    $2 == "DTR" && ($3 + invert) % 2 == 1 { clock++ }
    $2 == "BREAK" && ($3 + invert) % 2 == 1 { latch++ }
    $2 == "close" { print clock, latch }' "$1"
}

# expect_edges TRACE INVERT TRANSFERS: eight clocks and one latch each. With
# invert the transfer then leaves DTR and the break clear, a ninth clock and
# a second latch at the register.
expect_edges() {
  local got wanted
  got=$(pin_edges "$1" "$2" | tr '\n' ' ')
  wanted=$(for _ in $(seq "$3"); do printf '%s ' "$((8 + $2)) $((1 + $2))"; done)
  [ "$got" = "$wanted" ] || fail "clock and latch edges per transfer: got '$got', wanted '$wanted'"
}

patterns=(a5 00 ff 01 80 3c 5a)

case $case in
  patterns | patterns-inverted)
    invert=0
    [ "$case" = patterns-inverted ] && invert=1
    trace=$dir/$case.trace
    on_board "$trace" SHIFTLAMP_BOARD_INVERT=$invert -- "$drive" "$board_port" $invert 1 "${patterns[@]}" ||
      fail "the driver failed"
    expect_patterns "$trace" "${patterns[@]}"
    expect_edges "$trace" $invert ${#patterns[@]}
    ;;
  dtr-at-open)
    for invert in 0 1; do
      trace=$dir/dtr-at-open-$invert.trace
      on_board "$trace" SHIFTLAMP_BOARD_INVERT=$invert SHIFTLAMP_BOARD_OPEN_DTR=1 -- \
        "$drive" "$board_port" $invert 2 a5 3c || fail "the driver failed (invert $invert)"
      expect_patterns "$trace" a5 3c a5 3c
      # The driver really raised it, at every open: each transfer leaves DTR
      # clear, invert or not.
      raised=$(awk '/^#/ { next } prev == "open" && $2 == "DTR" && $3 == 1 { n++ } { prev = $2 } END { print n + 0 }' "$trace")
      [ "$raised" = 4 ] || fail "DTR raised at $raised opens, wanted 4 (invert $invert)"
    done
    ;;
  close-orders | close-orders-inverted)
    # Whatever the driver clears at close, and in whichever order, the
    # outputs keep the frame: with invert a cleared DTR or break would
    # otherwise be a rising clock or latch at the register.
    invert=0
    [ "$case" = close-orders-inverted ] && invert=1
    for order in drop break,dtr,rts dtr,rts keep; do
      trace=$dir/close-$order.trace
      on_board "$trace" SHIFTLAMP_BOARD_INVERT=$invert SHIFTLAMP_BOARD_CLOSE=$order -- \
        "$drive" "$board_port" $invert 1 a5 81 || fail "the driver failed (close $order)"
      expect_patterns "$trace" a5 81
      expect_edges "$trace" $invert 2
      # The transfer itself left DTR and the break clear: keep shows it.
      awk '$2 == "close" && !/dtr=0 rts=[01] break=0/ { bad = 1 } END { exit bad }' "$trace" ||
        fail "DTR or the break still set after a close (close $order)"
    done
    ;;
  timing)
    # Patterns ending in LED 1 off: the next open then changes no line, so
    # every change recorded is one of the transfer's steps.
    trace=$dir/timing.trace
    on_board "$trace" -- "$drive" "$board_port" 0 3 a4 5a fe 00 || fail "the driver failed"
    short=$(awk '
      /^#/ { next }
      $2 == "open" { previous = 0; next }
      previous && ($1 - previous) < 9500000 {
        printf "%s %s after %.3f ms\n", $2, $3, ($1 - previous) / 1e6
      }
      { previous = $1 }' "$trace")
    [ -z "$short" ] || fail "line changes closer than 10 ms: $short"
    steps=$(grep -cE '^[0-9]+ (DTR|RTS|BREAK) ' "$trace" || true)
    [ "$steps" -ge $((12 * 18)) ] || fail "only $steps line changes in 12 transfers"
    ;;
  lines)
    # QH' stuck at 0 through an inverter to RI (MS_RING_ON), then stuck at 1
    # to CTS (MS_CTS_ON).
    loopbacks=("SHIFTLAMP_BOARD_QH=ri SHIFTLAMP_BOARD_QH_INVERT=1 SHIFTLAMP_BOARD_STUCK=8:0 SHIFTLAMP_TEST_MODEM_STATUS=64"
      "SHIFTLAMP_BOARD_QH=cts SHIFTLAMP_BOARD_STUCK=8:1 SHIFTLAMP_TEST_MODEM_STATUS=16")
    for dtr in 0 1; do
      trace=$dir/lines-$dtr.trace
      # shellcheck disable=SC2086 # the settings are words
      on_board "$trace" SHIFTLAMP_BOARD_OPEN_DTR=$dtr ${loopbacks[dtr]} \
        SHIFTLAMP_TEST_BOARD_PORT=$board_port SHIFTLAMP_TEST_OTHER_PORT=$other_port \
        SHIFTLAMP_TEST_TRACE="Z:$trace" -- "$lines_exe" || fail "serial layer on the board (DTR at open $dtr)"
    done
    ;;
  vcd)
    # sigrok reads the waveform: its SPI decoder (clock DTR, data RTS, most
    # significant bit first, which is LED 8) gives back each byte, and the
    # Q wires end at the board's outputs. 0x4e is no palindrome in bits, so
    # a reversed order shows. On a chain of two the second transfer pushes
    # the first on into the second register: Q1..Q16 end at 0xa54e.
    decode() {  # decode VCD: the bytes SPI gives, lower case, one line
      sigrok-cli -I vcd -i "$1" -P spi:clk=DTR:mosi=RTS -A spi=mosi-data | awk '{ printf "%s ", tolower($2) }'
    }
    for registers in 2 1; do
      trace=$dir/vcd-$registers.trace
      on_board "$trace" SHIFTLAMP_BOARD_REGISTERS=$registers -- "$drive" "$board_port" 0 1 a5 4e ||
        fail "the driver failed"
      "$board_vcd" "$trace" "$dir/vcd.vcd" || fail "board_vcd failed"
      got=$(decode "$dir/vcd.vcd")
      [ "$got" = "a5 4e " ] || fail "sigrok decoded '$got', wanted 'a5 4e '"
      # The last sample of Q1..Q(8N), as hexadecimal with Q1 in bit 0.
      q=$(sigrok-cli -I vcd -i "$dir/vcd.vcd" -O csv:header=false:label=off \
        -C "$(seq -s, -f 'Q%g' $((8 * registers)))" |
        tail -n 1 | awk -F, '{ for (k = NF; k >= 1; k--) v = v * 2 + $k; printf "0x%0" NF / 4 "x", v }')
      wanted=0x$(outputs_at_close "$trace" | tail -n 1)
      [ "$q" = "$wanted" ] || fail "Q1..Q$((8 * registers)) end at $q, the board's outputs at $wanted"
      [ "$registers" = 1 ] || [ "$wanted" = 0xa54e ] || fail "a chain of two ends at $wanted, wanted 0xa54e"
    done
    # GTKWave's vector holds the whole chain.
    "$board_vcd" --gtkwave "$dir/vcd-2.trace" "$dir/gtkwave.vcd" || fail "board_vcd --gtkwave failed"
    grep -q ' SHIFT \[15:0\] ' "$dir/gtkwave.vcd" || fail "no 16-bit SHIFT in the --gtkwave dump"
    # A trace cut in the middle of a line, as one still being written.
    head -c $(($(wc -c <"$trace") / 2)) "$trace" >"$dir/growing.trace"
    "$board_vcd" "$dir/growing.trace" "$dir/growing.vcd" || fail "board_vcd failed on a growing trace"
    got=$(decode "$dir/growing.vcd")
    [ "$got" = "a5 " ] || fail "sigrok decoded '$got' from half the trace, wanted 'a5 '"
    ;;
  *)
    echo "unknown case $case" >&2
    exit 2
    ;;
esac

if [ "$failures" -gt 0 ]; then
  for trace in "$dir"/*.trace; do
    echo "== $trace"
    cat "$trace"
  done
  exit 1
fi
echo "$case: passed"
