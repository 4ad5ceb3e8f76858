#!/usr/bin/env bash
# The drive-access code against a real SCSI stack: atapiprobe.exe (x86_64 build)
# runs under wine in a QEMU guest whose Linux kernel drives two emulated ATAPI
# drives. Checks what the probe reports and what QEMU saw reach the drives.
# Usage: qemu_rig.sh BUILD_DIR (the win64 build is in BUILD_DIR/win64).
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
RIG=$ROOT/tests/rig
source "$RIG/doctor.sh"
source "$RIG/report.sh"
B=${1:?usage: qemu_rig.sh BUILD_DIR}
B=$(cd "$B" && pwd)
PROBE=$B/win64/tools/atapiprobe/atapiprobe.exe
PAGE_WRITE_DRIVE=0
OUT=$B/rig/atapiprobe
start=$SECONDS

if [ ! -f "$PROBE" ]; then
    echo "FAIL atapiprobe.exe built: $PROBE is missing"
    exit 1
fi

mkdir -p "$OUT"
guest=$OUT/guest.sh
cat >"$guest" <<EOF
/usr/lib/wine/wine64 /rig/atapiprobe.exe --page-write $PAGE_WRITE_DRIVE >/tmp/probe.out 2>/tmp/probe.err
echo "probe exit status \$?"
echo "RIG-SECTION probe.out"
cat /tmp/probe.out
echo "RIG-SECTION probe.err"
cat /tmp/probe.err
EOF

failed=0
if "$RIG/rig.sh" --cache "$B/rig/cache" --out "$OUT" --script "$guest" --timeout 90 \
        --trace ide_atapi_cmd_packet --wait sr0 --wait sr1 "$PROBE"; then
    echo "PASS rig: the guest ran the probe to its end"
else
    echo "FAIL rig: the guest did not run the probe to its end"
    show_guest_tail
    exit 1
fi

section() { awk -v want="$1" '/^RIG-SECTION / { on = ($2 == want); next } on' "$OUT/output.log"; }
section probe.out >"$OUT/probe.out"
section probe.err >"$OUT/probe.err"
grep -m1 '^probe exit status' "$OUT/output.log"

check() { awk -v page_write="$PAGE_WRITE_DRIVE" -f "$RIG/trace.awk" -f "$RIG/probe_checks.awk" "$@"; }
if ! check "$OUT/probe.out" "$OUT/trace.log"; then
    failed=1
    echo "--- probe output ($OUT/probe.out):"
    cat "$OUT/probe.out"
    echo "--- probe errors, last lines ($OUT/probe.err):"
    tail -n 15 "$OUT/probe.err"
    echo "--- the commands the drives received ($OUT/trace.log):"
    grep -E 'packet: *(12 00 00 00 32|5a 00 38|fd )' "$OUT/trace.log"
fi

# The checks must see a fault when there is one (doctor.sh): each doctored copy
# of this run's own output and trace must be rejected. Only a run that passed
# can be doctored.
DOCTORINGS='an INQUIRY status 0|probe.out|/^CMD index=0 name=inquiry/s/status=1/status=0/
an identity query with ASC 20|probe.out|/^CMD index=1 name=identity/s/asc=0x24/asc=0x20/
a page write with sense key 0|probe.out|/name=pagewrite/s/sensekey=0x5/sensekey=0x0/
a missing drive|probe.out|/^DEVICE index=1/d
drives out of letter order|probe.out|/^DEVICE/{s/D:/Q:/;s/E:/D:/;s/Q:/E:/}
a wrong revision|probe.out|/^DEVICE index=0/s/revision="2.5+"/revision="2.5 "/
a page write on the other drive|probe.out|/name=pagewrite/s/^CMD index=0/CMD index=1/
a probe that stopped early|probe.out|/^ATAPIPROBE done/d
a message box|probe.out|$a MESSAGE text="Access is denied."
a page write that never arrived|trace.log|/packet: *fd /Id
an identity query sent twice|trace.log|/packet: *5a 00 38 4b 4f 10/Ip
a page write without its data|trace.log|/packet: *fd /Is/limit=0x4000/limit=0x0/
an INQUIRY on a third drive|trace.log|0,/packet: *12 00 00 00 32 /Is/IDEState: *0x[0-9a-f]*/IDEState: 0x1/'

if [ $failed -eq 0 ]; then
    check_the_checks probe.out <<<"$DOCTORINGS" || failed=1
else
    echo "(the checks on doctored copies need a run that passed)"
fi

echo "qemu_rig: $((SECONDS - start)) s in all"
[ $failed -eq 0 ] || { echo "qemu_rig: FAILED"; exit 1; }
echo "qemu_rig: all checks passed"
