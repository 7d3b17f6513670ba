"""get_hostprint(): each scenario runs in a fresh interpreter, since the
module keeps its cache for the life of the process."""
import re
import uuid

import pytest

from conftest import run_python

UUID4 = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")


@pytest.fixture
def config_home(tmp_path):
    return tmp_path / "xdg"


@pytest.fixture
def hostprint_file(config_home):
    return config_home / "tavrin" / "hostprint"


def scenario(config_home, code):
    """Runs code after `import tavrin.telemetry.hostprint as h`; returns its stdout lines."""
    result = run_python("import tavrin.telemetry.hostprint as h\n" + code,
                        env={"XDG_CONFIG_HOME": str(config_home)})
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def first_call(config_home):
    return scenario(config_home, "print(h.get_hostprint())")[0]


class TestFirstRunAndReuse:
    def test_first_run_creates_directory_and_36_byte_file(self, config_home, hostprint_file):
        identifier = first_call(config_home)
        assert UUID4.match(identifier) and uuid.UUID(identifier).version == 4
        assert hostprint_file.read_bytes() == identifier.encode()
        assert first_call(config_home) == identifier  # a second process reads it back

    def test_later_calls_serve_the_same_object_without_the_file(self, config_home, hostprint_file):
        lines = scenario(config_home, """
            first = h.get_hostprint()
            h._HOSTPRINT_FILE.unlink()
            class Untouchable:
                def __getattr__(self, name):
                    raise AssertionError("file system touched: " + name)
                def __truediv__(self, other):
                    raise AssertionError("file system touched")
            h._HOSTPRINT_FILE = Untouchable()
            print(h.get_hostprint() is first, h.get_hostprint() is first)
        """.replace("\n            ", "\n"))
        assert lines == ["True True"]
        assert not hostprint_file.exists()

    @pytest.mark.parametrize("content, expected", [
        ("  3f1c-id \n", "3f1c-id"), ("abc", "abc"), ("\ufeffabc", "\ufeffabc")])
    def test_file_content_is_stripped_and_kept(self, config_home, hostprint_file, content, expected):
        hostprint_file.parent.mkdir(parents=True)
        hostprint_file.write_text(content, encoding="utf-8")
        assert scenario(config_home, "print(ascii(h.get_hostprint()))") == [ascii(expected)]
        assert hostprint_file.read_text(encoding="utf-8") == content

    @pytest.mark.parametrize("content", ["", " \t\n \n"])
    def test_blank_file_is_overwritten(self, config_home, hostprint_file, content):
        hostprint_file.parent.mkdir(parents=True)
        hostprint_file.write_text(content)
        identifier = first_call(config_home)
        assert UUID4.match(identifier) and hostprint_file.read_text() == identifier


class TestFailures:
    def test_undecodable_file_raises_every_time_and_stays(self, config_home, hostprint_file):
        hostprint_file.parent.mkdir(parents=True)
        hostprint_file.write_bytes(b"\xff\xfe\x00bad")
        lines = scenario(config_home, """
for _ in range(2):
    try:
        h.get_hostprint()
    except UnicodeDecodeError:
        print("raised", h._cached)
""")
        assert lines == ["raised None", "raised None"]
        assert hostprint_file.read_bytes() == b"\xff\xfe\x00bad"

    def test_directory_in_place_of_the_file(self, config_home, hostprint_file):
        hostprint_file.mkdir(parents=True)
        lines = scenario(config_home, """
import traceback
try:
    h.get_hostprint()
except IsADirectoryError as error:
    print(h._cached, traceback.extract_tb(error.__traceback__)[1].name)
""")
        assert lines == ["None tavrin.telemetry.hostprint.get_hostprint"]

    def test_unwritable_configuration_still_gives_a_stable_identifier(self, tmp_path):
        blocker = tmp_path / "not-a-directory"
        blocker.write_text("")
        lines = scenario(blocker, "print(h.get_hostprint()); print(h.get_hostprint())")
        assert lines[0] == lines[1] and UUID4.match(lines[0])
        assert scenario(blocker, "print(h.get_hostprint())") != lines[:1]

    def test_non_oserror_while_persisting_leaves_the_identifier_cached(self, config_home):
        lines = scenario(config_home, """
class Odd:
    def exists(self):
        return False
    @property
    def parent(self):
        raise LookupError("no parent")
h._HOSTPRINT_FILE = Odd()
try:
    h.get_hostprint()
except LookupError:
    print(h._cached == h.get_hostprint())
""")
        assert lines == ["True"]


class TestCacheRebinding:
    def test_false_cache_consults_the_file_again(self, config_home, hostprint_file):
        identifier = first_call(config_home)
        lines = scenario(config_home, """
h._cached = ""
print(h.get_hostprint())
h._cached = None
print(h.get_hostprint())
h._cached = "set-from-outside"
print(h.get_hostprint())
""")
        assert lines == [identifier, identifier, "set-from-outside"]

    def test_true_non_str_cache_fails_the_return_check(self, config_home):
        lines = scenario(config_home, """
class S(str):
    pass
for value in (42, S("x")):
    h._cached = value
    try:
        h.get_hostprint()
    except TypeError as error:
        print(error)
""")
        assert lines == ["Expected str, got int", "Expected str, got S"]

    def test_uuid_global_is_read_at_generation(self, config_home, hostprint_file):
        lines = scenario(config_home, """
class FakeUuid:
    @staticmethod
    def uuid4():
        return 12345
h.uuid = FakeUuid
print(repr(h.get_hostprint()))
""")
        assert lines == ["'12345'"] and hostprint_file.read_text() == "12345"


class TestSurface:
    def test_module_and_function_attributes(self, config_home):
        lines = scenario(config_home, """
import importlib.machinery, inspect, pathlib, uuid
print([n for n in vars(h) if not n.startswith("__")])
print(h.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)), h.uuid is uuid, h.Path is pathlib.Path)
import tavrin.config
print(h.CONFIG_DIR is tavrin.config.CONFIG_DIR, h._HOSTPRINT_FILE == h.CONFIG_DIR / "hostprint", h._cached)
f = h.get_hostprint
print(f.__name__, f.__qualname__, f.__module__, f.__annotations__, inspect.signature(f))
print(ascii(h.__doc__))
print(ascii(f.__doc__))
for call in (lambda: f(1), lambda: f(1, x=1), lambda: f(x=1)):
    try:
        call()
    except TypeError as error:
        print(error)
""")
        assert lines == [
            "['uuid', 'Path', 'CONFIG_DIR', '_HOSTPRINT_FILE', '_cached', 'get_hostprint']",
            "True True True",
            "True True None",
            "get_hostprint get_hostprint tavrin.telemetry.hostprint {'return': 'str'} () -> 'str'",
            ascii("机器唯一标识管理。\n\n在 ~/.config/tavrin/hostprint 文件中持久化 UUID v4，\n"
                  "首次运行时自动生成，后续复用（内存缓存 + 文件持久化双层）。\n"),
            ascii("获取本机唯一标识。\n\n    优先返回内存缓存，其次读取文件，首次运行时生成并持久化。\n\n"
                  "    Returns:\n        UUID v4 格式的机器唯一标识字符串\n    "),
            "get_hostprint() takes no arguments (1 given)",
            "get_hostprint() takes no keyword arguments",
            "get_hostprint() takes no keyword arguments",
        ]

    def test_config_dir_as_plain_str_fails_the_import(self):
        result = run_python("""
            import sys, types
            sys.modules["tavrin.config"] = config = types.ModuleType("tavrin.config")
            config.CONFIG_DIR = "/tmp/plain-str"
            try:
                import tavrin.telemetry.hostprint
            except TypeError as error:
                print("TypeError", error)
            config.CONFIG_DIR = None
            del config.CONFIG_DIR
            try:
                import tavrin.telemetry.hostprint
            except ImportError as error:
                print("ImportError", error.name)
        """)
        assert result.stdout.splitlines() == [
            "TypeError unsupported operand type(s) for /: 'str' and 'str'", "ImportError tavrin.config"]


def test_threads_racing_for_the_first_call_agree_afterwards(config_home, hostprint_file):
    lines = scenario(config_home, """
import threading
barrier = threading.Barrier(8)
results = []
def first():
    barrier.wait()
    results.append(h.get_hostprint())
threads = [threading.Thread(target=first) for _ in range(8)]
for t in threads: t.start()
for t in threads: t.join()
print(len(results))
print(" ".join(sorted(set(results))))
print(h.get_hostprint(), h.get_hostprint())
""")
    assert lines[0] == "8"
    assert all(UUID4.match(value) for value in lines[1].split())
    later, again = lines[2].split()
    assert later == again and later in lines[1].split()
    # Overlapping writes may leave another racer's identifier, but one whole one.
    assert UUID4.match(hostprint_file.read_text())
