"""The build backend: scikit-build-core's, but in a git checkout the sdist
holds only files git tracks. scikit-build-core's explicit inclusion mode
takes whole folders, untracked files with them; so every untracked file
(ignored ones too) goes to it as an sdist.exclude pattern. Outside a
checkout (an unpacked sdist being rebuilt) every file is taken: the sdist
held tracked files only."""
import os
import re
import subprocess

from scikit_build_core.build import *  # noqa: F403 (the other hooks, as they are)
from scikit_build_core.build import build_sdist as _build_sdist


def untracked():
    """Anchored gitignore patterns for the files and folders git does not
    track under the project, which must be the checkout's top folder."""
    if not os.path.exists(".git"):
        return []
    try:
        listed = subprocess.run(["git", "ls-files", "--others", "--directory", "--no-empty-directory", "-z"],
                                check=True, capture_output=True).stdout
    except (OSError, subprocess.CalledProcessError) as error:
        raise SystemExit(f"tavrin-native: this is a git checkout, and git cannot list its untracked files "
                         f"(the sdist holds tracked files only): {error}") from None
    # Escaped, so that a name is taken literally; a trailing "/" marks a folder.
    return ["/" + re.sub(r"([\\*?\[]|\s$)", r"\\\1", path)
            for path in os.fsdecode(listed).split("\0") if path]


def build_sdist(sdist_directory, config_settings=None):
    settings, excluded = dict(config_settings or {}), untracked()
    if excluded:  # after those given as config settings, which replace pyproject.toml's
        given = settings.get("sdist.exclude", [])
        settings["sdist.exclude"] = (given.split(";") if isinstance(given, str) else list(given)) + excluded
    return _build_sdist(sdist_directory, settings)
