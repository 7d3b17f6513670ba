#!/usr/bin/env bash
# Builds tavrin-native's sdist and a wheel for each supported CPython (3.12
# to 3.15, release builds, found as scripts/interpreters.sh finds them) into
# dist/, checks their metadata with twine and reports the manylinux policy
# each wheel meets. The wheels are those scripts/setup.sh builds and the
# suite is run against. The stand-in host (host/) is not released.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/interpreters.sh
bash scripts/setup.sh .venv
.venv/bin/python -m pip install --quiet --disable-pip-version-check auditwheel build twine
rm -rf dist
.venv/bin/python -m build --sdist --outdir dist
for version in 3.12 3.13 3.14 3.15; do
    venv=.venv; [[ $version != 3.12 ]] && venv=.venv-$version
    if ! locate "$version"; then
        echo "== CPython $version: $UNAVAILABLE, no wheel"
        continue
    fi
    "${INSIDE[@]}" bash scripts/setup.sh --python "$version" "$venv"
    cp "build/wheels/$(basename "$venv")"/tavrin_native-*.whl dist/
done
ls -l dist
.venv/bin/twine check --strict dist/*
for wheel in dist/*.whl; do .venv/bin/auditwheel show "$wheel"; done
