"""Tokeniser: how text becomes index terms.

A term is a letter or a digit followed by letters, digits and combining
marks, lower-cased (``str.lower``) and in Unicode's composed form (NFC):
``हिन्दी`` is one term, not the pieces between its vowel signs, and
``café`` is one term however its accent is encoded.  The dot above that
lower-casing gives ``İ`` (``i`` and U+0307) is dropped, since ``i`` has one
already: ``İstanbul`` and ``istanbul`` are the same term.  Everything else
separates terms: white space, punctuation and also the underscore and the
dot, so that the identifier ``json.decoder.JSONDecoder.raw_decode`` yields the
terms ``json``, ``decoder``, ``jsondecoder``, ``raw`` and ``decode``.  Runs
longer than :data:`MAX_TERM_LENGTH` characters (encoded data, long hex
strings) are dropped.  There is no stemming and no stop-word list.

The same rule tokenises documents at index time and query words at search
time, so a query term matches exactly the documents whose title or content
contains that term.  An index records the rule it was built with (its
:attr:`Tokenizer.name`), and is searched and extended with that rule:
indexes built before combining marks were kept, with :data:`LEGACY`, where
a combining mark separates terms, answer as they always have.  Documents
are tokenised in bulk (one ``re.findall`` over the lower-cased text, one
``Counter`` per field): no Python frame runs per token.
"""

from __future__ import annotations

import functools
import re
import unicodedata
from collections import Counter
from collections.abc import Callable, Iterator
from typing import NamedTuple

from .marks import MARK_RANGES

__all__ = [
    "LEGACY",
    "MAX_TERM_LENGTH",
    "TOKENIZER",
    "TOKEN_PATTERN",
    "FieldCounts",
    "Tokenizer",
    "count_fields",
    "count_terms",
    "query_terms",
    "tokenize",
    "tokenizer_named",
]

#: The regular expression of letters and digits (applied to lower-cased text), which is all
#: a term holds in ASCII text.  ``[^\W_]`` is a word character that is not the underscore.
TOKEN_PATTERN = r"[^\W_]+"

#: Longest term kept, in characters.
MAX_TERM_LENGTH = 64

_find_tokens = re.compile(TOKEN_PATTERN).findall
# Whole runs of at most MAX_TERM_LENGTH: used only for the rare text that holds a longer run.
_find_short_tokens = re.compile(rf"(?<![^\W_])[^\W_]{{1,{MAX_TERM_LENGTH}}}(?![^\W_])").findall

#: Where Unicode places combining marks (category M): checked against every code point by the tests.
MARK_SPANS = ((0x0300, 0x20000), (0xE0000, 0xE1000))


@functools.cache
def _mark_ranges() -> list[tuple[int, int]]:
    """Where the combining marks lie, first to last code point (found when first needed: ASCII
    text, which holds none, never needs them)."""
    listed = MARK_RANGES.get(unicodedata.unidata_version)
    return _parsed_ranges(listed) if listed is not None else _scanned_mark_ranges()


def _mark_class() -> str:
    """The combining marks as the body of a regular expression's character class."""
    return "".join(f"\\U{low:08x}-\\U{high:08x}" for low, high in _mark_ranges())


@functools.cache
def mark_bitmap() -> bytes:
    """The combining marks as a bitmap, bit ``c % 8`` of byte ``c // 8`` set for code point ``c``:
    how the native kernels tell them."""
    ranges = _mark_ranges()
    bits = bytearray(max((high for _, high in ranges), default=0) // 8 + 1)
    for low, high in ranges:
        for code in range(low, high + 1):
            bits[code >> 3] |= 1 << (code & 7)
    return bytes(bits)


def _parsed_ranges(text: str) -> list[tuple[int, int]]:
    bounds = (item.partition("-") for item in text.split())
    return [(int(low, 16), int(high or low, 16)) for low, _, high in bounds]


def _scanned_mark_ranges() -> list[tuple[int, int]]:
    """The marks' ranges found by asking ``unicodedata`` about every code point where they lie."""
    ranges: list[tuple[int, int]] = []
    for first, stop in MARK_SPANS:
        for code in range(first, stop):
            if unicodedata.category(chr(code))[0] == "M":
                if ranges and ranges[-1][1] == code - 1:
                    ranges[-1] = (ranges[-1][0], code)
                else:
                    ranges.append((code, code))
    return ranges


@functools.cache
def _marked_runs() -> re.Pattern[str]:
    """A letter or digit, then letters, digits and marks, in text whose underscores are spaces:
    one character class per step, which ``re`` runs much faster than an alternation."""
    return re.compile(rf"\w[\w{_mark_class()}]*")


def _composed(lowered: str) -> str:
    """Lower-cased text with the dot above an ``i`` (from ``İ``) dropped, in composed form, and
    its underscores made spaces (a character each, so that spans stay where they were)."""
    # The dot first: a combining mark makes the composition's quick check fail for the whole text.
    return unicodedata.normalize("NFC", lowered.replace("i\u0307", "i")).replace("_", " ")


class Tokenizer:
    """A rule that makes terms of text: :data:`TOKENIZER`, or :data:`LEGACY` for old indexes."""

    def __init__(self, name: str, keeps_marks: bool) -> None:
        self.name = name
        self.keeps_marks = keeps_marks

    def __repr__(self) -> str:
        return f"Tokenizer({self.name!r})"

    def prepared(self, text: str) -> str:
        """The text in which the terms of ``text`` are the runs of a letter or a digit followed by
        letters, digits and, where the rule keeps them, combining marks (which separate terms
        otherwise): lower-cased, and composed where marks are kept (see :func:`_composed`)."""
        lowered = text.lower()
        return _composed(lowered) if self.keeps_marks and not lowered.isascii() else lowered

    @functools.cached_property
    def kernel_rule(self) -> tuple[Callable[[str], str], bytes | None]:
        """The rule as the native kernels take it: :meth:`prepared`, and the marks that continue
        a term as :func:`mark_bitmap` gives them (None where they separate terms)."""
        return self.prepared, mark_bitmap() if self.keeps_marks else None

    def _runs(self, lowered: str) -> list[str]:
        if self.keeps_marks and not lowered.isascii():
            return _marked_runs().findall(_composed(lowered))
        return _find_tokens(lowered)

    def tokenize(self, text: str) -> list[str]:
        """Return the terms of ``text`` in order, repeats included.

        >>> TOKENIZER.tokenize("JSONDecoder.raw_decode(s, idx=0) -> (obj, end)")
        ['jsondecoder', 'raw', 'decode', 's', 'idx', '0', 'obj', 'end']
        """
        lowered = text.lower()
        tokens = self._runs(lowered)
        # A run longer than the limit makes the text longer than the limit too: the cheap test first.
        if len(lowered) > MAX_TERM_LENGTH and tokens and len(max(tokens, key=len)) > MAX_TERM_LENGTH:
            if self.keeps_marks and not lowered.isascii():
                return [token for token in tokens if len(token) <= MAX_TERM_LENGTH]
            return _find_short_tokens(lowered)
        return tokens

    def query_terms(self, text: str) -> list[str]:
        """The terms of a query word: those of :meth:`tokenize`, but a run longer than
        :data:`MAX_TERM_LENGTH` is kept, as a term that no document holds."""
        return self._runs(text.lower())

    def count_fields(self, title: str, content: str) -> FieldCounts:
        """Count the terms of a document's title and content."""
        content_tokens = self.tokenize(content)
        title_tokens = self.tokenize(title)
        return FieldCounts(Counter(content_tokens), Counter(title_tokens), len(content_tokens) + len(title_tokens))

    def words(self, text: str) -> Iterator[tuple[int, int, str]]:
        """The words of ``text`` as it is written: each one's span and its term."""
        if self.keeps_marks and not text.isascii():
            for match in _marked_runs().finditer(text.replace("_", " ")):
                yield match.start(), match.end(), _composed(match.group().lower())
        else:
            for match in _ascii_runs.finditer(text):
                yield match.start(), match.end(), match.group().lower()


_ascii_runs = re.compile(TOKEN_PATTERN)


class FieldCounts(NamedTuple):
    """The terms of one document, counted per field."""

    content: Counter[str]
    title: Counter[str]
    length: int
    """Tokens in title and content together: the document length of the ranking."""


#: The rule of new indexes.
TOKENIZER = Tokenizer(r"[^\W_](?:[^\W_]|\p{M})* in NFC(lower(text)), i\u0307 as i", keeps_marks=True)
#: The rule of indexes built before combining marks were kept, in which a mark separates terms.
LEGACY = Tokenizer(TOKEN_PATTERN, keeps_marks=False)
_BY_NAME = {rule.name: rule for rule in (TOKENIZER, LEGACY)}


def tokenizer_named(name: object) -> Tokenizer:
    """The rule an index's manifest names; raises ``ValueError`` for one this version lacks."""
    rule = _BY_NAME.get(name) if isinstance(name, str) else None
    if rule is None:
        raise ValueError(f"unknown tokenizer rule {name!r}")
    return rule


tokenize: Callable[[str], list[str]] = TOKENIZER.tokenize
query_terms: Callable[[str], list[str]] = TOKENIZER.query_terms
count_fields: Callable[[str, str], FieldCounts] = TOKENIZER.count_fields


def count_terms(text: str) -> Counter[str]:
    """Return how often each term occurs in ``text``."""
    return Counter(tokenize(text))

