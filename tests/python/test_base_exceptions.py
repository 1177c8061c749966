"""An exception that is not an Exception (KeyboardInterrupt, SystemExit, GeneratorExit and other
direct subclasses of BaseException) always propagates unchanged, also from the places where an
ordinary failure is passed over: a sequence's length hint, and str() of an object shown in a
message. An Exception raised there keeps its ordinary handling: the length hint is dropped, and
the text shown is a stand-in.
"""

import io
import sys

import pytest

import quorbel


class Interrupt(BaseException):
    pass


BASE_EXCEPTIONS = [KeyboardInterrupt, SystemExit, GeneratorExit, Interrupt]


def raiser(exception_type):
    def method(*args):
        raise exception_type("raised on purpose")

    return method


def terms_with_failing_length(exception_type):
    # A sequence whose length hint fails; iterating it still works.
    return type("Terms", (list,), {"__len__": raiser(exception_type)})(["a"])


def index_with_unprintable_error(exception_type):
    unprintable = type("Unprintable", (), {"__str__": raiser(exception_type)})()
    return type("Index", (), {"__index__": raiser(lambda _: TypeError(unprintable))})()


def keyword_with_failing_str(exception_type):
    return type("Keyword", (str,), {"__str__": raiser(exception_type)})("m")


def stream_with_unprintable_error(exception_type):
    error_type = type("ReadError", (ValueError,), {"__str__": raiser(exception_type)})
    return type("Stream", (), {"read": raiser(lambda _: error_type())})()


CALLS = {
    "length hint": lambda t, path: quorbel.write_binary_block(
        terms_with_failing_length(t), [(1, 1)], [[]], path),
    "argument prefix": lambda t, path: quorbel.encode_varint(index_with_unprintable_error(t)),
    "unexpected keyword": lambda t, path: quorbel.encode_varint(**{keyword_with_failing_str(t): 1}),
    "read error text": lambda t, path: quorbel.read_varint(stream_with_unprintable_error(t)),
}


@pytest.mark.parametrize("exception_type", BASE_EXCEPTIONS)
@pytest.mark.parametrize("place", sorted(CALLS))
def test_a_base_exception_propagates(tmp_path, place, exception_type):
    with pytest.raises(exception_type, match="raised on purpose"):
        CALLS[place](exception_type, str(tmp_path / "out.bin"))


ORDINARY = {
    "length hint": (None, None),
    "argument prefix": (TypeError, "argument 'n': <unprintable TypeError object>"),
    "unexpected keyword": (
        TypeError, "encode_varint() got an unexpected keyword argument '<unprintable Keyword object>'"),
    "read error text": (OSError, "Error reading file: ReadError: <exception str() failed>"),
}


@pytest.mark.parametrize("place", sorted(CALLS))
def test_an_exception_there_keeps_its_ordinary_handling(tmp_path, monkeypatch, place):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    path = tmp_path / "out.bin"
    expected_type, expected_message = ORDINARY[place]
    if expected_type is None:
        CALLS[place](RuntimeError, str(path))
        assert quorbel.iter_block_terms(str(path)) == [("a", 1, 1, [])]
    else:
        with pytest.raises(expected_type) as raised:
            CALLS[place](RuntimeError, str(path))
        assert str(raised.value) == expected_message
    assert [type(u.exc_value) for u in unraisable] == (
        [RuntimeError] if place in ("argument prefix", "unexpected keyword") else [])
