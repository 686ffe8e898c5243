#!/usr/bin/env bash
# wine-prefix.sh PREFIX setup|stop|restart|map COMn DEVICE [COMm DEVICE...]|hide COMn [COMm...]
#
# Manages a Wine prefix of the project's own. `setup` makes the prefix if it
# is not there and hides COM1 to COM32 (an empty value hides a port; Wine's
# automatic mapping of the machine's serial devices then moves past them, and
# nothing of ours opens a port above COM10). `map` points ports at devices,
# `hide` hides them again (one registry import for all of them); both stop
# the prefix's wineserver afterwards, since Wine links its COM ports only
# when its server starts. `stop` stops the prefix's wineserver; `restart`
# stops it and starts a new one in the background, its output nowhere.
set -Eeuo pipefail
trap 'echo "wine-prefix.sh ${action:-}: line $LINENO: \"$BASH_COMMAND\" failed (status $?)" >&2' ERR
prefix=$1
action=$2
export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

ports_reg() {
  printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
  cat
}

# Imports registry text: the Ports key's values from standard input, or the
# whole text when a first argument says so.
import_reg() {
  local dir
  dir=$(mktemp -d "${TMPDIR:-/tmp}/shiftlamp-ports.XXXXXX")
  if [ "${1:-}" = whole ]; then cat; else ports_reg; fi > "$dir/ports.reg"
  # A relative name: regedit would take a leading slash for a switch. The
  # folder goes whether or not Wine could import it.
  local status=0
  (cd "$dir" && wine regedit /S ports.reg >/dev/null 2>&1) || status=$?
  rm -rf "$dir"
  return $status
}

# A value as a REGEDIT4 string's contents: backslashes and quotes escaped,
# so that a device path holding them is stored as it is.
reg_string() {
  local text=${1//\\/\\\\}
  printf '%s' "${text//\"/\\\"}"
}

stop_server() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
}

# wineserver exits 2 when a server of the prefix already runs: a Wine
# process still on its way out of an earlier run can start one between the
# stop and the start, without the mappings made since. Stopped again, ours
# starts.
restart_server() {
  local attempt status
  for attempt in 1 2 3; do
    stop_server
    status=0
    wineserver >/dev/null 2>&1 || status=$?
    [ "$status" -ne 0 ] || return 0
  done
  echo "wine-prefix.sh: the wineserver of $prefix did not start (status $status)" >&2
  return 1
}

case $action in
  setup)
    if [ ! -f "$prefix/system.reg" ]; then
      mkdir -p "$prefix"
      wineboot -i >/dev/null 2>&1
      wineserver -w
    fi
    for i in $(seq 1 32); do printf '"COM%d"=""\n' "$i"; done | import_reg
    # A program that crashes ends at once instead of waiting behind Wine's
    # crash dialog until its test times out.
    printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]\n"ShowCrashDialog"=dword:00000000\n' |
      import_reg whole
    # Links made by an earlier mapping are made again on first use.
    rm -f "$prefix"/dosdevices/com[0-9]*
    ;;
  map)
    shift 2
    [ $# -gt 0 ] && [ $(($# % 2)) -eq 0 ] || { echo "usage: $0 PREFIX map COMn DEVICE..." >&2; exit 2; }
    pairs=("$@")
    for ((i = 0; i < ${#pairs[@]}; i += 2)); do
      printf '"%s"="%s"\n' "${pairs[i]}" "$(reg_string "${pairs[i + 1]}")"
    done | import_reg
    for ((i = 0; i < ${#pairs[@]}; i += 2)); do rm -f "$prefix/dosdevices/${pairs[i],,}"; done
    stop_server
    ;;
  hide)
    shift 2
    [ $# -gt 0 ] || { echo "usage: $0 PREFIX hide COMn..." >&2; exit 2; }
    for port in "$@"; do printf '"%s"=""\n' "$port"; done | import_reg
    for port in "$@"; do rm -f "$prefix/dosdevices/${port,,}"; done
    stop_server
    ;;
  stop)
    stop_server
    ;;
  restart)
    restart_server
    ;;
  *)
    echo "usage: $0 PREFIX setup|stop|restart|map COMn DEVICE...|hide COMn..." >&2
    exit 2
    ;;
esac
