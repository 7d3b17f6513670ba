#!/usr/bin/env bash
# Fresh machine to the example: sets up .venv, builds, installs, runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh .venv
exec .venv/bin/python examples/tour.py "$@"
