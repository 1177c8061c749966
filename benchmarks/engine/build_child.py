"""Builds one index in a process of its own and prints its figures as one JSON line.

    python benchmarks/engine/build_child.py CONTENDER CORPUS.pickle INDEX_PATH [--no-store]

The corpus is read into memory first; then the peak resident set size is reset, and the build is
timed from the call to its return. The figures: seconds, index bytes on disk, the peak resident
set size of this process during the build, and the largest peak of its child processes (a
process pool's workers), with the resident size before the build (the corpus in memory).
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import resource
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.append(str(HERE.parents[1] / "examples" / "minisearch"))

from contender import Contender, path_bytes  # noqa: E402
from corpora import read_pickled  # noqa: E402


def contender_named(name: str) -> Contender:
    """Return the contender called ``name``."""
    from peers import FTS5, TANTIVY
    from subject import MINISEARCH

    for contender in (MINISEARCH, FTS5, TANTIVY):
        if contender.name == name:
            return contender
    raise SystemExit(f"unknown contender {name!r}")


def _status_bytes(field: str) -> int:
    """Return a size field of /proc/self/status (VmRSS, VmHWM) in bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def _reset_peak() -> bool:
    """Reset this process's peak resident set size; return whether the kernel allowed it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        return False
    return True


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("contender")
    parser.add_argument("corpus", type=Path)
    parser.add_argument("index", type=Path)
    parser.add_argument("--no-store", action="store_true", help="build without the document store")
    args = parser.parse_args()
    contender = contender_named(args.contender)
    docs = read_pickled(args.corpus)
    options: dict[str, object] = {"store_documents": False} if args.no_store else {}
    gc.collect()
    rss_before = _status_bytes("VmRSS")
    peak_was_reset = _reset_peak()
    started = time.perf_counter()
    extras = contender.build(docs, args.index, options)
    seconds = time.perf_counter() - started
    self_peak = _status_bytes("VmHWM")
    children_peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
    figures = {
        "documents": len(docs),
        "seconds": seconds,
        "index_bytes": path_bytes(args.index),
        "rss_before": rss_before,
        "self_peak": self_peak,
        "children_peak": children_peak,
        "peak_was_reset": peak_was_reset,
        "pid": os.getpid(),
        **extras,
    }
    print(json.dumps(figures))


if __name__ == "__main__":
    main()
