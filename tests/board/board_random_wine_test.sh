#!/usr/bin/env bash
# board_random_wine_test.sh WITH_BOARD PREFIX BOARD_LIBRARY WINE_RUN DRIVE_EXE WORK_DIR [CASES [SEED]]
#
# The window's transfer (board_drive under Wine) in random cases on the
# board: invert with an inverting board or neither, the lines a driver sets
# at open, each way it clears them at close, a line that fails. Case k uses
# the seed SEED+k (SEED from the clock by default; CASES defaults to 6);
# CASES 1 and a failing case's SEED replay it. After a transfer that switched
# every line the register shows its frame, and every latch on the way stored
# that frame or the one before; DTR and the break end clear. A transfer with
# a failing line says so (status 3, as the window's box tells its user) and
# leaves the lines that still answer clear.
set -uo pipefail
with_board=$1 prefix=$2 library=$3 wine_run=$4 drive=$5 dir=$6 cases=${7:-6}
seed=${8:-$(($(date +%s) % 1000000))}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
echo "seeds $seed to $((seed + cases - 1)); replay one with CASES 1 and its SEED"
failures=0
fail() {
  echo "FAIL seed $case_seed: $settings: $*"
  failures=$((failures + 1))
}

# below N: $pick, a number under N, by splitmix64 (bash's own generator gives
# neighbouring seeds alike first values).
below() {
  state=$((state + 0x9e3779b97f4a7c15))
  local z=$(((state ^ (state >> 30)) * 0xbf58476d1ce4e5b9))
  z=$(((z ^ (z >> 27)) * 0x94d049bb133111eb))
  pick=$((((z ^ (z >> 31)) & 0x7fffffffffff) % $1))
}
closes=(keep drop break,dtr,rts dtr,rts dtr break dtr,break rts,dtr,break)
faults=('' '' '' SHIFTLAMP_BOARD_LINES_FAIL=dtr SHIFTLAMP_BOARD_LINES_FAIL=rts SHIFTLAMP_BOARD_BREAK_FAILS=1)
for ((k = 0; k < cases; k++)); do
  case_seed=$((seed + k))
  state=$case_seed
  below 2; invert=$pick
  below ${#closes[@]}; close=${closes[pick]}
  below ${#faults[@]}; fault=${faults[pick]}
  env=(SHIFTLAMP_BOARD_INVERT=$invert SHIFTLAMP_BOARD_CLOSE=$close)
  for line in DTR RTS BREAK; do
    below 3
    [ $pick -lt 2 ] && env+=("SHIFTLAMP_BOARD_OPEN_$line=$pick")
  done
  [ -n "$fault" ] && env+=("$fault")
  below 256; patterns=("$(printf %02x $pick)")
  below 256; patterns+=("$(printf %02x $pick)")
  settings="invert $invert ${patterns[*]} ${env[*]#SHIFTLAMP_BOARD_}"
  trace=$dir/$case_seed.trace
  rm -rf "$trace" "$dir/$case_seed.d"
  status=0
  "$with_board" --prefix "$prefix" --library "$library" --port COM6 --dir "$dir/$case_seed.d" --trace "$trace" \
    --log "$dir/$case_seed.log" "${env[@]}" -- "$wine_run" "$drive" COM6 "$invert" 1 "${patterns[@]}" \
    >"$dir/$case_seed.out" 2>&1 || status=$?
  mapfile -t said < <(tr -d '\r' <"$dir/$case_seed.out" | grep -o 'pattern=0x[0-9a-f]* [a-z ]*$')
  [ ${#said[@]} -eq 2 ] || { fail "board_drive said: $(cat "$dir/$case_seed.out")"; continue; }

  # Per transfer: outputs, DTR and the break at its close, and a latched
  # value that was neither the frame before nor this one.
  mapfile -t closes_seen < <(awk -v invert="$invert" -v frames="${patterns[*]}" '
    BEGIN { split(frames, frame, " "); before = "0x00" }
    /^#/ { next }
    { for (i = 4; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] } }
    $2 == "open" { n++; stray = "-" }
    $2 == "BREAK" && ($3 + invert) % 2 == 1 && v["outputs"] != before && v["outputs"] != "0x" frame[n] {
      stray = v["outputs"] }
    $2 == "close" { print v["outputs"], v["dtr"], v["break"], stray; before = v["outputs"] }' "$trace")
  [ ${#closes_seen[@]} -eq 2 ] || { fail "${#closes_seen[@]} closes in the trace, expected 2"; continue; }
  any_failed=0
  for t in 0 1; do
    read -r outputs dtr brk stray <<<"${closes_seen[t]}"
    if [[ ${said[t]} == *"line failed" ]]; then
      any_failed=1
      [ "$close" != keep ] || [ "$dtr" = 0 ] || [ "$fault" = SHIFTLAMP_BOARD_LINES_FAIL=dtr ] ||
        fail "transfer $((t + 1)) failed a line and left DTR set"
      [ "$close" != keep ] || [ "$brk" = 0 ] || [ "$fault" = SHIFTLAMP_BOARD_BREAK_FAILS=1 ] ||
        fail "transfer $((t + 1)) failed a line and left the break set"
      continue
    fi
    # A line that cannot switch fails every transfer that moves it.
    case $fault in *dtr | *BREAK_FAILS=1) fail "transfer $((t + 1)) said '${said[t]}' with $fault" ;; esac
    [ "$outputs" = "0x${patterns[t]}" ] || fail "transfer $((t + 1)) of 0x${patterns[t]} left the outputs at $outputs"
    [ "$stray" = - ] || fail "transfer $((t + 1)) of 0x${patterns[t]} latched $stray on the way"
    [ "$close" != keep ] || [ "$dtr$brk" = 00 ] ||
      fail "transfer $((t + 1)) ended with DTR at $dtr and the break at $brk, not clear"
  done
  [ "$status" -eq $((any_failed * 3)) ] || fail "board_drive's status $status, expected $((any_failed * 3))"
done
echo "$cases cases, $failures problems"
[ "$failures" -eq 0 ]
