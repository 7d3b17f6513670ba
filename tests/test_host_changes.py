"""Ours is a port of one exact version of the host's Python modules: where
the `.py` beside ours is another (edited, or from an upgraded host), the
import gives that Python module, with an ImportWarning; where it is the one
ours was ported from, or absent, ours. Each case runs on a copy of the
installed package in the test's sandbox, in a child without site-packages."""
import importlib.metadata
import shutil
import sys

import pytest

from conftest import HOST, run

CHILD = """
import importlib.machinery, warnings
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import tavrin.skills.link.linker as L, tavrin.telemetry.hostprint as H
for module in (L, H):
    native = isinstance(module.__loader__, importlib.machinery.ExtensionFileLoader)
    assert module.__spec__.origin == module.__file__ and callable(getattr(module, "get_hostprint", L.SkillsLinker))
    print(module.__name__.rpartition(".")[2], "native" if native else "python")
for warning in caught:
    print(warning.category.__name__, warning.message)
"""


def change_one_character(path):
    path.write_text(path.read_text(encoding="utf-8").replace("单次链接操作的结果。", "单次链接操作的结果！")
                    .replace("获取本机唯一标识。", "获取本机唯一标识！"), encoding="utf-8")


CASES = {
    "as ported": (lambda package: None, "native", "native"),
    "one character of linker.py changed": (
        lambda package: change_one_character(package / "skills" / "link" / "linker.py"), "python", "native"),
    "one character of hostprint.py changed": (
        lambda package: change_one_character(package / "telemetry" / "hostprint.py"), "native", "python"),
    "an upgraded host": (lambda package: [path.write_text(path.read_text() + "\n\ndef added():\n    pass\n")
                                          for path in package.rglob("*.py") if path.stem in ("linker", "hostprint")],
                         "python", "python"),
    "no source beside ours": (lambda package: [path.unlink() for path in package.rglob("*.py")
                                               if path.stem in ("linker", "hostprint")], "native", "native"),
}


@pytest.fixture
def package(sandbox):
    """A copy of the installed tavrin package, ours inside."""
    installed = importlib.metadata.distribution(HOST).locate_file("tavrin")
    copy = sandbox.root / "site" / "tavrin"
    shutil.copytree(installed, copy, ignore=shutil.ignore_patterns("__pycache__"))
    return copy


@pytest.mark.parametrize("case", CASES)
def test_the_import_follows_the_host_source(case, package):
    change, linker, hostprint = CASES[case]
    change(package)
    result = run(sys.executable, "-S", "-c", CHILD, env={"PYTHONPATH": str(package.parent)})
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:2] == [f"linker {linker}", f"hostprint {hostprint}"]
    warned = [line for line in lines[2:] if line.startswith("ImportWarning")]
    expected = [f"/{name}.py is not the Python module that" for name, state in (("linker", linker),
                                                                                ("hostprint", hostprint))
                if state == "python"]
    assert len(warned) == len(expected) and all(text in line for text, line in zip(expected, warned)), lines


def test_the_warning_can_stop_the_import(package):
    change_one_character(package / "skills" / "link" / "linker.py")
    result = run(sys.executable, "-S", "-W", "error::ImportWarning", "-c", "import tavrin.skills.link.linker",
                 env={"PYTHONPATH": str(package.parent)})
    assert result.returncode != 0 and "ImportWarning: " in result.stderr and "linker.py is not" in result.stderr


def test_an_edited_editable_host_is_followed(package, sandbox):
    """An editable host keeps its sources in a folder of its own; ours, in
    site-packages, holds only the extension modules, found first."""
    editable = sandbox.root / "editable" / "tavrin"
    shutil.copytree(package, editable, ignore=shutil.ignore_patterns("*.so", "*.pyi"))
    for path in package.rglob("*.py"):
        path.unlink()
    change_one_character(editable / "skills" / "link" / "linker.py")
    result = run(sys.executable, "-S", "-c", CHILD, env={"PYTHONPATH": f"{package.parent}:{editable.parent}"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[:2] == ["linker python", "hostprint native"], result.stdout
    assert f"{editable}/skills/link/linker.py is not the Python module that" in result.stdout
