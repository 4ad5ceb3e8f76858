# Wine helpers for the end-to-end tests (sourced). Every run gets a fresh
# prefix in a temporary folder; nothing of it is kept.
WINE=${WINE:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver}
export WINEDEBUG=${WINEDEBUG:--all}

# wine_prefix: makes a fresh prefix and exports WINEPREFIX.
wine_prefix() {
    WINEPREFIX=$(mktemp -d /tmp/updater-wine.XXXXXX)
    export WINEPREFIX
    "$WINE" wineboot -i >/dev/null 2>&1 || return 1
    "$WINESERVER" -w
}

# wine_version VERSION: the Windows version wine reports (win98 takes the ASPI path).
wine_version() {
    "$WINE" reg add 'HKCU\Software\Wine' /v Version /d "$1" /f >/dev/null 2>&1 && "$WINESERVER" -w
}

# wine_install_aspi DLL: puts the stand-in ASPI manager into the system folder.
wine_install_aspi() {
    cp "$1" "$WINEPREFIX/drive_c/windows/system32/wnaspi32.dll" && export WINEDLLOVERRIDES=wnaspi32=n
}

# wine_remove_aspi: no ASPI manager at all.
wine_remove_aspi() {
    rm -f "$WINEPREFIX/drive_c/windows/system32/wnaspi32.dll" "$WINEPREFIX/drive_c/windows/syswow64/wnaspi32.dll"
    export WINEDLLOVERRIDES=wnaspi32=n
}

# xvfb_start: a private X display, exported as DISPLAY.
xvfb_start() {
    local n
    for n in $(seq 90 140); do
        [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
        XVFB_PID=$!
        export DISPLAY=":$n"
        for _ in $(seq 50); do
            xdpyinfo >/dev/null 2>&1 && return 0
            [ -e "/tmp/.X11-unix/X$n" ] && sleep 0.2 && return 0
            sleep 0.1
        done
    done
    return 1
}

# wine_cleanup: ends wine and Xvfb and removes the prefix.
wine_cleanup() {
    [ -n "${WINEPREFIX:-}" ] && "$WINESERVER" -k >/dev/null 2>&1
    [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null
    [ -n "${WINEPREFIX:-}" ] && case "$WINEPREFIX" in /tmp/updater-wine.*) rm -rf "$WINEPREFIX" ;; esac
    return 0
}
