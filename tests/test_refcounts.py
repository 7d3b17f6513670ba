"""Reference counts of arguments and results stay put over many calls."""
import sys

import pytest

import tavrin.skills.link.linker as L
from conftest import run_python

ROUNDS = 500


def counts(*objects):
    return [sys.getrefcount(o) for o in objects]


def repeat(call, expected_error=None):
    for _ in range(ROUNDS):
        try:
            call()
        except Exception as error:  # noqa: BLE001 - any error but the expected one fails below
            if expected_error is None or not isinstance(error, expected_error):
                raise
            del error


@pytest.fixture
def paths(tmp_path, central):
    return "".join(["code-", "review"]), central, tmp_path / "tools"


def test_link_and_unlink_success(linker, paths):
    name, central, tools = paths
    entry = tools / name
    before = counts(name, central, tools, entry, linker)

    def cycle():
        result = linker.link(name, central, tools, force=True)
        assert sys.getrefcount(result) == 2  # ours alone: nothing else holds the result
        assert linker.is_link_valid(result.link_path, central) is True
        assert linker.unlink(entry) is True
    repeat(cycle)
    assert counts(name, central, tools, entry, linker) == before


def test_windows_copy_path(linker, paths, windows):
    name, central, tools = paths
    entry = tools / name
    before = counts(name, central, tools, entry)
    # The emulation keeps its calls and last error; dropped so only our references count.
    repeat(lambda: (linker.link(name, central, tools), linker.unlink(entry),
                   windows.log.clear(), setattr(windows, "raised", None)))
    assert counts(name, central, tools, entry) == before


@pytest.mark.parametrize("case", ["wrong-type", "str-subclass", "unsafe-name", "occupied", "call-shape",
                                  "bad-force", "dangling-health", "return-check"])
def test_refusal_paths(linker, paths, case):
    name, central, tools = paths
    (tools / name).mkdir(parents=True)

    class MyStr(str):
        pass

    class BadBool:
        def __bool__(self):
            raise ZeroDivisionError

    class Odd(L.SkillsLinker):
        def _create_windows_link(self, target, link):
            return odd_result

    odd_result, bad_force, subclass_name, unsafe = object(), BadBool(), MyStr("x"), "../x"
    calls = {
        "wrong-type": (lambda: linker.link(None, central, tools), TypeError),
        "str-subclass": (lambda: linker.link(subclass_name, central, tools), TypeError),
        "unsafe-name": (lambda: linker.link(unsafe, central, tools, force=True), ValueError),
        "occupied": (lambda: linker.link(name, central, tools), ValueError),
        "call-shape": (lambda: linker.link(name, central, tools, True), TypeError),
        "bad-force": (lambda: linker.link(name, central, tools, force=bad_force), ZeroDivisionError),
        "dangling-health": (lambda: linker.is_link_valid(tools / "missing", central), None),
        "return-check": (lambda: Odd()._create_link(central, tools), TypeError),
    }
    call, error = calls[case]
    if case == "return-check":
        L.sys, saved = type("FakeSys", (), {"platform": "win32"}), L.sys
    try:
        watched = (name, central, tools, odd_result, bad_force, subclass_name, unsafe)
        before = counts(*watched)
        repeat(call, error)
        assert counts(*watched) == before
    finally:
        if case == "return-check":
            L.sys = saved


def test_hostprint_warm_and_error_paths(tmp_path):
    result = run_python("""
        import sys
        import tavrin.telemetry.hostprint as h
        value = h.get_hostprint()
        before = sys.getrefcount(value)
        for _ in range(1000):
            assert h.get_hostprint() is value
        assert sys.getrefcount(value) == before, "warm path leaks"
        h._cached = 42
        forty_two = sys.getrefcount(42)
        for _ in range(1000):
            try:
                h.get_hostprint()
            except TypeError:
                pass
        assert sys.getrefcount(42) == forty_two or forty_two > 1 << 30
        print("ok")
    """, env={"XDG_CONFIG_HOME": str(tmp_path)})
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
