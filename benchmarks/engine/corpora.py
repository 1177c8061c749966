"""The benchmark's corpora: loading them, passing them to child processes, and the subset of
documents whose terms every contender's tokenizer reads alike."""

from __future__ import annotations

import pickle
import re
from collections import Counter
from collections.abc import Iterable
from pathlib import Path

from minisearch import Document, stdlib_corpus

from realtext import realtext_corpus
from synthetic import synthetic_corpus

__all__ = [
    "CORPORA",
    "document_frequencies",
    "is_agreeable",
    "load_corpus",
    "read_pickled",
    "terms_of",
    "write_pickled",
]

#: The corpora the benchmark knows, in the order it runs them.
CORPORA = ("stdlib", "realtext", "synthetic")

#: The engine's term rule: maximal runs of letters and digits, lower-cased, at most 64 characters.
_TERM_RE = re.compile(r"[^\W_]+")
MAX_TERM_LENGTH = 64
_LONG_ASCII_RUN = re.compile(r"[A-Za-z0-9]{%d}" % (MAX_TERM_LENGTH + 1))


def terms_of(text: str) -> list[str]:
    """Return the terms of ``text`` by the engine's rule, in order, repeats included."""
    return [t for t in _TERM_RE.findall(text.lower()) if len(t) <= MAX_TERM_LENGTH]


def is_agreeable(doc: Document) -> bool:
    """Whether SQLite's unicode61 tokenizer and the engine's read the same terms from ``doc``.

    True for ASCII-only title and content without a letter-or-digit run over 64 characters: on
    those, both split at every character that is not an ASCII letter or digit and lower-case, and
    no diacritics are folded.
    """
    return all(text.isascii() and not _LONG_ASCII_RUN.search(text) for text in (doc.title, doc.content))


def document_frequencies(docs: Iterable[Document]) -> Counter[str]:
    """Return, for every term, the number of documents whose title or content holds it."""
    frequencies: Counter[str] = Counter()
    for doc in docs:
        frequencies.update(set(terms_of(doc.title + " " + doc.content)))
    return frequencies


def load_corpus(name: str, synthetic_docs: int) -> list[Document]:
    """Return the documents of corpus ``name``: "stdlib", "realtext" (the documentation of the installed
    packages, see realtext.py) or "synthetic" (of ``synthetic_docs``)."""
    if name == "stdlib":
        return list(stdlib_corpus())
    if name == "realtext":
        return realtext_corpus()
    if name == "synthetic":
        return synthetic_corpus(synthetic_docs)
    raise ValueError(f"unknown corpus {name!r}")


def write_pickled(docs: list[Document], path: Path) -> None:
    """Write ``docs`` to ``path`` for a child process (as plain tuples)."""
    with open(path, "wb") as f:
        pickle.dump([tuple(doc) for doc in docs], f, protocol=pickle.HIGHEST_PROTOCOL)


def read_pickled(path: Path) -> list[Document]:
    """Return the documents that :func:`write_pickled` wrote to ``path``."""
    with open(path, "rb") as f:
        return [Document(*fields) for fields in pickle.load(f)]
