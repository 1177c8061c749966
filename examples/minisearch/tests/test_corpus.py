"""The tokeniser and the document sources."""

import concurrent.futures
import contextlib
import json
import os
import re
import sys
import threading
import unicodedata
from collections import Counter

import pytest
from conftest import FRUIT

from minisearch import corpus, tokens
from minisearch.corpus import Document
from minisearch.executors import InlineExecutor
from minisearch.marks import MARK_RANGES
from minisearch.tokens import count_terms, tokenize

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


@pytest.mark.parametrize(
    ("text", "terms", "legacy"),
    [
        ("İstanbul ISTANBUL istanbul", ["istanbul"] * 3, ["i", "stanbul", "istanbul", "istanbul"]),
        ("हिन्दी भाषा", ["हिन्दी", "भाषा"], ["ह", "न", "द", "भ", "ष"]),  # vowel signs are marks
        ("cafe\u0301 café CAFÉ", ["café"] * 3, ["cafe", "café", "café"]),  # one term however encoded
        ("a\u0301b \u0301x _\u0301", ["áb", "x"], ["a", "b", "x"]),  # a mark does not begin a term
        ("e\u0301" * 32 + " " + "e\u0301" * 33, ["é" * 32, "é" * 33], ["e"] * 65),
        ("é" * 65 + " kept", ["kept"], ["kept"]),  # longer than a term, composed
        ("JSONDecoder.raw_decode", ["jsondecoder", "raw", "decode"], ["jsondecoder", "raw", "decode"]),
    ],
)
def test_terms_keep_their_combining_marks_and_old_indexes_keep_their_rule(text, terms, legacy):
    assert tokens.TOKENIZER.tokenize(text) == tokenize(text) == terms
    assert tokens.LEGACY.tokenize(text) == legacy
    for rule in (tokens.TOKENIZER, tokens.LEGACY):  # a query word is read as a document is, long runs aside
        for word in text.split():
            assert [term for term in rule.query_terms(word) if len(term) <= tokens.MAX_TERM_LENGTH] == rule.tokenize(word)
    # A snippet's words, read from the text as written, are the terms that tokenising finds.
    assert [term for _, _, term in tokens.TOKENIZER.words(text) if len(term) <= tokens.MAX_TERM_LENGTH] == terms


def test_every_combining_mark_lies_where_the_tokenizer_looks_for_them():
    marks = {code for code in range(sys.maxunicode + 1) if unicodedata.category(chr(code))[0] == "M"}
    assert marks and all(any(low <= code < high for low, high in tokens.MARK_SPANS) for code in marks)
    assert [mark for mark in marks if len(tokenize(f"a{chr(mark)}b")) != 1] == []


def test_the_listed_marks_of_this_unicode_version_are_those_unicodedata_finds():
    listed = MARK_RANGES.get(unicodedata.unidata_version)
    if listed is None:
        pytest.skip(f"no table for Unicode {unicodedata.unidata_version}: marks are found by scanning")
    assert tokens._parsed_ranges(listed) == tokens._scanned_mark_ranges()


@pytest.mark.parametrize("name", [tokens.TOKENIZER.name, tokens.LEGACY.name])
def test_a_rule_is_found_by_the_name_an_index_records(name):
    assert tokens.tokenizer_named(name).name == name
    with pytest.raises(ValueError, match="unknown tokenizer rule"):
        tokens.tokenizer_named(name + "?")


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


def test_docstrings_of_source_names_and_keys_definitions_by_qualified_name():
    documents = list(corpus.docstrings_of_source(MODULE_SOURCE, "pkg.mod"))
    assert documents == [
        Document("pkg.mod", "Module doc.", "pkg.mod"),
        Document("pkg.mod.Widget", "A widget.", "pkg.mod.Widget"),
        Document("pkg.mod.Widget.draw", "Draw it.", "pkg.mod.Widget.draw"),
        Document("pkg.mod.Widget.draw.helper", "Nested helper.", "pkg.mod.Widget.draw.helper"),
        Document("pkg.mod.chosen", "Windows variant.", "pkg.mod.chosen"),
        Document("pkg.mod.chosen", "Other variant.", "pkg.mod.chosen#2"),  # keys are unique
    ]


def test_docstrings_of_source_rejects_bad_syntax():
    with pytest.raises(SyntaxError):
        list(corpus.docstrings_of_source("def broken(:\n", "bad"))


@pytest.mark.parametrize("make_executor", [None, InlineExecutor, lambda: concurrent.futures.ProcessPoolExecutor(2)])
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
        Document("alpha", "Alpha module.", "alpha"),
        Document("alpha.f", "Eff.", "alpha.f"),
        Document("latin", "Café.", "latin"),
        Document("pkg", "The package.", "pkg"),
        Document("pkg.beta.B", "Bee.", "pkg.beta.B"),
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
    (tmp_path / "crlf.txt").write_bytes(b"one\r\ntwo\r\n")
    os.mkfifo(tmp_path / "sub" / "pipe")
    (tmp_path / "sub" / "to-pipe").symlink_to("pipe")
    (tmp_path / "sub" / "to-b.txt").symlink_to("../b.txt")
    skipped = []
    documents = read_without_hanging(lambda: list(corpus.directory_corpus(tmp_path, skipped)), tmp_path / "sub" / "pipe")
    assert documents == [
        Document("a.md", "# Ay", "a.md"),
        Document("b.txt", "bee", "b.txt"),
        Document("crlf.txt", "one\ntwo\n", "crlf.txt"),
        Document("sub/to-b.txt", "bee", "sub/to-b.txt"),
        Document("sub/deeper/c.txt", "sea", "sub/deeper/c.txt"),
    ]
    assert skipped == ["image.bin", "nul.txt", "sub/pipe", "sub/to-pipe"]
    with pytest.raises(corpus.CorpusError):
        list(corpus.directory_corpus(tmp_path / "b.txt"))


def read_without_hanging(read, pipe):
    """``read()``; should it block on ``pipe``, a writer that opens and closes it ends the wait."""
    result = []
    reader = threading.Thread(target=lambda: result.append(read()), daemon=True)
    reader.start()
    while reader.join(5) or reader.is_alive():
        with contextlib.suppress(OSError):  # ENXIO: nobody reads the pipe yet
            os.close(os.open(pipe, os.O_WRONLY | os.O_NONBLOCK))  # the reader then sees an empty file
    return result[0]


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
        ('{"title": "t", "content": "\\ud800"}', "not valid text"),
        (b'{"title": "caf\xe9", "content": "c"}', r"not UTF-8 \(byte 0xe9 at character 15\)"),
        (b'{"title": "\xc3\xa9t\xc3", "content": "c"}', r"not UTF-8 \(byte 0xc3 at character 14\)"),
        ('{"title": "t", "content": "c", "deep": ' + "[" * 100_000 + "]" * 100_000 + "}", "nested too deeply"),
        ('{"title": "t", "content": "c", "n": ' + "9" * 5000 + "}", "an integer of more than 4300 digits"),
    ],
    ids=["syntax", "list", "missing", "not a string", "lone surrogate", "latin-1", "cut sequence", "deep", "long int"],
)
def test_jsonl_corpus_names_the_bad_line(tmp_path, line, message):
    path = tmp_path / "docs.jsonl"
    path.write_bytes(b'{"title": "ok", "content": "\xc3\xa9"}\n' + (line if isinstance(line, bytes) else line.encode()) + b"\n")
    with pytest.raises(corpus.CorpusError, match=f"^{re.escape(str(path))}, line 2: .*{message}"):
        list(corpus.jsonl_corpus(path))


def test_jsonl_corpus_of_a_missing_file_fails(tmp_path):
    with pytest.raises(corpus.CorpusError, match="cannot open"):
        list(corpus.jsonl_corpus(tmp_path / "missing.jsonl"))


@pytest.mark.parametrize("limit", [0, 1, 3, 100])
def test_limit_documents(limit):
    assert list(corpus.limit_documents(FRUIT, limit)) == FRUIT[:limit]
    assert list(corpus.limit_documents(FRUIT, None)) == FRUIT
