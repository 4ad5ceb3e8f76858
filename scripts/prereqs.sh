# Installs the Debian packages a script needs, only those that are missing.
# Usage (sourced): need_packages pkg...
need_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    # Packages of another architecture (NAME:i386) need it added to dpkg first.
    local arch
    for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/^[^:]*:\(.*\)$/\1/p' | sort -u); do
        if [ "$arch" != "$(dpkg --print-architecture)" ] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
            $sudo dpkg --add-architecture "$arch"
            unset UPDATER_APT_UPDATED
        fi
    done
    # A mirror caught in the middle of a sync serves package lists that do not match its
    # release file: the lists are fetched again a little later, twice at most.
    local try
    for try in 1 2 3; do
        if [ -z "${UPDATER_APT_UPDATED:-}" ]; then
            $sudo apt-get update -qq
            export UPDATER_APT_UPDATED=1
        fi
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" \
            >/dev/null && return 0
        [ $try -lt 3 ] || return 1
        echo "The install failed; the package lists are fetched again in 30 s."
        sleep 30
        unset UPDATER_APT_UPDATED
    done
}

# Everything the builds and tests use.
UPDATER_PACKAGES=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
                  g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 mingw-w64-tools
                  wine64 wine32:i386 xvfb xdotool imagemagick
                  qemu-system-x86 linux-image-cloud-amd64 busybox-static
                  man-db groff-base dpkg-dev python3 gcovr)

# Configures and builds one tree. Usage: build_tree DIR [cmake args...]
build_tree() {
    local dir=$1
    shift
    cmake -S "$UPDATER_ROOT" -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 ||
        { cat "$dir.configure.log"; return 1; }
    cmake --build "$dir" -j "$(nproc)"
}
