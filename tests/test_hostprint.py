"""get_hostprint(): each scenario runs in a fresh interpreter, since the
module keeps its cache for the life of the process."""
import pytest

from conftest import UUID4, run_python


def scenario(config_home, code):
    """Runs code after `import tavrin.telemetry.hostprint as h`; returns its output lines."""
    result = run_python("import tavrin.telemetry.hostprint as h\n" + code, env={"XDG_CONFIG_HOME": str(config_home)})
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


@pytest.fixture
def stored(tmp_path):
    return tmp_path / "tavrin" / "hostprint"


def test_first_run_persists_and_later_calls_touch_nothing(tmp_path, stored):
    first, same = scenario(tmp_path, """
class Untouchable:
    def __getattr__(self, name):
        raise AssertionError(name)
identifier = h.get_hostprint()
h._HOSTPRINT_FILE = Untouchable()
print(identifier); print(h.get_hostprint() is identifier)""")
    assert UUID4.match(first) and same == "True" and stored.read_bytes() == first.encode()
    assert scenario(tmp_path, "print(h.get_hostprint())") == [first]  # the next process reads it back


@pytest.mark.parametrize("content, expected", [(" abc \n", "'abc'"), ("\ufeffx", "'\\ufeffx'"), ("", None),
                                               (" \t\n", None)])
def test_file_content(tmp_path, stored, content, expected):
    stored.parent.mkdir(parents=True)
    stored.write_text(content, encoding="utf-8")
    (answer,) = scenario(tmp_path, "print(ascii(h.get_hostprint()))")
    if expected:  # kept, stripped, not rewritten
        assert answer == expected and stored.read_text(encoding="utf-8") == content
    else:  # blank: replaced by a new identifier
        assert UUID4.match(answer.strip("'")) and stored.read_text() == answer.strip("'")


@pytest.mark.parametrize("make, error", [(lambda p: p.write_bytes(b"\xff\xfe"), "UnicodeDecodeError"),
                                         (lambda p: p.mkdir(), "IsADirectoryError")])
def test_unreadable_file_raises_each_time_and_caches_nothing(tmp_path, stored, make, error):
    stored.parent.mkdir(parents=True)
    make(stored)
    lines = scenario(tmp_path, """
import traceback
for _ in range(2):
    try:
        h.get_hostprint()
    except Exception as e:
        print(type(e).__name__, h._cached, traceback.extract_tb(e.__traceback__)[1].name)""")
    assert lines == [f"{error} None tavrin.telemetry.hostprint.get_hostprint"] * 2


def test_unwritable_configuration_gives_a_stable_identifier_per_process(tmp_path):
    (tmp_path / "file").write_text("")  # CONFIG_DIR cannot be made beneath a file
    first = scenario(tmp_path / "file", "print(h.get_hostprint()); print(h.get_hostprint())")
    assert first[0] == first[1] and UUID4.match(first[0])
    assert scenario(tmp_path / "file", "print(h.get_hostprint())") != first[:1]


def test_rebinding_globals_from_outside(tmp_path, stored):
    lines = scenario(tmp_path, """
class S(str): pass
class Odd:
    def exists(self): return False
    @property
    def parent(self): raise LookupError
first = h.get_hostprint()
for value in ("", None, "outside", 42, S("x")):
    h._cached = value
    try: print(h.get_hostprint() == first, h.get_hostprint())
    except TypeError as e: print(e)
h._cached, h.uuid = None, type("U", (), {"uuid4": staticmethod(lambda: 12345)})
h._HOSTPRINT_FILE.unlink()
print(repr(h.get_hostprint()))
h._cached, h._HOSTPRINT_FILE = None, Odd()
try: h.get_hostprint()
except LookupError: print("kept", h._cached == h.get_hostprint())""")
    assert lines[:3] == [f"True {lines[0].split()[1]}"] * 2 + ["False outside"]
    assert lines[3:] == ["Expected str, got int", "Expected str, got S", "'12345'", "kept True"]


def test_argument_refusals(tmp_path):
    lines = scenario(tmp_path, """
for call in (lambda: h.get_hostprint(1), lambda: h.get_hostprint(1, x=1)):
    try: call()
    except TypeError as e: print(e)""")
    assert lines == ["get_hostprint() takes no arguments (1 given)", "get_hostprint() takes no keyword arguments"]


@pytest.mark.parametrize("binding, error", [
    ("config.CONFIG_DIR = '/tmp/plain-str'", "TypeError: unsupported operand type(s) for /: 'str' and 'str'"),
    ("", "ImportError: cannot import name 'CONFIG_DIR' from 'tavrin.config' (unknown location)")])
def test_a_bad_configuration_module_fails_the_import(binding, error):
    result = run_python(f"""
        import sys, types
        sys.modules["tavrin.config"] = config = types.ModuleType("tavrin.config")
        {binding}
        import tavrin.telemetry.hostprint""")
    assert error in result.stderr
