"""What host code sees of the linker module without touching the disk."""
import copy
import dataclasses
import functools
import gc
import importlib.machinery
import inspect
import pickle
import pydoc
import traceback
import typing
import weakref
from pathlib import Path
from unittest import mock

import pytest

import tavrin.skills.link.linker as L

METHODS = ["link", "unlink", "is_link_valid", "_create_link", "_create_windows_link", "_safe_remove"]


def test_is_an_extension_module_with_its_globals_in_order():
    assert L.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    names = [name for name in vars(L) if not name.startswith("__")]
    assert names == ["os", "shutil", "sys", "dataclass", "Path", "LinkResult", "SkillsLinker"]
    import os, shutil, sys
    assert (L.os, L.shutil, L.sys, L.dataclass, L.Path) == (os, shutil, sys, dataclasses.dataclass, Path)
    assert L.__doc__.startswith("技能链接管理器")


class TestLinkResult:
    def test_is_a_plain_dataclass(self):
        assert dataclasses.is_dataclass(L.LinkResult)
        assert [f.name for f in dataclasses.fields(L.LinkResult)] == [
            "skill_name", "link_path", "target_path", "method", "replaced"]
        assert L.LinkResult.__annotations__ == {
            "skill_name": "str", "link_path": "Path", "target_path": "Path", "method": "str", "replaced": "bool"}
        assert L.LinkResult.__doc__ == "单次链接操作的结果。"
        assert L.LinkResult.__module__ == "tavrin.skills.link.linker"
        assert L.LinkResult.__qualname__ == "LinkResult"

    def test_construction_equality_and_hashing(self):
        a = L.LinkResult("a", Path("x"), Path("y"), "symlink", False)
        assert a == L.LinkResult(skill_name="a", link_path=Path("x"), target_path=Path("y"),
                                 method="symlink", replaced=False)
        assert a != L.LinkResult("a", Path("x"), Path("y"), "symlink", True)
        assert repr(a) == "LinkResult(skill_name='a', link_path=PosixPath('x'), " \
                          "target_path=PosixPath('y'), method='symlink', replaced=False)"
        a.method = "copy_fallback"  # not frozen
        with pytest.raises(TypeError):
            hash(a)
        with pytest.raises(TypeError):
            L.LinkResult("a", Path("x"), Path("y"), "symlink")


class TestSkillsLinkerClass:
    def test_plain_class_with_methods_in_order(self):
        assert L.SkillsLinker.__bases__ == (object,)
        assert [n for n in vars(L.SkillsLinker) if not n.startswith("__")] == METHODS
        assert L.SkillsLinker.__doc__ == "Skill 链接器，在 AI 工具的 skills 目录下创建指向中央存储的链接。"
        instance = L.SkillsLinker()
        instance.note = 1
        assert vars(instance) == {"note": 1}

        class Sub(L.SkillsLinker):
            pass
        assert isinstance(Sub(), L.SkillsLinker)

    @pytest.mark.parametrize("name", METHODS)
    def test_method_attributes(self, name):
        method = getattr(L.SkillsLinker, name)
        assert method.__name__ == name
        assert method.__qualname__ == f"SkillsLinker.{name}"
        assert method.__module__ == "tavrin.skills.link.linker"
        assert isinstance(method.__doc__, str) and method.__doc__
        assert method.__defaults__ is None
        assert all(isinstance(v, str) for v in method.__annotations__.values())
        assert repr(method).startswith(f"<function SkillsLinker.{name} at 0x")
        method.__dict__["tag"] = 1
        assert method.tag == 1
        del method.tag

    def test_signatures(self):
        sig = {name: str(inspect.signature(getattr(L.SkillsLinker, name))) for name in METHODS}
        assert sig == {
            "link": "(self, skill_name: 'str', central_skill_dir: 'Path', tool_skills_dir: 'Path', "
                    "*, force: 'bool' = False) -> 'LinkResult'",
            "unlink": "(self, link_path: 'Path') -> 'bool'",
            "is_link_valid": "(self, link_path: 'Path', expected_target: 'Path') -> 'bool'",
            "_create_link": "(self, target: 'Path', link: 'Path') -> 'str'",
            "_create_windows_link": "(self, target: 'Path', link: 'Path') -> 'str'",
            "_safe_remove": "(self, path: 'Path') -> 'None'",
        }
        assert str(inspect.signature(L.SkillsLinker().unlink)) == "(link_path: 'Path') -> 'bool'"

    def test_type_hints_resolve_in_the_module(self):
        hints = typing.get_type_hints(L.SkillsLinker.link)
        assert hints == {"skill_name": str, "central_skill_dir": Path, "tool_skills_dir": Path,
                         "force": bool, "return": L.LinkResult}
        assert typing.get_type_hints(L.SkillsLinker._safe_remove) == {"path": Path, "return": type(None)}

    def test_kwdefaults_are_for_show(self, tmp_path):
        link = L.SkillsLinker.link
        assert link.__kwdefaults__ == {"force": False}
        link.__kwdefaults__ = {"force": True}
        try:
            (tmp_path / "tools" / "s").mkdir(parents=True)
            with pytest.raises(ValueError):
                L.SkillsLinker().link("s", tmp_path, tmp_path / "tools")
        finally:
            link.__kwdefaults__ = {"force": False}
        with pytest.raises(TypeError):
            link.__kwdefaults__ = [("force", True)]

    def test_help_copy_pickle_and_mock(self):
        text = pydoc.render_doc(L.SkillsLinker.link, renderer=pydoc.plaintext)
        assert "link(self, skill_name: 'str'" in text and "在 tool_skills_dir 下创建" in text
        for method in (L.SkillsLinker.link, L.SkillsLinker._safe_remove):
            assert copy.copy(method) is method and copy.deepcopy(method) is method
            assert pickle.loads(pickle.dumps(method)) is method
        original = L.SkillsLinker.unlink
        with mock.patch.object(L.SkillsLinker, "unlink", return_value="patched"):
            assert L.SkillsLinker().unlink(Path("x")) == "patched"
        assert L.SkillsLinker.unlink is original

    def test_function_type_is_immutable_and_visible_to_the_collector(self):
        function_type = type(L.SkillsLinker.link)
        with pytest.raises(TypeError):
            function_type.__call__ = lambda *a: None
        with pytest.raises(TypeError):
            function_type()
        method = L.SkillsLinker.link
        assert gc.is_tracked(method)
        referents = gc.get_referents(method)
        assert any(r is vars(L) for r in referents) and any(r is method.__annotations__ for r in referents)
        assert weakref.ref(method)() is method


class TestBinding:
    def test_every_way_of_calling_behaves_the_same(self, tmp_path):
        instance = L.SkillsLinker()
        missing = tmp_path / "missing"
        callers = [
            lambda: instance.unlink(missing),
            lambda: instance.unlink(link_path=missing),
            lambda: (lambda bound: bound(missing))(instance.unlink),
            lambda: L.SkillsLinker.unlink(instance, missing),
            lambda: L.SkillsLinker.unlink(self=instance, link_path=missing),
            lambda: functools.partial(L.SkillsLinker.unlink, instance)(missing),
            lambda: L.SkillsLinker.unlink.__get__(instance, L.SkillsLinker)(missing),
            lambda: L.SkillsLinker.unlink(instance, **{"".join(["link_", "path"]): missing}),
        ]
        assert [call() for call in callers] == [False] * len(callers)
        assert L.SkillsLinker.__dict__["unlink"].__get__(None, L.SkillsLinker) is L.SkillsLinker.unlink
        assert instance.unlink.__self__ is instance


class TestArgumentChecks:
    @pytest.mark.parametrize("call, message", [
        (lambda l, p: l.link("s", p, p, True),
         "SkillsLinker.link() takes 4 positional arguments but 5 were given"),
        (lambda l, p: l.link("s"),
         "SkillsLinker.link() missing 2 required positional arguments: 'central_skill_dir' and 'tool_skills_dir'"),
        (lambda l, p: L.SkillsLinker.link(),
         "SkillsLinker.link() missing 4 required positional arguments: "
         "'self', 'skill_name', 'central_skill_dir', and 'tool_skills_dir'"),
        (lambda l, p: l.link("s", p, p, colour=1),
         "SkillsLinker.link() got an unexpected keyword argument 'colour'"),
        (lambda l, p: l.link("s", p, p, skill_name="t"),
         "SkillsLinker.link() got multiple values for argument 'skill_name'"),
        (lambda l, p: l.unlink(),
         "SkillsLinker.unlink() missing 1 required positional argument: 'link_path'"),
    ])
    def test_call_shape_errors(self, linker, tmp_path, call, message):
        with pytest.raises(TypeError) as raised:
            call(linker, tmp_path)
        assert str(raised.value) == message

    def test_skill_name_must_be_exactly_str(self, linker):
        class MyStr(str):
            pass
        untouchable = mock.Mock(side_effect=AssertionError("touched"))
        for value, type_name in [(None, "NoneType"), (MyStr("s"), "MyStr"), (b"s", "bytes"), (3, "int")]:
            with pytest.raises(TypeError) as raised:
                linker.link(value, untouchable, untouchable)
            assert str(raised.value) == \
                f"Argument 'skill_name' has incorrect type (expected str, got {type_name})"
            assert bool(getattr(raised.value, "__notes__", None)) == (type_name == "MyStr")
        assert not untouchable.mock_calls

    @pytest.mark.parametrize("name", ["", ".", "..", "../up", "a/b", "/abs", "a\\b", "C:", "a\0b"])
    def test_unsafe_skill_names_are_refused_before_any_path_use(self, linker, name):
        untouchable = mock.Mock(side_effect=AssertionError("touched"))
        with pytest.raises(ValueError) as raised:
            linker.link(name, untouchable, untouchable, force=True)
        assert repr(name) in str(raised.value)
        assert str(raised.value).startswith("技能名称")
        assert not untouchable.mock_calls

    def test_force_is_reduced_to_its_truth_value(self, linker, tmp_path):
        (tmp_path / "tools" / "s").mkdir(parents=True)

        class Falsy:
            def __bool__(self):
                raise ZeroDivisionError

        for value in (0, "", None, []):
            with pytest.raises(ValueError):
                linker.link("s", tmp_path, tmp_path / "tools", force=value)
        with pytest.raises(ZeroDivisionError):
            linker.link("s", tmp_path, tmp_path / "tools", force=Falsy())
        for value in (1, "yes"):
            assert linker.link("s", tmp_path, tmp_path / "tools", force=value).replaced is True

    def test_failures_carry_a_traceback_entry_with_the_dotted_name(self, linker):
        with pytest.raises(TypeError) as raised:
            linker.link("s", Path("c"), "a plain str")
        names = [frame.name for frame in traceback.extract_tb(raised.value.__traceback__)]
        assert names[-1] == "tavrin.skills.link.linker.SkillsLinker.link"
