"""What tools that read the package without running it see: Sphinx autodoc,
pdoc, mypy and jedi give the same with ours installed beside the host as
with the host alone."""
import difflib
import importlib.metadata
import json
import re
import sys

import pytest

from conftest import HOST, OURS, run
from test_install import Environment, wheel_of

pytestmark = pytest.mark.packaging

MODULES = ("tavrin.skills.link.linker", "tavrin.telemetry.hostprint")

# Every name a host uses, with what a type checker should say of it.
USES = """
from tavrin.skills.link import linker
from tavrin.telemetry import hostprint
reveal_type(linker.LinkResult)
reveal_type(linker.LinkResult("s", linker.Path("a"), linker.Path("b"), "symlink", False).link_path)
reveal_type(linker.SkillsLinker)
reveal_type(linker.SkillsLinker().link)
reveal_type(linker.SkillsLinker().unlink)
reveal_type(linker.SkillsLinker().is_link_valid)
reveal_type(linker.SkillsLinker()._create_link)
reveal_type(linker.SkillsLinker()._create_windows_link)
reveal_type(linker.SkillsLinker()._safe_remove)
reveal_type(hostprint.get_hostprint)
reveal_type(hostprint.CONFIG_DIR)
reveal_type(hostprint._HOSTPRINT_FILE)
reveal_type(hostprint._cached)
"""

SPHINX_INDEX = "".join(f"""
.. automodule:: {module}
   :members:
   :private-members:
   :undoc-members:
""" for module in MODULES)

# Run inside the environment under test: pdoc's public view and jedi's
# signatures and docstrings of every function, method and class, as JSON.
VIEWS = r'''
import json, sys
import jedi, pdoc.doc
from tavrin.skills.link import linker
from tavrin.telemetry import hostprint
views = {"pdoc": {}, "jedi": {}, "jedi.Interpreter": {}}
for name in ("tavrin.skills.link.linker", "tavrin.telemetry.hostprint"):
    # Known difference, outside this view: inspect finds no source for a class
    # or module whose module's __file__ is an extension module, so with ours
    # pdoc's page lacks the modules' and classes' "View Source" and
    # LinkResult's "@dataclass", and pdoc warns that it cannot tell where
    # LinkResult's fields are taken from (docs/host-integration.md).
    for member in pdoc.doc.Module.from_name(name).flattened_own_members:
        if not any(part.startswith("_") for part in member.qualname.split(".")):  # the public view
            views["pdoc"][member.fullname] = [str(getattr(member, "signature", "")), member.docstring]
uses = open("uses.py").read()
script = jedi.Script(uses, path="uses.py")
for line, text in enumerate(uses.splitlines(), 1):
    if text.startswith("reveal_type("):
        # Functions, methods and classes; jedi hides a stub's private variables by design.
        views["jedi"][text] = [[n.full_name, [s.to_string() for s in n.get_signatures()], n.docstring(raw=True)]
                               for n in script.infer(line, len(text) - 2) if n.type in ("function", "class")]
        # As IPython completes, from the objects themselves: their docstrings.
        # (Signatures differ there: jedi reaches a method through its module
        # and class, whose source inspect cannot give with ours, their file
        # being the extension module, so it renders them from inspect.signature;
        # with the host alone, from the source.)
        target = text[len("reveal_type("):-1]
        live = jedi.Interpreter(target, [{"linker": linker, "hostprint": hostprint}])
        views["jedi.Interpreter"][target] = [n.docstring(raw=True) for n in live.infer(1, len(target) - 1)
                                             if n.type in ("function", "class")]
print(json.dumps(views, ensure_ascii=False, indent=1))
'''


def reader_tools():
    """The readers, at the versions our `readers` extra names."""
    return [re.sub(r"\s*;.*", "", requirement) for requirement in importlib.metadata.requires(OURS)
            if 'extra == "readers"' in requirement]


@pytest.fixture(scope="module")
def tools(tmp_path_factory):
    wheelhouse = tmp_path_factory.mktemp("readers")
    result = run(sys.executable, "-m", "pip", "download", "--quiet", "--disable-pip-version-check", "--only-binary", ":all:",
                 "--dest", str(wheelhouse), *reader_tools(), timeout=600)
    assert result.returncode == 0, result.stderr
    return wheelhouse


def what_readers_see(environment, tools, folder):
    environment.install("--find-links", str(tools), *reader_tools())
    (folder / "uses.py").write_text(USES)
    (folder / "docs").mkdir()
    (folder / "docs" / "conf.py").write_text('extensions = ["sphinx.ext.autodoc"]\n')
    (folder / "docs" / "index.rst").write_text(SPHINX_INDEX)
    sphinx = run(environment.python, "-m", "sphinx", "-b", "text", "-q", "-E", str(folder / "docs"),
                 str(folder / "text"))
    assert sphinx.returncode == 0, sphinx.stderr
    mypy = run(environment.python, "-m", "mypy", "--no-incremental", "--cache-dir", "/dev/null", "uses.py",
               cwd=str(folder))
    assert mypy.returncode == 0, mypy.stdout
    views = run(environment.python, "-c", VIEWS, cwd=str(folder))
    assert views.returncode == 0, views.stderr
    return {"sphinx": (folder / "text" / "index.txt").read_text(), "mypy": mypy.stdout,
            **json.loads(views.stdout)}


def test_readers_see_the_hosts_api_with_ours_installed(tmp_path, tools):
    seen = {}
    for setting, wheels in [("host alone", [HOST]), ("host and ours", [HOST, OURS])]:
        environment = Environment(tmp_path / setting.replace(" ", "-") / "env")
        environment.install(*(str(wheel_of(distribution)) for distribution in wheels))
        seen[setting] = what_readers_see(environment, tools, tmp_path / setting.replace(" ", "-"))
    assert "单次链接操作的结果。" in seen["host alone"]["sphinx"]  # the readers did read the modules
    for reader in seen["host alone"]:
        alone, ours = (json.dumps(seen[setting][reader], ensure_ascii=False, indent=1)
                       if not isinstance(seen[setting][reader], str) else seen[setting][reader]
                       for setting in seen)
        assert alone == ours, f"{reader} differs with ours installed:\n" + "\n".join(
            difflib.unified_diff(alone.splitlines(), ours.splitlines(), "host alone", "host and ours", lineterm=""))
