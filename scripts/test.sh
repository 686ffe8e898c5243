#!/usr/bin/env bash
# Builds the three trees (native portable layers with ASan and UBSan; the
# libFuzzer targets with clang; the Windows product with MinGW-w64) and runs
# every test: the native ones directly, a bounded run of each fuzz target, the
# Windows ones under Wine inside Xvfb. Exits non-zero when anything fails.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh || exit 1

build() {
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1"
}
build native || exit 1
build fuzz || exit 1
build windows || exit 1

log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
scripts/guard.sh ctest --preset native 2>&1 | tee "$log" || status=1
scripts/guard.sh ctest --preset fuzz 2>&1 | tee -a "$log" || status=1
scripts/guard.sh xvfb-run -a -s '-screen 0 1280x1024x24' ctest --preset windows 2>&1 | tee -a "$log" || status=1

# One line for all runs, from CTest's own summaries.
passed=0 failed=0
while read -r fail total; do
  passed=$((passed + total - fail))
  failed=$((failed + fail))
done < <(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\1 \2/p' "$log")
rm -f "$log"
[ "$failed" -gt 0 ] && status=1
echo
echo "${passed} passed, ${failed} failed"
exit $status
