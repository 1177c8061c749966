"""The on-disk layout of an index and the files beside its block file.

An index directory holds::

    manifest.json              names the current generation's files, with counts
    index-<generation>.blk     one block file: every term with its merged postings
    offsets-<generation>.bin   the term-to-offset table of that block file
    titles-<generation>.json   document titles, a JSON array indexed by doc id
    .lock                      taken by a build while it runs

A build writes everything under a private ``.build-<generation>`` directory
inside the index directory, renames its files into place (``os.replace``)
under names that no manifest mentions yet, and only then replaces
``manifest.json``, the single commit point.  A reader that follows the
manifest therefore sees either the previous index or the new one, never a
mixture, and an interrupted build leaves at most unreferenced files that the
next build removes.

The offset table (``offsets-*.bin``) is::

    4 bytes   magic b"MSO1"
    varint    number of entries
    entries   varint term byte length, the term's UTF-8 bytes, varint gap

where the gap is the entry's offset in the block file minus the previous
entry's offset (the first entry's gap is its offset, 8).  Varints are
written with ``quorbel.encode_varint`` and read back with
``quorbel.read_varint``, which reads at most five bytes, so no value in the
table may reach 2**35.
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
from typing import Any, BinaryIO

import quorbel

__all__ = [
    "BUILD_PREFIX",
    "FORMAT_NAME",
    "FORMAT_VERSION",
    "LOCK_NAME",
    "MANIFEST_NAME",
    "MAX_TABLE_VALUE",
    "OFFSETS_MAGIC",
    "IndexUnusableError",
    "Manifest",
    "OffsetTableError",
    "build_lock",
    "data_file_names",
    "fsync_directory",
    "fsync_file",
    "is_own_entry",
    "new_generation",
    "read_manifest",
    "read_offset_table",
    "read_titles",
    "remove_stale_files",
    "sha256_of",
    "write_json",
    "write_offset_table",
]

MANIFEST_NAME = "manifest.json"
LOCK_NAME = ".lock"
BUILD_PREFIX = ".build-"
FORMAT_NAME = "minisearch-index"
FORMAT_VERSION = 1
OFFSETS_MAGIC = b"MSO1"
#: Largest value that ``quorbel.read_varint`` can read back (five bytes).
MAX_TABLE_VALUE = 2**35 - 1

_GENERATION = r"\d{8}T\d{6}-[0-9a-f]{8}"
_GENERATION_RE = re.compile(_GENERATION)
_DATA_FILE_RE = re.compile(rf"(?:index-{_GENERATION}\.blk|offsets-{_GENERATION}\.bin|titles-{_GENERATION}\.json)")


class IndexUnusableError(Exception):
    """An index directory cannot be used: missing, not an index, damaged or busy."""


class OffsetTableError(IndexUnusableError):
    """The term-to-offset table is malformed."""


def new_generation() -> str:
    """Return a fresh generation name: UTC time and a random suffix."""
    return time.strftime("%Y%m%dT%H%M%S", time.gmtime()) + "-" + secrets.token_hex(4)


def data_file_names(generation: str) -> dict[str, str]:
    """File names of one generation, by role (``block``, ``offsets``, ``titles``)."""
    if not _GENERATION_RE.fullmatch(generation):
        raise ValueError(f"not a generation name: {generation!r}")
    return {
        "block": f"index-{generation}.blk",
        "offsets": f"offsets-{generation}.bin",
        "titles": f"titles-{generation}.json",
    }


@dataclass(frozen=True)
class Manifest:
    """The contents of ``manifest.json``."""

    generation: str
    documents: int
    terms: int
    postings: int
    files: dict[str, str]
    file_sizes: dict[str, int]
    file_sha256: dict[str, str]
    block_size: int
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
        for name in ("documents", "terms", "postings", "block_size"):
            value: Any = getattr(self, name)
            if type(value) is not int or value < 0:
                raise IndexUnusableError(f"manifest field {name!r} is not a non-negative integer")
        try:
            expected = data_file_names(self.generation)
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


def write_json(path: str | os.PathLike[str], value: object) -> None:
    """Write ``value`` as compact UTF-8 JSON and fsync it."""
    with open(path, "w", encoding="utf-8") as handle:
        json.dump(value, handle, ensure_ascii=False, separators=(",", ":"))
        handle.flush()
        os.fsync(handle.fileno())


def read_titles(path: str | os.PathLike[str], documents: int) -> list[str]:
    """Read the titles file; it must be a JSON array of ``documents`` strings."""
    try:
        with open(path, encoding="utf-8") as handle:
            titles = json.load(handle)
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as error:
        raise IndexUnusableError(f"cannot read titles {os.fspath(path)}: {error}") from error
    if not isinstance(titles, list) or not all(isinstance(title, str) for title in titles):
        raise IndexUnusableError(f"titles {os.fspath(path)} is not a JSON array of strings")
    if len(titles) != documents:
        raise IndexUnusableError(f"titles {os.fspath(path)} holds {len(titles)} titles, expected {documents}")
    return titles


# --------------------------------------------------------------------------
# Offset table


def write_offset_table(path: str | os.PathLike[str], entries: Iterable[tuple[str, int]]) -> int:
    """Write the term-to-offset table; ``entries`` in block order.

    Returns the number of entries.  Offsets must ascend.  Raises
    :class:`ValueError` for a value the reader could not read back
    (2**35 or more) or offsets that do not ascend.
    """
    items = list(entries)
    body = bytearray(OFFSETS_MAGIC)
    body += _table_varint(len(items))
    previous = 0
    for term, offset in items:
        encoded = term.encode("utf-8")
        if offset <= previous:
            raise ValueError(f"offset table: offset {offset} of {term!r} does not ascend")
        body += _table_varint(len(encoded))
        body += encoded
        body += _table_varint(offset - previous)
        previous = offset
    with open(path, "wb") as handle:
        handle.write(body)
        handle.flush()
        os.fsync(handle.fileno())
    return len(items)


def _table_varint(value: int) -> bytes:
    if value > MAX_TABLE_VALUE:
        raise ValueError(f"offset table: value {value} too large (limit {MAX_TABLE_VALUE})")
    return quorbel.encode_varint(value)


def read_offset_table(path: str | os.PathLike[str]) -> list[tuple[str, int]]:
    """Read a term-to-offset table written by :func:`write_offset_table`.

    Raises :class:`OffsetTableError` for a bad magic number, a table cut
    short (``read_varint`` returns None both at a clean end and inside a cut
    varint, so every expected varint must be there), invalid UTF-8, offsets
    that do not ascend, or bytes after the last entry.
    """
    where = os.fspath(path)
    try:
        with open(path, "rb") as handle:
            if handle.read(len(OFFSETS_MAGIC)) != OFFSETS_MAGIC:
                raise OffsetTableError(f"offset table {where}: bad magic number")
            count = _read_table_varint(handle, where, "entry count")
            entries: list[tuple[str, int]] = []
            offset = 0
            for index in range(count):
                length = _read_table_varint(handle, where, f"length of term {index}")
                raw = handle.read(length)
                if len(raw) != length:
                    raise OffsetTableError(f"offset table {where}: cut short in term {index}")
                try:
                    term = raw.decode("utf-8")
                except UnicodeDecodeError as error:
                    raise OffsetTableError(f"offset table {where}: term {index} is not UTF-8") from error
                gap = _read_table_varint(handle, where, f"offset of term {index}")
                if gap == 0:
                    raise OffsetTableError(f"offset table {where}: offsets do not ascend at term {index}")
                offset += gap
                entries.append((term, offset))
            if handle.read(1):
                raise OffsetTableError(f"offset table {where}: bytes after entry {count}")
    except OSError as error:
        raise OffsetTableError(f"cannot read offset table {where}: {error}") from error
    except ValueError as error:  # read_varint: a varint longer than five bytes
        raise OffsetTableError(f"offset table {where}: {error}") from error
    return entries


def _read_table_varint(handle: BinaryIO, where: str, what: str) -> int:
    value = quorbel.read_varint(handle)
    if value is None:
        raise OffsetTableError(f"offset table {where}: cut short before the {what}")
    return value


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
