"""What word positions cost minisearch's build: documents per second with and without them.

Builds each corpus of the engine benchmark in this process, from documents already in memory, with
``BuildOptions(positions=True)`` and ``positions=False`` in turn, ``--rounds`` times each, and prints
the medians and their ratio.

    python benchmarks/engine/positions_cost.py [--corpora stdlib realtext synthetic] [--rounds 3]
"""

from __future__ import annotations

import argparse
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.append(str(HERE.parents[1] / "examples" / "minisearch"))

import minisearch  # noqa: E402

from corpora import CORPORA, load_corpus  # noqa: E402


def documents_per_second(docs: list[minisearch.Document], positions: bool, directory: Path) -> float:
    shutil.rmtree(directory, ignore_errors=True)
    started = time.perf_counter()
    minisearch.build_index(docs, directory, minisearch.BuildOptions(show_progress=False, positions=positions))
    return len(docs) / (time.perf_counter() - started)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpora", nargs="+", default=list(CORPORA), choices=CORPORA)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--synthetic-docs", type=int, default=200_000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        for name in args.corpora:
            docs = load_corpus(name, args.synthetic_docs)
            rates: dict[bool, list[float]] = {True: [], False: []}
            for _ in range(args.rounds):
                for positions in (True, False):
                    rates[positions].append(documents_per_second(docs, positions, Path(scratch) / "index"))
            with_positions, without = statistics.median(rates[True]), statistics.median(rates[False])
            print(f"{name}: {len(docs):,} documents, {with_positions:,.0f} docs/s with positions, "
                  f"{without:,.0f} without: {with_positions / without:.2f}")


if __name__ == "__main__":
    main()
