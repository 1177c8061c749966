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
import threading
from collections.abc import Callable, Iterator
from concurrent.futures import Executor, Future, ProcessPoolExecutor

__all__ = ["MAX_WORKERS", "InlineExecutor", "LocalPool", "default_workers", "local_executor"]

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


class LocalPool(Executor):
    """A ``ProcessPoolExecutor`` of ``workers`` made at the first task it is given: a writer that
    indexes a small source in its own process, or only deletes, makes no pool (its queues, locks
    and semaphores cost a commit of a few documents a few per cent)."""

    def __init__(self, workers: int) -> None:
        self.workers = workers
        self._pool: ProcessPoolExecutor | None = None
        self._lock = threading.Lock()

    def submit[**P, T](self, fn: Callable[P, T], /, *args: P.args, **kwargs: P.kwargs) -> Future[T]:
        with self._lock:
            if self._pool is None:
                self._pool = ProcessPoolExecutor(max_workers=self.workers)
            pool = self._pool
        return pool.submit(fn, *args, **kwargs)

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        with self._lock:
            pool = self._pool
        if pool is not None:
            pool.shutdown(wait=wait, cancel_futures=cancel_futures)


@contextlib.contextmanager
def local_executor(workers: int | None) -> Iterator[Executor]:
    """A process pool of ``workers`` (default: one per CPU), or the calling process for 0."""
    if workers == 0:
        yield InlineExecutor()
        return
    pool = LocalPool(workers or default_workers())
    try:
        yield pool
    finally:
        pool.shutdown(wait=True, cancel_futures=True)
