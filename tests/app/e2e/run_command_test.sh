#!/usr/bin/env bash
# run_command_test.sh RUN_SH PREFIX WINE_RUN PROBE WORK_DIR
#
# The README's run command as a newcomer uses it, on an X display (Xvfb),
# with the build it finds (SHIFTLAMP_RUN_BUILD=0) and the test prefix:
#   - with nothing plugged in, COM1 is the simulated board: two Sends by
#     real clicks reach its outputs, and the lamp row printed by the run
#     shows them; Alt+F4 ends the program, the run ends with status 0, and
#     the viewer and the board's pseudo-terminals are gone with it;
#   - COM1=/dev/null maps COM1 to a device that is no serial port: no board
#     then, so Send reports that COM1 cannot be opened; the box is closed
#     with a click on OK and the program with Alt+F4.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
run_sh=$1 prefix=$2 wine_run=$3 probe=$4 dir=$5
if [ -z "${DISPLAY:-}" ]; then
  echo "run_command_test.sh: no X display; run it under xvfb-run" >&2
  exit 1
fi
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
rm -rf "${dir:?}"/*

export E2E_WINE_RUN=$wine_run E2E_EXE=unused E2E_PROBE=$probe
# shellcheck source=session.sh
source "$here/session.sh"

# Processes whose command line names the run's directory: the viewer, its
# follower, socat. The path reaches awk through the environment, so that awk
# itself does not match.
left_over() { ps -eo args= | D=$1 awk 'index($0, ENVIRON["D"]) { print; found = 1 } END { exit !found }'; }

# lamps_show ROW: the run's output shows ROW within 5 s.
lamps_show() {
  local tries
  for ((tries = 0; tries < 50; tries++)); do
    grep -qF -- "$1" "$dir/board.out" && return
    sleep 0.1
  done
  e2e_fail "the lamps did not show '$1'"
}

# start_run NAME ARGS...: run.sh in the background, its output in
# $dir/NAME.out; E2E_PID is its process.
start_run() {
  local name=$1
  shift
  export E2E_WORK=$dir/$name SHIFTLAMP_BOARD_TRACE=$dir/$name/run/board.trace
  mkdir -p "$E2E_WORK"
  SHIFTLAMP_RUN_BUILD=0 SHIFTLAMP_RUN_PREFIX=$prefix SHIFTLAMP_RUN_DIR=$E2E_WORK/run \
    "$run_sh" "$@" >"$dir/$name.out" 2>&1 &
  E2E_PID=$!
  # No probe before the program starts (the log of its wine command
  # appears): run.sh restarts the prefix's server on the way, and waits for
  # it to end, which a probe connected to it would put off.
  local tries
  for ((tries = 0; tries < 600; tries++)); do
    [ -e "$E2E_WORK/run/wine.log" ] && break
    kill -0 "$E2E_PID" 2>/dev/null || break
    sleep 0.1
  done
  if [ ! -e "$E2E_WORK/run/wine.log" ]; then
    e2e_fail "$name: the program was not started"
    return 1
  fi
  e2e_attach
}

# end_run NAME: the run ends with status 0 after Alt+F4 and leaves nothing
# running.
end_run() {
  e2e_key alt+F4
  e2e_wait_exit 30
  [ "$E2E_EXIT_CODE" = 0 ] || e2e_fail "$1: run.sh ended with '$E2E_EXIT_CODE' after Alt+F4"
  e2e_kill
  sleep 0.5
  if left_over "$E2E_WORK/run" >"$dir/$1.left"; then
    e2e_fail "$1: still running after the run: $(cat "$dir/$1.left")"
  fi
}

echo "== the board on COM1"
if start_run board; then
  # Not a terminal: each drawing of the board follows the last, and the
  # row for each Send appears while the program runs.
  e2e_send 81
  lamps_show "● ○ ○ ○ ○ ○ ○ ●   outputs=0x81"
  e2e_send 3c
  lamps_show "○ ○ ● ● ● ● ○ ○   outputs=0x3c"
  end_run board
  grep -q $'\e' "$dir/board.out" && e2e_fail "terminal codes in output that is no terminal"
fi

echo "== COM1 mapped to a device"
if start_run mapped COM1=/dev/null; then
  e2e_click send
  if e2e_probe box 5000; then
    [ "$(e2e_answer text)" = "Не удалось открыть порт COM1" ] || e2e_fail "box text '$(e2e_answer text)'"
    read -r _ x y _ < <(e2e_answer button)
    e2e_click "$x,$y"
    e2e_probe nobox 5000 || e2e_fail "the box is still up after a click on OK"
  else
    e2e_fail "no box: COM1 was not the device given"
  fi
  [ ! -e "$SHIFTLAMP_BOARD_TRACE" ] || e2e_fail "a board ran although COM1 was mapped"
  end_run mapped
fi
e2e_kill

for out in "$dir"/*.out; do
  echo "== $out"
  cat "$out"
done
[ "$E2E_FAILURES" -eq 0 ] && echo "run command: passed"
