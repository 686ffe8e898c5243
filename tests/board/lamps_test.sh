#!/usr/bin/env bash
# lamps_test.sh LAMPS WORK_DIR: the lamp viewer on a trace written here, read
# once and followed while it grows.
set -euo pipefail
lamps=$1 dir=$2
mkdir -p "$dir"
trace=$dir/lamps.trace
rm -f "$trace" "$dir/follow.out"
failures=0
expect() {  # expect FILE TEXT
  grep -qF -- "$2" "$1" || { echo "FAIL: '$2' not in:"; cat "$1"; failures=$((failures + 1)); }
}

# Monotonic 1000 s is 2024-01-01 00:00:00 UTC in the header's anchors; the
# transfer closes 1.2345 s later, 287.6 ms after it opened.
transfer() {  # transfer OUTPUTS: one transfer's open, latch and close lines
  local t=$1 outputs=$2
  echo "$t open - dtr=0 rts=0 break=0 shift=0x00 outputs=0x00 pid=7"
  echo "$((t + 200000000)) BREAK 1 dtr=0 rts=1 break=1 shift=$outputs outputs=$outputs pid=7"
  echo "$((t + 287600000)) close - dtr=1 rts=1 break=0 shift=$outputs outputs=$outputs pid=7"
}
{
  echo "# board pid=7 device=/dev/pts/9 invert=0 open=- close=keep monotonic_ns=1000000000000 realtime_ns=1704067200000000000"
  transfer 1000946900000 0xa5
} >"$trace"

TZ=UTC "$lamps" --once "$trace" >"$dir/once.out"
expect "$dir/once.out" "● ○ ● ○ ○ ● ○ ●   outputs=0xa5"
expect "$dir/once.out" "DTR ●  RTS ●  BREAK ○   pid 7"
expect "$dir/once.out" "last transfer: 00:00:01.234, 287.6 ms from open to close (1 seen)"
if grep -q $'\e' "$dir/once.out"; then
  echo "FAIL: colour codes written to a file"
  failures=$((failures + 1))
fi

# A chain of two: a row per register, the first on top.
transfer 1000946900000 0xa50f >"$dir/chain.trace"
"$lamps" --once "$dir/chain.trace" >"$dir/chain.out"
expect "$dir/chain.out" "● ● ● ● ○ ○ ○ ○   outputs 1-8=0x0f"
expect "$dir/chain.out" "● ○ ● ○ ○ ● ○ ●   outputs 9-16=0xa5"

# Asking for help, and a trace that is not there: a usage text or an error
# with its status, never an empty board.
status=0
"$lamps" --help >"$dir/help.out" 2>&1 || status=$?
expect "$dir/help.out" "usage: lamps"
[ "$status" -eq 0 ] || { echo "FAIL: --help ended with $status"; failures=$((failures + 1)); }
for args in "--once $dir/none.trace" "$dir/none.trace" "--bogus $trace"; do
  status=0
  # shellcheck disable=SC2086
  timeout 5 "$lamps" $args >"$dir/error.out" 2>&1 || status=$?
  if [ "$status" -eq 0 ] || grep -q "outputs=" "$dir/error.out" || ! grep -q "lamps: " "$dir/error.out"; then
    echo "FAIL: lamps $args ended with $status:"
    cat "$dir/error.out"
    failures=$((failures + 1))
  fi
done

# Following: the file appears (--wait) and grows after the viewer started.
rm -f "$trace"
# Started on its own and ended by its process id, as run.sh ends it.
TZ=UTC "$lamps" --wait "$trace" >"$dir/follow.out" 2>&1 &
viewer=$!
trap 'kill "$viewer" 2>/dev/null || true' EXIT
sleep 0.5
transfer 2000000000000 0x3c >>"$trace"
for _ in $(seq 100); do
  grep -qF "outputs=0x3c" "$dir/follow.out" && break
  sleep 0.1
done
transfer 2001000000000 0x81 >>"$trace"
# The count comes with the close, the last line: wait for it, not for the
# lamps, which may be drawn before the close has been read.
for _ in $(seq 100); do
  grep -qF "(2 seen)" "$dir/follow.out" && break
  sleep 0.1
done
kill "$viewer" 2>/dev/null || true
wait "$viewer" 2>/dev/null || true
# The viewer takes its follower of the trace with it. (The path goes to awk
# through the environment, so that awk's own command line does not match.)
following() { ps -eo args= | T=$trace awk 'index($0, ENVIRON["T"]) { print; found = 1 } END { exit !found }'; }
for _ in $(seq 20); do
  following >/dev/null || break
  sleep 0.1
done
if following; then
  echo "FAIL: a process still follows the trace after the viewer ended"
  failures=$((failures + 1))
fi
expect "$dir/follow.out" "○ ○ ● ● ● ● ○ ○   outputs=0x3c"
expect "$dir/follow.out" "● ○ ○ ○ ○ ○ ○ ●   outputs=0x81"
expect "$dir/follow.out" "(2 seen)"

[ "$failures" -eq 0 ] && echo "lamps: passed"
exit $((failures > 0))
