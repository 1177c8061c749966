"""encode_posting_list and decode_posting_list: byte form, ranking order, conversions, errors."""

from collections import namedtuple

import pytest
from hypothesis import given
from hypothesis import strategies as st

import quorbel

import reference as ref
from implementations import module_and_oracle

h = bytes.fromhex
UNEXPECTED_END = "Invalid varint encoding: unexpected end of data"
TOO_MANY_BYTES = "Invalid varint encoding: too many bytes"
OUT_OF_RANGE = "out of range integral type conversion attempted"
I32_MIN, I32_MAX = -(2**31), 2**31 - 1


def wrap32(value):
    return (value + 2**31) % 2**32 - 2**31


def ranking_key(posting):
    doc_id, content_freq, title_freq = posting
    return (wrap32(-content_freq - title_freq), wrap32(-content_freq), wrap32(-title_freq), doc_id)


class Index:
    def __init__(self, value, action=None):
        self.value, self.action = value, action

    def __index__(self):
        if self.action:
            self.action()
        return self.value


Triple = namedtuple("Triple", "doc_id content_freq title_freq")


class Holder:
    class Element:
        pass


@pytest.mark.parametrize(
    "postings, assume_sorted, encoded, decoded",
    [
        ([], False, "", []),
        ([], True, "", []),
        ([(1, 1, 0), (5, 2, 3), (300, 1, 1)], True, "01 01 00 04 02 03 a7 02 01 01",
         [(1, 1, 0), (5, 2, 3), (300, 1, 1)]),
        ([(1, 1, 0), (5, 2, 3), (300, 1, 1)], False,
         "05 02 03 a7 02 01 01 d5 fd ff ff ff ff ff ff ff 01 01 00",
         [(5, 2, 3), (300, 1, 1), (1, 1, 0)]),
        ([(10, 2, 1), (3, 5, 0), (7, 1, 1)], False,
         "03 05 00 07 02 01 fd ff ff ff ff ff ff ff ff 01 01 01",
         [(3, 5, 0), (10, 2, 1), (7, 1, 1)]),
        ([(10, 2, 1), (3, 5, 0), (7, 1, 1)], True,
         "0a 02 01 f9 ff ff ff ff ff ff ff ff 01 05 00 04 01 01",
         [(10, 2, 1), (3, 5, 0), (7, 1, 1)]),
        ([(7, 0, 0), (7, 0, 0), (2, 0, 0)], False, "02 00 00 05 00 00 00 00 00",
         [(2, 0, 0), (7, 0, 0), (7, 0, 0)]),
        ([(0, -1, 0)], False, "00 ff ff ff ff ff ff ff ff ff 01 00", [(0, -1, 0)]),
        ([(I32_MIN, 0, 0), (I32_MAX, 0, 0)], True,
         "80 80 80 80 f8 ff ff ff ff 01 00 00 ff ff ff ff ff ff ff ff ff 01 00 00",
         [(I32_MIN, 0, 0), (I32_MAX, 0, 0)]),
        # The frequency sum wraps to a negative value, so the posting ranks last.
        ([(1, I32_MAX, 2), (2, 0, 0)], False,
         "02 00 00 ff ff ff ff ff ff ff ff ff 01 ff ff ff ff 07 02",
         [(2, 0, 0), (1, I32_MAX, 2)]),
    ],
)
def test_encode_and_decode_examples(implementation, postings, assume_sorted, encoded, decoded):
    data = implementation.encode_posting_list(postings, assume_sorted)
    assert data == h(encoded)
    assert implementation.decode_posting_list(data) == decoded


@pytest.mark.parametrize(
    "postings, ranked",
    [
        # Equal sums: content_freq descending, then doc_id ascending (negative first).
        ([(5, 1, 2), (3, 2, 1), (4, 3, 0)], [(4, 3, 0), (3, 2, 1), (5, 1, 2)]),
        ([(9, 2, 2), (-4, 2, 2), (0, 2, 2)], [(-4, 2, 2), (0, 2, 2), (9, 2, 2)]),
        # A negative frequency lowers the sum like any other value.
        ([(1, -5, 0), (2, 0, 0)], [(2, 0, 0), (1, -5, 0)]),
    ],
)
def test_ranking_order(implementation, postings, ranked):
    encoded = implementation.encode_posting_list(postings)
    assert implementation.decode_posting_list(encoded) == ranked


def test_default_and_keyword_forms_agree():
    postings = [(1, 1, 0), (5, 2, 3)]
    expected = quorbel.encode_posting_list(postings, False)
    assert quorbel.encode_posting_list(postings) == expected
    assert quorbel.encode_posting_list(postings=postings, assume_sorted=False) == expected
    assert quorbel.encode_posting_list(postings, assume_sorted=True) != expected


def test_the_argument_list_is_not_reordered():
    postings = [(1, 1, 0), (5, 2, 3), (300, 1, 1)]
    quorbel.encode_posting_list(postings)
    assert postings == [(1, 1, 0), (5, 2, 3), (300, 1, 1)]


class MyList(list):
    pass


class MyBytes(bytes):
    pass


@pytest.mark.parametrize(
    "postings, expected",
    [
        (MyList([(3, 1, 0)]), [(3, 1, 0)]),
        ([Triple(3, 1, 0), (4, 1, 0)], [(3, 1, 0), (4, 1, 0)]),
        ([(True, False, True)], [(1, 0, 1)]),
        ([(Index(7), Index(-2), Index(I32_MAX))], [(7, -2, I32_MAX)]),
        ([(I32_MIN, I32_MIN, I32_MAX)], [(I32_MIN, I32_MIN, I32_MAX)]),
    ],
)
def test_accepted_element_forms(postings, expected):
    assert quorbel.decode_posting_list(quorbel.encode_posting_list(postings, True)) == expected


# Refused elements: the oracle refuses these alike.
ELEMENT_ERRORS = [
    ([(1, 2)], ValueError, "Posting must be a tuple of 3 integers"),
    ([(1, 2, 3, 4)], ValueError, "Posting must be a tuple of 3 integers"),
    ([()], ValueError, "Posting must be a tuple of 3 integers"),
    ([(I32_MAX + 1, 0, 0)], OverflowError, OUT_OF_RANGE),
    ([(0, 0, I32_MIN - 1)], OverflowError, OUT_OF_RANGE),
    ([(0, 2**63 - 1, 0)], OverflowError, OUT_OF_RANGE),
    ([(1.5, 0, 0)], TypeError, "'float' object cannot be interpreted as an integer"),
    # Fields are converted in order: the first bad one decides.
    ([(I32_MAX + 1, "x", 0)], OverflowError, OUT_OF_RANGE),
    ([(0, "x", I32_MAX + 1)], TypeError, "'str' object cannot be interpreted as an integer"),
    ([(0, 0, 0), (0, 0, Index(0, lambda: 1 / 0))], ZeroDivisionError, "division by zero"),
    ([(0, Index(0, lambda: int("z")), 0)], ValueError,
     "invalid literal for int() with base 10: 'z'"),
]
# Only the module: elements that are not tuples, and values beyond 64 bits.
MODULE_ELEMENT_ERRORS = [
    ([(1, 1, 0), [1, 2, 3]], TypeError, "'list' object cannot be cast as 'tuple'"),
    ([[1, 2]], TypeError, "'list' object cannot be cast as 'tuple'"),
    ([Holder.Element()], TypeError, "'Holder.Element' object cannot be cast as 'tuple'"),
    ([(0, 2**63, 0)], OverflowError, "Python int too large to convert to C long"),
    ([(-(2**63) - 1, 0, 0)], OverflowError, "Python int too large to convert to C long"),
]


@pytest.mark.parametrize(
    "implementation, postings, error, message",
    module_and_oracle(ELEMENT_ERRORS, MODULE_ELEMENT_ERRORS),
)
def test_element_errors_have_no_argument_prefix(implementation, postings, error, message):
    with pytest.raises(error) as info:
        implementation.encode_posting_list(postings)
    assert type(info.value) is error
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, message",
    [
        (((), False), "argument 'postings': 'tuple' object cannot be cast as 'list'"),
        ((iter([]),), "argument 'postings': 'list_iterator' object cannot be cast as 'list'"),
        # The list argument is checked before the flag, the flag before any element.
        (((), 1), "argument 'postings': 'tuple' object cannot be cast as 'list'"),
        (([[1]], 1), "argument 'assume_sorted': 'int' object cannot be cast as 'bool'"),
        (([], 0), "argument 'assume_sorted': 'int' object cannot be cast as 'bool'"),
        (([], None), "argument 'assume_sorted': 'NoneType' object cannot be cast as 'bool'"),
    ],
)
def test_argument_errors(args, message):
    with pytest.raises(TypeError) as info:
        quorbel.encode_posting_list(*args)
    assert str(info.value) == message


def test_a_list_that_shrinks_while_walked_ends_the_walk():
    postings = [(1, 1, 0), (2, Index(5, lambda: postings.clear()), 0), (3, 3, 0)]
    expected = quorbel.encode_posting_list([(2, 5, 0), (1, 1, 0)], True)
    assert quorbel.encode_posting_list(postings) == expected


def test_items_appended_while_walked_are_not_visited():
    postings = [(1, 1, 0), (2, Index(5, lambda: postings.append((9, 9, 9))), 0)]
    expected = quorbel.encode_posting_list([(2, 5, 0), (1, 1, 0)], True)
    assert quorbel.encode_posting_list(postings) == expected


@pytest.mark.parametrize(
    "data, decoded",
    [
        ("05 00 00 ff ff ff ff 0f 00 00", [(5, 0, 0), (4, 0, 0)]),
        ("00 ff ff ff ff 07 00", [(0, I32_MAX, 0)]),
        ("00 80 80 80 80 08 00", [(0, I32_MIN, 0)]),
        ("80 00 00 00", [(0, 0, 0)]),  # longer than needed, still accepted
        ("00 ff ff ff ff 7f 00", [(0, -1, 0)]),  # bits above the low 32 are dropped
        ("00 ff ff ff ff ff ff ff ff ff 7f 00", [(0, -1, 0)]),
        ("00 80 80 80 80 80 80 80 80 80 02 00", [(0, 0, 0)]),
    ],
)
def test_decode_examples(implementation, data, decoded):
    assert implementation.decode_posting_list(h(data)) == decoded
    assert implementation.decode_posting_list(MyBytes(h(data))) == decoded


@pytest.mark.parametrize(
    "data, message",
    [
        ("01", UNEXPECTED_END),
        ("01 01", UNEXPECTED_END),
        ("01 01 80", UNEXPECTED_END),
        ("01 01 00 05", UNEXPECTED_END),
        ("00 00" + " ff" * 10, UNEXPECTED_END),
        ("00 00" + " ff" * 10 + " 01", TOO_MANY_BYTES),
        ("ff" * 11, TOO_MANY_BYTES),
    ],
)
def test_decode_rejects_malformed_bytes(implementation, data, message):
    with pytest.raises(ValueError) as info:
        implementation.decode_posting_list(h(data))
    assert str(info.value) == message


@pytest.mark.parametrize("data", [bytearray(3), memoryview(b"\x00\x00\x00"), "abc", None])
def test_decode_accepts_only_bytes(data):
    with pytest.raises(TypeError) as info:
        quorbel.decode_posting_list(data)
    name = type(data).__qualname__
    assert str(info.value) == f"argument 'data': '{name}' object cannot be cast as 'bytes'"


extremes = [I32_MIN, I32_MIN + 1, -1, 0, 1, I32_MAX]
int32 = st.one_of(st.integers(I32_MIN, I32_MAX), st.sampled_from(extremes))
small = st.integers(-2, 3)  # many ties, so every tie-break is exercised
postings_lists = st.lists(st.one_of(st.tuples(int32, int32, int32), st.tuples(small, small, small)))


@given(postings_lists)
def test_round_trip_in_the_callers_order(postings):
    assert quorbel.decode_posting_list(quorbel.encode_posting_list(postings, True)) == postings


@given(postings_lists)
def test_encoding_sorts_by_the_ranking_key(postings):
    data = quorbel.encode_posting_list(postings)
    assert data == quorbel.encode_posting_list(sorted(postings, key=ranking_key), True)
    assert data == ref.encode_posting_list(postings)
    assert quorbel.encode_posting_list(postings, True) == ref.encode_posting_list(postings, True)


@given(st.binary(max_size=40))
def test_decode_matches_the_model_on_arbitrary_bytes(data):
    try:
        expected = ref.decode_posting_list(data)
    except ValueError as error:
        with pytest.raises(ValueError) as info:
            quorbel.decode_posting_list(data)
        assert str(info.value) == str(error)
    else:
        assert quorbel.decode_posting_list(data) == expected
