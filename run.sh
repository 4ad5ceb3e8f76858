#!/usr/bin/env bash
# Builds the Windows updater (x86_64) and starts it under wine64, with the
# stand-in ASPI manager serving one virtual drive that the built-in firmware
# fits: the whole flash, without hardware. With a display the window opens
# there for you to press Start; without one it runs on a private Xvfb screen,
# is driven through one flash, and its log and screenshots are kept.
set -euo pipefail
export UPDATER_ROOT=$(cd "$(dirname "$0")" && pwd)
cd "$UPDATER_ROOT"
source scripts/prereqs.sh
need_packages cmake ninja-build g++ g++-mingw-w64-x86-64 mingw-w64-tools wine64 xvfb xdotool imagemagick \
    x11-utils
B=${UPDATER_BUILD:-$UPDATER_ROOT/build}
mkdir -p "$B"
echo "Building the x86_64 Windows program in $B/win64 ..."
build_tree "$B/win64" -DCMAKE_TOOLCHAIN_FILE="$UPDATER_ROOT/cmake/mingw-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >"$B/win64.build.log" 2>&1 || { tail -30 "$B/win64.build.log"; exit 1; }
updater=$B/win64/main/updater.exe
uiprobe=$B/win64/main/uiprobe.exe

source scripts/wine.sh
trap wine_cleanup EXIT
echo "Making a fresh wine prefix ..."
wine_prefix
# The reported version selects the ASPI path, where the stand-in manager serves the drive.
wine_version win98
wine_install_aspi "$B/win64/tools/wnaspi32/wnaspi32.dll"
# One drive that fits the image; each page takes a little while, so the progress shows.
export UPDATER_VDRIVES="0:0:0=match" UPDATER_ASPI_ASYNC=1 UPDATER_ASPI_DELAY_MS=60

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    echo "Starting the updater on $DISPLAY: press Start, confirm, and watch the pages go."
    "$WINE" "$updater"
    exit 0
fi

# No display: a private screen, and the flash driven as a user would.
out=$B/run
mkdir -p "$out"
xvfb_start
"$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
export UPDATER_ASPI_LOG="$out/aspi.log" UPDATER_ASPI_IMAGE="$out/drive-image.bin"
: >"$UPDATER_ASPI_LOG"
echo "No display: running on Xvfb $DISPLAY and driving one flash."
"$WINE" "$updater" >"$out/updater.out" 2>&1 &

probe() { "$WINE" "$uiprobe" "$@" 2>/dev/null | tr -d '\r'; }
wait_for() {  # wait_for SECONDS COMMAND...
    local until=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -lt $until ] || { echo "run.sh: timed out waiting for: $*"; exit 1; }
        sleep 0.3
    done
}
box_up() { probe boxes | grep -Fq "BOX caption=\"$1\""; }
click() {  # click "x,y"
    xdotool mousemove "${1%,*}" "${1#*,}" click 1
}
press() {  # press CAPTION BUTTON
    click "$(probe boxes | awk -v box="BOX caption=\"$1\"" -v button="BUTTON text=\"$2\"" '
        /^BOX/ { inside = index($0, box) == 1; next }
        inside && index($0, button) == 1 { sub(/.*at=/, ""); print; exit }')"
}
shot() { import -window root -crop 600x520+190+143 +repage "$out/$1.png" && echo "  screenshot $out/$1.png"; }

wait_for 30 sh -c "'$WINE' '$uiprobe' state | grep -q '^caption='"
probe state | sed -n 's/^caption=/Window: /p; s/^item=/Drive:  /p'
shot started
click "$(probe state | sed -n 's/^start_at=//p')"
wait_for 10 box_up 'Caution!'
echo "Question: $(probe box 'Caution!') -> OK"
press 'Caution!' OK
sleep 2
echo "Writing: progress $(probe state | sed -n 's/^progress=//p') pages"
shot writing
wait_for 120 box_up 'Yes!'
echo "Answer:   $(probe box 'Yes!')"
shot flashed
press 'Yes!' OK
echo "Log:"
probe state | sed -n 's/^log=/  /p'
echo "The drive received $(tr -d '\r' <"$UPDATER_ASPI_LOG" | grep -c '^PAGE ') pages; what it holds is in $out/drive-image.bin"
