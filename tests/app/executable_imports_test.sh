#!/usr/bin/env bash
# executable_imports_test.sh OBJDUMP EXE [console]
#
# The product is a 32-bit GUI program (no console) of at most 64 KiB that
# imports only libraries every Windows system has: the C++ runtime, threads
# and the compiler's helpers are linked in, not imported. With "console":
# the command line, a 32-bit console program under the same rule for its
# imports (and the shell's, for its wide command line), of any size.
set -euo pipefail
objdump=$1 exe=$2 kind=${3:-gui}

headers=$("$objdump" -p "$exe")
status=0
grep -Eq '^Magic[[:space:]]+010b' <<<"$headers" || { echo "not a PE32 (32-bit) image"; status=1; }
system_dlls=" kernel32.dll user32.dll gdi32.dll comctl32.dll ole32.dll winmm.dll msvcrt.dll advapi32.dll "
if [ "$kind" = console ]; then
  grep -Eq '^Subsystem[[:space:]]+00000003' <<<"$headers" || { echo "not the Windows console subsystem"; status=1; }
  system_dlls+="shell32.dll "
else
  grep -Eq '^Subsystem[[:space:]]+00000002' <<<"$headers" || { echo "not the Windows GUI subsystem"; status=1; }
fi
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
[ "$kind" = console ] || [ "$size" -le 65536 ] || { echo "larger than 64 KiB"; status=1; }
exit $status
