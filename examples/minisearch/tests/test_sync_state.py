"""``sync`` reads only the files whose size or time changed since the last sync of the index,
and trusts that record only for the commit it left, from the same directory."""

import json
import os
import shutil
import time

import pytest
from conftest import build, with_options

import minisearch
import minisearch.cli
import minisearch.updates
from minisearch import Document, Index
from minisearch.executors import InlineExecutor
from minisearch.sync_state import SYNC_STATE_NAME

HOUR_AGO_NS = time.time_ns() - 3600 * 10**9


def write(path, text, mtime_ns=HOUR_AGO_NS):
    path.write_text(text)
    os.utime(path, ns=(mtime_ns, mtime_ns))


@pytest.fixture
def synced(tmp_path, monkeypatch):
    """An index of a directory of six notes written an hour ago, synced once; and the list of
    the files each later sync reads."""
    notes = tmp_path / "notes"
    notes.mkdir()
    for n in range(6):
        write(notes / f"n{n}.txt", f"note {n}")
    build(minisearch.directory_corpus(notes), tmp_path / "index")
    sync(notes, tmp_path / "index")
    reads = []
    original = minisearch.updates.read_text_file

    def counted(path):
        reads.append(os.path.basename(path))
        return original(path)

    monkeypatch.setattr(minisearch.updates, "read_text_file", counted)
    return notes, tmp_path / "index", reads


def sync(notes, index):
    return with_options(minisearch.sync_directory, notes, index, executor=InlineExecutor())


def contents(index):
    with Index(index) as opened:
        return {key: opened.document(key).content for key in opened.keys_by_id() if key is not None}


def test_a_later_sync_reads_only_the_files_whose_size_or_time_changed(synced):
    notes, index, reads = synced
    write(notes / "n1.txt", "note one, longer")
    write(notes / "n2.txt", "note 9", HOUR_AGO_NS + 10**9)  # the same size, another time
    (notes / "n3.txt").unlink()
    write(notes / "n6.txt", "new")
    report = sync(notes, index)
    assert sorted(reads) == ["n1.txt", "n2.txt", "n6.txt"]
    assert (report.documents, report.replaced, report.deleted) == (3, 2, 3)
    assert contents(index) == {path.name: path.read_text() for path in notes.iterdir()}
    reads.clear()
    sync(notes, index)  # the pending change folded: the record still holds
    assert reads == []


def _another_writer(notes, index):
    with_options(minisearch.upsert_documents, [Document("n1.txt", "edited by hand", "n1.txt")], index)


def _another_directory(notes, index):
    shutil.copytree(notes, notes.with_name("copy"))  # times kept
    shutil.rmtree(notes)
    notes.with_name("copy").rename(notes.with_name("elsewhere"))


def _damaged_record(notes, index):
    (index / SYNC_STATE_NAME).write_text("{not json")


@pytest.mark.parametrize("change", [_another_writer, _another_directory, _damaged_record])
def test_every_file_is_read_when_the_record_cannot_be_trusted(synced, change):
    notes, index, reads = synced
    change(notes, index)
    if not notes.exists():
        notes = notes.with_name("elsewhere")
    write(notes / "n4.txt", "note 8")  # the same size and time as recorded: found by its text
    sync(notes, index)
    assert sorted(reads) == [f"n{n}.txt" for n in range(6)]
    assert contents(index) == {path.name: path.read_text() for path in notes.iterdir()}


def test_files_modified_just_before_a_sync_are_read_by_the_next(synced):
    notes, index, reads = synced
    (notes / "n5.txt").write_text("now")  # modified a moment ago
    sync(notes, index)
    recorded = json.loads((index / SYNC_STATE_NAME).read_text())["files"]
    assert "n5.txt" not in recorded and "n0.txt" in recorded
    reads.clear()
    sync(notes, index)
    assert reads == ["n5.txt"]


def test_an_index_built_from_a_directory_records_it_for_the_first_sync(tmp_path, monkeypatch):
    notes = tmp_path / "notes"
    notes.mkdir()
    for n in range(4):
        write(notes / f"n{n}.txt", f"note {n}")
    (notes / "fresh.txt").write_text("written a moment ago")
    assert minisearch.cli.main(["index", str(tmp_path / "index"), "--dir", str(notes), "--no-progress"]) == 0
    reads = []
    original = minisearch.updates.read_text_file
    monkeypatch.setattr(minisearch.updates, "read_text_file", lambda path: reads.append(path) or original(path))
    write(notes / "n2.txt", "note two")
    sync(notes, tmp_path / "index")
    assert sorted(os.path.basename(path) for path in reads) == ["fresh.txt", "n2.txt"]
    assert contents(tmp_path / "index")["n2.txt"] == "note two"
