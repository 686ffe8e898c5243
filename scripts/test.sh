#!/usr/bin/env bash
# test.sh [--i686-vm none|e2e|all]: builds every tree (the native portable
# layers with ASan and UBSan; the libFuzzer targets with clang; the Windows
# programs for i686, the product, and for x86-64 with MinGW-w64) and runs
# every test that can run on this machine: the native ones directly, a
# bounded run of each fuzz target, the x86-64 Windows ones under 64-bit Wine
# inside Xvfb, and the i686 ones under 32-bit Wine where this machine runs
# 32-bit programs. Exits non-zero when anything fails.
#
# Where the kernel runs no 32-bit programs, the i686 programs can still run
# in an emulated machine (scripts/i686-vm.sh), at a cost: a 2.3 GB image,
# made once in 6 to 12 minutes from 321 MB of Debian packages and kept, and
# about 30 minutes for the whole i686 suite. --i686-vm chooses what runs
# there: none; e2e, the tests that run the shipped executables end to end
# (the e2e, application and executable tests and the Windows command
# line's, about 12 minutes); all, the whole i686 suite. By default e2e under CI (CI=true) and none
# otherwise; SHIFTLAMP_I686_VM sets it as well.
set -uo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=machine.sh
source scripts/machine.sh

vm=${SHIFTLAMP_I686_VM:-}
case ${1:-} in
  --i686-vm) vm=${2:-} ;;
  --i686-vm=*) vm=${1#*=} ;;
  '') ;;
  *) echo "usage: $0 [--i686-vm none|e2e|all]" >&2; exit 64 ;;
esac
if [ -z "$vm" ]; then
  if [ "${CI:-}" = true ]; then vm=e2e; else vm=none; fi
fi
case $vm in none | e2e | all) ;; *) echo "test.sh: --i686-vm takes none, e2e or all, got '$vm'" >&2; exit 64 ;; esac
machine_runs_32bit && vm=none  # the i686 tests run natively then

scripts/install-deps.sh || exit 1
if [ "$vm" != none ]; then scripts/install-deps.sh --i686-vm || exit 1; fi

started=$SECONDS
phase() {  # phase NAME: the seconds since the start, and what comes next
  echo "== [$((SECONDS - started)) s] $1"
}
build() {  # build PRESET [CMAKE ARGS...]
  cmake --preset "$@" >/dev/null && cmake --build --preset "$1"
}
for preset in native fuzz windows64; do
  phase "build: $preset"
  build "$preset" || exit 1
done
# In the emulated machine Wine runs about three times slower than the i686
# tests' time limits allow for.
phase "build: windows"
build windows -DSHIFTLAMP_TEST_TIMEOUT_FACTOR="$([ "$vm" = none ] && echo 1 || echo 3)" || exit 1

log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
on_display() {
  scripts/guard.sh xvfb-run -a -s '-screen 0 1280x1024x24' "$@"
}
phase "tests: native"
scripts/guard.sh ctest --preset native 2>&1 | tee "$log" || status=1
phase "tests: fuzz"
scripts/guard.sh ctest --preset fuzz 2>&1 | tee -a "$log" || status=1
phase "tests: x86-64 Windows programs under 64-bit Wine"
(windows_tree x86-64 && on_display ctest --preset windows64) 2>&1 | tee -a "$log" || status=1
if machine_runs_32bit; then
  phase "tests: i686 Windows programs under 32-bit Wine"
  on_display ctest --preset windows 2>&1 | tee -a "$log" || status=1
else
  # What needs neither Wine nor a 32-bit process runs here; the rest only in
  # the emulated machine.
  phase "tests: i686 Windows programs, the checks that run nothing"
  ctest --preset windows -L no-wine 2>&1 | tee -a "$log" || status=1
  case $vm in
    e2e) vm_tests=(-R '^(e2e_|app_|cli_)' -LE no-wine) ;;
    all) vm_tests=(-LE no-wine) ;;
  esac
  if [ "$vm" != none ]; then
    phase "tests: i686 Windows programs in the emulated machine ($vm)"
    scripts/i686-vm.sh ctest "${vm_tests[@]}" 2>&1 | tee -a "$log" || status=1
  fi
fi
phase "done"

# One line for all runs, from CTest's own summaries; a test that ran but
# skipped itself counts as skipped, not passed.
passed=0 failed=0
while read -r fail total; do
  passed=$((passed + total - fail))
  failed=$((failed + fail))
done < <(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\1 \2/p' "$log")
skipped=$(grep -c -E 'Test +#[0-9]+: .* Skipped' "$log")
passed=$((passed - skipped))
rm -f "$log"
[ "$failed" -gt 0 ] && status=1
if ! machine_runs_32bit; then
  echo
  echo "This machine runs no 32-bit programs: the Windows tests ran as x86-64 programs under 64-bit Wine."
  if [ "$vm" = none ]; then
    echo "The i686 programs themselves run only in an emulated machine, which this run left out: it costs"
    echo "a 2.3 GB image (made once, in 6 to 12 minutes, from 321 MB of Debian packages) and about"
    echo "12 minutes for the end-to-end tests, 30 for all: scripts/test.sh --i686-vm e2e (or all)."
  fi
fi
echo
echo "${passed} passed, ${failed} failed, ${skipped} skipped"
exit $status
