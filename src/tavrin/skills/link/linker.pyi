"""Skill links: entries in each AI tool's skills directory that lead to the
skill's one copy in the central store."""

from dataclasses import dataclass
from pathlib import Path

@dataclass
class LinkResult:
    """单次链接操作的结果。"""

    skill_name: str
    link_path: Path
    target_path: Path
    method: str
    replaced: bool

class SkillsLinker:
    """Skill 链接器，在 AI 工具的 skills 目录下创建指向中央存储的链接。"""

    def link(
        self, skill_name: str, central_skill_dir: Path, tool_skills_dir: Path, *, force: bool = False
    ) -> LinkResult: ...
    def unlink(self, link_path: Path) -> bool: ...
    def is_link_valid(self, link_path: Path, expected_target: Path) -> bool: ...
    def _create_link(self, target: Path, link: Path) -> str: ...
    def _create_windows_link(self, target: Path, link: Path) -> str: ...
    def _safe_remove(self, path: Path) -> None: ...
