#!/usr/bin/env bash
# Builds the wheel into dist/ and reports the manylinux policy it meets.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh .venv
.venv/bin/python -m pip install --quiet --disable-pip-version-check auditwheel
rm -rf dist
.venv/bin/python -m pip wheel --quiet --disable-pip-version-check --no-build-isolation --no-deps . -w dist
ls -l dist/*.whl
.venv/bin/auditwheel show dist/*.whl
