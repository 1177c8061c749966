"""Scale benchmark: minisearch building 250,000 to 1,000,000 documents under a fixed memory budget.

On a seeded synthetic corpus (scale_corpus.py) it builds indexes of 250k, 500k and 1M documents
with the same --memory budget, with the local process pool and with a two-worker Dask
LocalCluster, each build a process of its own whose every process's peak memory is recorded
(scale_memory.py); adds 10 % more documents to the largest index; builds the same documents and
adds the same 10 % with SQLite FTS5; and, on the smallest corpus, times queries on the
partitioned index against a one-partition index and checks that a partitioned build with a
segment added gives exactly the top 10s of a one-partition, one-segment build.

    python benchmarks/engine/scale.py [--quick] [--memory 512M] [--steps pool dask ...]

Results: scale.md, scale.json and scale.png beside --out; the JSON is rewritten after every
step, so an interrupted run keeps what it measured. With --update, the steps run replace their
figures in the existing JSON and the others are kept.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(HERE))

# run.py puts minisearch on the path (this checkout's, unless PYTHONPATH has one), for children too.
import run
from scale_builds import (
    BuildFailed,
    engine_command,
    fts5_command,
    manifest_counts,
    run_build,
)
from scale_corpus import DEFAULT_CACHE, CorpusFiles, corpus_files, write_slice
from scale_engine import Features, detect_features, parse_size
from scale_queries import compare_tops, corpus_queries, throughput
from scale_report import write_markdown, write_plot
from synthetic import DEFAULT_SEED

STEPS = ("pool", "dask", "fts5", "add", "queries")
ROLES = {"pool": "pool worker", "dask": "Dask worker"}


@dataclass(frozen=True)
class Settings:
    """How much to run."""

    sizes: tuple[int, ...]
    extra: int  # documents added to the largest index (a tenth of it unless chosen)
    queries: int
    rounds: int
    memory: str
    workers: int
    dask_workers: int
    seed: int


FULL = Settings((250_000, 500_000, 1_000_000), 0, 2_000, 3, "512M", 2, 2, DEFAULT_SEED)
# A budget small enough that the quick run's small corpora still get several partitions.
QUICK = Settings((20_000, 40_000, 80_000), 0, 500, 2, "64M", 2, 2, DEFAULT_SEED)


@dataclass
class Bench:
    """One run: what to run, on which corpus, where, and the results so far (saved after each step)."""

    settings: Settings
    files: CorpusFiles
    features: Features
    workdir: Path
    results: dict[str, Any]
    json_path: Path

    def record(self, section: str, name: str, figures: Any) -> None:
        """Store figures under ``results[section][name]`` and save the results."""
        self.results.setdefault(section, {})[name] = figures
        self.json_path.write_text(json.dumps(self.results, indent=1) + "\n")

    def run(self, name: str, command: list[str], documents: int, target: Path, role: str) -> dict[str, Any]:
        """Run one build or add, print its speed and memory, and return its figures."""
        log = self.workdir / f"{name}.log"
        figures = run_build(command, documents, target, role, log, forked_workers=role != ROLES["dask"])
        print(
            f"    {name}: {figures['documents_per_s']:,.0f} documents/s, peak MiB client "
            f"{figures['client_peak_bytes'] / 2**20:,.0f}, largest other {figures['largest_other_peak_bytes'] / 2**20:,.0f}",
            flush=True,
        )
        return figures

    def engine_options(self, command: str, mode: str, partitions: int | None = None) -> list[str]:
        """Return the options of an engine command: its executor and the memory budget, if it takes them."""
        s = self.settings
        wanted = {"--memory": s.memory, "--partitions": None if partitions is None else str(partitions)}
        if mode == "dask":
            wanted["--dask-local"] = str(s.dask_workers)
        else:
            wanted["--workers"] = str(s.workers)
        accepted = [(option, value) for option, value in wanted.items() if self.features.accepts(command, option)]
        return [text for option, value in accepted if value is not None for text in (option, value)]

    def engine(self, command: str, name: str, mode: str, index: Path, source: Path, documents: int,
               partitions: int | None = None, more: tuple[str, ...] = ()) -> dict[str, Any]:
        """Run the engine's ``index`` or ``add`` on ``source``, a file of ``documents`` documents."""
        options = [*self.engine_options(command, mode, partitions), *more]
        before = manifest_counts(index)["index_documents"] if command == "add" else 0
        figures = self.run(name, engine_command(command, index, source, options), documents, index, ROLES[mode])
        figures.update(manifest_counts(index))
        if figures["index_documents"] not in (None, before + documents):
            self.record("problems", name, f"the index holds {figures['index_documents']:,} documents, "
                        f"not {before + documents:,}")
        return figures


def build_series(bench: Bench, mode: str) -> None:
    """Build every corpus size with ``mode``'s executor; keep the pool's smallest and largest index."""
    sizes = bench.settings.sizes
    for size in sizes:
        index = bench.workdir / f"{mode}-{size}"
        figures = bench.engine("index", f"{mode}-{size}", mode, index, bench.files.first(size), size)
        bench.record(mode, str(size), figures)
        if mode != "pool" or size not in (min(sizes), max(sizes)):
            shutil.rmtree(index)


def fts5_series(bench: Bench) -> None:
    """Build every corpus size with FTS5; keep the largest database."""
    sizes = bench.settings.sizes
    for size in sizes:
        database = bench.workdir / f"fts5-{size}.db"
        figures = bench.run(f"fts5-{size}", fts5_command(database, bench.files.first(size)), size, database, "")
        bench.record("fts5", str(size), figures)
        if size != max(sizes):
            database.unlink()


def pool_index(bench: Bench, size: int) -> Path:
    """Return the pool-built index of ``size`` documents, building it (untimed) if this run has not."""
    index = bench.workdir / f"pool-{size}"
    if not index.exists():
        bench.engine("index", f"pool-{size}-untimed", "pool", index, bench.files.first(size), size)
    return index


def fts5_database(bench: Bench, size: int) -> Path:
    """Return the FTS5 database of ``size`` documents, building it (untimed) if this run has not."""
    database = bench.workdir / f"fts5-{size}.db"
    if not database.exists():
        bench.run(f"fts5-{size}-untimed", fts5_command(database, bench.files.first(size)), size, database, "")
    return database


def add_step(bench: Bench) -> None:
    """Add the extra documents to the largest index, then merge it whole; the same adds with FTS5."""
    size, extra = max(bench.settings.sizes), bench.settings.extra
    index = pool_index(bench, size)
    bench.record("add", "minisearch", bench.engine("add", f"add-{extra}", "pool", index, bench.files.extra, extra))
    if "optimize" in bench.features.options:
        options = bench.engine_options("optimize", "pool")
        command = [sys.executable, "-m", "minisearch", "optimize", str(index), "--no-progress", *options]
        figures = bench.run("optimize", command, size + extra, index, "pool worker")
        bench.record("add", "optimize", {**figures, **manifest_counts(index)})
    database = fts5_database(bench, size)
    figures = bench.run(f"fts5-add-{extra}", fts5_command(database, bench.files.extra), extra, database, "")
    bench.record("add", "fts5", figures)


def segmented_index(bench: Bench, size: int) -> Path:
    """Build the first 90 % of ``size`` documents, then add the rest as a segment; record the add."""
    index, added = bench.workdir / f"segmented-{size}", size // 10
    bench.engine("index", f"segmented-{size}-base", "pool", index, bench.files.first(size - added), size - added)
    tail = bench.workdir / f"documents-{size - added}-{size}.jsonl"
    write_slice(bench.files.base, size - added, size, tail)
    no_merge = ("--no-merge",) if bench.features.accepts("add", "--no-merge") else ()
    figures = bench.engine("add", f"segment-add-{added}", "pool", index, tail, added, more=no_merge)
    bench.record("segment_add", str(size), figures)
    return index


def queries_step(bench: Bench) -> None:
    """On the smallest corpus: queries/s on each index, and top 10s against a one-partition build."""
    size = min(bench.settings.sizes)
    indexes = {"partitioned": pool_index(bench, size)}
    if bench.features.accepts("index", "--partitions"):
        indexes["one partition"] = bench.workdir / f"single-{size}"
        single = indexes["one partition"]
        figures = bench.engine("index", f"single-{size}", "pool", single, bench.files.first(size), size, 1)
        bench.record("single", str(size), figures)
    if "add" in bench.features.options:
        indexes["partitioned + segment"] = segmented_index(bench, size)
    print(f"== queries on {size:,} documents: sampling", flush=True)
    queries = corpus_queries(bench.files.first(size), bench.settings.queries)
    shapes = {name: manifest_counts(path) for name, path in indexes.items()}
    timings = throughput(indexes, queries, bench.settings.rounds)
    bench.record("queries", str(size), {
        "queries": len(queries), "one_word": sum(len(q) == 1 for q in queries), "indexes": shapes, "timings": timings,
    })
    if "one partition" in indexes:
        reference = indexes.pop("one partition")
        equality = {name: compare_tops(reference, path, queries) for name, path in indexes.items()}
        bench.record("equality", str(size), equality)


def run_step(bench: Bench, step: str) -> None:
    """Run one step, or record why it cannot run with this version of the engine."""
    missing = bench.features.missing_for(step)
    if missing:
        print(f"== {step}: skipped ({missing})", flush=True)
        bench.record("skipped", step, missing)
        return
    bench.results.get("skipped", {}).pop(step, None)
    print(f"== {step}", flush=True)
    started = time.perf_counter()
    if step in ROLES:
        build_series(bench, step)
    elif step == "fts5":
        fts5_series(bench)
    elif step == "add":
        add_step(bench)
    else:
        queries_step(bench)
    bench.record("step_seconds", step, round(time.perf_counter() - started))


def _load() -> str:
    """Return the load averages over 1, 5 and 15 minutes."""
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def _meta(args: argparse.Namespace, settings: Settings, features: Features, files: CorpusFiles) -> dict[str, Any]:
    """Return the conditions that every run of one results file shares."""
    return {
        "quick": args.quick,
        "machine": f"{platform.machine()}, {os.cpu_count()} cores",
        "python": platform.python_version(),
        "sqlite": sqlite3.sqlite_version,
        "features": asdict(features),
        "settings": asdict(settings),
        "budget_bytes": parse_size(settings.memory),
        "corpus": {"base": str(files.base), "extra": str(files.extra)},
    }


def _engine_version() -> str:
    """Return where minisearch comes from; in this checkout, the last commit that changed it
    (which a rebase of later commits does not rename) and whether it is edited."""
    origin = run.engine_origin()
    if " at " not in origin:
        return origin
    done = subprocess.run(["git", "log", "-1", "--format=%h", "--", "examples/minisearch"], cwd=ROOT,
                          capture_output=True, text=True, check=False)
    commit = done.stdout.strip()
    return f"{origin.split(' at ')[0]} as of {commit}{' with uncommitted changes' if 'uncommitted' in origin else ''}"


def _run_record(args: argparse.Namespace) -> dict[str, Any]:
    """Return what this invocation was: its command, steps, engine, date and load at the start."""
    command = os.environ.get("QUORBEL_BENCH_COMMAND", "python benchmarks/engine/scale.py")
    return {
        "command": " ".join([command, *sys.argv[1:]]),
        "steps": args.steps,
        "engine": _engine_version(),
        "date": time.strftime("%Y-%m-%d %H:%M %Z"),
        "load_start": _load(),
    }


def _settings(args: argparse.Namespace) -> Settings:
    """Return the settings chosen by the command line."""
    base = QUICK if args.quick else FULL
    sizes = tuple(sorted(args.sizes)) if args.sizes else base.sizes
    return Settings(
        sizes=sizes,
        extra=args.extra or max(sizes) // 10,
        queries=args.queries or base.queries,
        rounds=args.rounds or base.rounds,
        memory=args.memory or base.memory,
        workers=base.workers,
        dask_workers=base.dask_workers,
        seed=args.seed,
    )


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="20k, 40k and 80k documents, 64M, fewer queries")
    parser.add_argument("--out", type=Path, default=ROOT / "benchmarks" / "results" / "scale.md")
    parser.add_argument("--memory", help="the memory budget of every build (default: 512M; 64M with --quick)")
    parser.add_argument("--sizes", type=int, nargs="+", help="corpus sizes in documents")
    parser.add_argument("--extra", type=int, help="documents added to the largest index (default: a tenth of it)")
    parser.add_argument("--queries", type=int, help="queries sampled (default: 2,000; 500 with --quick)")
    parser.add_argument("--rounds", type=int, help="query rounds")
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED, help="the corpus's seed")
    parser.add_argument("--steps", nargs="+", choices=STEPS, default=list(STEPS), help="what to run")
    parser.add_argument("--update", action="store_true", help="keep the figures of the steps not run")
    parser.add_argument("--cache", type=Path, default=DEFAULT_CACHE, help="where the corpus files are kept")
    parser.add_argument("--from-json", action="store_true", help="only rewrite the report and plot")
    return parser


def main() -> None:
    args = _parser().parse_args()
    json_path = args.out.with_suffix(".json")
    if args.from_json:
        write_report(args.out, json.loads(json_path.read_text()))
        return
    settings = _settings(args)
    features = detect_features()
    extra = settings.extra
    started = time.perf_counter()
    print(f"== corpus: {max(settings.sizes):,} + {extra:,} documents, seed {settings.seed}", flush=True)
    files = corpus_files(max(settings.sizes), extra, settings.seed, args.cache)
    results = json.loads(json_path.read_text()) if args.update and json_path.exists() else {}
    results.pop("failed", None)
    results["meta"] = _meta(args, settings, features, files)
    run = _run_record(args)
    results["runs"] = [*results.get("runs", []), run]
    args.out.parent.mkdir(parents=True, exist_ok=True)
    workdir = Path(tempfile.mkdtemp(prefix="quorbel-scale-bench-"))
    bench = Bench(settings, files, features, workdir, results, json_path)
    try:
        for step in args.steps:
            run_step(bench, step)
    except BuildFailed as error:
        bench.record("failed", "error", str(error))
        raise
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
        run["load_end"] = _load()
        run["seconds"] = round(time.perf_counter() - started)
        bench.record("meta", "corpus", results["meta"]["corpus"])  # saves the run's end
        write_report(args.out, results)


def write_report(out: Path, results: dict[str, Any]) -> None:
    """Write the Markdown report and the plot beside it, and print the report."""
    write_markdown(out, results)
    write_plot(out.with_suffix(".png"), results)
    print(out.read_text())


if __name__ == "__main__":
    main()
