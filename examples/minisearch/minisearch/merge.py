"""Merging blocks into the final files of an index.

Every block file is read back with ``quorbel.iter_block_terms`` (its entry
count checked against ``quorbel.get_block_stats``).  Blocks cover
consecutive documents, so a term's lists from all blocks, taken in block
order, are its whole list in document order.  A list longer than the head
size is split into impact tiers: the ``head_size`` postings (or a sixteenth of
the list, if more) with the largest
impact ``F * (K1 + 1) / (F + norm)`` (the term's BM25 score without its idf)
become the head, in that order; the rest stays in document order and is cut into chunks,
each with its largest impact, its largest ``F`` and its shortest document
length (the bounds that let a search skip it).  All entries are written by one
``quorbel.write_binary_block`` call, and the term table records where each
entry's postings start (see :mod:`minisearch.layout`).
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
import heapq
from itertools import chain, repeat
from operator import itemgetter
from pathlib import Path

import quorbel

from .blocks import BlockInfo, doc_freqs
from .layout import encode_term_table, entry_header_size
from .progress import progress
from .ranking import K1, TITLE_WEIGHT

__all__ = ["DEFAULT_CHUNK_SIZE", "DEFAULT_HEAD_SIZE", "BlockMerger", "IndexBuildError", "MergedIndex", "write_postings"]

#: Postings in a term's head: a top-k search on a common term usually reads only these.
DEFAULT_HEAD_SIZE = 128
#: A long list's head holds at least 1/HEAD_DIVISOR of its postings.  The impacts of a common
#: word's postings depend mostly on document length; a head this deep holds enough documents that
#: rank high for every word of a query to bound what its chunks could add.
HEAD_DIVISOR = 16
#: Postings per tail chunk.
DEFAULT_CHUNK_SIZE = 256

Posting = tuple[int, int, int]
_PROGRESS_STEP = 4096
# Fields of a block entry: (term, doc_freq_content, doc_freq_title, postings).
_doc_freq_content = itemgetter(1)
_doc_freq_title = itemgetter(2)
_postings = itemgetter(3)


class IndexBuildError(Exception):
    """A build failed; the index directory keeps its previous index, if any."""


@dataclass
class MergedIndex:
    """The merged entries, ready for ``write_binary_block``, and the term table's arrays."""

    names: list[str] = field(default_factory=list)
    doc_freqs: list[tuple[int, int]] = field(default_factory=list)
    postings: list[list[Posting]] = field(default_factory=list)
    gaps: list[int] = field(default_factory=list)
    sizes: list[int] = field(default_factory=list)
    terms: list[str] = field(default_factory=list)
    holding: list[int] = field(default_factory=list)
    chunk_count: list[int] = field(default_factory=list)
    chunk_first_doc: list[int] = field(default_factory=list)
    chunk_max_f: list[int] = field(default_factory=list)
    chunk_min_length: list[int] = field(default_factory=list)
    chunk_impact: list[float] = field(default_factory=list)
    total_postings: int = 0
    end_offset: int = 8

    def add_entry(self, name: str, postings: list[Posting], frequencies: tuple[int, int] | None = None) -> None:
        """Add an entry; its document frequencies are counted unless given."""
        self.names.append(name)
        self.doc_freqs.append(doc_freqs(postings) if frequencies is None else frequencies)
        self.postings.append(postings)

    def lay_out(self) -> None:
        """Compute every entry's byte size and header in bulk, once all entries are in."""
        self.sizes = list(map(len, map(quorbel.encode_posting_list, self.postings, repeat(True))))
        name_bytes = map(len, map(str.encode, self.names))
        content = [frequencies[0] for frequencies in self.doc_freqs]
        title = [frequencies[1] for frequencies in self.doc_freqs]
        self.gaps = list(map(entry_header_size, name_bytes, content, title, self.sizes))
        self.end_offset = 8 + sum(self.gaps) + sum(self.sizes)

    def term_table(self) -> bytes:
        return encode_term_table(
            self.terms,
            self.gaps,
            self.sizes,
            self.holding,
            self.chunk_count,
            self.chunk_first_doc,
            self.chunk_max_f,
            self.chunk_min_length,
            self.chunk_impact,
        )


def read_block(block: BlockInfo) -> list[tuple[str, int, int, list[Posting]]]:
    """Read one block file back; raises :class:`IndexBuildError` for a short or disordered one."""
    entries = quorbel.iter_block_terms(block.path)
    num_terms, _ = quorbel.get_block_stats(block.path)
    # iter_block_terms stops quietly at a cut between two entries: count them.
    if len(entries) != num_terms or num_terms != block.terms:
        raise IndexBuildError(
            f"block {block.number} ({block.path}): header announces {num_terms} terms, "
            f"the file holds {len(entries)}, the worker wrote {block.terms}"
        )
    return entries


class BlockMerger:
    """Collects the blocks' lists term by term, then splits each term into tiers."""

    def __init__(self) -> None:
        # Per term, the entry of each block holding it, in block order.
        self.parts: dict[str, list[tuple[str, int, int, list[Posting]]]] = {}
        self.blocks = 0

    def add(self, block: BlockInfo) -> None:
        """Read the next block in document order."""
        if block.number != self.blocks:
            raise IndexBuildError(f"block {block.number} arrived in place of block {self.blocks}")
        parts = self.parts
        for entry in read_block(block):
            lists = parts.get(entry[0])
            if lists is None:
                parts[entry[0]] = [entry]
            else:
                lists.append(entry)
        self.blocks += 1

    def finish(
        self,
        lengths: Sequence[int],
        norms: Sequence[float],
        head_size: int,
        chunk_size: int,
        show_progress: bool = False,
    ) -> MergedIndex:
        """The entries of the final block file, every block having been added."""
        merged = MergedIndex()
        terms = sorted(self.parts)
        with progress("merging", total=len(terms), unit="terms", enabled=show_progress) as bar:
            for start in range(0, len(terms), _PROGRESS_STEP):
                for term in terms[start : start + _PROGRESS_STEP]:
                    _add_term(merged, term, self.parts.pop(term), lengths, norms, head_size, chunk_size)
                bar.update(min(_PROGRESS_STEP, len(terms) - start))
        merged.lay_out()
        return merged


def _add_term(
    merged: MergedIndex,
    term: str,
    parts: list[tuple[str, int, int, list[Posting]]],
    lengths: Sequence[int],
    norms: Sequence[float],
    head_size: int,
    chunk_size: int,
) -> None:
    """Add a term from its blocks' entries: one entry if short, else a head and chunks."""
    if len(parts) == 1:
        _, content, title, full = parts[0]
    else:
        full = list(chain.from_iterable(map(_postings, parts)))
        content, title = sum(map(_doc_freq_content, parts)), sum(map(_doc_freq_title, parts))
    merged.terms.append(term)
    merged.holding.append(len(full))
    merged.total_postings += len(full)
    if len(full) <= head_size:
        merged.add_entry(term, full, (content, title))
        merged.chunk_count.append(0)
        return
    frequencies = [content + TITLE_WEIGHT * title for _, content, title in full]
    impacts = impacts_of(frequencies, [norms[posting[0]] for posting in full])
    # Largest impact first, ties in document order (nlargest is stable), so that a one-word
    # query reads its top k off the front of the head.
    in_head = heapq.nlargest(max(head_size, len(full) // HEAD_DIVISOR), range(len(full)), key=impacts.__getitem__)
    merged.add_entry(term, [full[position] for position in in_head])
    taken = set(in_head)
    rest = [position for position in range(len(full)) if position not in taken]
    for number, start in enumerate(range(0, len(rest), chunk_size), start=1):
        positions = rest[start : start + chunk_size]
        chunk = [full[position] for position in positions]
        merged.add_entry(f"{term}#{number}", chunk)
        merged.chunk_first_doc.append(chunk[0][0])
        merged.chunk_max_f.append(max([frequencies[position] for position in positions]))
        merged.chunk_min_length.append(min([lengths[posting[0]] for posting in chunk]))
        merged.chunk_impact.append(max([impacts[position] for position in positions]))
    merged.chunk_count.append(len(rest) // chunk_size + (len(rest) % chunk_size > 0))


def impacts_of(frequencies: Sequence[int], norms: Sequence[float]) -> list[float]:
    """``F * (K1 + 1) / (F + norm)`` of each posting: its score for a term of idf 1."""
    k1_plus_1 = K1 + 1.0
    return [(frequency * k1_plus_1) / (frequency + norm) for frequency, norm in zip(frequencies, norms)]


def write_postings(merged: MergedIndex, path: Path) -> int:
    """Write the merged entries (laid out) as one block file; returns its size."""
    quorbel.write_binary_block(merged.names, merged.doc_freqs, merged.postings, str(path))
    num_terms, file_size = quorbel.get_block_stats(str(path))
    if num_terms != len(merged.names) or file_size != merged.end_offset:
        raise IndexBuildError(
            f"final block {path}: {num_terms} entries in {file_size} bytes, "
            f"expected {len(merged.names)} entries in {merged.end_offset} bytes"
        )
    return file_size
