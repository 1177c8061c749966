"""The manifest: the committed segments of an index and the names of their files.

An index is a list of segments; each segment holds a run of consecutive
documents (ids ``first_doc`` onwards) and is split into term partitions
(see :mod:`minisearch.partitions`).  An index directory holds::

    manifest.json                    the committed segments, with counts and digests
    postings-<segment>-<p>.blk       per segment and partition p (000, 001, ...): the block file
    terms-<segment>-<p>.bin          ... and its term table (see minisearch.layout)
    lengths-<segment>.bin            per segment: its documents' lengths,
    titles-<segment>.bin             titles
    docs-<segment>.bin               and document store (absent when built without it)
    pending-<generation>.bin         a small commit's change, not yet in a segment (see minisearch.pending)
    .lock                            taken by a build, add or merge while it runs

The commit that replaces the manifest, and the lock around it, are in
:mod:`minisearch.durability`.
"""

from __future__ import annotations

import functools

import json
import os
import re
import secrets
import sys
import time
from collections.abc import Sequence
from dataclasses import asdict, dataclass, field, replace
from pathlib import Path
from typing import Any

from .errors import IndexUnusableError
from .tokens import LEGACY, Tokenizer, tokenizer_named

__all__ = [
    "DATA_FILE_RE",
    "MAX_DOCUMENTS",
    "FORMAT_NAME",
    "FORMAT_VERSION",
    "DELETES_ROLE",
    "MANIFEST_NAME",
    "Manifest",
    "Pending",
    "Segment",
    "data_file_names",
    "new_generation",
    "new_tag",
    "partition_roles",
    "positions_role",
    "read_manifest",
]

MANIFEST_NAME = "manifest.json"
FORMAT_NAME = "minisearch-index"
FORMAT_VERSION = 7
#: Versions this engine reads: version 3 had neither keys nor deletions; 3 and 4 are tokenised by
#: the legacy rule, in which a combining mark separates terms (see minisearch.tokens); before 6, a
#: run of positions with a gap from 256 on held deflated 32-bit words, not varints (see
#: minisearch.positions); before 7, no change was pending.  An index of an earlier version takes
#: the current one at its next commit.
READABLE_VERSIONS = (3, 4, 5, 6, 7)
#: The files of a segment beside its partitions, by role; the document store is optional, and
#: so are the keys (none in indexes of version 3).
SEGMENT_ROLES = ("lengths", "titles", "docs", "keys")
OPTIONAL_ROLES = frozenset({"docs", "keys"})
#: The deletion set of a segment: a new file, with a new tag, at each commit that changes it.
DELETES_ROLE = "deletes"

_GENERATION = r"\d{8}T\d{6}-[0-9a-f]{8}"
_GENERATION_RE = re.compile(_GENERATION)
_TAG_RE = re.compile(r"[0-9a-f]{8}")
DATA_FILE_RE = re.compile(
    rf"(?:(?:lengths|titles|docs|keys)-{_GENERATION}\.bin)|(?:postings-{_GENERATION}-\d{{3,4}}\.blk)"
    rf"|(?:(?:terms|positions)-{_GENERATION}-\d{{3,4}}\.bin)|(?:deletes-{_GENERATION}-[0-9a-f]{{8}}\.bin)"
    rf"|(?:pending-{_GENERATION}\.bin)"
)
PENDING_RE = re.compile(rf"pending-{_GENERATION}\.bin")



def new_generation() -> str:
    """Return a fresh segment name: UTC time and a random suffix."""
    return time.strftime("%Y%m%dT%H%M%S", time.gmtime()) + "-" + secrets.token_hex(4)


def partition_roles(partition: int) -> tuple[str, str]:
    """The roles of partition ``partition``'s block file and term table."""
    return f"postings-{partition:03d}", f"terms-{partition:03d}"


def new_tag() -> str:
    """A fresh tag for a segment's deletion set."""
    return secrets.token_hex(4)


def data_file_names(
    segment: str,
    partitions: int,
    with_documents: bool = True,
    with_keys: bool = True,
    deletes: str | None = None,
    with_positions: bool = False,
) -> dict[str, str]:
    """File names of one segment, by role: the side files, then each partition's two files (and
    its positions file); ``deletes`` is the tag of its deletion set, if it has one."""
    if not _GENERATION_RE.fullmatch(segment):
        raise ValueError(f"not a segment name: {segment!r}")
    wanted = {"docs": with_documents, "keys": with_keys}
    names = {role: f"{role}-{segment}.bin" for role in SEGMENT_ROLES if wanted.get(role, True)}
    if deletes is not None:
        if not _TAG_RE.fullmatch(deletes):
            raise ValueError(f"not a deletion set tag: {deletes!r}")
        names[DELETES_ROLE] = f"{DELETES_ROLE}-{segment}-{deletes}.bin"
    for partition in range(partitions):
        postings, terms = partition_roles(partition)
        names[postings] = f"postings-{segment}-{partition:03d}.blk"
        names[terms] = f"terms-{segment}-{partition:03d}.bin"
        if with_positions:
            names[positions_role(partition)] = f"positions-{segment}-{partition:03d}.bin"
    return names


def positions_role(partition: int) -> str:
    """The role of partition ``partition``'s positions file."""
    return f"positions-{partition:03d}"


#: The most documents an index holds: document ids, signed 32-bit integers in the posting lists, are below it.
MAX_DOCUMENTS = 2**31 - 1
#: The largest count a manifest may hold otherwise (tokens, postings, terms, sizes, commits).
MAX_COUNT = 2**63 - 1


def _count(value: Any, name: str, most: int = MAX_COUNT) -> int:
    if type(value) is not int or not 0 <= value <= most:
        raise IndexUnusableError(f"manifest field {name!r} is not an integer from 0 to {most}")
    return value


@dataclass(frozen=True)
class Segment:
    """One segment of the manifest: a run of documents, split into the index's partitions."""

    name: str
    first_doc: int
    documents: int
    total_tokens: int
    partition_terms: list[int]
    """Terms in each partition (a term lives in one partition)."""
    postings: int
    tier_documents: int
    tier_tokens: int
    """The document and token counts whose average length ordered the segment's impact tiers."""
    files: dict[str, str]
    file_sizes: dict[str, int]
    file_sha256: dict[str, str]
    source: str = ""
    created: str = ""
    phase_seconds: dict[str, float] = field(default_factory=dict)
    deleted: int = 0
    """Documents of the segment's range that are gone: in its deletion set."""
    deleted_tokens: int = 0
    """Tokens of the deleted documents whose postings the segment still holds (a merge drops them)."""

    @property
    def terms(self) -> int:
        return sum(self.partition_terms)

    @property
    def has_documents(self) -> bool:
        return "docs" in self.files

    @property
    def has_keys(self) -> bool:
        return "keys" in self.files

    @property
    def has_positions(self) -> bool:
        return isinstance(self.files, dict) and positions_role(0) in self.files

    @property
    def end_doc(self) -> int:
        """The id after the segment's last document."""
        return self.first_doc + self.documents

    @property
    def live_documents(self) -> int:
        return self.documents - self.deleted

    @property
    def live_tokens(self) -> int:
        return self.total_tokens - self.deleted_tokens

    @property
    def deletes_tag(self) -> str | None:
        name = self.files.get(DELETES_ROLE) if isinstance(self.files, dict) else None
        return name.rsplit("-", 1)[1].removesuffix(".bin") if isinstance(name, str) and "-" in name else None

    def validate(self, partitions: int, first_doc: int) -> None:
        for name in ("first_doc", "documents", "tier_documents", "deleted"):
            _count(getattr(self, name), name, MAX_DOCUMENTS)
        for name in ("total_tokens", "postings", "tier_tokens", "deleted_tokens"):
            _count(getattr(self, name), name)
        if self.end_doc > MAX_DOCUMENTS:
            raise IndexUnusableError(f"manifest: segment {self.name} ends after document {MAX_DOCUMENTS}")
        if not isinstance(self.files, dict):
            raise IndexUnusableError(f"manifest field 'files' of segment {self.name} is not an object")
        if self.deleted > self.documents or self.deleted_tokens > self.total_tokens:
            raise IndexUnusableError(f"manifest: segment {self.name} deletes more than it holds")
        if (self.deleted > 0) != (DELETES_ROLE in self.files):
            raise IndexUnusableError(f"manifest: segment {self.name} counts deletions without a deletion set")
        if not isinstance(self.partition_terms, list) or len(self.partition_terms) != partitions:
            raise IndexUnusableError(f"manifest: segment {self.name} does not count the terms of its partitions")
        for terms in self.partition_terms:
            _count(terms, "partition_terms")
        if self.first_doc < first_doc:
            raise IndexUnusableError(f"segment {self.name} starts at document {self.first_doc}, before {first_doc}")
        try:
            expected = data_file_names(
                self.name, partitions, with_documents="docs" in self.files, with_keys="keys" in self.files,
                deletes=self.deletes_tag, with_positions=self.has_positions,
            )
        except (TypeError, ValueError) as error:
            raise IndexUnusableError("manifest names a segment without a valid name") from error
        if self.files != expected:
            raise IndexUnusableError(f"manifest: the file names of segment {self.name} do not match it")
        for name in ("file_sizes", "file_sha256"):
            value = getattr(self, name)
            if not isinstance(value, dict) or set(value) != set(expected):
                raise IndexUnusableError(f"manifest field {name!r} of segment {self.name} does not cover its files")


@dataclass(frozen=True)
class Pending:
    """A small commit's change, logged in one file until a commit folds it into a segment."""

    file: str
    size: int
    sha256: str
    documents: int
    """Documents the change adds."""
    keys: int
    """Keys the change deletes."""

    def validate(self) -> None:
        if not isinstance(self.file, str) or not PENDING_RE.fullmatch(self.file):
            raise IndexUnusableError(f"manifest: {self.file!r} is not the name of a pending change")
        for name in ("size", "documents", "keys"):
            _count(getattr(self, name), name)
        if not isinstance(self.sha256, str) or not re.fullmatch(r"[0-9a-f]{64}", self.sha256):
            raise IndexUnusableError(f"manifest: the digest of {self.file} is not a SHA-256")


@dataclass(frozen=True)
class Manifest:
    """The contents of ``manifest.json``: the committed segments, in document order."""

    partitions: int
    head_size: int
    chunk_size: int
    tokenizer: str
    segments: tuple[Segment, ...]
    commit: int = 0
    """Counts the commits of the index directory, from 1 for its first build."""
    format: str = FORMAT_NAME
    version: int = FORMAT_VERSION
    positions: bool = True
    """Whether the index keeps its terms' positions (False: built with --no-positions)."""
    pending: tuple[Pending, ...] = ()
    """Small commits' changes after the segments, oldest first (see minisearch.pending)."""

    @property
    def documents(self) -> int:
        """Documents of the segments' ranges, deleted ones included."""
        return sum(segment.documents for segment in self.segments)

    @property
    def total_tokens(self) -> int:
        return sum(segment.total_tokens for segment in self.segments)

    @property
    def end_doc(self) -> int:
        """The id the next added document gets: after every segment's range."""
        return self.segments[-1].end_doc if self.segments else 0

    @functools.cached_property
    def live_documents(self) -> int:
        """Documents a search ranks over: not deleted."""
        return sum(segment.live_documents for segment in self.segments)

    @functools.cached_property
    def live_tokens(self) -> int:
        return sum(segment.live_tokens for segment in self.segments)

    @property
    def has_keys(self) -> bool:
        return all(segment.has_keys for segment in self.segments)

    @property
    def has_positions(self) -> bool:
        """Whether every segment keeps its terms' positions (what phrases need)."""
        return self.positions is True and all(segment.has_positions for segment in self.segments)

    @property
    def postings(self) -> int:
        return sum(segment.postings for segment in self.segments)

    @property
    def files(self) -> list[str]:
        """Every data file of every segment, and the pending changes' files."""
        return [name for segment in self.segments for name in segment.files.values()] + [
            change.file for change in self.pending
        ]

    @property
    def pending_count(self) -> int:
        """Documents added and keys deleted by the pending changes."""
        return sum(change.documents + change.keys for change in self.pending)

    def with_segments(self, segments: Sequence[Segment]) -> Manifest:
        """The next commit: these segments in place of the current ones (the pending changes kept)."""
        return replace(self, segments=tuple(segments), commit=self.commit + 1, version=FORMAT_VERSION)

    def with_pending(self, pending: Sequence[Pending]) -> Manifest:
        """The next commit: these pending changes in place of the current ones."""
        return replace(self, pending=tuple(pending), commit=self.commit + 1, version=FORMAT_VERSION)

    def to_json(self) -> str:
        data = asdict(self)
        data["documents"], data["total_tokens"] = self.documents, self.total_tokens
        return json.dumps(data, indent=2, sort_keys=True) + "\n"

    @classmethod
    def from_json(cls, text: str) -> Manifest:
        """Parse and validate a manifest; raises :class:`IndexUnusableError`."""
        try:
            data = json.loads(text)
        except json.JSONDecodeError as error:
            raise IndexUnusableError(f"manifest is not valid JSON: {error.msg}") from error
        except RecursionError:
            raise IndexUnusableError("not a valid manifest: values nested too deeply") from None
        except ValueError:  # an integer of more digits than int() converts
            limit = sys.get_int_max_str_digits()
            raise IndexUnusableError(f"not a valid manifest: an integer of more than {limit} digits") from None
        if not isinstance(data, dict) or data.get("format") != FORMAT_NAME:
            raise IndexUnusableError("manifest does not describe a minisearch index")
        if data.get("version") not in READABLE_VERSIONS:
            raise IndexUnusableError(
                f"unsupported index version {data.get('version')!r} (this minisearch reads versions "
                f"{READABLE_VERSIONS[0]} to {READABLE_VERSIONS[-1]}); build the index again"
            )
        documents, total_tokens = data.pop("documents", None), data.pop("total_tokens", None)
        try:
            segments = tuple(Segment(**segment) for segment in data.pop("segments"))
            pending = tuple(Pending(**change) for change in data.pop("pending", ()))
            manifest = cls(segments=segments, pending=pending, **data)
        except (KeyError, TypeError) as error:
            raise IndexUnusableError(f"manifest has missing or unknown fields: {error}") from error
        manifest._validate()
        if (documents, total_tokens) != (manifest.documents, manifest.total_tokens):
            raise IndexUnusableError("manifest: its document and token counts do not add up over its segments")
        return manifest

    @functools.cached_property
    def tokenizer_rule(self) -> Tokenizer:
        """The rule that made the index's terms, and that tokenises its queries and new documents."""
        return tokenizer_named(self.tokenizer)

    def _validate(self) -> None:
        for name in ("head_size", "chunk_size", "commit"):
            _count(getattr(self, name), name)
        try:
            rule = self.tokenizer_rule
        except ValueError as error:
            raise IndexUnusableError(f"manifest: {error}; build the index again") from None
        if self.version < 5 and rule is not LEGACY:
            raise IndexUnusableError(f"manifest: a version {self.version} index is not tokenised by {self.tokenizer!r}")
        if type(self.partitions) is not int or not 1 <= self.partitions <= 9999:
            raise IndexUnusableError("manifest field 'partitions' is not a partition count")
        first_doc = 0
        for segment in self.segments:
            segment.validate(self.partitions, first_doc)
            first_doc = segment.end_doc
        if not isinstance(self.pending, tuple) or not all(type(change) is Pending for change in self.pending):
            raise IndexUnusableError("manifest field 'pending' is not a list of changes")
        for change in self.pending:
            change.validate()
        if len({change.file for change in self.pending}) != len(self.pending):
            raise IndexUnusableError("manifest: a pending change is listed twice")


def read_manifest(index_dir: str | os.PathLike[str]) -> Manifest:
    """Read ``manifest.json`` of ``index_dir``; raises :class:`IndexUnusableError`."""
    path = Path(index_dir, MANIFEST_NAME)
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        raise IndexUnusableError(f"no index in {os.fspath(index_dir)} (no {MANIFEST_NAME})") from None
    except (OSError, UnicodeDecodeError) as error:
        raise IndexUnusableError(f"cannot read {path}: {error}") from error
    return Manifest.from_json(text)
