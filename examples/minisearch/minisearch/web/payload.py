"""A page of results and a stored document, as the JSON API returns them.

:func:`search_page` answers a query from ``offset`` on, ``k`` hits, and
whether more follow; snippets are made for those hits only.  A snippet is
plain text with the spans of the query's words (``highlights``, offsets in
characters), so that a client escapes it as it must and marks what it likes.
The bounds that a server enforces on its callers are here too.  Nothing here
needs a web framework: the command line prints the same JSON.
"""

from __future__ import annotations

import contextlib
import re
import time
from dataclasses import dataclass
from typing import Any

from .. import Index, QuerySyntaxError, parse, search
from ..corpus import Key
from ..snippets import make_snippet

__all__ = [
    "MAX_K",
    "MAX_OFFSET",
    "MAX_QUERY_LENGTH",
    "PAGE_SIZE",
    "DocumentNotFound",
    "Hit",
    "ResultPage",
    "Snippet",
    "document_json",
    "error_json",
    "query_error_json",
    "search_page",
]

MAX_QUERY_LENGTH = 4_000
MAX_K = 100
MAX_OFFSET = 10_000
PAGE_SIZE = 10

# Marks that cannot occur in a snippet's text: the text's own are made spaces first.
_OPEN, _CLOSE = "\x02", "\x03"
_NO_MARKS = str.maketrans({_OPEN: " ", _CLOSE: " "})


class DocumentNotFound(LookupError):
    """No stored document answers the request; the message says why."""


@dataclass(frozen=True)
class Snippet:
    """An extract of a document; ``highlights`` are the (start, end) spans of query words."""

    text: str = ""
    highlights: tuple[tuple[int, int], ...] = ()

    @classmethod
    def from_marked(cls, marked: str) -> Snippet:
        """Split text with the words between ``_OPEN`` and ``_CLOSE`` into text and spans."""
        pieces: list[str] = []
        spans: list[tuple[int, int]] = []
        length = 0
        for number, piece in enumerate(marked.split(_OPEN)):
            word, _, rest = piece.partition(_CLOSE) if number else ("", "", piece)
            if word:
                spans.append((length, length + len(word)))
            pieces += [word, rest]
            length += len(word) + len(rest)
        return cls("".join(pieces), tuple(spans))

    def parts(self) -> list[tuple[str, bool]]:
        """The text in runs, each with whether it is a query word (for a page to mark)."""
        runs: list[tuple[str, bool]] = []
        position = 0
        for start, end in self.highlights:
            runs += [(self.text[position:start], False), (self.text[start:end], True)]
            position = end
        runs.append((self.text[position:], False))
        return [run for run in runs if run[0]]


@dataclass(frozen=True)
class Hit:
    """One ranked document of a page; ``rank`` counts from 1 over the whole result."""

    rank: int
    doc_id: int
    key: str | int | None
    title: str
    score: float
    snippet: Snippet

    def to_json(self) -> dict[str, Any]:
        return {
            "rank": self.rank,
            "id": self.doc_id,
            "key": self.key,
            "title": self.title,
            "score": self.score,
            "snippet": self.snippet.text,
            "highlights": [list(span) for span in self.snippet.highlights],
        }


@dataclass(frozen=True)
class ResultPage:
    """``k`` hits of a query from ``offset`` on, and what finding them took."""

    query: str
    terms: list[str]
    unknown_terms: list[str]
    offset: int
    k: int
    hits: list[Hit]
    more: bool
    documents: int
    documents_stored: bool
    seconds: float
    postings_decoded: int
    postings_scored: int
    chunks_decoded: int

    def to_json(self) -> dict[str, Any]:
        return {
            "query": self.query,
            "terms": self.terms,
            "unknown_terms": self.unknown_terms,
            "offset": self.offset,
            "k": self.k,
            "hits": [hit.to_json() for hit in self.hits],
            "more": self.more,
            "documents": self.documents,
            "documents_stored": self.documents_stored,
            "seconds": self.seconds,
            "postings_decoded": self.postings_decoded,
            "postings_scored": self.postings_scored,
            "chunks_decoded": self.chunks_decoded,
        }


def search_page(index: Index, query: str, k: int = PAGE_SIZE, offset: int = 0) -> ResultPage:
    """The hits ranked ``offset + 1`` to ``offset + k`` for ``query``; raises
    :class:`QuerySyntaxError` for a malformed query.  The caller bounds ``k`` and ``offset``."""
    if k < 0 or offset < 0:
        raise ValueError("k and offset must not be negative")
    started = time.perf_counter()
    parsed = parse(query)
    result = search(index, parsed, k=offset + k + 1)  # one more tells whether more follow
    window = result.hits[offset : offset + k]
    plain = {leaf.text for leaf in parsed.leaves if not leaf.prefix}
    prefixes = [leaf.text for leaf in parsed.leaves if leaf.prefix]
    stored = index.has_documents
    hits = [
        Hit(
            rank=offset + number,
            doc_id=hit.doc_id,
            key=hit.key,
            title=hit.title,
            score=hit.score,
            snippet=_snippet(index.content(hit.doc_id), plain, prefixes) if stored else Snippet(),
        )
        for number, hit in enumerate(window, start=1)
    ]
    return ResultPage(
        query=result.query,
        terms=result.terms,
        unknown_terms=result.unknown_terms,
        offset=offset,
        k=k,
        hits=hits,
        more=len(result.hits) > offset + k,
        documents=index.documents,
        documents_stored=stored,
        seconds=time.perf_counter() - started,
        postings_decoded=result.postings_decoded,
        postings_scored=result.postings_scored,
        chunks_decoded=result.chunks_decoded,
    )


def _snippet(text: str, terms: set[str], prefixes: list[str]) -> Snippet:
    return Snippet.from_marked(make_snippet(text.translate(_NO_MARKS), terms, prefixes, mark=(_OPEN, _CLOSE)))


def document_json(index: Index, doc_id: int) -> dict[str, Any]:
    """A stored document; raises :class:`DocumentNotFound` for an id the index lacks (or has
    deleted), or for any id of an index built without its documents."""
    if not index.has_documents:
        raise DocumentNotFound("this index was built without its documents: only titles and scores are stored")
    if not _is_live(index, doc_id):
        raise DocumentNotFound(f"no document {doc_id}")
    return {"id": doc_id, "key": index.key_of(doc_id), "title": index.titles[doc_id], "content": index.content(doc_id)}


def document_by_key_json(index: Index, key: str) -> dict[str, Any]:
    """:func:`document_json` of the live document whose key is ``key``, or else the integer it
    spells (``"7"`` finds a document keyed 7 when none is keyed ``"7"``)."""
    if not index.has_documents:
        raise DocumentNotFound("this index was built without its documents: only titles and scores are stored")
    candidates: tuple[Key, ...] = (key, *_integer_spelled(key))
    for candidate in candidates:
        with contextlib.suppress(KeyError):
            return document_json(index, index.doc_id(candidate))
    raise DocumentNotFound(f"no document with the key {key!r}")


#: An integer as JSON writes one (the route caps a key's length well below int()'s limit).
_INTEGER = re.compile(r"-?(?:0|[1-9][0-9]*)")


def _integer_spelled(text: str) -> tuple[int, ...]:
    return (int(text),) if _INTEGER.fullmatch(text) else ()


def _is_live(index: Index, doc_id: int) -> bool:
    """Whether ``doc_id`` is a document of the index that no commit deleted."""
    for number, segment in enumerate(index.manifest.segments):
        if segment.first_doc <= doc_id < segment.end_doc:
            return doc_id not in index.deleted(number)
    return False


def error_json(code: str, message: str, **details: Any) -> dict[str, Any]:
    """The body of every error the API returns."""
    return {"error": {"code": code, "message": message, **details}}


def query_error_json(error: QuerySyntaxError) -> dict[str, Any]:
    """A malformed query's error, with the column (from 1) where the problem is."""
    return error_json("bad_query", str(error), column=error.column)
