"""Running one build (or add) as a process of its own, timed, with the peak memory of its tree.

Each run is the engine's command line, or scale_fts5.py for FTS5, started directly (no shell, so
the process watched is the build's own client). It is timed from start to exit, interpreter
start-up, reading the JSON Lines and a cluster's start included, as a user would see it.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time
from dataclasses import asdict
from pathlib import Path
from typing import Any

from contender import path_bytes
from scale_memory import TreeMonitor

__all__ = ["BuildFailed", "engine_command", "fts5_command", "manifest_counts", "run_build"]

HERE = Path(__file__).resolve().parent
TIMEOUT_SECONDS = 3 * 3600


class BuildFailed(RuntimeError):
    """A build's process exited with an error."""


def engine_command(command: str, index: Path, jsonl: Path, options: list[str]) -> list[str]:
    """Return the argument list of ``python -m minisearch COMMAND INDEX --jsonl FILE OPTIONS``."""
    return [sys.executable, "-m", "minisearch", command, str(index), "--jsonl", str(jsonl), "--no-progress", *options]


def fts5_command(database: Path, jsonl: Path) -> list[str]:
    """Return the argument list that inserts a JSON Lines file's documents into an FTS5 table."""
    return [sys.executable, str(HERE / "scale_fts5.py"), str(database), str(jsonl)]


def manifest_counts(index: Path) -> dict[str, Any]:
    """Return the index's partition and segment counts from its manifest (None where it has none)."""
    manifest = json.loads((index / "manifest.json").read_text())
    segments = manifest.get("segments")
    return {
        "partitions": manifest.get("partitions"),
        "segments": len(segments) if isinstance(segments, list) else None,
        "index_documents": manifest.get("documents"),
    }


def _summary(peaks: list[dict[str, Any]]) -> dict[str, Any]:
    """Return the client's peak and the largest peak of the other processes."""
    client = next(p for p in peaks if p["role"] == "client")
    others = [p for p in peaks if p["role"] != "client"]
    largest = max(others, key=lambda p: p["peak_bytes"], default=None)
    return {
        "client_peak_bytes": client["peak_bytes"],
        "largest_other_peak_bytes": largest["peak_bytes"] if largest else 0,
        "largest_other_role": largest["role"] if largest else None,
        "largest_peak_bytes": max(p["peak_bytes"] for p in peaks),
    }


def run_build(command: list[str], documents: int, target: Path, worker_role: str, log: Path,
              forked_workers: bool = True) -> dict[str, Any]:
    """Run ``command`` and return its figures: seconds, documents/s, peak memory per process.

    ``documents`` is how many documents it indexes; ``target`` is the index or database it
    writes (its size is reported). Its output goes to ``log``. Raises BuildFailed if it fails.
    ``worker_role`` and ``forked_workers`` say how its workers are named and started.
    """
    load = os.getloadavg()[0]
    with open(log, "w") as output:
        started = time.perf_counter()
        process = subprocess.Popen(command, stdout=output, stderr=subprocess.STDOUT, env=os.environ.copy())
        monitor = TreeMonitor(process.pid, worker_role, forked_workers)
        monitor.start()
        try:
            status = process.wait(timeout=TIMEOUT_SECONDS)
        finally:
            if process.poll() is None:
                process.kill()
            seconds = time.perf_counter() - started
            peaks = [asdict(p) for p in monitor.stop()]
    if status != 0:
        raise BuildFailed(f"{' '.join(command)} exited with {status}:\n{log.read_text()[-4000:]}")
    return {
        "documents": documents,
        "seconds": seconds,
        "documents_per_s": documents / seconds,
        "bytes": path_bytes(target),
        "load_at_start": load,
        **_summary(peaks),
        "processes": peaks,
    }
