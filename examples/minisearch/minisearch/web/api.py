"""The JSON API: ``GET /api/search``, ``GET /api/documents/{id}`` and ``GET /api/documents?key=``.

The handlers are plain functions, so the framework runs them on its thread
pool: a search never blocks the event loop, and searches run side by side.
Errors are JSON (:func:`minisearch.web.payload.error_json`) with the status
that says what went wrong; :mod:`minisearch.web.app` handles those that a
handler does not.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Annotated, Any

from fastapi import APIRouter, Path, Query, Request
from fastapi.responses import JSONResponse

from .. import Index, QuerySyntaxError
from .live import LiveIndex
from .payload import (
    MAX_K,
    MAX_OFFSET,
    MAX_QUERY_LENGTH,
    PAGE_SIZE,
    DocumentNotFound,
    document_by_key_json,
    document_json,
    error_json,
    query_error_json,
    search_page,
)
from .schema import DocumentBody, ErrorBody, SearchBody

__all__ = ["router"]

router = APIRouter(prefix="/api", tags=["search"])

_ERRORS: dict[int | str, dict[str, Any]] = {
    422: {"model": ErrorBody, "description": "a parameter is missing or out of bounds"},
    503: {"model": ErrorBody, "description": "the index cannot be read"},
}


def live_index(request: Request) -> LiveIndex:
    live: LiveIndex = request.app.state.live
    return live


@router.get(
    "/search",
    response_model=SearchBody,
    responses={400: {"model": ErrorBody, "description": "a malformed query"}, **_ERRORS},
    summary="The best documents for a query",
)
def api_search(
    request: Request,
    q: Annotated[
        str,
        Query(
            max_length=MAX_QUERY_LENGTH,
            description="words are ANDed; OR between words, -word excludes, word* is a prefix",
        ),
    ],
    k: Annotated[int, Query(ge=1, le=MAX_K, description="hits to return")] = PAGE_SIZE,
    offset: Annotated[int, Query(ge=0, le=MAX_OFFSET, description="hits to skip")] = 0,
) -> JSONResponse:
    """Hits ranked ``offset + 1`` to ``offset + k`` by BM25, each with a snippet of its document."""
    with live_index(request).use() as index:
        try:
            page = search_page(index, q, k, offset)
        except QuerySyntaxError as error:
            return JSONResponse(query_error_json(error), status_code=400)
    return JSONResponse(page.to_json())


@router.get(
    "/documents/{doc_id}",
    response_model=DocumentBody,
    responses={404: {"model": ErrorBody, "description": "no such document, or no document store"}, **_ERRORS},
    summary="A stored document",
)
def api_document(request: Request, doc_id: Annotated[int, Path(ge=0, description="the document's id")]) -> JSONResponse:
    """The title and whole text of a document, by the id a search returned."""
    return _document(request, lambda index: document_json(index, doc_id))


@router.get(
    "/documents",
    response_model=DocumentBody,
    responses={404: {"model": ErrorBody, "description": "no such key, or no document store"}, **_ERRORS},
    summary="A stored document, by its key",
)
def api_document_by_key(
    request: Request,
    key: Annotated[
        str,
        Query(
            min_length=1,
            max_length=MAX_QUERY_LENGTH,
            description="the document's key; digits also find a document keyed by that integer",
        ),
    ],
) -> JSONResponse:
    """The title and whole text of a document, by the key its source gave it."""
    return _document(request, lambda index: document_by_key_json(index, key))


def _document(request: Request, body_of: Callable[[Index], dict[str, Any]]) -> JSONResponse:
    """A stored document's JSON, or 404 when ``body_of`` finds none."""
    with live_index(request).use() as index:
        try:
            body = body_of(index)
        except DocumentNotFound as error:
            return JSONResponse(error_json("not_found", str(error)), status_code=404)
    return JSONResponse(body)
