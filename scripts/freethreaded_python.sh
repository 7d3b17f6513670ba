#!/usr/bin/env bash
# A free-threaded CPython 3.13 (built with --disable-gil), which neither
# Debian nor PyPI ships. Made from the upstream source inside Debian trixie's
# python3.13 source package, fetched under a private apt configuration (the
# machine's sources stay as they are), and kept outside the checkout so that
# clean clones reuse it: $TAVRIN_FREETHREADED_ROOT (default
# /var/cache/tavrin/python3.13t). Made again only when it is missing or
# unfinished (about 3 minutes on two cores). With --thread-sanitizer, a
# second one built with ThreadSanitizer (--with-thread-sanitizer), in the
# same place with "-tsan" added, with CPython's own suppressions for its
# known races in share/tsan-suppressions.txt.
#   freethreaded_python.sh [--thread-sanitizer] ensure   makes it unless it is there (needs root), prints the interpreter
#   freethreaded_python.sh [--thread-sanitizer] path     prints the interpreter if it is there
set -euo pipefail
prefix=$(realpath -m "${TAVRIN_FREETHREADED_ROOT:-/var/cache/tavrin/python3.13t}")
configure=(--disable-gil)
if [[ ${1:-} == --thread-sanitizer ]]; then
    prefix+=-tsan
    # Only the threaded tests run there: no test package, quicker to install.
    configure+=(--with-thread-sanitizer --disable-test-modules)
    shift
fi
python=$prefix/bin/python3.13t
ready=$prefix/.tavrin-complete
work=$prefix.build
# What the interpreter's standard library needs to build pip's and venv's modules.
build_packages=(build-essential pkg-config libssl-dev zlib1g-dev libffi-dev libbz2-dev
                liblzma-dev libsqlite3-dev xz-utils dpkg-dev)

# Built free-threaded, whatever PYTHON_GIL says now.
made() {
    [[ -f "$ready" && -x "$python" ]] &&
        "$python" -c 'import sys, sysconfig; sys.exit(not sysconfig.get_config_var("Py_GIL_DISABLED"))' 2>/dev/null
}

# The first URI of the machine's own Debian sources: its mirror.
mirror() {
    local uri
    uri=$(grep -hoE '^URIs: *\S+' /etc/apt/sources.list.d/*.sources 2>/dev/null | grep -v security | head -1 | awk '{print $2}')
    [[ -n "$uri" ]] || uri=$(grep -hoE '^deb +\S+' /etc/apt/sources.list 2>/dev/null | grep -v security | head -1 | awk '{print $2}')
    echo "${uri:-http://deb.debian.org/debian}"
}

ensure() {
    made && { echo "$python"; return 0; }
    [[ $(id -u) -eq 0 ]] || { echo "making $prefix needs root" >&2; return 3; }
    local missing=() package
    for package in "${build_packages[@]}"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    if [[ ${#missing[@]} -gt 0 ]]; then
        echo "== installing from Debian's packages: ${missing[*]}" >&2
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}" >/dev/null 2>&1 ||
            { apt-get -o DPkg::Lock::Timeout=600 update -qq &&
              DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}" >/dev/null; } >&2
    fi
    echo "== making a free-threaded CPython 3.13 (${configure[*]}) in $prefix, from Debian trixie's python3.13 source" >&2
    # Only an unfinished one of ours is removed, never another folder.
    if [[ -n "$(ls -A "$prefix" 2>/dev/null)" && ! -e "$python" && ! -e "$ready" ]]; then
        echo "error: $prefix holds something other than this script's interpreter; not removing it" >&2
        return 1
    fi
    rm -rf "$prefix" "$work"
    mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/source"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(mirror) trixie main" >"$work/apt/sources.list"
    local apt=(apt-get -q -o Dir::Etc::SourceList="$work/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
               -o Dir::State::Lists="$work/apt/lists" -o Dir::Cache="$work/apt/cache")
    "${apt[@]}" update >"$work/log" 2>&1 &&
        (cd "$work/source" && "${apt[@]}" source --download-only python3.13) >>"$work/log" 2>&1 ||
        { tail -20 "$work/log" >&2; return 1; }
    local tarball
    tarball=$(ls "$work"/source/python3.13_*.orig.tar.xz)
    tar -xf "$tarball" -C "$work/source"
    (cd "$work"/source/Python-3.13.* &&
        ./configure "${configure[@]}" --prefix="$prefix" &&
        make -j"$(nproc)" && make install &&
        install -D -m 644 Tools/tsan/suppressions_free_threading.txt "$prefix/share/tsan-suppressions.txt") \
        >>"$work/log" 2>&1 ||
        { tail -30 "$work/log" >&2; return 1; }
    "$python" -c 'import ssl, sysconfig, venv, zlib; assert sysconfig.get_config_var("Py_GIL_DISABLED")' ||
        { echo "error: $python is not a working free-threaded interpreter" >&2; return 1; }
    "$python" -c 'import sys; print(sys.version)' >"$ready"
    rm -rf "$work"
    echo "$python"
}

case "${1:-}" in
    ensure) ensure ;;
    path) made && echo "$python" ;;
    *) echo "usage: freethreaded_python.sh ensure | path" >&2; exit 2 ;;
esac
