"""The query language: text to a small syntax tree.

::

    json decode          both words (AND is the default, as in SQLite FTS5)
    json AND decode      the same, spelled out
    json OR pickle       either word
    json decode OR load  (json AND decode) OR load: AND binds tighter than OR
    json -decode         json, but not decode
    dec*                 any term that starts with "dec"

A word is tokenised like a document (letters and digits, lower-cased), so
``JSONDecoder.decode`` stands for the two words ``jsondecoder`` and
``decode``; a run of more than 64 letters and digits, which the index never
holds, stays a term that no document holds.  ``AND`` and ``OR`` are operators only in capitals.  A query is
an OR of clauses; a clause is an AND of words, of which at least one is
not excluded.  A word that appears twice counts once.

:func:`parse` raises :class:`QuerySyntaxError`, whose message names the
problem and its position (``column``, counted from 1).
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import NamedTuple

from .errors import QuerySyntaxError
from .tokens import TOKENIZER, Tokenizer

__all__ = ["Clause", "Leaf", "Query", "QuerySyntaxError", "parse"]

_WORD = re.compile(r"\S+")



class Leaf(NamedTuple):
    """One term of a query; a prefix leaf stands for every term that starts with ``text``."""

    text: str
    prefix: bool = False

    def __str__(self) -> str:
        return self.text + ("*" if self.prefix else "")


@dataclass(frozen=True)
class Clause:
    """Documents that hold every ``positive`` leaf and no ``negative`` one."""

    positive: tuple[Leaf, ...]
    negative: tuple[Leaf, ...] = ()


@dataclass(frozen=True)
class Query:
    """Documents that satisfy any clause."""

    text: str
    clauses: tuple[Clause, ...]

    @property
    def leaves(self) -> tuple[Leaf, ...]:
        """The distinct positive leaves in order of first appearance: the terms that score."""
        seen = dict.fromkeys(leaf for clause in self.clauses for leaf in clause.positive)
        return tuple(seen)

    @property
    def excluded(self) -> tuple[Leaf, ...]:
        """The distinct negative leaves."""
        return tuple(dict.fromkeys(leaf for clause in self.clauses for leaf in clause.negative))


@dataclass
class _Builder:
    query: str
    clauses: list[Clause]
    positive: list[Leaf]
    negative: list[Leaf]
    rule: Tokenizer
    clause_column: int = 1

    def close_clause(self, column: int, where: str) -> None:
        if not self.positive:
            if self.negative:
                raise QuerySyntaxError("a clause needs a word that is not excluded", self.query, self.clause_column)
            raise QuerySyntaxError(f"'OR' needs a word {where} it", self.query, column)
        self.clauses.append(Clause(tuple(dict.fromkeys(self.positive)), tuple(dict.fromkeys(self.negative))))
        self.positive, self.negative = [], []


def parse(text: str, rule: Tokenizer = TOKENIZER) -> Query:
    """Parse a query, its words tokenised by ``rule`` (an index's own); raises :class:`QuerySyntaxError`."""
    builder = _Builder(text, [], [], [], rule)
    previous_was_and = False
    for match in _WORD.finditer(text):
        word, column = match.group(), match.start() + 1
        if word == "OR":
            if previous_was_and:
                raise QuerySyntaxError("'OR' cannot follow 'AND'", text, column)
            builder.close_clause(column, "before")
            continue
        if word == "AND":
            if previous_was_and or not (builder.positive or builder.negative):
                raise QuerySyntaxError("'AND' needs a word before it", text, column)
            previous_was_and = True
            continue
        previous_was_and = False
        if not (builder.positive or builder.negative):
            builder.clause_column = column
        _add_word(builder, word, column)
    end = len(text) + 1
    if previous_was_and:
        raise QuerySyntaxError("'AND' needs a word after it", text, end)
    if not builder.clauses and not builder.positive and not builder.negative:
        raise QuerySyntaxError("the query is empty", text, 1)
    builder.close_clause(end, "after")
    return Query(text, tuple(builder.clauses))


def _add_word(builder: _Builder, word: str, column: int) -> None:
    negative = word.startswith("-")
    body = word[1:] if negative else word
    prefix = body.endswith("*")
    if prefix:
        body = body[:-1]
    if not body:
        what = "'-' must be followed by a word" if negative and not prefix else "'*' must follow a word"
        raise QuerySyntaxError(what, builder.query, column)
    if "*" in body:
        raise QuerySyntaxError("'*' may only end a word", builder.query, column + word.index("*"))
    terms = builder.rule.query_terms(body)  # a run too long to be indexed stays, as a term no document holds
    if not terms:
        raise QuerySyntaxError(f"{body!r} holds no letters or digits", builder.query, column)
    # A word the tokeniser splits (json.decode) stands for all its terms; a prefix applies to the last.
    leaves = [Leaf(term) for term in terms[:-1]] + [Leaf(terms[-1], prefix)]
    (builder.negative if negative else builder.positive).extend(leaves)
