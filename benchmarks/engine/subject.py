"""The engine under test, minisearch, used through its public API only."""

from __future__ import annotations

import dataclasses
import inspect
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import minisearch
from minisearch import Document, Index, build_index, search

from contender import AND, Contender, QueryCounts

__all__ = ["MINISEARCH", "accepts_store_option"]

#: Names under which a build report may give the bytes of the document store.
_STORE_ATTRIBUTES = ("store_bytes", "document_store_bytes", "documents_bytes")


def accepts_store_option() -> bool:
    """Whether the build takes ``store_documents`` (building without the document store)."""
    options = getattr(minisearch, "BuildOptions", None)
    if options is not None:
        return "store_documents" in {field.name for field in dataclasses.fields(options)}
    return "store_documents" in inspect.signature(build_index).parameters


def _build(docs: list[Document], path: Path, options: dict[str, object]) -> dict[str, float]:
    """Build with the default workers; return the report's phase times and store size if given."""
    keywords: dict[str, Any] = dict(options)
    if hasattr(minisearch, "BuildOptions"):
        report = build_index(docs, path, minisearch.BuildOptions(show_progress=False, **keywords))
    else:  # engines before the options were one value
        report = build_index(docs, path, show_progress=False, **keywords)
    extras: dict[str, float] = {f"{phase}_s": s for phase, s in getattr(report, "phase_seconds", {}).items()}
    for name in _STORE_ATTRIBUTES:
        value = getattr(report, name, None)
        if isinstance(value, int):
            extras["store_bytes"] = value
            break
    return extras


class _EngineSearcher:
    """An open minisearch index."""

    def __init__(self, path: Path) -> None:
        self._index = Index(path)

    def top(self, query: str, k: int) -> list[int]:
        """Return the ids of the ``k`` best documents for ``query``."""
        return [hit.doc_id for hit in search(self._index, query, k).hits]

    def counts(self, query: str, k: int) -> QueryCounts:
        """Return the postings decoded and scored for ``query``, where the result reports them."""
        result = search(self._index, query, k)
        return getattr(result, "postings_decoded", None), getattr(result, "postings_scored", None)

    def close(self) -> None:
        """Close the index, if it has files to close."""
        close = getattr(self._index, "close", None)
        if callable(close):
            close()


def _query_text(words: Sequence[str], mode: str) -> str:
    """Return the engine's query: words side by side are ANDed, ``OR`` between them ORs them."""
    return " ".join(words) if mode == AND else " OR ".join(words)


MINISEARCH = Contender("minisearch", _build, _EngineSearcher, _query_text)
