"""BM25 ranking: the engine's top 10 equals SQLite FTS5's bm25() with title weight 4, and the
early-terminating evaluation equals a full scan of every posting."""

import math
import random
import sqlite3

import pytest
from conftest import build
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from minisearch import Index, search
from minisearch.corpus import Document
from minisearch.query import parse
from minisearch.ranking import average_length, idf, length_norms, term_score, weighted_frequency
from minisearch.tokens import count_fields

WORDS = [f"w{number}" for number in range(60)]


def zipf_corpus(seed, documents):
    rng = random.Random(seed)
    weights = [1 / (rank + 1) for rank in range(len(WORDS))]

    def text(low, high):
        return " ".join(rng.choices(WORDS, weights, k=rng.randint(low, high)))

    return [Document(text(0, 4), text(0, 40)) for _ in range(documents)]


def fts5_top(corpus, query, k):
    connection = sqlite3.connect(":memory:")
    connection.execute("CREATE VIRTUAL TABLE docs USING fts5(title, content)")
    connection.executemany("INSERT INTO docs(rowid, title, content) VALUES (?, ?, ?)",
                           [(doc_id, document[0], document[1]) for doc_id, document in enumerate(corpus)])
    rows = connection.execute(
        "SELECT rowid, -bm25(docs, 4.0, 1.0) FROM docs WHERE docs MATCH ? ORDER BY bm25(docs, 4.0, 1.0), rowid "
        "LIMIT ?", (query, k)).fetchall()
    connection.close()
    return rows


QUERIES = ["w0", "w7", "w45", "w1 w2", "w3 w30", "w0 OR w50", "w12 OR w13 OR w40", "w2 w5 OR w9", "w1 NOT w2"]


@pytest.fixture(scope="module")
def zipf_index(tmp_path_factory):
    corpus = zipf_corpus(7, 400)
    directory = tmp_path_factory.mktemp("zipf")
    build(corpus, directory, block_size=64, head_size=8, chunk_size=16)
    with Index(directory) as index:
        yield corpus, index


@pytest.mark.parametrize("query", QUERIES)
def test_top_10_and_scores_equal_fts5_bm25(zipf_index, query):
    corpus, index = zipf_index
    expected = fts5_top(corpus, query, 10)
    got = search(index, query.replace("NOT ", "-"), 10).hits
    assert [hit.doc_id for hit in got] == [doc_id for doc_id, _ in expected]
    for hit, (_, score) in zip(got, expected):
        assert hit.score == pytest.approx(score, rel=1e-12)


def full_scan(corpus, query, k):
    """BM25 of every matching document, from the raw corpus."""
    counted = [count_fields(document[0], document[1]) for document in corpus]
    norms = length_norms([fields.length for fields in counted], average_length(
        sum(fields.length for fields in counted), len(corpus)))

    def frequency(fields, leaf):
        def matching(term):
            return term == leaf.text or (leaf.prefix and term.startswith(leaf.text))
        content = sum(n for term, n in fields.content.items() if matching(term))
        title = sum(n for term, n in fields.title.items() if matching(term))
        return weighted_frequency(content, title)

    parsed = parse(query)
    leaves = parsed.leaves
    weights = [idf(len(corpus), sum(1 for fields in counted if frequency(fields, leaf))) for leaf in leaves]
    scored = []
    for doc_id, fields in enumerate(counted):
        frequencies = {leaf: frequency(fields, leaf) for leaf in leaves + parsed.excluded}
        satisfied = [clause for clause in parsed.clauses if all(frequencies[leaf] for leaf in clause.positive)
                     and not any(frequencies[leaf] for leaf in clause.negative)]
        if not satisfied:
            continue
        counted = {leaf for clause in satisfied for leaf in clause.positive}  # as FTS5: matched clauses only
        score = 0.0
        for leaf, weight in zip(leaves, weights):
            if leaf in counted:
                score += term_score(weight, frequencies[leaf], norms[doc_id])
        scored.append((-score, doc_id))
    return [(doc_id, -negated) for negated, doc_id in sorted(scored)[:k]]


query_words = st.sampled_from(WORDS[:20] + ["w5*", "w1*"])
queries = st.lists(st.lists(query_words, min_size=1, max_size=3), min_size=1, max_size=3).map(
    lambda clauses: " OR ".join(" ".join(dict.fromkeys(words)) for words in clauses))


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(seed=st.integers(0, 10**6), documents=st.integers(0, 120), query=queries,
       exclude=st.sampled_from(["", " -w3", " -w0"]), k=st.sampled_from([1, 3, 10, 50]),
       tiers=st.sampled_from([(1, 1), (2, 3), (4, 8), (1000, 256)]))
def test_early_termination_gives_the_top_k_of_a_full_scan(tmp_path_factory, seed, documents, query, exclude, k, tiers):
    corpus = zipf_corpus(seed, documents)
    directory = tmp_path_factory.mktemp("scan")
    build(corpus, directory, block_size=16, head_size=tiers[0], chunk_size=tiers[1])
    text = query if " OR " in query or not exclude else query + exclude
    with Index(directory) as index:
        got = [(hit.doc_id, hit.score) for hit in search(index, text, k).hits]
    expected = full_scan(corpus, text, k)
    assert [doc for doc, _ in got] == [doc for doc, _ in expected]
    assert all(math.isclose(a, b, rel_tol=1e-12) for (_, a), (_, b) in zip(got, expected))
