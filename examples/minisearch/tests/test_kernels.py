"""The native kernels against the pure-Python evaluation they stand in for: the same top k, scores
bit for bit, on random tiers and on the cases where the two differ most; bad input raises."""

import os
import random
import subprocess
import sys
import sysconfig
import threading
import zlib
from array import array
from pathlib import Path

import pytest
import quorbel
from conftest import add, build, with_options
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_ranking import zipf_corpus

import minisearch
from minisearch import Document, Index, kernels, ranking, search
from minisearch.errors import IndexUnusableError
from minisearch.kernels import KernelTable, MappedTerm
from minisearch.topk import ClauseSpec, TermPostings, top_k

native = pytest.mark.skipif(not kernels.NATIVE, reason=kernels.STATUS)

ENGINE = Path(__file__).resolve().parents[1]
MAX_I32 = 2**31 - 1


class Partition:
    """Terms laid out as the merge lays them out (head, then chunks), in one mapped buffer."""

    def __init__(self, norms, documents=None):
        self.norms = norms
        self.documents = documents or range(len(norms))
        self.data = bytearray(b"\0" * 8)
        self.starts, self.ends, self.crcs = [], [], []
        self.first_docs, self.max_f, self.impacts = [], [], []
        self.terms = []  # (weight, head, chunks, head_entry, first_chunk, tier_ratio)

    def add(self, weight, postings, head_size, chunk_size, tier_ratio=None, loosen=1.0):
        """A term of ``postings`` (document order), split into an impact-ordered head and chunks."""
        if len(postings) <= head_size:  # a short list: one entry, in document order
            head, chunks = postings, []
        else:
            norms = self.norms if tier_ratio is None else [ranking.norm_at_ratio(n, tier_ratio) for n in self.norms]
            impact = [ranking.impact(ranking.weighted_frequency(c, t), norms[d]) for d, c, t in postings]
            chosen = sorted(range(len(postings)), key=lambda i: -impact[i])[:head_size]  # ties by position
            head = [postings[i] for i in chosen]
            rest = [posting for i, posting in enumerate(postings) if i not in set(chosen)]
            chunks = [rest[i : i + chunk_size] for i in range(0, len(rest), chunk_size)]
        entry, first = len(self.starts), len(self.first_docs)
        for postings_of_entry in [head, *chunks]:
            encoded = quorbel.encode_posting_list(postings_of_entry, True)
            self.data += b"\7" * 3  # an entry header's place
            self.starts.append(len(self.data))
            self.data += encoded
            self.ends.append(len(self.data))
            self.crcs.append(zlib.crc32(encoded))
        for chunk in chunks:
            self.first_docs.append(chunk[0][0])
            self.max_f.append(max(ranking.weighted_frequency(c, t) for _, c, t in chunk))
            bound = max(ranking.impact(ranking.weighted_frequency(c, t), self.norms[d]) for d, c, t in chunk)
            self.impacts.append(bound * loosen)
        self.terms.append((weight, head, chunks, entry, first, tier_ratio))

    def python_terms(self):
        return [
            TermPostings(
                weight, head, self.first_docs[first : first + len(chunks)], self.max_f[first : first + len(chunks)],
                self.impacts[first : first + len(chunks)], load_chunk=chunks.__getitem__, tier_ratio=ratio,
            )
            for weight, head, chunks, _, first, ratio in self.terms
        ]

    def native_terms(self, crcs=True):
        table = KernelTable.of(self.starts, self.ends, self.crcs if crcs else None, self.first_docs, self.max_f,
                               self.impacts)
        unchecked = bytearray(b"\1" * len(self.starts))
        data = bytes(self.data)
        terms = []
        for python, (_, _, _, entry, first, _) in zip(self.python_terms(), self.terms):
            mapped = MappedTerm(data, table, unchecked, entry, first, self.documents, "partition.blk")
            terms.append(TermPostings(python.weight, [], python.first_docs, python.max_f, python.impacts,
                                      python.load_chunk, python.tier_ratio, lambda h=python.head: h, mapped))
        return terms


def both(partition, clauses, k, floor=float("-inf")):
    """(native, pure Python) answers, without the documents below ``floor``, which either may
    leave out (less the margin both take)."""
    cut = floor - abs(floor) * 1e-12
    native = top_k(partition.native_terms(), clauses, array("d", partition.norms), k, floor)[0]
    python = top_k(partition.python_terms(), clauses, list(partition.norms), k, floor)[0]
    return [hit for hit in native if hit[1] >= cut], [hit for hit in python if hit[1] >= cut]


def shape_clauses(shape, terms, excluded=frozenset()):
    every = tuple(range(terms))
    if shape == "or":
        return [ClauseSpec((index,), excluded) for index in every]
    return [ClauseSpec(every, excluded)]


@native
@settings(max_examples=300, deadline=None)
@given(
    seed=st.integers(0, 2**32),
    documents=st.integers(1, 120),
    term_count=st.integers(1, 4),
    shape=st.sampled_from(["and", "or"]),
    k=st.sampled_from([1, 2, 3, 10, 100]),
    tiers=st.sampled_from([(1, 1), (2, 3), (4, 8), (1000, 256)]),
    tier_ratio=st.sampled_from([None, None, 0.5, 2.0]),
    loosen=st.sampled_from([1.0, 1.0, 1.5]),
    floor=st.sampled_from([float("-inf"), float("-inf"), 0.5, 2.0]),
)
def test_the_kernels_answer_as_the_python_evaluation(
    seed, documents, term_count, shape, k, tiers, tier_ratio, loosen, floor
):
    rng = random.Random(seed)
    lengths = [rng.randint(1, 30) for _ in range(documents)]
    norms = ranking.length_norms(lengths, ranking.average_length(sum(lengths), documents))
    partition = Partition(norms)
    for _ in range(term_count):
        density = rng.choice([0.05, 0.3, 0.7, 1.0])  # common words overlap, as on real text
        postings = [
            (doc, rng.choice([0, 1, 1, 2, 5]), rng.choice([0, 0, 0, 1, 2]))
            for doc in range(documents)
            if rng.random() < density
        ]
        postings = [(doc, content or 1, title) for doc, content, title in postings]
        partition.add(rng.choice([ranking.MIN_IDF, 0.5, 1.7, 3.0]), postings, *tiers, tier_ratio=tier_ratio,
                      loosen=loosen)
    excluded = frozenset(rng.sample(range(documents), min(documents, rng.choice([0, 0, 3]))))
    native, python = both(partition, shape_clauses(shape, term_count, excluded), k, floor)
    assert native == python


@native
@pytest.mark.parametrize("tier_ratio", [0.5, 2.0])
def test_a_head_tiered_at_another_length_is_read_only_while_its_bound_reaches_theta(tier_ratio):
    # A segment tiered before later commits changed the average length: its head is in the impact
    # order of that length, and a one-word query still stops where the rest cannot reach theta.
    rng = random.Random(11)
    lengths = [rng.randint(1, 30) for _ in range(400)]
    norms = ranking.length_norms(lengths, ranking.average_length(sum(lengths), 400))
    partition = Partition(norms)
    postings = [(doc, rng.choice([1, 1, 2, 5]), rng.choice([0, 0, 1])) for doc in range(400)]
    partition.add(1.7, postings, 300, 50, tier_ratio=tier_ratio)
    clauses = shape_clauses("or", 1)
    native, stats = top_k(partition.native_terms(), clauses, array("d", norms), 3)
    assert native == top_k(partition.python_terms(), clauses, list(norms), 3)[0]
    assert stats.postings_decoded < 100  # of the head's 300, read from its front


def evenly(documents, content=1, title=0):
    return [(doc, content, title) for doc in documents]


EDGES = {
    "an empty head": ([[]], 3),
    "one posting": ([[(4, 1, 0)]], 3),
    "equal scores, ties by document id": ([evenly(range(0, 40, 3)), evenly(range(0, 40, 2))], 4),
    "the largest frequencies": ([[(0, MAX_I32, MAX_I32), (1, MAX_I32, 0), (2, 0, MAX_I32), (3, 1, 0)]], 2),
    "the last document": ([evenly([0, 39]), evenly([39])], 1),
}


@native
@pytest.mark.parametrize("shape", ["and", "or"])
@pytest.mark.parametrize("tiers", [(1, 1), (2, 2), (1000, 256)])
@pytest.mark.parametrize("case", EDGES)
def test_edge_cases_answer_alike(case, tiers, shape):
    lists, k = EDGES[case]
    partition = Partition([1.0] * 40)
    for postings in lists:
        partition.add(1.25, postings, *tiers)
    native, python = both(partition, shape_clauses(shape, len(lists)), k)
    assert native == python
    if case == "equal scores, ties by document id" and shape == "and":
        assert [doc for doc, _ in native] == [0, 6, 12, 18]


@native
@pytest.mark.parametrize("k", [1, 2])
def test_a_chunk_whose_bound_equals_theta_is_read_for_its_tie(k):
    # Document 1 has the larger impact and heads the list; document 0, in a chunk, has the smaller
    # impact but the same score once rounded: the chunk's bound is theta exactly, and document 0
    # wins the tie by its smaller id.
    norms = ranking.length_norms([10, 5, 30, 3, 3, 3, 3, 3], 7.5)
    weight = ranking.idf(8, 3)
    partition = Partition(norms)
    partition.add(weight, [(0, 5, 0), (1, 3, 0), (2, 1, 0)], head_size=1, chunk_size=1)
    assert partition.terms[0][1] == [(1, 3, 0)]
    assert weight * partition.impacts[0] == ranking.term_score(weight, 3, norms[1])
    native, python = both(partition, [ClauseSpec((0,))], k)
    assert native == python
    assert [doc for doc, _ in native] == [0, 1][:k]


@native
def test_a_head_document_is_looked_up_in_a_chunk_left_unread():
    # OR: document 0 heads "a" and sits in the only chunk of "b", a chunk too weak to be read for
    # documents met nowhere; document 1 heads "b" with a lower bound above "a"'s part of document 0,
    # yet document 0 scores highest once its part in "b" is looked up.
    partition = Partition([1.0] * 5 + [100.0])
    partition.add(1.0, [(0, 10, 0), (5, 1, 0)], head_size=1, chunk_size=1)
    partition.add(1.0, [(0, 1, 0), (1, 20, 0)], head_size=1, chunk_size=1)
    native, python = both(partition, shape_clauses("or", 2), 1)
    assert native == python == [(0, ranking.term_score(1.0, 10, 1.0) + ranking.term_score(1.0, 1, 1.0))]


@native
def test_a_document_beyond_the_norms_is_an_index_error_on_both_paths():
    partition = Partition([1.0] * 4, documents=range(0, 2**31))
    partition.add(1.0, [(1, 1, 0), (MAX_I32, 1, 0)], head_size=8, chunk_size=8)
    with pytest.raises(IndexError):
        top_k(partition.python_terms(), [ClauseSpec((0,))], [1.0] * 4, 3)
    with pytest.raises(IndexError, match="beyond the index's 4"):
        top_k(partition.native_terms(), [ClauseSpec((0,))], array("d", [1.0] * 4), 3)


@native
def change_a_byte(data, start, end):
    data[start] ^= 0x40


def cut_the_last_varint(data, start, end):
    data[end - 1] = 0x80


@native
@pytest.mark.parametrize(
    ("damage", "message"),
    [
        (change_a_byte, "its CRC-32 is not the term table's"),
        (cut_the_last_varint, "Invalid varint encoding: unexpected end of data"),
    ],
)
def test_a_damaged_entry_is_named(damage, message):
    partition = Partition([1.0] * 8)
    partition.add(1.0, evenly(range(8)), head_size=2, chunk_size=3)
    damage(partition.data, partition.starts[1], partition.ends[1])
    # Without a CRC-32 to check, the decoder finds the cut varint; with one, the check comes first.
    terms = partition.native_terms(crcs="CRC" in message)
    named = f"partition.blk: the entry at byte {partition.starts[1]} is damaged: {message}"
    with pytest.raises(IndexUnusableError, match=named):
        top_k(terms, [ClauseSpec((0,))], array("d", [0.1] + [1.0] * 7), 8)


@native
def test_postings_outside_the_segment_are_named():
    partition = Partition([1.0] * 8, documents=range(4, 8))
    partition.add(1.0, evenly([1, 5]), head_size=8, chunk_size=8)
    with pytest.raises(IndexUnusableError, match="names documents outside 4..7"):
        top_k(partition.native_terms(), [ClauseSpec((0,))], array("d", [1.0] * 8), 3)


@native
def test_an_entry_is_checked_once_and_marked():
    partition = Partition([1.0] * 8)
    partition.add(1.0, evenly(range(8)), head_size=2, chunk_size=3)
    terms = partition.native_terms()
    unchecked = terms[0].mapped.unchecked
    top_k(terms, [ClauseSpec((0,))], array("d", [1.0] * 8), 100)
    assert list(unchecked) == [0, 0, 0]


def good_arguments():
    partition = Partition([1.0] * 4)
    partition.add(1.0, evenly(range(4)), head_size=1, chunk_size=2)
    term = kernels.mapped_term(1.0, partition.native_terms()[0].mapped, 2, True)
    return [0, (term,), None, array("d", [1.0] * 4), 3, float("-inf"), 1.2, 4]


def replaced(index, value):
    arguments = good_arguments()
    arguments[index] = value
    return arguments


def with_term_field(field, value):
    arguments = good_arguments()
    term = list(arguments[1][0])
    term[field] = value
    arguments[1] = (tuple(term),)
    return arguments


BAD = {
    "too few arguments": ([0], TypeError),
    "an unknown shape": (replaced(0, 3), ValueError),
    "terms as a list": (replaced(1, []), TypeError),
    "two terms for one": (replaced(1, good_arguments()[1] * 2), ValueError),
    "a list as excluded": (replaced(2, [1]), TypeError),
    "norms of ints": (replaced(3, array("q", [1])), TypeError),
    "norms as a list": (replaced(3, [1.0]), TypeError),
    "a negative k": (replaced(4, -1), ValueError),
    "a huge title weight": (replaced(7, 2**40), OverflowError),
    "a short term": (replaced(1, ((1.0,),)), TypeError),
    "a head outside the table": (with_term_field(4, 99), ValueError),
    "chunks outside the table": (with_term_field(6, 5), ValueError),
    "a read-only unchecked": (with_term_field(3, b"\1\1\1"), BufferError),
    "a file that is no buffer": (with_term_field(1, 3), TypeError),
    "a stale order of one number": (with_term_field(7, (2.0,)), TypeError),
    "a stale order at ratio 0": (with_term_field(7, (0.0, 0.3)), ValueError),
    "a stale order at ratio nan": (with_term_field(7, (float("nan"), 0.3)), ValueError),
    "a stale order of strings": (with_term_field(7, ("2", 0.3)), TypeError),
    "given postings of strings": (replaced(1, (kernels.given_term(1.0, [("a", 1, 0)], 4),)), TypeError),
    "a given doc id beyond 32 bits": (replaced(1, (kernels.given_term(1.0, [(2**40, 1, 0)], 4),)), OverflowError),
}


@native
@pytest.mark.parametrize("case", BAD)
def test_bad_input_raises_and_never_crashes(case):
    arguments, error = BAD[case]
    native = sys.modules["minisearch._kernels"]
    with pytest.raises(error):
        native.top_k(*arguments)


def segments_arguments(segments):
    _, (term,), _, norms, *rest = good_arguments()
    return [0, segments((term,)), norms, *rest]


BAD_SEGMENTS = {
    "segments as a list": (segments_arguments(lambda terms: [(terms, None)]), TypeError),
    "a segment without its excluded": (segments_arguments(lambda terms: ((terms,),)), TypeError),
    "a segment's terms as a list": (segments_arguments(lambda terms: ((list(terms), None),)), TypeError),
    "a list as excluded": (segments_arguments(lambda terms: ((terms, [1]),)), TypeError),
    "excluded ids of 64 bits": (segments_arguments(lambda terms: ((terms, array("q", [1])),)), TypeError),
    "two terms for one": (segments_arguments(lambda terms: ((terms * 2, None),)), ValueError),
}


@native
@pytest.mark.parametrize("case", BAD_SEGMENTS)
def test_bad_segments_raise_and_never_crash(case):
    arguments, error = BAD_SEGMENTS[case]
    with pytest.raises(error):
        sys.modules["minisearch._kernels"].top_k_segments(*arguments)


@native
def test_excluded_ids_in_a_buffer_leave_out_what_a_set_does():
    native = sys.modules["minisearch._kernels"]
    arguments = replaced(4, 4)
    by_set = native.top_k(*replaced_in(arguments, 2, frozenset({0, 2})))
    by_ids = native.top_k(*replaced_in(arguments, 2, array("i", [0, 2])))
    assert by_ids == by_set and sorted(doc for doc, _ in by_set[0]) == [1, 3]
    _, terms, _, norms, *rest = arguments
    over_segments = native.top_k_segments(0, ((terms, array("i", [0, 2])), ((None,), None)), norms, *rest)
    assert over_segments == by_set


def replaced_in(arguments, index, value):
    return [*arguments[:index], value, *arguments[index + 1 :]]


@native
def test_an_entry_past_the_end_of_the_file_is_refused():
    arguments = good_arguments()
    term = list(arguments[1][0])
    term[1] = bytes(term[1])[:10]
    arguments[1] = (tuple(term),)
    with pytest.raises(ValueError, match="lies outside the file"):
        sys.modules["minisearch._kernels"].top_k(*arguments)


@native
def test_threads_searching_one_index_agree_and_let_it_close(tmp_path):
    # On the free-threaded interpreter: the same answers, and the mapped files and arrays every
    # thread reads are released (an export counted twice would keep the index from closing).
    build(zipf_corpus(3, 300), tmp_path, block_size=64, head_size=4, chunk_size=8)
    queries = ["w0", "w1 w2", "w3 OR w4", "w0 w5", "w2 -w1", "w6 OR w7 OR w8"] * 5
    index = Index(tmp_path)
    expected = [[(hit.doc_id, hit.score) for hit in search(index, query).hits] for query in queries]
    answers, errors = [None] * 8, []

    def run(slot):
        try:
            for _ in range(15):
                answers[slot] = [[(hit.doc_id, hit.score) for hit in search(index, query).hits] for query in queries]
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=run, args=(slot,)) for slot in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    index.close()
    assert not errors and answers == [expected] * 8


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="a free-threaded interpreter only")
def test_importing_the_kernels_keeps_the_gil_off():
    code = "import sys, minisearch.kernels as k; assert k.NATIVE; sys.exit(sys._is_gil_enabled())"
    env = {**os.environ, "PYTHON_GIL": "0", "PYTHONWARNINGS": "error"}
    assert subprocess.run([sys.executable, "-c", code], cwd=ENGINE, env=env).returncode == 0


def run_engine(code, **env):
    return subprocess.run([sys.executable, "-c", code], cwd=ENGINE, env={**os.environ, **env},
                          capture_output=True, text=True, timeout=120)


def test_the_help_says_when_the_engine_runs_on_python():
    done = run_engine("from minisearch.cli import main; main(['--help'])", MINISEARCH_PURE="1")
    assert "Queries are evaluated by pure Python (MINISEARCH_PURE is set)." in done.stdout


def test_without_the_built_module_the_engine_answers_on_python(tmp_path):
    code = f"""
import sys
sys.modules["minisearch._kernels"] = None  # as on a machine without a compiler
from minisearch import Document, Index, build_index, kernels, search
from minisearch.options import BuildOptions
assert not kernels.NATIVE and kernels.STATUS == "pure Python (the native kernels are not built)"
build_index([Document("a", "x y"), Document("b", "x")], {str(tmp_path)!r}, BuildOptions(workers=0, show_progress=False))
with Index({str(tmp_path)!r}) as index:
    print([hit.doc_id for hit in search(index, "x").hits])
"""
    done = run_engine(code, MINISEARCH_PURE="")
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[1, 0]"


def delete(keys, index_dir):
    return with_options(minisearch.delete_documents, keys, index_dir)


@native
def test_plain_queries_over_segments_with_deletions_answer_as_python(tmp_path, monkeypatch):
    # Words, ANDs and ORs go straight to the kernels segment by segment, each segment's shape
    # chosen from what it holds; the Python evaluation is the oracle.
    corpus = [Document(doc.title, doc.content, number) for number, doc in enumerate(zipf_corpus(7, 240))]
    build(corpus[:120], tmp_path, head_size=4, chunk_size=8)
    add(corpus[120:200], tmp_path, head_size=4, chunk_size=8)
    add(corpus[200:] + [Document("", "solo", "only-here")], tmp_path)
    delete(list(range(0, 240, 7)), tmp_path)
    queries = ["w0", "w1 w2", "w3 OR w4", "w0 OR w0", "w5 w59", "solo", "solo OR w1", "w2 solo", "w6 OR w7 OR w58"]
    with Index(tmp_path) as index:
        native_hits = [[(hit.doc_id, hit.score) for hit in search(index, query, k).hits] for query in queries for k in (1, 5)]
        for module in ("minisearch.search", "minisearch.topk"):
            monkeypatch.setattr(sys.modules[module], "NATIVE", False)
        python_hits = [[(hit.doc_id, hit.score) for hit in search(index, query, k).hits] for query in queries for k in (1, 5)]
    assert native_hits == python_hits and any(native_hits[0]) and native_hits[-1]


@native
@pytest.mark.parametrize("k", [1, 2, 3, 5])
def test_equal_scores_across_segments_rank_by_document_id(tmp_path, k):
    # One call ranks every segment: a tie between segments goes to the lower id, a deleted
    # document never, and the floor a segment hands on keeps the later ones' equal scores.
    same = [Document("", "tie alpha", f"k{n}") for n in range(6)]
    build(same[:2] + [Document("", "other", "o")], tmp_path)  # ids 0, 1 and 2
    add(same[2:4], tmp_path)  # 3, 4
    add(same[4:], tmp_path)  # 5, 6
    delete(["k0"], tmp_path)
    with Index(tmp_path) as index:
        assert len(index.segments) == 3
        hits = search(index, "tie", k).hits
    assert [hit.doc_id for hit in hits] == [1, 3, 4, 5, 6][:k]
    assert len({hit.score for hit in hits}) == 1
