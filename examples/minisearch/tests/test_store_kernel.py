"""The document store's groups made by the kernel against ``compress_group``: the same bytes for
every kind of text (escapes, every storage width of str, group boundaries), the same error for
text that is not valid, and a clear exception for a bad argument."""

import zlib
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from minisearch import blocks, native_build
from minisearch.blocks import BlockTask
from minisearch.corpus import Document
from minisearch.errors import DocumentError
from minisearch.layout import GROUP_SIZE, STORE_LEVEL, compress_group

pytestmark = pytest.mark.skipif(not native_build.AVAILABLE, reason="the native build kernels are not built")


def python_groups(contents):
    groups = [compress_group(contents[start : start + GROUP_SIZE]) for start in range(0, len(contents), GROUP_SIZE)]
    return b"".join(groups), tuple(map(len, groups))


def kernel_groups(contents):
    made = native_build.store_groups(list(contents))
    if made is None:
        pytest.skip("the kernels do not carry this interpreter's zlib")
    return made


# Every character json escapes, the storage widths of str (1, 2 and 4 bytes a character) and the
# UTF-8 lengths 1 to 4.
CASES = {
    "no contents": [],
    "empty contents": ["", "", ""],
    "quotes and backslashes": ['say "hi"', "C:\\path\\", '\\"', '"'],
    "control characters": ["".join(map(chr, range(0x20))), "\x7f", "tab\there\r\n"],
    "latin-1": ["caf\xe9 \xff \x80 \xa0"],
    "two-byte storage": ["\u0100 \u2028 \ufeff \uffff ह"],
    "four-byte storage": ["\U0001f600 \U0010ffff a\u00e9\u0100"],
    "one group": [str(n) for n in range(GROUP_SIZE)],
    "a group and one more": [str(n) for n in range(GROUP_SIZE + 1)],
    "long text": ["word " * 50_000 + '"\\\n' * 1000],
}


@pytest.mark.parametrize("case", CASES)
def test_groups_are_those_of_compress_group(case):
    assert kernel_groups(CASES[case]) == python_groups(CASES[case])


@settings(max_examples=200, deadline=None)
@given(st.lists(st.text(st.characters(exclude_categories=["Cs"])), max_size=3 * GROUP_SIZE + 1))
def test_any_valid_texts_make_the_groups_of_compress_group(contents):
    assert kernel_groups(contents) == python_groups(contents)


@pytest.mark.parametrize("text", ["\ud800", "a\udfffb", "\U0001f600 \udc00"], ids=["alone", "inside", "wide"])
def test_a_lone_surrogate_raises_what_encoding_raises(text):
    contents = ["fine"] * (GROUP_SIZE + 2) + [text, "\ud800"]
    with pytest.raises(UnicodeEncodeError) as expected:
        text.encode("utf-8")
    with pytest.raises(UnicodeEncodeError) as raised:
        kernel_groups(contents)
    assert raised.value.args == expected.value.args


@pytest.mark.parametrize(
    ("documents", "message"),
    [
        ([Document("ok", "ok"), Document("ok", "bad \ud800")], "document 4: not valid text"),
        ([Document("bad \ud800", "ok"), Document("ok", "bad \udc00")], "document 3: the title is not valid text"),
    ],
    ids=["content", "title first"],
)
@pytest.mark.parametrize("native", [True, False], ids=["kernels", "python"])
def test_a_block_with_invalid_text_names_the_document(tmp_path, monkeypatch, documents, message, native):
    monkeypatch.setattr(native_build, "AVAILABLE", native)
    task = BlockTask(0, str(tmp_path / "block-000000.blk"), 3, documents)
    with pytest.raises(DocumentError, match=message):
        blocks.build_block(task)


def test_a_blocks_store_and_titles_are_written_alike(tmp_path, monkeypatch):
    documents = [Document(f"t{n} é", "".join(map(chr, range(n, n + 40))) + ' "q" \\ \U0001f600') for n in range(40)]
    written = {}
    for native in (True, False):
        monkeypatch.setattr(native_build, "AVAILABLE", native)
        work = tmp_path / str(native)
        work.mkdir()
        info = blocks.build_block(BlockTask(0, str(work / "block-000000.blk"), 0, documents))
        written[native] = (info.group_sizes, *(path.read_bytes() for path in sorted(work.glob("*.docs"))),
                           *(path.read_bytes() for path in sorted(work.glob("*.titles"))))
    assert written[True] == written[False]
    assert len(written[True]) == 3 and sum(written[True][0]) == len(written[True][1])


def store_call(contents=("a",), group_size=GROUP_SIZE, version=None, level=STORE_LEVEL):
    version = zlib.ZLIB_RUNTIME_VERSION if version is None else version

    def call(kernels):
        started = kernels.store_groups_start(
            list(contents) if isinstance(contents, tuple) else contents, group_size, version, level
        )
        return None if started is None else kernels.store_groups_result(started)

    return call


BAD_CALLS = {
    "contents not a list": (store_call(contents="a"), TypeError),
    "a content not str": (store_call(contents=("a", b"b")), TypeError),
    "no group size": (store_call(group_size=0), ValueError),
    "a group size not int": (store_call(group_size=1.5), TypeError),
    "a level out of range": (store_call(level=10), ValueError),
    "a version not str": (store_call(version=1), TypeError),
    "too few arguments": (lambda kernels: kernels.store_groups_start(["a"], GROUP_SIZE), TypeError),
    "a result of nothing started": (lambda kernels: kernels.store_groups_result(object()), ValueError),
}


@pytest.mark.parametrize("call", BAD_CALLS)
def test_bad_arguments_raise(call):
    function, error = BAD_CALLS[call]
    with pytest.raises(error):
        function(native_build.BUILD)


def test_another_zlib_leaves_the_groups_to_python():
    assert store_call(version="0.0.0")(native_build.BUILD) is None


def test_groups_of_another_level_are_those_of_zlib():
    contents = ["some text " * 20, "more"]
    data, sizes = store_call(contents=contents, group_size=1, level=1)(native_build.BUILD) or pytest.skip("no zlib")
    streams = [zlib.compress(f'["{text}"]'.encode(), 1) for text in contents]
    assert (data, sizes) == (b"".join(streams), tuple(map(len, streams)))


def test_the_store_file_holds_the_groups_the_block_reports(tmp_path):
    documents = [Document("t", f"text {n}") for n in range(2 * GROUP_SIZE + 3)]
    info = blocks.build_block(BlockTask(0, str(tmp_path / "block-000000.blk"), 0, documents))
    data = Path(tmp_path / "block-000000.docs").read_bytes()
    assert len(info.group_sizes) == 3 and sum(info.group_sizes) == len(data)
    start = 0
    for number, size in enumerate(info.group_sizes):
        group = documents[number * GROUP_SIZE : (number + 1) * GROUP_SIZE]
        assert zlib.decompress(data[start : start + size]).decode() == str([d.content for d in group]).replace("'", '"')
        start += size


def test_the_groups_are_taken_once():
    kernels = native_build.BUILD
    started = kernels.store_groups_start(["a", "b"], GROUP_SIZE, zlib.ZLIB_RUNTIME_VERSION, STORE_LEVEL)
    if started is None:
        pytest.skip("the kernels do not carry this interpreter's zlib")
    assert kernels.store_groups_result(started) == python_groups(["a", "b"])
    with pytest.raises(ValueError, match="taken already"):
        kernels.store_groups_result(started)


def test_a_block_whose_build_fails_drops_its_store(tmp_path, monkeypatch):
    """The store begun beside a build that fails is let go (its thread joined) and the build's own
    error goes up; the next block builds as ever."""

    def fail(*args):
        raise RuntimeError("the build failed")

    documents = [Document("t", "text é " * 50) for _ in range(3 * GROUP_SIZE)]
    with monkeypatch.context() as patch:
        patch.setattr(native_build, "block_files", fail)
        with pytest.raises(RuntimeError, match="the build failed"):
            blocks.build_block(BlockTask(0, str(tmp_path / "block-000000.blk"), 0, documents))
    assert not list(tmp_path.glob("*.docs"))
    info = blocks.build_block(BlockTask(1, str(tmp_path / "block-000001.blk"), 0, documents))
    assert python_groups([d.content for d in documents]) == ((tmp_path / "block-000001.docs").read_bytes(),
                                                             info.group_sizes)
