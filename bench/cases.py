"""The benchmark cases, shared by the timing runner and the callgrind runner.

Each case holds callables taking no arguments, one per contender ("native",
"peer", and for some a third), that do the same work. The peer is the host
tool's own Python modules, the ones ours take the place of; both are loaded
in this one process.
"""

import contextlib
import importlib.metadata
import importlib.util
import os
import shutil
import sys
import tempfile
import types
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

# The identifier modules read CONFIG_DIR at import: point it at a sandbox.
SANDBOX = Path(tempfile.mkdtemp(prefix="tavrin-bench-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None))
os.environ["XDG_CONFIG_HOME"] = str(SANDBOX / "config")

import tavrin.skills.link.linker as native_linker  # noqa: E402
import tavrin.telemetry.hostprint as native_hostprint  # noqa: E402


def host_python_module(name):
    """The host's Python module `name`, which ours shadow on import, loaded
    from the file its distribution installed."""
    source = importlib.metadata.distribution("tavrin").locate_file(name.replace(".", "/") + ".py")
    spec = importlib.util.spec_from_file_location(name, source)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


peer_linker = host_python_module("tavrin.skills.link.linker")
peer_hostprint = host_python_module("tavrin.telemetry.hostprint")

LINKERS = {"native": native_linker, "peer": peer_linker}


@dataclass
class Case:
    name: str
    runs: dict[str, Callable[[], object]] = field(default_factory=dict)
    stub_os: bool = False  # replace the linkers' `os` global while timing


class StubPath:
    """The cheapest path that link() accepts: nothing exists, mkdir is free.

    Every method is a C callable that does not bind (so it is called without
    self), which keeps Python frames out of the stubbed cases: what remains
    is the cost of the module itself.
    """

    __slots__ = ()
    exists = is_symlink = "".__len__  # () -> 0, false
    mkdir = "".format  # accepts parents=..., exist_ok=...


StubPath.__truediv__ = {"code-review": StubPath(), "../up": StubPath()}.get
STUB_OS = types.SimpleNamespace(symlink="".format)


@contextlib.contextmanager
def os_stubbed(active):
    if active:
        for module in LINKERS.values():
            module.os = STUB_OS
    try:
        yield
    finally:
        for module in LINKERS.values():
            module.os = os


def refused(call):
    def run():
        try:
            call()
        except (ValueError, TypeError):
            pass
    return run


def plain_global_function(value):
    """A Python function returning a module global when it is true."""
    namespace = {"_value": value}
    exec("def plain():\n    if _value:\n        return _value\n", namespace)
    return namespace["plain"]


def real_tree(kind):
    root = SANDBOX / kind
    central = root / "central" / "code-review"
    (central / "data").mkdir(parents=True)
    (central / "data" / "VERSION.json").write_text("{}")
    tools = root / "tools"
    tools.mkdir()
    shutil.copytree(central, tools / "copied")
    (tools / "healthy").symlink_to(central)
    (tools / "occupied").mkdir()
    return central, tools


def build() -> list[Case]:
    identifier = native_hostprint.get_hostprint()
    peer_hostprint._cached = identifier  # both caches primed with the same value
    cases = [Case("warm get_hostprint()", {
        "native": native_hostprint.get_hostprint,
        "peer": peer_hostprint.get_hostprint,
        "plain": plain_global_function(identifier),
    })]
    named = {}

    def add(name, kind, run, stub_os=False):
        if name not in named:
            named[name] = Case(name, stub_os=stub_os)
            cases.append(named[name])
        named[name].runs[kind] = run

    for kind, module in LINKERS.items():
        linker, linker_class, stub = module.SkillsLinker(), module.SkillsLinker, StubPath()
        central, tools = real_tree(kind)
        entry, copied, healthy = tools / "code-review", tools / "copied", tools / "healthy"

        def link_then_unlink(linker=linker, central=central, tools=tools, entry=entry):
            linker.link("code-review", central, tools)
            linker.unlink(entry)

        add("link + unlink, real files", kind, link_then_unlink)
        add("is_link_valid, symbolic link", kind, lambda l=linker, e=healthy, c=central: l.is_link_valid(e, c))
        add("is_link_valid, copy + marker", kind, lambda l=linker, e=copied, c=central: l.is_link_valid(e, c))
        add("refused: occupied", kind, refused(lambda l=linker, c=central, t=tools: l.link("occupied", c, t)))
        add("refused: wrong type", kind, refused(lambda l=linker, s=stub: l.link(None, s, s)))
        add("refused: unsafe name", kind, refused(lambda l=linker, s=stub: l.link("../up", s, s)))
        add("link, stubbed I/O", kind, lambda l=linker, s=stub: l.link("code-review", s, s), stub_os=True)
        add("unlink via instance, stub", kind, lambda l=linker, s=stub: l.unlink(s))
        add("unlink via class, stub", kind, lambda c=linker_class, l=linker, s=stub: c.unlink(l, s))
    return cases


def cleanup():
    shutil.rmtree(SANDBOX, ignore_errors=True)
