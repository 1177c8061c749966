"""Robustness: random and mutated bytes and random Python values fed to all nine functions.

Whatever they are given, the functions return a result of the documented shape or raise one of
the documented exception classes; bytes decode exactly as the pure-Python reference model decodes
them. Nothing crashes (the sanitized run of this file checks memory safety as well).
"""

import io
import os
import struct
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorbel

import reference as ref

DOCUMENTED = (TypeError, ValueError, OverflowError, OSError)
INT32 = range(-(2**31), 2**31)
DECODE_MESSAGES = {
    "Invalid varint encoding: unexpected end of data",
    "Invalid varint encoding: too many bytes",
}
SHORT_READ = "failed to fill whole buffer"

FUNCTIONS = {name: getattr(quorbel, name) for name in quorbel.__all__[3:]}
PARAMETERS = {
    "encode_posting_list": ("postings", "assume_sorted"),
    "encode_varint": ("n",),
    "decode_posting_list": ("data",),
    "read_term_at_offset": ("file_path", "offset"),
    "iter_block_terms": ("file_path",),
    "write_binary_block": ("terms", "doc_freqs", "postings", "output_path"),
    "get_block_stats": ("file_path",),
    "merge_posting_lists": ("postings_bytes_list",),
    "read_varint": ("f",),
}

ROBUST = settings(
    max_examples=int(os.environ.get("QUORBEL_ROBUSTNESS_EXAMPLES", "150")),
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)


def outcome(function, *args, **kwargs):
    """("ok", result) or (exception class, message) for the documented classes."""
    try:
        return ("ok", function(*args, **kwargs))
    except DOCUMENTED as error:
        return (type(error), str(error))


def is_posting_list(value) -> bool:
    return type(value) is list and all(
        type(p) is tuple and len(p) == 3 and all(type(f) is int and f in INT32 for f in p)
        for p in value
    )


# --- random Python values -------------------------------------------------------------------


class Index:
    """An integer-like object: __index__ returns whatever it was given, or raises it."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class BadSequence:
    """A sequence whose len() and iteration misbehave."""

    def __init__(self, items, length):
        self.items = items
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        if index >= len(self.items):
            raise IndexError(index)
        item = self.items[index]
        if isinstance(item, BaseException):
            raise item
        return item


class OwnError(Exception):
    """Raised by the test's own objects; it passes through the module unchanged."""


ERRORS = st.sampled_from(
    [TypeError("t"), ValueError("v"), OverflowError("o"), OSError("e"), OwnError("x"), IndexError("i")]
)
integers = st.one_of(
    st.integers(min_value=-(2**70), max_value=2**70),
    st.sampled_from([0, 1, -1, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**63 - 1, 2**63, 2**64 - 1, 2**64]),
    st.booleans(),
)
scalars = st.one_of(
    st.none(),
    integers,
    st.floats(allow_nan=True),
    st.text(max_size=8),
    st.binary(max_size=12),
    st.binary(max_size=8).map(bytearray),
    st.builds(Index, st.one_of(integers, st.none(), st.text(max_size=2), ERRORS)),
    st.just(object()),
    st.just("\ud800"),
)
values = st.recursive(
    scalars,
    lambda children: st.one_of(
        st.lists(children, max_size=4),
        st.lists(children, max_size=4).map(tuple),
        st.dictionaries(st.text(max_size=2), children, max_size=2),
        st.builds(BadSequence, st.lists(st.one_of(children, ERRORS), max_size=3),
                  st.one_of(st.integers(-3, 2**62), ERRORS)),
    ),
    max_leaves=12,
)


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """Runs the test inside a fresh directory, so that relative paths land there."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


def path_arguments(directory: Path):
    """File paths: a valid block, files that are not blocks, missing files, a directory, a NUL."""
    valid = directory / "valid.bin"
    if valid.exists():
        return PATHS
    quorbel.write_binary_block(["ab", "c"], [(2, 1), (0, 5)], [[(5, 3, 0), (7, 1, 1)], []], str(valid))
    (directory / "junk.bin").write_bytes(b"\xff" * 30)
    (directory / "short.bin").write_bytes(b"\x01\x00")
    (directory / "dir").mkdir()
    return PATHS


PATHS = st.sampled_from(
    ["valid.bin", "junk.bin", "short.bin", "missing.bin", "dir", "no/such/dir", "", "a\0b"]
)


@pytest.mark.parametrize("name", FUNCTIONS)
@ROBUST
@given(data=st.data())
def test_random_arguments_raise_only_documented_exceptions(workdir, name, data):
    function = FUNCTIONS[name]
    parameters = PARAMETERS[name]
    paths = path_arguments(workdir)
    arguments = []
    for parameter in parameters:
        if parameter in ("file_path", "output_path"):
            # Never a random str: it could name any file on the machine.
            safe = paths if parameter == "file_path" else st.just("out.bin")
            non_text = values.filter(lambda value: not isinstance(value, str))
            arguments.append(data.draw(st.one_of(safe, non_text)))
        else:
            arguments.append(data.draw(values))
    count = data.draw(st.integers(0, len(parameters) + 1))
    positional = arguments[:count]
    keywords = {p: a for p, a in zip(parameters[count:], arguments[count:]) if data.draw(st.booleans())}
    if data.draw(st.booleans()):
        keywords[data.draw(st.sampled_from(["x", "data", "f", "offset", "\udcff"]))] = None
    try:
        result = function(*positional, **keywords)
    except (*DOCUMENTED, OwnError):
        return
    # A success has the documented shape.
    if name in ("encode_varint", "encode_posting_list", "merge_posting_lists"):
        assert type(result) is bytes
    elif name == "decode_posting_list":
        assert is_posting_list(result)
    elif name == "get_block_stats":
        assert type(result) is tuple and len(result) == 2
    elif name == "iter_block_terms":
        assert type(result) is list
    elif name == "read_term_at_offset":
        assert result is None or (type(result) is tuple and len(result) == 5)
    elif name == "write_binary_block":
        assert result is None
    elif name == "read_varint":
        assert result is None or (type(result) is int and 0 <= result < 2**35)


# --- random and mutated bytes ---------------------------------------------------------------

postings_strategy = st.lists(
    st.tuples(*[st.integers(-(2**31), 2**31 - 1)] * 3), max_size=12
)


@st.composite
def mutated(draw, valid: st.SearchStrategy[bytes]) -> bytes:
    """A valid encoding with a few bytes flipped, inserted, deleted or cut off."""
    data = bytearray(draw(valid))
    for _ in range(draw(st.integers(0, 4))):
        kind = draw(st.sampled_from(["flip", "set", "insert", "delete", "cut"]))
        position = draw(st.integers(0, len(data)))
        if kind == "insert":
            data.insert(position, draw(st.integers(0, 255)))
        elif kind == "cut":
            del data[position:]
        elif position < len(data):
            if kind == "flip":
                data[position] ^= 1 << draw(st.integers(0, 7))
            elif kind == "set":
                data[position] = draw(st.sampled_from([0x00, 0x7F, 0x80, 0xFF, 0x01]))
            else:
                del data[position]
    return bytes(data)


encoded_lists = postings_strategy.map(lambda p: quorbel.encode_posting_list(p, True))
posting_bytes = st.one_of(st.binary(max_size=64), mutated(encoded_lists))


def reference_outcome(function, *args):
    try:
        return ("ok", function(*args))
    except ValueError as error:
        return (ValueError, str(error))


@given(posting_bytes)
@ROBUST
def test_decoding_any_bytes_agrees_with_the_reference(data):
    result = outcome(quorbel.decode_posting_list, data)
    assert result == reference_outcome(ref.decode_posting_list, data)
    status, value = result
    if status == "ok":
        assert is_posting_list(value)
        # What decodes re-encodes to bytes that decode the same way.
        assert quorbel.decode_posting_list(quorbel.encode_posting_list(value, True)) == value
    else:
        assert status is ValueError and value in DECODE_MESSAGES


@given(st.lists(posting_bytes, max_size=5))
@ROBUST
def test_merging_any_bytes_agrees_with_the_reference(items):
    result = outcome(quorbel.merge_posting_lists, items)
    assert result == reference_outcome(ref.merge_posting_lists, items)
    status, value = result
    if status == "ok":
        merged = quorbel.decode_posting_list(value)
        pooled = [p for item in items for p in quorbel.decode_posting_list(item)]
        assert sorted(merged) == sorted(pooled)
    else:
        assert status is ValueError and value in DECODE_MESSAGES


block_strategy = st.lists(
    st.tuples(
        st.text(max_size=6),
        st.tuples(st.integers(0, 2**64 - 1), st.integers(0, 2**64 - 1)),
        postings_strategy,
    ),
    max_size=4,
)


def block_bytes(entries) -> bytes:
    out = bytearray(struct.pack("<Q", len(entries)))
    for term, (content, title), postings in entries:
        encoded = term.encode("utf-8", "surrogatepass")
        out += struct.pack("<I", len(encoded)) + encoded
        body = quorbel.encode_posting_list(postings, True)
        out += quorbel.encode_varint(content % 2**63) + quorbel.encode_varint(title % 2**63)
        out += quorbel.encode_varint(len(body)) + body
    return bytes(out)


def reader_outcome(function, *args):
    try:
        return ("ok", function(*args))
    except (OSError, ValueError) as error:
        return (OSError if isinstance(error, OSError) else ValueError, str(error))


@given(data=mutated(block_strategy.map(block_bytes)), offset=st.integers(0, 200))
@ROBUST
def test_reading_any_block_bytes_agrees_with_the_reference(tmp_path, data, offset):
    path = tmp_path / "block.bin"
    path.write_bytes(data)
    for function, reference, args in [
        (quorbel.get_block_stats, ref.get_block_stats, ()),
        (quorbel.iter_block_terms, ref.iter_block_terms, ()),
        (quorbel.read_term_at_offset, ref.read_term_at_offset, (offset,)),
        (quorbel.read_term_at_offset, ref.read_term_at_offset, (8,)),
    ]:
        result = reader_outcome(function, str(path), *args)
        assert result == reader_outcome(reference, str(path), *args), function.__name__
        status, value = result
        if status is OSError:
            assert value == SHORT_READ
        elif status is ValueError:
            assert value in DECODE_MESSAGES or value.startswith("Invalid UTF-8: ")


# --- read_varint with misbehaving file objects ----------------------------------------------

read_results = st.one_of(
    st.binary(max_size=3),
    st.binary(max_size=2).map(bytearray),
    st.sampled_from([None, "", "a", 1, 0, [], memoryview(b"x")]),
    st.sampled_from([InterruptedError(), ValueError("closed"), OSError(5, "io"), KeyError("k"),
                     RuntimeError("r"), TypeError("t")]),
)


class ScriptedReader:
    def __init__(self, results):
        self.results = list(results)

    def read(self, size):
        assert size == 1
        if not self.results:
            return b""
        result = self.results.pop(0)
        if isinstance(result, BaseException):
            raise result
        return result


@given(st.lists(read_results, max_size=8))
@ROBUST
def test_read_varint_with_any_reader_behaviour(results):
    try:
        value = quorbel.read_varint(ScriptedReader(results))
    except ValueError as error:
        assert str(error) in {"Invalid varint encoding", "Invalid varint encoding: unexpected end of data"}
        return
    except OSError as error:
        assert type(error) is OSError and str(error).startswith("Error reading file: ")
        return
    assert value is None or (type(value) is int and 0 <= value < 2**35)


@given(st.binary(max_size=12))
@ROBUST
def test_read_varint_on_any_stream_agrees_with_the_reference(data):
    stream, model = io.BytesIO(data), io.BytesIO(data)
    result = outcome(quorbel.read_varint, stream)
    try:
        expected = ("ok", ref.read_varint(model))
    except ValueError as error:
        expected = (ValueError, str(error))
    if result[0] is ValueError and expected == ("ok", None):
        # A varint cut short by the end of the stream is refused rather than answered with None,
        # since None would hide the bytes already taken.
        assert result[1] == "Invalid varint encoding: unexpected end of data"
        return
    assert result == expected
    assert stream.tell() == model.tell()
