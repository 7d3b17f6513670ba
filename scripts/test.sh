#!/usr/bin/env bash
# Fresh machine to test results: sets up .venv, builds, installs and runs the
# suite; then runs it again against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (scripts/sanitize.sh). Extra arguments go to
# both pytest runs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh .venv
.venv/bin/python -m pytest "$@"
echo "== the suite again, under AddressSanitizer and UndefinedBehaviorSanitizer"
bash scripts/sanitize.sh -q "$@"
