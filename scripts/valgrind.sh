#!/usr/bin/env bash
# The suite under valgrind's memcheck (slow: several minutes). Fails on any
# invalid read or write, and on a definite leak whose allocation stack passes
# through one of our modules; CPython's own leftovers at exit are reported
# but not counted. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh .venv
log=$(mktemp)
status=0
PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=none --error-exitcode=99 --num-callers=40 --log-file="$log" \
    --suppressions=scripts/valgrind.supp \
    .venv/bin/python -m pytest -q -p no:cacheprovider "$@" || status=$?
grep -E "ERROR SUMMARY|definitely lost:" "$log" | tail -2
if ! .venv/bin/python scripts/valgrind_leaks.py "$log"; then
    echo "definite leaks from our modules (full log: $log)" >&2
    exit 1
fi
if [[ $status -ne 0 ]]; then
    echo "memcheck or the suite failed with $status (full log: $log)" >&2
    exit "$status"
fi
rm -f "$log"
