"""Building an index: blocks in parallel, then one merge into the final block.

Phases (each timed in the :class:`BuildReport`):

``index``
    The documents are read from their source in the main process, numbered
    from 0 (the document id) and cut into blocks of ``block_size``
    documents.  Each block is handed to an executor, which runs
    :func:`build_block`: it tokenises the block's documents, counts every
    term's occurrences in the content and in the title, and writes a block
    file with ``quorbel.write_binary_block`` (terms sorted, each term's
    postings in document-id order).
``merge``
    Every block file is read back with ``quorbel.iter_block_terms`` (its
    entry count checked against ``quorbel.get_block_stats``) and each
    block's posting list re-encoded with ``quorbel.encode_posting_list(...,
    assume_sorted=True)``.  The blocks' sorted term lists are merged; for
    every term, ``quorbel.merge_posting_lists`` pools the term's lists from
    all blocks into merge order (``content_freq + 4 * title_freq``
    descending, then ``content_freq``, ``title_freq`` descending, then
    document id ascending), and the document frequencies are summed.
``write``
    One final block file is written with ``quorbel.write_binary_block``;
    the byte offset of every entry is computed on the way, so that the
    term-to-offset table (see :mod:`minisearch.store`) needs no second
    pass.  The titles and the table are written and fsynced.
``commit``
    The files are renamed into place and the manifest is replaced last.

Any ``concurrent.futures.Executor`` can run the blocks: a
``ProcessPoolExecutor`` (the default), a ``ThreadPoolExecutor``, or the
executor interface of a cluster client, such as the object returned by a
Dask distributed ``Client.get_executor()`` or an ``Executor`` adapter for a
Ray cluster; its ``submit`` must return ``concurrent.futures.Future``
objects.  With a remote executor the
workers must be able to import ``minisearch`` and ``quorbel``, and the
index directory must be on storage that they share with this process,
since each worker writes its block file there.
"""

from __future__ import annotations

import concurrent.futures
import heapq
import itertools
import os
import shutil
import time
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import Executor, Future, ProcessPoolExecutor
from dataclasses import dataclass, field
from operator import itemgetter
from pathlib import Path

import quorbel

from .corpus import Document
from .progress import progress
from .store import (
    BUILD_PREFIX,
    MANIFEST_NAME,
    IndexUnusableError,
    Manifest,
    build_lock,
    data_file_names,
    fsync_directory,
    fsync_file,
    is_own_entry,
    new_generation,
    read_manifest,
    remove_stale_files,
    sha256_of,
    write_json,
    write_offset_table,
)
from .tokens import TOKEN_PATTERN, count_terms

__all__ = [
    "DEFAULT_BLOCK_SIZE",
    "MAX_DOCUMENTS",
    "BlockInfo",
    "BuildReport",
    "IndexBuildError",
    "InlineExecutor",
    "build_block",
    "build_index",
    "merge_blocks",
]

DEFAULT_BLOCK_SIZE = 1000
#: Document ids are signed 32-bit integers in the posting lists.
MAX_DOCUMENTS = 2**31 - 1
_HEADER_BYTES = 8

Posting = tuple[int, int, int]


class IndexBuildError(Exception):
    """A build failed; the index directory keeps its previous index, if any."""


@dataclass(frozen=True)
class BlockInfo:
    """What a worker reports about the block file it wrote."""

    number: int
    path: str
    first_doc_id: int
    documents: int
    terms: int
    postings: int
    file_size: int


@dataclass
class BuildReport:
    """Figures of one build, for the summary."""

    index_dir: Path
    manifest: Manifest
    blocks: int
    block_bytes: int
    offsets_bytes: int
    titles_bytes: int
    phase_seconds: dict[str, float] = field(default_factory=dict)

    @property
    def documents(self) -> int:
        return self.manifest.documents

    @property
    def terms(self) -> int:
        return self.manifest.terms

    @property
    def postings(self) -> int:
        return self.manifest.postings

    @property
    def total_seconds(self) -> float:
        return sum(self.phase_seconds.values())

    @property
    def docs_per_second(self) -> float:
        total = self.total_seconds
        return self.documents / total if total > 0 else 0.0


# --------------------------------------------------------------------------
# Phase 1: one block


def build_block(number: int, path: str, first_doc_id: int, documents: Sequence[Document]) -> BlockInfo:
    """Tokenise ``documents`` and write them as one block file at ``path``.

    Document ``i`` of the sequence gets the id ``first_doc_id + i``.  The
    block's terms are sorted; each term's posting list holds one
    ``(doc_id, content_freq, title_freq)`` posting per document that
    contains the term, in document-id order; its document frequencies are
    the numbers of those postings with a non-zero ``content_freq`` and
    ``title_freq``.  Runs in a worker: module-level and picklable.
    """
    lists: dict[str, list[Posting]] = {}
    for doc_id, document in enumerate(documents, start=first_doc_id):
        content = count_terms(document.content)
        title = count_terms(document.title)
        for term in content.keys() | title.keys():
            posting = (doc_id, content.get(term, 0), title.get(term, 0))
            postings = lists.get(term)
            if postings is None:
                lists[term] = [posting]
            else:
                postings.append(posting)
    terms = sorted(lists)
    posting_lists = [lists[term] for term in terms]
    doc_freqs = [
        (sum(1 for p in postings if p[1]), sum(1 for p in postings if p[2])) for postings in posting_lists
    ]
    quorbel.write_binary_block(terms, doc_freqs, posting_lists, path)
    num_terms, file_size = quorbel.get_block_stats(path)
    return BlockInfo(
        number=number,
        path=path,
        first_doc_id=first_doc_id,
        documents=len(documents),
        terms=num_terms,
        postings=sum(map(len, posting_lists)),
        file_size=file_size,
    )


# --------------------------------------------------------------------------
# Phase 2 and 3: merge and final write


@dataclass
class MergedIndex:
    """The merged term dictionary, ready for ``write_binary_block``."""

    terms: list[str] = field(default_factory=list)
    doc_freqs: list[tuple[int, int]] = field(default_factory=list)
    postings: list[list[Posting]] = field(default_factory=list)
    offsets: list[int] = field(default_factory=list)
    end_offset: int = _HEADER_BYTES
    total_postings: int = 0


_BlockEntry = tuple[str, int, int, bytes]


def _read_block(block: BlockInfo) -> list[_BlockEntry]:
    """Read one block file back, with its posting lists encoded."""
    entries = quorbel.iter_block_terms(block.path)
    num_terms, _ = quorbel.get_block_stats(block.path)
    # iter_block_terms stops quietly at a cut between two entries: count them.
    if len(entries) != num_terms or num_terms != block.terms:
        raise IndexBuildError(
            f"block {block.number} ({block.path}): header announces {num_terms} terms, "
            f"the file holds {len(entries)}, the worker wrote {block.terms}"
        )
    encoded: list[_BlockEntry] = []
    previous: str | None = None
    for term, dfc, dft, postings in entries:
        if previous is not None and term <= previous:
            raise IndexBuildError(f"block {block.number}: terms out of order at {term!r}")
        previous = term
        encoded.append((term, dfc, dft, quorbel.encode_posting_list(postings, assume_sorted=True)))
    return encoded


def merge_blocks(blocks: Sequence[BlockInfo], show_progress: bool = False) -> MergedIndex:
    """Merge the blocks' term dictionaries and posting lists (the merge phase)."""
    streams = [_read_block(block) for block in blocks]
    merged = MergedIndex()
    total_entries = sum(len(stream) for stream in streams)
    with progress("merging", total=total_entries, unit="entries", enabled=show_progress) as bar:
        for term, group in itertools.groupby(heapq.merge(*streams, key=itemgetter(0)), key=itemgetter(0)):
            parts = list(group)
            merged_bytes = quorbel.merge_posting_lists([part[3] for part in parts])
            postings = quorbel.decode_posting_list(merged_bytes)
            doc_freqs = (sum(part[1] for part in parts), sum(part[2] for part in parts))
            merged.terms.append(term)
            merged.doc_freqs.append(doc_freqs)
            merged.postings.append(postings)
            merged.offsets.append(merged.end_offset)
            merged.end_offset += _entry_size(term, doc_freqs, len(merged_bytes))
            merged.total_postings += len(postings)
            bar.update(len(parts))
    return merged


def _entry_size(term: str, doc_freqs: tuple[int, int], posting_bytes: int) -> int:
    """Bytes that ``write_binary_block`` spends on one entry."""
    return (
        4
        + len(term.encode("utf-8"))
        + len(quorbel.encode_varint(doc_freqs[0]))
        + len(quorbel.encode_varint(doc_freqs[1]))
        + len(quorbel.encode_varint(posting_bytes))
        + posting_bytes
    )


def _write_final_block(merged: MergedIndex, path: Path) -> int:
    """Write the merged index as one block file; returns its size."""
    quorbel.write_binary_block(merged.terms, merged.doc_freqs, merged.postings, str(path))
    num_terms, file_size = quorbel.get_block_stats(str(path))
    if num_terms != len(merged.terms) or file_size != merged.end_offset:
        raise IndexBuildError(
            f"final block {path}: {num_terms} terms in {file_size} bytes, "
            f"expected {len(merged.terms)} terms in {merged.end_offset} bytes"
        )
    fsync_file(path)
    return file_size


# --------------------------------------------------------------------------
# The whole build


def _check_target(index_dir: Path) -> None:
    foreign = sorted(entry.name for entry in index_dir.iterdir() if not is_own_entry(entry.name))
    if foreign:
        shown = ", ".join(foreign[:3]) + (", ..." if len(foreign) > 3 else "")
        raise IndexUnusableError(
            f"{index_dir} is not empty and is not an index directory (holds {shown}); "
            "choose an empty or new directory"
        )


def _previous_files(index_dir: Path) -> list[str]:
    if not (index_dir / MANIFEST_NAME).exists():
        return []
    try:
        return list(read_manifest(index_dir).files.values())
    except IndexUnusableError:
        return []  # a damaged previous index is simply replaced


def build_index(
    documents: Iterable[Document],
    index_dir: str | os.PathLike[str],
    *,
    block_size: int = DEFAULT_BLOCK_SIZE,
    executor: Executor | None = None,
    workers: int | None = None,
    max_pending: int | None = None,
    show_progress: bool = True,
    expected_documents: int | None = None,
    source: str = "",
) -> BuildReport:
    """Index ``documents`` into ``index_dir`` and return the build's figures.

    ``executor`` runs :func:`build_block` for each block; without one, a
    ``ProcessPoolExecutor`` with ``workers`` processes (default: one per
    CPU) is created for the build and shut down after it.  At most
    ``max_pending`` blocks (default: twice the worker count, at least 2)
    are in flight at once, so that a large source is not read into memory
    ahead of the workers.  ``expected_documents``, when known, is the total
    of the progress bar.  ``source`` is recorded in the manifest.

    The previous index in ``index_dir``, if any, stays readable until the
    new one is complete and replaces it; on any failure (an exception, or
    Ctrl-C) the directory keeps the previous index and no new files.
    Raises :class:`IndexBuildError` or :class:`IndexUnusableError`, or the
    worker's own exception.
    """
    if block_size < 1:
        raise ValueError("block_size must be at least 1")
    if max_pending is not None and max_pending < 1:
        raise ValueError("max_pending must be at least 1")
    target = Path(index_dir)
    target.mkdir(parents=True, exist_ok=True)
    _check_target(target)
    with build_lock(target):
        previous_files = _previous_files(target)
        remove_stale_files(target, keep=previous_files)
        generation = new_generation()
        work = target / f"{BUILD_PREFIX}{generation}"
        (work / "blocks").mkdir(parents=True)
        names = data_file_names(generation)
        committed = False
        try:
            phases: dict[str, float] = {}
            started = time.perf_counter()
            titles, blocks = _index_blocks(
                documents, work, block_size, executor, workers, max_pending, show_progress, expected_documents
            )
            phases["index"] = time.perf_counter() - started

            started = time.perf_counter()
            merged = merge_blocks(blocks, show_progress=show_progress)
            phases["merge"] = time.perf_counter() - started

            started = time.perf_counter()
            block_bytes = _write_final_block(merged, work / names["block"])
            write_offset_table(work / names["offsets"], zip(merged.terms, merged.offsets))
            write_json(work / names["titles"], titles)
            sizes = {role: (work / name).stat().st_size for role, name in names.items()}
            digests = {role: sha256_of(work / name) for role, name in names.items()}
            phases["write"] = time.perf_counter() - started
            manifest = Manifest(
                generation=generation,
                documents=len(titles),
                terms=len(merged.terms),
                postings=merged.total_postings,
                files=names,
                file_sizes=sizes,
                file_sha256=digests,
                block_size=block_size,
                tokenizer=TOKEN_PATTERN,
                source=source,
                created=time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
                phase_seconds={name: round(seconds, 6) for name, seconds in phases.items()},
            )
            started = time.perf_counter()
            _commit(target, work, manifest)
            committed = True
            phases["commit"] = time.perf_counter() - started
        finally:
            shutil.rmtree(work, ignore_errors=True)
            if not committed:
                for name in names.values():
                    (target / name).unlink(missing_ok=True)
        for name in previous_files:
            if name not in names.values():
                (target / name).unlink(missing_ok=True)
    return BuildReport(
        index_dir=target,
        manifest=manifest,
        blocks=len(blocks),
        block_bytes=block_bytes,
        offsets_bytes=sizes["offsets"],
        titles_bytes=sizes["titles"],
        phase_seconds=phases,
    )


def _index_blocks(
    documents: Iterable[Document],
    work: Path,
    block_size: int,
    executor: Executor | None,
    workers: int | None,
    max_pending: int | None,
    show_progress: bool,
    expected_documents: int | None,
) -> tuple[list[str], list[BlockInfo]]:
    """The index phase: returns the titles and the blocks in document order."""
    titles: list[str] = []
    blocks: list[BlockInfo] = []
    pending: set[Future[BlockInfo]] = set()
    pool: Executor = ProcessPoolExecutor(max_workers=workers) if executor is None else executor
    limit = max_pending if max_pending is not None else max(2, 2 * (workers or os.cpu_count() or 1))
    try:
        with progress("indexing", total=expected_documents, unit="docs", enabled=show_progress) as bar:

            def collect(return_when: str) -> None:
                done, rest = concurrent.futures.wait(pending, return_when=return_when)
                pending.intersection_update(rest)
                for future in done:
                    info = future.result()
                    blocks.append(info)
                    bar.update(info.documents)

            for number, chunk in enumerate(itertools.batched(documents, block_size)):
                first_doc_id = len(titles)
                if first_doc_id + len(chunk) > MAX_DOCUMENTS:
                    raise IndexBuildError(f"too many documents: at most {MAX_DOCUMENTS} can be indexed")
                titles.extend(document.title for document in chunk)
                path = str(work / "blocks" / f"block-{number:06d}.blk")
                pending.add(pool.submit(build_block, number, path, first_doc_id, chunk))
                while len(pending) >= limit:
                    collect(concurrent.futures.FIRST_COMPLETED)
            while pending:
                collect(concurrent.futures.ALL_COMPLETED)
    finally:
        for future in pending:
            future.cancel()
        if executor is None:
            pool.shutdown(wait=True, cancel_futures=True)
    blocks.sort(key=lambda block: block.number)
    return titles, blocks


def _commit(target: Path, work: Path, manifest: Manifest) -> None:
    """Move the finished files into ``target``; replacing the manifest commits."""
    for name in manifest.files.values():
        os.replace(work / name, target / name)
    manifest_tmp = work / MANIFEST_NAME
    manifest_tmp.write_text(manifest.to_json(), encoding="utf-8")
    fsync_file(manifest_tmp)
    fsync_directory(target)  # the data files' renames reach the disk first
    os.replace(manifest_tmp, target / MANIFEST_NAME)
    fsync_directory(target)


class InlineExecutor(Executor):
    """Runs each submitted call at once in the calling thread (``--workers 0``).

    Useful for debugging and profiling a build without worker processes.
    """

    def submit[**P, T](self, fn: Callable[P, T], /, *args: P.args, **kwargs: P.kwargs) -> Future[T]:
        future: Future[T] = Future()
        try:
            future.set_result(fn(*args, **kwargs))
        except Exception as error:  # delivered through the future, as a pool would
            future.set_exception(error)
        return future
