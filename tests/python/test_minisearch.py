"""Tests of the minisearch example application (examples/minisearch) on the real quorbel module."""

import concurrent.futures
import io
import json
import os
import shutil
import sys
from collections import Counter, defaultdict
from pathlib import Path

import pytest

import quorbel

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples" / "minisearch"))

import minisearch  # noqa: E402
from minisearch import check, cli, corpus, indexer, progress, store  # noqa: E402
from minisearch.corpus import Document  # noqa: E402
from minisearch.search import Index, search  # noqa: E402
from minisearch.tokens import count_terms, tokenize  # noqa: E402

# A corpus small enough to rank by hand. Scores are content_freq + 4 * title_freq.
FRUIT = [
    Document("Apple pie", "apple apple banana"),  # 0  apple 2+4=6, banana 1
    Document("Banana bread", "banana banana banana apple"),  # 1  apple 1, banana 3+4=7
    Document("Cherry", "no fruit here but a cherry"),  # 2
    Document("apple", ""),  # 3  apple 4
    Document("Notes", "Apple."),  # 4  apple 1
    Document("Zebra crossing", "zebra zebra; the stripes of a zebra"),  # 5
    Document("Snake_case and dots", "json.decoder.JSONDecoder.raw_decode"),  # 6
]


def merge_key(posting):
    doc_id, content_freq, title_freq = posting
    return (-(content_freq + 4 * title_freq), -content_freq, -title_freq, doc_id)


def expected_entries(documents):
    """The final block's entries, computed independently of the indexer."""
    lists = defaultdict(list)
    for doc_id, (title, content) in enumerate(documents):
        in_content, in_title = Counter(tokenize(content)), Counter(tokenize(title))
        for term in set(in_content) | set(in_title):
            lists[term].append((doc_id, in_content[term], in_title[term]))
    entries = []
    for term in sorted(lists):
        postings = sorted(lists[term], key=merge_key)
        dfc = sum(1 for p in postings if p[1] > 0)
        dft = sum(1 for p in postings if p[2] > 0)
        entries.append((term, dfc, dft, postings))
    return entries


N_TERMS = len(expected_entries(FRUIT))
N_POSTINGS = sum(len(entry[3]) for entry in expected_entries(FRUIT))


def build(documents, index_dir, **options):
    options.setdefault("executor", indexer.InlineExecutor())
    options.setdefault("block_size", 2)
    return minisearch.build_index(documents, index_dir, show_progress=False, **options)


def block_path(index_dir):
    return str(Path(index_dir) / store.read_manifest(index_dir).files["block"])


def visible_files(directory):
    return sorted(p.name for p in Path(directory).iterdir() if p.name != ".lock")


# --------------------------------------------------------------------------
# Tokeniser


@pytest.mark.parametrize(
    ("text", "terms"),
    [
        ("Hello, World!", ["hello", "world"]),
        ("json.decoder.JSONDecoder.raw_decode", ["json", "decoder", "jsondecoder", "raw", "decode"]),
        ("read_term_at_offset(path, 8)", ["read", "term", "at", "offset", "path", "8"]),
        ("Ünïcödé CAFÉ naïve", ["ünïcödé", "café", "naïve"]),
        ("x" * 65 + " kept " + "y" * 64, ["kept", "y" * 64]),
        ("v2.0 -- 3rd", ["v2", "0", "3rd"]),
        ("", []),
        ("  ... ___ !!! ", []),
    ],
)
def test_tokenize(text, terms):
    assert tokenize(text) == terms


def test_count_terms_counts_repeats():
    assert count_terms("Lock lock LOCK unlock") == Counter({"lock": 3, "unlock": 1})


# --------------------------------------------------------------------------
# Corpora

MODULE_SOURCE = '''
"""Module doc."""
import sys

class Widget:
    """A widget."""

    def draw(self):
        """Draw it."""
        def helper():
            """Nested helper."""

    def undocumented(self):
        pass

if sys.platform == "win32":
    def chosen():
        """Windows variant."""
else:
    async def chosen():
        """Other variant."""

def empty():
    """"""
'''


def test_docstrings_of_source_names_definitions_by_qualified_name():
    documents = list(corpus.docstrings_of_source(MODULE_SOURCE, "pkg.mod"))
    assert documents == [
        Document("pkg.mod", "Module doc."),
        Document("pkg.mod.Widget", "A widget."),
        Document("pkg.mod.Widget.draw", "Draw it."),
        Document("pkg.mod.Widget.draw.helper", "Nested helper."),
        Document("pkg.mod.chosen", "Windows variant."),
        Document("pkg.mod.chosen", "Other variant."),
    ]


def test_docstrings_of_source_rejects_bad_syntax():
    with pytest.raises(SyntaxError):
        list(corpus.docstrings_of_source("def broken(:\n", "bad"))


@pytest.mark.parametrize("make_executor", [None, indexer.InlineExecutor, lambda: concurrent.futures.ProcessPoolExecutor(2)])
def test_stdlib_corpus_skips_tests_third_party_and_unparseable_files(tmp_path, make_executor):
    files = {
        "alpha.py": '"""Alpha module."""\ndef f():\n    """Eff."""\n',
        "pkg/__init__.py": '"""The package."""\n',
        "pkg/beta.py": 'class B:\n    """Bee."""\n',
        "pkg/tests/test_beta.py": '"""Skipped test."""\n',
        "test/test_alpha.py": '"""Skipped test suite."""\n',
        "site-packages/extra.py": '"""Skipped third party."""\n',
        "idlelib/editor.py": '"""Skipped IDE."""\n',
        "broken.py": '"""Never seen."""\ndef (:\n',
        "latin.py": b'# -*- coding: latin-1 -*-\n"""Caf\xe9."""\n',
        "_sysconfigdata__linux.py": '"""Skipped build data."""\n',
        "notes.txt": "not python",
    }
    for name, text in files.items():
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(text, bytes):
            path.write_bytes(text)
        else:
            path.write_text(text)
    executor = make_executor() if make_executor is not None else None
    try:
        documents = list(corpus.stdlib_corpus(tmp_path, executor))
    finally:
        if executor is not None:
            executor.shutdown()
    assert documents == [
        Document("alpha", "Alpha module."),
        Document("alpha.f", "Eff."),
        Document("latin", "Café."),
        Document("pkg", "The package."),
        Document("pkg.beta.B", "Bee."),
    ]


def test_stdlib_corpus_reads_the_real_standard_library():
    documents = list(corpus.limit_documents(corpus.stdlib_corpus(), 40))
    assert len(documents) == 40
    assert all(d.title and d.content.strip() for d in documents)
    assert all(d.title.replace(".", "").replace("_", "").isalnum() for d in documents)


def test_stdlib_corpus_of_a_missing_directory_fails(tmp_path):
    with pytest.raises(corpus.CorpusError):
        list(corpus.stdlib_corpus(tmp_path / "missing"))


def test_directory_corpus(tmp_path):
    (tmp_path / "sub" / "deeper").mkdir(parents=True)
    (tmp_path / ".hidden").mkdir()
    (tmp_path / "b.txt").write_text("bee")
    (tmp_path / "a.md").write_text("# Ay")
    (tmp_path / "sub" / "deeper" / "c.txt").write_text("sea")
    (tmp_path / ".hidden" / "d.txt").write_text("hidden")
    (tmp_path / ".dotfile").write_text("hidden")
    (tmp_path / "image.bin").write_bytes(b"\x89PNG\r\n\x1a\n\xff\xfe")
    (tmp_path / "nul.txt").write_bytes(b"a\0b")
    assert list(corpus.directory_corpus(tmp_path)) == [
        Document("a.md", "# Ay"),
        Document("b.txt", "bee"),
        Document("sub/deeper/c.txt", "sea"),
    ]
    with pytest.raises(corpus.CorpusError):
        list(corpus.directory_corpus(tmp_path / "b.txt"))


def test_jsonl_corpus_reads_records_and_skips_blank_lines(tmp_path):
    path = tmp_path / "docs.jsonl"
    path.write_text(
        json.dumps({"title": "One", "content": "first", "extra": 1})
        + "\n\n   \n"
        + json.dumps({"title": "Zwei ü", "content": ""}, ensure_ascii=False)
        + "\n",
        encoding="utf-8",
    )
    assert list(corpus.jsonl_corpus(path)) == [Document("One", "first"), Document("Zwei ü", "")]


@pytest.mark.parametrize(
    ("line", "message"),
    [
        ("{not json", "not valid JSON"),
        ('["a list"]', "expected a JSON object"),
        ('{"title": "t"}', '"title" and "content"'),
        ('{"title": 3, "content": "c"}', '"title" and "content"'),
    ],
)
def test_jsonl_corpus_names_the_bad_line(tmp_path, line, message):
    path = tmp_path / "docs.jsonl"
    path.write_text('{"title": "ok", "content": "ok"}\n' + line + "\n")
    with pytest.raises(corpus.CorpusError, match=f"line 2: .*{message}"):
        list(corpus.jsonl_corpus(path))


def test_jsonl_corpus_of_a_missing_file_fails(tmp_path):
    with pytest.raises(corpus.CorpusError, match="cannot open"):
        list(corpus.jsonl_corpus(tmp_path / "missing.jsonl"))


@pytest.mark.parametrize("limit", [0, 1, 3, 100])
def test_limit_documents(limit):
    assert list(corpus.limit_documents(FRUIT, limit)) == FRUIT[:limit]
    assert list(corpus.limit_documents(FRUIT, None)) == FRUIT


# --------------------------------------------------------------------------
# Building and searching


def test_build_block_writes_sorted_terms_with_postings_in_document_order(tmp_path):
    path = str(tmp_path / "b.blk")
    info = indexer.build_block(3, path, 10, FRUIT[:2])
    entries = quorbel.iter_block_terms(path)
    assert [e[0] for e in entries] == ["apple", "banana", "bread", "pie"]
    assert entries[0] == ("apple", 2, 1, [(10, 2, 1), (11, 1, 0)])
    assert entries[1] == ("banana", 2, 1, [(10, 1, 0), (11, 3, 1)])
    assert (info.number, info.first_doc_id, info.documents, info.terms, info.postings) == (3, 10, 2, 4, 6)
    assert info.file_size == os.path.getsize(path)


def test_index_holds_the_merged_entries_and_answers_queries(tmp_path):
    report = build(FRUIT, tmp_path / "idx")
    expected = expected_entries(FRUIT)
    assert quorbel.iter_block_terms(block_path(tmp_path / "idx")) == expected
    assert (report.documents, report.terms, report.blocks) == (7, len(expected), 4)
    assert report.postings == sum(len(e[3]) for e in expected)
    assert report.block_bytes == os.path.getsize(block_path(tmp_path / "idx"))
    assert set(report.phase_seconds) == {"index", "merge", "write", "commit"}

    index = Index(tmp_path / "idx")
    assert index.titles == [d.title for d in FRUIT]
    assert index.postings("apple") == [(0, 2, 1), (3, 0, 1), (1, 1, 0), (4, 1, 0)]
    result = search(index, "apple banana", k=10)
    assert [(h.title, h.score) for h in result.hits] == [
        ("Banana bread", 8),
        ("Apple pie", 7),
        ("apple", 4),
        ("Notes", 1),
    ]
    assert result.matched == 4 and result.unknown_terms == []
    assert search(index, "apple APPLE, apple").hits == search(index, "apple").hits  # repeats count once
    assert check.check_index(tmp_path / "idx").problems == []


@pytest.mark.parametrize(
    ("query", "k", "titles", "unknown"),
    [
        ("APPLE apple Apple", 10, ["Apple pie", "apple", "Banana bread", "Notes"], []),  # repeats count once
        ("apple", 2, ["Apple pie", "apple"], []),
        ("zebra", 10, ["Zebra crossing"], []),
        ("raw_decode", 10, ["Snake_case and dots"], []),
        ("durian apple", 1, ["Apple pie"], ["durian"]),
        ("durian", 10, [], ["durian"]),
        ("... !!!", 10, [], []),
        ("apple", 0, [], []),
    ],
)
def test_search(tmp_path, query, k, titles, unknown):
    build(FRUIT, tmp_path)
    result = search(Index(tmp_path), query, k)
    assert [h.title for h in result.hits] == titles
    assert result.unknown_terms == unknown


@pytest.mark.parametrize(
    ("block_size", "make_executor"),
    [
        (1, indexer.InlineExecutor),
        (3, lambda: concurrent.futures.ThreadPoolExecutor(max_workers=3)),
        (1000, indexer.InlineExecutor),
        (2, None),  # the default: a process pool
    ],
)
def test_the_index_does_not_depend_on_blocks_or_executor(tmp_path, block_size, make_executor):
    reference = tmp_path / "reference"
    build(FRUIT, reference, block_size=len(FRUIT))
    executor = make_executor() if make_executor is not None else None
    try:
        build(FRUIT, tmp_path / "other", block_size=block_size, executor=executor, workers=2)
    finally:
        if executor is not None:
            executor.shutdown()
    assert Path(block_path(tmp_path / "other")).read_bytes() == Path(block_path(reference)).read_bytes()


class CuttingExecutor(indexer.InlineExecutor):
    """Cuts the second block file after its first entry, as a short write on shared storage would."""

    def __init__(self):
        self.calls = 0

    def submit(self, fn, /, *args, **kwargs):
        future = super().submit(fn, *args, **kwargs)
        self.calls += 1
        if self.calls == 2:
            path = future.result().path
            first = quorbel.read_term_at_offset(path, 8)
            os.truncate(path, first[4])
        return future


def test_a_block_file_cut_between_entries_fails_the_build(tmp_path):
    with pytest.raises(minisearch.IndexBuildError, match=r"block 1 .*header announces \d+ terms, the file holds 1,"):
        build(FRUIT, tmp_path, executor=CuttingExecutor())
    assert visible_files(tmp_path) == []


def test_an_empty_corpus_gives_an_empty_index(tmp_path):
    report = build([], tmp_path)
    assert (report.documents, report.terms, report.postings) == (0, 0, 0)
    assert quorbel.get_block_stats(block_path(tmp_path)) == (0, 8)
    assert search(Index(tmp_path), "anything").hits == []
    assert check.check_index(tmp_path).ok


def test_a_worker_failure_fails_the_build(tmp_path):
    with pytest.raises(AttributeError):  # a content that is not text fails in the worker
        build([Document("fine", "ok"), Document("bad", None)] * 3, tmp_path, workers=2, executor=None)
    assert visible_files(tmp_path) == []


def test_rebuilding_replaces_the_index_and_removes_the_old_files(tmp_path):
    build(FRUIT, tmp_path)
    old_files = set(visible_files(tmp_path))
    build([Document("Durian", "durian")], tmp_path)
    new_files = set(visible_files(tmp_path))
    assert len(new_files) == 4 and not (old_files - {"manifest.json"}) & new_files
    assert [h.title for h in search(Index(tmp_path), "durian apple").hits] == ["Durian"]


def test_a_build_refuses_a_directory_that_holds_other_files(tmp_path):
    (tmp_path / "thesis.tex").write_text("precious")
    with pytest.raises(minisearch.IndexUnusableError, match="not an index directory"):
        build(FRUIT, tmp_path)
    assert visible_files(tmp_path) == ["thesis.tex"]
    assert (tmp_path / "thesis.tex").read_text() == "precious"


def test_a_second_concurrent_build_is_refused(tmp_path):
    with store.build_lock(tmp_path):
        with pytest.raises(minisearch.IndexUnusableError, match="another build"):
            build(FRUIT, tmp_path)


def test_opening_a_directory_without_an_index_fails(tmp_path):
    with pytest.raises(minisearch.IndexUnusableError, match="no index"):
        Index(tmp_path)


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


INTERRUPTIONS = {
    "mid-merge": lambda mp: fail_on_call(mp, quorbel, "merge_posting_lists", 5),
    "ctrl-c mid-merge": lambda mp: fail_on_call(mp, quorbel, "merge_posting_lists", 3, KeyboardInterrupt),
    "reading a block": lambda mp: fail_on_call(mp, quorbel, "iter_block_terms", 2),
    "final block": lambda mp: fail_on_call(mp, quorbel, "write_binary_block", 1),
    "offset table": lambda mp: fail_on_call(mp, indexer, "write_offset_table", 1),
    "commit": fail_manifest_replace,
}


@pytest.mark.parametrize("interruption", INTERRUPTIONS)
def test_an_interrupted_first_build_leaves_no_index_and_a_rerun_succeeds(tmp_path, monkeypatch, interruption):
    with monkeypatch.context() as patch:
        INTERRUPTIONS[interruption](patch)
        with pytest.raises((Injected, KeyboardInterrupt)):
            build(FRUIT, tmp_path)
    assert visible_files(tmp_path) == []
    with pytest.raises(minisearch.IndexUnusableError):
        Index(tmp_path)
    build(FRUIT, tmp_path)
    assert check.check_index(tmp_path).ok
    assert [h.title for h in search(Index(tmp_path), "zebra").hits] == ["Zebra crossing"]


@pytest.mark.parametrize("interruption", INTERRUPTIONS)
def test_an_interrupted_rebuild_keeps_the_previous_index(tmp_path, monkeypatch, interruption):
    build(FRUIT, tmp_path)
    before = {name: (tmp_path / name).read_bytes() for name in visible_files(tmp_path)}
    replacement = [Document(f"Durian {i}", "durian fruit smells strongly of onions and cheese") for i in range(5)]
    with monkeypatch.context() as patch:
        INTERRUPTIONS[interruption](patch)
        with pytest.raises((Injected, KeyboardInterrupt)):
            build(replacement, tmp_path)
    assert {name: (tmp_path / name).read_bytes() for name in visible_files(tmp_path)} == before
    assert check.check_index(tmp_path).ok
    assert [h.title for h in search(Index(tmp_path), "zebra durian").hits] == ["Zebra crossing"]
    build(replacement, tmp_path)
    assert [h.doc_id for h in search(Index(tmp_path), "zebra durian").hits] == [0, 1, 2, 3, 4]


def test_a_rebuild_removes_what_a_killed_build_left_behind(tmp_path):
    build(FRUIT, tmp_path)
    # What a build killed with SIGKILL before its commit can leave.
    (tmp_path / ".build-20240101T000000-0badf00d" / "blocks").mkdir(parents=True)
    (tmp_path / ".build-20240101T000000-0badf00d" / "blocks" / "block-000000.blk").write_bytes(b"junk")
    (tmp_path / "index-20240101T000000-0badf00d.blk").write_bytes(b"half")
    assert check.check_index(tmp_path).ok  # unreferenced files do not disturb the index
    build(FRUIT[:2], tmp_path)
    assert len(visible_files(tmp_path)) == 4
    assert not any(name.startswith(".build-") or "0badf00d" in name for name in os.listdir(tmp_path))


# --------------------------------------------------------------------------
# The offset table


def test_offset_table_round_trip(tmp_path):
    entries = [("", 8), ("é", 9), ("long" * 40, 300), ("z", 2**35 - 1)]
    assert store.write_offset_table(tmp_path / "t.bin", entries) == 4
    assert store.read_offset_table(tmp_path / "t.bin") == entries


def test_offset_table_refuses_values_that_cannot_be_read_back(tmp_path):
    with pytest.raises(ValueError, match="too large"):
        store.write_offset_table(tmp_path / "t.bin", [("a", 8), ("b", 2**35 + 8)])
    with pytest.raises(ValueError, match="ascend"):
        store.write_offset_table(tmp_path / "t.bin", [("a", 80), ("b", 20)])


def test_every_cut_of_an_offset_table_is_detected(tmp_path):
    path = tmp_path / "t.bin"
    store.write_offset_table(path, [("alpha", 8), ("beta", 300), ("gamma", 70000)])
    data = path.read_bytes()
    for length in range(len(data)):
        path.write_bytes(data[:length])
        with pytest.raises(store.OffsetTableError):
            store.read_offset_table(path)
    path.write_bytes(data + b"\x00")
    with pytest.raises(store.OffsetTableError, match="bytes after"):
        store.read_offset_table(path)


# --------------------------------------------------------------------------
# Checking


@pytest.fixture(scope="module")
def pristine_index(tmp_path_factory):
    directory = tmp_path_factory.mktemp("pristine")
    build(FRUIT, directory)
    return directory


@pytest.fixture
def damaged(pristine_index, tmp_path):
    target = tmp_path / "index"
    shutil.copytree(pristine_index, target)
    return target


def rewrite_block(index_dir, change):
    """Rewrite the block file with its entries passed through ``change``."""
    path = block_path(index_dir)
    entries = change([list(entry) for entry in quorbel.iter_block_terms(path)])
    quorbel.write_binary_block(
        [e[0] for e in entries], [(e[1], e[2]) for e in entries], [e[3] for e in entries], path
    )


def entry_offsets(index_dir):
    return dict(store.read_offset_table(Path(index_dir) / store.read_manifest(index_dir).files["offsets"]))


def flip_byte(position):
    def damage(index_dir):
        path = Path(block_path(index_dir))
        data = bytearray(path.read_bytes())
        data[position(index_dir)] ^= 0x41
        path.write_bytes(bytes(data))

    return damage


def truncate_block(keep):
    def damage(index_dir):
        path = Path(block_path(index_dir))
        path.write_bytes(path.read_bytes()[: keep(index_dir)])

    return damage


def repeat_term(entries):
    entries.insert(3, list(entries[2]))
    return entries


def swap_terms(entries):
    entries[1], entries[2] = entries[2], entries[1]
    return entries


def wrong_doc_freq(entries):
    apple = next(e for e in entries if e[0] == "apple")
    apple[1] += 1
    return entries


def reverse_postings(entries):
    apple = next(e for e in entries if e[0] == "apple")
    apple[3] = apple[3][::-1]
    return entries


def repeat_posting(entries):
    zebra = next(e for e in entries if e[0] == "zebra")
    zebra[3] = zebra[3] * 2
    zebra[1] *= 2
    return entries


def foreign_document(entries):
    zebra = next(e for e in entries if e[0] == "zebra")
    zebra[3] = [(zebra[3][0][0] + 100, *zebra[3][0][1:])]
    return entries


def append_bytes(index_dir):
    with open(block_path(index_dir), "ab") as handle:
        handle.write(b"\x01\x02")


def cut_offset_table(index_dir):
    path = Path(index_dir) / store.read_manifest(index_dir).files["offsets"]
    path.write_bytes(path.read_bytes()[:-3])


def shift_an_offset(index_dir):
    entries = list(entry_offsets(index_dir).items())
    entries[3] = (entries[3][0], entries[3][1] + 1)
    store.write_offset_table(Path(index_dir) / store.read_manifest(index_dir).files["offsets"], entries)


def drop_a_title(index_dir):
    path = Path(index_dir) / store.read_manifest(index_dir).files["titles"]
    path.write_text(json.dumps(json.loads(path.read_text())[:-1]))


def remove_block(index_dir):
    os.remove(block_path(index_dir))


def remove_manifest(index_dir):
    os.remove(Path(index_dir) / "manifest.json")


CORRUPTIONS = {
    "flip header byte": (flip_byte(lambda d: 0), ["SHA-256", "header announces"]),
    "flip term byte": (flip_byte(lambda d: entry_offsets(d)["banana"] + 5), ["SHA-256", "not a single token"]),
    "flip posting byte": (
        flip_byte(lambda d: entry_offsets(d)["banana"] + 4 + 6 + 3),
        ["SHA-256"],
    ),
    "truncate inside an entry": (truncate_block(lambda d: os.path.getsize(block_path(d)) - 2), ["cannot be read"]),
    "truncate between entries": (
        truncate_block(lambda d: entry_offsets(d)["zebra"]),
        [f"header announces {N_TERMS} entries, the file holds {N_TERMS - 1}", f"{N_TERMS} entries, the block file {N_TERMS - 1}"],
    ),
    "swap terms": (
        lambda d: rewrite_block(d, swap_terms),
        ["not after the previous term", "maps"],
    ),
    "repeated term": (lambda d: rewrite_block(d, repeat_term), ["not after the previous term"]),
    "wrong doc freq": (lambda d: rewrite_block(d, wrong_doc_freq), ["doc_freq_content is 4, but 3 postings"]),
    "postings out of order": (lambda d: rewrite_block(d, reverse_postings), ["out of merge order"]),
    "repeated document": (lambda d: rewrite_block(d, repeat_posting), ["document ids repeated: 5"]),
    "unknown document": (lambda d: rewrite_block(d, foreign_document), ["outside 0..6"]),
    "stray bytes": (append_bytes, ["2 stray bytes"]),
    "offset table cut": (cut_offset_table, ["cut short"]),
    "offset table wrong": (shift_an_offset, ["entry 3 maps"]),
    "title missing": (drop_a_title, ["holds 6 titles, expected 7"]),
    "block file missing": (remove_block, ["missing"]),
    "manifest missing": (remove_manifest, ["no index"]),
}


@pytest.mark.parametrize("corruption", CORRUPTIONS)
def test_check_names_each_corruption(damaged, corruption):
    damage, expected = CORRUPTIONS[corruption]
    assert check.check_index(damaged).ok
    damage(damaged)
    report = check.check_index(damaged)
    assert not report.ok
    for text in expected:
        assert any(text in problem for problem in report.problems), (text, report.problems)
    out = io.StringIO()
    assert cli.main(["check", str(damaged)], out=out) == 1
    assert "problem" in out.getvalue() and expected[0] in out.getvalue()


@pytest.mark.parametrize(
    ("entry", "documents", "problem"),
    [
        (("apple", 2, 1, [(0, 2, 1), (1, 1, 0)]), 2, None),
        (("apple", 2, 1, [(1, 1, 0), (0, 2, 1)]), 2, "out of merge order"),
        (("apple", 2, 0, [(0, 1, 0), (1, 1, 0)]), 2, None),
        (("apple", 2, 0, [(1, 1, 0), (0, 1, 0)]), 2, "out of merge order"),  # ties: doc id ascending
        (("apple", 1, 1, [(0, 0, 1), (1, 3, 0)]), 2, None),  # a title occurrence weighs 4
        (("apple", 1, 1, [(1, 3, 0), (0, 0, 1)]), 2, "out of merge order"),
        (("apple", 1, 1, [(0, 4, 0), (1, 0, 1)]), 2, None),  # equal scores: content_freq first
        (("apple", 1, 1, [(1, 0, 1), (0, 4, 0)]), 2, "out of merge order"),
        (("apple", 1, 0, [(0, 1, 0)]), 2, None),
        (("apple", 1, 0, [(0, 0, 0)]), 2, "zero frequencies"),
        (("apple", 1, 0, [(0, -1, 0)]), 2, "negative"),
        (("apple", 0, 0, []), 2, "empty posting list"),
        (("apple", 1, 1, [(0, 1, 0)]), 2, "doc_freq_title is 1, but 0"),
        (("Apple", 1, 0, [(0, 1, 0)]), 2, "not a single token"),
        (("apple", 1, 0, [(2, 1, 0)]), 2, "outside 0..1"),
    ],
)
def test_check_entry(entry, documents, problem):
    problems = check.check_entry(*entry, documents)
    if problem is None:
        assert problems == []
    else:
        assert any(problem in p for p in problems), problems


# --------------------------------------------------------------------------
# Progress


def test_progress_falls_back_to_a_counter_without_tqdm(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "tqdm", None)  # makes "import tqdm" fail
    assert not progress.tqdm_available()
    with progress.progress("indexing", total=30, unit="docs") as bar:
        assert isinstance(bar, progress.StderrCounter)
        for _ in range(3):
            bar.update(10)
    err = capsys.readouterr().err
    assert err.endswith("\n")
    assert "indexing: 30/30 docs" in err.splitlines()[-1]


def test_progress_can_be_disabled(capsys):
    with progress.progress("x", total=3, enabled=False) as bar:
        bar.update(3)
    assert capsys.readouterr().err == ""


def test_build_with_progress_reports_both_phases(tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    minisearch.build_index(FRUIT, tmp_path, block_size=3, executor=indexer.InlineExecutor())
    n = sum(len(set(tokenize(" ".join(FRUIT[i].title + " " + FRUIT[i].content for i in block)))) for block in ([0, 1, 2], [3, 4, 5], [6]))
    err = capsys.readouterr().err
    assert "indexing: 7 docs" in err
    assert f"merging: {n}/{n} entries" in err


# --------------------------------------------------------------------------
# Command line


def run(*arguments):
    out = io.StringIO()
    status = cli.main([str(a) for a in arguments], out=out)
    return status, out.getvalue()


def test_cli_index_search_and_check_a_jsonl_corpus(tmp_path):
    source = tmp_path / "docs.jsonl"
    source.write_text("".join(json.dumps(d._asdict()) + "\n" for d in FRUIT))
    status, out = run("index", tmp_path / "idx", "--jsonl", source, "--workers", "0", "--no-progress", "--block-size", "3")
    assert status == 0
    assert "documents   7\n" in out and "blocks      3 of up to 3 documents" in out
    status, out = run("search", tmp_path / "idx", "apple", "banana", "-k", "2")
    assert status == 0
    lines = out.splitlines()
    assert "4 matching documents" in lines[0]
    assert lines[1:] == ["    1. 8  Banana bread", "    2. 7  Apple pie"]
    status, out = run("check", tmp_path / "idx")
    assert status == 0
    assert out.startswith(f"{tmp_path / 'idx'}: OK ({N_TERMS} entries, {N_POSTINGS} postings verified")


@pytest.mark.parametrize(
    ("words", "expected"),
    [
        (["zebra"], ["'zebra': 1 matching document, top 1 in", "    1. 7  Zebra crossing"]),
        (["durian"], ["'durian': 0 matching documents, no results in", "  (no document holds: durian)"]),
        (["--", "-"], ["'-': 0 matching documents, no results in", "  (the query holds no words)"]),
        (["cherry", "durian"], ["'cherry durian': 1 matching document, top 1 in", "  (no document holds: durian)", "    1. 5  Cherry"]),
    ],
)
def test_cli_search_output(tmp_path, words, expected):
    build(FRUIT, tmp_path)
    status, out = run("search", tmp_path, *words)
    lines = out.splitlines()
    assert status == 0 and len(lines) == len(expected)
    assert lines[0].startswith(expected[0]) and lines[0].endswith(" ms")
    assert lines[1:] == expected[1:]


def test_cli_index_a_directory_corpus(tmp_path):
    (tmp_path / "docs" / "guide").mkdir(parents=True)
    (tmp_path / "docs" / "guide" / "install.txt").write_text("Install with pip.")
    (tmp_path / "docs" / "readme.txt").write_text("Read the install guide first.")
    status, _ = run("index", tmp_path / "idx", "--dir", tmp_path / "docs", "--workers", "0", "--no-progress")
    assert status == 0
    status, out = run("search", tmp_path / "idx", "install")
    assert out.splitlines()[1:] == ["    1. 5  guide/install.txt", "    2. 1  readme.txt"]


def test_cli_shell_reads_queries_until_quit(tmp_path, monkeypatch):
    build(FRUIT, tmp_path)
    monkeypatch.setattr(sys, "stdin", io.StringIO("zebra\n\ncherry\n:q\nnever asked\n"))
    status, out = run("search", tmp_path)
    assert status == 0
    assert "Zebra crossing" in out and "Cherry" in out and "never" not in out


def test_cli_reports_errors_with_a_status(tmp_path, capsys):
    assert run("search", tmp_path, "x")[0] == 1
    assert "no index" in capsys.readouterr().err
    bad = tmp_path / "bad.jsonl"
    bad.write_text("[]\n")
    assert run("index", tmp_path / "idx", "--jsonl", bad, "--workers", "0", "--no-progress")[0] == 1
    assert "line 1" in capsys.readouterr().err


def test_cli_demo_on_a_few_standard_library_documents(tmp_path):
    status, out = run("demo", "--limit", "60", "--workers", "0", "--no-progress", "--index", tmp_path, "-k", "2")
    assert status == 0
    assert "documents   60\n" in out
    for query in cli.SAMPLE_QUERIES:
        assert repr(query) in out
    assert "query latency" in out and ": OK (" in out
    assert check.check_index(tmp_path).ok
