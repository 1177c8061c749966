"""Building, reading and searching an index; atomic commits and bad input."""

import concurrent.futures
import errno
import json
import os
import re
import shutil
import zlib
from array import array
from pathlib import Path

import pytest
import quorbel
from conftest import FRUIT, add, build, data_file, visible_files, with_options
from test_check import append_to_manifest, edit_manifest, rewrite_table, table_fields

import minisearch
from minisearch import Index, blocks, check_index, cli, durability, indexer, merge, native_build, search, tokens
from minisearch.blocks import BlockTask, build_block
from minisearch.corpus import Document
from minisearch.executors import InlineExecutor
from minisearch.errors import FormatError
from minisearch.layout import DocumentStoreWriter, decode_term_table, read_document_store_index
from minisearch.manifest import FORMAT_VERSION, SEGMENT_ROLES, read_manifest
from minisearch.partitions import partition_of
from minisearch.snippets import make_snippet


def test_build_block_writes_sorted_terms_with_postings_in_document_order(tmp_path):
    info = build_block(BlockTask(3, str(tmp_path / "b.blk"), 10, FRUIT[:2]))
    entries = quorbel.iter_block_terms(info.partition_path(0))
    assert [e[0] for e in entries] == ["apple", "banana", "bread", "pie"]
    assert entries[0] == ("apple", 2, 1, [(10, 2, 1), (11, 1, 0)])
    assert entries[1] == ("banana", 2, 1, [(10, 1, 0), (11, 3, 1)])
    assert (info.number, info.first_doc_id, info.documents, info.terms, info.postings) == (3, 10, 2, 4, 6)
    assert array("I", info.lengths) == array("I", [5, 6])
    assert info.file_size == os.path.getsize(info.partition_path(0)) and len(info.group_sizes) == 1


def test_a_block_routes_each_term_to_its_partition(tmp_path):
    info = build_block(BlockTask(0, str(tmp_path / "b.blk"), 0, FRUIT, partitions=3))
    routed = [[e[0] for e in quorbel.iter_block_terms(info.partition_path(p))] for p in range(3)]
    assert [len(terms) for terms in routed] == list(info.partition_terms)
    assert sorted(term for terms in routed for term in terms) == sorted(
        {t for d in FRUIT for t in minisearch.tokenize(d.title + " " + d.content)}
    )
    assert all(partition_of(term, 3) == p and terms == sorted(terms) for p, terms in enumerate(routed) for term in terms)


def test_an_index_round_trips_postings_lengths_titles_and_documents(tmp_path):
    report = build(FRUIT, tmp_path, head_size=1, chunk_size=1)
    assert (report.documents, report.blocks) == (7, 4)
    assert set(report.phase_seconds) == {"index", "merge", "commit"}
    assert report.index_bytes + report.store_bytes == sum(report.file_sizes.values())
    with Index(tmp_path) as index:
        assert index.titles == [d.title for d in FRUIT]
        assert [index.content(doc) for doc in range(7)] == [d.content for d in FRUIT]
        assert index.postings("apple") == [(0, 2, 1), (1, 1, 0), (3, 0, 1), (4, 1, 0)]
        assert index.doc_freq("banana") == 2 and index.doc_freq("durian") == 0
        assert index.expand("ba") == ["banana"] and index.expand("z") == ["zebra"]
        assert index.manifest.total_tokens == sum(len(minisearch.tokenize(d.title + " " + d.content)) for d in FRUIT)
    # apple: a head of one posting (the best impact) and three chunks of one, in document order
    names = [entry[0] for entry in quorbel.iter_block_terms(str(data_file(tmp_path, "postings")))]
    apple = names.index("apple")
    assert names[:2] == ["a", "a#1"] and names[apple : apple + 5] == ["apple", "apple#1", "apple#2", "apple#3", "banana"]
    assert check_index(tmp_path).ok


@pytest.mark.parametrize(
    ("query", "titles"),
    [
        ("apple", ["apple", "Apple pie", "Notes", "Banana bread"]),
        ("apple banana", ["Banana bread", "Apple pie"]),  # apple is in most documents: banana decides
        ("apple OR zebra", ["Zebra crossing", "apple", "Apple pie", "Notes", "Banana bread"]),
        ("apple -banana", ["apple", "Notes"]),
        ("ap* ban*", ["Banana bread", "Apple pie"]),
        ("raw_decode", ["Snake_case and dots"]),
        ("durian apple", []),
        ("durian OR cherry", ["Cherry"]),
    ],
)
def test_search_ranks_matching_documents(fruit_index, query, titles):
    with Index(fruit_index) as index:
        result = search(index, query, 10)
    assert [hit.title for hit in result.hits] == titles
    scores = [hit.score for hit in result.hits]
    assert scores == sorted(scores, reverse=True) and all(score > 0 for score in scores)


def test_search_reports_unknown_words_work_and_snippets(fruit_index):
    with Index(fruit_index) as index:
        result = search(index, "zebra durian* OR cherry", 2, snippets=True)
        assert result.unknown_terms == ["durian*"] and result.terms == ["zebra", "durian*", "cherry"]
        assert [hit.title for hit in result.hits] == ["Cherry"]
        assert result.hits[0].snippet == "no fruit here but a **cherry**"
        assert result.postings_decoded >= 1 and result.postings_scored >= 1
        assert search(index, "apple", 0).hits == [] and search(index, "apple", 2, snippets=False).hits[0].snippet == ""
        with pytest.raises(ValueError, match="k must not be negative"):
            search(index, "apple", -1)
        with pytest.raises(minisearch.QuerySyntaxError):
            search(index, "apple OR", 3)


@pytest.mark.parametrize(
    ("text", "terms", "prefixes", "snippet"),
    [
        ("The quick brown fox", {"fox"}, [], "The quick brown **fox**"),
        ("Decoders decode; DECODING", set(), ["dec"], "**Decoders** **decode**; **DECODING**"),
        ("a " * 200 + "needle " + "b " * 200, {"needle"}, [], None),
        ("nothing here", {"absent"}, [], "nothing here"),
    ],
)
def test_snippets_mark_the_query_words(text, terms, prefixes, snippet):
    made = make_snippet(text, terms, prefixes)
    if snippet is not None:
        assert made == snippet
    else:
        assert "**needle**" in made and made.startswith("…") and made.endswith("…") and len(made) < 200


def test_an_index_built_without_documents_has_no_snippets(tmp_path):
    report = build(FRUIT, tmp_path, store_documents=False)
    assert "docs" not in report.file_sizes and report.store_bytes == 0
    with Index(tmp_path) as index:
        assert search(index, "cherry", 1, snippets=True).hits[0].snippet == ""
        with pytest.raises(minisearch.IndexUnusableError, match="without its documents"):
            index.content(2)
    assert check_index(tmp_path).ok


@pytest.mark.parametrize(
    ("block_size", "make_executor"),
    [(1, InlineExecutor), (3, lambda: concurrent.futures.ThreadPoolExecutor(max_workers=3)), (1000, None)],
)
def test_the_index_does_not_depend_on_blocks_or_executor(tmp_path, block_size, make_executor):
    build(FRUIT, tmp_path / "reference", block_size=len(FRUIT), partitions=2)
    executor = make_executor() if make_executor is not None else None
    try:
        build(FRUIT, tmp_path / "other", block_size=block_size, executor=executor, workers=2)
    finally:
        if executor is not None:
            executor.shutdown()
    for role in ("postings-000", "terms-000", "postings-001", "terms-001", "lengths", "titles"):
        assert data_file(tmp_path / "other", role).read_bytes() == data_file(tmp_path / "reference", role).read_bytes()
    with Index(tmp_path / "other") as index:
        assert [index.content(doc) for doc in range(len(FRUIT))] == [document.content for document in FRUIT]


def test_an_empty_corpus_gives_an_empty_index(tmp_path):
    report = build([], tmp_path)
    assert (report.documents, report.terms, report.postings) == (0, 0, 0)
    with Index(tmp_path) as index:
        assert search(index, "anything").hits == []
    assert check_index(tmp_path).ok


TERMLESS = [Document("", ""), Document("!!!", "... -- ;"), Document("_", "")]


@pytest.mark.parametrize("how", ["index", "add to an empty index"])
def test_documents_without_terms_give_an_index_that_finds_nothing(tmp_path, how):
    grown, fresh = tmp_path / "grown", tmp_path / "fresh"
    if how == "index":
        build(TERMLESS, grown)
    else:
        build([], grown)
        with_options(minisearch.add_documents, TERMLESS, grown, executor=InlineExecutor(), block_size=2)
    with Index(grown) as index:
        result = search(index, "anything")
        assert (index.documents, result.hits, result.unknown_terms) == (3, [], ["anything"])
    assert check_index(grown).ok
    # Documents with terms added later rank as in a fresh build of every document.
    with_options(minisearch.add_documents, FRUIT, grown, executor=InlineExecutor())
    build(TERMLESS + FRUIT, fresh)
    assert check_index(grown).ok and check_index(fresh).ok
    with Index(grown) as grown_index, Index(fresh) as fresh_index:
        assert search(grown_index, "apple OR zebra").hits == search(fresh_index, "apple OR zebra").hits != []


PLACES = [
    Document("İstanbul", "İstanbul is a city"),  # 0
    Document("Notes", "i stanbul"),  # 1
    Document("Hindi", "हिन्दी भाषा"),  # 2
    Document("Coffee", "cafe\u0301 au lait"),  # 3: the accent as a combining mark
]


def found(index_dir, query):
    with Index(index_dir) as index:
        return [hit.doc_id for hit in search(index, query).hits]


def build_legacy(documents, index_dir, monkeypatch, version):
    """An index as minisearch wrote it before terms kept their combining marks, whose manifest
    (version 3, or version 4 with keys and deletions) names the rule in which a mark separates terms."""
    with monkeypatch.context() as patch:
        patch.setattr(indexer, "TOKENIZER", tokens.LEGACY)
        build(documents, index_dir)
    manifest = json.loads((index_dir / "manifest.json").read_text())
    manifest["version"] = version
    if version == 3:  # without keys and deletions
        for segment in manifest["segments"]:
            os.remove(index_dir / segment["files"].pop("keys"))
            del segment["file_sizes"]["keys"], segment["file_sha256"]["keys"]
            assert segment.pop("deleted") == segment.pop("deleted_tokens") == 0
    (index_dir / "manifest.json").write_text(json.dumps(manifest))


def test_terms_keep_their_combining_marks_in_documents_and_queries(tmp_path):
    build(PLACES, tmp_path)
    assert read_manifest(tmp_path).tokenizer == tokens.TOKENIZER.name
    for query, expected in [("istanbul", [0]), ("İstanbul", [0]), ("ISTANBUL", [0]), ("stanbul", [1]),
                            ("हिन्दी", [2]), ("café", [3]), ("CAFE\u0301", [3]), ("cafe", [])]:
        assert found(tmp_path, query) == expected, query
    with Index(tmp_path) as index:
        assert search(index, "istanbul", snippets=True).hits[0].snippet == "**İstanbul** is a city"
        assert search(index, "caf*", snippets=True).hits[0].snippet == "**cafe\u0301** au lait"
    assert check_index(tmp_path).ok


@pytest.mark.parametrize("version", [3, 4])
def test_an_index_of_the_legacy_rule_answers_and_grows_as_before_until_rebuilt(tmp_path, monkeypatch, version):
    build_legacy(PLACES, tmp_path, monkeypatch, version)
    assert read_manifest(tmp_path).version == version
    # As before: İstanbul is the two terms "i" and "stanbul", so "istanbul" misses it and the
    # word finds the unrelated note too; a mark separates terms.
    for query, expected in [("istanbul", []), ("İstanbul", [0, 1]), ("cafe", [3]), ("café", [])]:
        assert found(tmp_path, query) == expected, query
    with Index(tmp_path) as index:
        assert search(index, "cafe", snippets=True).hits[0].snippet == "**cafe**\u0301 au lait"
    assert check_index(tmp_path).ok
    add([Document("İzmir", "İzmir", "izmir"), Document("Ankara", "Ankara")], tmp_path)
    manifest = read_manifest(tmp_path)
    assert (manifest.version, manifest.tokenizer, len(manifest.segments)) == (FORMAT_VERSION, r"[^\W_]+", 2)
    assert found(tmp_path, "zmir") == [4] and check_index(tmp_path).ok
    # A deletion recounts the document's terms by the index's rule: the statistics stay exact.
    minisearch.delete_documents(["izmir"], tmp_path, minisearch.BuildOptions(workers=0, show_progress=False))
    build_legacy([*PLACES, Document("Ankara", "Ankara")], tmp_path.parent / "fresh", monkeypatch, version)
    with Index(tmp_path) as grown, Index(tmp_path.parent / "fresh") as fresh:
        assert [h.score for h in search(grown, "i OR ankara").hits] == [h.score for h in search(fresh, "i OR ankara").hits]
    assert check_index(tmp_path).ok
    build(PLACES, tmp_path)  # a rebuild takes the current rule
    assert read_manifest(tmp_path).tokenizer == tokens.TOKENIZER.name and found(tmp_path, "istanbul") == [0]


@pytest.mark.parametrize(
    ("documents", "message"),
    [
        ([Document("fine", "ok"), Document("bad", None)], "document [135]: title and content must be str"),
        ([Document("x" * (blocks.MAX_TITLE_CHARS + 1), "")], "document [012]: title of 65,537 characters"),
        ([Document("ok", "ok"), Document("ok", "lone \ud800 surrogate")], "document [135]: not valid text"),
        ([Document("lone \udfff", "ok")], "document 0: the title is not valid text"),
    ],
)
def test_a_bad_document_is_named_and_the_previous_index_kept(tmp_path, documents, message):
    build(FRUIT, tmp_path)
    before = {name: (tmp_path / name).read_bytes() for name in visible_files(tmp_path)}
    with pytest.raises(minisearch.DocumentError, match=message):
        build(documents * 3, tmp_path, workers=2, executor=None)
    assert {name: (tmp_path / name).read_bytes() for name in visible_files(tmp_path)} == before


class CuttingExecutor(InlineExecutor):
    """Cuts the second block file after its first entry, as a short write on shared storage would."""

    def __init__(self):
        self.calls = 0

    def submit(self, fn, /, *args, **kwargs):
        future = super().submit(fn, *args, **kwargs)
        self.calls += 1
        if self.calls == 2:
            path = future.result().partition_path(0)
            os.truncate(path, quorbel.read_term_at_offset(path, 8)[4])
        return future


def test_a_block_file_cut_between_entries_fails_the_build(tmp_path):
    with pytest.raises(minisearch.IndexBuildError, match=r"block 1 .*header announces \d+ terms, the file holds 1$"):
        build(FRUIT, tmp_path, executor=CuttingExecutor())
    assert visible_files(tmp_path) == []


def test_rebuilding_replaces_the_index_and_removes_the_old_files(tmp_path):
    build(FRUIT, tmp_path)
    old_files = set(visible_files(tmp_path))
    build([Document("Durian", "durian")], tmp_path)
    new_files = set(visible_files(tmp_path))
    assert len(new_files) == 8 and not (old_files - {"manifest.json"}) & new_files
    with Index(tmp_path) as index:
        assert [h.title for h in search(index, "durian OR apple").hits] == ["Durian"]


def test_a_build_refuses_a_directory_that_holds_other_files_or_is_locked(tmp_path):
    (tmp_path / "thesis.tex").write_text("precious")
    with pytest.raises(minisearch.IndexUnusableError, match="not an index directory"):
        build(FRUIT, tmp_path)
    assert visible_files(tmp_path) == ["thesis.tex"]
    with durability.build_lock(tmp_path / "x" if (tmp_path / "x").mkdir() is None else tmp_path):
        with pytest.raises(minisearch.IndexUnusableError, match="another writer holds .*pid "):
            build(FRUIT, tmp_path / "x")


@pytest.mark.parametrize(
    ("damage", "message"),
    [
        (lambda d: os.remove(d / "manifest.json"), "no index in"),
        (lambda d: os.remove(data_file(d, "terms")), "cannot read .*terms-"),
        (lambda d: data_file(d, "terms").write_bytes(b"MST2junk"), "terms-.* is damaged"),
        (lambda d: data_file(d, "lengths").write_bytes(b"XXXX"), "lengths-.* has a bad magic number"),
        (lambda d: data_file(d, "titles").write_bytes(data_file(d, "titles").read_bytes()[:-5]), "titles-.* is damaged"),
        (lambda d: os.truncate(data_file(d, "postings"), 100), "ends at byte .*postings-.* at 100"),
        (lambda d: os.truncate(data_file(d, "docs"), 60), "docs-.*: its groups end at .*, the file at 60"),
        (lambda d: shift_postings(d, "apple", 7), r"postings-.*: the entry at byte \d+ is damaged: it names documents outside 0..6"),
        (append_to_manifest("[" * 100_000 + "]" * 100_000), "^not a valid manifest: values nested too deeply$"),
        (append_to_manifest("9" * 5000), "^not a valid manifest: an integer of more than 4300 digits$"),
        (edit_manifest(0, tier_tokens=10**400), "'tier_tokens' is not an integer from 0 to 9223372036854775807"),
        (lambda d: flip_last_bit(d, "apple"), r"postings-.*: the entry at byte \d+ is damaged: its CRC-32 is not the term table's"),
    ],
    ids=["manifest missing", "term table missing", "term table", "lengths", "titles", "postings cut", "store cut",
         "postings beyond the segment", "manifest nested", "manifest long integer", "manifest big integer",
         "a posting's bit flipped"],
)
def test_a_damaged_index_fails_to_open_or_search_naming_the_file(tmp_path, damage, message):
    build(FRUIT, tmp_path)
    damage(tmp_path)
    # The error leaves nothing that keeps a mapped file from closing (once a BufferError).
    with pytest.raises(minisearch.IndexUnusableError, match=message), Index(tmp_path) as index:
        search(index, "apple", snippets=True)


def shift_postings(index_dir, term, by):
    """Damage that still decodes: ``term``'s postings moved ``by`` documents on, bytes the same size,
    and the term table's CRC-32s made to match (as in a table written before it kept them)."""
    path = str(data_file(index_dir, "postings"))
    entries = [list(entry) for entry in quorbel.iter_block_terms(path)]
    for entry in entries:
        if entry[0] == term:
            entry[3] = [(doc + by, content, title) for doc, content, title in entry[3]]
    size = os.path.getsize(path)
    quorbel.write_binary_block([e[0] for e in entries], [(e[1], e[2]) for e in entries], [e[3] for e in entries], path)
    assert os.path.getsize(path) == size
    data = Path(path).read_bytes()
    rewrite_table(index_dir, lambda t: table_fields(t, crcs=[zlib.crc32(data[a:b]) for a, b in zip(t.starts, t.ends)]))


def flip_last_bit(index_dir, entry_name, segment=0):
    """Flip the lowest bit of the last byte of an entry's postings (a frequency: it still decodes)."""
    path = data_file(index_dir, "postings", segment)
    table = decode_term_table(data_file(index_dir, "terms", segment).read_bytes())
    term, _, chunk = entry_name.partition("#")
    entry = table.heads[table.terms.index(term)] + int(chunk or 0)
    data = bytearray(path.read_bytes())
    data[table.ends[entry] - 1] ^= 1
    path.write_bytes(bytes(data))
    return table.starts[entry]


@pytest.mark.parametrize("entry", ["banana", "banana#1", "banana#2", "apple#1", "zebra"])
def test_a_flipped_bit_in_any_entry_fails_the_first_search_that_reads_it(tmp_path, entry):
    build(FRUIT * 3, tmp_path, head_size=1, chunk_size=2)
    start = flip_last_bit(tmp_path, entry)
    with Index(tmp_path) as index:
        with pytest.raises(minisearch.IndexUnusableError, match=f"postings-.*: the entry at byte {start} is damaged: "
                                                                 "its CRC-32 is not the term table's"):
            search(index, entry.partition("#")[0] + "*", k=30)  # a prefix reads every entry of its terms
        assert search(index, "cherry").hits  # the other entries are still read
    assert any(f"{entry!r}: the CRC-32 of its postings is" in problem for problem in check_index(tmp_path).problems)


def test_a_merge_refuses_an_entry_whose_crc_differs_rather_than_give_it_a_new_one(tmp_path):
    build(FRUIT * 3, tmp_path, head_size=1, chunk_size=2)
    add(FRUIT, tmp_path, merge=False)
    flip_last_bit(tmp_path, "banana#1")
    before = {name: (tmp_path / name).read_bytes() for name in visible_files(tmp_path)}
    with pytest.raises(minisearch.IndexBuildError, match=r"postings-.*: entry \d+ is damaged: its CRC-32 is not the term table's"):
        with_options(minisearch.optimize_index, tmp_path, executor=InlineExecutor())
    assert {name: (tmp_path / name).read_bytes() for name in visible_files(tmp_path)} == before


def test_an_index_whose_term_tables_keep_no_crcs_answers_as_before(tmp_path):
    build(FRUIT * 3, tmp_path / "kept", head_size=1, chunk_size=2)
    shutil.copytree(tmp_path / "kept", tmp_path / "old")
    rewrite_table(tmp_path / "old", lambda t: table_fields(t, crcs=None))  # as written before CRCs were kept
    assert decode_term_table(data_file(tmp_path / "old", "terms").read_bytes()).crcs is None
    with Index(tmp_path / "kept") as kept, Index(tmp_path / "old") as old:
        for query in ("apple", "banana*", "zebra OR cherry", "a* -banana"):
            assert search(old, query, k=30).hits == search(kept, query, k=30).hits != []
    flip_last_bit(tmp_path / "old", "banana#1")  # undetected by search there, as before: check finds it
    assert any("contents differ from the manifest's SHA-256" in problem for problem in check_index(tmp_path / "old").problems)


@pytest.mark.parametrize("query", ["x*", "x1", "x1 OR x3", "x3 x1*"])
def test_postings_that_name_documents_outside_their_segment_fail_every_query_that_reads_them(tmp_path, query):
    build([Document("x1 x2", ""), Document("x1", ""), Document("x3", "")], tmp_path)
    shift_postings(tmp_path, "x1", 3)  # a prefix x* then holds more documents than the index (once a math error)
    with Index(tmp_path) as index, pytest.raises(minisearch.IndexUnusableError, match="postings-.*: the entry at byte"):
        search(index, query)


# --------------------------------------------------------------------------
# Interrupted builds


class Injected(Exception):
    pass


def fail_on_call(monkeypatch, owner, name, call_number, exception=Injected):
    original = getattr(owner, name)
    calls = 0

    def wrapper(*args, **kwargs):
        nonlocal calls
        calls += 1
        if calls == call_number:
            raise exception("injected failure")
        return original(*args, **kwargs)

    monkeypatch.setattr(owner, name, wrapper)


def fail_manifest_replace(monkeypatch):
    original = os.replace

    def replace(source, target):
        if Path(target).name == "manifest.json":
            raise Injected("injected failure")
        return original(source, target)

    monkeypatch.setattr(indexer.os, "replace", replace)


# On the native kernels, the seams where the kernels' build hands over to Python.
INTERRUPTIONS = {
    "ctrl-c reading a block": (
        (lambda mp: fail_on_call(mp, native_build, "_read_block", 2, KeyboardInterrupt)) if native_build.AVAILABLE
        else (lambda mp: fail_on_call(mp, quorbel, "iter_block_terms", 2, KeyboardInterrupt))
    ),
    "final block": (
        (lambda mp: fail_on_call(mp, merge, "fsync_file", 1)) if native_build.AVAILABLE
        else (lambda mp: fail_on_call(mp, merge.quorbel, "write_binary_block", 1))
    ),
    "term table": lambda mp: fail_on_call(mp, merge, "write_synced", 1),
    "commit": fail_manifest_replace,
}


@pytest.mark.parametrize("interruption", INTERRUPTIONS)
def test_an_interrupted_build_keeps_the_previous_index(tmp_path, monkeypatch, interruption):
    replacement = [Document(f"Durian {i}", "durian fruit smells strongly of onions and cheese") for i in range(5)]
    with monkeypatch.context() as patch:
        INTERRUPTIONS[interruption](patch)
        with pytest.raises((Injected, KeyboardInterrupt)):
            build(FRUIT, tmp_path / "first")
    assert visible_files(tmp_path / "first") == []
    tmp_path = tmp_path / "second"
    build(FRUIT, tmp_path)
    before = {name: (tmp_path / name).read_bytes() for name in visible_files(tmp_path)}
    with monkeypatch.context() as patch:
        INTERRUPTIONS[interruption](patch)
        with pytest.raises((Injected, KeyboardInterrupt)):
            build(replacement, tmp_path)
    assert {name: (tmp_path / name).read_bytes() for name in visible_files(tmp_path)} == before
    assert check_index(tmp_path).ok
    build(replacement, tmp_path)
    with Index(tmp_path) as index:
        assert [h.doc_id for h in search(index, "durian").hits] == [0, 1, 2, 3, 4]


def fail_rename_into(monkeypatch, index_dir, number):
    """The ``number``-th rename into ``index_dir`` raises (Ctrl-C or, for even numbers, an OSError
    as from a full disk); returns the names renamed to so far."""
    original, targets = os.replace, []

    def replace(source, target):
        if Path(target).parent == index_dir:
            targets.append(Path(target).name)
            if len(targets) == number:
                raise (OSError if number % 2 == 0 else KeyboardInterrupt)("injected failure")
        return original(source, target)

    monkeypatch.setattr(indexer.os, "replace", replace)
    return targets


COMMITS = {
    "build": lambda d: build(FRUIT[5:], d, partitions=2),
    "add": lambda d: add(FRUIT[5:], d, merge=False),
    "optimize": lambda d: with_options(minisearch.optimize_index, d, executor=InlineExecutor()),
}


RENAMES = len(SEGMENT_ROLES) + 2 * 3 + 1  # a segment's files, two partitions' three files, the manifest


@pytest.mark.parametrize("rename", range(1, RENAMES + 1))
@pytest.mark.parametrize("commit", COMMITS)
def test_a_rename_failing_in_a_commit_keeps_the_previous_index(tmp_path, monkeypatch, commit, rename):
    build(FRUIT[:3], tmp_path, partitions=2)
    add(FRUIT[3:5], tmp_path, merge=False)
    before = {name: (tmp_path / name).read_bytes() for name in visible_files(tmp_path)}
    with monkeypatch.context() as patch:
        renamed = fail_rename_into(patch, tmp_path, rename)
        with pytest.raises((OSError, KeyboardInterrupt), match="injected"):
            COMMITS[commit](tmp_path)
    assert len(renamed) == rename and ("manifest.json" in renamed) == (rename == RENAMES)
    assert {name: (tmp_path / name).read_bytes() for name in visible_files(tmp_path)} == before
    assert check_index(tmp_path).ok


def no_room(owner, name, error):
    """``owner.name`` raises ``error``, as a write to a full device does."""
    def fail(monkeypatch):
        def write(*args, **kwargs):
            raise error
        monkeypatch.setattr(owner, name, write)
    return fail


def no_room_for_the_manifest(monkeypatch):
    original = Path.write_text

    def write_text(self, *args, **kwargs):
        if self.name == "manifest.json":
            raise OSError(errno.ENOSPC, "No space left on device", str(self))
        return original(self, *args, **kwargs)

    monkeypatch.setattr(Path, "write_text", write_text)


FULL_DEVICES = {
    # quorbel's writers say it in their message only
    "a block": (
        no_room(blocks, "_write_bytes", OSError("No space left on device (os error 28)")) if native_build.AVAILABLE
        else no_room(blocks.quorbel, "write_binary_block", OSError("No space left on device (os error 28)")),
        "{index}",
    ),
    "a term table": (no_room(merge, "write_synced", OSError(errno.EDQUOT, "Disk quota exceeded")), "{index}"),
    # written on a thread of its own while the partitions merge
    "the document store": (no_room(DocumentStoreWriter, "write", OSError(errno.ENOSPC, "No space left on device")),
                           "{index}"),
    "the manifest": (no_room_for_the_manifest, "{index}/.build-.*/manifest.json"),
}


@pytest.mark.parametrize("full", FULL_DEVICES)
@pytest.mark.parametrize("command", ["index", "add"])
def test_a_full_device_is_named_and_leaves_the_index_as_it_was(tmp_path, monkeypatch, capsys, full, command):
    index_dir, source = tmp_path / "index", tmp_path / "docs.jsonl"
    source.write_text("".join(json.dumps(document._asdict()) + "\n" for document in FRUIT[4:]))
    build(FRUIT[:4], index_dir)
    before = {name: (index_dir / name).read_bytes() for name in visible_files(index_dir)}
    fail, where = FULL_DEVICES[full]
    with monkeypatch.context() as patch:
        fail(patch)
        status = cli.main([command, str(index_dir), "--jsonl", str(source), "--workers", "0", "--no-progress"])
    assert status == 1
    message = f"minisearch: error: no space left on device writing {where.format(index=index_dir)}\n"
    assert re.fullmatch(message, capsys.readouterr().err)
    assert {name: (index_dir / name).read_bytes() for name in visible_files(index_dir)} == before
    assert check_index(index_dir).ok


def test_a_rebuild_removes_what_a_killed_build_left_behind(tmp_path):
    build(FRUIT, tmp_path)
    (tmp_path / ".build-20240101T000000-0badf00d" / "blocks").mkdir(parents=True)
    (tmp_path / "postings-20240101T000000-0badf00d-000.blk").write_bytes(b"half")
    assert check_index(tmp_path).ok  # unreferenced files do not disturb the index
    build(FRUIT[:2], tmp_path)
    assert len(visible_files(tmp_path)) == 8
    assert not any(name.startswith(".build-") or "0badf00d" in name for name in os.listdir(tmp_path))


def test_postings_naming_unknown_documents_give_a_clear_error(tmp_path):
    build(FRUIT, tmp_path, store_documents=False)
    path = data_file(tmp_path, "postings")
    table = decode_term_table(data_file(tmp_path, "terms").read_bytes())
    entry = table.heads[table.terms.index("zebra")]
    data = bytearray(path.read_bytes())
    assert quorbel.decode_posting_list(bytes(data[table.starts[entry] : table.ends[entry]])) == [(5, 3, 1)]
    data[table.starts[entry]] = 99  # same size, another document
    path.write_bytes(bytes(data))
    with Index(tmp_path) as index, pytest.raises(minisearch.IndexUnusableError,
                                                 match=r"postings-.*: the entry at byte \d+ is damaged: its CRC-32"):
        search(index, "zebra")


@pytest.mark.parametrize("held", [False, True])
def test_a_block_whose_groups_do_not_fill_its_store_bytes_is_refused(tmp_path, held):
    """Groups read from a block's file or held in memory are checked alike, before any is written."""
    data, path = b"x" * 10, tmp_path / "block.docs"
    path.write_bytes(data)
    store = DocumentStoreWriter()
    with pytest.raises(FormatError, match=r"block.docs: 10 bytes, its groups add up to 9"):
        if held:
            store.add_groups(0, (4, 5), data, str(path))
        else:
            store.add_block(0, (4, 5), str(path))
    assert (len(store.sizes), store.sources) == (0, [])
    store.add_groups(0, (4, 6), data, "held")
    store.add_block(32, (4, 6), str(path))
    size = store.write(tmp_path / "store")
    assert (tmp_path / "store").read_bytes()[-20:] == data * 2 and size == (tmp_path / "store").stat().st_size


def test_groups_still_being_made_take_their_place_in_the_store(tmp_path):
    """A block's groups handed over unfinished are made once, the oldest first when too many are
    left, and written in document order before the groups added after them; an error making them
    is the store's."""
    made = []

    def later(data, sizes):
        def make():
            made.append(data)
            return data, sizes
        return make

    store = DocumentStoreWriter()
    store.add_later(0, later(b"aaa", (1, 2)), "first", unfinished=1)
    store.add_later(32, later(b"bb", (2,)), "second", unfinished=1)
    assert made == [b"aaa"]  # one left unfinished at most
    store.add_groups(48, (4,), b"cccc", "held")
    store.add_later(64, later(b"d", (1,)), "last", unfinished=1)
    assert made == [b"aaa", b"bb"]
    size = store.write(tmp_path / "store")
    written = (tmp_path / "store").read_bytes()
    assert made == [b"aaa", b"bb", b"d"] and size == len(written)
    assert read_document_store_index(written).first_docs == [0, 16, 32, 48, 64] and written.endswith(b"aaabbccccd")

    def failing():
        raise minisearch.DocumentError("document 3: not valid text")

    store = DocumentStoreWriter()
    store.add_later(0, failing, "bad", unfinished=1)
    with pytest.raises(minisearch.DocumentError, match="document 3"):
        store.write(tmp_path / "bad-store")


SYNCED_COMMITS = {
    **COMMITS,
    "build on threads, blocks in memory": lambda d: minisearch.build_index(
        FRUIT[5:], d, minisearch.BuildOptions(show_progress=False, partitions=2)),
    **{
        f"{name}{', pending' if limit else ''}": change
        for limit in (0, 100)
        for name, change in {
            "upsert": lambda d, limit=limit: minisearch.upsert_documents(
                [Document("new", "fig", 1), Document("fig", "fig fig", "fresh")], d,
                minisearch.BuildOptions(show_progress=False, pending_limit=limit)),
            "delete": lambda d, limit=limit: minisearch.delete_documents(
                [0], d, minisearch.BuildOptions(show_progress=False, pending_limit=limit)),
        }.items()
    },
}


@pytest.mark.parametrize("commit", SYNCED_COMMITS)
def test_every_file_a_commit_names_is_synced_before_its_manifest(tmp_path, monkeypatch, commit):
    """Files are synced by whichever thread writes them, some beside the merges: each one the new
    manifest names must be on the disk (its inode synced) before the manifest replaces the old."""
    build([Document(d.title, d.content, n) for n, d in enumerate(FRUIT[:3])], tmp_path, partitions=2)
    add(FRUIT[3:5], tmp_path, merge=False)  # two segments, for optimize to merge
    earlier = set(os.listdir(tmp_path))  # synced by the commits before
    synced: set[int] = set()
    original_fsync, original_replace = os.fsync, os.replace
    unsynced_at_commit: list[list[str]] = []

    def fsync(fd):
        synced.add(os.fstat(fd).st_ino)
        return original_fsync(fd)

    def replace(source, target):
        if Path(target) == tmp_path / "manifest.json":
            named = json.loads(Path(source).read_text())
            files = [name for segment in named["segments"] for name in segment["files"].values()]
            files = [name for name in files + [change["file"] for change in named["pending"]] if name not in earlier]
            unsynced_at_commit.append([name for name in files if (tmp_path / name).stat().st_ino not in synced])
        return original_replace(source, target)

    monkeypatch.setattr(os, "fsync", fsync)
    monkeypatch.setattr(os, "replace", replace)
    SYNCED_COMMITS[commit](tmp_path)
    assert unsynced_at_commit and all(names == [] for names in unsynced_at_commit)
    assert set(os.listdir(tmp_path)) != earlier  # the commits wrote files, all synced
