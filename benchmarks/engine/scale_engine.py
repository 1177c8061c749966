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
_OPTION = re.compile(r"--[a-z][a-z-]*")
_UNITS = {"": 1, "K": 2**10, "M": 2**20, "G": 2**30, "T": 2**40}


def parse_size(text: str) -> int:
    """Return a size such as ``512M`` or ``1.5G`` in bytes (binary units)."""
    match = _SIZE.fullmatch(text.strip())
    if match is None:
        raise ValueError(f"not a size: {text!r} (expected e.g. 512M)")
    return int(float(match.group(1)) * _UNITS[match.group(2).upper()])


@dataclass(frozen=True)
class Features:
    """The options of each engine command the benchmark runs (none: the command does not exist),
    and whether Dask is installed."""

    options: dict[str, list[str]]
    dask_installed: bool

    def accepts(self, command: str, option: str) -> bool:
        """Whether the engine's ``command`` takes ``option``."""
        return option in self.options.get(command, [])

    def missing_for(self, step: str) -> str | None:
        """Return why ``step`` cannot run, or None if it can."""
        if step == "dask" and not self.accepts("index", "--dask-local"):
            return "this version of the engine has no --dask-local option"
        if step == "dask" and not self.dask_installed:
            return "dask.distributed is not installed"
        if step == "add" and "add" not in self.options:
            return "this version of the engine has no add command"
        return None


def _options(command: str) -> list[str] | None:
    """Return the options ``command`` takes, from its help, or None if it does not exist."""
    arguments = [sys.executable, "-m", "minisearch", command, "--help"]
    done = subprocess.run(arguments, capture_output=True, text=True, check=False)
    if done.returncode != 0 or not done.stdout.startswith(f"usage: python -m minisearch {command}"):
        return None
    return sorted(set(_OPTION.findall(done.stdout)))


def detect_features() -> Features:
    """Return what the engine on the path offers."""
    found = {command: _options(command) for command in ("index", "add", "optimize")}
    return Features(
        options={command: options for command, options in found.items() if options is not None},
        dask_installed=importlib.util.find_spec("distributed") is not None,
    )
