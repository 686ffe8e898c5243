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
skipped=0
scripts/guard.sh ctest --preset native 2>&1 | tee "$log" || status=1
scripts/guard.sh ctest --preset fuzz 2>&1 | tee -a "$log" || status=1
# Wine runs the i686 programs as 32-bit Linux processes. A kernel without
# 32-bit support cannot start them at all: then the Windows tests are
# counted as skipped, and said so, rather than failed one by one. The probe
# is the 32-bit program the Windows tree's configuration linked.
if build/windows/CMakeFiles/host32_probe 2>/dev/null; then
  scripts/guard.sh xvfb-run -a -s '-screen 0 1280x1024x24' ctest --preset windows 2>&1 | tee -a "$log" || status=1
else
  # What needs neither Wine nor a 32-bit process still runs.
  ctest --preset windows -L no-wine 2>&1 | tee -a "$log" || status=1
  all=$(ctest --preset windows -N 2>/dev/null | sed -n 's/^Total Tests: //p')
  runnable=$(ctest --preset windows -N -L no-wine 2>/dev/null | sed -n 's/^Total Tests: //p')
  skipped=$((${all:-0} - ${runnable:-0}))
  echo
  echo "SKIPPED: the ${skipped} Windows tests that need Wine or a 32-bit process. This machine's kernel cannot run 32-bit programs"
  echo "(build/windows/CMakeFiles/host32_probe does not start), and Wine runs the i686 tests as"
  echo "32-bit processes. The Windows tree was built; run scripts/test.sh on a machine with"
  echo "32-bit support to run them."
fi

# One line for all runs, from CTest's own summaries.
passed=0 failed=0
while read -r fail total; do
  passed=$((passed + total - fail))
  failed=$((failed + fail))
done < <(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\1 \2/p' "$log")
rm -f "$log"
[ "$failed" -gt 0 ] && status=1
echo
if [ "${skipped:-0}" -gt 0 ]; then
  echo "${passed} passed, ${failed} failed, ${skipped} skipped"
else
  echo "${passed} passed, ${failed} failed"
fi
exit $status
