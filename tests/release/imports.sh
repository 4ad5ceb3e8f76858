#!/usr/bin/env bash
# The release updater.exe imports only what release/imports.txt lists (each a
# function Windows 98 SE has): reads the import table of the built program.
# Usage: imports.sh BUILD_DIR (with the i686 Release build in BUILD_DIR/win32).
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:?usage: imports.sh BUILD_DIR}
program=$build/win32/main/updater.exe
list=$root/release/imports.txt
objdump=i686-w64-mingw32-objdump
[ -f "$program" ] || { echo "FAIL no release program $program (run the i686 build first)"; exit 1; }

# "DLL FUNCTION" a line, the DLL in upper case, from objdump's import tables.
# An import by ordinal has no name and shows as "DLL #ORDINAL".
imported() {
    "$objdump" -p "$1" | awk '
        /^The Import Tables/ { inside = 1; next }
        /^The Export Tables|^The Function Table|^PE File Base Relocations|^Resource/ { inside = 0 }
        !inside { next }
        /^\tDLL Name:/ { dll = toupper($3); next }
        /^\tvma:/ { next }
        dll != "" && /^\t[0-9a-f]+\t/ {
            if (NF >= 3) print dll, $3; else if (NF == 2) print dll, "#" $2
        }' | sort -u
}
allowed() { sed -e 's/#.*//' "$list" | awk -F'|' 'NF >= 2 { gsub(/ /, "", $1); gsub(/ /, "", $2); print toupper($1), $2 }' | sort -u; }

got=$(imported "$program")
[ -n "$got" ] || { echo "FAIL no imports read from $program"; exit 1; }
echo "$program: $(wc -l <<<"$got") imported functions from $(cut -d' ' -f1 <<<"$got" | sort -u | tr '\n' ' ')"
unlisted=$(comm -23 <(echo "$got") <(allowed))
unused=$(comm -13 <(echo "$got") <(allowed))
[ -z "$unused" ] || { echo "note: listed but no longer imported:"; sed 's/^/    /' <<<"$unused"; }
if [ -n "$unlisted" ]; then
    echo "FAIL imports that release/imports.txt does not list (check each against Windows 98 SE):"
    sed 's/^/    /' <<<"$unlisted"
    exit 1
fi
echo "PASS every import of the release is listed in release/imports.txt"
