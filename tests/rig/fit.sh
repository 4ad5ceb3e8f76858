# The container fitted to QEMU's drives, and builds of single targets with it
# embedded, shared by the rig's updater runs. Sourced; needs ROOT (the source
# tree), B (the build folder), MKDEMO and KFSTOOL.
FIT_NAME="QEMU    QEMU DVD-ROM    "
FIT_VERSION=2.5+
FIT=$B/rig-fit

# fit_container: writes $FIT/fit.kfs (replaced only when it changes, so that
# its builds stay up to date) and $FIT/fit.bin, and sets what the drive must be
# sent, from the fitted image itself: IMAGE_SUM, PAGE1_SUM (16-bit byte sums)
# and PAGES (of 16 KiB).
fit_container() {
    mkdir -p "$FIT"
    "$MKDEMO" --fit "$FIT_NAME" "$FIT_VERSION" "$FIT/fit.kfs.new" || { echo "mkdemo --fit failed"; return 1; }
    if cmp -s "$FIT/fit.kfs.new" "$FIT/fit.kfs"; then rm -f "$FIT/fit.kfs.new"; else mv "$FIT/fit.kfs.new" "$FIT/fit.kfs"; fi
    "$KFSTOOL" unpack "$FIT/fit.kfs" "$FIT/fit.bin" >/dev/null || { echo "kfstool unpack of the fitted container failed"; return 1; }
    read -r IMAGE_SUM PAGE1_SUM PAGES < <(od -An -v -tu1 -w16384 "$FIT/fit.bin" | awk '
        { s = 0; for (i = 1; i <= NF; i++) s += $i; if (NR == 1) first = s; all += s }
        END { printf "%04X %04X %d\n", all % 65536, first % 65536, NR }')
    echo "fitted image: $PAGES pages, checksum $IMAGE_SUM, page 1 checksum $PAGE1_SUM"
}

# fit_build TREE TARGET [CMAKE ARGS...]: a build tree of the one target with the fitted container.
fit_build() {
    local tree=$FIT/$1 target=$2
    shift 2
    cmake -S "$ROOT" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release -DUPDATER_CONTAINER="$FIT/fit.kfs" "$@" \
        >"$tree.configure.log" 2>&1 || { tail -n 20 "$tree.configure.log"; return 1; }
    cmake --build "$tree" --target "$target" >"$tree.build.log" 2>&1 || { tail -n 30 "$tree.build.log"; return 1; }
}
