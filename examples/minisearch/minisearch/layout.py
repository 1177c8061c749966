"""The files of an index beside its block file, and how they are encoded.

A segment is these files (``<s>`` is the segment name, ``<p>`` a partition
number: each partition has its own block file and term table)::

    postings-<s>-<p>.blk   the block file: one entry per term (its head) and one per tail chunk
    terms-<s>-<p>.bin      the term table: where each term's entries start, with their bounds
    lengths-<s>.bin        every document's length in tokens
    titles-<s>.bin         every document's title
    docs-<s>.bin           the document store (absent when built without it)

The block file is quorbel's format, written by ``write_binary_block``.  A
term with at most ``head_size`` postings has one entry, named by the term.
A longer term's entry holds its head: the ``head_size`` postings (or a
sixteenth of its postings, if more) with the largest impact
``F * (K1 + 1) / (F + norm)`` (its BM25 score without the idf), largest
first, ties in document order.  The rest of its postings follow as chunks of
at most ``chunk_size`` postings in document order, entries named
``<term>#1``, ``<term>#2``, ...  Every other entry is in document order, so
its deltas stay small.  Each entry's two document frequencies count its own
postings.

Every other file is four magic bytes followed by one zlib stream.  Integers
are little-endian unsigned 32-bit arrays (:mod:`array`); decoding them is
one C call, so an index opens in milliseconds.

* Term table: ``<IIII`` (terms, chunks, bytes of the term text, flags), the
  terms joined by ``"\\n"`` in block order (terms never hold white space),
  then the arrays ``gap`` and ``size`` over all entries in file order (the
  gap from the end of the previous entry's postings, or from the 8-byte
  header, to the start of this entry's postings, and the postings' byte
  count), ``doc_freq`` and ``chunks`` per term (documents holding it, tail
  chunks), and ``first_doc``, ``max_f`` and ``min_length`` per chunk,
  followed by the chunks' largest impacts as little-endian doubles; with
  flag 1 (every table written since), then the CRC-32 of each entry's postings
  bytes, over all entries in file order, which a reader checks when it first
  decodes the entry.  Tables written before have flags 0 and no CRCs.
* Lengths: one array of ``documents`` lengths.
* Titles: the titles as a JSON array of strings.
* Keys: each document's key (a string, an integer, or null) as a JSON array.
* Deletion set: a JSON object: ``docs`` (the deleted ids, ascending), ``tokens``
  and ``doc_freq`` (per term, how many of them hold it) of those whose postings
  the segment still holds.
* Document store: ``<II`` (groups, 0), the arrays ``first_doc`` and
  ``size`` per group, then the groups, each one zlib stream of a JSON array
  of the contents of consecutive documents.
"""

from __future__ import annotations

import json
import mmap
import operator
import os
import struct
import sys
import zlib
from array import array
from collections.abc import Buffer, Callable, Collection, Sequence
from dataclasses import dataclass, field
from itertools import accumulate, chain
from types import TracebackType
from typing import Any, BinaryIO, Self, TypeGuard

from .corpus import Key
from .errors import FormatError
from .kernels import BUILD

__all__ = [
    "GROUP_SIZE",
    "STORE_LEVEL",
    "DeletionSet",
    "DocumentStoreIndex",
    "DocumentStoreWriter",
    "FormatError",
    "TermTable",
    "TitlesWriter",
    "compress_group",
    "decode_length_array",
    "decode_deletion_set",
    "decode_keys",
    "decode_lengths",
    "decode_term_table",
    "decode_titles",
    "decode_titles_payload",
    "encode_deletion_set",
    "encode_keys",
    "encode_lengths",
    "encode_term_table",
    "encode_titles",
    "entry_crcs",
    "entry_header_size",
    "read_document_group",
    "read_document_store_index",
    "titles_json",
    "titles_payload",
    "varint_size",
]

TERMS_MAGIC = b"MST2"
#: The term table flag that says a CRC-32 of each entry follows its arrays.
TERMS_HAVE_CRCS = 1
LENGTHS_MAGIC = b"MSL2"
TITLES_MAGIC = b"MSN2"
DOCS_MAGIC = b"MSD2"
KEYS_MAGIC = b"MSK1"
DELETES_MAGIC = b"MSX1"
FIRST_ENTRY = 8
_COUNTS = struct.Struct("<IIII")
_GROUPS = struct.Struct("<II")
_COPY_STEP = 2**20



def _to_bytes(typecode: str, values: Sequence[int] | Sequence[float] | array[int]) -> bytes:
    """Values as a little-endian array of ``typecode`` ("I": unsigned 32-bit, "d": double)."""
    if sys.byteorder == "little" and isinstance(values, array) and values.typecode == typecode:
        return values.tobytes()  # not copied twice: a million lengths are 4 MB
    data = array(typecode, values)
    if sys.byteorder == "big":
        data.byteswap()
    return data.tobytes()


def _from_bytes(typecode: str, payload: memoryview, start: int, count: int, what: str) -> tuple[list[Any], int]:
    """``count`` values of ``typecode`` from ``payload[start:]``, and the position after them."""
    data, end = _array_from_bytes(typecode, payload, start, count, what)
    return data.tolist(), end


def _array_from_bytes(typecode: str, payload: memoryview, start: int, count: int, what: str) -> tuple[array[Any], int]:
    data = array(typecode)
    end = start + data.itemsize * count
    if end > len(payload):
        raise FormatError(f"{what} is cut short")
    data.frombytes(payload[start:end])
    if sys.byteorder == "big":
        data.byteswap()
    return data, end


def _u32(values: Sequence[int] | array[int]) -> bytes:
    return _to_bytes("I", values)


def _read_u32(payload: memoryview, start: int, count: int, what: str) -> tuple[list[int], int]:
    return _from_bytes("I", payload, start, count, what)


#: The zlib level of the term tables, lengths, titles, keys and deletion sets: their arrays and JSON
#: pack 3-5 % larger at 3 than at 6 (the keys 15 %, a small file) in a third of the time, which was
#: a seventh of a small build.  Any level reads alike.
PACK_LEVEL = 3


def _pack(magic: bytes, payload: bytes) -> bytes:
    return magic + zlib.compress(payload, PACK_LEVEL)


def _unpack(magic: bytes, data: bytes, what: str) -> memoryview:
    if data[:4] != magic:
        raise FormatError(f"{what} has a bad magic number")
    try:
        return memoryview(inflate(memoryview(data)[4:]))
    except zlib.error as error:
        raise FormatError(f"{what} is damaged ({error})") from error


#: The kernels' inflater of whole streams when they carry one (libdeflate's: the same bytes in a
#: fifth to a half of zlib's time), else None.
_KERNELS_INFLATE: Callable[[Buffer], bytes | None] | None = getattr(BUILD, "inflate", None)


def inflate(data: Buffer) -> bytes:
    """One zlib stream inflated as ``zlib.decompress`` inflates it, raising its errors: by the
    kernels' inflater when they carry one and the stream is whole and sound, else by zlib.  (That
    inflater, libdeflate, also reads the two length codes that deflate reserves, where zlib
    refuses them: then it gives the stream's content, which its checksum vouches for.)"""
    if _KERNELS_INFLATE is not None and (inflated := _KERNELS_INFLATE(data)) is not None:
        return inflated
    return zlib.decompress(data)


# --------------------------------------------------------------------------
# Term table


@dataclass(frozen=True)
class TermTable:
    """Where the postings of every term lie in the block file, with their bounds.

    Entry ``e`` (in file order) has its postings at ``starts[e]:ends[e]``.
    Term ``i`` has its head at entry ``heads[i]`` and its tail chunks at the
    entries after it; ``first_chunk[i]`` is the index of its first chunk in
    the per-chunk lists, which hold ``chunk_count[i]`` chunks for it.
    """

    terms: list[str]
    doc_freq: list[int]
    chunk_count: list[int]
    starts: list[int]
    ends: list[int]
    heads: list[int]
    first_chunk: list[int]
    chunk_first_doc: list[int]
    chunk_max_f: list[int]
    chunk_min_length: list[int]
    chunk_impact: list[float]
    crcs: list[int] | None = None
    """The CRC-32 of each entry's postings bytes (None in a table written before they were kept)."""

    @property
    def entries(self) -> int:
        return len(self.starts)

    def entry_name(self, entry: int, term_index: int) -> str:
        """The name of an entry: the term for its head, ``term#j`` for its j-th chunk."""
        offset = entry - self.heads[term_index]
        return self.terms[term_index] if offset == 0 else f"{self.terms[term_index]}#{offset}"


def encode_term_table(
    terms: Sequence[str],
    gaps: Sequence[int],
    sizes: Sequence[int],
    doc_freq: Sequence[int],
    chunk_count: Sequence[int],
    chunk_first_doc: Sequence[int],
    chunk_max_f: Sequence[int],
    chunk_min_length: Sequence[int],
    chunk_impact: Sequence[float],
    crcs: Sequence[int] | None = None,
) -> bytes:
    """The bytes of a term table (see the module docstring); ``crcs`` per entry, if kept."""
    text = "\n".join(terms).encode("utf-8")
    payload = b"".join(
        [
            _COUNTS.pack(len(terms), len(chunk_first_doc), len(text), 0 if crcs is None else TERMS_HAVE_CRCS),
            text,
            *map(_u32, (gaps, sizes, doc_freq, chunk_count, chunk_first_doc, chunk_max_f, chunk_min_length)),
            _to_bytes("d", chunk_impact),
            b"" if crcs is None else _u32(crcs),
        ]
    )
    return _pack(TERMS_MAGIC, payload)


def entry_crcs(block: Buffer, gaps: Sequence[int], sizes: Sequence[int]) -> list[int]:
    """The CRC-32 of each entry's postings bytes in a block file's bytes, laid out by ``gaps`` and
    ``sizes`` as in its term table."""
    bounds = list(accumulate(chain.from_iterable(zip(gaps, sizes)), initial=FIRST_ENTRY))
    with memoryview(block) as view:
        return [zlib.crc32(view[start:end]) for start, end in zip(bounds[1::2], bounds[2::2])]


def decode_term_table(data: bytes, what: str = "term table") -> TermTable:
    """Parse a term table; raises :class:`FormatError`."""
    payload = _unpack(TERMS_MAGIC, data, what)
    if len(payload) < _COUNTS.size:
        raise FormatError(f"{what} is cut short")
    term_total, chunk_total, text_bytes, flags = _COUNTS.unpack_from(payload)
    if flags & ~TERMS_HAVE_CRCS:
        raise FormatError(f"{what} has unknown flags {flags:#x}")
    position = _COUNTS.size + text_bytes
    if position > len(payload):
        raise FormatError(f"{what} is cut short")
    try:
        text = bytes(payload[_COUNTS.size : position]).decode("utf-8")
    except UnicodeDecodeError as error:
        raise FormatError(f"{what}: the terms are not UTF-8") from error
    terms = text.split("\n") if term_total else []
    if len(terms) != term_total:
        raise FormatError(f"{what} names {len(terms)} terms, its header {term_total}")
    entries = term_total + chunk_total
    gaps, position = _read_u32(payload, position, entries, what)
    sizes, position = _read_u32(payload, position, entries, what)
    doc_freq, position = _read_u32(payload, position, term_total, what)
    chunk_count, position = _read_u32(payload, position, term_total, what)
    first_doc, position = _read_u32(payload, position, chunk_total, what)
    max_f, position = _read_u32(payload, position, chunk_total, what)
    min_length, position = _read_u32(payload, position, chunk_total, what)
    impact, position = _from_bytes("d", payload, position, chunk_total, what)
    crcs = None
    if flags & TERMS_HAVE_CRCS:
        crcs, position = _read_u32(payload, position, entries, what)
    if position != len(payload):
        raise FormatError(f"{what} has {len(payload) - position} bytes after its arrays")
    if sum(chunk_count) != chunk_total:
        raise FormatError(f"{what}: the terms' chunk counts do not add up to {chunk_total}")
    # starts[e] = end of entry e-1 + gaps[e]; ends[e] = starts[e] + sizes[e], in one C-level pass.
    bounds = list(accumulate(chain.from_iterable(zip(gaps, sizes)), initial=FIRST_ENTRY))
    first_chunk = list(accumulate(chunk_count, initial=0))[:-1]
    heads = [index + chunks_before for index, chunks_before in enumerate(first_chunk)]
    return TermTable(
        terms=terms,
        doc_freq=doc_freq,
        chunk_count=chunk_count,
        starts=bounds[1::2],
        ends=bounds[2::2],
        heads=heads,
        first_chunk=first_chunk,
        chunk_first_doc=first_doc,
        chunk_max_f=max_f,
        chunk_min_length=min_length,
        chunk_impact=impact,
        crcs=crcs,
    )


# --------------------------------------------------------------------------
# Lengths and titles


def encode_lengths(lengths: Sequence[int] | array[int]) -> bytes:
    """The bytes of the document lengths file."""
    return _pack(LENGTHS_MAGIC, _u32(lengths))


def decode_lengths(data: bytes, documents: int, what: str = "lengths") -> list[int]:
    """Parse a lengths file that must hold ``documents`` lengths."""
    return decode_length_array(data, documents, what).tolist()


def decode_length_array(data: bytes, documents: int, what: str = "lengths") -> array[int]:
    """:func:`decode_lengths` as an ``array("I")``: 4 bytes a document instead of a list's 36."""
    payload = _unpack(LENGTHS_MAGIC, data, what)
    if len(payload) != 4 * documents:
        raise FormatError(f"{what} holds {len(payload) // 4} lengths, expected {documents}")
    return _array_from_bytes("I", payload, 0, documents, what)[0]


def titles_json(titles: Sequence[str]) -> bytes:
    """Titles as the JSON array of a titles file; raises UnicodeEncodeError for a lone surrogate."""
    return json.dumps(titles, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def encode_titles(titles: Sequence[str]) -> bytes:
    """The bytes of the titles file."""
    return _pack(TITLES_MAGIC, titles_json(titles))


def decode_titles(data: bytes, documents: int, what: str = "titles") -> list[str]:
    """Parse a titles file that must hold ``documents`` titles."""
    return decode_titles_payload(_unpack(TITLES_MAGIC, data, what), documents, what)


def decode_titles_payload(payload: memoryview, documents: int, what: str = "titles") -> list[str]:
    """Parse the JSON array of a titles file (:func:`titles_payload`)."""
    try:
        titles = json.loads(bytes(payload))
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        raise FormatError(f"{what} is not a JSON array of titles") from error
    if not _all_strings(titles):
        raise FormatError(f"{what} is not a JSON array of titles")
    if len(titles) != documents:
        raise FormatError(f"{what} holds {len(titles)} titles, expected {documents}")
    return titles


# --------------------------------------------------------------------------
# Keys and deletion sets

def _all_strings(value: object) -> TypeGuard[list[str]]:
    """Whether a parsed JSON value is a list of strings (one C-level pass over the types)."""
    return isinstance(value, list) and set(map(type, value)) <= {str}


def _all_keys(value: object) -> TypeGuard[list[Key | None]]:
    """Whether a parsed JSON value is a list of keys (:func:`~minisearch.corpus.is_key`) and nulls."""
    return isinstance(value, list) and set(map(type, value)) <= {str, int, type(None)} and "" not in value


def encode_keys(keys: Sequence[Key | None]) -> bytes:
    """The bytes of a keys file: each document's key (null for none) as a JSON array."""
    return _pack(KEYS_MAGIC, json.dumps(list(keys), ensure_ascii=False, separators=(",", ":")).encode("utf-8"))


def decode_keys(data: bytes, documents: int, what: str = "keys") -> list[Key | None]:
    """Parse a keys file that must hold ``documents`` keys."""
    return decode_keys_payload(keys_payload(data, what), documents, what)


def keys_payload(data: bytes, what: str = "keys") -> memoryview:
    """The JSON array of a keys file, undecoded."""
    return _unpack(KEYS_MAGIC, data, what)


def decode_keys_payload(payload: memoryview, documents: int, what: str = "keys") -> list[Key | None]:
    """Parse the JSON array of a keys file (:func:`keys_payload`)."""
    try:
        keys = json.loads(bytes(payload))
    except (UnicodeDecodeError, json.JSONDecodeError, RecursionError, ValueError) as error:
        raise FormatError(f"{what} is not a JSON array of keys") from error
    if not _all_keys(keys):
        raise FormatError(f"{what} is not a JSON array of keys")
    if len(keys) != documents:
        raise FormatError(f"{what} holds {len(keys)} keys, expected {documents}")
    return keys


@dataclass(frozen=True)
class DeletionSet:
    """The documents of a segment that are gone, by id, and what of them the segment still holds:
    ``tokens`` and, per term, ``doc_freq`` (documents holding it).  Documents whose postings a
    merge dropped are listed with nothing held."""

    docs: tuple[int, ...]
    tokens: int = 0
    doc_freq: dict[str, int] = field(default_factory=dict)


def encode_deletion_set(deletions: DeletionSet) -> bytes:
    body = {"docs": list(deletions.docs), "tokens": deletions.tokens, "doc_freq": deletions.doc_freq}
    return _pack(DELETES_MAGIC, json.dumps(body, ensure_ascii=False, separators=(",", ":"), sort_keys=True).encode())


def _ascending_ids(docs: list[Any]) -> bool:
    """Whether ``docs`` are ints (not bools), ascending without repeats, from 0 up (checked at C
    speed: a set's thousands of ids and terms)."""
    return set(map(type, docs)) <= {int} and (not docs or docs[0] >= 0) and all(map(operator.lt, docs, docs[1:]))


def _counts_within(counts: Collection[Any], most: int) -> bool:
    """Whether ``counts`` are ints (not bools) from 1 to ``most``."""
    return set(map(type, counts)) <= {int} and (not counts or (min(counts) > 0 and max(counts) <= most))


def decode_deletion_set(data: bytes, what: str = "deletion set") -> DeletionSet:
    payload = _unpack(DELETES_MAGIC, data, what)
    try:
        body = json.loads(bytes(payload))
        docs, tokens, doc_freq = body["docs"], body["tokens"], body["doc_freq"]
    except (UnicodeDecodeError, json.JSONDecodeError, RecursionError, ValueError, KeyError, TypeError) as error:
        raise FormatError(f"{what} is not a deletion set") from error
    if (
        not isinstance(docs, list)
        or not _ascending_ids(docs)
        or type(tokens) is not int
        or tokens < 0
        or not isinstance(doc_freq, dict)
        or not _counts_within(doc_freq.values(), len(docs))
    ):
        raise FormatError(f"{what} is not a deletion set")
    return DeletionSet(tuple(docs), tokens, doc_freq)


# --------------------------------------------------------------------------
# Document store

#: Documents compressed together: larger groups compress better, smaller ones read faster.
GROUP_SIZE = 16
#: The zlib level of the document store's groups: level 6 makes them 5 % smaller and takes 40 % longer
#: (60,000 paragraphs of documentation: 5.97 against 5.66 MB, 0.20 against 0.27 s of a build's CPU).
STORE_LEVEL = 1


def compress_group(contents: Sequence[str]) -> bytes:
    """One group of the document store."""
    return zlib.compress(json.dumps(list(contents), ensure_ascii=False).encode("utf-8"), STORE_LEVEL)


class DocumentStoreWriter:
    """Writes a document store from the groups of blocks or of other stores, in document order.

    Only the group index is held in memory, and the groups of blocks kept in memory: the others
    are copied from their files by :meth:`write`.
    """

    def __init__(self) -> None:
        self.first_docs = array("I")
        self.sizes = array("I")
        self.sources: list[tuple[str, int, int] | bytes] = []
        """What holds the groups, in order: byte ranges (file, start, end), or the bytes."""
        self.later: list[tuple[int, Callable[[], tuple[bytes, Sequence[int]]], str]] = []
        """Blocks' groups still being made, in order after those above (see :meth:`add_later`)."""

    def add_later(
        self, first_doc: int, made: Callable[[], tuple[bytes, Sequence[int]]], what: str, unfinished: int
    ) -> None:
        """Add a block's groups that are still being made: ``made()`` gives them as
        :meth:`add_groups` takes them (or raises), when the store is written or groups are added
        after them, or when more than ``unfinished`` blocks' groups would be left to make (the
        oldest first): as many as are made at once, each with its texts."""
        self.later.append((first_doc, made, what))
        self._settle(unfinished)

    def _settle(self, unfinished: int = 0) -> None:
        while len(self.later) > unfinished:
            first_doc, made, what = self.later.pop(0)
            data, group_sizes = made()
            self._add_block_groups(first_doc, group_sizes, len(data), what)
            self.sources.append(data)

    def add_block(self, first_doc: int, group_sizes: Sequence[int], path: str) -> None:
        """Add a block's groups of :data:`GROUP_SIZE` documents from ``first_doc``, the whole file ``path``."""
        self._settle()
        size = os.path.getsize(path)
        self._add_block_groups(first_doc, group_sizes, size, path)
        self.sources.append((path, 0, size))

    def add_groups(self, first_doc: int, group_sizes: Sequence[int], data: bytes, what: str) -> None:
        """Add a block's groups of :data:`GROUP_SIZE` documents from ``first_doc``, held as ``data``
        (``what`` names them in errors)."""
        self._settle()
        self._add_block_groups(first_doc, group_sizes, len(data), what)
        self.sources.append(data)

    def _add_block_groups(self, first_doc: int, group_sizes: Sequence[int], size: int, what: str) -> None:
        if size != sum(group_sizes):
            raise FormatError(f"{what}: {size} bytes, its groups add up to {sum(group_sizes)}")
        self.first_docs.extend(range(first_doc, first_doc + GROUP_SIZE * len(group_sizes), GROUP_SIZE))
        self.sizes.extend(group_sizes)

    def add_store(self, groups: DocumentStoreIndex, path: str) -> None:
        """Add every group of the store at ``path``, whose index is ``groups``."""
        self._settle()
        self.first_docs.extend(groups.first_docs)
        self.sizes.extend(end - start for start, end in zip(groups.starts, groups.ends))
        if groups.starts:
            self.sources.append((path, groups.starts[0], groups.ends[-1]))

    def add_group(self, first_doc: int, path: str, start: int, end: int) -> None:
        """Add one group, the bytes ``start:end`` of the file ``path``."""
        self._settle()
        self.first_docs.append(first_doc)
        self.sizes.append(end - start)
        last = self.sources[-1] if self.sources else None
        if isinstance(last, tuple) and last[0] == path and last[2] == start:
            self.sources[-1] = (path, last[1], end)
        else:
            self.sources.append((path, start, end))

    def write(self, path: str | os.PathLike[str]) -> int:
        """Write the store; returns its size in bytes."""
        self._settle()
        header = DOCS_MAGIC + _GROUPS.pack(len(self.sizes), 0)
        with open(path, "wb") as handle:
            handle.write(header + _u32(self.first_docs) + _u32(self.sizes))
            for source in self.sources:
                if isinstance(source, bytes):
                    handle.write(source)
                    continue
                name, start, end = source
                with open(name, "rb") as group_file:
                    group_file.seek(start)
                    _copy(group_file, handle, end - start)
            handle.flush()
            os.fsync(handle.fileno())
            return handle.tell()


def _copy(source: BinaryIO, target: BinaryIO, count: int) -> None:
    while count > 0:
        data = source.read(min(count, _COPY_STEP))
        if not data:
            raise FormatError(f"{source.name} ends before its last group")
        target.write(data)
        count -= len(data)


class TitlesWriter:
    """Writes a titles file from JSON arrays of titles, one block or segment at a time.

    Use it with ``with``: the file is finished when the block ends (the caller syncs it, beside
    other work), and left unfinished (closed) if it fails.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.handle = open(path, "wb")  # noqa: SIM115  (closed by __exit__)
        self.compressor = zlib.compressobj(PACK_LEVEL)
        self.started = False
        self.handle.write(TITLES_MAGIC + self.compressor.compress(b"["))

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None, tb: TracebackType | None) -> None:
        with self.handle:
            if kind is None:
                self.handle.write(self.compressor.compress(b"]") + self.compressor.flush())

    def add_array(self, data: bytes | memoryview) -> None:
        """Append the titles of a JSON array written as :func:`encode_titles` writes it."""
        inner = bytes(data).strip()[1:-1]
        if inner:
            self.handle.write(self.compressor.compress(b"," + inner if self.started else inner))
            self.started = True


def titles_payload(data: bytes, what: str = "titles") -> memoryview:
    """The JSON array of a titles file, undecoded."""
    return _unpack(TITLES_MAGIC, data, what)


@dataclass(frozen=True)
class DocumentStoreIndex:
    """Where each group of the document store lies."""

    first_docs: list[int]
    starts: list[int]
    ends: list[int]


def read_document_store_index(data: Buffer, what: str = "document store") -> DocumentStoreIndex:
    """Parse the header and group index of a document store."""
    # Released on the way out, error or not: a traceback that kept the view alive would keep a
    # mapped store from being closed (BufferError).
    with memoryview(data) as view:
        if bytes(view[:4]) != DOCS_MAGIC or len(view) < 4 + _GROUPS.size:
            raise FormatError(f"{what} has a bad magic number")
        groups, _ = _GROUPS.unpack_from(view, 4)
        first_docs, position = _read_u32(view, 4 + _GROUPS.size, groups, what)
        sizes, position = _read_u32(view, position, groups, what)
        bounds = list(accumulate(sizes, initial=position))
        if bounds[-1] != len(view):
            raise FormatError(f"{what}: its groups end at {bounds[-1]}, the file at {len(view)}")
    return DocumentStoreIndex(first_docs, bounds[:-1], bounds[1:])


def read_document_group(data: bytes | mmap.mmap, start: int, end: int, what: str = "document store") -> list[str]:
    """Decompress one group of the document store."""
    try:
        # A copy of the group, not a view: requests read one mapped store at once, and on the
        # free-threaded interpreter a map's count of exported views is not kept atomically (a
        # lost update leaves it unclosable, or closable while a view is still read).
        contents = json.loads(inflate(data[start:end]))
    except (zlib.error, UnicodeDecodeError, json.JSONDecodeError) as error:
        raise FormatError(f"{what}: the group at byte {start} is damaged") from error
    if not _all_strings(contents):
        raise FormatError(f"{what}: the group at byte {start} is damaged")
    return contents


def entry_header_size(name_bytes: int, doc_freq_content: int, doc_freq_title: int, posting_bytes: int) -> int:
    """Bytes that ``write_binary_block`` writes before an entry's postings."""
    return 4 + name_bytes + varint_size(doc_freq_content) + varint_size(doc_freq_title) + varint_size(posting_bytes)


def varint_size(value: int) -> int:
    """Bytes of the LEB128 form of a non-negative integer."""
    return max(1, (value.bit_length() + 6) // 7)

