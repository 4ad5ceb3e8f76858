#!/usr/bin/env bash
# The terminal updater as a Windows console program under wine: the ASPI path
# (reported version win98) against the stand-in manager, the same texts and exit
# codes as on Linux, and what reached the drives. Usage: wine_console.sh BUILD_DIR
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$1
updater=$build/win64/main/terminal/updater_console.exe
dll=$build/win64/tools/wnaspi32/wnaspi32.dll
source "$root/scripts/wine.sh"
trap wine_cleanup EXIT
work=$(mktemp -d)
failed=0
passed=0
pass() { echo "PASS $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failed=$((failed + 1)); }
# run NAME ARGS...: the program's standard output in NAME.out, errors in NAME.err, exit code in NAME.rc;
# wine's console writes CR LF line ends.
run() {
    local name=$1
    shift
    "$WINE" "$updater" "$@" </dev/null >"$work/$name.raw" 2>"$work/$name.rawerr"
    echo $? >"$work/$name.rc"
    tr -d '\r' <"$work/$name.raw" >"$work/$name.out"
    tr -d '\r' <"$work/$name.rawerr" | grep -v '^[0-9a-f]*:\(fixme\|err\|warn\):' >"$work/$name.err"
}
# expect NAME WHAT CODE [FILE PATTERN]...: the exit code and a line matching each extended regex.
expect() {
    local name=$1 what=$2 code=$3 ok=1
    shift 3
    [ "$(cat "$work/$name.rc")" = "$code" ] || { echo "  exit code $(cat "$work/$name.rc"), not $code"; ok=0; }
    while [ $# -ge 2 ]; do
        grep -Eq -- "$2" "$work/$name.$1" || { echo "  $name.$1 lacks: $2"; ok=0; }
        shift 2
    done
    if [ $ok = 1 ]; then pass "$what"; else fail "$what"; sed 's/^/    /' "$work/$name.out" "$work/$name.err" | tail -12; fi
}
page_writes() { grep -c '^EXEC .* cdb=FD' "$work/aspi.log"; }

[ -f "$updater" ] && [ -f "$dll" ] || { echo "FAIL the x86_64 Windows build has no updater_console.exe or wnaspi32.dll"; exit 1; }
wine_prefix || { echo "FAIL wine prefix"; exit 1; }
xvfb_start || { echo "FAIL Xvfb"; exit 1; }
wine_version win98
wine_install_aspi "$dll"
product='VELD    DVD-RW KX4800   '

export UPDATER_VDRIVES="0:0:0=match;0:1:3=other-name" UPDATER_ASPI_LOG="$work/aspi.log"
run list list
expect list "list: each drive with its ASPI address" 0 \
    out "^\[ 1 \] $product  1\.02  ASPI 0:0:0$" out '^\[ 2 \] OTHR    DVD-RW KX4800     1\.02  ASPI 0:1:3$'
run json list --json
if [ "$(cat "$work/json.rc")" = 0 ] && [ ! -s "$work/json.err" ] && python3 - "$work/json.out" <<'EOF'; then
import json, sys
d = json.load(open(sys.argv[1]))
got = [(x["number"], x["node"], x["product"], x["revision"], x["opened"], x["reason"]) for x in d["drives"]]
want = [(1, "ASPI 0:0:0", "VELD    DVD-RW KX4800   ", "1.02", True, None),
        (2, "ASPI 0:1:3", "OTHR    DVD-RW KX4800   ", "1.02", True, None)]
sys.exit(0 if d["formatVersion"] == 1 and got == want else "drives: %r" % got)
EOF
    pass "list --json: one JSON document with each drive's number, ASPI address and texts"
else
    fail "list --json: one JSON document with each drive's number, ASPI address and texts"
    sed 's/^/    /' "$work/json.out" "$work/json.err"
fi

: >"$work/aspi.log"
run name flash --index 2 --yes
expect name "a drive of another name is refused, whatever --yes says; the Drive line is list's" 1 \
    out '^Drive: \[ 2 \] OTHR    DVD-RW KX4800     1\.02  ASPI 0:1:3$' out '^Error: Drive name does not match!$' err '^updater: Drive name does not match!$'
[ "$(page_writes)" = 0 ] && pass "no page write after the refusal" || fail "no page write after the refusal"

: >"$work/aspi.log"
run dry flash --dry-run --yes
expect dry "a dry run on the ASPI path makes every check and prints the page writes" 0 \
    out '^Dry run passed: every check was made; no page write was sent\.$' \
    out '^Not sent \(dry run\): FD 07 56 45 4C 44 .. .. .. .. 40 08, 16384 bytes$'
[ "$(grep -c '^Not sent (dry run): FD ' "$work/dry.out")" = 64 ] && [ "$(page_writes)" = 0 ] &&
    grep -q '^EXEC .* cdb=5A ' "$work/aspi.log" && pass "the dry run asked the drive and sent no page write" ||
    fail "the dry run asked the drive and sent no page write ($(page_writes) writes)"

: >"$work/aspi.log"
UPDATER_VDRIVES="0:0:0=match+fail-page:3" run failed flash --yes
expect failed "a rejected page stops the write, naming the page" 1 \
    out '^Error: Writing page 3 of 64 failed\.' err '^updater: Writing page 3 of 64 failed\.'
[ "$(page_writes)" = 3 ] && pass "pages 1 to 3 went out, no more" || fail "pages 1 to 3 went out, no more ($(page_writes))"

: >"$work/aspi.log"
run flashed flash --yes
expect flashed "the whole image is written and verified" 0 out '^Yes!: Flash Succeed!$' \
    out '^The drive could not be reserved for the update\. Close other programs that use the drive\.$' \
    out '^Drive firmware version now: 1\.02$' out '^The drive runs the new firmware\.$'
[ "$(page_writes)" = 64 ] && ! grep -q '^MISMATCH' "$work/aspi.log" &&
    pass "64 page writes reached the drive, each with its checksums" || fail "64 page writes reached the drive ($(page_writes))"

: >"$work/aspi.log"
# A drive that still reports its old version after the last page: written, but not confirmed.
: >"$work/aspi.log"
UPDATER_VDRIVES="0:0:0=newer" run kept flash --yes
expect kept "a drive that keeps its old version exits 3" 3 out '^Drive firmware version now: 1\.10$' \
    out '^Caution: Every page was written, but the drive did not report the new firmware version\.' \
    err '^updater: every page was written, but the drive did not report the firmware version 1\.02;'
[ "$(page_writes)" = 64 ] && pass "the kept version came after all 64 pages" || fail "the kept version came after all 64 pages ($(page_writes))"

: >"$work/aspi.log"
UPDATER_ASPI_NEVER=FD run waited flash --yes
expect waited "a page write that never completes is given up after 30 seconds, saying so" 1 \
    err '^updater: Writing page 1 of 64 failed\. Status 4: the drive did not answer within 30 seconds\. '
[ "$(page_writes)" = 0 ] && [ "$(grep -c '^ABORT 0' "$work/aspi.log")" = 1 ] &&
    pass "the page was aborted once and no later page sent" ||
    fail "the page was aborted once and no later page sent ($(page_writes) writes)"

run usage flash --index 0
expect usage "a bad argument is a usage error" 2 err '^updater: --index needs a drive number from 1 to 20$'
run help '/?'
expect help "/? prints the usage" 0 out '^usage: updater list'

wine_remove_aspi
run none list
expect none "no manager: the system text on the terminal, no drive" 0 \
    out '^No optical drive found\.$' err 'WNASPI32\.DLL not found'

[ $failed -eq 0 ] && rm -rf "$work" || echo "outputs kept in $work"
echo "wine_console: $passed passed, $failed failed"
[ $failed -eq 0 ]
