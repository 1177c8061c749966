"""Pure-Python reference implementation of the quorbel codecs and block files.

This module mirrors the nine functions of the native ``quorbel`` extension,
with the same names and parameter names, and produces the same bytes for
valid input:

* varints: unsigned little-endian base-128 integers, 1 to 10 bytes;
* posting lists: ``(doc_id, content_freq, title_freq)`` triples of signed
  32-bit integers, stored as three varints per posting (doc-id delta,
  content_freq, title_freq) with no count and no terminator.  All posting
  arithmetic wraps modulo 2**32, and a negative value is sign-extended to
  64 bits before it is encoded, so it takes ten bytes;
* block files: an 8-byte little-endian entry count followed by the entries,
  each a 4-byte little-endian term length, the UTF-8 term, three varints
  (doc_freq_content, doc_freq_title, posting byte count P) and P posting
  bytes.

It serves as the idiomatic baseline in the benchmarks and as the oracle in
the property-based tests.  It does not reproduce the native module's
argument-type error messages; malformed data raises the same ``ValueError``
and ``OSError`` messages as the native module.
"""

from __future__ import annotations

import errno
import operator
import os
import struct

__all__ = [
    "encode_varint",
    "read_varint",
    "encode_posting_list",
    "decode_posting_list",
    "merge_posting_lists",
    "write_binary_block",
    "get_block_stats",
    "iter_block_terms",
    "read_term_at_offset",
]

Posting = tuple[int, int, int]

_UNEXPECTED_END = "Invalid varint encoding: unexpected end of data"
_TOO_MANY_BYTES = "Invalid varint encoding: too many bytes"
_SHORT_READ = "failed to fill whole buffer"

_UINT64_MASK = 0xFFFF_FFFF_FFFF_FFFF
_INT32_MIN = -(2**31)
_INT32_MAX = 2**31 - 1
_INT64_MAX = 2**63 - 1

_HEADER = struct.Struct("<Q")  # number of entries
_TERM_LENGTH = struct.Struct("<I")  # byte length of an entry's term

# Largest piece requested from a file at once, so that a corrupt length field
# cannot make the reader allocate far more memory than the file holds.
_READ_CHUNK = 1 << 16


# --------------------------------------------------------------------------
# Varints


def _wrap32(value: int) -> int:
    """Reduce ``value`` modulo 2**32 and read it as a signed 32-bit integer."""
    value &= 0xFFFF_FFFF
    return value - 0x1_0000_0000 if value > _INT32_MAX else value


def _append_varint(buffer: bytearray, value: int) -> None:
    """Append the shortest varint of the unsigned 64-bit ``value``."""
    while value >= 0x80:
        buffer.append((value & 0x7F) | 0x80)
        value >>= 7
    buffer.append(value)


def _decode_varint(data, pos: int = 0) -> tuple[int, int]:
    """Decode the varint at ``data[pos:]``; return ``(value, next_pos)``.

    At most ten bytes are read.  Of the tenth byte only the lowest payload
    bit is used (it becomes bit 63).  Ten continuation bytes are "too many
    bytes" when more data follows them and "unexpected end of data" when
    the data ends right after them.
    """
    result = 0
    for k in range(9):
        if pos + k >= len(data):
            raise ValueError(_UNEXPECTED_END)
        byte = data[pos + k]
        result |= (byte & 0x7F) << (7 * k)
        if not byte & 0x80:
            return result, pos + k + 1
    last = pos + 9
    if last >= len(data):
        raise ValueError(_UNEXPECTED_END)
    byte = data[last]
    if byte & 0x80:
        more_follows = last + 1 < len(data)
        raise ValueError(_TOO_MANY_BYTES if more_follows else _UNEXPECTED_END)
    return result | (byte & 0x01) << 63, last + 1


def encode_varint(n: int) -> bytes:
    """Return the varint of ``n``, an integer from 0 to 2**63 - 1."""
    n = operator.index(n)
    if n > _INT64_MAX:
        raise OverflowError("Python int too large to convert to C long")
    if n < 0:
        raise ValueError("Varint encoding only supports non-negative integers")
    buffer = bytearray()
    _append_varint(buffer, n)
    return bytes(buffer)


def read_varint(f) -> int | None:
    """Read one varint of at most five bytes from the binary stream ``f``.

    Bytes are requested one at a time, so the stream is left on the byte
    after the varint.  Returns None when the stream ends before the first
    byte; a stream that ends inside the varint is malformed data.
    """
    result = 0
    for shift in range(0, 35, 7):
        chunk = f.read(1)
        if not chunk:
            if shift == 0:
                return None
            raise ValueError(_UNEXPECTED_END)
        byte = chunk[0]
        result |= (byte & 0x7F) << shift
        if not byte & 0x80:
            return result
    raise ValueError("Invalid varint encoding")


# --------------------------------------------------------------------------
# Posting lists


def _as_int32(value) -> int:
    """Convert ``value`` to an int in the signed 32-bit range."""
    value = operator.index(value)
    if not _INT32_MIN <= value <= _INT32_MAX:
        raise OverflowError("out of range integral type conversion attempted")
    return value


def _append_postings(buffer: bytearray, postings) -> None:
    """Append the byte form of ``postings``, in the order given."""
    previous = 0
    for doc_id, content_freq, title_freq in postings:
        delta = _wrap32(doc_id - previous)
        _append_varint(buffer, delta & _UINT64_MASK)
        _append_varint(buffer, content_freq & _UINT64_MASK)
        _append_varint(buffer, title_freq & _UINT64_MASK)
        previous = doc_id


def _iter_decoded_postings(data):
    """Yield the postings stored in the posting bytes ``data``."""
    pos = 0
    previous = 0
    while pos < len(data):
        delta, pos = _decode_varint(data, pos)
        content_freq, pos = _decode_varint(data, pos)
        title_freq, pos = _decode_varint(data, pos)
        previous = _wrap32(previous + delta)
        yield previous, _wrap32(content_freq), _wrap32(title_freq)


def _ranking_key(posting: Posting) -> tuple[int, int, int, int]:
    """Sort key of the ranking order: cf + tf, then cf descending, then doc_id."""
    doc_id, content_freq, title_freq = posting
    return (
        _wrap32(-content_freq - title_freq),
        _wrap32(-content_freq),
        _wrap32(-title_freq),
        doc_id,
    )


def _merge_key(posting: Posting) -> tuple[int, int, int, int]:
    """Sort key of the merge order: a title occurrence counts four times."""
    doc_id, content_freq, title_freq = posting
    return (
        _wrap32(-(content_freq + 4 * title_freq)),
        _wrap32(-content_freq),
        _wrap32(-title_freq),
        doc_id,
    )


def encode_posting_list(postings, assume_sorted: bool = False) -> bytes:
    """Encode ``postings``, in ranking order unless ``assume_sorted`` is true.

    The ranking order puts the highest content_freq + title_freq first,
    then the highest content_freq, then the smallest doc_id.
    """
    checked = []
    for posting in postings:
        if len(posting) != 3:
            raise ValueError("Posting must be a tuple of 3 integers")
        checked.append(tuple(map(_as_int32, posting)))
    if not assume_sorted:
        checked.sort(key=_ranking_key)
    buffer = bytearray()
    _append_postings(buffer, checked)
    return bytes(buffer)


def decode_posting_list(data: bytes) -> list[Posting]:
    """Decode posting bytes into a list of ``(doc_id, content_freq, title_freq)``."""
    return list(_iter_decoded_postings(data))


def merge_posting_lists(postings_bytes_list) -> bytes:
    """Pool several encoded posting lists and encode them in merge order.

    Postings are not combined: a doc_id held by several lists appears once
    per list.  The merge order ranks content_freq + 4 * title_freq
    descending, then content_freq, then title_freq descending, then doc_id
    ascending.
    """
    pool = []
    for data in postings_bytes_list:
        pool.extend(_iter_decoded_postings(data))
    pool.sort(key=_merge_key)
    buffer = bytearray()
    _append_postings(buffer, pool)
    return bytes(buffer)


# --------------------------------------------------------------------------
# Block files


def _as_tuple_of(item, length: int) -> tuple:
    """Check that ``item`` holds exactly ``length`` values."""
    if len(item) != length:
        raise ValueError(
            f"expected tuple of length {length}, but got tuple of length {len(item)}"
        )
    return tuple(item)


def _as_uint64(value) -> int:
    """Convert ``value`` to an int in the unsigned 64-bit range."""
    value = operator.index(value)
    if value < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if value > _UINT64_MASK:
        raise OverflowError("int too big to convert")
    return value


def write_binary_block(terms, doc_freqs, postings, output_path: str) -> None:
    """Write one block file: the entry count, then one entry per term.

    Terms and postings are stored in the order given; nothing is sorted.
    Every argument is checked before the file is created, so invalid input
    leaves an existing file untouched.
    """
    encoded_terms = [term.encode("utf-8") for term in terms]
    freq_pairs = [tuple(map(_as_uint64, _as_tuple_of(pair, 2))) for pair in doc_freqs]
    posting_lists = [
        [tuple(map(_as_int32, _as_tuple_of(posting, 3))) for posting in posting_list]
        for posting_list in postings
    ]
    if not len(encoded_terms) == len(freq_pairs) == len(posting_lists):
        raise ValueError("terms, doc_freqs, and postings must have the same length")
    for term in encoded_terms:
        if len(term) > 0xFFFF_FFFF:
            raise ValueError("term too long: its UTF-8 form must be shorter than 2**32 bytes")

    block = bytearray(_HEADER.pack(len(encoded_terms)))
    for term, (doc_freq_content, doc_freq_title), posting_list in zip(
        encoded_terms, freq_pairs, posting_lists
    ):
        posting_bytes = bytearray()
        _append_postings(posting_bytes, posting_list)
        block += _TERM_LENGTH.pack(len(term))
        block += term
        _append_varint(block, doc_freq_content)
        _append_varint(block, doc_freq_title)
        _append_varint(block, len(posting_bytes))
        block += posting_bytes

    with open(output_path, "wb") as f:
        f.write(block)


def _read_exact(f, size: int) -> bytearray:
    """Read exactly ``size`` bytes, or raise OSError if the file ends first."""
    data = bytearray()
    while len(data) < size:
        chunk = f.read(min(size - len(data), _READ_CHUNK))
        if not chunk:
            raise OSError(_SHORT_READ)
        data += chunk
    return data


def _read_file_varint(f) -> tuple[int, int]:
    """Read one varint from the file; return ``(value, byte_length)``."""
    raw = bytearray()
    while len(raw) < 10:
        chunk = f.read(1)
        if not chunk:
            break
        raw += chunk
        if not chunk[0] & 0x80:
            break
    else:
        # Ten continuation bytes: whether the file goes on decides between
        # "too many bytes" and "unexpected end of data".
        raw += f.read(1)
    return _decode_varint(raw)


def _read_entry(f):
    """Read the entry at the current position.

    Returns ``(term, doc_freq_content, doc_freq_title, postings, size)``,
    where ``size`` is the entry's length in bytes, or None when fewer than
    four bytes are left for the term length.
    """
    length_field = f.read(_TERM_LENGTH.size)
    if len(length_field) < _TERM_LENGTH.size:
        return None
    (term_length,) = _TERM_LENGTH.unpack(length_field)
    raw_term = _read_exact(f, term_length)
    try:
        term = raw_term.decode("utf-8")
    except UnicodeDecodeError as exc:
        if exc.reason == "unexpected end of data":
            detail = f"incomplete utf-8 byte sequence from index {exc.start}"
        else:
            detail = (
                f"invalid utf-8 sequence of {exc.end - exc.start} bytes"
                f" from index {exc.start}"
            )
        raise ValueError(f"Invalid UTF-8: {detail}") from None
    doc_freq_content, content_size = _read_file_varint(f)
    doc_freq_title, title_size = _read_file_varint(f)
    posting_size, size_size = _read_file_varint(f)
    posting_list = decode_posting_list(_read_exact(f, posting_size))
    entry_size = (
        _TERM_LENGTH.size + term_length + content_size + title_size + size_size + posting_size
    )
    return term, doc_freq_content, doc_freq_title, posting_list, entry_size


def get_block_stats(file_path: str) -> tuple[int, int]:
    """Return ``(num_terms, file_size_bytes)`` without reading any entry."""
    with open(file_path, "rb") as f:
        file_size = os.fstat(f.fileno()).st_size
        (num_terms,) = _HEADER.unpack(_read_exact(f, _HEADER.size))
    return num_terms, file_size


def iter_block_terms(file_path: str) -> list[tuple[str, int, int, list[Posting]]]:
    """Return every entry as ``(term, doc_freq_content, doc_freq_title, postings)``.

    Reading stops after the number of entries in the header, or earlier at
    a clean end of file where an entry's term length would start.
    """
    entries = []
    with open(file_path, "rb") as f:
        (num_terms,) = _HEADER.unpack(_read_exact(f, _HEADER.size))
        while len(entries) < num_terms:
            entry = _read_entry(f)
            if entry is None:
                break
            entries.append(entry[:4])
    return entries


def read_term_at_offset(file_path: str, offset: int):
    """Read the entry that starts at byte ``offset``.

    Returns ``(term, doc_freq_content, doc_freq_title, postings, next_offset)``,
    or None when fewer than four bytes are left at ``offset``.
    """
    offset = _as_uint64(offset)
    with open(file_path, "rb") as f:
        if offset > _INT64_MAX:
            raise OSError(errno.EINVAL, os.strerror(errno.EINVAL))
        f.seek(offset)
        entry = _read_entry(f)
    if entry is None:
        return None
    term, doc_freq_content, doc_freq_title, posting_list, entry_size = entry
    return term, doc_freq_content, doc_freq_title, posting_list, offset + entry_size
