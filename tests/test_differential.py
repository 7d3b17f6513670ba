"""The extension modules against the host's own Python modules, scenario by
scenario: each scenario runs once with each, in a directory of its own, and
both must give the same results, raise the same exceptions with the same
messages and notes, make the same calls and leave the same files. Where the
interpreter itself makes them differ, the test says so."""
import dataclasses
import inspect
import os
import re
from pathlib import Path

import pytest

import tavrin.skills.link.linker as L
import tavrin.telemetry.hostprint as H
from conftest import UUID4, Windows, host_module, tree_digest

PYTHON_L, PYTHON_H = host_module("tavrin.skills.link.linker"), host_module("tavrin.telemetry.hostprint")
IMPLEMENTATIONS = {"extension": (L, H), "python": (PYTHON_L, PYTHON_H)}
METHODS = ["link", "unlink", "is_link_valid", "_create_link", "_create_windows_link", "_safe_remove"]
ANY_UUID4 = re.compile(UUID4.pattern.strip("^$"))


class MyStr(str):
    pass


def attempt(call):
    """What a call gave: its value, or its exception with message, notes and context."""
    try:
        return ("returned", call())
    except Exception as error:
        context = type(error.__context__).__name__ if error.__context__ else None
        return ("raised", type(error).__name__, str(error), getattr(error, "__notes__", None), context)


def make_central(root):
    """A skill in the central store, with the entries a copy leaves out."""
    skill = root / "central" / "code-review"
    for name, content in [("data/VERSION.json", "{}"), ("SKILL.md", "#"), ("__pycache__/m.cpython-312.pyc", ""),
                          ("tool.pyc", ""), ("tool.pyo", ""), ("tool.py", "pass")]:
        (skill / name).parent.mkdir(parents=True, exist_ok=True)
        (skill / name).write_text(content)
    return skill


def occupy(path, kind):
    if kind == "directory":
        (path / "inside").mkdir(parents=True)
    elif kind == "file":
        path.write_text("keep")
    elif kind == "dangling link":
        path.symlink_to(path.parent / "gone")
    elif kind == "link":
        path.symlink_to(make_central(path.parent / "elsewhere"))


class Recorder:
    """A path that logs every method called on it, and on paths made from it."""

    def __init__(self, path, log):
        self.path, self.log = path, log

    def __truediv__(self, name):
        self.log.append(("/", self.path.name, name))
        return Recorder(self.path / name, self.log)

    def __getattr__(self, name):
        method = getattr(self.path, name)
        return lambda *args, **kwargs: (self.log.append((name, self.path.name, kwargs)), method(*args, **kwargs))[1]

    def __fspath__(self):
        return os.fspath(self.path)

    def __format__(self, spec):
        return format(self.path, spec)

    def __repr__(self):
        return f"Recorder({self.path!r})"


# --- Linker scenarios: each takes the linker module and its own root directory. ---

def link_into_missing_tools_directory(m, root):
    central, tools = make_central(root), root / "home" / ".agent" / "skills"
    result = attempt(lambda: m.SkillsLinker().link("code-review", central, tools))
    return [result, attempt(lambda: m.SkillsLinker().is_link_valid(tools / "code-review", central))]


def occupied_entries_without_and_with_force(m, root):
    central, outcomes = make_central(root), []
    for kind in ("directory", "file", "dangling link", "link"):
        tools = root / kind.replace(" ", "-")
        tools.mkdir()
        occupy(tools / "code-review", kind)
        for force in (False, 0, "", True, "yes"):
            outcomes.append(attempt(lambda: m.SkillsLinker().link("code-review", central, tools, force=force)))
    return outcomes


def force_on_a_free_path_and_a_missing_central(m, root):
    linker, tools = m.SkillsLinker(), root / "tools"
    return [attempt(lambda: linker.link("code-review", make_central(root), tools, force=True)),
            attempt(lambda: linker.link("absent", root / "no-such-skill", tools)),
            attempt(lambda: linker.link("relative", Path("relative", "skill"), tools)),
            attempt(lambda: linker.is_link_valid(tools / "absent", root / "no-such-skill"))]


def refused_names_and_argument_shapes(m, root):
    linker, central, tools = m.SkillsLinker(), make_central(root), root / "tools"
    names = [None, MyStr("s"), b"s", 1, "", ".", "..", "../up", "a/b", "/abs", "a\\b", "C:", "a\0b"]
    calls = [lambda name=name: linker.link(name, central, tools, force=True) for name in names]
    calls += [lambda: linker.link("s", central, tools, True), lambda: linker.link("s"),
              lambda: linker.link("s", central, tools, skill_name="t"), lambda: linker.link("s", central, tools, x=1),
              lambda: linker.link("s", central, str(tools)), lambda: linker.unlink(), lambda: linker.unlink(1, 2),
              lambda: linker.is_link_valid(tools), lambda: m.SkillsLinker.unlink(link_path=tools),
              lambda: m.LinkResult("a", Path("x"), Path("y"), "symlink"), lambda: hash(m.LinkResult(1, 2, 3, 4, 5))]
    return [attempt(call) for call in calls]


def unlink_every_kind_of_entry(m, root):
    central, outcomes = make_central(root), []
    for kind in ("directory", "file", "dangling link", "link", None):
        entry = root / "tools" / str(kind)
        entry.parent.mkdir(exist_ok=True)
        if kind:
            occupy(entry, kind)
        outcomes += [attempt(lambda: m.SkillsLinker().unlink(entry)), attempt(lambda: m.SkillsLinker().unlink(entry))]
    (root / "tools" / "to-central").symlink_to(central)
    outcomes.append(attempt(lambda: m.SkillsLinker().unlink(root / "tools" / "to-central")))
    return outcomes


def health_checks(m, root):
    central, tools, linker = make_central(root), root / "tools", m.SkillsLinker()
    tools.mkdir()
    (tools / "link").symlink_to(central)
    (tools / "alias").symlink_to(central.parent)
    (tools / "loop").symlink_to(tools / "loop")
    (tools / "dangling").symlink_to(root / "moved")
    (tools / "copy" / "data").mkdir(parents=True)
    (tools / "copy" / "data" / "VERSION.json").write_text("{}")
    (tools / "bare-copy").mkdir()
    (tools / "file").write_text("x")
    relative = Path(os.path.relpath(central))
    pairs = [("link", central), ("link", relative), ("link", tools / "alias" / "code-review"), ("link", central.parent),
             ("loop", central), ("loop", tools / "loop"), ("dangling", root / "moved"), ("dangling", central),
             ("copy", root / "anything"), ("bare-copy", central), ("file", central), ("missing", central)]
    return [attempt(lambda: linker.is_link_valid(tools / entry, expected)) for entry, expected in pairs]


def windows_strategies(m, root):
    central, outcomes = make_central(root), []
    for refuse in (False, True):
        tools = root / f"tools-{refuse}"
        with Windows(refuse=refuse, module=m) as windows:
            linker = m.SkillsLinker()
            outcomes.append(attempt(lambda: linker.link("code-review", central, tools)))
            outcomes.append(attempt(lambda: linker.link("code-review", central, tools, force=True)))
            outcomes.append(attempt(lambda: linker.unlink(tools / "code-review")))
            outcomes.append([(name, len(args), sorted(kwargs)) for name, args, kwargs in windows.log])
    def refuse_copy(*args, **kwargs):
        raise FileExistsError("copy refused")
    with Windows(module=m):
        m.shutil.copytree = refuse_copy
        outcomes.append(attempt(lambda: m.SkillsLinker().link("other", central, root / "tools-copy-fails")))
    return outcomes


def call_order(m, root):
    central, log = make_central(root), []
    tools = Recorder(root / "tools", log)
    linker = m.SkillsLinker()
    for call in (lambda: linker.link("code-review", central, tools),
                 lambda: linker.is_link_valid(tools / "code-review", central),
                 lambda: linker.link("code-review", central, tools, force=True),
                 lambda: linker.unlink(tools / "code-review"), lambda: linker.unlink(tools / "code-review"),
                 lambda: linker.is_link_valid(tools / "code-review", central)):
        log.append(attempt(call))
    return log


def every_method_with_each_count_of_positional_arguments(m, root):
    # Too few, exactly the positional parameters (keyword-only ones left to
    # their defaults), all of them, and one too many.
    linker, outcomes = m.SkillsLinker(), []
    for name in METHODS:
        method = getattr(linker, name)
        for count in range(len(inspect.signature(method).parameters) + 2):
            outcomes.append(attempt(lambda: method(*(root / f"{name}-{count}-{i}" for i in range(count)))))
    return outcomes


LINKER_SCENARIOS = [link_into_missing_tools_directory, occupied_entries_without_and_with_force,
                    force_on_a_free_path_and_a_missing_central, refused_names_and_argument_shapes,
                    unlink_every_kind_of_entry, health_checks, windows_strategies, call_order,
                    every_method_with_each_count_of_positional_arguments]


# --- Identifier scenarios: each takes the identifier module, with its file moved into its own root. ---

def file_state(content):
    def scenario(m, root):
        if content is not None:
            m._HOSTPRINT_FILE.parent.mkdir(parents=True)
            (m._HOSTPRINT_FILE.write_bytes if isinstance(content, bytes) else m._HOSTPRINT_FILE.write_text)(content)
        first = attempt(m.get_hostprint)
        return [first, attempt(m.get_hostprint) == first, m._cached]
    scenario.__name__ = f"identifier file {content!r}"
    return scenario


def identifier_file_is_a_directory(m, root):
    m._HOSTPRINT_FILE.mkdir(parents=True)
    return [attempt(m.get_hostprint), attempt(m.get_hostprint), m._cached]


def configuration_cannot_be_written(m, root):
    (root / "config").write_text("a file where the directory should be")
    first = attempt(m.get_hostprint)
    return [first, attempt(m.get_hostprint) == first]


def cache_rebound_from_outside(m, root):
    first, outcomes = attempt(m.get_hostprint), []
    for value in ("", None, "outside", 42, MyStr("x")):
        m._cached = value
        outcomes.append(attempt(m.get_hostprint))
    m._cached = None
    m._HOSTPRINT_FILE.unlink()
    outcomes.append(attempt(m.get_hostprint) != first)
    return [first, *outcomes]


IDENTIFIER_SCENARIOS = [file_state(None), file_state(" abc \n"), file_state(""), file_state(" \t\n"),
                        file_state("\ufeffx"), file_state(b"\xff\xfe"), identifier_file_is_a_directory,
                        configuration_cannot_be_written, cache_rebound_from_outside]


def observed(scenario, module, root, monkeypatch):
    """The scenario's outcomes and the files it left, with its root spelled ROOT
    and generated identifiers spelled UUID4, so that two runs compare."""
    root.mkdir()
    monkeypatch.chdir(root)
    outcomes = scenario(module, root)
    spelled = repr((outcomes, tree_digest(root))).replace(str(root), "ROOT")
    return ANY_UUID4.sub("UUID4", spelled)


@pytest.mark.parametrize("scenario", LINKER_SCENARIOS, ids=lambda scenario: scenario.__name__)
def test_linker_scenario(scenario, tmp_path, monkeypatch):
    extension, python = (observed(scenario, IMPLEMENTATIONS[name][0], tmp_path / name, monkeypatch)
                         for name in IMPLEMENTATIONS)
    assert extension == python


@pytest.mark.parametrize("scenario", IDENTIFIER_SCENARIOS, ids=lambda scenario: scenario.__name__)
def test_identifier_scenario(scenario, tmp_path, monkeypatch):
    outcomes = {}
    for name, (_, module) in IMPLEMENTATIONS.items():
        monkeypatch.setattr(module, "_HOSTPRINT_FILE", tmp_path / name / "config" / "hostprint")
        monkeypatch.setattr(module, "_cached", None)
        outcomes[name] = observed(scenario, module, tmp_path / name, monkeypatch)
    assert outcomes["extension"] == outcomes["python"]


def test_get_hostprint_refuses_arguments_as_a_no_argument_builtin_does():
    """Here the two differ by design: ours answers as a function registered
    as taking no arguments does, keywords first; a Python function cannot."""
    for call, ours, python in [
            (lambda m: m.get_hostprint(1), "get_hostprint() takes no arguments (1 given)",
             "get_hostprint() takes 0 positional arguments but 1 was given"),
            (lambda m: m.get_hostprint(1, x=1), "get_hostprint() takes no keyword arguments",
             "get_hostprint() got an unexpected keyword argument 'x'")]:
        assert [attempt(lambda: call(modules[1])) for modules in IMPLEMENTATIONS.values()] == [
            ("raised", "TypeError", ours, None, None), ("raised", "TypeError", python, None, None)]


def public_names(namespace):
    return [name for name in vars(namespace) if not name.startswith("__")]


def test_surface():
    (extension_l, extension_h), (python_l, python_h) = IMPLEMENTATIONS.values()
    assert public_names(extension_l) == public_names(python_l) == [
        "os", "shutil", "sys", "dataclass", "Path", "LinkResult", "SkillsLinker"]
    assert public_names(extension_h) == public_names(python_h)
    assert public_names(extension_l.SkillsLinker) == public_names(python_l.SkillsLinker) == METHODS
    assert [(f.name, f.type) for f in dataclasses.fields(extension_l.LinkResult)] == [
        (f.name, f.type) for f in dataclasses.fields(python_l.LinkResult)]
    functions = [(getattr(extension_l.SkillsLinker, name), getattr(python_l.SkillsLinker, name)) for name in METHODS]
    for ours, theirs in functions + [(extension_h.get_hostprint, python_h.get_hostprint)]:
        for attribute in ("__name__", "__qualname__", "__module__", "__defaults__", "__kwdefaults__",
                          "__annotations__", "__type_params__"):
            assert getattr(ours, attribute) == getattr(theirs, attribute), (ours.__qualname__, attribute)
        assert str(inspect.signature(ours)) == str(inspect.signature(theirs))
        assert dir(ours) == dir(theirs)
        assert ours.__doc__ == theirs.__doc__  # from 3.13 as the compiler cleans it
    for ours, theirs in [(extension_l, python_l), (extension_h, python_h),
                         (extension_l.LinkResult, python_l.LinkResult), (extension_l.SkillsLinker, python_l.SkillsLinker)]:
        assert theirs.__doc__ == ours.__doc__
    for ours, theirs in [(extension_l.LinkResult, python_l.LinkResult), (extension_l.SkillsLinker, python_l.SkillsLinker)]:
        assert list(vars(ours)) == list(vars(theirs))  # the class body's order, 3.13's additions included
        assert [vars(ours).get(name) for name in ("__firstlineno__", "__static_attributes__")] == [
            vars(theirs).get(name) for name in ("__firstlineno__", "__static_attributes__")]
