#!/bin/sh
# Checks that Windows programs import only KnownDLLs and API sets. The loader resolves a
# program's imports before the program runs a line, in the standard search order: a KnownDLL
# always comes from System32 and an API set is mapped by the loader itself, but any other
# imported library is looked for in the program's own folder first.
#   shipped_imports.sh OBJDUMP FILE...
set -eu
tool=$1
shift
. "$(dirname "$0")/export_table.sh"

# HKLM\System\CurrentControlSet\Control\Session Manager\KnownDLLs of 64-bit Windows 10 and 11,
# and ntdll.dll, which the loader itself is.
known=" advapi32.dll clbcatq.dll combase.dll comdlg32.dll coml2.dll difxapi.dll gdi32.dll
 gdiplus.dll imagehlp.dll imm32.dll kernel32.dll msctf.dll msvcrt.dll normaliz.dll nsi.dll
 ntdll.dll ole32.dll oleaut32.dll psapi.dll rpcrt4.dll sechost.dll setupapi.dll shcore.dll
 shell32.dll shlwapi.dll user32.dll wldap32.dll ws2_32.dll "
known=$(echo $known)
status=0
for file in "$@"; do
  imports=$(import_table "$tool" "$file")
  [ -n "$imports" ] || { echo "$file: no import table read"; status=1; continue; }
  for library in $imports; do
    name=$(echo "$library" | tr 'A-Z' 'a-z')
    case $name in api-ms-win-* | ext-ms-win-*) continue ;; esac
    case " $known " in *" $name "*) continue ;; esac
    echo "$file imports $library, which is neither a KnownDLL nor an API set"
    status=1
  done
done
[ "$status" = 0 ] && echo "$# programs import only KnownDLLs and API sets"
exit "$status"
