"""Building one block: the work an executor's worker does.

A block is a run of consecutive documents.  Its worker tokenises them and
writes their inverted lists as one block file per term partition with
``quorbel.write_binary_block`` (terms sorted, each term's postings in
document order), their titles as a JSON array, and, unless told not to,
their contents as compressed groups of the document store.  It reports the
documents' lengths back.  On the native kernels, a worker that shares the
caller's process hands these files back as bytes instead (``in_memory``).

Everything here is module-level and its inputs and outputs are plain
picklable values, so any ``concurrent.futures.Executor`` can run it.
"""

from __future__ import annotations

import functools
from array import array
from collections import Counter, defaultdict
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from itertools import groupby, repeat
from operator import countOf, itemgetter
from pathlib import Path

import quorbel

from . import native_build
from .corpus import Document
from .durability import written_in_place_of
from .errors import DocumentError
from .layout import GROUP_SIZE, compress_group, titles_json
from .partitions import partition_of
from .positions import BLOCK_INDEX_LEVEL, Positions, PositionsWriter, runs_of
from .tokens import TOKENIZER, tokenizer_named

__all__ = [
    "MAX_CONTENT_CHARS",
    "MAX_TITLE_CHARS",
    "BlockInfo",
    "BlockTask",
    "HeldBlock",
    "block_path",
    "DocumentError",
    "check_documents",
    "first_invalid_text",
    "build_block",
    "first_invalid_text",
    "partition_path",
    "titles_path",
]

Posting = tuple[int, int, int]
#: A block's document store: its groups, one after the other, and each one's size.
StoreGroups = tuple[bytes, tuple[int, ...]]

#: Longest title and content accepted, in characters.
MAX_TITLE_CHARS = 2**16
MAX_CONTENT_CHARS = 2**26



@dataclass(frozen=True)
class BlockTask:
    """One block to build: documents ``first_doc_id`` onwards, written beside ``path``."""

    number: int
    path: str
    first_doc_id: int
    documents: Sequence[Document | tuple[str, str]]
    """Each one's title and content first: a :class:`Document`, or a plain (title, content) pair,
    which a pool sends its worker faster."""
    store_documents: bool = True
    partitions: int = 1
    tokenizer: str = TOKENIZER.name
    """The name of the rule that tokenises the documents (see minisearch.tokens)."""
    positions: bool = True
    """Whether to write the terms' positions beside each partition file."""
    in_memory: bool = False
    """Whether the block's files are handed back in its :class:`BlockInfo` instead of written,
    for a caller in the same process (the native kernels only: the Python build writes them)."""

    @property
    def documents_path(self) -> str:
        return documents_path(self.path)


@dataclass(frozen=True)
class HeldBlock:
    """A block's files in memory: per partition its block file and positions file (None
    without positions), its titles' JSON array, and what gives its document store's groups and
    their sizes (None without a store).  Those are still being made when the block is handed
    back: the partitions' merges need only its postings, and start meanwhile."""

    partitions: tuple[tuple[bytes, bytes | None], ...]
    titles: bytes
    documents: Callable[[], StoreGroups] | None = None


@dataclass(frozen=True)
class BlockInfo:
    """What a worker reports about the block it built."""

    number: int
    path: str
    first_doc_id: int
    documents: int
    partition_terms: tuple[int, ...]
    """Terms in each partition's block file."""
    postings: int
    file_size: int
    lengths: bytes
    """The documents' lengths in tokens, a native-order ``array("I")``."""
    group_sizes: tuple[int, ...] = ()
    """Byte sizes of the block's document store groups, in order (empty without a store)."""
    positions: bool = False
    """Whether each partition file has its positions file beside it."""
    held: HeldBlock | None = None
    """The block's files, when they were kept in memory instead of written."""

    @property
    def terms(self) -> int:
        return sum(self.partition_terms)

    def partition_path(self, partition: int) -> str:
        return partition_path(self.path, partition)


def block_path(directory: str, number: int) -> str:
    """Where block ``number`` of a build goes, in ``directory`` (its files take this name's stem)."""
    return str(Path(directory, f"block-{number:06d}.blk"))


def partition_path(block_path: str, partition: int) -> str:
    """Where partition ``partition`` of the block at ``block_path`` goes."""
    path = Path(block_path)
    return str(path.with_name(f"{path.stem}-{partition:03d}.blk"))


def documents_path(block_path: str) -> str:
    """Where the document store groups of the block at ``block_path`` go."""
    return str(Path(block_path).with_suffix(".docs"))


def titles_path(block_path: str) -> str:
    """Where the titles of the block at ``block_path`` go, as a JSON array."""
    return str(Path(block_path).with_suffix(".titles"))


def build_block(task: BlockTask) -> BlockInfo:
    """Build the block described by ``task``; raises :class:`DocumentError`."""
    if native_build.AVAILABLE:
        return _build_natively(task)
    lists: defaultdict[str, list[Posting]] = defaultdict(list)
    in_title: Counter[str] = Counter()  # documents holding the term in their title
    title_only: Counter[str] = Counter()  # ... and not in their content
    lengths = array("I")
    content: Mapping[str, int]
    title: Mapping[str, int]
    rule = tokenizer_named(task.tokenizer)
    count_fields = rule.count_fields
    where: defaultdict[str, list[Positions]] | None = defaultdict(list) if task.positions else None
    for doc_id, document in enumerate(task.documents, start=task.first_doc_id):
        _check_document(doc_id, document)
        if where is None:
            content, title, length = count_fields(document[0], document[1])
        else:
            content, title, length = _count_and_place(rule.tokenize(document[0]), rule.tokenize(document[1]),
                                                      where)
        lengths.append(length)
        frequencies = zip(repeat(doc_id), content.values(), map(title.get, content, repeat(0)))
        for term, posting in zip(content, frequencies):
            lists[term].append(posting)
        if title:
            in_title.update(title.keys())
            extra = title.keys() - content.keys()
            if extra:
                title_only.update(extra)
                for term in extra:
                    lists[term].append((doc_id, 0, title[term]))
    by_partition: list[list[str]] = [[] for _ in range(task.partitions)]
    for term in sorted(lists):
        by_partition[partition_of(term, task.partitions)].append(term)
    partition_terms, file_size = [], 0
    for partition, terms in enumerate(by_partition):
        posting_lists = [lists[term] for term in terms]
        counts = [(len(postings) - title_only[term], in_title[term]) for term, postings in zip(terms, posting_lists)]
        with written_in_place_of(partition_path(task.path, partition)) as path:
            quorbel.write_binary_block(terms, counts, posting_lists, path)
            num_terms, size = quorbel.get_block_stats(path)
        if where is not None:
            _write_positions(positions_path(partition_path(task.path, partition)), [where[term] for term in terms])
        partition_terms.append(num_terms)
        file_size += size
    return _finished(task, partition_terms, sum(map(len, lists.values())), file_size, lengths.tobytes())


def _build_natively(task: BlockTask) -> BlockInfo:
    """:func:`build_block` on the native kernels: the same files, byte for byte.  The document
    store's groups are made on a thread of the kernels' own."""
    titles = [document[0] for document in task.documents]
    contents = [document[1] for document in task.documents]
    check_documents(task.first_doc_id, titles, contents)
    # A block that writes its files makes its store beside its postings; one held in memory after
    # them, so that the kernels that every merge waits for have the cores first.
    store = _start_document_groups(task, contents) if task.store_documents and not task.in_memory else None
    built = native_build.block_files(
        titles, contents, task.first_doc_id, task.partitions, task.positions, tokenizer_named(task.tokenizer)
    )
    if task.store_documents and task.in_memory:
        store = _start_document_groups(task, contents) or functools.partial(_document_groups, task)
    partition_terms, file_size = [], 0
    for partition, (num_terms, postings, positions) in enumerate(built.partitions):
        if not task.in_memory:
            path = partition_path(task.path, partition)
            _write_bytes(path, postings)
            if positions is not None:
                _write_bytes(positions_path(path), positions)
        partition_terms.append(num_terms)
        file_size += len(postings)
    held = tuple((postings, positions) for _, postings, positions in built.partitions) if task.in_memory else None
    return _finished(task, partition_terms, built.postings, file_size, built.lengths, store, titles, held)


def _finished(
    task: BlockTask, partition_terms: list[int], postings: int, file_size: int, lengths: bytes,
    store: Callable[[], StoreGroups] | None = None, titles: list[str] | None = None,
    held: tuple[tuple[bytes, bytes | None], ...] | None = None,
) -> BlockInfo:
    """The block's titles and stored documents (given by ``store``, or made here) beside its
    partitions' files; what it holds.  A block ``held`` in memory hands back ``store`` unfinished."""
    titles_data = _titles_json(task, titles if titles is not None else [document[0] for document in task.documents])
    if held is not None:
        return _block_info(task, partition_terms, postings, file_size, lengths, (),
                           HeldBlock(held, titles_data, store))
    _write_bytes(titles_path(task.path), titles_data)
    group_sizes: tuple[int, ...] = ()
    if task.store_documents:
        data, group_sizes = (store or functools.partial(_document_groups, task))()
        _write_bytes(task.documents_path, data)
    return _block_info(task, partition_terms, postings, file_size, lengths, group_sizes, None)


def _block_info(
    task: BlockTask, partition_terms: list[int], postings: int, file_size: int, lengths: bytes,
    group_sizes: tuple[int, ...], held: HeldBlock | None,
) -> BlockInfo:
    return BlockInfo(
        number=task.number,
        path=task.path,
        first_doc_id=task.first_doc_id,
        documents=len(task.documents),
        partition_terms=tuple(partition_terms),
        postings=postings,
        file_size=file_size,
        lengths=lengths,
        group_sizes=group_sizes,
        positions=task.positions,
        held=held,
    )


def _write_bytes(path: str, data: bytes) -> None:
    with written_in_place_of(path) as temporary, open(temporary, "wb") as handle:
        handle.write(data)


def _count_and_place(
    title_tokens: list[str], content_tokens: list[str], where: defaultdict[str, list[Positions]]
) -> tuple[dict[str, int], dict[str, int], int]:
    """A document's term counts per field, as :meth:`Tokenizer.count_fields` gives them, and each
    term's positions appended to ``where[term]`` (title's, content's), in the order the postings
    are: its content terms, then the terms of its title only."""
    title_at = _positions_of(title_tokens)
    content_at = _positions_of(content_tokens)
    for term, positions in content_at.items():
        where[term].append((title_at.get(term, ()), positions))
    for term, positions in title_at.items():
        if term not in content_at:
            where[term].append((positions, ()))
    content = {term: len(positions) for term, positions in content_at.items()}
    title = {term: len(positions) for term, positions in title_at.items()}
    return content, title, len(title_tokens) + len(content_tokens)


def _positions_of(tokens: list[str]) -> dict[str, list[int]]:
    """Each term's positions among ``tokens``, ascending (a stable sort keeps them so)."""
    at = tokens.__getitem__
    return {term: list(group) for term, group in groupby(sorted(range(len(tokens)), key=at), key=at)}


def _write_positions(path: str, per_term: Sequence[Sequence[Positions]]) -> None:
    with written_in_place_of(path) as temporary, open(temporary, "wb") as handle:
        writer = PositionsWriter(handle, BLOCK_INDEX_LEVEL)
        for positions in per_term:
            writer.add_term(runs_of(positions))
        writer.finish()


def positions_path(block_file: str) -> str:
    """Where the positions of a block's partition file go."""
    return block_file + ".pos"


def doc_freqs(postings: Sequence[Posting]) -> tuple[int, int]:
    """The two document frequencies of a posting list: postings with content, with title."""
    if len(postings) == 1:  # most lists: skip the two passes
        _, content, title = postings[0]
        return (1 if content else 0, 1 if title else 0)
    return (
        len(postings) - countOf(map(itemgetter(1), postings), 0),
        len(postings) - countOf(map(itemgetter(2), postings), 0),
    )


def check_documents(first_doc_id: int, titles: list[str], contents: list[str]) -> None:
    """:func:`_check_document` on every document: all at once when they pass, one by one to name
    the first that does not."""
    if (
        {*map(type, titles), *map(type, contents)} <= {str}
        and max(map(len, titles), default=0) <= MAX_TITLE_CHARS
        and max(map(len, contents), default=0) <= MAX_CONTENT_CHARS
    ):
        return
    for doc_id, document in enumerate(zip(titles, contents), start=first_doc_id):
        _check_document(doc_id, document)


def _check_document(doc_id: int, document: Document | tuple[str, str]) -> None:
    title, content = document[0], document[1]
    if not isinstance(title, str) or not isinstance(content, str):
        raise DocumentError(f"document {doc_id}: title and content must be str")
    if len(title) > MAX_TITLE_CHARS:
        raise DocumentError(f"document {doc_id}: title of {len(title):,} characters (limit {MAX_TITLE_CHARS:,})")
    if len(content) > MAX_CONTENT_CHARS:
        raise DocumentError(
            f"document {doc_id}: content of {len(content):,} characters (limit {MAX_CONTENT_CHARS:,})"
        )


def _titles_json(task: BlockTask, titles: list[str]) -> bytes:
    try:
        return titles_json(titles)
    except UnicodeEncodeError:
        found = first_invalid_text(titles, task.first_doc_id, "the title is ")
        raise found or DocumentError(f"block {task.number}: a title is not valid text") from None


def _start_document_groups(task: BlockTask, contents: list[str]) -> Callable[[], StoreGroups] | None:
    """The block's document store begun on the kernels (None without them): what gives it."""
    result = native_build.start_store_groups(contents) if native_build.AVAILABLE else None
    if result is None:
        return None

    def made() -> StoreGroups:
        try:
            return result()
        except UnicodeEncodeError:
            raise _not_text(task, contents) from None

    return made


def _document_groups(task: BlockTask) -> StoreGroups:
    """The block's contents compressed in groups for its ``.docs`` file, and the group sizes."""
    contents = [document[1] for document in task.documents]
    made = _start_document_groups(task, contents)
    if made is not None:
        return made()
    try:
        groups = [compress_group(contents[start : start + GROUP_SIZE]) for start in range(0, len(contents), GROUP_SIZE)]
    except UnicodeEncodeError:
        raise _not_text(task, contents) from None
    return b"".join(groups), tuple(map(len, groups))


def _not_text(task: BlockTask, contents: Sequence[str]) -> DocumentError:
    found = first_invalid_text(contents, task.first_doc_id, "")
    return found or DocumentError(f"block {task.number}: a document is not valid text")


def first_invalid_text(texts: Sequence[str], first_doc_id: int, what: str) -> DocumentError | None:
    """The error naming the first text that cannot be encoded as UTF-8 (a lone surrogate), if any;
    ``what`` names the field ("the title ", or "" for the content)."""
    for doc_id, text in enumerate(texts, start=first_doc_id):
        try:
            text.encode("utf-8")
        except UnicodeEncodeError as error:
            return DocumentError(
                f"document {doc_id}: {what}not valid text ({error.reason} at character {error.start})"
            )
    return None
