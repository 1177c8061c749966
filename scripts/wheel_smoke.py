"""Smoke test of an installed quorbel wheel: run with the interpreter of the environment it was
installed into, from outside the checkout.

    python -I scripts/wheel_smoke.py ENVIRONMENT_PREFIX SCRATCH_BLOCK_PATH

Checks that quorbel and its type stubs come from ENVIRONMENT_PREFIX, and that every function
gives the documented bytes and values on the README's examples, errors included.
"""

import io
import sys
from pathlib import Path

import quorbel


def check_installed_from(prefix: Path) -> None:
    module = Path(quorbel.__file__).resolve()
    assert module.is_relative_to(prefix.resolve()), f"quorbel imported from {module}"
    site = module.parent
    assert (site / "quorbel.pyi").is_file(), "the stub beside the module is missing"
    assert (site / "quorbel-stubs" / "__init__.pyi").is_file(), "the stub package is missing"


def check_codecs() -> None:
    assert quorbel.encode_varint(300) == b"\xac\x02"
    stream = io.BytesIO(b"\xac\x02\x07")
    assert quorbel.read_varint(stream) == 300 and stream.read() == b"\x07"
    postings = [(1, 1, 0), (5, 2, 3), (300, 1, 1)]
    data = quorbel.encode_posting_list(postings, assume_sorted=True)
    assert data.hex(" ") == "01 01 00 04 02 03 a7 02 01 01"
    assert quorbel.decode_posting_list(data) == postings
    ranked = quorbel.encode_posting_list(postings)
    assert quorbel.decode_posting_list(ranked) == [(5, 2, 3), (300, 1, 1), (1, 1, 0)]
    merged = quorbel.merge_posting_lists([bytes.fromhex("010400"), bytes.fromhex("020101")])
    assert merged == bytes.fromhex("02 01 01 ff ff ff ff ff ff ff ff ff 01 04 00")
    try:
        quorbel.decode_posting_list(b"\x80")
    except ValueError as error:
        assert str(error) == "Invalid varint encoding: unexpected end of data", error
    else:
        raise AssertionError("a cut varint was accepted")


def check_block_file(path: str) -> None:
    quorbel.write_binary_block(["ab"], [(2, 1)], [[(5, 3, 0), (7, 1, 1)]], path)
    expected = "0100000000000000" "02000000" "6162" "020106" "050300020101"
    assert Path(path).read_bytes().hex() == expected
    assert quorbel.get_block_stats(path) == (1, 23)
    assert quorbel.iter_block_terms(path) == [("ab", 2, 1, [(5, 3, 0), (7, 1, 1)])]
    assert quorbel.read_term_at_offset(path, 8) == ("ab", 2, 1, [(5, 3, 0), (7, 1, 1)], 23)
    assert quorbel.read_term_at_offset(path, 23) is None


def main() -> None:
    prefix, block = sys.argv[1:]
    check_installed_from(Path(prefix))
    check_codecs()
    check_block_file(block)
    print(f"quorbel {sys.version.split()[0]}: the installed wheel passes its smoke test")


if __name__ == "__main__":
    main()
