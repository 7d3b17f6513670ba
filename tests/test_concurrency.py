"""Many threads and processes at once: results or exceptions, never a crash,
and never a change to the central store."""
import os
import re
import subprocess
import sys
import threading
import time

import pytest

import tavrin.skills.link.linker as L
from conftest import FIGURES, tree_digest
from emulation import EmulatedWindows

UUID4 = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")


@pytest.mark.parametrize("platform", ["posix", "windows-copy"])
def test_threads_racing_on_the_same_and_different_skills(tmp_path, platform):
    skills = []
    for name in ("alpha", "beta"):
        skill = tmp_path / "central" / name
        (skill / "data").mkdir(parents=True)
        (skill / "data" / "VERSION.json").write_text(name)
        skills.append(skill)
    before = tree_digest(tmp_path / "central")
    tools = [tmp_path / "tools" / str(n) for n in range(2)]
    outcomes, lock = {}, threading.Lock()
    barrier = threading.Barrier(6)

    def work(seed):
        linker = L.SkillsLinker()
        barrier.wait()
        for step in range(150):
            skill = skills[(seed + step) % 2]
            tool = tools[(seed * step) % 2]
            try:
                if step % 3 == 0:
                    linker.unlink(tool / skill.name)
                elif step % 3 == 1:
                    linker.link(skill.name, skill, tool, force=step % 2 == 0)
                else:
                    linker.is_link_valid(tool / skill.name, skill)
                outcome = "ok"
            except SystemError:
                raise
            except Exception as error:  # races surface as ordinary exceptions
                outcome = type(error).__name__
            with lock:
                outcomes[outcome] = outcomes.get(outcome, 0) + 1

    emulation = EmulatedWindows() if platform == "windows-copy" else None
    if emulation:
        emulation.__enter__()
    try:
        threads = [threading.Thread(target=work, args=(n,)) for n in range(6)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        if emulation:
            emulation.__exit__(None, None, None)
    assert sum(outcomes.values()) == 6 * 150 and outcomes["ok"] > 0
    assert tree_digest(tmp_path / "central") == before
    FIGURES[f"threaded operations ({platform})"] = sum(outcomes.values())


def test_processes_racing_for_the_first_identifier(tmp_path):
    start = time.time() + 1.0
    code = ("import sys, time\n"
            "import tavrin.telemetry.hostprint as h\n"
            "time.sleep(max(0.0, float(sys.argv[1]) - time.time()))\n"
            "print(h.get_hostprint())\n")
    env = {**os.environ, "XDG_CONFIG_HOME": str(tmp_path)}
    processes = [subprocess.Popen([sys.executable, "-c", code, str(start)], env=env, text=True,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE) for _ in range(6)]
    results = [process.communicate(timeout=60) for process in processes]
    assert [process.returncode for process in processes] == [0] * 6, [err for _, err in results]
    identifiers = [out.strip() for out, _ in results]
    assert all(UUID4.match(identifier) for identifier in identifiers)
    stored = (tmp_path / "tavrin" / "hostprint").read_text()
    assert UUID4.match(stored) and stored in identifiers
