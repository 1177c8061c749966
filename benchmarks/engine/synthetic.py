"""A seeded synthetic corpus with Zipf word frequencies, for benchmarking search engines.

The vocabulary is made of distinct pseudo-words of lowercase ASCII letters; shorter words take
the frequent ranks, as in natural text. Word ranks follow a Zipf law (the word of rank r, from 1,
is drawn with probability proportional to 1 / r**ZIPF_EXPONENT). Titles hold 2 to 10 words; body
lengths are lognormal around a median of BODY_MEDIAN_WORDS words.

Words are drawn in bulk, one ``random.choices`` call per chunk of documents, so that a million
documents take seconds per hundred thousand rather than minutes, and memory stays bounded by the
chunk. The corpus depends only on ``n_docs`` and ``seed`` (for a given Python version): the first
documents of a larger corpus are not those of a smaller one, because every length is drawn first.

    python benchmarks/engine/synthetic.py 200000     # prints the time taken and a sample
"""

from __future__ import annotations

import itertools
import math
import random
import string
import sys
import time
from collections.abc import Iterator
from pathlib import Path

sys.path.append(str(Path(__file__).resolve().parents[2] / "examples" / "minisearch"))

from minisearch import Document  # noqa: E402

__all__ = ["DEFAULT_SEED", "synthetic_corpus", "vocabulary", "zipf_cum_weights"]

DEFAULT_SEED = 20_261_208
VOCABULARY_SIZE = 80_000
ZIPF_EXPONENT = 1.07
TITLE_WORDS = (2, 10)
BODY_MEDIAN_WORDS = 80
BODY_SIGMA = 0.6
MAX_BODY_WORDS = 2_000
CHUNK_DOCUMENTS = 20_000
#: Words that query languages read as operators; never part of the vocabulary.
RESERVED_WORDS = frozenset({"and", "or", "not", "near"})


def vocabulary(rng: random.Random, size: int = VOCABULARY_SIZE) -> list[str]:
    """Return ``size`` distinct pseudo-words, shortest first (the order of their Zipf ranks)."""
    words: set[str] = set()
    letters = string.ascii_lowercase
    while len(words) < size:
        length = min(14, 2 + int(rng.expovariate(1 / 5)))
        word = "".join(rng.choices(letters, k=length))
        if word not in RESERVED_WORDS:
            words.add(word)
    return sorted(words, key=lambda w: (len(w), w))


def zipf_cum_weights(size: int, exponent: float = ZIPF_EXPONENT) -> list[float]:
    """Return the cumulative Zipf weights of ranks 1..size, for ``random.choices``."""
    return list(itertools.accumulate(1.0 / math.pow(rank, exponent) for rank in range(1, size + 1)))


def _lengths(rng: random.Random, n_docs: int) -> tuple[list[int], list[int]]:
    """Return the title and body lengths, in words, of ``n_docs`` documents."""
    low, high = TITLE_WORDS
    titles = [rng.randint(low, high) for _ in range(n_docs)]
    mu = math.log(BODY_MEDIAN_WORDS)
    bodies = [min(MAX_BODY_WORDS, max(1, round(rng.lognormvariate(mu, BODY_SIGMA)))) for _ in range(n_docs)]
    return titles, bodies


def _documents(
    rng: random.Random, words: list[str], cum_weights: list[float], title_lengths: list[int], body_lengths: list[int]
) -> Iterator[Document]:
    """Yield the documents of the given lengths, drawing their words one chunk at a time."""
    for start in range(0, len(title_lengths), CHUNK_DOCUMENTS):
        titles = title_lengths[start : start + CHUNK_DOCUMENTS]
        bodies = body_lengths[start : start + CHUNK_DOCUMENTS]
        drawn = rng.choices(words, cum_weights=cum_weights, k=sum(titles) + sum(bodies))
        position = 0
        for title_length, body_length in zip(titles, bodies):
            title_end = position + title_length
            body_end = title_end + body_length
            yield Document(" ".join(drawn[position:title_end]), " ".join(drawn[title_end:body_end]))
            position = body_end


def synthetic_corpus(n_docs: int, seed: int = DEFAULT_SEED) -> list[Document]:
    """Return ``n_docs`` documents with Zipf word frequencies, the same for the same seed."""
    if n_docs < 0:
        raise ValueError("n_docs must not be negative")
    rng = random.Random(seed)
    words = vocabulary(rng)
    cum_weights = zipf_cum_weights(len(words))
    title_lengths, body_lengths = _lengths(rng, n_docs)
    return list(_documents(rng, words, cum_weights, title_lengths, body_lengths))


def _main() -> None:
    n_docs = int(sys.argv[1]) if len(sys.argv) > 1 else 20_000
    started = time.perf_counter()
    docs = synthetic_corpus(n_docs)
    seconds = time.perf_counter() - started
    words = sum(len(d.title.split()) + len(d.content.split()) for d in docs)
    print(f"{n_docs} documents, {words} words in {seconds:.1f} s")
    for doc in docs[:3]:
        print(f"  {doc.title!r}: {doc.content[:100]!r}...")


if __name__ == "__main__":
    _main()
