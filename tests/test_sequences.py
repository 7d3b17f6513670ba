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
    "the module freed while one of its functions runs": """
        import sys, tempfile
        from pathlib import Path
        import tavrin.skills.link, tavrin.telemetry, tavrin.skills.link.linker as L, tavrin.telemetry.hostprint as H
        get_hostprint, Linker = H.get_hostprint, L.SkillsLinker
        class Drops:
            def exists(self):
                del sys.modules["tavrin.telemetry.hostprint"], tavrin.telemetry.hostprint
                return True
            def read_text(self, encoding):
                return " from the file "
        H._HOSTPRINT_FILE, H._cached = Drops(), None
        class DropsLinker(Linker):
            def _safe_remove(self, path):
                del sys.modules["tavrin.skills.link.linker"], tavrin.skills.link.linker
                path.unlink()
        del H, L
        print(get_hostprint())
        root = Path(tempfile.mkdtemp())
        (root / "central").mkdir()
        Linker().link("s", root / "central", root / "tools")
        print(DropsLinker().link("s", root / "central", root / "tools", force=True).replaced)""",
    "keys with their own __eq__": """
        import os, tempfile
        from pathlib import Path
        import tavrin.skills.link.linker as L
        class Named(str):
            def __eq__(self, other):
                return other == "link_path"
            __hash__ = str.__hash__
        print(L.SkillsLinker().unlink(**{Named("zz"): Path(tempfile.mkdtemp()) / "none"}))
        class Raising:
            armed = False
            def __hash__(self):
                return hash("os")
            def __eq__(self, other):
                if Raising.armed:
                    Raising.armed = False
                    raise ZeroDivisionError("from __eq__")
                return False
        del vars(L)["os"]
        vars(L)[Raising()], vars(L)["os"] = 1, os
        Raising.armed = True
        try:
            L.SkillsLinker()._create_link(Path("t"), Path(tempfile.mkdtemp()) / "l")
        except ZeroDivisionError as e:
            print(e, e.__context__)""",
    "the module's body run again while a call binds its arguments": """
        import gc, importlib, sys, tempfile
        from pathlib import Path
        import tavrin.skills.link, tavrin.skills.link.linker as L
        Linker, link = L.SkillsLinker, L.SkillsLinker.link
        link.__code__ = link.__code__.replace()  # the code made with the function is then held by the module alone
        del L
        class Force(str):
            done = False
            def __eq__(self, other):
                global tavrin
                if not Force.done:
                    Force.done = True
                    del sys.modules["tavrin.skills.link.linker"], tavrin.skills.link.linker
                    gc.collect()
                    importlib.import_module("tavrin.skills.link.linker")
                    junk = [(index, -index, index, -index, index) for index in range(10000)]
                return str.__eq__(self, other)
            __hash__ = str.__hash__
        root = Path(tempfile.mkdtemp())
        try:
            link(Linker(), None, root, root, **{Force("force"): False})
        except TypeError as e:
            print(e)""",
    "an exception handled around a generator": """
        import sys, tempfile, types
        from pathlib import Path
        import tavrin.skills.link.linker as L
        root = Path(tempfile.mkdtemp())
        (root / "central").mkdir()
        def steps():
            yield L.SkillsLinker()._create_windows_link(root / "central", root / "no" / "such")
            yield sys.exception()
        try:
            raise KeyError("outer")
        except KeyError:
            running = steps()
            print(next(running))
        print(repr(next(running)))""",
    "the source lines of failures": """
        import os, sys, tempfile, traceback, types
        from pathlib import Path
        import tavrin.skills.link.linker as L, tavrin.telemetry.hostprint as H
        root = Path(tempfile.mkdtemp())
        (root / "central").mkdir()
        linker = L.SkillsLinker()
        linker.link("s", root / "central", root / "tools")
        class Odd(L.SkillsLinker):
            def _create_windows_link(self, target, link):
                return 1
        def windows_odd():
            L.sys = types.SimpleNamespace(platform="win32")
            try:
                Odd().link("w", root / "central", root / "tools")
            finally:
                L.sys = sys
        def cached_odd():
            H._cached = 42
            H.get_hostprint()
        for call in (lambda: linker.link("s", root / "central", root / "tools"), lambda: linker.link(1, root, root),
                     lambda: linker.link("s", root, "tools"), lambda: linker.link("a/b", root, root),
                     lambda: linker.link("s", root, root / "tools", force=True, x=1), windows_odd, cached_odd,
                     lambda: linker.link("e", "a\\0b", root / "tools"), lambda: linker.unlink(Path("\\0")),
                     lambda: linker.is_link_valid(root / "tools" / "s", object())):
            try:
                call()
            except Exception as e:
                entries = traceback.extract_tb(e.__traceback__)[1:]
                print(type(e).__name__, [(os.path.basename(f.filename), f.lineno, f.line) for f in entries
                                         if f.filename.endswith((".py", ".so"))])""",
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
