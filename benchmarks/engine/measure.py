"""Measuring: builds in child processes, query rounds interleaved across engines, top-10 lists."""

from __future__ import annotations

import gc
import json
import os
import statistics
import subprocess
import sys
import time
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

from contender import MODES, Contender, Searcher

__all__ = [
    "LatencyRound",
    "build_in_child",
    "interleaved_pass",
    "latency_round",
    "median_round",
    "query_rounds",
    "top_lists",
]

HERE = Path(__file__).resolve().parent
WARM_UP_QUERIES = 50


def build_in_child(contender: Contender, corpus: Path, index: Path, no_store: bool = False) -> dict[str, float]:
    """Build ``contender``'s index of the pickled ``corpus`` at ``index`` in a child process.

    Returns the figures that build_child.py prints. Raises RuntimeError with the child's error
    output if it fails.
    """
    command = [sys.executable, str(HERE / "build_child.py"), contender.name, str(corpus), str(index)]
    if no_store:
        command.append("--no-store")
    done = subprocess.run(command, capture_output=True, text=True, env=os.environ.copy())
    if done.returncode != 0:
        raise RuntimeError(f"building {contender.name} failed:\n{done.stderr[-4000:]}")
    figures: dict[str, float] = json.loads(done.stdout.strip().splitlines()[-1])
    return figures


@dataclass(frozen=True)
class LatencyRound:
    """One pass over a query set: queries per second and latency percentiles in milliseconds."""

    qps: float
    p50_ms: float
    p99_ms: float


def latency_round(latencies_ns: Sequence[int]) -> LatencyRound:
    """Return the throughput and the 50th and 99th percentile of one pass's latencies."""
    ordered = sorted(latencies_ns)
    n = len(ordered)
    total_s = sum(ordered) / 1e9
    return LatencyRound(
        qps=n / total_s if total_s > 0 else float("inf"),
        p50_ms=ordered[min(n - 1, n // 2)] / 1e6,
        p99_ms=ordered[min(n - 1, (99 * n) // 100)] / 1e6,
    )


def median_round(rounds: Sequence[LatencyRound]) -> LatencyRound:
    """Return the median of each figure over ``rounds``."""
    return LatencyRound(
        qps=statistics.median(r.qps for r in rounds),
        p50_ms=statistics.median(r.p50_ms for r in rounds),
        p99_ms=statistics.median(r.p99_ms for r in rounds),
    )


def _time_each(searcher: Searcher, texts: Sequence[str], k: int, latencies: list[int]) -> None:
    """Append the latency in nanoseconds of each query of ``texts`` to ``latencies``."""
    clock = time.perf_counter_ns
    for text in texts:
        started = clock()
        searcher.top(text, k)
        latencies.append(clock() - started)


def _timed_pass(searcher: Searcher, texts: Sequence[str], k: int) -> list[int]:
    """Return the latency in nanoseconds of each query of ``texts``, garbage collector off."""
    latencies: list[int] = []
    for text in texts[:WARM_UP_QUERIES]:
        searcher.top(text, k)
    gc.collect()
    gc.disable()
    try:
        _time_each(searcher, texts, k, latencies)
    finally:
        gc.enable()
    return latencies


def interleaved_pass(searchers: dict[str, Searcher], texts: Sequence[str], k: int,
                     slices: int = 20) -> dict[str, list[int]]:
    """One pass of ``texts`` on every engine, the latency in nanoseconds of each query: the
    queries in ``slices``, each slice on every engine in turn (the order rotating), so that a
    slower spell of a shared machine weighs on every engine alike.  Garbage collector off."""
    for searcher in searchers.values():
        for text in texts[:WARM_UP_QUERIES]:
            searcher.top(text, k)
    size = -(-len(texts) // slices) if texts else 1
    parts = [texts[start:start + size] for start in range(0, len(texts), size)]
    names = list(searchers)
    latencies: dict[str, list[int]] = {name: [] for name in names}
    gc.collect()
    gc.disable()
    try:
        for number, part in enumerate(parts):
            for name in names[number % len(names):] + names[:number % len(names)]:
                _time_each(searchers[name], part, k, latencies[name])
    finally:
        gc.enable()
    return latencies


def query_rounds(
    searchers: dict[str, Searcher], texts: dict[str, dict[str, list[str]]], k: int, rounds: int
) -> dict[str, dict[str, list[LatencyRound]]]:
    """Time every engine's query sets ``rounds`` times, interleaved, the engine order rotating.

    ``texts[engine][mode]`` are the queries in that engine's syntax. Returns, per engine and mode,
    one :class:`LatencyRound` per round.
    """
    names = list(searchers)
    results: dict[str, dict[str, list[LatencyRound]]] = {name: {mode: [] for mode in MODES} for name in names}
    for number in range(rounds):
        order = names[number % len(names) :] + names[: number % len(names)]
        for mode in MODES:
            for name in order:
                latencies = _timed_pass(searchers[name], texts[name][mode], k)
                results[name][mode].append(latency_round(latencies))
        print(f"    round {number + 1}/{rounds} done", flush=True)
    return results


def top_lists(searcher: Searcher, texts: Sequence[str], k: int) -> list[list[int]]:
    """Return each query's top-``k`` document ids."""
    return [searcher.top(text, k) for text in texts]
