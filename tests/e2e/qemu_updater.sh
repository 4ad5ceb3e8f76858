#!/usr/bin/env bash
# The terminal updater against a real SCSI stack: the statically linked Linux
# program and the x86_64 and i686 Windows console programs (under 64-bit and
# 32-bit wine) run in a QEMU
# guest whose Linux kernel drives two emulated ATAPI drives. Each program runs
# built with the demo container, which the drives must refuse by name, and
# built with a container fitted to QEMU's drives, which passes every check and
# whose first page write the drive rejects. Last, the Linux program is given the
# second drive by --device, as root and as a user without the rights. Checks
# what the programs printed and what QEMU saw reach the drives.
# Usage: qemu_updater.sh BUILD_DIR (with the native, win64 and win32 builds in it).
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
RIG=$ROOT/tests/rig
source "$RIG/doctor.sh"
source "$RIG/report.sh"
B=${1:?usage: qemu_updater.sh BUILD_DIR}
B=$(cd "$B" && pwd)
LINUX_DEMO=$B/native/main/terminal/updater_static
WINDOWS_DEMO=$B/win64/main/terminal/updater_console.exe
WINDOWS32_DEMO=$B/win32/main/terminal/updater_console.exe
MKDEMO=$B/native/tools/mkdemo
KFSTOOL=$B/native/tools/kfstool
EXCLHOLD=$B/native/tools/exclhold/exclhold
source "$RIG/fit.sh"
LINUX_FIT=$FIT/native/main/terminal/updater_static
WINDOWS_FIT=$FIT/win64/main/terminal/updater_console.exe
WINDOWS32_FIT=$FIT/win32/main/terminal/updater_console.exe
OUT=$B/rig/updater
source "$ROOT/scripts/wine.sh"
begin_checks qemu_updater
checks_cleanup() { wine_cleanup; }
has_platform() { case " $PLATFORMS " in *" $1 "*) return 0 ;; esac; return 1; }

for f in "$LINUX_DEMO" "$MKDEMO" "$KFSTOOL" "$EXCLHOLD"; do
    [ -f "$f" ] || { fail "native build: $f is missing"; finish; }
done
# Without the Windows program the Linux half still runs; the step fails.
PLATFORMS="linux windows"
missing_windows=0
if [ ! -f "$WINDOWS_DEMO" ]; then
    fail "win64 build: $WINDOWS_DEMO is missing; only the Linux program runs"
    PLATFORMS=linux
    missing_windows=1
fi
# The i686 program needs 32-bit wine in the guest, from the rig's i386 package files.
if [ ! -f "$WINDOWS32_DEMO" ]; then
    fail "win32 build: $WINDOWS32_DEMO is missing; the i686 program does not run"
    missing_windows=1
elif ! "$RIG/wine32.sh" "$B/rig/cache"; then
    fail "32-bit wine for the guest could not be fetched; the i686 program does not run"
    missing_windows=1
else
    PLATFORMS="$PLATFORMS windows32"
fi
mkdir -p "$OUT"

fit_container || { fail "the fitted container"; finish; }

# info_is WHAT EXPECTED-NAME COMMAND...: the program's info shows that image.
info_is() {
    local what=$1 name=$2 got
    shift 2
    got=$("$@" info 2>&1 | tr -d '\r')
    if grep -Fxq "Drive name: \"$name\"" <<<"$got"; then
        pass "$what"
    else
        fail "$what:"
        sed 's/^/    /' <<<"$got"
    fi
}

info_is "Linux demo build: its info shows the demo image" "VELD    DVD-RW KX4800   " "$LINUX_DEMO"
if fit_build native updater_static; then
    info_is "Linux fitted build: its info shows the fitted image" "$FIT_NAME" "$LINUX_FIT"
else
    fail "Linux fitted build: updater_static with the fitted container"
fi
files=("$LINUX_DEMO=updater-demo" "$LINUX_FIT=updater-fit" "$EXCLHOLD")
if has_platform windows; then
    if ! wine_prefix; then
        fail "wine prefix on the host, for the Windows programs' info"
    else
        info_is "Windows demo build: its info shows the demo image" "VELD    DVD-RW KX4800   " "$WINE" "$WINDOWS_DEMO"
        if fit_build win64 updater_console -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-x86_64.cmake"; then
            info_is "Windows fitted build: its info shows the fitted image" "$FIT_NAME" "$WINE" "$WINDOWS_FIT"
        else
            fail "Windows fitted build: updater_console.exe with the fitted container"
        fi
    fi
    wine_cleanup
    files+=("$WINDOWS_DEMO=updater-demo.exe" "$WINDOWS_FIT=updater-fit.exe")
fi
# The i686 program's info is read in the guest (this host may not run 32-bit code).
if has_platform windows32; then
    if fit_build win32 updater_console -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake"; then
        files+=("$WINDOWS32_DEMO=updater-demo32.exe" "$WINDOWS32_FIT=updater-fit32.exe")
    else
        fail "Windows i686 fitted build: updater_console.exe with the fitted container"
    fi
fi
# A build that is missing or not what it should be: nothing to run in the guest.
[ $failed -eq $missing_windows ] || finish

# --- the guest: every program runs in turn, each line of its output tagged
# with the run and the stream: "RUN.out: TEXT", "RUN.err: TEXT", "RUN.rc: N".
guest=$OUT/guest.sh
cat >"$guest" <<'EOF'
run() {
    tag=$1
    shift
    "$@" >/tmp/$tag.out 2>/tmp/$tag.err </dev/null
    rc=$?
    awk -v t="$tag.out: " '{ print t $0 }' /tmp/$tag.out
    awk -v t="$tag.err: " '{ print t $0 }' /tmp/$tag.err
    echo "$tag.rc: $rc"
}
# runs PLATFORM PROGRAM-RUNNER...: the five runs, in the order the checks split the trace by.
runs() {
    p=$1
    shift
    run $p.list "$@" ./updater-demo$exe list
    run $p.demo "$@" ./updater-demo$exe flash --yes
    run $p.info "$@" ./updater-fit$exe info
    run $p.dry "$@" ./updater-fit$exe flash --dry-run
    run $p.yes "$@" ./updater-fit$exe flash --yes
}
exe=
runs linux
EOF
if has_platform windows; then
    # Wine's first start brings up its services, which keep the starting
    # program's standard error: they start here, not in the first run.
    cat >>"$guest" <<'EOF'
export WINEDEBUG=-all
# A server that stays, so that the services start once, not in every run.
/usr/lib/wine/wineserver64 -p
/usr/lib/wine/wine64 wineboot >/tmp/wineboot.log 2>&1
exe=.exe
runs windows /usr/lib/wine/wine64
EOF
fi
if has_platform windows32; then
    cat >>"$guest" <<'EOF'
exe=32.exe
runs windows32 /usr/lib/wine/wine
EOF
fi

# The second drive by its node: named with list's number; as a user, refused
# with the reason before anything is sent.
cat >>"$guest" <<'EOF'
echo 'user:x:1000:1000:user:/tmp:/bin/sh' >>/etc/passwd
run linux.user su -s /bin/sh user -c './updater-demo flash --device /dev/sr1 --yes'
run linux.device ./updater-demo flash --device /dev/sr1 --yes
EOF
# Last, so that its stretch of the trace follows every other run: another program keeps
# /dev/sr1 to itself with O_EXCL, and the fitted flash on it must be refused with nothing sent.
cat >>"$guest" <<'EOF'
./exclhold /dev/sr1 >/tmp/hold.out 2>&1 &
hold=$!
n=50
while ! grep -q '^HELD' /tmp/hold.out && [ $n -gt 0 ]; do sleep 0.1; n=$((n - 1)); done
run linux.held ./updater-fit flash --device /dev/sr1 --yes
kill $hold
EOF

if "$RIG/rig.sh" --cache "$B/rig/cache" --out "$OUT" --script "$guest" --timeout 400 \
        --trace ide_atapi_cmd_packet --wait sr0 --wait sr1 "${files[@]}"; then
    pass "rig: the guest ran the programs to the end"
else
    fail "rig: the guest did not run the programs to the end"
    show_guest_tail
    finish
fi
cp "$OUT/output.log" "$OUT/runs.log"

check() {
    awk -v platforms="$PLATFORMS" -v image_sum="$IMAGE_SUM" -v page1_sum="$PAGE1_SUM" -v pages="$PAGES" \
        -f "$RIG/trace.awk" -f "$RIG/updater_checks.awk" "$@"
}
checks_passed=1
if ! check "$OUT/runs.log" "$OUT/trace.log"; then
    failed=1
    checks_passed=0
    echo "--- the programs' output, without the dry runs' pages ($OUT/runs.log):"
    grep -v '\.dry\.out: \(Not sent\|Progress\|Page\)' "$OUT/runs.log"
    echo "--- the commands the drives received ($OUT/trace.log):"
    grep -iE 'packet: *(12 00 00 00 32|5a 00 38|fd )' "$OUT/trace.log"
fi

# The checks must see a fault when there is one (doctor.sh): each doctored copy
# of this run's own output and trace must be rejected. Only a run that passed
# can be doctored.

# One platform's output faults, RUN standing for the platform's tag: WHAT|SED-SCRIPT.
OUTPUT_DOCTORINGS='a listing without the second drive|/^RUN\.list\.out: \[ 2 \]/d
a listing with another revision|/^RUN\.list\.out: \[ 1 \]/s/2\.5+/2.50/
a listing with another device name|/^RUN\.list\.out: \[ 2 \]/s/[^ ]*$/sr9/
a listing that failed|s/^RUN\.list\.rc: 0$/RUN.list.rc: 1/
a demo flash that exited 0|s/^RUN\.demo\.rc: 1$/RUN.demo.rc: 0/
a demo flash refused for the hardware ID|/^RUN\.demo\./s/Drive name does not match!/Hardware ID does not match!/
a demo flash that went on to the checksum|/^RUN\.demo\.out: Error/i RUN.demo.out: Firmware Checksum : 77D8
info with a hardware ID|s/^RUN\.info\.out: Hardware ID: $/RUN.info.out: Hardware ID: K4/
info with another checksum|s/^\(RUN\.info\.out: Computed checksum: \).*/\1ABCD/
a dry run that failed|s/^RUN\.dry\.rc: 0$/RUN.dry.rc: 1/
a dry run with a line on standard error|/^RUN\.dry\.rc:/i RUN.dry.err: updater: cannot open the drive
a dry run without the last block|/^RUN\.dry\.out: Not sent (dry run): .* 40 08,/d
a dry-run block with another page number|/^RUN\.dry\.out: Not sent/s/ 02 08,/ 03 08,/
a dry-run block with the checksums swapped|/^RUN\.dry\.out: Not sent/s/\(4C 44 \)\(.. ..\) \(.. ..\)/\1\3 \2/
a --yes run that exited 0|s/^RUN\.yes\.rc: 1$/RUN.yes.rc: 0/
a --yes run with another image checksum|s/^\(RUN\.yes\.out: Firmware Checksum : \).*/\1ABCD/
a --yes run that went on to page 2|/^RUN\.yes\.out: Error: Writing/i RUN.yes.out: Page 2 Checksum : F380
a page failure naming page 2|/^RUN\.yes\.err:/s/Writing page 1 of/Writing page 2 of/
a page failure with sense key 3|/^RUN\.yes\.out: Status/s/sense key 05h/sense key 03h/
a page failure only on standard output|/^RUN\.yes\.err:/d'
# The Linux program's runs on the second drive by --device.
DEVICE_DOCTORINGS='a --device run with the number of its place in the scan|/^linux\.device\.out: Drive:/s/\[ 2 \]/[ 1 ]/
a --device run that does not name the node|/^linux\.device\.out: Drive:/s/  \/dev\/sr1$//
a user'"'"'s run that was not refused|s/^linux\.user\.rc: 1$/linux.user.rc: 0/
a user'"'"'s refusal without the reason|/^linux\.user\.err:/s/cannot be opened: [^.]*\./cannot be opened./'

# The trace's faults, WHAT|SED-SCRIPT, some made of this run's own packets:
# its first page write and its second drive.
trace_doctorings() {
    local pw first other n id='packet: *5a 00 38 4b 4f 10' inquiry='packet: *12 00 00 00 32 '
    pw=$(grep -m1 -i 'packet: *fd ' "$OUT/trace.log" | sed 's/.*packet: *//')
    other=$(grep -i "$inquiry" "$OUT/trace.log" | grep -o 'IDEState: *0x[0-9a-fA-F]*' |
        awk '!seen[$NF]++ { n++ } n == 2 { print $NF; exit }')
    first=$(grep -m1 -i "$inquiry" "$OUT/trace.log" | grep -o 'IDEState: *0x[0-9a-fA-F]*' | awk '{ print $NF }')
    # on_nth PATTERN N COMMANDS: the commands on the Nth line matching the
    # pattern only (the hold space counts them).
    on_nth() {
        local count
        count=$(printf 'x%.0s' $(seq "$2"))
        echo "/$1/I{x;s/^/x/;/^$count\$/{x;$3;b};x}"
    }
    # A page write put in after the Nth identity query.
    after_identity() { on_nth "$id" "$1" "p;s/limit=0x[0-9a-f]* packet: .*/limit=0x4000 packet: $pw/"; }
    echo "a page write that never arrived|/packet: *fd /Id"
    echo "a page write without its data|/packet: *fd /Is/limit=0x4000/limit=0x0/"
    echo "a page write with the checksums swapped|/packet: *fd /Is/\(4c 44 \)\(.. ..\) \(.. ..\)/\1\3 \2/"
    echo "a second page write after the first|/packet: *fd /I{p;s/01 08 *\$/02 08 /}"
    echo "a page write on the second drive|/packet: *fd /Is/IDEState: *0x[0-9a-fA-F]*/IDEState: $other/"
    echo "a page write during the first demo run|$(after_identity 1)"
    echo "a page write during the first dry run|$(after_identity 2)"
    echo "an identity query sent twice|/$id/Ip"
    echo "a demo run without its identity query|0,/$id/I{/$id/Id}"
    echo "an identity query on the second drive|0,/$id/I{/$id/Is/IDEState: *0x[0-9a-fA-F]*/IDEState: $other/}"
    echo "an INQUIRY on a third drive|0,/$inquiry/I{/$inquiry/Is/IDEState: *0x[0-9a-fA-F]*/IDEState: 0x1/}"
    echo "an INQUIRY of 36 bytes|0,/$inquiry/I{/$inquiry/Is/limit=0x32/limit=0x24/}"
    # The --device run's identity query is the last one; an INQUIRY on the first drive
    # put in before it stands for a command of the user's run, one after it for the
    # --device run asking another drive.
    n=$((3 * $(wc -w <<<"$PLATFORMS") + 1))
    local to_first="s/IDEState: *0x[0-9a-fA-F]*/IDEState: $first/;s/limit=0x[0-9a-f]* packet: .*/limit=0x32 packet: 12 00 00 00 32 00 00 00 00 00 00 00/"
    local back="s/IDEState: *0x[0-9a-fA-F]*/IDEState: $other/;s/limit=0x[0-9a-f]* packet: .*/limit=0x14 packet: 5a 00 38 4b 4f 10 00 00 00 04 00 00/"
    echo "a command sent during the user's run|$(on_nth "$id" $n "$to_first;p;$back")"
    echo "the --device run asking the first drive|$(on_nth "$id" $n "p;$to_first")"
    echo "the --device run's identity query on the first drive|$(on_nth "$id" $n "s/IDEState: *0x[0-9a-fA-F]*/IDEState: $first/")"
    # The held drive's run comes last: its identity query would follow the last one.
    echo "an identity query to the held drive|\$a $(grep -i "$id" "$OUT/trace.log" | tail -n 1 |
        sed "s/IDEState: *0x[0-9a-fA-F]*/IDEState: $other/")"
    case " $PLATFORMS " in *" windows "*)
        echo "the Windows page write that never arrived|$(on_nth 'packet: *fd ' 2 d)"
        echo "a page write during the Windows demo run|$(after_identity 4)"
        echo "a page write during the Windows dry run|$(after_identity 5)"
        echo "a Windows dry run without its identity query|$(on_nth "$id" 5 d)"
        echo "the Windows page write on the second drive|$(on_nth 'packet: *fd ' 2 \
            "s/IDEState: *0x[0-9a-fA-F]*/IDEState: $other/")" ;;
    esac
    if has_platform windows32; then
        # Its place among the platforms: its page write's and identity queries' numbers.
        local n
        n=$(wc -w <<<"$PLATFORMS")
        echo "the Windows i686 page write that never arrived|$(on_nth 'packet: *fd ' "$n" d)"
        echo "a page write during the Windows i686 demo run|$(after_identity $((3 * n - 2)))"
        echo "a page write during the Windows i686 dry run|$(after_identity $((3 * n - 1)))"
        echo "a Windows i686 dry run without its identity query|$(on_nth "$id" $((3 * n - 1)) d)"
    fi
}

# Every doctoring as WHAT|FILE|SED-SCRIPT.
doctorings() {
    local p
    for p in $PLATFORMS; do sed "s/RUN/$p/g; s/^/$p: /; s/|/|runs.log|/" <<<"$OUTPUT_DOCTORINGS"; done
    sed 's/|/|runs.log|/' <<<"$DEVICE_DOCTORINGS"
    trace_doctorings | sed 's/|/|trace.log|/'
    echo 'linux: a held drive flashed anyway|runs.log|s/^linux\.held\.rc: 1$/linux.held.rc: 0/'
    echo 'linux: a held drive refused for another reason|runs.log|/^linux\.held\.err:/s/Another program/A program/'
}

if [ $checks_passed -eq 1 ]; then
    check_the_checks runs.log < <(doctorings) || failed=1
else
    echo "(the checks on doctored copies need a run that passed)"
fi
finish
