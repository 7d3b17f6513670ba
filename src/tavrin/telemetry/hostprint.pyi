"""The machine's stable identifier, a UUID v4 persisted under CONFIG_DIR."""

import uuid as uuid
from pathlib import Path

CONFIG_DIR: Path
_HOSTPRINT_FILE: Path
_cached: str | None

def get_hostprint() -> str: ...
