"""Engine benchmark: minisearch side by side with SQLite FTS5 and tantivy.

On the standard library's docstrings, on the paragraphs of the English documentation of the
installed Debian packages (short real texts where a few words are in most documents) and on a
seeded synthetic corpus with Zipf word frequencies, it builds each engine's index from documents
already in memory (each build in a child process of its own, timed merge and write included, with
its peak memory), then answers the same one- and two-word queries as AND and as OR queries at
k = 10 on every engine, interleaved in rounds (medians over rounds), and compares every engine's top 10 with FTS5's bm25(). Agreement is
measured on the documents whose terms all tokenizers read alike (ASCII text, no run of letters
and digits over 64 characters), with indexes of that subset when the corpus has other documents.

    python benchmarks/engine/run.py [--quick] [--out benchmarks/results/engine.md]

Results: a Markdown table, a JSON file and a PNG plot beside --out.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Sequence
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
# minisearch comes from PYTHONPATH when set there, else from this checkout; children see the same.
sys.path.insert(0, str(HERE))
sys.path.append(str(ROOT / "examples" / "minisearch"))
os.environ["PYTHONPATH"] = os.pathsep.join(
    [str(HERE), *filter(None, [os.environ.get("PYTHONPATH")]), str(ROOT / "examples" / "minisearch")]
)

from minisearch import Document  # noqa: E402

from contender import MODES, Contender, Searcher  # noqa: E402
from changes import bench_changes, bench_sync  # noqa: E402
from phrases import phrase_figures, sample_phrase_queries  # noqa: E402
from corpora import CORPORA, document_frequencies, is_agreeable, load_corpus, read_pickled, write_pickled  # noqa: E402
from measure import build_in_child, median_round, query_rounds, top_lists  # noqa: E402
from peers import FTS5, TANTIVY, tantivy_unavailable_reason  # noqa: E402
from queries import Query, sample_queries  # noqa: E402
from report import Figures, write_json, write_markdown, write_plot  # noqa: E402
from subject import MINISEARCH, accepts_store_option  # noqa: E402

K = 10


@dataclass(frozen=True)
class Settings:
    """How much to run."""

    synthetic_docs: int
    queries: int
    query_rounds: int
    build_rounds_small: int  # corpora of at most small_corpus documents
    build_rounds_large: int
    changes: bool = True
    small_corpus: int = 100_000
    """Corpora of at most this many documents are built in several rounds (the medians): a build
    of the 60,000 real-text paragraphs takes under half a second, and single builds of it moved by
    15 % from run to run; the standard library's 70 ms builds moved by half within one run."""


FULL = Settings(synthetic_docs=200_000, queries=2_000, query_rounds=3, build_rounds_small=7, build_rounds_large=1)
QUICK = Settings(synthetic_docs=20_000, queries=2_000, query_rounds=2, build_rounds_small=2, build_rounds_large=1)


def slug(name: str) -> str:
    """Return ``name`` as a file name."""
    return "".join(c if c.isalnum() else "-" for c in name.lower())


def remove_path(path: Path) -> None:
    """Remove the file or directory tree at ``path``, if any."""
    if path.is_dir():
        shutil.rmtree(path, ignore_errors=True)
    else:
        path.unlink(missing_ok=True)


def build_figures(contenders: Sequence[Contender], corpus: Path, directory: Path, rounds: int) -> dict[str, Figures]:
    """Build every contender's index ``rounds`` times, interleaved; keep the last index of each.

    Returns, per contender, the medians over rounds of documents/s, seconds, index bytes and peak
    memory, and the path of the index kept.
    """
    runs: dict[str, list[dict[str, float]]] = {c.name: [] for c in contenders}
    paths: dict[str, Path] = {}
    for number in range(rounds):
        order = list(contenders[number % len(contenders) :]) + list(contenders[: number % len(contenders)])
        for contender in order:
            path = directory / f"{slug(contender.name)}-{number}"
            figures = build_in_child(contender, corpus, path)
            runs[contender.name].append(figures)
            if contender.name in paths:
                remove_path(paths[contender.name])
            paths[contender.name] = path
            print(f"    built {contender.name}: {figures['documents'] / figures['seconds']:,.0f} documents/s", flush=True)
    return {name: summarise_builds(figures, paths[name]) for name, figures in runs.items()}


def summarise_builds(runs: list[dict[str, float]], path: Path) -> Figures:
    """Return the medians of a contender's build rounds, and where its index is."""
    last = runs[-1]
    return {
        "rounds": len(runs),
        "documents_per_s": statistics.median(r["documents"] / r["seconds"] for r in runs),
        "seconds": statistics.median(r["seconds"] for r in runs),
        "index_bytes": int(statistics.median(r["index_bytes"] for r in runs)),
        "peak_bytes": int(statistics.median(r["self_peak"] + r["children_peak"] for r in runs)),
        "self_peak_bytes": int(statistics.median(r["self_peak"] for r in runs)),
        "children_peak_bytes": int(statistics.median(r["children_peak"] for r in runs)),
        "rss_before_bytes": int(statistics.median(r["rss_before"] for r in runs)),
        "extras": {key: value for key, value in last.items() if key.endswith("_s") or key == "store_bytes"},
        "path": str(path),
    }


def store_bytes(build: Figures, corpus: Path, directory: Path) -> int | None:
    """Return what the engine's document store adds to its index, when that can be told."""
    if "store_bytes" in build["extras"]:
        return int(build["extras"]["store_bytes"])
    if not accepts_store_option():
        return None
    figures = build_in_child(MINISEARCH, corpus, directory / "minisearch-no-store", no_store=True)
    return int(build["index_bytes"]) - int(figures["index_bytes"])


def query_texts(contenders: Sequence[Contender], queries: Sequence[Query]) -> dict[str, dict[str, list[str]]]:
    """Return every contender's query strings, per mode."""
    return {c.name: {mode: [c.query_text(q, mode) for q in queries] for mode in MODES} for c in contenders}


def open_all(contenders: Sequence[Contender], paths: dict[str, Path]) -> dict[str, Searcher]:
    """Open every contender's index."""
    return {c.name: c.open(paths[c.name]) for c in contenders}


def close_all(searchers: dict[str, Searcher]) -> None:
    """Close every open index."""
    for searcher in searchers.values():
        searcher.close()


def agreement(
    searchers: dict[str, Searcher], texts: dict[str, dict[str, list[str]]]
) -> dict[str, dict[str, float]]:
    """Return, per engine other than FTS5 and per mode, the share of queries whose top 10 equals FTS5's."""
    reference = {mode: top_lists(searchers[FTS5.name], texts[FTS5.name][mode], K) for mode in MODES}
    shares: dict[str, dict[str, float]] = {}
    for name, searcher in searchers.items():
        if name == FTS5.name:
            continue
        shares[name] = {}
        for mode in MODES:
            tops = top_lists(searcher, texts[name][mode], K)
            same = sum(a == b for a, b in zip(tops, reference[mode]))
            shares[name][mode] = same / len(tops)
    return shares


def postings_per_query(searcher: Searcher, texts: dict[str, list[str]]) -> dict[str, dict[str, float]] | None:
    """Return the engine's mean postings decoded and scored per query, per mode, if it reports them."""
    figures: dict[str, dict[str, float]] = {}
    if texts[MODES[0]] and searcher.counts(texts[MODES[0]][0], K) == (None, None):
        return None
    for mode in MODES:
        counts = [searcher.counts(text, K) for text in texts[mode]]
        decoded = [c[0] for c in counts if c[0] is not None]
        scored = [c[1] for c in counts if c[1] is not None]
        if not decoded and not scored:
            return None
        figures[mode] = {
            "decoded": statistics.fmean(decoded) if decoded else float("nan"),
            "scored": statistics.fmean(scored) if scored else float("nan"),
        }
    return figures


def agreement_on_subset(
    contenders: Sequence[Contender], subset: list[Document], texts: dict[str, dict[str, list[str]]], directory: Path
) -> dict[str, dict[str, float]]:
    """Build every contender on ``subset`` (in this process, untimed) and return :func:`agreement`."""
    directory.mkdir(parents=True, exist_ok=True)
    paths = {}
    for contender in contenders:
        paths[contender.name] = directory / slug(contender.name)
        contender.build(subset, paths[contender.name], {})
    searchers = open_all(contenders, paths)
    try:
        return agreement(searchers, texts)
    finally:
        close_all(searchers)


def bench_corpus(name: str, contenders: Sequence[Contender], settings: Settings, workdir: Path) -> Figures:
    """Run the whole benchmark on one corpus; return its figures."""
    print(f"== {name}: loading", flush=True)
    started = time.perf_counter()
    docs = load_corpus(name, settings.synthetic_docs)
    load_seconds = time.perf_counter() - started
    subset = [doc for doc in docs if is_agreeable(doc)]
    queries = sample_queries(document_frequencies(subset), settings.queries)
    texts = query_texts(contenders, queries)
    directory = workdir / name
    directory.mkdir(parents=True)
    corpus_file = directory / "corpus.pickle"
    write_pickled(docs, corpus_file)
    figures: Figures = {
        "name": name,
        "documents": len(docs),
        "words": sum(len(doc.title.split()) + len(doc.content.split()) for doc in docs),
        "load_seconds": load_seconds,
        "agreement_documents": len(subset),
        "queries": len(queries),
        "one_word_queries": sum(len(q) == 1 for q in queries),
    }
    phrase_queries = sample_phrase_queries(docs, settings.queries // 4)
    whole = len(subset) == len(docs)
    if whole:
        subset = []
    del docs

    rounds = settings.build_rounds_small if figures["documents"] <= settings.small_corpus else settings.build_rounds_large
    print(f"== {name}: {figures['documents']:,} documents; building ({rounds} rounds)", flush=True)
    builds = build_figures(contenders, corpus_file, directory, rounds)
    builds[MINISEARCH.name]["store_bytes"] = store_bytes(builds[MINISEARCH.name], corpus_file, directory)
    if settings.changes:
        print(f"== {name}: documents that change (delete 1 %, replace 1 %)", flush=True)
        docs = read_pickled(corpus_file)
        figures["changes"] = bench_changes(docs, texts[MINISEARCH.name], directory, TANTIVY in contenders)
        figures["sync"] = bench_sync(docs, directory)
        del docs
    corpus_file.unlink()

    print(f"== {name}: {len(queries)} queries x {len(MODES)} modes, {settings.query_rounds} rounds", flush=True)
    searchers = open_all(contenders, {c.name: Path(builds[c.name]["path"]) for c in contenders})
    try:
        timings = query_rounds(searchers, texts, K, settings.query_rounds)
        postings = postings_per_query(searchers[MINISEARCH.name], texts[MINISEARCH.name])
        print(f"== {name}: top-{K} agreement", flush=True)
        shares = agreement(searchers, texts) if whole else None
        print(f"== {name}: phrases and field filters", flush=True)
        figures["phrases"] = phrase_figures(searchers, phrase_queries, K)
    finally:
        close_all(searchers)
    if shares is None:
        shares = agreement_on_subset(contenders, subset, texts, directory / "agreement")
    figures["engines"] = [
        {
            "name": c.name,
            "build": builds[c.name],
            "queries": {mode: asdict(median_round(timings[c.name][mode])) for mode in MODES},
            "query_rounds": {mode: [asdict(r) for r in timings[c.name][mode]] for mode in MODES},
            "agreement": shares.get(c.name),
            "postings_per_query": postings if c is MINISEARCH else None,
        }
        for c in contenders
    ]
    shutil.rmtree(directory, ignore_errors=True)
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="20,000 synthetic documents, fewer queries and rounds")
    parser.add_argument("--out", type=Path, default=ROOT / "benchmarks" / "results" / "engine.md")
    parser.add_argument("--corpora", nargs="+", default=list(CORPORA), choices=CORPORA)
    parser.add_argument("--synthetic-docs", type=int, help="documents in the synthetic corpus")
    parser.add_argument("--queries", type=int, help="queries per corpus")
    parser.add_argument("--rounds", type=int, help="query rounds")
    parser.add_argument("--no-plot", action="store_true")
    parser.add_argument("--no-changes", action="store_true", help="leave out the delete, upsert and sync figures")
    parser.add_argument("--from-json", type=Path, help="only rewrite the report and plot from earlier results")
    args = parser.parse_args()
    if args.from_json:
        write_report(args.out, json.loads(args.from_json.read_text()), plot=not args.no_plot)
        return
    settings = QUICK if args.quick else FULL
    settings = Settings(
        synthetic_docs=args.synthetic_docs or settings.synthetic_docs,
        queries=args.queries or settings.queries,
        query_rounds=args.rounds or settings.query_rounds,
        build_rounds_small=settings.build_rounds_small,
        build_rounds_large=settings.build_rounds_large,
        changes=not args.no_changes,
    )
    tantivy_missing = tantivy_unavailable_reason()
    contenders = [MINISEARCH, FTS5] + ([] if tantivy_missing else [TANTIVY])
    if tantivy_missing:
        print(f"tantivy unavailable: {tantivy_missing}", flush=True)

    started = time.perf_counter()
    meta = {
        "command": " ".join([os.environ.get("QUORBEL_BENCH_COMMAND", "python benchmarks/engine/run.py"), *sys.argv[1:]]),
        "machine": f"{platform.machine()}, {os.cpu_count()} cores",
        "python": platform.python_version(),
        "sqlite": __import__("sqlite3").sqlite_version,
        "tantivy": f"unavailable ({tantivy_missing})" if tantivy_missing else _tantivy_version(),
        "engine": engine_origin(),
        "date": time.strftime("%Y-%m-%d %H:%M"),
        "load_start": " ".join(f"{x:.2f}" for x in os.getloadavg()),
        "settings": asdict(settings),
        "k": K,
    }
    workdir = Path(tempfile.mkdtemp(prefix="quorbel-engine-bench-"))
    try:
        corpora = [bench_corpus(name, contenders, settings, workdir) for name in args.corpora]
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    meta["load_end"] = " ".join(f"{x:.2f}" for x in os.getloadavg())
    meta["seconds"] = round(time.perf_counter() - started)

    args.out.parent.mkdir(parents=True, exist_ok=True)
    results = {"meta": meta, "corpora": corpora}
    write_json(args.out.with_suffix(".json"), results)
    write_report(args.out, results, plot=not args.no_plot)


def write_report(out: Path, results: Figures, plot: bool) -> None:
    """Write the Markdown report to ``out`` and, if ``plot``, the plot beside it; print the report."""
    write_markdown(out, results, plot=plot)
    if plot:
        write_plot(out.with_suffix(".png"), results)
    print(out.read_text())


def engine_origin() -> str:
    """Return where minisearch was imported from (the checkout's commit and whether it was edited),
    and what evaluates its queries."""
    import minisearch

    kernels = getattr(minisearch, "kernels", None)
    return _origin(minisearch) + ("" if kernels is None else f"; queries on {kernels.STATUS}")


def _origin(minisearch: Any) -> str:
    package = Path(minisearch.__file__).resolve().parent
    if not package.is_relative_to(ROOT):
        return f"minisearch {minisearch.__version__} from {package}"

    def git(*arguments: str) -> str:
        try:
            done = subprocess.run(["git", *arguments], cwd=ROOT, capture_output=True, text=True)
        except OSError:  # no git here (a bare build root)
            return ""
        return done.stdout.strip()

    commit = git("rev-parse", "--short", "HEAD") or "unknown commit"
    edited = " with uncommitted changes" if git("status", "--porcelain", "--", str(package)) else ""
    return f"minisearch {minisearch.__version__} from {package.relative_to(ROOT)} at {commit}{edited}"


def _tantivy_version() -> str:
    """Return the installed tantivy's version."""
    from importlib.metadata import version

    return version("tantivy")


if __name__ == "__main__":
    main()
