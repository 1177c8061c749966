import pytest
from hypothesis import given, strategies as st

import quorbel
from implementations import module_and_oracle

VARINTS = [
    (0, "00"),
    (1, "01"),
    (127, "7f"),
    (128, "8001"),
    (255, "ff01"),
    (300, "ac02"),
    (16383, "ff7f"),
    (16384, "808001"),
    (2**28 - 1, "ffffff7f"),
    (2**28, "8080808001"),
    (2**31 - 1, "ffffffff07"),
    (2**32 - 1, "ffffffff0f"),
    (2**35 - 1, "ffffffff7f"),
    (2**63 - 1, "ffffffffffffffff7f"),
]


@pytest.mark.parametrize("value, encoded", VARINTS)
def test_encode_varint_examples(implementation, value, encoded):
    assert implementation.encode_varint(value) == bytes.fromhex(encoded)


@pytest.mark.parametrize("value, encoded", VARINTS + [(2**64 - 1, "ffffffffffffffffff01")])
def test_every_example_decodes_inside_a_posting(implementation, value, encoded):
    # The value sits in the content_freq field, which keeps its low 32 bits.
    data = b"\x00" + bytes.fromhex(encoded) + b"\x00"
    assert implementation.decode_posting_list(data) == [(0, signed32(value), 0)]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class MyInt(int):
    pass


@pytest.mark.parametrize("value, encoded", [(True, "01"), (False, "00"), (Index(300), "ac02"), (MyInt(128), "8001")])
def test_encode_varint_accepts_int_like_values(value, encoded):
    assert quorbel.encode_varint(value) == bytes.fromhex(encoded)


@pytest.mark.parametrize("value", [-1, -(2**63), Index(-5)])
def test_encode_varint_refuses_negative_values(implementation, value):
    with pytest.raises(ValueError, match="^Varint encoding only supports non-negative integers$"):
        implementation.encode_varint(value)


# The oracle refuses a value below -2**63 as negative instead.
@pytest.mark.parametrize(
    "implementation, value",
    module_and_oracle([(2**63,), (2**64,), (Index(2**70),)], [(-(2**63) - 1,)]),
)
def test_encode_varint_values_beyond_64_bits_overflow_without_prefix(implementation, value):
    with pytest.raises(OverflowError) as info:
        implementation.encode_varint(value)
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("value", [1.0, "5", None, b"\x01", [1]])
def test_encode_varint_refuses_non_integers_with_the_argument_prefix(value):
    with pytest.raises(TypeError) as info:
        quorbel.encode_varint(value)
    assert type(info.value) is TypeError
    assert str(info.value).startswith("argument 'n': ")
    assert str(info.value).endswith("cannot be interpreted as an integer")


@given(st.integers(min_value=0, max_value=2**63 - 1))
def test_encoded_length_is_the_shortest_form(value):
    encoded = quorbel.encode_varint(value)
    assert len(encoded) == max(1, -(-value.bit_length() // 7))
    assert all(byte & 0x80 for byte in encoded[:-1]) and not encoded[-1] & 0x80


def signed32(value):
    value &= 0xFFFFFFFF
    return value - 2**32 if value >= 2**31 else value


# The in-memory decoder is reached through the posting decoder: a varint followed by two zero
# fields decodes to a posting whose doc_id is the varint's low 32 bits.
@given(st.integers(min_value=0, max_value=2**63 - 1))
def test_decoder_reads_back_what_the_encoder_wrote(value):
    decoded = quorbel.decode_posting_list(quorbel.encode_varint(value) + b"\x00\x00")
    assert decoded == [(signed32(value), 0, 0)]


@pytest.mark.parametrize(
    "varint, value",
    [
        ("8000", 0),  # longer than needed, still accepted
        ("ffffffffffffffffff01", 2**64 - 1),
        ("ffffffffffffffffff7f", 2**64 - 1),  # payload bits 1-6 of a tenth byte are ignored
        ("80808080808080808002", 0),
        ("ac02", 300),
    ],
)
def test_decoder_accepts_non_minimal_and_ten_byte_forms(implementation, varint, value):
    data = bytes.fromhex(varint) + b"\x05\x06"
    assert implementation.decode_posting_list(data) == [(signed32(value), 5, 6)]


@pytest.mark.parametrize(
    "data, message",
    [
        ("", None),  # nothing to decode: an empty list
        ("80", "unexpected end of data"),
        ("ffffffffffffffffff", "unexpected end of data"),
        ("ffffffffffffffffffff", "unexpected end of data"),
        ("ffffffffffffffffffff01", "too many bytes"),
        ("0000ffffffffffffffffffff0000", "too many bytes"),
        ("000080", "unexpected end of data"),
    ],
)
def test_decoder_errors(implementation, data, message):
    if message is None:
        assert implementation.decode_posting_list(bytes.fromhex(data)) == []
        return
    with pytest.raises(ValueError) as info:
        implementation.decode_posting_list(bytes.fromhex(data))
    assert str(info.value) == f"Invalid varint encoding: {message}"
