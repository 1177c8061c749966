import pytest

import quorbel

# name: (parameters, required count)
SIGNATURES = {
    "read_varint": (["f"], 1),
    "encode_varint": (["n"], 1),
    "get_block_stats": (["file_path"], 1),
    "iter_block_terms": (["file_path"], 1),
    "write_binary_block": (["terms", "doc_freqs", "postings", "output_path"], 4),
    "decode_posting_list": (["data"], 1),
    "encode_posting_list": (["postings", "assume_sorted"], 1),
    "merge_posting_lists": (["postings_bytes_list"], 1),
    "read_term_at_offset": (["file_path", "offset"], 2),
}


def raises_type_error(call, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        call(*args, **kwargs)
    assert type(info.value) is TypeError
    return str(info.value)


def quoted_list(names):
    quoted = [f"'{name}'" for name in names]
    if len(quoted) <= 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


@pytest.mark.parametrize("name", SIGNATURES)
def test_too_many_positional_arguments(name):
    parameters, required = SIGNATURES[name]
    count = len(parameters)
    takes = str(count) if required == count else f"from {required} to {count}"
    for given in (count + 1, count + 2):
        message = raises_type_error(getattr(quorbel, name), *range(given))
        assert message == f"{name}() takes {takes} positional arguments but {given} were given"


@pytest.mark.parametrize("name", SIGNATURES)
def test_too_many_positional_wins_over_an_unknown_keyword(name):
    parameters, _ = SIGNATURES[name]
    message = raises_type_error(getattr(quorbel, name), *range(len(parameters) + 1), bogus=1)
    assert "positional arguments but" in message


@pytest.mark.parametrize("name", SIGNATURES)
def test_unexpected_keyword(name):
    message = raises_type_error(getattr(quorbel, name), bogus=1)
    assert message == f"{name}() got an unexpected keyword argument 'bogus'"


@pytest.mark.parametrize("name", SIGNATURES)
def test_argument_given_by_position_and_keyword(name):
    parameters, _ = SIGNATURES[name]
    message = raises_type_error(getattr(quorbel, name), 0, **{parameters[0]: 0})
    assert message == f"{name}() got multiple values for argument '{parameters[0]}'"


@pytest.mark.parametrize("name", SIGNATURES)
def test_missing_required_arguments_are_all_listed(name):
    parameters, required = SIGNATURES[name]
    missing = parameters[:required]
    noun = "argument" if len(missing) == 1 else "arguments"
    message = raises_type_error(getattr(quorbel, name))
    assert message == f"{name}() missing {len(missing)} required positional {noun}: {quoted_list(missing)}"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: quorbel.encode_varint(1, 2), "encode_varint() takes 1 positional arguments but 2 were given"),
        (
            lambda: quorbel.encode_posting_list([], True, 3),
            "encode_posting_list() takes from 1 to 2 positional arguments but 3 were given",
        ),
        (lambda: quorbel.read_term_at_offset(offset=0), "read_term_at_offset() missing 1 required positional argument: 'file_path'"),
        (
            lambda: quorbel.write_binary_block([], [], output_path="x"),
            "write_binary_block() missing 1 required positional argument: 'postings'",
        ),
        (
            lambda: quorbel.write_binary_block([], postings=[]),
            "write_binary_block() missing 2 required positional arguments: 'doc_freqs' and 'output_path'",
        ),
        (
            lambda: quorbel.read_term_at_offset("p", offset=1, file_path="q"),
            "read_term_at_offset() got multiple values for argument 'file_path'",
        ),
        # The first bad keyword stops binding; later ones are not looked at.
        (
            lambda: quorbel.read_term_at_offset(file_path="p", bogus=1, file_path2=2),
            "read_term_at_offset() got an unexpected keyword argument 'bogus'",
        ),
    ],
)
def test_binding_messages(call, message):
    assert raises_type_error(call) == message


def test_keywords_bind_in_any_order():
    assert quorbel.encode_varint(n=300) == b"\xac\x02"


def test_keywords_are_matched_by_their_text_not_their_identity():
    name = "".join(["n"])  # a fresh, non-interned string
    assert quorbel.encode_varint(**{name: 5}) == b"\x05"


def test_a_keyword_without_utf8_form_is_unexpected():
    message = raises_type_error(quorbel.encode_varint, **{"n\udcff": 1})
    assert message.startswith("encode_varint() got an unexpected keyword argument 'n")
