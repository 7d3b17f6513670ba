#!/usr/bin/env bash
# CPython 3.14 and 3.15, release and debug builds, from Debian's unstable
# suite: a minimal root made with debootstrap, kept outside the checkout
# ($TAVRIN_SID_ROOT, default /var/cache/tavrin/sid) so that clean clones
# reuse it.
#   sid_root.sh ensure       makes the root unless it is there (needs root)
#   sid_root.sh run CMD...   runs CMD inside, in this checkout, which it sees
#                            at the same path
# Safety: every command inside runs in a private mount namespace (unshare
# --mount --fork); /proc, a /tmp and the checkout are mounted there only,
# and the mounts end with the command, even after a crash. The machine's /dev
# and /proc are never bind-mounted. A half-made root is removed only when
# nothing is mounted under it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=${TAVRIN_SID_ROOT:-/var/cache/tavrin/sid}
packages=(ca-certificates g++ cmake ninja-build
          python3.14-dev python3.14-venv python3.14-dbg python3.15-dev python3.15-venv python3.15-dbg)
ready="$root/.tavrin-packages"

mounted_under() { findmnt -rn -o TARGET | grep -E "^$root(/|$)" || true; }

ensure() {
    [[ -f "$ready" && "$(cat "$ready")" == "${packages[*]}" ]] && return 0
    [[ $(id -u) -eq 0 ]] || { echo "making $root needs root" >&2; return 3; }
    if ! command -v debootstrap >/dev/null 2>&1; then
        echo "== installing debootstrap from Debian's packages"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null 2>&1 ||
            { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null; }
    fi
    if [[ -e "$root" ]]; then
        local mounts
        mounts=$(mounted_under)
        [[ -z "$mounts" ]] || { echo "error: mounted under $root, not removing it: $mounts" >&2; return 1; }
        echo "== removing the unfinished root $root"
        rm -rf --one-file-system "$root"
    fi
    echo "== making $root: Debian unstable, minbase, with ${packages[*]}"
    mkdir -p "$(dirname "$root")"
    # debootstrap mounts /proc and /sys in the new root: in a namespace of its own, they end with it.
    unshare --mount --fork debootstrap --variant=minbase --include="$(IFS=,; echo "${packages[*]}")" \
        sid "$root" >"$root.log" 2>&1 || { tail -20 "$root.log" >&2; return 1; }
    echo "${packages[*]}" >"$ready"
}

run() {
    [[ -f "$ready" ]] || { echo "error: no root at $root (sid_root.sh ensure)" >&2; return 1; }
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
    unshare --mount --fork sh -c 'mount -t tmpfs tmpfs "$2/tmp" && mkdir -p "$2$1" && mount --bind "$1" "$2$1" &&
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
    *) echo "usage: sid_root.sh ensure | run CMD..." >&2; exit 2 ;;
esac
