"""_safe_remove, unlink and is_link_valid: removal never reaches behind a link."""
import os
import shutil

import pytest

import tavrin.skills.link.linker as L
from conftest import tree_digest
from fakes import RecordingPath


@pytest.fixture
def entry(tmp_path):
    tools = tmp_path / "tools"
    tools.mkdir()
    return tools / "code-review"


class TestPosixRemoval:
    def test_link_to_the_central_store_goes_and_the_store_stays(self, linker, central, entry, monkeypatch):
        before = tree_digest(central)
        entry.symlink_to(central, target_is_directory=True)
        monkeypatch.setattr(L, "shutil", None)  # rmtree must not be reached
        assert linker.unlink(entry) is True
        assert not entry.is_symlink() and tree_digest(central) == before

    def test_dangling_link_is_removed(self, linker, entry):
        entry.symlink_to(entry.parent / "gone")
        assert linker.unlink(entry) is True
        assert not entry.is_symlink()

    def test_directory_is_removed_with_its_content(self, linker, central, entry):
        shutil.copytree(central, entry)
        assert linker.unlink(entry) is True
        assert not entry.exists()

    def test_plain_file_is_not_removed(self, linker, entry):
        entry.write_text("keep")
        with pytest.raises(NotADirectoryError):
            linker.unlink(entry)
        assert entry.read_text() == "keep"

    def test_nothing_there(self, linker, entry):
        calls = []

        class Watched(L.SkillsLinker):
            def _safe_remove(self, path):
                calls.append(path)

        assert Watched().unlink(entry) is False and calls == []

    def test_override_is_called_with_the_same_object(self, entry):
        entry.mkdir()
        seen = []

        class Keeping(L.SkillsLinker):
            def _safe_remove(self, path):
                seen.append(path)
                return "ignored"

        assert Keeping().unlink(entry) is True
        assert seen[0] is entry and entry.is_dir()


class TestWindowsRemoval:
    def test_directory_link_goes_by_rmdir_alone(self, linker, central, entry, windows):
        before = tree_digest(central)
        os.symlink(central, entry, target_is_directory=True)
        assert linker._safe_remove(entry) is None
        assert windows.log.names() == ["rmdir"] and not entry.is_symlink()
        assert windows.log[0][1] == (str(entry),) and type(windows.log[0][1][0]) is str
        assert tree_digest(central) == before

    def test_empty_directory_goes_by_rmdir(self, linker, entry, windows):
        entry.mkdir()
        linker._safe_remove(entry)
        assert windows.log.names() == ["rmdir"] and not entry.exists()

    def test_full_directory_falls_back_to_rmtree(self, linker, central, entry, windows):
        shutil.copytree(central, entry)
        assert linker._safe_remove(entry) is None
        assert windows.log.names() == ["rmdir", "rmtree"]
        assert windows.log[1][1][0] is entry and not entry.exists()

    def test_is_symlink_is_never_asked(self, linker, windows):
        log = []
        path = RecordingPath("tools/s", log)
        with pytest.raises(TypeError):  # rmtree cannot take the fake
            linker._safe_remove(path)
        assert "tools/s.is_symlink" not in log

    def test_rmtree_failure_propagates_without_the_rmdir_error(self, linker, entry, windows):
        entry.write_text("keep")
        with pytest.raises(NotADirectoryError) as raised:
            linker._safe_remove(entry)
        assert entry.read_text() == "keep"
        assert windows.log.names() == ["rmdir", "rmtree"]


class TestHealthCheck:
    def test_link_to_the_expected_directory(self, linker, central, entry, tmp_path, monkeypatch):
        entry.symlink_to(central)
        monkeypatch.chdir(tmp_path)
        assert linker.is_link_valid(entry, central) is True
        assert linker.is_link_valid(entry, type(central)("central/code-review")) is True
        (tmp_path / "alias").symlink_to(central.parent)
        assert linker.is_link_valid(entry, tmp_path / "alias" / "code-review") is True
        assert linker.is_link_valid(entry, central.parent) is False

    def test_dangling_link_is_judged_by_its_recorded_target(self, linker, tmp_path, entry):
        entry.symlink_to(tmp_path / "gone")
        assert linker.is_link_valid(entry, tmp_path / "gone") is True
        assert linker.is_link_valid(entry, tmp_path / "other") is False

    def test_copies_are_judged_by_the_marker_file(self, linker, central, entry, tmp_path):
        shutil.copytree(central, entry)
        assert linker.is_link_valid(entry, tmp_path / "unrelated") is True
        (entry / "data" / "VERSION.json").unlink()
        assert linker.is_link_valid(entry, central) is False
        assert linker.is_link_valid(entry.parent / "missing", central) is False

    def test_plain_file_is_unhealthy(self, linker, central, entry):
        entry.write_text("x")
        assert linker.is_link_valid(entry, central) is False

    @pytest.mark.parametrize("loop", ["self", "pair"])
    def test_link_loops_are_unhealthy_not_fatal(self, linker, central, entry, loop):
        if loop == "self":
            entry.symlink_to(entry)
        else:
            other = entry.parent / "other"
            entry.symlink_to(other)
            other.symlink_to(entry)
        assert linker.is_link_valid(entry, central) is False

    @pytest.mark.parametrize("error, result", [
        (PermissionError("denied"), False), (OSError("odd"), False), (RuntimeError("loop"), False),
        (KeyError("boom"), KeyError)])
    def test_resolve_errors(self, linker, error, result):
        log = []
        link = RecordingPath("link", log, exists=True, is_symlink=True, resolved=error)
        target = RecordingPath("target", log)
        if result is False:
            assert linker.is_link_valid(link, target) is False
        else:
            with pytest.raises(result):
                linker.is_link_valid(link, target)

    def test_order_of_calls(self, linker):
        def calls(**kwargs):
            log = []
            marker = RecordingPath("link/data/VERSION.json", log, exists=True)
            data = RecordingPath("link/data", log, children={"VERSION.json": marker})
            link = RecordingPath("link", log, children={"data": data}, **kwargs)
            linker.is_link_valid(link, RecordingPath("target", log, resolved="link"))
            return log

        assert calls() == ["link.exists", "link.is_symlink"]
        assert calls(exists=True) == ["link.exists", "link.is_symlink", "link./ 'data'",
                                      "link/data./ 'VERSION.json'", "link/data/VERSION.json.exists"]
        assert calls(exists=True, is_symlink=True) == [
            "link.exists", "link.is_symlink", "link.resolve", "target.resolve"]
        assert calls(is_symlink=True) == [
            "link.exists", "link.is_symlink", "link.is_symlink", "link.resolve", "target.resolve"]

    def test_comparison_result_is_returned_unchanged(self, linker):
        class Odd:
            def __eq__(self, other):
                return "same-ish"

        link = RecordingPath("link", [], exists=True, is_symlink=True, resolved=Odd())
        assert linker.is_link_valid(link, RecordingPath("target", [])) == "same-ish"
