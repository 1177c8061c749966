"""The ASGI application: the pages, the API, their errors and their headers.

Errors under ``/api/`` are JSON, elsewhere a page.  What a handler does not
catch becomes 422 (a bad parameter), 404 (an unknown path: only the routes
below are served, never a file), 503 (an index that cannot be read; the
details go to the server's log) or 500, and never carries a traceback.
Every response forbids scripts and framing (Content-Security-Policy).
"""

from __future__ import annotations

import logging
import os
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager

import anyio.to_thread

from fastapi import FastAPI, Request
from fastapi.exceptions import RequestValidationError
from fastapi.responses import JSONResponse, Response
from starlette.datastructures import MutableHeaders
from starlette.exceptions import HTTPException
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from .. import IndexUnusableError, __version__
from . import api, pages
from .live import LiveIndex
from .payload import error_json

__all__ = ["create_app"]

log = logging.getLogger("minisearch.web")

#: Threads that run the handlers, and so the searches, side by side.  More would not answer
#: sooner on this many cores, only hold more memory at once (and more of the allocator's arenas).
THREADS = 2 * (os.cpu_count() or 1) + 2

HEADERS = {
    "Content-Security-Policy": "default-src 'none'; style-src 'self'; img-src 'self'; form-action 'self'; "
    "base-uri 'none'; frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
}

DESCRIPTION = """\
Search a minisearch index. Queries: words are ANDed; `OR` between words,
`-word` excludes, `word*` is a prefix. Errors are `{"error": {"code", "message", ...}}`
with status 400 (a malformed query, with its `column`), 404 (no such document), 422 (a bad
parameter) or 503 (the index cannot be read).
"""


def create_app(live: LiveIndex) -> FastAPI:
    """The application answering from ``live`` (which the caller opens and closes)."""
    app = FastAPI(
        title="minisearch", version=__version__, description=DESCRIPTION, docs_url=None, redoc_url=None,
        lifespan=_lifespan,
    )
    app.state.live = live
    app.include_router(api.router)
    app.include_router(pages.router)
    app.add_exception_handler(RequestValidationError, _bad_parameter)  # type: ignore[arg-type]
    app.add_exception_handler(HTTPException, _http_error)  # type: ignore[arg-type]
    app.add_exception_handler(IndexUnusableError, _unusable)  # type: ignore[arg-type]
    app.add_exception_handler(Exception, _internal)
    app.add_middleware(SecurityHeaders)
    return app


@asynccontextmanager
async def _lifespan(app: FastAPI) -> AsyncIterator[None]:
    anyio.to_thread.current_default_thread_limiter().total_tokens = THREADS
    yield


def _error(request: Request, status: int, code: str, message: str, **details: object) -> Response:
    if request.url.path.startswith("/api/"):
        return JSONResponse(error_json(code, message, **details), status_code=status)
    return pages.render(request, "error.html", status, title=message.capitalize(), message="", back="/")


async def _bad_parameter(request: Request, error: RequestValidationError) -> Response:
    first = error.errors()[0]
    name = str(first["loc"][-1]) if first.get("loc") else "request"
    return _error(request, 422, "bad_parameter", f"{name}: {first.get('msg', 'invalid')}", parameter=name)


async def _http_error(request: Request, error: HTTPException) -> Response:
    code = "not_found" if error.status_code == 404 else "bad_request"
    message = "not found" if error.status_code == 404 else str(error.detail).lower()
    return _error(request, error.status_code, code, message)


async def _unusable(request: Request, error: IndexUnusableError) -> Response:
    log.error("the index cannot be read: %s", error)
    return _error(request, 503, "index_unusable", "the index cannot be read; the server's log says why")


async def _internal(request: Request, error: Exception) -> Response:
    return _error(request, 500, "internal", "internal error; the server's log says more")


class SecurityHeaders:
    """Adds :data:`HEADERS` to every response."""

    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return

        async def send_with_headers(message: Message) -> None:
            if message["type"] == "http.response.start":
                headers = MutableHeaders(scope=message)
                for name, value in HEADERS.items():
                    headers.setdefault(name, value)
            await send(message)

        await self.app(scope, receive, send_with_headers)
