"""Module initialisation rules, each scenario in a fresh interpreter."""
import pytest

from conftest import run_python

MODULES = {
    "tavrin.skills.link.linker": ("linker", "dataclasses"),
    "tavrin.telemetry.hostprint": ("hostprint", "uuid"),
}


@pytest.fixture(params=sorted(MODULES))
def module(request, tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path))
    return request.param


def check(code, module):
    short, dependency = MODULES[module]
    result = run_python(code.replace("MODULE", module).replace("SHORT", short).replace("DEPENDENCY", dependency))
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_later_imports_get_the_same_object_without_rerunning(module):
    check("""
        import importlib, importlib.util, sys
        import MODULE as first
        first.marker = "kept"
        del sys.modules["MODULE"]
        import MODULE as second
        assert second is first and second.marker == "kept"
        assert importlib.reload(first) is first and first.marker == "kept"
        spec = importlib.util.find_spec("MODULE")
        assert importlib.util.module_from_spec(spec) is first
    """, module)


def test_a_second_module_object_is_refused(module):
    check("""
        import importlib.util, sys
        spec = importlib.util.find_spec("MODULE")
        one, two = importlib.util.module_from_spec(spec), importlib.util.module_from_spec(spec)
        assert one is not two
        sys.modules["MODULE"] = one
        spec.loader.exec_module(one)
        spec.loader.exec_module(one)  # the same object again: nothing happens
        try:
            spec.loader.exec_module(two)
        except RuntimeError as error:
            assert str(error) == "Module 'SHORT' has already been imported. Re-initialisation is not supported."
        else:
            raise AssertionError("second module object accepted")
    """, module)


def test_a_failed_body_runs_afresh_next_time(module):
    check("""
        import sys
        saved = sys.modules.pop("DEPENDENCY", None)
        sys.modules["DEPENDENCY"] = None
        try:
            import MODULE
        except ImportError:
            pass
        else:
            raise AssertionError("import succeeded without DEPENDENCY")
        assert "MODULE" not in sys.modules
        del sys.modules["DEPENDENCY"]
        import MODULE
        assert hasattr(MODULE, "SkillsLinker") or hasattr(MODULE, "get_hostprint")
    """, module)


def test_shared_gil_subinterpreter_gets_import_error(module):
    out = check("""
        import _testcapi, sys
        import MODULE
        sys.stderr = sys.stdout
        code = "import sys; sys.stderr = sys.stdout\\nimport MODULE"
        assert _testcapi.run_in_subinterp(code) == -1
    """, module)
    assert "ImportError: Interpreter change detected - this module can only be loaded " \
           "into one interpreter per process." in out


def test_own_gil_subinterpreter_gets_import_error(module):
    out = check("""
        import _xxsubinterpreters as interpreters
        import MODULE
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import MODULE")
        except interpreters.RunFailedError as error:
            print(error)
        else:
            raise AssertionError("imported in a second interpreter")
        finally:
            interpreters.destroy(interp)
    """, module)
    assert "ImportError'>: Interpreter change detected - this module" in out
