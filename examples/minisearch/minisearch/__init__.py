"""minisearch: a small full-text search engine built on the quorbel codecs.

Usage (with this package importable, from ``examples/minisearch`` or installed)::

    python -m minisearch                      # the demo: index the standard library, query, check
    python -m minisearch demo --limit 2000    # the same on the first 2000 documents
    python -m minisearch index INDEX [--stdlib | --dir PATH | --jsonl FILE] [--limit N]
                               [--workers N] [--block-size N] [--no-documents] [--no-progress]
                               [--partitions P | --memory SIZE]
    python -m minisearch add INDEX [--stdlib | --dir PATH | --jsonl FILE] [--no-merge] ...
    python -m minisearch optimize INDEX       # merge all segments into one
    python -m minisearch search INDEX 'json decode' [-k 10]
    python -m minisearch shell INDEX          # or "search INDEX" without a query
    python -m minisearch check INDEX          # exit status 1 and a list of problems if damaged

From Python::

    from minisearch import Index, build_index, search, stdlib_corpus

    build_index(stdlib_corpus(), "/tmp/index")
    with Index("/tmp/index") as index:
        for hit in search(index, "json decode", k=5, snippets=True).hits:
            print(hit.score, hit.title, hit.snippet)

Queries: words are ANDed, ``OR`` between words, ``-word`` excludes,
``word*`` is a prefix (:mod:`minisearch.query`).  Documents are ranked by
BM25 with the title weighing four times the content
(:mod:`minisearch.ranking`).

How the code is laid out, from the command line to the bytes:

* :mod:`~minisearch.cli` — the ``minisearch`` command; :mod:`~minisearch.progress` its progress bars.
* Reading a source: :mod:`~minisearch.corpus` (documents from the standard
  library, a directory, JSON Lines) and :mod:`~minisearch.tokens` (terms;
  :mod:`~minisearch.marks` where Unicode's combining marks lie).
* Building: :mod:`~minisearch.options` (:class:`BuildOptions`),
  :mod:`~minisearch.indexer` (build, add, optimize and their commits),
  :mod:`~minisearch.updates` (delete, upsert, sync),
  :mod:`~minisearch.pending` (small changes logged, indexed by the readers),
  :mod:`~minisearch.sync_state` (what the last sync saw of its directory) and
  :mod:`~minisearch.deletions` (the deletion sets) →
  :mod:`~minisearch.segments` (one segment: blocks, then one merge per
  partition) → :mod:`~minisearch.blocks` (the workers' blocks) and
  :mod:`~minisearch.merge` (a partition's impact tiers);
  :mod:`~minisearch.partitions` (which partition a term lives in, how many),
  :mod:`~minisearch.policy` (which segments merge), and
  :mod:`~minisearch.executors` / :mod:`~minisearch.cluster` (process pool or Dask).
* Files: :mod:`~minisearch.layout` (every file's format),
  :mod:`~minisearch.manifest` (the committed segments),
  :mod:`~minisearch.durability` (synced writes, atomic renames, the writer's lock).
* Searching: :mod:`~minisearch.reader` (:class:`Index`: segments, partitions,
  terms, documents) → :mod:`~minisearch.search` (a query's answer) →
  :mod:`~minisearch.query` (parsing), :mod:`~minisearch.topk` (early
  termination) and :mod:`~minisearch.kernels` (the native kernels that
  evaluate the common shapes, ``minisearch._kernels``, built from ``native/``),
  :mod:`~minisearch.ranking` (every BM25 formula), :mod:`~minisearch.snippets`.
* :mod:`~minisearch.check` verifies an index; :mod:`~minisearch.errors` holds every exception.
"""

from .blocks import BlockInfo, BlockTask, build_block
from .check import CheckReport, check_index
from .corpus import (
    Document,
    directory_corpus,
    jsonl_corpus,
    limit_documents,
    stdlib_corpus,
)
from .errors import (
    ClusterError,
    CorpusError,
    DiskFullError,
    DocumentError,
    IndexBuildError,
    IndexUnusableError,
    QuerySyntaxError,
)
from .executors import InlineExecutor
from .indexer import (
    BuildOptions,
    BuildReport,
    add_documents,
    build_index,
    optimize_index,
)
from .query import parse
from .reader import Index
from .search import Hit, SearchResult, search
from .tokens import count_terms, tokenize
from .updates import delete_documents, sync_directory, upsert_documents

__all__ = [
    "BlockInfo",
    "BlockTask",
    "BuildOptions",
    "BuildReport",
    "CheckReport",
    "ClusterError",
    "CorpusError",
    "DiskFullError",
    "Document",
    "DocumentError",
    "Hit",
    "Index",
    "IndexBuildError",
    "IndexUnusableError",
    "InlineExecutor",
    "QuerySyntaxError",
    "SearchResult",
    "add_documents",
    "build_block",
    "build_index",
    "check_index",
    "count_terms",
    "delete_documents",
    "directory_corpus",
    "jsonl_corpus",
    "limit_documents",
    "optimize_index",
    "parse",
    "search",
    "stdlib_corpus",
    "sync_directory",
    "tokenize",
    "upsert_documents",
]

__version__ = "0.2.0"
