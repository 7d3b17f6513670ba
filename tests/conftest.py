import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tavrin.skills.link.linker as linker_module
from emulation import EmulatedWindows


@pytest.fixture
def linker():
    return linker_module.SkillsLinker()


@pytest.fixture
def central(tmp_path):
    """A central store holding one skill with a little content."""
    skill = tmp_path / "central" / "code-review"
    (skill / "data").mkdir(parents=True)
    (skill / "data" / "VERSION.json").write_text('{"version": 1}')
    (skill / "SKILL.md").write_text("# review\n")
    (skill / "__pycache__").mkdir()
    (skill / "__pycache__" / "x.cpython-312.pyc").write_bytes(b"\0")
    (skill / "helper.py").write_text("pass\n")
    (skill / "helper.pyc").write_bytes(b"\0")
    (skill / "old.pyo").write_bytes(b"\0")
    return skill


def tree_digest(root: Path) -> dict:
    """Every entry under root with its content; links by their target, not followed."""
    digest = {}
    for directory, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            path = Path(directory, name)
            relative = str(path.relative_to(root))
            if path.is_symlink():
                digest[relative] = ("link", os.readlink(path))
            elif path.is_dir():
                digest[relative] = ("dir",)
            else:
                digest[relative] = ("file", path.read_bytes())
    return dict(sorted(digest.items()))


@pytest.fixture
def windows():
    """Emulated Windows for one test; see emulation.EmulatedWindows."""
    with EmulatedWindows() as emulation:
        yield emulation


def run_python(code: str, env: dict | None = None, timeout: float = 60) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter of the same Python."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=timeout,
        env={**os.environ, **(env or {})},
    )


# Figures that tests record and the run reports at the end.
FIGURES: dict[str, int] = {}


def pytest_terminal_summary(terminalreporter):
    for name, value in sorted(FIGURES.items()):
        terminalreporter.write_line(f"{name}: {value}")
