# shellcheck shell=bash
# Sourced by the shiftlamp-send tests: counting failed checks, and reading
# what the register latched out of the board's trace.

failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# latched TRACE ACTIVE: the outputs latched by each frame, one after another:
# the storage register after each latch pulse, whose active level is the
# break's port level ACTIVE (1, or 0 with invert).
latched() {
  awk -v active="$2" '$2 == "BREAK" { if ($3 == active) seen = 1; else if (seen) { sub("outputs=", "", $8); printf "%s ", $8; seen = 0 } }' "$1"
}

# await_trace AWK_PROGRAM: waits until AWK_PROGRAM, run over the board's
# trace ($SHIFTLAMP_BOARD_TRACE), exits 0; fails after 60 s. Exported: the
# scripts the board runs call it to time a signal by what the board saw.
await_trace() {
  local tries
  for ((tries = 0; tries < 6000; tries++)); do
    awk "$1" "$SHIFTLAMP_BOARD_TRACE" 2>/dev/null && return 0
    sleep 0.01
  done
  echo "await_trace: the trace never showed: $1" >&2
  return 1
}
export -f await_trace

# per_change_problem OUTPUT: what is wrong with the time per change in
# --check's OUTPUT, nothing when it hangs together: a median above zero, the
# slowest change no faster, a frame the median times its changes (to the
# printed rounding). How near it comes to the board's setting is measured
# by bench/check_accuracy.sh, not here.
per_change_problem() {
  local finding
  finding=$(sed -n 's/^  per change  *\([0-9.]*\) ms median of \([0-9]*\) changes, \([0-9.]*\) ms the slowest: a frame (\([0-9]*\) changes) takes at least \([0-9.]*\) ms.*/\1 \2 \3 \4 \5/p' "$1")
  [ -n "$finding" ] || { echo "no time per change in: $(cat "$1")"; return; }
  echo "$finding" | awk '{ median = $1; n = $2; slowest = $3; changes = $4; frame = $5
    d = frame - median * changes; if (d < 0) d = -d
    if (!(median > 0 && n > 0)) print "a median of " median " ms over " n " changes"
    else if (slowest < median) print "the slowest change (" slowest " ms) faster than the median (" median " ms)"
    else if (!(changes > 0) || d > 0.0005 * (changes + 1)) print "a frame of " changes " changes at " frame " ms, the median " median " ms" }'
}
