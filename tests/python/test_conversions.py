"""Argument conversions shared by all functions: what each kind accepts and how it refuses."""

import pytest

import quorbel


def numpy_like(name, bool_method=True):
    """A type that claims to be NumPy's boolean scalar type."""
    namespace = {"__module__": "numpy"}
    if bool_method is not None:
        namespace["__bool__"] = bool_method
    return type(name, (), namespace)


def raise_error(self):
    raise ZeroDivisionError("no truth here")


# --- truth values ---------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["bool_", "bool"])
@pytest.mark.parametrize("truth", [True, False])
def test_numpy_like_booleans_are_accepted(name, truth):
    flag = numpy_like(name, lambda self: truth)()
    postings = [(1, 1, 0), (2, 5, 0)]
    expected = quorbel.encode_posting_list(postings, truth)
    assert quorbel.encode_posting_list(postings, flag) == expected


def test_real_numpy_booleans_are_accepted():
    numpy = pytest.importorskip("numpy")
    postings = [(1, 1, 0), (2, 5, 0)]
    assert quorbel.encode_posting_list(postings, numpy.True_) == quorbel.encode_posting_list(postings, True)
    assert quorbel.encode_posting_list(postings, numpy.False_) == quorbel.encode_posting_list(postings, False)


def test_a_numpy_like_boolean_whose_truth_raises_passes_the_error_on():
    with pytest.raises(ZeroDivisionError, match="no truth here"):
        quorbel.encode_posting_list([], numpy_like("bool_", raise_error)())


def test_a_numpy_like_boolean_without_bool_is_refused():
    flag_type = numpy_like("bool_", None)
    with pytest.raises(TypeError) as info:
        quorbel.encode_posting_list([], flag_type())
    assert str(info.value) == (
        f"argument 'assume_sorted': object of type '{flag_type}' does not define a '__bool__' conversion"
    )


@pytest.mark.parametrize(
    "value, type_name",
    [(1, "int"), (0, "int"), (None, "NoneType"), ("yes", "str"), (numpy_like("int8")(), "int8")],
)
def test_other_truth_values_are_refused(value, type_name):
    with pytest.raises(TypeError) as info:
        quorbel.encode_posting_list([], value)
    assert str(info.value) == f"argument 'assume_sorted': '{type_name}' object cannot be cast as 'bool'"


# --- the argument prefix --------------------------------------------------------------------


class Index:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class SpecialTypeError(TypeError):
    pass


def test_only_an_exact_type_error_gets_the_prefix():
    with pytest.raises(SpecialTypeError) as info:
        quorbel.encode_varint(Index(SpecialTypeError("special")))
    assert str(info.value) == "special"


def test_the_prefixed_error_keeps_the_cause():
    cause = KeyError("why")
    error = TypeError("bad index")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        quorbel.encode_varint(Index(error))
    assert str(info.value) == "argument 'n': bad index"
    assert info.value.__cause__ is cause


def test_errors_of_other_classes_pass_unchanged():
    error = LookupError("from __index__")
    with pytest.raises(LookupError) as info:
        quorbel.read_term_at_offset("unused", Index(error))
    assert info.value is error


# --- unsigned offsets and counts ------------------------------------------------------------


class MyInt(int):
    pass


@pytest.mark.parametrize("offset, plain", [(MyInt(8), 8), (Index(8), 8), (True, 1)])
def test_offsets_accept_int_subclasses_and_index_objects(tmp_path, offset, plain):
    path = str(tmp_path / "block.bin")
    quorbel.write_binary_block(["a"], [(1, 0)], [[(1, 1, 0)]], path)
    assert quorbel.read_term_at_offset(path, offset) == quorbel.read_term_at_offset(path, plain)
    assert quorbel.read_term_at_offset(path, offset) is not None


@pytest.mark.parametrize("offset", [-1, 2**64, Index(-1)])
def test_offsets_out_of_the_unsigned_range_overflow(offset):
    with pytest.raises(OverflowError) as info:
        quorbel.read_term_at_offset("unused", offset)
    assert not str(info.value).startswith("argument")


def test_a_non_integer_offset_gets_the_prefix():
    with pytest.raises(TypeError, match=r"^argument 'offset': 'float' object cannot be interpreted as an integer$"):
        quorbel.read_term_at_offset("unused", 8.0)


# --- text -----------------------------------------------------------------------------------


class MyStr(str):
    pass


def test_paths_accept_str_subclasses(tmp_path):
    path = MyStr(tmp_path / "block.bin")
    quorbel.write_binary_block([MyStr("t")], [(0, 0)], [[]], path)
    assert quorbel.iter_block_terms(path) == [("t", 0, 0, [])]


@pytest.mark.parametrize("path", [b"block.bin", 7, None])
def test_non_str_paths_are_refused(path):
    with pytest.raises(TypeError) as info:
        quorbel.get_block_stats(path)
    assert str(info.value) == f"argument 'file_path': '{type(path).__name__}' object cannot be cast as 'str'"


def test_a_path_without_utf8_form_raises_unicode_encode_error_unprefixed():
    with pytest.raises(UnicodeEncodeError) as info:
        quorbel.get_block_stats("bad\udc80")
    assert not str(info.value).startswith("argument")


# --- vectors --------------------------------------------------------------------------------


class LyingSequence:
    """A sequence whose len() is huge (or fails) but which yields a few items."""

    def __init__(self, items, length):
        self.items = items
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize("length", [2**62, 0, RuntimeError("no length")])
def test_vectors_do_not_trust_len(tmp_path, length):
    path = str(tmp_path / "block.bin")
    terms = LyingSequence(["a", "b"], length)
    quorbel.write_binary_block(terms, [(1, 0), (2, 0)], [[], []], path)
    assert [entry[0] for entry in quorbel.iter_block_terms(path)] == ["a", "b"]


@pytest.mark.parametrize(
    "terms, message",
    [
        ("abc", "argument 'terms': Can't extract `str` to `Vec`"),
        (MyStr("abc"), "argument 'terms': Can't extract `str` to `Vec`"),
        ({"a"}, "argument 'terms': 'set' object cannot be cast as 'Sequence'"),
        (iter(["a"]), "argument 'terms': 'list_iterator' object cannot be cast as 'Sequence'"),
        ([1], "argument 'terms': 'int' object cannot be cast as 'str'"),
    ],
)
def test_vector_refusals(terms, message):
    with pytest.raises(TypeError) as info:
        quorbel.write_binary_block(terms, [], [], "unused")
    assert str(info.value) == message


def test_tuples_and_tuple_subclasses_convert_as_vectors(tmp_path):
    from collections import namedtuple

    Pair = namedtuple("Pair", "content title")
    path = str(tmp_path / "block.bin")
    quorbel.write_binary_block(("a",), (Pair(3, 1),), ([(1, 2, 3)],), path)
    assert quorbel.iter_block_terms(path) == [("a", 3, 1, [(1, 2, 3)])]
