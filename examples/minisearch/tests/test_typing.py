"""The package is fully annotated: mypy --strict finds nothing."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[3]


def test_mypy_strict_passes_on_the_package():
    pytest.importorskip("mypy")
    environment = dict(os.environ, MYPYPATH=str(ROOT / "stubs"))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "minisearch"],
        cwd=ROOT / "examples" / "minisearch", env=environment, capture_output=True, text=True, check=False,
    )
    assert result.returncode == 0, result.stdout + result.stderr
