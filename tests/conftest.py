import os
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import pytest

import tavrin.skills.link.linker as linker_module


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
    """Every entry under root with its content, links by their target."""
    digest = {}
    for path in sorted(root.rglob("*")):
        relative = str(path.relative_to(root))
        if path.is_symlink():
            digest[relative] = ("link", os.readlink(path))
        elif path.is_dir():
            digest[relative] = ("dir",)
        else:
            digest[relative] = ("file", path.read_bytes())
    return digest


class CallLog(list):
    """The calls the emulated platform saw, as (name, args, kwargs)."""

    def names(self):
        return [name for name, _, _ in self]


@pytest.fixture
def windows(monkeypatch):
    """Emulates Windows by replacing the module's sys, os and shutil globals.

    os.symlink fails with OSError unless `symlink_error` is set to None;
    every other call goes to the real module and is logged.
    """
    log = CallLog()
    state = types.SimpleNamespace(log=log, symlink_error=PermissionError(1314, "privilege not held"))

    def logged(name, real):
        def call(*args, **kwargs):
            log.append((name, args, kwargs))
            return real(*args, **kwargs)
        return call

    def symlink(*args, **kwargs):
        log.append(("symlink", args, kwargs))
        if state.symlink_error is not None:
            # A fresh instance per call: a re-raised one would pile up tracebacks.
            error = state.symlink_error
            state.raised = type(error)(*error.args)
            raise state.raised
        return os.symlink(*args, **kwargs)

    def rmdir(path):
        # Windows' rmdir removes a directory link itself, never its target.
        log.append(("rmdir", (path,), {}))
        return os.unlink(path) if os.path.islink(path) else os.rmdir(path)

    fake_os = types.SimpleNamespace(symlink=symlink, rmdir=rmdir)
    fake_shutil = types.SimpleNamespace(
        copytree=logged("copytree", linker_module.shutil.copytree),
        ignore_patterns=logged("ignore_patterns", linker_module.shutil.ignore_patterns),
        rmtree=logged("rmtree", linker_module.shutil.rmtree),
    )
    monkeypatch.setattr(linker_module, "sys", types.SimpleNamespace(platform="win32"))
    monkeypatch.setattr(linker_module, "os", fake_os)
    monkeypatch.setattr(linker_module, "shutil", fake_shutil)
    return state


def run_python(code: str, env: dict | None = None, timeout: float = 60) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter of the same Python."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=timeout,
        env={**os.environ, **(env or {})},
    )
