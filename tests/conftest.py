import importlib.machinery
import importlib.metadata
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import types
from pathlib import Path

import pytest

import tavrin.skills.link.linker as L
import tavrin.telemetry.hostprint as H

FIGURES: dict[str, int] = {}  # counts that tests report at the end of the run
UUID4 = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
HOST, OURS = "tavrin", "tavrin-native"  # the host tool's distribution, and ours


def pytest_sessionstart(session):
    """A run must test the extension modules, never the host's Python fallback."""
    fallbacks = [f"{module.__name__} is {module.__file__}" for module in (L, H)
                 if not isinstance(module.__loader__, importlib.machinery.ExtensionFileLoader)]
    if fallbacks:
        pytest.exit("the extension modules are not what imports here (install the stand-in host, then this "
                    "project: bash scripts/setup.sh): " + "; ".join(fallbacks), returncode=3)


def host_module(name):
    """The host's own Python module `name`, the one ours shadow, loaded from
    its installed file under the same name (and not put in sys.modules)."""
    source = importlib.metadata.distribution(HOST).locate_file(name.replace(".", "/") + ".py")
    spec = importlib.util.spec_from_file_location(name, source)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def pytest_terminal_summary(terminalreporter):
    for name, value in sorted(FIGURES.items()):
        terminalreporter.write_line(f"{name}: {value}")


class Sandbox:
    """A test's own corner of the file system. Work starts four levels down,
    so that `..`, `../..` or a bare name taken as a path still lands inside;
    HOME, the configuration directory and temporary files are inside too."""

    def __init__(self, root):
        self.root, self.cwd = root, root / "work" / "1" / "2" / "3"
        self.home, self.config, self.tmp = root / "home", root / "config", root / "tmp"
        for directory in (self.cwd, self.home, self.tmp):
            directory.mkdir(parents=True, exist_ok=True)
        self.env = {"HOME": str(self.home), "XDG_CONFIG_HOME": str(self.config), "TMPDIR": str(self.tmp)}


@pytest.fixture(autouse=True)
def sandbox(tmp_path, monkeypatch):
    """Every test runs inside its sandbox, and its child processes inherit it."""
    box = Sandbox(tmp_path)
    monkeypatch.chdir(box.cwd)
    for name, value in box.env.items():
        monkeypatch.setenv(name, value)
    monkeypatch.setattr(tempfile, "tempdir", str(box.tmp))
    return box


@pytest.fixture
def linker():
    return L.SkillsLinker()


@pytest.fixture
def central(tmp_path):
    """A skill in the central store."""
    skill = tmp_path / "central" / "code-review"
    (skill / "data").mkdir(parents=True)
    (skill / "data" / "VERSION.json").write_text("{}")
    return skill


def tree_digest(root):
    """Every entry under root with its content; links by target, not followed."""
    digest = {}
    for directory, dirs, files in os.walk(root):
        for path in (Path(directory, name) for name in dirs + files):
            digest[str(path.relative_to(root))] = (
                ("link", os.readlink(path)) if path.is_symlink() else ("dir",) if path.is_dir()
                else ("file", path.read_bytes()))
    return dict(sorted(digest.items()))


class Windows:
    """While active, the linker module (ours unless another is given) sees
    sys.platform "win32". os.symlink fails with a fresh PermissionError unless
    `refuse` is false; rmdir removes a link itself, as Windows' does a
    directory link. Calls are logged."""

    def __init__(self, refuse=True, module=L):
        self.refuse, self.module, self.log, self.raised = refuse, module, [], None

    def _logged(self, name, real):
        return lambda *args, **kwargs: (self.log.append((name, args, kwargs)), real(*args, **kwargs))[1]

    def _symlink(self, *args, **kwargs):
        self.log.append(("symlink", args, kwargs))
        if self.refuse:
            self.raised = PermissionError(1314, "privilege not held")
            raise self.raised
        os.symlink(*args, **kwargs)

    def _rmdir(self, path):
        self.log.append(("rmdir", (path,), {}))
        (os.unlink if os.path.islink(path) else os.rmdir)(path)

    def names(self):
        return [name for name, _, _ in self.log]

    def __enter__(self):
        module = self.module
        self._saved = module.sys, module.os, module.shutil
        module.sys = types.SimpleNamespace(platform="win32")
        module.os = types.SimpleNamespace(symlink=self._symlink, rmdir=self._rmdir)
        module.shutil = types.SimpleNamespace(**{name: self._logged(name, getattr(shutil, name))
                                                 for name in ("copytree", "ignore_patterns", "rmtree")})
        return self

    def __exit__(self, *exc_info):
        self.module.sys, self.module.os, self.module.shutil = self._saved


@pytest.fixture
def windows():
    with Windows() as emulation:
        yield emulation


def run(*command, cwd=None, env=None, timeout=120):
    """Runs a child process in the current test's sandbox (its working
    directory and environment), or in `cwd` with `env` added."""
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=timeout,
                          env={**os.environ, **(env or {})})


def run_python(code, env=None, timeout=120):
    """Runs code in a fresh interpreter of the same Python."""
    return run(sys.executable, "-c", textwrap.dedent(code), env=env, timeout=timeout)


# Run first in a child process to make it import the host's Python modules
# where ours would win: each from the `.py` beside ours, under its own name.
HOST_MODULES_ONLY = """
import importlib.machinery, importlib.util, os, sys
class _HostModulesOnly:
    @staticmethod
    def find_spec(name, path=None, target=None):
        if name in ("tavrin.skills.link.linker", "tavrin.telemetry.hostprint"):
            found = importlib.machinery.PathFinder.find_spec(name, path, target)
            source = os.path.join(os.path.dirname(found.origin), name.rpartition(".")[2] + ".py")
            return importlib.util.spec_from_file_location(name, source)
sys.meta_path.insert(0, _HostModulesOnly)
"""


def run_with_each(code, env=None):
    """Runs code in two fresh interpreters, one with our modules and one with
    the host's Python modules: the two results."""
    code = textwrap.dedent(code)
    return run_python(code, env=env), run_python(HOST_MODULES_ONLY + code, env=env)
