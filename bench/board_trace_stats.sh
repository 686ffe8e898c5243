#!/usr/bin/env bash
# board_trace_stats.sh TRACE: the timing of the transfers in a simulated
# board's trace (tools/board): the intervals between successive line changes
# of each transfer, and from the last change to the close (the wait after the
# last step); each transfer from open to close; from each close to the next
# open; all of them from the first open to the last close. Nearest-rank
# statistics in milliseconds.
#
# The first transfer of each process (each program run that wrote to the
# trace) comes first and on its own: whatever the program sets up on its
# first Send lands there, and most of all in its first step interval (from
# the first line change to the second) and before its first change, which
# the statistics of the many later transfers would hide. The other transfers
# follow, as they always were.
#
# An interval spans one step only when every step changed a line: a step that
# sets a line to the level it has leaves no trace. bench/board_transfer.sh
# sends a pattern for which every step of every transfer is a change.
set -euo pipefail
trace=${1:?usage: board_trace_stats.sh TRACE}

# kind value_ns, one per line: "step" intervals, "transfer" durations,
# "gap" from a close to the next open, and the first open and last close.
# Of the first transfer of each process, "first-step", "first-transfer",
# "first-interval" (its first step interval) and "first-lead" (open to its
# first line change); the transfers' own lines carry pid=P last.
measure() {
  awk '
    /^#/ { next }
    $2 == "open" {
      if (last) print "gap", $1 - last
      kind = ($NF in seen) ? "" : "first-"
      seen[$NF] = 1
      open = $1; previous = 0; intervals = 0; if (!first) first = $1; next
    }
    $2 == "close" {
      if (previous) print kind "step", $1 - previous
      if (open) print kind "transfer", $1 - open
      last = $1; open = 0; previous = 0; next
    }
    {
      if (previous) {
        print kind "step", $1 - previous
        if (kind != "" && ++intervals == 1) print "first-interval", $1 - previous
      } else if (open && kind != "") {
        print "first-lead", $1 - open
      }
      previous = $1; changes++
    }
    END { print "span", last - first; print "changes", changes + 0; print "programs", length(seen) }' "$trace"
}

# summary LABEL: min median p99 max of the numbers (ns) on standard input.
summary() {
  sort -n | awk -v label="$1" '
    { v[NR] = $1; sum += $1 }
    function rank(f,   i) { i = int(f * NR + 0.999999); if (i < 1) i = 1; if (i > NR) i = NR; return v[i] / 1e6 }
    END {
      if (NR == 0) { printf "%-24s (none)\n", label; exit }
      printf "%-24s %6d %9.3f %9.3f %9.3f %9.3f %11.1f\n", label, NR, rank(0), rank(0.5), rank(0.99), rank(1), sum / 1e6
    }'
}

# values KIND: the numbers of one kind.
values() { grep "^$1 " <<<"$data" | cut -d' ' -f2 || true; }

data=$(measure)
programs=$(sed -n 's/^programs //p' <<<"$data")
printf '%-24s %6s %9s %9s %9s %9s %11s   (ms)\n' "" count min median p99 max total
if [ "$programs" -eq 1 ]; then
  echo "the first transfer after the program started:"
else
  echo "the first transfer of each of the $programs programs:"
fi
values first-lead | summary "  open to first change"
values first-interval | summary "  first step interval"
values first-step | summary "  step intervals"
values first-transfer | summary "  open to close"
echo "the other transfers:"
values step | summary "  step intervals"
values transfer | summary "  open to close"
if grep -q '^gap ' <<<"$data"; then
  values gap | summary "close to next open"
fi
span=$(sed -n 's/^span //p' <<<"$data")
changes=$(sed -n 's/^changes //p' <<<"$data")
printf '%s line changes; first open to last close %.1f ms\n' "$changes" "$(awk -v s="$span" 'BEGIN { print s / 1e6 }')"
