# shellcheck shell=bash
# Sourced by the benchmarks that drive the real shiftlamp.exe over the
# simulated board (app_transfer.sh, app_long_use.sh), from the source root,
# after use_windows_tree (scripts/windows-tree.sh) has chosen the tree.
#
# app_bench_run NAME [VAR=VALUE...] -- ARGS...: builds the tree's preset and
# runs the calling script again as "SCRIPT --inside ARGS..." under Xvfb,
# with the board on COM1 in the tree's prefix (VAR=VALUE for the board and
# the program) and the e2e session's settings; its files go to
# TREE/bench/NAME, the board's trace to TREE/bench/NAME.trace, named in
# $trace.
# shellcheck disable=SC2154  # tree_preset and tree_dir, set by use_windows_tree
app_bench_run() {
  local name=$1 root=$PWD
  shift
  local settings=()
  while [ "$1" != -- ]; do settings+=("$1"); shift; done
  shift
  cmake --preset "$tree_preset" >/dev/null
  cmake --build --preset "$tree_preset" -j2 >/dev/null

  local tree=$root/$tree_dir
  local out=$tree/bench
  mkdir -p "$out"
  trace=$out/$name.trace
  rm -f "$trace"
  scripts/guard.sh xvfb-run -a -s '-screen 0 1280x1024x24' tools/board/with_board.sh --port COM1 \
    --prefix "$tree/wineprefix" --library "$tree/tools/board/libshiftlamp_board.so" \
    --trace "$trace" "${settings[@]}" \
    E2E_WINE_RUN="$tree/wine-run" E2E_EXE="$tree/src/app/shiftlamp.exe" \
    E2E_PROBE="$tree/tests/app/e2e/e2e_probe.exe" E2E_WORK="$out/$name" \
    -- "$0" --inside "$@"
}
