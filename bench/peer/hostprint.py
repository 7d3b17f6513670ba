"""机器唯一标识管理（纯 Python 版本，供基准对比）。"""

import uuid

from tavrin.config import CONFIG_DIR

_HOSTPRINT_FILE = CONFIG_DIR / "hostprint"
_cached = None


def get_hostprint() -> "str":
    global _cached
    if _cached:
        if type(_cached) is not str:
            _check(_cached)
        return _cached
    if _HOSTPRINT_FILE.exists():
        content = _HOSTPRINT_FILE.read_text(encoding="utf-8").strip()
        if content:
            _cached = content
            return _check(_cached)
    _cached = str(uuid.uuid4())
    try:
        _HOSTPRINT_FILE.parent.mkdir(parents=True, exist_ok=True)
        _HOSTPRINT_FILE.write_text(_cached, encoding="utf-8")
    except OSError:
        pass
    return _check(_cached)


def _check(value):
    if value is not None and type(value) is not str:
        raise TypeError("Expected %s, got %.200s" % ("str", type(value).__name__))
    return value
