"""Document sources: the standard library's docstrings, a directory of text
files, or a JSON Lines file.

Every source yields :class:`Document` values in a fixed, reproducible order;
a document's position in that order becomes its document id.
"""

from __future__ import annotations

import ast
import collections
import itertools
import json
import os
import stat
import sys
import sysconfig
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Executor, Future
from pathlib import Path
from typing import NamedTuple

from .errors import CorpusError

__all__ = [
    "STDLIB_SKIPPED_DIRS",
    "CorpusError",
    "Document",
    "directory_corpus",
    "directory_files",
    "read_text_file",
    "docstrings_of_source",
    "jsonl_corpus",
    "limit_documents",
    "module_docstrings",
    "stdlib_corpus",
]


Key = str | int


def is_key(value: object) -> bool:
    """A valid document key: a non-empty string, or an integer (not a bool)."""
    return (type(value) is str and value != "") or type(value) is int


class Document(NamedTuple):
    """One document: a title, a body of text, and the key that names it in its source (a
    non-empty string or an integer; None for a source without keys, whose documents are known by
    their position only)."""

    title: str
    content: str
    key: Key | None = None


#: Directories of the standard library that are not indexed: test suites,
#: installed third-party packages, the IDE, demos, compiled extensions and
#: build configuration.
STDLIB_SKIPPED_DIRS = frozenset(
    {
        "__pycache__",
        "dist-packages",
        "idle_test",
        "idlelib",
        "lib-dynload",
        "site-packages",
        "test",
        "tests",
        "turtledemo",
    }
)

_Definition = ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef


def docstrings_of_source(source: str | bytes, module: str, filename: str = "<unknown>") -> Iterator[Document]:
    """Yield the docstrings of one module's source text, without running it.

    The module docstring is titled ``module``; the docstring of a class or
    function is titled with its qualified name, ``module.Class.method``
    (nested functions are named through their enclosing function).
    Definitions inside ``if``, ``try`` and other compound statements are
    found too.  Empty docstrings are skipped.  Raises :class:`SyntaxError`
    (or :class:`ValueError` for a NUL byte) when the source does not parse.
    """
    tree = ast.parse(source, filename=filename)
    doc = ast.get_docstring(tree)
    if doc:
        yield Document(module, doc, module)
    seen: collections.Counter[str] = collections.Counter()
    for document in _definition_docstrings(tree, module):
        seen[document.title] += 1  # a name defined twice (in two branches) is keyed name#2
        repeat = seen[document.title]
        yield document if repeat == 1 else document._replace(key=f"{document.title}#{repeat}")


def _definition_docstrings(node: ast.AST, prefix: str) -> Iterator[Document]:
    for child in ast.iter_child_nodes(node):
        if isinstance(child, _Definition):
            name = f"{prefix}.{child.name}"
            doc = ast.get_docstring(child)
            if doc:
                yield Document(name, doc, name)
            yield from _definition_docstrings(child, name)
        elif isinstance(child, ast.stmt):
            # if/try/with/for bodies: same namespace, keep the prefix.
            yield from _definition_docstrings(child, prefix)


def _module_name(relative: Path) -> str:
    parts = list(relative.with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


def _stdlib_files(root: Path) -> Iterator[Path]:
    for directory, dirnames, filenames in os.walk(root):
        # Prune in place so that os.walk does not descend; sort for a stable order.
        dirnames[:] = sorted(
            d
            for d in dirnames
            if d not in STDLIB_SKIPPED_DIRS and not d.startswith((".", "config-")) and d.isidentifier()
        )
        for filename in sorted(filenames):
            if filename.endswith(".py") and filename[:-3].isidentifier():
                yield Path(directory, filename)


def stdlib_corpus(
    root: str | os.PathLike[str] | None = None, executor: Executor | None = None
) -> Iterator[Document]:
    """Yield the docstrings of the Python standard library's source files.

    ``root`` defaults to ``sysconfig.get_paths()["stdlib"]``.  Files are read
    and parsed with :mod:`ast`, never imported; files that cannot be read or
    parsed are skipped, as are the directories in :data:`STDLIB_SKIPPED_DIRS`
    and the ``_sysconfigdata`` modules.  With an ``executor``, the files are
    parsed by its workers (``executor.map``); the order stays the same.
    """
    base = Path(root if root is not None else sysconfig.get_paths()["stdlib"])
    if not base.is_dir():
        raise CorpusError(f"standard library not found at {base}")
    modules = [
        (str(path), _module_name(path.relative_to(base)))
        for path in _stdlib_files(base)
        if not path.name.startswith("_sysconfigdata")
    ]
    if executor is None:
        results: Iterable[list[Document]] = map(module_docstrings, modules)
    else:
        results = _map_ahead(executor, module_docstrings, modules, PARSE_AHEAD)
    for documents in results:
        yield from documents


#: Files handed to the executor ahead of the one being consumed.
PARSE_AHEAD = 32


def _map_ahead[T, R](executor: Executor, function: Callable[[T], R], items: Iterable[T], ahead: int) -> Iterator[R]:
    """Like ``executor.map``, in order, but with at most ``ahead`` calls submitted
    and not yet consumed, so that a reader who stops early (``--limit``) does
    not leave the whole input queued in front of the executor's other work."""
    pending: collections.deque[Future[R]] = collections.deque()
    try:
        for item in items:
            pending.append(executor.submit(function, item))
            if len(pending) >= ahead:
                yield pending.popleft().result()
        while pending:
            yield pending.popleft().result()
    finally:
        for future in pending:
            future.cancel()


def module_docstrings(module: tuple[str, str]) -> list[Document]:
    """The docstrings of one source file, given as (path, module name).

    An unreadable or unparseable file gives no documents.  Module-level so
    that an executor's workers can run it.
    """
    path, name = module
    try:
        with open(path, "rb") as handle:
            source = handle.read()
        return list(docstrings_of_source(source, name, path))
    except (OSError, SyntaxError, ValueError, UnicodeDecodeError, RecursionError, MemoryError):
        return []


def directory_corpus(
    root: str | os.PathLike[str], skipped: list[str] | None = None, stamps: dict[str, tuple[int, int]] | None = None
) -> Iterator[Document]:
    """Yield one document per text file below ``root``, recursively.

    The title is the file's path relative to ``root`` with ``/`` separators,
    the content the file's text.  Files are visited in sorted order; hidden
    files and directories (names starting with ``.``) are passed over, and
    files that are not regular files (named pipes, devices, sockets, which
    could block a read for ever), cannot be read, or are not UTF-8 text
    (undecodable, or holding a NUL character) are skipped: their relative
    paths are appended to ``skipped``, if given.  ``stamps``, if given, gets each indexed file's
    size and modification time (in nanoseconds) as they were before it was read.
    """
    for title, path in directory_files(root):
        stamp = _stamp(path) if stamps is not None else None
        text = read_text_file(path)
        if stamps is not None and stamp is not None and text is not None:
            stamps[title] = stamp
        if text is None:
            if skipped is not None:
                skipped.append(title)
            continue
        yield Document(title, text, title)


def directory_files(root: str | os.PathLike[str]) -> Iterator[tuple[str, str]]:
    """The files :func:`directory_corpus` visits, in its order: each one's relative path with
    ``/`` separators, and its path."""
    base = Path(root)
    if not base.is_dir():
        raise CorpusError(f"not a directory: {base}")
    for directory, dirnames, filenames in os.walk(base):
        dirnames[:] = sorted(d for d in dirnames if not d.startswith("."))
        relative = os.path.relpath(directory, base)
        prefix = "" if relative == os.curdir else relative.replace(os.sep, "/") + "/"
        for filename in sorted(filenames):
            if not filename.startswith("."):
                yield prefix + filename, os.path.join(directory, filename)


def _stamp(path: str) -> tuple[int, int] | None:
    try:
        info = os.stat(path)
    except OSError:
        return None
    return info.st_size, info.st_mtime_ns


def read_text_file(path: str) -> str | None:
    """What :func:`directory_corpus` indexes of a file: its text, or None (skipped)."""
    text = _read_text_file(path)
    return None if text is None or "\0" in text else text


def _read_text_file(path: str) -> str | None:
    """The UTF-8 text of a regular file (a symbolic link to one included); None for anything else."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return None  # never opened: opening a pipe or a device can block, or act on the device
        # Without blocking, in case it was replaced by a pipe since; then checked again.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        with open(fd, encoding="utf-8") as handle:  # text mode, as before: line ends become "\n"
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                return None
            return handle.read()
    except (OSError, UnicodeDecodeError):
        return None


def jsonl_corpus(path: str | os.PathLike[str]) -> Iterator[Document]:
    """Yield the documents of a JSON Lines file.

    Each non-blank line must be a JSON object with the string members
    ``"title"`` and ``"content"``, and may have an ``"id"``: the document's
    key, a non-empty string or an integer, unique in the file (other members
    are ignored).  A line that is not such an object raises
    :class:`CorpusError` naming the line.
    """
    seen: dict[str | int, int] = {}
    try:
        # Bytes that are not UTF-8 become lone surrogates, found below with the line that holds them.
        handle = open(path, encoding="utf-8", errors="surrogateescape")
    except OSError as error:
        raise CorpusError(f"cannot open {os.fspath(path)}: {error.strerror or error}") from error
    with handle:
        for line_number, line in enumerate(handle, start=1):
            if not line.strip():
                continue
            where = f"{os.fspath(path)}, line {line_number}"
            if not line.isascii():
                _check_utf8(where, line)
            record = _parse_json(where, line)
            if not isinstance(record, dict):
                raise CorpusError(f"{where}: expected a JSON object")
            title = record.get("title")
            content = record.get("content")
            if not isinstance(title, str) or not isinstance(content, str):
                raise CorpusError(f'{where}: "title" and "content" must both be strings')
            if "\\u" in line:  # the file is UTF-8, so only an escape can make a lone surrogate
                _check_text(where, title, content)
            key = _key_of(record, where, seen, line_number)
            yield Document(title, content, key)


def _key_of(record: dict[str, object], where: str, seen: dict[str | int, int], line_number: int) -> str | int | None:
    """The ``"id"`` of a JSON Lines record, checked: a key, and not one an earlier line gave."""
    if "id" not in record:
        return None
    key = record["id"]
    if not is_key(key):
        raise CorpusError(f'{where}: "id" must be a non-empty string or an integer')
    assert isinstance(key, str | int)
    if key in seen:
        raise CorpusError(f"{where}: id {key!r} repeats line {seen[key]}")
    seen[key] = line_number
    return key


def _check_utf8(where: str, line: str) -> None:
    """Refuse a line read with ``surrogateescape`` that held a byte that is not UTF-8."""
    try:
        line.encode("utf-8")
    except UnicodeEncodeError as error:
        byte = ord(line[error.start]) - 0xDC00
        raise CorpusError(f"{where}: not UTF-8 (byte 0x{byte:02x} at character {error.start + 1})") from None


def _parse_json(where: str, line: str) -> object:
    try:
        return json.loads(line)
    except json.JSONDecodeError as error:
        raise CorpusError(f"{where}: not valid JSON ({error.msg})") from error
    except RecursionError:
        raise CorpusError(f"{where}: not valid JSON (values nested too deeply)") from None
    except ValueError:  # an integer of more digits than int() converts
        limit = sys.get_int_max_str_digits()
        raise CorpusError(f"{where}: not valid JSON (an integer of more than {limit} digits)") from None


def _check_text(where: str, *texts: str) -> None:
    """Refuse a lone surrogate (an escape such as ``\\ud800`` in JSON), which no file can hold."""
    for text in texts:
        try:
            text.encode("utf-8")
        except UnicodeEncodeError as error:
            raise CorpusError(f"{where}: not valid text ({error.reason} at character {error.start})") from None


def limit_documents(documents: Iterable[Document], limit: int | None) -> Iterator[Document]:
    """Yield at most ``limit`` documents (all of them when ``limit`` is None)."""
    if limit is not None and limit < 0:
        raise ValueError("limit must not be negative")
    return iter(documents) if limit is None else itertools.islice(documents, limit)
