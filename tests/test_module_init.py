"""Module initialisation rules, each scenario in a fresh interpreter, for both modules."""
import pytest

from conftest import run_python

SCENARIOS = {
    "reused": """
        import importlib, importlib.util, sys
        import MODULE as first
        first.marker = 1
        del sys.modules["MODULE"]
        import MODULE as second
        assert second is first and second.marker == 1 and importlib.reload(first) is first
        assert importlib.util.module_from_spec(importlib.util.find_spec("MODULE")) is first""",
    "second module object": """
        import importlib.util, sys
        spec = importlib.util.find_spec("MODULE")
        one, two = importlib.util.module_from_spec(spec), importlib.util.module_from_spec(spec)
        sys.modules["MODULE"] = one
        spec.loader.exec_module(one)
        spec.loader.exec_module(one)  # the same object again: nothing happens
        try:
            spec.loader.exec_module(two)
        except RuntimeError as e:
            assert str(e) == "Module 'SHORT' has already been imported. Re-initialisation is not supported."
        else:
            raise AssertionError("accepted")""",
    "failed body runs afresh": """
        import sys
        sys.modules["DEPENDENCY"] = None
        try:
            import MODULE
        except ImportError:
            pass
        del sys.modules["DEPENDENCY"]
        import MODULE""",
    "shared-GIL interpreter": """
        import _testcapi, MODULE, os
        r, w = os.pipe()
        assert _testcapi.run_in_subinterp(f"import os, sys; sys.stderr = os.fdopen({w}, 'w', closefd=False)\\n"
                                          "import MODULE") == -1
        os.close(w)
        assert "ImportError: Interpreter change detected" in os.read(r, 10000).decode()""",
    "own-GIL interpreter": """
        import sys, MODULE
        if sys.version_info >= (3, 13):  # the failure is returned, not raised
            import _interpreters as interpreters
            failure = interpreters.run_string(interpreters.create(), "import MODULE").formatted
        else:
            import _xxsubinterpreters as interpreters
            try:
                interpreters.run_string(interpreters.create(), "import MODULE")
            except interpreters.RunFailedError as e:
                failure = str(e)
        assert "ImportError" in failure and "Interpreter change detected - this module can only be" in failure""",
}


@pytest.mark.parametrize("scenario", SCENARIOS)
@pytest.mark.parametrize("module, short, dependency", [("tavrin.skills.link.linker", "linker", "dataclasses"),
                                                       ("tavrin.telemetry.hostprint", "hostprint", "uuid")])
def test_initialisation(scenario, module, short, dependency, tmp_path):
    code = SCENARIOS[scenario].replace("MODULE", module).replace("SHORT", short).replace("DEPENDENCY", dependency)
    result = run_python(code, env={"XDG_CONFIG_HOME": str(tmp_path)})
    assert result.returncode == 0, result.stderr
