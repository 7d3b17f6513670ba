"""Sequences of Python code that once crashed our modules or told them
apart: each runs in fresh interpreters, with ours and with the host's Python
modules, and must print the same."""
import pytest

from conftest import run_with_each

SEQUENCES = {
    "an import from a weak reference's callback while the module is freed": """
        import gc, importlib, sys, weakref
        import tavrin.telemetry, tavrin.telemetry.hostprint as H
        del sys.modules["tavrin.telemetry.hostprint"], tavrin.telemetry.hostprint, H.get_hostprint
        again = []
        ref = weakref.ref(H, lambda _: again.append(importlib.import_module("tavrin.telemetry.hostprint")))
        del H
        gc.collect()
        print(again[0].get_hostprint() == again[0]._cached, again[0] is sys.modules["tavrin.telemetry.hostprint"])""",
    "keys equal to a watched name, not exact str": """
        import os, tempfile
        from pathlib import Path
        import tavrin.telemetry.hostprint as H, tavrin.skills.link.linker as L
        class Text(str): pass
        class Same:
            def __init__(self, name): self.name = name
            def __hash__(self): return hash(self.name)
            def __eq__(self, other): return other == self.name
        H.get_hostprint()
        vars(H)[Text("_cached")] = "from a str subclass"
        print(H.get_hostprint())
        vars(H)[Same("_cached")] = "from an equal key"
        print(H.get_hostprint())
        root = Path(tempfile.mkdtemp())
        L.SkillsLinker().link("a", root, root / "tools")
        calls = []
        vars(L)[Same("os")] = type("os", (), {"symlink": staticmethod(lambda *a: calls.append(len(a)))})
        print(L.SkillsLinker().link("b", root, root / "tools").method, calls)""",
    "an audit hook that refuses to make code objects": """
        import inspect, sys
        def refuse(event, args):
            if event == "code.__new__":
                raise PermissionError(event)
        sys.addaudithook(refuse)
        import tavrin.skills.link.linker as L, tavrin.telemetry.hostprint as H
        for function in [*vars(L.SkillsLinker).values(), H.get_hostprint]:
            if inspect.isfunction(function):
                print(function.__name__, inspect.signature(function), function.__code__.co_firstlineno)""",
    "a sub-interpreter that imported first and is gone": """
        import _testcapi
        print(_testcapi.run_in_subinterp("import tavrin.skills.link.linker, tavrin.telemetry.hostprint"))
        import tavrin.skills.link.linker as L, tavrin.telemetry.hostprint as H
        print(L.SkillsLinker.link.__qualname__, len(H.get_hostprint()))""",
    "an audit hook that reads and calls every function on every event": """
        import sys, tempfile
        from pathlib import Path
        import tavrin.skills.link.linker as L, tavrin.telemetry.hostprint as H
        root = Path(tempfile.mkdtemp())
        (root / "central").mkdir()
        functions = [getattr(L.SkillsLinker, name) for name in
                     ("link", "unlink", "is_link_valid", "_create_link", "_create_windows_link", "_safe_remove")]
        functions.append(H.get_hostprint)
        inside = []
        def reenter(event, args):
            if inside or not event.startswith(("os.", "object.", "open")):
                return
            inside.append(event)
            try:
                for function in functions:
                    function.__code__, function.__annotations__, getattr(function, "__annotate__", None)
                H.get_hostprint()
                L.SkillsLinker().is_link_valid(root / "tools" / "s", root / "central")
            finally:
                inside.pop()
        sys.addaudithook(reenter)
        linker = L.SkillsLinker()
        for call in (lambda: linker.link("s", root / "central", root / "tools").method,
                     lambda: linker.link("s", root / "central", root / "tools"),
                     lambda: linker.link("s", root / "central", root / "tools", force=True).replaced,
                     lambda: linker.is_link_valid(root / "tools" / "s", root / "central"),
                     lambda: linker.unlink(root / "tools" / "s"), lambda: linker.link(1, root, root),
                     lambda: len(H.get_hostprint()), lambda: H.get_hostprint(1)):
            try:
                print(call())
            except Exception as e:
                print(type(e).__name__)""",
}


@pytest.mark.parametrize("sequence", SEQUENCES)
def test_sequence_gives_what_the_host_modules_give(sequence, sandbox):
    ours, host = run_with_each(SEQUENCES[sequence])
    assert host.returncode == 0, host.stderr
    assert (ours.returncode, ours.stdout) == (0, host.stdout), ours.stderr
