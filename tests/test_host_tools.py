"""What the host tool's own tests do with the modules (inspect, mock's
autospec, functools), checked against the host's own Python modules, the
twins: the native functions must behave as the twins' do."""
import builtins
import copy
import dis
import functools
import inspect
import io
import pickle
import pydoc
import sys
import types
import typing
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
        assert type(native) is types.FunctionType and native.__code__ is not twin.__code__
        assert dir(native) == dir(twin) and [getattr(native, name) for name in dir(native)]
        for name in ("__name__", "__qualname__", "__doc__", "__module__", "__defaults__", "__kwdefaults__",
                     "__annotations__", "__closure__", "__type_params__", "__dict__"):
            assert getattr(native, name) == getattr(twin, name), name
        assert native.__builtins__ is twin.__builtins__ is builtins.__dict__
        code, twin_code = native.__code__, twin.__code__
        for name in ("co_name", "co_qualname", "co_argcount", "co_posonlyargcount", "co_kwonlyargcount", "co_flags",
                     "co_filename", "co_firstlineno"):
            assert getattr(code, name) == getattr(twin_code, name), name
        assert code.co_varnames == twin_code.co_varnames[:code.co_argcount + code.co_kwonlyargcount]
        if hasattr(sys, "_is_interned"):  # 3.13+: interned where the compiler interns
            texts = [[f.__name__, f.__qualname__, *f.__annotations__.values()] for f in (native, twin)]
            assert list(map(sys._is_interned, texts[0])) == list(map(sys._is_interned, texts[1]))
        dis.dis(native, file=io.StringIO())  # a real code object, which is never run
        assert inspect.getsource(native) == inspect.getsource(twin)
        assert inspect.signature(native) == inspect.signature(twin)
        wrapper = functools.wraps(native)(lambda *args, **kwargs: None)
        assert wrapper.__wrapped__ is native and inspect.signature(wrapper) == inspect.signature(twin)
        assert (wrapper.__qualname__, wrapper.__type_params__) == (twin.__qualname__, ())
    assert [name for name, _ in inspect.getmembers(L.SkillsLinker, inspect.isfunction)] == METHODS
    with pytest.raises(TypeError, match="^__type_params__ must be set to a tuple$"):
        L.SkillsLinker.link.__type_params__ = []


def pairs():
    return list(zip(functions(L, H), functions(*host_modules())))


def signature_line(function):
    """The signature pydoc shows for a function, on one line (from 3.13 it
    folds a long one over several, ending with the line that starts ")")."""
    lines = pydoc.render_doc(function, renderer=pydoc.plaintext).splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith(function.__name__ + "("))
    end = start if not lines[start].endswith("(") else next(i for i in range(start, len(lines))
                                                            if lines[i].startswith(")"))
    return " ".join(line.strip() for line in lines[start:end + 1])


QUOTED_SIGNATURE = ("link(self, skill_name: 'str', central_skill_dir: 'Path', tool_skills_dir: 'Path', *, "
                    "force: 'bool' = False) -> 'LinkResult'")


def test_pydoc_shows_signatures_as_for_python_functions():
    for native, twin in pairs():
        assert signature_line(native) == signature_line(twin)
    # pydoc prints string annotations quoted before 3.14 and bare from 3.14 on, as ours do.
    expected = QUOTED_SIGNATURE.replace("'", "") if sys.version_info >= (3, 14) else QUOTED_SIGNATURE
    assert "".join(signature_line(L.SkillsLinker.link).split()) == "".join(expected.split())


def test_annotate_exists_where_python_functions_have_it():
    for native, twin in pairs():
        assert hasattr(native, "__annotate__") == hasattr(twin, "__annotate__") == (sys.version_info >= (3, 14))


# Each a function's first touch of its annotations: ours make them only when
# first read, and must end where a Python function does.
FIRST_TOUCHES = [
    "del f.__annotations__; r = f.__annotations__",
    "a = f.__annotations__; r = (a is f.__annotations__, a)",
    "f.__annotations__ = {'z': 1}; r = (f.__annotations__, getattr(f, '__annotate__', 'absent'))",
] + ([
    "f.__annotate__ = None; r = f.__annotations__",
    "a = f.__annotate__; r = (a is f.__annotate__, a(1), f.__annotations__)",
] if sys.version_info >= (3, 14) else [])


def first_touches(functions):
    seen = []
    for function, touch in zip(functions, FIRST_TOUCHES):
        namespace = {"f": function}
        exec(touch, namespace)
        seen.append(repr(namespace["r"]))
    return seen


def test_first_touch_of_annotations_ends_as_for_python_functions():
    """In a fresh process, so that ours are untouched, as the twins are."""
    result = run_python("\n".join([
        "import tavrin.skills.link.linker as L, tavrin.telemetry.hostprint as H",
        f"METHODS, FIRST_TOUCHES = {METHODS!r}, {FIRST_TOUCHES!r}",
        inspect.getsource(functions), inspect.getsource(first_touches),
        "print(first_touches(functions(L, H)))"]))
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == str(first_touches(functions(*host_modules())))


@pytest.mark.skipif(sys.version_info < (3, 14), reason="3.14 and later: deferred annotations")
class TestDeferredAnnotations:
    def test_annotationlib_reads_ours_as_a_python_functions(self):
        import annotationlib
        for native, twin in pairs():
            for form in (annotationlib.Format.VALUE, annotationlib.Format.FORWARDREF, annotationlib.Format.STRING):
                got = annotationlib.get_annotations(native, format=form)
                assert got == annotationlib.get_annotations(twin, format=form) == twin.__annotations__
                called = [annotationlib.call_annotate_function(native.__annotate__, form) for _ in range(2)]
                assert called[0] == called[1] == annotationlib.call_annotate_function(twin.__annotate__, form)
                assert called[0] is not called[1] and got is not called[0]

    def test_wraps_copies_the_annotations(self):
        for native, twin in pairs():
            wrapped = [functools.wraps(function)(lambda *args, **kwargs: None) for function in (native, twin)]
            assert wrapped[0].__annotations__ == wrapped[1].__annotations__ == native.__annotations__
            assert typing.get_type_hints(wrapped[0]) == typing.get_type_hints(native)
            assert inspect.signature(wrapped[0]) == inspect.signature(native) == inspect.signature(wrapped[1])

    def test_annotate_is_one_object_that_pickles_and_copies_as_itself(self):
        for native, twin in pairs():
            annotate = native.__annotate__
            assert annotate is native.__annotate__ and annotate.__qualname__ == twin.__annotate__.__qualname__
            assert pickle.loads(pickle.dumps(annotate)) is annotate and copy.deepcopy(annotate) is annotate
            assert str(inspect.signature(annotate)) == str(inspect.signature(twin.__annotate__)) == "(format, /)"
            assert annotate.__annotate__ is None and annotate.__annotations__ == {}
            assert dir(annotate) == dir(twin.__annotate__) and [getattr(annotate, name) for name in dir(annotate)]

    def test_annotate_refuses_as_a_python_functions_does(self):
        """Calls that a compiler-made __annotate__ refuses, and an __annotate__
        returning no dict, fail alike (FORWARDREF and STRING are the one
        difference, answered by ours, as above)."""
        def outcomes(function):
            seen = []
            for call in (lambda: function.__annotate__(5), lambda: function.__annotate__("x"),
                         lambda: function.__annotate__(format=1), lambda: function.__annotate__(),
                         lambda: function.__annotate__(0) == function.__annotate__(2)):
                try:
                    seen.append(call())
                except (TypeError, NotImplementedError) as error:
                    seen.append((type(error).__name__, str(error)))
            made = function.__annotate__
            try:
                function.__annotate__ = lambda form: [form]
                with pytest.raises(TypeError) as raised:
                    function.__annotations__
                seen.append(str(raised.value))
            finally:
                function.__annotate__ = made
            return seen

        for native, twin in pairs():
            assert outcomes(native) == outcomes(twin)

    def test_setting_follows_python_functions(self):
        def history(function):
            made, seen = function.__annotate__, []
            try:
                for step in (lambda: setattr(function, "__annotate__", 1),
                             lambda: delattr(function, "__annotate__"),
                             lambda: (function.__annotations__, setattr(function, "__annotate__", None)),
                             lambda: (function.__annotations__, function.__annotate__),
                             lambda: setattr(function, "__annotate__", lambda form: {"x": form}),
                             lambda: function.__annotations__,
                             lambda: setattr(function, "__annotations__", {"y": 2}),
                             lambda: (function.__annotate__, function.__annotations__),
                             lambda: setattr(function, "__annotations__", None),
                             lambda: (function.__annotate__, function.__annotations__)):
                    try:
                        seen.append(step())
                    except TypeError as error:
                        seen.append(str(error))
            finally:
                function.__annotate__ = made  # a callable: the annotations are made afresh from it
            assert function.__annotations__ == made(1)
            return seen

        for native, twin in pairs():
            assert history(native) == history(twin)


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
