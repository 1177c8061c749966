"""Building a block on the native kernels: the per-token and per-posting work in C++.

``minisearch._kernels.build_block`` tokenises a block's ASCII texts itself (lower-cased runs of
letters and digits, runs longer than :data:`~minisearch.tokens.MAX_TERM_LENGTH` dropped: the
rule of every tokenizer on ASCII text), takes the terms of other text from the index's rule
(:meth:`~minisearch.tokens.Tokenizer.tokenize`, called back from the kernel), counts each
document's terms, places their positions and returns each partition's block file and positions
file as bytes: the bytes :func:`minisearch.blocks.build_block` writes without the kernels, which
stays the fallback and the oracle of the tests.  The positions' compressed streams are made by
:mod:`zlib` through :func:`~minisearch.positions.deflate_raw` and
:func:`~minisearch.positions.compress_index`, so both ways write the same bytes.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import NamedTuple

from .corpus import Document
from .kernels import BUILD
from .positions import compress_index, deflate_raw
from .tokens import MAX_TERM_LENGTH, Tokenizer

__all__ = ["AVAILABLE", "BlockFiles", "block_files"]

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
    documents: Sequence[Document], first_doc: int, partitions: int, positions: bool, rule: Tokenizer
) -> BlockFiles:
    """The files of a block of (checked) ``documents`` numbered from ``first_doc``."""
    assert BUILD is not None
    titles = [document[0] for document in documents]
    contents = [document[1] for document in documents]
    lengths, postings, files = BUILD.build_block(
        titles, contents, first_doc, partitions, positions, MAX_TERM_LENGTH, rule.tokenize, deflate_raw,
        compress_index,
    )
    return BlockFiles(lengths, postings, files)
