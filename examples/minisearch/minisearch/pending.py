"""Small commits: a change of a few documents logged in one file, indexed when a reader opens.

A segment costs a dozen files, each synced to disk, and the work of indexing;
for a delete or upsert of a few documents that is most of the commit.  So a
change that leaves at most ``pending_limit`` documents and keys pending
commits as one ``pending-<generation>.bin`` file (the keys it deletes and the
documents it adds, as JSON) listed by the manifest after its segments.  A
reader replays the pending changes in order when it opens the index and
indexes them in a private directory as the commit that folds them would:
one segment of the documents still live, the deleted ones in deletion sets.
So every result equals that of a fresh build of the live documents, as after
any commit.  The next commit that is not small takes the pending deletions
into its own commit, after a commit of their own folds any pending documents
into a segment; ``add``, ``optimize`` and ``sync`` fold them before they start.
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import shutil
import tempfile
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path

from .corpus import Document, Key, is_key
from .durability import write_synced
from .errors import IndexUnusableError
from .manifest import Manifest, Pending, new_generation

__all__ = ["Replay", "pending_file", "read_change", "replay", "view_directory", "write_change"]

#: Where a reader's view of the pending changes is made: memory, where a file system there is.
_MEMORY_DIR = "/dev/shm"


def pending_file(generation: str) -> str:
    return f"pending-{generation}.bin"


def write_change(work: Path, delete_keys: Sequence[Key], documents: Sequence[Document]) -> Pending:
    """Write one change in ``work``, synced; the documents are checked already (valid text)."""
    data = json.dumps(
        {"delete": list(delete_keys), "documents": [[title, content, key] for title, content, key in documents]},
        ensure_ascii=False, separators=(",", ":"),
    ).encode("utf-8")
    name = pending_file(new_generation())
    write_synced(work / name, data)
    return Pending(name, len(data), hashlib.sha256(data).hexdigest(), len(documents), len(delete_keys))


@dataclass(frozen=True)
class Change:
    """One pending change: the keys it deletes, then the documents it adds."""

    delete: list[Key]
    documents: list[Document]


def read_change(index_dir: Path, pending: Pending) -> Change:
    """Read and check one pending change; raises :class:`IndexUnusableError` naming its file."""
    path = index_dir / pending.file
    try:
        data = path.read_bytes()
    except OSError as error:
        raise IndexUnusableError(f"cannot read the pending change {path}: {error.strerror or error}") from error
    if len(data) != pending.size or hashlib.sha256(data).hexdigest() != pending.sha256:
        raise IndexUnusableError(f"{path}: the pending change does not match its digest")
    try:
        change = _decode(data)
    except (ValueError, TypeError, RecursionError):
        change = None
    if change is None or (len(change.documents), len(change.delete)) != (pending.documents, pending.keys):
        raise IndexUnusableError(f"{path}: not a valid pending change")
    return change


def _decode(data: bytes) -> Change | None:
    value = json.loads(data)
    if not isinstance(value, dict) or set(value) != {"delete", "documents"}:
        return None
    delete, records = value["delete"], value["documents"]
    if not isinstance(delete, list) or not all(map(is_key, delete)) or not isinstance(records, list):
        return None
    documents = []
    for record in records:
        if not (isinstance(record, list) and len(record) == 3 and isinstance(record[0], str)
                and isinstance(record[1], str) and (record[2] is None or is_key(record[2]))):
            return None
        documents.append(Document(*record))
    return Change(delete, documents)


@dataclass
class Replay:
    """The pending changes' sum: the documents they add that are still live, in the order of their
    last addition, and the keys they take from the segments (deleted or replaced)."""

    documents: dict[object, Document] = field(default_factory=dict)
    deleted: set[Key] = field(default_factory=set)

    def apply(self, delete_keys: Iterable[Key], documents: Iterable[Document]) -> None:
        for key in delete_keys:
            if self.documents.pop(key, None) is None:
                self.deleted.add(key)
        for document in documents:
            if document.key is None:  # replaces none
                self.documents[object()] = document
                continue
            if self.documents.pop(document.key, None) is None:
                self.deleted.add(document.key)
            self.documents[document.key] = document

    def holds(self, key: Key, in_segments: bool) -> bool:
        """Whether ``key`` is live after the changes, given whether the segments hold it live."""
        return key in self.documents or (in_segments and key not in self.deleted)


def replay(index_dir: Path, manifest: Manifest) -> Replay:
    """The manifest's pending changes applied in order."""
    replayed = Replay()
    for pending in manifest.pending:
        change = read_change(index_dir, pending)
        replayed.apply(change.delete, change.documents)
    return replayed


@contextlib.contextmanager
def view_directory() -> Iterator[Path]:
    """A private directory for the files a fold of the pending changes writes; removed when the
    block fails (the caller removes it otherwise)."""
    base = _MEMORY_DIR if os.path.isdir(_MEMORY_DIR) and os.access(_MEMORY_DIR, os.W_OK) else None
    directory = Path(tempfile.mkdtemp(prefix="minisearch-view-", dir=base))
    try:
        yield directory
    except BaseException:
        shutil.rmtree(directory, ignore_errors=True)
        raise
