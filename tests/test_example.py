import subprocess
import sys
from pathlib import Path

EXAMPLE = Path(__file__).parent.parent / "examples" / "tour.py"


def test_the_tour_runs_in_its_sandbox_and_leaves_the_store_intact():
    result = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "ValueError: 目标已存在（使用 --force 覆盖）" in out
    assert "central store untouched      True" in out
    assert "second process agrees        True" in out
    stored_in = next(line for line in out.splitlines() if line.strip().startswith("stored in"))
    assert "/tavrin-tour-" in stored_in  # the sandbox, never the real configuration
