"""Times the native modules against the host tool's Python modules (the peer)
in one process.

Contenders run interleaved, and each figure is the best of several repeats,
in nanoseconds per call. The floor row is the cost of calling a C builtin,
len(()), through the same loop.
With --no-dict-watchers every dict-watcher slot of the interpreter is taken
before the modules are imported, as a crowded process may have them, so the
modules read their globals by plain lookups.
Usage: python bench/run.py [--repeats N] [--seconds S] [--no-dict-watchers]
"""

import argparse
import importlib
import platform
import timeit

LOOP = "for _ in range(n): f()"


def time_per_call(fn, number, loop=LOOP, argument=None):
    timer = timeit.Timer(loop, globals={"f": fn, "n": number, "a": argument})
    return timer.timeit(1) / number * 1e9


def calibrate(fn, seconds, **kwargs):
    number = 1
    while time_per_call(fn, number, **kwargs) * number < seconds * 1e9 and number < 1 << 24:
        number *= 2
    return number


def take_every_dict_watcher():
    import _testcapi

    while True:
        try:
            _testcapi.add_dict_watcher(0)
        except RuntimeError:
            return


def measure(cases, case, repeats, seconds):
    with cases.os_stubbed(case.stub_os):
        numbers = {label: calibrate(fn, seconds) for label, fn in case.runs.items()}
        best = {label: float("inf") for label in case.runs}
        for _ in range(repeats):
            for label, fn in case.runs.items():
                best[label] = min(best[label], time_per_call(fn, numbers[label]))
    return best


def measure_floor(repeats, seconds):
    """len(()) through the same loop: what any call of a C function costs here."""
    shape = {"loop": "for _ in range(n): f(a)", "argument": ()}
    number = calibrate(len, seconds, **shape)
    return min(time_per_call(len, number, **shape) for _ in range(repeats))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--seconds", type=float, default=0.05, help="time per repeat and contender")
    parser.add_argument("--no-dict-watchers", action="store_true", help="import with every dict watcher taken")
    args = parser.parse_args()
    if args.no_dict_watchers:
        take_every_dict_watcher()
    cases = importlib.import_module("cases")  # imports the modules

    print(f"# {platform.python_implementation()} {platform.python_version()} on {platform.machine()}, "
          f"best of {args.repeats}, ns per call" + (", no dict watchers" if args.no_dict_watchers else ""))
    print(f"{'case':<32} {'native':>9} {'peer':>9} {'native/peer':>12}")
    floor = measure_floor(args.repeats, args.seconds)
    try:
        for case in cases.build():
            best = measure(cases, case, args.repeats, args.seconds)
            native, peer = best.pop("native"), best.pop("peer")
            print(f"{case.name:<32} {native:>9.1f} {peer:>9.1f} {native / peer:>12.2f}")
            for label, other in best.items():
                print(f"{'  against a ' + label + ' function':<32} {native:>9.1f} {other:>9.1f} "
                      f"{native / other:>12.2f}   ({native / floor:.2f} x floor)")
    finally:
        cases.cleanup()
    print(f"{'floor: len(())':<32} {floor:>9.1f}")


if __name__ == "__main__":
    main()
