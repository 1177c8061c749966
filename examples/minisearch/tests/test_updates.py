"""Documents that change: keys, delete, upsert, sync, and the writer's lock, against a fresh build
of the live documents."""

import json
import math
import os
import random
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
from conftest import build, visible_files, with_options
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_ranking import zipf_corpus

import minisearch
import minisearch.cli
from minisearch import Document, Index, search
from minisearch.executors import InlineExecutor
from minisearch.indexer import live_keys
from minisearch.manifest import read_manifest
from minisearch.errors import FormatError
from minisearch.indexer import _segment_live_keys
from minisearch.layout import (
    DELETES_MAGIC,
    TITLES_MAGIC,
    DeletionSet,
    _pack,
    decode_deletion_set,
    decode_keys,
    decode_titles,
    encode_keys,
)
from test_indexer import fail_rename_into

WORDS = [f"w{number}" for number in range(12)]
QUERIES = ["w0", "w3", "w1 w2", "w0 OR w7", "w1*", "w2 -w0", "w11"]
SHAPE = dict(block_size=3, head_size=2, chunk_size=3, partitions=2)
#: Options that write every change into segments and deletion sets at once, none left pending.
FOLDED = minisearch.BuildOptions(show_progress=False, pending_limit=0)


def document(rng, key):
    def text(low, high):
        return " ".join(rng.choices(WORDS, [1 / (n + 1) for n in range(len(WORDS))], k=rng.randint(low, high)))

    return Document(text(0, 3), text(0, 12), key)


def answers(index_dir, queries=QUERIES):
    with Index(index_dir) as index:
        return {query: [(hit.key, hit.score) for hit in search(index, query, 10).hits] for query in queries}


def fresh(live, directory):
    """A fresh build of the live documents, in the order the index numbers them."""
    build(live, directory, **SHAPE)
    return answers(directory)


def assert_same(got, expected):
    assert got.keys() == expected.keys()
    for query in got:
        assert [key for key, _ in got[query]] == [key for key, _ in expected[query]], query
        assert all(math.isclose(a, b, rel_tol=1e-12) for (_, a), (_, b) in zip(got[query], expected[query]))


steps = st.lists(
    st.tuples(st.sampled_from(["add", "delete", "upsert", "optimize"]), st.integers(1, 6)), min_size=1, max_size=5
)


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(seed=st.integers(0, 10**6), start=st.integers(1, 15), steps=steps, limit=st.sampled_from([0, 5, 1000]))
def test_any_sequence_of_changes_ranks_as_a_fresh_build_of_the_live_documents(
    tmp_path_factory, seed, start, steps, limit
):
    """Changes written at once, left pending, or both (a change past the limit folds those before
    it); the pending ones rank alike before and after they are folded."""
    rng = random.Random(seed)
    directory = tmp_path_factory.mktemp("changing")
    counter = iter(range(10**6))
    live = {}  # key -> document, in the order the index numbers them
    first = [document(rng, f"d{next(counter)}") for _ in range(start)]
    build(first, directory, **SHAPE)
    live.update((doc.key, doc) for doc in first)
    for action, count in steps:
        if action == "add":
            new = [document(rng, f"d{next(counter)}") for _ in range(count)]
            with_options(minisearch.add_documents, new, directory, executor=InlineExecutor(), **SHAPE)
            live.update((doc.key, doc) for doc in new)
        elif action == "delete":
            gone = rng.sample(sorted(live), min(count, len(live)))
            report = with_options(minisearch.delete_documents, gone, directory, pending_limit=limit)
            assert report.deleted == len(gone) and not report.unknown_keys
            for key in gone:
                del live[key]
        elif action == "upsert":
            keys = rng.sample(sorted(live), min(count, len(live))) + [f"d{next(counter)}"]
            new = [document(rng, key) for key in keys]
            # From a list, the replaced documents are looked for before the blocks are built; from
            # an iterator, once they are.
            source = new if rng.random() < 0.5 else iter(new)
            report = with_options(minisearch.upsert_documents, source, directory, executor=InlineExecutor(),
                                  pending_limit=limit, **SHAPE)
            assert (report.documents, report.replaced) == (len(new), len(keys) - 1)
            for doc in new:  # a replaced document takes a new, larger id
                live.pop(doc.key, None)
                live[doc.key] = doc
        else:
            with_options(minisearch.optimize_index, directory, executor=InlineExecutor())
        assert not minisearch.check_index(directory).problems
    expected = fresh(list(live.values()), tmp_path_factory.mktemp("fresh"))
    assert_same(answers(directory), expected)
    with Index(directory) as index:
        assert index.documents == len(live)
    with_options(minisearch.add_documents, [], directory, executor=InlineExecutor())  # folds what is pending
    assert not minisearch.manifest.read_manifest(directory).pending
    assert_same(answers(directory), expected)


@pytest.fixture
def keyed(tmp_path):
    rng = random.Random(3)
    documents = [document(rng, f"k{n}") for n in range(20)]
    build(documents, tmp_path / "index", **SHAPE)
    return tmp_path / "index", documents


def test_keys_reach_hits_and_documents_and_deleted_keys_are_gone(keyed):
    directory, documents = keyed
    with Index(directory) as index:
        hit = search(index, "w0", 1).hits[0]
        assert index.document(hit.key) == documents[hit.doc_id]
    minisearch.delete_documents([hit.key], directory, minisearch.BuildOptions(show_progress=False))
    with Index(directory) as index:
        with pytest.raises(KeyError):
            index.document(hit.key)
        assert hit.key not in {h.key for h in search(index, "w0", 100).hits}


BAD_KEYS = [
    ([Document("t", "c", 1.5)], "key 1.5 is neither"),
    ([Document("t", "c", "")], "key '' is neither"),
    ([Document("t", "c", True)], "key True is neither"),
    ([Document("t", "c", "new"), Document("t", "c", ["k2"])], "document 1: key \\['k2'\\] is neither"),
    ([Document("t", "c", "x"), Document("u", "d", "x")], "document 1: key 'x' repeats document 0"),
]


@pytest.mark.parametrize(
    ("update", "documents", "message"),
    [("add", [Document("t", "c", "k3")], "key 'k3' is in the index already")]
    + [(update, *case) for update in ("add", "upsert a list", "upsert an iterator") for case in BAD_KEYS],
)
def test_bad_or_repeated_keys_are_refused_and_nothing_changes(keyed, update, documents, message):
    directory, _ = keyed
    before = {path.name: path.read_bytes() for path in directory.iterdir()}
    source = iter(documents) if update == "upsert an iterator" else documents
    write = minisearch.add_documents if update == "add" else minisearch.upsert_documents
    with pytest.raises(minisearch.DocumentError, match=message):
        with_options(write, source, directory, executor=InlineExecutor())
    assert {path.name: path.read_bytes() for path in directory.iterdir()} == before


@pytest.mark.parametrize("damage", ["missing", "corrupt"])
def test_a_missing_or_corrupt_deletion_set_is_named_by_search_and_check(keyed, damage):
    directory, _ = keyed
    minisearch.delete_documents(["k1"], directory, FOLDED)
    path = next(directory.glob("deletes-*.bin"))
    if damage == "missing":
        path.unlink()
    else:
        path.write_bytes(path.read_bytes()[:-3] + b"xyz")
    with pytest.raises(minisearch.IndexUnusableError, match=path.name):
        Index(directory)
    assert any(path.name in problem for problem in minisearch.check_index(directory).problems)
    before = {name: (directory / name).read_bytes() for name in visible_files(directory)}
    # an upsert finds what it replaces while its own segment merges, on another thread
    for update, argument, limit in [(minisearch.upsert_documents, [Document("t", "words", "k2")], limit)
                                    for limit in (0, 100)] + [(minisearch.delete_documents, ["k2"], 100)]:
        with pytest.raises(minisearch.IndexUnusableError, match=path.name):
            with_options(update, argument, directory, pending_limit=limit)
        assert {name: (directory / name).read_bytes() for name in visible_files(directory)} == before


def test_a_second_writer_waits_for_the_first_and_names_it_when_it_gives_up(keyed):
    directory, _ = keyed
    taken, release = threading.Event(), threading.Event()

    def hold():
        with minisearch.durability.build_lock(directory):
            taken.set()
            release.wait(10)

    holder = threading.Thread(target=hold)
    holder.start()
    taken.wait(10)
    try:
        with pytest.raises(minisearch.IndexUnusableError, match=rf"another writer holds .*pid {os.getpid()}"):
            minisearch.delete_documents(["k2"], directory, minisearch.BuildOptions(wait=0.1))
        threading.Timer(0.2, release.set).start()
        report = minisearch.delete_documents(["k2"], directory, minisearch.BuildOptions(wait=10))
        assert report.deleted == 1
    finally:
        release.set()
        holder.join()


def test_a_reader_keeps_its_commit_until_it_refreshes(keyed):
    directory, _ = keyed
    with Index(directory) as index:
        before = search(index, "w0", 50).hits
        minisearch.delete_documents([before[0].key], directory, minisearch.BuildOptions(show_progress=False))
        assert search(index, "w0", 50).hits == before
        assert index.refresh() and not index.refresh()
        after = search(index, "w0", 50).hits  # the word's look-up kept from before is not reused
        assert before[0].key not in {hit.key for hit in after}
        with Index(directory) as fresh:
            assert after == search(fresh, "w0", 50).hits


def test_opening_follows_a_commit_that_removed_the_files_it_was_opening(keyed, monkeypatch):
    directory, documents = keyed
    real = minisearch.reader.SegmentReader
    calls = []

    def committing_meanwhile(*args):
        if not calls:  # the first open: a commit replaces the manifest and removes the old files
            calls.append(1)
            with_options(minisearch.add_documents, [Document("new", "w0", "new")], directory,
                         executor=InlineExecutor(), merge=False)
            with_options(minisearch.optimize_index, directory, executor=InlineExecutor())
        return real(*args)

    monkeypatch.setattr(minisearch.reader, "SegmentReader", committing_meanwhile)
    with Index(directory) as index:
        assert index.documents == len(documents) + 1


def test_sync_adds_replaces_and_deletes_files(tmp_path):
    source, directory = tmp_path / "notes", tmp_path / "index"
    (source / "sub").mkdir(parents=True)
    for name, text in {"a.txt": "alpha one", "sub/b.txt": "beta two", "c.txt": "gamma three"}.items():
        (source / name).write_text(text)
    build(minisearch.directory_corpus(source), directory, **SHAPE)
    (source / "a.txt").write_text("alpha changed")
    (source / "c.txt").unlink()
    (source / "d.txt").write_text("delta four")
    before = os.stat(source / "sub" / "b.txt").st_mtime_ns
    report = with_options(minisearch.sync_directory, source, directory, executor=InlineExecutor())
    assert (report.documents, report.replaced, report.deleted) == (2, 1, 2)
    assert os.stat(source / "sub" / "b.txt").st_mtime_ns == before
    got = answers(directory, ["alpha", "changed", "gamma", "beta", "delta"])
    assert {query: [key for key, _ in hits] for query, hits in got.items()} == {
        "alpha": ["a.txt"], "changed": ["a.txt"], "gamma": [], "beta": ["sub/b.txt"], "delta": ["d.txt"],
    }
    again = with_options(minisearch.sync_directory, source, directory, executor=InlineExecutor())
    assert (again.documents, again.deleted) == (0, 0)


def test_delete_lists_unknown_keys_and_exits_1_having_deleted_the_known(keyed, capsys):
    directory, _ = keyed
    assert minisearch.cli.main(["delete", str(directory), "k4", "nope"]) == 1
    assert "'nope'" in capsys.readouterr().err
    with Index(directory) as index, pytest.raises(KeyError):
        index.doc_id("k4")


@pytest.mark.parametrize("limit", [0, 100])
def test_deleting_every_document_of_a_segment_drops_it(keyed, limit):
    directory, documents = keyed
    with_options(minisearch.add_documents, [Document("x", "w0", "x1")], directory, executor=InlineExecutor(),
                 merge=False)
    with_options(minisearch.delete_documents, ["x1"], directory, pending_limit=limit)
    with Index(directory) as index:
        assert len(index.segments) == 1 and index.documents == len(documents)
    manifest = minisearch.manifest.read_manifest(directory)
    assert len(manifest.segments) == (1 if limit == 0 else 2) and len(manifest.pending) == (limit > 0)
    assert set(visible_files(directory)) == {*manifest.files, "manifest.json"}


def test_the_shell_answers_from_each_new_commit(tmp_path, monkeypatch, capsys):
    build([Document("Kiwi", "kiwi fruit", "kiwi"), Document("Lime", "lime fruit", "lime")], tmp_path, **SHAPE)
    lines = iter(["kiwi", "kiwi", ":q"])

    def typed(prompt=""):
        line = next(lines)
        if line == ":q":
            return line
        if capsys.readouterr().out.count("Kiwi"):  # the first answer was read: a writer commits
            minisearch.delete_documents(["kiwi"], tmp_path, minisearch.BuildOptions(show_progress=False))
        return line

    monkeypatch.setattr("builtins.input", typed)
    assert minisearch.cli.main(["shell", str(tmp_path)]) == 0
    assert "no results" in capsys.readouterr().out


def test_a_merge_drops_what_deleted_documents_held(keyed):
    directory, documents = keyed
    minisearch.delete_documents(["k1", "k17"], directory, minisearch.BuildOptions(show_progress=False))
    with_options(minisearch.add_documents, [Document("x", "w0", "x")], directory, executor=InlineExecutor(),
                 merge=False)
    with_options(minisearch.optimize_index, directory, executor=InlineExecutor())
    segment = minisearch.manifest.read_manifest(directory).segments[0]
    assert (segment.documents, segment.deleted, segment.deleted_tokens) == (21, 2, 0)
    with minisearch.reader.SegmentStore(directory, segment) as store:
        assert [store.content(doc) for doc in (0, 1, 17, 18)] == [
            documents[0].content, "", "", documents[18].content]
    reader = minisearch.reader.SegmentReader(directory, minisearch.manifest.read_manifest(directory), segment, 1.0)
    try:
        assert (reader.titles[1], reader.lengths[17], reader.keys()[1]) == ("", 0, None)
    finally:
        reader.close()


UPDATES = {
    "delete": lambda d, limit: with_options(minisearch.delete_documents, ["k1", "k21"], d, pending_limit=limit),
    "upsert": lambda d, limit: with_options(minisearch.upsert_documents,
                                            [Document("t", "w0 w1", "k2"), Document("n", "w5", "n")],
                                            d, executor=InlineExecutor(), pending_limit=limit, **SHAPE),
}


@pytest.mark.parametrize("limit", [0, 100])
@pytest.mark.parametrize("update", UPDATES)
def test_a_rename_failing_in_an_update_keeps_the_previous_index(tmp_path, monkeypatch, update, limit):
    rng = random.Random(5)
    origin = tmp_path / "origin"
    build([document(rng, f"k{n}") for n in range(20)], origin, **SHAPE)
    with_options(minisearch.add_documents, [document(rng, f"k{n}") for n in range(20, 24)], origin,
                 executor=InlineExecutor(), merge=False, **SHAPE)
    before = {name: (origin / name).read_bytes() for name in visible_files(origin)}
    with monkeypatch.context() as patch:  # every rename of the whole update, counted on a copy
        shutil.copytree(origin, tmp_path / "count")
        renames = fail_rename_into(patch, tmp_path / "count", 0)
        UPDATES[update](tmp_path / "count", limit)
    assert renames[-1] == "manifest.json" and any(name.startswith("deletes-" if limit == 0 else "pending-")
                                                  for name in renames)
    for number in range(1, len(renames) + 1):
        shutil.rmtree(tmp_path / "try", ignore_errors=True)
        shutil.copytree(origin, tmp_path / "try")
        with monkeypatch.context() as patch:
            fail_rename_into(patch, tmp_path / "try", number)
            with pytest.raises((OSError, KeyboardInterrupt), match="injected"):
                UPDATES[update](tmp_path / "try", limit)
        assert {name: (tmp_path / "try" / name).read_bytes() for name in visible_files(tmp_path / "try")} == before
        assert minisearch.check_index(tmp_path / "try").ok


def test_a_lock_or_data_file_that_is_a_symbolic_link_is_refused(keyed, tmp_path):
    directory, _ = keyed
    outside = tmp_path / "outside"
    (directory / ".lock").unlink()
    (directory / ".lock").symlink_to(outside)  # dangling: a writer must not create it
    with pytest.raises(minisearch.IndexUnusableError, match="cannot lock"):
        minisearch.delete_documents(["k1"], directory)
    assert not outside.exists()
    (directory / ".lock").unlink()
    lengths = next(directory.glob("lengths-*.bin"))
    outside.write_bytes(lengths.read_bytes())
    lengths.unlink()
    lengths.symlink_to(outside)
    with pytest.raises(minisearch.IndexUnusableError, match="is a symbolic link"):
        Index(directory)


def test_a_read_only_index_is_a_clear_error_and_nothing_changes(keyed, monkeypatch):
    directory, _ = keyed
    before = {name: (directory / name).read_bytes() for name in visible_files(directory)}
    real = os.open

    def read_only(path, flags, *args, **kwargs):
        if flags & (os.O_WRONLY | os.O_RDWR | os.O_CREAT):
            raise OSError(30, "Read-only file system", str(path))
        return real(path, flags, *args, **kwargs)

    monkeypatch.setattr(minisearch.durability.os, "open", read_only)
    with pytest.raises(minisearch.IndexUnusableError, match="cannot lock .*Read-only file system"):
        minisearch.delete_documents(["k1"], directory)
    assert {name: (directory / name).read_bytes() for name in visible_files(directory)} == before


@pytest.mark.parametrize(
    ("keys", "deleted", "expected"),
    [
        (["a", 7, None, "b"], [11], {"a": 10, "b": 13}),
        (["a", 7, None, "b"], [12, 13], {"a": 10, 7: 11}),  # a deleted keyless document
        (["k", "x", "k"], [10], {"x": 11, "k": 12}),  # a key held twice: the live holder wins
        (["k", "x", "k"], [12], {"k": 10, "x": 11}),
    ],
)
def test_a_segments_live_keys_leave_out_its_deleted_documents(keys, deleted, expected):
    assert _segment_live_keys(keys, 10, deleted) == expected


@pytest.mark.parametrize("keys", [[True], ["a", ""], [1.5], [["a"]], [0, False]])
def test_a_keys_file_holding_anything_but_keys_and_nulls_is_refused(keys):
    assert decode_keys(encode_keys(["a", 0, None]), 3) == ["a", 0, None]
    with pytest.raises(FormatError, match="is not a JSON array of keys"):
        decode_keys(encode_keys(keys), len(keys))


@pytest.mark.parametrize("titles", [[1], ["a", None], [["a"]]])
def test_a_titles_file_holding_anything_but_strings_is_refused(titles):
    with pytest.raises(FormatError, match="is not a JSON array of titles"):
        decode_titles(_pack(TITLES_MAGIC, json.dumps(titles).encode()), len(titles))


VALID_DELETIONS = {"docs": [3, 5, 9], "tokens": 12, "doc_freq": {"a": 3, "b": 1}}


@pytest.mark.parametrize(
    "change",
    [
        {"docs": [3, 5, 5]}, {"docs": [5, 3, 9]}, {"docs": [-1, 5, 9]}, {"docs": [True, 5, 9]},
        {"docs": [3.0, 5, 9]}, {"docs": {"3": 1}}, {"tokens": -1}, {"tokens": 1.5}, {"tokens": False},
        {"doc_freq": {"a": 0}}, {"doc_freq": {"a": 4}}, {"doc_freq": {"a": True}}, {"doc_freq": {"a": 1.0}},
        {"doc_freq": [["a", 1]]}, {"docs": [], "doc_freq": {"a": 1}},
    ],
)
def test_a_deletion_set_out_of_its_bounds_is_refused(change):
    """Ids strictly rising from 0, and a count for each term from 1 to the documents deleted."""
    def packed(body):
        return _pack(DELETES_MAGIC, json.dumps(body).encode())

    assert decode_deletion_set(packed(VALID_DELETIONS)) == DeletionSet((3, 5, 9), 12, {"a": 3, "b": 1})
    assert decode_deletion_set(packed({"docs": [], "tokens": 0, "doc_freq": {}})) == DeletionSet(())
    with pytest.raises(FormatError, match="is not a deletion set"):
        decode_deletion_set(packed({**VALID_DELETIONS, **change}))


_KILLED_WRITER = """
import json, sys
import minisearch
from minisearch import BuildOptions, Document
index, replacements, gone, limit = sys.argv[1], json.loads(sys.argv[2]), json.loads(sys.argv[3]), int(sys.argv[4])
options = BuildOptions(show_progress=False, workers=0, pending_limit=limit)
print("begin", flush=True)
minisearch.upsert_documents([Document(*fields) for fields in replacements], index, options)
print("upserted", flush=True)
minisearch.delete_documents(gone, index, options)
"""


def _stored(index_dir):
    with Index(index_dir) as index:
        return {key: tuple(index.document(key)) for key in index.keys_by_id() if key is not None}


_KILLED_SYNC = """
import sys
import minisearch
print("begin", flush=True)
options = minisearch.BuildOptions(show_progress=False, workers=0, pending_limit=int(sys.argv[3]))
minisearch.sync_directory(sys.argv[2], sys.argv[1], options)
"""


def _killed_at_random(tmp_path, base, script, arguments, states, probe_key, stages=1):
    """Runs writer ``script`` (it prints "begin", then a line after each commit but the last) on
    a copy of index ``base``, whole, then killed at random moments: each killed copy must be in
    one of ``states`` (the last the whole run's), pass check, and take the next writer."""
    environment = dict(os.environ, PYTHONPATH=str(Path(minisearch.__file__).parents[1]))

    def start(index):
        shutil.copytree(base, index)
        writer = subprocess.Popen(
            [sys.executable, "-c", script, str(index), *arguments], stdout=subprocess.PIPE, text=True, env=environment
        )
        assert writer.stdout.readline() == "begin\n"
        return writer

    writer, started = start(tmp_path / "whole"), time.monotonic()
    assert writer.wait(timeout=120) == 0 and _stored(tmp_path / "whole") == states[-1]
    whole = time.monotonic() - started  # how long every commit takes
    rng, killed = random.Random(5), 0
    for attempt in range(8):
        index = tmp_path / f"try{attempt}"
        writer = start(index)
        if attempt % 2 and stages > 1:  # in the last commit, else anywhere
            writer.stdout.readline()
        time.sleep(whole * rng.random() * (0.5 if attempt % 4 > 1 else 0.0))
        writer.kill()
        killed += writer.wait() == -signal.SIGKILL
        assert _stored(index) in states
        assert minisearch.check_index(index).ok
        with_options(minisearch.delete_documents, [probe_key], index, wait=5)  # the killed writer's lock is gone
        assert probe_key not in _stored(index)
    assert killed  # some kills fell in the middle of a commit


@pytest.mark.parametrize("limit", [0, 1000])
def test_a_writer_killed_at_any_moment_leaves_the_index_before_or_after_each_commit(tmp_path, limit):
    base = tmp_path / "base"
    build([Document(f"title {n}", f"text {n} shared words", f"k{n}") for n in range(300)], base, block_size=50)
    replacements = [[f"new {n}", f"replaced {n} shared", f"k{n}"] for n in range(0, 300, 3)]
    gone = [f"k{n}" for n in range(1, 300, 3)]
    before = _stored(base)
    upserted = {**before, **{fields[2]: tuple(fields) for fields in replacements}}
    deleted = {key: value for key, value in upserted.items() if key not in gone}
    arguments = [json.dumps(replacements), json.dumps(gone), str(limit)]
    _killed_at_random(tmp_path, base, _KILLED_WRITER, arguments, [before, upserted, deleted], "k2", stages=2)


@pytest.mark.parametrize("limit", [0, 1000])
def test_a_sync_killed_at_any_moment_leaves_the_index_before_or_after_it(tmp_path, limit):
    source, base = tmp_path / "notes", tmp_path / "base"
    source.mkdir()
    for n in range(300):
        (source / f"n{n}.txt").write_text(f"note {n} shared words")
    build(minisearch.directory_corpus(source), base, block_size=50)
    before = _stored(base)
    for n in range(0, 300, 3):
        (source / f"n{n}.txt").write_text(f"changed {n} shared")
    for n in range(1, 300, 3):
        (source / f"n{n}.txt").unlink()
    for n in range(300, 340):
        (source / f"n{n}.txt").write_text(f"new {n} shared")
    synced = _stored_after(base, tmp_path / "expected", source)
    assert synced != before and "n1.txt" not in synced and "n300.txt" in synced
    _killed_at_random(tmp_path, base, _KILLED_SYNC, [str(source), str(limit)], [before, synced], "n2.txt")


def _stored_after(base, index, source):
    """The stored documents of a copy of ``base`` synced with ``source``, in this process."""
    shutil.copytree(base, index)
    with_options(minisearch.sync_directory, source, index, executor=InlineExecutor())
    return _stored(index)


def test_the_keys_looked_up_are_those_of_every_live_key(tmp_path):
    """A key deleted, then added again in a later segment, is found where it lives; a deleted
    key and one the index never held are not found."""
    corpus = [document._replace(key=f"k{n}" if n % 5 else n) for n, document in enumerate(zipf_corpus(4, 30))]
    build(corpus, tmp_path, block_size=7)
    with_options(minisearch.delete_documents, ["k1", "k2", 10], tmp_path, pending_limit=0)
    with_options(minisearch.upsert_documents, [Document("again", "words", "k1"), Document("new", "w", "k3")], tmp_path,
                 pending_limit=0)
    manifest = read_manifest(tmp_path)
    every = live_keys(tmp_path, manifest)
    wanted = {"k1", "k2", "k3", 10, 15, "never"}
    assert live_keys(tmp_path, manifest, wanted) == {key: doc for key, doc in every.items() if key in wanted}
    assert live_keys(tmp_path, manifest, wanted)["k1"] >= manifest.segments[-1].first_doc
