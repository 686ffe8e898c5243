#!/usr/bin/env bash
# cli_send.sh [--busy] [FRAMES]: shiftlamp-send (native-release) over the
# native simulated board, timed through the board's trace:
#   - at --step-ms 0: frames per second and device calls per frame, which is
#     the frame rate a USB adapter allows (about 1 ms per call);
#   - at --step-ms 1 and 10: early changes (less than a step after the one
#     before: there must be none), the shortest gap, and the lateness of each
#     change against its deadline (median, p99, max).
# A change is due at the later of its place in the frame's schedule and one
# step after the change before it; a frame is due at the end of the one
# before. The board stamps a change as the call makes it, so the lateness
# includes the board's own bookkeeping of a few microseconds.
# The pattern 0x55 makes every call of every frame after the first change a
# line, so each call leaves a time stamp; the first frame is left out.
# --busy runs one busy process beside it for the whole benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
busy=0
if [ "${1:-}" = --busy ]; then busy=1; shift; fi
frames=${1:-200}
send=build/native-release/src/cli/shiftlamp-send
library=build/native-release/tools/board/libshiftlamp_board.so
if [ ! -x "$send" ] || [ ! -f "$library" ]; then
  cmake --preset native-release >/dev/null && cmake --build --preset native-release -j2 --target shiftlamp-send shiftlamp_board_preload
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/shiftlamp-cli-bench.XXXXXX")
spinner=''
trap '[ -z "$spinner" ] || kill "$spinner" 2>/dev/null; rm -rf "$work"' EXIT
if [ "$busy" -eq 1 ]; then
  bash -c 'while :; do :; done' &
  spinner=$!
fi
echo "load: $(uptime | sed 's/.*load average/load average/')$([ "$busy" -eq 1 ] && echo ', one busy process beside the run')"

run() {  # run STEP_MS FRAMES: the trace of one run
  scripts/guard.sh tools/board/with_board.sh --native --library "$library" --dir "$work/d" --trace "$work/$1.trace" -- \
    bash -c 'exec "$0" --port "$SHIFTLAMP_BOARD_DEVICE" --step-ms "$1" --repeat "$2" 0x55' "$send" "$1" "$2" >/dev/null
}

# Calls (distinct time stamps of line events), grouped into frames: a frame
# ends with the break's return to idle.
frames_of() {
  awk '/^#/ || $2 == "open" || $2 == "close" { next }
       $1 != last { if (n) printf " "; printf "%s", $1; n++; last = $1 }
       $2 == "BREAK" && $3 == 0 { print ""; n = 0 }' "$1"
}

run 0 "$frames"
frames_of "$work/0.trace" | awk 'NR > 1 {
    calls += NF; count++; if (!first) first = $1; last = $NF }
  END { printf "step 0 ms: %d frames after the first, %.1f device calls per frame, %.0f frames/s (%.3f ms per frame)\n",
        count, calls / count, (count - 1) / ((last - first) / 1e9), (last - first) / 1e6 / (count - 1) }'

for step in 1 10; do
  n=$((step == 1 ? frames : frames / 10))
  run "$step" "$n"
  # Prints the lateness of each change in ns; the summary line goes to
  # standard error first.
  frames_of "$work/$step.trace" | awk -v step="$step" -v out="$work/late" '
    function late(t, due) { print t - due > out }
    NR == 1 { prev = $NF; planned = prev + step * 1e6; next }
    { start = planned > prev ? planned : prev
      for (k = 1; k <= NF; k++) {
        due = start + (k - 1) * step * 1e6
        if (prev + step * 1e6 > due) due = prev + step * 1e6
        gap = $k - prev
        if (!shortest || gap < shortest) shortest = gap
        if (gap < step * 1e6) early++
        late($k, due); prev = $k; changes++
      }
      planned = start + NF * step * 1e6
      if (prev + step * 1e6 > planned) planned = prev + step * 1e6 }
    END { printf "step %s ms: %d changes, %d early, shortest gap %.3f ms", step, changes, early, shortest / 1e6 }'
  sort -n "$work/late" | awk '{ v[NR] = $1 } END {
    printf ", lateness median %.3f ms, p99 %.3f ms, max %.3f ms\n", v[int((NR + 1) / 2)] / 1e6, v[int(NR * 0.99 + 0.999)] / 1e6, v[NR] / 1e6 }'
  rm -f "$work/late"
done
