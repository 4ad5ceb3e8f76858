#!/usr/bin/env bash
# The terminal updater against a drive that takes the whole flash on a real
# kernel: in the rig's QEMU guest, tcmu_drive serves the drive model through
# the kernel's SCSI target (a TCMU user backstore behind a loopback target),
# which the guest's sr and sg drivers take for one more CD-ROM drive. One boot:
# the static Linux program flashes the demo image whole (the drive then reports
# the image's version when asked again) and flashes a drive that keeps its old
# version (exit 3), meets a rejected page,
# a page that never answers, SIGINT and SIGTERM during a slowed flash, SIGKILL during one and the
# retry beside a second flash by the generic node, a
# drive of another name, and a slowed flash that holds the drive while the
# kernel polls it for media events, a second flash is started beside it and
# another program keeps asking it for its INQUIRY data, and a flash while
# another program keeps the node open, and a signal at the question; the x86_64 console program under wine flashes it
# through wine's pass-through and meets a rejected page. Checks what the
# programs printed against what the drive received.
# Usage: qemu_tcmu.sh BUILD_DIR (with the native and win64 builds in it).
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
RIG=$ROOT/tests/rig
source "$RIG/doctor.sh"
source "$RIG/report.sh"
B=${1:?usage: qemu_tcmu.sh BUILD_DIR}
B=$(cd "$B" && pwd)
LINUX=$B/native/main/terminal/updater_static
WINDOWS=$B/win64/main/terminal/updater_console.exe
DRIVE=$B/native/tools/tcmu/tcmu_drive
INQLOOP=$B/native/tools/inqloop/inqloop
KFSTOOL=$B/native/tools/kfstool
OUT=$B/rig/tcmu
# The faults of the runs: the page each rejects or leaves unanswered, and the sense of a rejection.
REJECT_PAGE=3 WINDOWS_REJECT_PAGE=5 HANG_PAGE=2 SENSE=3:0C:00
# The complete flash's drive starts at OLD_REVISION and reports the demo image's version once it took every page.
OLD_REVISION=1.01 FLASHED_REVISION=1.02
TCMU_MODULES=$(sed -n 's/^TCMU_MODULES="\(.*\)"$/\1/p' "$RIG/tcmu.sh")
begin_checks qemu_tcmu

for f in "$LINUX" "$DRIVE" "$INQLOOP" "$KFSTOOL"; do
    [ -f "$f" ] || { fail "native build: $f is missing"; finish; }
done
files=("$LINUX=updater" "$DRIVE" "$INQLOOP" "$RIG/tcmu.sh")
PLATFORMS="linux windows"
if [ -f "$WINDOWS" ]; then
    files+=("$WINDOWS=updater.exe")
else
    fail "win64 build: $WINDOWS is missing; only the Linux program runs"
    PLATFORMS=linux
fi
mkdir -p "$OUT"

# What the drive must end up with: the demo image, and for the unanswered page
# the image without that page (the later pages move up one place).
"$KFSTOOL" unpack --builtin "$OUT/demo.bin" >/dev/null || { fail "kfstool unpack --builtin"; finish; }
PAGES=$(($(stat -c %s "$OUT/demo.bin") / 16384))
FULL_SHA=$(sha256sum <"$OUT/demo.bin" | cut -d' ' -f1)
HANG_SHA=$({ head -c $(((HANG_PAGE - 1) * 16384)) "$OUT/demo.bin"; tail -c +$((HANG_PAGE * 16384 + 1)) "$OUT/demo.bin"; } |
    sha256sum | cut -d' ' -f1)

# --- the guest: each run's lines tagged "RUN.STREAM: TEXT" (out, err), "RUN.rc: N";
# each drive's record "DRIVE.drive: LINE" and the sha256 of the pages it took "DRIVE.image: HASH".
guest=$OUT/guest.sh
cat >"$guest" <<EOF
REJECT=$REJECT_PAGE:$SENSE WINDOWS_REJECT=$WINDOWS_REJECT_PAGE:$SENSE HANG=$HANG_PAGE
OLD=$OLD_REVISION FLASHED=$FLASHED_REVISION:$PAGES PLATFORMS="$PLATFORMS"
EOF
cat >>"$guest" <<'EOF'
. /rig/tcmu.sh
tag() { awk -v t="$1: " '{ print t $0 }' "$2"; }
stamp() { echo "$1.time: $(cut -d. -f1 /proc/uptime) s after the boot"; }
run() {
    t=$1
    shift
    "$@" >/tmp/$t.out 2>/tmp/$t.err </dev/null
    echo "$t.rc: $?"
    stamp $t
    tag $t.out /tmp/$t.out
    tag $t.err /tmp/$t.err
}
drive() { tcmu_start "$@" || exit 1; }
done_drive() {
    tcmu_stop
    tag $tcmu_name.drive /tmp/$tcmu_name.record
    echo "$tcmu_name.image: $(sha256sum </tmp/$tcmu_name.image | cut -d' ' -f1)"
}
# signalled RUN SIGNAL: a slowed flash, the signal sent once 5 pages are in.
signalled() {
    drive $1 --page-delay 40
    ./updater flash --device $TCMU_SR --yes >/tmp/$1.out 2>/tmp/$1.err </dev/null &
    pid=$!
    tcmu_wait 200 sh -c "[ \$(grep -c ' page=' /tmp/$1.record) -ge 5 ]" || echo "$1.note: fewer than 5 pages"
    echo "$1.sent_at: $(grep -c ' page=' /tmp/$1.record)"
    kill -$2 $pid
    wait $pid
    echo "$1.rc: $?"
    tag $1.out /tmp/$1.out
    tag $1.err /tmp/$1.err
    done_drive
}

tcmu_setup || exit 1
drive setup
tcmu_link || exit 1
done_drive
echo "node: $TCMU_SR"

drive full --revision $OLD --flashed-revision $FLASHED
run list ./updater list
run full ./updater flash --device $TCMU_SR --yes
run after ./updater list
done_drive
drive kept --revision $OLD
run kept ./updater flash --device $TCMU_SR --yes
done_drive
drive reject --fail-page $REJECT
run reject ./updater flash --device $TCMU_SR --yes
done_drive
drive hang --hang-page $HANG
run hang ./updater flash --device $TCMU_SR --yes
done_drive
signalled sigint INT
signalled sigterm TERM
drive other --product "VELD    DVD-RW KX4900"
run other ./updater flash --device $TCMU_SR --yes
done_drive
# held: the kernel polls the drive for media events every 100 ms; a slowed flash holds the
# drive, a second flash started beside it must be refused with nothing sent, and a program
# that opens the node plainly and asks for its INQUIRY data over and over must not reach it.
drive held --page-delay 40
poll=/sys/block/${TCMU_SR#/dev/}/events_poll_msecs
echo 100 >$poll
sleep 1
./updater flash --device $TCMU_SR --yes >/tmp/held.out 2>/tmp/held.err </dev/null &
pid=$!
tcmu_wait 200 sh -c "grep -q ' page=' /tmp/held.record" || echo "held.note: no page before the second flash"
./inqloop $TCMU_SR >/tmp/intruder.out 2>&1 &
ipid=$!
run second ./updater flash --device $TCMU_SR --yes
wait $pid
echo "held.rc: $?"
# The node is back once the drive is given back: the other program's INQUIRY reaches it again.
tcmu_wait 50 grep -q inquiry=ok /tmp/intruder.out || echo "held.note: the other program never reached the drive"
kill $ipid
echo "intruder.rounds: $(grep -c '^ROUND' /tmp/intruder.out)"
echo "intruder.reached: $(grep -c 'inquiry=ok' /tmp/intruder.out)"
tag held.out /tmp/held.out
tag held.err /tmp/held.err
done_drive

# keeper: another program has the node open from before the flash and keeps asking through it:
# refused, naming it, with nothing sent, and the drive stays as it was.
drive keeper
./inqloop --keep $TCMU_SR >/tmp/keeper.loop 2>&1 &
kpid=$!
tcmu_wait 50 grep -q inquiry=ok /tmp/keeper.loop || echo "keeper.note: the other program did not reach the drive"
echo "keeper.pid: $kpid"
run keeper ./updater flash --device $TCMU_SR --yes
kill $kpid
done_drive
TCMU_SR=
tcmu_wait 50 tcmu_find_nodes || echo "keeper.note: the drive did not come back"
echo "keeper.node: $TCMU_SR"

# at_question RUN SIGNAL: the signal while the question waits for its answer on a terminal, the
# drive taken from the sr driver: the program ends by the signal, and gives the drive back first.
# (SIGINT would do the same, but a background job here starts with SIGINT ignored.)
at_question() {
    drive $1
    # A session of its own whose controlling terminal is the console, where the question is asked
    # and its answer read; nobody types one.
    setsid sh -c "exec </dev/ttyS0; ./updater flash --device $TCMU_SR >/tmp/$1.out 2>/tmp/$1.err;
                  echo \$? >/tmp/$1.rc" &
    tcmu_wait 100 grep -q 'cdb=5A 00 38' /tmp/$1.record || echo "$1.note: no identity query"
    sleep 1
    echo "$1.node_during: $(ls /sys/class/scsi_device/*/device/block 2>/dev/null | grep -c sr)"
    kill -$2 $(pidof updater)
    tcmu_wait 50 sh -c '! pidof updater >/dev/null' || echo "$1.note: the program did not end"
    sleep 0.5
    echo "$1.rc: $(cat /tmp/$1.rc)"
    tag $1.out /tmp/$1.out
    tag $1.err /tmp/$1.err
    done_drive
    TCMU_SR=
    tcmu_wait 50 tcmu_find_nodes || echo "$1.note: the drive did not come back"
    echo "$1.node: $TCMU_SR"
}
at_question interrupted TERM
at_question sigusr USR1

# killed: a slowed flash ended by SIGKILL after 5 pages cannot give the drive back: its block node
# stays away. retry: the same command again gives the drive back first, saying so, and flashes it
# whole; beside: a flash by the generic node, started during the retry's writes, is refused.
drive killed --page-delay 60
./updater flash --device $TCMU_SR --yes >/tmp/killed.out 2>/tmp/killed.err </dev/null &
pid=$!
tcmu_wait 300 sh -c "[ \$(grep -c ' page=' /tmp/killed.record) -ge 5 ]" || echo "killed.note: fewer than 5 pages"
kill -KILL $pid
wait $pid
echo "killed.rc: $?"
sleep 0.5
echo "killed.node_left: $(ls /sys/class/scsi_device/*/device/block 2>/dev/null | grep -c sr)"
tag killed.err /tmp/killed.err
done_drive
drive retry --page-delay 60
./updater flash --device $TCMU_SR --yes >/tmp/retry.out 2>/tmp/retry.err </dev/null &
pid=$!
tcmu_wait 300 sh -c "grep -q ' page=' /tmp/retry.record" || echo "retry.note: no page before the flash beside it"
run beside ./updater flash --device $TCMU_SG --yes
echo "beside.node: $TCMU_SG"
wait $pid
echo "retry.rc: $?"
tag retry.out /tmp/retry.out
tag retry.err /tmp/retry.err
done_drive
TCMU_SR=
tcmu_wait 50 tcmu_find_nodes || echo "retry.note: the drive did not come back"
echo "retry.node: $TCMU_SR"

case $PLATFORMS in *windows*)
    export WINEDEBUG=-all
    wine=/usr/lib/wine/wine64
    # Wine's services probe the CD-ROM drives as they start: the drive serves
    # from before the first start of wine to after the last.
    drive winfull
    # F: is the drive: the letter's folder, its device and the registry's drive type.
    mkdir -p /mnt/f
    ln -sfn /mnt/f $WINEPREFIX/dosdevices/f:
    ln -sfn $TCMU_SR $WINEPREFIX/dosdevices/f::
    $wine reg add 'HKLM\Software\Wine\Drives' /v f: /d cdrom /f >/tmp/wine.log 2>&1
    # Wine's services take F:'s type from the registry as they start: let the
    # server that wrote it stop first, so the next start reads it.
    /usr/lib/wine/wineserver64 -w
    $wine wineboot >>/tmp/wine.log 2>&1
    stamp wineboot
    run winlist timeout 120 $wine ./updater.exe list
    run winfull timeout 120 $wine ./updater.exe flash --device F: --yes
    done_drive
    drive winreject --fail-page $WINDOWS_REJECT
    run winreject timeout 120 $wine ./updater.exe flash --device F: --yes
    /usr/lib/wine/wineserver64 -k
    done_drive ;;
esac
tcmu_teardown && echo "teardown: ok"
EOF

if RIG_MODULES="$TCMU_MODULES" "$RIG/rig.sh" --cache "$B/rig/cache" --out "$OUT" --script "$guest" \
        --timeout 600 --wait sr0 --wait sr1 "${files[@]}"; then
    pass "rig: the guest ran the programs to the end"
else
    fail "rig: the guest did not run the programs to the end"
    show_guest_tail
    finish
fi
cp "$OUT/output.log" "$OUT/runs.log"

check() {
    awk -v platforms="$PLATFORMS" -v pages="$PAGES" -v full_sha="$FULL_SHA" -v hang_sha="$HANG_SHA" \
        -v reject_page="$REJECT_PAGE" -v windows_reject_page="$WINDOWS_REJECT_PAGE" -v hang_page="$HANG_PAGE" \
        -v sense="$SENSE" -v old="$OLD_REVISION" -v flashed="$FLASHED_REVISION" -f "$RIG/trace.awk" -f "$RIG/tcmu_checks.awk" "$1"
}
if ! check "$OUT/runs.log"; then
    failed=1
    echo "--- the runs and the drive's records, without the page lines ($OUT/runs.log):"
    grep -v -E '(Page [0-9]+ Checksum|Progress:|cdb=FD .* status=0 page=)' "$OUT/runs.log"
    finish
fi

# The checks must see a fault when there is one: each doctored copy of this
# run's output must be rejected (doctor.sh).
DOCTORINGS='a full flash that missed a page|/^full\.drive: CMD .* page=7$/d
a full flash whose pages came out of order|/^full\.drive: CMD .* page=7$/{h;d};/^full\.drive: CMD .* page=8$/G
a full flash whose image differs|s/^\(full\.image: \)./\10/
a full flash with a field that did not fit|/^full\.drive: PAGES/i full.drive: MISMATCH page 9: page checksum 0000, data sums to 1234
a full flash that exited 1|s/^full\.rc: 0$/full.rc: 1/
a full flash without its last line|/^full\.out: Yes!: Flash Succeed!/d
a listing after the flash with the old version|/^after\.out: \[ 3 \]/s/1\.02/1.01/
a full flash whose version was not read back|/^full\.out: Drive firmware version now: /d
a full flash whose read-back came before the last page|/^full\.drive: CMD .* page=64$/{h;d};/^full\.drive: PAGES/{x;G}
a kept version that exited 0|s/^kept\.rc: 3$/kept.rc: 0/
a kept version whose read-back came before the last page|/^kept\.drive: CMD .* page=64$/{h;d};/^kept\.drive: PAGES/{x;G}
a kept version without the advice|/^kept\.out: The drive may take the new firmware only after/d
a listing without the drive|/^list\.out: \[ 3 \]/d
a rejected page that was not the last sent|/^reject\.drive: PAGES/i reject.drive: CMD id=1 cdb=FD 07 56 45 4C 44 00 00 77 D8 length=16384 status=0 page=3
a rejection with another sense key|/^reject\.out: Status 2/s/sense key 03h/sense key 05h/
a rejection that exited 0|s/^reject\.rc: 1$/reject.rc: 0/
an unanswered page aborted after 30 s|s/^\(hang\.drive: ABORTED id=[0-9]*\) after=[0-9]*/\1 after=30000/
an unanswered page sent again|/^hang\.drive: ABORTED/a hang.drive: CMD id=1 cdb=FD 07 56 45 4C 44 F3 80 77 D8 length=16384 status=0 page=2
an unanswered page with no decision logged|/^hang\.out: Page 2 counted as written/d
a SIGINT without the signal line|/^sigint\.err:/d
a SIGTERM run that exited 0|s/^sigterm\.rc: 1$/sigterm.rc: 0/
a SIGINT run that stopped early|/^sigint\.drive: CMD .* page=64$/d
a drive of another name that was sent a page|/^other\.drive: PAGES/i other.drive: CMD id=1 cdb=FD 07 56 45 4C 44 02 65 77 D8 length=16384 status=0 page=1
a drive of another name flashed anyway|s/^other\.rc: 1$/other.rc: 0/
a second flash beside a held drive that was not refused|s/^second\.rc: 1$/second.rc: 0/
a second flash beside a held drive that sent its identity query|/^held\.drive: CMD .* page=9$/a held.drive: CMD id=1 cdb=5A 00 38 4B 4F 10 00 00 00 04 00 00 length=20 status=0
a media poll that reached the held drive|/^held\.drive: CMD .* page=9$/a held.drive: CMD id=1 cdb=4A 01 00 00 10 00 00 00 08 00 00 00 length=8 status=0
no media poll while the drive was free|/^held\.drive: CMD id=[0-9]* cdb=\(4A\|00\) /d
an INQUIRY of the other program that reached the held drive|/^held\.drive: CMD .* page=9$/a held.drive: CMD id=1 cdb=12 00 00 00 60 00 length=96 status=0
another program that did not keep trying|s/^intruder\.rounds: .*/intruder.rounds: 3/
another program that never reached the drive|/^held\.drive: CMD id=[0-9]* cdb=12 00 00 00 60 /d
a flash beside a program that keeps the node open, not refused|s/^keeper\.rc: 1$/keeper.rc: 0/
a flash beside a program that keeps the node open, its identity query sent|/^keeper\.drive: PAGES/i keeper.drive: CMD id=1 cdb=5A 00 38 4B 4F 10 00 00 00 04 00 00 length=20 status=0
a program that keeps the node open, not named|s/(inqloop, process/(process/
a signal at the question that left the drive without its block node|s/^interrupted\.node: .*/interrupted.node: /
a signal at the question that came before the drive was taken|s/^interrupted\.node_during: .*/interrupted.node_during: 3/
a signal at the question that did not end the program|s/^interrupted\.rc: .*/interrupted.rc: 1/
SIGUSR1 at the question that left the drive without its block node|s/^sigusr\.node: .*/sigusr.node: /
SIGUSR1 at the question that did not end the program by it|s/^sigusr\.rc: .*/sigusr.rc: 1/
a SIGKILL that left the block node there|s/^killed\.node_left: .*/killed.node_left: 3/
a retry that did not say it gave the drive back|/^retry\.err: .*given back to the sr driver/d
a retry that wrote a page twice|/^retry\.drive: CMD .* page=7$/p
a retry that exited 1|s/^retry\.rc: 0$/retry.rc: 1/
a retry after which the block node is missing|s/^retry\.node: .*/retry.node: /
a flash beside the retry that was not refused|s/^beside\.rc: 1$/beside.rc: 0/
a flash beside the retry that sent its identity query|/^retry\.drive: CMD .* page=9$/a retry.drive: CMD id=1 cdb=5A 00 38 4B 4F 10 00 00 00 04 00 00 length=20 status=0'
if [ "$PLATFORMS" = "linux windows" ]; then
    DOCTORINGS+='
a Windows flash without its last line|/^winfull\.out: Yes!: Flash Succeed!/d
a Windows flash whose image differs|s/^\(winfull\.image: \)./\10/
a Windows rejection at another page|/^winreject\.drive: CMD .* page=4$/d'
fi
missed=0 doctored=0
scratch=$(mktemp -d)
while IFS='|' read -r what script; do
    doctored=$((doctored + 1))
    doctor "$scratch" runs.log "$what" runs.log "$script" || missed=$((missed + 1))
done <<<"$DOCTORINGS"
rm -rf "$scratch"
if [ $missed -eq 0 ]; then pass "checks reject each of $doctored doctored copies of this run"; else fail "checks missed $missed of $doctored doctored copies"; fi
finish
