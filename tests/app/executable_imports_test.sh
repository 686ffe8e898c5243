#!/usr/bin/env bash
# executable_imports_test.sh OBJDUMP WINDRES EXE BITS [console VERSION]
#
# A product executable of the tree whose programs are BITS (32: PE32, i686;
# 64: PE32+, x86-64) wide. The window program is a GUI program (no console)
# of at most 64 KiB (i686) or 72 KiB (x86-64) that imports only libraries
# every Windows system has: the C++ runtime, threads and the compiler's
# helpers are linked in, not imported. With "console": the command line, a
# console program under the same rule for its imports (and the shell's, for
# its wide command line), of any size, that also says it is VERSION in its
# version resource. Both carry the manifest that asks for version 6 of the
# common controls of their own processor.
set -euo pipefail
objdump=$1 windres=$2 exe=$3 bits=$4 kind=${5:-gui} version=${6:-}

headers=$("$objdump" -p "$exe")
status=0
case $bits in
  32) magic=010b image="PE32 (32-bit)" arch=x86 limit=65536 ;;
  64) magic=020b image="PE32+ (64-bit)" arch=amd64 limit=73728 ;;
  *) echo "usage: $0 OBJDUMP WINDRES EXE 32|64 [console]" >&2; exit 2 ;;
esac
grep -Eq "^Magic[[:space:]]+$magic" <<<"$headers" || { echo "not a $image image"; status=1; }
system_dlls=" kernel32.dll user32.dll gdi32.dll comctl32.dll ole32.dll winmm.dll msvcrt.dll advapi32.dll "
if [ "$kind" = console ]; then
  grep -Eq '^Subsystem[[:space:]]+00000003' <<<"$headers" || { echo "not the Windows console subsystem"; status=1; }
  # The command line's words (shell32) and the device manager's names of
  # the ports (setupapi), both part of every Windows.
  system_dlls+="shell32.dll setupapi.dll "
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

# The manifest as the resource compiler reads it back from the image; its
# quotes come doubled.
resources=$("$windres" -i "$exe" -O rc 2>&1 || true)
if ! grep -q 'RT_MANIFEST' <<<"$resources"; then
  echo "no application manifest"
  status=1
elif ! grep -q 'Microsoft.Windows.Common-Controls""[[:space:]]*version=""6.0.0.0' <<<"$resources" ||
     ! grep -q "processorArchitecture=\"\"$arch\"\"" <<<"$resources"; then
  echo "the manifest does not ask for version 6.0.0.0 of the $arch common controls"
  status=1
fi

if [ "$kind" = console ] && ! grep -Eq "VALUE \"(FileVersion|ProductVersion)\", \"$version\"" <<<"$resources"; then
  echo "the version resource does not say $version"
  status=1
fi

size=$(stat -c %s "$exe")
echo "size: $size bytes"
[ "$kind" = console ] || [ "$size" -le "$limit" ] || { echo "larger than $((limit / 1024)) KiB"; status=1; }
exit $status
