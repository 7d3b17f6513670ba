#!/usr/bin/env bash
# The test suite against modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer, in their own environment (.venv-asan). Leak
# detection is off: CPython's own allocations would drown the report, and
# reference leaks are caught by the reference-count tests instead.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh .venv-asan TAVRIN_SANITIZE=ON
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
PYTHONMALLOC=malloc \
TAVRIN_SANITIZER_BUILD=1 \
ASAN_OPTIONS=detect_leaks=0 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    exec .venv-asan/bin/python -B -m pytest "$@"
