"""A tour of tavrin's native core, in a throw-away sandbox.

Shows which modules the host tool's imports give, links one skill from a
central store into two AI tools' skills directories, checks and replaces the
links, removes them, and shows the machine identifier. Nothing outside a
temporary folder is touched, unless --real-config is given (then the
identifier lives in the real tavrin configuration directory).
"""

import argparse
import hashlib
import os
import subprocess
import sys
import tempfile
from pathlib import Path


def digest(root: Path) -> str:
    """One hash over every file's path and content under root."""
    h = hashlib.sha256()
    for path in sorted(root.rglob("*")):
        h.update(str(path.relative_to(root)).encode())
        if path.is_file() and not path.is_symlink():
            h.update(path.read_bytes())
    return h.hexdigest()[:16]


def make_central_store(sandbox: Path) -> Path:
    skill = sandbox / "central" / "code-review"
    (skill / "data").mkdir(parents=True)
    (skill / "data" / "VERSION.json").write_text('{"version": "1.0.0"}\n')
    (skill / "SKILL.md").write_text("# Code review\nRead the diff, then comment.\n")
    return skill


def show(label: str, value) -> None:
    print(f"  {label:<28} {value}")


def tour_modules() -> None:
    import tavrin.skills.link.linker
    import tavrin.telemetry.hostprint

    print("Modules in use (an extension module beside the host's .py wins the import)")
    for module in (tavrin.skills.link.linker, tavrin.telemetry.hostprint):
        show(module.__name__, Path(module.__file__).name)


def tour_linker(sandbox: Path) -> None:
    from tavrin.skills.link.linker import SkillsLinker

    print("Skill links")
    skill = make_central_store(sandbox)
    before = digest(skill)
    show("sandbox", sandbox)
    show("central skill", skill.relative_to(sandbox))
    linker = SkillsLinker()
    tools = {name: sandbox / "home" / f".{name}" / "skills" for name in ("agent-one", "agent-two")}

    def where(path: Path) -> str:
        return str(Path(path).relative_to(sandbox))

    for name, skills_dir in tools.items():
        result = linker.link("code-review", skill, skills_dir)
        show(f"linked into {name}", f"{where(result.link_path)} -> {where(os.readlink(result.link_path))}")
        show("  LinkResult", f"skill_name={result.skill_name!r}, method={result.method!r}, "
                             f"replaced={result.replaced}, target_path={where(result.target_path)}")
        show("  healthy", linker.is_link_valid(result.link_path, skill))

    first = tools["agent-one"] / "code-review"
    try:
        linker.link("code-review", skill, tools["agent-one"])
    except ValueError as refusal:
        show("second link without force", f"ValueError: {str(refusal).replace(str(sandbox) + os.sep, '')}")
    result = linker.link("code-review", skill, tools["agent-one"], force=True)
    show("second link with force", f"replaced={result.replaced}, method={result.method}")

    for name, skills_dir in tools.items():
        show(f"unlinked from {name}", linker.unlink(skills_dir / "code-review"))
    show("unlink again", linker.unlink(first))
    show("central store untouched", digest(skill) == before and (skill / "SKILL.md").exists())


def tour_hostprint(config_home: Path | None) -> None:
    print("Machine identifier")
    env = dict(os.environ)
    if config_home is not None:
        env["XDG_CONFIG_HOME"] = str(config_home)
    # The identifier module reads its configuration directory at import, so
    # each reading runs in its own process.
    code = ("import tavrin.telemetry.hostprint as h\n"
            "print(h.get_hostprint()); print(h._HOSTPRINT_FILE)")
    readings = [subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                               text=True, check=True).stdout.split("\n") for _ in range(2)]
    (identifier, stored_in, _), (again, _, _) = readings
    show("identifier", identifier)
    show("stored in", stored_in)
    show("second process agrees", again == identifier)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--real-config", action="store_true",
                        help="use the real tavrin configuration directory for the identifier")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="tavrin-tour-") as folder:
        sandbox = Path(folder)
        tour_modules()
        print()
        tour_linker(sandbox)
        print()
        tour_hostprint(None if args.real_config else sandbox / "config")


if __name__ == "__main__":
    main()
