# Installs the Debian packages a script needs, only those that are missing.
# Usage (sourced): need_packages pkg...
# Returns 0 when every one is installed afterwards. Otherwise the others are still
# installed, each one that cannot be is named with apt's reason, and it returns 1.
have_package() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# Lines of apt's output that say why.
apt_reason() { grep -E '^(E|W):|Depends:|Conflicts:|Breaks:|not installable|no installation candidate|unexpected size|Hash Sum' "$1" | head -n 8 | sed 's/^/    /'; }

# The package lists, fetched once a run. A list that fails (a mirror caught mid-sync)
# stops nothing here: only an install that needs it can fail, and it says so.
apt_update_once() {
    [ -z "${UPDATER_APT_UPDATED:-}" ] || return 0
    export UPDATER_APT_UPDATED=1
    local log
    log=$(mktemp)
    if ! $APT_SUDO apt-get update -qq >"$log" 2>&1; then
        echo "Some package lists could not be fetched; going on with the rest:"
        apt_reason "$log"
    fi
    rm -f "$log"
}

apt_install() {
    DEBIAN_FRONTEND=noninteractive $APT_SUDO apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=300 "$@"
}

need_packages() {
    local missing=() p
    for p in "$@"; do have_package "$p" || missing+=("$p"); done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    APT_SUDO=""
    [ "$(id -u)" -eq 0 ] || APT_SUDO="sudo"
    apt_update_once
    local log
    log=$(mktemp)
    apt_install "${missing[@]}" >"$log" 2>&1 && { rm -f "$log"; return 0; }
    # A package file that could not be fetched is worth one more try with fresh lists;
    # a package that cannot be installed is not.
    if grep -qE 'Failed to fetch|unexpected size|Hash Sum mismatch|Temporary failure' "$log"; then
        echo "A package file could not be fetched; the package lists are fetched again, once."
        unset UPDATER_APT_UPDATED
        apt_update_once
        apt_install "${missing[@]}" >"$log" 2>&1 && { rm -f "$log"; return 0; }
    fi
    # Which ones: each asked for alone (a dry run), the others then installed.
    local good=() bad=()
    for p in "${missing[@]}"; do
        if $APT_SUDO apt-get install -s -qq --no-install-recommends "$p" >"$log" 2>&1; then
            good+=("$p")
        else
            bad+=("$p")
            echo "Cannot install $p:"
            apt_reason "$log"
        fi
    done
    if [ ${#good[@]} -gt 0 ] && ! apt_install "${good[@]}" >"$log" 2>&1; then
        echo "Cannot install ${good[*]}:"
        apt_reason "$log"
    fi
    rm -f "$log"
    return 1
}

# What each part of the builds and tests needs.
PACKAGES_NATIVE=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev linux-libc-dev python3)
PACKAGES_FUZZ=(clang libclang-rt-14-dev)
PACKAGES_COVERAGE=(gcovr)
PACKAGES_WINDOWS=(g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 mingw-w64-tools)
PACKAGES_MANUALS=(man-db groff-base)
PACKAGES_PACKAGES=(dpkg-dev)
PACKAGES_WINE=(wine64 xvfb xdotool imagemagick)
# The QEMU guest's 32-bit wine is not among them: the rig fetches its package
# files itself (tests/rig/wine32.sh), and the host never installs them.
PACKAGES_RIG=(qemu-system-x86 linux-image-cloud-amd64 busybox-static)
UPDATER_PACKAGES=("${PACKAGES_NATIVE[@]}" "${PACKAGES_FUZZ[@]}" "${PACKAGES_COVERAGE[@]}" "${PACKAGES_WINDOWS[@]}"
                  "${PACKAGES_MANUALS[@]}"
                  "${PACKAGES_PACKAGES[@]}" "${PACKAGES_WINE[@]}" "${PACKAGES_RIG[@]}")

# The packages of the given ones that are not installed, one a line.
missing_packages() {
    local p
    for p in "$@"; do have_package "$p" || echo "$p"; done
}

# Configures and builds one tree. Usage: build_tree DIR [cmake args...]
build_tree() {
    local dir=$1
    shift
    cmake -S "$UPDATER_ROOT" -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 ||
        { cat "$dir.configure.log"; return 1; }
    cmake --build "$dir" -j "$(nproc)"
}
