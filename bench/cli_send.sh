#!/usr/bin/env bash
# cli_send.sh [FRAMES]: shiftlamp-send (native-release) over the native
# simulated board, timed through the board's trace:
#   - at --step-ms 0: frames per second and device calls per frame, which is
#     the frame rate a USB adapter allows (about 1 ms per call);
#   - at --step-ms 1 and 10: the step error, each change's time against its
#     schedule (the frame's first change plus k steps): median, p99, max.
# The pattern 0x55 makes every call of every frame after the first change a
# line, so each call leaves a time stamp; the first frame is left out.
set -euo pipefail
cd "$(dirname "$0")/.."
frames=${1:-200}
send=build/native-release/src/cli/shiftlamp-send
library=build/native-release/tools/board/libshiftlamp_board.so
if [ ! -x "$send" ] || [ ! -f "$library" ]; then
  cmake --preset native-release >/dev/null && cmake --build --preset native-release -j2 --target shiftlamp-send shiftlamp_board_preload
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/shiftlamp-cli-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

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

stats() {  # LABEL: nearest-rank median, p99, max of the numbers on standard input
  sort -n | awk -v label="$1" '{ v[NR] = $1 } END {
    if (!NR) { print label ": no data"; exit }
    m = v[int((NR + 1) / 2)]; p = v[int(NR * 0.99 + 0.999)]; x = v[NR]
    printf "%s: median %.1f us, p99 %.1f us, max %.1f us (%d changes)\n", label, m / 1000, p / 1000, x / 1000, NR }'
}

run 0 "$frames"
frames_of "$work/0.trace" | awk -v want="$frames" 'NR > 1 {
    calls += NF; count++; if (!first) first = $1; last = $NF }
  END { printf "step 0 ms: %d frames after the first, %.1f device calls per frame, %.0f frames/s (%.3f ms per frame)\n",
        count, calls / count, (count - 1) / ((last - first) / 1e9), (last - first) / 1e6 / (count - 1) }'

for step in 1 10; do
  n=$((step == 1 ? frames : frames / 10))
  run "$step" "$n"
  frames_of "$work/$step.trace" | awk -v step="$step" 'NR > 1 {
      for (k = 2; k <= NF; k++) { e = $k - $1 - (k - 1) * step * 1e6; print (e < 0 ? -e : e) } }' |
    stats "step $step ms, error against the schedule"
done
