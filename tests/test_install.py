"""The setting the modules are made for: the host tool's own distribution,
with its Python modules, and ours installed beside it. Each scenario starts
from a fresh virtual environment and installs, offline, the very wheels this
environment was installed from."""
import importlib.metadata
import json
import shutil
import sys
import sysconfig
import venv
from pathlib import Path
from urllib.parse import unquote, urlparse

import pytest

from conftest import HOST, OURS, run

pytestmark = pytest.mark.packaging

ROOT = Path(__file__).parent.parent
EXTENSION = sysconfig.get_config_var("EXT_SUFFIX")
MODULES = ("tavrin.skills.link.linker", "tavrin.telemetry.hostprint")
EXTENSIONS = {f"tavrin/skills/link/linker{EXTENSION}": MODULES[0], f"tavrin/telemetry/hostprint{EXTENSION}": MODULES[1]}
PYTHON_MODULES = {"tavrin/skills/link/linker.py": MODULES[0], "tavrin/telemetry/hostprint.py": MODULES[1]}

# Run inside the environment under test: which file each import gives (or
# its error, with notes), and for each of the two distributions its files and
# those that no longer match the hash its RECORD holds.
PROBE = r'''
import base64, hashlib, importlib, importlib.metadata, json
report = {"modules": {}, "files": {}, "altered": {}}
for name in ("tavrin.skills.link.linker", "tavrin.telemetry.hostprint"):
    try:
        report["modules"][name] = importlib.import_module(name).__file__
    except Exception as error:
        report["modules"][name] = " ".join([type(error).__name__ + ":", str(error), *getattr(error, "__notes__", [])])
for dist in importlib.metadata.distributions():
    name, files = dist.metadata["Name"], [f for f in dist.files if not f.parts[0].endswith(".dist-info")]
    if name not in ("tavrin", "tavrin-native"):
        continue
    def altered(file):
        if not file.locate().is_file():
            return True
        digest = base64.urlsafe_b64encode(hashlib.sha256(file.read_binary()).digest()).rstrip(b"=").decode()
        return file.hash is not None and digest != file.hash.value
    report["files"][name] = sorted(f.as_posix() for f in files if "__pycache__" not in f.parts)
    report["altered"][name] = [f.as_posix() for f in files if altered(f)]
print(json.dumps(report))
'''


def wheel_of(distribution):
    """The wheel file this environment installed `distribution` from."""
    url = json.loads(importlib.metadata.distribution(distribution).read_text("direct_url.json") or "{}").get("url", "")
    wheel = Path(unquote(urlparse(url).path))
    if wheel.suffix != ".whl" or not wheel.is_file():
        pytest.fail(f"{distribution} was not installed from a wheel that is still there (scripts/setup.sh does that)")
    return wheel


class Environment:
    """A fresh virtual environment, driven by this environment's pip."""

    def __init__(self, directory):
        venv.create(directory, with_pip=False)
        self.python = str(directory / "bin" / "python")
        self.wheels = wheel_of(OURS).parent

    def pip(self, *arguments):
        result = run(sys.executable, "-m", "pip", "--python", self.python, "--disable-pip-version-check",
                     *arguments, timeout=300)
        assert result.returncode == 0, result.stdout + result.stderr
        return result.stdout

    def install(self, *requirements):
        self.pip("install", "--no-index", "--find-links", str(self.wheels), *requirements)

    def probe(self):
        result = run(self.python, "-B", "-c", PROBE)
        assert result.returncode == 0, result.stderr
        return json.loads(result.stdout)

    def listed(self):
        return {entry["name"] for entry in json.loads(self.pip("list", "--format", "json"))}


@pytest.fixture
def environment(tmp_path):
    return Environment(tmp_path / "env")


def assert_extensions_in_use(report):
    assert {name: Path(file).name for name, file in report["modules"].items()} == {
        name: name.rsplit(".", 1)[1] + EXTENSION for name in MODULES}, report["modules"]


def assert_python_modules_in_use(report):
    assert {name: Path(file).name for name, file in report["modules"].items()} == {
        name: name.rsplit(".", 1)[1] + ".py" for name in MODULES}, report["modules"]


def assert_both_whole_and_apart(report):
    """Every file of both distributions as each installed it, and no file shared."""
    assert report["altered"] == {HOST: [], OURS: []}
    assert set(report["files"][OURS]) == set(EXTENSIONS) | {"tavrin/skills/link/linker.pyi",
                                                            "tavrin/telemetry/hostprint.pyi"}
    assert set(PYTHON_MODULES) | {"tavrin/__init__.py", "tavrin/config.py"} <= set(report["files"][HOST])
    assert not set(report["files"][HOST]) & set(report["files"][OURS])


@pytest.mark.parametrize("order", [(HOST, OURS), (OURS, HOST)], ids=["host-first", "ours-first"])
def test_either_install_order_keeps_the_host_whole_and_takes_ours(environment, order):
    for distribution in order:
        environment.install(str(wheel_of(distribution)))
    report = environment.probe()
    assert_extensions_in_use(report)
    assert_both_whole_and_apart(report)
    environment.pip("check")
    assert {HOST, OURS} <= environment.listed()


def test_uninstalling_ours_gives_the_host_its_python_modules_back(environment):
    host_files = None
    for step in ("install host", "install ours", "uninstall ours", "install ours"):
        if step == "install host":
            environment.install(str(wheel_of(HOST)))
            host_files = environment.probe()["files"][HOST]
        elif step == "install ours":
            environment.install(str(wheel_of(OURS)))
            assert_extensions_in_use(environment.probe())
        else:
            environment.pip("uninstall", "--yes", OURS)
            report = environment.probe()
            assert_python_modules_in_use(report)
            assert report["altered"] == {HOST: []} and report["files"][HOST] == host_files
            assert OURS not in environment.listed()
    assert_both_whole_and_apart(environment.probe())


def test_a_host_in_development_takes_ours_too(environment, tmp_path):
    """An editable install puts the host's source folder on sys.path; the
    host's packages then extend their __path__ with ours, ahead of their own."""
    source = tmp_path / "host"
    shutil.copytree(ROOT / "host", source)
    environment.install("--editable", str(source))
    assert_python_modules_in_use(environment.probe())
    environment.install(str(wheel_of(OURS)))
    report = environment.probe()
    assert_extensions_in_use(report)
    assert report["altered"] == {HOST: [], OURS: []}
    assert report["files"][HOST] == ["tavrin.pth"]  # the rest stays in its checkout
    environment.pip("check")
    environment.pip("uninstall", "--yes", OURS)
    assert_python_modules_in_use(environment.probe())


def test_without_the_host_the_identifier_names_the_missing_configuration(environment):
    environment.install(str(wheel_of(OURS)))
    report = environment.probe()
    # The linker needs only the standard library; the identifier needs the host's configuration module.
    assert Path(report["modules"][MODULES[0]]).name == "linker" + EXTENSION
    failure = report["modules"][MODULES[1]]
    assert failure.startswith("ModuleNotFoundError: No module named 'tavrin.config' ")
    assert "install the host tool" in failure
    assert report["altered"] == {OURS: []}
