"""merge_posting_lists: pooling, the merge order, errors."""


import pytest
from hypothesis import given
from hypothesis import strategies as st

import quorbel

import reference as ref
from implementations import module_and_oracle

h = bytes.fromhex
UNEXPECTED_END = "Invalid varint encoding: unexpected end of data"
TOO_MANY_BYTES = "Invalid varint encoding: too many bytes"
I32_MIN, I32_MAX = -(2**31), 2**31 - 1


def encode(*postings):
    return quorbel.encode_posting_list(list(postings), True)


class MyBytes(bytes):
    pass


class MyList(list):
    pass


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
def test_merge_examples(implementation, items, merged):
    assert implementation.merge_posting_lists([h(item) for item in items]) == h(merged)


@pytest.mark.parametrize(
    "items, order",
    [
        # Title frequency breaks a tie of score and content frequency: 4 * 2**30 wraps to 0.
        ([encode((1, 0, 0)), encode((2, 0, 2**30))], [(2, 0, 2**30), (1, 0, 0)]),
        # A score that wraps to -2**31 keeps that key value and ranks first.
        ([encode((1, 100, 0)), encode((2, 0, 2**29))], [(2, 0, 2**29), (1, 100, 0)]),
        # doc_id breaks full ties, compared as a signed value.
        ([encode((5, 1, 1)), encode((-1, 1, 1))], [(-1, 1, 1), (5, 1, 1)]),
        # Only the low 32 bits of a field count: 2**33 - 1 is content_freq -1.
        ([h("00 ff ff ff ff 1f 00"), encode((3, 0, 0))], [(3, 0, 0), (0, -1, 0)]),
        (MyList([MyBytes(encode((4, 1, 0))), encode((2, 2, 0))]), [(2, 2, 0), (4, 1, 0)]),
    ],
)
def test_merge_order(implementation, items, order):
    assert quorbel.decode_posting_list(implementation.merge_posting_lists(items)) == order


def test_the_argument_list_is_left_untouched():
    items = [encode((5, 3, 0)), encode((2, 1, 0))]
    copy = list(items)
    quorbel.merge_posting_lists(items)
    assert items == copy


# Items cut short or too long: the oracle refuses these alike.
MERGE_ERRORS = [
    ([h("05 03")], ValueError, UNEXPECTED_END),
    ([h("80")], ValueError, UNEXPECTED_END),
    ([encode((1, 1, 1)), h("05 03 00 01")], ValueError, UNEXPECTED_END),
    ([h("01 01 00"), h("05")], ValueError, UNEXPECTED_END),
    ([h("00" + " ff" * 10 + " 01 00")], ValueError, TOO_MANY_BYTES),
    # The first failing item decides.
    ([h("80"), bytearray()], ValueError, UNEXPECTED_END),
]
# Only the module: arguments and items of the wrong type.
MODULE_MERGE_ERRORS = [
    ((b"",), TypeError, "argument 'postings_bytes_list': 'tuple' object cannot be cast as 'list'"),
    (b"\x01\x01\x00", TypeError,
     "argument 'postings_bytes_list': 'bytes' object cannot be cast as 'list'"),
    ([b"", bytearray(b"\x01\x01\x00")], TypeError, "'bytearray' object cannot be cast as 'bytes'"),
    ([memoryview(b"")], TypeError, "'memoryview' object cannot be cast as 'bytes'"),
    ([encode((1, 1, 1)), "abc"], TypeError, "'str' object cannot be cast as 'bytes'"),
    ([bytearray(), h("80")], TypeError, "'bytearray' object cannot be cast as 'bytes'"),
]


@pytest.mark.parametrize(
    "implementation, argument, error, message", module_and_oracle(MERGE_ERRORS, MODULE_MERGE_ERRORS)
)
def test_merge_errors(implementation, argument, error, message):
    with pytest.raises(error) as info:
        implementation.merge_posting_lists(argument)
    assert type(info.value) is error
    assert str(info.value) == message


int32 = st.one_of(st.integers(I32_MIN, I32_MAX), st.sampled_from([I32_MIN, -1, 0, 1, I32_MAX]))
small = st.integers(-1, 4)
postings = st.lists(st.one_of(st.tuples(int32, int32, int32), st.tuples(small, small, small)))


@given(st.lists(postings, max_size=6))
def test_merge_matches_the_model(lists):
    items = [quorbel.encode_posting_list(p, True) for p in lists]
    merged = quorbel.merge_posting_lists(items)
    assert merged == ref.merge_posting_lists(items)
    pooled = [posting for p in lists for posting in p]
    assert sorted(quorbel.decode_posting_list(merged)) == sorted(pooled)


@given(st.lists(st.binary(max_size=12), max_size=4))
def test_merge_matches_the_model_on_arbitrary_bytes(items):
    try:
        expected = ref.merge_posting_lists(items)
    except ValueError as error:
        with pytest.raises(ValueError) as info:
            quorbel.merge_posting_lists(items)
        assert str(info.value) == str(error)
    else:
        assert quorbel.merge_posting_lists(items) == expected
