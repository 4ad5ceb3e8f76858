#!/usr/bin/env bash
# The updater's real window under wine64 and Xvfb, driven with xdotool; what
# the drives received is read from the stand-in ASPI manager's record, what
# the window shows from the window probe. Usage: wine_updater.sh BUILD_DIR [PART...]
# (PART: match refused newer cancel failing slow close session masks no-aspi nt; all when none given)
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:?usage: wine_updater.sh BUILD_DIR [PART...]}
shift
parts=" $* "
updater=$build/win64/main/updater.exe
uiprobe=$build/win64/main/uiprobe.exe
dll=$build/win64/tools/wnaspi32/wnaspi32.dll
kfstool=$build/native/tools/kfstool
artifacts=$build/artifacts
source "$root/scripts/wine.sh"
work=$(mktemp -d)
trap 'finish_app; wine_cleanup' EXIT
mkdir -p "$artifacts"
passed=0
failed=0
app_pid=

# part NAME: whether that part is to run
part() { [ "$parts" = "  " ] || [[ $parts == *" $1 "* ]]; }
pass() { echo "PASS $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failed=$((failed + 1)); }
# expect NAME COMMAND...: the command must succeed
expect() {
    local name=$1
    shift
    if "$@"; then pass "$name"; else fail "$name"; fi
}

probe() { "$WINE" "$uiprobe" "$@" 2>/dev/null | tr -d '\r'; }
# wait_until SECONDS COMMAND...: retries the command until it succeeds
wait_until() {
    local until=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -ge $until ] && return 1
        sleep 0.3
    done
}
window_up() { probe state | grep -q '^caption='; }
box_up() { probe boxes | grep -Fq "BOX caption=\"$1\""; }
box_gone() { ! box_up "$1"; }
box_text() { probe boxes | grep -F "BOX caption=\"$1\"" | head -1 | sed 's/^BOX caption="[^"]*" text="\(.*\)"$/\1/'; }
state_value() { probe state | sed -n "s/^$1=//p" | head -1; }
click_at() { xdotool mousemove "${1%,*}" "${1#*,}" click 1; }
# press CAPTION BUTTON: clicks that button of the box with that caption
press() {
    local at
    at=$(probe boxes | awk -v box="BOX caption=\"$1\"" -v button="BUTTON text=\"$2\"" '
        /^BOX/ { inside = index($0, box) == 1; next }
        inside && index($0, button) == 1 { sub(/.*at=/, ""); print; exit }')
    [ -n "$at" ] || { echo "  no button \"$2\" on a box \"$1\""; return 1; }
    click_at "$at"
    wait_until 5 box_gone "$1"
}
click_start() { click_at "$(state_value start_at)"; }
progress() { state_value progress; }
progress_at_least() { local p; p=$(progress); [ -n "$p" ] && [ "${p%/*}" -ge "$1" ]; }
log_lines() { probe state | sed -n 's/^log=//p'; }
# The stand-in's record of what a drive received (written in text mode: CR LF).
aspi_log() { tr -d '\r' <"$work/$1.aspi.log"; }
page_writes() { aspi_log "$1" | grep -c '^EXEC .* cdb=FD'; }
# shot NAME: the screen around the main window
shot() {
    local rect x y w h
    rect=$(state_value window)
    IFS=, read -r x y w h <<<"$rect"
    import -window root "$work/root.png" &&
        convert "$work/root.png" -crop "$((w + 160))x$((h + 40))+$((x - 20))+$((y - 20))" +repage "$artifacts/$1.png" &&
        echo "  screenshot: $artifacts/$1.png"
}

# launch NAME [VARIABLE=VALUE...]: starts the updater with the stand-in so configured
launch() {
    local name=$1
    shift
    : >"$work/$name.aspi.log"
    rm -f "$work/$name.image"
    env UPDATER_ASPI_LOG="$work/$name.aspi.log" UPDATER_ASPI_IMAGE="$work/$name.image" "$@" \
        "$WINE" "$updater" >"$work/$name.out" 2>&1 &
    app_pid=$!
}
# Closes the window the way a user does; ends wine if it will not go.
finish_app() {
    [ -n "$app_pid" ] || return 0
    local id
    id=$(xdotool search --name ' Updater$' 2>/dev/null | head -1)
    if [ -n "$id" ]; then
        xdotool windowfocus --sync "$id" 2>/dev/null
        xdotool key alt+F4 2>/dev/null
    fi
    local until=$((SECONDS + 5))
    while kill -0 "$app_pid" 2>/dev/null && [ $SECONDS -lt $until ]; do sleep 0.2; done
    if kill -0 "$app_pid" 2>/dev/null; then
        "$WINESERVER" -k >/dev/null 2>&1
        wait "$app_pid" 2>/dev/null
    fi
    app_pid=
}
start_window() {  # start_window NAME [VARIABLE=VALUE...]
    launch "$@"
    wait_until 30 window_up || { echo "  the window of $1 did not come up"; cat "$work/$1.out"; return 1; }
}

# --- what the drive must receive, from the image the container unpacks to
for f in "$updater" "$uiprobe" "$dll" "$kfstool"; do
    [ -f "$f" ] || { echo "FAIL missing $f (run the native and x86_64 Windows builds first)"; exit 1; }
done
"$kfstool" unpack --builtin "$work/image.bin" >/dev/null || { echo "FAIL kfstool unpack"; exit 1; }
# One line per 16 KiB page: its 16-bit byte sum in hexadecimal.
od -An -v -tu1 -w16384 "$work/image.bin" |
    awk '{ s = 0; for (i = 1; i <= NF; i++) s += $i; printf "%04X\n", s % 65536 }' >"$work/pages.sum"
pages=$(wc -l <"$work/pages.sum")
image_sum=$(od -An -v -tu1 "$work/image.bin" | awk '{ for (i = 1; i <= NF; i++) s += $i } END { printf "%04X", s % 65536 }')
# The ASPI path cannot keep the drive to the updater: the log says so first, and the flash goes on.
not_reserved='The drive could not be reserved for the update. Close other programs that use the drive.'
{
    echo "$not_reserved"
    echo "Firmware Checksum : $image_sum"
    awk '{ print "Page " NR " Checksum : " $0 }' "$work/pages.sum"
    # The drive asked again after the last page: the stand-in drive already reports the image's version.
    echo "Drive firmware version now: 1.02"
    echo "The drive runs the new firmware."
} >"$work/expected.log"
awk -v image="$image_sum" '{
    printf "cdb=FD 07 56 45 4C 44 %s %s %s %s %02X 08 len=16384 flags=0x50 status=1\n",
        substr($0, 1, 2), substr($0, 3, 2), substr(image, 1, 2), substr(image, 3, 2), NR % 256 }' \
    "$work/pages.sum" >"$work/expected.cdb"
echo "image: $pages pages, checksum $image_sum"

wine_prefix || { echo "FAIL wine prefix"; exit 1; }
xvfb_start || { echo "FAIL Xvfb"; exit 1; }
# With no window manager, wine draws the frames and captions itself.
"$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
wine_version win98
wine_install_aspi "$dll"
caption='VELD    DVD-RW KX4800   1.02 K4 Updater'

# --- a matching drive is flashed completely
if part match && start_window match UPDATER_VDRIVES="0:0:0=match"; then
    expect "start-up: the caption names the image" test "$(state_value caption)" = "$caption"
    expect "start-up: the drive is listed and selected" test "$(probe state | grep -E '^(item|selected)=')" = \
        "$(printf 'item=[ 1 ] VELD    DVD-RW KX4800     1.02\nselected=0')"
    expect "start-up: empty log, progress 0 of 100" test "$(log_lines)|$(progress)" = "|0/100"
    shot startup
    click_start
    if wait_until 10 box_up 'Caution!'; then
        expect "the last question" test "$(box_text 'Caution!')" = "Flash Now! Please do not power off!"
        press 'Caution!' OK
        if wait_until 60 box_up 'Yes!'; then
            expect "flash succeeded" test "$(box_text 'Yes!')" = "Flash Succeed!"
            shot flashed-box
            press 'Yes!' OK
            shot flashed
            expect "the drive was asked for its identity, then INQUIRY, before the pages" test \
                "$(aspi_log match | grep '^EXEC' | sed -n '2,3p;4s/cdb=FD.*/cdb=FD/p')" = "$(printf '%s\n' \
                'EXEC 0:0:0 cdb=5A 00 38 4B 4F 10 00 00 00 04 00 00 len=20 flags=0x48 status=1' \
                'EXEC 0:0:0 cdb=12 00 00 00 32 00 00 00 00 00 00 00 len=50 flags=0x48 status=1' \
                'EXEC 0:0:0 cdb=FD')"
            expect "every page was written once" test "$(page_writes match)" = "$pages"
            expect "the command blocks carry checksums and page numbers" diff \
                <(aspi_log match | grep '^EXEC .* cdb=FD' | sed 's/^EXEC [0-9:]* //') "$work/expected.cdb"
            expect "the drive holds exactly the image" cmp "$work/match.image" "$work/image.bin"
            expect "no field of a page write mismatched" test "$(aspi_log match | grep -c '^MISMATCH')" = 0
            expect "the log lists the image and every page" diff <(log_lines) "$work/expected.log"
            expect "progress ends full, controls enabled" test \
                "$(probe state | grep -E '^(progress|start|list)=' | tr '\n' ' ')" = \
                "start=enabled list=enabled progress=$pages/$pages "
        else
            fail "no \"Flash Succeed!\" box"
            probe boxes
        fi
    else
        fail "no last question after Start"
    fi
    finish_app
fi

# --- drives the image is not for
refused() {  # refused NAME PROFILE TEXT
    if part refused && start_window "$1" UPDATER_VDRIVES="0:0:0=$2"; then
        click_start
        if wait_until 10 box_up Error; then
            expect "$1: refused with \"$3\"" test "$(box_text Error)" = "$3"
            press Error OK
        else
            fail "$1: no error box"
        fi
        expect "$1: no page write" test "$(page_writes "$1")" = 0
        # A drive that is refused leaves the log as it was, on every path.
        expect "$1: nothing logged" test -z "$(log_lines)"
        finish_app
    fi
}
refused other-name other-name "Drive name does not match!"
refused other-hwid other-hwid "Hardware ID does not match!"

# --- a newer drive: the question, and No sends nothing
if part newer && start_window newer UPDATER_VDRIVES="0:0:0=newer"; then
    click_start
    if wait_until 10 box_up Caution; then
        expect "newer drive: the Yes/No question" test "$(box_text Caution)" = \
            "Drive firmware version is new, are you sure to continue?"
        expect "newer drive: Yes and No" test "$(probe boxes | grep -c '^BUTTON text="\(Yes\|No\)"')" = 2
        press Caution No
        sleep 1
        expect "newer drive: no further question" test -z "$(probe boxes)"
    else
        fail "newer drive: no question"
    fi
    expect "newer drive, No: no page write" test "$(page_writes newer)" = 0
    finish_app
fi

# --- Cancel at the last question
if part cancel && start_window cancel UPDATER_VDRIVES="0:0:0=match"; then
    click_start
    if wait_until 10 box_up 'Caution!'; then
        press 'Caution!' Cancel
        sleep 1
        expect "cancel: no page write" test "$(page_writes cancel)" = 0
        expect "cancel: the checksum line stays" test "$(log_lines)" = "$(head -2 "$work/expected.log")"
        expect "cancel: progress reset to 0 of $pages" test "$(progress)" = "0/$pages"
    else
        fail "cancel: no last question"
    fi
    finish_app
fi

# --- a page write that fails stops the flash
if part failing && start_window failing UPDATER_VDRIVES="0:0:0=match+fail-page:3"; then
    click_start
    wait_until 10 box_up 'Caution!' && press 'Caution!' OK
    if wait_until 30 box_up Error; then
        text=$(box_text Error)
        expect "failing page: the box names page and status" grep -q "^Writing page 3 of $pages failed\.|Status 4" <<<"$text"
        expect "failing page: the box gives the sense" grep -Fq "sense key 03h, ASC 0Ch, ASCQ 00h" <<<"$text"
        expect "failing page: the box says to run it again" grep -Fq "run the update again" <<<"$text"
        press Error OK
        expect "failing page: no page after the third" test "$(page_writes failing)" = 3
        expect "failing page: the third write failed" grep -q 'cdb=FD .* 03 08 len=16384 flags=0x50 status=4$' \
            <(aspi_log failing)
        expect "failing page: no success box" test -z "$(probe boxes)"
        expect "failing page: the log ends at page 3" diff <(log_lines) <(head -5 "$work/expected.log")
    else
        fail "failing page: no error box"
    fi
    finish_app
fi

# --- a slow flash: nothing the user does pauses the page writes, and the flash finishes
close_refused="Closing refused: the drive firmware is being written. Wait until it has finished; do not power off or restart the computer."
# The stand-in's time of each page taken; prints the longest gap between two of them in milliseconds.
longest_gap() {
    aspi_log "$1" | sed -n 's/^PAGE .* ms=\([0-9]*\)$/\1/p' |
        awk 'NR > 1 && $1 - last > most { most = $1 - last } { last = $1 } END { print most + 0 }'
}
close_logged() { log_lines | grep -Fxq "$close_refused"; }
# The checks below take their time (each probe starts a wine process): the pages are slow
# enough that all of them fall within the writes.
if part slow && start_window slow UPDATER_VDRIVES="0:0:0=match" UPDATER_ASPI_ASYNC=1 UPDATER_ASPI_DELAY_MS=350; then
    click_start
    wait_until 10 box_up 'Caution!' && press 'Caution!' OK
    wait_until 20 progress_at_least 3
    state=$(probe state)
    first=$(sed -n 's/^progress=//p' <<<"$state")
    before=$(sed -n 's/^window=//p' <<<"$state")
    # The mouse held on the caption for 3 seconds: the window's modal move loop runs until the
    # button is let go. Wine draws the caption itself here (no window manager), so it is a real
    # caption; moving the mouse meanwhile shows that the move loop ran.
    IFS=, read -r x y w h <<<"$before"
    xdotool mousemove "$((x + w / 2))" "$((y + 10))" mousedown 1
    sleep 1
    xdotool mousemove_relative 40 30
    sleep 2
    xdotool mouseup 1
    state=$(probe state)
    held=$(sed -n 's/^progress=//p' <<<"$state")
    after=$(sed -n 's/^window=//p' <<<"$state")
    expect "slow flash: the caption was held (the window moved from $before to $after)" test "$before" != "$after"
    expect "slow flash: the flash goes on while the caption is held (${first} then ${held})" \
        test "${first%/*}" -lt "${held%/*}" -a "${held%/*}" -lt "$pages"
    # A close request (Alt+F4) while pages are written: refused in the log, with no box.
    id=$(xdotool search --name ' Updater$' | head -1)
    xdotool windowfocus --sync "$id" && xdotool key alt+F4
    if wait_until 5 close_logged; then
        pass "slow flash: the close request is refused in the log"
    else
        fail "slow flash: no log line for the close request"
    fi
    sleep 1
    boxes=$(probe boxes)
    expect "slow flash: no box for the close request" test -z "$boxes"
    # A box left up would hold the flash: out of the way, so that the rest can be judged.
    [ -z "$boxes" ] || press "$(sed -n 's/^BOX caption="\([^"]*\)".*/\1/p' <<<"$boxes" | head -1)" OK
    expect "slow flash: Start and the list are disabled" test \
        "$(probe state | grep -E '^(start|list)=' | tr '\n' ' ')" = "start=disabled list=disabled "
    expect "slow flash: the session may not end while pages are written" test "$(probe endsession)" = "answer=0"
    shot flashing
    second=$(progress)
    expect "slow flash: the window is still there" window_up
    expect "slow flash: the progress bar advances (${held} then ${second})" \
        test "${held%/*}" -lt "${second%/*}" -a "${second#*/}" = "$pages"
    if wait_until 60 box_up 'Yes!'; then
        pass "slow flash: completed"
        press 'Yes!' OK
        expect "slow flash: the session may end once the flash is over" test "$(probe endsession)" = "answer=1"
    else
        fail "slow flash: did not complete"
    fi
    expect "slow flash: every page written" test "$(page_writes slow)" = "$pages"
    expect "slow flash: the drive holds exactly the image" cmp "$work/slow.image" "$work/image.bin"
    gap=$(longest_gap slow)
    expect "slow flash: no more than a second between two page writes (longest gap ${gap} ms)" \
        test "$(aspi_log slow | grep -c '^PAGE .* ms=[0-9]*$')" = "$pages" -a "$gap" -le 1000
    expect "slow flash: the log ends with the read-back" test "$(log_lines | tail -2 | tr '\n' '|')" = \
        "$(tail -2 "$work/expected.log" | tr '\n' '|')"
    finish_app
fi

# --- another program closes the window while a question is open: the close is refused and the
# question stays; when that program then ends the window's message loop, the question ends unanswered,
# no page is written and the program ends by itself.
close_busy="Closing refused: the update is in progress. Answer its message or wait until it has ended."
app_ended() { ! kill -0 "$app_pid" 2>/dev/null; }
closed_at_question() {  # closed_at_question NAME PROFILE CAPTION
    if part close && start_window "$1" UPDATER_VDRIVES="0:0:0=$2"; then
        click_start
        if wait_until 10 box_up "$3"; then
            probe post close
            sleep 1
            expect "$1: the window stays" window_up
            expect "$1: the question stays" box_up "$3"
            expect "$1: the close request is refused in the log" test "$(log_lines | tail -1)" = "$close_busy"
            probe post quit
            if wait_until 15 app_ended; then
                wait "$app_pid"
                expect "$1: the program ended by itself, exit status 0" test $? = 0
                app_pid=
            else
                fail "$1: the program did not end after its message loop was ended"
            fi
        else
            fail "$1: no question \"$3\""
        fi
        sleep 1
        expect "$1: no page write" test "$(page_writes "$1")" = 0
        finish_app
    fi
}
closed_at_question close-confirm match 'Caution!'
closed_at_question close-newer newer Caution

# --- the session ends while pages are written: the window holds it until the writes and the
# read-back are over, and says so in the log.
session_held="The session is ending: it is held until the drive firmware has been written and the drive asked again."
if part session && start_window session UPDATER_VDRIVES="0:0:0=match" UPDATER_ASPI_ASYNC=1 UPDATER_ASPI_DELAY_MS=120; then
    click_start
    wait_until 10 box_up 'Caution!' && press 'Caution!' OK
    if wait_until 20 progress_at_least 2; then
        ended=$(probe endsession now)
        written=$(page_writes session)
        expect "session: the window let the session end ($ended) only after every page ($written of $pages)" \
            test "$ended|$written" = "ended|$pages"
        expect "session: the log says that the session was held" grep -Fxq "$session_held" <(log_lines)
        expect "session: ... and the read-back ran before it was let go" test \
            "$(log_lines | grep -Fx -A1 'The drive runs the new firmware.' | tail -1 | cut -c1-40)" = \
            "The drive firmware writes have ended; th"
        expect "session: the drive holds exactly the image" cmp "$work/session.image" "$work/image.bin"
    else
        fail "session: the writes did not start"
    fi
    finish_app
fi

# --- the wake masks of the window's message wait, as wine's relay trace shows them: every one
# within the bits Windows 98 and NT 4.0 know (0xFF).
if part masks; then
    : >"$work/masks.aspi.log"
    (env UPDATER_ASPI_LOG="$work/masks.aspi.log" UPDATER_ASPI_IMAGE="$work/masks.image" UPDATER_VDRIVES="0:0:0=match" \
        UPDATER_ASPI_ASYNC=1 UPDATER_ASPI_DELAY_MS=20 WINEDEBUG=+relay "$WINE" "$updater" 2>&1 >/dev/null |
        grep --line-buffered -F 'Call user32.MsgWaitForMultipleObjects(' >"$work/masks.relay") &
    app_pid=$!
    if wait_until 60 window_up; then
        click_start
        wait_until 30 box_up 'Caution!' && press 'Caution!' OK
        if wait_until 120 box_up 'Yes!'; then
            press 'Yes!' OK
        else
            fail "masks: the flash did not complete"
        fi
    else
        fail "masks: no window"
    fi
    finish_app
    masks=$(sed -n 's/.*MsgWaitForMultipleObjects([^,]*,[^,]*,[^,]*,[^,]*,\([0-9a-fA-F]*\)).*/\1/p' "$work/masks.relay" | sort -u)
    expect "masks: the message wait was called ($(grep -c . "$work/masks.relay") calls)" test -n "$masks"
    expect "masks: every wake mask within 0xFF ($(echo $masks))" \
        test -z "$(for m in $masks; do [ $((16#$m)) -le 255 ] || echo "$m"; done)"
fi

# --- no ASPI manager
if part no-aspi; then
    wine_remove_aspi
    launch no-aspi
    if wait_until 30 box_up ''; then
        expect "no manager: the message" test "$(box_text '')" = "WNASPI32.DLL not found"
        press '' OK
        if wait_until 30 window_up; then
            expect "no manager: empty list" test -z "$(probe state | grep '^item=')"
        else
            fail "no manager: no window after the message"
        fi
    else
        fail "no manager: no \"WNASPI32.DLL not found\""
    fi
    finish_app
fi

# --- NT path, no optical drive
if part nt && wine_version win10 && start_window nt; then
    expect "nt path: no message box" test -z "$(probe boxes)"
    expect "nt path: empty list" test "$(probe state | grep -E '^(item|selected)=')" = "selected=-1"
    click_start
    if wait_until 10 box_up Error; then
        expect "nt path: Start refused" test "$(box_text Error)" = \
            "No drive is selected. Nothing has been sent to the drive."
        press Error OK
    else
        fail "nt path: Start not refused"
    fi
    finish_app
fi

if [ $failed -eq 0 ]; then rm -rf "$work"; else echo "outputs kept in $work"; fi
echo "wine_updater: $passed passed, $failed failed (screenshots in $artifacts)"
[ $failed -eq 0 ]
