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

import dataclasses
import heapq
from array import array
from bisect import bisect_left, bisect_right
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from functools import partial
from operator import neg

from . import ranking
from .kernels import MAX_TERMS, NATIVE, MappedTerm, Shape, evaluate, given_term, kernel_impact_order, mapped_term
from .phrase_kernels import PackedPostings, packed_top_k
from .ranking import (
    impact,
    norm_at_ratio,
    posting_score,
    score_postings,
    stale_impact_bound,
    term_scores,
    weighted_frequency,
)

__all__ = ["ClauseSpec", "EvaluationStats", "TermPostings", "top_k"]

Posting = tuple[int, int, int]
# Bounds and scores are the same formula on the same floats; the margin absorbs summation order.
_RELATIVE_MARGIN = 1e-12
#: Documents settled in the first batch of a round (at least k); each next batch is twice as large.
_FIRST_BATCH = 64


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
    tier_ratio: float | None = None
    """None: the head is in impact order, largest first.  A number: it is in the impact order
    of an average length ``tier_ratio`` times the current one (a segment tiered before others
    joined it), and ``impacts`` are bounds at the current one."""
    load_head: Callable[[], list[Posting]] | None = None
    """Set when ``head`` is left empty to be decoded only if the Python evaluation needs it."""
    mapped: MappedTerm | None = None
    """Where the head and chunks lie in a mapped block file, for the native kernels."""
    packed: PackedPostings | None = None
    """The postings (a phrase's), packed for the native kernels; ``load_head`` makes the list."""

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
    absent: list[set[int]] = field(default_factory=list)
    """Per term, documents found not to hold it by a look into one of its chunks."""
    consulted: dict[tuple[int, int], list[Posting]] = field(default_factory=dict)
    """Chunks decoded to look documents up, by (term, chunk); their documents are not recorded."""
    candidates: set[int] = field(default_factory=set)
    dropped: set[int] = field(default_factory=set)
    """Documents bounded below theta once: they can never enter the top k."""
    stats: EvaluationStats = field(default_factory=EvaluationStats)

    def open_chunks(self, index: int) -> list[int]:
        decoded = self.decoded[index]
        return [chunk for chunk in range(self.terms[index].chunks) if chunk not in decoded]


def top_k(
    terms: Sequence[TermPostings],
    clauses: Sequence[ClauseSpec],
    norms: Sequence[float],
    k: int,
    floor: float = float("-inf"),
) -> tuple[list[tuple[int, float]], EvaluationStats]:
    """The best ``k`` documents as (doc_id, score), best first, ties by document id.

    ``norms[d]`` is the length norm of document ``d`` (see
    :func:`minisearch.ranking.length_norm`).  A document matches when it
    satisfies any clause; its score sums the terms of the clauses it satisfies.
    Documents that score below ``floor`` (the k-th best score found elsewhere)
    may be left out: they cannot join the top k.  The native kernels evaluate
    the shapes they take (see :mod:`minisearch.kernels`), Python the others.
    """
    shape = _native_shape(terms, clauses, norms, k)
    if shape is not None:
        return _native_top_k(shape, terms, clauses, norms, k, floor)
    terms = [_with_head(term) for term in terms]
    if len(terms) == 1 and len(clauses) == 1 and k > 0:
        excluded = clauses[0].excluded
        return _single_term(_without(terms[0], excluded) if excluded else terms[0], norms, k, floor)
    if len(clauses) == 1 and len(clauses[0].terms) == len(terms) > 1 and k > 0:
        whole = [index for index, term in enumerate(terms) if not term.chunks]
        if whole:  # every match is in this term's head: look the others up for each of its documents
            return _driven(terms, clauses[0], norms, k, min(whole, key=lambda index: len(terms[index].head)))
    state = _State(
        terms, clauses, norms,
        scores=[{} for _ in terms], decoded=[set() for _ in terms], absent=[set() for _ in terms],
    )
    for index, term in enumerate(terms):
        _record(state, index, term.head)
        state.stats.postings_decoded += len(term.head)
    if k <= 0:
        return [], state.stats
    while True:
        state.stats.rounds += 1
        open_chunks = [state.open_chunks(index) for index in range(len(terms))]
        exact, lower_bounds = _exact_in_bulk(state, open_chunks)
        best = _Best(k, exact.values() if lower_bounds is None else lower_bounds, floor)
        _check_suspects(state, open_chunks, exact, best, add_settled=lower_bounds is None)
        theta = best.theta()
        chosen = sorted(_chunks_for_unseen(state, open_chunks, theta))
        if not chosen:
            ranked = sorted((-score, doc) for doc, score in exact.items() if score >= theta)[:k]
            return [(doc, -negated) for negated, doc in ranked], state.stats
        # Every wanted chunk at once: a round costs more than the chunks it might spare.
        for index, chunk in chosen:
            postings = state.consulted.pop((index, chunk), None)
            if postings is None:
                loader = terms[index].load_chunk
                assert loader is not None  # a term with chunks has a loader
                postings = loader(chunk)
                state.stats.postings_decoded += len(postings)
            state.decoded[index].add(chunk)
            state.stats.chunks_decoded += 1
            _record(state, index, postings)


def _native_shape(
    terms: Sequence[TermPostings], clauses: Sequence[ClauseSpec], norms: Sequence[float], k: int
) -> Shape | None:
    """The shape the native kernels evaluate this query as, or None: not built, or not a shape
    they take."""
    if not NATIVE or k <= 0 or not 0 < len(terms) <= MAX_TERMS or type(ranking.TITLE_WEIGHT) is not int:
        return None
    if not (isinstance(norms, array) and norms.typecode == "d"):
        return None
    if any(term.mapped is None and (term.chunks or (term.load_head is not None and term.packed is None))
           for term in terms):
        return None  # postings the kernels cannot reach
    every = tuple(range(len(terms)))
    if len(clauses) == 1 and clauses[0].terms == every:
        return Shape.ONE_TERM if len(terms) == 1 else Shape.EVERY_TERM
    if sorted(clause.terms for clause in clauses) == [(index,) for index in every]:
        if len({clause.excluded for clause in clauses}) == 1:
            return Shape.ANY_TERM
    return None


def _native_top_k(
    shape: Shape,
    terms: Sequence[TermPostings],
    clauses: Sequence[ClauseSpec],
    norms: Sequence[float],
    k: int,
    floor: float,
) -> tuple[list[tuple[int, float]], EvaluationStats]:
    """:func:`top_k` of a query of ``shape`` over ``terms`` (every one ``mapped``, ``packed`` or
    given whole in its head) on the native kernels; ``norms`` an ``array("d")``."""
    excluded = clauses[0].excluded
    if shape is Shape.ONE_TERM and terms[0].packed is not None:
        hits, (decoded, scored, chunks, checked) = packed_top_k(
            terms[0].weight, terms[0].packed, excluded, k, floor
        )
        return hits, EvaluationStats(decoded, scored, checked, chunks, rounds=1)
    kernel_terms = [
        given_term(term.weight, _with_head(term).head, len(norms)) if term.mapped is None
        else mapped_term(term.weight, term.mapped, term.chunks, kernel_impact_order(term.chunks, term.tier_ratio))
        for term in terms
    ]
    hits, (decoded, scored, chunks, checked) = evaluate(shape, kernel_terms, excluded, norms, k, floor)
    return hits, EvaluationStats(decoded, scored, checked, chunks, rounds=1)


def _with_head(term: TermPostings) -> TermPostings:
    """``term`` with its head decoded."""
    if term.load_head is None:
        return term
    return dataclasses.replace(term, head=term.load_head(), load_head=None)


def _scored(weight: float, postings: list[Posting], norms: Sequence[float]) -> tuple[list[int], list[float]]:
    """The documents of ``postings`` and their scores."""
    return [posting[0] for posting in postings], score_postings(weight, postings, norms)


def _without(term: TermPostings, excluded: frozenset[int]) -> TermPostings:
    """``term`` without the postings of ``excluded`` documents: its head keeps its order, and
    its chunks' bounds still hold for what is left of them."""
    loader = term.load_chunk

    def load_chunk(chunk: int) -> list[Posting]:
        assert loader is not None
        return [posting for posting in loader(chunk) if posting[0] not in excluded]

    head = [posting for posting in term.head if posting[0] not in excluded]
    return dataclasses.replace(term, head=head, load_chunk=None if loader is None else load_chunk)


def _single_term(
    term: TermPostings, norms: Sequence[float], k: int, floor: float
) -> tuple[list[tuple[int, float]], EvaluationStats]:
    """One term: its head holds the largest impacts, largest first, so the top k is its front,
    and a chunk matters only if its largest impact reaches theta."""
    stats = EvaluationStats(rounds=1, postings_decoded=len(term.head))
    head = term.head
    if term.chunks and term.tier_ratio is not None:
        docs, scores = _front_of_stale_head(term, term.tier_ratio, norms, k, floor)
    elif term.chunks:  # score the front of the head, and on while a score could tie the k-th
        docs, scores = _scored(term.weight, head[:k], norms)
        theta = scores[-1] if len(scores) >= k else float("-inf")
        for doc, content, title in head[k:]:  # rarely gets far
            score = posting_score(term.weight, content, title, norms[doc])
            if score < theta:
                break
            docs.append(doc)
            scores.append(score)
    else:
        docs, scores = _scored(term.weight, head, norms)
    stats.postings_scored = len(docs)
    ranked = _best_k(k, scores, docs)
    theta = max(-ranked[-1][0] if len(ranked) >= k else float("-inf"), floor)
    theta -= abs(theta) * _RELATIVE_MARGIN
    for chunk, chunk_impact in enumerate(term.impacts):
        if term.weight * chunk_impact >= theta:  # only when ties or k exceeds the head
            assert term.load_chunk is not None  # a term with chunks has a loader
            postings = term.load_chunk(chunk)
            stats.chunks_decoded += 1
            stats.postings_decoded += len(postings)
            stats.postings_scored += len(postings)
            docs, scores = _scored(term.weight, postings, norms)
            ranked = _best_k(k, [-negated for negated, _ in ranked] + scores, [doc for _, doc in ranked] + docs)
    return [(doc, -negated) for negated, doc in ranked], stats


def _front_of_stale_head(
    term: TermPostings, ratio: float, norms: Sequence[float], k: int, floor: float
) -> tuple[list[int], list[float]]:
    """The scores of a head in the impact order of another average length, from its front on,
    while what is left of it could still reach the k-th best."""
    docs: list[int] = []
    scores: list[float] = []
    best: list[float] = []  # the k best scores, a min-heap
    for doc, content, title in term.head:
        norm = norms[doc]
        if len(best) >= k or floor > float("-inf"):
            theta = max(best[0] if len(best) >= k else float("-inf"), floor)
            bound = stale_impact_bound(impact(weighted_frequency(content, title), norm_at_ratio(norm, ratio)), ratio)
            if term.weight * bound < theta - abs(theta) * _RELATIVE_MARGIN:
                break  # the rest of the head had smaller impacts at the old length
        score = posting_score(term.weight, content, title, norm)
        docs.append(doc)
        scores.append(score)
        if len(best) < k:
            heapq.heappush(best, score)
        elif score > best[0]:
            heapq.heapreplace(best, score)
    return docs, scores


def _best_k(k: int, scores: list[float], docs: list[int]) -> list[tuple[float, int]]:
    """The k best as (-score, doc), best first, ties by document id."""
    if len(docs) <= 4 * k:
        return sorted(zip(map(neg, scores), docs))[:k]
    return heapq.nsmallest(k, zip(map(neg, scores), docs))


def _driven(
    terms: Sequence[TermPostings], clause: ClauseSpec, norms: Sequence[float], k: int, driver: int
) -> tuple[list[tuple[int, float]], EvaluationStats]:
    """An AND of terms, one of which has no chunks: score each of that term's documents by
    looking it up in every other term (its head, or the one chunk that could hold it)."""
    stats = EvaluationStats(rounds=1, postings_decoded=len(terms[driver].head))
    finders = [_Finder(term, stats) if index != driver else None for index, term in enumerate(terms)]
    ranked = []
    for doc, content, title in terms[driver].head:
        if doc in clause.excluded:
            continue
        stats.documents_checked += 1
        total = 0.0
        for index, term in enumerate(terms):
            finder = finders[index]
            posting = (doc, content, title) if finder is None else finder.find(doc)
            if posting is None:
                break
            total += posting_score(term.weight, posting[1], posting[2], norms[doc])
        else:
            ranked.append((-total, doc))
    stats.postings_scored = len(ranked)
    ranked.sort()
    return [(doc, -negated) for negated, doc in ranked[:k]], stats


class _Finder:
    """Finds a document's posting in one term: in its head, or in the chunk that could hold it."""

    def __init__(self, term: TermPostings, stats: EvaluationStats) -> None:
        self.term = term
        self.stats = stats
        self.head = {posting[0]: posting for posting in term.head}
        self.chunks: dict[int, list[Posting]] = {}
        stats.postings_decoded += len(term.head)

    def find(self, doc: int) -> Posting | None:
        posting = self.head.get(doc)
        if posting is not None or not self.term.chunks:
            return posting
        chunk = _chunk_of(self.term, doc)
        if chunk < 0:
            return None
        postings = self.chunks.get(chunk)
        if postings is None:
            assert self.term.load_chunk is not None  # a term with chunks has a loader
            postings = self.chunks[chunk] = self.term.load_chunk(chunk)
            self.stats.postings_decoded += len(postings)
            self.stats.chunks_decoded += 1
        position = bisect_left(postings, (doc,))
        if position < len(postings) and postings[position][0] == doc:
            return postings[position]
        return None


def _record(state: _State, index: int, postings: list[Posting]) -> None:
    """Remember the frequency and score of each posting (scored in bulk, exactly as posting_score)."""
    docs, scores = _scored(state.terms[index].weight, postings, state.norms)
    state.scores[index].update(zip(docs, scores))
    state.candidates.update(set(docs).difference(state.dropped))
    state.stats.postings_scored += len(postings)


class _Best:
    """The k best exact scores so far, as a min-heap."""

    def __init__(self, k: int, scores: Iterable[float], floor: float) -> None:
        self.k = k
        self.heap = heapq.nlargest(k, scores)
        heapq.heapify(self.heap)
        self.floor = floor

    def add(self, score: float) -> None:
        if len(self.heap) < self.k:
            heapq.heappush(self.heap, score)
        elif score > self.heap[0]:
            heapq.heapreplace(self.heap, score)

    def theta(self) -> float:
        """The k-th best exact score, or the floor if higher, less the margin (-inf for neither)."""
        value = max(self.heap[0] if len(self.heap) >= self.k else float("-inf"), self.floor)
        return value - abs(value) * _RELATIVE_MARGIN


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
        known = set(found[waiting[0]]).union(state.absent[waiting[0]])
        for index in waiting[1:]:
            known.intersection_update(found[index].keys() | state.absent[index])
        return {doc: total for doc, total in zip(docs, totals) if doc in known}, totals
    return {}, None


def _sums(state: _State, docs: list[int]) -> list[float]:
    """Per document, the sum in term order of the scores known for it."""
    totals = [0.0] * len(docs)
    for scores in state.scores:
        get = scores.get
        totals = [total + get(doc, 0.0) for total, doc in zip(totals, docs)]
    return totals


def _check_suspects(
    state: _State, open_chunks: list[list[int]], exact: dict[int, float], best: _Best, add_settled: bool
) -> None:
    """Bound every other candidate in bulk; settle those whose bound reaches theta in batches,
    best bounds first, so that theta rises between batches.  Settled documents join ``exact``;
    the others are dropped for good."""
    docs = [doc for doc in state.candidates if doc not in exact]
    bounds = [0.0] * len(docs)
    for index, scores in enumerate(state.scores):
        chunks = open_chunks[index]
        unknown = state.terms[index].weight * max(map(state.terms[index].impacts.__getitem__, chunks)) if chunks else 0.0
        get = scores.get
        bounds = [bound + get(doc, unknown) for bound, doc in zip(bounds, docs)]
    theta = best.theta()
    # Bounds only fall and theta only rises from round to round: what is out now stays out.
    out = [doc for doc, score in exact.items() if score < theta]
    out += [doc for bound, doc in zip(bounds, docs) if bound < theta]
    suspects = sorted(((bound, doc) for bound, doc in zip(bounds, docs) if bound >= theta), reverse=True)
    start, size = 0, max(best.k, _FIRST_BATCH)
    while start < len(suspects) and suspects[start][0] >= theta:
        batch = [doc for bound, doc in suspects[start : start + size] if bound >= theta]
        start += size
        size *= 2
        state.stats.documents_checked += len(batch)
        for doc, score in zip(batch, _settle(state, batch, open_chunks, theta)):
            if score is None:
                out.append(doc)
                continue
            exact[doc] = score
            if add_settled:  # otherwise its lower bound is in ``best`` already
                best.add(score)
        theta = best.theta()
    out += [doc for _, doc in suspects[start:]]
    out += [doc for bound, doc in suspects[:start] if bound < theta and doc not in exact]
    state.candidates.difference_update(out)
    state.dropped.update(out)


def _settle(state: _State, docs: list[int], open_chunks: list[list[int]], theta: float) -> list[float | None]:
    """The exact score of each of ``docs``, looked up in the chunks that could hold them, a term
    at a time; None for a document that cannot match, or whose tightest bound stays below
    ``theta``."""
    wanted, alive = _bound_unknown(state, docs, open_chunks, theta)
    every = tuple(range(len(state.terms)))
    conjunction = len(state.clauses) == 1 and state.clauses[0].terms == every
    for index, doc_chunks in enumerate(wanted):
        for doc, chunk in doc_chunks.items():
            if doc in alive and not _look_up(state, index, chunk, doc) and conjunction:
                alive.discard(doc)  # absent from a term the only clause needs
    scores = state.scores
    settled: list[float | None] = []
    for doc in docs:
        if doc not in alive:
            settled.append(None)
            continue
        if conjunction:  # every term counts, or none
            values = [found.get(doc) for found in scores]
            counted = [] if None in values or doc in state.clauses[0].excluded else every
        else:
            counted = _matched_terms(state.clauses, [found.get(doc, 0.0) for found in scores], doc) or []
        if not counted:
            settled.append(None)
            continue
        total = 0.0
        for index in counted:
            total += scores[index][doc]
        settled.append(total)
    return settled


def _bound_unknown(
    state: _State, docs: list[int], open_chunks: list[list[int]], theta: float
) -> tuple[list[dict[int, int]], set[int]]:
    """Per term, the documents of ``docs`` to look up in one of its chunks, with that chunk; and
    the documents worth it: known in every term, or bounded at ``theta`` or more (where a term is
    not known, by the lower of its chunk's largest impact and its largest F at the document's
    length).  The per-document steps run in C (``map`` over the documents)."""
    wanted: list[dict[int, int]] = []
    bounds = [0.0] * len(docs)
    looked_up: set[int] = set()
    for index, term in enumerate(state.terms):
        known = list(map(state.scores[index].get, docs))
        if not open_chunks[index] or None not in known:
            wanted.append({})
            bounds = [bound if score is None else bound + score for bound, score in zip(bounds, known)]
            continue
        absent = state.absent[index]
        unknown = [doc for doc, score in zip(docs, known) if score is None and doc not in absent]
        chunks = map((-1).__add__, map(partial(bisect_right, term.first_docs), unknown))
        decoded = state.decoded[index]
        doc_chunks = {doc: chunk for doc, chunk in zip(unknown, chunks) if chunk >= 0 and chunk not in decoded}
        wanted.append(doc_chunks)
        looked_up.update(doc_chunks)
        in_chunks = list(doc_chunks.values())
        frequency_bounds = term_scores(
            term.weight, map(term.max_f.__getitem__, in_chunks), map(state.norms.__getitem__, doc_chunks)
        )
        impact_bounds = map(term.weight.__mul__, map(term.impacts.__getitem__, in_chunks))
        unknown_bound = dict(zip(doc_chunks, map(min, frequency_bounds, impact_bounds)))
        bounds = [
            bound + score if score is not None else bound + unknown_bound.get(doc, 0.0)
            for bound, score, doc in zip(bounds, known, docs)
        ]
    alive = {doc for doc, bound in zip(docs, bounds) if bound >= theta or doc not in looked_up}
    return wanted, alive


def _look_up(state: _State, index: int, chunk: int, doc: int) -> float:
    """Whether chunk ``chunk`` of term ``index`` holds ``doc``: its score there, or 0.0 (and the
    document is recorded as absent from the term)."""
    postings = state.consulted.get((index, chunk))
    if postings is None:
        loader = state.terms[index].load_chunk
        assert loader is not None  # a term with chunks has a loader
        postings = state.consulted[index, chunk] = loader(chunk)
        state.stats.postings_decoded += len(postings)
    position = bisect_left(postings, (doc,))
    if position < len(postings) and postings[position][0] == doc:
        _, content, title = postings[position]
        score = state.scores[index][doc] = posting_score(state.terms[index].weight, content, title, state.norms[doc])
        state.stats.postings_scored += 1
        return score
    state.absent[index].add(doc)
    return 0.0


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
