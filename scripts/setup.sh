#!/usr/bin/env bash
# Sets up a virtual environment with CPython (3.12 unless --python says
# otherwise) and builds and installs the package into it. The interpreter
# comes from scripts/find_python.sh. Compilers come from CC and CXX, as CMake
# reads them. Usage: scripts/setup.sh [--python 3.12|3.13] [venv-dir] [cmake -D...]
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

# The build runs without isolation (so rebuilds reuse build/), hence the
# backend is installed here; the test tools come with the package's extra.
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check 'scikit-build-core>=1.1'

defines=(--config-settings=cmake.define.TAVRIN_WERROR=ON)
for define in "$@"; do defines+=("--config-settings=cmake.define.$define"); done
build_dir="build/$(basename "$venv")"
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-build-isolation \
    --config-settings=build-dir="$build_dir" "${defines[@]}" '.[test]'
