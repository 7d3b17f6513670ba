"""Audit hooks see our functions as they see Python functions: the same
events, with the same arguments, and a hook that raises stops the access."""
import importlib.metadata
import json

from conftest import HOST, run_python

# Runs in a child process: audit hooks cannot be removed. Each function, ours
# and the host's Python one, goes through the same accesses; the events whose
# subject is that function are recorded with the function replaced by its role.
CHILD = """
    import functools, importlib.util, inspect, json, sys
    from unittest import mock

    def host(name, file):
        spec = importlib.util.spec_from_file_location(name, file)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        return module

    import tavrin.skills.link.linker as L, tavrin.telemetry.hostprint as H
    PL = host("tavrin.skills.link.linker", {linker!r})
    PH = host("tavrin.telemetry.hostprint", {hostprint!r})

    subjects, events, refused = {{}}, [], set()

    def hook(event, args):
        if event.startswith("object.") and args and id(args[0]) in subjects:
            events.append([event, subjects[id(args[0])], *map(repr, args[1:])])
            if args[1] in refused:
                raise PermissionError("refused by the audit hook: " + args[1])

    sys.addaudithook(hook)

    def accesses(function):
        for name in sorted(dir(function)):
            getattr(function, name, None)
        function.__defaults__ = ("x",)
        function.__defaults__ = None
        function.__kwdefaults__ = {{"force": True}}
        del function.__kwdefaults__
        function.__kwdefaults__ = None
        del function.__defaults__
        for name, wrong in (("__defaults__", 1), ("__kwdefaults__", [])):
            try:
                setattr(function, name, wrong)
            except TypeError as error:
                events.append(["TypeError", str(error)])
        inspect.signature(function)
        functools.wraps(function)(lambda: None)
        mock.create_autospec(function)
        refused.update({{"__code__", "__defaults__"}})
        for access in (lambda: function.__code__, lambda: setattr(function, "__defaults__", ()),
                       lambda: inspect.signature(function)):
            try:
                access()
            except PermissionError as error:
                events.append(["refused", str(error)])
        refused.clear()
        events.append(["defaults after refusal", repr(function.__defaults__)])

    seen = {{}}
    for role, ours, theirs in (("link", L.SkillsLinker.link, PL.SkillsLinker.link),
                               ("unlink", L.SkillsLinker.unlink, PL.SkillsLinker.unlink),
                               ("get_hostprint", H.get_hostprint, PH.get_hostprint)):
        for side, function in (("ours", ours), ("host", theirs)):
            subjects[id(function)], events = role, []
            accesses(function)
            seen[side + " " + role] = events
            del subjects[id(function)]
    print(json.dumps(seen))
"""


def test_audit_hooks_see_the_same_events_as_for_python_functions(tmp_path):
    host = importlib.metadata.distribution(HOST)
    files = {"linker": host.locate_file("tavrin/skills/link/linker.py"),
             "hostprint": host.locate_file("tavrin/telemetry/hostprint.py")}
    result = run_python(CHILD.format(**{name: str(path) for name, path in files.items()}),
                        env={"XDG_CONFIG_HOME": str(tmp_path)})
    assert result.returncode == 0, result.stderr
    seen = json.loads(result.stdout)
    for role in ("link", "unlink", "get_hostprint"):
        assert seen[f"ours {role}"] == seen[f"host {role}"], role
    link = seen["ours link"]
    for attribute in ("'__code__'", "'__defaults__'", "'__kwdefaults__'"):
        assert ["object.__getattr__", "link", attribute] in link
    assert ["object.__setattr__", "link", "'__defaults__'", "('x',)"] in link
    assert ["object.__setattr__", "link", "'__kwdefaults__'", "{'force': True}"] in link
    assert link.count(["object.__delattr__", "link", "'__kwdefaults__'"]) == 2  # `del`, then None
    assert ["refused", "refused by the audit hook: __code__"] in link
    assert ["defaults after refusal", "None"] in link
