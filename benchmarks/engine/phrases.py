"""Phrase and field-filter queries on every engine, drawn from a corpus's own text.

Phrases are two or three consecutive words of a document's content (half of them holding one of
the corpus's 50 most common words), field filters one word restricted to the title or to the
content; each engine answers them in its own syntax, and each top 10 is compared with FTS5's.
"""

from __future__ import annotations

import random
from collections import Counter
from collections.abc import Sequence
from dataclasses import asdict
from typing import Any

from minisearch import Document

from contender import Searcher
from corpora import is_agreeable, terms_of
from measure import interleaved_pass, latency_round
from queries import DEFAULT_SEED

__all__ = ["KINDS", "phrase_figures", "sample_phrase_queries"]

KINDS = ("phrase", "field")


def sample_phrase_queries(docs: Sequence[Document], count: int) -> dict[str, list[str]]:
    """``count`` phrases and ``count`` field filters, in the syntax minisearch, FTS5 and tantivy share."""
    rng = random.Random(DEFAULT_SEED)
    usable = [doc for doc in docs if is_agreeable(doc)]
    frequency: Counter[str] = Counter(term for doc in usable[:20_000] for term in set(terms_of(doc.content)))
    common = {term for term, _ in frequency.most_common(50)}
    phrases: list[str] = []
    tries = 0
    while len(phrases) < count and tries < 100 * count:
        tries += 1
        words = terms_of(rng.choice(usable).content)
        size = rng.choice((2, 3))
        if len(words) < size or any(not word.isalnum() or not word.isascii() for word in words):
            continue
        start = rng.randrange(len(words) - size + 1)
        phrase = words[start : start + size]
        if (len(phrases) % 2 == 0) != any(word in common for word in phrase) or phrase[0] in ("and", "or", "not"):
            continue
        if any(word in ("and", "or", "not", "near") for word in phrase):
            continue
        phrases.append('"' + " ".join(phrase) + '"')
    fields = []
    for number in range(count):
        doc = rng.choice(usable)
        field, text = ("title", doc.title) if number % 2 == 0 else ("content", doc.content)
        words = [word for word in terms_of(text) if word.isalnum() and word.isascii() and word not in ("and", "or", "not")]
        if words:
            fields.append(f"{field}:{rng.choice(words)}")
    return {"phrase": phrases, "field": fields}


def phrase_figures(searchers: dict[str, Searcher], queries: dict[str, list[str]], k: int) -> dict[str, Any]:
    """Per engine and kind of query: one timed pass, interleaved across the engines slice by slice
    (queries/s, percentiles), and, but for FTS5, the share of top-k lists equal to FTS5's."""
    figures: dict[str, Any] = {name: {} for name in searchers}
    reference = searchers.get("SQLite FTS5")
    for kind in KINDS:
        texts = queries[kind]
        latencies = interleaved_pass(searchers, texts, k)
        for name, searcher in searchers.items():
            agree = None
            if reference is not None and searcher is not reference:
                agree = sum(searcher.top(text, k) == reference.top(text, k) for text in texts) / max(1, len(texts))
            timing = latency_round(latencies[name])
            figures[name][kind] = {"timing": asdict(timing), "equal_to_fts5": agree, "queries": len(texts)}
    return figures
