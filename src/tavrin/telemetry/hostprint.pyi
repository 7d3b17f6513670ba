"""机器唯一标识管理。

在 ~/.config/tavrin/hostprint 文件中持久化 UUID v4，
首次运行时自动生成，后续复用（内存缓存 + 文件持久化双层）。
"""

import uuid as uuid
from pathlib import Path as Path

from tavrin.config import CONFIG_DIR as CONFIG_DIR

_HOSTPRINT_FILE = CONFIG_DIR / "hostprint"
_cached = None


def get_hostprint() -> "str":
    """获取本机唯一标识。

    优先返回内存缓存，其次读取文件，首次运行时生成并持久化。

    Returns:
        UUID v4 格式的机器唯一标识字符串
    """
    ...
