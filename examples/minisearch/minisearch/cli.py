"""The command line: ``python -m minisearch [demo|index|search|shell|check]``."""

from __future__ import annotations

import argparse
import functools
import json
import os
import sys
import sysconfig
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Executor
from pathlib import Path
from typing import NamedTuple, TextIO

from . import arguments, kernels
from .check import check_index
from .cluster import open_executor, source_executor, worker_count
from .corpus import (
    CorpusError,
    Document,
    Key,
    directory_corpus,
    jsonl_corpus,
    limit_documents,
    stdlib_corpus,
)
from .errors import DocumentError, IndexBuildError, IndexUnusableError
from .indexer import BuildReport, add_documents, build_index, optimize_index
from .options import DEFAULT_BLOCK_SIZE, BuildOptions
from .partitions import DEFAULT_MEMORY, MIN_MEMORY
from .progress import tqdm_available
from .query import QuerySyntaxError
from .reader import Index
from .search import SearchResult, search
from .sync_state import recent, write_sync_state
from .updates import delete_documents, sync_directory, upsert_documents
from .web.payload import query_error_json, search_page

__all__ = ["SAMPLE_QUERIES", "format_result", "format_summary", "main"]

SAMPLE_QUERIES = (
    "json decode",
    "thread OR lock",
    "socket timeout -ssl",
    "parse command line arguments",
    "zip* archive",
    '"command line" -optparse',
    "title:json",
)
COMMANDS = ("demo", "index", "add", "delete", "upsert", "sync", "optimize", "search", "shell", "check", "serve")

EPILOG = """\
Without a command, runs the demo.  Terms are runs of letters, digits and
combining marks, lower-cased.  Queries: words are ANDed; OR between words,
-word excludes, word* is a prefix, "w1 w2" a phrase (its last word may be
a prefix), title:word or content:"w1 w2" one field only (-title:word
excludes).  Documents are ranked by BM25, a word in
the title counting four times.  Blocks and partition merges run on a
process pool (--workers) or a Dask cluster (--scheduler tcp://HOST:8786 for a
running one, --dask-local N to start one here; pip install 'minisearch[dask]';
the workers need quorbel and minisearch, and the index directory on storage
they share); from Python, build_index(executor=...) accepts any
concurrent.futures.Executor whose workers share the index directory.  An index
is split into term partitions, as many as keep one partition's merge within
--memory; "add" appends the documents of a source as a new segment and merges
segments of similar size, "optimize" merges all of them.
Progress bars use tqdm when it is installed, a plain counter otherwise.
"""


def _source_options(parser: argparse.ArgumentParser) -> None:
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--stdlib", action="store_true", help="the standard library's docstrings (the default)")
    source.add_argument("--dir", type=Path, metavar="PATH", help="every UTF-8 text file below PATH; title = relative path")
    source.add_argument("--jsonl", type=Path, metavar="FILE", help='a JSON Lines file of {"title": ..., "content": ...}')


def _layout_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--no-documents", action="store_true", help="leave the documents out of the index (no snippets)"
    )
    parser.add_argument(
        "--no-positions", action="store_true",
        help="leave the words' positions out of the index (smaller; no phrase queries)",
    )
    parser.add_argument(
        "--partitions", type=arguments.partition_count, metavar="P",
        help="term partitions (default: as many as keep one partition's merge within --memory)",
    )
    parser.add_argument(
        "--memory", type=arguments.memory_budget, metavar="SIZE",
        help=f"memory budget of one partition's merge, e.g. 512M or 2G (default: {DEFAULT_MEMORY >> 20}M, "
        f"at least {MIN_MEMORY >> 20}M)",
    )


def _worker_options(parser: argparse.ArgumentParser) -> None:
    where = parser.add_mutually_exclusive_group()
    where.add_argument(
        "--workers", type=arguments.worker_count, metavar="N",
        help="worker processes building blocks and merging partitions (default: one per CPU; 0: in this process)",
    )
    where.add_argument(
        "--scheduler", metavar="ADDR",
        help="run the blocks and merges on the Dask cluster of the scheduler at ADDR (tcp://HOST:8786); "
        "its workers need quorbel and minisearch and the index directory on shared storage",
    )
    where.add_argument(
        "--dask-local", type=arguments.cluster_workers, metavar="N",
        help="run them on a Dask LocalCluster of N worker processes started for this command",
    )
    parser.add_argument("--no-progress", action="store_true", help="show no progress bars")
    parser.add_argument(
        "--wait", type=_seconds, default=0.0, metavar="SECONDS",
        help="wait up to SECONDS for another writer of the index to finish (default: fail at once)",
    )


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0.0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}")
    return value


def _build_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--limit", type=arguments.document_count, metavar="N", help="index at most N documents")
    parser.add_argument(
        "--block-size", type=arguments.block_size, default=DEFAULT_BLOCK_SIZE, metavar="N",
        help=f"documents per block (default: {DEFAULT_BLOCK_SIZE})",
    )
    _worker_options(parser)


SEARCH_DESCRIPTION = (
    "Print the best documents for a query; without a query, start the interactive prompt. "
    "Options may come before or after the query words; put -- before a query that starts with -."
)


def _search_arguments(parser: argparse.ArgumentParser) -> argparse.ArgumentParser:
    parser.add_argument("index", type=Path, metavar="INDEX")
    parser.add_argument("query", nargs="*", metavar="WORD", help="query words (quote the query in the shell)")
    parser.add_argument("-k", type=arguments.results, default=10, help="number of results (default: 10)")
    parser.add_argument("--json", action="store_true", help="print the result as the HTTP API's JSON")
    return parser


def parse_arguments(argv: Sequence[str]) -> argparse.Namespace:
    """The command and its options; ``search``'s options may also follow its query words."""
    if argv and argv[0] == "search":
        # A subcommand's parser cannot take its positionals and options intermixed; this one can.
        parser = argparse.ArgumentParser(prog="python -m minisearch search", description=SEARCH_DESCRIPTION)
        return _search_arguments(parser).parse_intermixed_args(argv[1:], argparse.Namespace(command="search"))
    return make_parser().parse_args(argv)


def make_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m minisearch",
        description="A small full-text search engine built on the quorbel codecs.",
        epilog=EPILOG + f"Queries are evaluated by {kernels.STATUS}.\n",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    demo = commands.add_parser(
        "demo", help="index the standard library's docstrings, then query and check the index",
        description="Index the docstrings of the Python standard library, print a summary, "
        "answer sample queries with their latency and verify the index.",
    )
    demo.add_argument("--index", type=Path, metavar="DIR", help="keep the index in DIR (default: a temporary directory)")
    _build_options(demo)
    _layout_options(demo)
    demo.add_argument("-k", type=arguments.results, default=5, help="results per query (default: 5)")
    demo.add_argument(
        "--query", action="append", metavar="TEXT", help="a query to run instead of the samples (repeatable)"
    )
    demo.add_argument("--no-check", action="store_true", help="skip the verification of the index")

    index = commands.add_parser("index", help="build an index", description="Build an index into INDEX.")
    index.add_argument("index", type=Path, metavar="INDEX", help="index directory (created if missing)")
    _source_options(index)
    _build_options(index)
    _layout_options(index)

    add = commands.add_parser(
        "add", help="add documents to an index",
        description="Add the documents of a source to INDEX as a new segment, numbered after its documents, "
        "then merge segments of similar size.",
    )
    add.add_argument("index", type=Path, metavar="INDEX", help="an index directory")
    _source_options(add)
    _build_options(add)
    add.add_argument("--no-merge", action="store_true", help="add the segment without merging segments")

    delete = commands.add_parser(
        "delete", help="delete documents by key",
        description="Delete the documents with the given keys from INDEX in one commit; unknown keys are "
        "listed and the command exits 1 (the known ones are deleted).",
    )
    delete.add_argument("index", type=Path, metavar="INDEX", help="an index directory")
    delete.add_argument("keys", nargs="*", metavar="KEY", help="keys of the documents to delete")
    delete.add_argument("--keys", dest="keys_file", type=Path, metavar="FILE", help="also the keys in FILE, one a line")
    _worker_options(delete)

    upsert = commands.add_parser(
        "upsert", help="add or replace documents by key",
        description="Add the documents of a source to INDEX; a document whose key the index holds replaces it.",
    )
    upsert.add_argument("index", type=Path, metavar="INDEX", help="an index directory")
    _source_options(upsert)
    _build_options(upsert)

    sync = commands.add_parser(
        "sync", help="make an index follow a directory",
        description="Add the new files of DIR, replace the changed ones and delete the removed ones, in one commit.",
    )
    sync.add_argument("index", type=Path, metavar="INDEX", help="an index directory")
    sync.add_argument("--dir", required=True, metavar="DIR", help="the directory the index was built from")
    _build_options(sync)

    optimize = commands.add_parser(
        "optimize", help="merge all segments of an index", description="Merge every segment of INDEX into one."
    )
    optimize.add_argument("index", type=Path, metavar="INDEX", help="an index directory")
    _worker_options(optimize)

    _search_arguments(commands.add_parser(
        "search", help="answer a query (an interactive prompt without one)", description=SEARCH_DESCRIPTION
    ))

    shell = commands.add_parser("shell", help="interactive prompt", description="Answer queries typed at a prompt.")
    shell.add_argument("index", type=Path, metavar="INDEX")
    shell.add_argument("-k", type=arguments.results, default=10, help="number of results (default: 10)")

    check = commands.add_parser(
        "check", help="verify an index", description="Verify an index; exit status 1 when it has problems."
    )
    check.add_argument("index", type=Path, metavar="INDEX")

    serve = commands.add_parser(
        "serve", help="serve a search page and a JSON API over HTTP",
        description="Serve INDEX over HTTP: a search page at / and a JSON API under /api/ (described at "
        "/openapi.json), answering from each new commit of the index; Ctrl-C stops. "
        "Needs the serve extra: pip install 'minisearch[serve]'.",
    )
    serve.add_argument("index", type=Path, metavar="INDEX")
    serve.add_argument("--host", default="127.0.0.1", help="address to listen on (default: 127.0.0.1)")
    serve.add_argument(
        "--port", type=arguments.integer(0, 65535), default=8000,
        help="port to listen on (default: 8000; 0: any free one)",
    )
    return parser


# --------------------------------------------------------------------------
# Output


def _ms(seconds: float) -> str:
    return f"{seconds * 1000:.2f} ms"


def format_summary(report: BuildReport) -> str:
    """The summary of a build, add or merge: counts, sizes, speed and time per phase."""
    if report.pending is not None:
        pending = report.manifest.pending_count
        return (f"index       {report.index_dir}: {report.documents:,} documents and {report.pending.keys:,} "
                f"deletions logged as pending ({pending:,} in all; a reader indexes them when it opens the index)")
    if report.segment is None:
        return f"index       {report.index_dir}: nothing to do ({len(report.manifest.segments)} segment(s))"
    phases = ", ".join(f"{name} {seconds:.2f} s" for name, seconds in report.phase_seconds.items())
    sizes = ", ".join(f"{kind} {size:,}" for kind, size in report.file_sizes.items() if kind != "docs")
    store = f"; document store {report.store_bytes:,}" if "docs" in report.file_sizes else ""
    manifest = report.manifest
    lines = [
        f"index       {report.index_dir}: {manifest.documents:,} documents in {len(manifest.segments)} "
        f"segment(s) of {manifest.partitions} partition(s)",
        f"documents   {report.documents:,} written",
        f"terms       {report.terms:,}",
        f"postings    {report.postings:,}",
    ]
    if report.blocks:
        lines.append(f"blocks      {report.blocks:,} of up to {report.block_size:,} documents")
    if report.merges:
        lines.append(f"merges      {report.merges} of segments, as the merge policy asked")
    lines += [
        f"bytes       {report.index_bytes:,} to search ({sizes}){store}",
        f"speed       {report.docs_per_second:,.0f} documents/s",
        f"time        {phases}; total {report.total_seconds:.2f} s",
    ]
    return "\n".join(lines)


def format_result(result: SearchResult) -> str:
    """A query's hits, one per line with its snippet below, under a heading."""
    shown = f"top {len(result.hits)}" if result.hits else "no results"
    work = f"{result.postings_decoded:,} postings decoded"
    lines = [f"{result.query!r}: {shown} in {_ms(result.seconds)} ({work})"]
    if result.unknown_terms:
        lines.append(f"  (no document holds: {', '.join(result.unknown_terms)})")
    for rank, hit in enumerate(result.hits, start=1):
        lines.append(f"  {rank:3d}. {hit.score:6.2f}  {hit.title}")
        if hit.snippet:
            lines.append(f"                {hit.snippet}")
    return "\n".join(lines)


# --------------------------------------------------------------------------
# Commands


Source = Callable[[Executor | None], Iterator[Document]]


def _build(source: Source, index_dir: Path, args: argparse.Namespace, description: str,
           source_bytes: int | None = None) -> BuildReport:
    with open_executor(args.workers, args.scheduler, args.dask_local, index_dir) as executor:
        documents = limit_documents(source(source_executor(executor)), args.limit)
        options = BuildOptions(
            block_size=args.block_size,
            workers=worker_count(executor, args.workers or None),
            show_progress=not args.no_progress,
            wait=args.wait,
            store_documents=not args.no_documents,
            positions=not args.no_positions,
            partitions=args.partitions,
            memory=args.memory,
        )
        return build_index(
            documents,
            index_dir,
            options,
            executor=executor,
            expected_documents=args.limit,
            source=description,
            source_bytes=source_bytes,  # with --limit, an upper bound: more partitions, never fewer
        )


def _stdlib_root() -> str:
    return sysconfig.get_paths()["stdlib"]


class SourceChoice(NamedTuple):
    """The documents the options name: how to read them, what to call them, their size in bytes
    if known, and the files of a directory passed over as not regular UTF-8 text files."""

    read: Source
    description: str
    size: int | None
    skipped: list[str]
    stamps: dict[str, tuple[int, int]] | None = None
    """A directory's indexed files' sizes and times, as read (for the first sync)."""


def _source(args: argparse.Namespace) -> SourceChoice:
    skipped: list[str] = []
    if args.dir is not None:
        size = sum(path.stat().st_size for path in Path(args.dir).rglob("*") if path.is_file())
        stamps: dict[str, tuple[int, int]] = {}
        return SourceChoice(lambda _: directory_corpus(args.dir, skipped, stamps), f"text files below {args.dir}", size,
                            skipped, stamps)
    if args.jsonl is not None:
        try:
            jsonl_size: int | None = os.path.getsize(args.jsonl)
        except OSError:
            jsonl_size = None  # the corpus reader names the problem
        return SourceChoice(lambda _: jsonl_corpus(args.jsonl), f"JSON Lines file {args.jsonl}", jsonl_size, skipped)
    root = _stdlib_root()
    return SourceChoice(
        functools.partial(stdlib_corpus, root), f"docstrings of the standard library at {root}", None, skipped
    )


def _print_skipped(source: SourceChoice, out: TextIO) -> None:
    if source.skipped:
        shown = ", ".join(source.skipped[:3]) + (", ..." if len(source.skipped) > 3 else "")
        print(
            f"skipped     {len(source.skipped):,} file(s) that are not regular files, cannot be read or are not "
            f"UTF-8 text: {shown}",
            file=out,
        )


def cmd_index(args: argparse.Namespace, out: TextIO) -> int:
    source = _source(args)
    started = time.time_ns()
    report = _build(source.read, args.index, args, source.description, source.size)
    if source.stamps is not None:  # what a sync of the directory would have seen, for the first one
        recorded = {title: stamp for title, stamp in source.stamps.items() if not recent(stamp, started)}
        write_sync_state(report.index_dir, report.manifest.commit, os.path.realpath(args.dir), recorded)
    print(format_summary(report), file=out)
    _print_skipped(source, out)
    return 0


def cmd_add(args: argparse.Namespace, out: TextIO) -> int:
    source = _source(args)
    with open_executor(args.workers, args.scheduler, args.dask_local, args.index) as executor:
        options = BuildOptions(
            block_size=args.block_size,
            workers=worker_count(executor, args.workers or None),
            show_progress=not args.no_progress,
            wait=args.wait,
        )
        report = add_documents(
            limit_documents(source.read(source_executor(executor)), args.limit),
            args.index,
            options,
            executor=executor,
            expected_documents=args.limit,
            source=source.description,
            merge=not args.no_merge,
        )
    print(format_summary(report), file=out)
    _print_skipped(source, out)
    return 0


def cmd_delete(args: argparse.Namespace, out: TextIO) -> int:
    keys: list[Key] = list(args.keys)
    if args.keys_file is not None:
        try:
            keys += [line.strip() for line in args.keys_file.read_text(encoding="utf-8").splitlines() if line.strip()]
        except (OSError, UnicodeDecodeError) as error:
            raise CorpusError(f"cannot read {args.keys_file}: {error}") from error
    report = delete_documents(keys, args.index, BuildOptions(show_progress=False, wait=args.wait))
    print(f"deleted {report.deleted:,} documents", file=out)
    if report.unknown_keys:
        print("minisearch: error: no document has the keys: " + ", ".join(map(repr, report.unknown_keys)),
              file=sys.stderr)
        return 1
    return 0


def cmd_upsert(args: argparse.Namespace, out: TextIO) -> int:
    source = _source(args)
    with open_executor(args.workers, args.scheduler, args.dask_local, args.index) as executor:
        options = BuildOptions(
            block_size=args.block_size, workers=worker_count(executor, args.workers or None),
            show_progress=not args.no_progress, wait=args.wait,
        )
        report = upsert_documents(limit_documents(source.read(source_executor(executor)), args.limit), args.index,
                                  options, executor=executor, source=source.description)
    print(f"{format_summary(report)}\nreplaced {report.replaced:,} documents", file=out)
    _print_skipped(source, out)
    return 0


def cmd_sync(args: argparse.Namespace, out: TextIO) -> int:
    with open_executor(args.workers, args.scheduler, args.dask_local, args.index) as executor:
        options = BuildOptions(
            block_size=args.block_size, workers=worker_count(executor, args.workers or None),
            show_progress=not args.no_progress, wait=args.wait,
        )
        report = sync_directory(args.dir, args.index, options, executor=executor)
    added = report.documents - report.replaced
    print(f"{format_summary(report)}\nadded {added:,}, replaced {report.replaced:,}, "
          f"deleted {report.deleted - report.replaced:,} documents", file=out)
    return 0


def cmd_optimize(args: argparse.Namespace, out: TextIO) -> int:
    with open_executor(args.workers, args.scheduler, args.dask_local, args.index) as executor:
        options = BuildOptions(
            workers=worker_count(executor, args.workers or None), show_progress=not args.no_progress, wait=args.wait
        )
        report = optimize_index(args.index, options, executor=executor)
    print(format_summary(report), file=out)
    return 0


def cmd_search(args: argparse.Namespace, out: TextIO) -> int:
    if not args.query:
        if args.json:
            print("minisearch: --json needs a query", file=sys.stderr)
            return 2
        return cmd_shell(args, out)
    with Index(args.index) as index:
        try:
            if args.json:
                print(json.dumps(search_page(index, " ".join(args.query), args.k).to_json(), ensure_ascii=False),
                      file=out)
            else:
                print(format_result(search(index, " ".join(args.query), args.k, snippets=True)), file=out)
        except QuerySyntaxError as error:
            if args.json:
                print(json.dumps(query_error_json(error), ensure_ascii=False), file=out)
            print(f"minisearch: bad query: {error}", file=sys.stderr)
            return 2
    return 0


def cmd_shell(args: argparse.Namespace, out: TextIO) -> int:
    index = Index(args.index)
    try:
        return _shell(index, args, out)
    finally:
        index.close()


def _shell(index: Index, args: argparse.Namespace, out: TextIO) -> int:
    interactive = sys.stdin.isatty()
    if interactive:
        print(
            f"{index.manifest.documents:,} documents in {len(index.manifest.segments)} segment(s). "
            "Type a query; :q or Ctrl-D quits.",
            file=out,
        )
    while True:
        try:
            line = input("minisearch> " if interactive else "")
        except EOFError:
            if interactive:
                print(file=out)
            return 0
        query = line.strip()
        if query in (":q", ":quit", ":exit"):
            return 0
        if not query:
            continue
        try:
            index.refresh()  # an add, delete or optimize that committed meanwhile
            result = search(index, query, args.k, snippets=True)
        except QuerySyntaxError as error:
            print(f"bad query: {error}", file=out)
            continue
        except IndexUnusableError as error:
            print(f"minisearch: error: {error}", file=out)
            continue
        print(format_result(result), file=out)


def cmd_check(args: argparse.Namespace, out: TextIO) -> int:
    started = time.perf_counter()
    report = check_index(args.index)
    seconds = time.perf_counter() - started
    if report.ok:
        print(
            f"{args.index}: OK ({report.entries:,} entries, {report.postings:,} postings "
            f"verified in {seconds:.2f} s)",
            file=out,
        )
        return 0
    count = len(report.problems) + report.unlisted_problems
    print(f"{args.index}: {count} problem{'s' if count != 1 else ''}", file=out)
    for problem in report.problems:
        print(f"  {problem}", file=out)
    if report.unlisted_problems:
        print(f"  ... and {report.unlisted_problems} more", file=out)
    return 1


def cmd_serve(args: argparse.Namespace, out: TextIO) -> int:
    try:
        from .web.server import ServeError, serve
    except ImportError as error:
        print(f"minisearch: serve needs {error.name}: pip install 'minisearch[serve]'", file=sys.stderr)
        return 1
    try:
        serve(args.index, args.host, args.port, out)
    except ServeError as error:
        print(f"minisearch: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("minisearch: stopped", file=sys.stderr)
    return 0


def cmd_demo(args: argparse.Namespace, out: TextIO) -> int:
    if args.index is not None:
        return _demo(args, args.index, out)
    with tempfile.TemporaryDirectory(prefix="minisearch-") as directory:
        return _demo(args, Path(directory, "index"), out)


def _demo(args: argparse.Namespace, index_dir: Path, out: TextIO) -> int:
    root = _stdlib_root()
    print(f"Indexing the docstrings of the Python standard library in {root}", file=out)
    if not tqdm_available() and not args.no_progress:
        print("(install tqdm for progress bars)", file=out)
    out.flush()
    source = functools.partial(stdlib_corpus, root)
    report = _build(source, index_dir, args, f"docstrings of the standard library at {root}")
    print(format_summary(report), file=out)

    started = time.perf_counter()
    with Index(index_dir) as index:
        print(
            f"\nOpened the index in {_ms(time.perf_counter() - started)}; sample queries ({kernels.STATUS}):",
            file=out,
        )
        latencies = []
        for query in args.query or SAMPLE_QUERIES:
            try:
                result = search(index, query, args.k, snippets=True)
            except QuerySyntaxError as error:
                print(f"bad query {query!r}: {error}", file=out)
                continue
            latencies.append(result.seconds)
            print(format_result(result), file=out)
    if latencies:
        print(
            f"\nquery latency: mean {_ms(sum(latencies) / len(latencies))}, max {_ms(max(latencies))}",
            file=out,
        )
    if args.no_check:
        return 0
    print(file=out)
    return cmd_check(argparse.Namespace(index=index_dir), out)


HANDLERS = {
    "demo": cmd_demo,
    "index": cmd_index,
    "add": cmd_add,
    "delete": cmd_delete,
    "upsert": cmd_upsert,
    "sync": cmd_sync,
    "optimize": cmd_optimize,
    "search": cmd_search,
    "shell": cmd_shell,
    "check": cmd_check,
    "serve": cmd_serve,
}


def main(argv: Sequence[str] | None = None, out: TextIO | None = None) -> int:
    """Run the command line; returns the exit status."""
    arguments = list(sys.argv[1:] if argv is None else argv)
    if not arguments or arguments[0] not in (*COMMANDS, "-h", "--help"):
        arguments.insert(0, "demo")
    args = parse_arguments(arguments)
    stream = out if out is not None else sys.stdout
    try:
        return HANDLERS[args.command](args, stream)
    except (CorpusError, DocumentError, IndexBuildError, IndexUnusableError) as error:
        print(f"minisearch: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("minisearch: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of our output went away (e.g. "| head"): quietly stop.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
