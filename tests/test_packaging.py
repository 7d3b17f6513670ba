"""What a host developer gets: clean libraries, matching stubs, a README and
an example that run as written."""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import tavrin

ROOT = Path(__file__).parent.parent
MODULES = {"tavrin.skills.link.linker": "PyInit_linker", "tavrin.telemetry.hostprint": "PyInit_hostprint"}
# The C runtime is all a module may need: the Python runtime comes from the interpreter.
ALLOWED = {"libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1"}
if os.environ.get("TAVRIN_SANITIZER_BUILD"):  # set by scripts/sanitize.sh
    ALLOWED |= {"libasan.so.8", "libubsan.so.1"}


def run(*command, **kwargs):
    if shutil.which(command[0]) is None:
        pytest.fail(f"{command[0]} is needed")
    result = subprocess.run(command, capture_output=True, text=True, timeout=300, **kwargs)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


@pytest.mark.parametrize("module", MODULES)
def test_library_exports_one_symbol_and_needs_only_the_c_runtime(module):
    *packages, short = module.split(".")[1:]
    (library,) = Path(tavrin.__file__).parent.joinpath(*packages).glob(f"{short}.cpython-312*.so")
    assert run("nm", "-D", "--defined-only", str(library)).split()[-1:] == [MODULES[module]]
    assert len(run("nm", "-D", "--defined-only", str(library)).splitlines()) == 1
    assert set(re.findall(r"Shared library: \[(.+?)\]", run("readelf", "-d", str(library)))) <= ALLOWED
    assert library.with_name(f"{short}.pyi").is_file() and (Path(tavrin.__file__).parent / "py.typed").is_file()


def test_stubs_match_the_runtime(tmp_path):
    run(sys.executable, "-m", "mypy.stubtest", *MODULES, cwd=tmp_path, env={**os.environ, "XDG_CONFIG_HOME": str(tmp_path)})


@pytest.mark.parametrize("snippet", re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.DOTALL))
def test_readme_snippets_run(snippet, tmp_path):
    run(sys.executable, "-c", snippet, cwd=tmp_path)


def test_the_tour_stays_in_its_sandbox():
    out = run(sys.executable, str(ROOT / "examples" / "tour.py"))
    assert "central store untouched      True" in out and "second process agrees        True" in out
    assert "/tavrin-tour-" in next(line for line in out.splitlines() if "stored in" in line)
