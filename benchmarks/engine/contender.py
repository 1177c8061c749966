"""What the benchmark needs from each search engine it compares: a way to build an index from
documents in memory, to open it, and to answer a query with the ids of the top k documents."""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Protocol

from minisearch import Document

__all__ = ["AND", "OR", "MODES", "Contender", "QueryCounts", "Searcher", "path_bytes"]

AND = "AND"
OR = "OR"
MODES = (AND, OR)

#: Postings decoded and scored for one query, when the engine reports them.
QueryCounts = tuple[int | None, int | None]


class Searcher(Protocol):
    """An open index."""

    def top(self, query: str, k: int) -> list[int]:
        """Return the document ids of the ``k`` best matches of ``query`` (engine syntax), best first."""
        ...

    def counts(self, query: str, k: int) -> QueryCounts:
        """Return the postings decoded and scored to answer ``query`` (None where not reported)."""
        ...

    def close(self) -> None:
        """Release the index's files."""
        ...


@dataclass(frozen=True)
class Contender:
    """One search engine under test.

    ``build(docs, path, options)`` writes an index of ``docs`` (document ids are their positions)
    at ``path`` and returns extra figures (such as bytes of a document store); ``open(path)``
    returns a :class:`Searcher`; ``query_text(words, mode)`` writes a query in the engine's syntax.
    """

    name: str
    build: Callable[[list[Document], Path, dict[str, object]], dict[str, float]]
    open: Callable[[Path], Searcher]
    query_text: Callable[[Sequence[str], str], str]


def path_bytes(path: Path) -> int:
    """Return the size of the file at ``path``, or the total size of the files under it."""
    if path.is_file():
        return path.stat().st_size
    return sum(
        os.path.getsize(os.path.join(root, name)) for root, _, names in os.walk(path) for name in names
    )
