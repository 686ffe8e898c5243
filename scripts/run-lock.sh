# shellcheck shell=bash
# Sourced by run.sh: one run per prefix and per run directory, since a
# second would share the prefix's server and the board's files and take the
# first one down.
#
# A lock is a directory PATH.lock holding "PID START BOOT": its run's
# process id, when that process started (clock ticks after boot, from
# /proc/PID/stat) and the boot's id. It is live while that very process
# runs run.sh; a lock whose process is gone, or whose number now belongs to
# another process (after a reboot or a kill -9), is taken over. Looking at a
# lock and taking it happen under a short flock of PATH.lock.guard, so that
# two runs never both take over one stale lock.

# run_lock_id PID: "PID START BOOT" of a running process; fails if none.
run_lock_id() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  # Fields after the command's name, which may hold spaces: the start time
  # is the 22nd field of the line, the 20th after the name.
  stat=${stat##*) }
  # shellcheck disable=SC2086
  set -- "$1" $stat
  echo "$1 ${21} $(cat /proc/sys/kernel/random/boot_id)"
}

# run_lock_live LOCK: its holder is the process that took it, still running
# run.sh.
run_lock_live() {
  local pid start boot
  read -r pid start boot <"$1/pid" 2>/dev/null || return 1
  [ -n "$pid" ] && [ "$(run_lock_id "$pid")" = "$pid $start $boot" ] || return 1
  tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q 'run\.sh'
}

# take_lock PATH WHAT: takes PATH's lock for this run (adding it to the
# array `locks`), or says which run holds it and exits with 75.
take_lock() {
  local lock=$1.lock status=0 holder
  mkdir -p "$(dirname "$lock")"
  (
    flock 9
    if ! mkdir "$lock" 2>/dev/null; then
      run_lock_live "$lock" && exit 75
      rm -rf "$lock"
      mkdir "$lock" || exit 1
    fi
    run_lock_id $$ >"$lock/pid"
  ) 9>"$lock.guard" || status=$?
  case $status in
    0) locks+=("$lock") ;;
    75)
      read -r holder _ <"$lock/pid"
      echo "run.sh: another run (process $holder, started $(date -r "$lock" +%H:%M:%S)) is using $2 $1;" \
        "end it first, or give this run its own: SHIFTLAMP_RUN_PREFIX=DIR SHIFTLAMP_RUN_DIR=DIR2 scripts/run.sh" >&2
      exit 75
      ;;
    *) echo "run.sh: $lock: cannot take the lock" >&2; exit 75 ;;
  esac
}
