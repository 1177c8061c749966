"""Phrases on the native kernels: a segment's phrase postings found in C++, and a phrase ranked
alone without its postings becoming Python objects.

``minisearch._kernels.phrase_postings`` decodes the words' posting lists in place from the mapped
block files, intersects them from the word with the fewest postings, reads each candidate's
positions from the mapped positions file (a run decoded once for all the candidates it holds) and
counts the phrase's places per field, as :mod:`minisearch.phrases` does; its answer is packed
``(doc_id, content, title)`` int32 triples in document order.  A phrase's document count, which
its idf needs, is that of every segment's answer, so every candidate is confirmed: no bound can
spare one.  ``packed_top_k`` then ranks a query of that one unit.

The kernels read these objects through memoryviews kept for them alone (:class:`PartitionViews`),
made when the index opens or under a lock, so that the free-threaded interpreter never counts an
export of a shared object outside the other kernels' lock (see ``native/phrase_binding.cpp``).
"""

from __future__ import annotations

import threading
from array import array
from itertools import count
from collections.abc import Collection
from typing import TYPE_CHECKING, NamedTuple

from . import kernels, ranking
from .errors import IndexUnusableError
from .query import Leaf

if TYPE_CHECKING:
    from .reader import SegmentReader, _Partition

__all__ = ["PHRASES", "PackedPostings", "PartitionViews", "packed_top_k", "phrase_postings", "unpack"]

Posting = tuple[int, int, int]
_native = kernels._native
#: Whether phrases run on the native kernels.
PHRASES = _native is not None and hasattr(_native, "phrase_postings")
_FIELDS = {None: 0, "title": 1, "content": 2}
_lock = threading.Lock()
#: A number for each partition's views, which the kernels know its inflated runs by.
_keys = count(1)


class PackedPostings(NamedTuple):
    """A unit's postings as packed int32 (doc_id, content, title) triples, and the index's norms
    as the phrase kernels read them."""

    data: bytes
    norms: memoryview

    def __len__(self) -> int:
        return len(self.data) // 12


def unpack(data: bytes) -> list[Posting]:
    """Packed postings as a list of tuples."""
    values = array("i", data)
    return list(zip(values[0::3], values[1::3], values[2::3]))


class PartitionViews:
    """What the phrase kernels read of one partition: its block map (a view made as it opens),
    its entries' places and CRC-32s (copies of their own, with flags of their own), the number of
    postings of each entry (0 until the kernels count it), its chunks' first documents, its
    positions file and the index of its runs."""

    def __init__(self, blocks: memoryview) -> None:
        self.blocks = blocks
        self.fields: tuple[object, ...] | None = None
        self._held: list[memoryview] = [blocks]

    def of(self, partition: _Partition) -> tuple[object, ...]:
        """The partition's tuple for ``phrase_postings``, made on first use."""
        if self.fields is None:
            with _lock:
                if self.fields is None:
                    self.fields = self._make(partition)
        return self.fields

    def _make(self, partition: _Partition) -> tuple[object, ...]:
        table = partition._table
        assert table is not None
        positions, index = partition.position_index()
        crcs = None if table.crcs is None else array("I", table.crcs)
        views = [
            memoryview(array("q", table.starts)), memoryview(array("q", table.ends)),
            None if crcs is None else memoryview(crcs), memoryview(bytearray(b"\1" * len(table.starts))),
            memoryview(array("I", bytes(4 * len(table.starts)))), memoryview(array("I", table.chunk_first_doc)),
            memoryview(positions), memoryview(index.term_runs), memoryview(index.run_counts),
            memoryview(index.run_ends),
        ]
        self._held += [view for view in views if view is not None]
        starts, ends, crc_view, unchecked, counts, first_docs, positions_view, term_runs, run_counts, run_ends = views
        return (
            self.blocks, starts, ends, crc_view, unchecked, counts, first_docs, partition.documents.start,
            partition.documents.stop, str(partition.postings_path), positions_view, term_runs, run_counts, run_ends,
            str(partition.positions_path), next(_keys),
        )

    def release(self) -> None:
        """Release every view (before the maps close)."""
        for view in self._held:
            view.release()
        self._held = []
        self.fields = None


def phrase_postings(segment: SegmentReader, leaf: Leaf) -> bytes:
    """The packed postings of phrase ``leaf`` in ``segment`` (it has positions)."""
    assert _native is not None
    words = leaf.words
    last = len(words) - 1 if leaf.prefix else -1  # the word that is a prefix, if one is
    partitions: list[_Partition] = []
    slots: dict[tuple[int, int], int] = {}
    terms: list[tuple[int, int, int, int, int]] = []
    word_terms: list[tuple[int, ...]] = []
    for number, word in enumerate(words):
        found = []
        for text in segment.expand(word) if number == last else (word,):
            place = segment.phrase_term(text)
            if place is None:
                continue
            partition, term = place
            key = (id(partition), term[2])
            slot = slots.get(key)
            if slot is None:
                if partition not in partitions:
                    partitions.append(partition)
                slot = slots[key] = len(terms)
                terms.append((partitions.index(partition), *term))
            found.append(slot)
        if not found:
            return b""
        word_terms.append(tuple(found))
    views = []
    for partition in partitions:
        assert partition.phrase_views is not None  # made with the kernels
        views.append(partition.phrase_views.of(partition))
    try:
        return _native.phrase_postings(  # type: ignore[no-any-return]
            tuple(views), tuple(terms),
            tuple(word_terms), segment.deleted_view(), _FIELDS[leaf.field],
        )
    except ValueError as error:
        raise IndexUnusableError(str(error)) from None


def packed_top_k(
    weight: float, packed: PackedPostings, excluded: frozenset[int], k: int, floor: float
) -> tuple[list[tuple[int, float]], tuple[int, int, int, int]]:
    """The k best of one unit given packed, as :func:`minisearch.kernels.evaluate` answers."""
    assert _native is not None
    result: tuple[list[tuple[int, float]], tuple[int, int, int, int]] = _native.packed_top_k(
        weight, packed.data, excluded or None, packed.norms, k, floor, ranking.K1, ranking.TITLE_WEIGHT
    )
    return result


def deleted_view(deleted: Collection[int]) -> memoryview | None:
    """Deleted documents as the phrase kernels read them (None for none)."""
    return memoryview(array("i", sorted(deleted))) if deleted else None
