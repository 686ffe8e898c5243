#!/usr/bin/env bash
# executable_imports_test.sh OBJDUMP EXE
#
# The product is a 32-bit GUI program (no console) of at most 64 KiB that
# imports only libraries every Windows system has: the C++ runtime, threads
# and the compiler's helpers are linked in, not imported.
set -euo pipefail
objdump=$1 exe=$2

headers=$("$objdump" -p "$exe")
status=0
grep -Eq '^Magic[[:space:]]+010b' <<<"$headers" || { echo "not a PE32 (32-bit) image"; status=1; }
grep -Eq '^Subsystem[[:space:]]+00000002' <<<"$headers" || { echo "not the Windows GUI subsystem"; status=1; }

system_dlls=" kernel32.dll user32.dll gdi32.dll comctl32.dll ole32.dll winmm.dll msvcrt.dll advapi32.dll "
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
[ -n "$imports" ] || { echo "no import table found"; status=1; }
for dll in $imports; do
  lower=${dll,,}
  if [[ $system_dlls != *" $lower "* ]]; then
    echo "imports a library that is not a system DLL: $dll"
    status=1
  fi
done
echo "imports:" $imports

size=$(stat -c %s "$exe")
echo "size: $size bytes"
[ "$size" -le 65536 ] || { echo "larger than 64 KiB"; status=1; }
exit $status
