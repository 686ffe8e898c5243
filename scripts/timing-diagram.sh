#!/usr/bin/env bash
# timing-diagram.sh [--trace FILE [--pid PID]] [--title TEXT] [--out FILE.svg]
#
# Draws the lines of one Send as a timing diagram (SVG), from a real trace
# of the simulated register board: builds the board of the Windows tree
# that runs on this machine (board_drive.exe, the board library, board_vcd;
# scripts/windows-tree.sh: build/windows, or build/windows64 where 32-bit
# programs do not run; SHIFTLAMP_ARCH=i686|x86-64 chooses), says which on its
# first line, sends pattern 0xA5
# (invert off, LEDs 1, 3, 6 and 8) once through tools/board/with_board.sh
# under Wine, converts the trace with board_vcd, turns the VCD into WaveJSON
# (one column per 10 ms step) and renders it with WaveDrom's command line,
# wavedrom-cli, which is installed into build/tools/wavedrom with npm on
# first use (nothing outside the repository changes).
#
#   --trace FILE   draw this trace instead of making one (no Wine needed)
#   --pid PID      the process of FILE to draw, when several wrote to it
#   --title TEXT   the heading (the Send's settings, or the trace's name)
#   --out FILE     the picture (docs/timing-diagram.svg); the WaveJSON goes
#                  beside it (docs/timing-diagram.json5)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

wavedrom_version=3.2.0
wavedrom_dir=$root/build/tools/wavedrom
step_us=10000
trace='' pid='' out=$root/docs/timing-diagram.svg
title='One Send: invert off, LEDs 1, 3, 6 and 8 (0xA5)' title_given=''

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
  exit 2
}
while [ $# -gt 0 ]; do
  case $1 in
    --trace) trace=$(realpath "$2"); title="Board trace $(basename "$2")"; shift 2 ;;
    --pid) pid=$2; shift 2 ;;
    --title) title_given=$2; shift 2 ;;
    --out) out=$(realpath -m "$2"); shift 2 ;;
    *) usage ;;
  esac
done

title=${title_given:-$title}
# shellcheck source=scripts/windows-tree.sh
source scripts/windows-tree.sh
use_windows_tree scripts/timing-diagram.sh
tree=$root/$tree_dir

work=$(mktemp -d "${TMPDIR:-/tmp}/shiftlamp-diagram.XXXXXX")
trap 'rm -rf "$work"' EXIT

cmake --preset "$tree_preset" >/dev/null
if [ -z "$trace" ]; then
  cmake --build --preset "$tree_preset" --target board_drive shiftlamp_board_preload board_vcd_host >/dev/null
  trace=$work/board.trace
  if ! scripts/guard.sh xvfb-run -a tools/board/with_board.sh --prefix "$tree/wineprefix" \
    --library "$tree/tools/board/libshiftlamp_board.so" --trace "$trace" -- \
    "$tree/wine-run" "$tree/tools/board/board_drive.exe" COM3 0 1 a5; then
    echo "timing-diagram.sh: the Send under Wine failed; --trace FILE draws a trace made elsewhere" >&2
    exit 1
  fi
else
  cmake --build --preset "$tree_preset" --target board_vcd_host >/dev/null
fi
"$tree/tools/board/board_vcd" --gtkwave ${pid:+--pid "$pid"} "$trace" "$work/board.vcd"
if [ "$(grep -c '^\$scope' "$work/board.vcd")" -ne 1 ]; then
  echo "timing-diagram.sh: $trace holds several processes; choose one with --pid" >&2
  exit 1
fi

wavedrom=$wavedrom_dir/node_modules/.bin/wavedrom-cli
if [ ! -x "$wavedrom" ]; then
  command -v npm >/dev/null || { echo "timing-diagram.sh: npm is needed (Debian: apt-get install npm)" >&2; exit 1; }
  mkdir -p "$wavedrom_dir"
  (cd "$wavedrom_dir" && npm install --no-audit --no-fund --loglevel=error "wavedrom-cli@$wavedrom_version" >/dev/null)
fi

# The VCD as WaveJSON. WaveDrom draws in columns: column 0 holds the
# lines before the first event, then each change takes the column its
# distance from the previous one gives in whole steps (at least one, so
# that a change within a step still shows), and the closing time stamp
# gives one more column. A pause longer than five steps (between two
# transfers, say) is drawn as a break of two columns.
awk -v step="$step_us" -v title="$title" '
  function lane(name) { return name ~ /^(DTR|RTS|TXD_BREAK|Q[1-8]|PORT_OPEN|SHIFT)$/ }
  function advance(    n) {
    if (!placed) { column = 1; placed = 1 }
    else {
      n = (t - last < step * 1.5) ? 1 : int((t - last) / step + 0.5)
      if (n > 5) { breaks[column + 1] = 1; n = 3 }
      column += n
    }
    last = t; pending = 0
  }
  function set(id, value) {
    if (!(id in names)) return
    if (dumping) { initial[id] = value; return }
    if (pending || !placed) advance()
    value_at[id, column] = value
  }
  $1 == "$var" { if (lane($5)) names[$4] = $5; next }
  $1 == "$enddefinitions" { body = 1; next }
  !body { next }
  $1 == "$dumpvars" { dumping = 1; next }
  $1 == "$end" { dumping = 0; next }
  /^#/ { t = substr($1, 2) + 0; pending = 1; next }
  /^b/ { set($2, $1); next }
  /^[01]/ { set(substr($0, 2), substr($0, 1, 1)) }
  function wave(id,    c, text, previous, value, data, sep, bits, n, i) {
    text = ""; data = ""; sep = ""
    previous = initial[id]
    for (c = 0; c <= column; c++) {
      value = ((id, c) in value_at) ? value_at[id, c] : previous
      if (c > 0 && value == previous) { text = text ((c in breaks) ? "|" : "."); continue }
      if (value ~ /^b/) {
        bits = substr(value, 2); n = 0
        for (i = 1; i <= length(bits); i++) n = n * 2 + substr(bits, i, 1)
        text = text "="; data = data sep "\"" sprintf("%02X", n) "\""; sep = ", "
      } else {
        text = text value
      }
      previous = value
    }
    return "wave: \"" text "\"" (data == "" ? "" : ", data: [" data "]")
  }
  function line(name, indent,    id) {
    for (id in names) if (names[id] == name) return indent "{name: \"" name "\", " wave(id) "},\n"
    return ""
  }
  END {
    if (pending && placed) advance()
    printf "{signal: [\n"
    printf "%s", line("PORT_OPEN", "  ")
    printf "  [\"port\",\n%s%s%s  ],\n", line("DTR", "    "), line("RTS", "    "), line("TXD_BREAK", "    ")
    printf "%s", line("SHIFT", "  ")
    printf "  [\"outputs\",\n"
    for (k = 1; k <= 8; k++) printf "%s", line("Q" k, "    ")
    printf "  ]\n],\n"
    gsub(/["\\]/, "", title)
    printf "head: {text: \"%s\"},\n", title
    printf "foot: {text: \"one column per 10 ms step\", tock: 0, every: 5},\n"
    printf "config: {hscale: 1}}\n"
  }' "$work/board.vcd" >"$work/diagram.json5"

mkdir -p "$(dirname "$out")"
cp "$work/diagram.json5" "${out%.svg}.json5"
"$wavedrom" -i "$work/diagram.json5" -s "$out"
echo "timing-diagram.sh: wrote $out (from $trace)"
