"""Seeded, realistic workloads for the benchmark suite.

Posting lists look like those of a real inverted index: their lengths follow a Zipf law between 1
and 1,000,000 postings, doc ids are sorted and spread over ~10M documents, content frequencies
are small and skewed (mostly 1 or 2) and title frequencies are mostly 0. Every generator takes a
`scale` (1.0 for the full suite, smaller for --quick) and a seed, so two runs see the same data.
"""

from __future__ import annotations

import io
import random
import string
from dataclasses import dataclass, field

import numpy as np

import quorbel

DOC_ID_SPACE = 10_000_000
MAX_LIST_LENGTH = 1_000_000
SEED = 20240605


@dataclass
class PostingWorkload:
    """Posting lists in doc-id order, as an indexer accumulates them."""

    name: str
    lists: list[list[tuple[int, int, int]]]
    description: str
    postings: int = field(init=False)

    def __post_init__(self) -> None:
        self.postings = sum(len(p) for p in self.lists)


def posting_list(rng: np.random.Generator, length: int) -> list[tuple[int, int, int]]:
    """`length` postings with sorted, distinct doc ids below ~10M and skewed small frequencies."""
    # Gaps with mean DOC_ID_SPACE / length keep the list sorted and spread over the id space.
    gaps = rng.geometric(min(1.0, length / DOC_ID_SPACE), size=length)
    doc_ids = np.cumsum(gaps) - 1
    content = np.minimum(rng.geometric(0.55, size=length), 60)  # 1 (55%), 2 (25%), ... rarely 20+
    has_title = rng.random(length) < 0.08
    title = np.where(has_title, rng.geometric(0.7, size=length), 0)
    content = np.where(has_title & (rng.random(length) < 0.3), 0, content)  # title-only hits
    return list(zip(doc_ids.tolist(), content.tolist(), title.tolist()))


def zipf_lengths(rng: np.random.Generator, count: int, exponent: float) -> list[int]:
    """`count` list lengths from a Zipf law on 1..MAX_LIST_LENGTH."""
    lengths = rng.zipf(exponent, size=count)
    return np.minimum(lengths, MAX_LIST_LENGTH).tolist()


def posting_workloads(scale: float) -> list[PostingWorkload]:
    rng = np.random.default_rng(SEED)
    tiny_count = max(1000, int(20_000 * scale))
    tiny = [posting_list(rng, int(n)) for n in rng.integers(1, 9, size=tiny_count)]
    zipf_count = max(300, int(3_000 * scale))
    zipf = [posting_list(rng, n) for n in zipf_lengths(rng, zipf_count, 1.7)]
    huge_length = max(100_000, int(1_000_000 * scale))
    huge = [posting_list(rng, huge_length)]
    return [
        PostingWorkload("tiny", tiny, f"{tiny_count} lists of 1-8 postings"),
        PostingWorkload(
            "zipf",
            zipf,
            f"{zipf_count} lists, Zipf(1.7) lengths 1..{max(map(len, zipf))}",
        ),
        PostingWorkload("huge", huge, f"one list of {huge_length} postings"),
    ]


def merge_inputs(workload: PostingWorkload, parts: int = 4) -> list[list[bytes]]:
    """Each list cut into `parts` doc-id ranges (as if from `parts` blocks), each encoded in doc
    order with assume_sorted=True; one merge call per original list."""
    calls = []
    for postings in workload.lists:
        bounds = [len(postings) * k // parts for k in range(parts + 1)]
        pieces = [postings[a:b] for a, b in zip(bounds, bounds[1:]) if b > a]
        calls.append([quorbel.encode_posting_list(p, assume_sorted=True) for p in pieces])
    return calls


# --------------------------------------------------------------------------------------------
# Block files


@dataclass
class BlockWorkload:
    terms: list[str]
    doc_freqs: list[tuple[int, int]]
    postings: list[list[tuple[int, int, int]]]
    total_postings: int


def random_terms(rng: random.Random, count: int) -> list[str]:
    """`count` distinct sorted words of 2 to 14 letters, a few with non-ASCII letters."""
    letters = string.ascii_lowercase
    accented = "éèàüöçñ"
    terms: set[str] = set()
    while len(terms) < count:
        length = rng.randint(2, 14)
        word = "".join(rng.choice(letters) for _ in range(length))
        if rng.random() < 0.03:
            word += rng.choice(accented)
        terms.add(word)
    return sorted(terms)


def block_workload(scale: float) -> BlockWorkload:
    count = max(5_000, int(50_000 * scale))
    rng = np.random.default_rng(SEED + 1)
    lengths = zipf_lengths(rng, count, 1.9)
    # Cap the total so the Python-side input stays a few hundred megabytes at most.
    cap = max(20_000, int(200_000 * scale))
    lengths = [min(n, cap) for n in lengths]
    postings = [posting_list(rng, n) for n in lengths]
    terms = random_terms(random.Random(SEED + 2), count)
    doc_freqs = [(sum(1 for p in lst if p[1] > 0), sum(1 for p in lst if p[2] > 0)) for lst in postings]
    return BlockWorkload(terms, doc_freqs, postings, sum(lengths))


def entry_offsets(path: str) -> list[int]:
    """The offset of every entry, by walking the file once with read_term_at_offset."""
    offsets = []
    offset = 8
    while (entry := quorbel.read_term_at_offset(path, offset)) is not None:
        offsets.append(offset)
        offset = entry[4]
    return offsets


# --------------------------------------------------------------------------------------------
# Varints


def varint_values(scale: float) -> list[int]:
    """Integers whose varints are mostly one or two bytes long, with a tail up to five bytes."""
    rng = np.random.default_rng(SEED + 3)
    count = max(20_000, int(100_000 * scale))
    bits = np.minimum(rng.geometric(0.18, size=count), 34)
    return [int(rng.integers(0, 1 << b)) for b in bits.tolist()]


def varint_stream(values: list[int]) -> bytes:
    return b"".join(quorbel.encode_varint(v) for v in values)


def bytes_io(data: bytes) -> io.BytesIO:
    return io.BytesIO(data)
