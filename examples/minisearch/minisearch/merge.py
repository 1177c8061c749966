"""Merging one partition: from the blocks (or segments) that cover a run of documents
into the partition's block file and term table.

The merge of partition p reads partition p of every input and nothing else:
a block's partition file (read back with ``quorbel.iter_block_terms``, its
entry count checked against ``quorbel.get_block_stats``) or a segment's
partition (its mapped block file, read through its term table, each term's
head put back among its chunks).  Inputs cover consecutive documents, so a
term's lists from all inputs, taken in order, are its whole list in document
order.

A list longer than the head size is split into impact tiers: the
``head_size`` postings (or a sixteenth of the list, if more) with the largest
impact ``F * (K1 + 1) / (F + norm)`` (the term's BM25 score without its idf)
become the head, in that order; the rest stays in document order and is cut
into chunks, each with its largest impact, its largest ``F`` and its shortest
document length (the bounds that let a search skip it).  All entries are
written by one ``quorbel.write_binary_block`` call, and the term table records
where each entry's postings start (see :mod:`minisearch.layout`).

Memory: a term's lists are joined into one encoded list (about 4 bytes a
posting) as the inputs are read, and the write decodes the entries one at a
time.  A long list is split into tiers from columns of 20 bytes a posting,
filled a batch at a time; no list exists whole as tuples, so the most common
word of a large corpus costs little more than its share of the partition.
"""

from __future__ import annotations

import contextlib
import dataclasses
import gc
import hashlib
import heapq
import mmap
import os
import struct
import zlib
from array import array
from bisect import bisect_right
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from itertools import compress, islice
from operator import itemgetter
from pathlib import Path
from typing import overload

import quorbel

from . import native_build
from .blocks import doc_freqs
from .durability import fsync_file, sha256_of, write_synced, written_in_place_of
from .errors import IndexBuildError
from .layout import (
    FIRST_ENTRY,
    FormatError,
    TermTable,
    decode_length_array,
    decode_term_table,
    encode_term_table,
    entry_crcs,
    entry_header_size,
)
from .positions import PositionsWriter, Run, decode_run, encode_run, read_position_index
from .ranking import frequencies, impacts, length_norm_array

__all__ = [
    "DEFAULT_CHUNK_SIZE",
    "DEFAULT_HEAD_SIZE",
    "BlockMerger",
    "IndexBuildError",
    "MergedIndex",
    "PartitionInfo",
    "PartitionInput",
    "PartitionTask",
    "merge_partition",
    "write_postings",
]

#: Postings in a term's head: a top-k search on a common term usually reads only these.
DEFAULT_HEAD_SIZE = 128
#: A long list's head holds at least 1/HEAD_DIVISOR of its postings.  The impacts of a common
#: word's postings depend mostly on document length; a head this deep holds enough documents that
#: rank high for every word of a query to bound what its chunks could add.
HEAD_DIVISOR = 16
#: Postings per tail chunk.
DEFAULT_CHUNK_SIZE = 256

Posting = tuple[int, int, int]
Entry = tuple[str, int, int, list[Posting]]
"""A block entry: (term, doc_freq_content, doc_freq_title, postings)."""

_TERM_LENGTH = struct.Struct("<I")
#: Lists at least this long find their head's threshold from a sample.
_SAMPLED = 2**12
#: Postings of a long list turned into columns at a time.
_BATCH = 2**16

_encode = quorbel.encode_posting_list
_encode_varint = quorbel.encode_varint
_decode = quorbel.decode_posting_list



@dataclass
class MergedIndex:
    """The merged entries, encoded as ``write_binary_block`` will write them, and the term
    table's arrays."""

    names: list[str] = field(default_factory=list)
    doc_freqs: list[tuple[int, int]] = field(default_factory=list)
    encoded: list[bytes] = field(default_factory=list)
    gaps: list[int] = field(default_factory=list)
    sizes: list[int] = field(default_factory=list)
    terms: list[str] = field(default_factory=list)
    doc_freq: list[int] = field(default_factory=list)
    chunk_count: list[int] = field(default_factory=list)
    chunk_first_doc: list[int] = field(default_factory=list)
    chunk_max_f: list[int] = field(default_factory=list)
    chunk_min_length: list[int] = field(default_factory=list)
    chunk_impact: list[float] = field(default_factory=list)
    total_postings: int = 0
    end_offset: int = 8

    def add_entry(self, name: str, postings: list[Posting]) -> None:
        """Add an entry; its document frequencies are counted."""
        self.add_encoded(name, doc_freqs(postings), _encode(postings, True))

    def add_encoded(self, name: str, frequencies: tuple[int, int], encoded: bytes) -> None:
        self.names.append(name)
        self.doc_freqs.append(frequencies)
        self.encoded.append(encoded)

    def lay_out(self) -> None:
        """Compute every entry's byte size and header in bulk, once all entries are in."""
        self.sizes = list(map(len, self.encoded))
        name_bytes = map(len, map(str.encode, self.names))
        content = [frequencies[0] for frequencies in self.doc_freqs]
        title = [frequencies[1] for frequencies in self.doc_freqs]
        self.gaps = list(map(entry_header_size, name_bytes, content, title, self.sizes))
        self.end_offset = 8 + sum(self.gaps) + sum(self.sizes)

    def term_table(self, crcs: Sequence[int]) -> bytes:
        return encode_term_table(
            self.terms,
            self.gaps,
            self.sizes,
            self.doc_freq,
            self.chunk_count,
            self.chunk_first_doc,
            self.chunk_max_f,
            self.chunk_min_length,
            self.chunk_impact,
            crcs,
        )


class DecodedLists(Sequence[list[Posting]]):
    """Encoded posting lists seen as the lists they hold, each decoded when it is read: handed to
    ``write_binary_block``, only one list at a time exists as Python tuples."""

    def __init__(self, encoded: list[bytes]) -> None:
        self._encoded = encoded

    def __len__(self) -> int:
        return len(self._encoded)

    @overload
    def __getitem__(self, index: int) -> list[Posting]: ...
    @overload
    def __getitem__(self, index: slice) -> DecodedLists: ...
    def __getitem__(self, index: int | slice) -> list[Posting] | DecodedLists:
        if isinstance(index, slice):
            return DecodedLists(self._encoded[index])
        return _decode(self._encoded[index])

    def __iter__(self) -> Iterator[list[Posting]]:
        return map(_decode, self._encoded)


@dataclass(frozen=True)
class PartitionInput:
    """One input of a partition's merge: a block's partition file, or a segment's partition
    (its block file and ``term_table``); ``terms`` is how many terms it must hold."""

    postings_path: str
    terms: int
    term_table: str = ""
    what: str = ""
    """How errors name the input."""
    deleted: frozenset[int] = frozenset()
    """Documents of a segment input whose postings the merge drops."""
    positions_path: str = ""
    """Its positions file, when the index keeps positions."""
    held: tuple[bytes, bytes | None] | None = None
    """A block's file and positions file in memory, when its worker shared this process and
    did not write them."""


@dataclass(frozen=True)
class PartitionTask:
    """The merge of one partition of a new segment, whose documents start at ``first_doc``."""

    number: int
    inputs: tuple[PartitionInput, ...]
    """In document order."""
    postings_path: str
    terms_path: str
    first_doc: int
    lengths_path: str
    """The new segment's lengths file, written before its partitions are merged."""
    documents: int
    avgdl: float
    head_size: int
    chunk_size: int
    positions_path: str = ""
    """Where the partition's positions go (empty: an index without positions)."""
    lengths: array[int] | None = None
    """The segment's lengths, when the merge runs in the process that has them: not read from
    ``lengths_path``, which may not be written yet."""


@dataclass(frozen=True)
class PartitionInfo:
    """What a partition's merge wrote."""

    number: int
    terms: int
    postings: int
    file_sizes: tuple[int, int]
    """Bytes of the block file and of the term table."""
    file_sha256: tuple[str, str]
    positions: tuple[int, str] | None = None
    """Bytes and digest of the positions file, if written."""


def merge_partition(task: PartitionTask) -> PartitionInfo:
    """Merge one partition from its inputs; raises :class:`IndexBuildError` for a damaged input."""
    # Millions of tuples that live to the end and hold no cycles: the cyclic collector would only
    # walk them again and again.
    with _collector_paused():
        return _merge_partition(task)


@contextlib.contextmanager
def _collector_paused() -> Iterator[None]:
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def _merge_partition(task: PartitionTask) -> PartitionInfo:
    if native_build.merges(task):
        return _merge_natively(task)
    merger = BlockMerger()
    positions: dict[str, list[Run]] = {}
    for source in map(_on_disk, task.inputs):
        try:
            entries = segment_pieces(source) if source.term_table else read_block(source)
            merger.add_entries(entries)
        except IndexError:  # an entry without postings: never written by a block or a merge
            raise IndexBuildError(f"{source.what} ({source.postings_path}): a term without postings") from None
        if task.positions_path:
            _add_positions(positions, source, entries if isinstance(entries, list) else None)
    lengths = _segment_lengths(task)
    norms = length_norm_array(lengths, task.avgdl)
    merged = merger.finish(lengths, norms, task.first_doc, task.head_size, task.chunk_size)
    del merger
    with written_in_place_of(task.postings_path) as postings_path:
        postings_size = write_postings(merged, Path(postings_path))
        fsync_file(postings_path)
        postings_sha256 = sha256_of(postings_path)
        crcs = _entry_crcs(postings_path, merged)
    table = merged.term_table(crcs)
    info = PartitionInfo(
        number=task.number,
        terms=len(merged.terms),
        postings=merged.total_postings,
        file_sizes=(postings_size, len(table)),
        file_sha256=(postings_sha256, hashlib.sha256(table).hexdigest()),
    )
    terms = merged.terms
    del merged
    with written_in_place_of(task.terms_path) as terms_path:
        write_synced(terms_path, table)
    if task.positions_path:
        info = dataclasses.replace(info, positions=_write_positions(task.positions_path, terms, positions))
    return info


def _on_disk(source: PartitionInput) -> PartitionInput:
    """The input with a block held in memory written to its files, which this merge reads."""
    if source.held is None:
        return source
    block, positions = source.held
    os.makedirs(os.path.dirname(source.postings_path), exist_ok=True)
    Path(source.postings_path).write_bytes(block)
    if positions is not None:
        Path(source.positions_path).write_bytes(positions)
    return dataclasses.replace(source, held=None)


def _segment_lengths(task: PartitionTask) -> array[int]:
    if task.lengths is not None:
        return task.lengths
    try:
        with open(task.lengths_path, "rb") as handle:
            return decode_length_array(handle.read(), task.documents, task.lengths_path)
    except (OSError, FormatError) as error:
        raise IndexBuildError(f"partition {task.number}: {error}") from error


def _merge_natively(task: PartitionTask) -> PartitionInfo:
    """:func:`merge_partition` of a new segment's blocks on the native kernels: the same files."""
    lengths = _segment_lengths(task)
    norms = length_norm_array(lengths, task.avgdl)
    with contextlib.ExitStack() as stack:
        postings_path = stack.enter_context(written_in_place_of(task.postings_path))
        positions_path = stack.enter_context(written_in_place_of(task.positions_path)) if task.positions_path else None
        merged = native_build.merge_blocks(task.inputs, task, lengths, norms, HEAD_DIVISOR, postings_path,
                                           positions_path)
        fsync_file(postings_path)
        postings_sha256 = sha256_of(postings_path)
        positions = None
        if positions_path is not None:
            fsync_file(positions_path)
            assert merged.positions_size is not None
            positions = (merged.positions_size, sha256_of(positions_path))
    gaps, sizes, doc_freq, chunk_count, first_doc, max_f, min_length, impact, crcs = merged.columns
    table = encode_term_table(merged.terms, gaps, sizes, doc_freq, chunk_count, first_doc, max_f, min_length, impact,
                              crcs)
    with written_in_place_of(task.terms_path) as terms_path:
        write_synced(terms_path, table)
    return PartitionInfo(
        number=task.number,
        terms=len(merged.terms),
        postings=merged.postings,
        file_sizes=(merged.file_size, len(table)),
        file_sha256=(postings_sha256, hashlib.sha256(table).hexdigest()),
        positions=positions,
    )


def _add_positions(collected: dict[str, list[Run]], source: PartitionInput, entries: list[Entry] | None) -> None:
    """Add an input's runs of positions to each term's, in document order; a segment's deleted
    documents' positions are left out."""
    try:
        with open(source.positions_path, "rb") as handle:
            data = handle.read()
        index = read_position_index(data, source.positions_path)
        if entries is not None:
            names = [entry[0] for entry in entries]
        else:
            with open(source.term_table, "rb") as handle:
                names = decode_term_table(handle.read(), source.term_table).terms
        if index.terms != len(names):
            raise FormatError(f"{source.positions_path} holds {index.terms} terms, the block file {len(names)}")
        documents = _documents_in_order(source) if source.deleted else None
        for number, name in enumerate(names):
            runs = list(index.runs(data, number))
            if documents is not None:
                runs = _without_deleted(runs, documents[name], source.deleted, source.positions_path)
            collected.setdefault(name, []).extend(runs)
    except (OSError, FormatError) as error:
        raise IndexBuildError(f"{source.what}: {error}") from error


def _documents_in_order(source: PartitionInput) -> dict[str, list[Posting]]:
    """Every posting of a segment input by term, in document order, deleted ones included."""
    by_term: dict[str, list[Posting]] = {}
    for name, _, _, postings in quorbel.iter_block_terms(source.postings_path):
        by_term.setdefault(name.partition("#")[0], []).extend(postings)  # a chunk's entry is term#j
    for postings in by_term.values():
        postings.sort()
    return by_term


def _without_deleted(runs: list[Run], postings: list[Posting], deleted: frozenset[int], what: str) -> list[Run]:
    kept: list[Run] = []
    start = 0
    for count, data in runs:
        mine = postings[start : start + count]
        start += count
        if not any(posting[0] in deleted for posting in mine):
            kept.append((count, data))
            continue
        decoded = decode_run(data, [(title, content) for _, content, title in mine], what)
        left = [where for posting, where in zip(mine, decoded) if posting[0] not in deleted]
        if left:
            kept.append(encode_run(left))
    return kept


def _write_positions(path: str, terms: Sequence[str], positions: dict[str, list[Run]]) -> tuple[int, str]:
    with written_in_place_of(path) as temporary:
        with open(temporary, "wb") as handle:
            writer = PositionsWriter(handle)
            for term in terms:
                writer.add_term(positions.pop(term))
            size = writer.finish()
            handle.flush()
            os.fsync(handle.fileno())
        digest = sha256_of(temporary)
    return size, digest


def read_block(source: PartitionInput) -> list[Entry]:
    """A block's partition file read whole; raises :class:`IndexBuildError` for a short or
    disordered one, or one without the terms its worker wrote."""
    try:
        entries = quorbel.iter_block_terms(source.postings_path)
        num_terms, _ = quorbel.get_block_stats(source.postings_path)
    except (OSError, ValueError) as error:
        raise IndexBuildError(f"{source.what} ({source.postings_path}): {error}") from error
    # iter_block_terms stops quietly at a cut between two entries: count them.
    if len(entries) != num_terms:
        raise IndexBuildError(
            f"{source.what} ({source.postings_path}): header announces {num_terms} terms, "
            f"the file holds {len(entries)}"
        )
    if len(entries) != source.terms:
        raise IndexBuildError(f"{source.what}: it holds {len(entries)} terms, the worker wrote {source.terms}")
    return entries


def segment_pieces(source: PartitionInput) -> Iterator[Entry]:
    """A segment partition's terms, read through its term table from the mapped block file, as
    entries in document order: a term without chunks is its entry; a longer one comes in pieces,
    one per chunk with the head's postings that fall among its documents (their document
    frequencies are 0: a long list's entries count their own)."""
    try:
        with open(source.term_table, "rb") as handle:
            table = decode_term_table(handle.read(), source.term_table)
        num_terms, file_size = quorbel.get_block_stats(source.postings_path)
        end = table.ends[-1] if table.ends else FIRST_ENTRY
        if table.entries != num_terms or end != file_size or len(table.terms) != source.terms:
            raise IndexBuildError(
                f"{source.what}: {num_terms} entries in {file_size} bytes; its term table lists "
                f"{table.entries} entries in {end} bytes and the manifest {source.terms} terms"
            )
        with open(source.postings_path, "rb") as handle, mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ) as data:
            yield from _pieces_of_table(source, table, data)
    except (OSError, ValueError) as error:  # FormatError, or a damaged list
        raise IndexBuildError(f"{source.what}: {error}") from error


def _pieces_of_table(source: PartitionInput, table: TermTable, data: mmap.mmap) -> Iterator[Entry]:
    starts, ends, crcs = table.starts, table.ends, table.crcs

    def postings_of(entry: int) -> list[Posting]:
        """An entry's postings, its bytes checked first against their CRC-32 (where the table
        keeps one): a merge must not give damaged postings a new, valid one."""
        encoded = data[starts[entry] : ends[entry]]
        if crcs is not None and zlib.crc32(encoded) != crcs[entry]:
            raise IndexBuildError(f"{source.what} ({source.postings_path}): entry {entry} is damaged: its CRC-32 is "
                                  "not the term table's; run 'minisearch check'")
        return _decode(encoded)

    for term, head, count in zip(table.terms, table.heads, table.chunk_count):
        begin = ends[head - 1] if head else FIRST_ENTRY
        encoded_term = term.encode()
        name = _TERM_LENGTH.pack(len(encoded_term)) + encoded_term
        if data[begin : begin + len(name)] != name:
            raise IndexBuildError(f"{source.what}: entry {head} is not {term!r}")
        deleted = source.deleted
        if not count:
            postings = postings_of(head)
            if deleted:
                postings = [posting for posting in postings if posting[0] not in deleted]
                if not postings:
                    continue
            yield (term, *doc_freqs(postings), postings)
            continue
        # The head's postings go with the chunk their documents fall in (after the last chunk: with it).
        in_head = sorted(postings_of(head))
        head_docs = [posting[0] for posting in in_head]
        taken = 0
        for entry in range(head + 1, head + 1 + count):
            chunk = postings_of(entry)
            end = len(in_head) if entry == head + count else bisect_right(head_docs, chunk[-1][0])
            if end > taken:
                chunk = sorted(chunk + in_head[taken:end])
                taken = end
            if deleted:
                chunk = [posting for posting in chunk if posting[0] not in deleted]
                if not chunk:
                    continue
            yield (term, 0, 0, chunk)


@dataclass(slots=True)
class _Term:
    """A term's postings so far, encoded as one list in document order, with its document
    frequencies, its last document, and where a batch of columns may start decoding."""

    postings: int
    content: int
    title: int
    data: bytearray
    last_doc: int
    cuts: list[tuple[int, int]] = field(default_factory=list)
    """(byte offset, the document before it) every :data:`_BATCH` postings or so."""
    next_cut: int = _BATCH
    uncounted: bool = False
    """Some of its lists came as pieces of a long list, which count nothing of their own."""

    def cut(self) -> None:
        """Let a batch start at the next postings appended."""
        self.cuts.append((len(self.data), self.last_doc))
        self.next_cut = self.postings + _BATCH

    def batches(self) -> Iterator[tuple[bytes, int]]:
        """The list in encoded batches, each with the document its first gap counts from."""
        start, base = 0, 0
        for end, next_base in [*self.cuts, (len(self.data), 0)]:
            yield bytes(memoryview(self.data)[start:end]), base
            start, base = end, next_base


class BlockMerger:
    """Collects the inputs' lists term by term, then splits each term into tiers."""

    def __init__(self) -> None:
        self.terms: dict[str, _Term] = {}

    def add_entries(self, entries: Iterable[Entry]) -> None:
        """Add the entries of the next input in document order: each list is appended to the
        term's encoded list, its first document written as the gap from the term's last."""
        terms = self.terms
        for term, content, title, postings in entries:
            known = terms.get(term)
            if known is None:
                terms[term] = _Term(len(postings), content, title, bytearray(_encode(postings, True)), postings[-1][0],
                                    uncounted=not (content or title))
                continue
            if known.postings >= known.next_cut:
                known.cut()
            first = postings[0][0]
            data = known.data
            data += _encode_varint(first - known.last_doc)
            data += _encode(postings, True)[(first.bit_length() + 6) // 7 or 1 :]  # past the first varint
            known.last_doc = postings[-1][0]
            known.postings += len(postings)
            known.content += content
            known.title += title
            known.uncounted |= not (content or title)

    def finish(
        self, lengths: Sequence[int], norms: Sequence[float], first_doc: int, head_size: int, chunk_size: int
    ) -> MergedIndex:
        """The entries of the partition's block file; ``lengths[d - first_doc]`` and
        ``norms[d - first_doc]`` belong to document ``d``."""
        merged = MergedIndex()
        for name in sorted(self.terms):
            term = self.terms.pop(name)
            merged.terms.append(name)
            merged.doc_freq.append(term.postings)
            merged.total_postings += term.postings
            if term.postings > head_size:
                columns = _Columns.of_batches(term.batches(), norms, first_doc)
                del term  # its encoded list: the columns hold it now
                merged.chunk_count.append(_add_tiers(merged, name, columns, lengths, first_doc, head_size, chunk_size))
            else:
                encoded = bytes(term.data)
                counts = (term.content, term.title)
                if term.uncounted:  # pieces of a long list that deletions made short
                    counts = doc_freqs(_decode(encoded))
                merged.add_encoded(name, counts, encoded)
                merged.chunk_count.append(0)
        merged.lay_out()
        return merged


class _Columns:
    """A long list's postings as columns, 20 bytes a posting.  They are filled from the pieces a
    batch at a time, so the list never exists whole as tuples, and the per-posting work runs in C."""

    def __init__(self) -> None:
        self.docs, self.content, self.title = array("i"), array("i"), array("i")
        self.impacts = array("d")

    @classmethod
    def of_batches(cls, batches: Iterable[tuple[bytes, int]], norms: Sequence[float], first_doc: int) -> _Columns:
        """Columns from a list encoded in batches, each with the document its first gap counts from."""
        columns = cls()
        for encoded, base in batches:
            columns._add(_decode(encoded), base, norms, first_doc)
        return columns

    def _add(self, batch: list[Posting], base: int, norms: Sequence[float], first_doc: int) -> None:
        docs, content, title = zip(*batch)
        if base:
            docs = tuple(map(base.__add__, docs))
        self.docs.extend(docs)
        self.content.extend(content)
        self.title.extend(title)
        weighted = list(frequencies(content, title))
        self.impacts.extend(impacts(weighted, _norms_of(norms, docs, first_doc)))

    def chunks(self, selector: bytearray, size: int) -> Iterator[_Columns]:
        """The postings at the positions whose ``selector`` byte is not 0, in order, ``size`` at a
        time (never all at once: a long list's columns are not copied whole)."""
        docs, content, title = (compress(column, selector) for column in (self.docs, self.content, self.title))
        impacts = compress(self.impacts, selector)
        while True:
            chunk = _Columns()
            chunk.docs.extend(islice(docs, size))
            if not chunk.docs:
                return
            chunk.content.extend(islice(content, size))
            chunk.title.extend(islice(title, size))
            chunk.impacts.extend(islice(impacts, size))
            yield chunk

    def at(self, positions: list[int]) -> list[Posting]:
        """The postings at ``positions``, in that order."""
        return list(zip(*(map(column.__getitem__, positions) for column in (self.docs, self.content, self.title))))

    def postings(self) -> list[Posting]:
        return list(zip(self.docs, self.content, self.title))

    def doc_freqs(self) -> tuple[int, int]:
        return (len(self.docs) - self.content.count(0), len(self.docs) - self.title.count(0))


def _add_tiers(
    merged: MergedIndex,
    term: str,
    columns: _Columns,
    lengths: Sequence[int],
    first_doc: int,
    head_size: int,
    chunk_size: int,
) -> int:
    """Add a long list as its head and its chunks; returns the number of chunks."""
    in_head, rest = _head_of(columns.impacts, max(head_size, len(columns.impacts) // HEAD_DIVISOR))
    merged.add_entry(term, columns.at(in_head))
    shift = (-first_doc).__add__
    number = 0
    for number, chunk in enumerate(columns.chunks(rest, chunk_size), start=1):
        merged.add_encoded(f"{term}#{number}", chunk.doc_freqs(), _encode(chunk.postings(), True))
        merged.chunk_first_doc.append(chunk.docs[0])
        merged.chunk_max_f.append(max(frequencies(chunk.content, chunk.title)))
        merged.chunk_min_length.append(min(map(lengths.__getitem__, map(shift, chunk.docs))))
        merged.chunk_impact.append(max(chunk.impacts))
    return number


def _head_of(impacts: array[float], size: int) -> tuple[list[int], bytearray]:
    """The positions of the ``size`` largest impacts, largest first, ties in position order (as
    ``heapq.nlargest`` on the positions would give), and a mask of the other positions."""
    threshold = _largest(impacts, size)
    in_head = list(compress(range(len(impacts)), map(threshold.__le__, impacts)))
    rest = bytearray(map(threshold.__gt__, impacts))
    extra = len(in_head) - size
    if extra:  # too many ties at the threshold: the last ones stay out
        left_out = [position for position in reversed(in_head) if impacts[position] == threshold][:extra]
        for position in left_out:
            rest[position] = 1
        in_head = [position for position in in_head if not rest[position]]
    in_head.sort(key=impacts.__getitem__, reverse=True)  # stable: ties keep their order
    return in_head, rest


def _largest(values: array[float], rank: int) -> float:
    """The ``rank``-th largest of ``values``.  A sample of a long array gives a value that at least
    ``rank`` values reach; only those are sorted."""
    if len(values) >= _SAMPLED:
        sample = sorted(values[::16], reverse=True)
        guess = sample[min(len(sample) - 1, rank // 8)]
        candidates = list(compress(values, map(guess.__le__, values)))
        if len(candidates) >= rank:
            candidates.sort(reverse=True)
            return candidates[rank - 1]
    return heapq.nlargest(rank, values)[-1]


def _norms_of(norms: Sequence[float], docs: tuple[int, ...], first_doc: int) -> Sequence[float]:
    """The norms of the documents ``docs``; ``norms[d - first_doc]`` is document ``d``'s."""
    if len(docs) == 1:
        return [norms[docs[0] - first_doc]]
    return itemgetter(*(map((-first_doc).__add__, docs) if first_doc else docs))(norms)  # type: ignore[no-any-return]


def _entry_crcs(path: str, merged: MergedIndex) -> list[int]:
    """The CRC-32 of each entry's postings, as written (read back from the file)."""
    with open(path, "rb") as handle, mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ) as data:
        return entry_crcs(data, merged.gaps, merged.sizes)


def write_postings(merged: MergedIndex, path: Path) -> int:
    """Write the merged entries (laid out) as one block file; returns its size."""
    quorbel.write_binary_block(merged.names, merged.doc_freqs, DecodedLists(merged.encoded), str(path))
    num_terms, file_size = quorbel.get_block_stats(str(path))
    if num_terms != len(merged.names) or file_size != merged.end_offset:
        raise IndexBuildError(
            f"final block {path}: {num_terms} entries in {file_size} bytes, "
            f"expected {len(merged.names)} entries in {merged.end_offset} bytes"
        )
    return file_size
