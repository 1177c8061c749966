"""Deletion sets: which documents of a segment are gone, and what of them it still holds.

A search must rank exactly as a fresh build of the live documents, so a
deletion set records, beside the deleted ids, the tokens and the per-term
document counts of the deleted documents whose postings the segment still
holds: the reader subtracts them from the segment's statistics.  They are
taken from the stored text (tokenised again, as the build did), or, for an
index built without its documents, by scanning the segment's postings once.
A merge drops the deleted documents' postings, and lists them in the new
segment's set with nothing held.

Each commit that changes a segment's set writes a new file under a new tag
(``deletes-<segment>-<tag>.bin``), so that readers of the previous commit
keep reading the set they opened.
"""

from __future__ import annotations

import dataclasses
from collections import Counter
from collections.abc import Collection, Iterable
from pathlib import Path

import quorbel

from . import native_build
from .durability import open_data_file, sha256_of, write_synced
from .errors import FormatError, IndexUnusableError
from .layout import (
    DeletionSet,
    decode_deletion_set,
    decode_lengths,
    decode_titles_payload,
    encode_deletion_set,
    titles_payload,
)
from .manifest import DELETES_ROLE, Segment, data_file_names, new_tag, partition_roles
from .tokens import Tokenizer

__all__ = ["add_deletions", "read_deletion_set", "with_deletion_set"]

#: Deleted documents whose texts the kernels count at a time.
_BATCH = 4000


def read_deletion_set(index_dir: Path, segment: Segment) -> DeletionSet:
    """The segment's deletion set (empty when it has none); raises :class:`IndexUnusableError`
    naming the file when it is missing, damaged or does not match the manifest."""
    name = segment.files.get(DELETES_ROLE)
    if name is None:
        return DeletionSet(())
    path = index_dir / name
    try:
        with open_data_file(path) as handle:
            deletions = decode_deletion_set(handle.read(), name)
    except OSError as error:
        raise IndexUnusableError(f"cannot read {path}: {error.strerror or error}") from error
    except FormatError as error:
        raise IndexUnusableError(f"{path}: {error}") from error
    if len(deletions.docs) != segment.deleted or deletions.tokens != segment.deleted_tokens:
        raise IndexUnusableError(f"{path}: {len(deletions.docs)} documents and {deletions.tokens} tokens, "
                                 f"the manifest says {segment.deleted} and {segment.deleted_tokens}")
    if deletions.docs and not segment.first_doc <= deletions.docs[0] <= deletions.docs[-1] < segment.end_doc:
        raise IndexUnusableError(f"{path}: deletes documents outside segment {segment.name}")
    return deletions


def with_deletion_set(segment: Segment, directory: Path, deletions: DeletionSet) -> Segment:
    """Write ``deletions`` as the segment's new deletion set in ``directory``; returns the segment
    that names it."""
    files = data_file_names(segment.name, len(segment.partition_terms), segment.has_documents, segment.has_keys,
                            deletes=new_tag(), with_positions=segment.has_positions)
    name = files[DELETES_ROLE]
    size = write_synced(directory / name, encode_deletion_set(deletions))
    return dataclasses.replace(
        segment,
        files=files,
        file_sizes={**{role: segment.file_sizes[role] for role in files if role != DELETES_ROLE}, DELETES_ROLE: size},
        file_sha256={**{role: segment.file_sha256[role] for role in files if role != DELETES_ROLE},
                     DELETES_ROLE: sha256_of(directory / name)},
        deleted=len(deletions.docs),
        deleted_tokens=deletions.tokens,
    )


def add_deletions(
    index_dir: Path, segment: Segment, docs: Collection[int], directory: Path, rule: Tokenizer, previous: DeletionSet
) -> Segment:
    """The segment with ``docs`` (ids of live documents it holds) deleted too, besides those of
    ``previous``, its deletion set: its new set written in ``directory``; ``rule`` is the index's
    tokenizer."""
    lengths = decode_lengths(_read(index_dir, segment, "lengths"), segment.documents, segment.files["lengths"])
    terms = _terms_of(index_dir, segment, docs, rule)
    doc_freq = Counter(previous.doc_freq)
    doc_freq.update(terms)
    deletions = DeletionSet(
        tuple(sorted({*previous.docs, *docs})),
        previous.tokens + sum(lengths[doc - segment.first_doc] for doc in docs),
        dict(doc_freq),  # its encoder sorts the terms
    )
    return with_deletion_set(segment, directory, deletions)


def _read(index_dir: Path, segment: Segment, role: str) -> bytes:
    path = index_dir / segment.files[role]
    try:
        return path.read_bytes()
    except OSError as error:
        raise IndexUnusableError(f"cannot read {path}: {error.strerror or error}") from error


def _terms_of(index_dir: Path, segment: Segment, docs: Collection[int], rule: Tokenizer) -> Counter[str]:
    """Per term, how many of ``docs`` hold it."""
    if segment.has_documents:
        return _terms_from_store(index_dir, segment, docs, rule)
    return _terms_from_postings(index_dir, segment, frozenset(docs))


def _terms_from_store(index_dir: Path, segment: Segment, docs: Iterable[int], rule: Tokenizer) -> Counter[str]:
    from .reader import SegmentStore  # the reader's view of a store, without opening the whole index

    ordered = sorted(docs)  # in order: documents of one stored group follow each other
    titles = _titles_of(index_dir, segment, ordered)
    counts: Counter[str] = Counter()
    with SegmentStore(index_dir, segment) as store:
        if native_build.AVAILABLE:  # tokenised and counted by the kernels, a batch of texts at a time
            for start in range(0, len(ordered), _BATCH):
                batch, batch_titles = ordered[start:start + _BATCH], titles[start:start + _BATCH]
                assert store.map is not None
                counted = native_build.stored_documents_per_term(store.map, *store.spans(batch), batch_titles, rule)
                if counted is None:  # a group the kernels do not read: Python reads it, or names the damage
                    counted = native_build.documents_per_term(batch_titles, [store.content(doc) for doc in batch], rule)
                counts.update(counted)
            return counts
        for doc, title in zip(ordered, titles):
            counts.update({*rule.tokenize(title), *rule.tokenize(store.content(doc))})
    return counts


def _titles_of(index_dir: Path, segment: Segment, ordered: list[int]) -> list[str]:
    """The titles of the segment's documents ``ordered`` (ascending ids)."""
    name = segment.files["titles"]
    payload = titles_payload(_read(index_dir, segment, "titles"), name)
    wanted = [doc - segment.first_doc for doc in ordered]
    found = native_build.json_strings(payload, wanted, segment.documents)
    if found is None:
        titles = decode_titles_payload(payload, segment.documents, name)
        found = [titles[place] for place in wanted]
    return found


def _terms_from_postings(index_dir: Path, segment: Segment, docs: frozenset[int]) -> Counter[str]:
    """Without the stored text: every posting of the segment read once."""
    counts: Counter[str] = Counter()
    for partition in range(len(segment.partition_terms)):
        path = index_dir / segment.files[partition_roles(partition)[0]]
        try:
            entries = quorbel.iter_block_terms(str(path))
        except (OSError, ValueError) as error:
            raise IndexUnusableError(f"{path}: {error}") from error
        for term, _, _, postings in entries:
            held = sum(1 for posting in postings if posting[0] in docs)
            if held:
                counts[term] += held
    return counts
