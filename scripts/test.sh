#!/usr/bin/env bash
# Fresh machine to test results, on every supported CPython. Sets up .venv
# with CPython 3.12 (the stand-in host, then this project's wheel beside it:
# scripts/setup.sh) and runs the whole suite; runs it again against a build
# with AddressSanitizer and UndefinedBehaviorSanitizer (scripts/sanitize.sh);
# then in .venv-VERSION for 3.13, 3.14, 3.15, the debug builds 3.14-dbg
# and 3.15-dbg, and the free-threaded 3.13t (with the GIL off), each found as
# scripts/interpreters.sh finds it; then the threaded tests under
# ThreadSanitizer, on a free-threaded 3.13 built with it
# (scripts/thread_sanitize.sh). Meanwhile, on
# the other core, it runs the suite on CPython 3.14 for aarch64, in Debian's
# emulated arm64 root (scripts/sid_root.sh --arch arm64), without the tests
# that repeat calls for volume (tests/test_memory.py), too slow there; its
# output comes at the end. A version or architecture that cannot be had is
# skipped with the reason, but fails the run under CI=true. The tests that
# build or install distributions run in the first run only. Extra arguments
# go to every pytest run. In a git checkout it then fails if the run left
# anything behind in the checkout: tests work only in their own temporary
# sandboxes. The last line names every interpreter that ran, with its
# architecture.
set -euo pipefail
cd "$(dirname "$0")/.."

untracked() { [[ -d .git ]] && git status --porcelain --untracked-files=all | sed -n 's/^?? //p' | sort; true; }
links() { find . \( -path ./.git -o -path './.venv*' -o -path ./build \) -prune -o -type l -print; }
describe='import platform, sys, sysconfig; print(platform.python_implementation(), platform.python_version()
      + (" debug build" if hasattr(sys, "gettotalrefcount") else "")
      + (" free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""), platform.machine())'
untracked_before=$(untracked)
ran=() skipped=()

# The suite on aarch64, under emulation: built once, for CPython 3.14.
arm=(bash scripts/sid_root.sh --arch arm64)
aarch64_log=build/aarch64.log
aarch64() {
    "${arm[@]}" ensure || return 3
    "${arm[@]}" run bash scripts/setup.sh --python 3.14 .venv-3.14-aarch64 &&
        "${arm[@]}" run .venv-3.14-aarch64/bin/python -B -m pytest -q -m "not packaging" \
            --ignore=tests/test_memory.py "$@"
}
mkdir -p build
set -m  # a process group of its own, so that an early exit can end all of it
aarch64 "$@" >"$aarch64_log" 2>&1 &
aarch64_job=$!
set +m
trap 'kill -- -$aarch64_job 2>/dev/null || true' EXIT

echo "== the suite on CPython 3.12"
bash scripts/setup.sh .venv
.venv/bin/python -B -m pytest "$@"
ran+=("$(.venv/bin/python -c "$describe")")

echo "== the suite again, under AddressSanitizer and UndefinedBehaviorSanitizer"
bash scripts/sanitize.sh -q -m "not packaging" "$@"
ran+=("$(.venv-asan/bin/python -c "$describe") under sanitizers")

source scripts/interpreters.sh
for version in "${SUPPORTED[@]:1}"; do
    venv=.venv-$version
    if ! locate "$version"; then
        skipped+=("CPython $version: $UNAVAILABLE")
        continue
    fi
    where=${INSIDE:+ (Debian unstable)}
    echo "== the suite on CPython $version$where"
    "${INSIDE[@]}" bash scripts/setup.sh --python "$version" "$venv"
    # A free-threaded interpreter runs the suite with the GIL off.
    gil=()
    [[ $version == *t ]] && gil=(env PYTHON_GIL=0)
    "${INSIDE[@]}" "${gil[@]}" "$venv/bin/python" -B -m pytest -q -m "not packaging" "$@"
    ran+=("$("${INSIDE[@]}" "$venv/bin/python" -c "$describe")$where")
done

echo "== the threaded tests under ThreadSanitizer, on CPython 3.13t built with it"
if [[ $(id -u) -eq 0 ]] || bash scripts/freethreaded_python.sh --thread-sanitizer path >/dev/null; then
    bash scripts/thread_sanitize.sh "$@"
    ran+=("$(.venv-3.13t-tsan/bin/python -c "$describe") under ThreadSanitizer")
else
    skipped+=("CPython 3.13t under ThreadSanitizer: not on this machine, and making it needs root")
fi

echo "== the suite on CPython 3.14 for aarch64, under emulation (Debian unstable, arm64)"
aarch64_status=0
wait "$aarch64_job" || aarch64_status=$?
trap - EXIT
cat "$aarch64_log"
case $aarch64_status in
    0) ran+=("$("${arm[@]}" run .venv-3.14-aarch64/bin/python -c "$describe") (Debian unstable, emulated)") ;;
    3) skipped+=("CPython 3.14 on aarch64: the emulated arm64 root could not be set up") ;;
    *) echo "error: the suite failed on aarch64" >&2; exit 1 ;;
esac

left=$(comm -13 <(echo "$untracked_before") <(untracked))
stray_links=$([[ -d .git ]] && links || true)
if [[ -n "$left$stray_links" ]]; then
    echo "error: the test run left entries in the checkout (tests must work in their own sandboxes):" >&2
    [[ -n "$left" ]] && echo "untracked: $left" >&2
    [[ -n "$stray_links" ]] && echo "links: $stray_links" >&2
    exit 1
fi
if [[ ${#skipped[@]} -gt 0 ]]; then
    echo "== skipped:"
    printf '   %s\n' "${skipped[@]}"
    if [[ ${CI:-} == true ]]; then
        echo "error: under CI=true every supported version must run" >&2
        exit 1
    fi
fi
summary=$(printf '%s; ' "${ran[@]}")
echo "== passed on: ${summary%; }"
