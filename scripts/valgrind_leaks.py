"""Prints the definite-leak records of a memcheck log that our modules
allocated, and exits 1 if there is any.

A block is ours when a frame of our modules comes before any frame of the
interpreter's evaluation loop in its allocation stack: Python code that our
modules call (pathlib, say) allocates on its own account. Interned strings
are left out: CPython 3.12 makes them immortal, so the ones our modules
intern once are never freed by design.
"""
import re
import sys

OURS = re.compile(r"(linker|hostprint)\.cpython")
EVALUATION = re.compile(r"_PyEval_EvalFrameDefault")
# PyDict_SetItemString interns its key, so that key is immortal too.
IMMORTAL = re.compile(r"PyUnicode_InternFromString|PyUnicode_InternInPlace|PyDict_SetItemString")


def allocated_by_us(record):
    frames = [line for line in record.splitlines() if re.search(r"(at|by) 0x", line)]
    for frame in frames:
        if IMMORTAL.search(frame) or EVALUATION.search(frame):
            return False
        if OURS.search(frame):
            return True
    return False


def records(log):
    record = []
    for line in log.splitlines():
        if re.fullmatch(r"==\d+== ?", line):
            if record:
                yield "\n".join(record)
            record = []
        else:
            record.append(line)
    if record:
        yield "\n".join(record)


def main():
    log = open(sys.argv[1], encoding="utf-8", errors="replace").read()
    ours = [r for r in records(log) if "definitely lost in" in r and allocated_by_us(r)]
    for record in ours:
        print(record, end="\n\n")
    sys.exit(1 if ours else 0)


if __name__ == "__main__":
    main()
