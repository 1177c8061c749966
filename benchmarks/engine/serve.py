"""Server benchmark: ``minisearch serve`` under concurrent clients, beside the engine in process.

On the standard library's docstrings and on the seeded synthetic corpus (the engine benchmark's
corpora and query sampler), it builds an index, times ``search(index, q, k=10, snippets=True)``
in this process on the queries, then starts ``python -m minisearch serve INDEX`` on 127.0.0.1
and sends ``GET /api/search?q=...&k=10`` from concurrent keep-alive clients (http_load.py) for a
warm-up and then for the measured time: requests per second, latency percentiles, errors, and
the server's memory (/proc/PID/status) at start, after the warm-up and at the end.

    python benchmarks/engine/serve.py [--quick] [--out benchmarks/results/serve.md]

The clients run in this process on the same machine as the server, so they share its cores.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(HERE))
sys.path.append(str(ROOT / "examples" / "minisearch"))

from minisearch import BuildOptions, Index, build_index, search  # noqa: E402

from corpora import document_frequencies, load_corpus  # noqa: E402
from http_load import LoadResult, run_load  # noqa: E402
from queries import sample_queries  # noqa: E402

HOST = "127.0.0.1"
K = 10
MiB = 2**20


def percentile(values: list[float], share: float) -> float:
    """The ``share`` quantile of ``values`` (nearest rank), 0 when there are none."""
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))] if ordered else 0.0


def memory(pid: int) -> dict[str, int]:
    """The process's resident memory in bytes: all of it, anonymous, and mapped files."""
    fields = {}
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        name, _, value = line.partition(":")
        if name in ("VmRSS", "RssAnon", "RssFile"):
            fields[name] = int(value.split()[0]) * 1024
    return fields


class MemorySampler(threading.Thread):
    """Reads a process's memory once a second until stopped: (seconds since start, figures)."""

    def __init__(self, pid: int) -> None:
        super().__init__(daemon=True)
        self.pid, self.done = pid, threading.Event()
        self.samples: list[tuple[float, dict[str, int]]] = []
        self.started_at = time.perf_counter()

    def run(self) -> None:
        while not self.done.wait(1.0):
            self.samples.append((time.perf_counter() - self.started_at, memory(self.pid)))

    def stop(self) -> list[tuple[float, dict[str, int]]]:
        self.done.set()
        self.join()
        return self.samples


def in_process(index_dir: Path, texts: list[str], seconds: float) -> dict[str, float]:
    """The engine's queries per second and latencies, one query after another, in this process."""
    latencies = []
    with Index(index_dir) as index:
        started = time.perf_counter()
        deadline = started + seconds
        for number in range(10 * len(texts)):  # bounded in count as in time
            if time.perf_counter() >= deadline:
                break
            sent = time.perf_counter()
            search(index, texts[number % len(texts)], K, snippets=True)
            latencies.append(time.perf_counter() - sent)
        elapsed = time.perf_counter() - started
    return {"queries": len(latencies), "queries_per_s": len(latencies) / elapsed,
            "p50_ms": 1000 * percentile(latencies, 0.5), "p99_ms": 1000 * percentile(latencies, 0.99)}


class Server:
    """``minisearch serve INDEX --port 0`` in a child process."""

    def __init__(self, index_dir: Path) -> None:
        environment = dict(os.environ, PYTHONPATH=os.pathsep.join(
            [*filter(None, [os.environ.get("PYTHONPATH")]), str(ROOT / "examples" / "minisearch")]))
        self.process = subprocess.Popen(
            [sys.executable, "-m", "minisearch", "serve", str(index_dir), "--host", HOST, "--port", "0"],
            stdout=subprocess.PIPE, text=True, env=environment,
        )
        assert self.process.stdout is not None
        line = self.process.stdout.readline()
        if not line.startswith("serving "):
            self.process.kill()
            raise RuntimeError(f"the server did not start: {line!r}")
        self.port = int(line.split(" at ")[1].split()[0].rstrip("/").rsplit(":", 1)[1])

    def get(self, path: str) -> Any:
        with urllib.request.urlopen(f"http://{HOST}:{self.port}{path}", timeout=60) as response:
            return json.load(response)

    def stop(self) -> int:
        self.process.send_signal(signal.SIGINT)
        return self.process.wait(timeout=60)


def summarise(load: LoadResult) -> dict[str, Any]:
    return {
        "requests": load.requests, "seconds": load.seconds, "requests_per_s": load.requests / load.seconds,
        "p50_ms": 1000 * percentile(load.latencies, 0.5), "p99_ms": 1000 * percentile(load.latencies, 0.99),
        "errors": load.errors, "statuses": {str(status): count for status, count in load.statuses.items()},
    }


def bench_corpus(name: str, args: argparse.Namespace, workdir: Path) -> dict[str, Any]:
    print(f"== {name}: loading and building", flush=True)
    docs = load_corpus(name, args.synthetic_docs)
    texts = [" ".join(words) for words in sample_queries(document_frequencies(docs), args.queries)]
    index_dir = workdir / name
    build_index(docs, index_dir, BuildOptions(show_progress=False))
    figures: dict[str, Any] = {"name": name, "documents": len(docs), "queries": len(texts)}
    del docs

    print(f"== {name}: {len(texts)} queries in process for {args.in_process_seconds:g} s", flush=True)
    figures["in_process"] = in_process(index_dir, texts, args.in_process_seconds)

    paths = ["/api/search?" + urllib.parse.urlencode({"q": text, "k": K}) for text in texts]
    server = Server(index_dir)
    try:
        with Index(index_dir) as index:  # the server answers as the engine does
            expected = [hit.doc_id for hit in search(index, texts[0], K).hits]
        assert [hit["id"] for hit in server.get(paths[0])["hits"]] == expected
        figures["memory_start"] = memory(server.process.pid)
        print(f"== {name}: {args.clients} clients, {args.warmup:g} s warm-up, {args.seconds:g} s measured", flush=True)
        figures["warmup"] = summarise(run_load(HOST, server.port, paths, args.clients, args.warmup))
        figures["memory_warm"] = memory(server.process.pid)
        sampler = MemorySampler(server.process.pid)
        sampler.start()
        figures["load"] = summarise(run_load(HOST, server.port, paths, args.clients, args.seconds))
        figures["memory_samples"] = sampler.stop()
        figures["memory_end"] = memory(server.process.pid)
    finally:
        figures["server_exit"] = server.stop()
    print(json.dumps({key: figures[key] for key in ("in_process", "load", "memory_warm", "memory_end")}), flush=True)
    return figures


def thirds(corpus: dict[str, Any]) -> list[dict[str, int]]:
    """The memory samples closest to a third, two thirds and the end of the measured run."""
    samples, seconds = corpus["memory_samples"], corpus["load"]["seconds"]
    if not samples:
        return [corpus["memory_end"]]
    return [min(samples, key=lambda sample: abs(sample[0] - seconds * part / 3))[1] for part in (1, 2)] + [
        corpus["memory_end"]]


def markdown(results: dict[str, Any]) -> str:
    meta = results["meta"]
    lines = [
        "# minisearch serve: concurrent clients against the HTTP API",
        "",
        f"`{meta['command']}` on {meta['machine']}, Python {meta['python']}, {meta['date']}; load average "
        f"{meta['load_start']} at the start. {meta['clients']} keep-alive clients (in the benchmark's process, on the "
        f"same cores as the server) send `GET /api/search?q=...&k=10` for {meta['seconds']:g} s after a "
        f"{meta['warmup']:g} s warm-up, cycling through the corpus's sampled one- and two-word AND queries; "
        "each answer holds 10 hits with snippets. In process: `search(index, q, k=10, snippets=True)` on the "
        "same queries, one after another.",
        "",
        "| corpus | documents | requests/s | p50 ms | p99 ms | errors | in-process queries/s (p50 ms) "
        "| server RSS start → warm → end (MiB) | anonymous: warm, then each third of the run (MiB) |",
        "| --- | ---: | ---: | ---: | ---: | ---: | ---: | --- | --- |",
    ]
    for corpus in results["corpora"]:
        load, own = corpus["load"], corpus["in_process"]
        rss = " → ".join(f"{corpus[key]['VmRSS'] / MiB:.0f}" for key in ("memory_start", "memory_warm", "memory_end"))
        anon = " → ".join(f"{figures['RssAnon'] / MiB:.1f}" for figures in [corpus["memory_warm"], *thirds(corpus)])
        lines.append(
            f"| {corpus['name']} | {corpus['documents']:,} | {load['requests_per_s']:,.0f} | {load['p50_ms']:.1f} "
            f"| {load['p99_ms']:.1f} | {load['errors']} | {own['queries_per_s']:,.0f} ({own['p50_ms']:.2f}) "
            f"| {rss} | {anon} |"
        )
    lines += ["", "RSS counts the pages of the index's mapped files that the queries touched; the anonymous "
              "memory is the server's own (the heap), read from /proc/PID/status once a second during the run."]
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="20,000 synthetic documents, 10 s of load")
    parser.add_argument("--out", type=Path, default=ROOT / "benchmarks" / "results" / "serve.md")
    parser.add_argument("--corpora", nargs="+", default=["stdlib", "synthetic"], choices=["stdlib", "synthetic"])
    parser.add_argument("--synthetic-docs", type=int)
    parser.add_argument("--queries", type=int, default=2_000)
    parser.add_argument("--clients", type=int, default=16)
    parser.add_argument("--seconds", type=float)
    parser.add_argument("--warmup", type=float, default=10.0)
    parser.add_argument("--in-process-seconds", type=float, default=10.0)
    args = parser.parse_args()
    args.synthetic_docs = args.synthetic_docs or (20_000 if args.quick else 200_000)
    args.seconds = args.seconds or (10.0 if args.quick else 30.0)

    meta = {
        "command": " ".join([os.environ.get("QUORBEL_BENCH_COMMAND", "python benchmarks/engine/serve.py"),
                             *sys.argv[1:]]),
        "machine": f"{platform.machine()}, {os.cpu_count()} cores",
        "python": platform.python_version(),
        "date": time.strftime("%Y-%m-%d %H:%M"),
        "load_start": " ".join(f"{x:.2f}" for x in os.getloadavg()),
        "clients": args.clients, "seconds": args.seconds, "warmup": args.warmup, "k": K,
    }
    workdir = Path(tempfile.mkdtemp(prefix="quorbel-serve-bench-"))
    try:
        corpora = [bench_corpus(name, args, workdir) for name in args.corpora]
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    meta["load_end"] = " ".join(f"{x:.2f}" for x in os.getloadavg())
    results = {"meta": meta, "corpora": corpora}
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.with_suffix(".json").write_text(json.dumps(results, indent=2) + "\n")
    args.out.write_text(markdown(results))
    print(args.out.read_text())


if __name__ == "__main__":
    main()
