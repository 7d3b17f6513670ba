"""Windows, emulated on a POSIX file system by replacing the linker's globals."""
import os
import shutil
import types

import tavrin.skills.link.linker as linker_module


class CallLog(list):
    """The calls the emulated platform saw, as (name, args, kwargs)."""

    def names(self):
        return [name for name, _, _ in self]


class EmulatedWindows:
    """While active, the linker sees sys.platform == "win32".

    os.symlink fails with a fresh copy of `symlink_error` unless that is None
    (then it makes a real link, as a directory link); rmdir removes a link
    itself, as Windows' rmdir does a directory link. Every call is logged.
    """

    def __init__(self, symlink_error=PermissionError(1314, "privilege not held")):
        self.log = CallLog()
        self.symlink_error = symlink_error
        self.raised = None
        self._saved = None

    def _logged(self, name, real):
        def call(*args, **kwargs):
            self.log.append((name, args, kwargs))
            return real(*args, **kwargs)
        return call

    def _symlink(self, *args, **kwargs):
        self.log.append(("symlink", args, kwargs))
        if self.symlink_error is not None:
            # A fresh instance per call: a re-raised one would pile up tracebacks.
            self.raised = type(self.symlink_error)(*self.symlink_error.args)
            raise self.raised
        return os.symlink(*args, **kwargs)

    def _rmdir(self, path):
        self.log.append(("rmdir", (path,), {}))
        return os.unlink(path) if os.path.islink(path) else os.rmdir(path)

    def __enter__(self):
        self._saved = (linker_module.sys, linker_module.os, linker_module.shutil)
        linker_module.sys = types.SimpleNamespace(platform="win32")
        linker_module.os = types.SimpleNamespace(symlink=self._symlink, rmdir=self._rmdir)
        linker_module.shutil = types.SimpleNamespace(
            copytree=self._logged("copytree", shutil.copytree),
            ignore_patterns=self._logged("ignore_patterns", shutil.ignore_patterns),
            rmtree=self._logged("rmtree", shutil.rmtree),
        )
        return self

    def __exit__(self, *exc_info):
        linker_module.sys, linker_module.os, linker_module.shutil = self._saved
