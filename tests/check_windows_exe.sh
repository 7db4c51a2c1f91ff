#!/bin/sh
# Checks that a Windows executable is a console program of its machine (i686: PE32; x86_64: PE32+
# with high-entropy ASLR) that needs no DLL beyond the system's own, fits in 48 KiB, is Terminal
# Server aware with ASLR and DEP, has no build time in its header, and carries the project's
# version and a manifest for its machine that runs it as the invoking user:
#   check_windows_exe.sh i686|x86_64 OBJDUMP EXE VERSION
set -eu
machine=$1
objdump=$2
exe=$3
version=$4
case $machine in
i686) format=pei-i386 architecture=x86 flags= ;;
x86_64) format=pei-x86-64 architecture=amd64 flags=HIGH_ENTROPY_VA ;;
*) echo "usage: $0 i686|x86_64 OBJDUMP EXE VERSION" >&2 && exit 2 ;;
esac
headers=$("$objdump" -p "$exe")
fail=0
echo "$headers" | grep -q "file format $format\$" || { echo "not a $format executable"; fail=1; }
echo "$headers" | grep -q '^Time/Date.*1970$' || { echo "the header has a time stamp"; fail=1; }
echo "$headers" | grep -q 'Subsystem.*(Windows CUI)' || { echo "not a console program"; fail=1; }
for flag in TERMINAL_SERVICE_AWARE DYNAMIC_BASE NX_COMPAT $flags; do
  echo "$headers" | grep -qw "$flag" || { echo "not $flag"; fail=1; }
done
for dll in $(echo "$headers" | sed -n 's/.*DLL Name: //p'); do
  case $(echo "$dll" | tr '[:lower:]' '[:upper:]') in
  KERNEL32.DLL | ADVAPI32.DLL | WS2_32.DLL | MSVCRT.DLL) echo "imports $dll" ;;
  *) echo "imports $dll, which is not the system's own"; fail=1 ;;
  esac
done
size=$(wc -c <"$exe")
echo "size: $size bytes"
[ "$size" -le 49152 ] || { echo "larger than 48 KiB"; fail=1; }

# The manifest: well-formed, asInvoker without UI access, no code page of its own.
manifest=$(wrestool -x --raw -t 24 -n 1 "$exe")
echo "$manifest" | xmllint --noout - || { echo "the manifest is not well-formed XML"; fail=1; }
echo "$manifest" | grep -q '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' ||
  { echo "the manifest does not ask for asInvoker"; fail=1; }
[ "$(echo "$manifest" | grep -c '<supportedOS ')" -eq 5 ] || { echo "not Vista to 11"; fail=1; }
echo "$manifest" | grep -q "processorArchitecture=\"$architecture\"" ||
  { echo "the manifest is not for $architecture"; fail=1; }
echo "$manifest" | grep -q activeCodePage && { echo "the manifest sets a code page"; fail=1; }

# The version resource: its strings (UTF-16) and its fixed part (four 16-bit numbers).
strings=$(wrestool -x --raw -t 16 "$exe" | iconv -f UTF-16LE -t UTF-8 -c | tr -c '[:print:]' '\n')
for entry in "FileVersion $version" "ProductVersion $version" "OriginalFilename hostname_check.exe" \
  "ProductName hostname_check" "LegalCopyright Copyright (c) 2026 the hostname_check authors, MIT License"; do
  name=${entry%% *}
  value=${entry#* }
  echo "$strings" | grep -A2 -x "$name" | grep -qxF "$value" ||
    { echo "version resource: $name is not $value"; fail=1; }
done
echo "$strings" | grep -qx FileDescription || { echo "version resource: no FileDescription"; fail=1; }
fixed=$(wrestool -x --raw -t 16 "$exe" | od -An -tu2 -j48 -N8 | tr -s ' ' | sed 's/^ //')
set -- $(echo "$version" | tr . ' ')
[ "$fixed" = "$2 $1 0 $3" ] || { echo "fixed file version $fixed is not $version"; fail=1; }
exit $fail
