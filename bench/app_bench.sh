# shellcheck shell=bash
# Sourced by the benchmarks that drive the real shiftlamp.exe over the
# simulated board (app_transfer.sh, app_long_use.sh), from the source root.
#
# app_bench_run NAME [VAR=VALUE...] -- ARGS...: builds the windows preset and
# runs the calling script again as "SCRIPT --inside ARGS..." under Xvfb,
# with the board on COM1 (VAR=VALUE for the board and the program) and the
# e2e session's settings; its files go to build/windows/bench/NAME, the
# board's trace to build/windows/bench/NAME.trace, named in $trace.
app_bench_run() {
  local name=$1 root=$PWD
  shift
  local settings=()
  while [ "$1" != -- ]; do settings+=("$1"); shift; done
  shift
  cmake --preset windows >/dev/null
  cmake --build --preset windows -j2 >/dev/null

  local out=$root/build/windows/bench
  mkdir -p "$out"
  trace=$out/$name.trace
  rm -f "$trace"
  scripts/guard.sh xvfb-run -a -s '-screen 0 1280x1024x24' tools/board/with_board.sh --port COM1 \
    --trace "$trace" "${settings[@]}" \
    E2E_WINE_RUN="$root/build/windows/wine-run" E2E_EXE="$root/build/windows/src/app/shiftlamp.exe" \
    E2E_PROBE="$root/build/windows/tests/app/e2e/e2e_probe.exe" E2E_WORK="$out/$name" \
    -- "$0" --inside "$@"
}
