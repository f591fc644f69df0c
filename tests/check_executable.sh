#!/bin/sh
# Checks a built launcher: the expected PE machine, the GUI subsystem, the whole address space Windows can give it,
# and imports from system DLLs only (the runtime is linked in statically, so nothing has to be shipped next to it).
set -eu
exe=$1
machine=$2
case "$machine" in
  i386) objdump=i686-w64-mingw32-objdump; format=pei-i386 ;;
  *) objdump=x86_64-w64-mingw32-objdump; format=pei-x86-64 ;;
esac
[ -f "$exe" ] || { echo "missing: $exe"; exit 1; }
headers=$($objdump -p "$exe")
echo "$headers" | grep -q "file format $format" || { echo "$exe: not $format"; exit 1; }
echo "$headers" | grep -Eq '^Subsystem[[:space:]]+0*2[[:space:]]' || { echo "$exe: not a GUI program"; exit 1; }
# A 32-bit program that does not say so gets only 2 GiB of address space on 64-bit Windows.
echo "$headers" | grep -q '^[[:space:]]*large address aware$' || { echo "$exe: not large address aware"; exit 1; }
allowed='^(kernel32|user32|gdi32|gdiplus|advapi32|shell32|shlwapi|ole32|oleaut32|comctl32|ws2_32|winhttp|rpcrt4|bcrypt|msvcrt|api-ms-win-[a-z0-9-]+)\.dll$'
status=0
for dll in $(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z'); do
  if ! echo "$dll" | grep -Eq "$allowed"; then
    echo "$exe imports a DLL Windows does not ship: $dll"
    status=1
  fi
done
[ $status -eq 0 ] && echo "$exe: $format, GUI, system DLLs only"
exit $status
