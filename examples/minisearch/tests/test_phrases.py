"""Phrases and field filters: the grammar, FTS5's ranking of them, and positions through add,
delete, optimize and check."""

import math
import random
import shutil
import sqlite3

import pytest
from conftest import build, with_options
from test_check import resealed

import minisearch
from minisearch import Document, Index, search
from minisearch.executors import InlineExecutor
from minisearch.query import Leaf, parse
from minisearch.snippets import make_snippet

WORDS = "a b c d e f".split()
SHAPE = dict(block_size=16, head_size=4, chunk_size=8, partitions=2)


def corpus(seed, documents):
    rng = random.Random(seed)
    return [
        Document(" ".join(rng.choices(WORDS, k=rng.randint(0, 4))), " ".join(rng.choices(WORDS, k=rng.randint(0, 15))),
                 f"k{number}")
        for number in range(documents)
    ]


def fts5(documents, query):
    db = sqlite3.connect(":memory:")
    db.execute("CREATE VIRTUAL TABLE docs USING fts5(title, content)")
    db.executemany("INSERT INTO docs(rowid, title, content) VALUES (?, ?, ?)",
                   [(number, doc.title, doc.content) for number, doc in enumerate(documents)])
    rows = db.execute("SELECT rowid, -bm25(docs, 4.0, 1.0) FROM docs WHERE docs MATCH ? "
                      "ORDER BY bm25(docs, 4.0, 1.0), rowid LIMIT 10", (query,)).fetchall()
    db.close()
    return rows


# Ours, and the same in FTS5's syntax.
QUERIES = [
    ('"a b"', '"a b"'), ('"a a"', '"a a"'), ('"a b c"', '"a b c"'), ('"b a*"', '"b" + a*'),
    ("title:a", "title:a"), ("content:b", "content:b"), ('content:"a b"', 'content:"a b"'),
    ('title:"c d"', 'title:"c d"'), ('"a b" c', '"a b" c'), ('title:"a b" OR d', 'title:"a b" OR d'),
    ("a -title:b", "a NOT title:b"), ('e -"a b"', 'e NOT "a b"'), ("title:c content:c", "title:c content:c"),
]


@pytest.fixture(scope="module")
def changed(tmp_path_factory):
    """An index of three segments with deletions, and the live documents in id order."""
    documents = corpus(11, 240)
    directory = tmp_path_factory.mktemp("phrases")
    build(documents[:160], directory, **SHAPE)
    with_options(minisearch.add_documents, documents[160:200], directory, executor=InlineExecutor(), merge=False,
                 **SHAPE)
    with_options(minisearch.add_documents, documents[200:], directory, executor=InlineExecutor(), merge=False,
                 **SHAPE)
    gone = {f"k{number}" for number in range(0, 240, 7)}
    minisearch.delete_documents(gone, directory, minisearch.BuildOptions(show_progress=False))
    return directory, [doc for doc in documents if doc.key not in gone]


def assert_as_fts5(directory, live, ours, theirs):
    with Index(directory) as index:
        got = [(hit.key, hit.score) for hit in search(index, ours, 10).hits]
    expected = [(live[row].key, score) for row, score in fts5(live, theirs)]
    assert [key for key, _ in got] == [key for key, _ in expected]
    assert all(math.isclose(a, b, rel_tol=1e-12) for (_, a), (_, b) in zip(got, expected))


@pytest.mark.parametrize(("ours", "theirs"), QUERIES)
def test_phrases_and_field_filters_rank_as_fts5_through_add_delete_and_optimize(changed, ours, theirs):
    directory, live = changed
    assert_as_fts5(directory, live, ours, theirs)


def test_positions_survive_optimize_and_pass_check(changed, tmp_path):
    directory, live = changed
    copy = tmp_path / "copy"
    shutil.copytree(directory, copy)
    with_options(minisearch.optimize_index, copy, executor=InlineExecutor())
    assert minisearch.check_index(copy).ok
    for ours, theirs in QUERIES[:4]:
        assert_as_fts5(copy, live, ours, theirs)


def test_a_phrase_does_not_cross_from_the_title_into_the_content(tmp_path):
    build([Document("x a", "b y"), Document("z", "a b")], tmp_path)
    with Index(tmp_path) as index:
        assert [hit.doc_id for hit in search(index, '"a b"').hits] == [1]


@pytest.mark.parametrize(
    ("query", "message", "column"),
    [
        ('"a b', "quote is not closed", 1),
        ('a ""', "phrase is empty", 3),
        ('"..."', "phrase is empty", 1),
        ("author:a", "unknown field 'author'", 1),
        ("a title:", "'title:' needs a word or a phrase", 3),
        ('"a * b"', "'*' may only end", 4),
        ('"a *"', "'*' must follow a word", 4),
    ],
)
def test_malformed_phrases_and_fields_are_named_with_their_column(query, message, column):
    with pytest.raises(minisearch.QuerySyntaxError, match=message) as raised:
        parse(query)
    assert raised.value.column == column


@pytest.mark.parametrize(
    ("query", "leaves"),
    [
        ('"json decode"', [Leaf("json decode", phrase=True)]),
        ('"json"', [Leaf("json")]),
        ('title:"json dec*"', [Leaf("json dec", True, "title", True)]),
        ("http://x", [Leaf("http"), Leaf("x")]),  # not a field: tokenised as a word
        ("content:json.decode", [Leaf("json", field="content"), Leaf("decode", field="content")]),
    ],
)
def test_phrases_and_fields_parse_to_leaves(query, leaves):
    assert list(parse(query).leaves) == leaves


def test_without_positions_a_phrase_says_why_and_a_field_filter_still_works(tmp_path):
    build([Document("Kiwi", "kiwi fruit"), Document("Lime", "kiwi lime")], tmp_path, positions=False)
    with Index(tmp_path) as index:
        assert [hit.doc_id for hit in search(index, "title:kiwi").hits] == [0]
        with pytest.raises(minisearch.IndexUnusableError, match="no word positions"):
            search(index, '"kiwi fruit"')
    assert minisearch.check_index(tmp_path).ok


def test_a_snippet_marks_the_whole_phrase_and_overlapping_ones_once():
    assert make_snippet("x a a a y", set(), phrases=[(("a", "a"), False)]) == "x **a a a** y"
    assert make_snippet("json decode json", {"x"}, phrases=[(("json", "dec"), True)]) == "**json decode** json"


def test_check_finds_positions_that_do_not_match_the_postings(tmp_path):
    build(corpus(3, 30), tmp_path, **SHAPE)
    manifest = minisearch.manifest.read_manifest(tmp_path)
    path = tmp_path / manifest.segments[0].files["positions-000"]
    other = tmp_path / manifest.segments[0].files["positions-001"]
    resealed(lambda _: path.write_bytes(other.read_bytes()))(tmp_path)  # well-formed, of other terms; digests match
    problems = minisearch.check_index(tmp_path).problems
    assert problems and all(path.name in problem and "digest" not in problem for problem in problems)
