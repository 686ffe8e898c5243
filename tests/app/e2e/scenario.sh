#!/usr/bin/env bash
# scenario.sh NAME: one run of shiftlamp.exe driven by real input, inside
# tools/board/with_board.sh (e2e_test.sh starts it there, the settings in
# the environment; session.sh lists them). Exits 0 when every check held.
# The program is always closed by the scenario, or else ended by its
# process id, before this script exits.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=session.sh
source "$here/session.sh"
mkdir -p "$E2E_WORK"


scenario_clicks() {
  e2e_start || return
  local pattern
  for pattern in a5 00 ff 01 80 3c 5a 7e; do e2e_send "$pattern"; done
  e2e_no_more_transfers
  [ -n "${E2E_AT[close]:-}" ] || { e2e_fail "the window has no close button on its title bar"; return; }
  e2e_click close
  e2e_expect_exit "the title bar's close button"
}

scenario_inverted() {
  e2e_start || return
  e2e_click invert
  local pattern
  for pattern in a5 00 ff 01 80 3c; do e2e_send "$pattern"; done
  # The box is read at every press: unticked, the inverter in the wiring
  # shows the complement.
  e2e_click invert
  e2e_send 3c c3
  e2e_no_more_transfers
  e2e_key alt+F4
  e2e_expect_exit "Alt+F4"
}

# The board's driver clears lines at close (SHIFTLAMP_BOARD_CLOSE); the
# trace's close line shows the outputs after it did: with the invert box
# ticked over the inverting board, the ticked LEDs stay on.
scenario_inverted_close() {
  e2e_start || return
  e2e_click invert
  local pattern
  for pattern in a5 81 ff 00 3c; do e2e_send "$pattern"; done
  e2e_no_more_transfers
  # The transfer left DTR and the break clear itself: a driver that leaves
  # the break alone (dtr,rts) still finds it so.
  awk '$2 == "close" && !/dtr=0 rts=[01] break=0/ { bad = 1 } END { exit bad }' "$SHIFTLAMP_BOARD_TRACE" ||
    e2e_fail "DTR or the break still set after a close"
  e2e_click close
  e2e_expect_exit "the title bar's close button"
}

scenario_dtr_at_open() {
  e2e_start || return
  [ "$SHIFTLAMP_BOARD_INVERT" = 1 ] && e2e_click invert
  local pattern
  for pattern in a5 3c ff 00 81; do e2e_send "$pattern"; done
  e2e_no_more_transfers
  # The driver really raised DTR, at every open: each transfer leaves it
  # clear, invert or not.
  local raised wanted=5
  raised=$(awk '/^#/ { next } prev == "open" && $2 == "DTR" && $3 == 1 { n++ } { prev = $2 } END { print n + 0 }' \
    "$SHIFTLAMP_BOARD_TRACE")
  [ "$raised" = "$wanted" ] || e2e_fail "DTR raised at $raised opens, wanted $wanted"
  e2e_click close
  e2e_expect_exit "the title bar's close button"
}

# keys_send WANTED KEYS...: the keys end with Space on the Send
# button; one transfer leaves WANTED.
keys_send() {
  local wanted=$1
  shift
  e2e_key "$@"
  e2e_check_transfer "$wanted" "keys $*"
}

scenario_keyboard() {
  e2e_start || return
  # The focus starts on the window itself; Tab goes to the port list, the
  # invert box, Led 1 to Led 8 and Send, in that order.
  keys_send a5 Tab Tab Tab space Tab Tab space Tab Tab Tab space Tab Tab space Tab space
  # Back from Send: Led 8 off, then Led 1 off, and forward to Send again.
  keys_send 24 shift+Tab space shift+Tab shift+Tab shift+Tab shift+Tab shift+Tab shift+Tab shift+Tab space \
    Tab Tab Tab Tab Tab Tab Tab Tab space
  e2e_probe focus
  [ "$(e2e_answer focus)" = "12 Button" ] || e2e_fail "focus after the keys: '$(e2e_answer focus)', wanted the Send button"
  e2e_no_more_transfers
  e2e_key alt+F4
  e2e_expect_exit "Alt+F4"
}

# choose_port INDEX: opens the port list with a click and clicks item INDEX.
choose_port() {
  local left top right bottom height first
  e2e_click port
  if ! e2e_probe list; then
    e2e_fail "the port list did not open: $(cat "$E2E_WORK/probe.err")"
    return 1
  fi
  read -r left top right bottom < <(e2e_answer list)
  height=$(e2e_answer item_height)
  first=$(e2e_answer top_index)
  # One pixel of frame above the first item.
  e2e_click "$(((left + right) / 2)),$((top + 1 + (($1 - first) * height) + height / 2))"
}

# send_on INDEX PORT PATTERN: item INDEX of the list chosen with the mouse
# (it must be PORT), the LEDs ticked to PATTERN, Send clicked.
send_on() {
  choose_port "$1" || return 1
  e2e_probe state
  [ "$(e2e_answer port)" = "$2" ] || { e2e_fail "port chosen: '$(e2e_answer port)', wanted $2"; return 1; }
  e2e_leds_to "$3"
  e2e_click "${E2E_CLICKS[@]}" send
}

# answer_box TEXT WHAT: after WHAT a box shows TEXT under no caption, with
# only its OK button and the main window disabled; a click on OK closes it.
answer_box() {
  if ! e2e_probe box 5000; then
    e2e_fail "no message box after $2"
    return 1
  fi
  sed 's/^/   box: /' "$E2E_WORK/probe.out"
  [ "$(e2e_answer text)" = "$1" ] || e2e_fail "box text '$(e2e_answer text)'"
  [ -z "$(e2e_answer caption)" ] || e2e_fail "box caption '$(e2e_answer caption)', wanted none"
  [ "$(grep -c '^button ' "$E2E_WORK/probe.out")" = 1 ] || e2e_fail "the box has more than its OK button"
  [ "$(e2e_answer main_enabled)" = 0 ] || e2e_fail "the main window takes input while the box is up"
  local id x y
  read -r id x y _ < <(e2e_answer button)
  [ "$id" = 1 ] || e2e_fail "the box's button is $id, wanted OK (1)"
  e2e_click "$x,$y"
  e2e_probe nobox 5000 || { e2e_fail "the box is still up after a click on OK"; return 1; }
}

scenario_hidden_port() {
  e2e_start || return
  send_on 6 COM7 5a || return
  answer_box "Не удалось открыть порт COM7" "Send on COM7" || return
  e2e_probe state
  [ "$(e2e_answer enabled)" = 1 ] || e2e_fail "the main window is disabled after the box"
  [ "$(e2e_closes)" = 0 ] || e2e_fail "the board saw a transfer on COM7"
  grep -q ' open ' "$SHIFTLAMP_BOARD_TRACE" 2>/dev/null && e2e_fail "the board's port was opened"

  # The program goes on: COM1 again, the boxes as they were.
  choose_port 0 || return
  e2e_click send
  e2e_check_transfer 5a "Send on COM1 after the box"
  e2e_no_more_transfers
  e2e_click close
  e2e_expect_exit "the title bar's close button"
}

# COM2 is a plain pseudo-terminal (no modem lines): the transfer runs, then
# a box says the lines did not switch; back on COM1 nothing is shown.
scenario_no_modem_lines() {
  e2e_start || return
  send_on 1 COM2 a5 || return
  answer_box "Не удалось переключить линии порта COM2" "Send on a port without modem lines" || return

  choose_port 0 || return
  e2e_click send
  e2e_check_transfer a5 "Send on COM1 after the box"
  e2e_no_more_transfers
  e2e_probe nobox 1000 || e2e_fail "a box after a transfer whose lines all switched"
  e2e_click close
  e2e_expect_exit "the title bar's close button"
}

scenario_random() {
  e2e_start || return
  local i pattern started
  RANDOM=$E2E_SEED
  started=$(e2e_now_ms)
  for ((i = 0; i < 200; i++)); do
    pattern=$(printf '%02x' $((RANDOM % 256)))
    e2e_send "$pattern"
    [ "$E2E_FAILURES" -lt 5 ] || { e2e_fail "stopped after send $((i + 1))"; break; }
  done
  e2e_note "$i sends in $(($(e2e_now_ms) - started)) ms"
  e2e_no_more_transfers
  e2e_click close
  e2e_expect_exit "the title bar's close button"
}

# A shell error (bad arithmetic, say) abandons the whole command it occurs
# in, the scenario with it: only a scenario that ran to its end counts.
finished=0
run_scenario() {
  "scenario_${1//-/_}"
  finished=1
}
run_scenario "$1"
e2e_kill
[ "$finished" = 1 ] || e2e_fail "the scenario stopped half-way"
[ "$E2E_FAILURES" -eq 0 ]
