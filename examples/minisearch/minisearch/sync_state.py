"""What ``sync`` saw of a directory, so that the next ``sync`` reads only the files that changed.

After a sync, ``sync-state.json`` beside the manifest records the directory,
the commit the sync left, and each indexed file's size and modification time.
The next sync trusts a file whose size and time are those recorded, without
reading it, only while the index is at that commit (any other writer's commit
makes it read every file again, as the first sync does), and the record
leaves out files modified in the two seconds before the sync began: a change
within a file system's timestamp granularity would not show in the time.
The file is a cache, not part of a commit: written after the sync, replaced
whole, and ignored when it is missing, damaged or of another index state.
"""

from __future__ import annotations

import contextlib
import json
import os
import secrets
import time
from pathlib import Path

__all__ = ["SYNC_STATE_NAME", "Stamp", "read_sync_state", "recent", "stamp_of", "write_sync_state"]

SYNC_STATE_NAME = "sync-state.json"
#: A file modified this shortly before a sync began is read again by the next one.
RACY_NS = 2_000_000_000

Stamp = tuple[int, int]
"""A file's size and modification time in nanoseconds."""


def stamp_of(info: os.stat_result) -> Stamp:
    return info.st_size, info.st_mtime_ns


def recent(stamp: Stamp, started_ns: int) -> bool:
    """Whether a file of ``stamp`` may change without its time changing, for a sync begun at
    ``started_ns``."""
    return stamp[1] >= started_ns - RACY_NS


def read_sync_state(index_dir: Path, commit: int, directory: str) -> dict[str, Stamp]:
    """The files recorded by the sync that left the index at ``commit`` from ``directory``
    (a real path), or nothing."""
    try:
        state = json.loads((index_dir / SYNC_STATE_NAME).read_bytes())
        if state["commit"] != commit or state["directory"] != directory:
            return {}
        return {title: (size, mtime) for title, (size, mtime) in state["files"].items()
                if type(size) is int and type(mtime) is int}
    except (OSError, ValueError, TypeError, KeyError, AttributeError, RecursionError):
        return {}


def write_sync_state(index_dir: Path, commit: int, directory: str, files: dict[str, Stamp]) -> None:
    """Record what a sync saw; a failure to write it leaves no record (the next sync reads all)."""
    path = index_dir / SYNC_STATE_NAME
    temporary = index_dir / f"{SYNC_STATE_NAME}.{secrets.token_hex(4)}.part"
    data = json.dumps({"commit": commit, "directory": directory, "recorded": time.time_ns(), "files": files})
    try:
        temporary.write_text(data, encoding="utf-8")
        os.replace(temporary, path)
    except OSError:
        with contextlib.suppress(OSError):
            temporary.unlink()
        with contextlib.suppress(OSError):
            path.unlink()
