#!/usr/bin/env bash
# cli_chain.sh: shiftlamp-send (native-release) driving chains of 1, 4 and
# 32 registers over the native simulated board at --step-ms 0: device calls
# per frame (16N + 2 within a run) and frames per second, with the board as
# it is and with every request taking 1 ms (SHIFTLAMP_BOARD_LINE_US=1000, a
# USB adapter's control transfer). Timed through the board's trace: the
# pattern 0x55... makes every call change a line, so each call leaves a time
# stamp; the first frame is left out.
set -euo pipefail
cd "$(dirname "$0")/.."
send=build/native-release/src/cli/shiftlamp-send
library=build/native-release/tools/board/libshiftlamp_board.so
if [ ! -x "$send" ] || [ ! -f "$library" ]; then
  cmake --preset native-release >/dev/null && cmake --build --preset native-release -j2 --target shiftlamp-send shiftlamp_board_preload
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/shiftlamp-chain-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "load: $(uptime | sed 's/.*load average/load average/')"

for us in 0 1000; do
  for n in 1 4 32; do
    # About two seconds of frames at each setting, never fewer than four.
    frames=$(( us == 0 ? 2000 / n : 2000 / (16 * n + 2) ))
    [ "$frames" -ge 4 ] || frames=4
    pattern=0x$(printf '5%.0s' $(seq $((2 * n))))
    scripts/guard.sh tools/board/with_board.sh --native --library "$library" --dir "$work/d" --trace "$work/t.trace" \
      SHIFTLAMP_BOARD_REGISTERS="$n" SHIFTLAMP_BOARD_LINE_US="$us" -- \
      bash -c 'exec "$0" --port "$SHIFTLAMP_BOARD_DEVICE" --registers "$1" --step-ms 0 --repeat "$2" "$3"' \
      "$send" "$n" "$frames" "$pattern" >/dev/null
    # Calls (distinct stamps of line events) from the first frame's latch
    # to the last one's.
    awk -v n="$n" -v us="$us" '/^#/ || $2 == "open" || $2 == "close" { next }
      $1 != last { calls++; last = $1 }
      $2 == "BREAK" && $3 == 0 { if (!first) { first = $1; base = calls } else frames++; end = $1; endcalls = calls }
      END { printf "N=%-3d line %4d us: %d frames, %.1f device calls per frame (16N+2 = %d), %.1f frames/s (%.3f ms per frame)\n",
            n, us, frames, (endcalls - base) / frames, 16 * n + 2, frames / ((end - first) / 1e9), (end - first) / 1e6 / frames }' \
      "$work/t.trace"
    rm -f "$work/t.trace"
  done
done
