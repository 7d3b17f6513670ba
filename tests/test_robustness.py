"""Hostile input, random histories, concurrency and reference counts."""
import contextlib
import gc
import os
import re
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tavrin.skills.link.linker as L
from conftest import FIGURES, UUID4, Sandbox, Windows, run, run_python, tree_digest


def test_hostile_calls_end_in_results_or_exceptions_and_stay_in_their_sandbox(tmp_path):
    """Relative paths such as `..` reach removals: all they may hit is the driver's own sandbox."""
    driver, box = Path(__file__).with_name("hostile_driver.py"), Sandbox(tmp_path / "driver")
    (tmp_path / "beside" / "deep").mkdir(parents=True)
    for marker in (tmp_path / "above.txt", tmp_path / "beside" / "deep" / "kept.txt"):
        marker.write_text("must survive")
    outside = {name: entry for name, entry in tree_digest(tmp_path).items() if not name.startswith("driver")}
    result = run(sys.executable, str(driver), str(box.root), "12000", cwd=box.cwd, env=box.env, timeout=300)
    assert result.returncode == 0, f"exit {result.returncode} (negative: a signal)\n{result.stderr[-3000:]}"
    assert {name: entry for name, entry in tree_digest(tmp_path).items() if not name.startswith("driver")} == outside
    FIGURES["hostile calls"] = int(re.match(r"(\d+) calls", result.stdout).group(1))


# Random skill trees: directories, files (bytecode and caches among them),
# links inside the skill to a file in it and to a file and a directory outside.
ENTRIES = st.lists(st.tuples(st.sampled_from(["", "a/", "data/", "__pycache__/", "a/__pycache__/"]),
                             st.sampled_from(["x.txt", "m.pyc", "n.pyo", "VERSION.json", "in", "out", "out-dir"])))
HISTORIES = st.lists(st.tuples(st.sampled_from(["link", "force", "unlink", "valid"]), st.integers(0, 2)),
                     min_size=1, max_size=12)
PLATFORMS = {"posix": (contextlib.nullcontext, "link", "symlink"),
             "windows-copy": (Windows, "copy", "copy_fallback"),
             "windows-link": (lambda: Windows(refuse=False), "link", "junction")}


def build(root, entries):
    skill, outside = root / "central" / "skill", root / "outside"
    (outside / "shared").mkdir(parents=True)
    (outside / "file.txt").write_text("outside")
    (skill / "x.txt").parent.mkdir(parents=True)
    (skill / "x.txt").write_text("x")
    targets = {"in": skill / "x.txt", "out": outside / "file.txt", "out-dir": outside / "shared"}
    for directory, name in entries:
        path = skill / directory / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if path.exists() or path.is_symlink():
            continue
        if name in targets:
            path.symlink_to(targets[name])
        else:
            path.write_text(name)
    return skill, outside


def state(entry, skill):
    if entry.is_symlink():
        assert os.readlink(entry) == str(skill)
        return "link"
    for _, dirs, files in os.walk(entry):  # a copy leaves caches and bytecode out
        assert "__pycache__" not in dirs and not [f for f in files if f.endswith((".pyc", ".pyo"))]
    return "copy" if entry.exists() else "absent"


@pytest.mark.parametrize("platform", PLATFORMS)
def test_histories_never_touch_the_central_store(platform):
    emulate, made, method = PLATFORMS[platform]

    @settings(max_examples=100, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])
    @given(entries=ENTRIES, history=HISTORIES)
    def check(entries, history):
        FIGURES[f"property examples ({platform})"] = FIGURES.get(f"property examples ({platform})", 0) + 1
        with tempfile.TemporaryDirectory() as folder, emulate():
            skill, outside = build(Path(folder), entries)
            before, tools = (tree_digest(skill), tree_digest(outside)), [Path(folder, f"tool{n}") for n in range(3)]
            model, linker = ["absent"] * 3, L.SkillsLinker()
            for operation, tool in history:
                entry, present = tools[tool] / "skill", model[tool] != "absent"
                if operation == "link" and present:
                    with pytest.raises(ValueError):
                        linker.link("skill", skill, tools[tool])
                elif operation in ("link", "force"):
                    result = linker.link("skill", skill, tools[tool], force=True)
                    assert (result.method, result.replaced) == (method, present)
                    model[tool] = made
                elif operation == "unlink":
                    assert linker.unlink(entry) is present
                    model[tool] = "absent"
                else:
                    assert linker.is_link_valid(entry, skill) is (model[tool] == "link" or (
                        model[tool] == "copy" and (skill / "data" / "VERSION.json").exists()))
                assert (tree_digest(skill), tree_digest(outside)) == before
                assert [state(t / "skill", skill) for t in tools] == model
    check()


@pytest.mark.parametrize("emulate", [contextlib.nullcontext, Windows], ids=["posix", "windows-copy"])
def test_threads_racing_on_the_same_and_different_skills(central, tmp_path, emulate):
    (tmp_path / "central" / "other").mkdir()
    skills, before, outcomes = [central, central.parent / "other"], tree_digest(central.parent), []
    barrier = threading.Barrier(6)

    def work(seed):
        barrier.wait()
        for step in range(150):
            skill, tool = skills[(seed + step) % 2], tmp_path / "tools" / str(seed * step % 2)
            operation = [L.SkillsLinker().unlink, lambda entry: L.SkillsLinker().link(skill.name, skill, tool,
                         force=step % 2), lambda entry: L.SkillsLinker().is_link_valid(entry, skill)][step % 3]
            try:
                operation(tool / skill.name)
                outcomes.append("ok")
            except SystemError:
                raise
            except Exception as error:  # races surface as ordinary exceptions
                outcomes.append(type(error).__name__)

    with emulate():
        threads = [threading.Thread(target=work, args=(n,)) for n in range(6)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    assert len(outcomes) == 900 and "ok" in outcomes and tree_digest(central.parent) == before


def test_processes_racing_for_the_first_identifier(tmp_path):
    code = ("import sys, time, tavrin.telemetry.hostprint as h\n"
            "time.sleep(max(0.0, float(sys.argv[1]) - time.time())); print(h.get_hostprint())")
    start, env = str(time.time() + 1.0), {**os.environ, "XDG_CONFIG_HOME": str(tmp_path)}
    runs = [subprocess.Popen([sys.executable, "-c", code, start], env=env, text=True, stdout=subprocess.PIPE)
            for _ in range(6)]
    identifiers = [run.communicate(timeout=60)[0].strip() for run in runs]
    assert all(UUID4.match(identifier) for identifier in identifiers)
    assert (tmp_path / "tavrin" / "hostprint").read_text() in identifiers


class MyStr(str):
    pass


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError


@pytest.mark.parametrize("case", ["success", "wrong type", "str subclass", "unsafe name", "occupied",
                                  "failing force"])
def test_reference_counts_stay_put(linker, central, tmp_path, case):
    name, tools, bad, sub = "".join(["code-", "review"]), tmp_path / "tools", BadBool(), MyStr("s")
    (tools / "occupied").mkdir(parents=True)

    def success():
        result, alone = linker.link(name, central, tools, force=True), object()
        assert sys.getrefcount(result) == sys.getrefcount(alone)  # a local holds it, nothing else
        assert linker.is_link_valid(result.link_path, central) and linker.unlink(result.link_path)

    call = {"success": success, "wrong type": lambda: linker.link(None, central, tools),
            "str subclass": lambda: linker.link(sub, central, tools),
            "unsafe name": lambda: linker.link("../x", central, tools),
            "occupied": lambda: linker.link("occupied", central, tools),
            "failing force": lambda: linker.link(name, central, tools, force=bad)}[case]
    before = [sys.getrefcount(o) for o in (name, central, tools, bad, sub)]
    for _ in range(300):
        with contextlib.suppress(TypeError, ValueError, ZeroDivisionError):
            call()
    assert [sys.getrefcount(o) for o in (name, central, tools, bad, sub)] == before


def test_hostprint_reference_counts(tmp_path):
    result = run_python("""
        import sys, tavrin.telemetry.hostprint as h
        value = h.get_hostprint(); before = sys.getrefcount(value)
        for _ in range(1000): h.get_hostprint()
        h._cached = odd = object()
        for _ in range(1000):
            try: h.get_hostprint()
            except TypeError: pass
        h._cached = None
        assert (sys.getrefcount(value), sys.getrefcount(odd)) == (before - 1, 2), "leak"
    """, env={"XDG_CONFIG_HOME": str(tmp_path)})
    assert result.returncode == 0, result.stderr


@pytest.mark.skipif(bool(os.environ.get("TAVRIN_SANITIZER_BUILD")), reason="PYTHONMALLOC=malloc counts no blocks")
def test_repeated_calls_keep_no_memory(linker, central, tmp_path):
    """Every path, run many times, leaves the interpreter's count of
    allocated blocks where it was: nothing leaks, references included."""
    tools = tmp_path / "tools"
    (tools / "occupied").mkdir(parents=True)
    methods = [getattr(L.SkillsLinker, name) for name in vars(L.SkillsLinker) if not name.startswith("__")]

    def every_path():
        result = linker.link("code-review", central, tools, force=True)
        linker.is_link_valid(result.link_path, central)
        linker.unlink(result.link_path)
        for refused in (lambda: linker.link(None, central, tools), lambda: linker.link(MyStr("s"), central, tools),
                        lambda: linker.link("../x", central, tools), lambda: linker.link("occupied", central, tools),
                        lambda: linker.link("x", central, tools, force=BadBool()), lambda: linker.link("x"),
                        lambda: linker.unlink(link_path=1, path=2)):
            with contextlib.suppress(TypeError, ValueError, ZeroDivisionError):
                refused()
        for method in methods:  # what introspection reads
            method.__annotations__, method.__code__, method.__kwdefaults__
            if sys.version_info >= (3, 14):
                method.__annotate__(1), method.__annotate__(4)

    for _ in range(20):  # caches, interned names and free lists settle first
        every_path()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(300):
        every_path()
    gc.collect()
    assert sys.getallocatedblocks() - before < 100  # a leak per call would leave hundreds
