#!/usr/bin/env bash
# run_command_test.sh RUN_SH PREFIX WINE_RUN PROBE WORK_DIR
#
# The README's run command as a newcomer uses it, on an X display (Xvfb),
# with the build it finds (SHIFTLAMP_RUN_BUILD=0; SHIFTLAMP_ARCH, set by the
# test, names the tree) and the test prefix:
#   - with nothing plugged in, COM1 is the simulated board: two Sends by
#     real clicks reach its outputs, and the lamp row printed by the run
#     shows them; Alt+F4 ends the program, the run ends with status 0, and
#     the viewer and the board's pseudo-terminals are gone with it;
#   - a second run on the same prefix while the first one runs is refused
#     with a message and status 75, and the first one goes on;
#   - com1=/dev/null (lower case is accepted) maps COM1 to a device that is
#     no serial port: no board then, so Send reports that COM1 cannot be
#     opened; the box is closed with a click on OK and the program with
#     Alt+F4;
#   - before that, what run.sh refuses at once, starting nothing: --help
#     (status 0), an unknown option, devices that are missing, no character
#     device or (run as nobody) not the user's to open, no usable display,
#     and a prefix that another run holds; each with its message.
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
  # A folder name with a space: every path must reach Wine and the board whole.
  export E2E_WORK="$dir/$name files" SHIFTLAMP_BOARD_TRACE="$dir/$name files/run/board.trace"
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

echo "== what run.sh refuses before it starts"
as=()
# refused STATUS TEXT ARGS...: run.sh ends at once with STATUS, says TEXT
# and makes no prefix.
refused() {
  local want=$1 text=$2 status=0
  shift 2
  SHIFTLAMP_RUN_BUILD=0 SHIFTLAMP_RUN_PREFIX=$dir/refused/prefix SHIFTLAMP_RUN_DIR=$dir/refused/run \
    timeout 20 "${as[@]}" "$run_sh" "$@" >"$dir/refused.out" 2>&1 || status=$?
  if [ "$status" != "$want" ] || ! grep -qF -- "$text" "$dir/refused.out"; then
    e2e_fail "run.sh $*: status $status (not $want), said: $(cat "$dir/refused.out")"
  fi
  [ ! -e "$dir/refused/prefix" ] || e2e_fail "run.sh $*: made a prefix"
}
mkdir -p "$dir/refused"
refused 0 "run.sh [--arch i686|x86-64] [--board COMn | --no-board]" --help
refused 64 "unknown option '--bogus'" --bogus
refused 64 "--arch takes i686 or x86-64, got 'sparc'" --arch sparc
# shellcheck source=../../../scripts/machine.sh
source "$(dirname "$run_sh")/machine.sh"
if ! machine_runs_32bit; then
  refused 69 "the same program built for x86-64 runs here: scripts/run.sh --arch x86-64" --arch i686
fi
refused 64 "--board takes COM1 to COM10, got 'COM11'" --board COM11
refused 69 "COM2=$dir/none: no such device" COM2=$dir/none
refused 69 "COM2=$dir: not a serial device" COM2=$dir
DISPLAY='' refused 69 "no X display: DISPLAY is not set" --no-board
DISPLAY=:7777 refused 69 "cannot open the X display ':7777'" --no-board
# A lock held by a live run (a process running run.sh, as the lock says).
# shellcheck source=../../../scripts/run-lock.sh
source "$(dirname "$run_sh")/run-lock.sh"
bash -c 'exec -a run.sh sleep 60' &
holder=$!
# Once it runs as run.sh (bash's own command line names run.sh too, later).
for ((tries = 0; tries < 3000; tries++)); do
  tr '\0' ' ' <"/proc/$holder/cmdline" | grep -q '^run\.sh ' && break
  sleep 0.01
done
mkdir -p "$dir/refused/prefix.lock"
run_lock_id "$holder" >"$dir/refused/prefix.lock/pid"
refused 75 "another run (process $holder," --no-board
grep -qF SHIFTLAMP_RUN_PREFIX "$dir/refused.out" || e2e_fail "the refusal does not say how to use another prefix"
kill "$holder"
rm -rf "$dir/refused/prefix.lock"
# A lock whose process number now belongs to another program, or whose
# holder started at another time or in another boot, is stale; of two runs
# that find one stale lock at once, exactly one takes it over.
sleep 60 &
other=$!
# take LOCKED_PATH [RELEASE]: take_lock in a process of its own named
# run.sh, which then holds the lock until the file RELEASE exists (for 30 s
# at most); its status.
take() {
  bash -c 'source "$1"; locks=(); take_lock "$2" "the prefix"
    for ((k = 0; k < 3000; k++)); do [ -z "$3" ] || [ -e "$3" ] && break; sleep 0.01; done; true' run.sh \
    "$(dirname "$run_sh")/run-lock.sh" "$1" "${2:-}" 2>>"$dir/lock.err"
}
read -r _ start boot < <(run_lock_id "$other")
for stale in "$other $start $boot" "$$ 1 $boot" "$$ $(run_lock_id $$ | cut -d' ' -f2) another-boot"; do
  rm -rf "$dir/stale.lock"
  mkdir "$dir/stale.lock" && echo "$stale" >"$dir/stale.lock/pid"
  take "$dir/stale" || e2e_fail "a stale lock ($stale) was not taken over: $(cat "$dir/lock.err")"
done
rm -rf "$dir/stale.lock"
mkdir "$dir/stale.lock" && echo "$other $start $boot" >"$dir/stale.lock/pid"
# The winner holds the lock until the other has ended: it never sees a
# lock gone stale again.
rm -f "$dir/released"
take "$dir/stale" "$dir/released" & first=$!
take "$dir/stale" "$dir/released" & second=$!
wait -n -p ended "$first" "$second"; a=$?
touch "$dir/released"
if [ "$ended" = "$first" ]; then wait "$second"; else wait "$first"; fi
b=$?
[ $((a == 0)) -ne $((b == 0)) ] && [ $((a + b)) -eq 75 ] ||
  e2e_fail "two runs taking over one stale lock ended with $a and $b: $(cat "$dir/lock.err")"
kill "$other"
# A device the user may not open (it is /dev/null's, but only for its group).
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null && mknod "$dir/tty" c 1 3 2>/dev/null; then
  chgrp dialout "$dir/tty" && chmod 660 "$dir/tty"
  chmod 777 "$dir/refused"
  as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  refused 77 "permission denied: $dir/tty belongs to group dialout; add yourself with: sudo usermod -aG dialout \$USER, then log in again" COM1=$dir/tty
  as=()
else
  e2e_note "not root: the permission check is not tried"
fi

# The mapping's registry text (wine stubbed): a device path holding a quote
# and a backslash is stored as it is.
mkdir -p "$dir/stub"
printf '#!/bin/bash\n[ "$1" = regedit ] && cat "$3" >>"$STUB_REG"\nexit 0\n' >"$dir/stub/wine"
printf '#!/bin/bash\nexit 0\n' >"$dir/stub/wineserver"
chmod +x "$dir/stub/wine" "$dir/stub/wineserver"
STUB_REG=$dir/stub/reg PATH=$dir/stub:$PATH "$(dirname "$run_sh")/wine-prefix.sh" "$dir/stub/prefix" map COM1 '/dev/a "b\c'
grep -qxF '"COM1"="/dev/a \"b\\c"' "$dir/stub/reg" || e2e_fail "wine-prefix.sh wrote $(grep COM1 "$dir/stub/reg")"

echo "== the board on COM1"
if start_run board; then
  # Not a terminal: each drawing of the board follows the last, and the
  # row for each Send appears while the program runs.
  e2e_send 81
  lamps_show "● ○ ○ ○ ○ ○ ○ ●   outputs=0x81"
  e2e_send 3c
  lamps_show "○ ○ ● ● ● ● ○ ○   outputs=0x3c"
  # A second run on the same prefix and files is refused; the first goes on.
  status=0
  SHIFTLAMP_RUN_BUILD=0 SHIFTLAMP_RUN_PREFIX=$prefix SHIFTLAMP_RUN_DIR=$E2E_WORK/run timeout 20 "$run_sh" \
    >"$dir/second.out" 2>&1 || status=$?
  [ "$status" = 75 ] && grep -qF "another run (process" "$dir/second.out" ||
    e2e_fail "a second run ended with $status: $(cat "$dir/second.out")"
  e2e_send 5a
  lamps_show "○ ● ○ ● ● ○ ● ○   outputs=0x5a"
  end_run board
  grep -q $'\e' "$dir/board.out" && e2e_fail "terminal codes in output that is no terminal"
fi

echo "== COM1 mapped to a device"
if start_run mapped com1=/dev/null; then
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
