"""The phrase kernels against the pure-Python phrases they stand in for: the same postings per
segment and the same ranked answer, scores bit for bit, on random indexes of several segments with
deletions, heads and chunks, short and long fields; damaged positions and bad input raise."""

import os
import random
import sys
import threading
import zlib
from array import array

import pytest
from conftest import build, with_options
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import minisearch
from minisearch import Document, Index, phrase_kernels, phrases, positions, search
from minisearch.errors import IndexUnusableError
from minisearch.executors import InlineExecutor
from minisearch.manifest import read_manifest
from minisearch.query import parse
from minisearch.topk import ClauseSpec, TermPostings, top_k

native = pytest.mark.skipif(not phrase_kernels.PHRASES, reason=minisearch.kernels.STATUS)
pytestmark = native

# Words that share prefixes ("b*" is three terms), and one that fills a field so that the gaps
# between positions outgrow a byte (such runs are varints).
WORDS = ["a", "a", "a", "b", "b", "ba", "bab", "c"]
SHAPE = dict(block_size=8, head_size=2, chunk_size=3, partitions=2)


def random_documents(rng, count, start=0):
    documents = []
    for number in range(count):
        title = rng.choices(WORDS, k=rng.randint(0, 4))
        content = rng.choices(WORDS, k=rng.randint(0, 12))
        if rng.random() < 0.15:
            content[rng.randint(0, len(content)) :] = ["z"] * 300 + rng.choices(WORDS, k=4)
        documents.append(Document(" ".join(title), " ".join(content), f"k{start + number}"))
    return documents


def random_index(directory, seed):
    """An index of one to three segments, some documents deleted."""
    rng = random.Random(seed)
    build(random_documents(rng, rng.randint(1, 30)), directory, **SHAPE)
    for added in range(rng.randint(0, 2)):
        start = 1_000 * (added + 1) + rng.randint(0, 900)  # keys apart from every other add's
        with_options(minisearch.add_documents, random_documents(rng, rng.randint(1, 12), start), directory,
                     executor=InlineExecutor(), merge=False, **SHAPE)
    keys = [key for segment_keys in _keys(directory) for key in segment_keys if key is not None]
    gone = set(rng.sample(keys, rng.randint(0, len(keys) // 3)))
    if gone:
        minisearch.delete_documents(gone, directory, minisearch.BuildOptions(show_progress=False))


def _keys(directory):
    with Index(directory) as index:
        return [segment.keys() for segment in index.segments]


def pure(index, monkeypatch):
    """``index`` searched on the pure-Python phrases."""
    monkeypatch.setattr(phrases, "PHRASES", False)
    monkeypatch.setattr(index, "phrase_norms", None)


phrase_texts = st.builds(
    lambda words, prefix, field: (f"{field}:" if field else "") + '"' + " ".join(words) + ("*" if prefix else "") + '"',
    st.lists(st.sampled_from(["a", "b", "ba", "c", "z"]), min_size=2, max_size=3),
    st.booleans(),
    st.sampled_from([None, None, "title", "content"]),
)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(seed=st.integers(0, 2**32), queries=st.lists(phrase_texts, min_size=1, max_size=6))
def test_the_kernels_find_the_postings_and_answers_of_the_python_phrases(tmp_path_factory, monkeypatch, seed, queries):
    directory = tmp_path_factory.mktemp("phrases")
    random_index(directory, seed)
    with Index(directory) as index:
        for text in queries:
            leaf = parse(text).leaves[0]
            for segment in index.segments:
                kernel = phrase_kernels.unpack(phrase_kernels.phrase_postings(segment, leaf))
                assert kernel == phrases.python_phrase_postings(segment, leaf), text
        queries += [f"{queries[0]} a", f"{queries[0]} OR c", f"b -{queries[0]}"]  # with other units
        answers = [[(hit.doc_id, hit.score) for hit in search(index, text, 5).hits] for text in queries]
        with monkeypatch.context() as patch:
            pure(index, patch)
            assert [[(hit.doc_id, hit.score) for hit in search(index, text, 5).hits] for text in queries] == answers


@pytest.mark.parametrize(
    ("documents", "query", "expected"),
    [
        ([Document("x a", "b y"), Document("z", "a b")], '"a b"', [(1, 1, 0)]),  # not from title into content
        ([Document("", "a a a"), Document("a a", "a")], '"a a"', [(0, 2, 0), (1, 0, 1)]),  # overlapping places
        ([Document("a b a b", "c a b")], '"a b a"', [(0, 0, 1)]),
        ([Document("", "a bab ba b"), Document("", "a c")], '"a b*"', [(0, 1, 0)]),
        ([Document("", "b ba bab b b")], '"b b*"', [(0, 2, 0)]),  # the first word among the expansions
        ([Document("a b", "a b"), Document("", "a b")], 'title:"a b"', [(0, 0, 1)]),
        ([Document("a b", "a b"), Document("a b", "")], 'content:"a b"', [(0, 1, 0)]),
        ([Document("", "a " + "z " * 400 + "a b")], '"a b"', [(0, 1, 0)]),  # a run of varints
        # Either side of place 1024, where two words stop being matched as bits and are merged.
        ([Document("", "a b " + "z " * 1020 + "a b")], '"a b"', [(0, 2, 0)]),
        ([Document("", "a b " + "z " * 1021 + "a b")], '"a b"', [(0, 2, 0)]),
        ([Document("", "b " + "z " * 1022 + "a"), Document("", "z " * 1023 + "a b")], '"a b"', [(1, 1, 0)]),
        ([Document("", "z " * 1023 + "a"), Document("", "a a")], '"a a"', [(1, 1, 0)]),  # nothing after 1023
        ([Document("", "z " * 1100 + "a a a")], '"a a"', [(0, 2, 0)]),  # a word twice, far in
        ([Document("", "z " * 1100 + "a bab a b")], '"a b*"', [(0, 2, 0)]),  # a prefix, far in
    ],
)
def test_the_places_counted(tmp_path, documents, query, expected):
    build(documents, tmp_path)
    with Index(tmp_path) as index:
        (segment,) = index.segments
        assert phrase_kernels.unpack(phrase_kernels.phrase_postings(segment, parse(query).leaves[0])) == expected


def test_deleted_documents_are_left_out_and_not_counted(tmp_path):
    build([Document("", "a b", "k0"), Document("", "a b a b", "k1"), Document("", "b a", "k2")], tmp_path)
    minisearch.delete_documents({"k1"}, tmp_path, minisearch.BuildOptions(show_progress=False))
    with Index(tmp_path) as index:
        leaf = parse('"a b"').leaves[0]
        assert phrase_kernels.unpack(phrase_kernels.phrase_postings(index.segments[0], leaf)) == [(0, 1, 0)]
        hits = search(index, '"a b"').hits
        # The phrase's document count is 1 (document 1 held it, and is gone), of 2 live documents.
        expected = minisearch.ranking.term_score(minisearch.ranking.idf(2, 1), 1, index.norms[0])
    assert [(hit.doc_id, hit.score) for hit in hits] == [(0, expected)]


def positions_file(directory, partition=0):
    return directory / read_manifest(directory).segments[0].files[f"positions-{partition:03d}"]


def damage_first_run(data):
    data[4] = 7  # the first run's kind


def cut_the_index(data):
    del data[-9:-8]


@pytest.mark.parametrize("damage", [damage_first_run, cut_the_index])
def test_damaged_positions_raise_index_unusable(tmp_path, damage):
    build([Document("", "a b " * 20), Document("", "b a")], tmp_path, partitions=1)
    path = positions_file(tmp_path)
    data = bytearray(path.read_bytes())
    damage(data)
    path.write_bytes(bytes(data))
    with Index(tmp_path) as index, pytest.raises(IndexUnusableError, match=path.name):
        search(index, '"a b"')


def rewrite_runs(path, change):
    """The positions file at ``path`` written again with each run's bytes ``change``d."""
    data = path.read_bytes()
    index = positions.read_position_index(data)
    with open(path, "wb") as handle:
        writer = positions.PositionsWriter(handle)
        for term in range(index.terms):
            writer.add_term([(count, change(run)) for count, run in index.runs(data, term)])
        writer.finish()


def as_deflated_words(run):
    """A run as indexes before version 6 held one with a gap from 256 on."""
    if run[:1] != b"\x02":
        return run
    words = array("I", positions._varint_gaps(run[1:], "run"))
    if sys.byteorder == "big":
        words.byteswap()
    packer = zlib.compressobj(1, zlib.DEFLATED, -15, 1, zlib.Z_HUFFMAN_ONLY)
    return b"\x01" + packer.compress(words.tobytes()) + packer.flush()


def test_runs_of_deflated_words_written_before_are_read_alike(tmp_path, monkeypatch):
    random_index(tmp_path, 7)
    queries = ['"a z"', '"z z a"', 'content:"z b*"', '"a b" OR "z c"']
    with Index(tmp_path) as index:
        answers = [[(hit.doc_id, hit.score) for hit in search(index, text, 5).hits] for text in queries]
    kinds = []
    for name in os.listdir(tmp_path):
        if name.startswith("positions-"):
            rewrite_runs(tmp_path / name, lambda run: kinds.append(run[:1]) or as_deflated_words(run))
    assert b"\x02" in kinds
    with Index(tmp_path) as index:
        assert [[(hit.doc_id, hit.score) for hit in search(index, text, 5).hits] for text in queries] == answers
        with monkeypatch.context() as patch:
            pure(index, patch)
            assert [[(hit.doc_id, hit.score) for hit in search(index, text, 5).hits] for text in queries] == answers


@pytest.mark.parametrize(
    ("damage", "message"),
    [
        (lambda body: body[:-1] + bytes([body[-1] | 0x80]), "its last gap is cut short"),
        (lambda body: b"\xff\xff\xff\xff\x1f" + body[1:], "a gap beyond 32 bits"),
        (lambda body: b"\x80\x80\x80\x80\x80" + body, "a gap of over 5 bytes"),
    ],
)
@pytest.mark.parametrize("on_kernels", [True, False])
def test_a_damaged_varint_run_raises_index_unusable(tmp_path, monkeypatch, damage, message, on_kernels):
    build([Document("", "a " + "z " * 400 + "a b")], tmp_path, partitions=1)
    path = positions_file(tmp_path)
    rewrite_runs(path, lambda run: run[:1] + damage(run[1:]) if run[:1] == b"\x02" else run)
    with Index(tmp_path) as index, pytest.raises(IndexUnusableError, match=message) as raised:
        if not on_kernels:
            pure(index, monkeypatch)
        search(index, '"a b"')
    assert path.name in str(raised.value)


def test_positions_of_another_partition_are_refused(tmp_path):
    # Well-formed, but of other terms: their runs do not hold the postings' positions.
    build([Document("", " ".join(random.Random(1).choices("abcdefgh", k=60)))] * 3, tmp_path, partitions=2)
    path, other = positions_file(tmp_path, 0), positions_file(tmp_path, 1)
    path.write_bytes(other.read_bytes())
    with Index(tmp_path) as index:
        for word in "abcdefgh":
            leaf = parse(f'"{word} a"').leaves[0]
            try:
                found = phrase_kernels.unpack(phrase_kernels.phrase_postings(index.segments[0], leaf))
            except IndexUnusableError as error:
                assert path.name in str(error)
            else:  # a run that happens to fit: positions, however wrong
                assert all(content >= 0 and title >= 0 for _, content, title in found)


@pytest.fixture
def small_index(tmp_path):
    build([Document("a", "a b"), Document("b", "b a b")], tmp_path, partitions=1)
    with Index(tmp_path) as index:
        yield index


def good_call(index):
    segment = index.segments[0]
    partition = segment.partitions[0]
    _, table, term = segment.find("a")
    return [
        (partition.phrase_views.of(partition),),
        ((0, table.heads[term], 1 + table.chunk_count[term], term, table.first_chunk[term]),),
        ((0,),),  # one word: its places
        None,
        0,
    ]


def changed(index, position, value):
    arguments = good_call(index)
    arguments[position] = value(arguments[position]) if callable(value) else value
    return arguments


def with_partition_field(field, value):
    def change(partitions):
        fields = list(partitions[0])
        fields[field] = value
        return (tuple(fields),)

    return change


BAD = {
    "too few arguments": (lambda index: good_call(index)[:3], TypeError),
    "partitions as a list": (lambda index: changed(index, 0, list), TypeError),
    "a short partition": (lambda index: changed(index, 0, ((1, 2),)), TypeError),
    "a file that is no memoryview": (lambda index: changed(index, 0, with_partition_field(0, b"MSP1")), TypeError),
    "starts of the wrong type": (lambda index: changed(index, 0, with_partition_field(1, memoryview(b"x" * 8))),
                                 TypeError),
    "a term in no partition": (lambda index: changed(index, 1, ((3, 0, 1, 0, 0),)), ValueError),
    "entries past the table": (lambda index: changed(index, 1, ((0, 0, 10**6, 0, 0),)), ValueError),
    "a term past the positions": (lambda index: changed(index, 1, ((0, 0, 1, 10**6, 0),)), ValueError),
    "a term of four fields": (lambda index: changed(index, 1, ((0, 0, 1, 0),)), TypeError),
    "chunks past the table": (lambda index: changed(index, 1, ((0, 0, 1, 0, 10**6),)), ValueError),
    "a negative first chunk": (lambda index: changed(index, 1, ((0, 0, 1, 0, -1),)), ValueError),
    "counts read-only": (lambda index: changed(index, 0, with_partition_field(5, memoryview(array("I", [0] * 9))
                                                                           .toreadonly())), BufferError),
    "chunk documents of the wrong type": (lambda index: changed(index, 0, with_partition_field(6, memoryview(b"x"))),
                                          TypeError),
    "no words": (lambda index: changed(index, 2, ()), ValueError),
    "a word of no term": (lambda index: changed(index, 2, ((0,), ())), ValueError),
    "a word naming a missing term": (lambda index: changed(index, 2, ((0,), (5,))), ValueError),
    "deleted as a list": (lambda index: changed(index, 3, [1]), TypeError),
    "deleted of longs": (lambda index: changed(index, 3, memoryview(array("q", [1]))), TypeError),
    "an unknown field": (lambda index: changed(index, 4, 3), ValueError),
}


@pytest.mark.parametrize("case", BAD)
def test_bad_input_raises_and_never_crashes(small_index, case):
    make, error = BAD[case]
    with pytest.raises(error):
        sys.modules["minisearch._kernels"].phrase_postings(*make(small_index))


def test_the_good_call_of_the_bad_input_cases_answers(small_index):
    assert phrase_kernels.unpack(sys.modules["minisearch._kernels"].phrase_postings(*good_call(small_index))) == [
        (0, 1, 1), (1, 1, 0)
    ]


@pytest.mark.parametrize(
    ("packed", "error"),
    [(b"\0" * 11, ValueError), ("x", TypeError), (array("i", [5, 1, 0]).tobytes(), IndexError)],
)
def test_packed_postings_that_are_not_whole_or_name_unknown_documents_raise(small_index, packed, error):
    pack = phrase_kernels.PackedPostings(packed, small_index.phrase_norms)
    with pytest.raises(error):
        phrase_kernels.packed_top_k(1.0, pack, frozenset(), 3, float("-inf"))


def test_an_index_searched_for_phrases_closes_and_releases_its_files(tmp_path):
    build([Document("a", "a b"), Document("b", "b a b")], tmp_path)
    index = Index(tmp_path)
    assert search(index, '"a b"').hits
    views = [partition.phrase_views for segment in index.segments for partition in segment.partitions]
    index.close()
    assert all(view.fields is None and not view._held for view in views)
    assert all(segment.partitions == [] for segment in index.segments)


def test_threads_searching_phrases_agree_and_let_the_index_close(tmp_path):
    # On the free-threaded interpreter: the views every thread exports are counted right, so the
    # index closes once they are done; words and phrases share the mapped files.
    rng = random.Random(5)
    build(random_documents(rng, 80), tmp_path, **SHAPE)
    queries = ['"a b"', '"b a*"', "a b", 'title:"a a"', '"a c" OR b', '"c z"'] * 4
    index = Index(tmp_path)
    expected = [[(hit.doc_id, hit.score) for hit in search(index, query).hits] for query in queries]
    answers, errors = [None] * 6, []

    def run(slot):
        try:
            for _ in range(10):
                answers[slot] = [[(hit.doc_id, hit.score) for hit in search(index, query).hits] for query in queries]
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=run, args=(slot,)) for slot in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    index.close()
    assert not errors and answers == [expected] * 6


@settings(max_examples=150, deadline=None)
@given(
    seed=st.integers(0, 2**32),
    k=st.sampled_from([0, 1, 3, 10]),
    floor=st.sampled_from([float("-inf"), 0.5, 2.0]),
    weight=st.sampled_from([minisearch.ranking.MIN_IDF, 0.7, 2.5]),
)
def test_packed_postings_rank_as_the_python_evaluation_of_their_list(seed, k, floor, weight):
    rng = random.Random(seed)
    documents = rng.randint(1, 60)
    lengths = [rng.randint(1, 40) for _ in range(documents)]
    norms = minisearch.ranking.length_norms(lengths, minisearch.ranking.average_length(sum(lengths), documents))
    postings = [(doc, rng.choice([0, 1, 2, 7]), rng.choice([0, 0, 1, 3])) for doc in range(documents)
                if rng.random() < 0.5]
    postings = [(doc, content, title) for doc, content, title in postings if content or title]
    excluded = frozenset(rng.sample(range(documents), min(documents, rng.choice([0, 2]))))
    pack = phrase_kernels.PackedPostings(array("i", [v for p in postings for v in p]).tobytes(),
                                         memoryview(array("d", norms)))
    native, _ = phrase_kernels.packed_top_k(weight, pack, excluded, k, floor)
    python, _ = top_k([TermPostings(weight, postings)], [ClauseSpec((0,), excluded)], list(norms), k, floor)
    cut = floor - abs(floor) * 1e-12  # either may leave out what scores below the floor
    assert native == [hit for hit in python if hit[1] >= cut]


def test_a_damaged_entry_of_a_word_is_named(tmp_path):
    build([Document("", "a b " * 30), Document("", "b a")], tmp_path, partitions=1, head_size=1, chunk_size=1)
    path = tmp_path / read_manifest(tmp_path).segments[0].files["postings-000"]
    with Index(tmp_path) as index:
        _, table, term = index.segments[0].find("b")
        start = table.starts[table.heads[term] + 1]
    data = bytearray(path.read_bytes())
    data[start] ^= 0x40
    path.write_bytes(bytes(data))
    with Index(tmp_path) as index, pytest.raises(IndexUnusableError, match=f"the entry at byte {start} is damaged"):
        search(index, '"a b"')


def test_each_entry_is_checked_once_and_marked_in_the_phrase_views(small_index):
    search(small_index, '"a b"')
    partition = small_index.segments[0].partitions[0]
    unchecked = partition.phrase_views.of(partition)[4]
    segment = small_index.segments[0]
    checked = {table.heads[term] for _, table, term in map(segment.find, "ab")}
    assert {entry for entry, flag in enumerate(unchecked) if not flag} == checked


@pytest.mark.parametrize("shape", [minisearch.kernels.Shape.ONE_TERM, minisearch.kernels.Shape.EVERY_TERM])
def test_k_zero_asks_for_nothing_and_gets_nothing(small_index, shape):
    # The running top k once read the k-th best of an empty heap when k was 0.
    term = minisearch.kernels.given_term(1.0, [(0, 1, 0), (1, 2, 1)], 2)
    hits, _ = sys.modules["minisearch._kernels"].top_k(int(shape), (term,), None, array("d", [1.0, 1.0]), 0,
                                                        float("-inf"), 1.2, 4)
    pack = phrase_kernels.PackedPostings(array("i", [0, 1, 0, 1, 2, 1]).tobytes(), small_index.phrase_norms)
    assert hits == [] and phrase_kernels.packed_top_k(1.0, pack, frozenset(), 0, float("-inf"))[0] == []


@pytest.mark.parametrize("count", [200, 0])
def test_runs_whose_counts_do_not_fit_the_postings_raise(tmp_path, count):
    # The positions index says the first run of "a" ends after `count` of its 130 postings.
    build([Document("", "a b")] * 130, tmp_path, partitions=1)
    path = positions_file(tmp_path)
    data = path.read_bytes()
    index = positions.read_position_index(data)
    with Index(tmp_path) as opened:
        _, _, term = opened.segments[0].find("a")
    index.run_counts[index.term_runs[term]] = count
    (start,) = positions._TAIL.unpack_from(data, len(data) - positions._TAIL.size)
    payload = positions._COUNTS.pack(index.terms, len(index.run_ends)) + b"".join(
        values.tobytes() for values in (index.term_runs, index.run_counts, index.run_ends)
    )
    path.write_bytes(data[:start] + zlib.compress(payload) + positions._TAIL.pack(start))
    with Index(tmp_path) as opened, pytest.raises(IndexUnusableError, match=path.name):
        search(opened, '"a b"')


# A word in nearly every document beside rare ones: the rare word's few candidates are looked up
# in the common word's chunks (a list over 16 times the rarest is not read whole), whose runs of
# positions span several chunks and the head's postings between them.
SKEWED = dict(block_size=16, head_size=4, chunk_size=5, partitions=2)


def skewed_documents(rng, count, start=0):
    documents = []
    for number in range(count):
        words = ["a"] * rng.randint(0, 6) + rng.choices(["b", "c", "d"], k=rng.randint(0, 4))
        if rng.random() < 0.03:
            words += ["r", "a", "ra"] if rng.random() < 0.7 else ["a", "r"]
        rng.shuffle(words)
        title = rng.sample(words, min(len(words), rng.randint(0, 3)))
        documents.append(Document(" ".join(title), " ".join(words), f"k{start + number}"))
    return documents


def skewed_index(directory, seed, segments, optimized):
    rng = random.Random(seed)
    build(skewed_documents(rng, 260), directory, **SKEWED)
    for number in range(segments - 1):
        add_start = 1_000 * (number + 1)
        with_options(minisearch.add_documents, skewed_documents(rng, 180, add_start), directory,
                     executor=InlineExecutor(), merge=False, **SKEWED)
    keys = [key for segment_keys in _keys(directory) for key in segment_keys if key is not None]
    minisearch.delete_documents(set(rng.sample(keys, len(keys) // 10)), directory,
                                minisearch.BuildOptions(show_progress=False))
    if optimized:  # one segment whose runs were joined from several (runs of their own lengths)
        with_options(minisearch.optimize_index, directory, executor=InlineExecutor(), **SKEWED)


SKEWED_QUERIES = ['"r a"', '"a r"', '"a r a"', '"r a ra"', '"a ra"', '"r a*"', '"a r*"', '"b a"',
                  'title:"a r"', 'content:"r a"', '"a a"', '"a r" OR b', '"r a" -c']


@pytest.mark.parametrize(("seed", "segments", "optimized"), [(1, 1, False), (2, 3, False), (3, 3, True)])
def test_rare_words_look_up_common_words_chunk_by_chunk_as_python_reads_them(tmp_path, monkeypatch, seed,
                                                                                segments, optimized):
    skewed_index(tmp_path, seed, segments, optimized)
    with Index(tmp_path) as index:
        segment = index.segments[0]
        _, table, term = segment.find("a")
        assert table.chunk_count[term] > 20  # the common word's list is chunked
        for text in SKEWED_QUERIES:
            leaf = parse(text).leaves[0]
            for segment in index.segments:
                kernel = phrase_kernels.unpack(phrase_kernels.phrase_postings(segment, leaf))
                assert kernel == phrases.python_phrase_postings(segment, leaf), text
        answers = [[(hit.doc_id, hit.score) for hit in search(index, text, 7).hits] for text in SKEWED_QUERIES]
        assert sum(map(len, answers)) > 20
        with monkeypatch.context() as patch:
            pure(index, patch)
            assert [[(hit.doc_id, hit.score) for hit in search(index, text, 7).hits]
                    for text in SKEWED_QUERIES] == answers


def test_a_chunk_the_term_table_misplaces_is_named(tmp_path):
    # Well-formed postings, but the table says the chunk starts at another document: a look-up
    # would miss, so the chunk is refused when read.
    build([Document("", "a b" if number % 40 == 0 else "a c") for number in range(200)], tmp_path,
          partitions=1, head_size=2, chunk_size=4)
    path = tmp_path / read_manifest(tmp_path).segments[0].files["terms-000"]
    with Index(tmp_path) as index:
        _, table, term = index.segments[0].find("a")
        first = table.first_chunk[term] + 3
    terms = minisearch.layout.decode_term_table(path.read_bytes())
    first_docs = list(terms.chunk_first_doc)
    first_docs[first] += 1
    path.write_bytes(_term_table_with(terms, chunk_first_doc=first_docs))
    with Index(tmp_path) as index, pytest.raises(IndexUnusableError, match="not the chunk its term table describes"):
        for segment in index.segments:
            phrase_kernels.phrase_postings(segment, parse('"a c"').leaves[0])


def _term_table_with(table, **changes):
    fields = {name: getattr(table, name) for name in ("terms", "doc_freq", "chunk_count", "chunk_first_doc",
                                                       "chunk_max_f", "chunk_min_length", "chunk_impact", "crcs")}
    fields.update(changes)
    starts, ends = table.starts, table.ends
    gaps = [start - (ends[number - 1] if number else 8) for number, start in enumerate(starts)]
    sizes = [end - start for start, end in zip(starts, ends)]
    return minisearch.layout.encode_term_table(
        fields["terms"], gaps, sizes, fields["doc_freq"], fields["chunk_count"], fields["chunk_first_doc"],
        fields["chunk_max_f"], fields["chunk_min_length"], fields["chunk_impact"], fields["crcs"],
    )


def test_inflated_runs_kept_for_one_index_are_never_read_for_another(tmp_path):
    # Two indexes alike in every table (terms, runs, their sizes) whose positions differ; the runs
    # are deflated (their gaps outgrow a byte), so the kernels keep them once inflated.
    filler = "z " * 300
    for name, content in (("ab", "a b"), ("ba", "b a")):
        build([Document("", filler + content), Document("", filler + "c " + content)], tmp_path / name,
              partitions=1)
    with Index(tmp_path / "ab") as first, Index(tmp_path / "ba") as second:
        for _ in range(3):
            assert [hit.doc_id for hit in search(first, '"a b"').hits] == [0, 1]
            assert search(second, '"a b"').hits == []
            assert [hit.doc_id for hit in search(second, '"b a"').hits] == [0, 1]


@pytest.mark.parametrize("count", [2, 600])
def test_decoded_lists_kept_for_one_index_are_never_read_for_another(tmp_path, count):
    # Two indexes alike in their terms and entries whose postings differ by one document; with 600
    # documents the lists are long enough to be kept whole, with 2 only their heads are.
    first, second = tmp_path / "first", tmp_path / "second"
    build([Document("", "a b")] * count + [Document("", "x")], first, partitions=1)
    build([Document("", "x")] + [Document("", "a b")] * count, second, partitions=1)
    with Index(first) as one, Index(second) as two:
        for _ in range(3):
            assert [hit.doc_id for hit in search(one, '"a b"', 3).hits] == [0, 1, 2][:count]
            assert [hit.doc_id for hit in search(two, '"a b"', 3).hits] == [1, 2, 3][:count]
            assert [hit.doc_id for hit in search(one, '"b a"', 3).hits] == []
