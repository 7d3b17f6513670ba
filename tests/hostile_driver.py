"""Makes many calls with hostile arguments and hostile module globals.

Run as a script in its own interpreter (it rebinds module globals freely);
every call must return or raise an ordinary exception. Prints the count.
Usage: hostile_driver.py SANDBOX CALLS
"""
import os
import random
import shutil
import sys
import types
from pathlib import Path

import tavrin.skills.link.linker as L
import tavrin.telemetry.hostprint as H


class Boom(Exception):
    pass


def boom(*args, **kwargs):
    raise Boom


class MyStr(str):
    pass


class BadBool:
    def __bool__(self):
        raise Boom


class BadEq:
    def __eq__(self, other):
        return BadBool()

    __hash__ = None


class BadFormat:
    def __format__(self, spec):
        return 42

    def __str__(self):
        return 42


class Raising:
    """Every attribute, operator and conversion raises."""

    def __getattr__(self, name):
        raise Boom

    __truediv__ = __bool__ = __eq__ = __str__ = __format__ = boom


class OddPath:
    """A path-like whose methods answer with odd types; built per call."""

    def __init__(self, rng):
        self.rng = rng

    def _odd(self, *args, **kwargs):
        return self.rng.choice([None, 0, 1, "", "x", BadBool(), BadEq(), b"", [], self, Raising()])

    def __getattr__(self, name):
        if self.rng.random() < 0.2:
            raise Boom
        return self._odd

    def __truediv__(self, other):
        return self.rng.choice([self, None, OddPath(self.rng), Raising(), 3])

    def __format__(self, spec):
        return self.rng.choice(["formatted", 42, None])

    def __str__(self):
        return self.rng.choice(["odd", 42])


def hostile_values(rng, sandbox):
    return [None, 0, -1, 2 ** 100, 1.5, b"bytes", "plain", "", "..", "a/b", "x\0y", MyStr("s"),
            object(), [], {}, BadBool(), BadEq(), BadFormat(), Raising(), OddPath(rng),
            sandbox, sandbox / "tools", sandbox / "central" / "skill", sandbox / "missing" / "deep",
            str(sandbox), L.SkillsLinker(), type]


def hostile_module(rng):
    return rng.choice([None, 0, object(), Raising(), types.SimpleNamespace(),
                       types.SimpleNamespace(symlink=boom, rmdir=boom, copytree=boom, rmtree=boom,
                                             ignore_patterns=boom, platform=BadEq()),
                       types.SimpleNamespace(symlink=lambda *a, **k: BadBool(), rmdir=lambda *a: None,
                                             copytree=lambda *a, **k: None, rmtree=lambda *a: None,
                                             ignore_patterns=lambda *a: None,
                                             platform=rng.choice(["win32", "linux", MyStr("win32")]))])


def contained_shutil():
    """The real shutil, except that a copy into its own source is refused and
    links are copied as links: hostile arguments would otherwise copy the
    sandbox into itself, or around a link loop, without end."""
    def copytree(source, destination, **kwargs):
        inside = os.path.realpath(os.fspath(destination)).startswith(os.path.realpath(os.fspath(source)))
        if inside:
            raise OSError("copy into its own source")
        return shutil.copytree(source, destination, symlinks=True, **kwargs)
    return types.SimpleNamespace(copytree=copytree, ignore_patterns=shutil.ignore_patterns, rmtree=shutil.rmtree)


def reset(area):
    """Calls may remove, replace or link anything inside the area: start afresh."""
    if area.is_symlink() or area.is_file():
        area.unlink()
    elif area.exists():
        shutil.rmtree(area)
    (area / "central" / "skill" / "data").mkdir(parents=True)
    (area / "tools").mkdir()


def main():
    total = int(sys.argv[2])
    sandbox = Path(sys.argv[1]) / "area"
    rng = random.Random(20261208)
    real = {"os": L.os, "shutil": contained_shutil(), "sys": L.sys, "LinkResult": L.LinkResult}
    real_hostprint = {"_cached": H._cached, "_HOSTPRINT_FILE": H._HOSTPRINT_FILE, "uuid": H.uuid}
    linker = L.SkillsLinker()
    # Arguments after self that each function takes.
    arity = {"link": 3, "unlink": 1, "is_link_valid": 2, "_create_link": 2, "_create_windows_link": 2,
             "_safe_remove": 1, "get_hostprint": 0}
    calls, raised = 0, {}
    while calls < total:
        if calls % 200 == 0:
            reset(sandbox)
        # Globals: mostly the real ones (so calls get deep), sometimes hostile.
        for name, value in real.items():
            setattr(L, name, value if rng.random() < 0.85 else hostile_module(rng))
        for name, value in real_hostprint.items():
            choice = rng.random()
            hostile = rng.choice([None, "", 42, MyStr("id"), BadBool(), OddPath(rng), Raising(),
                                  sandbox / "missing" / "hostprint", sandbox / "tools"])
            setattr(H, name, value if choice < 0.5 else hostile)
        values = hostile_values(rng, sandbox)
        paths = [sandbox / "tools", sandbox / "central" / "skill", sandbox / "tools" / "skill",
                 sandbox / "missing", OddPath(rng)]
        name = rng.choice(list(arity))
        function = getattr(L.SkillsLinker, name, None) if name != "get_hostprint" else H.get_hostprint
        if rng.random() < 0.6:
            # Well-formed calls, so that hostile values reach deep into the bodies.
            args = [linker] if name != "get_hostprint" else []
            args += [rng.choice(paths + values[:3]) for _ in range(arity[name])]
            if name == "link":
                args[1] = rng.choice(["skill", "skill", MyStr("skill"), None, ""])
        else:
            args = [rng.choice(values) for _ in range(rng.choice([0, 1, 2, 3, 4, 5]))]
        kwargs = {}
        if rng.random() < 0.3:
            kwargs[rng.choice(["force", "force", "skill_name", "link_path", "bogus"])] = rng.choice(values + [True])
        try:
            function(*args, **kwargs)
        except SystemError:
            raise  # the C API misused: a bug of ours, not a hostile input's
        except Exception as error:  # any ordinary exception is a fine outcome
            raised[type(error).__name__] = raised.get(type(error).__name__, 0) + 1
        calls += 1
    for name, value in real.items():
        setattr(L, name, value)
    print(f"{calls} calls, {sum(raised.values())} raised")
    print(", ".join(f"{name}: {count}" for name, count in sorted(raised.items(), key=lambda item: -item[1])))


if __name__ == "__main__":
    main()
