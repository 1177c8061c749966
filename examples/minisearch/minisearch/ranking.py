"""BM25 ranking: pure functions over plain numbers.

A document's score for a query is the sum, over the query's positive terms,
of ``idf(n) * F * (K1 + 1) / (F + K1 * (1 - B + B * D / avgdl))`` where

* ``F = content_freq + TITLE_WEIGHT * title_freq`` is the term's weighted
  frequency in the document (a title occurrence counts four times);
* ``D`` is the document's length in tokens, title and content together, and
  ``avgdl`` the mean length over the index;
* ``idf(n) = ln((N - n + 0.5) / (n + 0.5))`` for ``n`` of the ``N``
  documents holding the term, replaced by ``1e-6`` when it is not positive,
  so that a term held by most documents still counts a little.

This is the BM25 of SQLite FTS5's ``bm25()`` for a table whose title column
weighs 4 and content column 1, computed with the same operations in the same
order, so equal inputs give bit-identical scores.  Higher is better; ties are
broken by document id, smallest first.

The score of one term is increasing in ``F`` and decreasing in ``D``: a
bound from the largest ``F`` and the shortest ``D`` of a group of postings
is therefore an upper bound of every posting of the group, which is what
lets a search stop early (:func:`term_score` of ``max_f`` and ``min_length``).

Every formula of the ranking lives here, and only here: the merge orders
tiers by :func:`impacts`, the reader bounds chunks with
:func:`chunk_impact_bound`, and the evaluation scores with
:func:`posting_score` and :func:`score_postings`.  The constants are read
when a function runs, never copied.
"""

from __future__ import annotations

import math
from array import array
from collections.abc import Iterable, Iterator, Sequence
from itertools import repeat
from operator import add, mul, truediv

__all__ = [
    "B",
    "K1",
    "MIN_IDF",
    "TITLE_WEIGHT",
    "average_length",
    "chunk_impact_bound",
    "frequencies",
    "idf",
    "impact",
    "impacts",
    "length_norm",
    "length_norm_array",
    "length_norms",
    "norm_at_ratio",
    "posting_score",
    "score_postings",
    "stale_impact_bound",
    "term_score",
    "term_scores",
    "weighted_frequency",
]

K1 = 1.2
B = 0.75
#: How much more an occurrence in the title counts than one in the content.
TITLE_WEIGHT = 4
#: The idf of a term held by at least half of the documents.
MIN_IDF = 1e-6


def weighted_frequency(content_freq: int, title_freq: int) -> int:
    """``F`` of one posting."""
    return content_freq + TITLE_WEIGHT * title_freq


def idf(documents: int, doc_freq: int) -> float:
    """The inverse document frequency of a term held by ``doc_freq`` of ``documents``."""
    value = math.log((documents - doc_freq + 0.5) / (doc_freq + 0.5))
    return value if value > 0.0 else MIN_IDF


def average_length(total_tokens: int, documents: int) -> float:
    """``avgdl``; an index without a single token (no documents, or only empty ones) has nothing
    to divide by, and gets 1: none of its documents can match a query, so any positive value
    ranks it alike."""
    return total_tokens / documents if total_tokens else 1.0


def length_norm(length: int, avgdl: float) -> float:
    """The length part of the denominator, ``K1 * (1 - B + B * D / avgdl)``."""
    return K1 * (1 - B + B * length / avgdl)


def length_norms(lengths: Sequence[int], avgdl: float) -> list[float]:
    """:func:`length_norm` of every document, indexed by document id."""
    k1, b = K1, B
    return [k1 * (1 - b + b * length / avgdl) for length in lengths]


def length_norm_array(lengths: Sequence[int], avgdl: float) -> array[float]:
    """:func:`length_norms` as an ``array("d")``: 8 bytes a document instead of a list's 32.  Each
    distinct length is computed once: documents share a few thousand lengths at most."""
    k1, b = K1, B
    norm_of = {length: k1 * (1 - b + b * length / avgdl) for length in set(lengths)}
    return array("d", map(norm_of.__getitem__, lengths))


def term_score(weight: float, frequency: int, norm: float) -> float:
    """One term's part of a document's score: ``weight`` is the term's idf,
    ``frequency`` its ``F`` in the document, ``norm`` the document's
    :func:`length_norm`."""
    return weight * ((frequency * (K1 + 1.0)) / (frequency + norm))


def posting_score(weight: float, content_freq: int, title_freq: int, norm: float) -> float:
    """:func:`term_score` of one posting's two frequencies."""
    frequency = content_freq + TITLE_WEIGHT * title_freq
    return weight * ((frequency * (K1 + 1.0)) / (frequency + norm))


def score_postings(weight: float, postings: Iterable[tuple[int, int, int]], norms: Sequence[float]) -> list[float]:
    """:func:`posting_score` of each ``(doc_id, content_freq, title_freq)``, with the norm of its
    document; the same operations in the same order, so the same bits."""
    k1_plus_1, title_weight = K1 + 1.0, TITLE_WEIGHT
    return [
        weight * (((frequency := content + title_weight * title) * k1_plus_1) / (frequency + norms[doc]))
        for doc, content, title in postings
    ]


def term_scores(weight: float, frequencies: Iterable[int], norms: Iterable[float]) -> list[float]:
    """:func:`term_score` of paired ``frequencies`` and ``norms``, computed in C."""
    frequency_column = list(frequencies)
    k1_plus_1 = K1 + 1.0
    scaled = map(k1_plus_1.__rmul__, frequency_column)
    return list(map(weight.__mul__, map(truediv, scaled, map(add, frequency_column, norms))))


def impact(frequency: int, norm: float) -> float:
    """``F * (K1 + 1) / (F + norm)``: a posting's score for a term of idf 1, which orders tiers."""
    return (frequency * (K1 + 1.0)) / (frequency + norm)


def frequencies(content: Iterable[int], title: Iterable[int]) -> Iterator[int]:
    """:func:`weighted_frequency` of paired columns, computed in C."""
    return map(add, content, map(mul, title, repeat(TITLE_WEIGHT)))


def impacts(frequency_column: Sequence[int], norms: Iterable[float]) -> list[float]:
    """:func:`impact` of paired columns, computed in C."""
    return list(map(truediv, map(mul, frequency_column, repeat(K1 + 1.0)), map(add, frequency_column, norms)))


def stale_impact_bound(impact: float, ratio: float) -> float:
    """A bound of a posting's impact at the current average length, from a bound ``impact`` of
    its impact at an average length ``ratio`` times the current one.

    The norm at the current length is ``c + (norm - c) * ratio`` with ``c = K1 * (1 - B)``: at
    least the old one when ``ratio`` is 1 or more, so the impact can only fall.  Below 1 the
    norm is at least ``ratio * norm``, and ``norm >= F * ((K1 + 1) / impact - 1)``, whence the
    bound below, which holds for any ``F``.
    """
    if ratio >= 1.0:
        return impact
    k1_plus_1 = K1 + 1.0
    return k1_plus_1 / (1.0 + (k1_plus_1 / impact - 1.0) * ratio)


def norm_constant() -> float:
    """``K1 * (1 - B)``: the part of every norm that the average length does not scale."""
    return K1 * (1.0 - B)


def norm_at_ratio(norm: float, ratio: float) -> float:
    """A document's norm at an average length ``ratio`` times the one ``norm`` was taken at."""
    constant = norm_constant()
    return constant + (norm - constant) / ratio


def chunk_impact_bound(max_f: int, min_length: int, avgdl: float, recorded: float, tier_ratio: float) -> float:
    """A chunk's impact bound at ``avgdl``: the lower of its largest ``F`` at its shortest length
    and what its ``recorded`` largest impact (at ``tier_ratio`` times ``avgdl``) allows."""
    return min(impact(max_f, length_norm(min_length, avgdl)), stale_impact_bound(recorded, tier_ratio))
