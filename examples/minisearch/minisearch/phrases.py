"""Phrases and field filters: query units whose postings are made at query time.

A field filter (``title:word``) keeps, of a word's postings, the frequency in
that field: ``(doc, 0, title_freq)`` or ``(doc, content_freq, 0)``, for the
documents that hold it there.  A phrase (``"w1 w2 w3"``) has, per document,
the number of places in each field where its words follow each other
(overlapping ones counted, so ``"a a"`` occurs twice in ``a a a``), found
through the words' positions; the last word may be a prefix.  Either list
is in document order without the deleted documents, and is ranked as one
word whose frequency and document count are its own, as SQLite FTS5's
``bm25()`` ranks a phrase or a column filter.

Candidates are the documents that hold every word, found from the rarest
word up; positions are read for those only, and of each run only the
postings of candidates are decoded.  With the native kernels built, a
phrase's postings are found by them (:mod:`minisearch.phrase_kernels`); the
code here stays as the fallback and as the oracle the tests compare them with.
"""

from __future__ import annotations

from bisect import bisect_left
from collections.abc import Sequence
from typing import TYPE_CHECKING

from .errors import IndexUnusableError
from .phrase_kernels import PHRASES, phrase_postings, unpack
from .positions import Positions
from .query import Leaf

if TYPE_CHECKING:  # the reader calls these with itself
    from .reader import SegmentReader

__all__ = ["in_field", "unit_postings"]

#: The fields a query may name, and which frequency of a posting each keeps.


Posting = tuple[int, int, int]


def unit_postings(segment: SegmentReader, leaf: Leaf) -> list[Posting]:
    """The postings of a phrase or field-filtered leaf in ``segment``, in document order."""
    if not leaf.phrase:
        postings = segment.prefix_postings(leaf.text) if leaf.prefix else segment.postings(leaf.text)
        return in_field(postings, leaf.field)
    if not segment.has_positions:
        raise IndexUnusableError(
            f"the index holds no word positions (built with --no-positions, or by an older minisearch), "
            f"which the phrase {leaf} needs; build it again to search phrases"
        )
    if PHRASES:
        return unpack(phrase_postings(segment, leaf))
    return python_phrase_postings(segment, leaf)


def python_phrase_postings(segment: SegmentReader, leaf: Leaf) -> list[Posting]:
    """The postings of phrase ``leaf`` in ``segment``, found in Python."""
    return in_field(_phrase_postings(segment, leaf.words, leaf.prefix), leaf.field)


def in_field(postings: list[Posting], field: str | None) -> list[Posting]:
    """``postings`` counted in ``field`` only (all of them without one)."""
    if field == "title":
        return [(doc, 0, title) for doc, _, title in postings if title]
    if field == "content":
        return [(doc, content, 0) for doc, content, _ in postings if content]
    return postings


def _phrase_postings(segment: SegmentReader, words: Sequence[str], prefix: bool) -> list[Posting]:
    terms = [[word] for word in words[:-1]] + [segment.expand(words[-1]) if prefix else [words[-1]]]
    every = {term: segment.all_postings(term) for word_terms in terms for term in word_terms}
    sizes = [sum(len(every[term]) for term in word_terms) for word_terms in terms]
    cheapest = sorted(range(len(words)), key=sizes.__getitem__)
    rarest = terms[cheapest[0]]
    candidates = {posting[0] for term in rarest for posting in every[term]} - segment.deleted
    for number in cheapest[1:]:  # the rarer words' candidates looked up in the longer lists
        candidates = {doc for doc in candidates if any(_holds(every[term], doc) for term in terms[number])}
        if not candidates:
            return []
    places: list[dict[int, Positions]] = [{} for _ in words]
    for number in cheapest:
        places[number] = _positions_of(segment, terms[number], candidates, every)
    found = []
    for doc in sorted(candidates):
        title = _occurrences([places[number][doc][0] for number in range(len(words))])
        content = _occurrences([places[number][doc][1] for number in range(len(words))])
        if title or content:
            found.append((doc, content, title))
    return found


def _holds(postings: list[Posting], doc: int) -> bool:
    """Whether ``postings`` (in document order) hold ``doc``."""
    at = bisect_left(postings, (doc,))
    return at < len(postings) and postings[at][0] == doc


def _positions_of(
    segment: SegmentReader, terms: Sequence[str], docs: set[int], every: dict[str, list[Posting]]
) -> dict[int, Positions]:
    """Per document, where any of ``terms`` occurs (a prefix word stands for several)."""
    if len(terms) == 1:
        return segment.positions(terms[0], docs, every[terms[0]])
    merged: dict[int, tuple[list[int], list[int]]] = {}
    for term in terms:
        for doc, (title, content) in segment.positions(term, docs, every[term]).items():
            into = merged.setdefault(doc, ([], []))
            into[0].extend(title)
            into[1].extend(content)
    return {doc: (sorted(title), sorted(content)) for doc, (title, content) in merged.items()}


def _occurrences(places: Sequence[Sequence[int]]) -> int:
    """How many positions start the words in a row: word i at start + i, for every i."""
    if not all(places):
        return 0
    later = [frozenset(positions) for positions in places[1:]]
    return sum(
        1 for start in places[0] if all(start + offset in positions for offset, positions in enumerate(later, 1))
    )
