"""Every exception the engine raises of its own, in one place.

Each stage imports its errors from here, so that no earlier stage (reading a
source, tokenising, writing blocks) depends on a later one (merging,
committing, searching) for an exception class.
"""

from __future__ import annotations

__all__ = [
    "ClusterError",
    "CorpusError",
    "DiskFullError",
    "DocumentError",
    "FormatError",
    "IndexBuildError",
    "IndexUnusableError",
    "QuerySyntaxError",
]


class CorpusError(Exception):
    """A document source cannot be read (missing path, malformed record)."""


class DocumentError(ValueError):
    """A document that cannot be indexed: not text, or over the limits."""


class QuerySyntaxError(ValueError):
    """A query that does not parse; ``column`` is where the problem is (from 1)."""

    def __init__(self, message: str, query: str, column: int) -> None:
        super().__init__(f"{message} (column {column})")
        self.query = query
        self.column = column


class FormatError(ValueError):
    """A file of the index does not have the layout it must have."""


class IndexBuildError(Exception):
    """A build failed; the index directory keeps its previous index, if any."""


class DiskFullError(IndexBuildError):
    """A write of a build found its device full, or its quota spent."""


class ClusterError(IndexBuildError):
    """The Dask cluster cannot run the build: unreachable, without workers, or missing packages."""


class IndexUnusableError(Exception):
    """An index directory cannot be used: missing, not an index, damaged or busy."""
