"""Checks of the pure-Python reference model against known byte layouts."""

import io

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference as ref


def h(text: str) -> bytes:
    return bytes.fromhex(text)


UNEXPECTED_END = "Invalid varint encoding: unexpected end of data"
TOO_MANY_BYTES = "Invalid varint encoding: too many bytes"

VARINTS = [
    (0, "00"),
    (1, "01"),
    (127, "7f"),
    (128, "80 01"),
    (255, "ff 01"),
    (300, "ac 02"),
    (16383, "ff 7f"),
    (16384, "80 80 01"),
    (2**28 - 1, "ff ff ff 7f"),
    (2**28, "80 80 80 80 01"),
    (2**31 - 1, "ff ff ff ff 07"),
    (2**32 - 1, "ff ff ff ff 0f"),
    (2**35 - 1, "ff ff ff ff 7f"),
    (2**63 - 1, "ff ff ff ff ff ff ff ff 7f"),
    (2**64 - 1, "ff ff ff ff ff ff ff ff ff 01"),
]

# The block holding the term "ab" with frequencies (2, 1) and the postings
# (5, 3, 0), (7, 1, 1).
AB_BLOCK = h("01 00 00 00 00 00 00 00  02 00 00 00  61 62  02 01 06  05 03 00 02 01 01")
AB_ENTRY = ("ab", 2, 1, [(5, 3, 0), (7, 1, 1)])


def wrap32(value: int) -> int:
    return (value + 2**31) % 2**32 - 2**31


def write_file(tmp_path, data: bytes) -> str:
    path = tmp_path / "block.bin"
    path.write_bytes(data)
    return str(path)


# --------------------------------------------------------------------------
# Varints


@pytest.mark.parametrize("value, encoded", [v for v in VARINTS if v[0] < 2**63])
def test_encode_varint(value, encoded):
    assert ref.encode_varint(value) == h(encoded)


@pytest.mark.parametrize("value, encoded", VARINTS)
def test_varint_table_decodes_inside_posting(value, encoded):
    # The value sits in the content_freq field, which keeps its low 32 bits.
    assert ref.decode_posting_list(h("00") + h(encoded) + h("00")) == [(0, wrap32(value), 0)]


@pytest.mark.parametrize("value, encoded", [v for v in VARINTS if v[0] < 2**35])
def test_read_varint_stops_after_the_varint(value, encoded):
    stream = io.BytesIO(h(encoded) + h("07"))
    assert ref.read_varint(stream) == value
    assert stream.tell() == len(h(encoded))
    assert ref.read_varint(stream) == 7
    assert ref.read_varint(stream) is None


@pytest.mark.parametrize(
    "value, error",
    [(-1, ValueError), (-(2**63), ValueError), (2**63, OverflowError), (1.0, TypeError)],
)
def test_encode_varint_refuses(value, error):
    with pytest.raises(error):
        ref.encode_varint(value)


@pytest.mark.parametrize(
    "data, outcome",
    [
        ("", None),
        ("80", UNEXPECTED_END),
        ("ac", UNEXPECTED_END),
        ("ff ff ff ff 7f", 2**35 - 1),
        ("ff ff ff ff ff 01", "Invalid varint encoding"),
    ],
)
def test_read_varint_stream_ends_and_limits(data, outcome):
    stream = io.BytesIO(h(data))
    if isinstance(outcome, str):
        with pytest.raises(ValueError, match=f"^{outcome}$"):
            ref.read_varint(stream)
        assert stream.tell() == min(len(h(data)), 5)
    else:
        assert ref.read_varint(stream) == outcome


# --------------------------------------------------------------------------
# Posting lists


@pytest.mark.parametrize(
    "postings, assume_sorted, encoded, decoded",
    [
        ([], False, "", []),
        ([], True, "", []),
        (
            [(1, 1, 0), (5, 2, 3), (300, 1, 1)],
            True,
            "01 01 00 04 02 03 a7 02 01 01",
            [(1, 1, 0), (5, 2, 3), (300, 1, 1)],
        ),
        (
            [(1, 1, 0), (5, 2, 3), (300, 1, 1)],
            False,
            "05 02 03 a7 02 01 01 d5 fd ff ff ff ff ff ff ff 01 01 00",
            [(5, 2, 3), (300, 1, 1), (1, 1, 0)],
        ),
        (
            [(10, 2, 1), (3, 5, 0), (7, 1, 1)],
            False,
            "03 05 00 07 02 01 fd ff ff ff ff ff ff ff ff 01 01 01",
            [(3, 5, 0), (10, 2, 1), (7, 1, 1)],
        ),
        (
            [(10, 2, 1), (3, 5, 0), (7, 1, 1)],
            True,
            "0a 02 01 f9 ff ff ff ff ff ff ff ff 01 05 00 04 01 01",
            [(10, 2, 1), (3, 5, 0), (7, 1, 1)],
        ),
        (
            [(7, 0, 0), (7, 0, 0), (2, 0, 0)],
            False,
            "02 00 00 05 00 00 00 00 00",
            [(2, 0, 0), (7, 0, 0), (7, 0, 0)],
        ),
        ([(0, -1, 0)], False, "00 ff ff ff ff ff ff ff ff ff 01 00", [(0, -1, 0)]),
        (
            [(-(2**31), 0, 0), (2**31 - 1, 0, 0)],
            True,
            "80 80 80 80 f8 ff ff ff ff 01 00 00 ff ff ff ff ff ff ff ff ff 01 00 00",
            [(-(2**31), 0, 0), (2**31 - 1, 0, 0)],
        ),
        # The frequency sum wraps to a negative value and ranks last.
        (
            [(1, 2**31 - 1, 2), (2, 0, 0)],
            False,
            "02 00 00 ff ff ff ff ff ff ff ff ff 01 ff ff ff ff 07 02",
            [(2, 0, 0), (1, 2**31 - 1, 2)],
        ),
    ],
)
def test_encode_posting_list(postings, assume_sorted, encoded, decoded):
    data = ref.encode_posting_list(postings, assume_sorted=assume_sorted)
    assert data == h(encoded)
    assert ref.decode_posting_list(data) == decoded


@pytest.mark.parametrize(
    "postings, error",
    [
        ([(2**31, 0, 0)], OverflowError),
        ([(0, 0, -(2**31) - 1)], OverflowError),
        ([(1, 2)], ValueError),
        ([(1, 2, 3, 4)], ValueError),
    ],
)
def test_encode_posting_list_refuses(postings, error):
    with pytest.raises(error):
        ref.encode_posting_list(postings)


@pytest.mark.parametrize(
    "data, decoded",
    [
        ("05 00 00 ff ff ff ff 0f 00 00", [(5, 0, 0), (4, 0, 0)]),
        ("00 ff ff ff ff 07 00", [(0, 2**31 - 1, 0)]),
        ("00 80 80 80 80 08 00", [(0, -(2**31), 0)]),
        ("80 00 00 00", [(0, 0, 0)]),
        # Tenth byte: only its lowest payload bit counts.
        ("00 ff ff ff ff ff ff ff ff ff 7f 00", [(0, -1, 0)]),
        ("00 80 80 80 80 80 80 80 80 80 02 00", [(0, 0, 0)]),
    ],
)
def test_decode_posting_list(data, decoded):
    assert ref.decode_posting_list(h(data)) == decoded


@pytest.mark.parametrize(
    "data, message",
    [
        ("01 01", UNEXPECTED_END),
        ("01 01 80", UNEXPECTED_END),
        ("00 00 00 01", UNEXPECTED_END),
        ("00 ff ff ff ff ff ff ff ff ff ff", UNEXPECTED_END),
        ("00 ff ff ff ff ff ff ff ff ff ff 01 00", TOO_MANY_BYTES),
    ],
)
def test_decode_posting_list_refuses(data, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        ref.decode_posting_list(h(data))


@pytest.mark.parametrize(
    "items, merged",
    [
        ([], ""),
        (["", ""], ""),
        (["05 03 00", "02 01 00"], "05 03 00 fd ff ff ff ff ff ff ff ff 01 01 00"),
        (["01 04 00", "02 01 01"], "02 01 01 ff ff ff ff ff ff ff ff ff 01 04 00"),
        (["07 02 01 03 06 00"], "0a 06 00 fd ff ff ff ff ff ff ff ff 01 02 01"),
        (["09 01 01", "04 01 01"], "04 01 01 05 01 01"),
        (["01 02 00", "01 02 00"], "01 02 00 00 02 00"),
        (["05 01 00", "05 01 00"], "05 01 00 00 01 00"),
        (["ff ff ff ff 0f 01 00"], "ff ff ff ff ff ff ff ff ff 01 01 00"),
        # A merge score of 4 * 2**29 wraps to -2**31 and ranks first.
        (
            ["01 05 00", "03 00 80 80 80 80 02"],
            "03 00 80 80 80 80 02 fe ff ff ff ff ff ff ff ff 01 05 00",
        ),
        # A merge score of 2**31 + 4 wraps to a negative value and ranks last.
        (["03 00 81 80 80 80 02", "01 05 00"], "01 05 00 02 00 81 80 80 80 02"),
        # 4 * 2**30 wraps to 0: only title_freq tells the two postings apart.
        (
            ["01 00 00", "02 00 80 80 80 80 04"],
            "02 00 80 80 80 80 04 ff ff ff ff ff ff ff ff ff 01 00 00",
        ),
    ],
)
def test_merge_posting_lists(items, merged):
    assert ref.merge_posting_lists([h(item) for item in items]) == h(merged)


@pytest.mark.parametrize("items", [["05 03"], ["80"], ["01 01 00", "05"]])
def test_merge_posting_lists_refuses_cut_items(items):
    with pytest.raises(ValueError, match=f"^{UNEXPECTED_END}$"):
        ref.merge_posting_lists([h(item) for item in items])


# --------------------------------------------------------------------------
# Block files: writer


@pytest.mark.parametrize(
    "terms, doc_freqs, postings, content",
    [
        ([], [], [], "00 00 00 00 00 00 00 00"),
        (["ab"], [(2, 1)], [[(5, 3, 0), (7, 1, 1)]], AB_BLOCK.hex()),
        ([""], [(0, 0)], [[]], "01 00 00 00 00 00 00 00  00 00 00 00  00 00 00"),
        (
            ["\u00e9"],
            [(300, 0)],
            [[(1, 1, 0)]],
            "01 00 00 00 00 00 00 00  02 00 00 00  c3 a9  ac 02 00 03  01 01 00",
        ),
        (
            ["x"],
            [(1, 1)],
            [[(7, 0, 0), (5, 0, 0)]],
            "01 00 00 00 00 00 00 00  01 00 00 00  78  01 01 0f"
            " 07 00 00 fe ff ff ff ff ff ff ff ff 01 00 00",
        ),
        (
            ["x"],
            [(2**64 - 1, 0)],
            [[(-1, 0, 0)]],
            "01 00 00 00 00 00 00 00  01 00 00 00  78  ff ff ff ff ff ff ff ff ff 01 00 0c"
            " ff ff ff ff ff ff ff ff ff 01 00 00",
        ),
        (
            ["b", "a", "b"],
            [(1, 0), (0, 1), (1, 0)],
            [[], [], []],
            "03 00 00 00 00 00 00 00  01 00 00 00 62 01 00 00"
            " 01 00 00 00 61 00 01 00  01 00 00 00 62 01 00 00",
        ),
    ],
)
def test_write_binary_block(tmp_path, terms, doc_freqs, postings, content):
    path = tmp_path / "out.bin"
    path.write_bytes(b"an older and much longer file that must be truncated")
    assert ref.write_binary_block(terms, doc_freqs, postings, str(path)) is None
    assert path.read_bytes() == h(content)


@pytest.mark.parametrize(
    "terms, doc_freqs, postings, error",
    [
        (["a", "b"], [(1, 1)], [[], []], ValueError),
        (["a"], [(1, 1)], [[], []], ValueError),
        (["a"], [(1,)], [[]], ValueError),
        (["a"], [(-1, 0)], [[]], OverflowError),
        (["a"], [(2**64, 0)], [[]], OverflowError),
        (["a"], [(1, 1)], [[(5, 3)]], ValueError),
        (["a"], [(1, 1)], [[(2**31, 0, 0)]], OverflowError),
    ],
)
def test_write_binary_block_refuses_without_touching_file(
    tmp_path, terms, doc_freqs, postings, error
):
    path = tmp_path / "out.bin"
    path.write_bytes(b"keep")
    with pytest.raises(error):
        ref.write_binary_block(terms, doc_freqs, postings, str(path))
    assert path.read_bytes() == b"keep"


# --------------------------------------------------------------------------
# Block files: readers


def test_readers_on_the_ab_block(tmp_path):
    path = write_file(tmp_path, AB_BLOCK)
    assert ref.get_block_stats(path) == (1, 23)
    assert ref.iter_block_terms(path) == [AB_ENTRY]
    assert ref.read_term_at_offset(path, 8) == (*AB_ENTRY, 23)


@pytest.mark.parametrize("offset", [23, 21, 1000])
def test_read_term_at_offset_returns_none_without_room_for_an_entry(tmp_path, offset):
    assert ref.read_term_at_offset(write_file(tmp_path, AB_BLOCK), offset) is None


def test_header_announcing_more_entries_than_present(tmp_path):
    path = write_file(tmp_path, h("03") + AB_BLOCK[1:])
    assert ref.get_block_stats(path) == (3, 23)
    assert ref.iter_block_terms(path) == [AB_ENTRY]


def test_header_announcing_no_entries(tmp_path):
    path = write_file(tmp_path, h("00") + AB_BLOCK[1:])
    assert ref.iter_block_terms(path) == []
    assert ref.read_term_at_offset(path, 8) == (*AB_ENTRY, 23)


def test_zero_header_only(tmp_path):
    path = write_file(tmp_path, bytes(8))
    assert ref.get_block_stats(path) == (0, 8)
    assert ref.iter_block_terms(path) == []
    assert ref.read_term_at_offset(path, 8) is None


def test_empty_file(tmp_path):
    path = write_file(tmp_path, b"")
    for reader in (ref.get_block_stats, ref.iter_block_terms):
        with pytest.raises(OSError, match="^failed to fill whole buffer$"):
            reader(path)
    assert ref.read_term_at_offset(path, 0) is None


def test_ten_byte_frequencies(tmp_path):
    # Of a tenth varint byte only the lowest payload bit counts.
    content = h("01 00 00 00 00 00 00 00  00 00 00 00") + h("80") * 9 + h("02")
    content += h("ff") * 9 + h("7f") + h("00")
    path = write_file(tmp_path, content)
    assert ref.read_term_at_offset(path, 8) == ("", 0, 2**64 - 1, [], len(content))


def test_empty_term_and_postings(tmp_path):
    path = write_file(tmp_path, h("01 00 00 00 00 00 00 00  00 00 00 00 00 00 00"))
    assert ref.iter_block_terms(path) == [("", 0, 0, [])]
    assert ref.read_term_at_offset(path, 8) == ("", 0, 0, [], 15)


@pytest.mark.parametrize(
    "content, error, message",
    [
        # Cut inside the term, the posting bytes, and the varints.
        (AB_BLOCK[:13], OSError, "failed to fill whole buffer"),
        (AB_BLOCK[:20], OSError, "failed to fill whole buffer"),
        (AB_BLOCK[:15], ValueError, UNEXPECTED_END),
        (AB_BLOCK[:16], ValueError, UNEXPECTED_END),
        # A posting byte count that promises more than the file holds.
        (AB_BLOCK[:16] + h("07") + AB_BLOCK[17:], OSError, "failed to fill whole buffer"),
        # Posting bytes that end inside a posting.
        (AB_BLOCK[:16] + h("05") + AB_BLOCK[17:22], ValueError, UNEXPECTED_END),
        # Ten continuation bytes in doc_freq_content, at the end of the file or not.
        (AB_BLOCK[:14] + h("ff") * 10, ValueError, UNEXPECTED_END),
        (AB_BLOCK[:14] + h("ff") * 10 + h("01 00 00"), ValueError, TOO_MANY_BYTES),
        (
            h("01 00 00 00 00 00 00 00  01 00 00 00 ff 00 00 00"),
            ValueError,
            "Invalid UTF-8: invalid utf-8 sequence of 1 bytes from index 0",
        ),
        (
            h("01 00 00 00 00 00 00 00  02 00 00 00 61 c3 00 00 00"),
            ValueError,
            "Invalid UTF-8: incomplete utf-8 byte sequence from index 1",
        ),
        (
            h("01 00 00 00 00 00 00 00  04 00 00 00 61 e2 82 41 00 00 00"),
            ValueError,
            "Invalid UTF-8: invalid utf-8 sequence of 2 bytes from index 1",
        ),
    ],
)
def test_entry_readers_refuse_broken_entries(tmp_path, content, error, message):
    path = write_file(tmp_path, content)
    with pytest.raises(error, match=f"^{message}$"):
        ref.iter_block_terms(path)
    with pytest.raises(error, match=f"^{message}$"):
        ref.read_term_at_offset(path, 8)


def test_walk_with_next_offset_visits_every_entry(tmp_path):
    terms = ["alpha", "", "\u00e9t\u00e9", "x" * 9000]
    doc_freqs = [(2**40, 2**64 - 1), (0, 0), (3, 1), (1, 1)]
    postings = [
        [(9, 1, 0), (4, 2, 2), (-3, 0, -1)],
        [],
        [(1, 2, 3)],
        [(i, 1, 0) for i in range(3000)],
    ]
    path = str(tmp_path / "walk.bin")
    ref.write_binary_block(terms, doc_freqs, postings, path)

    expected = list(zip(terms, *zip(*doc_freqs), postings))
    assert ref.iter_block_terms(path) == expected
    offset, visited = 8, []
    while (entry := ref.read_term_at_offset(path, offset)) is not None:
        visited.append(entry[:4])
        offset = entry[4]
    assert visited == expected
    assert offset == ref.get_block_stats(path)[1]


def test_missing_file_and_directory(tmp_path):
    missing = str(tmp_path / "missing.bin")
    with pytest.raises(FileNotFoundError):
        ref.get_block_stats(missing)
    with pytest.raises(FileNotFoundError):
        ref.iter_block_terms(missing)
    with pytest.raises(FileNotFoundError):
        ref.read_term_at_offset(missing, 8)
    # A read error is not a clean end of file, not even at an entry's start.
    with pytest.raises(IsADirectoryError):
        ref.get_block_stats(str(tmp_path))
    with pytest.raises(IsADirectoryError):
        ref.iter_block_terms(str(tmp_path))
    with pytest.raises(IsADirectoryError):
        ref.read_term_at_offset(str(tmp_path), 8)


@pytest.mark.parametrize(
    "offset, error", [(-1, OverflowError), (2**63, OSError), (2**64, OverflowError)]
)
def test_read_term_at_offset_refuses_offsets_out_of_range(tmp_path, offset, error):
    with pytest.raises(error):
        ref.read_term_at_offset(write_file(tmp_path, AB_BLOCK), offset)


# --------------------------------------------------------------------------
# Properties

int32 = st.integers(-(2**31), 2**31 - 1)
postings_any = st.lists(st.tuples(int32, int32, int32), max_size=20)
# Frequencies small enough that no sum or product wraps.
freq = st.integers(0, 2**20)
postings_ordinary = st.lists(st.tuples(int32, freq, freq), max_size=20)


@given(postings_any)
def test_caller_order_round_trips(postings):
    assert ref.decode_posting_list(ref.encode_posting_list(postings, True)) == postings


@given(postings_ordinary)
def test_ranking_order_for_ordinary_values(postings):
    decoded = ref.decode_posting_list(ref.encode_posting_list(postings))
    assert sorted(decoded) == sorted(postings)
    for (d1, c1, t1), (d2, c2, t2) in zip(decoded, decoded[1:]):
        assert (c1 + t1, c1, -d1) >= (c2 + t2, c2, -d2)


@given(st.lists(postings_ordinary, max_size=5))
def test_merge_order_for_ordinary_values(lists):
    merged = ref.decode_posting_list(
        ref.merge_posting_lists([ref.encode_posting_list(p, True) for p in lists])
    )
    assert sorted(merged) == sorted(p for postings in lists for p in postings)
    for (d1, c1, t1), (d2, c2, t2) in zip(merged, merged[1:]):
        assert (c1 + 4 * t1, c1, t1, -d1) >= (c2 + 4 * t2, c2, t2, -d2)


@settings(max_examples=50)
@given(
    st.lists(
        st.tuples(
            st.text(max_size=8),
            st.tuples(st.integers(0, 2**64 - 1), st.integers(0, 2**64 - 1)),
            postings_any,
        ),
        max_size=6,
    )
)
def test_block_round_trip(tmp_path_factory, entries):
    path = str(tmp_path_factory.mktemp("blocks") / "block.bin")
    terms = [term for term, _, _ in entries]
    doc_freqs = [pair for _, pair, _ in entries]
    postings = [p for _, _, p in entries]
    ref.write_binary_block(terms, doc_freqs, postings, path)
    assert ref.iter_block_terms(path) == [(t, c, ti, p) for t, (c, ti), p in entries]
    assert ref.get_block_stats(path)[0] == len(entries)
