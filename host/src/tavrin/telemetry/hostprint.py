"""机器唯一标识管理。

在 ~/.config/tavrin/hostprint 文件中持久化 UUID v4，
首次运行时自动生成，后续复用（内存缓存 + 文件持久化双层）。
"""

import uuid
from pathlib import Path

from tavrin.config import CONFIG_DIR

_HOSTPRINT_FILE = CONFIG_DIR / "hostprint"
_cached = None


def get_hostprint() -> "str":
    """获取本机唯一标识。

    优先返回内存缓存，其次读取文件，首次运行时生成并持久化。

    Returns:
        UUID v4 格式的机器唯一标识字符串
    """
    global _cached
    if not _cached:
        content = ""
        if _HOSTPRINT_FILE.exists():
            content = _HOSTPRINT_FILE.read_text(encoding="utf-8").strip()
        if content:
            _cached = content
        else:
            # Cached before persisting: a failed write must not change the
            # identifier this process reports.
            _cached = str(uuid.uuid4())
            try:
                _HOSTPRINT_FILE.parent.mkdir(parents=True, exist_ok=True)
                _HOSTPRINT_FILE.write_text(_cached, encoding="utf-8")
            except OSError:
                pass
    if _cached is not None and type(_cached) is not str:
        raise TypeError("Expected %s, got %.200s" % ("str", type(_cached).__name__))
    return _cached
