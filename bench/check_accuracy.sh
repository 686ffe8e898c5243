#!/usr/bin/env bash
# check_accuracy.sh [RUNS]: how near the time per change that
# shiftlamp-send --check measures comes to what the simulated board takes
# (SHIFTLAMP_BOARD_LINE_US), RUNS checks (5 by default) per setting:
#   - natively (native-release) at 0, 1, 2 and 5 ms per change;
#   - shiftlamp-send.exe under Wine, in the Windows tree that runs on this
#     machine (scripts/windows-tree.sh), at 5 and 20 ms.
# For each setting: the medians the checks reported (lowest, median,
# highest), the median's excess over the setting in ms and in %, and the
# slowest single change seen. Natively the excess is the call's own cost;
# under Wine it adds Wine's own per change (about 0.2 ms here, 1.5 ms in an
# emulated machine).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
# shellcheck source=scripts/windows-tree.sh
source scripts/windows-tree.sh
use_windows_tree bench/check_accuracy.sh

cmake --preset native-release >/dev/null
cmake --build --preset native-release -j2 --target shiftlamp-send shiftlamp_board_preload >/dev/null
cmake --preset "$tree_preset" >/dev/null
cmake --build --preset "$tree_preset" -j2 --target shiftlamp-send shiftlamp_board_preload >/dev/null
native=$PWD/build/native-release
tree=$PWD/$tree_dir
work=$(mktemp -d "${TMPDIR:-/tmp}/shiftlamp-check-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "load: $(uptime | sed 's/.*load average/load average/')"

# summary WHERE US: one line from the check outputs in $work/*.out.
summary() {
  local found
  found=$(awk '$1 == "per" && $2 == "change" { print $3, $9 }' "$work"/*.out | sort -n)
  if [ -z "$found" ]; then
    echo "$1, $(($2 / 1000)).$(printf '%03d' $(($2 % 1000))) ms per change: no time per change reported" >&2
    head -n 20 "$work"/*.out >&2
    return 1
  fi
  echo "$found" | awk -v where="$1" -v us="$2" '
    { m[NR] = $1; if ($2 > slowest) slowest = $2 }
    END { med = m[int((NR + 1) / 2)]; set = us / 1000
      printf "%s, %.3f ms per change: medians %.3f to %.3f ms over %d checks (median %.3f), excess %+.3f ms",
        where, set, m[1], m[NR], NR, med, med - set
      if (set > 0) printf " (%+.1f %%)", (med - set) / set * 100
      printf ", slowest change %.3f ms\n", slowest }'
}

for us in 0 1000 2000 5000; do
  rm -f "$work"/*.out
  for ((k = 1; k <= runs; k++)); do
    rm -rf "$work/d"
    scripts/guard.sh tools/board/with_board.sh --native --library "$native/tools/board/libshiftlamp_board.so" \
      --dir "$work/d" --log "$work/$k.out" SHIFTLAMP_BOARD_LINE_US="$us" -- \
      bash -c 'exec "$0" --check --port "$SHIFTLAMP_BOARD_DEVICE"' "$native/src/cli/shiftlamp-send" >/dev/null || true
  done
  summary native "$us"
done

prefix=$tree/wineprefix
scripts/guard.sh bash -c '
  tree=$1 prefix=$2 work=$3 runs=$4
  scripts/wine-prefix.sh "$prefix" setup >/dev/null
  for us in 5000 20000; do
    mkdir -p "$work/$us"
    for ((k = 1; k <= runs; k++)); do
      rm -rf "$work/d"
      tools/board/with_board.sh --prefix "$prefix" --library "$tree/tools/board/libshiftlamp_board.so" \
        --port COM12 --dir "$work/d" --log "$work/$us/$k.out" SHIFTLAMP_BOARD_LINE_US="$us" -- \
        "$tree/wine-run" "$tree/src/cli/shiftlamp-send.exe" --check --port COM12 >/dev/null || true
    done
  done
  scripts/wine-prefix.sh "$prefix" stop' check_accuracy "$tree" "$prefix" "$work" "$runs"
for us in 5000 20000; do
  rm -f "$work"/*.out
  for out in "$work/$us"/*.out; do tr -d '\r' <"$out" >"$work/${out##*/}"; done
  summary "Wine ($tree_arch)" "$us"
done
