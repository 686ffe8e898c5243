#!/usr/bin/env bash
# board_trace_stats.sh TRACE: the timing of the transfers in a simulated
# board's trace (tools/board): the intervals between successive line changes
# of each transfer, and from the last change to the close (the wait after the
# last step); each transfer from open to close; from each close to the next
# open; all of them from the first open to the last close. Nearest-rank
# statistics in milliseconds.
#
# An interval spans one step only when every step changed a line: a step that
# sets a line to the level it has leaves no trace. bench/board_transfer.sh
# sends a pattern for which every step of every transfer is a change.
set -euo pipefail
trace=${1:?usage: board_trace_stats.sh TRACE}

# kind value_ns, one per line: "step" intervals, "transfer" durations,
# "gap" from a close to the next open, and the first open and last close.
measure() {
  awk '
    /^#/ { next }
    $2 == "open" { if (last) print "gap", $1 - last; open = $1; previous = 0; if (!first) first = $1; next }
    $2 == "close" {
      if (previous) print "step", $1 - previous
      if (open) print "transfer", $1 - open
      last = $1; open = 0; previous = 0; next
    }
    { if (previous) print "step", $1 - previous; previous = $1; changes++ }
    END { print "span", last - first; print "changes", changes + 0 }' "$trace"
}

# summary LABEL: min median p99 max of the numbers (ns) on standard input.
summary() {
  sort -n | awk -v label="$1" '
    { v[NR] = $1; sum += $1 }
    function rank(f,   i) { i = int(f * NR + 0.999999); if (i < 1) i = 1; if (i > NR) i = NR; return v[i] / 1e6 }
    END {
      if (NR == 0) { printf "%-22s (none)\n", label; exit }
      printf "%-22s %6d %9.3f %9.3f %9.3f %9.3f %11.1f\n", label, NR, rank(0), rank(0.5), rank(0.99), rank(1), sum / 1e6
    }'
}

data=$(measure)
printf '%-22s %6s %9s %9s %9s %9s %11s   (ms)\n' "" count min median p99 max total
grep '^step ' <<<"$data" | cut -d' ' -f2 | summary "step intervals"
grep '^transfer ' <<<"$data" | cut -d' ' -f2 | summary "open to close"
if grep -q '^gap ' <<<"$data"; then
  grep '^gap ' <<<"$data" | cut -d' ' -f2 | summary "close to next open"
fi
span=$(sed -n 's/^span //p' <<<"$data")
changes=$(sed -n 's/^changes //p' <<<"$data")
printf '%s line changes; first open to last close %.1f ms\n' "$changes" "$(awk -v s="$span" 'BEGIN { print s / 1e6 }')"
