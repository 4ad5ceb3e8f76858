#!/usr/bin/env bash
# Two builds of the same sources give the same release updater.exe: the
# sources are copied to a folder of another name and depth and built there
# (only the release program, with the first build's version text), then
# compared byte for byte with the first build.
# Usage: reproducible.sh BUILD_DIR (with the i686 Release build in BUILD_DIR/win32).
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:?usage: reproducible.sh BUILD_DIR}
build=$(cd "$build" && pwd)
first=$build/win32/main/updater.exe
[ -f "$first" ] || { echo "FAIL no release program $first (run the i686 build first)"; exit 1; }
work=$build/reproduce/another-checkout
src=$work/sources
tree=$work/out

# The copy is no git checkout: it is given the version the first build worked out.
version=$(sed -n 's/^#define UPDATER_VERSION_TEXT "\(.*\)"$/\1/p' "$build/win32/version/BuildVersionText.h" 2>/dev/null)
[ -n "$version" ] || { echo "FAIL no version text in $build/win32/version/BuildVersionText.h"; exit 1; }

# The files a clone of this tree holds: the tracked ones and any new ones not ignored.
rm -rf "$src"
mkdir -p "$src" "$tree"
(cd "$root" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar --null -T - -cf -) | tar -xf - -C "$src" || { echo "FAIL cannot copy the sources"; exit 1; }
if ! cmake -S "$src" -B "$tree" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DUPDATER_VERSION="$version" >"$work/configure.log" 2>&1 ||
   ! cmake --build "$tree" --target updater >"$work/build.log" 2>&1; then
    echo "FAIL the second build"
    tail -n 20 "$work/configure.log" "$work/build.log"
    exit 1
fi
second=$tree/main/updater.exe
sha() { sha256sum "$1" | cut -d' ' -f1; }
echo "first build:  $(sha "$first")  $first"
echo "second build: $(sha "$second")  $second"
if cmp -s "$first" "$second"; then
    echo "PASS the two builds of the release are byte-identical"
    rm -rf "$src"
    exit 0
fi
echo "FAIL the two builds differ; first differing bytes (offset, first, second in octal):"
cmp -l "$first" "$second" | head -n 10
exit 1
