#!/bin/sh
# Checks that the Windows executable is a 32-bit console program that needs no DLL beyond the
# system's own:  check_windows_exe.sh OBJDUMP EXE
set -eu
objdump=$1
exe=$2
headers=$("$objdump" -p "$exe")
fail=0
echo "$headers" | grep -q 'file format pei-i386' || { echo "not a PE32 i386 executable"; fail=1; }
echo "$headers" | grep -q 'Subsystem.*(Windows CUI)' || { echo "not a console program"; fail=1; }
for dll in $(echo "$headers" | sed -n 's/.*DLL Name: //p'); do
  case $(echo "$dll" | tr '[:lower:]' '[:upper:]') in
  KERNEL32.DLL | ADVAPI32.DLL | WS2_32.DLL | MSVCRT.DLL) echo "imports $dll" ;;
  *) echo "imports $dll, which is not the system's own"; fail=1 ;;
  esac
done
echo "size: $(wc -c <"$exe") bytes"
exit $fail
