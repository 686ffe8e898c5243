#!/usr/bin/env bash
# serial_port_wine_test.sh WINE_RUN PREFIX_TOOL PREFIX TEST_EXE WORK_DIR [COMn]
#
# Runs TEST_EXE under Wine with COMn (COM5 unless given) mapped to one end of
# a pseudo-terminal pair made by socat in WORK_DIR; the exe learns the port
# from SHIFTLAMP_TEST_PORT. The port is hidden again and socat stopped
# however the test ends.
set -euo pipefail
wine_run=$1 prefix_tool=$2 prefix=$3 exe=$4 dir=$5 port=${6:-COM5}

mkdir -p "$dir"
rm -f "$dir/ptyA" "$dir/ptyB"
# Output to files: a pipe held by a helper process would stall the test.
socat -d -d pty,raw,echo=0,link="$dir/ptyA" pty,raw,echo=0,link="$dir/ptyB" \
  >"$dir/socat.log" 2>&1 &
socat_pid=$!

cleanup() {
  "$prefix_tool" "$prefix" hide "$port" || true
  kill "$socat_pid" 2>/dev/null || true
  wait "$socat_pid" 2>/dev/null || true
}
trap cleanup EXIT

for _ in $(seq 100); do
  [ -e "$dir/ptyA" ] && [ -e "$dir/ptyB" ] && break
  sleep 0.05
done
if [ ! -e "$dir/ptyA" ]; then
  echo "socat made no pseudo-terminal pair:" >&2
  cat "$dir/socat.log" >&2
  exit 1
fi

"$prefix_tool" "$prefix" map "$port" "$dir/ptyA"
# Wine links its COM ports when its server starts: restart it so that the
# new mapping is seen. Started here, the server writes nowhere near the log.
"$prefix_tool" "$prefix" restart

status=0
SHIFTLAMP_TEST_PORT=$port "$wine_run" "$exe" >"$dir/test.log" 2>&1 || status=$?
cat "$dir/test.log"
exit $status
