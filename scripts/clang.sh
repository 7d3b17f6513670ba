#!/usr/bin/env bash
# Builds the modules with Clang (warnings as errors) and runs the suite
# against that build, on CPython 3.12 and, when found, 3.13: each in its own
# environment, .venv-clang-3.12 and .venv-clang-3.13. Installs Debian's clang
# when clang++ is missing. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang++ >/dev/null 2>&1; then
    echo "== installing clang from Debian's packages"
    sudo=$([[ $(id -u) -eq 0 ]] || echo sudo)
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq clang >/dev/null
fi
clang++ --version | head -1

for version in 3.12 3.13; do
    if ! bash scripts/find_python.sh "$version" >/dev/null; then
        [[ $version == 3.12 ]] && { echo "error: no CPython 3.12 found" >&2; exit 1; }
        echo "== CPython $version: not found, not run"
        continue
    fi
    echo "== the suite on CPython $version, built with Clang"
    CC=clang CXX=clang++ bash scripts/setup.sh --python "$version" ".venv-clang-$version"
    ".venv-clang-$version/bin/python" -B -m pytest -q "$@"
done
