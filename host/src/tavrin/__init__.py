"""tavrin: manages skills, the directories of material that AI tools read."""

import os
import sys


def _accelerated_path(path: list[str], name: str) -> list[str]:
    """The package's folders with those of the same package found elsewhere
    on sys.path first. Installed normally, tavrin-native's extension modules
    sit beside ours in one folder and win there; beside an editable install
    they sit in another folder, which must then come first to win. Only os
    and sys are used, both loaded before any program runs: pkgutil would
    bring typing and more into every start of the tool."""
    parts = name.split(".")
    elsewhere = []
    for entry in sys.path:
        if not isinstance(entry, str):
            continue
        folder = os.path.join(entry, *parts)
        if folder not in path and folder not in elsewhere and os.path.isdir(folder):
            elsewhere.append(folder)
    return elsewhere + list(path)


__path__ = _accelerated_path(__path__, __name__)
