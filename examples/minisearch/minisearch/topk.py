"""Exact top-k evaluation over impact tiers, with early termination.

Each scoring term of a query arrives as a :class:`TermPostings`: its head
(the postings with the largest ``F``, already decoded) and its tail chunks,
each known only by its first document id, its largest ``F`` and its
shortest document length until it is decoded.  A chunk covers the document
ids from its first one up to the next chunk's first one.

The evaluation keeps, for every document met so far, the ``F`` of each term
that is known for it.  A term is known for a document when the document is
in the term's head or in a decoded chunk, or when no undecoded chunk can
hold it.  A document whose terms are all known has its exact score; any
other has an upper bound, from the bounds of the chunks that could hold it.
Documents in no decoded postings at all are bounded by the best undecoded
chunk of every term.  With ``theta`` the k-th best exact score, a chunk is
decoded only when it could hold a document whose bound reaches ``theta``;
when none can, the exact top k is known.  Scores and ties (by document id)
are exactly those of a full evaluation.
"""

from __future__ import annotations

import heapq
from bisect import bisect_right
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from itertools import chain, repeat
from operator import add, itemgetter, mul, neg, truediv

from .ranking import K1, TITLE_WEIGHT

__all__ = ["ClauseSpec", "EvaluationStats", "TermPostings", "top_k"]

Posting = tuple[int, int, int]
_K1_PLUS_1 = K1 + 1.0
# Bounds and scores are the same formula on the same floats; the margin absorbs summation order.
_RELATIVE_MARGIN = 1e-12
_doc_ids = itemgetter(0)
_content = itemgetter(1)
_title = itemgetter(2)


@dataclass
class TermPostings:
    """One scoring term: its idf, decoded head and the bounds of its tail chunks."""

    weight: float
    head: list[Posting]
    first_docs: Sequence[int] = ()
    max_f: Sequence[int] = ()
    impacts: Sequence[float] = ()
    """Per chunk, the largest ``F * (K1 + 1) / (F + norm)`` of its postings."""
    load_chunk: Callable[[int], list[Posting]] | None = None

    @property
    def chunks(self) -> int:
        return len(self.first_docs)


@dataclass(frozen=True)
class ClauseSpec:
    """Documents holding every term of ``terms`` (indexes) and none of ``excluded``."""

    terms: tuple[int, ...]
    excluded: frozenset[int] = frozenset()


@dataclass
class EvaluationStats:
    """Work done by one evaluation: postings decoded and scored, documents bounded one by one."""

    postings_decoded: int = 0
    postings_scored: int = 0
    documents_checked: int = 0
    chunks_decoded: int = 0
    rounds: int = 0


@dataclass
class _State:
    terms: Sequence[TermPostings]
    clauses: Sequence[ClauseSpec]
    norms: Sequence[float]
    scores: list[dict[int, float]]
    """Per term, the score of every document found holding it."""
    decoded: list[set[int]]
    candidates: set[int] = field(default_factory=set)
    dropped: set[int] = field(default_factory=set)
    """Documents bounded below theta once: they can never enter the top k."""
    stats: EvaluationStats = field(default_factory=EvaluationStats)

    def open_chunks(self, index: int) -> list[int]:
        decoded = self.decoded[index]
        return [chunk for chunk in range(self.terms[index].chunks) if chunk not in decoded]


def _score(weight: float, frequency: int, norm: float) -> float:
    return weight * ((frequency * _K1_PLUS_1) / (frequency + norm))


def top_k(
    terms: Sequence[TermPostings], clauses: Sequence[ClauseSpec], norms: Sequence[float], k: int
) -> tuple[list[tuple[int, float]], EvaluationStats]:
    """The best ``k`` documents as (doc_id, score), best first, ties by document id.

    ``norms[d]`` is the length norm of document ``d`` (see
    :func:`minisearch.ranking.length_norm`).  A document matches when it
    satisfies any clause; its score sums the terms of the clauses it satisfies.
    """
    if len(terms) == 1 and len(clauses) == 1 and not clauses[0].excluded and k > 0:
        return _single_term(terms[0], norms, k)
    state = _State(
        terms, clauses, norms,
        scores=[{} for _ in terms], decoded=[set() for _ in terms],
    )
    for index, term in enumerate(terms):
        _record(state, index, term.head)
    if k <= 0:
        return [], state.stats
    while True:
        state.stats.rounds += 1
        open_chunks = [state.open_chunks(index) for index in range(len(terms))]
        exact, lower_bounds = _exact_in_bulk(state, open_chunks)
        best = _Best(k, exact.values() if lower_bounds is None else lower_bounds)
        wanted = _check_suspects(state, open_chunks, exact, best, add_settled=lower_bounds is None)
        theta = best.theta()
        for key, bound in _chunks_for_unseen(state, open_chunks, theta).items():
            wanted[key] = max(bound, wanted.get(key, bound))
        chosen = sorted(key for key, bound in wanted.items() if bound >= theta)
        if not chosen:
            ranked = sorted((-score, doc) for doc, score in exact.items() if score >= theta)[:k]
            return [(doc, -negated) for negated, doc in ranked], state.stats
        # Every wanted chunk at once: a round costs more than the chunks it might spare.
        for index, chunk in chosen:
            loader = terms[index].load_chunk
            assert loader is not None  # a term with chunks has a loader
            state.decoded[index].add(chunk)
            state.stats.chunks_decoded += 1
            _record(state, index, loader(chunk))


def _scored(weight: float, postings: list[Posting], norms: Sequence[float]) -> tuple[list[int], list[float]]:
    """The documents of ``postings`` and their scores, computed in bulk exactly as :func:`_score`."""
    docs = list(map(_doc_ids, postings))
    frequencies = list(map(add, map(_content, postings), map(mul, map(_title, postings), repeat(TITLE_WEIGHT))))
    ratios = map(truediv, map(mul, frequencies, repeat(_K1_PLUS_1)), map(add, frequencies, map(norms.__getitem__, docs)))
    return docs, list(map(mul, repeat(weight), ratios))


def _single_term(
    term: TermPostings, norms: Sequence[float], k: int
) -> tuple[list[tuple[int, float]], EvaluationStats]:
    """One term: the head holds the largest impacts, so a chunk matters only if it reaches theta."""
    stats = EvaluationStats(rounds=1)
    ranked: list[tuple[float, int]] = []  # (-score, doc), best first
    pending = [(float("inf"), -1)]  # the head first, then chunks by bound
    while pending:
        bound, chunk = pending.pop()
        theta = -ranked[k - 1][0] if len(ranked) >= k else float("-inf")
        if bound < theta - abs(theta) * _RELATIVE_MARGIN:
            break
        if chunk < 0:
            postings = term.head
            pending = sorted((term.weight * impact, chunk) for chunk, impact in enumerate(term.impacts))
        else:
            assert term.load_chunk is not None  # a term with chunks has a loader
            postings = term.load_chunk(chunk)
            stats.chunks_decoded += 1
        docs, scores = _scored(term.weight, postings, norms)
        ranked = heapq.nsmallest(k, chain(ranked, zip(map(neg, scores), docs)))
        stats.postings_decoded += len(postings)
        stats.postings_scored += len(postings)
    return [(doc, -negated) for negated, doc in ranked], stats


def _record(state: _State, index: int, postings: list[Posting]) -> None:
    """Remember the frequency and score of each posting (scored in bulk, exactly as _score)."""
    docs, scores = _scored(state.terms[index].weight, postings, state.norms)
    state.scores[index].update(zip(docs, scores))
    state.candidates.update(set(docs).difference(state.dropped))
    state.stats.postings_decoded += len(postings)
    state.stats.postings_scored += len(postings)


class _Best:
    """The k best exact scores so far, as a min-heap."""

    def __init__(self, k: int, scores: Iterable[float]) -> None:
        self.k = k
        self.heap = heapq.nlargest(k, scores)
        heapq.heapify(self.heap)

    def add(self, score: float) -> None:
        if len(self.heap) < self.k:
            heapq.heappush(self.heap, score)
        elif score > self.heap[0]:
            heapq.heapreplace(self.heap, score)

    def theta(self) -> float:
        """The k-th best exact score less the margin, or -inf with fewer than k."""
        if len(self.heap) < self.k:
            return float("-inf")
        return self.heap[0] - abs(self.heap[0]) * _RELATIVE_MARGIN


def _exact_in_bulk(state: _State, open_chunks: list[list[int]]) -> tuple[dict[int, float], list[float] | None]:
    """Exact scores of the documents every term is known for, for the two common query shapes.

    One clause of every term (AND): the documents in every term's postings.  One clause per
    term, nothing excluded (OR): the documents in the postings of every term with undecoded
    chunks; then every candidate matches, and the sum of the scores known for it is a lower
    bound of its score, returned for all candidates.  Any other shape leaves every document to
    :func:`_check_suspects`.
    """
    clauses, found = state.clauses, state.scores
    every = tuple(range(len(state.terms)))
    if len(clauses) == 1 and clauses[0].terms == every:
        docs = list(set(found[0]).intersection(*found[1:]) - clauses[0].excluded)
        return dict(zip(docs, _sums(state, docs))), None
    if sorted(clause.terms for clause in clauses) == [(index,) for index in every] and not any(
        clause.excluded for clause in clauses
    ):
        docs = list(state.candidates)
        totals = _sums(state, docs)
        waiting = [index for index in every if open_chunks[index]]
        if not waiting:
            return dict(zip(docs, totals)), totals
        known = set(found[waiting[0]]).intersection(*(found[index] for index in waiting[1:]))
        return {doc: total for doc, total in zip(docs, totals) if doc in known}, totals
    return {}, None


def _sums(state: _State, docs: list[int]) -> list[float]:
    """Per document, the sum in term order of the scores known for it."""
    totals = [0.0] * len(docs)
    for scores in state.scores:
        totals = list(map(add, totals, map(scores.get, docs, repeat(0.0))))
    return totals


def _check_suspects(
    state: _State, open_chunks: list[list[int]], exact: dict[int, float], best: _Best, add_settled: bool
) -> dict[tuple[int, int], float]:
    """Bound every other candidate in bulk; settle one by one those whose bound reaches ``theta``.

    Settled documents join ``exact``; returns the chunks that could still lift a document, each
    with the largest bound of a document waiting for it.
    """
    docs = [doc for doc in state.candidates if doc not in exact]
    bounds = [0.0] * len(docs)
    for index, scores in enumerate(state.scores):
        chunks = open_chunks[index]
        unknown = state.terms[index].weight * max(map(state.terms[index].impacts.__getitem__, chunks)) if chunks else 0.0
        bounds = list(map(add, bounds, map(scores.get, docs, repeat(unknown))))
    theta = best.theta()
    # Bounds only fall and theta only rises from round to round: what is out now stays out.
    out = [doc for bound, doc in zip(bounds, docs) if bound < theta]
    out += [doc for doc, score in exact.items() if score < theta]
    state.candidates.difference_update(out)
    state.dropped.update(out)
    suspects = sorted((bound, doc) for bound, doc in zip(bounds, docs) if bound >= theta)
    wanted: dict[tuple[int, int], float] = {}
    for bound, doc in reversed(suspects):
        if bound < theta:
            break  # the rest are bounded lower still
        state.stats.documents_checked += 1
        outcome = _settle(state, doc, open_chunks)
        if isinstance(outcome, float):
            exact[doc] = outcome
            if add_settled:  # otherwise its lower bound is in ``best`` already
                best.add(outcome)
                theta = best.theta()
        elif outcome is not None:
            bound, unknown_chunks = outcome
            if bound >= theta:
                for chunk in unknown_chunks:
                    wanted[chunk] = max(bound, wanted.get(chunk, bound))
    return wanted


def _settle(
    state: _State, doc: int, open_chunks: list[list[int]]
) -> float | tuple[float, list[tuple[int, int]]] | None:
    """A document's exact score, or its bound and the chunks that would settle it, or None if it cannot match."""
    norm = state.norms[doc]
    values: list[float | None] = []
    unknown: list[tuple[int, int]] = []
    bound = 0.0
    for index, term in enumerate(state.terms):
        score = state.scores[index].get(doc)
        if score is not None:
            values.append(score)
            bound += score
            continue
        chunk = _chunk_of(term, doc) if open_chunks[index] else -1
        if chunk < 0 or chunk in state.decoded[index]:
            values.append(0.0)
        else:
            values.append(None)
            unknown.append((index, chunk))
            # Below the chunk's largest impact, and below its largest F at this document's length.
            bound += min(_score(term.weight, term.max_f[chunk], norm), term.weight * term.impacts[chunk])
    counted = _matched_terms(state.clauses, values, doc)
    if counted is None:
        return bound, unknown
    if not counted:
        return None
    score = 0.0
    for index in counted:
        score += state.scores[index][doc]
    return score


def _chunk_of(term: TermPostings, doc: int) -> int:
    """The chunk that would hold ``doc`` (-1: none)."""
    return bisect_right(term.first_docs, doc) - 1


def _matched_terms(clauses: Sequence[ClauseSpec], frequencies: list[float | None], doc: int) -> list[int] | None:
    """The terms that count for a document, in term order: those of the clauses it satisfies.

    None when that depends on a term not yet known; [] when no clause can match.
    """
    counted: set[int] = set()
    for clause in clauses:
        if doc in clause.excluded:
            continue
        states = [frequencies[index] for index in clause.terms]
        if None in states:
            if 0.0 not in states:
                return None
        elif all(states):
            counted.update(clause.terms)
    if counted and any(frequency is None for frequency in frequencies):
        return None  # a term still unknown may belong to another satisfied clause
    return sorted(counted)


def _chunks_for_unseen(
    state: _State, open_chunks: list[list[int]], theta: float
) -> dict[tuple[int, int], float]:
    """Chunks that could hold a document met nowhere yet whose bound reaches ``theta``, with that bound."""
    reachable = [clause for clause in state.clauses if all(open_chunks[index] for index in clause.terms)]
    if not reachable:
        return {}
    bounds = [
        [term.weight * term.impacts[chunk] for chunk in chunks] for term, chunks in zip(state.terms, open_chunks)
    ]
    best = [max(values, default=0.0) for values in bounds]
    total = sum(best)
    if total < theta:
        return {}
    wanted: dict[tuple[int, int], float] = {}
    for index in {index for clause in reachable for index in clause.terms}:
        rest = total - best[index]
        wanted.update(
            ((index, chunk), value + rest)
            for chunk, value in zip(open_chunks[index], bounds[index])
            if value + rest >= theta
        )
    return wanted
