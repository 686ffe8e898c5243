#!/usr/bin/env bash
# app_idle_cpu.sh [SECONDS]: the processor time the idle shiftlamp.exe takes
# under Wine and Xvfb, against the program that only opens one window
# (minimal_window.exe). Builds the Windows tree that runs on this machine
# (scripts/windows-tree.sh: build/windows, or build/windows64 where 32-bit
# programs do not run; SHIFTLAMP_ARCH chooses too) and says which on its
# first line; in the tree's test prefix, for each program: starts the prefix's wineserver, starts the
# program, waits for its window and two seconds more, then reads the user
# and system time (utime + stime of /proc/PID/stat, all threads, 10 ms
# ticks) and the context switches (every thread's, /proc/PID/task/*/status)
# of the program's process and of the wineserver before and after SECONDS
# (10 by default) of doing nothing. The wine command's process becomes the
# program's process, so its process id is the program's.
# SHIFTLAMP_BENCH_VERBOSE=1 also prints what each process is and has used
# before the measurement.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# shellcheck source=scripts/windows-tree.sh

source scripts/windows-tree.sh

if [ "${1:-}" = --inside ]; then
  seconds=$2
  use_windows_tree bench/app_idle_cpu.sh quiet
  tree=$root/$tree_dir
  prefix=$tree/wineprefix
  export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  wine_run=$tree/wine-run
  [ -f "$prefix/system.reg" ] || scripts/wine-prefix.sh "$prefix" setup
  # Unmanaged, as in the tests: no wait for a window manager at the close.
  for exe in shiftlamp.exe minimal_window.exe; do
    "$wine_run" reg add "HKCU\\Software\\Wine\\AppDefaults\\$exe\\X11 Driver" /v Managed /d N /f >/dev/null 2>&1
  done

  ticks=$(getconf CLK_TCK)
  # cpu_ms PID: user + system time so far, in milliseconds.
  cpu_ms() { awk -v hz="$ticks" '{ sub(/^.*\) /, ""); print ($12 + $13) * 1000 / hz }' "/proc/$1/stat"; }
  # switches PID: voluntary and involuntary context switches of all threads.
  switches() { cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches/ { n += $2 } END { print n + 0 }'; }

  printf '%-20s %8s %12s %10s %14s %12s\n' "" "cpu ms" "of one core" "wake-ups/s" "server cpu ms" "server w/s"
  for program in "$tree/src/app/shiftlamp.exe:Shiftlamp" \
                 "$tree/bench/minimal_window.exe:Minimal"; do
    exe=${program%:*} title=${program##*:}
    scripts/wine-prefix.sh "$prefix" stop
    wineserver -f -p >/dev/null 2>&1 &
    server=$!
    "$wine_run" "$exe" >/dev/null 2>&1 &
    pid=$!
    if ! xdotool search --sync --name "^$title\$" >/dev/null 2>&1; then
      echo "no window $title" >&2
      exit 1
    fi
    sleep 2
    [ -n "${SHIFTLAMP_BENCH_VERBOSE:-}" ] && echo "pid $pid: $(tr '\0' ' ' <"/proc/$pid/cmdline"), $(ls /proc/$pid/task | wc -l) threads, $(cpu_ms "$pid") ms and $(switches "$pid") context switches so far; server $server: $(tr '\0' ' ' <"/proc/$server/cmdline")"
    cpu0=$(cpu_ms "$pid") sw0=$(switches "$pid") scpu0=$(cpu_ms "$server") ssw0=$(switches "$server")
    sleep "$seconds"
    cpu1=$(cpu_ms "$pid") sw1=$(switches "$pid") scpu1=$(cpu_ms "$server") ssw1=$(switches "$server")
    awk -v name="${exe##*/}" -v c=$((cpu1 - cpu0)) -v s=$((sw1 - sw0)) -v sc=$((scpu1 - scpu0)) \
        -v ss=$((ssw1 - ssw0)) -v t="$seconds" \
      'BEGIN { printf "%-20s %8d %11.2f%% %10.1f %14d %12.1f\n", name, c, c / (t * 10), s / t, sc, ss / t }'
    # The program and the server end with the prefix's server.
    scripts/wine-prefix.sh "$prefix" stop
    wait "$pid" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
  done
else
  seconds=${1:-10}
  use_windows_tree bench/app_idle_cpu.sh
  cmake --preset "$tree_preset" >/dev/null
  cmake --build --preset "$tree_preset" -j2 >/dev/null
  echo "Idle for $seconds s under Wine and Xvfb, after the window appeared (10 ms resolution)"
  scripts/guard.sh xvfb-run -a -s '-screen 0 1280x1024x24' "$0" --inside "$seconds"
fi
