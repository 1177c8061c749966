"""The index a server answers from, kept current across commits.

A commit (a build, ``add``, a merge) replaces ``manifest.json`` last.  Each
request takes the current :class:`Generation`; if the manifest changed since
that one was opened, a new index is opened first and becomes current.  The
one it replaces is closed when the last request still using it ends, so a
request that began before the commit finishes on the state it started with
(an open index keeps its files mapped even after a merge removes them).
"""

from __future__ import annotations

import os
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

from .. import Index, IndexUnusableError

__all__ = ["Generation", "LiveIndex", "manifest_stamp", "refreshed"]

MANIFEST = "manifest.json"
Stamp = tuple[int, int, int, int] | None


def manifest_stamp(index_dir: Path) -> Stamp:
    """What changes when a commit replaces the manifest (None when there is none)."""
    try:
        status = os.stat(index_dir / MANIFEST)
    except FileNotFoundError:
        return None
    return status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns


@dataclass(eq=False)
class Generation:
    """One opened state of the index and the requests using it."""

    index: Index
    stamp: Stamp
    users: int = 0
    retired: bool = False


def refreshed(current: Generation | None, index_dir: Path) -> Generation:
    """``current`` while the index is as it was opened, else the index as it is now.

    A new index rather than ``Index.refresh()``, which moves an index to the new commit in
    place and so cannot be called while other requests still search it.  The stamp is taken
    before opening, so a commit landing meanwhile is seen by the next request.
    """
    stamp = manifest_stamp(index_dir)
    if current is not None and stamp == current.stamp:
        return current
    return Generation(Index(index_dir), stamp)


class LiveIndex:
    """An index directory opened once and shared by concurrent requests (see the module)."""

    def __init__(self, index_dir: str | os.PathLike[str]) -> None:
        self.index_dir = Path(index_dir)
        self._lock = threading.Lock()
        self._current: Generation | None = refreshed(None, self.index_dir)

    @contextmanager
    def use(self) -> Iterator[Index]:
        """The current index, held open until the block ends."""
        generation = self._acquire()
        try:
            yield generation.index
        finally:
            self._release(generation)

    def _acquire(self) -> Generation:
        with self._lock:
            current = self._current
            if current is None:
                raise IndexUnusableError(f"{self.index_dir}: the server is closed")
            latest = refreshed(current, self.index_dir)
            if latest is not current:
                self._retire(current)
                self._current = latest
            latest.users += 1
            return latest

    def _release(self, generation: Generation) -> None:
        with self._lock:
            generation.users -= 1
            if generation.retired and generation.users == 0:
                generation.index.close()

    def _retire(self, generation: Generation) -> None:
        generation.retired = True
        if generation.users == 0:
            generation.index.close()

    def close(self) -> None:
        """Close the current index (once the requests using it end)."""
        with self._lock:
            if self._current is not None:
                self._retire(self._current)
                self._current = None
