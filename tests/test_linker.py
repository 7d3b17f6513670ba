"""The linker as host code sees it: its surface, and link, unlink and the
health check on real directories, natively and with Windows emulated."""
import copy
import dataclasses
import functools
import inspect
import os
import pickle
import pydoc
import sys
import traceback
import typing
from pathlib import Path
from unittest import mock

import pytest

import tavrin.skills.link.linker as L
from conftest import tree_digest

METHODS = ["link", "unlink", "is_link_valid", "_create_link", "_create_windows_link", "_safe_remove"]
OCCUPIED = "目标已存在（使用 --force 覆盖）: "


class MyStr(str):
    pass


class TestSurface:
    def test_module_class_and_record(self):
        assert [n for n in vars(L) if not n.startswith("__")] == [
            "os", "shutil", "sys", "dataclass", "Path", "LinkResult", "SkillsLinker"]
        assert [n for n in vars(L.SkillsLinker) if not n.startswith("__")] == METHODS
        assert [f.name for f in dataclasses.fields(L.LinkResult)] == [
            "skill_name", "link_path", "target_path", "method", "replaced"]

    def test_methods_look_like_python_functions(self):
        link = L.SkillsLinker.link
        assert (link.__name__, link.__qualname__, link.__module__, link.__defaults__) == (
            "link", "SkillsLinker.link", "tavrin.skills.link.linker", None)
        # (Signatures are checked against the stubs by mypy.stubtest.)
        assert str(inspect.signature(L.SkillsLinker().unlink)) == "(link_path: 'Path') -> 'bool'"
        assert typing.get_type_hints(L.SkillsLinker._safe_remove) == {"path": Path, "return": type(None)}
        assert "在 tool_skills_dir 下创建" in pydoc.render_doc(link, renderer=pydoc.plaintext)
        assert copy.deepcopy(link) is link and pickle.loads(pickle.dumps(link)) is link
        with mock.patch.object(L.SkillsLinker, "unlink", return_value="patched"):
            assert L.SkillsLinker().unlink(Path("x")) == "patched"
        assert L.SkillsLinker.unlink is vars(L.SkillsLinker)["unlink"]

    @pytest.mark.parametrize("attribute, value", [("__name__", 1), ("__annotations__", [1]),
                                                  ("__kwdefaults__", [1]), ("__defaults__", {})])
    def test_attributes_refuse_the_wrong_type(self, attribute, value):
        with pytest.raises(TypeError, match=f"^{attribute} must be set to a "):
            setattr(L.SkillsLinker._safe_remove, attribute, value)

    def test_every_way_of_calling_binds_alike(self, linker, tmp_path):
        gone = tmp_path / "gone"
        calls = [lambda: linker.unlink(gone), lambda: (lambda bound: bound(gone))(linker.unlink),
                 lambda: L.SkillsLinker.unlink(self=linker, link_path=gone),
                 lambda: functools.partial(L.SkillsLinker.unlink, linker)(gone),
                 lambda: L.SkillsLinker.unlink(linker, **{"".join(["link_", "path"]): gone})]
        assert [call() for call in calls] == [False] * len(calls)


class TestArguments:
    @pytest.mark.parametrize("call, message", [
        (lambda l: l.link("s", 1, 2, True), "takes 4 positional arguments but 5 were given"),
        (lambda l: l.link("s"), "missing 2 required positional arguments: 'central_skill_dir' and 'tool_skills_dir'"),
        (lambda l: l.link("s", 1, 2, skill_name="t"), "got multiple values for argument 'skill_name'")])
    def test_call_shape(self, linker, call, message):
        with pytest.raises(TypeError) as raised:
            call(linker)
        assert str(raised.value) == f"SkillsLinker.link() {message}"

    @pytest.mark.parametrize("name, error, type_name", [
        (None, TypeError, "NoneType"), (MyStr("s"), TypeError, "MyStr"), (b"s", TypeError, "bytes"),
        ("", ValueError, None), (".", ValueError, None), ("..", ValueError, None), ("../up", ValueError, None),
        ("/abs", ValueError, None), ("a\\b", ValueError, None), ("C:", ValueError, None), ("a\0b", ValueError, None)])
    def test_skill_name_is_checked_before_any_path_use(self, linker, name, error, type_name):
        untouchable = mock.Mock(side_effect=AssertionError)
        with pytest.raises(error) as raised:
            linker.link(name, untouchable, untouchable, force=True)
        if type_name:
            assert str(raised.value) == f"Argument 'skill_name' has incorrect type (expected str, got {type_name})"
            assert bool(getattr(raised.value, "__notes__", None)) == (type_name == "MyStr")
        else:
            assert str(raised.value).startswith("技能名称") and repr(name) in str(raised.value)
        assert not untouchable.mock_calls

    def test_force_by_truth_and_tracebacks_by_dotted_name(self, linker, tmp_path):
        (tmp_path / "s").mkdir()
        for falsy in (0, "", None):
            with pytest.raises(ValueError):
                linker.link("s", tmp_path, tmp_path, force=falsy)
        assert linker.link("s", tmp_path, tmp_path, force="yes").replaced is True
        with pytest.raises(TypeError) as raised:
            linker.link("s", tmp_path, "a plain str")
        assert traceback.extract_tb(raised.value.__traceback__)[-1].name == \
            "tavrin.skills.link.linker.SkillsLinker.link"


class TestLink:
    def test_links_into_a_missing_tools_directory(self, linker, central, tmp_path):
        tools = tmp_path / "home" / ".agent" / "skills"
        result = linker.link("code-review", central, tools)
        assert os.readlink(tools / "code-review") == str(central)
        assert result == L.LinkResult("code-review", tools / "code-review", central, "symlink", False)
        assert result.target_path is central

    @pytest.mark.parametrize("make", [Path.mkdir, lambda p: p.write_text("x"),
                                      lambda p: p.symlink_to(p.parent / "gone")],
                             ids=["directory", "file", "dangling-link"])
    def test_occupied_entry_is_refused_untouched(self, linker, central, tmp_path, make):
        make(tmp_path / "code-review")
        before = tree_digest(tmp_path)
        with pytest.raises(ValueError, match="^" + OCCUPIED):
            linker.link("code-review", central, tmp_path)
        assert tree_digest(tmp_path) == before

    def test_force_replaces_dangling_links_but_not_files(self, linker, central, tmp_path):
        (tmp_path / "code-review").symlink_to(tmp_path / "gone")
        assert linker.link("code-review", central, tmp_path, force=True).replaced is True
        (tmp_path / "file").write_text("keep")
        with pytest.raises(NotADirectoryError):
            linker.link("file", central, tmp_path, force=True)
        assert (tmp_path / "file").read_text() == "keep"

    def test_windows_copy_failure_chains_the_link_error(self, linker, central, tmp_path, windows, monkeypatch):
        def copy_fails(*args, **kwargs):
            raise FileExistsError
        monkeypatch.setattr(L.shutil, "copytree", copy_fails)
        with pytest.raises(FileExistsError) as raised:
            linker.link("other", central, tmp_path)
        assert raised.value.__context__ is windows.raised and sys.exc_info() == (None, None, None)

    def test_windows_strategy_must_return_exact_str(self, central, tmp_path, windows):
        class Odd(L.SkillsLinker):
            def _create_windows_link(self, target, link):
                return MyStr("junction")
        with pytest.raises(TypeError, match="^Expected str, got MyStr$"):
            Odd()._create_link(central, tmp_path / "x")

    def test_methods_recursing_through_self_end_in_recursion_error(self, linker, central, tmp_path, windows):
        linker._create_windows_link = linker._create_link  # native to native, no Python frame between
        with pytest.raises(RecursionError):
            linker._create_link(central, tmp_path / "loop")


class TestRemovalAndHealth:
    def test_unlink_never_reaches_behind_a_link(self, linker, central, tmp_path, monkeypatch):
        before = tree_digest(central)
        (tmp_path / "link").symlink_to(central)
        monkeypatch.setattr(L, "shutil", None)  # rmtree must not be reached
        assert linker.unlink(tmp_path / "link") is True and tree_digest(central) == before
        assert linker.unlink(tmp_path / "link") is False

    def test_health_of_links(self, linker, central, tmp_path):
        (tmp_path / "link").symlink_to(central)
        (tmp_path / "alias").symlink_to(central.parent)
        assert linker.is_link_valid(tmp_path / "link", Path(os.path.relpath(central))) is True
        assert linker.is_link_valid(tmp_path / "link", tmp_path / "alias" / "code-review") is True
        assert linker.is_link_valid(tmp_path / "link", central.parent) is False
        (tmp_path / "loop").symlink_to(tmp_path / "loop")
        assert linker.is_link_valid(tmp_path / "loop", central) is False

    # Path.resolve() on a link loop raises RuntimeError on 3.12 and returns the path on 3.13: the
    # health check passes on what the library does.
    @pytest.mark.skipif(sys.version_info >= (3, 13), reason="3.12 only: resolve() raises on a link loop")
    def test_a_link_loop_is_unhealthy_where_resolve_raises(self, linker, tmp_path):
        (tmp_path / "loop").symlink_to(tmp_path / "loop")
        assert linker.is_link_valid(tmp_path / "loop", tmp_path / "loop") is False

    @pytest.mark.skipif(sys.version_info < (3, 13), reason="3.13 and later: resolve() returns a link loop's path")
    def test_a_link_loop_is_judged_by_the_path_resolve_returns(self, linker, tmp_path):
        (tmp_path / "loop").symlink_to(tmp_path / "loop")
        assert linker.is_link_valid(tmp_path / "loop", tmp_path / "loop") is True

    @pytest.mark.parametrize("error, outcome", [(PermissionError(), False), (RuntimeError(), False),
                                                (KeyError(), KeyError)])
    def test_resolve_errors(self, linker, error, outcome):
        link = mock.Mock(**{"exists.return_value": True, "resolve.side_effect": error})
        if outcome is False:
            assert linker.is_link_valid(link, Path("target")) is False
        else:
            with pytest.raises(outcome):
                linker.is_link_valid(link, Path("target"))
