"""What a host developer gets: clean libraries, matching stubs, distributions
that hold only the project, a README and an example that run as written."""
import importlib
import importlib.metadata
import os
import re
import shutil
import sys
import sysconfig
import tarfile
from pathlib import Path

import pytest

from conftest import HOST, OURS, run

ROOT = Path(__file__).parent.parent
EXTENSION = sysconfig.get_config_var("EXT_SUFFIX")
MODULES = {"tavrin.skills.link.linker": "PyInit_linker", "tavrin.telemetry.hostprint": "PyInit_hostprint"}
# The C runtime is all a module may need: the Python runtime comes from the interpreter.
ALLOWED = {"libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1"}
if os.environ.get("TAVRIN_SANITIZER_BUILD"):  # set by scripts/sanitize.sh
    ALLOWED |= {"libasan.so.8", "libubsan.so.1"}


def output_of(*command, **kwargs):
    """The standard output of a child process that must succeed."""
    if shutil.which(command[0]) is None:
        pytest.fail(f"{command[0]} is needed")
    result = run(*command, timeout=300, **kwargs)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


@pytest.mark.parametrize("module", MODULES)
def test_library_exports_one_symbol_and_needs_only_the_c_runtime(module):
    library = Path(importlib.import_module(module).__file__)
    exported = output_of("nm", "-D", "--defined-only", str(library))
    assert exported.split()[-1:] == [MODULES[module]] and len(exported.splitlines()) == 1
    assert set(re.findall(r"Shared library: \[(.+?)\]", output_of("readelf", "-d", str(library)))) <= ALLOWED
    assert library.with_name(library.name.split(".")[0] + ".pyi").is_file()


def test_stubs_match_the_runtime():
    output_of(sys.executable, "-m", "mypy.stubtest", *MODULES)


def installed_files(distribution):
    return {file.as_posix() for file in importlib.metadata.files(distribution)
            if not file.parts[0].endswith(".dist-info") and "__pycache__" not in file.parts}


@pytest.mark.packaging
def test_wheel_holds_the_extensions_and_their_stubs_only():
    assert installed_files(OURS) == {
        f"tavrin/skills/link/linker{EXTENSION}", "tavrin/skills/link/linker.pyi",
        f"tavrin/telemetry/hostprint{EXTENSION}", "tavrin/telemetry/hostprint.pyi"}
    assert "tavrin/py.typed" in installed_files(HOST)  # the host's marker covers our stubs too


SDIST_FILES = ("pyproject.toml", "CMakeLists.txt", "README.md", "CHANGELOG.md")
SDIST_DIRECTORIES = ("src/", "tests/", "scripts/", "examples/", "host/", "docs/")


@pytest.mark.packaging
def test_sdist_holds_tracked_sources_only(tmp_path):
    if not (ROOT / ".git").exists():
        pytest.skip("needs the git checkout (an unpacked sdist has no record of tracked files)")
    entries = [line.split(maxsplit=3) for line in output_of("git", "-C", str(ROOT), "ls-files", "-s").splitlines()]
    tracked = [path for _, _, _, path in entries]
    assert [path for mode, _, _, path in entries if mode == "120000"] == [], "tracked symbolic links"
    source, out = tmp_path / "source", tmp_path / "dist"
    for path in tracked:  # the tracked files alone, as a clean clone has them
        (source / path).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(ROOT / path, source / path)
    build_sdist = "import sys, scikit_build_core.build as b; b.build_sdist(sys.argv[1])"
    output_of(sys.executable, "-c", build_sdist, str(out), cwd=source)
    (sdist,) = out.glob("tavrin_native-*.tar.gz")
    with tarfile.open(sdist) as archive:
        members = archive.getmembers()
    assert [member.name for member in members if not (member.isfile() or member.isdir())] == []
    held = {member.name.split("/", 1)[1] for member in members if member.isfile()}
    assert held == {"PKG-INFO"} | {path for path in tracked if path in SDIST_FILES or path.startswith(SDIST_DIRECTORIES)}
    assert sdist.stat().st_size < 1_000_000


def documentation_examples():
    """Every Python block of the README and docs/, but those that a line
    `<!-- not run: REASON -->` just before marks."""
    for document in [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]:
        text = document.read_text()
        for block in re.finditer(r"^```python\n(.*?)^```$", text, re.DOTALL | re.MULTILINE):
            preceding = text[:block.start()].rstrip().rsplit("\n", 1)[-1]
            if not preceding.startswith("<!-- not run:"):
                line = text.count("\n", 0, block.start()) + 1
                yield pytest.param(block.group(1), id=f"{document.relative_to(ROOT)}:{line}")


@pytest.mark.parametrize("snippet", list(documentation_examples()))
def test_documentation_examples_run(snippet):
    output_of(sys.executable, "-c", snippet)


@pytest.mark.packaging
def test_wheel_meets_a_manylinux_policy():
    """What scripts/wheel.sh repairs it to: the modules need only the C runtime."""
    from test_install import wheel_of
    shown = output_of(sys.executable, "-m", "auditwheel", "show", str(wheel_of(OURS)))
    policy = rf'consistent\s+with\s+the\s+following\s+platform\s+tag:\s+"manylinux_\d+_\d+_{os.uname().machine}"'
    assert re.search(policy, shown), shown


def test_the_tour_stays_in_its_sandbox(sandbox):
    out = output_of(sys.executable, str(ROOT / "examples" / "tour.py"))
    assert "central store untouched      True" in out and "second process agrees        True" in out
    assert f"{sandbox.tmp}/tavrin-tour-" in next(line for line in out.splitlines() if "stored in" in line)
