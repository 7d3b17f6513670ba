"""What the host tool's own tests do with the modules (inspect, mock's
autospec, functools), checked against the host's own Python modules, the
twins: the native functions must behave as the twins' do."""
import builtins
import dis
import functools
import inspect
import io
import types
from unittest import mock

import pytest

import tavrin.skills.link.linker as L
import tavrin.telemetry.hostprint as H
from conftest import host_module, run_python

METHODS = ["_create_link", "_create_windows_link", "_safe_remove", "is_link_valid", "link", "unlink"]


def host_modules():
    return host_module("tavrin.skills.link.linker"), host_module("tavrin.telemetry.hostprint")


IMPLEMENTATIONS = {"native": lambda: (L, H), "python twin": host_modules}


def functions(linker_module, hostprint_module):
    return [getattr(linker_module.SkillsLinker, name) for name in METHODS] + [hostprint_module.get_hostprint]


def test_functions_have_what_a_python_function_has():
    for native, twin in zip(functions(L, H), functions(*host_modules())):
        assert isinstance(native, types.FunctionType) and inspect.isfunction(native)
        assert type(native) is not types.FunctionType  # the type, and so the calls, stay native
        assert dir(native) == dir(twin) and [getattr(native, name) for name in dir(native)]
        for name in ("__name__", "__qualname__", "__defaults__", "__kwdefaults__", "__annotations__",
                     "__closure__", "__type_params__"):
            assert getattr(native, name) == getattr(twin, name), name
        assert native.__builtins__ is twin.__builtins__ is builtins.__dict__
        code, twin_code = native.__code__, twin.__code__
        for name in ("co_name", "co_qualname", "co_argcount", "co_posonlyargcount", "co_kwonlyargcount", "co_flags"):
            assert getattr(code, name) == getattr(twin_code, name), name
        assert code.co_varnames == twin_code.co_varnames[:code.co_argcount + code.co_kwonlyargcount]
        dis.dis(native, file=io.StringIO())  # a real code object, which is never run
        with pytest.raises(OSError):
            inspect.getsource(native)
        assert inspect.signature(native) == inspect.signature(twin)
        wrapper = functools.wraps(native)(lambda *args, **kwargs: None)
        assert wrapper.__wrapped__ is native and inspect.signature(wrapper) == inspect.signature(twin)
        assert (wrapper.__qualname__, wrapper.__type_params__) == (twin.__qualname__, ())
    assert [name for name, _ in inspect.getmembers(L.SkillsLinker, inspect.isfunction)] == METHODS
    with pytest.raises(TypeError, match="^__type_params__ must be set to a tuple$"):
        L.SkillsLinker.link.__type_params__ = []


def patched_method(linker_module, hostprint_module):
    with mock.patch.object(linker_module.SkillsLinker, "link", autospec=True) as link:
        linker = linker_module.SkillsLinker()
        linker.link("demo", "central", "tools", force=True)
        link.assert_called_once_with(linker, "demo", "central", "tools", force=True)
        with pytest.raises(TypeError):
            linker.link("demo")


def patched_function_and_function_spec(linker_module, hostprint_module):
    with mock.patch.object(hostprint_module, "get_hostprint", autospec=True) as get:
        hostprint_module.get_hostprint()
        get.assert_called_once_with()
        with pytest.raises(TypeError):
            hostprint_module.get_hostprint(1)
    with pytest.raises(TypeError):
        mock.create_autospec(hostprint_module.get_hostprint)(force=True)


def patched_class(linker_module, hostprint_module):  # create_autospec of the class, through the module
    with mock.patch.object(linker_module, "SkillsLinker", autospec=True) as spec:
        spec.unlink("entry")
        spec.unlink.assert_called_once_with("entry")
        with pytest.raises(TypeError):
            spec().is_link_valid("entry")


def instance_spec(linker_module, hostprint_module):
    for spec in (mock.create_autospec(linker_module.SkillsLinker, instance=True),
                 mock.create_autospec(linker_module.SkillsLinker())):
        spec.link("demo", "central", "tools")
        spec.link.assert_called_once_with("demo", "central", "tools")
        with pytest.raises(TypeError):
            spec.link("demo", "central", "tools", True)


@pytest.mark.parametrize("implementation", IMPLEMENTATIONS)
@pytest.mark.parametrize("scenario", [patched_method, patched_function_and_function_spec, patched_class,
                                      instance_spec], ids=lambda scenario: scenario.__name__)
def test_autospec_checks_signatures_and_records_self(scenario, implementation):
    scenario(*IMPLEMENTATIONS[implementation]())


def test_every_dict_watcher_taken_costs_no_import_and_no_behaviour():
    result = run_python("""
        import _testcapi, types
        from pathlib import Path
        taken = 0
        while True:
            try:
                _testcapi.add_dict_watcher(0)
            except RuntimeError as error:
                assert str(error) == "no more dict watcher IDs available"
                break
            taken += 1
        import tavrin.skills.link.linker as L, tavrin.telemetry.hostprint as H

        skill, tools = Path.cwd() / "central" / "skill", Path.cwd() / "tools"
        skill.mkdir(parents=True)
        linker = L.SkillsLinker()
        assert linker.link("skill", skill, tools).method == "symlink"
        assert linker.is_link_valid(tools / "skill", skill)
        made = []
        L.sys = types.SimpleNamespace(platform="win32")  # each rebinding is seen at the next use
        L.os = types.SimpleNamespace(symlink=lambda *args, **kwargs: made.append(args))
        L.LinkResult = lambda **fields: fields
        assert linker.link("other", skill, tools)["method"] == "junction" and made == [(skill, tools / "other")]

        identifier = H.get_hostprint()
        assert H.get_hostprint() is identifier and H._HOSTPRINT_FILE.read_text() == identifier
        H._cached = "rebound"
        assert H.get_hostprint() == "rebound"
        print(taken)
    """)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) > 0
