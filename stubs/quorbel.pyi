"""Type information for quorbel, native codecs for inverted indexes."""

from collections.abc import Sequence
from typing import Protocol, SupportsIndex, TypeAlias, type_check_only

__author__: str
__email__: str
__all__ = [
    "__author__",
    "__email__",
    "__package__",
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

_Posting: TypeAlias = tuple[int, int, int]
"""(doc_id, content_freq, title_freq), each a signed 32-bit integer."""

@type_check_only
class _BinaryReader(Protocol):
    def read(self, size: int, /) -> bytes | bytearray: ...

def encode_varint(n: SupportsIndex) -> bytes:
    """Encode an integer using variable-length encoding (varint)."""

def read_varint(f: _BinaryReader) -> int | None: ...
def encode_posting_list(postings: list[_Posting], assume_sorted: bool = False) -> bytes:
    """Encode a posting list using delta encoding and varint compression."""

def decode_posting_list(data: bytes) -> list[_Posting]:
    """Decode a posting list from compressed bytes."""

def merge_posting_lists(postings_bytes_list: list[bytes]) -> bytes:
    """Merge and sort multiple compressed posting lists efficiently."""

def write_binary_block(
    terms: Sequence[str],
    doc_freqs: Sequence[tuple[SupportsIndex, SupportsIndex]],
    postings: Sequence[Sequence[tuple[SupportsIndex, SupportsIndex, SupportsIndex]]],
    output_path: str,
) -> None:
    """Write a binary block from dictionaries."""

def get_block_stats(file_path: str) -> tuple[int, int]:
    """Get block statistics without loading all data."""

def iter_block_terms(file_path: str) -> list[tuple[str, int, int, list[_Posting]]]:
    """Iterate over all terms in a binary block file."""

def read_term_at_offset(
    file_path: str, offset: SupportsIndex
) -> tuple[str, int, int, list[_Posting], int] | None:
    """Read a term from a binary block file."""
