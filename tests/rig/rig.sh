#!/usr/bin/env bash
# Runs a shell script in a QEMU guest with Debian's kernel, its SCSI stack and
# two emulated IDE/ATAPI CD-ROM drives, wine set up to reach them as D: and E:.
#
# Usage: rig.sh --cache DIR --out DIR --script GUEST.sh [options] [FILE[=GUESTPATH]]...
#   --cache DIR      where the kernel's initramfs and the root disk are kept between runs
#   --out DIR        receives output.log (what the guest script wrote), console.log (the
#                    guest's kernel console), trace.log (QEMU's trace) and guest.rc
#   --script FILE    run in the guest by /bin/sh, in /rig, as root
#   --trace EVENT    a QEMU trace event to log to trace.log (repeatable)
#   --wait DEV       a /dev node the guest waits for before the script (repeatable)
#   --timeout SEC    the guest is stopped after this long (default 90)
#   RIG_MODULES      (environment) further kernel modules, copied to /rig/modules/NAME.ko
#                    for the script to load
#   FILE[=PATH]      copied into the guest: to /rig/NAME, or to PATH (relative to /rig
#                    unless absolute). ELF programs bring the libraries ldd lists.
# In the guest: busybox in /bin, wine64 at /usr/lib/wine/wine64 and, when its
# package files could be fetched (wine32.sh), 32-bit wine at /usr/lib/wine/wine;
# WINEPREFIX and WINESERVER set, /tmp a tmpfs; the root disk is a throw-away snapshot.
# Exits 0 when the guest ran the script to its end (its exit status is in
# guest.rc), non-zero with a message when it did not.
set -uo pipefail
RIG_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$RIG_DIR/rootdisk.sh"
source "$RIG_DIR/wine32.sh"

cache= out= script= timeout=90
traces=() waits=() files=()
while [ $# -gt 0 ]; do
    case $1 in
        --cache) cache=$2; shift 2 ;;
        --out) out=$2; shift 2 ;;
        --script) script=$2; shift 2 ;;
        --trace) traces+=("$2"); shift 2 ;;
        --wait) waits+=("$2"); shift 2 ;;
        --timeout) timeout=$2; shift 2 ;;
        --) shift; files+=("$@"); break ;;
        -*) echo "rig: unknown option $1" >&2; exit 2 ;;
        *) files+=("$1"); shift ;;
    esac
done
[ -n "$cache" ] && [ -n "$out" ] && [ -f "$script" ] ||
    { echo "usage: rig.sh --cache DIR --out DIR --script GUEST.sh [options] [FILE[=PATH]]..." >&2; exit 2; }
mkdir -p "$cache" "$out"
cache=$(cd "$cache" && pwd)
out=$(cd "$out" && pwd)

MODULES=(scsi_common scsi_mod cdrom sr_mod sg libata ata_piix sd_mod)
KERNEL_VERSION=$(dpkg-query -W -f='${Depends}' linux-image-cloud-amd64 2>/dev/null |
    sed -n 's/.*linux-image-\([^ ,]*-cloud-amd64\).*/\1/p')
[ -n "$KERNEL_VERSION" ] && [ -r "/boot/vmlinuz-$KERNEL_VERSION" ] ||
    { echo "rig: no readable cloud kernel (package linux-image-cloud-amd64) in /boot" >&2; exit 1; }
KERNEL=/boot/vmlinuz-$KERNEL_VERSION

module_path() { find "/lib/modules/$KERNEL_VERSION/kernel" -name "$1.ko" -print -quit; }
for m in ${RIG_MODULES:-}; do
    path=$(module_path "$m")
    [ -n "$path" ] || { echo "rig: module $m.ko not found for $KERNEL_VERSION" >&2; exit 1; }
    files+=("$path=modules/$m.ko")
done

initramfs_key() {
    local m
    {
        cat "$RIG_DIR/rig.sh" "$RIG_DIR/init"
        stat -L -c '%n %s %Y' /bin/busybox "$KERNEL"
        for m in "${MODULES[@]}"; do stat -c '%n %s %Y' "$(module_path "$m")"; done
    } | sha256sum | cut -c1-16
}

# The base initramfs: busybox, the SCSI modules and the init. Uncompressed, so
# that a run's files can be appended as a second archive.
build_initramfs() {
    local cpio=$1 stage=$1.work m path applet
    rm -rf "$stage"
    mkdir -p "$stage"/{bin,lib/modules,proc,sys,dev,newroot,payload}
    cp /bin/busybox "$stage/bin/"
    for applet in $(/bin/busybox --list); do
        [ "$applet" = busybox ] || ln -s busybox "$stage/bin/$applet"
    done
    for m in "${MODULES[@]}"; do
        path=$(module_path "$m")
        [ -n "$path" ] || { echo "rig: module $m.ko not found for $KERNEL_VERSION" >&2; return 1; }
        cp "$path" "$stage/lib/modules/"
    done
    cp "$RIG_DIR/init" "$stage/init"
    chmod +x "$stage/init"
    (cd "$stage" && find . | sort | /bin/busybox cpio -o -H newc) >"$cpio.tmp" && mv "$cpio.tmp" "$cpio"
    rm -rf "$stage"
}

# Builds what is missing from the cache, under a lock so that runs can share it.
prepare_cache() {
    local ikey rkey
    # Without 32-bit wine the guest still runs 64-bit programs; the steps that need it say so.
    if wine32_fetch "$cache"; then
        mapfile -t WINE32_DEBS < <(wine32_debs "$cache")
    else
        echo "rig: the guest gets no 32-bit wine" >&2
    fi
    ikey=$(initramfs_key)
    rkey=$(rootdisk_key)
    INITRAMFS=$cache/initramfs-$ikey.cpio
    ROOTDISK=$cache/rootdisk-$rkey.img
    exec 9>"$cache/lock"
    flock 9
    if [ ! -f "$INITRAMFS" ]; then
        rm -f "$cache"/initramfs-*.cpio
        build_initramfs "$INITRAMFS" || return 1
    fi
    if [ ! -f "$ROOTDISK" ]; then
        rm -rf "$cache"/rootdisk-*
        local start=$SECONDS
        echo "rig: building the root disk"
        build_rootdisk "$ROOTDISK" || { echo "rig: cannot build the root disk" >&2; return 1; }
        echo "rig: root disk built in $((SECONDS - start)) s"
    fi
    exec 9>&-
}

# The run's own archive: its files under payload/, appended to the base one.
build_payload() {
    local initrd=$1 stage=$out/payload entry src dest lib
    rm -rf "$stage"
    mkdir -p "$stage/rig"
    cp "$script" "$stage/rig/guest.sh"
    for entry in "${files[@]}"; do
        src=${entry%%=*}
        dest=$(basename "$src")
        [ "$entry" = "$src" ] || dest=${entry#*=}
        case $dest in /*) ;; *) dest=/rig/$dest ;; esac
        [ -e "$src" ] || { echo "rig: no such file: $src" >&2; return 1; }
        mkdir -p "$stage$(dirname "$dest")"
        cp -a "$src" "$stage$dest" || return 1
        for lib in $(elf_libraries "$src"); do
            # Under its real folder: the root disk's /lib is a link that a copied
            # folder must not replace.
            lib=$(readlink -f "$(dirname "$lib")")/$(basename "$lib")
            mkdir -p "$stage$(dirname "$lib")"
            cp -L "$lib" "$stage$lib"
        done
    done
    { cat "$INITRAMFS"; (cd "$out" && find payload | sort | /bin/busybox cpio -o -H newc); } >"$initrd"
    rm -rf "$stage"
}

run_guest() {
    local initrd=$out/initrd.cpio wait_arg="" t
    build_payload "$initrd" || return 1
    [ ${#waits[@]} -eq 0 ] || wait_arg=" rig_wait=$(IFS=,; echo "${waits[*]}")"
    local trace_args=()
    for t in "${traces[@]}"; do trace_args+=(-trace "$t"); done
    rm -f "$out"/{output.log,console.log,trace.log,guest.rc,serial1.raw}
    : >"$out/trace.log"
    local start=$SECONDS rc
    # Two CD-ROM drives: the primary slave (the kernel's 0:0:1:0, sr0) and the
    # secondary master (1:0:0:0, sr1); the root disk is the primary master.
    timeout --kill-after=10 "$timeout" qemu-system-x86_64 \
        -nodefaults -machine pc -accel tcg -m 2048 -smp 2 -display none -no-reboot \
        -kernel "$KERNEL" -initrd "$initrd" -append "console=ttyS0 quiet panic=-1$wait_arg" \
        -drive "file=$ROOTDISK,if=ide,index=0,format=raw,snapshot=on" \
        -drive if=ide,index=1,media=cdrom -drive if=ide,index=2,media=cdrom \
        -serial "file:$out/console.log" -serial "file:$out/serial1.raw" \
        "${trace_args[@]}" -D "$out/trace.log" </dev/null >"$out/qemu.log" 2>&1
    rc=$?
    rm -f "$initrd"
    tr -d '\r' <"$out/serial1.raw" 2>/dev/null | grep -v '^RIG-EXIT ' >"$out/output.log"
    local exit_line
    exit_line=$(tr -d '\r' <"$out/serial1.raw" 2>/dev/null | grep '^RIG-EXIT ' | tail -n 1)
    rm -f "$out/serial1.raw"
    if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
        echo "rig: FAIL: the guest did not finish within $timeout s and was stopped; see $out/console.log" >&2
        return 1
    fi
    if [ -z "$exit_line" ]; then
        echo "rig: FAIL: the guest stopped before its script ended (qemu exit $rc);" \
             "see $out/console.log, $out/output.log and $out/qemu.log" >&2
        return 1
    fi
    echo "${exit_line#RIG-EXIT }" >"$out/guest.rc"
    echo "rig: guest ran in $((SECONDS - start)) s, script exit status $(cat "$out/guest.rc")"
}

prepare_cache || exit 1
run_guest
