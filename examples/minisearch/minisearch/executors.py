"""Executors that run the block workers.

Any ``concurrent.futures.Executor`` can build blocks: a
``ProcessPoolExecutor`` (the default, one worker per CPU), the
:class:`InlineExecutor` (everything in the calling process), or the
executor of a cluster client.  The workers must be able to import
``minisearch`` and ``quorbel``, and a remote worker must share the index
directory with the caller, because each worker writes its block there.
"""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable, Iterator
from concurrent.futures import Executor, Future, ProcessPoolExecutor

__all__ = ["MAX_WORKERS", "InlineExecutor", "default_workers", "local_executor"]

#: The most worker processes a build may ask for.
MAX_WORKERS = 1024


class InlineExecutor(Executor):
    """Runs each submitted call at once in the calling thread (``--workers 0``).

    Useful for debugging and profiling a build without worker processes.
    """

    def submit[**P, T](self, fn: Callable[P, T], /, *args: P.args, **kwargs: P.kwargs) -> Future[T]:
        future: Future[T] = Future()
        try:
            future.set_result(fn(*args, **kwargs))
        except Exception as error:  # delivered through the future, as a pool would
            future.set_exception(error)
        return future


def default_workers() -> int:
    """One worker per CPU this process may run on."""
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


@contextlib.contextmanager
def local_executor(workers: int | None) -> Iterator[Executor]:
    """A process pool of ``workers`` (default: one per CPU), or the calling process for 0."""
    if workers == 0:
        yield InlineExecutor()
        return
    pool = ProcessPoolExecutor(max_workers=workers or default_workers())
    try:
        yield pool
    finally:
        pool.shutdown(wait=True, cancel_futures=True)
