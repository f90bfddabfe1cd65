#!/usr/bin/env bash
# Fails unless the executable imports, at load time, only DLLs that Windows
# always takes from the system folder (known DLLs and the C runtime): any other
# DLL named in the import table could be planted beside the program.
#   check-imports.sh OBJDUMP EXECUTABLE
set -euo pipefail
objdump=$1 exe=$2
allowed='^(kernel32|user32|gdi32|shell32|ole32|oleaut32|advapi32|msvcrt|comdlg32|shlwapi|rpcrt4)\.dll$'

[ -f "$exe" ] || { echo "check-imports: $exe is missing" >&2; exit 1; }
mapfile -t dlls < <("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
[ "${#dlls[@]}" -gt 0 ] || { echo "check-imports: no imports read from $exe" >&2; exit 1; }
status=0
for dll in "${dlls[@]}"; do
    if [[ $dll =~ $allowed ]]; then
        echo "ok       $dll"
    else
        echo "REFUSED  $dll (not taken from the system folder in every case)"
        status=1
    fi
done
# Delay-loaded imports are resolved later, by name, through the same search.
if "$objdump" -p "$exe" | grep -Eq '^Entry d [0-9a-fA-F]*[1-9a-fA-F][0-9a-fA-F]* .*Delay Import Directory'; then
    echo "REFUSED  delay-load import table present"
    status=1
fi
exit "$status"
