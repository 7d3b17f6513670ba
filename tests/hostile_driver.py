"""Many calls with hostile arguments and hostile module globals, run as a
script in its own interpreter: each must return or raise an ordinary
exception. Prints how many calls ran. Usage: hostile_driver.py SANDBOX CALLS

Relative paths are among the hostile values, and removals may take the
working directory away: start the driver deep inside SANDBOX, so that they
all land inside it."""
import os
import random
import shutil
import sys
import types
from pathlib import Path

import tavrin.skills.link.linker as L
import tavrin.telemetry.hostprint as H

rng = random.Random(20261208)


def boom(*args, **kwargs):
    raise LookupError("hostile")


class Hostile:
    """Answers whatever is asked of it with an odd value, or raises."""

    def answer(self, *args, **kwargs):
        return boom() if rng.random() < 0.1 else rng.choice([None, 0, "", "x", b"", self, Hostile()])

    def __getattr__(self, name):
        return boom() if rng.random() < 0.2 else self.answer

    __truediv__ = __eq__ = __format__ = __str__ = __bool__ = answer


def contained_copytree(source, destination, **kwargs):
    # Hostile arguments could otherwise copy the sandbox into itself, or round a link loop, without end.
    if os.path.realpath(os.fspath(destination)).startswith(os.path.realpath(os.fspath(source))):
        raise OSError("copy into its own source")
    return shutil.copytree(source, destination, symlinks=True, **kwargs)


def remove_relative_paths_as_on_windows(start):
    """What a random run may reach only by chance: the Windows removal,
    rmdir then rmtree, of relative paths that lead upwards."""
    saved = L.sys
    L.sys = types.SimpleNamespace(platform="win32")
    for relative in ("..", "../..", "skill"):
        start.mkdir(parents=True, exist_ok=True)
        os.chdir(start)
        try:
            L.SkillsLinker()._safe_remove(relative)
        except OSError:
            pass
    L.sys = saved


def main():
    area, total, start = Path(sys.argv[1]) / "area", int(sys.argv[2]), Path.cwd()
    remove_relative_paths_as_on_windows(start)
    real = {"os": L.os, "sys": L.sys, "LinkResult": L.LinkResult, "shutil": types.SimpleNamespace(
        copytree=contained_copytree, ignore_patterns=shutil.ignore_patterns, rmtree=shutil.rmtree)}
    real_h = {"_cached": None, "_HOSTPRINT_FILE": H._HOSTPRINT_FILE, "uuid": H.uuid}
    arity = {"link": 3, "unlink": 1, "is_link_valid": 2, "_create_link": 2, "_create_windows_link": 2,
             "_safe_remove": 1, "get_hostprint": 0}
    linker, raised = L.SkillsLinker(), 0
    for call in range(total):
        if call % 200 == 0:  # calls may remove, replace or link anything in the area, or the start
            start.mkdir(parents=True, exist_ok=True)
            os.chdir(start)
            if area.is_symlink() or area.is_file():
                area.unlink()
            shutil.rmtree(area, ignore_errors=True)
            (area / "central" / "skill" / "data").mkdir(parents=True)
        paths = [area, area / "central" / "skill", area / "tools", area / "tools" / "skill", Hostile()]
        hostile = paths + [None, 2 ** 100, b"x", "..", "../..", type("S", (str,), {})("s"), object(), str(area)]
        for module, globals_ in ((L, real), (H, real_h)):
            for name, value in globals_.items():
                setattr(module, name, value if rng.random() < 0.7 else rng.choice(
                    hostile + [types.SimpleNamespace(symlink=boom, platform="win32", rmdir=boom)]))
        name = rng.choice(list(arity))
        function = H.get_hostprint if name == "get_hostprint" else getattr(L.SkillsLinker, name)
        if rng.random() < 0.6:  # well formed, so that hostile values reach deep into the bodies
            args = ([] if name == "get_hostprint" else [linker]) + [rng.choice(paths) for _ in range(arity[name])]
            if name == "link":
                args[1] = rng.choice(["skill", "skill", None])
        else:
            args = [rng.choice(hostile) for _ in range(rng.randrange(6))]
        kwargs = {rng.choice(["force", "skill_name", "bogus"]): rng.choice(hostile)} if rng.random() < 0.3 else {}
        try:
            function(*args, **kwargs)
        except SystemError:
            raise  # the C API misused: ours to fix, not the input's fault
        except Exception:
            raised += 1
    print(f"{total} calls, {raised} raised")


if __name__ == "__main__":
    main()
