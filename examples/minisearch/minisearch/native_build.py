"""Building a block on the native kernels: the per-token and per-posting work in C++.

``minisearch._kernels.build_block`` tokenises a block's ASCII texts itself (lower-cased runs of
letters and digits, runs longer than :data:`~minisearch.tokens.MAX_TERM_LENGTH` dropped: the
rule of every tokenizer on ASCII text), finds those of other text as the index's rule does in the
text the rule prepares (:attr:`~minisearch.tokens.Tokenizer.kernel_rule`: lower-cased and composed
by a call back to Python, the runs of letters, digits and marks read in C++), counts each
document's terms, places their positions and returns each partition's block file and positions
file as bytes: the bytes :func:`minisearch.blocks.build_block` writes without the kernels, which
stays the fallback and the oracle of the tests.  ``merge_blocks`` merges a partition of a new
segment from its blocks, as :func:`minisearch.merge.merge_partition` does, writing the same files.

The positions file's index is deflated with the zlib the kernels carry only when it is the
version :mod:`zlib` runs on (the same code, so the same bytes); otherwise the kernels call
:func:`~minisearch.positions.compress_index`.
"""

from __future__ import annotations

import functools
import zlib
from array import array
from collections.abc import Buffer, Callable, Sequence
from typing import TYPE_CHECKING, NamedTuple

from . import ranking
from .corpus import Document, Key
from .errors import FormatError, IndexBuildError
from .kernels import BUILD
from .layout import GROUP_SIZE, STORE_LEVEL
from .positions import BLOCK_INDEX_LEVEL, INDEX_LEVEL, compress_index, index_payload
from .tokens import MAX_TERM_LENGTH, Tokenizer

if TYPE_CHECKING:
    from .merge import PartitionInput, PartitionTask

__all__ = [
    "AVAILABLE",
    "READS_STORED",
    "BlockFiles",
    "MergedColumns",
    "block_files",
    "documents_per_term",
    "json_strings",
    "keys_among",
    "merge_blocks",
    "merges",
    "start_store_groups",
    "store_groups",
    "stored_documents_per_term",
]

#: Whether blocks are built on the native kernels.
AVAILABLE = BUILD is not None


class BlockFiles(NamedTuple):
    """A block's files as bytes, before they are written."""

    lengths: bytes
    """The documents' lengths in tokens, a native-order ``array("I")``."""
    postings: int
    partitions: list[tuple[int, bytes, bytes | None]]
    """Per partition: its term count, its block file and its positions file (None without)."""


def block_files(
    titles: list[str], contents: list[str], first_doc: int, partitions: int, positions: bool, rule: Tokenizer
) -> BlockFiles:
    """The files of a block of (checked) documents, given as their ``titles`` and ``contents``,
    numbered from ``first_doc``."""
    assert BUILD is not None
    lengths, postings, files = BUILD.build_block(
        titles, contents, first_doc, partitions, positions, MAX_TERM_LENGTH, rule.kernel_rule, _zlib(BLOCK_INDEX_LEVEL)
    )
    return BlockFiles(lengths, postings, files)


def start_store_groups(contents: list[str]) -> Callable[[], tuple[bytes, tuple[int, ...]]] | None:
    """Begin the document store's groups of ``contents`` on a thread of the kernels' own, which
    needs no GIL; returns what gives them once made: the bytes of
    :func:`~minisearch.layout.compress_group` on each :data:`~minisearch.layout.GROUP_SIZE` of
    them, one after the other, and their sizes (it raises ``UnicodeEncodeError`` for a text that
    is not valid, a lone surrogate, as encoding it does).  None when the kernels do not carry the
    zlib this interpreter runs."""
    assert BUILD is not None
    started = BUILD.store_groups_start(contents, GROUP_SIZE, zlib.ZLIB_RUNTIME_VERSION, STORE_LEVEL)
    if started is None:
        return None
    result: Callable[[], tuple[bytes, tuple[int, ...]]] = functools.partial(BUILD.store_groups_result, started)
    return result


def store_groups(contents: list[str]) -> tuple[bytes, tuple[int, ...]] | None:
    """The document store's groups of ``contents`` and their sizes, as :func:`start_store_groups`
    gives them, or None."""
    result = start_store_groups(contents)
    return result() if result is not None else None


class MergedColumns(NamedTuple):
    """What a partition's merge on the kernels wrote: the term table's columns, and the sizes."""

    terms: list[str]
    columns: tuple[array[int], ...]
    """Per entry: gaps, sizes; per term: doc_freq, chunk_count; per chunk: first_doc, max_f,
    min_length; then the chunks' impacts (``array("d")``) and the entries' CRC-32s."""
    postings: int
    file_size: int
    positions_size: int | None


def documents_per_term(titles: list[str], contents: list[str], rule: Tokenizer) -> dict[str, int]:
    """Per term, how many of the documents (``titles[i]``, ``contents[i]``) hold it, the documents
    tokenised as a block's are."""
    assert BUILD is not None
    counts: dict[str, int] = BUILD.count_documents(titles, contents, MAX_TERM_LENGTH, rule.kernel_rule)
    return counts


#: Whether the kernels read stored documents and titles themselves (they inflate with zlib).
READS_STORED = BUILD is not None and hasattr(BUILD, "stored_terms")


def json_strings(payload: Buffer, wanted: Sequence[int], count: int) -> list[str] | None:
    """The strings at the ascending positions ``wanted`` of ``payload``, a JSON array of
    ``count`` strings, or None when the kernels cannot tell (read it with :mod:`json`)."""
    if not READS_STORED:
        return None
    assert BUILD is not None
    found: list[str] | None = BUILD.json_strings(payload, array("I", wanted), count)
    return found


def keys_among(payload: Buffer, wanted: list[Key], count: int) -> list[tuple[int, int]] | None:
    """The places of the elements of ``payload``, a keys file's JSON array of ``count`` keys, that
    are among ``wanted``, each with its key's index in ``wanted``, in array order; None when the
    kernels cannot tell (read it with :mod:`json`)."""
    if not READS_STORED:
        return None
    assert BUILD is not None
    found: list[tuple[int, int]] | None = BUILD.keys_among(payload, wanted, count)
    return found


def stored_documents_per_term(
    store: Buffer, spans: array[int], members: array[int], titles: list[str], rule: Tokenizer
) -> dict[str, int] | None:
    """:func:`documents_per_term` of documents read from a document store (``spans`` and
    ``members`` as :meth:`minisearch.reader.SegmentStore.spans` gives them), or None when a group
    is not one the kernels read (read those with Python, which names any damage)."""
    if not READS_STORED:
        return None
    assert BUILD is not None
    counts: dict[str, int] | None = BUILD.stored_terms(store, spans, members, titles, MAX_TERM_LENGTH,
                                                       rule.kernel_rule)
    return counts


def merges(task: PartitionTask) -> bool:
    """Whether the kernels merge ``task``: a new segment's blocks (not segments, whose deletions
    and tiers the Python merge reads), with whole-number title weights (chunks' largest ``F``
    is stored as an integer)."""
    return (
        AVAILABLE and bool(task.inputs) and not any(source.term_table for source in task.inputs)
        and type(ranking.TITLE_WEIGHT) is int
    )


def merge_blocks(
    inputs: Sequence[PartitionInput], task: PartitionTask, lengths: array[int], norms: array[float],
    head_divisor: int, postings_path: str, positions_path: str | None,
) -> MergedColumns:
    """Merge a partition of a new segment from its blocks' files (none of a segment) into
    ``postings_path`` and ``positions_path``: the bytes :func:`minisearch.merge.merge_partition`
    writes without the kernels.  Raises :class:`IndexBuildError` for a damaged input."""
    assert BUILD is not None
    # The constants are read at every call, as the Python merge reads them.
    settings = (task.first_doc, task.head_size, head_divisor, task.chunk_size, ranking.K1, ranking.TITLE_WEIGHT)
    try:
        terms, columns, postings, size, positions_size = BUILD.merge_blocks(
            list(inputs), _read_input if positions_path else _read_block, norms, lengths, settings, postings_path,
            positions_path, _zlib(INDEX_LEVEL),
        )
    except ValueError as error:
        if len(error.args) == 1 and isinstance(error.args[0], tuple):
            number, what = error.args[0]
            if number < 0:  # the inputs together
                raise IndexBuildError(f"partition {task.number}: {what}") from None
            source = inputs[number]
            raise IndexBuildError(f"{source.what} ({source.postings_path}): {what}") from None
        raise
    arrays = tuple(_array("d" if number == 7 else "I", data) for number, data in enumerate(columns))
    return MergedColumns(terms, arrays, postings, size, positions_size)


def _zlib(index_level: int) -> tuple[str, Callable[[bytes], bytes], int]:
    """How the kernels deflate a positions file's index: in process with the zlib they carry when it
    is the version this interpreter's :mod:`zlib` runs (the same bytes), else through this function."""
    return zlib.ZLIB_RUNTIME_VERSION, functools.partial(compress_index, level=index_level), index_level


def _array(typecode: str, data: bytes) -> array[int]:
    values = array(typecode)
    values.frombytes(data)
    return values


def _read_block(source: PartitionInput) -> tuple[bytes, int, bytes, bytes]:
    if source.held is not None:
        return source.held[0], source.terms, b"", b""
    try:
        with open(source.postings_path, "rb") as handle:
            return handle.read(), source.terms, b"", b""
    except OSError as error:
        raise IndexBuildError(f"{source.what} ({source.postings_path}): {error}") from error


def _read_input(source: PartitionInput) -> tuple[bytes, int, bytes, bytes]:
    block = _read_block(source)[0]
    try:
        if source.held is not None and source.held[1] is not None:
            positions = source.held[1]
        else:
            with open(source.positions_path, "rb") as handle:
                positions = handle.read()
        index, _ = index_payload(positions, source.positions_path)
    except (OSError, FormatError) as error:
        raise IndexBuildError(f"{source.what}: {error}") from error
    return block, source.terms, positions, index
