#!/bin/sh
# exports.sh OBJDUMP MODULE: the module exports exactly the COM server's
# entry points, undecorated (also in the 32-bit build), and imports no DLL
# that Windows does not carry itself.
set -u
objdump=$1 module=$2
names=$("$objdump" -p "$module" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
        sed -n 's/^\t\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
expected="DllCanUnloadNow DllGetClassObject DllInstall DllRegisterServer DllUnregisterServer "
[ "$names" = "$expected" ] || { echo "FAILED: exports are '$names', expected '$expected'"; exit 1; }
imports=$("$objdump" -p "$module" | sed -n 's/^\tDLL Name: //p' | tr 'a-z' 'A-Z' | sort | tr '\n' ' ')
for dll in $imports; do
  case "$dll" in
    ADVAPI32.DLL|GDI32.DLL|KERNEL32.DLL|MSVCRT.DLL|OLE32.DLL|OLEAUT32.DLL|USER32.DLL) ;;
    *) echo "FAILED: imports $dll, which would have to be installed beside it"; exit 1 ;;
  esac
done
echo "exports: $names; imports: $imports"
