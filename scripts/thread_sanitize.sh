#!/usr/bin/env bash
# The threaded tests under ThreadSanitizer: modules built with it
# (TAVRIN_THREAD_SANITIZER), in a free-threaded CPython 3.13 built with it
# too (scripts/freethreaded_python.sh --thread-sanitizer, made on first
# need, as root), with the GIL off, in their own environment
# (.venv-3.13t-tsan). Any race reported fails the run; CPython's own known
# races are suppressed by its suppressions file and scripts/tsan-suppressions.txt.
# Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(bash scripts/freethreaded_python.sh --thread-sanitizer ensure)
PYTHON313T=$python bash scripts/setup.sh --python 3.13t .venv-3.13t-tsan TAVRIN_THREAD_SANITIZER=ON
suppressions=$PWD/.venv-3.13t-tsan/tsan-suppressions.txt
cat "$(dirname "$(dirname "$python")")/share/tsan-suppressions.txt" scripts/tsan-suppressions.txt >"$suppressions"
PYTHON_GIL=0 \
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$suppressions" \
    exec .venv-3.13t-tsan/bin/python -B -m pytest -q tests/test_threads.py "$@"
