"""What the engine's command line offers, read from its help, and memory sizes as it writes them.

The scale benchmark runs against any version of the engine: the steps whose commands or options
this version lacks are skipped and say why.
"""

from __future__ import annotations

import importlib.util
import re
import subprocess
import sys
from dataclasses import dataclass

__all__ = ["Features", "detect_features", "parse_size"]

_SIZE = re.compile(r"(\d+(?:\.\d+)?)\s*([KMGT]?)(?:i?B)?", re.IGNORECASE)
_UNITS = {"": 1, "K": 2**10, "M": 2**20, "G": 2**30, "T": 2**40}


def parse_size(text: str) -> int:
    """Return a size such as ``512M`` or ``1.5G`` in bytes (binary units)."""
    match = _SIZE.fullmatch(text.strip())
    if match is None:
        raise ValueError(f"not a size: {text!r} (expected e.g. 512M)")
    return int(float(match.group(1)) * _UNITS[match.group(2).upper()])


@dataclass(frozen=True)
class Features:
    """The engine's commands and options the benchmark uses, and whether Dask is installed."""

    partitions: bool
    memory: bool
    add: bool
    optimize: bool
    dask_option: bool
    dask_installed: bool

    def missing_for(self, step: str) -> str | None:
        """Return why ``step`` cannot run, or None if it can."""
        if step == "dask" and not self.dask_option:
            return "this version of the engine has no --dask-local option"
        if step == "dask" and not self.dask_installed:
            return "dask.distributed is not installed"
        if step == "add" and not self.add:
            return "this version of the engine has no add command"
        return None


def _help(*arguments: str) -> str:
    """Return the engine's help text for ``arguments``, or "" if the command does not exist."""
    done = subprocess.run([sys.executable, "-m", "minisearch", *arguments, "--help"], capture_output=True, text=True, check=False)
    usage = f"usage: python -m minisearch {arguments[0]}"
    return done.stdout if done.returncode == 0 and done.stdout.startswith(usage) else ""


def detect_features() -> Features:
    """Return what the engine on the path offers."""
    index_help = _help("index")
    return Features(
        partitions="--partitions" in index_help,
        memory="--memory" in index_help,
        add=bool(_help("add")),
        optimize=bool(_help("optimize")),
        dask_option="--dask-local" in index_help,
        dask_installed=importlib.util.find_spec("distributed") is not None,
    )
