"""Snippets: a short extract of a document with the query's words marked.

The extract is the window of about :data:`WIDTH` characters that holds the
most occurrences of the query's terms (a prefix word marks every word it
starts), cut at word boundaries, with white space collapsed.  Marks are
``**word**`` by default.
"""

from __future__ import annotations

import re
from collections.abc import Collection, Sequence

from .tokens import TOKENIZER, Tokenizer

__all__ = ["WIDTH", "make_snippet"]

WIDTH = 160
_SPACE = re.compile(r"\s+")


def make_snippet(
    text: str,
    terms: Collection[str],
    prefixes: Sequence[str] = (),
    width: int = WIDTH,
    mark: tuple[str, str] = ("**", "**"),
    rule: Tokenizer = TOKENIZER,
    phrases: Sequence[tuple[tuple[str, ...], bool]] = (),
) -> str:
    """An extract of ``text`` around the densest run of ``terms``, words starting with
    ``prefixes`` and ``phrases`` (their words, and whether the last is a prefix), each phrase
    marked whole; its words read by ``rule`` (the index's)."""
    starts = tuple(prefixes)
    words = list(rule.words(text))
    hits = _joined(sorted(
        [(start, end) for start, end, word in words if word in terms or (starts and word.startswith(starts))]
        + [span for phrase in phrases for span in _phrase_spans(words, *phrase)]
    ))
    start = _best_window(hits, width) if hits else 0
    end = min(len(text), start + width)
    if start > 0:  # do not begin inside a word
        space = text.find(" ", start, start + 20)
        start = space + 1 if space >= 0 else start
    if end < len(text):
        space = text.rfind(" ", end - 20, end)
        end = space if space > start else end
    pieces = []
    position = start
    for hit_start, hit_end in hits:
        if hit_start >= start and hit_end <= end:
            pieces += [text[position:hit_start], mark[0], text[hit_start:hit_end], mark[1]]
            position = hit_end
    pieces.append(text[position:end])
    snippet = _SPACE.sub(" ", "".join(pieces)).strip()
    return ("…" if start > 0 else "") + snippet + ("…" if end < len(text) else "")


def _joined(spans: list[tuple[int, int]]) -> list[tuple[int, int]]:
    """Sorted spans with the overlapping ones joined (occurrences of a phrase may overlap)."""
    joined: list[tuple[int, int]] = []
    for start, end in spans:
        if joined and start < joined[-1][1]:
            joined[-1] = (joined[-1][0], max(end, joined[-1][1]))
        else:
            joined.append((start, end))
    return joined


def _phrase_spans(words: list[tuple[int, int, str]], phrase: tuple[str, ...], prefix: bool) -> list[tuple[int, int]]:
    """Where the words of ``phrase`` follow each other, from the first's start to the last's end."""
    size = len(phrase)
    spans = []
    for first in range(len(words) - size + 1):
        run = words[first : first + size]
        if all(word == want for (_, _, word), want in zip(run[:-1], phrase[:-1])) and (
            run[-1][2].startswith(phrase[-1]) if prefix else run[-1][2] == phrase[-1]
        ):
            spans.append((run[0][0], run[-1][1]))
    return spans


def _best_window(hits: list[tuple[int, int]], width: int) -> int:
    """Start of the window holding the most hits, with some context before the first."""
    best, best_count, last = hits[0][0], 0, 0
    for first, (start, _) in enumerate(hits):
        while last < len(hits) and hits[last][1] <= start + width - 20:
            last += 1
        if last - first > best_count:
            best, best_count = start, last - first
    return max(0, best - 20)
