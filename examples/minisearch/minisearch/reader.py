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
import shutil
import threading
import weakref
import zlib
from array import array
from bisect import bisect_left, bisect_right
from collections import Counter
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from functools import partial
from itertools import chain, repeat
from pathlib import Path
from types import TracebackType
from typing import Self

import quorbel

from .corpus import Document, Key
from .deletions import read_deletion_set
from .durability import open_data_file
from .errors import FormatError, IndexUnusableError
from .kernels import NATIVE, KernelTable, MappedTerm, kernel_impact_order, kernel_norms
from .layout import (
    DocumentStoreIndex,
    TermTable,
    decode_keys,
    decode_lengths,
    decode_term_table,
    decode_titles,
    read_document_group,
    read_document_store_index,
)
from .manifest import DELETES_ROLE, Manifest, Segment, partition_roles, positions_role, read_manifest
from .partitions import partition_of
from .phrase_kernels import PHRASES, PackedPostings, PartitionViews, deleted_view, phrase_postings, unpack
from .phrases import unit_postings
from .positions import PositionIndex, Positions, decode_run, read_position_index
from .query import Leaf
from .ranking import average_length, chunk_impact_bound, idf, length_norms
from .topk import TermPostings

__all__ = ["Index", "SegmentReader", "SegmentStore"]

Posting = tuple[int, int, int]


#: Held while a map is read for the first time. Requests share an open index, and on the
#: free-threaded interpreter two threads exporting one map at once can lose an update of its count
#: of exports; what is read on first use is read by one thread.
_first_use = threading.Lock()


class _Partition:
    """One partition of one segment: its block file mapped, its term table decoded on first use."""

    def __init__(self, index_dir: Path, segment: Segment, number: int) -> None:
        postings_role, terms_role = partition_roles(number)
        self.postings_path = index_dir / segment.files[postings_role]
        self.terms_name = segment.files[terms_role]
        self.terms_data: bytes | None = _read(index_dir / self.terms_name)
        self.expected_terms = segment.partition_terms[number]
        self.documents = range(segment.first_doc, segment.end_doc)
        self.map = _map_file(self.postings_path)
        self._table: TermTable | None = None
        self.term_ids: dict[str, int] = {}
        self.impacts: list[float] = []
        self.unchecked = bytearray()
        """Per entry, 1 until its CRC-32 has been checked (all 0 in a table that keeps none)."""
        role = positions_role(number)
        self.positions_path = index_dir / segment.files[role] if role in segment.files else None
        self._positions: tuple[mmap.mmap, PositionIndex] | None = None
        self._kernel_table: KernelTable | None = None
        self._kernel_view: tuple[mmap.mmap, KernelTable, bytearray, int, int, str] | None = None
        # Made as the partition opens, while no other thread can export the map.
        self.phrase_views = PartitionViews(memoryview(self.map)) if PHRASES else None

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
            self.unchecked = bytearray(b"\1" if table.crcs is not None else b"\0") * table.entries
            self.impacts = table.chunk_impact if avgdl is None else _impact_bounds(table, avgdl, tier_ratio)
            self._table, self.terms_data = table, None
        return self._table

    def kernel_table(self) -> KernelTable:
        """The term table as the native kernels read it, made on first use."""
        if self._kernel_table is None:
            table = self._table
            assert table is not None
            self._kernel_table = KernelTable.of(
                table.starts, table.ends, table.crcs, table.chunk_first_doc, table.chunk_max_f, self.impacts
            )
        return self._kernel_table

    def kernel_view(self) -> tuple[mmap.mmap, KernelTable, bytearray, int, int, str]:
        """What the kernels read of any term of this partition: its map, table and CRC flags,
        its segment's documents and its file's name (for errors)."""
        if self._kernel_view is None:
            self._kernel_view = (
                self.map, self.kernel_table(), self.unchecked, self.documents.start, self.documents.stop,
                str(self.postings_path),
            )
        return self._kernel_view

    def decode_entry(self, entry: int) -> list[Posting]:
        assert self._table is not None
        start, end = self._table.starts[entry], self._table.ends[entry]
        data = self.map[start:end]
        if self.unchecked[entry]:
            self._check(entry, start, data)
        try:
            postings = quorbel.decode_posting_list(data)
        except ValueError as error:
            raise IndexUnusableError(f"{self.postings_path}: the entry at byte {start} is damaged: {error}") from error
        # In document order, so the ends tell: a damaged list that still decodes may name documents
        # the segment lacks, which would skew the statistics (a prefix held by more than N).
        if postings and not (postings[0][0] in self.documents and postings[-1][0] in self.documents):
            raise IndexUnusableError(
                f"{self.postings_path}: the entry at byte {start} is damaged: it names documents outside "
                f"{self.documents.start}..{self.documents.stop - 1}"
            )
        return postings

    def _check(self, entry: int, start: int, data: bytes) -> None:
        """The first decode of an entry: its bytes against the CRC-32 the term table keeps."""
        assert self._table is not None and self._table.crcs is not None
        if zlib.crc32(data) != self._table.crcs[entry]:
            raise IndexUnusableError(
                f"{self.postings_path}: the entry at byte {start} is damaged: its CRC-32 is not the term table's"
            )
        self.unchecked[entry] = 0

    def positions(self, term: int, ranks: Sequence[int], every: Sequence[Posting]) -> list[Positions]:
        """The positions of the postings of term number ``term`` at ``ranks`` (ascending) in
        ``every``, all its postings in document order."""
        data, index = self.position_index()
        found: list[Positions] = []
        try:
            for run, first, wanted in _by_run(index, term, ranks):
                size = index.run_counts[run] - first
                counts = [(title, content) for _, content, title in every[first : first + size]]
                found += decode_run(index.run_bytes(data, run), counts, str(self.positions_path), wanted)
        except (FormatError, IndexError) as error:
            raise IndexUnusableError(f"{self.positions_path}: {error}") from error
        return found

    def position_index(self) -> tuple[mmap.mmap, PositionIndex]:
        """The positions file, mapped, and the index of its runs, read on first use."""
        if self._positions is None:
            with _first_use:
                if self._positions is None:
                    self._positions = self._read_positions()
        return self._positions

    def _read_positions(self) -> tuple[mmap.mmap, PositionIndex]:
        assert self.positions_path is not None
        data = _map_file(self.positions_path)
        try:
            return data, read_position_index(data, str(self.positions_path))
        except FormatError as error:
            data.close()
            raise IndexUnusableError(str(error)) from error

    def close(self) -> None:
        if self.phrase_views is not None:
            self.phrase_views.release()
        self.map.close()
        if self._positions is not None:
            self._positions[0].close()
            self._positions = None


#: Where a term lies in a segment: its partition, the partition's term table, its index there.
type Found = tuple[_Partition, TermTable, int]


def _impact_bounds(table: TermTable, avgdl: float, tier_ratio: float) -> list[float]:
    """Per chunk, its impact bound at ``avgdl``, its tiers having been ordered at ``tier_ratio``
    times it."""
    return [
        chunk_impact_bound(max_f, length, avgdl, impact, tier_ratio)
        for max_f, length, impact in zip(table.chunk_max_f, table.chunk_min_length, table.chunk_impact)
    ]


def _by_run(index: PositionIndex, term: int, ranks: Sequence[int]) -> Iterator[tuple[int, int, list[int]]]:
    """``ranks`` (ascending) grouped by the run that holds them: the run, the rank of its first
    posting, and theirs within it."""
    run, first = -1, 0
    wanted: list[int] = []
    for rank in ranks:
        if run < 0 or rank >= index.run_counts[run]:
            if wanted:
                yield run, first, wanted
            run, first = index.run_of(term, rank)
            wanted = []
        wanted.append(rank - first)
    if wanted:
        yield run, first, wanted


def _read(path: Path) -> bytes:
    try:
        with open_data_file(path) as handle:
            return handle.read()
    except OSError as error:
        raise IndexUnusableError(f"cannot read {path}: {error.strerror or error}") from error


def _map_file(path: Path) -> mmap.mmap:
    try:
        with open_data_file(path) as handle:
            return mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ)
    except (OSError, ValueError) as error:  # ValueError: an empty file cannot be mapped
        raise IndexUnusableError(f"cannot open {path}: {error}") from error


class SegmentStore:
    """The document store of one segment, mapped; its group index is read on first use."""

    def __init__(self, index_dir: Path, segment: Segment) -> None:
        self.name = segment.files["docs"]
        self.index_dir = index_dir
        self.map: mmap.mmap | None = _map_file(index_dir / self.name)
        self._groups: DocumentStoreIndex | None = None
        self._last: tuple[int, list[str]] = (-1, [])

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None, tb: TracebackType | None) -> None:
        self.close()

    def close(self) -> None:
        if self.map is not None:
            self.map.close()
            self.map = None

    def groups(self) -> DocumentStoreIndex:
        """Where the store's groups lie (read on first use)."""
        assert self.map is not None
        if self._groups is None:
            with _first_use:
                if self._groups is None:
                    try:
                        self._groups = read_document_store_index(self.map, self.name)
                    except FormatError as error:
                        raise IndexUnusableError(f"{self.index_dir}: {error}") from error
        return self._groups

    def spans(self, doc_ids: Sequence[int]) -> tuple[array[int], array[int]]:
        """For the ascending ``doc_ids``: the groups that hold them (start and end, each group
        once, an ``array("Q")``) and each one's group and place in it (an ``array("I")``)."""
        groups = self.groups()
        spans, members = array("Q"), array("I")
        last = -1
        for doc_id in doc_ids:
            group = bisect_left(groups.first_docs, doc_id + 1) - 1
            if group != last:
                spans.extend((groups.starts[group], groups.ends[group]))
                last = group
            members.extend((len(spans) // 2 - 1, doc_id - groups.first_docs[group]))
        return spans, members

    def content(self, doc_id: int) -> str:
        assert self.map is not None
        groups = self.groups()
        group = bisect_left(groups.first_docs, doc_id + 1) - 1
        try:
            last = self._last  # read once: another request may replace it meanwhile
            if group != last[0]:  # neighbours are often read together: keep the last group
                last = self._last = (group, read_document_group(self.map, groups.starts[group], groups.ends[group]))
            return last[1][doc_id - groups.first_docs[group]]
        except (FormatError, IndexError) as error:
            raise IndexUnusableError(f"{self.index_dir}: document {doc_id} cannot be read: {error}") from error


#: The most words whose look-ups an open index keeps for the native kernels (and each segment for
#: the phrase kernels).
KEPT_TERMS = 4096
#: A phrase term's look-up not yet kept.
_UNKNOWN = object()
#: Where the phrase kernels read a term: its partition, and its head entry, its number of entries
#: (the head and its chunks), its number in the partition and its first chunk.
type PhraseTerm = tuple[_Partition, tuple[int, int, int, int]]


class SegmentReader:
    """The partitions and document store of one segment."""

    def __init__(
        self, index_dir: Path, manifest: Manifest, segment: Segment, avgdl: float, deletes_dir: Path | None = None
    ) -> None:
        """``deletes_dir``, when given, holds the segment's deletion set instead of ``index_dir``."""
        self.segment = segment
        self.index_dir = index_dir
        self.partitions: list[_Partition] = []
        self.rescale(avgdl)
        self.store: SegmentStore | None = None
        self._keys: list[Key | None] | None = None
        self._phrase_terms: dict[str, PhraseTerm | None] = {}
        try:
            files = segment.files
            self.lengths = decode_lengths(_read(index_dir / files["lengths"]), segment.documents, files["lengths"])
            self.titles = decode_titles(_read(index_dir / files["titles"]), segment.documents, files["titles"])
            # Read now, decoded on first use: a merge may remove the file while this index is open.
            self._keys_data = _read(index_dir / files["keys"]) if segment.has_keys else None
            deletions = read_deletion_set(deletes_dir or index_dir, segment)
            self.deleted = frozenset(deletions.docs)
            # The plain-word kernels' view of them: ascending ids, searched in place.
            self.deleted_ids = array("i", deletions.docs) if NATIVE and deletions.docs else None
            self._deleted_view: tuple[memoryview | None] | None = None
            self.deleted_doc_freq = deletions.doc_freq
            for number in range(manifest.partitions):
                self.partitions.append(_Partition(index_dir, segment, number))
            if segment.has_documents:
                self.store = SegmentStore(index_dir, segment)
        except FormatError as error:
            self.close()
            raise IndexUnusableError(f"{index_dir}: {error}") from error
        except BaseException:
            self.close()
            raise

    def rescale(self, avgdl: float) -> None:
        """Rank at average length ``avgdl``; before any term is looked up."""
        # Tiers ordered at another average length: heads are in another impact order, and the
        # chunks' recorded impacts are bounds only once rescaled.
        tier_avgdl = average_length(self.segment.tier_tokens, self.segment.tier_documents)
        self.exact = tier_avgdl == avgdl
        self.tier_ratio = tier_avgdl / avgdl
        self.avgdl = avgdl

    def close(self) -> None:
        for partition in self.partitions:
            partition.close()
        self.partitions = []
        if self.store is not None:
            self.store.close()
            self.store = None

    def keys(self) -> list[Key | None]:
        """Each document's key, read on first use (all None for a segment without keys)."""
        if self._keys is None:
            segment = self.segment
            if self._keys_data is not None:
                name = segment.files["keys"]
                try:
                    self._keys = decode_keys(self._keys_data, segment.documents, name)
                except FormatError as error:
                    raise IndexUnusableError(f"{self.index_dir}: {error}") from error
                self._keys_data = None
                for doc in self.deleted:
                    self._keys[doc - segment.first_doc] = None
            else:
                self._keys = [None] * segment.documents
        return self._keys

    def find(self, term: str, number: int | None = None) -> Found | None:
        """The partition of ``term`` (number ``number`` when the caller knows it), its term
        table, and the term's index there."""
        partition = self.partitions[partition_of(term, len(self.partitions)) if number is None else number]
        table = partition._table  # decoded by the first look-up
        if table is None:
            table = partition.table(None if self.exact else self.avgdl, self.tier_ratio)
        index = partition.term_ids.get(term)
        return None if index is None else (partition, table, index)

    def phrase_term(self, term: str) -> PhraseTerm | None:
        """Where the phrase kernels read ``term`` (None where the segment lacks it); kept for the
        phrases that ask for the term again, up to :data:`KEPT_TERMS` terms."""
        kept = self._phrase_terms.get(term, _UNKNOWN)
        if kept is _UNKNOWN:
            found = self.find(term)
            kept = None
            if found is not None:
                partition, table, index = found
                kept = (partition, (table.heads[index], 1 + table.chunk_count[index], index, table.first_chunk[index]))
            if len(self._phrase_terms) >= KEPT_TERMS:
                self._phrase_terms.clear()  # a new working set: start it afresh
            self._phrase_terms[term] = kept
        return kept  # type: ignore[return-value]

    def doc_freq(self, term: str) -> int:
        """How many live documents of the segment hold ``term``."""
        return self.found_doc_freq(term, self.find(term))

    def found_doc_freq(self, term: str, found: Found | None) -> int:
        """:meth:`doc_freq` of a term that :meth:`find` looked up already."""
        if found is None:
            return 0
        return found[1].doc_freq[found[2]] - self.deleted_doc_freq.get(term, 0)

    def postings(self, term: str) -> list[Posting]:
        """Every posting of ``term`` in this segment, in document order."""
        found = self.find(term)
        if found is None:
            return []
        partition, table, index = found
        head = table.heads[index]
        entries = range(head, head + 1 + table.chunk_count[index])
        deleted = self.deleted
        return sorted(
            posting for entry in entries for posting in partition.decode_entry(entry) if posting[0] not in deleted
        )

    def deleted_view(self) -> memoryview | None:
        """The deleted documents as the phrase kernels read them, made on first use."""
        if self._deleted_view is None:
            self._deleted_view = (deleted_view(self.deleted),)
        return self._deleted_view[0]

    @property
    def has_positions(self) -> bool:
        return self.segment.has_positions

    def all_postings(self, term: str) -> list[Posting]:
        """Every posting of ``term`` in this segment in document order, deleted documents'
        included (the positions file counts them)."""
        found = self.find(term)
        if found is None:
            return []
        partition, table, index = found
        head = table.heads[index]
        return sorted(chain.from_iterable(map(partition.decode_entry, range(head, head + 1 + table.chunk_count[index]))))

    def positions(self, term: str, docs: Iterable[int], every: list[Posting]) -> dict[int, Positions]:
        """Where ``term``, whose postings are ``every`` (:meth:`all_postings`), occurs in each of
        ``docs`` that holds it: (title positions, content positions)."""
        found = self.find(term)
        if found is None:
            return {}
        partition, _, index = found
        ranks = []
        for doc in sorted(docs):
            rank = bisect_left(every, (doc,))
            if rank < len(every) and every[rank][0] == doc:
                ranks.append(rank)
        return dict(zip((every[rank][0] for rank in ranks), partition.positions(index, ranks, every)))

    def expand(self, prefix: str) -> list[str]:
        """The terms of this segment that start with ``prefix``, in order."""
        found: list[str] = []
        for partition in self.partitions:
            terms = partition.table(None if self.exact else self.avgdl, self.tier_ratio).terms
            start = bisect_left(terms, prefix)
            found.extend(terms[start : bisect_left(terms, prefix + "\U0010ffff", start)])
        return sorted(found)

    def term_postings(self, term: str, weight: float, found: Found | None) -> TermPostings | None:
        """The head and chunk bounds of ``term``, which :meth:`find` looked up, for the top-k
        evaluation."""
        if found is None or (self.deleted and not self.found_doc_freq(term, found)):
            return None
        partition, table, index = found
        first, count = table.first_chunk[index], table.chunk_count[index]
        head = table.heads[index]
        postings = TermPostings(
            weight=weight,
            head=[],
            first_docs=table.chunk_first_doc[first : first + count],
            max_f=table.chunk_max_f[first : first + count],
            impacts=partition.impacts[first : first + count],
            load_chunk=lambda chunk: partition.decode_entry(head + 1 + chunk),
            tier_ratio=None if self.exact else self.tier_ratio,
        )
        if not NATIVE:
            postings.head = partition.decode_entry(head)
            return postings
        # The kernels read the head in place; the Python evaluation decodes it if it needs it.
        postings.load_head = lambda: partition.decode_entry(head)
        postings.mapped = MappedTerm(
            partition.map, partition.kernel_table(), partition.unchecked, head, first, partition.documents,
            str(partition.postings_path),
        )
        return postings

    def kernel_term(self, weight: float, found: Found) -> tuple[object, ...]:
        """:meth:`term_postings` of a term some live document holds, as the native kernels take
        it (see :func:`minisearch.kernels.mapped_term`), made straight from the term table."""
        partition, table, index = found
        data, kernel_table, unchecked, start, stop, path = partition.kernel_view()
        chunks = table.chunk_count[index]
        return (
            weight, data, kernel_table, unchecked, table.heads[index], table.first_chunk[index], chunks,
            kernel_impact_order(chunks, None if self.exact else self.tier_ratio), start, stop, path, None,
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
        assert self.store is not None
        return self.store.content(doc_id)


#: How often opening follows a manifest that a commit replaced while the files were opened.
OPEN_ATTEMPTS = 5


class Index:
    """A read-only view of one committed index; close it (or use ``with``) when done.

    It answers from the commit it opened, whatever commits follow, until :meth:`refresh`.
    """

    def __init__(self, index_dir: str | os.PathLike[str]) -> None:
        self.index_dir = Path(index_dir)
        self.segments: list[SegmentReader] = []
        self._opened: _Opened | None = None
        self._open(_open_segments(self.index_dir))

    def _open(self, opened: _Opened) -> None:
        self._opened = opened
        self.manifest, self.segments = opened.manifest, opened.segments
        manifest = self.manifest
        self.avgdl = average_length(manifest.live_tokens, manifest.live_documents)
        for segment in self.segments:
            segment.rescale(self.avgdl)
        lengths: list[int] = []
        self.titles: list[str] = []
        for reader in self.segments:
            gap = reader.segment.first_doc - len(lengths)  # the ids of segments that were dropped whole
            lengths += [0] * gap
            self.titles += [""] * gap
            lengths += reader.lengths
            self.titles += reader.titles
            reader.lengths, reader.titles = [], []
        self._starts = [segment.first_doc for segment in manifest.segments]
        self.norms = kernel_norms(length_norms(lengths, self.avgdl))
        self._keys: list[Key | None] | None = None
        # Made before any search, while no other thread can export the norms.
        self.phrase_norms = memoryview(self.norms) if PHRASES and isinstance(self.norms, array) else None
        self._positioned = all(segment.has_positions for segment in self.segments)
        self._key_ids: dict[Key, int] | None = None
        self._kernel_kept: dict[str, list[tuple[object, ...] | None]] = {}

    def refresh(self) -> bool:
        """Move to the newest commit; returns whether there was one.  Not to be called while
        another thread searches this index."""
        if read_manifest(self.index_dir).commit == self.manifest.commit:
            return False
        opened = _open_segments(self.index_dir)
        self.close()
        self._open(opened)
        return True

    def close(self) -> None:
        """Release the mapped files."""
        self._kernel_kept = {}
        opened = getattr(self, "_opened", None)
        if opened is not None:
            opened.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None, tb: TracebackType | None) -> None:
        self.close()

    @property
    def documents(self) -> int:
        """Live documents: those a search ranks over."""
        return self.manifest.live_documents

    @property
    def end_doc(self) -> int:
        return self.manifest.end_doc

    def deleted(self, segment: int) -> frozenset[int]:
        """The deleted documents of segment ``segment``."""
        return self.segments[segment].deleted

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
        if leaf.phrase or leaf.field:
            return self._checked(
                lambda: frozenset(posting[0] for segment in self.segments for posting in unit_postings(segment, leaf))
            )
        terms = self.expand(leaf.text) if leaf.prefix else [leaf.text]
        return frozenset(posting[0] for term in terms for posting in self.postings(term))

    def sources(self, leaf: Leaf) -> list[TermPostings | None]:
        """Per segment, what the evaluation reads of ``leaf`` (None where no document holds it),
        weighed by its idf over the whole index."""
        return self._checked(lambda: self._sources(leaf))

    def _sources(self, leaf: Leaf) -> list[TermPostings | None]:
        if leaf.phrase and self.phrase_norms is not None and self._positioned:
            return self._phrase_sources(leaf, self.phrase_norms)
        if leaf.phrase or leaf.field or leaf.prefix:  # deleted documents are left out of the lists
            lists = [unit_postings(segment, leaf) for segment in self.segments]
            weight = idf(self.documents, sum(map(len, lists)))
            return [TermPostings(weight=weight, head=postings) if postings else None for postings in lists]
        term = leaf.text
        found = [segment.find(term) for segment in self.segments]
        weight = idf(self.documents, sum(map(SegmentReader.found_doc_freq, self.segments, repeat(term), found)))
        return [segment.term_postings(term, weight, where) for segment, where in zip(self.segments, found)]

    def kernel_terms(self, term: str) -> list[tuple[object, ...] | None]:
        """:meth:`sources` of plain word ``term`` as the native kernels take it, per segment; kept
        for the queries that ask for the word again (a common word's look-up in every segment
        costs more than its evaluation), up to :data:`KEPT_TERMS` words."""
        kept = self._kernel_kept.get(term)
        if kept is None:
            kept = self._checked(lambda: self._kernel_terms(term))
            if len(self._kernel_kept) >= KEPT_TERMS:
                self._kernel_kept.clear()  # a new working set: start it afresh
            self._kernel_kept[term] = kept
        return kept

    def _kernel_terms(self, term: str) -> list[tuple[object, ...] | None]:
        number = partition_of(term, self.manifest.partitions)  # alike in every segment
        found = [segment.find(term, number) for segment in self.segments]
        held = list(map(SegmentReader.found_doc_freq, self.segments, repeat(term), found))
        weight = idf(self.documents, sum(held))
        return [segment.kernel_term(weight, where) if where is not None and count else None
                for segment, where, count in zip(self.segments, found, held)]

    def phrase_packs(self, leaf: Leaf) -> list[PackedPostings] | None:
        """Per segment, phrase ``leaf``'s postings as the native kernels find and pack them, or
        None when they cannot (not built, or a segment without positions)."""
        norms = self.phrase_norms
        if norms is None or not self._positioned:
            return None
        return self._checked(lambda: [PackedPostings(phrase_postings(segment, leaf), norms) for segment in self.segments])

    def _phrase_sources(self, leaf: Leaf, norms: memoryview) -> list[TermPostings | None]:
        """A phrase's postings found and kept packed by the native kernels, made a list only if
        the Python evaluation needs one."""
        packs = [PackedPostings(phrase_postings(segment, leaf), norms) for segment in self.segments]
        weight = idf(self.documents, sum(map(len, packs)))
        return [
            TermPostings(weight=weight, head=[], load_head=partial(unpack, pack.data), packed=pack) if len(pack) else None
            for pack in packs
        ]

    # -- documents

    @property
    def has_documents(self) -> bool:
        return all(segment.has_documents for segment in self.manifest.segments)

    def content(self, doc_id: int) -> str:
        """The stored text of a document; raises :class:`IndexUnusableError` without a store."""
        if not self.has_documents:
            raise IndexUnusableError(f"{self.index_dir} was built without its documents")
        segment = self._segment_of(doc_id)
        if segment is None:
            raise IndexUnusableError(f"{self.index_dir}: no document {doc_id}")
        return segment.content(doc_id)

    def _segment_of(self, doc_id: int) -> SegmentReader | None:
        """The segment that holds live document ``doc_id``."""
        number = bisect_right(self._starts, doc_id) - 1
        if number < 0 or doc_id >= self.manifest.segments[number].end_doc:
            return None
        segment = self.segments[number]
        return None if doc_id in segment.deleted else segment

    # -- keys

    def key_of(self, doc_id: int) -> Key | None:
        """The key of live document ``doc_id`` (None for a document without one)."""
        keys = self.keys_by_id()
        return keys[doc_id] if 0 <= doc_id < len(keys) else None

    def keys_by_id(self) -> list[Key | None]:
        """Every document's key by id, up to the last live document (None for a deleted one, or
        one without a key)."""
        return self._keys if self._keys is not None else self._all_keys()

    def _all_keys(self) -> list[Key | None]:
        """Every document's key by id (None for a deleted one, or one without a key), read on
        first use."""
        keys: list[Key | None] = []
        for segment in self.segments:
            keys += [None] * (segment.segment.first_doc - len(keys))  # the ids of segments dropped whole
            keys += self._checked(segment.keys)
        self._keys = keys
        return keys

    def doc_id(self, key: Key) -> int:
        """The id of the live document with ``key``; raises :class:`KeyError`."""
        if self._key_ids is None:
            keys = self._keys if self._keys is not None else self._all_keys()
            self._key_ids = {key: doc for doc, key in enumerate(keys) if key is not None}
        return self._key_ids[key]

    def document(self, key: Key) -> Document:
        """The stored document with ``key``; raises :class:`KeyError` for a key the index does not
        hold (a deleted one included) and :class:`IndexUnusableError` without a store."""
        doc_id = self.doc_id(key)
        return Document(self.titles[doc_id], self.content(doc_id), key)


@dataclass
class _Opened:
    """A commit opened: its manifest (the pending changes applied), a reader of each segment, and
    the private directory of the pending changes' files, if it has any."""

    manifest: Manifest
    segments: list[SegmentReader]
    view: Path | None = None
    _remove_view: weakref.finalize[..., _Opened] | None = None

    def adopt(self, view: Path) -> None:
        """Keep ``view``, removed on :meth:`close`, or else when this is collected."""
        self.view = view
        self._remove_view = weakref.finalize(self, shutil.rmtree, view, ignore_errors=True)

    def close(self) -> None:
        for reader in self.segments:
            reader.close()
        if self._remove_view is not None:
            self._remove_view()


def _open_segments(index_dir: Path) -> _Opened:
    """The manifest and a reader of each of its segments.  A commit may replace the manifest and
    remove the files of the segments it replaced while they are being opened: opening then starts
    again from the newer manifest."""
    for attempt in range(OPEN_ATTEMPTS):
        manifest = read_manifest(index_dir)
        opened = _Opened(manifest, [])
        try:
            in_view: set[str] = set()
            if manifest.pending:
                from .updates import pending_view  # the pending changes folded as a writer folds them

                opened.manifest, view = pending_view(index_dir, manifest)
                opened.adopt(view)
                in_view = set(os.listdir(view))
            for segment in opened.manifest.segments:
                files = segment.files.values()
                if opened.view is not None and in_view.issuperset(files):  # the pending documents' segment
                    reader = SegmentReader(opened.view, opened.manifest, segment, 1.0)
                else:
                    deletes_dir = opened.view if segment.files.get(DELETES_ROLE) in in_view else None
                    reader = SegmentReader(index_dir, opened.manifest, segment, 1.0, deletes_dir)
                opened.segments.append(reader)
            return opened
        except IndexUnusableError:
            opened.close()
            if attempt + 1 == OPEN_ATTEMPTS or read_manifest(index_dir).commit == manifest.commit:
                raise
        except BaseException:
            opened.close()
            raise
    raise AssertionError("unreachable")
