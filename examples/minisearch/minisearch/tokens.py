"""Tokeniser: how text becomes index terms.

A term is a maximal run of Unicode letters and digits, lower-cased
(``str.lower``).  Everything else separates terms: white space, punctuation
and also the underscore and the dot, so that the identifier
``json.decoder.JSONDecoder.raw_decode`` yields the terms ``json``,
``decoder``, ``jsondecoder``, ``raw`` and ``decode``.  Runs longer than
:data:`MAX_TERM_LENGTH` characters (encoded data, long hex strings) are
dropped.  There is no stemming and no stop-word list.

The same rule tokenises documents at index time and query words at search
time, so a query term matches exactly the documents whose title or content
contains that term.  Documents are tokenised in bulk (one ``re.findall``
over the lower-cased text, one ``Counter`` per field): no Python frame runs
per token.
"""

from __future__ import annotations

import re
from collections import Counter
from typing import NamedTuple

__all__ = [
    "MAX_TERM_LENGTH",
    "TOKEN_PATTERN",
    "FieldCounts",
    "count_fields",
    "count_terms",
    "query_terms",
    "tokenize",
]

#: The regular expression that finds terms (applied to lower-cased text).
#: ``[^\W_]`` is a word character that is not the underscore: a letter or a digit.
TOKEN_PATTERN = r"[^\W_]+"

#: Longest term kept, in characters.
MAX_TERM_LENGTH = 64

_find_tokens = re.compile(TOKEN_PATTERN).findall
# Whole runs of at most MAX_TERM_LENGTH: used only for the rare text that holds a longer run.
_find_short_tokens = re.compile(rf"(?<![^\W_])[^\W_]{{1,{MAX_TERM_LENGTH}}}(?![^\W_])").findall


def tokenize(text: str) -> list[str]:
    """Return the terms of ``text`` in order, repeats included.

    >>> tokenize("JSONDecoder.raw_decode(s, idx=0) -> (obj, end)")
    ['jsondecoder', 'raw', 'decode', 's', 'idx', '0', 'obj', 'end']
    """
    lowered = text.lower()
    tokens = _find_tokens(lowered)
    # A run longer than the limit makes the text longer than the limit too: the cheap test first.
    if len(lowered) > MAX_TERM_LENGTH and tokens and len(max(tokens, key=len)) > MAX_TERM_LENGTH:
        return _find_short_tokens(lowered)
    return tokens


def query_terms(text: str) -> list[str]:
    """The terms of a query word: those of :func:`tokenize`, but a run longer than
    :data:`MAX_TERM_LENGTH` is kept, as a term that no document holds.

    >>> query_terms("json." + "x" * 70)[0]
    'json'
    """
    return _find_tokens(text.lower())


def count_terms(text: str) -> Counter[str]:
    """Return how often each term occurs in ``text``."""
    return Counter(tokenize(text))


class FieldCounts(NamedTuple):
    """The terms of one document, counted per field."""

    content: Counter[str]
    title: Counter[str]
    length: int
    """Tokens in title and content together: the document length of the ranking."""


def count_fields(title: str, content: str) -> FieldCounts:
    """Count the terms of a document's title and content."""
    content_tokens = tokenize(content)
    title_tokens = tokenize(title)
    return FieldCounts(Counter(content_tokens), Counter(title_tokens), len(content_tokens) + len(title_tokens))
