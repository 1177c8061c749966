"""A small HTTP/1.1 load generator for a server on this machine: concurrent keep-alive clients,
each sending GET requests one after another, for a bounded time and a bounded count.

Only loopback addresses are accepted. Every answer is read whole (by Content-Length); a status
other than 200, a dropped connection or a malformed answer counts as an error (a dropped
connection is opened again).
"""

from __future__ import annotations

import asyncio
import ipaddress
import itertools
import time
from collections.abc import Sequence
from dataclasses import dataclass, field

__all__ = ["LoadResult", "run_load"]


@dataclass
class LoadResult:
    """What the clients saw: one latency per answered request, in seconds."""

    seconds: float = 0.0
    latencies: list[float] = field(default_factory=list)
    errors: int = 0
    statuses: dict[int, int] = field(default_factory=dict)

    @property
    def requests(self) -> int:
        return len(self.latencies)


def run_load(host: str, port: int, paths: Sequence[str], clients: int, seconds: float,
             max_requests: int = 5_000_000) -> LoadResult:
    """``clients`` connections cycle through ``paths`` (each from its own starting point) until
    ``seconds`` pass or ``max_requests`` have been sent in all."""
    if not ipaddress.ip_address(host).is_loopback:
        raise ValueError(f"{host} is not a loopback address")
    return asyncio.run(_run(host, port, paths, clients, seconds, max_requests))


async def _run(host: str, port: int, paths: Sequence[str], clients: int, seconds: float,
               max_requests: int) -> LoadResult:
    result = LoadResult()
    budget = itertools.count()
    started = time.perf_counter()
    deadline = started + seconds
    starts = [len(paths) * number // clients for number in range(clients)]
    await asyncio.gather(*(
        _client(host, port, [*paths[start:], *paths[:start]], deadline, budget, max_requests, result)
        for start in starts
    ))
    result.seconds = time.perf_counter() - started
    return result


async def _client(host: str, port: int, paths: list[str], deadline: float, budget: itertools.count[int],
                  max_requests: int, result: LoadResult) -> None:
    connection: tuple[asyncio.StreamReader, asyncio.StreamWriter] | None = None
    try:
        for path in itertools.cycle(paths):
            if time.perf_counter() >= deadline or next(budget) >= max_requests:
                return
            if connection is None:
                connection = await asyncio.open_connection(host, port)
            sent = time.perf_counter()
            try:
                status = await _get(*connection, host, path)
            except (OSError, asyncio.IncompleteReadError, ValueError):
                result.errors += 1
                connection[1].close()
                connection = None
                continue
            result.latencies.append(time.perf_counter() - sent)
            result.statuses[status] = result.statuses.get(status, 0) + 1
            if status != 200:
                result.errors += 1
    finally:
        if connection is not None:
            connection[1].close()


async def _get(reader: asyncio.StreamReader, writer: asyncio.StreamWriter, host: str, path: str) -> int:
    """Send one request and read its whole answer; return the status."""
    writer.write(f"GET {path} HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
    await writer.drain()
    status = int((await reader.readline()).split()[1])
    length = None
    while (line := await reader.readline()) not in (b"\r\n", b""):
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    if length is None:
        raise ValueError("an answer without Content-Length")
    await reader.readexactly(length)
    return status
