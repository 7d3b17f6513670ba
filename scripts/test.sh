#!/usr/bin/env bash
# Fresh machine to test results: sets up .venv with CPython 3.12 (the
# stand-in host, then this project's wheel beside it: scripts/setup.sh) and
# runs the suite; runs it again against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (scripts/sanitize.sh, 3.12 only); then, when
# CPython 3.13 is found (scripts/find_python.sh), in .venv-313. The tests
# that build or install distributions run in the first run only. Extra
# arguments go to every pytest run. In a git checkout it
# then fails if the run left anything behind in the checkout: tests work
# only in their own temporary sandboxes.
set -euo pipefail
cd "$(dirname "$0")/.."

untracked() { [[ -d .git ]] && git status --porcelain --untracked-files=all | sed -n 's/^?? //p' | sort; true; }
links() { find . \( -path ./.git -o -path './.venv*' -o -path ./build \) -prune -o -type l -print; }
version_of() { "$1" -c 'import platform; print(platform.python_implementation(), platform.python_version())'; }
untracked_before=$(untracked)
ran=()

echo "== the suite on CPython 3.12"
bash scripts/setup.sh .venv
.venv/bin/python -B -m pytest "$@"
ran+=("$(version_of .venv/bin/python): plain build")

echo "== the suite again, under AddressSanitizer and UndefinedBehaviorSanitizer"
bash scripts/sanitize.sh -q -m "not packaging" "$@"
ran+=("$(version_of .venv-asan/bin/python): sanitizer build")

if bash scripts/find_python.sh 3.13 >/dev/null; then
    echo "== the suite on CPython 3.13"
    bash scripts/setup.sh --python 3.13 .venv-313
    .venv-313/bin/python -B -m pytest -q -m "not packaging" "$@"
    ran+=("$(version_of .venv-313/bin/python): plain build")
else
    ran+=("CPython 3.13: not found, not run")
fi

left=$(comm -13 <(echo "$untracked_before") <(untracked))
stray_links=$([[ -d .git ]] && links || true)
if [[ -n "$left$stray_links" ]]; then
    echo "error: the test run left entries in the checkout (tests must work in their own sandboxes):" >&2
    [[ -n "$left" ]] && echo "untracked: $left" >&2
    [[ -n "$stray_links" ]] && echo "links: $stray_links" >&2
    exit 1
fi
echo "== passed on:"
printf '   %s\n' "${ran[@]}"
