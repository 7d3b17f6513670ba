"""Fails one memory allocation at a time during an import or a call of ours,
each in a child process forked from this one, and reports how every child
ended, as JSON on stdout. Needs a debug build of CPython (_testcapi).
Usage: fault_driver.py SANDBOX MAX_RUNS_PER_CASE [CASE...]
       fault_driver.py SANDBOX --one CASE N   (fails the Nth allocation of CASE, unforked)

For each case the driver first counts the allocations it makes (the least n
for which failing every allocation after the nth still lets it succeed),
then fails the nth allocation alone for n below that count: every n, or an
even sample of MAX_RUNS_PER_CASE of them. A child passes when the case ends
as it does without a failure, or raises MemoryError or another ordinary
exception of the standard library; and when, the failure over, the module
still does its work. A crash, a SystemError (CPython's word for a result
returned with an exception pending, or an error returned without one), a
wrong result or message, or a module broken afterwards fails it.

CPython 3.14 and 3.15 debug builds abort on their own when the eval loop
fails to grow a list in a comprehension (seen in dataclasses and shutil,
with Python modules as with ours). A crash whose C stack shows the abort
inside the eval loop, with none of our code in between, is counted apart
as CPython's own."""
import dataclasses
import faulthandler
import importlib
import json
import os
import pathlib  # noqa: F401  (ours import these: loaded before any failure)
import re
import shutil
import sys
import traceback
import uuid  # noqa: F401
from pathlib import Path

import _testcapi

import tavrin.config  # noqa: F401  (the host's packages, imported before any failure)
import tavrin.skills.link  # noqa: F401
import tavrin.telemetry  # noqa: F401

UUID4 = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
STANDARD_MODULES = set(sys.stdlib_module_names) | {"builtins"}
LINKER, HOSTPRINT = "tavrin.skills.link.linker", "tavrin.telemetry.hostprint"


def module(name):
    return importlib.import_module(name)


def skill_in(box):
    skill = box / "central" / "skill"
    (skill / "data").mkdir(parents=True)
    (skill / "data" / "VERSION.json").write_text("{}")
    return skill


def linked(box):
    """A linker, a skill and the entry that links to it."""
    linker, skill = module(LINKER).SkillsLinker(), skill_in(box)
    return linker, skill, linker.link("skill", skill, box / "tools").link_path


# A case prepares its corner of the sandbox before any failure, and returns
# the action that runs under it.
def link_case(box, name="skill", force=False, occupy=False):
    skill, tools = skill_in(box), box / "tools"
    if occupy:
        (tools / "skill").mkdir(parents=True)
    linker = module(LINKER).SkillsLinker()
    return lambda: linker.link(name, skill, tools, force=force)


def unlink_case(box):
    linker, _, entry = linked(box)
    return lambda: linker.unlink(entry)


def is_link_valid_case(box):
    linker, skill, entry = linked(box)
    return lambda: linker.is_link_valid(entry, skill)


def cold_hostprint_case(box):
    hostprint = module(HOSTPRINT)
    hostprint._cached, hostprint._HOSTPRINT_FILE = None, box / "config" / "hostprint"
    return hostprint.get_hostprint


def first_reads_case(box):
    """What a function makes on first read: annotations, code, __annotate__."""
    link = module(LINKER).SkillsLinker.link
    return lambda: (link.__annotations__, link.__code__.co_varnames,
                    link.__annotate__(1) if sys.version_info >= (3, 14) else None)


def import_case(name):
    def prepare(box):
        sys.modules.pop(name, None)
        return lambda: module(name)
    return prepare


def shown(result):
    """A result as two runs can compare it: paths and identifiers differ."""
    if isinstance(result, str) and UUID4.match(result):
        return "a UUID v4"
    if type(result).__name__ == "module":
        return f"module {result.__name__}: {', '.join(n for n in vars(result) if not n.startswith('__'))}"
    if dataclasses.is_dataclass(result):
        return f"LinkResult(method={result.method!r}, replaced={result.replaced!r})"
    return repr(result)


CASES = {
    f"import {LINKER}": import_case(LINKER),
    f"import {HOSTPRINT}": import_case(HOSTPRINT),
    "link": link_case,
    "link, forced over an entry": lambda box: link_case(box, force=True, occupy=True),
    "refused: not a str": lambda box: link_case(box, name=b"skill"),
    "refused: unsafe name": lambda box: link_case(box, name="../skill"),
    "refused: occupied": lambda box: link_case(box, occupy=True),
    "unlink": unlink_case,
    "is_link_valid": is_link_valid_case,
    "get_hostprint, cold cache": cold_hostprint_case,
    "first reads of a function's attributes": first_reads_case,
}


def still_works(box):
    """The module does its work once the failure is over."""
    linker, hostprint = module(LINKER), module(HOSTPRINT)
    skill, tools = skill_in(box), box / "tools"
    result = linker.SkillsLinker().link("skill", skill, tools)
    assert linker.SkillsLinker().is_link_valid(result.link_path, skill), "link no longer valid"
    assert linker.SkillsLinker().unlink(result.link_path) is True, "unlink no longer works"
    hostprint._cached, hostprint._HOSTPRINT_FILE = None, box / "config2" / "hostprint"
    assert UUID4.match(hostprint.get_hostprint()), "no identifier"


def verdict(run, expected):
    """How a run ended, against `expected`, the plain run's ending."""
    try:
        result = run()
    except BaseException as error:
        _testcapi.remove_mem_hooks()
        ending = f"raised {type(error).__name__}: {error}"
        if ending == expected or isinstance(error, MemoryError):
            return ending if ending == expected else "MemoryError"
        if expected and expected.startswith(f"raised {type(error).__name__}:"):
            return f"fault: the expected exception, with another message: {ending}"
        if isinstance(error, SystemError) or type(error).__module__ not in STANDARD_MODULES:
            return f"fault: {ending}"
        return ending[:160]
    _testcapi.remove_mem_hooks()
    ending = "returned " + shown(result)
    return ending if ending == expected or expected is None else f"fault: wrong result: {ending}"


def child(case, box, failure, expected, write):
    """Runs in the forked child: prepares, fails the allocations numbered
    in `failure` (none when None), runs the case and judges how it ended;
    after a failure, checks the module still works. Reports on `write`."""
    try:
        run = CASES[case](box / "case")
        if failure:
            _testcapi.set_nomemory(*failure)
        ending = verdict(run, expected)
        if failure and failure[1]:
            still_works(box / "after")
    except BaseException:
        ending = "fault: " + traceback.format_exc(limit=-3)
    os.write(write, ending.encode())
    os._exit(0)


def interpreters_own(report):
    """Whether a crash report shows the interpreter aborting while it ran
    bytecode, with none of our code between the abort and the eval loop (a
    fault of CPython's own, seen with Python modules too). Without a C stack
    in the report (before 3.14), a crash counts as ours."""
    frames = report.partition("C stack trace")[2].splitlines()
    for frame in frames:
        if "/tavrin/" in frame:
            return False
        if "_PyEval_EvalFrameDefault" in frame:
            return True
    return False


def forked(case, box, failure=None, expected=None):
    """How the case ended in a forked child: see `child`."""
    read, write = os.pipe()
    box.mkdir(parents=True)
    with open(box / "stderr", "w+b") as stderr:
        pid = os.fork()
        if pid == 0:
            os.close(read)
            os.dup2(stderr.fileno(), 2)
            child(case, box, failure, expected, write)
        os.close(write)
        with os.fdopen(read, "rb") as pipe:
            ending = pipe.read().decode()
        _, status = os.waitpid(pid, 0)
        stderr.seek(0)
        report = stderr.read().decode(errors="replace")
    shutil.rmtree(box)
    if not os.WIFSIGNALED(status):
        return ending or f"fault: exit status {os.waitstatus_to_exitcode(status)}: {report[-2000:]}"
    assertion = next((line for line in report.splitlines() if "Assertion" in line), "no assertion")
    if interpreters_own(report):
        return f"CPython's own crash: {assertion.rpartition(': ')[2]}"
    return f"fault: crashed with signal {os.WTERMSIG(status)}: {report[-3000:]}"


def allocations(case, box, expected):
    """The least n for which failing every allocation after the nth lets the
    case end as it does without failures."""
    low, high = 0, 1
    while forked(case, box, (high, 0), expected) != expected:
        low, high = high, high * 2
    while high - low > 1:
        middle = (low + high) // 2
        if forked(case, box, (middle, 0), expected) == expected:
            high = middle
        else:
            low = middle
    return high


def main():
    faulthandler.enable()  # a crashing child shows where it was
    if sys.argv[2] == "--one":  # one run in this process, to see a fault's own report
        case, n = sys.argv[3], int(sys.argv[4])
        child(case, Path(sys.argv[1]), (n, n + 1), None, sys.stdout.fileno())
    sandbox, max_runs = Path(sys.argv[1]), int(sys.argv[2])
    summary = {}
    for index, case in enumerate(sys.argv[3:] or CASES):
        box = sandbox / f"case{index}"
        expected = forked(case, box)
        count = allocations(case, box, expected)
        step = max(1, -(-count // max_runs))
        verdicts = {}
        for n in range(0, count, step):
            found = forked(case, box, (n, n + 1), expected)
            if found.startswith("fault"):
                found = f"{found} (failing allocation {n})"
            verdicts[found] = verdicts.get(found, 0) + 1
        summary[case] = {"ending": expected, "allocations": count, "runs": len(range(0, count, step)), "verdicts": verdicts}
    json.dump(summary, sys.stdout, indent=1)


if __name__ == "__main__":
    main()
