"""The command line: ``python -m minisearch [demo|index|search|shell|check]``."""

from __future__ import annotations

import argparse
import functools
import os
import sys
import sysconfig
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Executor
from pathlib import Path
from typing import TextIO

from .blocks import DocumentError
from .check import check_index
from .corpus import CorpusError, Document, directory_corpus, jsonl_corpus, limit_documents, stdlib_corpus
from .executors import local_executor
from .indexer import DEFAULT_BLOCK_SIZE, BuildReport, IndexBuildError, build_index
from .progress import tqdm_available
from .query import QuerySyntaxError
from .search import Index, SearchResult, search
from .store import IndexUnusableError
from .tokens import TOKEN_PATTERN

__all__ = ["SAMPLE_QUERIES", "format_result", "format_summary", "main"]

SAMPLE_QUERIES = (
    "json decode",
    "thread OR lock",
    "socket timeout -ssl",
    "parse command line arguments",
    "zip* archive",
)
COMMANDS = ("demo", "index", "search", "shell", "check")

EPILOG = f"""\
Without a command, runs the demo.  Terms are runs of letters and digits,
lower-cased ({TOKEN_PATTERN}).  Queries: words are ANDed; OR between words,
-word excludes, word* is a prefix.  Documents are ranked by BM25, a word in
the title counting four times.  Blocks are built by a process pool
(--workers); from Python, build_index(executor=...) accepts any
concurrent.futures.Executor whose workers share the index directory.
Progress bars use tqdm when it is installed, a plain counter otherwise.
"""


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _non_negative(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError("must not be negative")
    return value


def _build_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--limit", type=_non_negative, metavar="N", help="index at most N documents")
    parser.add_argument(
        "--workers", type=_non_negative, metavar="N",
        help="worker processes building blocks (default: one per CPU; 0: in this process)",
    )
    parser.add_argument(
        "--block-size", type=_positive, default=DEFAULT_BLOCK_SIZE, metavar="N",
        help=f"documents per block (default: {DEFAULT_BLOCK_SIZE})",
    )
    parser.add_argument(
        "--no-documents", action="store_true", help="leave the documents out of the index (no snippets)"
    )
    parser.add_argument("--no-progress", action="store_true", help="show no progress bars")


def make_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m minisearch",
        description="A small full-text search engine built on the quorbel codecs.",
        epilog=EPILOG,
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
    demo.add_argument("-k", type=_non_negative, default=5, help="results per query (default: 5)")
    demo.add_argument(
        "--query", action="append", metavar="TEXT", help="a query to run instead of the samples (repeatable)"
    )
    demo.add_argument("--no-check", action="store_true", help="skip the verification of the index")

    index = commands.add_parser("index", help="build an index", description="Build an index into INDEX.")
    index.add_argument("index", type=Path, metavar="INDEX", help="index directory (created if missing)")
    source = index.add_mutually_exclusive_group()
    source.add_argument("--stdlib", action="store_true", help="the standard library's docstrings (the default)")
    source.add_argument("--dir", type=Path, metavar="PATH", help="every UTF-8 text file below PATH; title = relative path")
    source.add_argument("--jsonl", type=Path, metavar="FILE", help='a JSON Lines file of {"title": ..., "content": ...}')
    _build_options(index)

    query = commands.add_parser(
        "search", help="answer a query (an interactive prompt without one)",
        description="Print the best documents for a query; without a query, start the interactive prompt.",
    )
    query.add_argument("index", type=Path, metavar="INDEX")
    query.add_argument("query", nargs="*", metavar="WORD", help="query words (quote the query in the shell)")
    query.add_argument("-k", type=_non_negative, default=10, help="number of results (default: 10)")

    shell = commands.add_parser("shell", help="interactive prompt", description="Answer queries typed at a prompt.")
    shell.add_argument("index", type=Path, metavar="INDEX")
    shell.add_argument("-k", type=_non_negative, default=10, help="number of results (default: 10)")

    check = commands.add_parser(
        "check", help="verify an index", description="Verify an index; exit status 1 when it has problems."
    )
    check.add_argument("index", type=Path, metavar="INDEX")
    return parser


# --------------------------------------------------------------------------
# Output


def _ms(seconds: float) -> str:
    return f"{seconds * 1000:.2f} ms"


def format_summary(report: BuildReport) -> str:
    """The build summary: counts, sizes, speed and time per phase."""
    phases = ", ".join(f"{name} {seconds:.2f} s" for name, seconds in report.phase_seconds.items())
    sizes = ", ".join(f"{role} {size:,}" for role, size in report.file_sizes.items() if role != "docs")
    store = f"; document store {report.store_bytes:,}" if "docs" in report.file_sizes else ""
    lines = [
        f"index       {report.index_dir}",
        f"documents   {report.documents:,}",
        f"terms       {report.terms:,}",
        f"postings    {report.postings:,}",
        f"blocks      {report.blocks:,} of up to {report.manifest.block_size:,} documents",
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


Source = Callable[[Executor], Iterator[Document]]


def _build(source: Source, index_dir: Path, args: argparse.Namespace, description: str) -> BuildReport:
    with local_executor(args.workers) as executor:
        documents = limit_documents(source(executor), args.limit)
        return build_index(
            documents,
            index_dir,
            block_size=args.block_size,
            executor=executor,
            workers=args.workers or None,
            show_progress=not args.no_progress,
            expected_documents=args.limit,
            source=description,
            store_documents=not args.no_documents,
        )


def _stdlib_root() -> str:
    return sysconfig.get_paths()["stdlib"]


def cmd_index(args: argparse.Namespace, out: TextIO) -> int:
    source: Source
    if args.dir is not None:
        source, description = (lambda _: directory_corpus(args.dir)), f"text files below {args.dir}"
    elif args.jsonl is not None:
        source, description = (lambda _: jsonl_corpus(args.jsonl)), f"JSON Lines file {args.jsonl}"
    else:
        root = _stdlib_root()
        source = functools.partial(stdlib_corpus, root)
        description = f"docstrings of the standard library at {root}"
    report = _build(source, args.index, args, description)
    print(format_summary(report), file=out)
    return 0


def cmd_search(args: argparse.Namespace, out: TextIO) -> int:
    if not args.query:
        return cmd_shell(args, out)
    with Index(args.index) as index:
        try:
            result = search(index, " ".join(args.query), args.k, snippets=True)
        except QuerySyntaxError as error:
            print(f"minisearch: bad query: {error}", file=sys.stderr)
            return 2
        print(format_result(result), file=out)
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
            f"{index.manifest.documents:,} documents, {index.manifest.terms:,} terms. "
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
            result = _search_following(index, args.index, query, args.k)
        except QuerySyntaxError as error:
            print(f"bad query: {error}", file=out)
            continue
        index = result[0]
        print(format_result(result[1]), file=out)


def _search_following(index: Index, index_dir: Path, query: str, k: int) -> tuple[Index, SearchResult]:
    """Search, reopening the index once if it was rebuilt meanwhile (its old files are gone)."""
    try:
        return index, search(index, query, k, snippets=True)
    except (FileNotFoundError, IndexUnusableError):
        index.close()
        index = Index(index_dir)
        return index, search(index, query, k, snippets=True)


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
        print(f"\nOpened the index in {_ms(time.perf_counter() - started)}; sample queries:", file=out)
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


HANDLERS = {"demo": cmd_demo, "index": cmd_index, "search": cmd_search, "shell": cmd_shell, "check": cmd_check}


def main(argv: Sequence[str] | None = None, out: TextIO | None = None) -> int:
    """Run the command line; returns the exit status."""
    arguments = list(sys.argv[1:] if argv is None else argv)
    if not arguments or arguments[0] not in (*COMMANDS, "-h", "--help"):
        arguments.insert(0, "demo")
    args = make_parser().parse_args(arguments)
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
