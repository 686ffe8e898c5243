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
