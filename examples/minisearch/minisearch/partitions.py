"""Term partitions: which partition of an index holds a term, and how many partitions to use.

A term lives in partition ``crc32(term as UTF-8) % partitions``.  CRC-32 is
fixed by its standard, so every machine and every Python version routes a
term alike (Python's own ``hash`` of a string changes from run to run).

The partition count is chosen when an index is created, from a memory
budget: a partition's merge holds every posting of that partition, encoded,
then as the arrays handed to its one write, about
:data:`MERGE_BYTES_PER_SOURCE_BYTE` bytes of memory per byte of source text,
so the text is split into as many partitions as it takes to keep an average
partition within half the budget.  The other half is for the process itself,
its arrays of document lengths, and the uneven share of the partitions that
hold the most frequent words (a word's whole list is merged in one
partition).
"""

from __future__ import annotations

import math
import re
import zlib

__all__ = [
    "DEFAULT_MEMORY",
    "MAX_PARTITIONS",
    "MAX_SIZE",
    "MIN_MEMORY",
    "choose_partitions",
    "parse_size",
    "partition_of",
]

#: The most partitions an index may have.
MAX_PARTITIONS = 1024
#: The default memory budget of one partition's merge, in bytes.
DEFAULT_MEMORY = 512 * 2**20
#: The smallest budget: half of it is for the merge's process, which holds about 25 MiB (the
#: interpreter, quorbel and this package) before it reads a posting.
MIN_MEMORY = 64 * 2**20
#: The largest size :func:`parse_size` accepts (1 EiB).
MAX_SIZE = 2**60
#: Peak memory of a partition's merge per byte of the JSON Lines source it covers: measured at
#: 4.3 to 4.9 on a synthetic corpus with Zipf word frequencies, merged as one partition (24 to 27
#: bytes per posting, 5.6 source bytes per posting), with a margin.
MERGE_BYTES_PER_SOURCE_BYTE = 6

_SIZE = re.compile(r"(?i)\s*(\d+(?:\.\d+)?)\s*([kmgt]?)i?b?\s*")
_UNITS = {"": 1, "k": 2**10, "m": 2**20, "g": 2**30, "t": 2**40}


def partition_of(term: str, partitions: int) -> int:
    """The partition that holds ``term`` in an index of ``partitions`` partitions."""
    return zlib.crc32(term.encode("utf-8")) % partitions if partitions > 1 else 0


def choose_partitions(source_bytes: int | None, memory: int | None) -> int:
    """Partitions that keep each merge of ``source_bytes`` of text within ``memory`` bytes.

    Without a source size (a stream of unknown length) the index gets one partition; a source
    that would need more than :data:`MAX_PARTITIONS` gets that many, each merge then covering
    more than the budget.
    """
    if not source_bytes:
        return 1
    budget = memory if memory is not None else DEFAULT_MEMORY
    needed = math.ceil(source_bytes * MERGE_BYTES_PER_SOURCE_BYTE / (budget / 2))
    return max(1, min(MAX_PARTITIONS, needed))


def parse_size(text: str) -> int:
    """Bytes in a size such as ``512M``, ``2G``, ``1.5GiB`` or ``1000000``; raises ValueError."""
    match = _SIZE.fullmatch(text)
    if match is None:
        raise ValueError(f"not a size: {text[:40]!r} (say 512M or 2G)")
    number = float(match[1]) * _UNITS[match[2].lower()]
    if not number <= MAX_SIZE:  # also infinity, from more digits than a float holds
        raise ValueError(f"not a size: {text[:40]!r} (at most {MAX_SIZE >> 60}E)")
    value = int(number)
    if value < 1:
        raise ValueError(f"not a size: {text!r} (must be positive)")
    return value
