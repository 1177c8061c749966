"""The module as a user installs it: type stubs, source distribution and wheel."""

import os
import subprocess
import sys
import tarfile
import textwrap
import zipfile
from pathlib import Path

import pytest

import quorbel

ROOT = Path(__file__).resolve().parents[2]


def run(*args, cwd, env=None):
    return subprocess.run(
        [sys.executable, *args], cwd=cwd, capture_output=True, text=True, timeout=600, env=env
    )


def test_stubs_match_the_built_module(tmp_path):
    result = run("-m", "mypy.stubtest", "quorbel", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_uses_the_installed_stubs(tmp_path):
    (tmp_path / "use.py").write_text(
        textwrap.dedent(
            """
            import quorbel

            entry = quorbel.read_term_at_offset("block.bin", 8)
            if entry is not None:
                term, content, title, postings, next_offset = entry
                reveal_type(postings)
            quorbel.get_block_stats(b"block.bin")
            """
        )
    )
    result = run("-m", "mypy", "--strict", "--no-incremental", "use.py", cwd=tmp_path)
    assert 'Revealed type is "list[tuple[int, int, int]]"' in result.stdout.replace("builtins.", "")
    assert 'Argument 1 to "get_block_stats" has incompatible type "bytes"' in result.stdout
    assert result.stdout.count("error:") == 1, result.stdout


@pytest.mark.parametrize("name", quorbel.__all__[3:])
def test_every_function_has_a_signature(name):
    import inspect

    assert inspect.signature(getattr(quorbel, name)).parameters


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    out = tmp_path_factory.mktemp("sdist")
    result = run("-m", "build", "--sdist", "--no-isolation", "--outdir", str(out), str(ROOT), cwd=out)
    assert result.returncode == 0, result.stdout + result.stderr
    (archive,) = out.glob("quorbel-*.tar.gz")
    return archive


def test_sdist_holds_sources_and_no_build_output(sdist):
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    assert {"pyproject.toml", "CMakeLists.txt", "src/lib.cpp", "stubs/quorbel.pyi", "LICENSE"} <= names
    assert not any(name.startswith(("build/", ".venv")) for name in names)


def test_a_wheel_builds_from_the_sdist_alone(sdist, tmp_path):
    with tarfile.open(sdist) as archive:
        archive.extractall(tmp_path / "src", filter="data")
    (source,) = (tmp_path / "src").iterdir()
    wheels = tmp_path / "wheels"
    result = run(
        "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-w", str(wheels), str(source),
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    (wheel,) = wheels.glob("quorbel-*.whl")
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
    assert any(name.startswith("quorbel.cpython-") and name.endswith(".so") for name in names)
    assert {"quorbel.pyi", "quorbel-stubs/__init__.pyi"} <= set(names)

    show = subprocess.run(
        [os.path.join(os.path.dirname(sys.executable), "auditwheel"), "show", str(wheel)],
        capture_output=True, text=True, timeout=120,
    )
    assert show.returncode == 0, show.stdout + show.stderr
    assert "manylinux_" in show.stdout


def test_the_example_application_passes_mypy_strict(tmp_path):
    result = run(
        "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
        str(ROOT / "examples" / "minisearch" / "minisearch"),
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr
