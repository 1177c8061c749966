"""The options of a build, an ``add`` or a merge, as one validated value."""

from __future__ import annotations

from dataclasses import dataclass

from .executors import MAX_WORKERS
from .merge import DEFAULT_CHUNK_SIZE, DEFAULT_HEAD_SIZE
from .partitions import MAX_PARTITIONS, MIN_MEMORY

__all__ = ["DEFAULT_BLOCK_SIZE", "DEFAULT_PENDING_LIMIT", "MAX_BLOCK_SIZE", "BuildOptions"]

#: Documents per block: each block adds one list per term to every merge, so larger blocks make
#: fewer, longer lists to join.
DEFAULT_BLOCK_SIZE = 4000
#: Documents added and keys deleted by small commits that an index holds pending: a reader
#: indexes them when it opens the index, 4 to 7 ms per hundred on this machine.
DEFAULT_PENDING_LIMIT = 2000
#: The most documents a block may hold: the most an index holds.
MAX_BLOCK_SIZE = 2**31 - 1


@dataclass(frozen=True, kw_only=True)
class BuildOptions:
    """How to build: every field has a default, and a value out of range raises ``ValueError``.

    ``workers`` processes run the blocks and the partition merges (default: one per CPU; 0: the
    calling process), unless an executor is given.  At most ``max_pending`` blocks (default:
    twice the worker count, at least 2) are in flight at once, so that a large source is not read
    into memory ahead of the workers.  The index has ``partitions`` term partitions; by default
    as many as keep one partition's merge within ``memory`` bytes (see
    :mod:`minisearch.partitions`), and at least one per worker.  ``store_documents=False`` leaves
    out the document store (no snippets); ``head_size`` and ``chunk_size`` shape the impact tiers
    (see :mod:`minisearch.layout`).  An ``add`` or a merge follows the index's own partitions,
    tiers and store, whatever these say.
    """

    block_size: int = DEFAULT_BLOCK_SIZE
    workers: int | None = None
    max_pending: int | None = None
    memory: int | None = None
    partitions: int | None = None
    store_documents: bool = True
    head_size: int = DEFAULT_HEAD_SIZE
    chunk_size: int = DEFAULT_CHUNK_SIZE
    show_progress: bool = True
    positions: bool = True
    """Whether to keep each term's positions, which phrase queries need (a build only: an add
    follows its index)."""
    wait: float = 0.0
    """Seconds to wait for another writer of the index to finish before failing."""
    pending_limit: int = DEFAULT_PENDING_LIMIT
    """The most documents and keys a delete, upsert or sync may leave pending, logged in one
    file each and indexed by the readers (see :mod:`minisearch.pending`); 0: every change is
    written as segments and deletion sets at once."""

    def __post_init__(self) -> None:
        for name in ("block_size", "head_size", "chunk_size", "max_pending", "memory"):
            value = getattr(self, name)
            if value is not None and value < 1:
                raise ValueError(f"{name} must be at least 1")
        if not 0 <= self.pending_limit <= MAX_BLOCK_SIZE:
            raise ValueError(f"pending_limit must be between 0 and {MAX_BLOCK_SIZE}")
        if not 0.0 <= self.wait < float("inf"):
            raise ValueError("wait must be a finite number of seconds, at least 0")
        if self.block_size > MAX_BLOCK_SIZE:
            raise ValueError(f"block_size must be at most {MAX_BLOCK_SIZE}")
        if self.workers is not None and not 0 <= self.workers <= MAX_WORKERS:
            raise ValueError(f"workers must be between 0 and {MAX_WORKERS}")
        if self.memory is not None and self.memory < MIN_MEMORY:
            raise ValueError(f"memory must be at least {MIN_MEMORY >> 20} MiB: a merge's process alone holds about 25")
        if self.partitions is not None and not 1 <= self.partitions <= MAX_PARTITIONS:
            raise ValueError(f"partitions must be between 1 and {MAX_PARTITIONS}")
