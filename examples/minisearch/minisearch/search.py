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
from functools import partial
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import NamedTuple

from . import ranking
from .corpus import Key
from .errors import IndexUnusableError
from .kernels import MAX_TERMS, NATIVE, Shape, evaluate_segments
from .phrase_kernels import PackedPostings, packed_top_k
from .query import Leaf, Query, parse
from .reader import Index
from .snippets import make_snippet
from .topk import ClauseSpec, EvaluationStats, TermPostings, top_k

__all__ = ["Hit", "Index", "SearchResult", "search"]

#: One segment's top k as (doc_id, score), best first, and the work it took.
type Evaluation = tuple[list[tuple[int, float]], EvaluationStats]

class Hit(NamedTuple):
    """One ranked document; ``snippet`` is empty unless asked for, ``key`` None for a document
    without one."""

    doc_id: int
    score: float
    title: str
    snippet: str = ""
    key: Key | None = None


#: ``Hit`` made from a tuple of all its fields, without the Python frame of its ``__new__`` (a
#: query's hits are a good part of its interpreter work).
_hit = partial(tuple.__new__, Hit)


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
    shape = _plain_shape(parsed, leaves) if k > 0 else None
    phrase = _lone_phrase(parsed) if shape is None and k > 0 else None
    packs = index.phrase_packs(phrase) if phrase is not None else None
    if shape is not None:
        terms = [index.kernel_terms(leaf.text) for leaf in leaves]  # per leaf, per segment
        unknown = [str(leaf) for leaf, found in zip(leaves, terms) if not any(found)]
        ranked, stats = _search_plain(index, shape, terms, k)
    elif packs is not None:
        unknown = [] if any(packs) else [str(phrase)]
        ranked, stats = _search_phrase(index, packs, k)
    else:
        sources = [index.sources(leaf) for leaf in leaves]
        unknown = [str(leaf) for leaf, found in zip(leaves, sources) if not any(found)]
        ranked, stats = _search_segments(index, parsed, sources, k)
    titles = index.titles
    if snippets and index.has_documents:
        plain = {leaf.text for leaf in leaves if not leaf.prefix and not leaf.phrase}
        prefixes = [leaf.text for leaf in leaves if leaf.prefix and not leaf.phrase]
        phrases = [(leaf.words, leaf.prefix) for leaf in leaves if leaf.phrase]
        hits = [
            Hit(
                doc, score, titles[doc],
                make_snippet(index.content(doc), plain, prefixes, rule=rule, phrases=phrases), index.key_of(doc),
            )
            for doc, score in ranked
        ]
    else:
        keys = index.keys_by_id()  # every ranked document is a live one: within it
        hits = [_hit((doc, score, titles[doc], "", keys[doc])) for doc, score in ranked]
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


def _search_plain(index: Index, shape: Shape, terms: list[list[tuple[object, ...] | None]], k: int) -> Evaluation:
    """The top k of a query of :func:`_plain_shape` whose words are ``terms`` (per word, per
    segment, as :meth:`Index.kernel_terms` gives them), every segment in one call to the kernels."""
    segments = [
        (tuple(word[number] for word in terms), segment.deleted_ids) for number, segment in enumerate(index.segments)
    ]
    evaluation = partial(evaluate_segments, shape, segments, index.norms, k)
    hits, (decoded, scored, chunks, checked) = _within_index(evaluation, len(index.norms))
    return hits, EvaluationStats(decoded, scored, checked, chunks, rounds=1)


def _search_phrase(index: Index, packs: list[PackedPostings], k: int) -> Evaluation:
    """The top k of a query that is one phrase whose postings in each segment are ``packs``, as
    :func:`_search_segments` ranks it, without its clause machinery."""
    weight = ranking.idf(index.documents, sum(map(len, packs)))
    candidates: list[tuple[int, float]] = []
    work = [0, 0, 0, 0]
    floor = float("-inf")
    last = len(packs) - 1
    for number, pack in enumerate(packs):
        if not pack:
            continue
        found, done = _within_index(partial(packed_top_k, weight, pack, index.deleted(number), k, floor), len(index.norms))
        candidates += found
        work = [total + more for total, more in zip(work, done)]
        if number < last and len(candidates) >= k:
            floor = heapq.nlargest(k, [score for _, score in candidates])[-1]
    decoded, scored, chunks, checked = work
    ranked = candidates if len(packs) == 1 else sorted(candidates, key=lambda hit: (-hit[1], hit[0]))[:k]
    return ranked, EvaluationStats(decoded, scored, checked, chunks, rounds=1)


def _lone_phrase(query: Query) -> Leaf | None:
    """The phrase of a query that is one phrase and nothing else (within a field or not)."""
    if len(query.clauses) != 1:
        return None
    clause = query.clauses[0]
    if len(clause.positive) != 1 or clause.negative or not clause.positive[0].phrase:
        return None
    return clause.positive[0]


def _search_segments(index: Index, query: Query, sources: list[list[TermPostings | None]], k: int) -> Evaluation:
    """The top k of any query whose leaves have ``sources`` (per leaf, per segment), segment by
    segment: each must beat the k-th best score of those before it."""
    leaves = query.leaves
    excluded = {leaf: index.doc_ids(leaf) for clause in query.clauses for leaf in clause.negative}
    candidates: list[tuple[int, float]] = []
    stats = EvaluationStats()
    floor = float("-inf")
    segments = len(index.segments)
    for segment in range(segments):
        terms = [found[segment] for found in sources]
        found, evaluation = _evaluate(query, leaves, terms, excluded, index.deleted(segment), index.norms, k, floor)
        candidates += found
        if segment + 1 < segments and len(candidates) >= k > 0:
            floor = heapq.nlargest(k, [score for _, score in candidates])[-1]
        stats.postings_decoded += evaluation.postings_decoded
        stats.postings_scored += evaluation.postings_scored
        stats.chunks_decoded += evaluation.chunks_decoded
    # One segment's top k comes ranked (best first, ties by document id).
    return candidates if segments == 1 else sorted(candidates, key=lambda hit: (-hit[1], hit[0]))[:k], stats


def _plain_shape(query: Query, leaves: Sequence[Leaf]) -> Shape | None:
    """The shape the native kernels evaluate ``query`` as on every segment, when it is one word,
    words ANDed or words ORed (no prefix, phrase, field or exclusion), else None."""
    if not NATIVE or len(leaves) > MAX_TERMS or type(ranking.TITLE_WEIGHT) is not int:
        return None
    if any(leaf.prefix or leaf.phrase or leaf.field for leaf in leaves) or query.excluded:
        return None
    if len(query.clauses) == 1:
        return Shape.ONE_TERM if len(leaves) == 1 else Shape.EVERY_TERM
    if len(query.clauses) == len(leaves) and all(len(clause.positive) == 1 for clause in query.clauses):
        return Shape.ANY_TERM
    return None


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
    return _within_index(lambda: top_k(terms, clauses, norms, k, floor), len(norms))


def _within_index[T](evaluation: Callable[[], T], documents: int) -> T:
    """``evaluation()``; postings naming a document beyond the index's ``documents`` (a damaged
    entry that still decodes) raise :class:`IndexUnusableError`."""
    try:
        return evaluation()
    except IndexError:
        raise IndexUnusableError(
            f"postings name documents beyond the index's {documents}; run 'minisearch check'"
        ) from None
