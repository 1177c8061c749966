"""Documents that change: delete by key, upsert, and sync an index with a directory.

Each call is one commit: the new documents' segment (if any) and the new
deletion sets of the segments that lose documents replace the manifest
together, so a reader sees the index before or after the whole change.  A
segment left without a live document goes.  Statistics stay exact: the
reader subtracts what each deletion set holds (:mod:`minisearch.deletions`),
so every result equals that of a fresh build of the live documents.  A small
change is committed as one file, left pending for the readers to index (see
:mod:`minisearch.pending`); a change past the limit takes pending deletions
into its own commit, after pending documents are folded by a commit of their own.
"""

from __future__ import annotations

import dataclasses
import os
import time
from bisect import bisect_right
from collections import defaultdict
from collections.abc import Iterable, Iterator, Mapping, Sequence
from concurrent.futures import Executor
from dataclasses import dataclass
from itertools import chain, islice
from pathlib import Path

from .corpus import Document, Key, directory_files, read_text_file
from .deletions import add_deletions, read_deletion_set
from .durability import build_lock, remove_stale_files
from .errors import IndexUnusableError
from .executors import InlineExecutor
from .indexer import (
    BuildReport,
    existing_index,
    live_keys,
    merge_by_policy,
    stores_documents,
    write_and_commit,
    writer_pool,
)
from .layout import DeletionSet
from .manifest import Manifest, Pending, Segment, new_generation, read_manifest
from .options import BuildOptions
from .reader import SegmentStore
from .pending import Replay, replay, view_directory, write_change
from .segments import SegmentPlan, check_new_documents, segment_from_documents
from .sync_state import Stamp, read_sync_state, recent, stamp_of, write_sync_state
from .tokens import Tokenizer

__all__ = ["delete_documents", "fold_pending", "pending_view", "sync_directory", "upsert_documents"]

#: The most pending changes an index holds: a reader replays each when it opens the index.
MAX_PENDING_CHANGES = 64
#: The most characters of text the pending changes hold (their files about as many bytes): a
#: writer and each reader hold a change's documents in memory at once.
MAX_PENDING_TEXT = 16 << 20


def delete_documents(
    keys: Iterable[Key], index_dir: str | os.PathLike[str], options: BuildOptions = BuildOptions()
) -> BuildReport:
    """Delete the documents with ``keys``; the report lists the keys the index does not hold
    (the others are deleted all the same)."""
    return _update(index_dir, None, list(keys), options, executor=InlineExecutor())


def upsert_documents(
    documents: Iterable[Document],
    index_dir: str | os.PathLike[str],
    options: BuildOptions = BuildOptions(),
    *,
    executor: Executor | None = None,
    source: str = "",
) -> BuildReport:
    """Add ``documents``; one whose key the index holds replaces that document."""
    return _update(index_dir, documents, [], options, executor=executor, source=source)


def sync_directory(
    directory: str | os.PathLike[str],
    index_dir: str | os.PathLike[str],
    options: BuildOptions = BuildOptions(),
    *,
    executor: Executor | None = None,
) -> BuildReport:
    """Make the index follow ``directory`` (indexed with its files' relative paths as keys):
    new files are added, changed ones replaced, and the documents of removed ones deleted.  A
    file has changed when its size or modification time differs from what the last sync of the
    index saw (:mod:`minisearch.sync_state`), and then when its text differs from the stored one,
    which an index without its document store cannot tell: it refuses."""
    target = Path(index_dir).absolute()
    manifest = read_manifest(existing_index(target))
    root = os.path.realpath(directory)
    seen = read_sync_state(target, manifest.commit, root)  # before a fold: it changes no document
    if manifest.pending:  # the files are compared with the documents the index holds
        with build_lock(target, options.wait), writer_pool(executor, options.workers) as pool:
            folded = fold_pending(target, read_manifest(target), pool, options)
            seen = seen if folded.commit == manifest.commit + 1 else {}
            manifest = folded
    if not stores_documents(manifest):
        raise IndexUnusableError(f"{target} was built without its documents: sync cannot tell changed files")
    indexed = live_keys(target, manifest)
    files = _DirectoryFiles(directory, seen)
    changed = list(files.changed(target, manifest, indexed))
    removed: list[Key] = [key for key in indexed if isinstance(key, str) and key not in files.present]
    report = _update(target, changed, removed, options, executor=executor, source=f"sync of {directory}")
    write_sync_state(target, report.manifest.commit, root, files.recorded)
    return report


class _DirectoryFiles:
    """A directory's text files as a sync sees them: those a record of the last sync shows
    unchanged are not read."""

    def __init__(self, directory: str | os.PathLike[str], seen: dict[str, Stamp]) -> None:
        self.directory, self.seen = directory, seen
        self.started = time.time_ns()
        self.present: set[Key] = set()
        self.recorded: dict[str, Stamp] = {}
        """Each indexed file's size and time, for the next sync (recent ones left out)."""

    def changed(self, target: Path, manifest: Manifest, indexed: dict[Key, int]) -> Iterator[Document]:
        """The documents of the directory that the index lacks or holds with another text."""
        stores: dict[str, SegmentStore] = {}
        starts = [segment.first_doc for segment in manifest.segments]
        try:
            for title, path in directory_files(self.directory):
                try:
                    stamp = stamp_of(os.stat(path))
                except OSError:
                    continue
                doc = indexed.get(title)
                if doc is not None and self.seen.get(title) == stamp:
                    self._keep(title, stamp)
                    continue
                text = read_text_file(path)
                if text is None:
                    continue
                self._keep(title, stamp)
                if doc is None:
                    yield Document(title, text, title)
                    continue
                segment = manifest.segments[_segment_number(starts, doc)]
                if segment.name not in stores:
                    stores[segment.name] = SegmentStore(target, segment)
                if stores[segment.name].content(doc) != text:
                    yield Document(title, text, title)
        finally:
            for store in stores.values():
                store.close()

    def _keep(self, title: str, stamp: Stamp) -> None:
        self.present.add(title)
        if not recent(stamp, self.started):
            self.recorded[title] = stamp


def _segment_number(starts: Sequence[int], doc: int) -> int:
    return bisect_right(starts, doc) - 1


def _update(
    index_dir: str | os.PathLike[str],
    documents: Iterable[Document] | None,
    delete_keys: list[Key],
    options: BuildOptions,
    *,
    executor: Executor | None = None,
    source: str = "",
) -> BuildReport:
    """One commit: ``documents`` (if any) as a new segment, and the documents of ``delete_keys`` and
    of the new documents' keys deleted; then merges by the tiered policy.  A small change is
    logged as pending instead (see :mod:`minisearch.pending`)."""
    target = Path(index_dir).absolute()  # workers may run in another directory
    with build_lock(existing_index(target), options.wait):
        previous = read_manifest(target)
        remove_stale_files(target, keep=previous.files)
        documents, small = _small_change(documents, delete_keys, previous, options.pending_limit)
        if small is not None:
            return _log_change(target, previous, delete_keys, small)
        with writer_pool(executor, options.workers) as pool:
            previous, taken = _fold_before(target, previous, pool, options)
            counts: dict[str, object] = {}

            def make(name: str, work: Path) -> tuple[Segment | None, Manifest, int]:
                segment, manifest, blocks, changed = _changes(
                    target, previous, documents, delete_keys, options, pool, source, name, work, taken
                )
                counts["change"] = changed
                return segment, dataclasses.replace(manifest, pending=()), blocks

            report = write_and_commit(target, previous, make, keep_empty=True)
            change = counts["change"]
            assert isinstance(change, _Deletions)
            report.deleted, report.replaced, report.unknown_keys = change.deleted, change.replaced, change.unknown
            if report.segment is not None and report.segment.documents == 0:
                report.segment = None
            merge_by_policy(target, report, pool, options)
    return report


def _changes(
    target: Path,
    previous: Manifest,
    documents: Iterable[Document] | None,
    delete_keys: list[Key],
    options: BuildOptions,
    pool: Executor,
    source: str,
    name: str,
    work: Path,
    taken: frozenset[Key] = frozenset(),
) -> tuple[Segment | None, Manifest, int, _Deletions]:
    """The files of one change written in ``work``: the new documents' segment named ``name``
    (if any) and the new deletion sets, those of the keys ``taken`` by pending deletions
    included; the next manifest, and what the change deleted."""
    changes: list[_Deletions] = []

    def delete_replaced(new_keys: Sequence[Key | None]) -> None:  # beside the new segment's merges
        replacing = [key for key in new_keys if key is not None]
        changes.append(_deletions(target, previous, delete_keys, replacing, work, taken))

    segment, blocks = None, 0
    if documents is not None:
        plan = SegmentPlan(
            name, work, previous.end_doc, previous.partitions, previous.head_size, previous.chunk_size,
            stores_documents(previous), pool, options.workers, options.show_progress,
            base_documents=previous.live_documents, base_tokens=previous.live_tokens,
            tokenizer=previous.tokenizer, positions=previous.has_positions, with_keys=delete_replaced,
        )
        segment, blocks = segment_from_documents(documents, plan, options.block_size, options.max_pending, None, source)
    else:
        delete_replaced([])
    (change,) = changes
    segments = change.segments
    if segment is not None and segment.documents:
        segments.append(segment)
    return segment, previous.with_segments(segments), blocks, change


def _small_change(
    documents: Iterable[Document] | None, delete_keys: list[Key], previous: Manifest, limit: int
) -> tuple[Iterable[Document] | None, list[Document] | None]:
    """The documents (their first ones read), and all of them when the change is small enough to
    log as pending: the index's pending documents and keys stay within ``limit``."""
    room = limit - previous.pending_count - len(delete_keys)
    if room < 0 or len(previous.pending) >= MAX_PENDING_CHANGES or not previous.has_keys:
        return documents, None
    if documents is None:
        return None, []
    it = iter(documents)
    first = list(islice(it, room + 1))
    text = sum(change.size for change in previous.pending) + sum(map(_text_length, first))
    if len(first) > room or text > MAX_PENDING_TEXT:
        return chain(first, it), None
    return first, first


def _text_length(document: Document) -> int:
    """Characters of a document's title and content (0 for what is not text: refused later)."""
    return sum(len(field) for field in document[:2] if isinstance(field, str))


def _log_change(target: Path, previous: Manifest, delete_keys: list[Key], documents: list[Document]) -> BuildReport:
    """Commit a small change as pending: its documents checked as a segment would check them."""
    documents = [Document(document[0], document[1], document[2] if len(document) > 2 else None)
                 for document in documents]
    check_new_documents(documents, previous.end_doc)
    replayed = replay(target, previous)
    new_keys = [document.key for document in documents if document.key is not None]
    wanted = {*delete_keys, *new_keys}
    in_segments = live_keys(target, previous, wanted=wanted)
    held = {key for key in wanted if replayed.holds(key, key in in_segments)}
    unknown = [key for key in delete_keys if key not in held]
    known = [key for key in dict.fromkeys(delete_keys) if key in held]
    replaced = sum(key in held for key in new_keys)
    if not documents and not known:
        report = BuildReport(target, previous, None)
    else:
        logged: list[Pending] = []

        def make(name: str, work: Path) -> tuple[Segment | None, Manifest, int]:
            logged.append(write_change(work, known, documents))
            return None, previous.with_pending((*previous.pending, *logged)), 0

        report = write_and_commit(target, previous, make, keep_empty=True)
        report.pending = logged[0]
    report.deleted, report.replaced, report.unknown_keys = len(known) + replaced, replaced, unknown
    return report


def _fold_before(
    target: Path, previous: Manifest, pool: Executor, options: BuildOptions
) -> tuple[Manifest, frozenset[Key]]:
    """Ready the index for a change written at once: pending deletions alone are taken into the
    change's own commit (the keys returned); pending documents are folded by a commit of their
    own first."""
    if not previous.pending:
        return previous, frozenset()
    replayed = replay(target, previous)
    if not replayed.documents:
        return previous, frozenset(replayed.deleted)
    return _commit_fold(target, previous, replayed, pool, options), frozenset()


def fold_pending(target: Path, previous: Manifest, pool: Executor, options: BuildOptions) -> Manifest:
    """Commit the index's pending changes into its files (a segment and deletion sets), if it has
    any; returns the manifest committed, or ``previous``."""
    if not previous.pending:
        return previous
    return _commit_fold(target, previous, replay(target, previous), pool, options)


def _commit_fold(target: Path, previous: Manifest, replayed: Replay, pool: Executor, options: BuildOptions) -> Manifest:
    def make(name: str, work: Path) -> tuple[Segment | None, Manifest, int]:
        segment, manifest, blocks, _ = _fold(target, previous, replayed, options, pool, name, work)
        return segment, manifest, blocks

    return write_and_commit(target, previous, make, keep_empty=True).manifest


def _fold(
    target: Path, previous: Manifest, replayed: Replay, options: BuildOptions, pool: Executor, name: str, work: Path
) -> tuple[Segment | None, Manifest, int, _Deletions]:
    documents = list(replayed.documents.values())
    segment, manifest, blocks, change = _changes(
        target, previous, documents or None, sorted(replayed.deleted, key=repr), options, pool, "pending changes",
        name, work,
    )
    return segment, dataclasses.replace(manifest, pending=()), blocks, change


def pending_view(index_dir: Path, manifest: Manifest) -> tuple[Manifest, Path]:
    """The index as a fold of its pending changes would commit it, in a private directory: the
    manifest (of the same commit) and the directory, which the caller removes."""
    replayed = replay(index_dir, manifest)
    options = BuildOptions(show_progress=False, workers=0)  # a few documents: faster in this thread
    with view_directory() as directory:
        _, folded, _, _ = _fold(index_dir, manifest, replayed, options, InlineExecutor(), new_generation(), directory)
        return dataclasses.replace(folded, commit=manifest.commit), directory


@dataclass(frozen=True)
class _Deletions:
    """What a commit deletes: the index's segments with their new deletion sets (those left
    without a live document gone), the keys asked for that the index does not hold, and how many
    documents go, replaced ones included."""

    segments: list[Segment]
    unknown: list[Key]
    deleted: int
    replaced: int


def _deletions(
    target: Path, previous: Manifest, delete_keys: list[Key], new_keys: list[Key], work: Path,
    taken: frozenset[Key] = frozenset(),
) -> _Deletions:
    """The deletions of ``delete_keys``, of the documents that ``new_keys`` replace and of those
    the pending deletions took (``taken``: not this change's, nor held by the index it sees),
    their sets written in ``work``."""
    sets = _DeletionSets(target, previous.segments)
    wanted = {*taken, *delete_keys, *new_keys}
    keys = live_keys(target, previous, wanted=wanted, deletion_sets=sets)  # only those looked up
    held = {key: doc for key, doc in keys.items() if key not in taken} if taken else keys
    replaced = [held[key] for key in new_keys if key in held]
    gone = {held[key] for key in delete_keys if key in held} | set(replaced)
    return _Deletions(
        segments=_with_deletions(target, previous.segments, gone | {keys[key] for key in taken if key in keys}, work,
                                 previous.tokenizer_rule, sets),
        unknown=[key for key in delete_keys if key not in held],
        deleted=len(gone),
        replaced=len(replaced),
    )


class _DeletionSets(dict[str, DeletionSet]):
    """The deletion sets of an index's segments by name, each read when first asked for, once:
    the keys' look-up and the new sets both need a segment's."""

    def __init__(self, index_dir: Path, segments: Sequence[Segment]) -> None:
        super().__init__()
        self.index_dir = index_dir
        self.segments = {segment.name: segment for segment in segments}

    def __missing__(self, name: str) -> DeletionSet:
        read = self[name] = read_deletion_set(self.index_dir, self.segments[name])
        return read


def _with_deletions(
    index_dir: Path, segments: Sequence[Segment], gone: set[int], work: Path, rule: Tokenizer,
    sets: Mapping[str, DeletionSet],
) -> list[Segment]:
    """The segments with the documents ``gone`` deleted; those left without a live one go."""
    by_segment: defaultdict[int, list[int]] = defaultdict(list)
    starts = [segment.first_doc for segment in segments]
    for doc in gone:
        by_segment[_segment_number(starts, doc)].append(doc)
    kept = []
    for number, segment in enumerate(segments):
        if number in by_segment:
            segment = add_deletions(index_dir, segment, by_segment[number], work, rule, sets[segment.name])
        if segment.live_documents:
            kept.append(segment)
    return kept
