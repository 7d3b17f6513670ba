"""Many threads using both modules at once. On a free-threaded interpreter
they run truly in parallel, and importing ours must leave the GIL off."""
import sysconfig

from conftest import UUID4, run_python

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

STRESS = """
import inspect, os, pathlib, sys, threading, traceback, types, warnings
warnings.simplefilter("error")  # the GIL-enabling warning, among others, fails the run
import tavrin.skills.link.linker as L, tavrin.telemetry.hostprint as H

THREADS, ROUNDS = 8, 150
functions = [H.get_hostprint, *(getattr(L.SkillsLinker, name) for name in
             ("link", "unlink", "is_link_valid", "_create_link", "_create_windows_link", "_safe_remove"))]
start, first_calls_made = threading.Barrier(THREADS), threading.Barrier(THREADS)
failures, first_ids, later_ids = [], [], set()

def worker(index):
    start.wait()
    first_ids.append(H.get_hostprint())  # the first call, on a fresh configuration directory
    first_calls_made.wait()
    central = pathlib.Path.cwd() / f"central{index}" / "skill"
    (central / "data").mkdir(parents=True)
    tool, linker = pathlib.Path.cwd() / f"tool{index}", L.SkillsLinker()
    for round in range(ROUNDS):
        result = linker.link("skill", central, tool, force=round % 2 == 1)
        assert (result.link_path, result.method, result.replaced) == (tool / "skill", "symlink", False), result
        assert linker.is_link_valid(tool / "skill", central)
        assert linker.link("skill", central, tool, force=True).replaced
        assert linker.unlink(tool / "skill") and not linker.unlink(tool / "skill")
        assert (central / "data").is_dir()
        try:
            linker.link("../escape", central, tool)
        except ValueError as error:
            assert error.__traceback__.tb_next.tb_frame.f_code.co_name.endswith("link")
        else:
            raise AssertionError("an unsafe name was accepted")
        function = functions[round % len(functions)]
        assert function.__code__.co_filename.endswith(".py") and inspect.signature(function).parameters is not None
        assert function.__doc__ and function.__annotations__ and function.__qualname__
        # Rebinding globals to equivalent objects, and back, under the other threads' calls.
        module_os, hostprint_file = L.os, H._HOSTPRINT_FILE
        L.os = types.SimpleNamespace(**vars(os))
        H._HOSTPRINT_FILE = pathlib.Path(str(hostprint_file))
        L.os, H._HOSTPRINT_FILE = module_os, hostprint_file
        later_ids.add(H.get_hostprint())

def run(index):
    try:
        worker(index)
    except BaseException as error:
        failures.append(f"thread {index}: {error!r} at line {traceback.extract_tb(error.__traceback__)[-1].lineno}")
        start.abort()
        first_calls_made.abort()

threads = [threading.Thread(target=run, args=(index,)) for index in range(THREADS)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
print(failures, gil, sorted(set(first_ids)), sorted(later_ids), H._cached, H._HOSTPRINT_FILE.read_text(), sep="\\n")
"""


def test_threads_share_both_modules(sandbox):
    # PYTHON_GIL empty is PYTHON_GIL unset: only our declaration keeps the GIL off.
    result = run_python(STRESS, env={"PYTHON_GIL": ""}, timeout=300)
    assert result.returncode == 0 and result.stderr == "", result.stdout + result.stderr
    failures, gil, first_ids, later_ids, cached, stored = result.stdout.splitlines()
    assert failures == "[]"
    assert gil == str(not FREE_THREADED)
    # Threads making the first call together may each make an identifier;
    # the last one stored is what every later call returns. The file keeps
    # the last write's, which may be another.
    first = eval(first_ids)
    assert all(UUID4.match(identifier) for identifier in first) and cached in first
    assert eval(later_ids) == [cached] and UUID4.match(stored)
