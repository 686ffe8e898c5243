# session.sh: driving the real shiftlamp.exe as a person would, for the
# end-to-end tests and the benchmarks. Sourced (bash), inside
# tools/board/with_board.sh, on an X display (Xvfb). Without a window manager
# Wine puts every window at its screen coordinates in the X root window, so
# xdotool clicks where the probe (e2e_probe.exe) says a control is.
#
# Needs in the environment:
#   E2E_WINE_RUN  the build tree's wine-run     E2E_EXE    shiftlamp.exe
#   E2E_PROBE     e2e_probe.exe                 E2E_WORK   a directory for files
#   SHIFTLAMP_BOARD_TRACE and LD_PRELOAD as with_board.sh sets them
#
# The board's library is kept for the program alone: the shell and the X
# tools are 64-bit and would only complain about it.
E2E_BOARD_PRELOAD=${LD_PRELOAD:-}
unset LD_PRELOAD

E2E_PID=''        # the program's process (wine's, which becomes the program's),
                  # or whatever process e2e_wait_exit should wait for
E2E_LEDS=0        # the LED boxes as the clicks have left them, bit k-1 for LED k
E2E_FAILURES=0
E2E_TRANSFERS=0   # transfers the board should have seen end so far
E2E_AWAY=''       # "x y": a screen point off the window
E2E_SEED=${E2E_SEED:-20240}
declare -A E2E_AT  # control name -> "x y" on the screen

e2e_fail() {
  echo "FAIL: $*"
  E2E_FAILURES=$((E2E_FAILURES + 1))
}

e2e_note() { echo "-- $*"; }

e2e_now_ms() { echo $(($(date +%s%N) / 1000000)); }

# e2e_probe COMMAND [ARGUMENT]: runs the probe; its answer is in
# $E2E_WORK/probe.out (read it with e2e_answer). Output goes to a file: Wine
# helpers inherit the descriptors of the wine command that starts them.
e2e_probe() {
  "$E2E_WINE_RUN" "$E2E_PROBE" "$@" >"$E2E_WORK/probe.out" 2>"$E2E_WORK/probe.err"
}

# e2e_answer NAME: the rest of the probe's line that starts with NAME.
e2e_answer() {
  awk -v name="$1" '$1 == name { sub(/^[^ ]* ?/, ""); print; exit }' "$E2E_WORK/probe.out"
}

# Starts the program on the board and attaches to it (e2e_attach).
e2e_start() {
  LD_PRELOAD=$E2E_BOARD_PRELOAD "$E2E_WINE_RUN" "$E2E_EXE" >"$E2E_WORK/program.log" 2>&1 &
  E2E_PID=$!
  e2e_attach
}

# Waits for the program's idle window and learns where its controls are;
# the boxes are taken as they are after start-up (all clear).
e2e_attach() {
  E2E_LEDS=0
  if ! e2e_probe layout; then
    e2e_fail "the window did not appear: $(cat "$E2E_WORK/probe.err")"
    return 1
  fi
  E2E_AT=()
  local name x y
  while read -r name x y _; do E2E_AT[$name]="$x $y"; done <"$E2E_WORK/probe.out"
  # Left of the window: no control, so no tooltip, where the pointer rests.
  read -r x y _ < <(e2e_answer window)
  E2E_AWAY="$((x > 20 ? x - 20 : 2)) $((y + 5))"
  E2E_TRANSFERS=$(e2e_closes)
}

# Ends the program if it still runs (a failed test), by its process id.
e2e_kill() {
  if [ -n "$E2E_PID" ] && kill -0 "$E2E_PID" 2>/dev/null; then
    kill "$E2E_PID" 2>/dev/null || true
    wait "$E2E_PID" 2>/dev/null || true
  fi
  E2E_PID=''
}

# e2e_wait_exit [SECONDS]: waits for the program to end (10 s by default);
# its exit code is then in E2E_EXIT_CODE, and the status is 1 when it did
# not end. Not in a subshell: only this shell can wait for its child.
e2e_wait_exit() {
  local deadline=$(($(e2e_now_ms) + ${1:-10} * 1000))
  E2E_EXIT_CODE=running
  while kill -0 "$E2E_PID" 2>/dev/null; do
    [ "$(e2e_now_ms)" -lt "$deadline" ] || return 1
    sleep 0.05
  done
  E2E_EXIT_CODE=0
  wait "$E2E_PID" || E2E_EXIT_CODE=$?
  E2E_PID=''
}

# e2e_expect_exit HOW: the program ended with exit code 0 after HOW.
e2e_expect_exit() {
  e2e_wait_exit 10
  [ "$E2E_EXIT_CODE" = 0 ] || e2e_fail "closed by $1: exit code '$E2E_EXIT_CODE', wanted 0"
  e2e_kill
}

# e2e_click NAME...: one left click on each named control (layout names,
# or "X,Y" for a screen point), in one go, then the pointer moves away.
# xdotool waits 100 ms after each click unless told otherwise; 10 ms keeps
# the clicks apart and 200 sends within a minute and a half.
e2e_click() {
  local arguments=() target
  for target in "$@"; do
    if [[ $target == *,* ]]; then
      arguments+=(mousemove "${target%,*}" "${target#*,}" click --delay 10 1)
    else
      [ -n "${E2E_AT[$target]:-}" ] || { e2e_fail "no control '$target' in the layout"; return 1; }
      # shellcheck disable=SC2206
      arguments+=(mousemove ${E2E_AT[$target]} click --delay 10 1)
    fi
  done
  # shellcheck disable=SC2086
  xdotool "${arguments[@]}" mousemove $E2E_AWAY
}

# e2e_key KEY...: key strokes (xdotool names) to the focused window.
e2e_key() { xdotool key --delay 30 "$@"; }

# The number of transfers the board has seen end (closes in its trace).
e2e_closes() {
  [ -f "$SHIFTLAMP_BOARD_TRACE" ] || { echo 0; return; }
  awk '$2 == "close" { n++ } END { print n + 0 }' "$SHIFTLAMP_BOARD_TRACE"
}

# e2e_no_more_transfers: after a pause longer than a transfer, the board
# has seen no transfer beyond those expected.
e2e_no_more_transfers() {
  sleep 0.5
  local seen
  seen=$(e2e_closes)
  [ "$seen" -eq "$E2E_TRANSFERS" ] || e2e_fail "$seen transfers in all, wanted $E2E_TRANSFERS"
}

# e2e_wait_closes N [SECONDS]: until N transfers have ended (10 s by
# default); status 1 when they did not.
e2e_wait_closes() {
  local deadline=$(($(e2e_now_ms) + ${2:-10} * 1000))
  while [ "$(e2e_closes)" -lt "$1" ]; do
    [ "$(e2e_now_ms)" -lt "$deadline" ] || return 1
    sleep 0.02
  done
}

# The register's outputs at the last close, two hexadecimal digits.
e2e_last_outputs() {
  awk '$2 == "close" { for (i = 3; i <= NF; i++) if ($i ~ /^outputs=0x/) o = substr($i, 11) } END { print o }' \
    "$SHIFTLAMP_BOARD_TRACE" 2>/dev/null
}

# e2e_leds_to PATTERN: puts in E2E_CLICKS the controls to click to turn the
# LED boxes from their present state into PATTERN (hexadecimal), and takes
# the new state as done.
e2e_leds_to() {
  local want=$((16#$1)) k
  E2E_CLICKS=()
  for k in 1 2 3 4 5 6 7 8; do
    if (((want ^ E2E_LEDS) >> (k - 1) & 1)); then E2E_CLICKS+=("led$k"); fi
  done
  E2E_LEDS=$want
}

# e2e_send PATTERN [WANTED]: ticks the LED boxes to PATTERN and presses Send
# with the mouse, then checks that the board's outputs are WANTED (PATTERN
# by default) after exactly one more transfer.
e2e_send() {
  local pattern=$1 wanted=${2:-$1}
  e2e_leds_to "$pattern"
  e2e_click "${E2E_CLICKS[@]}" send || return 1
  e2e_check_transfer "$wanted" "pattern $pattern by clicks"
}

# e2e_check_transfer WANTED WHAT: one more transfer ended, no other one
# since the last check, and it left WANTED on the outputs.
e2e_check_transfer() {
  local wanted=$1 what=$2 got seen
  E2E_TRANSFERS=$((E2E_TRANSFERS + 1))
  if ! e2e_wait_closes "$E2E_TRANSFERS"; then
    e2e_fail "$what: no transfer reached the board"
    e2e_probe state && sed 's/^/   program: /' "$E2E_WORK/probe.out"
    E2E_TRANSFERS=$(e2e_closes)
    return 1
  fi
  seen=$(e2e_closes)
  if [ "$seen" -ne "$E2E_TRANSFERS" ]; then
    e2e_fail "$what: $seen transfers so far, wanted $E2E_TRANSFERS"
    E2E_TRANSFERS=$seen
  fi
  got=$(e2e_last_outputs)
  if [ "$got" != "$(printf '%02x' $((16#$wanted)))" ]; then
    e2e_fail "$what: outputs 0x$got, wanted 0x$wanted"
    e2e_probe state && sed 's/^/   program: /' "$E2E_WORK/probe.out"
  fi
}
