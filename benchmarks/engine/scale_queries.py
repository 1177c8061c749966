"""Queries on the scale benchmark's indexes: throughput side by side, and top 10s compared.

The queries are the engine benchmark's (queries.py): one- and two-word queries drawn from the
corpus's own terms, each asked as an AND and as an OR query, top 10.
"""

from __future__ import annotations

from dataclasses import asdict
from pathlib import Path
from typing import Any

from contender import MODES
from corpora import document_frequencies
from measure import median_round, query_rounds
from minisearch import Index, search
from queries import Query, sample_queries
from scale_corpus import read_documents
from subject import MINISEARCH

__all__ = ["K", "compare_tops", "corpus_queries", "throughput"]

K = 10
MISMATCH_EXAMPLES = 5


def corpus_queries(jsonl: Path, count: int) -> list[Query]:
    """Return ``count`` queries drawn from the terms of the documents of ``jsonl``."""
    return sample_queries(document_frequencies(read_documents(jsonl)), count)


def _texts(queries: list[Query]) -> dict[str, list[str]]:
    """Return the engine's query strings, per mode."""
    return {mode: [MINISEARCH.query_text(q, mode) for q in queries] for mode in MODES}


def throughput(indexes: dict[str, Path], queries: list[Query], rounds: int) -> dict[str, dict[str, Any]]:
    """Time the queries on every index, interleaved in rounds; return the medians per index and mode."""
    searchers = {name: MINISEARCH.open(path) for name, path in indexes.items()}
    texts = {name: _texts(queries) for name in indexes}
    try:
        timings = query_rounds(searchers, texts, K, rounds)
    finally:
        for searcher in searchers.values():
            searcher.close()
    return {name: {mode: asdict(median_round(timings[name][mode])) for mode in MODES} for name in indexes}


def _top(index: Index, text: str) -> list[tuple[int, float]]:
    """Return the (document id, score) pairs of the top ``K`` hits."""
    return [(hit.doc_id, hit.score) for hit in search(index, text, K).hits]


def compare_tops(reference: Path, other: Path, queries: list[Query]) -> dict[str, Any]:
    """Compare every query's top 10, ids and scores exactly, between two indexes of the same documents."""
    compared = mismatches = 0
    examples: list[dict[str, Any]] = []
    with Index(reference) as expected_index, Index(other) as actual_index:
        for mode, texts in _texts(queries).items():
            for text in texts:
                expected, actual = _top(expected_index, text), _top(actual_index, text)
                compared += 1
                if expected == actual:
                    continue
                mismatches += 1
                if len(examples) < MISMATCH_EXAMPLES:
                    examples.append({"mode": mode, "query": text, "expected": expected, "actual": actual})
    return {"compared": compared, "mismatches": mismatches, "examples": examples}
