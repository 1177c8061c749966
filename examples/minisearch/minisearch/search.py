"""Answering queries from a built index.

:class:`Index` opens an index directory through its manifest and loads the
term-to-offset table and the titles into memory; a term's posting list is
then one ``quorbel.read_term_at_offset`` call (one seek and one entry read).

A query is tokenised like the documents; repeated query terms count once
and unknown terms match nothing.  A document matches when it holds at least
one query term, and its score is the sum, over the query terms it holds, of
``content_freq + 4 * title_freq``: the score by which the merged posting
lists are ordered, so a word in the title weighs four times a word in the
body.  Results are ordered by score, highest first, then by document id.
"""

from __future__ import annotations

import heapq
import os
import time
from collections import defaultdict
from dataclasses import dataclass
from pathlib import Path

import quorbel

from .store import IndexUnusableError, Manifest, read_manifest, read_offset_table, read_titles
from .tokens import tokenize

__all__ = ["TITLE_WEIGHT", "Hit", "Index", "SearchResult", "merge_score", "search"]

#: How much more an occurrence in the title counts than one in the content.
TITLE_WEIGHT = 4

Posting = tuple[int, int, int]


def merge_score(content_freq: int, title_freq: int) -> int:
    """The ranking score of one posting."""
    return content_freq + TITLE_WEIGHT * title_freq


@dataclass(frozen=True)
class Hit:
    """One ranked document."""

    doc_id: int
    score: int
    title: str


@dataclass(frozen=True)
class SearchResult:
    """The answer to one query."""

    query: str
    terms: list[str]
    unknown_terms: list[str]
    matched: int
    hits: list[Hit]
    seconds: float


class Index:
    """A read-only view of one committed index."""

    def __init__(self, index_dir: str | os.PathLike[str]) -> None:
        self.index_dir = Path(index_dir)
        self.manifest: Manifest = read_manifest(self.index_dir)
        files = self.manifest.files
        self.block_path = str(self.index_dir / files["block"])
        self.offsets: dict[str, int] = dict(read_offset_table(self.index_dir / files["offsets"]))
        self.titles: list[str] = read_titles(self.index_dir / files["titles"], self.manifest.documents)
        if len(self.offsets) != self.manifest.terms:
            raise IndexUnusableError(
                f"offset table holds {len(self.offsets)} distinct terms, the manifest {self.manifest.terms}"
            )

    def postings(self, term: str) -> list[Posting]:
        """The posting list of ``term`` in merge order ([] for an unknown term)."""
        offset = self.offsets.get(term)
        if offset is None:
            return []
        entry = quorbel.read_term_at_offset(self.block_path, offset)
        if entry is None or entry[0] != term:
            found = "the end of the file" if entry is None else repr(entry[0])
            raise IndexUnusableError(f"offset table points {term!r} at {offset}, where the block holds {found}")
        return entry[3]


def search(index: Index, query: str, k: int = 10) -> SearchResult:
    """Return the ``k`` best documents for ``query``."""
    if k < 0:
        raise ValueError("k must not be negative")
    started = time.perf_counter()
    terms = list(dict.fromkeys(tokenize(query)))
    unknown = [term for term in terms if term not in index.offsets]
    scores: defaultdict[int, int] = defaultdict(int)
    for term in terms:
        for doc_id, content_freq, title_freq in index.postings(term):
            scores[doc_id] += merge_score(content_freq, title_freq)
    best = heapq.nsmallest(k, scores.items(), key=lambda item: (-item[1], item[0]))
    hits = []
    for doc_id, score in best:
        if not 0 <= doc_id < len(index.titles):
            raise IndexUnusableError(f"posting for unknown document id {doc_id}")
        hits.append(Hit(doc_id, score, index.titles[doc_id]))
    return SearchResult(
        query=query,
        terms=terms,
        unknown_terms=unknown,
        matched=len(scores),
        hits=hits,
        seconds=time.perf_counter() - started,
    )
