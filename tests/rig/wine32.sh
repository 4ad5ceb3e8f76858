#!/usr/bin/env bash
# The guest's 32-bit wine, from Debian's i386 package files: wine32 and libwine of
# the host's wine64 version with every package they depend on (no recommends),
# fetched by an apt of their own under the cache, so that nothing of i386 is ever
# installed on the host, whose dpkg need not even know the architecture. Once the
# files are there, no later run fetches anything.
#
# Usage: wine32.sh CACHE   fetches what is missing; exit 0 when the files are there,
#                          else 1 with the reason on standard error.
# Sourced: wine32_fetch CACHE does the same; wine32_debs CACHE lists the files;
#          wine32_unpack CACHE ROOT unpacks them into ROOT (a merged-/usr tree).

wine32_dir() { echo "$1/wine32-$(dpkg-query -W -f='${Version}' wine64 2>/dev/null | tr '~:' '__')"; }

wine32_debs() {
    local dir
    dir=$(wine32_dir "$(cd "$1" && pwd)")
    [ -f "$dir/complete" ] || return 1
    sed "s|^|$dir/debs/|" "$dir/complete"
}

wine32_fetch() {
    local cache=$1 version dir
    version=$(dpkg-query -W -f='${Version}' wine64 2>/dev/null)
    [ -n "$version" ] || { echo "32-bit wine for the guest: wine64 is not installed on the host" >&2; return 1; }
    mkdir -p "$cache" && cache=$(cd "$cache" && pwd) || return 1
    dir=$(wine32_dir "$cache")
    [ -f "$dir/complete" ] && return 0
    (
        flock 8
        [ -f "$dir/complete" ] && exit 0
        # Older versions' files go: they are never used again.
        find "$cache" -maxdepth 1 -name 'wine32-*' ! -path "$dir" -exec rm -rf {} +
        mkdir -p "$dir"/{lists/partial,archives/partial,debs}
        : >"$dir/status"
        # An apt of its own: i386 alone, no installed packages (so the whole closure
        # comes), its own lists and archive, no lock shared with the host's apt.
        local apt=(-o "Dir::State=$dir" -o "Dir::State::Lists=$dir/lists" -o "Dir::State::status=$dir/status"
                   -o "Dir::Cache=$dir" -o "Dir::Cache::archives=$dir/archives"
                   -o APT::Architecture=i386 -o APT::Architectures::=i386 -o Debug::NoLocking=1
                   -o Acquire::Retries=2)
        local log=$dir/fetch.log
        # A suite whose i386 list fails (a mirror mid-sync) leaves the others: the
        # versions wanted are then looked for in those.
        apt-get "${apt[@]}" -q update >"$log" 2>&1 || echo "(some package lists failed; going on with the rest)" >>"$log"
        if ! apt-get "${apt[@]}" -q -y --download-only --no-install-recommends install \
                "wine32=$version" "libwine=$version" >>"$log" 2>&1; then
            echo "32-bit wine for the guest: cannot fetch wine32:i386 $version and its dependencies:" >&2
            grep -E '^(E|W):|Depends:|unmet|held' "$log" | head -n 12 | sed 's/^/    /' >&2
            exit 1
        fi
        mv "$dir"/archives/*.deb "$dir/debs/" || exit 1
        rm -rf "$dir/archives" "$dir/lists" "$dir"/*.bin
        (cd "$dir/debs" && ls -- *.deb) >"$dir/complete.tmp" && mv "$dir/complete.tmp" "$dir/complete"
    ) 8>"$cache/wine32.lock"
}

# Unpacked as dpkg would, but into ROOT, whose /lib and /bin are links into /usr.
# Of the maintainer scripts only libwine's configure step runs (against ROOT): it
# puts the zlib1.dll that user32.dll needs beside wine's modules.
wine32_unpack() {
    local root=$1 deb control
    shift
    for deb in "$@"; do
        dpkg-deb --fsys-tarfile "$deb" | tar -x --keep-directory-symlink -C "$root" ||
            { echo "rig: cannot unpack $deb" >&2; return 1; }
    done
    # Configured once everything is unpacked, as dpkg does.
    for deb in "$@"; do
        case ${deb##*/} in libwine_*) ;; *) continue ;; esac
        control=$(mktemp -d)
        dpkg-deb -e "$deb" "$control" && sed "s|/usr/|$root/usr/|g" "$control/postinst" | sh -e -s configure ||
            { rm -rf "$control"; echo "rig: libwine's configure step failed in $root" >&2; return 1; }
        rm -rf "$control"
    done
    [ -s "$root/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll" ] ||
        { echo "rig: no zlib1.dll among 32-bit wine's modules" >&2; return 1; }
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -uo pipefail
    wine32_fetch "${1:?usage: wine32.sh CACHE}"
fi
