"""Verifying an index: ``python -m minisearch check INDEX``.

The checker trusts nothing but the manifest's own syntax and reports every
problem it finds, each naming the file and, where it can, the entry.  For
every segment, and every partition of it:

* every data file exists and has the size and SHA-256 digest recorded in
  the manifest, and the term tables, lengths, titles and document store parse;
* each partition's block file (read with ``quorbel.iter_block_terms``) holds
  as many entries as its header announces and as its term table lists, each
  named by its term (head) or ``term#j`` (chunk), and the postings at the
  byte range the term table gives for an entry are that entry's postings,
  whose CRC-32 is the one the term table records (in tables that keep it);
* terms ascend strictly, each is a single token of the tokeniser and lives
  in the partition its hash names, and each partition holds as many terms as
  the manifest counts;
* within each entry, document ids ascend and belong to the segment,
  frequencies are non-negative and not both zero, and the two document
  frequencies count the postings with content and with title;
* for each term, the head holds the largest impacts, the chunks follow each
  other in document order with the first document, largest ``F``, shortest
  length and largest impact that the table records, and the postings add up to the number
  of documents that the table says hold the term;
* the lengths add up to the segment's token count, and the segment's count
  of postings matches its block files.

Impacts are those of the average length that the segment's tiers were
ordered by (its ``tier_documents`` and ``tier_tokens``).
"""

from __future__ import annotations

import os
import zlib
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from operator import itemgetter
from pathlib import Path
from typing import Any

import quorbel

from . import ranking
from .corpus import Key
from .deletions import read_deletion_set
from .durability import sha256_of
from .errors import DocumentError, IndexUnusableError
from .layout import (
    FormatError,
    TermTable,
    decode_keys,
    decode_lengths,
    decode_term_table,
    decode_titles,
    read_document_store_index,
)
from .manifest import Pending, Segment, partition_roles, positions_role, read_manifest
from .pending import read_change
from .segments import check_new_documents
from .partitions import partition_of
from .positions import decode_run, read_position_index
from .ranking import average_length, length_norms, weighted_frequency
from .tokens import Tokenizer

__all__ = ["CheckReport", "check_entry", "check_index"]

#: Further problems are counted but not listed.
MAX_LISTED_PROBLEMS = 50

Posting = tuple[int, int, int]


@dataclass
class CheckReport:
    """Everything wrong with an index (nothing when ``ok``)."""

    index_dir: Path
    problems: list[str] = field(default_factory=list)
    unlisted_problems: int = 0
    entries: int = 0
    postings: int = 0

    @property
    def ok(self) -> bool:
        return not self.problems

    def add(self, problem: str) -> None:
        if len(self.problems) < MAX_LISTED_PROBLEMS:
            self.problems.append(problem)
        else:
            self.unlisted_problems += 1


def check_entry(
    doc_freq_content: int,
    doc_freq_title: int,
    postings: Sequence[Posting],
    documents: range,
    order: Callable[[Posting], Any] = itemgetter(0),
) -> list[str]:
    """Problems of one entry's postings (an empty list when they are sound); ``order`` is their sort key."""
    problems: list[str] = []
    if not postings:
        problems.append("empty posting list")
    keys = list(map(order, postings))
    for position in range(1, len(postings)):
        if keys[position - 1] >= keys[position]:
            problems.append(f"posting {position} (document {postings[position][0]}) is out of order")
            break
    outside = sorted({p[0] for p in postings if p[0] not in documents})
    if outside:
        problems.append(f"document ids outside {documents.start}..{documents.stop - 1}: {_some(outside)}")
    bad_freqs = [p[0] for p in postings if p[1] < 0 or p[2] < 0 or p[1] + p[2] == 0]
    if bad_freqs:
        problems.append(f"negative or zero frequencies for documents {_some(bad_freqs)}")
    in_content = sum(1 for p in postings if p[1] > 0)
    in_title = sum(1 for p in postings if p[2] > 0)
    if doc_freq_content != in_content:
        problems.append(f"doc_freq_content is {doc_freq_content}, but {in_content} postings have content_freq > 0")
    if doc_freq_title != in_title:
        problems.append(f"doc_freq_title is {doc_freq_title}, but {in_title} postings have title_freq > 0")
    return problems


def _some(values: list[int], shown: int = 5) -> str:
    text = ", ".join(map(str, values[:shown]))
    return text + (f" and {len(values) - shown} more" if len(values) > shown else "")


def _check_files(report: CheckReport, index_dir: Path, segment: Segment) -> None:
    """Existence, sizes and digests of a segment's data files."""
    for role, name in segment.files.items():
        path = index_dir / name
        try:
            size = path.stat().st_size
            digest = sha256_of(path)
        except OSError as error:
            report.add(f"{name}: missing or unreadable ({error.strerror})")
            continue
        if size != segment.file_sizes[role]:
            report.add(f"{name}: {size} bytes, the manifest recorded {segment.file_sizes[role]}")
        if digest != segment.file_sha256[role]:
            report.add(f"{name}: contents differ from the manifest's SHA-256 digest")


def _load[T](report: CheckReport, path: Path, parse: Callable[[bytes], T]) -> T | None:
    try:
        return parse(path.read_bytes())
    except OSError:
        return None  # already reported with the files
    except FormatError as error:
        report.add(f"{path.name}: {error}")
        return None


def _check_term(
    report: CheckReport,
    table: TermTable,
    index: int,
    entries: list[list[Posting]],
    lengths: Sequence[int],
    norms: Sequence[float],
    first_doc: int,
    rule: Tokenizer,
) -> None:
    term = table.terms[index]
    where = f"term {term!r}"
    if rule.tokenize(term) != [term]:
        report.add(f"{where}: not a single token")
    head, chunks = entries[0], entries[1:]
    total = sum(map(len, entries))
    if total != table.doc_freq[index]:
        report.add(f"{where}: {total} postings, the term table says {table.doc_freq[index]} documents")
    first = table.first_chunk[index]
    previous_last = -1
    known = all(0 <= p[0] - first_doc < len(norms) for entry in entries for p in entry)
    impact = (lambda p: ranking.impact(weighted_frequency(p[1], p[2]), norms[p[0] - first_doc])) if known else None
    lowest_head = min(map(impact, head), default=0.0) if impact else 0.0
    head_docs = {p[0] for p in head}
    for number, chunk in enumerate(chunks):
        if not chunk:
            continue
        frequencies = [weighted_frequency(p[1], p[2]) for p in chunk]
        recorded = (table.chunk_first_doc[first + number], table.chunk_max_f[first + number])
        if recorded != (chunk[0][0], max(frequencies)):
            report.add(f"{where}: chunk {number + 1} starts at {chunk[0][0]} with largest F {max(frequencies)}, "
                       f"the term table records {recorded}")
        shortest = min(lengths[p[0] - first_doc] for p in chunk if 0 <= p[0] - first_doc < len(lengths)) if lengths else 0
        if lengths and shortest != table.chunk_min_length[first + number]:
            report.add(f"{where}: chunk {number + 1} has shortest length {shortest}, "
                       f"the term table records {table.chunk_min_length[first + number]}")
        if chunk[0][0] <= previous_last:
            report.add(f"{where}: chunk {number + 1} overlaps the chunk before it")
        if impact is not None:
            highest = max(map(impact, chunk))
            if highest != table.chunk_impact[first + number]:
                report.add(f"{where}: chunk {number + 1} has largest impact {highest}, "
                           f"the term table records {table.chunk_impact[first + number]}")
            if highest > lowest_head:
                report.add(f"{where}: chunk {number + 1} holds an impact of {highest}, above the head's {lowest_head}")
        if head_docs.intersection(p[0] for p in chunk):
            report.add(f"{where}: chunk {number + 1} repeats documents of the head")
        previous_last = chunk[-1][0]


def _check_partition(
    report: CheckReport, index_dir: Path, segment: Segment, number: int, lengths: Sequence[int] | None, rule: Tokenizer
) -> None:
    """One partition of a segment: its term table, then its block file against the table."""
    postings_role, terms_role = partition_roles(number)
    table = _load(report, index_dir / segment.files[terms_role], decode_term_table)
    if table is None:
        return
    if len(table.terms) != segment.partition_terms[number]:
        report.add(f"manifest: {segment.partition_terms[number]} terms in partition {number} of segment "
                   f"{segment.name}, its term table holds {len(table.terms)}")
    partitions = len(segment.partition_terms)
    strays = [term for term in table.terms if partition_of(term, partitions) != number]
    if strays:
        report.add(f"{segment.files[terms_role]}: terms of other partitions: {', '.join(map(repr, strays[:5]))}")
    documents = range(segment.first_doc, segment.first_doc + segment.documents)
    norms = length_norms(lengths or [], average_length(segment.tier_tokens, segment.tier_documents))
    _check_postings(report, index_dir / segment.files[postings_role], table, documents, lengths or [], norms, rule)
    role = positions_role(number)
    if role in segment.files:
        _check_positions(report, index_dir / segment.files[role], index_dir / segment.files[postings_role], table)


def _check_positions(report: CheckReport, path: Path, postings_path: Path, table: TermTable) -> None:
    """Every term's positions: one per occurrence its postings count, in each field, ascending."""
    index = _load(report, path, lambda data: read_position_index(data, path.name))
    if index is None:
        return
    if index.terms != len(table.terms):
        report.add(f"{path.name}: positions of {index.terms} terms, the term table lists {len(table.terms)}")
        return
    try:
        by_term: dict[str, list[Posting]] = {}
        for name, _, _, postings in quorbel.iter_block_terms(str(postings_path)):
            by_term.setdefault(name.partition("#")[0], []).extend(postings)
    except (OSError, ValueError):
        return  # the block file's own check reports it
    data = path.read_bytes()
    for number, term in enumerate(table.terms):
        postings = sorted(by_term.get(term, []))
        if index.postings(number) != len(postings):
            report.add(f"{path.name}: {term!r}: positions of {index.postings(number)} postings, it has {len(postings)}")
            continue
        start = 0
        for count, run in index.runs(data, number):
            mine = postings[start : start + count]
            start += count
            try:
                decoded = decode_run(run, [(title, content) for _, content, title in mine], path.name)
            except FormatError as error:
                report.add(f"{term!r}: {error}")
                break
            if any(list(field) != sorted(set(field)) for where in decoded for field in where):
                report.add(f"{path.name}: {term!r}: positions out of order")
                break


def _check_postings(report: CheckReport, path: Path, table: TermTable, documents: range,
                    lengths: Sequence[int], norms: Sequence[float], rule: Tokenizer) -> None:
    name = path.name
    try:
        num_terms, file_size = quorbel.get_block_stats(str(path))
        entries = quorbel.iter_block_terms(str(path))
        data = path.read_bytes()
    except (OSError, ValueError) as error:
        report.add(f"{name}: cannot be read: {error}")
        return
    report.entries += len(entries)
    if not (num_terms == len(entries) == table.entries):
        report.add(f"{name}: the header announces {num_terms} entries, the file holds {len(entries)}, "
                   f"the term table lists {table.entries}")
        return
    if (table.ends[-1] if table.ends else 8) != file_size:
        report.add(f"{name}: the term table ends at byte {table.ends[-1] if table.ends else 8}, the file at {file_size}")
    previous = None
    for index, term in enumerate(table.terms):
        if previous is not None and term <= previous:
            report.add(f"term table: {term!r} does not come after {previous!r}")
        previous = term
        head = table.heads[index]
        lists = []
        for entry in range(head, head + 1 + table.chunk_count[index]):
            entry_name, doc_freq_content, doc_freq_title, postings = entries[entry]
            expected_name = table.entry_name(entry, index)
            where = f"{name}: entry {entry} {entry_name!r}"
            if entry_name != expected_name:
                report.add(f"{where}: the term table expects {expected_name!r}")
            order = _impact_order(norms, documents.start) if entry == head and table.chunk_count[index] else itemgetter(0)
            for problem in check_entry(doc_freq_content, doc_freq_title, postings, documents, order):
                report.add(f"{where}: {problem}")
            postings_bytes = data[table.starts[entry] : table.ends[entry]]
            if table.crcs is not None and zlib.crc32(postings_bytes) != table.crcs[entry]:
                report.add(f"{where}: the CRC-32 of its postings is {zlib.crc32(postings_bytes):#010x}, "
                           f"the term table records {table.crcs[entry]:#010x}")
            try:
                at_offset = quorbel.decode_posting_list(postings_bytes)
            except ValueError:
                at_offset = None
            if at_offset != postings:
                report.add(f"{where}: the term table's byte range {table.starts[entry]}..{table.ends[entry]} "
                           "does not hold its postings")
            report.postings += len(postings)
            lists.append(postings)
        _check_term(report, table, index, lists, lengths, norms, documents.start, rule)


def _impact_order(norms: Sequence[float], first_doc: int) -> Callable[[Posting], tuple[float, int]]:
    """The order of a head: impact descending, then document id."""

    def key(posting: Posting) -> tuple[float, int]:
        doc = posting[0] - first_doc
        impact = ranking.impact(weighted_frequency(posting[1], posting[2]), norms[doc]) if 0 <= doc < len(norms) else 0.0
        return (-impact, posting[0])

    return key


def check_index(index_dir: str | os.PathLike[str]) -> CheckReport:
    """Verify the index in ``index_dir``; the report lists every problem found."""
    directory = Path(index_dir)
    report = CheckReport(directory)
    try:
        manifest = read_manifest(directory)
    except IndexUnusableError as error:
        report.add(str(error))
        return report
    keys: dict[Key, int] = {}
    for segment in manifest.segments:
        _check_segment(report, directory, segment, manifest.tokenizer_rule)
        _check_keys(report, directory, segment, keys)
    for pending in manifest.pending:
        _check_pending(report, directory, pending, manifest.end_doc)
    return report


def _check_pending(report: CheckReport, directory: Path, pending: Pending, first_doc: int) -> None:
    """A pending change: its digest, its form, and documents a reader can index."""
    try:
        change = read_change(directory, pending)
        check_new_documents(change.documents, first_doc)
    except IndexUnusableError as error:
        report.add(str(error))
    except DocumentError as error:
        report.add(f"{pending.file}: {error}")


def _check_keys(report: CheckReport, directory: Path, segment: Segment, seen: dict[Key, int]) -> None:
    """The segment's deletion set, and its live documents' keys, none of which an earlier live
    document has."""
    try:
        deleted = frozenset(read_deletion_set(directory, segment).docs)
    except IndexUnusableError as error:
        report.add(str(error))
        deleted = frozenset()
    if not segment.has_keys:
        return
    name = segment.files["keys"]
    keys = _load(report, directory / name, lambda data: decode_keys(data, segment.documents, name))
    for doc, key in enumerate(keys or [], segment.first_doc):
        if key is None or doc in deleted:
            continue
        if key in seen:
            report.add(f"{name}: key {key!r} of document {doc} is the key of document {seen[key]} too")
        seen[key] = doc


def _check_segment(report: CheckReport, directory: Path, segment: Segment, rule: Tokenizer) -> None:
    _check_files(report, directory, segment)
    files = segment.files
    documents = segment.documents
    _load(report, directory / files["titles"], lambda data: decode_titles(data, documents, files["titles"]))
    lengths = _load(report, directory / files["lengths"], lambda data: decode_lengths(data, documents, files["lengths"]))
    if lengths is not None and sum(lengths) != segment.total_tokens:
        report.add(f"{files['lengths']}: {sum(lengths)} tokens, the manifest records {segment.total_tokens}")
    if "docs" in files:
        _load(report, directory / files["docs"], lambda data: read_document_store_index(data, files["docs"]))
    postings_before = report.postings
    for number in range(len(segment.partition_terms)):
        _check_partition(report, directory, segment, number, lengths, rule)
    if report.postings - postings_before != segment.postings:
        report.add(f"manifest: segment {segment.name} has {segment.postings} postings, "
                   f"its block files hold {report.postings - postings_before}")
