"""tavrin: manages skills, the directories of material that AI tools read."""

from pkgutil import extend_path


def _accelerated_path(path: list[str], name: str) -> list[str]:
    """The package's folders with those of the same package found elsewhere
    on sys.path first. Installed normally, tavrin-native's extension modules
    sit beside ours in one folder and win there; beside an editable install
    they sit in another folder, which must then come first to win."""
    elsewhere = [folder for folder in extend_path(path, name) if folder not in path]
    return elsewhere + list(path)


__path__ = _accelerated_path(__path__, __name__)
