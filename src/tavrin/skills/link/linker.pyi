"""技能链接管理器。

负责在各 AI 工具的 skills 目录下创建指向中央存储的链接，
实现中央存储只保留一份、多个工具共享引用。

链接策略：
- macOS / Linux：os.symlink（符号链接）
- Windows：os.symlink(target_is_directory=True)（Directory Junction，无需管理员权限）
- 兜底：shutil.copytree（极少数无法创建 Junction 的受限环境）
"""

import os as os
import shutil as shutil
import sys as sys
from dataclasses import dataclass as dataclass
from pathlib import Path as Path


@dataclass
class LinkResult:
    """单次链接操作的结果。"""

    skill_name: "str"
    link_path: "Path"
    target_path: "Path"
    method: "str"
    replaced: "bool"


class SkillsLinker:
    """Skill 链接器，在 AI 工具的 skills 目录下创建指向中央存储的链接。"""

    def link(self, skill_name: "str", central_skill_dir: "Path", tool_skills_dir: "Path", *,
             force: "bool" = False) -> "LinkResult":
        """在 tool_skills_dir 下创建指向 central_skill_dir 的链接。

        Args:
            skill_name: 技能名称，如 "code-review"
            central_skill_dir: 中央存储中该技能的目录
            tool_skills_dir: AI 工具的 skills 目录，如 ~/.agent/skills
            force: 是否覆盖已存在的目标

        Returns:
            LinkResult，记录链接路径、目标、方式以及是否替换了原有内容
        """
        ...

    def unlink(self, link_path: "Path") -> "bool":
        """移除链接（不影响中央存储内容）。

        Args:
            link_path: 工具 skills 目录下的链接路径

        Returns:
            True 表示成功移除，False 表示路径本不存在
        """
        ...

    def is_link_valid(self, link_path: "Path", expected_target: "Path") -> "bool":
        """检查链接是否存在且指向预期的中央目录。

        Args:
            link_path: 工具 skills 目录下的链接路径
            expected_target: 预期的中央存储路径

        Returns:
            True 表示链接健康，False 表示缺失或指向错误
        """
        ...

    def _create_link(self, target: "Path", link: "Path") -> "str":
        """创建链接并返回实际使用的方式。"""
        ...

    def _create_windows_link(self, target: "Path", link: "Path") -> "str":
        """Windows 下优先创建 Directory Junction，失败时降级复制。

        os.symlink(target_is_directory=True) 在普通用户权限下创建的是
        Directory Junction（等价于 mklink /J），无需管理员或开发者模式。
        """
        ...

    def _safe_remove(self, path: "Path") -> "None":
        """安全删除链接或目录，避免误删 Junction 指向的中央存储内容。

        策略：
          - Unix symlink  : path.unlink()（仅删链接本身）
          - Windows Junction / 空目录 : os.rmdir()（仅删链接本身，不递归目标）
          - 普通目录       : shutil.rmtree()（os.rmdir 抛错时降级）
        """
        ...
