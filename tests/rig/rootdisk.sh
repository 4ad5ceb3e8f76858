# Builds the guest's root disk: an ext4 image holding busybox, wine with every
# library it links against, and a wine prefix whose D: and E: are the guest's
# two CD-ROM drives. Sourced by rig.sh; needs RIG_DIR.

WINE_DIRS=(/usr/lib/wine /usr/lib/x86_64-linux-gnu/wine /usr/share/wine)
WINE=/usr/lib/wine/wine64
WINE_SERVER=/usr/lib/wine/wineserver64
# Drive letters of the guest prefix and the CD-ROM device each one stands for.
ROOT_DRIVES=(d:/dev/sr0 e:/dev/sr1)
# 32-bit wine for the i686 programs, unpacked from Debian's i386 package files
# (wine32.sh; the caller sets WINE32_DEBS): its loader and server go beside
# wine64, its libraries and every i386 library whole, since ldd cannot list an
# i386 program's libraries where 32-bit code does not run.
WINE32_DEBS=()
WINE32_PARTS=(usr/lib/wine usr/lib/i386-linux-gnu usr/lib/ld-linux.so.2)
wine32_size() { [ ${#WINE32_DEBS[@]} -eq 0 ] && echo 2200M || echo 3300M; }

is_elf() { [ -f "$1" ] && [ "$(head -c 4 "$1" | od -An -c | tr -d ' ')" = '177ELF' ]; }

# Libraries that ldd lists for the given ELF files, one path a line.
elf_libraries() {
    local f
    for f in "$@"; do
        is_elf "$f" || continue
        ldd "$f" 2>/dev/null | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }'
    done | sort -u
}

wine_elf_files() {
    local f
    for f in "$WINE" "$WINE_SERVER" $(find /usr/lib/x86_64-linux-gnu/wine/x86_64-unix -type f); do
        is_elf "$f" && echo "$f"
    done
}

libgcc_path() { ldconfig -p | awk '$1 == "libgcc_s.so.1" && /x86-64/ { print $NF; exit }'; }

# Everything the image is made from, so that a change to any of it makes a new image.
rootdisk_key() {
    {
        cat "$RIG_DIR/rootdisk.sh" "$RIG_DIR/wine32.sh"
        echo "${ROOT_DRIVES[*]} $(wine32_size)"
        printf '%s\n' "${WINE32_DEBS[@]##*/}"
        dpkg-query -W wine64 libwine busybox-static 2>/dev/null
        find "${WINE_DIRS[@]}" -printf '%p %s %T@ %l\n' | sort
        # shellcheck disable=SC2046
        stat -L -c '%n %s %Y' /bin/busybox $(elf_libraries $(wine_elf_files)) "$(libgcc_path)"
    } | sha256sum | cut -c1-16
}

# A wine prefix with the drive letters set up, made with the host's wine;
# I386_ROOT, when given, is where 32-bit wine was unpacked.
make_prefix() {
    local prefix=$1 i386_root=${2:-} d letter dev
    export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    mkdir -p "$prefix"
    env -u DISPLAY "$WINE" wineboot -i >/dev/null 2>&1 || return 1
    for d in "${ROOT_DRIVES[@]}"; do
        letter=${d%%:*}
        dev=${d#*:}
        # Wine takes a letter with a device behind it for a CD-ROM drive only
        # when the letter's folder and the registry say so as well.
        ln -sfn /mnt/$letter "$prefix/dosdevices/$letter:"
        ln -sfn "$dev" "$prefix/dosdevices/$letter::"
        env -u DISPLAY "$WINE" reg add 'HKLM\Software\Wine\Drives' /v "$letter:" /d cdrom /f \
            >/dev/null 2>&1 || return 1
    done
    # Only a stopped server has written the registry out.
    "$WINE_SERVER" -k
    "$WINE_SERVER" -w
    # wineboot fills the 32-bit system folder through a 32-bit helper, which this
    # host cannot run (nor has): the folder stays empty, and 32-bit wine in the guest
    # then cannot load kernel32.dll. It holds copies of wine's i386 PE modules, as
    # system32 holds copies of the x86_64 ones.
    if [ -n "$i386_root" ] && [ -z "$(ls -A "$prefix/drive_c/windows/syswow64")" ]; then
        cp -n "$i386_root"/usr/lib/i386-linux-gnu/wine/i386-windows/* "$prefix/drive_c/windows/syswow64/" || return 1
    fi
    unset WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
}

# build_rootdisk IMAGE: builds the image in a scratch folder next to it.
build_rootdisk() {
    local image=$1
    local work=$image.work
    local stage=$work/root
    rm -rf "$work"
    mkdir -p "$stage"/{bin,etc,proc,sys,dev,tmp,root,rig,usr/lib,usr/lib64,usr/share}
    local d
    for d in "${ROOT_DRIVES[@]}"; do mkdir -p "$stage/mnt/${d%%:*}"; done
    # The same merged layout as the host, so that ldd's paths hold in the guest.
    for d in lib lib64; do
        if [ -L /$d ]; then ln -s "$(readlink /$d)" "$stage/$d"; else mkdir -p "$stage/$d"; fi
    done

    cp /bin/busybox "$stage/bin/busybox"
    local applet
    for applet in $(/bin/busybox --list); do
        [ "$applet" = busybox ] || ln -s busybox "$stage/bin/$applet"
    done
    echo 'root:x:0:0:root:/root:/bin/sh' >"$stage/etc/passwd"

    for d in "${WINE_DIRS[@]}"; do
        mkdir -p "$stage$(dirname "$d")"
        # Hard links where the file system allows it: the image copies the bytes anyway.
        cp -al "$d" "$stage$d" 2>/dev/null || { rm -rf "${stage:?}$d"; cp -a "$d" "$stage$d"; } || return 1
    done
    local i386_root=
    if [ ${#WINE32_DEBS[@]} -gt 0 ]; then
        i386_root=$work/i386
        mkdir -p "$i386_root/usr/lib"
        for d in lib lib32 lib64 libx32 bin sbin; do mkdir -p "$i386_root/usr/$d"; ln -s "usr/$d" "$i386_root/$d"; done
        wine32_unpack "$i386_root" "${WINE32_DEBS[@]}" || return 1
        for d in "${WINE32_PARTS[@]}"; do
            [ -e "$i386_root/$d" ] || [ -L "$i386_root/$d" ] || { echo "rig: the i386 packages lack /$d"; return 1; }
        done
        # What wine64 already put there stays: only the 32-bit loader and server are added.
        cp -aln "$i386_root"/usr/lib/wine/. "$stage/usr/lib/wine/" &&
            cp -al "$i386_root/usr/lib/i386-linux-gnu" "$stage/usr/lib/" &&
            cp -a "$i386_root/usr/lib/ld-linux.so.2" "$stage/usr/lib/" || return 1
    fi
    local lib
    for lib in $(elf_libraries $(wine_elf_files)) "$(libgcc_path)"; do
        mkdir -p "$stage$(dirname "$lib")"
        cp -L "$lib" "$stage$lib" || return 1
    done

    # The guest runs wine as root with the default prefix.
    make_prefix "$work/prefix" "$i386_root" || { echo "rig: cannot make the wine prefix"; return 1; }
    cp -a "$work/prefix" "$stage/root/.wine"

    mkfs.ext4 -q -F -d "$stage" "$work/disk.img" "$(wine32_size)" || return 1
    mv "$work/disk.img" "$image"
    rm -rf "$work"
}
