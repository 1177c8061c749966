"""The interpreters the project claims are exactly those CI runs the whole suite on: pyproject.toml's
version classifiers and wheel selectors, the README's table of supported interpreters, and the
suite scripts that .ci/run calls agree."""

import re
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]

# The script that runs the whole suite on each interpreter, by the wheel tag it stands for.
SUITES = {
    "cp313": "scripts/test.sh",
    "cp313t": "scripts/test-freethreaded.sh",
    "cp314": "scripts/test-python314.sh",
}


def ci_runs(script):
    """Whether .ci/run calls ``script`` as a command of its own (after any VAR=value settings)."""
    run = (ROOT / ".ci" / "run").read_text()
    return re.search(rf"^(?:\w+=\S+\s+)*{re.escape(script)}(?:\s|$)", run, re.MULTILINE) is not None


def version_of(tag):
    return f"{tag[2]}.{tag[3:].rstrip('t')}"


def test_every_wheel_built_is_for_an_interpreter_ci_tests():
    pyproject = tomllib.loads((ROOT / "pyproject.toml").read_text())
    selectors = pyproject["tool"]["cibuildwheel"]["build"].split()
    claimed = {selector.removesuffix("-*") for selector in selectors}
    assert claimed == {tag for tag, script in SUITES.items() if ci_runs(script)}


def test_classifiers_name_the_tested_versions_and_nothing_newer():
    classifiers = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["classifiers"]
    versions = {c.rsplit(" :: ", 1)[1] for c in classifiers
                if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)}
    assert versions == {version_of(tag) for tag, script in SUITES.items() if ci_runs(script)}
    free_threading = any(c.startswith("Programming Language :: Python :: Free Threading") for c in classifiers)
    assert free_threading == any(tag.endswith("t") and ci_runs(script) for tag, script in SUITES.items())


def test_the_readme_gives_the_command_for_each_supported_interpreter():
    readme = (ROOT / "README.md").read_text()
    section = readme.split("## Supported interpreters", 1)[1].split("\n## ", 1)[0]
    rows = [line for line in section.splitlines() if line.startswith("| CPython")]
    commands = [row.rstrip(" |").rsplit("|", 1)[1].strip() for row in rows]
    assert sorted(commands) == sorted(f"`{script}`" for script in SUITES.values())
