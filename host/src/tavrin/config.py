"""Stand-in for the host tool's configuration module.

Only ``CONFIG_DIR`` is provided: the tool's configuration directory, under
``$XDG_CONFIG_HOME`` when that is set and not empty, else ``~/.config``.
"""

import os
from pathlib import Path


def _config_dir() -> Path:
    base = os.environ.get("XDG_CONFIG_HOME")
    if base:
        return Path(base) / "tavrin"
    return Path.home() / ".config" / "tavrin"


CONFIG_DIR = _config_dir()
