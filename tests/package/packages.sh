#!/usr/bin/env bash
# The packages as users get them: the Debian package of the native build,
# unpacked into a scratch root, whose updater and kfstool run from there; and,
# when the i686 release build is there, its zip with updater.exe, the README
# and SHA256SUMS, whose digests hold.
# Usage: packages.sh BUILD_DIR (with the native build in BUILD_DIR/native).
set -uo pipefail
build=${1:?usage: packages.sh BUILD_DIR}
build=$(cd "$build" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$build/package-test
rm -rf "$work"
mkdir -p "$work"
fail() { echo "FAIL $*"; exit 1; }

cpack --config "$build/native/CPackConfig.cmake" -B "$work/deb" >"$work/cpack-deb.log" 2>&1 ||
    { cat "$work/cpack-deb.log"; fail "cpack could not make the Debian package"; }
deb=$(ls "$work"/deb/*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || fail "no .deb made"
echo "made $(basename "$deb")"
dpkg-deb -x "$deb" "$work/root" || fail "dpkg-deb cannot unpack $deb"
for f in usr/bin/updater usr/bin/kfstool usr/share/man/man1/updater.1.gz usr/share/man/man1/kfstool.1.gz \
         usr/share/doc/updater/README.md; do
    [ -f "$work/root/$f" ] || fail "the package has no /$f"
done

for page in updater kfstool; do
    gzip -dc "$work/root/usr/share/man/man1/$page.1.gz" | cmp -s - "$root/man/$page.1" ||
        fail "the package's $page.1.gz is not the manual page"
done
version=$("$work/root/usr/bin/updater" --version) || fail "updater --version from the package exits with $?"
echo "$version"
[[ $version == "updater "*$'\n''firmware: drive name "'* ]] || fail "updater --version says: $version"
info=$("$work/root/usr/bin/kfstool" info --builtin) || fail "kfstool info --builtin from the package exits with $?"
grep -q '^drive name  *"' <<<"$info" || fail "kfstool info --builtin says: $info"
"$work/root/usr/bin/updater" info --json | python3 -c 'import json, sys; d = json.load(sys.stdin); assert d["pages"] > 0' ||
    fail "updater info --json from the package is no JSON document with its pages"
echo "PASS the Debian package unpacks and its programs run"

if [ -f "$build/win32/CPackConfig.cmake" ] && [ -f "$build/win32/main/updater.exe" ]; then
    cpack --config "$build/win32/CPackConfig.cmake" -B "$work/zip" >"$work/cpack-zip.log" 2>&1 ||
        { cat "$work/cpack-zip.log"; fail "cpack could not make the Windows zip"; }
    zip=$(ls "$work"/zip/*.zip 2>/dev/null | head -n 1)
    [ -n "$zip" ] || fail "no .zip made"
    mkdir -p "$work/unzipped"
    (cd "$work/unzipped" && cmake -E tar xf "$zip") || fail "cannot unpack $zip"
    top=$(ls -d "$work"/unzipped/*/ | head -n 1)
    [ "$(ls "$top" | tr '\n' ' ')" = "README.md SHA256SUMS updater.exe " ] ||
        fail "$(basename "$zip") holds $(ls "$top" | tr '\n' ' ')"
    cmp -s "$top/updater.exe" "$build/win32/main/updater.exe" || fail "the zip's updater.exe is not the release build's"
    (cd "$top" && sha256sum --quiet -c SHA256SUMS) || fail "the zip's SHA256SUMS does not hold"
    echo "PASS $(basename "$zip"): updater.exe, README.md and SHA256SUMS, whose digests hold"
fi
