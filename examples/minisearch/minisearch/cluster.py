"""Builds on a Dask cluster: an executor over a ``dask.distributed`` client.

:func:`open_executor` gives the executor a build runs on: the local process
pool, the workers of a running Dask scheduler (``--scheduler ADDR``), or a
``LocalCluster`` of worker processes started for the build and shut down
after it (``--dask-local N``).  ``distributed`` is optional and imported
only when a cluster is asked for.

The workers of a cluster import ``minisearch`` and ``quorbel`` to run the
tasks, and write their files into the index directory, which must be on
storage shared with the caller.  A worker that dies is replaced by the
scheduler, which runs its tasks again elsewhere: every task writes its
files whole from its arguments alone, so a second run gives the same bytes.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextlib
import functools
import importlib
import os
import secrets
import socket
import time
from collections.abc import Callable, Iterator
from concurrent.futures import CancelledError, Executor, Future
from pathlib import Path
from typing import Any

from .durability import BUILD_PREFIX
from .errors import ClusterError
from .executors import local_executor

__all__ = [
    "CONNECT_TIMEOUT",
    "WORKER_TIMEOUT",
    "ClusterError",
    "DaskExecutor",
    "check_shared_directory",
    "check_workers",
    "dask_executor",
    "explain_failure",
    "open_executor",
    "source_executor",
    "worker_count",
]

#: Seconds to wait for a scheduler to answer.
CONNECT_TIMEOUT = 5.0
#: Seconds to wait for a scheduler without workers to get one.
WORKER_TIMEOUT = 30.0
#: Packages every worker must be able to import.
REQUIRED_PACKAGES = ("quorbel", "minisearch")
INSTALL_HINT = "install quorbel and minisearch on every worker"


#: Messages a Dask process keeps for debugging (Dask's default is 1,000).
MESSAGE_LOG_LENGTH = 16



def _import_distributed() -> Any:
    try:
        # Imported by name: distributed is optional.
        return importlib.import_module("distributed")
    except ImportError as error:
        raise ClusterError(
            f"building on a Dask cluster needs dask.distributed ({error}); "
            "install it with: pip install 'minisearch[dask]'"
        ) from None


class DaskExecutor(Executor):
    """Runs each call as one task of a ``distributed.Client`` (``pure=False``).

    ``submit`` returns a ``concurrent.futures.Future``, so the build waits on
    it and drives its progress bars as with a process pool.  A task that
    killed its workers, or that the cluster cancelled, fails with a
    :class:`ClusterError` that says so.  (A worker that cannot import this
    package cannot even load a task: :func:`check_workers` finds it first.)
    """

    def __init__(self, client: Any) -> None:
        self.client = client

    @property
    def workers(self) -> int:
        """Threads across the cluster's workers now (at least 1)."""
        threads: dict[str, int] = self.client.nthreads()
        return max(1, sum(threads.values()))

    def submit[**P, T](self, fn: Callable[P, T], /, *args: P.args, **kwargs: P.kwargs) -> Future[T]:
        # Keyword arguments are bound first: Client.submit has keywords of its own.
        call = functools.partial(fn, **kwargs) if kwargs else fn
        task = self.client.submit(call, *args, pure=False)
        future: Future[T] = Future()
        # This callback also holds the Dask future, without which the cluster forgets the task.
        future.add_done_callback(functools.partial(_cancel_task, task))
        task.add_done_callback(functools.partial(_deliver, future, _task_name(fn)))
        return future


def _task_name(fn: Callable[..., object]) -> str:
    return getattr(fn, "__qualname__", None) or repr(fn)


def _cancel_task(task: Any, future: Future[Any]) -> None:
    if future.cancelled():
        task.cancel()


def _deliver(future: Future[Any], name: str, task: Any) -> None:
    """Hand a finished task's outcome to ``future`` (runs on the client's callback thread).

    The task is released then: the cluster forgets its result, so that a
    worker dying later does not run it again (rewriting files a later task
    reads) and the workers do not keep every result of the build."""
    try:
        if not future.set_running_or_notify_cancel():
            return  # the caller cancelled it
        try:
            value = task.result()  # waits again if the result was lost with its worker and is recomputed
        except CancelledError:
            future.set_exception(ClusterError(f"the Dask cluster cancelled task {name} (was the scheduler lost?)"))
        except BaseException as error:  # noqa: BLE001  (delivered through the future, as a pool would)
            future.set_exception(explain_failure(error, name))
        else:
            future.set_result(value)
    finally:
        task.release()


def explain_failure(error: BaseException, name: str) -> BaseException:
    """A :class:`ClusterError` for a task given up because its workers died; ``error`` as it is otherwise."""
    if type(error).__name__ == "KilledWorker":
        return ClusterError(f"Dask gave task {name} up after its workers died: {error}")
    return error


def _missing_package(error: BaseException | None) -> str | None:
    """The required package an import failure (or its causes) could not load, if any."""
    seen = 0
    while error is not None and seen < 10:
        if isinstance(error, ImportError):
            name = error.name or ""
            for package in REQUIRED_PACKAGES:
                if name == package or name.startswith(package + ".") or repr(package) in str(error):
                    return package
        error, seen = error.__cause__ or error.__context__, seen + 1
    return None


@contextlib.contextmanager
def dask_executor(
    scheduler: str | None = None,
    local_workers: int | None = None,
    *,
    connect_timeout: float | None = None,
    worker_timeout: float | None = None,
) -> Iterator[DaskExecutor]:
    """An executor on the scheduler at ``scheduler``, or on a ``LocalCluster`` of
    ``local_workers`` single-threaded worker processes started here and shut
    down on leaving.  Raises :class:`ClusterError` when the scheduler cannot
    be reached within ``connect_timeout`` seconds or gets no worker within
    ``worker_timeout`` seconds (default: :data:`CONNECT_TIMEOUT`,
    :data:`WORKER_TIMEOUT`), or when a worker lacks quorbel or this package."""
    if (scheduler is None) == (local_workers is None):
        raise ValueError("give either a scheduler address or a number of local workers")
    distributed = _import_distributed()
    with contextlib.ExitStack() as stack:
        # Dask keeps its last messages for debugging, up to a thousand: with a block of documents
        # in each, the client's scheduler and the workers would hold hundreds of blocks.
        dask_config = importlib.import_module("dask.config")  # present wherever distributed is
        stack.enter_context(dask_config.set({"distributed.admin.low-level-log-length": MESSAGE_LOG_LENGTH}))
        if scheduler is None:
            cluster = distributed.LocalCluster(
                n_workers=local_workers, threads_per_worker=1, processes=True, dashboard_address=":0"
            )
            stack.enter_context(cluster)
            client = stack.enter_context(distributed.Client(cluster, set_as_default=False))
        else:
            client = stack.enter_context(_connect(distributed, scheduler, connect_timeout or CONNECT_TIMEOUT))
            _wait_for_a_worker(client, scheduler, worker_timeout or WORKER_TIMEOUT)
        check_workers(client)
        yield DaskExecutor(client)


def _connect(distributed: Any, address: str, timeout: float) -> Any:
    try:
        scheme, _ = distributed.comm.parse_address(address)
        host, port = distributed.comm.get_address_host_port(address)
    except (ValueError, TypeError) as error:
        raise ClusterError(f"{address!r} is not a Dask scheduler address ({error})") from None
    deadline = time.monotonic() + timeout
    try:
        if scheme in ("tcp", "tls"):
            # A refused connection fails at once here, and leaves no client behind.
            socket.create_connection((host, port), timeout=timeout).close()
        _ask_identity(distributed, address, max(deadline - time.monotonic(), 0.0))
        return distributed.Client(address, timeout=max(deadline - time.monotonic(), 0.1), set_as_default=False)
    except (OSError, TimeoutError) as error:
        raise ClusterError(
            f"cannot reach the Dask scheduler at {address} within {timeout:g} s ({str(error) or 'no answer'}); "
            f"is it running? (start it with: dask scheduler)"
        ) from None


def _ask_identity(distributed: Any, address: str, timeout: float) -> None:
    """Shake hands with ``address`` and ask who it is, all within ``timeout`` seconds.

    ``Client`` limits only the connection itself: a listener that accepts and
    then stays silent would hold it for ever.  The exchange runs on an event
    loop of its own, on a thread of its own, so that a caller already inside
    an event loop can use it too."""

    async def exchange() -> object:
        comm = await distributed.comm.connect(address, timeout=timeout)
        try:
            await comm.write({"op": "identity", "reply": True})
            return await comm.read()
        finally:
            comm.abort()

    with concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="minisearch-handshake") as thread:
        answer = thread.submit(asyncio.run, asyncio.wait_for(exchange(), timeout))
        try:
            identity = answer.result()
        except (OSError, TimeoutError):
            raise
        except Exception as error:  # noqa: BLE001  (whatever a stranger's bytes make the decoder raise)
            raise ClusterError(_not_a_scheduler(address, f"{type(error).__name__}: {error}")) from None
    if not isinstance(identity, dict) or identity.get("type") != "Scheduler":
        raise ClusterError(_not_a_scheduler(address, f"it says {str(identity)[:80]!r}"))


def _not_a_scheduler(address: str, detail: str) -> str:
    return (
        f"the listener at {address} does not answer as a Dask scheduler ({detail}); "
        "a scheduler listens on tcp://HOST:8786 by default"
    )


def _wait_for_a_worker(client: Any, address: str, timeout: float) -> None:
    try:
        client.wait_for_workers(1, timeout=timeout)
    except (TimeoutError, OSError) as error:
        raise ClusterError(
            f"the Dask scheduler at {address} has had no worker for {timeout:g} s ({error}); "
            f"start workers with: dask worker {address} --nthreads 1"
        ) from None


#: Run by every worker before the build.  Executed from source, since a worker
#: without this package could not load a function of it.
_IMPORT_CHECK = "import quorbel, minisearch.blocks"


def check_workers(client: Any) -> None:
    """Raise :class:`ClusterError` naming the first worker of ``client``'s
    cluster that cannot import quorbel and this package."""
    outcomes = client.run(functools.partial(exec, _IMPORT_CHECK, {}), on_error="return")
    for worker, outcome in sorted(outcomes.items()):
        if isinstance(outcome, BaseException):
            missing = _missing_package(outcome) or "its packages"
            raise ClusterError(f"Dask worker {worker} cannot import {missing} ({outcome}); {INSTALL_HINT}")


def check_shared_directory(client: Any, directory: str | os.PathLike[str]) -> None:
    """Raise :class:`ClusterError` naming the first worker of ``client``'s cluster
    that does not see ``directory`` (for one not made yet: the nearest
    directory above it) at the same path as the caller."""
    existing = Path(directory).absolute()
    while not existing.is_dir() and existing != existing.parent:
        existing = existing.parent
    # Named like a build directory, which an index directory may hold and a later build removes.
    probe = existing / f"{BUILD_PREFIX}probe-{secrets.token_hex(8)}"
    try:
        probe.mkdir()
    except OSError:
        return  # not writable here: the build says so itself
    try:
        seen = client.run(os.path.isdir, str(probe), on_error="return")
    finally:
        probe.rmdir()
    blind = sorted(worker for worker, found in seen.items() if found is not True)
    if blind:
        raise ClusterError(
            f"Dask worker {blind[0]} does not see {existing}: the index directory must be on storage "
            "shared by this machine and every worker, at the same path"
        )


@contextlib.contextmanager
def open_executor(
    workers: int | None = None,
    scheduler: str | None = None,
    dask_local: int | None = None,
    shared_dir: str | os.PathLike[str] | None = None,
) -> Iterator[Executor]:
    """The executor of a build: a Dask cluster's when ``scheduler`` or
    ``dask_local`` is given, else the local pool of ``workers`` processes.
    The workers of a cluster are checked to see ``shared_dir``, if given."""
    if scheduler is None and dask_local is None:
        with local_executor(workers) as pool:
            yield pool
    else:
        if workers is not None:
            raise ValueError("workers is for the local pool; a Dask cluster has its own")
        with dask_executor(scheduler, dask_local) as executor:
            if shared_dir is not None:
                check_shared_directory(executor.client, shared_dir)
            yield executor


def worker_count(executor: Executor, workers: int | None) -> int | None:
    """The workers to keep busy: a cluster's threads, else ``workers``."""
    return executor.workers if isinstance(executor, DaskExecutor) else workers


def source_executor(executor: Executor) -> Executor | None:
    """The executor that may read a corpus's files: not a cluster's, whose
    workers may not see the caller's files (the caller reads them itself)."""
    return None if isinstance(executor, DaskExecutor) else executor
