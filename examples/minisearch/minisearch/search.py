"""Answering queries from a built index.

:class:`Index` opens an index directory through its manifest: it maps the
block file into memory and loads the term table, the document lengths and
the titles.  Reading a term's head or one of its chunks is then one
``quorbel.decode_posting_list`` call on a slice of the map: no file is
opened per query.

:func:`search` parses the query (:mod:`minisearch.query`), expands prefix
words through the sorted term table and ranks the matching documents by
BM25 (:mod:`minisearch.ranking`), reading only the tiers that can change
the top k (:mod:`minisearch.topk`).
"""

from __future__ import annotations

import mmap
import os
import time
from bisect import bisect_left
from collections import Counter
from dataclasses import dataclass
from pathlib import Path
from types import TracebackType
from typing import NamedTuple, Self

import quorbel

from .layout import (
    DocumentStoreIndex,
    FormatError,
    decode_lengths,
    decode_term_table,
    decode_titles,
    read_document_group,
    read_document_store_index,
)
from .query import Leaf, Query, parse
from .ranking import average_length, idf, length_norms
from .snippets import make_snippet
from .store import IndexUnusableError, Manifest, read_manifest
from .topk import ClauseSpec, TermPostings, top_k

__all__ = ["Hit", "Index", "SearchResult", "search"]

Posting = tuple[int, int, int]


class Hit(NamedTuple):
    """One ranked document; ``snippet`` is empty unless asked for."""

    doc_id: int
    score: float
    title: str
    snippet: str = ""


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


class Index:
    """A read-only view of one committed index; close it (or use ``with``) when done."""

    def __init__(self, index_dir: str | os.PathLike[str]) -> None:
        self.index_dir = Path(index_dir)
        self.manifest: Manifest = read_manifest(self.index_dir)
        files = self.manifest.files
        self.postings_path = self.index_dir / files["postings"]
        self._map = self._map_file(self.postings_path)
        try:
            self.table = decode_term_table(self._read("terms"), files["terms"])
            lengths = decode_lengths(self._read("lengths"), self.manifest.documents, files["lengths"])
            self.titles = decode_titles(self._read("titles"), self.manifest.documents, files["titles"])
        except FormatError as error:
            self.close()
            raise IndexUnusableError(f"{self.index_dir}: {error}") from error
        except BaseException:
            self.close()
            raise
        self.term_ids = dict(zip(self.table.terms, range(len(self.table.terms))))
        self.avgdl = average_length(self.manifest.total_tokens, self.manifest.documents)
        self.norms = length_norms(lengths, self.avgdl)
        self._store: tuple[mmap.mmap, DocumentStoreIndex] | None = None
        self._check_consistency()

    # -- files

    def _read(self, role: str) -> bytes:
        path = self.index_dir / self.manifest.files[role]
        try:
            return path.read_bytes()
        except OSError as error:
            raise IndexUnusableError(f"cannot read {path}: {error.strerror or error}") from error

    @staticmethod
    def _map_file(path: Path) -> mmap.mmap:
        try:
            with open(path, "rb") as handle:
                return mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ)
        except (OSError, ValueError) as error:  # ValueError: an empty file cannot be mapped
            raise IndexUnusableError(f"cannot open {path}: {error}") from error

    def _check_consistency(self) -> None:
        table, manifest = self.table, self.manifest
        problems = []
        if len(table.terms) != manifest.terms:
            problems.append(f"the term table holds {len(table.terms)} terms, the manifest {manifest.terms}")
        end = table.ends[-1] if table.ends else 8
        if end != len(self._map):
            problems.append(f"the term table ends at byte {end}, {self.postings_path.name} at {len(self._map)}")
        if problems:
            self.close()
            raise IndexUnusableError(f"{self.index_dir}: " + "; ".join(problems))

    def close(self) -> None:
        """Release the mapped files."""
        if getattr(self, "_map", None) is not None:
            self._map.close()
        if getattr(self, "_store", None) is not None:
            assert self._store is not None
            self._store[0].close()
            self._store = None

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None, tb: TracebackType | None) -> None:
        self.close()

    # -- postings

    @property
    def documents(self) -> int:
        return self.manifest.documents

    def decode_entry(self, entry: int) -> list[Posting]:
        """The postings of one entry of the block file (a head or a chunk)."""
        start, end = self.table.starts[entry], self.table.ends[entry]
        try:
            return quorbel.decode_posting_list(self._map[start:end])
        except ValueError as error:
            raise IndexUnusableError(f"{self.postings_path}: the entry at byte {start} is damaged: {error}") from error

    def postings(self, term: str) -> list[Posting]:
        """Every posting of ``term`` in document order ([] for an unknown term)."""
        index = self.term_ids.get(term)
        if index is None:
            return []
        head = self.table.heads[index]
        entries = range(head, head + 1 + self.table.chunk_count[index])
        return sorted(posting for entry in entries for posting in self.decode_entry(entry))

    def holding(self, term: str) -> int:
        """How many documents hold ``term``."""
        index = self.term_ids.get(term)
        return 0 if index is None else self.table.holding[index]

    def expand(self, prefix: str) -> list[str]:
        """The terms that start with ``prefix``, in order."""
        terms = self.table.terms
        start = bisect_left(terms, prefix)
        end = bisect_left(terms, prefix + "\U0010ffff", start)
        return terms[start:end]

    def term_postings(self, term: str) -> TermPostings | None:
        """The head and chunk bounds of ``term`` for the top-k evaluation."""
        index = self.term_ids.get(term)
        if index is None:
            return None
        table = self.table
        first, count = table.first_chunk[index], table.chunk_count[index]
        head = table.heads[index]
        return TermPostings(
            weight=idf(self.documents, table.holding[index]),
            head=self.decode_entry(head),
            first_docs=table.chunk_first_doc[first : first + count],
            max_f=table.chunk_max_f[first : first + count],
            impacts=table.chunk_impact[first : first + count],
            load_chunk=lambda chunk: self.decode_entry(head + 1 + chunk),
        )

    def prefix_postings(self, prefix: str) -> TermPostings | None:
        """All terms with ``prefix`` as one term: ``F`` summed per document, held by their union."""
        terms = self.expand(prefix)
        if not terms:
            return None
        content: Counter[int] = Counter()
        title: Counter[int] = Counter()
        for term in terms:
            for doc, content_freq, title_freq in self.postings(term):
                content[doc] += content_freq
                title[doc] += title_freq
        merged = [(doc, content[doc], title[doc]) for doc in sorted(content.keys() | title.keys())]
        return TermPostings(weight=idf(self.documents, len(merged)), head=merged)

    def doc_ids(self, leaf: Leaf) -> frozenset[int]:
        """The documents that hold ``leaf``."""
        terms = self.expand(leaf.text) if leaf.prefix else [leaf.text]
        return frozenset(posting[0] for term in terms for posting in self.postings(term))

    # -- documents

    @property
    def has_documents(self) -> bool:
        return "docs" in self.manifest.files

    def content(self, doc_id: int) -> str:
        """The stored text of a document; raises :class:`IndexUnusableError` without a store."""
        if not self.has_documents:
            raise IndexUnusableError(f"{self.index_dir} was built without its documents")
        if self._store is None:
            path = self.index_dir / self.manifest.files["docs"]
            data = self._map_file(path)
            try:
                self._store = (data, read_document_store_index(data, path.name))
            except FormatError as error:
                data.close()
                raise IndexUnusableError(f"{self.index_dir}: {error}") from error
        data, groups = self._store
        group = bisect_left(groups.first_docs, doc_id + 1) - 1
        try:
            contents = read_document_group(data, groups.starts[group], groups.ends[group])
            return contents[doc_id - groups.first_docs[group]]
        except (FormatError, IndexError) as error:
            raise IndexUnusableError(f"{self.index_dir}: document {doc_id} cannot be read: {error}") from error


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
    parsed = parse(query) if isinstance(query, str) else query
    leaves = parsed.leaves
    sources = [index.prefix_postings(leaf.text) if leaf.prefix else index.term_postings(leaf.text) for leaf in leaves]
    unknown = [str(leaf) for leaf, source in zip(leaves, sources) if source is None]
    terms = [source for source in sources if source is not None]
    present = {leaf: number for number, leaf in enumerate(leaf for leaf, source in zip(leaves, sources) if source is not None)}
    clauses = []
    for clause in parsed.clauses:
        if all(leaf in present for leaf in clause.positive):
            excluded = frozenset().union(*(index.doc_ids(leaf) for leaf in clause.negative))
            clauses.append(ClauseSpec(tuple(present[leaf] for leaf in clause.positive), excluded))
    try:
        ranked, stats = top_k(terms, clauses, index.norms, k) if clauses else ([], None)
    except IndexError:  # a damaged entry that still decodes, naming documents the index lacks
        raise IndexUnusableError(
            f"{index.postings_path}: postings name documents beyond the index's {index.documents}; "
            "run 'minisearch check'"
        ) from None
    plain = {leaf.text for leaf in leaves if not leaf.prefix}
    prefixes = [leaf.text for leaf in leaves if leaf.prefix]
    with_snippets = snippets and index.has_documents
    titles = index.titles
    hits = [
        Hit._make((doc, score, titles[doc], make_snippet(index.content(doc), plain, prefixes) if with_snippets else ""))
        for doc, score in ranked
    ]
    return SearchResult(
        query=parsed.text,
        terms=[str(leaf) for leaf in leaves],
        unknown_terms=unknown,
        hits=hits,
        seconds=time.perf_counter() - started,
        postings_decoded=stats.postings_decoded if stats else 0,
        postings_scored=stats.postings_scored if stats else 0,
        chunks_decoded=stats.chunks_decoded if stats else 0,
    )

