"""The positions codec: runs of postings' positions, and a file's index of them."""

import io
import sys
import zlib
from array import array

import pytest
from hypothesis import given
from hypothesis import strategies as st

from minisearch.errors import FormatError
from minisearch.positions import RUN, PositionsWriter, decode_run, encode_run, read_position_index, runs_of

field_positions = st.lists(st.integers(0, 2**31), max_size=6, unique=True).map(sorted)
postings = st.lists(st.tuples(field_positions, field_positions), max_size=3 * RUN)


def counts(positions):
    return [(len(title), len(content)) for title, content in positions]


@given(st.lists(postings, max_size=4))
def test_terms_written_in_runs_read_back_by_rank(terms):
    handle = io.BytesIO()
    writer = PositionsWriter(handle)
    for positions in terms:
        writer.add_term(runs_of(positions))
    size = writer.finish()
    data = handle.getvalue()
    assert size == len(data)
    index = read_position_index(data)
    assert index.terms == len(terms)
    for term, positions in enumerate(terms):
        assert index.postings(term) == len(positions)
        for rank in {0, len(positions) // 2, len(positions) - 1} & set(range(len(positions))):
            run, first = index.run_of(term, rank)
            decoded = decode_run(index.run_bytes(data, run), counts(positions[first : first + RUN]))
            assert decoded[rank - first] == tuple(map(list, positions[rank]))


def test_runs_joined_from_inputs_keep_their_own_lengths():
    """A term's runs from two inputs are copied as they are: a run may hold fewer than RUN postings."""
    first, second = [([1], [0, 5])] * 3, [([], [2])] * 2
    handle = io.BytesIO()
    writer = PositionsWriter(handle)
    writer.add_term([*runs_of(first), *runs_of(second)])
    writer.finish()
    index = read_position_index(handle.getvalue())
    assert index.run_of(0, 2) == (0, 0) and index.run_of(0, 3) == (1, 3)


@pytest.mark.parametrize(
    ("damage", "message"),
    [
        (lambda data: b"XXXX" + data[4:], "bad magic number"),
        (lambda data: data[:-9] + bytes([data[-9] ^ 1]) + data[-8:], "index is damaged|cut short|does not match"),
    ],
)
def test_a_damaged_file_is_refused(damage, message):
    handle = io.BytesIO()
    writer = PositionsWriter(handle)
    writer.add_term(runs_of([([0], [1, 2])]))
    writer.finish()
    with pytest.raises(FormatError, match=message):
        read_position_index(damage(handle.getvalue()))


@pytest.mark.parametrize("far", [False, True])
def test_a_run_whose_positions_do_not_match_its_counts_is_refused(far):
    count, data = encode_run([([3], [1, 4 + 1000 * far])])  # gaps of a byte, or wide ones
    assert decode_run(data, [(1, 2)]) == [([3], [1, 4 + 1000 * far])]
    with pytest.raises(FormatError, match="positions"):
        decode_run(data, [(1, 1)])
    with pytest.raises(FormatError, match="unknown kind"):
        decode_run(b"\x07" + data[1:], [(1, 2)])
    if far:
        with pytest.raises(FormatError, match="damaged"):
            decode_run(data + b"\x80", [(1, 2)])


def test_a_wide_run_is_its_gaps_as_varints_and_a_run_of_deflated_words_still_reads():
    """A run with a gap from 256 on: kind 2, then LEB128 gaps.  Indexes written before hold such
    runs as kind 1, deflated little-endian 32-bit words, which read alike."""
    positions = [([3], [1, 1004]), ([], [2**32 - 1])]
    assert encode_run(positions) == (2, b"\x02\x03\x01\xeb\x07\xff\xff\xff\xff\x0f")
    assert encode_run([([255], [0, 255])]) == (1, b"\x00\xff\x00\xff")  # every gap below 256: bytes
    assert encode_run([([256], [])]) == (1, b"\x02\x80\x02")
    words = array("I", [3, 1, 1003, 2**32 - 1])
    if sys.byteorder == "big":
        words.byteswap()
    packer = zlib.compressobj(1, zlib.DEFLATED, -15)
    deflated = b"\x01" + packer.compress(words.tobytes()) + packer.flush()
    assert decode_run(deflated, [(1, 2), (0, 1)]) == decode_run(encode_run(positions)[1], [(1, 2), (0, 1)]) == positions


@pytest.mark.parametrize(
    ("body", "message"),
    [
        (b"\x03\x81", "its last gap is cut short"),
        (b"\x03\xff\xff\xff\xff\x10", "a gap beyond 32 bits"),
        (b"\x03\x80\x80\x80\x80\x80\x00", "a gap of over 5 bytes"),
    ],
)
def test_a_damaged_varint_run_is_refused(body, message):
    with pytest.raises(FormatError, match=message):
        decode_run(b"\x02" + body, [(0, 2)])
