"""Failed allocations, one at a time, during each import and public call
(see fault_driver.py): each ends in an ordinary exception or in the usual
result, and the module works afterwards."""
import importlib.util
import json
import sys
from pathlib import Path

import pytest

from conftest import FIGURES, run

MAX_RUNS_PER_CASE = 2500  # every n, for the cases as they stand


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount") or importlib.util.find_spec("_testcapi") is None,
                    reason="failing allocations on demand needs a debug build of CPython (_testcapi)")
def test_each_failed_allocation_ends_in_an_exception_and_leaves_a_working_module(tmp_path):
    driver = Path(__file__).with_name("fault_driver.py")
    result = run(sys.executable, str(driver), str(tmp_path / "runs"), str(MAX_RUNS_PER_CASE), timeout=900)
    assert result.returncode == 0, result.stderr[-3000:]
    summary = json.loads(result.stdout)
    faults = {case: [verdict for verdict in report["verdicts"] if verdict.startswith("fault")]
              for case, report in summary.items()}
    assert not any(faults.values()), faults
    for case, report in summary.items():  # the failures did reach every case
        assert report["runs"] == report["allocations"] > 0 and report["verdicts"]["MemoryError"] > 0, case
    FIGURES["failed-allocation runs"] = sum(report["runs"] for report in summary.values())
    FIGURES["failed-allocation runs that hit CPython's own crash"] = sum(
        count for report in summary.values() for verdict, count in report["verdicts"].items()
        if verdict.startswith("CPython's own crash"))
