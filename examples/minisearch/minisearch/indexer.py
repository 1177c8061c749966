"""Building an index: blocks in parallel, then one merge into the final files.

Phases (each timed in the :class:`BuildReport`):

``index``
    The documents are read from their source in the main process, numbered
    from 0 (the document id) and cut into blocks of ``block_size``
    documents.  An executor runs :func:`minisearch.blocks.build_block` on
    each: it tokenises the block, writes its block file and its compressed
    documents, and reports the documents' lengths.
``merge``
    The block files are read back and each term's lists joined and split
    into a head and tail chunks (:mod:`minisearch.merge`).
``write``
    One final block file is written with ``quorbel.write_binary_block``,
    with the term table, the document lengths, the titles and the document
    store beside it (:mod:`minisearch.layout`).
``commit``
    The files are fsynced and renamed into place; the manifest is replaced last.

Any ``concurrent.futures.Executor`` can run the blocks (see
:mod:`minisearch.executors`); its ``submit`` must return
``concurrent.futures.Future`` objects.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import itertools
import os
import shutil
import time
from array import array
from collections.abc import Callable, Iterable
from concurrent.futures import Executor, Future
from dataclasses import dataclass, field
from pathlib import Path

from .blocks import BlockInfo, BlockTask, build_block, documents_path, first_invalid_text
from .corpus import Document
from .executors import default_workers, local_executor
from .layout import DocumentStoreWriter, encode_lengths, encode_titles
from .merge import DEFAULT_CHUNK_SIZE, DEFAULT_HEAD_SIZE, BlockMerger, IndexBuildError, write_postings
from .progress import progress
from .ranking import average_length, length_norms
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
    write_synced,
)
from .tokens import TOKEN_PATTERN

__all__ = ["DEFAULT_BLOCK_SIZE", "MAX_DOCUMENTS", "BuildReport", "IndexBuildError", "build_index"]

DEFAULT_BLOCK_SIZE = 1000
#: Document ids are signed 32-bit integers in the posting lists.
MAX_DOCUMENTS = 2**31 - 1


@dataclass
class BuildReport:
    """Figures of one build, for the summary."""

    index_dir: Path
    manifest: Manifest
    blocks: int
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
    def file_sizes(self) -> dict[str, int]:
        """Bytes of each data file, by role."""
        return dict(self.manifest.file_sizes)

    @property
    def index_bytes(self) -> int:
        """Bytes of everything a search needs: all data files but the document store."""
        return sum(size for role, size in self.manifest.file_sizes.items() if role != "docs")

    @property
    def store_bytes(self) -> int:
        """Bytes of the document store (0 when built without it)."""
        return self.manifest.file_sizes.get("docs", 0)

    @property
    def total_seconds(self) -> float:
        return sum(self.phase_seconds.values())

    @property
    def docs_per_second(self) -> float:
        total = self.total_seconds
        return self.documents / total if total > 0 else 0.0


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
    store_documents: bool = True,
    head_size: int = DEFAULT_HEAD_SIZE,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
) -> BuildReport:
    """Index ``documents`` into ``index_dir`` and return the build's figures.

    ``executor`` runs the block workers; without one, a process pool with
    ``workers`` processes (default: one per CPU; 0: the calling process) is
    created for the build and shut down after it.  At most ``max_pending``
    blocks (default: twice the worker count, at least 2) are in flight at
    once, so that a large source is not read into memory ahead of the
    workers.  ``expected_documents``, when known, is the total of the
    progress bar; ``source`` is recorded in the manifest.
    ``store_documents=False`` leaves out the document store (no snippets).
    ``head_size`` and ``chunk_size`` shape the impact tiers (see
    :mod:`minisearch.layout`).

    The previous index in ``index_dir``, if any, stays readable until the
    new one is complete and replaces it; on any failure (an exception, or
    Ctrl-C) the directory keeps the previous index and no new files.
    Raises :class:`IndexBuildError`, :class:`IndexUnusableError`,
    :class:`minisearch.blocks.DocumentError`, or the source's own exception.
    """
    for name, value in (("block_size", block_size), ("head_size", head_size), ("chunk_size", chunk_size)):
        if value < 1:
            raise ValueError(f"{name} must be at least 1")
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
        names = data_file_names(generation, with_documents=store_documents)
        committed = False
        try:
            phases: dict[str, float] = {}
            started = time.perf_counter()
            merger = BlockMerger()
            with contextlib.ExitStack() as stack:
                pool = executor if executor is not None else stack.enter_context(local_executor(workers))
                titles, blocks = _index_blocks(
                    documents, work, block_size, pool, workers, max_pending, show_progress,
                    expected_documents, store_documents, merger.add,
                )
            lengths = array("I")
            for block in blocks:
                lengths.frombytes(block.lengths)
            phases["index"] = time.perf_counter() - started

            started = time.perf_counter()
            norms = length_norms(lengths, average_length(sum(lengths), len(lengths)))
            merged = merger.finish(lengths, norms, head_size, chunk_size, show_progress)
            phases["merge"] = time.perf_counter() - started

            started = time.perf_counter()
            write_postings(merged, work / names["postings"])
            fsync_file(work / names["postings"])
            write_synced(work / names["terms"], merged.term_table())
            write_synced(work / names["lengths"], encode_lengths(lengths))
            write_synced(work / names["titles"], _encode_titles(titles))
            if store_documents:
                _write_document_store(blocks, work / names["docs"])
            sizes = {role: (work / name).stat().st_size for role, name in names.items()}
            digests = {role: sha256_of(work / name) for role, name in names.items()}
            phases["write"] = time.perf_counter() - started
            manifest = Manifest(
                generation=generation,
                documents=len(titles),
                terms=len(merged.terms),
                postings=merged.total_postings,
                total_tokens=sum(lengths),
                files=names,
                file_sizes=sizes,
                file_sha256=digests,
                block_size=block_size,
                head_size=head_size,
                chunk_size=chunk_size,
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
    return BuildReport(index_dir=target, manifest=manifest, blocks=len(blocks), phase_seconds=phases)


def _encode_titles(titles: list[str]) -> bytes:
    try:
        return encode_titles(titles)
    except UnicodeEncodeError:
        found = first_invalid_text(titles, 0, "the title is ")
        if found is None:
            raise
        raise found from None


def _write_document_store(blocks: list[BlockInfo], path: Path) -> None:
    store = DocumentStoreWriter()
    for block in blocks:
        data = Path(documents_path(block.path)).read_bytes()
        groups, start = [], 0
        for size in block.group_sizes:
            groups.append(data[start : start + size])
            start += size
        if start != len(data):
            raise IndexBuildError(f"block {block.number}: its document store holds {len(data)} bytes, not {start}")
        store.add(block.first_doc_id, groups)
    store.write(path)


def _index_blocks(
    documents: Iterable[Document],
    work: Path,
    block_size: int,
    pool: Executor,
    workers: int | None,
    max_pending: int | None,
    show_progress: bool,
    expected_documents: int | None,
    store_documents: bool,
    on_block: Callable[[BlockInfo], None],
) -> tuple[list[str], list[BlockInfo]]:
    """The index phase: returns the titles and the blocks in document order.

    ``on_block`` sees each block, in document order, as soon as it and every
    block before it are built: the merge reads them while workers build the rest.
    """
    titles: list[str] = []
    blocks: list[BlockInfo] = []
    finished: dict[int, BlockInfo] = {}  # built, not yet handed to on_block
    pending: set[Future[BlockInfo]] = set()
    limit = max_pending if max_pending is not None else max(2, 2 * (workers or default_workers()))
    try:
        with progress("indexing", total=expected_documents, unit="docs", enabled=show_progress) as bar:

            def collect(return_when: str) -> None:
                done, rest = concurrent.futures.wait(pending, return_when=return_when)
                pending.intersection_update(rest)
                for future in done:
                    info = future.result()
                    blocks.append(info)
                    finished[info.number] = info
                    bar.update(info.documents)
                while len(blocks) - len(finished) in finished:
                    on_block(finished.pop(len(blocks) - len(finished)))

            for number, chunk in enumerate(itertools.batched(documents, block_size)):
                first_doc_id = len(titles)
                if first_doc_id + len(chunk) > MAX_DOCUMENTS:
                    raise IndexBuildError(f"too many documents: at most {MAX_DOCUMENTS} can be indexed")
                titles.extend(document[0] for document in chunk)
                path = str(work / "blocks" / f"block-{number:06d}.blk")
                task = BlockTask(number, path, first_doc_id, chunk, store_documents)
                pending.add(pool.submit(build_block, task))
                while len(pending) >= limit:
                    collect(concurrent.futures.FIRST_COMPLETED)
            while pending:
                collect(concurrent.futures.ALL_COMPLETED)
    finally:
        for future in pending:
            future.cancel()
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
