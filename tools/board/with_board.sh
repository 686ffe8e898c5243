#!/usr/bin/env bash
# with_board.sh [OPTIONS] [SHIFTLAMP_BOARD_...=VALUE...] -- COMMAND...
#
# Runs COMMAND (a Windows program through wine or a build tree's wine-run)
# with the simulated register board on a COM port: makes a pseudo-terminal
# pair with socat, maps the port to one end in the prefix, restarts the
# prefix's wineserver so that the mapping holds, and runs COMMAND with the
# board's library preloaded. Afterwards the port is hidden again, the server
# stopped and socat ended, however COMMAND ended; the exit status is
# COMMAND's. Run it through scripts/guard.sh, as every Wine run of ours.
#
# With --native, COMMAND is a native program (shiftlamp-send) given the
# board's pseudo-terminal, whose path it finds in $SHIFTLAMP_BOARD_DEVICE;
# nothing is mapped and no Wine is involved.
#
# Options (defaults for the repository's Windows build tree that runs on
# this machine, TREE: build/windows where 32-bit programs run, otherwise
# build/windows64; SHIFTLAMP_ARCH=i686 or x86-64 names one):
#   --native         a native program, the native tree's library
#                    (build/native/tools/board/libshiftlamp_board.so)
#   --prefix DIR     Wine prefix                 (TREE/wineprefix)
#   --library FILE   the board's preload library (TREE/tools/board/libshiftlamp_board.so)
#   --port COMn      the board's port            (COM3)
#   --other COMm     also map COMm to the pair's other end, a plain
#                    pseudo-terminal that is not the board
#   --dir DIR        where the pseudo-terminal links and logs go (a new
#                    temporary directory, removed afterwards)
#   --trace FILE     the board's trace           (DIR/board.trace)
#   --log FILE       COMMAND's output, shown when it ends (DIR/command.log)
# Board settings (SHIFTLAMP_BOARD_INVERT=1, SHIFTLAMP_BOARD_OPEN_DTR=1,
# SHIFTLAMP_BOARD_CLOSE=drop or an order such as break,dtr,rts, ...) and
# other variables for COMMAND may be given before "--";
# tools/board/board_preload.c lists the settings. Among them:
#   SHIFTLAMP_BOARD_REGISTERS=N    a chain of N registers (1 to 128); a chain
#                                  of another length than the program is
#                                  told is this setting differing from it
#   SHIFTLAMP_BOARD_QH=cts|dsr|dcd|ri
#                                  the last register's QH' wired back to that
#                                  input line (TIOCMGET, GetCommModemStatus)
#   SHIFTLAMP_BOARD_QH_INVERT=1    through an inverter
#   SHIFTLAMP_BOARD_LINE_US=N      each line request takes N us, and an input
#                                  change shows N us after the request that
#                                  made it, as on a USB adapter
#   SHIFTLAMP_BOARD_STUCK=K:0|K:1  stage K of the chain stuck at that level:
#                                  outputs K to 8N show it after a frame, and
#                                  so does QH' once the stages after it fill
set -Eeuo pipefail
# A step that fails before COMMAND runs says which, rather than leaving the
# caller with a bare exit status.
trap 'echo "with_board.sh: line $LINENO: \"$BASH_COMMAND\" failed (status $?)" >&2' ERR
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=../../scripts/machine.sh
source "$root/scripts/machine.sh"
windows_tree "${SHIFTLAMP_ARCH:-auto}" || { echo "with_board.sh: SHIFTLAMP_ARCH takes i686 or x86-64" >&2; exit 2; }
prefix=$root/$tree_dir/wineprefix
library=$root/$tree_dir/tools/board/libshiftlamp_board.so
port=COM3 other='' dir='' trace='' log='' native=0 library_given=0
settings=()

usage() {
  sed -n '2,/^set -E\{0,1\}euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
  exit 2
}

while [ $# -gt 0 ]; do
  case $1 in
    --prefix) prefix=$2; shift 2 ;;
    --library) library=$2; library_given=1; shift 2 ;;
    --native) native=1; shift ;;
    --port) port=$2; shift 2 ;;
    --other) other=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
    --trace) trace=$2; shift 2 ;;
    --log) log=$2; shift 2 ;;
    --) shift; break ;;
    *=*) settings+=("$1"); shift ;;
    *) usage ;;
  esac
done
[ $# -gt 0 ] || usage
if [ "$native" -eq 1 ] && [ "$library_given" -eq 0 ]; then
  library=$root/build/native/tools/board/libshiftlamp_board.so
fi
if [ ! -f "$library" ]; then
  echo "with_board.sh: no board library at $library (build the $([ "$native" -eq 1 ] && echo native || echo "$tree_preset") preset)" >&2
  exit 2
fi

# Set before anything is started, so that an interrupt at any point takes
# down what was.
made_dir=0 socat_pid='' link_dir=''
ports=("$port")
prefix_tool=$root/scripts/wine-prefix.sh
cleanup() {
  if [ "$native" -eq 0 ]; then
    "$prefix_tool" "$prefix" hide "${ports[@]}" >/dev/null 2>&1 || true
    "$prefix_tool" "$prefix" stop >/dev/null 2>&1 || true
  fi
  if [ -n "$socat_pid" ]; then
    kill "$socat_pid" 2>/dev/null || true
    wait "$socat_pid" 2>/dev/null || true
  fi
  if [ "$made_dir" -eq 1 ]; then rm -rf "$dir"; fi
  if [ -n "$link_dir" ]; then rm -rf "$link_dir"; fi
}
trap cleanup EXIT

if [ -z "$dir" ]; then
  dir=$(mktemp -d "${TMPDIR:-/tmp}/shiftlamp-board.XXXXXX")
  made_dir=1
fi
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
trace=${trace:-$dir/board.trace}
log=${log:-$dir/command.log}
export WINEPREFIX=$prefix

devices=("$port" "$dir/board-pty")
if [ -n "$other" ]; then
  ports+=("$other")
  devices+=("$other" "$dir/other-pty")
fi

# ld.so splits LD_PRELOAD at spaces and colons: a library in a folder whose
# path holds one (a checkout under "My projects", say) is reached through a
# link in a temporary folder.
[[ $library == /* ]] || library=$PWD/$library
preload=$library
if [[ $preload == *[[:space:]:]* ]]; then
  link_dir=$(mktemp -d "${TMPDIR:-/tmp}/shiftlamp-preload.XXXXXX")
  ln -s "$library" "$link_dir/libshiftlamp_board.so"
  preload=$link_dir/libshiftlamp_board.so
fi

rm -f "$dir/board-pty" "$dir/other-pty"
# socat splits an address at commas (and takes colons and quotes as its
# own): in a folder whose path holds one, it makes its links in a
# temporary folder, and DIR gets links to those.
pty_dir=$dir
if [[ $dir == *[,:\'\"\\!\ ]* ]]; then
  [ -n "$link_dir" ] || link_dir=$(mktemp -d "${TMPDIR:-/tmp}/shiftlamp-preload.XXXXXX")
  pty_dir=$link_dir
  ln -s "$pty_dir/board-pty" "$dir/board-pty"
  ln -s "$pty_dir/other-pty" "$dir/other-pty"
fi
# Output to files: a pipe held by a helper process would stall the caller.
socat -d -d pty,raw,echo=0,link="$pty_dir/board-pty" pty,raw,echo=0,link="$pty_dir/other-pty" \
  >"$dir/socat.log" 2>&1 &
socat_pid=$!

for _ in $(seq 100); do
  [ -e "$dir/board-pty" ] && [ -e "$dir/other-pty" ] && break
  sleep 0.05
done
if [ ! -e "$dir/other-pty" ]; then
  echo "with_board.sh: socat made no pseudo-terminal pair:" >&2
  cat "$dir/socat.log" >&2
  exit 1
fi

if [ "$native" -eq 0 ]; then
  # A prefix made elsewhere is made here, every port hidden; one of ours is
  # taken as it stands.
  [ -f "$prefix/system.reg" ] || "$prefix_tool" "$prefix" setup
  "$prefix_tool" "$prefix" map "${devices[@]}"
  # Mappings are read when the server starts: started here, without the
  # library, and writing nowhere near the log.
  "$prefix_tool" "$prefix" restart
fi

status=0
env LD_PRELOAD="$preload" SHIFTLAMP_BOARD_DEVICE="$dir/board-pty" SHIFTLAMP_BOARD_TRACE="$trace" \
  "${settings[@]}" "$@" >"$log" 2>&1 || status=$?
# Shells and other 64-bit programs on the way cannot load the 32-bit library
# and say so; that is expected.
grep -v 'wrong ELF class' "$log" || true
exit $status
