"""What a host developer gets: stubs that match, and clean shared libraries."""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import tavrin
import tavrin.skills.link.linker as linker

MODULES = {
    "tavrin.skills.link.linker": "PyInit_linker",
    "tavrin.telemetry.hostprint": "PyInit_hostprint",
}
# The C runtime is all a module may need: the Python runtime comes from the
# interpreter that loads it.
ALLOWED_LIBRARIES = {"libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1"}
if os.environ.get("TAVRIN_SANITIZER_BUILD"):  # set by scripts/sanitize.sh
    ALLOWED_LIBRARIES |= {"libasan.so.8", "libubsan.so.1"}


def library(module_name):
    package = Path(tavrin.__file__).parent
    *packages, short = module_name.split(".")[1:]
    (found,) = package.joinpath(*packages).glob(f"{short}.cpython-312*.so")
    return found


def binutils(*command):
    if shutil.which(command[0]) is None:
        pytest.fail(f"{command[0]} (binutils) is needed to inspect the built modules")
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


@pytest.mark.parametrize("module_name", sorted(MODULES))
def test_exports_only_its_init_symbol(module_name):
    out = binutils("nm", "-D", "--defined-only", str(library(module_name)))
    assert [line.split()[-1] for line in out.splitlines()] == [MODULES[module_name]]


@pytest.mark.parametrize("module_name", sorted(MODULES))
def test_needs_no_library_beyond_the_c_runtime(module_name):
    out = binutils("readelf", "-d", str(library(module_name)))
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", out))
    assert needed <= ALLOWED_LIBRARIES and not any("python" in n for n in needed)


def test_stubs_and_marker_are_installed_beside_the_modules():
    package = Path(tavrin.__file__).parent
    assert (package / "py.typed").is_file()
    for module_name in MODULES:
        assert library(module_name).with_name(module_name.rsplit(".", 1)[1] + ".pyi").is_file()
    assert not list(package.rglob("*.cpp"))


def test_stubs_match_the_runtime(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", *sorted(MODULES)],
        capture_output=True, text=True, cwd=tmp_path, timeout=300,
        env={**os.environ, "XDG_CONFIG_HOME": str(tmp_path)},
    )
    assert result.returncode == 0, result.stdout + result.stderr
