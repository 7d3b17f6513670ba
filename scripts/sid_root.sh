#!/usr/bin/env bash
# Debian's unstable suite, for what this machine lacks: CPython 3.14 and 3.15
# (release and debug builds) natively, and, with --arch arm64, an emulated
# aarch64 system with CPython 3.13, 3.14 and 3.15. Each is a minimal root
# made with debootstrap, kept outside the checkout so that clean clones reuse
# it: $TAVRIN_SID_ROOT (default /var/cache/tavrin/sid) and
# $TAVRIN_SID_ARM64_ROOT (default /var/cache/tavrin/sid-arm64).
#   sid_root.sh [--arch arm64] ensure       makes the root unless it is there (needs root)
#   sid_root.sh [--arch arm64] run CMD...   runs CMD inside, in this checkout,
#                                           which it sees at the same path
# Safety: every command inside runs in a private mount namespace (unshare
# --mount --fork); /proc, a /tmp and the checkout are mounted there only,
# and the mounts end with the command, even after a crash. The machine's /dev
# and /proc are never bind-mounted. A half-made root is removed only when
# nothing is mounted under it. For arm64, emulation is set up only where it
# is missing: qemu-user-static and binfmt-support installed; binfmt_misc is
# mounted, and the qemu-aarch64 handler enabled, only inside each command's
# namespace; no other handler is touched.
set -euo pipefail
cd "$(dirname "$0")/.."
arch=native
if [[ "${1:-}" == "--arch" ]]; then
    arch=$2
    shift 2
fi
case "$arch" in
    native)
        root=${TAVRIN_SID_ROOT:-/var/cache/tavrin/sid}
        architecture=()
        packages=(ca-certificates g++ cmake ninja-build valgrind
                  python3.14-dev python3.14-venv python3.14-dbg python3.15-dev python3.15-venv python3.15-dbg) ;;
    arm64)
        root=${TAVRIN_SID_ARM64_ROOT:-/var/cache/tavrin/sid-arm64}
        architecture=(--arch=arm64)
        packages=(ca-certificates g++ cmake ninja-build patchelf
                  python3.13-dev python3.13-venv python3.14-dev python3.14-venv python3.15-dev python3.15-venv) ;;
    *) echo "error: unknown architecture $arch (arm64, or none for this machine's)" >&2; exit 2 ;;
esac
ready="$root/.tavrin-packages"

mounted_under() { findmnt -rn -o TARGET | grep -E "^$root(/|$)" || true; }

# Both roots may be set up at once: apt waits for the other's lock. A
# package's scripts may mount things (binfmt-support mounts binfmt_misc):
# in a namespace of their own, the mounts end with them.
apt_install() {
    local apt=(unshare --mount --fork apt-get -o DPkg::Lock::Timeout=600)
    DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -qq "$@" >/dev/null 2>&1 ||
        { "${apt[@]}" update -qq && DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -qq "$@" >/dev/null; }
}

# aarch64 programs run through qemu's binfmt_misc handler, which lives only
# as long as binfmt_misc stays mounted. So the packages are installed once,
# and each command that runs aarch64 programs mounts binfmt_misc and enables
# the handler in its own mount namespace (in_namespace): both end with it.
emulation() {
    [[ $arch == arm64 ]] || return 0
    dpkg -s qemu-user-static binfmt-support >/dev/null 2>&1 && return 0
    [[ $(id -u) -eq 0 ]] || { echo "setting up arm64 emulation needs root" >&2; return 3; }
    echo "== installing qemu-user-static and binfmt-support from Debian's packages"
    apt_install qemu-user-static binfmt-support
}

# Runs a command in a mount namespace of its own, with emulation for arm64.
# The handler's F flag makes the kernel hold the emulator open, so it works
# inside the chroot too. A binfmt_misc already mounted outside is used as it
# is.
in_namespace() {
    if [[ $arch == arm64 ]]; then
        unshare --mount --fork sh -c 'binfmt=/proc/sys/fs/binfmt_misc
            mountpoint -q $binfmt || mount -t binfmt_misc binfmt_misc $binfmt || exit 1
            head -1 $binfmt/qemu-aarch64 2>/dev/null | grep -qx enabled ||
                update-binfmts --enable qemu-aarch64 >/dev/null || exit 1
            exec "$@"' sh "$@"
    else
        unshare --mount --fork "$@"
    fi
}

ensure() {
    emulation
    [[ -f "$ready" && "$(cat "$ready")" == "${packages[*]}" ]] && return 0
    [[ $(id -u) -eq 0 ]] || { echo "making $root needs root" >&2; return 3; }
    if [[ -f "$ready" ]]; then
        echo "== adding to $root: ${packages[*]}"
        run sh -c 'apt-get -o Acquire::Check-Valid-Until=false update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null' \
            sh "${packages[@]}"
        echo "${packages[*]}" >"$ready"
        return 0
    fi
    if ! command -v debootstrap >/dev/null 2>&1; then
        echo "== installing debootstrap from Debian's packages"
        apt_install debootstrap
    fi
    if [[ -e "$root" ]]; then
        local mounts
        mounts=$(mounted_under)
        [[ -z "$mounts" ]] || { echo "error: mounted under $root, not removing it: $mounts" >&2; return 1; }
        echo "== removing the unfinished root $root"
        rm -rf --one-file-system "$root"
    fi
    echo "== making $root: Debian unstable ${architecture[*]}, minbase, with ${packages[*]}"
    mkdir -p "$(dirname "$root")"
    # debootstrap mounts /proc and /sys in the new root: in a namespace of its own, they end with it.
    in_namespace debootstrap "${architecture[@]}" --variant=minbase \
        --include="$(IFS=,; echo "${packages[*]}")" sid "$root" >"$root.log" 2>&1 ||
        { tail -20 "$root.log" >&2; return 1; }
    echo "${packages[*]}" >"$ready"
}

run() {
    [[ -f "$ready" ]] || { echo "error: no root at $root (sid_root.sh ensure)" >&2; return 1; }
    emulation
    local checkout prefix=""
    checkout=$(pwd -P)
    # The checkout is mounted at the same path inside: no part of that path
    # may be a link in the root, which could lead out of it.
    for part in ${checkout//\// }; do
        prefix+=/$part
        [[ -L "$root$prefix" ]] && { echo "error: $root$prefix is a link; cannot mount $checkout there" >&2; return 1; }
    done
    # pip inside reaches PyPI with this machine's certificate bundle and resolver settings.
    cp -L /etc/resolv.conf "$root/etc/resolv.conf"
    cp -L "$(pip_cert)" "$root/etc/ssl/certs/machine-bundle.crt"
    # /tmp first, so that a checkout under /tmp is mounted inside it.
    in_namespace sh -c 'mount -t tmpfs tmpfs "$2/tmp" && mkdir -p "$2$1" && mount --bind "$1" "$2$1" &&
                                  shift 2 && exec chroot "$@"' \
        sh "$checkout" "$root" "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
        PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin CI="${CI:-}" \
        PIP_CERT=/etc/ssl/certs/machine-bundle.crt PIP_DISABLE_PIP_VERSION_CHECK=1 \
        sh -c 'mount -t proc proc /proc && cd "$0" && exec "$@"' "$checkout" "$@"
}

pip_cert() {
    local cert
    cert=$(python3 -m pip config list 2>/dev/null | sed -n "s/^[a-z:.]*cert='\(.*\)'$/\1/p" | head -1)
    echo "${cert:-/etc/ssl/certs/ca-certificates.crt}"
}

case "${1:-}" in
    ensure) ensure ;;
    run) shift; run "$@" ;;
    *) echo "usage: sid_root.sh [--arch arm64] ensure | run CMD..." >&2; exit 2 ;;
esac
