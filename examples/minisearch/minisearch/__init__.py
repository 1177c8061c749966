"""minisearch: a small full-text search engine built on the quorbel codecs.

Usage (with this package importable, from ``examples/minisearch`` or installed)::

    python -m minisearch                      # the demo: index the standard library, query, check
    python -m minisearch demo --limit 2000    # the same on the first 2000 documents
    python -m minisearch index INDEX [--stdlib | --dir PATH | --jsonl FILE]
                               [--limit N] [--workers N] [--block-size N] [--no-progress]
    python -m minisearch search INDEX json decode [-k 10]
    python -m minisearch shell INDEX          # or "search INDEX" without a query
    python -m minisearch check INDEX          # exit status 1 and a list of problems if damaged

Documents come from the docstrings of the Python standard library (read with
:mod:`ast`, never imported; the title is the qualified name such as
``json.decoder.JSONDecoder.decode``), from a directory of UTF-8 text files
(title: the relative path) or from a JSON Lines file of
``{"title": ..., "content": ...}`` objects.

Terms are maximal runs of letters and digits, lower-cased (see
:mod:`minisearch.tokens`).  A query's words are looked up independently; a
document's score is the sum over the query terms it holds of
``content_freq + 4 * title_freq``.

Indexing cuts the documents into blocks, builds each block's block file in
a worker, merges the blocks into one block file with a term-to-offset table
beside it, and commits the result atomically by replacing ``manifest.json``
(see :mod:`minisearch.indexer` and :mod:`minisearch.store`).

Executors: the blocks are built through a ``concurrent.futures.Executor``.
The command line uses a ``ProcessPoolExecutor`` (``--workers N``; ``0``
builds in the calling process).  From Python, pass any executor, for example
a Dask cluster's::

    from dask.distributed import Client
    from minisearch import build_index, stdlib_corpus

    client = Client("scheduler:8786")
    build_index(stdlib_corpus(), "/shared/index", executor=client.get_executor())

The same works for a Ray cluster, or any other framework, through an
adapter that implements ``concurrent.futures.Executor``: ``submit`` must
return ``concurrent.futures.Future`` objects, which the indexer waits on
with ``concurrent.futures.wait``.  The workers must be able to import ``minisearch`` and ``quorbel``, and the
index directory must be on storage that the workers and the caller share,
because every worker writes its block file there.

Progress bars use tqdm when it is installed and fall back to a plain counter
on standard error otherwise.
"""

from .check import CheckReport, check_index
from .corpus import CorpusError, Document, directory_corpus, jsonl_corpus, limit_documents, stdlib_corpus
from .indexer import BuildReport, IndexBuildError, InlineExecutor, build_block, build_index
from .search import Hit, Index, SearchResult, merge_score, search
from .store import IndexUnusableError
from .tokens import count_terms, tokenize

__all__ = [
    "BuildReport",
    "CheckReport",
    "CorpusError",
    "Document",
    "Hit",
    "Index",
    "IndexBuildError",
    "IndexUnusableError",
    "InlineExecutor",
    "SearchResult",
    "build_block",
    "build_index",
    "check_index",
    "count_terms",
    "directory_corpus",
    "jsonl_corpus",
    "limit_documents",
    "merge_score",
    "search",
    "stdlib_corpus",
    "tokenize",
]

__version__ = "0.1.0"
