"""The query language: clauses, operators and the errors of a malformed query."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

from minisearch.query import Clause, Leaf, QuerySyntaxError, _parsed, _plain_phrase, _plain_words, parse
from minisearch.tokens import LEGACY, TOKENIZER


def clauses(text):
    return [
        (tuple(map(str, clause.positive)), tuple(map(str, clause.negative))) for clause in parse(text).clauses
    ]


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("json decode", [(("json", "decode"), ())]),
        ("json AND decode", [(("json", "decode"), ())]),
        ("json OR decode", [(("json",), ()), (("decode",), ())]),
        ("json decode OR load", [(("json", "decode"), ()), (("load",), ())]),  # AND binds tighter
        ("json -decode", [(("json",), ("decode",))]),
        ("dec* JSON", [(("dec*", "json"), ())]),
        ("JSONDecoder.raw_decode", [(("jsondecoder", "raw", "decode"), ())]),
        ("json.dec*", [(("json", "dec*"), ())]),
        ("Json json JSON", [(("json",), ())]),  # a repeated word counts once
        ("  or  Or ", [(("or",), ())]),  # operators only in capitals
        ("json " + "X" * 65, [(("json", "x" * 65), ())]),  # longer than any term: kept, to match nothing
        ("a." + "b" * 70 + "* OR c", [(("a", "b" * 70 + "*"), ()), (("c",), ())]),
    ],
)
def test_parse(text, expected):
    assert clauses(text) == expected


def test_leaves_are_the_distinct_scoring_words_in_order():
    query = parse("b a OR a -c OR d*")
    assert query.leaves == (Leaf("b"), Leaf("a"), Leaf("d", prefix=True))
    assert query.excluded == (Leaf("c"),)
    assert query.clauses[1] == Clause((Leaf("a"),), (Leaf("c"),))


@pytest.mark.parametrize(
    ("text", "message", "column"),
    [
        ("", "the query is empty", 1),
        ("   ", "the query is empty", 1),
        ("OR", "'OR' needs a word before it", 1),
        ("json OR", "'OR' needs a word after it", 8),
        ("OR json", "'OR' needs a word before it", 1),
        ("a OR OR b", "'OR' needs a word before it", 6),
        ("json -", "'-' must be followed by a word", 6),
        ("*", "'*' must follow a word", 1),
        ("json -*", "'*' must follow a word", 6),
        ("de*c", "'*' may only end a word", 3),
        ("json !!!", "'!!!' holds no letters or digits", 6),
        ("-json", "a clause needs a word that is not excluded", 1),
        ("a OR -b", "a clause needs a word that is not excluded", 6),
        ("AND json", "'AND' needs a word before it", 1),
        ("json AND", "'AND' needs a word after it", 9),
        ("a AND OR b", "'OR' cannot follow 'AND'", 7),
    ],
)
def test_malformed_queries_name_the_problem_and_its_column(text, message, column):
    with pytest.raises(QuerySyntaxError) as caught:
        parse(text)
    assert str(caught.value) == f"{message} (column {column})"
    assert caught.value.column == column and isinstance(caught.value, ValueError)


_WORDS = st.sampled_from(["json", "JSON", "Decode", "x1", "OR", "AND", "or", "a" * 70, "json"])


@given(
    st.lists(_WORDS, min_size=1, max_size=6), st.sampled_from([TOKENIZER, LEGACY]),
    st.sampled_from(["{}", '"{}"', '"{}*"', ' "{}"', '-"{}"', 'title:"{}"', '"{}" x']),
)
def test_plain_words_and_phrases_read_on_the_quick_paths_as_the_parser_reads_them(words, rule, form):
    text = form.format(" ".join(words))
    quick = _plain_words(text) or _plain_phrase(text)
    try:
        parsed = _parsed(text, rule)
    except QuerySyntaxError:
        assert quick is None
        return
    assert quick is None or quick == parsed
    if form == '"{}"':  # what the phrase's quick path is for
        assert quick is not None
    assert parse(text, rule) == parsed
