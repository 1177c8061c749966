"""Building an index, adding documents to it, and merging its segments.

:func:`build_index` creates an index of one segment; :func:`add_documents`
adds a segment of new documents, then merges segments as the tiered policy
says (:mod:`minisearch.policy`); :func:`optimize_index` merges every segment
into one.  Each writes its segment under a private work directory
(:mod:`minisearch.segments`: blocks, then one merge per term partition), and
commits it by replacing the manifest (:mod:`minisearch.durability`).  Each phase
is timed in the :class:`BuildReport`: ``index``, ``merge`` and ``commit``.

Any ``concurrent.futures.Executor`` can run the blocks and the partition
merges (see :mod:`minisearch.executors`); its ``submit`` must return
``concurrent.futures.Future`` objects, and its workers must share the index
directory.
"""

from __future__ import annotations

import contextlib
import dataclasses
import os
import shutil
import time
from collections.abc import Callable, Collection, Iterable, Iterator, Mapping, Sequence
from concurrent.futures import Executor
from dataclasses import dataclass, field
from itertools import compress
from pathlib import Path

from .corpus import Document, Key
from . import native_build
from .deletions import read_deletion_set
from .durability import (
    BUILD_PREFIX,
    build_lock,
    disk_full_named,
    fsync_directory,
    fsync_file,
    is_own_entry,
    remove_stale_files,
)
from .errors import FormatError, IndexBuildError, IndexUnusableError
from .executors import InlineExecutor, default_workers, local_executor
from .layout import DeletionSet, decode_keys_payload, keys_payload
from .manifest import MANIFEST_NAME, Manifest, Pending, Segment, new_generation, read_manifest
from .options import DEFAULT_BLOCK_SIZE, BuildOptions
from .partitions import choose_partitions
from .policy import next_merge
from .segments import MAX_DOCUMENTS, SegmentPlan, merge_segments, segment_from_documents
from .tokens import TOKENIZER

__all__ = [
    "DEFAULT_BLOCK_SIZE",
    "MAX_DOCUMENTS",
    "BuildOptions",
    "BuildReport",
    "IndexBuildError",
    "add_documents",
    "build_index",
    "optimize_index",
]



@dataclass
class BuildReport:
    """Figures of one build, add or merge: the segment it wrote and the index it committed."""

    index_dir: Path
    manifest: Manifest
    segment: Segment | None
    """The segment written (None when there was nothing to do)."""
    blocks: int = 0
    block_size: int = 0
    merges: int = 0
    """Merges of segments that followed, as the policy asked."""
    deleted: int = 0
    """Documents deleted, those replaced included."""
    replaced: int = 0
    """Documents replaced by new ones of the same key."""
    unknown_keys: list[Key] = field(default_factory=list)
    """Keys asked to be deleted that the index does not hold."""
    phase_seconds: dict[str, float] = field(default_factory=dict)
    pending: Pending | None = None
    """The change logged as pending by a small commit (see minisearch.pending), if it was."""

    @property
    def documents(self) -> int:
        """Documents added."""
        if self.pending is not None:
            return self.pending.documents
        return self.segment.documents if self.segment else 0

    @property
    def terms(self) -> int:
        return self.segment.terms if self.segment else 0

    @property
    def postings(self) -> int:
        return self.segment.postings if self.segment else 0

    @property
    def partitions(self) -> int:
        return self.manifest.partitions

    @property
    def file_sizes(self) -> dict[str, int]:
        """Bytes of the index's data files by kind: postings and terms (over every partition and
        segment), lengths, titles and docs."""
        sizes: dict[str, int] = {}
        for segment in self.manifest.segments:
            for role, size in segment.file_sizes.items():
                kind = role.partition("-")[0]
                sizes[kind] = sizes.get(kind, 0) + size
        return sizes

    @property
    def index_bytes(self) -> int:
        """Bytes of everything a search needs: all data files but the document store."""
        return sum(size for kind, size in self.file_sizes.items() if kind != "docs")

    @property
    def store_bytes(self) -> int:
        """Bytes of the document store (0 when built without it)."""
        return self.file_sizes.get("docs", 0)

    @property
    def total_seconds(self) -> float:
        return sum(self.phase_seconds.values())

    @property
    def docs_per_second(self) -> float:
        total = self.total_seconds
        return self.documents / total if total > 0 else 0.0


def build_index(
    documents: Iterable[Document],
    index_dir: str | os.PathLike[str],
    options: BuildOptions = BuildOptions(),
    *,
    executor: Executor | None = None,
    expected_documents: int | None = None,
    source: str = "",
    source_bytes: int | None = None,
) -> BuildReport:
    """Index ``documents`` into ``index_dir`` as an index of one segment, and return the figures.

    ``executor`` runs the block workers and the partition merges; without
    one, a process pool of ``options.workers`` processes is created for the
    build and shut down after it (see :class:`BuildOptions`).
    ``expected_documents``, when known, is the total of the progress bar;
    ``source`` is recorded in the manifest; ``source_bytes``, the size of the
    source when known, sizes the default partitions.

    The previous index in ``index_dir``, if any, stays readable until the
    new one is complete and replaces it; on any failure (an exception, or
    Ctrl-C) the directory keeps the previous index and no new files.
    Raises :class:`IndexBuildError`, :class:`IndexUnusableError`,
    :class:`minisearch.errors.DocumentError`, or the source's own exception.
    """
    count = options.partitions
    if count is None:
        count = _default_partitions(source_bytes, options.memory, executor, options.workers)
    target = _created(Path(index_dir).absolute())  # absolute: workers may run in another directory
    _check_target(target)
    with build_lock(target, options.wait), writer_pool(executor, options.workers) as pool:
        previous = _previous_manifest(target)
        remove_stale_files(target, keep=previous.files if previous else [])
        shape = Manifest(
            count, options.head_size, options.chunk_size, TOKENIZER.name, (), commit=previous.commit if previous else 0,
            positions=options.positions,
        )
        report = _commit_new_segment(
            target, shape, previous, options.store_documents, pool, options,
            lambda plan: segment_from_documents(documents, plan, options.block_size, options.max_pending,
                                                expected_documents, source),
        )
    report.block_size = options.block_size
    return report


def add_documents(
    documents: Iterable[Document],
    index_dir: str | os.PathLike[str],
    options: BuildOptions = BuildOptions(),
    *,
    executor: Executor | None = None,
    expected_documents: int | None = None,
    source: str = "",
    merge: bool = True,
) -> BuildReport:
    """Add ``documents`` to the index in ``index_dir`` as a new segment, numbered after its
    documents, then (unless ``merge`` is false) merge segments as the tiered policy says.

    The partitions, tiers and document store follow the index.  Searches see
    the new documents once the segment is committed, ranked with statistics
    over all segments, exactly as in a fresh build of all the documents.
    Options and errors are those of :func:`build_index`; an add or a merge
    that fails leaves the index as it was before it.
    """
    target = Path(index_dir).absolute()  # workers may run in another directory
    with build_lock(existing_index(target), options.wait), writer_pool(executor, options.workers) as pool:
        previous = read_manifest(target)
        remove_stale_files(target, keep=previous.files)
        previous = _fold_pending(target, previous, pool, options)
        known = live_keys(target, previous)
        report = _commit_new_segment(
            target, previous, previous, stores_documents(previous), pool, options,
            lambda plan: segment_from_documents(documents, dataclasses.replace(plan, known_keys=known),
                                                options.block_size, options.max_pending, expected_documents, source),
        )
        report.block_size = options.block_size
        if merge and report.segment is not None:
            merge_by_policy(target, report, pool, options)
    return report


def merge_by_policy(target: Path, report: BuildReport, pool: Executor, options: BuildOptions) -> None:
    """Merge segments as the tiered policy says, counting live documents; each merge commits."""
    started = time.perf_counter()
    while (run := next_merge([segment.live_documents for segment in report.manifest.segments])) is not None:
        report.manifest = _commit_merge(target, report.manifest, run, pool, options).manifest
        report.merges += 1
    if report.merges:
        report.phase_seconds["tiered merge"] = time.perf_counter() - started


def live_keys(
    index_dir: Path, manifest: Manifest, wanted: Collection[Key] | None = None,
    deletion_sets: Mapping[str, DeletionSet] | None = None,
) -> dict[Key, int]:
    """The key of every live document of the index (or of those among ``wanted``), with its id;
    ``deletion_sets`` holds the segments' sets (by name) when the caller has read them."""
    keys: dict[Key, int] = {}
    for segment in manifest.segments:
        if not segment.has_keys:
            continue
        name = segment.files["keys"]
        try:
            payload = keys_payload((index_dir / name).read_bytes(), name)
            if wanted is None:
                segment_keys = decode_keys_payload(payload, segment.documents, name)
            else:
                found = _keys_among(payload, segment.documents, wanted, name)
        except (OSError, FormatError) as error:
            raise IndexUnusableError(f"{index_dir / name}: {error}") from error
        deleted = (read_deletion_set(index_dir, segment) if deletion_sets is None
                   else deletion_sets[segment.name]).docs
        if wanted is None:
            keys.update(_segment_live_keys(segment_keys, segment.first_doc, deleted))
            continue
        if found:
            gone = frozenset(deleted)
            for place, key in found:
                if segment.first_doc + place not in gone:
                    keys[key] = segment.first_doc + place
    return keys


def _keys_among(payload: memoryview, documents: int, wanted: Collection[Key], what: str) -> list[tuple[int, Key]]:
    """The places of a segment's keys that are among ``wanted`` (None never is), each with its key,
    in document order: compared by the kernels, or else on the decoded keys."""
    looked_for = list(wanted)
    found = native_build.keys_among(payload, looked_for, documents)
    if found is not None:
        return [(place, looked_for[index]) for place, index in found]
    segment_keys = decode_keys_payload(payload, documents, what)
    held = list(map(wanted.__contains__, segment_keys))  # one C-level pass over the segment's keys
    return [(place, key) for place, key in zip(compress(range(documents), held), compress(segment_keys, held))
            if key is not None]


def _segment_live_keys(keys: list[Key | None], first_doc: int, deleted: Sequence[int]) -> dict[Key, int]:
    """A segment's live documents by key: built in C-level passes when the segment's keys are
    distinct, as they are unless a deleted document's key came back in the same segment."""
    by_key: dict[Key | None, int] = dict(zip(keys, range(first_doc, first_doc + len(keys))))
    by_key.pop(None, None)
    if len(by_key) + keys.count(None) != len(keys):  # a key held twice: the live holder wins
        gone = frozenset(deleted)
        return {key: doc for doc, key in enumerate(keys, first_doc) if key is not None and doc not in gone}
    for doc in deleted:
        by_key.pop(keys[doc - first_doc], None)  # a merge may have left a dropped document keyless
    return by_key  # type: ignore[return-value]


def optimize_index(
    index_dir: str | os.PathLike[str],
    options: BuildOptions = BuildOptions(),
    *,
    executor: Executor | None = None,
) -> BuildReport:
    """Merge every segment of the index in ``index_dir`` into one; errors as :func:`build_index`.

    An index of one segment is left as it is (the report has no segment)."""
    target = Path(index_dir).absolute()  # workers may run in another directory
    with build_lock(existing_index(target), options.wait), writer_pool(executor, options.workers) as pool:
        manifest = read_manifest(target)
        remove_stale_files(target, keep=manifest.files)
        manifest = _fold_pending(target, manifest, pool, options)
        if len(manifest.segments) <= 1:
            return BuildReport(target, manifest, None)
        return _commit_merge(target, manifest, (0, len(manifest.segments)), pool, options)


def _fold_pending(target: Path, manifest: Manifest, pool: Executor, options: BuildOptions) -> Manifest:
    from .updates import fold_pending  # the pending changes are applied as an update applies them

    return fold_pending(target, manifest, pool, options)


def _default_partitions(source_bytes: int | None, memory: int | None, executor: Executor | None,
                        workers: int | None) -> int:
    """Enough partitions to keep each merge within the budget, and one per worker, so that the
    merges run side by side."""
    if workers is None:
        workers = 1 if isinstance(executor, InlineExecutor) else default_workers()
    return max(choose_partitions(source_bytes, memory), workers)


def _created(index_dir: Path) -> Path:
    """``index_dir``, made with its parents if missing; raises :class:`IndexUnusableError`."""
    try:
        index_dir.mkdir(parents=True, exist_ok=True)
    except FileExistsError:
        raise IndexUnusableError(f"{index_dir} exists and is not a directory") from None
    except OSError as error:
        raise IndexUnusableError(f"cannot create the index directory {index_dir}: {error.strerror or error}") from None
    return index_dir


def _check_target(index_dir: Path) -> None:
    foreign = sorted(entry.name for entry in index_dir.iterdir() if not is_own_entry(entry.name))
    if foreign:
        shown = ", ".join(foreign[:3]) + (", ..." if len(foreign) > 3 else "")
        raise IndexUnusableError(
            f"{index_dir} is not empty and is not an index directory (holds {shown}); "
            "choose an empty or new directory"
        )


def existing_index(index_dir: Path) -> Path:
    """``index_dir``, which must hold an index; raises :class:`IndexUnusableError` if not."""
    if not (index_dir / MANIFEST_NAME).is_file():
        raise IndexUnusableError(f"no index in {index_dir} (no {MANIFEST_NAME}); build one first")
    return index_dir


def _previous_manifest(index_dir: Path) -> Manifest | None:
    if not (index_dir / MANIFEST_NAME).exists():
        return None
    try:
        return read_manifest(index_dir)
    except IndexUnusableError:
        return None  # a damaged or older previous index is simply replaced


def stores_documents(manifest: Manifest) -> bool:
    """Whether every segment of the index keeps its documents' text."""
    return all(segment.has_documents for segment in manifest.segments)


@contextlib.contextmanager
def writer_pool(executor: Executor | None, workers: int | None) -> Iterator[Executor]:
    """``executor``, or else a local pool of ``workers`` for the length of the block."""
    if executor is not None:
        yield executor
    else:
        with local_executor(workers) as pool:
            yield pool


def _commit_new_segment(
    target: Path,
    shape: Manifest,
    previous: Manifest | None,
    store_documents: bool,
    pool: Executor,
    options: BuildOptions,
    write: Callable[[SegmentPlan], tuple[Segment, int]],
) -> BuildReport:
    """Write a segment of new documents after ``shape``'s segments and commit it."""

    def make(name: str, work: Path) -> tuple[Segment, Manifest, int]:
        plan = SegmentPlan(
            name, work, shape.end_doc, shape.partitions, shape.head_size, shape.chunk_size, store_documents,
            pool, options.workers, options.show_progress, base_documents=shape.live_documents,
            base_tokens=shape.live_tokens,
            tokenizer=shape.tokenizer,
            positions=shape.has_positions,
        )
        segment, blocks = write(plan)
        return segment, shape.with_segments([*shape.segments, segment]), blocks

    return write_and_commit(target, previous, make, keep_empty=not shape.segments)


def _commit_merge(
    target: Path, manifest: Manifest, run: tuple[int, int], pool: Executor, options: BuildOptions
) -> BuildReport:
    """Merge the segments ``manifest.segments[start:stop]`` into one and commit it."""
    start, stop = run
    merged = manifest.segments[start:stop]

    def make(name: str, work: Path) -> tuple[Segment, Manifest, int]:
        plan = SegmentPlan(
            name, work, merged[0].first_doc, manifest.partitions, manifest.head_size, manifest.chunk_size,
            stores_documents(manifest), pool, options.workers, options.show_progress,
            base_documents=manifest.live_documents - sum(segment.live_documents for segment in merged),
            base_tokens=manifest.live_tokens - sum(segment.live_tokens for segment in merged),
            positions=manifest.has_positions,
        )
        segment = merge_segments(merged, target, plan)
        kept = [segment] if segment.live_documents else []  # a segment without a live document goes
        segments = [*manifest.segments[:start], *kept, *manifest.segments[stop:]]
        return segment, manifest.with_segments(segments), 0

    return write_and_commit(target, manifest, make, keep_empty=True)


def write_and_commit(
    target: Path,
    previous: Manifest | None,
    make: Callable[[str, Path], tuple[Segment | None, Manifest, int]],
    keep_empty: bool,
) -> BuildReport:
    """Write a segment in a private work directory and commit the manifest that ``make`` returns.

    On any failure the index directory keeps the previous manifest and none of the new files;
    after the commit, the files that no segment references any more are removed.  A write that
    finds its device full raises :class:`DiskFullError` naming the file, or else ``target``.
    """
    with disk_full_named(target):  # after the clean-up below: the index is as it was
        return _write_then_commit(target, previous, make, keep_empty)


def _write_then_commit(
    target: Path,
    previous: Manifest | None,
    make: Callable[[str, Path], tuple[Segment | None, Manifest, int]],
    keep_empty: bool,
) -> BuildReport:
    name = new_generation()
    work = target / f"{BUILD_PREFIX}{name}"
    work.mkdir()
    new_files: list[str] = []
    try:
        segment, manifest, blocks = make(name, work)
        if segment is not None and segment.documents == 0 and not keep_empty:  # nothing to add
            assert previous is not None
            return BuildReport(target, previous, None)
        old_files = set(previous.files) if previous else set()
        new_files = [file_name for file_name in manifest.files if file_name not in old_files]
        started = time.perf_counter()
        _commit(target, work, manifest, new_files)
        phases = {**(segment.phase_seconds if segment else {}), "commit": time.perf_counter() - started}
    except BaseException:
        for file_name in new_files:
            (target / file_name).unlink(missing_ok=True)
        raise
    finally:
        shutil.rmtree(work, ignore_errors=True)
    kept = set(manifest.files)
    for file_name in previous.files if previous else []:
        if file_name not in kept:
            (target / file_name).unlink(missing_ok=True)
    return BuildReport(target, manifest, segment, blocks, phase_seconds=phases)


def _commit(target: Path, work: Path, manifest: Manifest, new_files: list[str]) -> None:
    """Move the new files into ``target``; replacing the manifest commits."""
    work_dir, target_dir = os.fspath(work), os.fspath(target)  # joined as strings: cheaper than Paths
    for file_name in new_files:
        os.replace(os.path.join(work_dir, file_name), os.path.join(target_dir, file_name))
    manifest_tmp = work / MANIFEST_NAME
    manifest_tmp.write_text(manifest.to_json(), encoding="utf-8")
    fsync_file(manifest_tmp)
    fsync_directory(target)  # the data files' renames reach the disk first
    os.replace(manifest_tmp, target / MANIFEST_NAME)
    fsync_directory(target)
