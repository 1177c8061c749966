"""Reading a committed index: its segments, their partitions, terms and documents.

:class:`Index` opens an index directory through its manifest.  Every
segment's partition block files are mapped into memory and their term tables
read (decoded on first use); the documents' lengths and titles are loaded
for the whole index.  Reading a term's head or one of its chunks is then one
``quorbel.decode_posting_list`` call on a slice of a map: no file is opened
per query, and a rebuild or merge that replaces the files does not disturb
an open index.  Query evaluation is in :mod:`minisearch.search`.
"""

from __future__ import annotations

import mmap
import os
from bisect import bisect_left, bisect_right
from collections import Counter
from collections.abc import Callable
from pathlib import Path
from types import TracebackType
from typing import Self

import quorbel

from .errors import FormatError, IndexUnusableError
from .layout import (
    DocumentStoreIndex,
    TermTable,
    decode_lengths,
    decode_term_table,
    decode_titles,
    read_document_group,
    read_document_store_index,
)
from .manifest import Manifest, Segment, partition_roles, read_manifest
from .partitions import partition_of
from .query import Leaf
from .ranking import average_length, chunk_impact_bound, idf, length_norms
from .topk import TermPostings

__all__ = ["Index", "SegmentReader"]

Posting = tuple[int, int, int]


class _Partition:
    """One partition of one segment: its block file mapped, its term table decoded on first use."""

    def __init__(self, index_dir: Path, segment: Segment, number: int) -> None:
        postings_role, terms_role = partition_roles(number)
        self.postings_path = index_dir / segment.files[postings_role]
        self.terms_name = segment.files[terms_role]
        self.terms_data: bytes | None = _read(index_dir / self.terms_name)
        self.expected_terms = segment.partition_terms[number]
        self.map = _map_file(self.postings_path)
        self._table: TermTable | None = None
        self.term_ids: dict[str, int] = {}
        self.impacts: list[float] = []

    def table(self, avgdl: float | None, tier_ratio: float = 1.0) -> TermTable:
        """The term table; with ``avgdl``, the chunks' impact bounds are recomputed for it, their
        tiers having been ordered at ``tier_ratio`` times it."""
        if self._table is None:
            assert self.terms_data is not None
            try:
                table = decode_term_table(self.terms_data, self.terms_name)
            except FormatError as error:
                raise IndexUnusableError(str(error)) from error
            problems = []
            if len(table.terms) != self.expected_terms:
                problems.append(f"{self.terms_name} holds {len(table.terms)} terms, the manifest {self.expected_terms}")
            end = table.ends[-1] if table.ends else 8
            if end != len(self.map):
                problems.append(f"{self.terms_name} ends at byte {end}, {self.postings_path.name} at {len(self.map)}")
            if problems:
                raise IndexUnusableError("; ".join(problems))
            self.term_ids = dict(zip(table.terms, range(len(table.terms))))
            self.impacts = table.chunk_impact if avgdl is None else _impact_bounds(table, avgdl, tier_ratio)
            self._table, self.terms_data = table, None
        return self._table

    def decode_entry(self, entry: int) -> list[Posting]:
        assert self._table is not None
        start, end = self._table.starts[entry], self._table.ends[entry]
        try:
            return quorbel.decode_posting_list(self.map[start:end])
        except ValueError as error:
            raise IndexUnusableError(f"{self.postings_path}: the entry at byte {start} is damaged: {error}") from error

    def close(self) -> None:
        self.map.close()


def _impact_bounds(table: TermTable, avgdl: float, tier_ratio: float) -> list[float]:
    """Per chunk, its impact bound at ``avgdl``, its tiers having been ordered at ``tier_ratio``
    times it."""
    return [
        chunk_impact_bound(max_f, length, avgdl, impact, tier_ratio)
        for max_f, length, impact in zip(table.chunk_max_f, table.chunk_min_length, table.chunk_impact)
    ]


def _read(path: Path) -> bytes:
    try:
        return path.read_bytes()
    except OSError as error:
        raise IndexUnusableError(f"cannot read {path}: {error.strerror or error}") from error


def _map_file(path: Path) -> mmap.mmap:
    try:
        with open(path, "rb") as handle:
            return mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ)
    except (OSError, ValueError) as error:  # ValueError: an empty file cannot be mapped
        raise IndexUnusableError(f"cannot open {path}: {error}") from error


class SegmentReader:
    """The partitions and document store of one segment."""

    def __init__(self, index_dir: Path, manifest: Manifest, segment: Segment, avgdl: float) -> None:
        self.segment = segment
        self.index_dir = index_dir
        self.partitions: list[_Partition] = []
        # Tiers ordered at another average length: heads are in another impact order, and the
        # chunks' recorded impacts are bounds only once rescaled.
        tier_avgdl = average_length(segment.tier_tokens, segment.tier_documents)
        self.exact = tier_avgdl == avgdl
        self.tier_ratio = tier_avgdl / avgdl
        self.avgdl = avgdl
        self._store: tuple[mmap.mmap, DocumentStoreIndex] | None = None
        try:
            for number in range(manifest.partitions):
                self.partitions.append(_Partition(index_dir, segment, number))
            if segment.has_documents:
                self._store_map: mmap.mmap | None = _map_file(index_dir / segment.files["docs"])
            else:
                self._store_map = None
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        for partition in self.partitions:
            partition.close()
        self.partitions = []
        if getattr(self, "_store_map", None) is not None:
            assert self._store_map is not None
            self._store_map.close()
            self._store_map = None

    def find(self, term: str) -> tuple[_Partition, TermTable, int] | None:
        """The partition of ``term``, its term table, and the term's index there."""
        partition = self.partitions[partition_of(term, len(self.partitions))]
        table = partition.table(None if self.exact else self.avgdl, self.tier_ratio)
        index = partition.term_ids.get(term)
        return None if index is None else (partition, table, index)

    def doc_freq(self, term: str) -> int:
        found = self.find(term)
        return 0 if found is None else found[1].doc_freq[found[2]]

    def postings(self, term: str) -> list[Posting]:
        """Every posting of ``term`` in this segment, in document order."""
        found = self.find(term)
        if found is None:
            return []
        partition, table, index = found
        head = table.heads[index]
        entries = range(head, head + 1 + table.chunk_count[index])
        return sorted(posting for entry in entries for posting in partition.decode_entry(entry))

    def expand(self, prefix: str) -> list[str]:
        """The terms of this segment that start with ``prefix``, in order."""
        found: list[str] = []
        for partition in self.partitions:
            terms = partition.table(None if self.exact else self.avgdl, self.tier_ratio).terms
            start = bisect_left(terms, prefix)
            found.extend(terms[start : bisect_left(terms, prefix + "\U0010ffff", start)])
        return sorted(found)

    def term_postings(self, term: str, weight: float) -> TermPostings | None:
        """The head and chunk bounds of ``term`` for the top-k evaluation."""
        found = self.find(term)
        if found is None:
            return None
        partition, table, index = found
        first, count = table.first_chunk[index], table.chunk_count[index]
        head = table.heads[index]
        return TermPostings(
            weight=weight,
            head=partition.decode_entry(head),
            first_docs=table.chunk_first_doc[first : first + count],
            max_f=table.chunk_max_f[first : first + count],
            impacts=partition.impacts[first : first + count],
            load_chunk=lambda chunk: partition.decode_entry(head + 1 + chunk),
            tier_ratio=None if self.exact else self.tier_ratio,
        )

    def prefix_postings(self, prefix: str) -> list[Posting]:
        """All terms with ``prefix`` as one list: ``F`` summed per document."""
        content: Counter[int] = Counter()
        title: Counter[int] = Counter()
        for term in self.expand(prefix):
            for doc, content_freq, title_freq in self.postings(term):
                content[doc] += content_freq
                title[doc] += title_freq
        return [(doc, content[doc], title[doc]) for doc in sorted(content.keys() | title.keys())]

    def content(self, doc_id: int) -> str:
        assert self._store_map is not None
        if self._store is None:
            try:
                self._store = (self._store_map, read_document_store_index(self._store_map, self.segment.files["docs"]))
            except FormatError as error:
                raise IndexUnusableError(f"{self.index_dir}: {error}") from error
        data, groups = self._store
        group = bisect_left(groups.first_docs, doc_id + 1) - 1
        try:
            contents = read_document_group(data, groups.starts[group], groups.ends[group])
            return contents[doc_id - groups.first_docs[group]]
        except (FormatError, IndexError) as error:
            raise IndexUnusableError(f"{self.index_dir}: document {doc_id} cannot be read: {error}") from error


class Index:
    """A read-only view of one committed index; close it (or use ``with``) when done."""

    def __init__(self, index_dir: str | os.PathLike[str]) -> None:
        self.index_dir = Path(index_dir)
        self.manifest: Manifest = read_manifest(self.index_dir)
        self.avgdl = average_length(self.manifest.total_tokens, self.manifest.documents)
        self.segments: list[SegmentReader] = []
        lengths: list[int] = []
        self.titles: list[str] = []
        try:
            for segment in self.manifest.segments:
                self.segments.append(SegmentReader(self.index_dir, self.manifest, segment, self.avgdl))
                files = segment.files
                lengths += decode_lengths(self._read(files["lengths"]), segment.documents, files["lengths"])
                self.titles += decode_titles(self._read(files["titles"]), segment.documents, files["titles"])
        except FormatError as error:
            self.close()
            raise IndexUnusableError(f"{self.index_dir}: {error}") from error
        except BaseException:
            self.close()
            raise
        self._starts = [segment.first_doc for segment in self.manifest.segments]
        self.norms = length_norms(lengths, self.avgdl)

    def _read(self, name: str) -> bytes:
        return _read(self.index_dir / name)

    def close(self) -> None:
        """Release the mapped files."""
        for segment in getattr(self, "segments", []):
            segment.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None, tb: TracebackType | None) -> None:
        self.close()

    @property
    def documents(self) -> int:
        return self.manifest.documents

    def _checked[T](self, read: Callable[[], T]) -> T:
        try:
            return read()
        except IndexUnusableError as error:
            raise IndexUnusableError(f"{self.index_dir}: {error}") from error

    # -- terms

    def postings(self, term: str) -> list[Posting]:
        """Every posting of ``term`` in document order ([] for an unknown term)."""
        return self._checked(lambda: [p for segment in self.segments for p in segment.postings(term)])

    def doc_freq(self, term: str) -> int:
        """How many documents hold ``term``."""
        return self._checked(lambda: sum(segment.doc_freq(term) for segment in self.segments))

    def expand(self, prefix: str) -> list[str]:
        """The terms that start with ``prefix``, in order."""
        return self._checked(lambda: sorted({term for segment in self.segments for term in segment.expand(prefix)}))

    def doc_ids(self, leaf: Leaf) -> frozenset[int]:
        """The documents that hold ``leaf``."""
        terms = self.expand(leaf.text) if leaf.prefix else [leaf.text]
        return frozenset(posting[0] for term in terms for posting in self.postings(term))

    def sources(self, leaf: Leaf) -> list[TermPostings | None]:
        """Per segment, what the evaluation reads of ``leaf`` (None where no document holds it),
        weighed by its idf over the whole index."""
        return self._checked(lambda: self._sources(leaf))

    def _sources(self, leaf: Leaf) -> list[TermPostings | None]:
        if leaf.prefix:
            lists = [segment.prefix_postings(leaf.text) for segment in self.segments]
            weight = idf(self.documents, sum(map(len, lists)))
            return [TermPostings(weight=weight, head=postings) if postings else None for postings in lists]
        weight = idf(self.documents, sum(segment.doc_freq(leaf.text) for segment in self.segments))
        return [segment.term_postings(leaf.text, weight) for segment in self.segments]

    # -- documents

    @property
    def has_documents(self) -> bool:
        return all(segment.has_documents for segment in self.manifest.segments)

    def content(self, doc_id: int) -> str:
        """The stored text of a document; raises :class:`IndexUnusableError` without a store."""
        if not self.has_documents:
            raise IndexUnusableError(f"{self.index_dir} was built without its documents")
        if not 0 <= doc_id < self.documents:
            raise IndexUnusableError(f"{self.index_dir}: no document {doc_id}")
        return self.segments[bisect_right(self._starts, doc_id) - 1].content(doc_id)
