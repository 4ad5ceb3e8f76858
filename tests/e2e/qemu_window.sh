#!/usr/bin/env bash
# The release program itself, the i686 build/win32/main/updater.exe exactly as
# built, in its window under 32-bit wine in the QEMU guest, on an X server
# there (Xvfb): the window is read with the window probe and driven with
# xdotool, what reached the drives is read from QEMU's trace. The demo image
# must be refused by QEMU's drive by name, with no page write; the build with
# a container fitted to QEMU's drive sends page 1, which the drive rejects,
# and stops there with an error box naming the page and the drive's sense.
# Then the ASPI path: reported as Windows 98, with the i686 stand-in ASPI
# manager in the prefix, the demo image is flashed in full, every page checked
# against the stand-in's record.
# Usage: qemu_window.sh BUILD_DIR (with the native and win32 builds in it).
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
RIG=$ROOT/tests/rig
source "$RIG/report.sh"
B=${1:?usage: qemu_window.sh BUILD_DIR}
B=$(cd "$B" && pwd)
UPDATER=$B/win32/main/updater.exe
UIPROBE=$B/win32/main/uiprobe.exe
ASPI=$B/win32/tools/wnaspi32/wnaspi32.dll
MKDEMO=$B/native/tools/mkdemo
KFSTOOL=$B/native/tools/kfstool
source "$RIG/fit.sh"
UPDATER_FIT=$FIT/win32/main/updater.exe
OUT=$B/rig/window
ARTIFACTS=$B/artifacts
begin_checks qemu_window
# expect WHAT GOT WANTED
expect() {
    if [ "$2" = "$3" ]; then pass "$1"; else fail "$1:"; echo "    got:    $2"; echo "    wanted: $3"; fi
}

for f in "$UPDATER" "$UIPROBE" "$ASPI" "$MKDEMO" "$KFSTOOL"; do
    [ -f "$f" ] || { fail "build: $f is missing"; finish; }
done
"$RIG/wine32.sh" "$B/rig/cache" || { fail "32-bit wine for the guest could not be fetched"; finish; }
mkdir -p "$OUT" "$ARTIFACTS"
fit_container || { fail "the fitted container"; finish; }
fit_build win32 updater -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" ||
    { fail "i686 fitted build: updater.exe with the fitted container"; finish; }

# The X server and what the window needs besides wine: Xvfb with its keyboard
# data, xdotool, and TrueType fonts (without any, wine's edit control fails
# to lay out its text and the program stops before its window shows).
LIB=/usr/lib/x86_64-linux-gnu
x_files=(/usr/bin/Xvfb=/usr/bin/Xvfb /usr/bin/xkbcomp=/usr/bin/xkbcomp /usr/share/X11/xkb=/usr/share/X11/xkb
         /usr/bin/xdotool=/usr/bin/xdotool /etc/fonts=/etc/fonts /usr/share/fonts=/usr/share/fonts)
# Libraries 64-bit wine loads at run time (ldd does not list them).
for l in libfreetype.so.6 libfontconfig.so.1 libXrender.so.1 libXi.so.6 libXrandr.so.2 libXcursor.so.1 \
         libXfixes.so.3 libXinerama.so.1 libXcomposite.so.1 libXxf86vm.so.1; do
    [ -e "$LIB/$l" ] || { fail "host library $LIB/$l is missing"; finish; }
    x_files+=("$(readlink -f "$LIB/$l")=$LIB/$l")
done

# --- the guest: lines "state: ...", "boxes: ..." and the screen between
# "SHOT NAME" and "END-SHOT" (gzipped XWD, base64).
guest=$OUT/guest.sh
cat >"$guest" <<'EOF'
mkdir -p /tmp/.X11-unix /var/lib/xkb
chmod 1777 /tmp/.X11-unix
Xvfb :1 -screen 0 1024x768x24 -nolisten tcp -fbdir /tmp >/tmp/xvfb.log 2>&1 &
export DISPLAY=:1
# Every wine process, wineboot's desktop among them, must find the display up:
# a desktop started without one keeps every later window from showing.
n=0
until xdotool getdisplaygeometry >/dev/null 2>&1; do
    n=$((n + 1))
    [ $n -le 120 ] || { echo "Xvfb: no display after 2 minutes"; cat /tmp/xvfb.log; break; }
    sleep 1
done
# No crash debugger: a program that faults ends, and its log says where.
export WINEDEBUG=-all WINEDLLOVERRIDES=winedbg.exe=d
/usr/lib/wine/wineserver64 -p
# Without Mono and Gecko, so that no installer asks on the screen.
WINEDLLOVERRIDES='winedbg.exe=d;mscoree=d;mshtml=d' /usr/lib/wine/wine64 wineboot >/tmp/wineboot.log 2>&1
# With no window manager, wine draws the frames and captions itself.
/usr/lib/wine/wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
probe() { timeout 60 /usr/lib/wine/wine ./uiprobe.exe "$@" 2>/dev/null | tr -d '\r'; }
# wait_for WHAT PATTERN: up to about 3 minutes (the first window comes up
# after wine's desktop and font cache, slow under emulation).
wait_for() {
    n=0
    until probe "$1" | grep -q "$2"; do
        n=$((n + 1))
        [ $n -le 90 ] || return 1
        sleep 2
    done
}
shot() { echo "SHOT $1"; gzip -c /tmp/Xvfb_screen0 | base64; echo "END-SHOT"; }
# With the guest's fonts the drive list's edit field is taller and covers
# Start: the keyboard reaches it, from the list with Tab, as a user would.
press_start() {
    at=$(probe state | sed -n 's/^list_at=//p')
    xdotool mousemove "${at%,*}" "${at#*,}" click 1
    sleep 2
    xdotool key Tab
    sleep 1
    xdotool key space
}
# press BOX-CAPTION BUTTON
press() {
    at=$(probe boxes | awk -v box="BOX caption=\"$1\"" -v button="BUTTON text=\"$2\"" '
        /^BOX/ { inside = index($0, box) == 1; next }
        inside && index($0, button) == 1 { sub(/.*at=/, ""); print; exit }')
    [ -n "$at" ] && xdotool mousemove "${at%,*}" "${at#*,}" click 1
}
# run TAG PROGRAM: starts it and waits for its window; the caller ends it.
# Wine's errors are kept: they say why a window did not show.
run() {
    WINEDEBUG=fixme-all /usr/lib/wine/wine "$2" >/tmp/run-$1.log 2>&1 &
    pid=$!
    if wait_for state '^caption='; then return 0; fi
    echo "$1: no window; the program's output:"
    grep -v '^modify_ldt' /tmp/run-$1.log | sed "s/^/$1: /"
    ps -o pid,ppid,stat,args | sed "s/^/$1: /"
    return 1
}
# Wine's desktop comes up with the first program that asks for it; a window
# program started while it is still coming up may never show.
probe state >/dev/null
if run demo ./updater.exe; then
    probe state | sed 's/^/demo.state: /'
    shot startup
    press_start
    wait_for boxes '^BOX caption="Error"'
    probe boxes | sed 's/^/demo.boxes: /'
    shot refused
    kill $pid
    sleep 3
fi
if run fit ./updater-fit.exe; then
    press_start
    wait_for boxes '^BOX caption="Caution!"'
    probe boxes | sed 's/^/fit.question: /'
    press 'Caution!' OK
    wait_for boxes '^BOX caption="Error"'
    probe boxes | sed 's/^/fit.boxes: /'
    shot page1
    probe state | sed 's/^/fit.state: /'
    kill $pid
    sleep 3
fi
# The ASPI path: reported as Windows 98, with the i686 stand-in manager in the
# system folder of 32-bit programs, serving a drive the demo image fits.
/usr/lib/wine/wine reg add 'HKCU\Software\Wine' /v Version /d win98 /f >/dev/null 2>&1
cp wnaspi32.dll "$WINEPREFIX/drive_c/windows/syswow64/wnaspi32.dll"
export WINEDLLOVERRIDES='winedbg.exe=d;wnaspi32=n' UPDATER_VDRIVES=0:0:0=match
export UPDATER_ASPI_LOG=/tmp/aspi.log UPDATER_ASPI_IMAGE=/tmp/aspi.image
: >/tmp/aspi.log
if run aspi ./updater.exe; then
    probe state | sed 's/^/aspi.start: /'
    press_start
    wait_for boxes '^BOX caption="Caution!"'
    press 'Caution!' OK
    wait_for boxes '^BOX caption="Yes!"'
    probe boxes | sed 's/^/aspi.boxes: /'
    probe state | sed 's/^/aspi.state: /'
    kill $pid
fi
tr -d '\r' </tmp/aspi.log | sed 's/^/aspi.record: /'
echo "aspi.image: $(sha256sum </tmp/aspi.image 2>/dev/null | cut -d' ' -f1)"
EOF

if "$RIG/rig.sh" --cache "$B/rig/cache" --out "$OUT" --script "$guest" --timeout 700 \
        --trace ide_atapi_cmd_packet --wait sr0 --wait sr1 \
        "$UPDATER=updater.exe" "$UPDATER_FIT=updater-fit.exe" "$UIPROBE=uiprobe.exe" "$ASPI=wnaspi32.dll" "${x_files[@]}"; then
    pass "rig: the guest ran the window to the end"
else
    fail "rig: the guest did not run the window to the end"
    show_guest_tail
    finish
fi
log=$OUT/output.log

# The screens, as PNG files.
for name in startup refused page1; do
    if sed -n "/^SHOT $name\$/,/^END-SHOT\$/p" "$log" | sed '1d;$d' | base64 -d 2>/dev/null | gunzip 2>/dev/null |
        convert xwd:- "$ARTIFACTS/i686-window-$name.png" 2>/dev/null; then
        echo "  screenshot: $ARTIFACTS/i686-window-$name.png"
    else
        fail "screenshot $name: not in the guest's output"
    fi
done

state() { sed -n 's/^demo.state: //p' "$log"; }
expect "start-up: the caption names the image" "$(state | sed -n 's/^caption=//p')" \
    'VELD    DVD-RW KX4800   1.02 K4 Updater'
expect "start-up: both of QEMU's drives are listed, the first selected" \
    "$(state | grep -E '^(item|selected)=')" \
    "$(printf '%s\n' 'item=[ 1 ] QEMU    QEMU DVD-ROM      2.5+' 'item=[ 2 ] QEMU    QEMU DVD-ROM      2.5+' 'selected=0')"
expect "start-up: controls enabled, progress 0 of 100" "$(state | grep -E '^(start|list|progress)=' | tr '\n' ' ')" \
    "start=enabled list=enabled progress=0/100 "
box_text() { sed -n "s/^$1: BOX caption=\"$2\" text=\"\(.*\)\"\$/\1/p" "$log"; }
expect "demo image: Start refused by name" "$(box_text demo.boxes Error)" "Drive name does not match!"
expect "fitted image: the last question" "$(box_text fit.question 'Caution!')" "Flash Now! Please do not power off!"
text=$(box_text fit.boxes Error)
if grep -q "^Writing page 1 of $PAGES failed\.|Status 2, sense key 05h, ASC 20h, ASCQ 00h" <<<"$text"; then
    pass "fitted image: the error box names page 1 of $PAGES and the drive's sense (ILLEGAL REQUEST)"
else
    fail "fitted image: the error box: $text"
fi
# Wine does not know the class driver's exclusive access, and ASPI has none: the flash goes on
# with the line that says so.
NOT_RESERVED='The drive could not be reserved for the update. Close other programs that use the drive.'
expect "fitted image: the log stops at page 1" "$(sed -n 's/^fit.state: log=//p' "$log")" \
    "$(printf '%s\n' "$NOT_RESERVED" "Firmware Checksum : $IMAGE_SUM" "Page 1 Checksum : $PAGE1_SUM")"
trace=$OUT/trace.log
# The commands in order: identity query (I), page write (W).
order=$(grep -io 'packet: *\(5a 00 38 4b 4f 10\|fd \)' "$trace" | awk '{ print (tolower($2) == "fd") ? "W" : "I" }' | tr -d '\n')
expect "trace: one identity query for each run, then exactly one page write" "$order" "IIW"
expect "trace: the page write is page 1 with the image's and page's checksums" \
    "$(grep -io 'packet: *fd .*' "$trace" | sed 's/^[Pp][Aa][Cc][Kk][Ee][Tt]: *//; s/ *$//' | tr 'a-f' 'A-F')" \
    "FD 07 56 45 4C 44 ${PAGE1_SUM:0:2} ${PAGE1_SUM:2:2} ${IMAGE_SUM:0:2} ${IMAGE_SUM:2:2} 01 08"

# The ASPI path: every page of the demo image, as the stand-in recorded it.
"$KFSTOOL" unpack --builtin "$OUT/demo.bin" >/dev/null || fail "kfstool unpack --builtin"
read -r demo_sum demo_pages < <(od -An -v -tu1 -w16384 "$OUT/demo.bin" | awk '
    { s = 0; for (i = 1; i <= NF; i++) s += $i; all += s; printf "%04X\n", s % 65536 >"/dev/stderr" }
    END { printf "%04X %d\n", all % 65536, NR }' 2>"$OUT/demo.pages")
expect "ASPI path (win98): the stand-in's drive listed" "$(sed -n 's/^aspi.start: //p' "$log" | grep -E '^(item|selected)=')" \
    "$(printf '%s\n' 'item=[ 1 ] VELD    DVD-RW KX4800     1.02' 'selected=0')"
expect "ASPI path (win98): flash succeeded" "$(box_text aspi.boxes 'Yes!')" "Flash Succeed!"
record() { sed -n 's/^aspi.record: //p' "$log"; }
expect "ASPI path (win98): every one of the $demo_pages pages written once, with checksums and page numbers" \
    "$(record | grep '^EXEC .* cdb=FD' | sed 's/^EXEC [0-9:]* //')" \
    "$(awk -v image="$demo_sum" '{
        printf "cdb=FD 07 56 45 4C 44 %s %s %s %s %02X 08 len=16384 flags=0x50 status=1\n",
            substr($0, 1, 2), substr($0, 3, 2), substr(image, 1, 2), substr(image, 3, 2), NR % 256 }' "$OUT/demo.pages")"
expect "ASPI path (win98): no field of a page write mismatched" "$(record | grep -c '^MISMATCH')" 0
expect "ASPI path (win98): the drive holds exactly the image" "$(sed -n 's/^aspi.image: //p' "$log")" \
    "$(sha256sum <"$OUT/demo.bin" | cut -d' ' -f1)"
expect "ASPI path (win98): the log lists the image and every page" "$(sed -n 's/^aspi.state: log=//p' "$log")" \
    "$(echo "$NOT_RESERVED"; echo "Firmware Checksum : $demo_sum"; awk '{ print "Page " NR " Checksum : " $0 }' "$OUT/demo.pages"
       echo "Drive firmware version now: 1.02"; echo "The drive runs the new firmware.")"
if [ $failed -ne 0 ]; then
    echo "--- the guest's output, without the screens ($log):"
    sed '/^SHOT /,/^END-SHOT$/d' "$log"
fi
finish
