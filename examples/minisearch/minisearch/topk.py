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
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

from .ranking import K1, TITLE_WEIGHT

__all__ = ["ClauseSpec", "EvaluationStats", "TermPostings", "top_k"]

Posting = tuple[int, int, int]
_K1_PLUS_1 = K1 + 1.0
# Bounds and scores are the same formula on the same floats; the margin absorbs summation order.
_MARGIN = 1e-9


@dataclass
class TermPostings:
    """One scoring term: its idf, decoded head and the bounds of its tail chunks."""

    weight: float
    head: list[Posting]
    first_docs: Sequence[int] = ()
    max_f: Sequence[int] = ()
    impacts: Sequence[float] = ()
    """Per chunk, ``F * (K1 + 1) / (F + norm)`` of its largest ``F`` and smallest norm."""
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
    """Work done by one evaluation."""

    postings_decoded: int = 0
    postings_scored: int = 0
    chunks_decoded: int = 0
    rounds: int = 0


@dataclass
class _State:
    terms: Sequence[TermPostings]
    clauses: Sequence[ClauseSpec]
    norms: Sequence[float]
    found: list[dict[int, int]]
    decoded: list[set[int]] = field(default_factory=list)
    candidates: dict[int, None] = field(default_factory=dict)
    stats: EvaluationStats = field(default_factory=EvaluationStats)


def _score(weight: float, frequency: int, norm: float) -> float:
    return weight * ((frequency * _K1_PLUS_1) / (frequency + norm))


def top_k(
    terms: Sequence[TermPostings], clauses: Sequence[ClauseSpec], norms: Sequence[float], k: int
) -> tuple[list[tuple[int, float]], EvaluationStats]:
    """The best ``k`` documents as (doc_id, score), best first, ties by document id.

    ``norms[d]`` is the length norm of document ``d`` (see
    :func:`minisearch.ranking.length_norm`).  A document matches when it
    satisfies any clause.
    """
    state = _State(terms, clauses, norms, found=[{} for _ in terms], decoded=[set() for _ in terms])
    for index, term in enumerate(terms):
        _record(state, index, term.head)
    if k <= 0:
        return [], state.stats
    while True:
        state.stats.rounds += 1
        exact, bounded = _classify(state)
        theta = heapq.nlargest(k, exact)[-1][0] - _MARGIN if len(exact) >= k else float("-inf")
        wanted = _chunks_for_candidates(state, bounded, theta) | _chunks_for_unseen(state, theta)
        if not wanted:
            best = heapq.nsmallest(k, ((-score, doc) for score, doc in exact))
            return [(doc, -negated) for negated, doc in best], state.stats
        for index, chunk in sorted(wanted):
            loader = terms[index].load_chunk
            assert loader is not None  # a term with chunks has a loader
            postings = loader(chunk)
            state.decoded[index].add(chunk)
            state.stats.chunks_decoded += 1
            _record(state, index, postings)


def _record(state: _State, index: int, postings: list[Posting]) -> None:
    found = state.found[index]
    for doc, content, title in postings:
        found[doc] = content + TITLE_WEIGHT * title
    state.candidates.update(dict.fromkeys(found))
    state.stats.postings_decoded += len(postings)


def _chunk_of(term: TermPostings, doc: int) -> int:
    """The chunk that would hold ``doc`` (-1: none)."""
    return bisect_right(term.first_docs, doc) - 1


def _classify(state: _State) -> tuple[list[tuple[float, int]], list[tuple[int, float, list[tuple[int, int]]]]]:
    """Split the candidates into exact (score, doc) and bounded (doc, bound, unknown (term, chunk))."""
    exact: list[tuple[float, int]] = []
    bounded: list[tuple[int, float, list[tuple[int, int]]]] = []
    dropped = []
    terms, found, decoded, norms = state.terms, state.found, state.decoded, state.norms
    for doc in state.candidates:
        norm = norms[doc]
        bound = 0.0
        unknown: list[tuple[int, int]] = []
        frequencies: list[int | None] = []
        for index, term in enumerate(terms):
            frequency = found[index].get(doc)
            if frequency is None:
                chunk = _chunk_of(term, doc) if term.first_docs else -1
                if chunk < 0 or chunk in decoded[index]:
                    frequency = 0
                else:
                    unknown.append((index, chunk))
                    frequency = term.max_f[chunk]
                    frequencies.append(None)
                    bound += _score(term.weight, frequency, norm)
                    continue
            frequencies.append(frequency)
            if frequency:
                bound += _score(term.weight, frequency, norm)
        state.stats.postings_scored += 1
        counted = _matched_terms(state.clauses, frequencies, doc)
        if counted is None:
            bounded.append((doc, bound, unknown))
        elif not counted:
            dropped.append(doc)
        else:
            score = 0.0
            for index in counted:
                score += _score(terms[index].weight, frequencies[index] or 0, norm)
            exact.append((score, doc))
    for doc in dropped:
        del state.candidates[doc]
    return exact, bounded


def _matched_terms(clauses: Sequence[ClauseSpec], frequencies: list[int | None], doc: int) -> list[int] | None:
    """The terms that count for a document, in term order: those of the clauses it satisfies.

    None when that depends on a term not yet known; [] when no clause can match.
    """
    counted: set[int] = set()
    for clause in clauses:
        if doc in clause.excluded:
            continue
        states = [frequencies[index] for index in clause.terms]
        if None in states:
            if 0 not in states:
                return None
        elif all(states):
            counted.update(clause.terms)
    if counted and any(frequency is None for frequency in frequencies):
        return None  # a term still unknown may belong to another satisfied clause
    return sorted(counted)


def _chunks_for_candidates(
    state: _State, bounded: list[tuple[int, float, list[tuple[int, int]]]], theta: float
) -> set[tuple[int, int]]:
    wanted: set[tuple[int, int]] = set()
    for _, bound, unknown in bounded:
        if bound >= theta:
            wanted.update(unknown)
    return wanted


def _chunks_for_unseen(state: _State, theta: float) -> set[tuple[int, int]]:
    """Chunks that could hold a document met nowhere yet whose bound reaches ``theta``."""
    open_chunks = [
        [chunk for chunk in range(term.chunks) if chunk not in state.decoded[index]]
        for index, term in enumerate(state.terms)
    ]
    reachable = [clause for clause in state.clauses if all(open_chunks[index] for index in clause.terms)]
    if not reachable:
        return set()
    bounds = [
        [term.weight * term.impacts[chunk] for chunk in chunks] for term, chunks in zip(state.terms, open_chunks)
    ]
    best = [max(values, default=0.0) for values in bounds]
    total = sum(best)
    if total < theta:
        return set()
    wanted: set[tuple[int, int]] = set()
    indexes = {index for clause in reachable for index in clause.terms}
    for index in indexes:
        rest = total - best[index]
        wanted.update(
            (index, chunk) for chunk, value in zip(open_chunks[index], bounds[index]) if value + rest >= theta
        )
    return wanted
