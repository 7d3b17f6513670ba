#!/usr/bin/env bash
# Prints the CPython interpreter to use for VERSION: 3.12, 3.13, 3.14 or
# 3.15, one of those with -dbg for its debug build, or 3.13t, the
# free-threaded 3.13. It is $PYTHONxy ($PYTHON314, $PYTHON314_DBG,
# $PYTHON313T, ...; plain $PYTHON also for 3.12), else pythonX.Y[-dbg|t] on
# PATH, else pyenv's (release builds only), else, for 3.13t, the one
# scripts/freethreaded_python.sh made. Fails, printing nothing, when there
# is none. Usage: find_python.sh VERSION
set -euo pipefail
version=$1
case "$version" in
    3.12|3.13|3.14|3.15|3.14-dbg|3.15-dbg|3.13t) ;;
    *) echo "error: unsupported Python version $version (3.12 to 3.15, or 3.14-dbg, 3.15-dbg, 3.13t)" >&2; exit 2 ;;
esac
release=${version%-dbg}
release=${release%t}
variable=PYTHON${release/./}
[[ $version == *-dbg ]] && variable+=_DBG
[[ $version == *t ]] && variable+=T
chosen=${!variable:-}
[[ -z "$chosen" && $version == 3.12 ]] && chosen=${PYTHON:-}
if [[ -z "$chosen" ]] && command -v "python$version" >/dev/null 2>&1 && "python$version" -c '' 2>/dev/null; then
    chosen=$(command -v "python$version")
fi
if [[ -z "$chosen" && $version == *t ]]; then
    chosen=$(bash "$(dirname "$0")/freethreaded_python.sh" path || true)
elif [[ -z "$chosen" && $version != *-dbg ]] && command -v pyenv >/dev/null 2>&1; then
    for candidate in "$(pyenv root)"/versions/"$release".*/bin/python"$release"; do
        [[ -x "$candidate" ]] && { chosen=$candidate; break; }
    done
fi
[[ -n "$chosen" ]] || exit 1
debug=$([[ $version == *-dbg ]] && echo True || echo False)
free_threaded=$([[ $version == *t ]] && echo 1 || echo 0)
"$chosen" -c "import sys, sysconfig; assert sys.implementation.name == 'cpython' and sys.version_info[:2] == (${release/./, })
assert hasattr(sys, 'gettotalrefcount') == $debug
assert (sysconfig.get_config_var('Py_GIL_DISABLED') or 0) == $free_threaded" \
    2>/dev/null || { echo "error: $chosen is not CPython $version" >&2; exit 1; }
echo "$chosen"
