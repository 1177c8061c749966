"""The JSON API's bodies, as the OpenAPI description shows them.

The bodies themselves are made by :mod:`minisearch.web.payload`; a test
checks that they validate against these models.
"""

from __future__ import annotations

from pydantic import BaseModel, Field

__all__ = ["DocumentBody", "ErrorBody", "ErrorDetail", "HitBody", "SearchBody"]


class HitBody(BaseModel):
    rank: int = Field(description="1 for the best document of the whole result")
    id: int = Field(description="the document's number in the index, from 0")
    key: str | int | None = Field(description="the document's key (null for a document without one)")
    title: str
    score: float = Field(description="BM25, a title word counting four times")
    snippet: str = Field(description="an extract of the document, plain text (empty without a document store)")
    highlights: list[tuple[int, int]] = Field(
        description="the [start, end) spans of the query's words in the snippet, in characters (code points)"
    )


class SearchBody(BaseModel):
    query: str
    terms: list[str] = Field(description="the query's scoring terms; a prefix ends with *")
    unknown_terms: list[str] = Field(description="terms no document holds")
    offset: int
    k: int
    hits: list[HitBody]
    more: bool = Field(description="whether hits follow this page")
    documents: int = Field(description="documents in the index")
    documents_stored: bool = Field(description="whether the index stores its documents (snippets, /api/documents)")
    seconds: float = Field(description="time taken to search and make the snippets")
    postings_decoded: int
    postings_scored: int
    chunks_decoded: int


class DocumentBody(BaseModel):
    id: int
    key: str | int | None = Field(description="the document's key (null for a document without one)")
    title: str
    content: str


class ErrorDetail(BaseModel):
    code: str = Field(description="bad_query, bad_parameter, not_found, index_unusable or internal")
    message: str
    column: int | None = Field(None, description="for bad_query: where the problem is, from 1")
    parameter: str | None = Field(None, description="for bad_parameter: which one")


class ErrorBody(BaseModel):
    error: ErrorDetail
