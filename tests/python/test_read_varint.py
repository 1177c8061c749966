"""read_varint: one varint from a binary file object, one read(1) call per byte."""

import io

import pytest
from hypothesis import given
from hypothesis import strategies as st

import quorbel

h = bytes.fromhex
UNEXPECTED_END = "Invalid varint encoding: unexpected end of data"


class Reader:
    """A file object whose read(1) answers with the given results in turn, recording its calls."""

    def __init__(self, *results):
        self.results = list(results)
        self.calls = []

    def read(self, *args):
        self.calls.append(args)
        result = self.results.pop(0)
        if isinstance(result, BaseException):
            raise result
        return result


class Outer:
    class Failure(Exception):
        pass


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class Interrupted(InterruptedError):
    pass


def closed_stream():
    stream = io.BytesIO(b"\x05")
    stream.close()
    return stream


class MyBytes(bytes):
    pass


class MyByteArray(bytearray):
    pass


class CountingStringIO(io.StringIO):
    reads = 0

    def read(self, *args):
        self.reads += 1
        return super().read(*args)


@pytest.mark.parametrize(
    "value, encoded",
    [(0, "00"), (127, "7f"), (128, "80 01"), (300, "ac 02"), (16384, "80 80 01"),
     (2**31 - 1, "ff ff ff ff 07"), (2**32 - 1, "ff ff ff ff 0f"), (2**35 - 1, "ff ff ff ff 7f"),
     (0, "80 80 80 80 00")],
)
def test_reads_one_varint_and_stops_after_it(implementation, value, encoded):
    stream = io.BytesIO(h(encoded) + h("07"))
    assert implementation.read_varint(stream) == value
    assert stream.tell() == len(h(encoded))
    assert implementation.read_varint(f=stream) == 7
    assert implementation.read_varint(stream) is None


@pytest.mark.parametrize("buffering", [-1, 0])
def test_reads_from_a_binary_file(implementation, tmp_path, buffering):
    path = tmp_path / "numbers.bin"
    path.write_bytes(h("ac 02 07 ff ff ff ff 7f"))
    with open(path, "rb", buffering=buffering) as f:
        assert [implementation.read_varint(f) for _ in range(4)] == [300, 7, 2**35 - 1, None]


@given(st.lists(st.integers(0, 2**35 - 1)))
def test_reads_back_a_sequence_of_varints(values):
    stream = io.BytesIO(b"".join(quorbel.encode_varint(v) for v in values))
    assert [quorbel.read_varint(stream) for _ in values] == values
    assert quorbel.read_varint(stream) is None


@pytest.mark.parametrize("data", ["80", "ac", "ff ff ff ff"])
def test_a_varint_cut_short_by_the_end_of_the_stream_is_an_error(implementation, data):
    stream = io.BytesIO(h(data))
    with pytest.raises(ValueError) as info:
        implementation.read_varint(stream)
    assert str(info.value) == UNEXPECTED_END
    assert stream.tell() == len(h(data))  # every byte was taken


def test_a_sixth_byte_is_never_requested(implementation):
    reader = Reader(*[b"\xff"] * 5, b"\x01")
    with pytest.raises(ValueError) as info:
        implementation.read_varint(reader)
    assert type(info.value) is ValueError and str(info.value) == "Invalid varint encoding"
    assert reader.calls == [(1,)] * 5


@pytest.mark.parametrize(
    "results, value",
    [
        ((b"",), None),
        ((bytearray(),), None),
        ((bytearray(b"\x05"),), 5),
        ((MyByteArray(b"\x85"), MyBytes(b"\x01")), 133),
        ((InterruptedError(), b"\x05"), 5),
        ((b"\x80", InterruptedError(), Interrupted(), b"\x01"), 128),
    ],
)
def test_accepted_read_results(results, value):
    reader = Reader(*results)
    assert quorbel.read_varint(reader) == value
    assert reader.results == []


@pytest.mark.parametrize(
    "result, message",
    [
        (b"ab", "failed to write whole buffer"),
        (bytearray(b"ab"), "failed to write whole buffer"),
        ("a", "'str' object cannot be cast as 'bytearray'"),
        (None, "'NoneType' object cannot be cast as 'bytearray'"),
        (memoryview(b"a"), "'memoryview' object cannot be cast as 'bytearray'"),
        (ValueError("I/O operation on closed file."), "ValueError: I/O operation on closed file."),
        (Outer.Failure("boom"), "Outer.Failure: boom"),
        (FileNotFoundError("gone"), "FileNotFoundError: gone"),
        (Unprintable(), "Unprintable: <exception str() failed>"),
    ],
)
def test_read_failures_become_oserror(result, message):
    with pytest.raises(OSError) as info:
        quorbel.read_varint(Reader(b"\x80", result))
    assert type(info.value) is OSError
    assert str(info.value) == "Error reading file: " + message
    assert info.value.__cause__ is None and info.value.__context__ is None


@pytest.mark.parametrize(
    "stream, message",
    [
        (object(), "AttributeError: 'object' object has no attribute 'read'"),
        (closed_stream(), "ValueError: I/O operation on closed file."),
    ],
)
def test_unreadable_objects(stream, message):
    with pytest.raises(OSError) as info:
        quorbel.read_varint(stream)
    assert type(info.value) is OSError
    assert str(info.value) == "Error reading file: " + message


@pytest.mark.parametrize("exception", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
def test_interrupts_and_exits_pass_through_unchanged(exception):
    with pytest.raises(BaseException) as info:
        quorbel.read_varint(Reader(b"\x80", exception))
    assert info.value is exception


@pytest.mark.parametrize(
    "stream",
    [CountingStringIO("abc"), io.TextIOWrapper(io.BytesIO(b"\x05"))],
)
def test_text_streams_are_refused_before_any_read(stream):
    with pytest.raises(OSError) as info:
        quorbel.read_varint(stream)
    assert str(info.value) == "Error reading file: buffer size must be at least 4 bytes"
    assert stream.tell() == 0
    assert getattr(stream, "reads", 0) == 0


class ClassRaises:
    def __init__(self, error):
        self.error = error

    @property
    def __class__(self):
        raise self.error


@pytest.mark.parametrize(
    "error, expected",
    [
        (TypeError("no class"), TypeError("argument 'f': no class")),
        (LookupError("no class"), LookupError("no class")),
    ],
)
def test_a_failing_text_stream_check_is_a_conversion_failure(error, expected):
    with pytest.raises(Exception) as info:
        quorbel.read_varint(ClassRaises(error))
    assert type(info.value) is type(expected)
    assert str(info.value) == str(expected)
