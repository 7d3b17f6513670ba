#!/usr/bin/env bash
# Prints the CPython interpreter to use for VERSION (3.12 or 3.13): $PYTHON
# for 3.12 or $PYTHON313 for 3.13, else pythonX.Y on PATH, else pyenv's.
# Fails, printing nothing, when there is none. Usage: find_python.sh VERSION
set -euo pipefail
version=$1
case "$version" in
    3.12) chosen=${PYTHON:-} ;;
    3.13) chosen=${PYTHON313:-} ;;
    *) echo "error: unsupported Python version $version (3.12 or 3.13)" >&2; exit 2 ;;
esac
if [[ -z "$chosen" ]] && command -v "python$version" >/dev/null 2>&1 && "python$version" -c '' 2>/dev/null; then
    chosen=$(command -v "python$version")
fi
if [[ -z "$chosen" ]] && command -v pyenv >/dev/null 2>&1; then
    for candidate in "$(pyenv root)"/versions/"$version".*/bin/python"$version"; do
        [[ -x "$candidate" ]] && { chosen=$candidate; break; }
    done
fi
[[ -n "$chosen" ]] || exit 1
"$chosen" -c "import sys; assert sys.implementation.name == 'cpython' and sys.version_info[:2] == (${version/./, })" \
    2>/dev/null || { echo "error: $chosen is not CPython $version" >&2; exit 1; }
echo "$chosen"
