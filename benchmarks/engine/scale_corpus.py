"""The scale benchmark's corpus: one seeded synthetic corpus written once as JSON Lines.

The corpus of ``base + extra`` documents is drawn by synthetic.py's generator (the documents are
those of ``synthetic_corpus(base + extra, seed)``), streamed, so memory stays bounded by one chunk
of documents. Its first ``base`` documents go to one file and the last ``extra`` to another: the
smaller corpora are prefixes of the first file (each written to a file of its own), and the second
holds the documents added to an index afterwards, drawn from the same vocabulary. The files live
in a cache directory, named by size and seed, and are written under a temporary name and renamed,
so a file that exists is whole.
"""

from __future__ import annotations

import itertools
import json
import os
import random
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from pathlib import Path

import synthetic
from minisearch import Document

__all__ = ["CorpusFiles", "corpus_files", "read_documents", "stream_corpus", "write_slice"]

DEFAULT_CACHE = Path(os.environ.get("QUORBEL_CACHE", Path.home() / ".cache" / "quorbel")) / "scale"


@dataclass(frozen=True)
class CorpusFiles:
    """The two JSON Lines files of a corpus: the base documents and the documents added later."""

    base: Path
    base_documents: int
    extra: Path
    extra_documents: int
    seed: int

    def first(self, documents: int) -> Path:
        """Return a file of the first ``documents`` base documents, writing it once.

        A file of its own rather than a limit on the whole file: the engine sizes its index
        (partitions) by its input, as it would for a corpus of that size.
        """
        if documents == self.base_documents:
            return self.base
        path = self.base.with_name(f"first-{documents}.jsonl")
        if not path.exists():
            write_slice(self.base, 0, documents, path)
        return path


def stream_corpus(n_docs: int, seed: int) -> Iterator[Document]:
    """Yield the documents of ``synthetic.synthetic_corpus(n_docs, seed)`` one by one."""
    rng = random.Random(seed)
    words = synthetic.vocabulary(rng)
    cum_weights = synthetic.zipf_cum_weights(len(words))
    titles, bodies = synthetic._lengths(rng, n_docs)
    yield from synthetic._documents(rng, words, cum_weights, titles, bodies)


def _write_jsonl(documents: Iterable[Document], path: Path) -> None:
    """Write ``documents`` to ``path`` as JSON Lines, under a temporary name renamed at the end."""
    partial = path.with_name(path.name + ".partial")
    with open(partial, "w", encoding="utf-8") as f:
        f.writelines(json.dumps({"title": doc.title, "content": doc.content}) + "\n" for doc in documents)
    partial.replace(path)


def corpus_files(base: int, extra: int, seed: int, cache: Path = DEFAULT_CACHE) -> CorpusFiles:
    """Return the corpus's files, writing them first if the cache does not hold them yet."""
    directory = cache / f"synthetic-{base + extra}-seed{seed}"
    files = CorpusFiles(directory / f"first-{base}.jsonl", base, directory / f"last-{extra}.jsonl", extra, seed)
    if files.base.exists() and files.extra.exists():
        return files
    directory.mkdir(parents=True, exist_ok=True)
    documents = stream_corpus(base + extra, seed)
    _write_jsonl(itertools.islice(documents, base), files.base)
    _write_jsonl(documents, files.extra)
    return files


def read_documents(path: Path, limit: int | None = None) -> Iterator[Document]:
    """Yield the first ``limit`` documents (all without a limit) of a JSON Lines file."""
    with open(path, encoding="utf-8") as f:
        for line in itertools.islice(f, limit):
            record = json.loads(line)
            yield Document(record["title"], record["content"])


def write_slice(source: Path, start: int, stop: int, target: Path) -> None:
    """Copy lines ``start`` to ``stop`` (documents, from 0) of a JSON Lines file to ``target``."""
    partial = target.with_name(target.name + ".partial")
    with open(source, encoding="utf-8") as f, open(partial, "w", encoding="utf-8") as out:
        out.writelines(itertools.islice(f, start, stop))
    partial.replace(target)
