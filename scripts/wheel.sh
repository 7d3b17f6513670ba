#!/usr/bin/env bash
# Builds the sdist and the wheel into dist/, checks their metadata with twine
# and reports the manylinux policy the wheel meets.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh .venv
.venv/bin/python -m pip install --quiet --disable-pip-version-check auditwheel build twine
rm -rf dist
.venv/bin/python -m build --sdist --outdir dist
.venv/bin/python -m pip wheel --quiet --disable-pip-version-check --no-build-isolation --no-deps . -w dist
ls -l dist
.venv/bin/twine check --strict dist/*
.venv/bin/auditwheel show dist/*.whl
