"""The native build kernels against the pure-Python build they stand in for: a block's files and a
partition's merged files byte for byte the same, on random texts and on the cases where the two
differ most (non-ASCII text, runs longer than a term, repeated words, empty fields, long lists
split into tiers); a damaged input or a bad argument raises."""

import collections
import dataclasses
import functools
import hashlib
import json
import string
import zlib
from pathlib import Path

import pytest
from conftest import build, with_options
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_ranking import zipf_corpus

import minisearch
from minisearch import blocks, merge, native_build, positions, ranking
from minisearch.blocks import BlockTask, partition_path, positions_path
from minisearch.corpus import Document
from minisearch.errors import IndexBuildError
from minisearch.layout import encode_lengths
from minisearch.merge import PartitionInput, PartitionTask
from minisearch.ranking import average_length
from minisearch.tokens import LEGACY, TOKENIZER

pytestmark = pytest.mark.skipif(not native_build.AVAILABLE, reason="the native build kernels are not built")

# Letters, digits and separators, with the characters that tokenise differently outside ASCII: an
# accented letter, a combining mark, the dotted capital I, a non-Latin letter and digit.
ALPHABET = string.ascii_letters[:8] + "XYZ019 .,_-\n" + "é\u0301İßह\u0967Ω"


def long_run(length):
    return "ab" * (length // 2) + "c" * (length % 2)


def texts(max_size=60):
    return st.text(alphabet=ALPHABET, max_size=max_size)


# Words of a few sizes about the term length limit, and of other scripts, among separators.
WORDS = ["a", "B", "é", "İi", "a\u0301", "ह\u093f", *(long_run(n) for n in (63, 64, 65, 66))]
worded = st.lists(st.tuples(st.sampled_from(WORDS), st.sampled_from([" ", "_", ".", "", "\n"])), max_size=30).map(
    lambda pairs: "".join(word + separator for word, separator in pairs)
)
documents = st.lists(
    st.builds(Document, st.one_of(texts(20), worded), st.one_of(texts(), worded)), min_size=1, max_size=12
)


def block_bytes(task, native, monkeypatch):
    """The files a block's worker writes, by name, and what it reports (its path left out)."""
    with monkeypatch.context() as patch:
        patch.setattr(native_build, "AVAILABLE", native)
        info = blocks.build_block(task)
    files = {}
    for partition in range(task.partitions):
        path = Path(partition_path(task.path, partition))
        files[path.name] = path.read_bytes()
        if task.positions:
            files[path.name + ".pos"] = Path(positions_path(str(path))).read_bytes()
    return files, (info.partition_terms, info.postings, info.file_size, info.lengths, info.group_sizes)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(documents, st.sampled_from([1, 3]), st.booleans(), st.sampled_from([TOKENIZER, LEGACY]))
def test_a_block_is_written_alike_with_and_without_the_kernels(tmp_path, monkeypatch, docs, partitions, positions,
                                                                rule):
    task = BlockTask(0, str(tmp_path / "block-000000.blk"), 7, docs, False, partitions, rule.name, positions)
    assert block_bytes(task, True, monkeypatch) == block_bytes(task, False, monkeypatch)


EDGE_CASES = {
    "empty documents": [Document("", ""), Document("", "a"), Document("b", "")],
    "title and content share terms": [Document("a b a", "b a c"), Document("c", "c c c")],
    "runs at and over the limit": [Document(long_run(64), long_run(65) + " x " + long_run(64).upper())],
    "a long run beside non-ASCII": [Document("é " + long_run(70), long_run(64) + "é" + long_run(65))],
    "wide gaps": [Document("a", "a " + "b " * 300 + "a " + "c " * 70000 + "a")],
    "one word many times": [Document("w " * 200, "w " * 1000)] * 3,
    "separators only": [Document("_.-", "__ -- .. \n")],
    # wide runs of many lengths, their gaps either side of where a varint takes another byte
    "wide runs of many sizes": [Document("t", (f"a{n} " + "b " * 300) * n) for n in (1, 8, 9, 33, 700)],
    "gaps of varints of one to three bytes": [Document("", "a " + "".join("b " * (gap - 1) + "a " for gap in
                                                                           (127, 128, 300, 16383, 16384)))],
}


@pytest.mark.parametrize("case", EDGE_CASES)
@pytest.mark.parametrize("rule", [TOKENIZER, LEGACY], ids=["rule", "legacy"])
def test_the_edge_cases_of_a_block_are_written_alike(tmp_path, monkeypatch, case, rule):
    task = BlockTask(0, str(tmp_path / "block-000000.blk"), 0, EDGE_CASES[case], True, 2, rule.name, True)
    assert block_bytes(task, True, monkeypatch) == block_bytes(task, False, monkeypatch)


def merged_bytes(tmp_path, corpus, native, monkeypatch, head_size, chunk_size, block_size=5, partitions=2):
    """Each partition's merged files, from blocks built on the kernels, merged with or without."""
    work = tmp_path / ("native" if native else "pure")
    work.mkdir()
    infos = []
    for number, first in enumerate(range(0, len(corpus), block_size)):
        task = BlockTask(number, str(work / f"block-{number:06d}.blk"), first, corpus[first : first + block_size],
                         False, partitions)
        infos.append(blocks.build_block(task))
    lengths = [length for info in infos for length in memoryview(info.lengths).cast("I")]
    (work / "lengths").write_bytes(encode_lengths(lengths))
    files = {}
    with monkeypatch.context() as patch:
        patch.setattr(native_build, "AVAILABLE", native)
        for partition in range(partitions):
            inputs = tuple(
                PartitionInput(info.partition_path(partition), info.partition_terms[partition], what=f"block {n}",
                               positions_path=positions_path(info.partition_path(partition)))
                for n, info in enumerate(infos)
            )
            names = [str(work / f"{kind}-{partition}") for kind in ("postings", "terms", "positions")]
            task = PartitionTask(partition, inputs, names[0], names[1], 0, str(work / "lengths"), len(lengths),
                                 average_length(sum(lengths), len(lengths)), head_size, chunk_size, names[2])
            info = merge.merge_partition(task)
            files[partition] = ([Path(name).read_bytes() for name in names], info)
    return files


@pytest.mark.parametrize(("head_size", "chunk_size"), [(2, 3), (4, 1), (128, 256), (1, 1000)])
def test_a_partition_is_merged_alike_with_and_without_the_kernels(tmp_path, monkeypatch, head_size, chunk_size):
    corpus = zipf_corpus(5, 60) + [Document("Zoë", "naïve café " * 30)]
    native = merged_bytes(tmp_path, corpus, True, monkeypatch, head_size, chunk_size)
    pure = merged_bytes(tmp_path, corpus, False, monkeypatch, head_size, chunk_size)
    assert native == pure
    assert any(info.postings > head_size for _, info in native.values())


@pytest.mark.parametrize("title_weight", [1, 4, 9])
def test_ties_and_title_weights_split_tiers_alike(tmp_path, monkeypatch, title_weight):
    """Equal impacts (the same document many times over) go to the head in document order."""
    monkeypatch.setattr(ranking, "TITLE_WEIGHT", title_weight)
    corpus = [Document("t" if n % 3 else "", "w x") for n in range(40)] + [Document("w", "w w")]
    native = merged_bytes(tmp_path, corpus, True, monkeypatch, 5, 4, block_size=7, partitions=1)
    assert native == merged_bytes(tmp_path, corpus, False, monkeypatch, 5, 4, block_size=7, partitions=1)


def digests(index_dir):
    manifest = json.loads((index_dir / "manifest.json").read_text())
    segments = manifest.pop("segments")
    return [
        {role: segment["file_sha256"][role] for role in segment["files"]} for segment in segments
    ], [
        {key: value for key, value in segment.items() if key not in ("name", "files", "created", "phase_seconds",
                                                                     "file_sha256")}
        for segment in segments
    ]


@pytest.mark.parametrize("positions", [True, False])
def test_an_index_is_built_alike_with_and_without_the_kernels(tmp_path, monkeypatch, positions):
    corpus = zipf_corpus(8, 80) + [Document("Ünïcode_title", "İstanbul hindi हिन्दी " + long_run(80))]
    build(corpus, tmp_path / "native", head_size=3, chunk_size=5, partitions=3, block_size=9, positions=positions)
    monkeypatch.setattr(native_build, "AVAILABLE", False)
    build(corpus, tmp_path / "pure", head_size=3, chunk_size=5, partitions=3, block_size=9, positions=positions)
    assert digests(tmp_path / "native") == digests(tmp_path / "pure")


def test_the_kernels_build_what_search_finds(tmp_path):
    corpus = [Document("Apple pie", "apple banana"), Document("Café", "crème brûlée"), Document("x", "y_z")]
    build(corpus, tmp_path, block_size=2)
    with minisearch.Index(tmp_path) as index:
        assert [hit.doc_id for hit in minisearch.search(index, "apple").hits] == [0]
        assert [hit.doc_id for hit in minisearch.search(index, "brûlée").hits] == [1]
        assert [hit.doc_id for hit in minisearch.search(index, '"y z"').hits] == [2]


# --------------------------------------------------------------------------
# Damaged inputs and bad arguments


def one_block(tmp_path):
    task = BlockTask(0, str(tmp_path / "block-000000.blk"), 0, zipf_corpus(3, 10), False, 1)
    info = blocks.build_block(task)
    return Path(info.partition_path(0)), info


def merge_one(tmp_path, path, info):
    (tmp_path / "lengths").write_bytes(encode_lengths(list(memoryview(info.lengths).cast("I"))))
    source = PartitionInput(str(path), info.partition_terms[0], what="block 0",
                            positions_path=positions_path(str(path)))
    task = PartitionTask(0, (source,), str(tmp_path / "postings"), str(tmp_path / "terms"), 0,
                         str(tmp_path / "lengths"), info.documents, 5.0, 2, 3, str(tmp_path / "positions"))
    return merge.merge_partition(task)


def entry_offsets(data):
    """Where each entry of a block file starts, and the end."""
    offsets, at = [], 8
    while at < len(data):
        offsets.append(at)
        length = int.from_bytes(data[at : at + 4], "little")
        at += 4 + length
        for _ in range(2):
            while data[at] & 0x80:
                at += 1
            at += 1
        size = 0
        for shift in range(0, 70, 7):
            size |= (data[at] & 0x7F) << shift
            at += 1
            if not data[at - 1] & 0x80:
                break
        at += size
    return offsets + [at]


DAMAGE = {
    "cut between entries": (lambda data, at: data[: at[2]], r"header announces \d+ terms, the file holds 2$"),
    "cut inside an entry": (lambda data, at: data[: at[2] + 3], "cut short$"),
    "terms out of order": (lambda data, at: data[:8] + data[at[1] : at[2]] + data[at[0] : at[1]] + data[at[2] :],
                           "its terms are not in order$"),
    "a count the worker did not write": (lambda data, at: (int.from_bytes(data[:8], "little") + 1).to_bytes(8, "little")
                                         + data[8:], r"header announces \d+ terms, the file holds \d+$"),
}


@pytest.mark.parametrize("damage", DAMAGE)
def test_a_damaged_block_file_fails_the_merge_naming_it(tmp_path, damage):
    path, info = one_block(tmp_path)
    change, message = DAMAGE[damage]
    data = path.read_bytes()
    path.write_bytes(change(data, entry_offsets(data)))
    with pytest.raises(IndexBuildError, match=rf"^block 0 \({path}\): {message}"):
        merge_one(tmp_path, path, info)
    assert not (tmp_path / "postings").exists()


def test_an_entry_without_postings_fails_the_merge(tmp_path):
    path, info = one_block(tmp_path)
    term = "solo".encode()
    path.write_bytes((1).to_bytes(8, "little") + len(term).to_bytes(4, "little") + term + b"\0\0\0")
    with pytest.raises(IndexBuildError, match="a term without postings$"):
        merge_one(tmp_path, path, dataclasses.replace(info, partition_terms=(1,)))


def test_positions_of_another_block_fail_the_merge(tmp_path):
    path, info = one_block(tmp_path)
    (tmp_path / "other").mkdir()
    task = BlockTask(0, str(tmp_path / "other" / "block-000000.blk"), 0, [Document("one", "two")], False, 1)
    other = blocks.build_block(task)
    Path(positions_path(str(path))).write_bytes(Path(positions_path(other.partition_path(0))).read_bytes())
    expected = rf"its positions hold 2 terms, its block file {info.partition_terms[0]}$"
    with pytest.raises(IndexBuildError, match=expected):
        merge_one(tmp_path, path, info)


def test_postings_beyond_the_segments_lengths_fail_the_merge(tmp_path):
    path, info = one_block(tmp_path)
    short = dataclasses.replace(info, documents=info.documents - 2, lengths=info.lengths[:-8])
    with pytest.raises(IndexBuildError, match="^partition 0: a posting names a document beyond the segment$"):
        merge_one(tmp_path, path, short)


def test_a_damaged_positions_index_fails_the_merge(tmp_path):
    path, info = one_block(tmp_path)
    where = Path(positions_path(str(path)))
    data = where.read_bytes()
    where.write_bytes(data[:-12] + bytes(4) + data[-8:])
    with pytest.raises(IndexBuildError, match="its index is damaged"):
        merge_one(tmp_path, path, info)


def zlib_settings(version=zlib.ZLIB_RUNTIME_VERSION, compress=None, level=1):
    return (version, compress or functools.partial(positions.compress_index, level=level), level)


def block_call(titles=("a",), contents=("b",), first_doc=0, partitions=1, rule=TOKENIZER.kernel_rule, compression=None):
    return lambda kernels: kernels.build_block(list(titles) if isinstance(titles, tuple) else titles,
                                               list(contents) if isinstance(contents, tuple) else contents,
                                               first_doc, partitions, True, 64, rule, compression or zlib_settings())


BAD_CALLS = {
    "titles not a list": (block_call(titles="a"), TypeError),
    "lists of two lengths": (block_call(contents=()), TypeError),
    "a title not str": (block_call(titles=(b"a",)), TypeError),
    "no partitions": (block_call(partitions=0), ValueError),
    "ids beyond 31 bits": (block_call(first_doc=2**31 - 1), OverflowError),
    "a rule that is no pair": (block_call(rule=str.split), TypeError),
    "a rule whose marks are no bytes": (block_call(rule=(str.lower, bytearray(1))), TypeError),
    "a rule that prepares no str": (block_call(titles=("é",), rule=(str.encode, None)), TypeError),
    "a compressor that returns no bytes": (block_call(compression=zlib_settings(version="0", compress=len)), TypeError),
    "a zlib level out of range": (block_call(compression=zlib_settings(level=10)), ValueError),
    "no zlib": (block_call(compression=(None,)), TypeError),
    "too few arguments": (lambda k: k.build_block(["a"], ["b"]), TypeError),
    "norms not doubles": (lambda k: k.merge_blocks([], None, bytearray(8), bytearray(4), (0, 1, 1, 1, 1.2, 4), "p",
                                                   None, zlib_settings()), TypeError),
}


@pytest.mark.parametrize("call", BAD_CALLS)
def test_bad_arguments_raise(call):
    function, error = BAD_CALLS[call]
    with pytest.raises(error):
        function(native_build.BUILD)


def test_a_rule_that_raises_stops_the_block():
    def prepare(text):
        raise RuntimeError("refused")

    with pytest.raises(RuntimeError, match="refused"):
        block_call(contents=("é",), rule=(prepare, None))(native_build.BUILD)


@pytest.mark.parametrize("level", [1, 6])
def test_the_kernels_deflate_as_the_zlib_module_does(level):
    """The positions index deflated in process (when the kernels carry this zlib) and through the
    function."""
    contents = ["w " + "x " * 300 + "w " * 3, "w", "y " * 70000 + "w"]
    titles = ["t"] * len(contents)
    calls = []

    def compress(data):
        calls.append(len(data))
        return positions.compress_index(data, level)

    made = block_call(titles, contents, compression=zlib_settings(level=level))(native_build.BUILD)
    called = block_call(titles, contents, compression=zlib_settings("no such version", compress, level))(native_build.BUILD)
    assert made == called and calls  # the index was deflated through the function


def test_the_files_merged_natively_have_the_digests_the_report_gives(tmp_path):
    path, info = one_block(tmp_path)
    merged = merge_one(tmp_path, path, info)
    assert merged.file_sha256[0] == hashlib.sha256((tmp_path / "postings").read_bytes()).hexdigest()
    assert merged.positions == ((tmp_path / "positions").stat().st_size,
                                hashlib.sha256((tmp_path / "positions").read_bytes()).hexdigest())


def test_deletions_are_counted_alike_with_and_without_the_kernels(tmp_path, monkeypatch):
    corpus = [document._replace(key=f"k{n}") for n, document in enumerate(zipf_corpus(9, 40))]
    corpus[3] = corpus[3]._replace(title="Café İstanbul", content="naïve " + long_run(70) + " w1 w1")
    gone = ["k3", "k5", "k6", "k30", "k39"]
    deletion_sets = []
    for native in (True, False):
        index_dir = tmp_path / str(native)
        build(corpus, index_dir, block_size=7)
        with monkeypatch.context() as patch:
            patch.setattr(native_build, "AVAILABLE", native)
            with_options(minisearch.delete_documents, gone, index_dir, pending_limit=0)
        deletion_sets.append([segment["file_sha256"].get("deletes") for segment in
                              json.loads((index_dir / "manifest.json").read_text())["segments"]])
    assert deletion_sets[0] == deletion_sets[1] and deletion_sets[0][0] is not None


def python_counts(titles, contents, rule):
    counts = collections.Counter()
    for title, content in zip(titles, contents):
        counts.update({*rule.tokenize(title), *rule.tokenize(content)})
    return dict(counts)


# Any text but lone surrogates (refused before any rule reads them), with long runs and the
# characters whose reading differs most: marks after letters, marks first, astral letters and
# digits, the dotted capital I, underscores.
unicode_texts = st.lists(
    st.one_of(
        st.text(st.characters(exclude_categories=("Cs",)), max_size=40),
        st.sampled_from(["a\u0301", "\u0301a", "İ", "𝔘𝔫𝔦", "\U0001d7d9", "_x_", "ह\u093f", long_run(65), "é" * 64, "é" * 65]),
    ),
    max_size=8,
).map(" ".join)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(unicode_texts, unicode_texts), min_size=1, max_size=4), st.sampled_from([TOKENIZER, LEGACY]))
def test_the_kernels_find_the_terms_the_rule_finds(fields, rule):
    """Text that is not ASCII: prepared by the rule in Python, its terms found in C++."""
    titles, contents = [title for title, _ in fields], [content for _, content in fields]
    assert native_build.documents_per_term(titles, contents, rule) == python_counts(titles, contents, rule)
