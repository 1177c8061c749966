"""The engine's native kernels, and whether it runs on them.

``minisearch._kernels`` is a small C++ extension of the engine's own (``native/``, built with
quorbel's Python-free posting decoder).  It evaluates the three common query shapes of one
segment, one term, every term (AND) and any term (OR), over postings it decodes in place from the
mapped block files, scoring each posting as it decodes it with the operations of
:mod:`minisearch.ranking` in the same order (the constants are read from there at every call), so
its answer is that of :func:`minisearch.topk.top_k`, scores bit for bit.  Per posting it costs a few
nanoseconds where Python costs a few hundred.

The pure-Python evaluation stays: it answers every other shape, it is the fallback when the
extension is missing (a machine without a C++ compiler installs the package without it), and it
is the oracle the tests compare the kernels with.  ``MINISEARCH_PURE=1`` in the environment forces
it.  :data:`NATIVE` tells which one runs and :data:`STATUS` says why, as ``minisearch --help`` and
the demo do.
"""

from __future__ import annotations

import importlib
import os
from array import array
from collections.abc import Buffer, Sequence
from enum import IntEnum
from types import ModuleType
from typing import NamedTuple

from . import ranking
from .errors import IndexUnusableError

__all__ = ["BUILD", "NATIVE", "STATUS", "KernelTable", "MappedTerm", "Shape", "evaluate", "evaluate_segments", "kernel_impact_order", "kernel_norms"]

Posting = tuple[int, int, int]
#: Terms the kernels take in one query.
MAX_TERMS = 64


def _load() -> tuple[ModuleType | None, str]:
    if os.environ.get("MINISEARCH_PURE", "") not in ("", "0"):
        return None, "pure Python (MINISEARCH_PURE is set)"
    try:
        return importlib.import_module(f"{__package__}._kernels"), "the native kernels"
    except ModuleNotFoundError:
        return None, "pure Python (the native kernels are not built)"
    except ImportError as error:  # built for another interpreter, or damaged
        return None, f"pure Python (the native kernels do not load: {error})"


_native, STATUS = _load()
#: Whether the native kernels evaluate queries.
NATIVE = _native is not None
#: The kernels that build blocks and merge partitions (see :mod:`minisearch.native_build`), or None:
#: the pure-Python build runs.
BUILD: ModuleType | None = _native if hasattr(_native, "build_block") else None


class Shape(IntEnum):
    """The query shapes the kernels evaluate."""

    ONE_TERM = 0
    EVERY_TERM = 1
    ANY_TERM = 2


class KernelTable(NamedTuple):
    """A partition's term table as the kernels read it: flat arrays, made once per partition."""

    starts: array[int]
    ends: array[int]
    crcs: array[int] | None
    first_docs: array[int]
    max_f: array[int]
    impacts: array[float]

    @classmethod
    def of(
        cls,
        starts: Sequence[int],
        ends: Sequence[int],
        crcs: Sequence[int] | None,
        first_docs: Sequence[int],
        max_f: Sequence[int],
        impacts: Sequence[float],
    ) -> KernelTable:
        return cls(
            array("q", starts), array("q", ends), None if crcs is None else array("I", crcs),
            array("q", first_docs), array("q", max_f), array("d", impacts),
        )


class MappedTerm(NamedTuple):
    """Where a term's head (entry ``head_entry``) and its chunks (the entries after it, chunk
    ``first_chunk`` onwards in the table's per-chunk arrays) lie in a mapped block file.
    ``unchecked[e]`` is 1 until entry e's CRC-32 has been checked (shared with the reader);
    the postings must name documents of ``documents``."""

    data: Buffer
    table: KernelTable
    unchecked: bytearray
    head_entry: int
    first_chunk: int
    documents: range
    path: str


def kernel_norms(norms: Sequence[float]) -> Sequence[float]:
    """The documents' norms as the kernels read them (an ``array("d")``), or as they are without
    the kernels."""
    return array("d", norms) if NATIVE else norms


def kernel_impact_order(chunks: int, tier_ratio: float | None) -> bool | tuple[float, float]:
    """What the kernels may rely on of a term's head order: nothing for a term without chunks
    (its head is its whole list, in document order); impact order at today's average length
    (``tier_ratio`` None); or impact order at ``tier_ratio`` times it, with the norms' constant
    part, from which the kernels bound what is left of the head as the Python evaluation does."""
    if not chunks:
        return False
    return True if tier_ratio is None else (tier_ratio, ranking.norm_constant())


def mapped_term(
    weight: float, mapped: MappedTerm, chunks: int, impact_order: bool | tuple[float, float]
) -> tuple[object, ...]:
    """The kernels' view of a term read from its block file."""
    return (
        weight, mapped.data, mapped.table, mapped.unchecked, mapped.head_entry, mapped.first_chunk, chunks, impact_order,
        mapped.documents.start, mapped.documents.stop, mapped.path, None,
    )


def given_term(weight: float, postings: list[Posting], documents: int) -> tuple[object, ...]:
    """The kernels' view of a term given as its postings, all in its head."""
    return (weight, None, None, None, 0, 0, 0, False, 0, documents, "", postings)


def evaluate(
    shape: Shape,
    terms: Sequence[tuple[object, ...]],
    excluded: frozenset[int] | array[int] | None,
    norms: Sequence[float],
    k: int,
    floor: float,
) -> tuple[list[tuple[int, float]], tuple[int, int, int, int]]:
    """The k best (doc_id, score) of ``terms`` combined as ``shape``, best first, none of
    ``excluded`` (a set, or ascending ids in an ``array("i")``) and none scoring below ``floor``;
    with the postings decoded and scored, the chunks decoded and the documents checked.  Raises
    :class:`IndexUnusableError` for a damaged entry and IndexError for a document beyond ``norms``."""
    assert _native is not None
    try:
        result: tuple[list[tuple[int, float]], tuple[int, int, int, int]] = _native.top_k(
            int(shape), tuple(terms), excluded or None, norms, k, floor, ranking.K1, ranking.TITLE_WEIGHT
        )
    except ValueError as error:
        raise IndexUnusableError(str(error)) from None
    return result


def evaluate_segments(
    shape: Shape,
    segments: Sequence[tuple[tuple[tuple[object, ...] | None, ...], array[int] | None]],
    norms: Sequence[float],
    k: int,
) -> tuple[list[tuple[int, float]], tuple[int, int, int, int]]:
    """:func:`evaluate` over every segment of an index at once, each as its terms (None where it
    holds no live document of that word) and its deleted documents: a segment without a word of
    an AND is passed over, one left with a single word answers it as one term, each beats the k-th
    best score of the segments before it; the best k of all, ties by document id."""
    assert _native is not None
    try:
        result: tuple[list[tuple[int, float]], tuple[int, int, int, int]] = _native.top_k_segments(
            int(shape), tuple(segments), norms, k, float("-inf"), ranking.K1, ranking.TITLE_WEIGHT
        )
    except ValueError as error:
        raise IndexUnusableError(str(error)) from None
    return result
