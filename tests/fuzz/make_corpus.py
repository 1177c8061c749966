"""Writes the seed corpus of the fuzz harnesses: one directory per harness under the given one.

The seeds are well-formed and nearly well-formed inputs built here from the byte formats, so that
each harness starts from the interesting shapes instead of finding them by chance.
"""

import hashlib
import struct
import sys
from pathlib import Path


def varint(value: int) -> bytes:
    out = bytearray()
    while value >= 0x80:
        out.append((value & 0x7F) | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def postings(items, ordered=True) -> bytes:
    out = bytearray()
    previous = 0
    for doc_id, content, title in items:
        delta = (doc_id - previous) & 0xFFFFFFFF
        for field in (delta, content & 0xFFFFFFFF, title & 0xFFFFFFFF):
            signed = field - (1 << 32) if field >= 1 << 31 else field
            out += varint(signed & 0xFFFFFFFFFFFFFFFF)
        previous = doc_id
    return bytes(out)


def entry(term: bytes, content: int, title: int, posting_bytes: bytes) -> bytes:
    return (
        struct.pack("<I", len(term))
        + term
        + varint(content)
        + varint(title)
        + varint(len(posting_bytes))
        + posting_bytes
    )


VARINTS = [0, 1, 127, 128, 300, 16383, 16384, 2**31 - 1, 2**32 - 1, 2**35 - 1, 2**63 - 1, 2**64 - 1]

POSTING_LISTS = [
    [],
    [(5, 3, 0), (7, 1, 1)],
    [(1, 1, 0), (5, 2, 3), (300, 1, 1)],
    [(10, 2, 1), (3, 5, 0), (7, 1, 1)],
    [(-1, 0, 0), (2**31 - 1, -1, -(2**31))],
    [(i * 13, i % 7, i % 3) for i in range(40)],
]

TERMS = [b"", b"ab", "\u00e9t\u00e9".encode(), "\U0001f600".encode(), b"\xff", b"a\xc3", b"\xed\xa0\x80"]


def seeds() -> dict[str, list[bytes]]:
    varint_seeds = [varint(v) for v in VARINTS]
    varint_seeds += [b"", b"\x80", b"\x80\x00", b"\xff" * 10, b"\xff" * 10 + b"\x01", b"\xff" * 9 + b"\x7f"]
    posting_seeds = [postings(p) for p in POSTING_LISTS] + [b"\x01\x01", b"\x01\x01\x80", b"\x05\x03"]
    # Merge: a length byte before each item.
    merge_seeds = [
        b"".join(bytes([len(item)]) + item for item in items)
        for items in (
            [postings(POSTING_LISTS[1]), postings(POSTING_LISTS[2])],
            [postings(p) for p in POSTING_LISTS[1:5]],
            [b"", b"\x05\x01\x00", b"\x05\x01\x00"],
            [b"\xff\xff\xff\xff\x0f\x01\x00", b"\x05\x03"],
        )
    ]
    utf8_seeds = TERMS + ["mixed ascii \u00e9\u4e2d\U0001f600 text".encode(), b"\xf4\x90\x80\x80", b"\xe0\x80\x80"]
    block = b"".join(
        entry(term, content, title, postings(p))
        for term, content, title, p in zip(TERMS[:4], (2, 300, 2**64 - 1, 0), (1, 0, 5, 2**40), POSTING_LISTS)
    )
    entry_seeds = []
    for control in (0x80, 0x00, 0x05, 0x1F):
        entry_seeds.append(bytes([control]) + block)
        entry_seeds.append(bytes([control]) + entry(b"ab", 2, 1, b"\x05\x03\x00\x02\x01\x01"))
        entry_seeds.append(bytes([control]) + struct.pack("<I", 2**32 - 1) + b"abc")
        entry_seeds.append(bytes([control]) + entry(b"a", 0, 0, b"")[:-1] + b"\x80" * 9 + b"\x01")
    return {
        "varint": varint_seeds,
        "postings": posting_seeds,
        "merge": merge_seeds,
        "utf8": utf8_seeds,
        "block_entry": entry_seeds,
    }


def main() -> None:
    root = Path(sys.argv[1])
    for harness, inputs in seeds().items():
        directory = root / harness
        directory.mkdir(parents=True, exist_ok=True)
        for data in inputs:
            (directory / hashlib.sha1(data).hexdigest()).write_bytes(data)


if __name__ == "__main__":
    main()
