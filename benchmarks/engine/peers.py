"""The engines the benchmark compares minisearch with: SQLite FTS5 (standard library) and tantivy
(from PyPI, when it installs), each set up as a user of it would, with the title weighing 4."""

from __future__ import annotations

import sqlite3
from collections.abc import Sequence
from pathlib import Path
from typing import Any, cast

from minisearch import Document

from contender import AND, Contender, QueryCounts

__all__ = ["FTS5", "TANTIVY", "FTS5_QUERY", "tantivy_unavailable_reason"]

FTS5_QUERY = "SELECT rowid FROM docs WHERE docs MATCH ? ORDER BY bm25(docs, 4.0, 1.0), rowid LIMIT ?"
TITLE_BOOST = 4.0
_NO_COUNTS: QueryCounts = (None, None)


# --------------------------------------------------------------------------------------------
# SQLite FTS5: one table, rowid = document id, bm25() best first, ties by rowid


def _fts5_build(docs: list[Document], path: Path, options: dict[str, object]) -> dict[str, float]:
    """Create the table, insert every document and commit, in one file database."""
    db = sqlite3.connect(path)
    try:
        db.execute("CREATE VIRTUAL TABLE docs USING fts5(title, content)")
        db.executemany(
            "INSERT INTO docs(rowid, title, content) VALUES (?, ?, ?)",
            ((doc_id, doc.title, doc.content) for doc_id, doc in enumerate(docs)),
        )
        db.commit()
    finally:
        db.close()
    return {}


class _Fts5Searcher:
    """An open FTS5 database."""

    def __init__(self, path: Path) -> None:
        self._db = sqlite3.connect(path)

    def top(self, query: str, k: int) -> list[int]:
        """Return the rowids of the ``k`` best rows by ``bm25(docs, 4.0, 1.0)``."""
        return [row[0] for row in self._db.execute(FTS5_QUERY, (query, k))]

    def counts(self, query: str, k: int) -> QueryCounts:
        """FTS5 does not report what it decodes."""
        return _NO_COUNTS

    def close(self) -> None:
        """Close the connection."""
        self._db.close()


def _fts5_query_text(words: Sequence[str], mode: str) -> str:
    """Return an FTS5 MATCH expression: quoted words, side by side for AND, with OR between."""
    quoted = [f'"{word}"' for word in words]
    return " ".join(quoted) if mode == AND else " OR ".join(quoted)


FTS5 = Contender("SQLite FTS5", _fts5_build, _Fts5Searcher, _fts5_query_text)


# --------------------------------------------------------------------------------------------
# tantivy: title and content text fields (stored, as FTS5 and the engine keep the text), the
# document id as a fast integer field; the query parser over both fields, title boosted 4


def tantivy_unavailable_reason() -> str | None:
    """Return why tantivy cannot be used here, or None if it imports."""
    try:
        import tantivy  # noqa: F401
    except Exception as error:  # any failure to load a binary package means: not available
        return f"{type(error).__name__}: {error}"
    return None


def _tantivy_schema() -> Any:
    """Return the schema: doc_id (fast integer), title and content (stored text)."""
    import tantivy

    builder = tantivy.SchemaBuilder()
    builder.add_integer_field("doc_id", stored=True, fast=True, indexed=False)
    builder.add_text_field("title", stored=True)
    builder.add_text_field("content", stored=True)
    return builder.build()


def _tantivy_build(docs: list[Document], path: Path, options: dict[str, object]) -> dict[str, float]:
    """Add every document through one writer (default heap and threads), commit, wait for merges."""
    import tantivy

    path.mkdir(parents=True, exist_ok=True)
    index = tantivy.Index(_tantivy_schema(), path=str(path))
    writer = index.writer()
    for doc_id, doc in enumerate(docs):
        writer.add_document(tantivy.Document(doc_id=doc_id, title=doc.title, content=doc.content))
    writer.commit()
    writer.wait_merging_threads()
    return {}


class _TantivySearcher:
    """An open tantivy index and one searcher over it."""

    def __init__(self, path: Path) -> None:
        import tantivy

        self._index = tantivy.Index.open(str(path))
        self._searcher = self._index.searcher()

    def top(self, query: str, k: int) -> list[int]:
        """Return the doc_id values of the ``k`` best documents by tantivy's own score."""
        parsed = self._index.parse_query(query, ["title", "content"], field_boosts={"title": TITLE_BOOST})
        hits = self._searcher.search(parsed, k, count=False).hits
        ids = self._searcher.fast_field_values("doc_id", [address for _, address in hits])
        if None in ids:
            raise RuntimeError(f"a tantivy hit for {query!r} has no doc_id")
        return cast(list[int], ids)

    def counts(self, query: str, k: int) -> QueryCounts:
        """tantivy's binding does not report what it decodes."""
        return _NO_COUNTS

    def close(self) -> None:
        """Drop the searcher and the index."""
        del self._searcher, self._index


def _tantivy_query_text(words: Sequence[str], mode: str) -> str:
    """Return a tantivy query: quoted words joined by AND or OR."""
    return f" {mode} ".join(f'"{word}"' for word in words)


TANTIVY = Contender("tantivy", _tantivy_build, _TantivySearcher, _tantivy_query_text)
