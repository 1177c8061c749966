"""Merging one partition: from the blocks (or segments) that cover a run of documents
into the partition's block file and term table.

The merge of partition p reads partition p of every input and nothing else:
a block's partition file (read back with ``quorbel.iter_block_terms``, its
entry count checked against ``quorbel.get_block_stats``) or a segment's
partition (its block file and term table, each term's head and chunks put
back in document order).  Inputs cover consecutive documents, so a term's
lists from all inputs, taken in order, are its whole list in document order.  A list longer than the head
size is split into impact tiers: the ``head_size`` postings (or a sixteenth of
the list, if more) with the largest
impact ``F * (K1 + 1) / (F + norm)`` (the term's BM25 score without its idf)
become the head, in that order; the rest stays in document order and is cut into chunks,
each with its largest impact, its largest ``F`` and its shortest document
length (the bounds that let a search skip it).  All entries are written by one
``quorbel.write_binary_block`` call, and the term table records where each
entry's postings start (see :mod:`minisearch.layout`).
"""

from __future__ import annotations

import contextlib
import gc
import hashlib
import heapq
from array import array
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from itertools import chain, repeat
from operator import itemgetter
from pathlib import Path

import quorbel

from .blocks import block_path, doc_freqs, partition_path
from .layout import FormatError, decode_length_array, decode_term_table, encode_term_table, entry_header_size
from .ranking import K1, TITLE_WEIGHT, length_norm_array
from .store import fsync_file, sha256_of, write_synced, written_in_place_of

__all__ = [
    "DEFAULT_CHUNK_SIZE",
    "DEFAULT_HEAD_SIZE",
    "BlockInputs",
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
# Fields of a block entry: (term, doc_freq_content, doc_freq_title, postings).
_doc_freq_content = itemgetter(1)
_doc_freq_title = itemgetter(2)
_postings = itemgetter(3)


class IndexBuildError(Exception):
    """A build failed; the index directory keeps its previous index, if any."""


@dataclass
class MergedIndex:
    """The merged entries, ready for ``write_binary_block``, and the term table's arrays."""

    names: list[str] = field(default_factory=list)
    doc_freqs: list[tuple[int, int]] = field(default_factory=list)
    postings: list[list[Posting]] = field(default_factory=list)
    gaps: list[int] = field(default_factory=list)
    sizes: list[int] = field(default_factory=list)
    terms: list[str] = field(default_factory=list)
    holding: list[int] = field(default_factory=list)
    chunk_count: list[int] = field(default_factory=list)
    chunk_first_doc: list[int] = field(default_factory=list)
    chunk_max_f: list[int] = field(default_factory=list)
    chunk_min_length: list[int] = field(default_factory=list)
    chunk_impact: list[float] = field(default_factory=list)
    total_postings: int = 0
    end_offset: int = 8

    def add_entry(self, name: str, postings: list[Posting], frequencies: tuple[int, int] | None = None) -> None:
        """Add an entry; its document frequencies are counted unless given."""
        self.names.append(name)
        self.doc_freqs.append(doc_freqs(postings) if frequencies is None else frequencies)
        self.postings.append(postings)

    def lay_out(self) -> None:
        """Compute every entry's byte size and header in bulk, once all entries are in."""
        self.sizes = list(map(len, map(quorbel.encode_posting_list, self.postings, repeat(True))))
        name_bytes = map(len, map(str.encode, self.names))
        content = [frequencies[0] for frequencies in self.doc_freqs]
        title = [frequencies[1] for frequencies in self.doc_freqs]
        self.gaps = list(map(entry_header_size, name_bytes, content, title, self.sizes))
        self.end_offset = 8 + sum(self.gaps) + sum(self.sizes)

    def term_table(self) -> bytes:
        return encode_term_table(
            self.terms,
            self.gaps,
            self.sizes,
            self.holding,
            self.chunk_count,
            self.chunk_first_doc,
            self.chunk_max_f,
            self.chunk_min_length,
            self.chunk_impact,
        )


@dataclass(frozen=True)
class PartitionInput:
    """One input of a partition's merge: a block's partition file, or a segment's partition
    (its block file and ``term_table``); ``terms`` is how many terms it must hold."""

    postings_path: str
    terms: int
    term_table: str = ""
    what: str = ""
    """How errors name the input."""


@dataclass(frozen=True)
class BlockInputs:
    """The blocks 0, 1, ... of a new segment, in ``directory``: ``terms[b][p]`` is the number of
    terms in partition ``p`` of block ``b``.  (A compact stand-in for one
    :class:`PartitionInput` per block and partition.)"""

    directory: str
    terms: tuple[tuple[int, ...], ...]

    def of_partition(self, partition: int) -> list[PartitionInput]:
        return [
            PartitionInput(partition_path(block_path(self.directory, number), partition), counts[partition],
                           what=f"block {number}")
            for number, counts in enumerate(self.terms)
        ]


@dataclass(frozen=True)
class PartitionTask:
    """The merge of one partition of a new segment, whose documents start at ``first_doc``."""

    number: int
    inputs: tuple[PartitionInput, ...] | BlockInputs
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


@dataclass(frozen=True)
class PartitionInfo:
    """What a partition's merge wrote."""

    number: int
    terms: int
    postings: int
    file_sizes: tuple[int, int]
    """Bytes of the block file and of the term table."""
    file_sha256: tuple[str, str]


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
    merger = BlockMerger()
    inputs = task.inputs.of_partition(task.number) if isinstance(task.inputs, BlockInputs) else task.inputs
    for source in inputs:
        merger.add_entries(read_input(source))
    try:
        with open(task.lengths_path, "rb") as handle:
            lengths = decode_length_array(handle.read(), task.documents, task.lengths_path)
    except (OSError, FormatError) as error:
        raise IndexBuildError(f"partition {task.number}: {error}") from error
    norms = length_norm_array(lengths, task.avgdl)
    merged = merger.finish(lengths, norms, task.first_doc, task.head_size, task.chunk_size)
    del merger
    with written_in_place_of(task.postings_path) as postings_path:
        postings_size = write_postings(merged, Path(postings_path))
        fsync_file(postings_path)
        postings_sha256 = sha256_of(postings_path)
    table = merged.term_table()
    info = PartitionInfo(
        number=task.number,
        terms=len(merged.terms),
        postings=merged.total_postings,
        file_sizes=(postings_size, len(table)),
        file_sha256=(postings_sha256, hashlib.sha256(table).hexdigest()),
    )
    del merged
    with written_in_place_of(task.terms_path) as terms_path:
        write_synced(terms_path, table)
    return info


def read_input(source: PartitionInput) -> list[Entry]:
    """The entries of one input, each term's postings in document order."""
    entries = _read_block(source)
    if not source.term_table:
        if len(entries) != source.terms:
            raise IndexBuildError(f"{source.what}: it holds {len(entries)} terms, the worker wrote {source.terms}")
        return entries
    return _whole_lists(source, entries)


def _read_block(source: PartitionInput) -> list[Entry]:
    """A block file read whole; raises :class:`IndexBuildError` for a short or disordered one."""
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
    return entries


def _whole_lists(source: PartitionInput, entries: list[Entry]) -> list[Entry]:
    """A segment partition's entries (heads and chunks) as one doc-ordered entry per term."""
    try:
        with open(source.term_table, "rb") as handle:
            table = decode_term_table(handle.read(), source.term_table)
    except (OSError, FormatError) as error:
        raise IndexBuildError(f"{source.what}: {error}") from error
    if table.entries != len(entries) or len(table.terms) != source.terms:
        raise IndexBuildError(
            f"{source.what}: {len(entries)} entries and {len(table.terms)} terms, "
            f"its term table lists {table.entries} entries and the manifest {source.terms} terms"
        )
    whole: list[Entry] = []
    for term, head, count in zip(table.terms, table.heads, table.chunk_count):
        if entries[head][0] != term:
            raise IndexBuildError(f"{source.what}: entry {head} is {entries[head][0]!r}, not {term!r}")
        if not count:
            whole.append(entries[head])
            continue
        parts = entries[head : head + 1 + count]
        postings = sorted(chain.from_iterable(map(_postings, parts)))
        whole.append((term, sum(map(_doc_freq_content, parts)), sum(map(_doc_freq_title, parts)), postings))
    return whole


class BlockMerger:
    """Collects the inputs' lists term by term, then splits each term into tiers."""

    def __init__(self) -> None:
        # Per term, the entry of each input holding it, in input order.
        self.parts: dict[str, list[Entry]] = {}

    def add_entries(self, entries: list[Entry]) -> None:
        """Add the entries of the next input in document order."""
        parts = self.parts
        for entry in entries:
            lists = parts.get(entry[0])
            if lists is None:
                parts[entry[0]] = [entry]
            else:
                lists.append(entry)

    def finish(
        self, lengths: Sequence[int], norms: Sequence[float], first_doc: int, head_size: int, chunk_size: int
    ) -> MergedIndex:
        """The entries of the partition's block file; ``lengths[d - first_doc]`` and
        ``norms[d - first_doc]`` belong to document ``d``."""
        merged = MergedIndex()
        for term in sorted(self.parts):
            _add_term(merged, term, self.parts.pop(term), lengths, norms, first_doc, head_size, chunk_size)
        merged.lay_out()
        return merged


def _add_term(
    merged: MergedIndex,
    term: str,
    parts: list[Entry],
    lengths: Sequence[int],
    norms: Sequence[float],
    first_doc: int,
    head_size: int,
    chunk_size: int,
) -> None:
    """Add a term from its blocks' entries: one entry if short, else a head and chunks."""
    if len(parts) == 1:
        _, content, title, full = parts[0]
    else:
        full = list(chain.from_iterable(map(_postings, parts)))
        content, title = sum(map(_doc_freq_content, parts)), sum(map(_doc_freq_title, parts))
    merged.terms.append(term)
    merged.holding.append(len(full))
    merged.total_postings += len(full)
    if len(full) <= head_size:
        merged.add_entry(term, full, (content, title))
        merged.chunk_count.append(0)
        return
    frequencies = [content + TITLE_WEIGHT * title for _, content, title in full]
    impacts = impacts_of(frequencies, [norms[posting[0] - first_doc] for posting in full])
    # Largest impact first, ties in document order (nlargest is stable), so that a one-word
    # query reads its top k off the front of the head.
    in_head = heapq.nlargest(max(head_size, len(full) // HEAD_DIVISOR), range(len(full)), key=impacts.__getitem__)
    merged.add_entry(term, [full[position] for position in in_head])
    taken = set(in_head)
    rest = [position for position in range(len(full)) if position not in taken]
    for number, start in enumerate(range(0, len(rest), chunk_size), start=1):
        positions = rest[start : start + chunk_size]
        chunk = [full[position] for position in positions]
        merged.add_entry(f"{term}#{number}", chunk)
        merged.chunk_first_doc.append(chunk[0][0])
        merged.chunk_max_f.append(max([frequencies[position] for position in positions]))
        merged.chunk_min_length.append(min([lengths[posting[0] - first_doc] for posting in chunk]))
        merged.chunk_impact.append(max([impacts[position] for position in positions]))
    merged.chunk_count.append(len(rest) // chunk_size + (len(rest) % chunk_size > 0))


def impacts_of(frequencies: Sequence[int], norms: Sequence[float]) -> list[float]:
    """``F * (K1 + 1) / (F + norm)`` of each posting: its score for a term of idf 1."""
    k1_plus_1 = K1 + 1.0
    return [(frequency * k1_plus_1) / (frequency + norm) for frequency, norm in zip(frequencies, norms)]


def write_postings(merged: MergedIndex, path: Path) -> int:
    """Write the merged entries (laid out) as one block file; returns its size."""
    quorbel.write_binary_block(merged.names, merged.doc_freqs, merged.postings, str(path))
    num_terms, file_size = quorbel.get_block_stats(str(path))
    if num_terms != len(merged.names) or file_size != merged.end_offset:
        raise IndexBuildError(
            f"final block {path}: {num_terms} entries in {file_size} bytes, "
            f"expected {len(merged.names)} entries in {merged.end_offset} bytes"
        )
    return file_size
