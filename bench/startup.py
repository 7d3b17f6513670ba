"""Start-up and shutdown of a host-tool command, with ours and without.

Makes two environments in a temporary folder, from the wheels in --wheels
(the host's and ours, as scripts/setup.sh leaves them): A, the stand-in host
alone, and B, the host with tavrin-native beside it. Then prints, for the
interpreter running this script:
- instructions of whole processes (callgrind, PYTHONHASHSEED=0): a typical
  command, import-then-exit, import-then-os._exit, shutdown as the
  difference of the last two, and Py_FinalizeEx's own count after a full
  collection (so that the collections the command left due, which fall
  where the objects made before put them, are not counted in it). Each is the
  mean over several layouts of the process: counts are exact for one
  layout, but where the collector's passes fall moves with the objects made
  before, where the interned-string table's resizes fall with the stack's
  start, and what each free costs with where the allocator's 1 MiB arenas
  fall against its 1 MiB address map, by tens of thousands of instructions
  either way. Layouts step the objects the command makes before its imports
  (by a sixteenth of the collector's threshold), the environment's size (the
  stack) and valgrind's lowest mapping address (every mapping, by a sixteenth
  of a MiB), as a command's own code and address randomisation would; the
  median and range of B less A over them show by how much;
- each module's own import in wall time, against the host's Python module
  and against an empty extension module built here;
- `import tavrin` against a package whose __init__.py holds only a docstring;
- the typical command's CPU time, B against A: the median of the ratios of
  interleaved pairs.
Timings are medians over fresh processes. Nothing here is a test.
Usage: python bench/startup.py --wheels DIR [--runs N]
"""

import argparse
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
from pathlib import Path

TYPICAL = """
import tempfile
from pathlib import Path
import tavrin.skills.link.linker as L, tavrin.telemetry.hostprint as H
root = Path(tempfile.mkdtemp())
(root / "central").mkdir()
linker = L.SkillsLinker()
result = linker.link("code-review", root / "central", root / "tools")
linker.is_link_valid(result.link_path, root / "central")
linker.unlink(result.link_path)
H.get_hostprint()
"""
IMPORT_EXIT = "import tavrin.skills.link.linker, tavrin.telemetry.hostprint\n"
IMPORT_OS_EXIT = IMPORT_EXIT + "import os; os._exit(0)\n"
IMPORT_COLLECT_EXIT = IMPORT_EXIT + "import gc; gc.collect()\n"

# One module's own import: what it imports itself is loaded first.
OWN_IMPORT = """
import time, {before}
start = time.perf_counter_ns()
import {module}
print(time.perf_counter_ns() - start)
"""
MODULES = {
    "linker": ("os, shutil, dataclasses, pathlib, tavrin.skills.link", "tavrin.skills.link.linker"),
    "hostprint": ("uuid, pathlib, tavrin.config, tavrin.telemetry", "tavrin.telemetry.hostprint"),
    "empty extension": ("os", "empty"),
}
EMPTY_EXTENSION = """
#include <Python.h>
static PyModuleDef_Slot slots[] = {{0, NULL}};
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "empty", NULL, 0, NULL, slots, NULL, NULL, NULL};
PyMODINIT_FUNC PyInit_empty(void) { return PyModuleDef_Init(&def); }
"""


def make_environment(folder, wheels):
    subprocess.run([sys._base_executable, "-m", "venv", str(folder)], check=True)
    subprocess.run([folder / "bin" / "python", "-m", "pip", "install", "--quiet", "--no-index",
                    "--disable-pip-version-check", *map(str, wheels)], check=True)
    return folder / "bin" / "python"


def build_empty_extension(folder):
    source = folder / "empty.c"
    source.write_text(EMPTY_EXTENSION)
    target = folder / ("empty" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run([os.environ.get("CC", "cc"), "-shared", "-fPIC", "-O2", f"-I{sysconfig.get_paths()['include']}",
                    str(source), "-o", str(target)], check=True)


LAYOUTS = 16  # process layouts each count is taken at
LOWEST_MAPPING = 0x10000000
# A command's own code makes objects before it imports the modules; how many
# sets where the collector's passes fall. Each layout first makes a further
# sixteenth of the collector's threshold.
COLLECTOR_PHASE = "import gc; _made_first = [[] for _ in range(gc.get_threshold()[0] * {layout} // {layouts})]\n"


def instructions(python, code, env, only=None):
    """Mean instructions over LAYOUTS process layouts, and the counts; `only`
    counts that function's calls alone."""
    if not shutil.which("valgrind"):
        return None
    toggle = ["--collect-atstart=no", f"--toggle-collect={only}"] if only else []
    counts = []
    for layout in range(LAYOUTS):
        lowest_mapping = LOWEST_MAPPING + layout * (1 << 20) // LAYOUTS
        result = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                                 f"--aspace-minaddr={lowest_mapping:#x}", *toggle, python, "-c",
                                 COLLECTOR_PHASE.format(layout=layout, layouts=LAYOUTS) + code],
                                capture_output=True, text=True,
                                env={**env, "PYTHONHASHSEED": "0", "BENCH_LAYOUT": "x" * (1 + 5 * layout)})
        counts.append(int(re.search(r"Collected : (\d+)", result.stderr).group(1)))
    return statistics.mean(counts), counts


def child_cpu_seconds(command, env):
    process = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, command
    return usage.ru_utime + usage.ru_stime


def wall_ns(python, code, env):
    return int(subprocess.run([python, "-c", code], capture_output=True, text=True, env=env,
                              check=True).stdout.split()[-1])


def print_table(title, header, rows):
    print(f"\n{title}\n\n| {' | '.join(header)} |\n|---|{'---:|' * (len(header) - 1)}")
    for row in rows:
        print(f"| {' | '.join(row)} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--wheels", type=Path, required=True)
    parser.add_argument("--runs", type=int, default=41)
    args = parser.parse_args()
    host_wheel = next(args.wheels.glob("tavrin-*.whl"))
    our_wheel = next(args.wheels.glob("tavrin_native-*.whl"))

    with tempfile.TemporaryDirectory() as scratch:
        scratch = Path(scratch)
        env = {**os.environ, "XDG_CONFIG_HOME": str(scratch / "config"), "HOME": str(scratch),
               "TMPDIR": str(scratch / "tmp")}
        # The empty extension module and the docstring-only package.
        extra_env = {**env, "PYTHONPATH": str(scratch / "extra")}
        (scratch / "tmp").mkdir()
        (scratch / "extra" / "docstring_only").mkdir(parents=True)
        (scratch / "extra" / "docstring_only" / "__init__.py").write_text('"""A package."""\n')
        build_empty_extension(scratch / "extra")
        host = make_environment(scratch / "A", [host_wheel])
        ours = make_environment(scratch / "B", [host_wheel, our_wheel])
        # As pip leaves the installed modules: compiled. And the identifier
        # file made, so that every command reads it.
        subprocess.run([host, "-m", "compileall", "-q", str(scratch / "extra")], check=True, env=env)
        subprocess.run([host, "-c", TYPICAL], check=True, env=env)
        version = f"{platform.python_implementation()} {platform.python_version()} ({platform.machine()})"
        print(f"== {version}")

        counts = {name: (instructions(ours, code, env, only), instructions(host, code, env, only))
                  for name, code, only in [("typical command", TYPICAL, None),
                                           ("import both, exit", IMPORT_EXIT, None),
                                           ("import both, os._exit(0)", IMPORT_OS_EXIT, None),
                                           ("Py_FinalizeEx alone (import both, collect, exit)", IMPORT_COLLECT_EXIT,
                                            "Py_FinalizeEx")]}
        if None in counts["typical command"]:
            print("\n(valgrind not found: no instruction counts)")
        else:
            def row(name, b, a, differences):
                return [name, f"{b / 1e6:.3f} M", f"{a / 1e6:.3f} M", f"{b / a:.5f}", f"{b - a:+,.0f}",
                        f"{statistics.median(differences):+,.0f}", f"{min(differences):+,} to {max(differences):+,}"]

            rows = [row(name, b, a, [x - y for x, y in zip(b_counts, a_counts)])
                    for name, ((b, b_counts), (a, a_counts)) in counts.items()]
            (exit_b, exit_bs), (exit_a, exit_as) = counts["import both, exit"]
            (quick_b, quick_bs), (quick_a, quick_as) = counts["import both, os._exit(0)"]
            rows.insert(3, row("shutdown (exit less os._exit)", exit_b - quick_b, exit_a - quick_a,
                               [eb - qb - ea + qa for eb, qb, ea, qa in zip(exit_bs, quick_bs, exit_as, quick_as)]))
            print_table(f"Instructions, whole processes, {version}, mean of {LAYOUTS} process layouts",
                        ["", "B: with ours", "A: host alone", "B / A", "B less A", "B less A, median",
                         "B less A, range"], rows)

        # Fresh processes, interleaved, so that drift hits every contender alike.
        contenders = {"ours": ours, "Python module": host}
        samples = {(name, who): [] for name in MODULES for who in contenders}
        packages = {"import tavrin": [], "docstring-only package": []}
        cpu = {"B": [], "A": []}
        for _ in range(args.runs):
            for name, (before, module) in MODULES.items():
                for who, python in contenders.items():
                    code = OWN_IMPORT.format(before=before, module=module)
                    samples[name, who].append(wall_ns(python, code, extra_env if module == "empty" else env))
            for package, module in [("import tavrin", "tavrin"), ("docstring-only package", "docstring_only")]:
                packages[package].append(wall_ns(host, OWN_IMPORT.format(before="os", module=module), extra_env))
            cpu["B"].append(child_cpu_seconds([ours, "-c", TYPICAL], env))
            cpu["A"].append(child_cpu_seconds([host, "-c", TYPICAL], env))

        median_us = {key: statistics.median(values) / 1000 for key, values in samples.items()}
        empty = median_us["empty extension", "ours"]
        rows = [[name, f"{median_us[name, 'ours']:.0f} µs", f"{median_us[name, 'Python module']:.0f} µs",
                 f"{median_us[name, 'ours'] / median_us[name, 'Python module']:.2f}",
                 f"{median_us[name, 'ours'] - empty:.0f} µs"] for name in ("linker", "hostprint")]
        rows.append(["empty extension module", f"{empty:.0f} µs", "", "", ""])
        print_table(f"A module's own import, wall time, median of {args.runs} processes",
                    ["", "ours", "Python module", "ours / Python", "ours above the empty module"], rows)

        tavrin, docstring_only = (statistics.median(packages[k]) / 1000 for k in packages)
        print_table("The host's package", ["", "median"],
                    [["import tavrin (stand-in host)", f"{tavrin:.0f} µs"],
                     ["import of a docstring-only package", f"{docstring_only:.0f} µs"],
                     ["difference", f"{tavrin - docstring_only:+.0f} µs"]])

        ratios = [b / a for b, a in zip(cpu["B"], cpu["A"]) if a > 0]
        print(f"\nTypical command, CPU time: B {statistics.median(cpu['B']) * 1000:.1f} ms, "
              f"A {statistics.median(cpu['A']) * 1000:.1f} ms; median of {len(ratios)} pair ratios B / A: "
              f"{statistics.median(ratios):.3f}")


if __name__ == "__main__":
    main()
