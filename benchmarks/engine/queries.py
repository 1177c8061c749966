"""The query sets: one- and two-word queries drawn from a corpus's own terms, seeded.

Half the words are drawn by document frequency (so frequent words come up as often as they do in
the documents) and half uniformly from the distinct terms (mostly rare words, as Zipf's law
makes most terms rare). Only terms that every contender reads alike and can take as a plain word
are drawn: lowercase ASCII letters and digits, at most 40 characters (one contender's default
tokenizer drops longer tokens), and no word that a query language reads as an operator.
"""

from __future__ import annotations

import itertools
import random
import re
from collections import Counter

__all__ = ["DEFAULT_SEED", "Query", "sample_queries"]

DEFAULT_SEED = 4_242
Query = tuple[str, ...]

_PLAIN_WORD = re.compile(r"[a-z0-9]{1,40}")
_OPERATOR_WORDS = frozenset({"and", "or", "not", "near"})


def _usable(term: str) -> bool:
    """Whether ``term`` can be put into every contender's query as a plain word."""
    return _PLAIN_WORD.fullmatch(term) is not None and term not in _OPERATOR_WORDS


def sample_queries(frequencies: Counter[str], n_queries: int, seed: int = DEFAULT_SEED) -> list[Query]:
    """Return ``n_queries`` queries of one or two distinct words, drawn from ``frequencies``.

    ``frequencies`` maps each term of the corpus to its document frequency. Raises ValueError if
    fewer than two terms are usable.
    """
    terms = sorted(t for t in frequencies if _usable(t))
    if len(terms) < 2:
        raise ValueError("the corpus has fewer than two usable query terms")
    cum_weights = list(itertools.accumulate(frequencies[t] for t in terms))
    rng = random.Random(seed)

    def word() -> str:
        if rng.random() < 0.5:
            return rng.choices(terms, cum_weights=cum_weights)[0]
        return rng.choice(terms)

    queries: list[Query] = []
    while len(queries) < n_queries:
        first = word()
        if rng.random() < 0.5:
            queries.append((first,))
            continue
        second = word()
        if second != first:
            queries.append((first, second))
    return queries
