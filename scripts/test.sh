#!/usr/bin/env bash
# Fresh machine to test results: sets up .venv, builds, installs and runs the
# suite; then runs it again against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (scripts/sanitize.sh). Extra arguments go to
# both pytest runs. In a git checkout it then fails if the run left anything
# behind in the checkout: tests work only in their own temporary sandboxes.
set -euo pipefail
cd "$(dirname "$0")/.."

untracked() { [[ -d .git ]] && git status --porcelain --untracked-files=all | sed -n 's/^?? //p' | sort; true; }
links() { find . \( -path ./.git -o -path './.venv*' -o -path ./build \) -prune -o -type l -print; }
untracked_before=$(untracked)

bash scripts/setup.sh .venv
.venv/bin/python -B -m pytest "$@"
echo "== the suite again, under AddressSanitizer and UndefinedBehaviorSanitizer"
bash scripts/sanitize.sh -q "$@"

left=$(comm -13 <(echo "$untracked_before") <(untracked))
stray_links=$([[ -d .git ]] && links || true)
if [[ -n "$left$stray_links" ]]; then
    echo "error: the test run left entries in the checkout (tests must work in their own sandboxes):" >&2
    [[ -n "$left" ]] && echo "untracked: $left" >&2
    [[ -n "$stray_links" ]] && echo "links: $stray_links" >&2
    exit 1
fi
