"""The values of the command line's options: whole numbers within bounds, and sizes.

Each converter raises ``argparse.ArgumentTypeError`` with the reason, which
``argparse`` prints after the option's name; a number too large for what it
counts is refused here rather than overflowing deep inside a build.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable

from .executors import MAX_WORKERS
from .options import MAX_BLOCK_SIZE
from .partitions import MAX_PARTITIONS, MIN_MEMORY, parse_size

__all__ = [
    "block_size",
    "cluster_workers",
    "document_count",
    "integer",
    "memory_budget",
    "partition_count",
    "results",
    "worker_count",
]


def integer(least: int, most: int) -> Callable[[str], int]:
    """A converter of a whole number from ``least`` to ``most``."""

    def convert(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text[:40]!r}") from None
        if value < least:
            raise argparse.ArgumentTypeError("must not be negative" if least == 0 else f"must be at least {least}")
        if value > most:
            raise argparse.ArgumentTypeError(f"at most {most:,}")
        return value

    return convert


block_size = integer(1, MAX_BLOCK_SIZE)
document_count = integer(0, MAX_BLOCK_SIZE)
partition_count = integer(1, MAX_PARTITIONS)
worker_count = integer(0, MAX_WORKERS)
cluster_workers = integer(1, MAX_WORKERS)
results = integer(0, sys.maxsize)


def memory_budget(text: str) -> int:
    """A memory budget of one merge: a size of at least :data:`MIN_MEMORY`."""
    try:
        value = parse_size(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    if value < MIN_MEMORY:
        raise argparse.ArgumentTypeError(
            f"at least {MIN_MEMORY >> 20}M: half the budget is for the merge's process, "
            "which holds about 25 MiB before it reads a posting"
        )
    return value
