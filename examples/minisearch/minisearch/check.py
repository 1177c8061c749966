"""Verifying an index: ``python -m minisearch check INDEX``.

The checker trusts nothing but the manifest's own syntax and reports every
problem it finds, each naming the file and, where it can, the entry:

* every data file exists and has the size and SHA-256 digest recorded in
  the manifest;
* the block file's header count equals the number of entries found by
  walking it with ``quorbel.read_term_at_offset`` from offset 8, and the
  last entry ends exactly at the end of the file;
* terms ascend strictly and each is a single token of the tokeniser;
* within each posting list, document ids are unique and belong to the
  index, frequencies are non-negative and not both zero, and the postings
  are in merge order;
* each entry's two document frequencies equal the numbers of its postings
  with a non-zero content and title frequency;
* the offset table lists exactly the block's terms at exactly their offsets;
* the titles file holds one title per document, and the manifest's counts
  of terms and postings match the block.
"""

from __future__ import annotations

import os
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path

import quorbel

from .store import (
    IndexUnusableError,
    Manifest,
    read_manifest,
    read_offset_table,
    read_titles,
    sha256_of,
)
from .tokens import tokenize

__all__ = ["CheckReport", "check_entry", "check_index", "merge_order_key"]

_FIRST_ENTRY = 8
#: Further problems are counted but not listed.
MAX_LISTED_PROBLEMS = 50

Posting = tuple[int, int, int]


def merge_order_key(posting: Posting) -> tuple[int, int, int, int]:
    """Sort key of the merge order: score, content and title frequency descending, doc id ascending."""
    doc_id, content_freq, title_freq = posting
    return (-(content_freq + 4 * title_freq), -content_freq, -title_freq, doc_id)


@dataclass
class CheckReport:
    """The outcome of :func:`check_index`."""

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


def check_entry(term: str, doc_freq_content: int, doc_freq_title: int, postings: list[Posting], documents: int) -> list[str]:
    """Problems of one merged entry (an empty list when it is sound)."""
    problems: list[str] = []
    if tokenize(term) != [term]:
        problems.append("the term is not a single token")
    if not postings:
        problems.append("empty posting list")
    repeated = sorted(doc_id for doc_id, count in Counter(p[0] for p in postings).items() if count > 1)
    if repeated:
        problems.append(f"document ids repeated: {_some(repeated)}")
    outside = sorted({p[0] for p in postings if not 0 <= p[0] < documents})
    if outside:
        problems.append(f"document ids outside 0..{documents - 1}: {_some(outside)}")
    bad_freqs = [p[0] for p in postings if p[1] < 0 or p[2] < 0 or p[1] + p[2] == 0]
    if bad_freqs:
        problems.append(f"negative or zero frequencies for documents {_some(bad_freqs)}")
    for position in range(1, len(postings)):
        if merge_order_key(postings[position - 1]) >= merge_order_key(postings[position]):
            problems.append(f"posting {position} (document {postings[position][0]}) is out of merge order")
            break
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


def _check_files(report: CheckReport, index_dir: Path, manifest: Manifest) -> None:
    """Existence, sizes and digests of the data files."""
    for role, name in manifest.files.items():
        path = index_dir / name
        try:
            size = path.stat().st_size
        except OSError as error:
            report.add(f"{name}: missing or unreadable ({error.strerror})")
            continue
        if size != manifest.file_sizes[role]:
            report.add(f"{name}: {size} bytes, the manifest recorded {manifest.file_sizes[role]}")
        try:
            digest = sha256_of(path)
        except OSError as error:
            report.add(f"{name}: unreadable ({error.strerror})")
            continue
        if digest != manifest.file_sha256[role]:
            report.add(f"{name}: contents differ from the manifest's SHA-256 digest")


def _walk_block(report: CheckReport, path: Path, documents: int) -> list[tuple[str, int]] | None:
    """Walk and check the block file; returns its (term, offset) list, or None if unreadable."""
    name = path.name
    try:
        num_terms, file_size = quorbel.get_block_stats(str(path))
    except OSError as error:
        report.add(f"{name}: cannot read the header ({error})")
        return None
    walked: list[tuple[str, int]] = []
    offset = _FIRST_ENTRY
    previous: str | None = None
    readable = True
    while True:
        try:
            entry = quorbel.read_term_at_offset(str(path), offset)
        except (OSError, ValueError) as error:
            report.add(f"{name}: entry {len(walked)} at offset {offset} cannot be read: {error}")
            readable = False
            break
        if entry is None:
            break
        term, doc_freq_content, doc_freq_title, postings, next_offset = entry
        where = f"{name}: entry {len(walked)} {term!r} at offset {offset}"
        if previous is not None and term <= previous:
            report.add(f"{where}: not after the previous term {previous!r}")
        for problem in check_entry(term, doc_freq_content, doc_freq_title, postings, documents):
            report.add(f"{where}: {problem}")
        walked.append((term, offset))
        report.postings += len(postings)
        previous = term
        offset = next_offset
    report.entries = len(walked)
    if readable and offset != file_size:
        report.add(f"{name}: {file_size - offset} stray bytes after the last entry, which ends at {offset}")
    if num_terms != len(walked):
        found = "holds" if readable else "has readable"
        report.add(f"{name}: the header announces {num_terms} entries, the file {found} {len(walked)}")
    return walked if readable else None


def _check_offsets(report: CheckReport, path: Path, walked: list[tuple[str, int]] | None) -> None:
    name = path.name
    try:
        table = read_offset_table(path)
    except IndexUnusableError as error:
        report.add(str(error))
        return
    if walked is None:
        return
    if len(table) != len(walked):
        report.add(f"{name}: {len(table)} entries, the block file {len(walked)}")
    mismatches = [(i, got, want) for i, (got, want) in enumerate(zip(table, walked)) if got != want]
    for i, (term, offset), (block_term, block_offset) in mismatches[:5]:
        report.add(f"{name}: entry {i} maps {term!r} to {offset}, the block holds {block_term!r} at {block_offset}")
    if len(mismatches) > 5:
        report.add(f"{name}: {len(mismatches) - 5} more entries disagree with the block file")


def check_index(index_dir: str | os.PathLike[str]) -> CheckReport:
    """Verify the index in ``index_dir``; the report lists every problem found."""
    directory = Path(index_dir)
    report = CheckReport(directory)
    try:
        manifest = read_manifest(directory)
    except IndexUnusableError as error:
        report.add(str(error))
        return report
    _check_files(report, directory, manifest)
    files = manifest.files
    if (directory / files["titles"]).exists():
        try:
            read_titles(directory / files["titles"], manifest.documents)
        except IndexUnusableError as error:
            report.add(str(error))
    walked = None
    if (directory / files["block"]).exists():
        walked = _walk_block(report, directory / files["block"], manifest.documents)
        if walked is not None:
            if len(walked) != manifest.terms:
                report.add(f"manifest: {manifest.terms} terms, the block file holds {len(walked)}")
            if report.postings != manifest.postings:
                report.add(f"manifest: {manifest.postings} postings, the block file holds {report.postings}")
    if (directory / files["offsets"]).exists():
        _check_offsets(report, directory / files["offsets"], walked)
    return report
