"""Path-like fakes that record the calls made on them."""


class RecordingPath:
    """Answers exists()/is_symlink()/resolve() as told and logs every call."""

    def __init__(self, name, log, exists=False, is_symlink=False, resolved=None, children=None):
        self.name, self.log = name, log
        self._exists, self._is_symlink = exists, is_symlink
        self._resolved = resolved if resolved is not None else name
        self.children = children or {}

    def _record(self, call):
        self.log.append(f"{self.name}.{call}")

    def exists(self):
        self._record("exists")
        return self._exists

    def is_symlink(self):
        self._record("is_symlink")
        return self._is_symlink

    def resolve(self):
        self._record("resolve")
        if isinstance(self._resolved, BaseException):
            raise self._resolved
        return self._resolved

    def mkdir(self, **kwargs):
        self._record(f"mkdir({', '.join(f'{k}={v}' for k, v in kwargs.items())})")

    def unlink(self):
        self._record("unlink")

    def __truediv__(self, part):
        self._record(f"/ {part!r}")
        return self.children.get(part) or RecordingPath(f"{self.name}/{part}", self.log)

    def __str__(self):
        return self.name

    def __format__(self, spec):
        return self.name
