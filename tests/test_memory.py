"""100,000 calls of each public call, error paths included, on in-memory
paths: after warm-up the interpreter's count of allocated blocks stays put,
and so do the reference counts of everything passed in."""
import contextlib
import gc
import itertools
import os
import sys
import types

import pytest

import tavrin.skills.link.linker as L
import tavrin.telemetry.hostprint as H

CALLS = 100_000


def answer(value):
    """A C callable that returns `value`, so that stubs add no Python frames."""
    return itertools.repeat(value).__next__


class Entry:
    """An in-memory path: whether it exists, whether it is a link, what it
    resolves to, and the entry below it."""

    def __init__(self, exists=False, link=False, resolves_to="central", below=None):
        self.exists, self.is_symlink, self.resolve = answer(exists), answer(link), answer(resolves_to)
        self.mkdir = self.unlink = self.write_text = "".format  # accept anything, do nothing
        self.below = below
        self.parent = self

    def __truediv__(self, name):
        return self.below if self.below is not None else self

    def __format__(self, spec):
        return "entry"


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError


def refuse(*args, **kwargs):
    raise PermissionError(1314, "privilege not held")


free, linked, directory = Entry(), Entry(exists=True, link=True), Entry(exists=True)
tools_free, tools_linked, tools_directory = Entry(below=free), Entry(below=linked), Entry(below=directory)
central, copy = Entry(exists=True), Entry(exists=True, below=Entry(exists=True))
skill, odd_skill, bad_bool = "".join(["code-", "review"]), type("Odd", (str,), {})("odd"), BadBool()
linker = L.SkillsLinker()
POSIX = {"os": types.SimpleNamespace(symlink="".format), "shutil": types.SimpleNamespace(rmtree="".format)}
WINDOWS = {"sys": types.SimpleNamespace(platform="win32"), "os": types.SimpleNamespace(symlink=refuse, rmdir=refuse),
           "shutil": types.SimpleNamespace(copytree="".format, ignore_patterns="".format, rmtree="".format)}

LINKER_CALLS = {
    "link": lambda: linker.link(skill, central, tools_free),
    "link, forced over a link": lambda: linker.link(skill, central, tools_linked, force=True),
    "link, forced over a directory": lambda: linker.link(skill, central, tools_directory, force=True),
    "refused: not a str": lambda: linker.link(None, central, tools_free),
    "refused: a str subclass": lambda: linker.link(odd_skill, central, tools_free),
    "refused: unsafe name": lambda: linker.link("../x", central, tools_free),
    "refused: occupied": lambda: linker.link(skill, central, tools_linked),
    "refused: force without a truth value": lambda: linker.link(skill, central, tools_free, force=bad_bool),
    "refused: missing arguments": lambda: linker.link(skill),
    "unlink": lambda: linker.unlink(linked),
    "unlink, nothing there": lambda: linker.unlink(free),
    "is_link_valid, link": lambda: linker.is_link_valid(linked, central),
    "is_link_valid, copy": lambda: linker.is_link_valid(copy, central),
    "is_link_valid, nothing there": lambda: linker.is_link_valid(free, central),
}
WINDOWS_CALLS = {
    "link on Windows, copy fallback": lambda: linker.link(skill, central, tools_free),
    "link on Windows, forced over a directory": lambda: linker.link(skill, central, tools_directory, force=True),
}
HOSTPRINT_CALLS = {
    "get_hostprint, warm": lambda: H.get_hostprint(),
    "get_hostprint, cold": lambda: (setattr(H, "_cached", None), H.get_hostprint()),
    "get_hostprint, cache without a truth value": lambda: (setattr(H, "_cached", bad_bool), H.get_hostprint()),
    "get_hostprint, refused arguments": lambda: H.get_hostprint(1),
}
CASES = {**{name: (call, POSIX) for name, call in LINKER_CALLS.items()},
         **{name: (call, WINDOWS) for name, call in WINDOWS_CALLS.items()},
         **{name: (call, {}) for name, call in HOSTPRINT_CALLS.items()}}
PASSED_IN = (skill, odd_skill, bad_bool, free, linked, directory, central, copy, tools_free, tools_linked)


@pytest.mark.skipif(bool(os.environ.get("TAVRIN_SANITIZER_BUILD")), reason="PYTHONMALLOC=malloc counts no blocks")
@pytest.mark.parametrize("case", CASES)
def test_many_calls_keep_memory_flat(case, monkeypatch):
    call, module_globals = CASES[case]
    for name, value in module_globals.items():
        monkeypatch.setattr(L, name, value)
    monkeypatch.setattr(H, "_HOSTPRINT_FILE", Entry())
    monkeypatch.setattr(H, "_cached", "9b2f4a8e-3c1d-4e5f-8a7b-6c5d4e3f2a1b")

    def calls(count):
        for _ in range(count):
            with contextlib.suppress(TypeError, ValueError, ZeroDivisionError):
                call()

    calls(1000)  # caches, free lists and interned names settle first
    gc.collect()
    blocks, references = sys.getallocatedblocks(), [sys.getrefcount(o) for o in PASSED_IN]
    calls(CALLS)
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 50  # a leak per call would leave 100,000
    assert [sys.getrefcount(o) for o in PASSED_IN] == references
