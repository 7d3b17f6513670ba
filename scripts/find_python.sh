#!/usr/bin/env bash
# Prints the CPython interpreter to use for VERSION: 3.12, 3.13, 3.14 or
# 3.15, or one of those with -dbg for its debug build. It is $PYTHONxy
# ($PYTHON314, $PYTHON314_DBG, ...; plain $PYTHON also for 3.12), else
# pythonX.Y[-dbg] on PATH, else pyenv's (release builds only). Fails,
# printing nothing, when there is none. Usage: find_python.sh VERSION
set -euo pipefail
version=$1
case "$version" in
    3.12|3.13|3.14|3.15|3.14-dbg|3.15-dbg) ;;
    *) echo "error: unsupported Python version $version (3.12 to 3.15, or 3.14-dbg, 3.15-dbg)" >&2; exit 2 ;;
esac
release=${version%-dbg}
variable=PYTHON${release/./}
[[ $version == *-dbg ]] && variable+=_DBG
chosen=${!variable:-}
[[ -z "$chosen" && $version == 3.12 ]] && chosen=${PYTHON:-}
if [[ -z "$chosen" ]] && command -v "python$version" >/dev/null 2>&1 && "python$version" -c '' 2>/dev/null; then
    chosen=$(command -v "python$version")
fi
if [[ -z "$chosen" && $version != *-dbg ]] && command -v pyenv >/dev/null 2>&1; then
    for candidate in "$(pyenv root)"/versions/"$release".*/bin/python"$release"; do
        [[ -x "$candidate" ]] && { chosen=$candidate; break; }
    done
fi
[[ -n "$chosen" ]] || exit 1
debug=$([[ $version == *-dbg ]] && echo True || echo False)
"$chosen" -c "import sys; assert sys.implementation.name == 'cpython' and sys.version_info[:2] == (${release/./, })
assert hasattr(sys, 'gettotalrefcount') == $debug" \
    2>/dev/null || { echo "error: $chosen is not CPython $version" >&2; exit 1; }
echo "$chosen"
