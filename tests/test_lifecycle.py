"""The modules' life in a process: interpreters finalised and started again
in one process, calls that come late in shutdown, and what is left at exit."""
import os
import sys
import sysconfig
from pathlib import Path

import pytest

from conftest import run

USE_BOTH = """
import importlib.machinery, tempfile
from pathlib import Path
import tavrin.skills.link.linker as L, tavrin.telemetry.hostprint as H
assert all(isinstance(m.__loader__, importlib.machinery.ExtensionFileLoader) for m in (L, H))
assert H._cached is None  # a module made afresh, never one handed back from before
root = Path(tempfile.mkdtemp())
(root / "central").mkdir()
linker = L.SkillsLinker()
result = linker.link("code-review", root / "central", root / "tools")
assert result == L.LinkResult("code-review", root / "tools" / "code-review", root / "central", "symlink", False)
assert linker.is_link_valid(result.link_path, root / "central")
assert linker.unlink(result.link_path) and not result.link_path.exists()
assert H.get_hostprint() == H._HOSTPRINT_FILE.read_text(encoding="utf-8")
"""


@pytest.fixture(scope="module")
def embed_rounds(tmp_path_factory):
    """The embedding program, built against the interpreter running the tests."""
    config = Path(sys._base_executable).with_name(f"python{sysconfig.get_config_var('LDVERSION')}-config")
    flags = run(str(config), "--cflags", "--ldflags", "--embed")
    assert flags.returncode == 0, flags.stderr
    program = tmp_path_factory.mktemp("embed") / "embed_rounds"
    # A static libpython (as in the free-threaded build made here) must export
    # its symbols from the program for extension modules to find them.
    exported = [] if sysconfig.get_config_var("Py_ENABLE_SHARED") else sysconfig.get_config_var("LINKFORSHARED").split()
    # The compiler runs without the sanitizer runtime that the tests may preload.
    built = run(os.environ.get("CC", "cc"), str(Path(__file__).with_name("embed_rounds.c")), "-o", str(program),
                *flags.stdout.split(), *exported, env={"LD_PRELOAD": ""})
    assert built.returncode == 0, built.stderr
    return program


@pytest.mark.parametrize("kept", [[], ["tavrin.skills.link.linker", "tavrin.telemetry.hostprint"],
                                  ["atexit", "tavrin.telemetry.hostprint:get_hostprint", "tavrin.skills.link.linker"]],
                         ids=["plain", "modules kept past the end", "a function kept, other at-exit callbacks"])
def test_interpreter_started_again(embed_rounds, kept, sandbox):
    script = sandbox.root / "round.py"
    script.write_text(USE_BOTH)
    result = run(str(embed_rounds), str(script), "3", *kept, env={"PYTHONPATH": sysconfig.get_paths()["purelib"]})
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.split("\n")[:3] == [f"round {n} passed" for n in (1, 2, 3)]


LATE_CALLS = """
import sys
from functools import partial
from pathlib import Path
import tavrin.skills.link.linker as L, tavrin.telemetry.hostprint as H

class Late:
    def __del__(self):
        for call in self.calls:
            try:
                outcome = type(call()).__name__
            except Exception as e:
                outcome = type(e).__name__
            self.write(f"late call: {outcome}\\n")

late = Late()
late.calls = [partial(L.SkillsLinker().link, "s", Path("central"), Path("tools")), H.get_hostprint]
late.write, late.cycle = sys.stderr.write, late  # collected among the last
"""


def test_calls_late_in_shutdown_fail_plainly():
    result = run(sys.executable, "-c", LATE_CALLS)
    assert result.returncode == 0 and "Fatal" not in result.stderr, result.stderr
    assert result.stderr.count("late call: ") == 2, result.stderr


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="-X showrefcount needs a debug build of CPython")
def test_nothing_left_at_exit():
    """What stays allocated at exit is what the modules' own imports leave."""
    def left_at_exit(code):
        result = run(sys.executable, "-X", "showrefcount", "-c", code)
        assert result.returncode == 0, result.stderr
        return result.stderr.strip().splitlines()[-1]

    assert left_at_exit(USE_BOTH) == left_at_exit("import dataclasses, pathlib, shutil, uuid, tavrin.config")
