#!/usr/bin/env bash
# Sets up a virtual environment the way a host maintainer's looks: the
# stand-in host tool (host/) installed first from its wheel, then this
# project's wheel beside it, with the test tools. CPython 3.12 unless
# --python says otherwise; the interpreter comes from scripts/find_python.sh,
# compilers from CC and CXX, as CMake reads them. Our build is strict
# (TAVRIN_STRICT): where the modules cannot be built it fails, instead of
# making the empty wheel a host's install would get. The wheels stay in
# build/wheels/<venv>, with flit_core's (the host's build backend), for the
# install tests. Usage: scripts/setup.sh [--python VERSION] [venv-dir] [cmake -D...]
# (VERSION as scripts/find_python.sh takes it: 3.12 to 3.15, 3.14-dbg, 3.13t, ...)
set -euo pipefail
cd "$(dirname "$0")/.."

version=3.12
if [[ "${1:-}" == "--python" ]]; then
    version=$2
    shift 2
fi
venv=${1:-.venv}
shift || true

if [[ ! -x "$venv/bin/python" ]]; then
    python=$(bash scripts/find_python.sh "$version") \
        || { echo "error: no CPython $version found (see scripts/find_python.sh)" >&2; exit 1; }
    "$python" -m venv "$venv"
fi
pip() { "$venv/bin/python" -m pip --quiet --disable-pip-version-check "$@"; }

# The builds run without isolation (so rebuilds reuse build/), hence the
# backends are installed here.
backends=('scikit-build-core>=1.1' 'flit_core>=3.9,<5')
pip install "${backends[@]}"
wheels="build/wheels/$(basename "$venv")"
rm -rf "$wheels"
pip download --no-deps --only-binary :all: -d "$wheels" "${backends[1]}"

# The host first, as its users have it.
pip wheel --no-deps --no-build-isolation -w "$wheels" ./host
pip install --force-reinstall --no-deps "$wheels"/tavrin-*.whl

# Then ours beside it (re-installed even when the version is unchanged).
defines=(--config-settings=cmake.define.TAVRIN_WERROR=ON --config-settings=cmake.define.TAVRIN_STRICT=ON)
for define in "$@"; do defines+=("--config-settings=cmake.define.$define"); done
pip wheel --no-deps --no-build-isolation --config-settings=build-dir="build/$(basename "$venv")" \
    "${defines[@]}" -w "$wheels" .
ours=("$wheels"/tavrin_native-*.whl)
# On a free-threaded interpreter the newest releases of some test tools
# build parts from Rust sources, which need crates.io: there, each tool's
# latest release with a wheel.
binaries=()
"$venv/bin/python" -c 'import sys, sysconfig; sys.exit(not sysconfig.get_config_var("Py_GIL_DISABLED"))' &&
    binaries=(--only-binary :all:)
pip install "${binaries[@]}" "${ours[0]}[test]"
pip install --force-reinstall --no-deps "${ours[0]}"
