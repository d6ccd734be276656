#!/bin/sh
# The shipped extractor library: exports exactly the undecorated ExtractZipToDir and needs no DLL
# beyond those of the system.
objdump=$1 dll=$2
out=$("$objdump" -p "$dll") || exit 1
exports=$(echo "$out" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^[[:space:]]*\[ *[0-9]+\]' | awk '{print $NF}')
[ "$exports" = "ExtractZipToDir" ] || { echo "exports: $exports"; exit 1; }
deps=$(echo "$out" | grep 'DLL Name:' | awk '{print tolower($3)}' | sort -u)
for d in $deps; do
  case "$d" in
    kernel32.dll|msvcrt.dll|advapi32.dll|user32.dll|ntdll.dll|api-ms-win-*) ;;
    *) echo "non-system dependency: $d"; exit 1 ;;
  esac
done
echo "exports: $exports; imports: $(echo $deps)"
