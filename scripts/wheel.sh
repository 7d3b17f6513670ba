#!/usr/bin/env bash
# Builds tavrin-native's sdist and its wheels into dist/, ready for a package
# index: for each supported CPython on this machine's architecture (3.12 to
# 3.15, release builds, and the free-threaded 3.13t, found as
# scripts/interpreters.sh finds them), and for
# aarch64 (3.13 to 3.15, all that Debian's arm64 root carries; 3.12 is in no
# Debian suite) under emulation. Each wheel is the one scripts/setup.sh builds
# (strictly: TAVRIN_STRICT=ON, so none comes out empty) and the suite runs
# against, repaired to the lowest manylinux policy it
# meets and tried beside the stand-in host where it was built
# (scripts/release_wheel.sh). twine check --strict then checks everything.
# The stand-in host (host/) is not released.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/interpreters.sh
bash scripts/setup.sh .venv
.venv/bin/python -m pip install --quiet --disable-pip-version-check build twine
rm -rf dist
.venv/bin/python -m build --sdist --outdir dist
for version in 3.12 3.13 3.14 3.15 3.13t; do
    venv=.venv; [[ $version != 3.12 ]] && venv=.venv-$version
    if ! locate "$version"; then
        echo "== CPython $version: $UNAVAILABLE, no wheel"
        continue
    fi
    "${INSIDE[@]}" bash scripts/setup.sh --python "$version" "$venv"
    "${INSIDE[@]}" bash scripts/release_wheel.sh "$venv"
done
arm=(bash scripts/sid_root.sh --arch arm64)
if "${arm[@]}" ensure; then
    for version in 3.13 3.14 3.15; do
        "${arm[@]}" run bash scripts/setup.sh --python "$version" ".venv-$version-aarch64"
        "${arm[@]}" run bash scripts/release_wheel.sh ".venv-$version-aarch64"
    done
else
    echo "== aarch64: the emulated arm64 root could not be set up, no wheels"
fi
ls -l dist
.venv/bin/twine check --strict dist/*
