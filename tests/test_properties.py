"""Random skill trees and random histories of operations: the central store
never changes, and every entry is what a small model says it is."""
import contextlib
import os
import tempfile
from pathlib import Path

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tavrin.skills.link.linker as L
from conftest import FIGURES, tree_digest
from emulation import EmulatedWindows

NAMES = st.sampled_from(["a", "b", "data", "__pycache__", "lib"])
FILE_NAMES = st.sampled_from(["x.txt", "m.pyc", "n.pyo", "VERSION.json", "run.py"])


@st.composite
def skill_trees(draw):
    """Directories, files, and links inside the skill pointing in and out."""
    dirs = draw(st.lists(st.lists(NAMES, min_size=1, max_size=3).map(tuple), max_size=5, unique=True))
    dirs = [()] + dirs
    files = draw(st.lists(st.tuples(st.sampled_from(dirs), FILE_NAMES, st.binary(max_size=8)), max_size=8))
    links = draw(st.lists(st.tuples(st.sampled_from(dirs), st.sampled_from(["in", "out-file", "out-dir"])),
                          max_size=3))
    return dirs, files, links


def build_tree(root: Path, tree):
    dirs, files, links = tree
    skill, outside = root / "central" / "skill", root / "outside"
    (outside / "shared").mkdir(parents=True)
    (outside / "shared" / "note.txt").write_text("outside")
    (outside / "file.txt").write_text("outside file")
    skill.mkdir(parents=True)
    for parts in dirs:
        (skill.joinpath(*parts)).mkdir(parents=True, exist_ok=True)
    made_files = []
    for parts, name, content in files:
        path = skill.joinpath(*parts, name)
        if not path.is_dir():
            path.write_bytes(content)
            made_files.append(path)
    for number, (parts, kind) in enumerate(links):
        link = skill.joinpath(*parts, f"link{number}")
        if kind == "in" and made_files:
            link.symlink_to(os.path.relpath(made_files[0], link.parent))
        elif kind == "out-dir":
            link.symlink_to(outside / "shared", target_is_directory=True)
        else:
            link.symlink_to(outside / "file.txt")
    return skill, outside


OPERATIONS = st.lists(st.tuples(st.sampled_from(["link", "force", "unlink", "valid"]), st.integers(0, 2)),
                      min_size=1, max_size=12)
PLATFORMS = {
    "posix": (contextlib.nullcontext, "link", "symlink"),
    "windows-copy": (EmulatedWindows, "copy", "copy_fallback"),
    "windows-link": (lambda: EmulatedWindows(symlink_error=None), "link", "junction"),
}


def entry_state(entry: Path, skill: Path):
    if entry.is_symlink():
        assert os.readlink(entry) == str(skill)
        return "link"
    if not entry.exists():
        return "absent"
    assert entry.is_dir()
    for directory, dirnames, filenames in os.walk(entry):
        assert "__pycache__" not in dirnames
        assert not [n for n in filenames if n.endswith((".pyc", ".pyo"))]
    return "copy"


def check_history(platform, tree, operations):
    emulate, made, method = PLATFORMS[platform]
    FIGURES[f"property examples ({platform})"] = FIGURES.get(f"property examples ({platform})", 0) + 1
    with tempfile.TemporaryDirectory() as folder:
        root = Path(folder)
        skill, outside = build_tree(root, tree)
        before = (tree_digest(skill), tree_digest(outside))
        tools = [root / "home" / f".tool{n}" / "skills" for n in range(3)]
        model = ["absent"] * 3
        linker = L.SkillsLinker()
        with emulate():
            for operation, tool in operations:
                entry = tools[tool] / "skill"
                if operation in ("link", "force"):
                    if model[tool] != "absent" and operation == "link":
                        try:
                            linker.link("skill", skill, tools[tool])
                        except ValueError:
                            pass
                        else:
                            raise AssertionError("occupied entry was not refused")
                    else:
                        result = linker.link("skill", skill, tools[tool], force=operation == "force")
                        assert (result.method, result.replaced) == (method, model[tool] != "absent")
                        model[tool] = made
                elif operation == "unlink":
                    assert linker.unlink(entry) is (model[tool] != "absent")
                    model[tool] = "absent"
                else:
                    healthy = model[tool] == "link" or (
                        model[tool] == "copy" and (skill / "data" / "VERSION.json").exists())
                    assert linker.is_link_valid(entry, skill) is healthy
                assert (tree_digest(skill), tree_digest(outside)) == before
                assert [entry_state(t / "skill", skill) for t in tools] == model


SETTINGS = settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@SETTINGS
@given(tree=skill_trees(), operations=OPERATIONS)
def test_posix_histories(tree, operations):
    check_history("posix", tree, operations)


@SETTINGS
@given(tree=skill_trees(), operations=OPERATIONS)
def test_windows_copy_histories(tree, operations):
    check_history("windows-copy", tree, operations)


@SETTINGS
@given(tree=skill_trees(), operations=OPERATIONS)
def test_windows_link_histories(tree, operations):
    check_history("windows-link", tree, operations)
