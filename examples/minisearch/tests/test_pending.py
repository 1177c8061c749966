"""Small commits left pending: one file each, indexed by the readers, folded by the next large
commit, ``add`` or ``optimize``."""

import gc
import hashlib
import json

import pytest
from conftest import add, build, visible_files, with_options

import minisearch
import minisearch.cli
import minisearch.pending
import minisearch.updates
from minisearch import Document, Index, search
from minisearch.executors import InlineExecutor
from minisearch.manifest import read_manifest

CORPUS = [Document(f"title {n}", f"text {n} shared words", f"k{n}") for n in range(12)]


@pytest.fixture
def index_dir(tmp_path, monkeypatch):
    monkeypatch.setattr(minisearch.pending, "_MEMORY_DIR", str(tmp_path / "views"))
    (tmp_path / "views").mkdir()
    build(CORPUS, tmp_path / "index", block_size=5)
    return tmp_path / "index"


def stored(directory):
    with Index(directory) as index:
        return {key: tuple(index.document(key)) for key in index.keys_by_id() if key is not None}


def test_a_small_change_writes_one_file_and_the_manifest(index_dir):
    before = set(visible_files(index_dir))
    report = with_options(minisearch.delete_documents, ["k1", "k2"], index_dir)
    manifest = read_manifest(index_dir)
    (pending,) = manifest.pending
    assert set(visible_files(index_dir)) - before == {pending.file}
    assert (pending.documents, pending.keys, report.deleted, report.pending) == (0, 2, 2, pending)
    assert manifest.segments == read_manifest(index_dir).segments and manifest.segments[0].deleted == 0
    assert "k1" not in stored(index_dir) and len(stored(index_dir)) == 10


def test_keys_are_known_as_the_pending_changes_leave_them(index_dir):
    with_options(minisearch.upsert_documents, [Document("new", "fresh", "n1"), Document("again", "w", "k3")], index_dir)
    with_options(minisearch.delete_documents, ["k4"], index_dir)
    report = with_options(minisearch.delete_documents, ["n1", "k4", "never", "k3"], index_dir)
    assert (report.deleted, report.unknown_keys) == (2, ["k4", "never"])
    upserted = with_options(minisearch.upsert_documents, [Document("back", "w", "n1"), Document("r", "w", "k5")],
                            index_dir)
    assert (upserted.documents, upserted.replaced) == (2, 1)
    with pytest.raises(minisearch.DocumentError, match="'n1' is in the index already"):
        add([Document("dup", "w", "n1")], index_dir)
    assert set(stored(index_dir)) == {f"k{n}" for n in range(12) if n not in (3, 4)} | {"n1"}
    assert stored(index_dir)["n1"] == ("back", "w", "n1") and not read_manifest(index_dir).pending  # add folded


@pytest.mark.parametrize("documents", [
    [Document("t", "w", True)],
    [Document("t", "w", "")],
    [Document("t", "w", "a"), Document("u", "w", "a")],
    [Document(1, "w", "a")],
    [Document("t", "w\ud800", "a")],
    [Document("t\udfff", "w", "a")],
], ids=["bool key", "empty key", "repeated key", "title not text", "lone surrogate", "title surrogate"])
def test_a_bad_document_is_refused_alike_pending_or_not(tmp_path, documents):
    messages = []
    for limit in (0, 100):
        directory = tmp_path / str(limit)
        build(CORPUS, directory)
        before = {name: (directory / name).read_bytes() for name in visible_files(directory)}
        with pytest.raises(minisearch.DocumentError) as raised:
            with_options(minisearch.upsert_documents, documents, directory, executor=InlineExecutor(),
                         pending_limit=limit)
        messages.append(str(raised.value))
        assert {name: (directory / name).read_bytes() for name in visible_files(directory)} == before
    assert messages[0] == messages[1]


def test_a_change_past_the_limit_folds_the_pending_ones_first(index_dir):
    with_options(minisearch.delete_documents, ["k0"], index_dir, pending_limit=3)
    with_options(minisearch.upsert_documents, [Document("a", "w", "k1")], index_dir, pending_limit=3)
    assert read_manifest(index_dir).pending_count == 2
    report = with_options(minisearch.upsert_documents, [Document("b", "w", "k2"), Document("c", "w", "k3")],
                          index_dir, executor=InlineExecutor(), pending_limit=3)
    manifest = read_manifest(index_dir)
    assert not manifest.pending and report.pending is None and report.replaced == 2
    assert manifest.commit == 5  # the build, two pending changes, their fold, and this change
    assert set(stored(index_dir)) == {f"k{n}" for n in range(1, 12)}


def test_a_change_past_the_limit_takes_pending_deletions_into_its_own_commit(index_dir):
    with_options(minisearch.delete_documents, ["k0", "k1"], index_dir, pending_limit=3)
    report = with_options(minisearch.upsert_documents, [Document("b", "w", "k1"), Document("c", "w", "k2")],
                          index_dir, executor=InlineExecutor(), pending_limit=3)
    manifest = read_manifest(index_dir)
    assert not manifest.pending and manifest.commit == 3  # the build, the deletion, this change
    assert (report.documents, report.replaced, report.deleted) == (2, 1, 1)  # k1 was gone already: added
    again = with_options(minisearch.delete_documents, ["k0", "k2", "k3", "k4"], index_dir, pending_limit=0)
    assert (again.deleted, again.unknown_keys) == (3, ["k0"])
    assert set(stored(index_dir)) == {f"k{n}" for n in range(1, 12) if n not in (2, 3, 4)}


def test_the_number_of_pending_changes_is_bounded(index_dir, monkeypatch):
    monkeypatch.setattr(minisearch.updates, "MAX_PENDING_CHANGES", 2)
    for key in ("k0", "k1", "k2"):
        with_options(minisearch.delete_documents, [key], index_dir)
    assert [change.keys for change in read_manifest(index_dir).pending] == []  # the third was written at once
    assert read_manifest(index_dir).segments[0].deleted == 3


def test_the_text_of_pending_changes_is_bounded(index_dir, monkeypatch):
    monkeypatch.setattr(minisearch.updates, "MAX_PENDING_TEXT", 100)
    with_options(minisearch.upsert_documents, [Document("t", "x" * 40, "n1")], index_dir)
    assert len(read_manifest(index_dir).pending) == 1  # 41 characters, a file of about 70 bytes
    with_options(minisearch.upsert_documents, [Document("t", "y" * 40, "n2")], index_dir, executor=InlineExecutor())
    manifest = read_manifest(index_dir)
    assert not manifest.pending and len(manifest.segments) == 3  # the first folded, then the second
    assert {stored(index_dir)[key][1] for key in ("n1", "n2")} == {"x" * 40, "y" * 40}


@pytest.mark.parametrize("damage", ["missing", "corrupt", "truncated"])
def test_a_damaged_pending_change_is_named_and_nothing_changes(index_dir, damage):
    with_options(minisearch.upsert_documents, [Document("new", "w", "n1")], index_dir)
    path = index_dir / read_manifest(index_dir).pending[0].file
    if damage == "missing":
        path.unlink()
    elif damage == "corrupt":
        path.write_bytes(path.read_bytes().replace(b"new", b"old"))
    else:
        path.write_bytes(path.read_bytes()[:-2])
    with pytest.raises(minisearch.IndexUnusableError, match=path.name):
        Index(index_dir)
    assert any(path.name in problem for problem in minisearch.check_index(index_dir).problems)
    before = {name: (index_dir / name).read_bytes() for name in visible_files(index_dir)}
    for change in (lambda: with_options(minisearch.delete_documents, ["k1"], index_dir),
                   lambda: with_options(minisearch.optimize_index, index_dir, executor=InlineExecutor())):
        with pytest.raises(minisearch.IndexUnusableError, match=path.name):
            change()
        assert {name: (index_dir / name).read_bytes() for name in visible_files(index_dir)} == before


def _log(directory, body):
    """Replace the index's one pending change with ``body``, its digest and counts made to match."""
    manifest = json.loads((directory / "manifest.json").read_text())
    (entry,) = manifest["pending"]
    data = json.dumps(body).encode()
    (directory / entry["file"]).write_bytes(data)
    entry.update(size=len(data), sha256=hashlib.sha256(data).hexdigest(), documents=len(body.get("documents", [])),
                 keys=len(body.get("delete", [])))
    (directory / "manifest.json").write_text(json.dumps(manifest))


@pytest.mark.parametrize(("body", "problem"), [
    ({"delete": [], "documents": [["t", "w", None, 1]]}, "not a valid pending change"),
    ({"delete": [True], "documents": []}, "not a valid pending change"),
    ({"delete": []}, "not a valid pending change"),
    ({"delete": [], "documents": [["t", "w", "a"], ["u", "w", "a"]]}, "repeats document 0"),
])
def test_check_reads_every_pending_change(index_dir, body, problem):
    with_options(minisearch.upsert_documents, [Document("new", "w", "n1")], index_dir)
    assert minisearch.check_index(index_dir).ok
    _log(index_dir, body)
    assert any(problem in found for found in minisearch.check_index(index_dir).problems)


@pytest.mark.parametrize(("entry", "message"), [
    ({"file": "pending-x.bin"}, "is not the name of a pending change"),
    ({"sha256": "00"}, "is not a SHA-256"),
    ({"documents": -1}, "'documents' is not an integer"),
])
def test_the_manifest_refuses_a_malformed_pending_entry(index_dir, entry, message):
    with_options(minisearch.upsert_documents, [Document("new", "w", "n1")], index_dir)
    manifest = json.loads((index_dir / "manifest.json").read_text())
    manifest["pending"][0].update(entry)
    (index_dir / "manifest.json").write_text(json.dumps(manifest))
    with pytest.raises(minisearch.IndexUnusableError, match=message):
        read_manifest(index_dir)


def test_a_readers_view_goes_when_it_closes_or_moves_on(index_dir, tmp_path):
    views = tmp_path / "views"
    with_options(minisearch.delete_documents, ["k0"], index_dir)
    index = Index(index_dir)
    (first,) = views.iterdir()
    with_options(minisearch.delete_documents, ["k1"], index_dir)
    assert [hit.key for hit in search(index, "text", k=20).hits].count("k1") == 1  # its commit, until refreshed
    assert index.refresh() and [view.name for view in views.iterdir()] != [first.name]
    assert "k1" not in {hit.key for hit in search(index, "text", k=20).hits}
    index.close()
    assert list(views.iterdir()) == []
    Index(index_dir)  # never closed: its view goes when it is collected
    gc.collect()
    assert list(views.iterdir()) == []
    with_options(minisearch.optimize_index, index_dir, executor=InlineExecutor())
    with Index(index_dir):
        assert list(views.iterdir()) == []  # nothing pending: no view


def test_sync_folds_what_is_pending_and_follows_the_directory(tmp_path):
    notes = tmp_path / "notes"
    notes.mkdir()
    for n in range(6):
        (notes / f"n{n}.txt").write_text(f"note {n}")
    build(minisearch.directory_corpus(notes), tmp_path / "index")
    with_options(minisearch.upsert_documents, [Document("n1.txt", "edited by hand", "n1.txt")], tmp_path / "index")
    (notes / "n2.txt").write_text("changed")
    (notes / "n3.txt").unlink()
    report = with_options(minisearch.sync_directory, notes, tmp_path / "index", executor=InlineExecutor())
    assert (report.documents, report.replaced, report.deleted) == (2, 2, 3)  # n1 back to its file, n2; n3 gone
    assert {key: content for key, (_, content, _) in stored(tmp_path / "index").items()} == {
        path.name: path.read_text() for path in notes.iterdir()}


def test_the_command_says_what_it_left_pending(index_dir, tmp_path, capsys):
    source = tmp_path / "docs.jsonl"
    source.write_text('{"id": "k1", "title": "t", "content": "new words"}\n{"id": "n", "title": "u", "content": "w"}\n')
    assert minisearch.cli.main(["upsert", str(index_dir), "--jsonl", str(source), "--no-progress"]) == 0
    assert minisearch.cli.main(["delete", str(index_dir), "k2"]) == 0
    out = capsys.readouterr().out
    assert "2 documents and 0 deletions logged as pending (2 in all;" in out and "replaced 1 documents" in out
    assert "deleted 1 documents" in out and read_manifest(index_dir).pending_count == 3
