"""When to merge segments: a tiered policy over their sizes.

Each ``add`` appends a segment.  A segment's tier is the power of
:data:`MERGE_FACTOR` its document count reaches (1 to 3 documents: tier 0,
4 to 15: tier 1, ...).  Once :data:`MERGE_FACTOR` neighbouring segments share
a tier, they are merged into one segment of the next tier, and so on.  Only
neighbours are merged, so every segment keeps a run of consecutive document
ids.  As long as segments are added in sizes that do not grow, at most
``MERGE_FACTOR - 1`` segments share a tier, and an index of ``N`` documents
keeps at most ``(MERGE_FACTOR - 1) * (log(N) / log(MERGE_FACTOR) + 1)`` segments.
"""

from __future__ import annotations

from collections.abc import Sequence

__all__ = ["MERGE_FACTOR", "next_merge", "tier_of"]

#: Segments of one tier merged at once.
MERGE_FACTOR = 4


def tier_of(documents: int) -> int:
    """The tier of a segment of ``documents`` documents."""
    tier = 0
    while documents >= MERGE_FACTOR:
        documents //= MERGE_FACTOR
        tier += 1
    return tier


def next_merge(sizes: Sequence[int]) -> tuple[int, int] | None:
    """The first run of :data:`MERGE_FACTOR` neighbouring segments of one tier, as
    ``(start, stop)`` indexes into ``sizes`` (documents per segment, in order); None if none."""
    start = 0
    tiers = [tier_of(size) for size in sizes]
    for position in range(1, len(tiers) + 1):
        if position == len(tiers) or tiers[position] != tiers[start]:
            start = position
        elif position + 1 - start == MERGE_FACTOR:
            return start, position + 1
    return None
