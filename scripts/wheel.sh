#!/usr/bin/env bash
# Builds tavrin-native's sdist and a wheel for each supported CPython found
# (3.12, and 3.13 when scripts/find_python.sh finds it) into dist/, checks
# their metadata with twine and reports the manylinux policy each wheel meets.
# The stand-in host (host/) is not released: it is only built for the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh .venv
.venv/bin/python -m pip install --quiet --disable-pip-version-check auditwheel build twine
rm -rf dist
.venv/bin/python -m build --sdist --outdir dist
for version in 3.12 3.13; do
    venv=.venv; [[ $version == 3.13 ]] && venv=.venv-313
    if [[ $version != 3.12 ]] && ! bash scripts/find_python.sh "$version" >/dev/null; then
        echo "== CPython $version: not found, no wheel"
        continue
    fi
    bash scripts/setup.sh --python "$version" "$venv"
    "$venv/bin/python" -m pip wheel --quiet --disable-pip-version-check --no-build-isolation --no-deps . -w dist
done
ls -l dist
.venv/bin/twine check --strict dist/*
for wheel in dist/*.whl; do .venv/bin/auditwheel show "$wheel"; done
