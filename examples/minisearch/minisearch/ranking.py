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
"""

from __future__ import annotations

import math
from array import array
from collections.abc import Sequence

__all__ = ["B", "K1", "TITLE_WEIGHT", "average_length", "idf", "length_norm_array", "length_norms", "term_score", "weighted_frequency"]

K1 = 1.2
B = 0.75
#: How much more an occurrence in the title counts than one in the content.
TITLE_WEIGHT = 4
#: The idf of a term held by at least half of the documents.
MIN_IDF = 1e-6


def weighted_frequency(content_freq: int, title_freq: int) -> int:
    """``F`` of one posting."""
    return content_freq + TITLE_WEIGHT * title_freq


def idf(documents: int, holding: int) -> float:
    """The inverse document frequency of a term held by ``holding`` of ``documents``."""
    value = math.log((documents - holding + 0.5) / (holding + 0.5))
    return value if value > 0.0 else MIN_IDF


def average_length(total_tokens: int, documents: int) -> float:
    """``avgdl``; an empty index has no documents to divide by, and gets 1."""
    return total_tokens / documents if documents else 1.0


def length_norm(length: int, avgdl: float) -> float:
    """The length part of the denominator, ``K1 * (1 - B + B * D / avgdl)``."""
    return K1 * (1 - B + B * length / avgdl)


def length_norms(lengths: Sequence[int], avgdl: float) -> list[float]:
    """:func:`length_norm` of every document, indexed by document id."""
    return [K1 * (1 - B + B * length / avgdl) for length in lengths]


def length_norm_array(lengths: Sequence[int], avgdl: float) -> array[float]:
    """:func:`length_norms` as an ``array("d")``: 8 bytes a document instead of a list's 32."""
    return array("d", (K1 * (1 - B + B * length / avgdl) for length in lengths))


def term_score(weight: float, frequency: int, norm: float) -> float:
    """One term's part of a document's score: ``weight`` is the term's idf,
    ``frequency`` its ``F`` in the document, ``norm`` the document's
    :func:`length_norm`."""
    return weight * ((frequency * (K1 + 1.0)) / (frequency + norm))
