#!/usr/bin/env bash
# Drive discovery and commands under wine: the ASPI path against the stand-in
# manager (reported version win98), without a manager, and the NT path with
# no optical drive. Usage: wine_atapi.sh BUILD_DIR
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$1
probe=$build/win64/tools/atapiprobe/atapiprobe.exe
dll=$build/win64/tools/wnaspi32/wnaspi32.dll
source "$root/scripts/wine.sh"
trap wine_cleanup EXIT
work=$(mktemp -d)
failed=0
passed=0
check() {  # check NAME FILE PATTERN...: every extended-regex pattern must match a line of FILE
    local name=$1 file=$2 ok=1
    shift 2
    # Wine's console writes CR LF line ends.
    for pattern in "$@"; do tr -d '\r' <"$file" | grep -Eq -- "$pattern" || { echo "  missing: $pattern"; ok=0; }; done
    if [ $ok = 1 ]; then echo "PASS $name"; passed=$((passed + 1)); else echo "FAIL $name"; failed=$((failed + 1)); fi
}
absent() {  # absent NAME FILE PATTERN: no line of FILE may match
    if tr -d '\r' <"$2" | grep -Eq -- "$3"; then echo "FAIL $1"; grep -E -- "$3" "$2" | head -3; failed=$((failed + 1));
    else echo "PASS $1"; passed=$((passed + 1)); fi
}

[ -f "$probe" ] && [ -f "$dll" ] || { echo "FAIL the x86_64 Windows build has no atapiprobe.exe or wnaspi32.dll"; exit 1; }
wine_prefix || { echo "FAIL wine prefix"; exit 1; }
xvfb_start || { echo "FAIL Xvfb"; exit 1; }

# NT path (wine's default): the fresh prefix has no optical drive.
"$WINE" "$probe" >"$work/nt.out" 2>&1
check "nt path, no optical drive: empty table" "$work/nt.out" '^ATAPIPROBE platform=nt devices=0$' '^ATAPIPROBE done$'

wine_version win98
wine_install_aspi "$dll"
product='VELD    DVD-RW KX4800   '
UPDATER_VDRIVES="0:0:0=match;0:1:3=other-name;1:2:0=newer" UPDATER_ASPI_LOG="$work/aspi.log" \
    "$WINE" "$probe" >"$work/aspi.out" 2>&1
check "aspi path lists the three drives in address order" "$work/aspi.out" \
    '^ATAPIPROBE platform=aspi devices=3$' \
    "^DEVICE index=0 name=ASPI 0:0:0 ha=0 target=0 lun=0 product=\"$product\" revision=\"1.02\"$" \
    '^DEVICE index=1 name=ASPI 0:1:3 ha=0 target=1 lun=3 product="OTHR    DVD-RW KX4800   " revision="1.02"$' \
    "^DEVICE index=2 name=ASPI 1:2:0 ha=1 target=2 lun=0 product=\"$product\" revision=\"1.10\"$"
check "commands reach every drive and complete" "$work/aspi.out" \
    '^CMD index=2 name=inquiry status=1 outcome=completed .*cdb=12 00 00 00 32 00 00 00 00 00 00 00$' \
    '^CMD index=1 name=identity status=1 outcome=completed .*cdb=5A 00 38 4B 4F 10 00 00 00 04 00 00$'
check "the manager saw the request blocks as filled" "$work/aspi.log" \
    '^EXEC 0:1:3 cdb=12 00 00 00 32 00 00 00 00 00 00 00 len=50 flags=0x48 status=1$' \
    '^EXEC 1:2:0 cdb=5A 00 38 4B 4F 10 00 00 00 04 00 00 len=20 flags=0x48 status=1$'
absent "no page write without --page-write" "$work/aspi.log" '^EXEC .* cdb=FD'

# A page write only to the drive named, completed later from another thread.
: >"$work/aspi.log"
UPDATER_VDRIVES="0:0:0=match;0:1:0=match+fail-page:2" UPDATER_ASPI_ASYNC=1 UPDATER_ASPI_LOG="$work/aspi.log" \
    "$WINE" "$probe" --page-write 1 >"$work/write.out" 2>&1
check "page write to the named drive, completed through its event" "$work/write.out" \
    '^CMD index=1 name=pagewrite status=1 outcome=completed .*cdb=FD 07 56 45 4C 44 E0 00 E0 00 01 08$'
check "the stand-in received exactly that block" "$work/aspi.log" \
    '^EXEC 0:1:0 cdb=FD 07 56 45 4C 44 E0 00 E0 00 01 08 len=16384 flags=0x50 status=1$' '^PAGE 1 checksum=E000'
absent "no page write reached the other drive" "$work/aspi.log" '^EXEC 0:0:0 cdb=FD'
absent "the page write carried no mismatch" "$work/aspi.log" '^MISMATCH'

# A command that never completes is aborted (this one waits the real 30 seconds once).
: >"$work/aspi.log"
UPDATER_VDRIVES="0:0:0=match" UPDATER_ASPI_NEVER=5A UPDATER_ASPI_LOG="$work/aspi.log" \
    "$WINE" "$probe" >"$work/never.out" 2>&1
check "a command that never completes times out with one abort" "$work/never.out" \
    '^CMD index=0 name=identity status=4 outcome=timed-out '
check "the abort went to the drive's host adapter" "$work/aspi.log" '^ABORT 0$'

# No manager at all.
wine_remove_aspi
"$WINE" "$probe" >"$work/none.out" 2>&1
check "no manager: one message and an empty table" "$work/none.out" \
    '^MESSAGE text="WNASPI32.DLL not found"$' '^ATAPIPROBE platform=aspi devices=0$'

[ $failed -eq 0 ] && rm -rf "$work" || echo "outputs kept in $work"
echo "wine_atapi: $passed passed, $failed failed"
[ $failed -eq 0 ]
