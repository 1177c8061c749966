import ctypes
import inspect
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import quorbel

FUNCTIONS = [
    "encode_posting_list",
    "encode_varint",
    "decode_posting_list",
    "read_term_at_offset",
    "iter_block_terms",
    "write_binary_block",
    "get_block_stats",
    "merge_posting_lists",
    "read_varint",
]

SIGNATURES = {
    "read_varint": "(f)",
    "encode_varint": "(n)",
    "get_block_stats": "(file_path)",
    "iter_block_terms": "(file_path)",
    "write_binary_block": "(terms, doc_freqs, postings, output_path)",
    "decode_posting_list": "(data)",
    "encode_posting_list": "(postings, assume_sorted=False)",
    "merge_posting_lists": "(postings_bytes_list)",
    "read_term_at_offset": "(file_path, offset)",
}


def test_all_lists_the_attributes_then_the_functions_in_registration_order():
    assert quorbel.__all__ == ["__author__", "__email__", "__package__", *FUNCTIONS]
    assert type(quorbel.__all__) is list


def test_module_attributes():
    assert quorbel.__package__ == "quorbel"
    assert quorbel.__doc__ == ""
    assert isinstance(quorbel.__author__, str) and quorbel.__author__
    assert isinstance(quorbel.__email__, str) and "@" in quorbel.__email__


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_are_builtins_bound_to_the_module(name):
    function = getattr(quorbel, name)
    assert inspect.isbuiltin(function)
    assert function.__name__ == name
    assert function.__module__ == "quorbel"
    assert function.__self__ is quorbel


@pytest.mark.parametrize("name, signature", SIGNATURES.items())
def test_text_signatures(name, signature):
    function = getattr(quorbel, name)
    assert function.__text_signature__ == signature
    assert str(inspect.signature(function)) == signature
    assert all(
        p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        for p in inspect.signature(function).parameters.values()
    )


def test_read_varint_has_no_docstring_beyond_its_signature():
    assert quorbel.read_varint.__doc__ is None


@pytest.mark.parametrize(
    "name, first_line",
    [
        ("encode_varint", "Encode an integer using variable-length encoding (varint)."),
        ("get_block_stats", "Get block statistics without loading all data."),
        ("iter_block_terms", "Iterate over all terms in a binary block file."),
        ("write_binary_block", "Write a binary block from dictionaries."),
        ("decode_posting_list", "Decode a posting list from compressed bytes."),
        ("encode_posting_list", "Encode a posting list using delta encoding and varint compression."),
        ("merge_posting_lists", "Merge and sort multiple compressed posting lists efficiently."),
        ("read_term_at_offset", "Read a term from a binary block file."),
    ],
)
def test_docstrings_start_after_the_signature_block(name, first_line):
    doc = getattr(quorbel, name).__doc__
    assert doc.splitlines()[0] == first_line
    assert not doc.endswith("\n")


def test_docstring_body_is_kept_verbatim():
    assert quorbel.read_term_at_offset.__doc__.endswith(
        "Returns:\n"
        "    Tuple of (term, doc_freq_content, doc_freq_title, postings, next_offset)\n"
        "    or None if end of file."
    )


def test_calling_the_init_function_again_returns_the_same_module():
    library = ctypes.PyDLL(quorbel.__file__)
    library.PyInit_quorbel.restype = ctypes.py_object
    assert library.PyInit_quorbel() is quorbel
    assert library.PyInit_quorbel() is quorbel


def run_python(code, env=None):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=60,
        env=env,
    )


def test_a_subinterpreter_is_refused_with_import_error():
    result = run_python(
        """
        import _interpreters
        import quorbel
        for attempt in range(2):
            interpreter = _interpreters.create(_interpreters.new_config("legacy"))
            failure = _interpreters.exec(interpreter, "import quorbel")
            print(failure.type.__name__, "subinterpreters" in failure.msg)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:2] == ["ImportError True", "ImportError True"]


def test_a_subinterpreter_that_imports_first_does_not_take_the_module_over():
    result = run_python(
        """
        import _interpreters
        interpreter = _interpreters.create(_interpreters.new_config("legacy"))
        failure = _interpreters.exec(interpreter, "import quorbel")
        print(failure.type.__name__)
        import quorbel
        print(quorbel.encode_varint(300).hex())
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:2] == ["ImportError", "ac02"]


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
def test_the_only_exported_symbol_is_the_init_function():
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", quorbel.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert symbols == ["PyInit_quorbel"]


def test_the_module_declares_that_it_needs_the_gil():
    # On a free-threaded interpreter importing quorbel turns the GIL back on unless PYTHON_GIL=0.
    if not hasattr(sys, "_is_gil_enabled"):
        pytest.skip("interpreter has no GIL switch")
    # The child starts the way a user's program would: without a PYTHON_GIL override, which the
    # free-threaded test run sets for itself.
    env = {name: value for name, value in os.environ.items() if name != "PYTHON_GIL"}
    result = run_python("import sys, quorbel; print(sys._is_gil_enabled())", env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "True"
