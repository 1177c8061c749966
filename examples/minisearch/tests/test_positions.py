"""The positions codec: runs of postings' positions, and a file's index of them."""

import io
import zlib
from array import array

import pytest
from hypothesis import given
from hypothesis import strategies as st

from minisearch.errors import FormatError
from minisearch.positions import (
    RUN,
    STORED_RUN_BYTES,
    PositionsWriter,
    decode_run,
    deflate_raw,
    encode_run,
    read_position_index,
    run_memory_level,
    runs_of,
)

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
            decode_run(data[:1] + b"\xff" + data[1:], [(1, 2)])


@pytest.mark.parametrize("size", [1, 4, 32, 33, 127, 128, 129, 256, 257, 1 << 14, (1 << 15) + 4, 1 << 20])
def test_a_wide_run_is_deflated_at_the_least_memory_level_that_holds_it(size):
    level = run_memory_level(size)
    assert 1 <= level <= 9
    assert level == 9 or 1 << (level + 6) >= size
    assert level == 1 or 1 << (level + 5) < size
    gaps = array("I", [(n * 2654435761) % 70001 for n in range(size // 4 + 1)]).tobytes()[:size]
    stream = deflate_raw(gaps)
    assert zlib.decompress(stream, -15) == gaps
    if size <= STORED_RUN_BYTES:  # one final stored block: its header, the length and its complement
        assert stream == b"\x01" + size.to_bytes(2, "little") + (0xFFFF - size).to_bytes(2, "little") + gaps
