"""``minisearch serve``: the application under uvicorn, until Ctrl-C."""

from __future__ import annotations

import os
import socket
import sys
from typing import TextIO

import uvicorn

from .app import create_app
from .live import LiveIndex

__all__ = ["ServeError", "serve"]


class ServeError(Exception):
    """The server cannot start (the address is taken, say)."""


def serve(index_dir: str | os.PathLike[str], host: str = "127.0.0.1", port: int = 8000,
          out: TextIO = sys.stdout) -> None:
    """Serve the index at ``index_dir`` on ``host:port`` (0: a free port) until interrupted.

    The index is opened before the socket is bound, so a missing or damaged one is reported
    at once (:class:`minisearch.IndexUnusableError`).  The address served is printed to ``out``.
    """
    live = LiveIndex(index_dir)
    try:
        listener = _listen(host, port)
        with listener:
            config = uvicorn.Config(
                create_app(live), log_level="warning", access_log=False, server_header=False,
                timeout_graceful_shutdown=5,
            )
            bound_host, bound_port = listener.getsockname()[:2]
            shown = f"[{bound_host}]" if ":" in bound_host else bound_host
            print(f"serving {os.fspath(index_dir)} at http://{shown}:{bound_port}/ (Ctrl-C stops)", file=out,
                  flush=True)
            uvicorn.Server(config).run(sockets=[listener])
    finally:
        live.close()


def _listen(host: str, port: int) -> socket.socket:
    try:
        family, kind, protocol, _, address = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)[0]
        listener = socket.socket(family, kind, protocol)
    except OSError as error:
        raise ServeError(f"cannot listen on {host}:{port}: {error.strerror or error}") from None
    try:
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(address)
        listener.listen(2048)
    except OSError as error:
        listener.close()
        raise ServeError(f"cannot listen on {host}:{port}: {error.strerror or error}") from None
    return listener
