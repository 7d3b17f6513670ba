"""The README's Python snippets run as written."""
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).parent.parent / "README.md"
SNIPPETS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.DOTALL)


def test_there_is_a_snippet_per_module():
    assert any("linker" in s for s in SNIPPETS) and any("hostprint" in s for s in SNIPPETS)


@pytest.mark.parametrize("snippet", SNIPPETS, ids=[f"snippet{n}" for n in range(len(SNIPPETS))])
def test_snippet_runs(snippet, tmp_path):
    result = subprocess.run([sys.executable, "-c", snippet], capture_output=True, text=True,
                            cwd=tmp_path, timeout=60)
    assert result.returncode == 0, result.stderr
