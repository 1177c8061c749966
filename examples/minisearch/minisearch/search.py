"""Answering queries from an open index (:class:`minisearch.reader.Index`).

:func:`search` parses the query (:mod:`minisearch.query`), expands prefix
words through the sorted term tables, weighs every word by its idf over all
segments, and ranks each segment's matching documents by BM25
(:mod:`minisearch.ranking`), reading only the tiers that can change the top
k (:mod:`minisearch.topk`); the best k of all segments are the answer.
"""

from __future__ import annotations

import heapq
import time
from collections.abc import Sequence
from dataclasses import dataclass
from typing import NamedTuple

from .corpus import Key
from .errors import IndexUnusableError
from .query import Leaf, Query, parse
from .reader import Index
from .snippets import make_snippet
from .topk import ClauseSpec, EvaluationStats, TermPostings, top_k

__all__ = ["Hit", "Index", "SearchResult", "search"]

class Hit(NamedTuple):
    """One ranked document; ``snippet`` is empty unless asked for, ``key`` None for a document
    without one."""

    doc_id: int
    score: float
    title: str
    snippet: str = ""
    key: Key | None = None


@dataclass(frozen=True)
class SearchResult:
    """The answer to one query, with the work it took."""

    query: str
    terms: list[str]
    unknown_terms: list[str]
    hits: list[Hit]
    seconds: float
    postings_decoded: int = 0
    postings_scored: int = 0
    chunks_decoded: int = 0


def search(index: Index, query: str | Query, k: int = 10, snippets: bool = False) -> SearchResult:
    """Return the ``k`` best documents for ``query`` by BM25.

    Raises :class:`minisearch.query.QuerySyntaxError` for a malformed query
    and :class:`IndexUnusableError` for a damaged index.  With ``snippets``,
    each hit carries a short extract of its text with the query words
    marked (empty for an index built without its documents).
    """
    if k < 0:
        raise ValueError("k must not be negative")
    started = time.perf_counter()
    rule = index.manifest.tokenizer_rule
    parsed = parse(query, rule) if isinstance(query, str) else query
    leaves = parsed.leaves
    sources = [index.sources(leaf) for leaf in leaves]  # per leaf, per segment
    unknown = [str(leaf) for leaf, found in zip(leaves, sources) if not any(found)]
    excluded = {leaf: index.doc_ids(leaf) for clause in parsed.clauses for leaf in clause.negative}
    candidates: list[tuple[int, float]] = []
    stats = EvaluationStats()
    floor = float("-inf")  # the k-th best score of the segments before: the others must beat it
    segments = len(index.segments)
    for segment in range(segments):
        found, evaluation = _evaluate(
            parsed, leaves, [found[segment] for found in sources], excluded, index.deleted(segment), index.norms, k,
            floor,
        )
        candidates += found
        if segment + 1 < segments and len(candidates) >= k > 0:
            floor = heapq.nlargest(k, [score for _, score in candidates])[-1]
        stats.postings_decoded += evaluation.postings_decoded
        stats.postings_scored += evaluation.postings_scored
        stats.chunks_decoded += evaluation.chunks_decoded
    # One segment's top k comes ranked (best first, ties by document id).
    ranked = candidates if segments == 1 else sorted(candidates, key=lambda hit: (-hit[1], hit[0]))[:k]
    plain = {leaf.text for leaf in leaves if not leaf.prefix and not leaf.phrase}
    prefixes = [leaf.text for leaf in leaves if leaf.prefix and not leaf.phrase]
    phrases = [(leaf.words, leaf.prefix) for leaf in leaves if leaf.phrase]
    with_snippets = snippets and index.has_documents
    titles = index.titles
    hits = [
        Hit(
            doc, score, titles[doc],
            make_snippet(index.content(doc), plain, prefixes, rule=rule, phrases=phrases) if with_snippets else "",
            index.key_of(doc),
        )
        for doc, score in ranked
    ]
    return SearchResult(
        query=parsed.text,
        terms=[str(leaf) for leaf in leaves],
        unknown_terms=unknown,
        hits=hits,
        seconds=time.perf_counter() - started,
        postings_decoded=stats.postings_decoded,
        postings_scored=stats.postings_scored,
        chunks_decoded=stats.chunks_decoded,
    )


def _evaluate(
    query: Query,
    leaves: Sequence[Leaf],
    sources: list[TermPostings | None],
    excluded: dict[Leaf, frozenset[int]],
    deleted: frozenset[int],
    norms: Sequence[float],
    k: int,
    floor: float,
) -> tuple[list[tuple[int, float]], EvaluationStats]:
    """The top k of one segment, whose postings of each leaf are ``sources``, among the live
    documents that score at least ``floor``; ``leaves`` are the query's."""
    terms = [source for source in sources if source is not None]
    present = {leaf: number for number, leaf in enumerate(leaf for leaf, source in zip(leaves, sources) if source)}
    clauses = [
        ClauseSpec(
            tuple(present[leaf] for leaf in clause.positive),
            deleted.union(*(excluded[leaf] for leaf in clause.negative)) if clause.negative else deleted,
        )
        for clause in query.clauses
        if all(leaf in present for leaf in clause.positive)
    ]
    if not clauses:
        return [], EvaluationStats()
    try:
        return top_k(terms, clauses, norms, k, floor)
    except IndexError:  # a damaged entry that still decodes, naming documents the index lacks
        raise IndexUnusableError(
            f"postings name documents beyond the index's {len(norms)}; run 'minisearch check'"
        ) from None

