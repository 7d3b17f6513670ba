"""Instructions per call for the stubbed cases, counted by callgrind.

Counts are stable on a noisy machine (string hashing is fixed, so dict
probes repeat from run to run): each figure is the difference between
a run making N calls and a run making none, divided by N, so start-up and
set-up cancel out. Usage: python bench/callgrind.py [--calls N]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

STUBBED_CASES = [
    "warm get_hostprint()",
    "link, stubbed I/O",
    "refused: wrong type",
    "refused: unsafe name",
    "unlink via instance, stub",
    "unlink via class, stub",
]


def worker(case_name, contender, calls):
    import cases

    case = next(c for c in cases.build() if c.name == case_name)
    run = case.runs[contender]
    with cases.os_stubbed(case.stub_os):
        for _ in range(calls):
            run()
    cases.cleanup()


def instructions(case_name, contender, calls, out_dir):
    out_file = Path(out_dir) / f"callgrind.{abs(hash((case_name, contender, calls)))}"
    subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}",
         sys.executable, __file__, "--worker", case_name, contender, str(calls)],
        check=True, capture_output=True, env={**os.environ, "PYTHONHASHSEED": "0"})
    summary = re.search(r"^summary:\s+(\d+)", out_file.read_text(), re.MULTILINE)
    return int(summary.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--worker", nargs=3, metavar=("CASE", "CONTENDER", "CALLS"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        case_name, contender, calls = args.worker
        worker(case_name, contender, int(calls))
        return
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is needed (Debian package 'valgrind')")
    print(f"# instructions per call, callgrind, {args.calls} calls less none")
    print(f"{'case':<32} {'native':>9} {'peer':>9} {'native/peer':>12}")
    with tempfile.TemporaryDirectory() as out_dir:
        for case_name in STUBBED_CASES:
            per_call = {}
            for contender in ("native", "peer"):
                baseline = instructions(case_name, contender, 0, out_dir)
                per_call[contender] = (instructions(case_name, contender, args.calls, out_dir) - baseline) / args.calls
            native, peer = per_call["native"], per_call["peer"]
            print(f"{case_name:<32} {native:>9.0f} {peer:>9.0f} {native / peer:>12.2f}")


if __name__ == "__main__":
    main()
