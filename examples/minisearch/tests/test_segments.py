"""Partitions and segments: routing, add, merges and optimize give what one fresh build gives."""

import gc
import itertools
import json
import os
import types
import weakref
from array import array
from concurrent.futures import Future
from pathlib import Path

import pytest
import quorbel
from conftest import FRUIT, add, build, data_file, visible_files, with_options
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_ranking import WORDS, zipf_corpus

import minisearch
from minisearch import Index, check_index, merge, search, segments
from minisearch.blocks import block_path, build_block, partition_path
from minisearch.executors import InlineExecutor
from minisearch.manifest import new_generation
from minisearch.partitions import choose_partitions, parse_size, partition_of
from minisearch.policy import MERGE_FACTOR, next_merge, tier_of

QUERIES = ["w0", "w3", "w17", "w1 w2", "w0 w9", "w4 OR w30", "w2 w5 OR w9", "w1 -w2", "w1*", "w0 w1* OR w11"]


def answers(index_dir, k=10):
    with Index(index_dir) as index:
        return {query: [(hit.doc_id, hit.score) for hit in search(index, query, k).hits] for query in QUERIES}


def segment_files(index_dir, roles=("lengths", "titles")):
    """The bytes of every partition's files and of ``roles``, per segment."""
    manifest = minisearch.manifest.read_manifest(index_dir)
    return [
        {role: (index_dir / name).read_bytes() for role, name in segment.files.items()
         if role in roles or role.startswith(("postings-", "terms-"))}
        for segment in manifest.segments
    ]


def test_partitions_follow_crc32_of_the_term():
    assert partition_of("123456789", 1000) == 0xCBF43926 % 1000  # the standard CRC-32 check value
    assert partition_of("anything", 1) == 0
    assert {partition_of(word, 4) for word in WORDS} == {0, 1, 2, 3}


# CRC-32 of each term's UTF-8 bytes, worked out once with zlib.crc32.
NON_ASCII_CRC32 = {"café": 0x98AD42B5, "naïve": 0xD50F8166, "straße": 0x883F52CD, "東京": 0x922642EF,
                   "ελλάδα": 0x2E6A8ADD, "crème": 0xE2A8A2F5}


@pytest.mark.parametrize("partitions", [2, 3, 7])
def test_a_non_ascii_term_lives_in_the_partition_of_the_crc32_of_its_utf8(tmp_path, partitions):
    expected = {term: crc % partitions for term, crc in NON_ASCII_CRC32.items()}
    assert {term: partition_of(term, partitions) for term in NON_ASCII_CRC32} == expected
    build([minisearch.Document("", f"{term} plain") for term in NON_ASCII_CRC32], tmp_path, partitions=partitions)
    held = [{entry[0] for entry in quorbel.iter_block_terms(str(data_file(tmp_path, f"postings-{number:03}")))}
            for number in range(partitions)]
    assert {term: [number for number in range(partitions) if term in held[number]] for term in expected} == {
        term: [number] for term, number in expected.items()}


@pytest.mark.parametrize(("text", "size"), [("512M", 512 * 2**20), ("2g", 2 * 2**30), ("1.5GiB", 3 * 2**29),
                                            ("1000", 1000), ("64kb", 65536)])
def test_sizes_parse(text, size):
    assert parse_size(text) == size


@pytest.mark.parametrize("text", ["", "lots", "-1M", "0", "5X"])
def test_bad_sizes_are_refused(text):
    with pytest.raises(ValueError, match="not a size"):
        parse_size(text)


def test_the_partition_count_keeps_a_merge_within_the_budget():
    assert choose_partitions(None, 2**20) == 1
    assert choose_partitions(10**6, 2**30) == 1
    assert choose_partitions(10**9, 512 * 2**20) > choose_partitions(10**9, 2**30) > 1


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(seed=st.integers(0, 10**6), documents=st.integers(1, 90), cuts=st.lists(st.floats(0, 1), max_size=3),
       partitions=st.sampled_from([1, 2, 5]), tiers=st.sampled_from([(1, 1), (2, 3), (128, 256)]),
       merge_policy=st.booleans())
def test_partitions_and_added_segments_answer_as_one_fresh_build(
    tmp_path_factory, seed, documents, cuts, partitions, tiers, merge_policy
):
    corpus = zipf_corpus(seed, documents)
    reference, parts = tmp_path_factory.mktemp("one"), tmp_path_factory.mktemp("parts")
    build(corpus, reference, head_size=tiers[0], chunk_size=tiers[1])
    bounds = [0, *sorted({round(cut * documents) for cut in cuts} - {0}), documents]
    build(corpus[: bounds[1]], parts, partitions=partitions, head_size=tiers[0], chunk_size=tiers[1])
    for start, stop in itertools.pairwise(bounds[1:]):
        add(corpus[start:stop], parts, merge=merge_policy)
    expected = answers(reference)
    assert answers(parts) == expected
    assert check_index(parts).ok
    with_options(minisearch.optimize_index, parts, executor=InlineExecutor())
    assert len(minisearch.manifest.read_manifest(parts).segments) == 1
    assert answers(parts) == expected
    assert check_index(parts).ok
    if partitions == 1:  # one segment, one partition: the very files of the fresh build
        assert segment_files(parts) == segment_files(reference)


def test_a_partitioned_build_splits_the_terms_and_keeps_the_files(tmp_path):
    build(FRUIT, tmp_path / "one", partitions=1)
    build(FRUIT, tmp_path / "four", partitions=4)
    manifest = minisearch.manifest.read_manifest(tmp_path / "four")
    (segment,) = manifest.segments
    one = minisearch.manifest.read_manifest(tmp_path / "one").segments[0]
    assert manifest.partitions == 4 and len(segment.partition_terms) == 4 and segment.terms == one.terms
    assert all(segment.partition_terms) and len(visible_files(tmp_path / "four")) == 5 + 3 * 4
    assert answers(tmp_path / "four") == answers(tmp_path / "one")
    for role in ("lengths", "titles", "docs"):
        assert data_file(tmp_path / "four", role).read_bytes() == data_file(tmp_path / "one", role).read_bytes()


def test_add_numbers_the_new_documents_after_the_index_and_keeps_its_shape(tmp_path):
    build(FRUIT[:4], tmp_path, partitions=3, store_documents=False)
    report = add(FRUIT[4:], tmp_path, merge=False)
    manifest = report.manifest
    assert report.documents == 3 and manifest.documents == 7 and len(manifest.segments) == 2
    assert manifest.segments[1].first_doc == 4 and not manifest.segments[1].has_documents
    with Index(tmp_path) as index:
        assert index.titles == [document.title for document in FRUIT]
        assert [hit.doc_id for hit in search(index, "zebra OR apple").hits] == [5, 3, 0, 4, 1]
    assert add([], tmp_path).segment is None
    assert minisearch.manifest.read_manifest(tmp_path) == manifest


def test_add_and_optimize_need_an_index(tmp_path):
    with pytest.raises(minisearch.IndexUnusableError, match="no index in"):
        add(FRUIT, tmp_path)
    with pytest.raises(minisearch.IndexUnusableError, match="no index in"):
        with_options(minisearch.optimize_index, tmp_path)


@pytest.mark.parametrize(("sizes", "run"), [
    ([], None),
    ([1, 2, 3], None),
    ([1, 2, 3, 1], (0, 4)),
    ([100, 5, 5, 6, 4], (1, 5)),
    ([64, 16, 4, 4, 4, 16], None),
    ([64, 16, 16, 16, 16, 1], (1, 5)),
])
def test_the_policy_merges_runs_of_neighbours_of_one_tier(sizes, run):
    assert next_merge(sizes) == run


def test_repeated_adds_keep_the_segment_count_logarithmic():
    sizes: list[int] = []
    for adds in range(1, 500):
        sizes.append(3)
        while (run := next_merge(sizes)) is not None:
            sizes[run[0] : run[1]] = [sum(sizes[run[0] : run[1]])]
        assert sum(sizes) == 3 * adds
        assert len(sizes) <= (MERGE_FACTOR - 1) * (tier_of(sum(sizes)) + 1)


@pytest.mark.parametrize(("sizes", "merges", "after"), [
    ([1, 1, 1, 1, 1, 1], [0, 0, 1, 0, 0], [4, 1, 1]),
    # The fourth 1 makes a fourth 4, and those four merge again in the same add.
    ([4, 4, 4, 1, 1, 1, 1], [0, 0, 0, 0, 0, 2], [16]),
    ([16, 4, 4, 4, 1, 1, 1, 1], [0, 0, 0, 0, 0, 0, 2], [16, 16]),
])
def test_adds_merge_segments_by_the_policy_until_no_tier_is_full(tmp_path, sizes, merges, after):
    corpus = [FRUIT[number % len(FRUIT)] for number in range(sum(sizes))]
    bounds = list(itertools.accumulate(sizes, initial=0))
    build(corpus[: sizes[0]], tmp_path)
    reports = [add(corpus[start:stop], tmp_path) for start, stop in itertools.pairwise(bounds[1:])]
    assert [report.merges for report in reports] == merges
    assert [s.documents for s in reports[-1].manifest.segments] == after
    with Index(tmp_path) as index:
        assert index.titles == [document.title for document in corpus]
    assert check_index(tmp_path).ok


def test_an_interrupted_merge_keeps_the_index_and_open_readers_keep_working(tmp_path, monkeypatch):
    build(FRUIT[:3], tmp_path, partitions=2)
    add(FRUIT[3:], tmp_path, merge=False)
    before = {name: (tmp_path / name).read_bytes() for name in visible_files(tmp_path)}
    expected = answers(tmp_path)

    def failing(*args):
        raise KeyboardInterrupt

    with monkeypatch.context() as patch:
        patch.setattr(merge, "write_synced", failing)
        with pytest.raises(KeyboardInterrupt):
            with_options(minisearch.optimize_index, tmp_path, executor=InlineExecutor())
    assert {name: (tmp_path / name).read_bytes() for name in visible_files(tmp_path)} == before
    with Index(tmp_path) as reader:
        with_options(minisearch.optimize_index, tmp_path, executor=InlineExecutor())
        assert {q: [(h.doc_id, h.score) for h in search(reader, q).hits] for q in QUERIES} == expected
        assert reader.content(5) == FRUIT[5].content  # its files are gone from the directory
    assert len(minisearch.manifest.read_manifest(tmp_path).segments) == 1 and answers(tmp_path) == expected


class TakenFuture(Future):
    taken = False

    def result(self, timeout=None):
        self.taken = True
        return super().result(timeout)


class MergeRecorder(InlineExecutor):
    """Runs each call at once; notes each merge task, and once it is submitted the merges in flight
    (their results not taken yet) and the block reports still alive."""

    def __init__(self):
        self.tasks, self.merges, self.reports, self.in_flight, self.alive = [], [], [], [], []

    def submit(self, fn, /, *args, **kwargs):
        future = TakenFuture()
        future.set_result(fn(*args, **kwargs))
        if fn is build_block:
            self.reports.append(weakref.ref(future.result()))
        elif fn is merge.merge_partition:
            gc.collect()
            self.tasks.append(args[0])
            self.merges.append(future)
            self.in_flight.append(sum(not merge_future.taken for merge_future in self.merges))
            self.alive.append(sum(report() is not None for report in self.reports))
        return future


def test_merges_get_only_their_partition_with_twice_the_workers_in_flight_and_no_block_report_kept(tmp_path):
    # A pool or a cluster's scheduler holds a task until it has run: not every partition's inputs at once.
    recorder = MergeRecorder()
    build(FRUIT, tmp_path / "parts", executor=recorder, workers=2, partitions=9)
    assert [task.number for task in recorder.tasks] == list(range(9))
    assert max(recorder.in_flight) == 2 * 2 and max(recorder.alive) == 0 < len(recorder.reports)
    for task in recorder.tasks:
        blocks = str(Path(task.inputs[0].postings_path).parent)
        assert [source.postings_path for source in task.inputs] == [
            partition_path(block_path(blocks, number), task.number) for number in range(len(recorder.reports))
        ]
    build(FRUIT, tmp_path / "one", partitions=1)
    assert answers(tmp_path / "parts") == answers(tmp_path / "one")


def test_a_missing_or_misplaced_partition_is_named(tmp_path):
    build(FRUIT, tmp_path, partitions=3)
    terms = data_file(tmp_path, "terms-001")
    os.rename(terms, tmp_path / "aside")
    with pytest.raises(minisearch.IndexUnusableError, match="cannot read .*terms-.*-001.bin"):
        Index(tmp_path)
    assert any("terms-" in p and "missing" in p for p in check_index(tmp_path).problems)
    os.rename(tmp_path / "aside", terms)
    assert check_index(tmp_path).ok
    manifest_path = tmp_path / "manifest.json"
    manifest = json.loads(manifest_path.read_text())
    segment = manifest["segments"][0]
    for kind in ("postings", "terms"):  # partitions 0 and 1 swap their contents
        first, second = (tmp_path / segment["files"][f"{kind}-00{number}"] for number in (0, 1))
        first_bytes = first.read_bytes()
        first.write_bytes(second.read_bytes())
        second.write_bytes(first_bytes)
        for field in ("file_sizes", "file_sha256"):
            values = segment[field]
            values[f"{kind}-000"], values[f"{kind}-001"] = values[f"{kind}-001"], values[f"{kind}-000"]
    segment["partition_terms"][:2] = segment["partition_terms"][1::-1]
    manifest_path.write_text(json.dumps(manifest))
    assert any("terms of other partitions" in problem for problem in check_index(tmp_path).problems)


def test_the_manifest_counts_must_add_up(tmp_path):
    build(FRUIT, tmp_path)
    manifest_path = tmp_path / "manifest.json"
    manifest = json.loads(manifest_path.read_text())
    manifest["documents"] += 1
    manifest_path.write_text(json.dumps(manifest))
    with pytest.raises(minisearch.IndexUnusableError, match="do not add up"):
        Index(tmp_path)


@pytest.mark.parametrize("head_size", [1, 4])
def test_segments_tiered_at_another_average_length_still_rank_exactly(tmp_path, head_size):
    # Short documents first: their tiers put short documents ahead.  The long documents added
    # later raise the average length, and long documents with many occurrences overtake them.
    first = [minisearch.Document(f"s{n}", "x " * (1 + n % 3) + "y " * (n % 2)) for n in range(12)]
    first += [minisearch.Document(f"l{n}", "x " * (3 + n) + "filler " * (30 + 10 * n)) for n in range(6)]
    later = [minisearch.Document(f"a{n}", "x y " + "padding " * 400) for n in range(30)]
    build(first + later, tmp_path / "one", head_size=head_size, chunk_size=2)
    build(first, tmp_path / "parts", head_size=head_size, chunk_size=2)
    add(later, tmp_path / "parts", merge=False)
    with Index(tmp_path / "one") as one, Index(tmp_path / "parts") as parts:
        for query in ("x", "y", "x y", "x OR y"):
            for k in (1, 2, 5):
                assert search(parts, query, k).hits == search(one, query, k).hits, (query, k)


def test_a_head_ordered_at_another_average_length_is_read_whole(tmp_path):
    # In the first segment (average length 4) the head of "x" is A, B, C by impact; once the long
    # documents arrive (average length 250), C scores above A, and A above B.
    first = [minisearch.Document("", text) for text in ("x", "x z", "x x x x x" + " f" * 15, "x" + " f" * 49)]
    first += [minisearch.Document("", "q")] * 20
    build(first, tmp_path, head_size=3, chunk_size=2)
    add([minisearch.Document("", "pad " * 400)] * 40, tmp_path, merge=False)
    with Index(tmp_path) as index:
        assert [hit.doc_id for hit in search(index, "x", 3).hits] == [2, 0, 1]
        assert [hit.doc_id for hit in search(index, "x", 1).hits] == [2]


def test_a_file_written_in_place_of_another_replaces_it_whole_or_not_at_all(tmp_path):
    target = tmp_path / "file"
    target.write_bytes(b"old")
    with pytest.raises(KeyboardInterrupt), minisearch.durability.written_in_place_of(target) as path:
        Path(path).write_bytes(b"half")
        raise KeyboardInterrupt
    assert os.listdir(tmp_path) == ["file"] and target.read_bytes() == b"old"
    with minisearch.durability.written_in_place_of(target) as first, minisearch.durability.written_in_place_of(target) as second:
        Path(first).write_bytes(b"one")
        Path(second).write_bytes(b"two")
    assert os.listdir(tmp_path) == ["file"] and target.read_bytes() == b"one"


def test_a_head_ordered_at_a_longer_average_length_stops_where_it_may(tmp_path):
    # First segment: average length 236, head of "x" = P (five times in 100 tokens), Q ("x z").
    # The short documents added bring it to 16: Q now scores above P.
    first = [minisearch.Document("", text) for text in ("x " * 5 + "f " * 95, "x z", "x" + " f" * 200)]
    first += [minisearch.Document("", "pad " * 300)] * 10
    later = [minisearch.Document("", "q")] * 200
    build(first + later, tmp_path / "one", head_size=2, chunk_size=2)
    build(first, tmp_path / "parts", head_size=2, chunk_size=2)
    add(later, tmp_path / "parts", merge=False)
    with Index(tmp_path / "one") as one, Index(tmp_path / "parts") as parts:
        assert search(one, "x", 1).hits[0].doc_id == 1
        for k in (1, 2, 3):
            assert search(parts, "x", k).hits == search(one, "x", k).hits


def test_a_few_documents_are_indexed_without_starting_the_pool(tmp_path, monkeypatch):
    """Not even the pool's queues are made: the local pool is made at its first task."""

    def refuse(*args, **kwargs):
        raise AssertionError("a small source made a process pool")

    build(FRUIT, tmp_path / "inline", block_size=4000, partitions=2)
    monkeypatch.setattr(minisearch.executors, "ProcessPoolExecutor", refuse)
    minisearch.build_index(FRUIT, tmp_path / "pool", minisearch.BuildOptions(show_progress=False, partitions=2))
    inline, pool = (minisearch.manifest.read_manifest(tmp_path / name).segments[0] for name in ("inline", "pool"))
    assert inline.file_sha256 == pool.file_sha256
    report = minisearch.upsert_documents(FRUIT[:2], tmp_path / "pool",
                                         minisearch.BuildOptions(show_progress=False, pending_limit=0))
    assert report.segment is not None and report.segment.documents == 2


@pytest.mark.skipif(not minisearch.native_build.AVAILABLE, reason="the native build kernels are not built")
@pytest.mark.parametrize(("as_list", "limit"), [(True, "THREADED_SOURCE"), (False, "SMALL_SOURCE_NATIVE")])
def test_on_the_kernels_a_small_source_is_indexed_on_threads(tmp_path, monkeypatch, as_list, limit):
    """A list is measured by its length; any other source is read ahead up to its own limit. The
    threads write what one thread writes."""

    def refuse(*args, **kwargs):
        raise AssertionError("a small source started worker processes")

    monkeypatch.setattr(minisearch.segments.ProcessPoolExecutor, "submit", refuse)
    monkeypatch.setattr(segments, "THREADED_SOURCE", 60)
    monkeypatch.setattr(segments, "SMALL_SOURCE_NATIVE", 30)
    monkeypatch.setattr(segments, "SMALL_SOURCE", 10)  # fewer are indexed in this thread
    count = getattr(segments, limit)
    corpus = [minisearch.Document(f"t{n}", f"w{n % 7} x \u00e9t\u00e9{n}") for n in range(count + 1)]
    options = minisearch.BuildOptions(show_progress=False, partitions=2, block_size=7)
    source = list if as_list else iter
    minisearch.build_index(source(corpus[:count]), tmp_path / "threads", options)
    build(corpus[:count], tmp_path / "inline", block_size=7, partitions=2)
    threads, inline = (minisearch.manifest.read_manifest(tmp_path / name).segments[0] for name in ("threads", "inline"))
    assert threads.file_sha256 == inline.file_sha256
    with pytest.raises(AssertionError, match="started worker processes"):
        minisearch.build_index(source(corpus), tmp_path / "larger", options)


@pytest.mark.skipif(not minisearch.native_build.AVAILABLE, reason="the native build kernels are not built")
@pytest.mark.parametrize("native_merge", [True, False])
def test_blocks_held_in_memory_merge_as_written_ones(tmp_path, monkeypatch, native_merge):
    """A small source on the kernels keeps its blocks in memory, and no block file is made; a
    merge that reads files (the Python one) has them written first."""
    if not native_merge:
        monkeypatch.setattr(minisearch.native_build, "merges", lambda task: False)
    held_inputs: list[bool] = []
    on_disk = merge._on_disk
    monkeypatch.setattr(merge, "_on_disk", lambda source: held_inputs.append(source.held is not None) or on_disk(source))
    made: list[str] = []
    monkeypatch.setattr(minisearch.blocks, "_write_bytes", lambda path, data: made.append(path))
    corpus = zipf_corpus(5, 300)
    options = minisearch.BuildOptions(show_progress=False, partitions=2, block_size=64)
    minisearch.build_index(corpus, tmp_path / "held", options)
    monkeypatch.undo()
    build(corpus, tmp_path / "files", block_size=64, partitions=2)
    held, files = (minisearch.manifest.read_manifest(tmp_path / name).segments[0] for name in ("held", "files"))
    assert held.file_sha256 == files.file_sha256
    assert made == []
    assert held_inputs == ([] if native_merge else [True] * 5 * 2)  # 5 blocks, 2 partitions


def one_at_a_time(blocks, known):
    """What a recorder that checks every key by itself finds: the keys, or the first error."""
    recorder = segments.KeyRecorder(0, known)
    number = 0
    try:
        for block in blocks:
            for document in block:
                if len(document) > 2 and document[2] is not None:
                    recorder._check(number, document[2])
                number += 1
    except minisearch.DocumentError as error:
        return str(error)
    return [document[2] if len(document) > 2 else None for block in blocks for document in block]


@settings(max_examples=200, deadline=None)
@given(
    st.lists(st.lists(st.one_of(st.none(), st.sampled_from(["a", "b", "", 1, 2, True, 1.0, "1"])), max_size=5),
             max_size=4),
    st.sampled_from([frozenset(), frozenset({"b", 2})]),
)
def test_keys_checked_a_block_at_a_time_fail_where_one_at_a_time_would(key_blocks, known):
    blocks = [[minisearch.Document("t", "c", key) if key is not None else ("t", "c") for key in block]
              for block in key_blocks]
    recorder = segments.KeyRecorder(0, known)
    try:
        for block in blocks:
            recorder.record(block)
        found = recorder.keys
    except minisearch.DocumentError as error:
        found = str(error)
    assert found == one_at_a_time(blocks, known)


@pytest.mark.parametrize("partitions", [1, 2, 5])
def test_the_work_beside_the_merges_starts_once_the_first_tasks_are_sent(tmp_path, partitions):
    """The side files' thread would hold the interpreter while the next merge waited to be sent:
    it starts after the first tasks (two for one worker), and once."""
    events: list[object] = []

    class Recording(InlineExecutor):
        def submit(self, fn, /, *args, **kwargs):
            (task,) = args
            events.append(task.number)
            future: Future[object] = Future()
            future.set_result(types.SimpleNamespace(number=task.number))
            return future

    plan = segments.SegmentPlan(new_generation(), tmp_path, 0, partitions, 128, 256, False, Recording(), workers=1)
    reports = segments._merge_partitions(plan, lambda partition: (), array("I", [3, 4]),
                                         then=lambda: events.append("beside"))
    assert [report.number for report in reports] == list(range(partitions))
    first = min(partitions, 2)
    assert events == [*range(first), "beside", *range(first, partitions)]
