"""技能链接管理器（纯 Python 版本，供基准对比）。"""

import os
import shutil
import sys
from dataclasses import dataclass
from pathlib import Path

_COPY_IGNORED = ("__pycache__", "*.pyc", "*.pyo")
_UNSAFE_CHARACTERS = ("/", "\\", ":", "\0")


@dataclass
class LinkResult:
    """单次链接操作的结果。"""

    skill_name: "str"
    link_path: "Path"
    target_path: "Path"
    method: "str"
    replaced: "bool"


def _check_str(value, name):
    if type(value) is not str:
        raise TypeError("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
                        % (name, "str", type(value).__name__))


class SkillsLinker:
    """Skill 链接器，在 AI 工具的 skills 目录下创建指向中央存储的链接。"""

    def link(self, skill_name: "str", central_skill_dir: "Path", tool_skills_dir: "Path",
             *, force: "bool" = False) -> "LinkResult":
        _check_str(skill_name, "skill_name")
        force = bool(force)
        if (not skill_name or skill_name in (".", "..")
                or any(c in skill_name for c in _UNSAFE_CHARACTERS)):
            raise ValueError(f"技能名称必须是单个普通文件名: {skill_name!r}")
        link_path = tool_skills_dir / skill_name
        replaced = False
        if link_path.exists() or link_path.is_symlink():
            if not force:
                raise ValueError(f"目标已存在（使用 --force 覆盖）: {link_path}")
            self._safe_remove(link_path)
            replaced = True
        tool_skills_dir.mkdir(parents=True, exist_ok=True)
        method = self._create_link(central_skill_dir, link_path)
        return LinkResult(skill_name=skill_name, link_path=link_path, target_path=central_skill_dir,
                          method=method, replaced=replaced)

    def unlink(self, link_path: "Path") -> "bool":
        if not link_path.exists() and not link_path.is_symlink():
            return False
        self._safe_remove(link_path)
        return True

    def is_link_valid(self, link_path: "Path", expected_target: "Path") -> "bool":
        if not link_path.exists() and not link_path.is_symlink():
            return False
        if link_path.is_symlink():
            try:
                return link_path.resolve() == expected_target.resolve()
            except (OSError, RuntimeError):
                return False
        return (link_path / "data" / "VERSION.json").exists()

    def _create_link(self, target: "Path", link: "Path") -> "str":
        if sys.platform == "win32":
            method = self._create_windows_link(target, link)
            if method is not None and type(method) is not str:
                raise TypeError("Expected %s, got %.200s" % ("str", type(method).__name__))
            return method
        os.symlink(target, link)
        return "symlink"

    def _create_windows_link(self, target: "Path", link: "Path") -> "str":
        try:
            os.symlink(target, link, target_is_directory=True)
            return "junction"
        except OSError:
            shutil.copytree(target, link, ignore=shutil.ignore_patterns(*_COPY_IGNORED))
            return "copy_fallback"

    def _safe_remove(self, path: "Path") -> "None":
        if sys.platform != "win32" and path.is_symlink():
            path.unlink()
            return
        if sys.platform == "win32":
            try:
                os.rmdir(str(path))
                return
            except OSError:
                pass
            shutil.rmtree(path)
        else:
            shutil.rmtree(path)
