#!/bin/sh
# Checks the driver DLL's tables: it exports exactly DllCanUnloadNow,
# DllGetClassObject and DllMain, and imports only DLLs every Windows system
# has (no C++ runtime, libgcc or winpthread DLL beside it).
#   check_dll_tables.sh DLL [OBJDUMP]
set -e
dll=$1
objdump=${2:-x86_64-w64-mingw32-objdump}
tables=$("$objdump" -p "$dll")
exports=$(echo "$tables" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep '^[[:space:]][[:space:]]*\[' | grep -o '[A-Za-z_][A-Za-z0-9_]*$' | sort | tr '\n' ' ')
echo "exports: $exports"
[ "$exports" = "DllCanUnloadNow DllGetClassObject DllMain " ] || { echo "FAIL: unexpected exports"; exit 1; }
imports=$(echo "$tables" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
echo "imports:" $imports
status=0
for name in $imports; do
  case "$name" in
    kernel32.dll|advapi32.dll|msvcrt.dll|winmm.dll|setupapi.dll|cfgmgr32.dll|hid.dll|user32.dll|ntdll.dll) ;;
    api-ms-win-*.dll|ucrtbase.dll) ;;
    *) echo "FAIL: imports $name, which is no system DLL"; status=1 ;;
  esac
done
exit $status
