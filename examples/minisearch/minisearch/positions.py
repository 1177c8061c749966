"""Word positions: where each term occurs in each document, per field, for phrase queries.

A partition's positions file sits beside its block file and lists, term by
term in the term table's order, the positions of every posting of the term
in **document order** (not the impact order of its tiers), so that joining a
term's lists from several inputs, which come in document order, is a copy of
bytes.  A posting's positions are its title positions, then its content
positions (``title_freq`` and ``content_freq`` of them), each field's as gaps
from the previous position (the first from 0), as little-endian 32-bit
words.  A term's postings are packed in runs of at most :data:`RUN` postings,
each run one raw deflate stream::

    b"MSP1"  run run run ...  index  <Q: where the index starts>

The index (a zlib stream) holds the arrays ``<I`` terms, runs; ``<I`` the
first run of each term and the end; ``<I`` postings before each run's end,
counted within its term; ``<Q`` each run's end in the file.  Finding a
posting's positions is a bisection over its term's runs and the reading of one.
"""

from __future__ import annotations

import mmap
import struct
import sys
import zlib
from array import array
from bisect import bisect_right
from collections.abc import Buffer, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from itertools import accumulate, chain
from operator import sub
from typing import BinaryIO

from quorbel import encode_varint

from .errors import FormatError

__all__ = [
    "BLOCK_INDEX_LEVEL",
    "INDEX_LEVEL",
    "RUN",
    "PositionIndex",
    "PositionsWriter",
    "Run",
    "compress_index",
    "decode_run",
    "index_payload",
    "encode_run",
    "read_position_index",
]

POSITIONS_MAGIC = b"MSP1"
#: Postings per run when a run is written from positions (runs joined from inputs may be shorter).
RUN = 128
_COUNTS = struct.Struct("<II")
#: A run's first byte: its gaps as bytes, as deflated 32-bit words (written before version 6 of the
#: index), or as varints.
_SMALL, _WIDE, _VARINTS = b"\x00", b"\x01", b"\x02"
_TAIL = struct.Struct("<Q")
#: The most bytes a gap's varint takes (32 bits, 7 to a byte).
_VARINT_BYTES = 5

#: One posting's positions: (title positions, content positions).
Positions = tuple[Sequence[int], Sequence[int]]
#: A run as stored: the postings it covers and its bytes.
Run = tuple[int, bytes]


#: The zlib level of a segment's positions index: its arrays of counts and offsets pack 5 % larger
#: at 1 than at 3 (1 % of the positions' bytes) in two thirds of the time, which was a sixth of what
#: positions add to a build.  A block's index, read once by the merge of its build and then removed,
#: is stored (level 0): deflating it cost more than writing and reading its bytes.  Any level reads
#: alike.
INDEX_LEVEL = 1
BLOCK_INDEX_LEVEL = 0


def compress_index(payload: bytes, level: int = INDEX_LEVEL) -> bytes:
    """A positions file's index as stored (a zlib stream)."""
    return zlib.compress(payload, level)


def encode_run(postings: Iterable[Positions]) -> Run:
    """One run of postings' positions: one byte a gap when every gap is below 256 (short fields,
    most of them), else a varint a gap.  Varints take a third fewer bytes than the 32-bit words
    deflated with Huffman codes that runs held before, for a small part of the time."""
    gaps: list[int] = []
    count = 0
    for title, content in postings:
        if title:
            gaps += map(sub, title, chain((0,), title))
        if content:
            gaps += map(sub, content, chain((0,), content))
        count += 1
    if not gaps or max(gaps) < 256:
        return count, _SMALL + bytes(gaps)
    return count, _VARINTS + b"".join(map(encode_varint, gaps))


def decode_run(
    data: bytes, counts: Sequence[tuple[int, int]], what: str = "positions", wanted: Iterable[int] | None = None
) -> list[Positions]:
    """The positions of a run whose postings have ``counts`` (title_freq, content_freq): of all
    of them, or of those numbered ``wanted`` within the run."""
    kind, body = data[:1], data[1:]
    gaps: Sequence[int]
    if kind == _SMALL:
        gaps = body
    elif kind == _VARINTS:
        gaps = _varint_gaps(body, what)
    elif kind == _WIDE:
        gaps = _deflated_gaps(body, what)
    else:
        raise FormatError(f"{what}: a run of an unknown kind")
    starts = list(accumulate(map(sum, counts), initial=0))
    if len(gaps) != starts[-1]:
        raise FormatError(f"{what}: a run holds {len(gaps)} positions, its postings {starts[-1]}")
    result: list[Positions] = []
    for number in range(len(counts)) if wanted is None else wanted:
        start, (title, content) = starts[number], counts[number]
        middle, end = start + title, start + title + content
        result.append((list(accumulate(gaps[start:middle])), list(accumulate(gaps[middle:end]))))
    return result


def _varint_gaps(body: bytes, what: str) -> list[int]:
    """A run's varints: each of at most :data:`_VARINT_BYTES` bytes and 32 bits, the last whole."""
    gaps: list[int] = []
    append = gaps.append
    remaining = iter(body)
    for byte in remaining:
        if byte < 0x80:  # most gaps: one byte
            append(byte)
            continue
        value, shift = byte & 0x7F, 7
        for byte in remaining:
            value |= (byte & 0x7F) << shift
            if byte < 0x80:
                break
            shift += 7
            if shift == 7 * _VARINT_BYTES:
                raise FormatError(f"{what}: a run is damaged (a gap of over {_VARINT_BYTES} bytes)")
        else:
            raise FormatError(f"{what}: a run is damaged (its last gap is cut short)")
        if value > 0xFFFFFFFF:
            raise FormatError(f"{what}: a run is damaged (a gap beyond 32 bits)")
        append(value)
    return gaps


def _deflated_gaps(body: bytes, what: str) -> array[int]:
    """A run of an index written before version 6: 32-bit words in a raw deflate stream."""
    try:
        raw = zlib.decompress(body, -15)
    except zlib.error as error:
        raise FormatError(f"{what}: a run is damaged ({error})") from None
    words = array("I")
    words.frombytes(raw[: len(raw) - len(raw) % 4])
    if sys.byteorder == "big":
        words.byteswap()
    if len(words) * 4 != len(raw):
        raise FormatError(f"{what}: a run is damaged (a partial word)")
    return words


def runs_of(postings: Sequence[Positions]) -> list[Run]:
    """A term's positions, in runs of :data:`RUN` postings."""
    return [encode_run(postings[start : start + RUN]) for start in range(0, len(postings), RUN)]


@dataclass
class PositionsWriter:
    """Writes a positions file term by term, in the term table's order."""

    handle: BinaryIO
    level: int = INDEX_LEVEL
    """The zlib level of the index."""
    term_runs: array[int] = field(default_factory=lambda: array("I", [0]))
    run_counts: array[int] = field(default_factory=lambda: array("I"))
    run_ends: array[int] = field(default_factory=lambda: array("Q"))

    def __post_init__(self) -> None:
        self.handle.write(POSITIONS_MAGIC)
        self.offset = len(POSITIONS_MAGIC)

    def add_term(self, runs: Iterable[Run]) -> None:
        """The next term's runs, in document order."""
        postings = 0
        for count, data in runs:
            self.handle.write(data)
            self.offset += len(data)
            postings += count
            self.run_counts.append(postings)
            self.run_ends.append(self.offset)
        self.term_runs.append(len(self.run_ends))

    def finish(self) -> int:
        """Write the index; returns the file's size."""
        terms = len(self.term_runs) - 1
        payload = _COUNTS.pack(terms, len(self.run_ends)) + b"".join(
            _little(values) for values in (self.term_runs, self.run_counts, self.run_ends)
        )
        index = compress_index(payload, self.level)
        self.handle.write(index + _TAIL.pack(self.offset))
        return self.offset + len(index) + _TAIL.size


def _little(values: array[int]) -> bytes:
    if sys.byteorder == "big":
        values = array(values.typecode, values)
        values.byteswap()
    return values.tobytes()


@dataclass(frozen=True)
class PositionIndex:
    """Where each term's runs lie in a positions file."""

    term_runs: array[int]
    run_counts: array[int]
    run_ends: array[int]

    @property
    def terms(self) -> int:
        return len(self.term_runs) - 1

    def runs(self, data: bytes | mmap.mmap, term: int) -> Iterator[Run]:
        """The runs of term number ``term``, as stored."""
        first, last = self.term_runs[term], self.term_runs[term + 1]
        before = 0
        for run in range(first, last):
            start = self.run_ends[run - 1] if run else len(POSITIONS_MAGIC)
            yield self.run_counts[run] - before, bytes(data[start : self.run_ends[run]])
            before = self.run_counts[run]

    def postings(self, term: int) -> int:
        first, last = self.term_runs[term], self.term_runs[term + 1]
        return self.run_counts[last - 1] if last > first else 0

    def run_of(self, term: int, rank: int) -> tuple[int, int]:
        """The run that holds the term's posting number ``rank`` (in document order), and the
        rank of its first posting."""
        first, last = self.term_runs[term], self.term_runs[term + 1]
        run = bisect_right(self.run_counts, rank, first, last)
        return run, self.run_counts[run - 1] if run > first else 0

    def run_bytes(self, data: bytes | mmap.mmap, run: int) -> bytes:
        """Run ``run``'s bytes, copied: a view of a map that other threads read would count an
        export the free-threaded interpreter does not count atomically."""
        start = self.run_ends[run - 1] if run else len(POSITIONS_MAGIC)
        return bytes(data[start : self.run_ends[run]])


def index_payload(data: Buffer, what: str = "positions") -> tuple[bytes, int]:
    """The index of a positions file, inflated, and where it starts in the file."""
    with memoryview(data) as view:
        if bytes(view[:4]) != POSITIONS_MAGIC or len(view) < 4 + _TAIL.size:
            raise FormatError(f"{what} has a bad magic number")
        (start,) = _TAIL.unpack_from(view, len(view) - _TAIL.size)
        try:
            return zlib.decompress(view[start : len(view) - _TAIL.size]), start
        except (zlib.error, ValueError):
            raise FormatError(f"{what}: its index is damaged") from None


def read_position_index(data: Buffer, what: str = "positions") -> PositionIndex:
    """Parse the index of a positions file."""
    payload, start = index_payload(data, what)
    try:
        terms, runs = _COUNTS.unpack_from(payload)
    except struct.error:
        raise FormatError(f"{what}: its index is damaged") from None
    arrays = []
    position = _COUNTS.size
    for typecode, count in (("I", terms + 1), ("I", runs), ("Q", runs)):
        values = array(typecode)
        size = values.itemsize * count
        values.frombytes(payload[position : position + size])
        if sys.byteorder == "big":
            values.byteswap()
        if len(values) != count:
            raise FormatError(f"{what}: its index is cut short")
        arrays.append(values)
        position += size
    index = PositionIndex(*arrays)
    if index.term_runs[-1] != runs or (runs and index.run_ends[-1] != start) or any(
        a > b for a, b in zip(index.term_runs, index.term_runs[1:])
    ):
        raise FormatError(f"{what}: its index does not match its runs")
    return index
