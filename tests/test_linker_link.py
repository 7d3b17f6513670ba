"""link, _create_link and _create_windows_link on real directories."""
import os
import sys
import types

import pytest

import tavrin.skills.link.linker as L
from conftest import tree_digest
from fakes import RecordingPath

OCCUPIED = "目标已存在（使用 --force 覆盖）: "


class TestPosix:
    def test_links_into_a_missing_tools_directory(self, linker, central, tmp_path):
        tools = tmp_path / "home" / ".agent" / "skills"
        result = linker.link("code-review", central, tools)
        link_path = tools / "code-review"
        assert os.readlink(link_path) == str(central)
        assert result == L.LinkResult(skill_name="code-review", link_path=link_path,
                                      target_path=central, method="symlink", replaced=False)

    def test_result_holds_the_objects_passed_in(self, linker, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        name, target = "".join(["sk", "ill"]), type(tmp_path)("relative/skill")
        result = linker.link(name, target, tmp_path / "tools")
        assert result.skill_name is name and result.target_path is target
        # Not checked, not resolved: a dangling relative link.
        assert os.readlink(tmp_path / "tools" / "skill") == "relative/skill"

    @pytest.mark.parametrize("make", [
        lambda p: p.mkdir(),
        lambda p: p.write_text("x"),
        lambda p: p.symlink_to(p.parent),
        lambda p: p.symlink_to(p.parent / "gone"),  # dangling counts as occupied
    ], ids=["directory", "file", "link", "dangling-link"])
    def test_occupied_entry_is_refused_and_left_alone(self, linker, central, tmp_path, make):
        tools = tmp_path / "tools"
        tools.mkdir()
        make(tools / "code-review")
        before = tree_digest(tmp_path)
        with pytest.raises(ValueError) as raised:
            linker.link("code-review", central, tools)
        assert str(raised.value) == OCCUPIED + str(tools / "code-review")
        assert tree_digest(tmp_path) == before

    @pytest.mark.parametrize("make", [
        lambda p: p.mkdir(),
        lambda p: p.symlink_to(p.parent),
        lambda p: p.symlink_to(p.parent / "gone"),
    ], ids=["directory", "link", "dangling-link"])
    def test_force_replaces_the_entry(self, linker, central, tmp_path, make):
        tools = tmp_path / "tools"
        tools.mkdir()
        make(tools / "code-review")
        result = linker.link("code-review", central, tools, force=True)
        assert result.replaced is True
        assert os.readlink(tools / "code-review") == str(central)

    def test_force_over_a_plain_file_fails_in_removal(self, linker, central, tmp_path):
        tools = tmp_path / "tools"
        tools.mkdir()
        (tools / "code-review").write_text("keep")
        with pytest.raises(NotADirectoryError):
            linker.link("code-review", central, tools, force=True)
        assert (tools / "code-review").read_text() == "keep"

    def test_force_with_nothing_there_replaces_nothing(self, central, tmp_path):
        calls = []

        class Watched(L.SkillsLinker):
            def _safe_remove(self, path):
                calls.append(path)

        assert Watched().link("code-review", central, tmp_path / "t", force=True).replaced is False
        assert calls == []

    def test_symlink_failure_propagates_without_fallback(self, linker, central, tmp_path, monkeypatch):
        def refuse(*args, **kwargs):
            raise PermissionError("no")
        monkeypatch.setattr(L, "os", types.SimpleNamespace(symlink=refuse))
        with pytest.raises(PermissionError):
            linker.link("code-review", central, tmp_path / "tools")
        assert (tmp_path / "tools").is_dir() and not os.listdir(tmp_path / "tools")

    @pytest.mark.parametrize("platform", ["linux", "darwin", "win32 ", "Win32", "win", "cygwin"])
    def test_only_exactly_win32_is_windows(self, linker, central, tmp_path, monkeypatch, platform):
        monkeypatch.setattr(L, "sys", types.SimpleNamespace(platform=platform))
        assert linker.link("code-review", central, tmp_path / "t").method == "symlink"


class TestCallOrder:
    def run(self, exists, is_symlink, force):
        log = []
        entry = RecordingPath("tools/s", log, exists=exists, is_symlink=is_symlink)
        tools = RecordingPath("tools", log, children={"s": entry})

        class Recording(L.SkillsLinker):
            def _safe_remove(self, path):
                log.append(("_safe_remove", path))

            def _create_link(self, target, link):
                log.append(("_create_link", target, link))
                return "symlink"

        result = Recording().link("s", "central", tools, force=force)
        return log, entry, result

    def test_free_entry(self):
        log, entry, result = self.run(False, False, False)
        assert log == ["tools./ 's'", "tools/s.exists", "tools/s.is_symlink",
                       "tools.mkdir(parents=True, exist_ok=True)", ("_create_link", "central", entry)]
        assert result.link_path is entry and result.replaced is False

    def test_existing_entry_skips_is_symlink_and_is_removed_first(self):
        log, entry, result = self.run(True, False, True)
        assert log == ["tools./ 's'", "tools/s.exists", ("_safe_remove", entry),
                       "tools.mkdir(parents=True, exist_ok=True)", ("_create_link", "central", entry)]
        assert result.replaced is True

    def test_refusal_stops_before_anything_else(self):
        with pytest.raises(ValueError, match="tools/s$"):
            self.run(False, True, False)

    def test_module_globals_are_read_at_each_call(self, linker, central, tmp_path, monkeypatch):
        made = []
        monkeypatch.setattr(L, "LinkResult", lambda **fields: made.append(fields) or "made")
        assert linker.link("code-review", central, tmp_path / "t") == "made"
        assert list(made[0]) == ["skill_name", "link_path", "target_path", "method", "replaced"]


class TestWindows:
    def test_directory_link_when_allowed(self, linker, central, tmp_path, windows):
        windows.symlink_error = None
        result = linker.link("code-review", central, tmp_path / "tools")
        assert result.method == "junction"
        assert windows.log[0] == ("symlink", (central, tmp_path / "tools" / "code-review"),
                                  {"target_is_directory": True})
        assert "copytree" not in windows.log.names()

    def test_copy_fallback_filters_caches_and_bytecode(self, linker, central, tmp_path, windows):
        link_path = tmp_path / "tools" / "code-review"
        result = linker.link("code-review", central, tmp_path / "tools")
        assert result.method == "copy_fallback" and not link_path.is_symlink()
        assert windows.log.names() == ["symlink", "ignore_patterns", "copytree"]
        assert windows.log[1][1] == ("__pycache__", "*.pyc", "*.pyo")
        name, args, kwargs = windows.log[2]
        assert args == (central, link_path) and list(kwargs) == ["ignore"]
        copied = tree_digest(link_path)
        assert sorted(copied) == ["SKILL.md", "data", "data/VERSION.json", "helper.py"]
        assert linker.is_link_valid(link_path, tmp_path / "anything")

    def test_failed_copy_carries_the_link_error_as_context(self, linker, central, tmp_path, windows, monkeypatch):
        windows.symlink_error = OSError("refused")

        def copy_fails(*args, **kwargs):
            raise FileExistsError("in the way")

        monkeypatch.setattr(L.shutil, "copytree", copy_fails)
        with pytest.raises(FileExistsError) as raised:
            linker.link("code-review", central, tmp_path / "tools")
        assert raised.value.__context__ is windows.raised
        assert sys.exc_info() == (None, None, None)

    def test_non_oserror_from_symlink_skips_the_copy(self, linker, central, tmp_path, windows):
        windows.symlink_error = KeyError("odd")
        with pytest.raises(KeyError):
            linker.link("code-review", central, tmp_path / "tools")
        assert "copytree" not in windows.log.names()

    @pytest.mark.parametrize("returned, accepted", [
        ("junction", True), (None, True), (42, False), (type("S", (str,), {})("x"), False)])
    def test_windows_strategy_result_must_be_exact_str_or_none(self, central, tmp_path, windows, returned, accepted):
        class Custom(L.SkillsLinker):
            def _create_windows_link(self, target, link):
                return returned

        if accepted:
            assert Custom()._create_link(central, tmp_path / "x") is returned
        else:
            with pytest.raises(TypeError) as raised:
                Custom()._create_link(central, tmp_path / "x")
            assert str(raised.value) == f"Expected str, got {type(returned).__name__}"


def test_native_methods_recursing_through_self_end_in_recursion_error(central, tmp_path, windows):
    linker = L.SkillsLinker()
    # _create_link -> self._create_windows_link -> _create_link -> ... with
    # no Python frame in between: bounded by the recursion limit, not the C stack.
    linker._create_windows_link = linker._create_link
    with pytest.raises(RecursionError):
        linker._create_link(central, tmp_path / "loop")
