"""The index directory: its manifest, its commit and its lock.

An index directory holds::

    manifest.json              names the current generation's files, with counts and digests
    postings-<generation>.blk  the block file, and the files beside it (see minisearch.layout)
    terms-<generation>.bin
    lengths-<generation>.bin
    titles-<generation>.bin
    docs-<generation>.bin      unless built without the document store
    .lock                      taken by a build while it runs

A build writes everything under a private ``.build-<generation>`` directory
inside the index directory, renames its files into place (``os.replace``)
under names that no manifest mentions yet, and only then replaces
``manifest.json``, the single commit point.  A reader that follows the
manifest therefore sees either the previous index or the new one, never a
mixture, and an interrupted build leaves at most unreferenced files that the
next build removes.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import hashlib
import json
import os
import re
import secrets
import shutil
import time
from collections.abc import Iterable, Iterator
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any

__all__ = [
    "BUILD_PREFIX",
    "FORMAT_NAME",
    "FORMAT_VERSION",
    "LOCK_NAME",
    "MANIFEST_NAME",
    "IndexUnusableError",
    "Manifest",
    "build_lock",
    "data_file_names",
    "fsync_directory",
    "fsync_file",
    "is_own_entry",
    "new_generation",
    "read_manifest",
    "remove_stale_files",
    "sha256_of",
    "write_synced",
]

MANIFEST_NAME = "manifest.json"
LOCK_NAME = ".lock"
BUILD_PREFIX = ".build-"
FORMAT_NAME = "minisearch-index"
FORMAT_VERSION = 2
#: The data files of a generation, by role; the document store is optional.
ROLES = {"postings": "blk", "terms": "bin", "lengths": "bin", "titles": "bin", "docs": "bin"}
OPTIONAL_ROLES = frozenset({"docs"})

_GENERATION = r"\d{8}T\d{6}-[0-9a-f]{8}"
_GENERATION_RE = re.compile(_GENERATION)
_DATA_FILE_RE = re.compile(rf"(?:{'|'.join(ROLES)})-{_GENERATION}\.(?:blk|bin)")


class IndexUnusableError(Exception):
    """An index directory cannot be used: missing, not an index, damaged or busy."""


def new_generation() -> str:
    """Return a fresh generation name: UTC time and a random suffix."""
    return time.strftime("%Y%m%dT%H%M%S", time.gmtime()) + "-" + secrets.token_hex(4)


def data_file_names(generation: str, with_documents: bool = True) -> dict[str, str]:
    """File names of one generation, by role (see :data:`ROLES`)."""
    if not _GENERATION_RE.fullmatch(generation):
        raise ValueError(f"not a generation name: {generation!r}")
    return {
        role: f"{role}-{generation}.{suffix}"
        for role, suffix in ROLES.items()
        if with_documents or role not in OPTIONAL_ROLES
    }


@dataclass(frozen=True)
class Manifest:
    """The contents of ``manifest.json``."""

    generation: str
    documents: int
    terms: int
    postings: int
    total_tokens: int
    files: dict[str, str]
    file_sizes: dict[str, int]
    file_sha256: dict[str, str]
    block_size: int
    head_size: int
    chunk_size: int
    tokenizer: str
    source: str
    created: str
    phase_seconds: dict[str, float] = field(default_factory=dict)
    format: str = FORMAT_NAME
    version: int = FORMAT_VERSION

    def to_json(self) -> str:
        return json.dumps(asdict(self), indent=2, sort_keys=True) + "\n"

    @classmethod
    def from_json(cls, text: str) -> Manifest:
        """Parse and validate a manifest; raises :class:`IndexUnusableError`."""
        try:
            data = json.loads(text)
        except json.JSONDecodeError as error:
            raise IndexUnusableError(f"manifest is not valid JSON: {error.msg}") from error
        if not isinstance(data, dict) or data.get("format") != FORMAT_NAME:
            raise IndexUnusableError("manifest does not describe a minisearch index")
        if data.get("version") != FORMAT_VERSION:
            raise IndexUnusableError(f"unsupported index version {data.get('version')!r}")
        try:
            manifest = cls(**data)
        except TypeError as error:
            raise IndexUnusableError(f"manifest has missing or unknown fields: {error}") from error
        manifest._validate()
        return manifest

    def _validate(self) -> None:
        for name in ("documents", "terms", "postings", "total_tokens", "block_size", "head_size", "chunk_size"):
            value: Any = getattr(self, name)
            if type(value) is not int or value < 0:
                raise IndexUnusableError(f"manifest field {name!r} is not a non-negative integer")
        try:
            expected = data_file_names(self.generation, with_documents="docs" in self.files)
        except (TypeError, ValueError) as error:
            raise IndexUnusableError("manifest names no valid generation") from error
        if self.files != expected:
            raise IndexUnusableError("manifest file names do not match its generation")
        for name in ("file_sizes", "file_sha256"):
            value = getattr(self, name)
            if not isinstance(value, dict) or set(value) != set(expected):
                raise IndexUnusableError(f"manifest field {name!r} does not cover the index files")


def read_manifest(index_dir: str | os.PathLike[str]) -> Manifest:
    """Read ``manifest.json`` of ``index_dir``; raises :class:`IndexUnusableError`."""
    path = Path(index_dir, MANIFEST_NAME)
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        raise IndexUnusableError(f"no index in {os.fspath(index_dir)} (no {MANIFEST_NAME})") from None
    except (OSError, UnicodeDecodeError) as error:
        raise IndexUnusableError(f"cannot read {path}: {error}") from error
    return Manifest.from_json(text)


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


# --------------------------------------------------------------------------
# Build directory management


@contextlib.contextmanager
def build_lock(index_dir: Path) -> Iterator[None]:
    """Hold an exclusive lock on ``index_dir`` for one build (POSIX ``flock``).

    A second build of the same directory fails at once instead of racing.
    """
    fd = os.open(index_dir / LOCK_NAME, os.O_RDWR | os.O_CREAT, 0o644)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise IndexUnusableError(f"another build is writing to {index_dir}") from None
        yield
    finally:
        os.close(fd)


def is_own_entry(name: str) -> bool:
    """True for the names a build may leave in an index directory."""
    return (
        name in (MANIFEST_NAME, LOCK_NAME)
        or name.startswith(BUILD_PREFIX)
        or _DATA_FILE_RE.fullmatch(name) is not None
    )


def remove_stale_files(index_dir: Path, keep: Iterable[str]) -> None:
    """Remove build directories and data files of other generations.

    Only names that a build creates are touched; ``keep`` lists the data
    files that the current manifest references.  Call with the build lock held.
    """
    kept = set(keep)
    for entry in index_dir.iterdir():
        name = entry.name
        if name.startswith(BUILD_PREFIX) and entry.is_dir() and not entry.is_symlink():
            shutil.rmtree(entry, ignore_errors=True)
        elif _DATA_FILE_RE.fullmatch(name) and name not in kept:
            with contextlib.suppress(FileNotFoundError):
                entry.unlink()
