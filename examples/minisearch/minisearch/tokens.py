"""Tokeniser: how text becomes index terms.

A term is a maximal run of Unicode letters and digits, lower-cased
(``str.lower``).  Everything else separates terms: white space, punctuation
and also the underscore and the dot, so that the identifier
``json.decoder.JSONDecoder.raw_decode`` yields the terms ``json``,
``decoder``, ``jsondecoder``, ``raw`` and ``decode``.  Runs longer than
:data:`MAX_TERM_LENGTH` characters (encoded data, long hex strings) are
dropped.  There is no stemming and no stop-word list.

The same function tokenises documents at index time and queries at search
time, so a query term matches exactly the documents whose title or content
contains that term.
"""

from __future__ import annotations

import re
from collections import Counter
from collections.abc import Iterator

__all__ = ["MAX_TERM_LENGTH", "TOKEN_PATTERN", "count_terms", "iter_tokens", "tokenize"]

#: The regular expression that finds terms (applied to lower-cased text).
#: ``[^\W_]`` is a word character that is not the underscore: a letter or a digit.
TOKEN_PATTERN = r"[^\W_]+"

#: Longest term kept, in characters.
MAX_TERM_LENGTH = 64

_TOKEN_RE = re.compile(TOKEN_PATTERN)


def iter_tokens(text: str) -> Iterator[str]:
    """Yield the terms of ``text`` in the order in which they occur."""
    for match in _TOKEN_RE.finditer(text.lower()):
        token = match.group()
        if len(token) <= MAX_TERM_LENGTH:
            yield token


def tokenize(text: str) -> list[str]:
    """Return the terms of ``text`` in order, repeats included.

    >>> tokenize("JSONDecoder.raw_decode(s, idx=0) -> (obj, end)")
    ['jsondecoder', 'raw', 'decode', 's', 'idx', '0', 'obj', 'end']
    """
    return list(iter_tokens(text))


def count_terms(text: str) -> Counter[str]:
    """Return how often each term occurs in ``text``."""
    return Counter(iter_tokens(text))
