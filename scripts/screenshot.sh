#!/usr/bin/env bash
# screenshot.sh [OUT]: builds the Windows program of the tree that runs on
# this machine (scripts/windows-tree.sh: build/windows, or build/windows64
# where 32-bit programs do not run; SHIFTLAMP_ARCH=i686|x86-64 chooses) and
# says which on its first line, runs it under Wine on a display of its own
# (Xvfb) in the tree's run-prefix (SHIFTLAMP_RUN_PREFIX names another), and
# saves a picture of its window to OUT (TREE/screenshot.png by default,
# outside the tracked tree: the README's picture is refreshed by naming it,
# docs/screenshot.png). Without a window manager the window shows without a
# title bar: the picture is its client area.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/windows-tree.sh
source scripts/windows-tree.sh
use_windows_tree scripts/screenshot.sh

out=$(realpath -m "${1:-$tree_dir/screenshot.png}")
prefix=${SHIFTLAMP_RUN_PREFIX:-$PWD/$tree_dir/run-prefix}
exe=$PWD/$tree_dir/src/app/shiftlamp.exe

scripts/install-deps.sh
cmake --preset "$tree_preset" >/dev/null
cmake --build --preset "$tree_preset" --target shiftlamp -j2
if [ ! -f "$prefix/system.reg" ]; then
  scripts/guard.sh scripts/wine-prefix.sh "$prefix" setup
fi
mkdir -p "$(dirname "$out")"

scripts/guard.sh xvfb-run -a -s '-screen 0 800x600x24' bash -c '
  set -euo pipefail
  prefix=$1 exe=$2 out=$3
  export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  work=$(mktemp -d "${TMPDIR:-/tmp}/shiftlamp-shot.XXXXXX")
  # Output to a file: Wine helpers inherit it and outlive the program.
  wine "$exe" >"$work/wine.log" 2>&1 &
  program=$!
  finish() {
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    wait "$program" 2>/dev/null || true
    rm -rf "$work"
  }
  trap finish EXIT

  window=
  for _ in $(seq 600); do
    window=$(xdotool search --name "^Shiftlamp\$" 2>/dev/null | head -1) && [ -n "$window" ] && break
    sleep 0.1
  done
  if [ -z "$window" ]; then
    echo "screenshot.sh: the window did not appear" >&2
    cat "$work/wine.log" >&2
    exit 1
  fi
  sleep 1  # the first painting
  eval "$(xdotool getwindowgeometry --shell "$window")"
  import -window root "$work/root.png"
  convert "$work/root.png" -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$out"

  # Close it as a user would, with Alt+F4.
  xdotool windowfocus "$window" key alt+F4 || true
  for _ in $(seq 50); do kill -0 "$program" 2>/dev/null || break; sleep 0.1; done
' screenshot "$prefix" "$exe" "$out"
echo "Saved $out"
