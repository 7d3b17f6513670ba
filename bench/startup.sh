#!/usr/bin/env bash
# bench/startup.py on every supported release interpreter this machine can
# reach (3.12 to 3.15; 3.14 and 3.15 from Debian's unstable root when not
# here), each with the wheels scripts/setup.sh builds for it.
# Usage: bench/startup.sh [--runs N]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/interpreters.sh
for version in 3.12 3.13 3.14 3.15; do
    venv=.venv; [[ $version != 3.12 ]] && venv=.venv-$version
    if ! locate "$version"; then
        echo "== CPython $version: $UNAVAILABLE"
        continue
    fi
    "${INSIDE[@]}" bash scripts/setup.sh --python "$version" "$venv" >/dev/null
    "${INSIDE[@]}" "$venv/bin/python" bench/startup.py --wheels "build/wheels/$(basename "$venv")" "$@"
done
