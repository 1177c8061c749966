"""Writing an index directory safely: synced files, atomic replacement, the writer's lock,
and removal of what an interrupted writer left.

A build, an ``add`` or a merge writes its new segment under a private
``.build-<segment>`` directory inside the index directory, renames the files
into place (``os.replace``) under names that no manifest mentions yet, and
only then replaces ``manifest.json``, the single commit point.  A reader
that follows the manifest therefore sees either the previous segments or the
new ones, never a mixture, and an interrupted build leaves at most
unreferenced files that the next one removes.  ``.lock`` is taken by a
build, add or merge while it runs.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import hashlib
import os
import secrets
import shutil
import sys
import time
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import BinaryIO

from .errors import DiskFullError, IndexUnusableError
from .manifest import DATA_FILE_RE, MANIFEST_NAME
from .sync_state import SYNC_STATE_NAME

__all__ = [
    "BUILD_PREFIX",
    "LOCK_NAME",
    "build_lock",
    "open_data_file",
    "disk_full_named",
    "fsync_directory",
    "fsync_file",
    "is_own_entry",
    "remove_stale_files",
    "sha256_of",
    "write_synced",
    "written_in_place_of",
]

LOCK_NAME = ".lock"
BUILD_PREFIX = ".build-"


#: The errno values of a write that found no room: a full device, a spent quota.
NO_ROOM = (errno.ENOSPC, errno.EDQUOT)


def is_disk_full(error: OSError) -> bool:
    """Whether ``error`` is a write that found no room: by its errno, or, from quorbel's writers,
    by its message, which ends with "(os error N)"."""
    return error.errno in NO_ROOM or any(str(error).endswith(f"(os error {code})") for code in NO_ROOM)


@contextlib.contextmanager
def disk_full_named(directory: str | os.PathLike[str]) -> Iterator[None]:
    """Raise :class:`DiskFullError` naming the file (or else ``directory``) for a write in the
    block that found no room, wherever it ran (a pool's worker too); other errors pass as they are."""
    try:
        yield
    except OSError as error:
        if not is_disk_full(error):
            raise
        where = error.filename if error.filename is not None else os.fspath(directory)
        raise DiskFullError(f"no space left on device writing {where}") from error


def sha256_of(path: str | os.PathLike[str]) -> str:
    """The SHA-256 digest of a file's contents, in hexadecimal."""
    with open(path, "rb") as handle:
        return hashlib.file_digest(handle, "sha256").hexdigest()


def fsync_file(path: str | os.PathLike[str]) -> None:
    """Force a file's contents to stable storage."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def write_synced(path: str | os.PathLike[str], data: bytes) -> int:
    """Write ``data`` to a new file and force it to stable storage; returns its size."""
    with open(path, "wb") as handle:
        handle.write(data)
        handle.flush()
        os.fsync(handle.fileno())
    return len(data)


@contextlib.contextmanager
def written_in_place_of(path: str | os.PathLike[str]) -> Iterator[str]:
    """A fresh name beside ``path`` to write a file under; the file replaces ``path`` when the
    block ends, and is removed if it fails.

    A cluster may run one task twice at the same time: each run writes a whole file of its own,
    and whichever replaces ``path`` last, a reader sees one complete file.
    """
    temporary = f"{os.fspath(path)}.{secrets.token_hex(4)}.part"
    try:
        yield temporary
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def fsync_directory(path: str | os.PathLike[str]) -> None:
    """Force a directory's entries (renames) to stable storage, where supported."""
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    except OSError as error:  # some file systems refuse fsync on directories
        if error.errno not in (errno.EINVAL, errno.ENOTSUP):
            raise
    finally:
        os.close(fd)


def open_data_file(path: Path) -> BinaryIO:
    """A data file of the index, opened for reading; never through a symbolic link, which no
    writer makes (it could lead a reader outside the index)."""
    try:
        return open(os.open(path, os.O_RDONLY | os.O_NOFOLLOW), "rb")
    except OSError as error:
        if error.errno == errno.ELOOP:
            raise IndexUnusableError(f"{path} is a symbolic link, which an index never holds") from error
        raise


@contextlib.contextmanager
def build_lock(index_dir: Path, wait: float = 0.0) -> Iterator[None]:
    """Hold an exclusive lock on ``index_dir`` for one writer (POSIX ``flock``).

    A second writer waits up to ``wait`` seconds, then fails naming the holder (its pid and
    command, which the holder writes into the lock file).  The kernel lets go of the lock of a
    killed writer, so the next one simply takes it.  The lock file is never opened through a
    symbolic link.
    """
    try:
        fd = os.open(index_dir / LOCK_NAME, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o644)
    except OSError as error:
        raise IndexUnusableError(f"cannot lock {index_dir / LOCK_NAME}: {error.strerror or error}") from error
    try:
        _take(fd, index_dir, wait)
        os.ftruncate(fd, 0)
        os.pwrite(fd, f"pid {os.getpid()}: {' '.join(sys.argv) or 'python'}\n".encode(errors="replace"), 0)
        yield
    finally:
        os.close(fd)


def _take(fd: int, index_dir: Path, wait: float) -> None:
    deadline = time.monotonic() + wait
    while True:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return
        except BlockingIOError:
            if time.monotonic() >= deadline:
                holder = os.pread(fd, 4096, 0).decode(errors="replace").strip() or "another process"
                raise IndexUnusableError(
                    f"another writer holds {index_dir} ({holder}); waited {wait:g} s"
                ) from None
            time.sleep(min(0.05, max(0.0, deadline - time.monotonic())))


def is_own_entry(name: str) -> bool:
    """True for the names a build may leave in an index directory."""
    return (
        name in (MANIFEST_NAME, LOCK_NAME)
        or name.startswith((BUILD_PREFIX, SYNC_STATE_NAME))
        or DATA_FILE_RE.fullmatch(name) is not None
    )


def remove_stale_files(index_dir: Path, keep: Iterable[str]) -> None:
    """Remove build directories and the data files of segments that no manifest lists.

    Only names that a build creates are touched; ``keep`` lists the data
    files that the current manifest references.  Call with the build lock held.
    """
    kept = set(keep)
    for entry in index_dir.iterdir():
        name = entry.name
        if name.startswith(BUILD_PREFIX) and entry.is_dir() and not entry.is_symlink():
            shutil.rmtree(entry, ignore_errors=True)
        elif DATA_FILE_RE.fullmatch(name) and name not in kept:
            with contextlib.suppress(FileNotFoundError):
                entry.unlink()
