#!/usr/bin/env bash
# Sets up a virtual environment with CPython 3.12 and builds and installs the
# package into it. The interpreter comes from $PYTHON, else python3.12 on
# PATH, else pyenv's 3.12. Usage: scripts/setup.sh [venv-dir] [cmake -D...]
set -euo pipefail
cd "$(dirname "$0")/.."

venv=${1:-.venv}
shift || true

find_python() {
    if [[ -n "${PYTHON:-}" ]]; then echo "$PYTHON"; return; fi
    if command -v python3.12 >/dev/null 2>&1 && python3.12 -c '' 2>/dev/null; then
        command -v python3.12; return
    fi
    if command -v pyenv >/dev/null 2>&1; then
        local candidate
        for candidate in "$(pyenv root)"/versions/3.12.*/bin/python3.12; do
            [[ -x "$candidate" ]] && { echo "$candidate"; return; }
        done
    fi
    echo "error: no CPython 3.12 found (set PYTHON, or put python3.12 on PATH)" >&2
    exit 1
}

if [[ ! -x "$venv/bin/python" ]]; then
    python=$(find_python)
    "$python" -c 'import sys; assert sys.version_info[:2] == (3, 12), sys.version' \
        || { echo "error: $python is not CPython 3.12" >&2; exit 1; }
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
