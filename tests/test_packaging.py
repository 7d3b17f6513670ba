"""What a host developer gets: clean libraries, matching stubs, distributions
that hold only the project, a README and an example that run as written."""
import importlib
import importlib.metadata
import os
import platform
import re
import shutil
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path

import pytest
from packaging.tags import sys_tags
from packaging.utils import parse_wheel_filename

from conftest import HOST, OURS, Sandbox, run

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
# Left in a checkout, as builds, editors and runs leave them.
UNTRACKED = ("src/tavrin/UNTRACKED.txt", "tests/__pycache__/junk.pyc", "docs/draft [1]*.md", "scripts/out/log")
# What a frontend does: pyproject.toml's backend, from its backend-path.
BUILD_SDIST = """import importlib, sys, tomllib
system = tomllib.load(open("pyproject.toml", "rb"))["build-system"]
sys.path[:0] = system.get("backend-path", [])
importlib.import_module(system["build-backend"]).build_sdist(sys.argv[1])"""


def build_sdist(source, out, env):
    output_of(sys.executable, "-c", BUILD_SDIST, str(out), cwd=source, env=env)
    (sdist,) = out.glob("tavrin_native-*.tar.gz")
    with tarfile.open(sdist) as archive:
        members = archive.getmembers()
    assert [member.name for member in members if not (member.isfile() or member.isdir())] == []
    return sdist, {member.name.split("/", 1)[1] for member in members if member.isfile()}


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    """The sdist of a fresh clone of this checkout's HEAD with untracked files
    lying in its packaged folders; its files; the clone's `git ls-files -s`.
    Outside a checkout (an unpacked sdist), the sdist of the project as it is."""
    box = Sandbox(tmp_path_factory.mktemp("sdist"))
    if not (ROOT / ".git").exists():
        return *build_sdist(ROOT, box.root / "dist", box.env), None
    clone = box.root / "clone"
    output_of("git", "clone", "--quiet", str(ROOT), str(clone), env=box.env)
    for path in UNTRACKED:
        (clone / path).parent.mkdir(parents=True, exist_ok=True)
        (clone / path).write_text("untracked\n")
    return *build_sdist(clone, box.root / "dist", box.env), output_of("git", "-C", str(clone), "ls-files", "-s")


@pytest.mark.packaging
def test_sdist_holds_tracked_sources_only(sdist, sandbox):
    archive, held, listing = sdist
    if listing is None:
        pytest.skip("needs the git checkout (an unpacked sdist has no record of tracked files)")
    entries = [line.split(maxsplit=3) for line in listing.splitlines()]
    tracked = [path for _, _, _, path in entries]
    assert [path for mode, _, _, path in entries if mode == "120000"] == [], "tracked symbolic links"
    assert held == {"PKG-INFO"} | {path for path in tracked if path in SDIST_FILES or path.startswith(SDIST_DIRECTORIES)}
    assert archive.stat().st_size < 1_000_000
    # Rebuilt from the unpacked sdist, where no git tells tracked files: the same files.
    with tarfile.open(archive) as unpacking:
        unpacking.extractall(sandbox.tmp, filter="data")
    assert build_sdist(sandbox.tmp / archive.name.removesuffix(".tar.gz"), sandbox.root / "dist", None)[1] == held


# Where the modules cannot be built, and how a test makes it so: the
# environment, CMake definitions, and the reason the build gives.
FALLBACKS = {
    "compiler": ({"CXX": "/nonexistent"}, [], "no C++20 compiler found (CXX=/nonexistent)"),
    "interpreter": ({}, ["TAVRIN_PYTHON_VERSIONS=3.99"],
                    f"the modules are made for CPython 3.99, not CPython {platform.python_version()} ({sys.executable})"),
}
EMPTY = "building an empty wheel: the host tool's Python modules will do the work"


def build_wheel(sdist, root, env, defines):
    """pip's build of the sdist, as a host's install makes it: the status, the
    build output (its whitespace folded) and the wheel, if any."""
    box = Sandbox(root)
    result = run(sys.executable, "-m", "pip", "wheel", "-v", "--no-deps", "--no-build-isolation", "--no-cache-dir",
                 "-w", str(root / "wheels"), *(f"--config-settings=cmake.define.{define}" for define in defines),
                 str(sdist), cwd=box.cwd, env={**box.env, **env}, timeout=300)
    return result.returncode, " ".join((result.stdout + result.stderr).split()), next((root / "wheels").glob("*.whl"), None)


@pytest.fixture(scope="module")
def empty_wheels(sdist, tmp_path_factory):
    return {lacking: build_wheel(sdist[0], tmp_path_factory.mktemp(lacking), env, defines)
            for lacking, (env, defines, _) in FALLBACKS.items()}


@pytest.mark.packaging
@pytest.mark.parametrize("lacking", FALLBACKS)
def test_where_the_modules_cannot_be_built_the_wheel_is_empty(empty_wheels, lacking):
    status, output, wheel = empty_wheels[lacking]
    assert status == 0 and f"tavrin-native: {FALLBACKS[lacking][2]}; {EMPTY}" in output, output
    with zipfile.ZipFile(wheel) as archive:  # no module, and no stub: the host's .py is what checkers should read
        assert {name.split("/")[0] for name in archive.namelist()} == {"tavrin_native-0.1.0.dist-info"}
    (tag,) = parse_wheel_filename(wheel.name)[3]
    assert tag.abi != "none" and tag in set(sys_tags()), tag  # for this interpreter (not universal), and installable


@pytest.mark.packaging
@pytest.mark.parametrize("lacking", FALLBACKS)
def test_a_strict_build_fails_instead(sdist, lacking, tmp_path):
    env, defines, reason = FALLBACKS[lacking]
    status, output, wheel = build_wheel(sdist[0], tmp_path / "strict", env, [*defines, "TAVRIN_STRICT=ON"])
    assert status != 0 and wheel is None and f"tavrin-native: {reason}; TAVRIN_STRICT is ON, so no empty wheel" in output


@pytest.mark.packaging
def test_the_native_extra_installs_where_ours_cannot_be_built(empty_wheels, tmp_path):
    """A host offering ours as an extra, as docs/host-integration.md shows:
    with only the empty wheel to be had, its install succeeds, and it runs on
    its Python modules."""
    from test_install import Environment, assert_python_modules_in_use
    host, index = tmp_path / "host", tmp_path / "index"
    shutil.copytree(ROOT / "host", host)
    extra = re.search(r"^```toml\n(\[project.optional-dependencies\]\nnative = .*?)^```$",
                      (ROOT / "docs" / "host-integration.md").read_text(), re.DOTALL | re.MULTILINE).group(1)
    with (host / "pyproject.toml").open("a") as pyproject:
        pyproject.write("\n" + extra)
    output_of(sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation", "-w", str(index), str(host))
    shutil.copy(empty_wheels["compiler"][2], index)
    environment = Environment(tmp_path / "env")
    environment.pip("install", "--no-index", "--find-links", str(index), f"{HOST}[native]")
    report = environment.probe()
    assert_python_modules_in_use(report)
    assert report["files"][OURS] == [] and report["altered"] == {HOST: [], OURS: []}
    environment.pip("check")
    tour = output_of(environment.python, str(ROOT / "examples" / "tour.py"))
    assert "linker.py" in tour and "central store untouched      True" in tour


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
