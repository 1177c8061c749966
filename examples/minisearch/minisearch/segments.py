"""Writing one segment's files: from new documents, or from the segments it replaces.

A segment from documents takes two phases on the executor:

``index``
    The documents are cut into blocks of ``block_size``, numbered from the
    segment's first document id.  Each block's worker
    (:func:`minisearch.blocks.build_block`) writes one block file per
    partition, its titles and its compressed documents, and reports the
    documents' lengths.  As the blocks complete, in document order, their
    lengths and titles are appended to the segment's files.
``merge``
    One task per partition (:func:`minisearch.merge.merge_partition`) reads
    that partition of every block and writes the partition's block file and
    term table.  No task reads another partition, so a merge holds one
    partition at most.  A task is sent only its own partition's inputs, and
    is made when it is submitted: like the blocks, at most twice the worker
    count are in flight, so that neither the caller nor a cluster's scheduler
    holds the inputs of every partition at once.  The segment's keys and
    document store, which no merge reads, are written meanwhile on a thread
    of the caller's.

A merge of segments runs the same partition tasks on the segments'
partitions, and concatenates their lengths, titles and document stores.
Every file goes to the work directory; the caller commits them.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import dataclasses
import functools
import itertools
import mmap
import time
from array import array
from collections.abc import Callable, Container, Iterable, Iterator, Sequence
from concurrent.futures import Executor, Future, ProcessPoolExecutor, ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path

from . import native_build
from .blocks import (
    BlockInfo,
    BlockTask,
    block_path,
    build_block,
    check_documents,
    first_invalid_text,
    documents_path,
    positions_path,
    titles_path,
)
from .corpus import Document, Key, is_key
from .deletions import read_deletion_set, with_deletion_set
from .durability import fsync_file, sha256_of, write_synced
from .errors import DocumentError, IndexBuildError, IndexUnusableError
from .executors import InlineExecutor, LocalPool, default_workers
from .layout import (
    GROUP_SIZE,
    DeletionSet,
    DocumentStoreIndex,
    DocumentStoreWriter,
    FormatError,
    TitlesWriter,
    compress_group,
    decode_keys,
    decode_length_array,
    decode_titles_payload,
    encode_keys,
    encode_lengths,
    read_document_group,
    read_document_store_index,
    titles_json,
    titles_payload,
)
from .manifest import MAX_DOCUMENTS, Segment, data_file_names, partition_roles, positions_role
from .merge import (
    PartitionInfo,
    PartitionInput,
    PartitionTask,
    merge_partition,
)
from .progress import progress
from .ranking import average_length
from .tokens import TOKENIZER

__all__ = ["MAX_DOCUMENTS", "SegmentPlan", "check_new_documents", "merge_segments", "segment_from_documents"]


@dataclass(frozen=True)
class SegmentPlan:
    """What a new segment is to be: its name and place, its shape, and where it runs."""

    name: str
    work: Path
    first_doc: int
    partitions: int
    head_size: int
    chunk_size: int
    store_documents: bool
    executor: Executor
    workers: int | None = None
    show_progress: bool = False
    base_documents: int = 0
    base_tokens: int = 0
    """Live documents and tokens of the segments that stay beside this one: its tiers are ordered
    by the average length over those and its own."""
    known_keys: Container[Key] = frozenset()
    """Keys the index holds already: a new document may not take one."""
    positions: bool = True
    """Whether the segment keeps its terms' positions."""
    tokenizer: str = TOKENIZER.name
    """The name of the rule that tokenises the documents: the index's."""
    with_keys: Callable[[Sequence[Key | None]], None] | None = None
    """The caller's work on the new documents' keys (an update's deletions), done once they are
    all known, on a thread of its own while the partitions merge; its error is the segment's."""
    blocks_in_memory: bool = False
    """Whether the blocks' files stay in memory (the executor shares this process, and the source
    is small enough to hold): creating files is most of a small block's cost."""

    @functools.cached_property
    def files(self) -> dict[str, str]:
        return data_file_names(self.name, self.partitions, self.store_documents, with_positions=self.positions)

    @functools.cached_property
    def _paths(self) -> dict[str, Path]:
        return {role: self.work / name for role, name in self.files.items()}

    def path(self, role: str) -> Path:
        return self._paths[role]


#: A source of at most this many documents is indexed in the calling process, not on the executor:
#: starting worker processes and sending them the documents would cost more than the work.
SMALL_SOURCE = 500
#: The same on the native build kernels, on which a document costs about a tenth as much: measured
#: on the standard library's docstrings, two workers gain on one process from about 10,000 on.
SMALL_SOURCE_NATIVE = 10_000
#: On the kernels, which build blocks and merge partitions without the GIL, a source already in
#: memory (a sequence) of at most this many documents is indexed on threads of the calling process:
#: they share the documents instead of pickling them to worker processes (measured: 12 % faster on
#: 60,000 paragraphs; on 200,000 synthetic documents no faster than the pool, whose memory is spread
#: over its processes).
THREADED_SOURCE = 100_000


def _peek_small(documents: Iterable[Document]) -> tuple[Iterable[Document], int | None]:
    """The documents, and their number if they are a small source (read ahead that far to tell,
    never further)."""
    if native_build.AVAILABLE and isinstance(documents, Sequence):
        return documents, len(documents) if len(documents) <= THREADED_SOURCE else None
    small = SMALL_SOURCE_NATIVE if native_build.AVAILABLE else SMALL_SOURCE
    iterator = iter(documents)
    head = list(itertools.islice(iterator, small + 1))
    if len(head) <= small:
        return head, len(head)
    return itertools.chain(head, iterator), None


@contextlib.contextmanager
def _in_process(workers: int | None) -> Iterator[Executor]:
    """Where a small source is indexed: ``workers`` threads of this process on
    the kernels (a few documents too: the partitions, mostly their fsyncs, merge side by side),
    or else this thread."""
    if not native_build.AVAILABLE:
        yield InlineExecutor()
        return
    with ThreadPoolExecutor(max_workers=workers or default_workers(), thread_name_prefix="minisearch-build") as threads:
        yield threads


class KeyRecorder:
    """Checks each new document's key as the source yields it, a block at a time, and keeps them in
    document order."""

    def __init__(self, first_doc: int, known: Container[Key]) -> None:
        self.first_doc = first_doc
        self.known = known
        self.keys: list[Key | None] = []
        self.seen: dict[Key, int] = {}

    def record(self, documents: Sequence[Document]) -> None:
        """Record the keys of the source's next ``documents``; raises :class:`DocumentError`."""
        found = [document[2] if len(document) > 2 else None for document in documents]
        first = len(self.keys)
        keys = [key for key in found if key is not None]
        if keys and self._all_new(keys):
            if len(keys) == len(found):
                self.seen.update(zip(keys, range(first, first + len(keys))))
            else:
                self.seen.update({key: number for number, key in enumerate(found, first) if key is not None})
        elif keys:  # one at a time, to name the first that is not
            for number, key in enumerate(found, start=first):
                if key is not None:
                    self._check(number, key)
        self.keys.extend(found)

    def _all_new(self, keys: list[Key]) -> bool:
        """Whether ``keys`` are all valid, different and new, as :meth:`_check` would find them one
        by one (a few passes at C speed)."""
        types = set(map(type, keys))
        return (
            types <= {str, int}
            and not (str in types and "" in keys)
            and len(set(keys)) == len(keys)
            and self.seen.keys().isdisjoint(keys)
            and not any(map(self.known.__contains__, keys))
        )

    def _check(self, number: int, key: Key) -> None:
        if not is_key(key):
            raise DocumentError(f"document {number}: key {key!r} is neither a non-empty string nor an integer")
        if key in self.seen:
            raise DocumentError(f"document {number}: key {key!r} repeats document {self.seen[key]}")
        if key in self.known:
            raise DocumentError(f"document {number}: key {key!r} is in the index already")
        self.seen[key] = number


def check_new_documents(documents: Sequence[Document], first_doc: int) -> None:
    """Raise the :class:`DocumentError` that indexing ``documents`` from ``first_doc`` on would
    raise, if any: a key, a field's type or size, or text that is not valid."""
    KeyRecorder(first_doc, frozenset()).record(documents)
    titles, contents = [document[0] for document in documents], [document[1] for document in documents]
    check_documents(first_doc, titles, contents)
    found = first_invalid_text(titles, first_doc, "the title is ") or first_invalid_text(contents, first_doc, "")
    if found is not None:
        raise found


def segment_from_documents(
    documents: Iterable[Document],
    plan: SegmentPlan,
    block_size: int,
    max_pending: int | None,
    expected_documents: int | None,
    source: str,
) -> tuple[Segment, int]:
    """Index ``documents`` as a new segment; returns it and its number of blocks."""
    # The local pool, or a plain one of the caller's: not a cluster, nor a caller's own kind.
    if isinstance(plan.executor, LocalPool) or type(plan.executor) is ProcessPoolExecutor:
        documents, count = _peek_small(documents)
        if count is not None:  # a few documents: starting worker processes would cost more than the work
            with _in_process(plan.workers) as executor:
                in_process = dataclasses.replace(plan, executor=executor, blocks_in_memory=True)
                return _segment_from_documents(documents, in_process, block_size, max_pending, expected_documents,
                                               source)
    return _segment_from_documents(documents, plan, block_size, max_pending, expected_documents, source)


def _segment_from_documents(
    documents: Iterable[Document],
    plan: SegmentPlan,
    block_size: int,
    max_pending: int | None,
    expected_documents: int | None,
    source: str,
) -> tuple[Segment, int]:
    phases: dict[str, float] = {}
    started = time.perf_counter()
    if not (plan.blocks_in_memory and native_build.AVAILABLE):
        (plan.work / "blocks").mkdir(parents=True, exist_ok=True)
    lengths = array("I")
    keys = KeyRecorder(plan.first_doc, plan.known_keys)
    store = DocumentStoreWriter() if plan.store_documents else None
    with ThreadPoolExecutor(max_workers=2, thread_name_prefix="minisearch-beside") as beside:
        check: Callable[[Sequence[Document]], None] = keys.record
        keys_done = None
        if plan.with_keys is not None and isinstance(documents, Sequence):
            keys.record(documents)  # every key known at once: the caller's work on them starts now
            keys_done = beside.submit(plan.with_keys, keys.keys)
            check = _checked_already
        with TitlesWriter(plan.path("titles")) as titles:  # synced beside the merges
            blocks = _index_blocks(
                documents, plan, block_size, max_pending, expected_documents, check,
                lambda block: _take_block(block, lengths, titles, store, _in_flight(plan)),
            )
        if not plan.blocks_in_memory:  # the merges read it
            write_synced(plan.path("lengths"), encode_lengths(lengths))
        phases["index"] = time.perf_counter() - started

        started = time.perf_counter()
        written: Future[Written] | None = None

        def beside_merges() -> None:
            nonlocal written, keys_done
            written = beside.submit(_write_side_files, plan, keys.keys, store,
                                    lengths if plan.blocks_in_memory else None)
            if keys_done is None and plan.with_keys is not None:
                keys_done = beside.submit(plan.with_keys, keys.keys)

        partitions = _merge_partitions(plan, functools.partial(_block_inputs, blocks), lengths, then=beside_merges)
    assert written is not None
    side_files = written.result()
    if keys_done is not None:
        keys_done.result()
    phases["merge"] = time.perf_counter() - started
    return _segment(plan, lengths, partitions, source, phases, side_files), len(blocks)


def _checked_already(documents: Sequence[Document]) -> None:
    """The check of a block whose documents' keys were all recorded before the first block."""


def merge_segments(segments: Sequence[Segment], index_dir: Path, plan: SegmentPlan) -> Segment:
    """Merge consecutive ``segments`` of the index in ``index_dir`` into one new segment over their
    whole range of ids.  Deleted documents are dropped: no postings, length 0, an empty title and
    no key; they stay in the new segment's deletion set, which holds nothing of them."""
    started = time.perf_counter()
    lengths = array("I")
    keys: list[Key | None] = []
    absent: list[int] = []
    store = DocumentStoreWriter()
    deleted_of = {segment.name: _deleted_in(index_dir, segment) for segment in segments}
    with TitlesWriter(plan.path("titles")) as titles:  # synced beside the merges
        for segment in segments:
            files = {role: index_dir / name for role, name in segment.files.items()}
            try:
                deleted = sorted(deleted_of[segment.name])
                gap = range(plan.first_doc + len(lengths), segment.first_doc)
                absent += gap
                lengths.extend([0] * len(gap))
                keys += [None] * len(gap)
                titles.add_array(titles_json([""] * len(gap)))
                segment_lengths = decode_length_array(files["lengths"].read_bytes(), segment.documents,
                                                      segment.files["lengths"])
                segment_keys = (decode_keys(files["keys"].read_bytes(), segment.documents, segment.files["keys"])
                                if segment.has_keys else [None] * segment.documents)
                segment_titles = titles_payload(files["titles"].read_bytes(), segment.files["titles"])
                if deleted:
                    absent += deleted
                    for doc in deleted:
                        local = doc - segment.first_doc
                        segment_lengths[local], segment_keys[local] = 0, None
                    segment_titles = memoryview(_titles_without(segment_titles, segment, deleted))
                lengths += segment_lengths
                keys += segment_keys
                titles.add_array(segment_titles)
                if plan.store_documents:  # mapped: only the group index is read, and the groups with deletions
                    with open(files["docs"], "rb") as handle, mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ) as data:
                        groups = read_document_store_index(data, segment.files["docs"])
                        if deleted:
                            _add_groups_without(store, groups, data, str(files["docs"]), deleted_of[segment.name],
                                                plan.work / f"groups-{segment.name}")
                        else:
                            store.add_store(groups, str(files["docs"]))
            except (OSError, ValueError) as error:  # FormatError, or an empty file that cannot be mapped
                raise IndexBuildError(f"segment {segment.name}: {error}") from error
    write_synced(plan.path("lengths"), encode_lengths(lengths))
    inputs = [
        tuple(PartitionInput(
            str(index_dir / segment.files[partition_roles(partition)[0]]),
            segment.partition_terms[partition],
            term_table=str(index_dir / segment.files[partition_roles(partition)[1]]),
            what=f"segment {segment.name}, partition {partition}",
            deleted=deleted_of[segment.name],
            positions_path=str(index_dir / segment.files[positions_role(partition)]) if plan.positions else "",
        ) for segment in segments)
        for partition in range(plan.partitions)
    ]
    side_store = store if plan.store_documents else None
    with _beside(functools.partial(_write_side_files, plan, keys, side_store, None)) as written:
        partitions = _merge_partitions(plan, lambda partition: inputs[partition], lengths, len(absent))
    source = "merge of " + ", ".join(segment.name for segment in segments)
    merged = _segment(plan, lengths, partitions, source, {"merge": time.perf_counter() - started},
                      written.result(), len(absent))
    return with_deletion_set(merged, plan.work, DeletionSet(tuple(absent))) if absent else merged


def _add_groups_without(
    store: DocumentStoreWriter, groups: DocumentStoreIndex, data: mmap.mmap, path: str, deleted: frozenset[int],
    rewritten: Path,
) -> None:
    """Add a store's groups, those that hold deleted documents written again (to ``rewritten``)
    with their texts emptied: a merge gives back their space."""
    ends = [*groups.first_docs[1:], None]
    with open(rewritten, "wb") as side:
        for first, start, end, stop in zip(groups.first_docs, groups.starts, groups.ends, ends):
            contents = None
            if any(doc in deleted for doc in range(first, first + GROUP_SIZE if stop is None else stop)):
                contents = read_document_group(data, start, end, path)
            if contents is None or not any(doc in deleted for doc in range(first, first + len(contents))):
                store.add_group(first, path, start, end)
                continue
            packed = compress_group(["" if first + n in deleted else text for n, text in enumerate(contents)])
            offset = side.tell()
            side.write(packed)
            store.add_group(first, str(rewritten), offset, offset + len(packed))


def _deleted_in(index_dir: Path, segment: Segment) -> frozenset[int]:
    try:
        return frozenset(read_deletion_set(index_dir, segment).docs)
    except IndexUnusableError as error:
        raise IndexBuildError(str(error)) from error


def _titles_without(payload: memoryview, segment: Segment, deleted: Sequence[int]) -> bytes:
    """A segment's titles as a JSON array, with the deleted documents' titles emptied."""
    titles = decode_titles_payload(payload, segment.documents, segment.files["titles"])
    for doc in deleted:
        titles[doc - segment.first_doc] = ""
    return titles_json(titles)


@contextlib.contextmanager
def _beside(files: Callable[[], Written], with_keys: Callable[[], None] | None = None) -> Iterator[Future[Written]]:
    """Write the side ``files`` and do the work ``with_keys`` (if any) on threads of their own while
    the block runs; the block ends when all have, raising the first error of the two."""
    threads_wanted = 1 if with_keys is None else 2
    with ThreadPoolExecutor(max_workers=threads_wanted, thread_name_prefix="minisearch-beside") as threads:
        written = threads.submit(files)
        keys_done = None if with_keys is None else threads.submit(with_keys)
        yield written
    written.result()
    if keys_done is not None:
        keys_done.result()


#: A file of a segment beside its partitions, as written: (bytes, SHA-256 digest).
type Written = dict[str, tuple[int, str]]


def _write_side_files(
    plan: SegmentPlan, keys: Sequence[Key | None], store: DocumentStoreWriter | None, lengths: array[int] | None
) -> Written:
    """Write the segment's keys and document store, which no partition's merge reads, while the
    merges run, and its lengths unless they were written before (``lengths`` None: merges in
    other processes read them); sync its titles, written before; returns the sizes and digests
    of all four."""
    if lengths is not None:
        write_synced(plan.path("lengths"), encode_lengths(lengths))
    fsync_file(plan.path("titles"))
    write_synced(plan.path("keys"), encode_keys(keys))
    roles = ["keys", "lengths", "titles"]
    if store is not None:
        try:
            store.write(plan.path("docs"))
        except FormatError as error:
            raise IndexBuildError(str(error)) from error
        roles.append("docs")
    return {role: (plan.path(role).stat().st_size, sha256_of(plan.path(role))) for role in roles}


def _take_block(
    block: BlockInfo, lengths: array[int], titles: TitlesWriter, store: DocumentStoreWriter | None, unfinished: int
) -> None:
    """Take a block's lengths, titles and stored groups; those of a block held in memory may be
    still being made, and are left so for up to ``unfinished`` blocks."""
    lengths.frombytes(block.lengths)
    if block.held is not None:
        titles.add_array(block.held.titles)
        if store is not None and block.held.documents is not None:
            store.add_later(block.first_doc_id, block.held.documents, documents_path(block.path), unfinished)
        return
    with open(titles_path(block.path), "rb") as handle:
        titles.add_array(handle.read())
    if store is not None:
        store.add_block(block.first_doc_id, block.group_sizes, documents_path(block.path))


def _block_inputs(blocks: Sequence[BlockInfo], partition: int) -> tuple[PartitionInput, ...]:
    """What the merge of ``partition`` reads from new blocks: that partition's file of each block,
    in document order, with its term count (not the other partitions' counts)."""
    return tuple(
        PartitionInput(
            block.partition_path(partition), block.partition_terms[partition], what=f"block {block.number}",
            positions_path=positions_path(block.partition_path(partition)) if block.positions else "",
            held=None if block.held is None else block.held.partitions[partition],
        )
        for block in blocks
    )


def _in_flight(plan: SegmentPlan) -> int:
    """Tasks kept in flight by default: twice the worker count, at least 2."""
    return max(2, 2 * (plan.workers or default_workers()))


def _merge_partitions(
    plan: SegmentPlan,
    inputs: Callable[[int], tuple[PartitionInput, ...]],
    lengths: array[int],
    absent: int = 0,
    then: Callable[[], None] = lambda: None,
) -> list[PartitionInfo]:
    """Run one merge task per partition, on ``inputs(partition)``; returns their reports in
    partition order.  ``then`` starts the work beside the merges once the first tasks are on their
    way: begun before them, its Python held the interpreter while the next task waited to be sent.

    Each task is made as it is submitted, and at most :func:`_in_flight` run at once: a pool
    keeps a task until it is done, and a cluster's scheduler keeps it until it has run, so
    submitting every partition's task at once would hold every partition's inputs there."""
    avgdl = average_length(plan.base_tokens + sum(lengths), plan.base_documents + len(lengths) - absent)

    def task(partition: int) -> PartitionTask:
        return PartitionTask(
            number=partition,
            inputs=inputs(partition),
            postings_path=str(plan.path(partition_roles(partition)[0])),
            terms_path=str(plan.path(partition_roles(partition)[1])),
            first_doc=plan.first_doc,
            lengths_path=str(plan.path("lengths")),
            documents=len(lengths),
            avgdl=avgdl,
            head_size=plan.head_size,
            chunk_size=plan.chunk_size,
            positions_path=str(plan.path(positions_role(partition))) if plan.positions else "",
            lengths=lengths if plan.blocks_in_memory else None,
        )

    results: list[PartitionInfo] = []
    pending: set[Future[PartitionInfo]] = set()
    limit = _in_flight(plan)
    with progress("merging", total=plan.partitions, unit="partitions", enabled=plan.show_progress) as bar:

        def collect() -> None:
            nonlocal pending
            done, pending = concurrent.futures.wait(pending, return_when=concurrent.futures.FIRST_COMPLETED)
            for future in done:
                results.append(future.result())
                bar.update(1)

        try:
            for partition in range(plan.partitions):
                while len(pending) >= limit:
                    collect()
                pending.add(plan.executor.submit(merge_partition, task(partition)))
                if partition + 1 == min(limit, plan.partitions):  # the first tasks are all sent
                    then()
            while pending:
                collect()
        finally:
            for future in pending:
                future.cancel()
    return sorted(results, key=lambda info: info.number)


def _segment(
    plan: SegmentPlan,
    lengths: array[int],
    partitions: list[PartitionInfo],
    source: str,
    phases: dict[str, float],
    side_files: Written,
    absent: int = 0,
) -> Segment:
    files = plan.files
    sizes = {role: size for role, (size, _) in side_files.items()}
    digests = {role: digest for role, (_, digest) in side_files.items()}
    for info in partitions:
        for role, size, digest in zip(partition_roles(info.number), info.file_sizes, info.file_sha256):
            sizes[role], digests[role] = size, digest
        if info.positions is not None:
            role = positions_role(info.number)
            sizes[role], digests[role] = info.positions
    for role in files.keys() - sizes.keys():
        sizes[role] = plan.path(role).stat().st_size
        digests[role] = sha256_of(plan.path(role))
    return Segment(
        name=plan.name,
        first_doc=plan.first_doc,
        documents=len(lengths),
        total_tokens=sum(lengths),
        partition_terms=[info.terms for info in partitions],
        postings=sum(info.postings for info in partitions),
        tier_documents=plan.base_documents + len(lengths) - absent,
        tier_tokens=plan.base_tokens + sum(lengths),
        files=files,
        file_sizes={role: sizes[role] for role in files},
        file_sha256={role: digests[role] for role in files},
        source=source,
        created=time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
        phase_seconds={name: round(seconds, 6) for name, seconds in phases.items()},
    )


def _raise_first_failure(pending: dict[Future[BlockInfo], int]) -> None:
    """Raise the error of the first failed block in document order, once the blocks before it are
    done: the first bad document of the source is the one reported."""

    def failures() -> dict[int, Future[BlockInfo]]:
        return {number: future for future, number in pending.items() if future.done() and future.exception()}

    first = min(failures())
    concurrent.futures.wait([future for future, number in pending.items() if number < first])
    failed = failures()
    failed[min(failed)].result()


def _index_blocks(
    documents: Iterable[Document],
    plan: SegmentPlan,
    block_size: int,
    max_pending: int | None,
    expected_documents: int | None,
    check: Callable[[Sequence[Document]], None],
    on_block: Callable[[BlockInfo], None],
) -> list[BlockInfo]:
    """The index phase: returns the blocks in document order.

    ``check`` sees each block's documents before it is sent (and may refuse them).
    ``on_block`` sees each block, in document order, as soon as it and every
    block before it are built; it takes the block's lengths and document
    groups, which the blocks returned no longer hold.  At most ``max_pending`` blocks (default: twice
    the worker count, at least 2) are in flight, so that a large source is
    not read into memory ahead of the workers.
    """
    blocks: list[BlockInfo] = []
    finished: dict[int, BlockInfo] = {}  # built, not yet handed to on_block
    pending: dict[Future[BlockInfo], int] = {}  # block numbers
    limit = max_pending if max_pending is not None else _in_flight(plan)
    shared = isinstance(plan.executor, (ThreadPoolExecutor, InlineExecutor))
    next_doc = plan.first_doc
    try:
        with progress("indexing", total=expected_documents, unit="docs", enabled=plan.show_progress) as bar:

            def collect(return_when: str) -> None:
                done, _ = concurrent.futures.wait(pending, return_when=return_when)
                if any(future.exception() for future in done):
                    _raise_first_failure(pending)
                for future in done:
                    del pending[future]
                    info = future.result()
                    finished[info.number] = info
                    bar.update(info.documents)
                while len(blocks) in finished:
                    block = finished.pop(len(blocks))
                    on_block(block)
                    held = block.held and dataclasses.replace(block.held, titles=b"", documents=None)
                    blocks.append(dataclasses.replace(block, lengths=b"", group_sizes=(), held=held))

            for number, chunk in enumerate(itertools.batched(documents, block_size)):
                if next_doc + len(chunk) > MAX_DOCUMENTS:
                    raise IndexBuildError(f"too many documents: at most {MAX_DOCUMENTS} can be indexed")
                check(chunk)
                path = block_path(str(plan.work / "blocks"), number)
                # Threads share the documents as they are; a pool's workers get them without keys,
                # which pickle faster than Documents.
                pairs: Sequence[Document | tuple[str, str]] = chunk
                if not shared:
                    pairs = [(document[0], document[1]) for document in chunk]
                task = BlockTask(number, path, next_doc, pairs, plan.store_documents, plan.partitions, plan.tokenizer,
                                 plan.positions, in_memory=plan.blocks_in_memory)
                next_doc += len(chunk)
                pending[plan.executor.submit(build_block, task)] = number
                while len(pending) >= limit:
                    collect(concurrent.futures.FIRST_COMPLETED)
            while pending:
                collect(concurrent.futures.ALL_COMPLETED)
    finally:
        for future in pending:
            future.cancel()
    return blocks
