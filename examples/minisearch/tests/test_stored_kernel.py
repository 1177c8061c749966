"""Deleted documents read on the kernels: chosen strings of a JSON array and wanted keys in a keys
file against ``json.loads``, stored documents' term counts against the counts of their texts, and None (never a wrong answer
or a crash) for anything the kernels do not read as Python does."""

import json
import random
import zlib
from array import array

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from test_ranking import zipf_corpus

from minisearch import layout, native_build
from minisearch.layout import GROUP_SIZE, compress_group
from minisearch.tokens import LEGACY, TOKENIZER

pytestmark = pytest.mark.skipif(not native_build.READS_STORED, reason="the kernels do not read stored texts")

# Every storage width of str, the characters json escapes, and non-ASCII words to tokenise.
TEXT = st.text(st.characters(exclude_categories=["Cs"]), max_size=30) | st.sampled_from(
    ['say "hi"\\', "tab\there\r\n\x00", "Café İstanbul naïve", "\U0001f600 ह\u0301 x", ""]
)


@settings(max_examples=200, deadline=None)
@given(st.lists(TEXT, max_size=40), st.data(), st.booleans())
def test_the_chosen_strings_are_those_json_reads(strings, data, ascii_only):
    wanted = sorted(data.draw(st.sets(st.integers(0, max(len(strings) - 1, 0)))) if strings else [])
    payload = json.dumps(strings, ensure_ascii=ascii_only, indent=data.draw(st.sampled_from([None, 1]))).encode()
    assert native_build.json_strings(payload, wanted, len(strings)) == [strings[place] for place in wanted]


@pytest.mark.parametrize(
    ("payload", "wanted", "count"),
    [
        (b'["\\ud800"]', [0], 1),  # a lone surrogate: json reads it, the kernels leave it
        (b'["a\x01"]', [0], 1),  # a raw control character
        (b'["a", 1]', [0], 2),
        (b'["a"] x', [0], 1),
        (b'["a", "b"', [0], 2),
        (b'["a"]', [0], 2),  # not the count the segment holds
        (b'["a"]', [1], 1),  # past the end
        (b'["a", "b"]', [1, 0], 2),  # not ascending
        (b'["\xff"]', [0], 1),  # not UTF-8
        (b'{"a": "b"}', [], 1),
    ],
)
def test_what_json_alone_reads_gives_none(payload, wanted, count):
    assert native_build.json_strings(payload, wanted, count) is None


KEY = st.text(st.characters(codec="ascii"), min_size=1, max_size=6) | st.integers(-(10**30), 10**30)


@settings(max_examples=200, deadline=None)
@given(st.lists(KEY | st.none(), max_size=30), st.lists(KEY, max_size=8), st.booleans())
def test_the_wanted_keys_found_are_those_json_reads(keys, others, spaced):
    """Strings and integers alike in text ("5" and 5) are told apart; a key held twice is found twice."""
    wanted = [key for key in keys if key is not None][::2] + others + [str(key) for key in keys if type(key) is int]
    payload = json.dumps(keys, separators=(", ", ": ") if spaced else (",", ":")).encode()
    found = native_build.keys_among(payload, wanted, len(keys))
    assert found is not None
    assert [(place, wanted[index]) for place, index in found] == [
        (place, key) for place, key in enumerate(keys) if key is not None and key in set(wanted)]
    assert all(type(wanted[index]) is type(keys[place]) for place, index in found)


@pytest.mark.parametrize(
    ("payload", "wanted", "count"),
    [
        (b'["a", ""]', ["a"], 2),  # an empty key: json names it
        (b'["a", 01]', ["a"], 2),
        (b'["a", -0]', ["a"], 2),
        (b'["a", 1.0]', [1], 2),  # a float is no key, though it equals one
        (b'["a", 1e3]', ["a"], 2),
        (b'["a", true]', [1], 2),
        (b'["a", "\\ud800"]', ["a"], 2),
        (b'["a", "\\u00e9", "\xc3\xa9"]', ["a"], 3),  # UTF-8 for json to check
        (b'["a", "b"]', ["a"], 3),  # not the count the segment holds
        (b'["a", nul]', ["a"], 2),
        (b'["a",]', ["a"], 2),
        (b'["a"] x', ["a"], 1),
        (b'["a"]', [True], 1),  # True == 1 for Python: compared by Python
        (b'["a"]', [1.0], 1),
        (b'["a"]', [None], 1),
    ],
)
def test_keys_the_kernels_do_not_compare_as_python_give_none(payload, wanted, count):
    assert native_build.keys_among(payload, wanted, count) is None


def test_a_wanted_key_no_keys_file_can_hold_is_not_found():
    """A lone surrogate cannot be written as UTF-8, nor an integer of more digits than Python
    writes: such keys are not in any file, and the others are still found."""
    assert native_build.keys_among(b'["a", 7]', ["\ud800", 10**5000, "a", 7], 2) == [(0, 2), (1, 3)]


def stored(contents):
    """A document store's groups as bytes, and where each lies."""
    groups = [compress_group(contents[start : start + GROUP_SIZE]) for start in range(0, len(contents), GROUP_SIZE)]
    starts = [sum(map(len, groups[:number])) for number in range(len(groups) + 1)]
    return b"".join(groups), starts


def spans_of(starts, docs):
    """What SegmentStore.spans gives for ``docs``, from the groups' offsets."""
    spans, members = array("Q"), array("I")
    for doc in docs:
        group = doc // GROUP_SIZE
        if not spans or spans[-2] != starts[group]:
            spans.extend((starts[group], starts[group + 1]))
        members.extend((len(spans) // 2 - 1, doc % GROUP_SIZE))
    return spans, members


@pytest.mark.parametrize("rule", [TOKENIZER, LEGACY], ids=["tokenizer", "legacy"])
@pytest.mark.parametrize("chosen", [5, 200], ids=["one thread", "two threads"])
def test_stored_documents_are_counted_as_their_texts(rule, chosen):
    rng = random.Random(chosen)
    corpus = zipf_corpus(chosen, 600)
    contents = [document.content for document in corpus]
    for doc in rng.sample(range(len(contents)), 60):
        contents[doc] += rng.choice([' "quoted" \\ \n', " Café İstanbul ह\u0301", " \U0001f600 naïve", "\t\x00"])
    for doc in range(0, len(contents), 7 * GROUP_SIZE):  # groups inflating to many times their size, among others
        contents[doc] += " again" * rng.randrange(2000)
    data, starts = stored(contents)
    docs = sorted(rng.sample(range(len(contents)), chosen))
    titles = [corpus[doc].title + (" Été" if doc % 3 else "") for doc in docs]
    counted = native_build.stored_documents_per_term(data, *spans_of(starts, docs), titles, rule)
    assert counted == native_build.documents_per_term(titles, [contents[doc] for doc in docs], rule)


@pytest.mark.parametrize(
    "damage",
    [
        lambda data, starts: data[: starts[1] - 3] + data[starts[1] :],  # a group cut short
        lambda data, starts: data[:20] + bytes([data[20] ^ 0xFF]) + data[21:],  # a flipped byte
        lambda data, starts: compress_group(["a", 1]) + data[starts[1] :],  # not all strings
    ],
    ids=["short", "flipped", "not strings"],
)
def test_a_group_the_kernels_do_not_read_gives_none(damage):
    data, starts = stored([f"text {n}" for n in range(3 * GROUP_SIZE)])
    damaged = damage(data, starts)
    shift = len(damaged) - len(data)
    starts = [starts[0], *(start + shift for start in starts[1:])]
    assert native_build.stored_documents_per_term(damaged, *spans_of(starts, [0, 1]), ["t", "t"], TOKENIZER) is None


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda data: native_build.BUILD.stored_terms(data, array("q"), array("I"), [], 64, TOKENIZER.kernel_rule), TypeError),
        (lambda data: native_build.BUILD.stored_terms(data, array("Q"), array("I", [0, 0]), [], 64, TOKENIZER.kernel_rule),
         TypeError),  # a title per member
        (lambda data: native_build.BUILD.stored_terms(data, array("Q"), array("I"), [], -1, TOKENIZER.kernel_rule), ValueError),
        (lambda data: native_build.BUILD.json_strings(data, array("i"), 1), TypeError),
        (lambda data: native_build.BUILD.keys_among(data, ("a",), 1), TypeError),
        (lambda data: native_build.BUILD.keys_among("[]", ["a"], 0), TypeError),
        (lambda data: native_build.BUILD.keys_among(data, ["a"]), TypeError),
    ],
)
def test_bad_arguments_raise(call, error):
    with pytest.raises(error):
        call(stored(["a"])[0])


def test_a_span_past_the_store_gives_none():
    data, starts = stored(["a", "b"])
    assert native_build.BUILD.stored_terms(data, array("Q", [0, len(data) + 1]), array("I", [0, 0]), ["t"], 64,
                                           TOKENIZER.kernel_rule) is None
    assert native_build.BUILD.stored_terms(data, array("Q", [0, len(data)]), array("I", [1, 0]), ["t"], 64,
                                           TOKENIZER.kernel_rule) is None



def outcome(inflate, data):
    try:
        return inflate(data)
    except zlib.error as error:
        return str(error)


@pytest.mark.skipif(layout._KERNELS_INFLATE is None, reason="the kernels inflate with zlib")
@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=64), st.integers(1, 2000), st.integers(0, 9), st.sampled_from(["", "cut", "flip", "more"]),
       st.data())
def test_a_stream_inflates_as_zlib_inflates_it_sound_or_damaged(piece, repeats, level, damage, data):
    """The files' streams inflate to zlib's bytes, and damage raises zlib's error, whether the
    kernels' inflater reads them or hands them back (cut short, a bit flipped, bytes after the end:
    zlib ignores those); long runs outgrow the first guess at their size.  The one leniency:
    libdeflate reads the two length codes deflate reserves (zlib refuses them), and gives the
    stream's content only when its checksum holds."""
    stream = bytearray(zlib.compress(piece * repeats, level))
    if damage == "cut":
        del stream[data.draw(st.integers(0, len(stream) - 1)):]
    elif damage == "flip":
        stream[data.draw(st.integers(0, len(stream) - 1))] ^= 1 << data.draw(st.integers(0, 7))
    elif damage == "more":
        stream += data.draw(st.binary(min_size=1, max_size=8))
    expected = outcome(zlib.decompress, bytes(stream))
    got = outcome(layout.inflate, memoryview(stream))
    assert got == expected or (isinstance(expected, str) and got == piece * repeats)
    if not damage:
        assert layout._KERNELS_INFLATE(bytes(stream)) == piece * repeats


@pytest.mark.skipif(layout._KERNELS_INFLATE is None, reason="the kernels inflate with zlib")
def test_a_reserved_length_code_is_read_only_when_the_checksum_holds():
    """A bit flipped into a reserved length code: zlib refuses the stream, the kernels give its
    content; with the checksum damaged as well, both refuse it."""
    stream = bytearray(zlib.compress(b"\x00" * 518, 1))
    stream[6] ^= 1 << 6
    with pytest.raises(zlib.error, match="invalid literal/length code"):
        zlib.decompress(bytes(stream))
    assert layout.inflate(memoryview(stream)) == b"\x00" * 518
    stream[-1] ^= 1
    with pytest.raises(zlib.error):
        layout.inflate(memoryview(stream))
