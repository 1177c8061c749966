"""The search page (``/?q=...&offset=...``) and a document's page (``/documents/{id}``).

Plain HTML from Jinja2 templates, every value escaped: no script, so the
pages work without JavaScript.  A malformed query or an out-of-bounds
parameter is shown beside the query box rather than as an error page.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from importlib.resources import files
from typing import Any
from urllib.parse import urlencode

from fastapi import APIRouter, Request
from fastapi.responses import HTMLResponse, Response
from fastapi.templating import Jinja2Templates
from jinja2 import Environment, PackageLoader

from .. import QuerySyntaxError
from .api import live_index
from .payload import MAX_OFFSET, MAX_QUERY_LENGTH, PAGE_SIZE, DocumentNotFound, ResultPage, document_json, search_page

__all__ = ["render", "router"]

router = APIRouter(include_in_schema=False)

_environment = Environment(loader=PackageLoader("minisearch.web", "templates"), autoescape=True)
_environment.filters["thousands"] = lambda number: f"{number:,}"
templates = Jinja2Templates(env=_environment)
STYLE = (files("minisearch.web") / "static" / "style.css").read_bytes()
_DOCUMENT_ID = re.compile(r"[0-9]{1,18}")
_OFFSET = re.compile(r"[0-9]{1,5}")


def render(request: Request, name: str, status: int = 200, **context: Any) -> HTMLResponse:
    return templates.TemplateResponse(request, name, context, status_code=status)


@dataclass(frozen=True)
class QueryProblem:
    """Why a query got no results: the message, and the column it points at (from 1)."""

    message: str
    status: int
    column: int | None = None

    def marked(self, query: str) -> tuple[str, str, str]:
        """The query cut around the column: before, at (a space past the end), after."""
        at = (self.column or 1) - 1
        return query[:at], query[at : at + 1] or " ", query[at + 1 :]


@router.get("/static/style.css")
def style() -> Response:
    return Response(STYLE, media_type="text/css")


@router.get("/", response_class=HTMLResponse)
def search(request: Request, q: str = "", offset: str = "0") -> HTMLResponse:
    page: ResultPage | None = None
    problem = _check(q, offset)
    with live_index(request).use() as index:
        if problem is None and q.strip():
            try:
                page = search_page(index, q, PAGE_SIZE, int(offset))
            except QuerySyntaxError as error:
                problem = QueryProblem(str(error), 400, error.column)
        return render(
            request, "search.html", problem.status if problem else 200,
            query=q, page=page, problem=problem, documents=index.documents, stored=index.has_documents,
            marked=problem.marked(q) if problem and problem.column else None,
            previous=_link(q, max(0, int(offset) - PAGE_SIZE)) if page and page.offset else None,
            more=_link(q, page.offset + PAGE_SIZE) if page and page.more and page.offset + PAGE_SIZE <= MAX_OFFSET else None,
            document_query=urlencode({"q": q}),
        )


def _check(query: str, offset: str) -> QueryProblem | None:
    if len(query) > MAX_QUERY_LENGTH:
        return QueryProblem(f"the query is longer than {MAX_QUERY_LENGTH:,} characters", 422)
    if not (_OFFSET.fullmatch(offset) and int(offset) <= MAX_OFFSET):
        return QueryProblem(f"offset must be a whole number from 0 to {MAX_OFFSET:,}", 422)
    return None


def _link(query: str, offset: int) -> str:
    return "/?" + urlencode({"q": query, "offset": offset} if offset else {"q": query})


@router.get("/documents/{doc_id}", response_class=HTMLResponse)
def document(request: Request, doc_id: str, q: str = "") -> HTMLResponse:
    back = _link(q[:MAX_QUERY_LENGTH], 0) if q else "/"
    with live_index(request).use() as index:
        try:
            if not _DOCUMENT_ID.fullmatch(doc_id):
                raise DocumentNotFound(f"no document {doc_id!r}: a document's id is a number")
            body = document_json(index, int(doc_id))
        except DocumentNotFound as error:
            return render(request, "error.html", 404, title="No such document", message=str(error), back=back)
    return render(request, "document.html", document=body, back=back)
