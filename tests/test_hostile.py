"""No input crashes the interpreter: many hostile calls in a subprocess."""
import os
import re
import subprocess
import sys
from pathlib import Path

from conftest import FIGURES

DRIVER = Path(__file__).with_name("hostile_driver.py")
CALLS = 12000


def test_hostile_calls_end_in_results_or_exceptions(tmp_path):
    result = subprocess.run([sys.executable, str(DRIVER), str(tmp_path), str(CALLS)],
                            capture_output=True, text=True, timeout=300,
                            env={**os.environ, "XDG_CONFIG_HOME": str(tmp_path / "config")})
    # A negative code is a signal: a crash, whatever the output says.
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stderr[-3000:]}"
    made = re.match(r"(\d+) calls, (\d+) raised", result.stdout)
    assert made and int(made.group(1)) >= 10000, result.stdout
    FIGURES["hostile calls"] = int(made.group(1))
    FIGURES["hostile calls that raised"] = int(made.group(2))
