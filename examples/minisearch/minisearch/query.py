"""The query language: text to a small syntax tree.

::

    json decode          both words (AND is the default, as in SQLite FTS5)
    json AND decode      the same, spelled out
    json OR pickle       either word
    json decode OR load  (json AND decode) OR load: AND binds tighter than OR
    json -decode         json, but not decode
    dec*                 any term that starts with "dec"
    "json decode"        the words next to each other, in this order, within the title or the content
    "json dec*"          ... the last one a prefix
    title:json           json in the title (content:json in the content); -title:json excludes
    title:"json decode"  the phrase in the title

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

__all__ = ["FIELDS", "Clause", "Leaf", "Query", "QuerySyntaxError", "parse"]

#: A word, a phrase in double quotes, each perhaps excluded (-) and with a field (name:).
_ITEM = re.compile(
    r'(?P<negative>-?)(?:(?P<field>[^\W\d_]\w*):(?=[^\s:/]))?(?:(?P<quote>")(?P<phrase>[^"]*)(?P<close>"?)|(?P<word>\S+))'
)
#: The fields a query may name.
FIELDS = ("title", "content")



class Leaf(NamedTuple):
    """One unit of a query: a term, or with ``phrase`` its terms joined by spaces, which must
    follow each other; with ``prefix`` the (last) term stands for every term it starts, and with
    ``field`` only that field counts."""

    text: str
    prefix: bool = False
    field: str | None = None
    phrase: bool = False

    def __str__(self) -> str:
        body = self.text + ("*" if self.prefix else "")
        if self.phrase:
            body = f'"{body}"'
        return f"{self.field}:{body}" if self.field else body

    @property
    def words(self) -> tuple[str, ...]:
        return tuple(self.text.split(" ")) if self.phrase else (self.text,)


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
    return _plain_words(text) or _plain_phrase(text) or _parsed(text, rule)


#: Words of ASCII letters and digits, one space apart: the most common query, whose terms are its
#: words lower-cased under every tokenizer rule.
_PLAIN_WORDS = re.compile(r"[A-Za-z0-9]+(?: [A-Za-z0-9]+)*")


def _plain_words(text: str) -> Query | None:
    """The query of ``text`` when it is plain words, perhaps with OR between them; else None
    (:func:`_parsed` reads it, and reports any error)."""
    if _PLAIN_WORDS.fullmatch(text) is None:
        return None
    clauses: list[Clause] = []
    leaves: list[Leaf] = []
    for word in text.split(" "):
        if word == "AND":
            return None
        if word != "OR":
            leaves.append(Leaf(word.lower()))
        elif leaves:
            clauses.append(Clause(tuple(dict.fromkeys(leaves))))
            leaves = []
        else:
            return None
    if not leaves:
        return None
    clauses.append(Clause(tuple(dict.fromkeys(leaves))))
    return Query(text, tuple(clauses))


#: Such words in double quotes, alone: the most common phrase query.
_PLAIN_PHRASE = re.compile(r'"([A-Za-z0-9]+(?: [A-Za-z0-9]+)*)"')


def _plain_phrase(text: str) -> Query | None:
    """The query of ``text`` when it is one phrase of plain words (a phrase of one word is that
    word); else None."""
    match = _PLAIN_PHRASE.fullmatch(text)
    if match is None:
        return None
    body = match.group(1).lower()
    return Query(text, (Clause((Leaf(body, phrase=" " in body),)),))


def _parsed(text: str, rule: Tokenizer) -> Query:
    builder = _Builder(text, [], [], [], rule)
    previous_was_and = False
    for match in _items(text):
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
        _add_item(builder, match)
    end = len(text) + 1
    if previous_was_and:
        raise QuerySyntaxError("'AND' needs a word after it", text, end)
    if not builder.clauses and not builder.positive and not builder.negative:
        raise QuerySyntaxError("the query is empty", text, 1)
    builder.close_clause(end, "after")
    return Query(text, tuple(builder.clauses))


def _items(text: str) -> list[re.Match[str]]:
    """The words and phrases of a query, in order; a stretch of white space separates them."""
    items = []
    position = 0
    while (space := re.compile(r"\s*").match(text, position)) is not None and space.end() < len(text):
        match = _ITEM.match(text, space.end())
        assert match is not None  # a non-space character starts a word at least
        items.append(match)
        position = match.end()
    return items


def _add_item(builder: _Builder, match: re.Match[str]) -> None:
    column = match.start() + 1
    field = match.group("field")
    if field is not None and field not in FIELDS:
        raise QuerySyntaxError(f"unknown field {field!r} (fields: {', '.join(FIELDS)})", builder.query, column)
    if match.group("quote") is None:
        word = match.group("word")
        if field is None and (bare := word.removeprefix("-").removesuffix(":")) in FIELDS and word.endswith(":"):
            raise QuerySyntaxError(f"'{bare}:' needs a word or a phrase after it", builder.query, column)
        _add_word(builder, match.group("negative") + word, column, field)
        return
    quote = match.start("quote") + 1
    if not match.group("close"):
        raise QuerySyntaxError("a phrase's quote is not closed", builder.query, quote)
    _add_phrase(builder, match.group("phrase"), bool(match.group("negative")), field, quote)


def _add_phrase(builder: _Builder, body: str, negative: bool, field: str | None, column: int) -> None:
    prefix = body.rstrip().endswith("*")
    inner = body.rstrip().removesuffix("*") if prefix else body
    if "*" in inner:
        raise QuerySyntaxError("'*' may only end a phrase's last word", builder.query, column + 1 + body.index("*"))
    terms = builder.rule.query_terms(inner)
    if not terms:
        raise QuerySyntaxError("the phrase is empty", builder.query, column)
    if prefix and not inner[-1:].isalnum():
        raise QuerySyntaxError("'*' must follow a word", builder.query, column + 1 + len(body.rstrip()) - 1)
    leaf = Leaf(" ".join(terms), prefix, field, phrase=len(terms) > 1)
    (builder.negative if negative else builder.positive).append(leaf)


def _add_word(builder: _Builder, word: str, column: int, field: str | None = None) -> None:
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
    leaves = [Leaf(term, field=field) for term in terms[:-1]] + [Leaf(terms[-1], prefix, field)]
    (builder.negative if negative else builder.positive).extend(leaves)
