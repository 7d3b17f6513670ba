#!/usr/bin/env bash
# Fresh machine to test results: sets up .venv, builds, installs, runs pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh .venv
exec .venv/bin/python -m pytest "$@"
