"""What minisearch's CRC-32 check of posting entries costs a search, on the standard library's docstrings.

A search checks each entry's CRC-32 (kept in its term table) when it first decodes the entry. This
indexes the docstrings, draws the engine benchmark's one- and two-word queries (plus the demo's),
and measures in CPU time, the median of interleaved rounds:

* cold: a reader opened for the round answers every query once, so every entry it decodes is
  checked (the ``search`` command's case), with the check and with it skipped;
* warm: a reader that has answered them all once answers them again (the shell's case);
* the CRC-32 work alone: ``zlib.crc32`` over the very entries a cold round checks.

    python benchmarks/engine/crc_cost.py [--queries 500] [--rounds 31]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import tempfile
import time
import zlib
from collections.abc import Callable
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.append(str(HERE.parents[1] / "examples" / "minisearch"))

import minisearch  # noqa: E402
from minisearch import BuildOptions, Index, reader, search  # noqa: E402

from corpora import document_frequencies  # noqa: E402
from queries import sample_queries  # noqa: E402

DEMO_QUERIES = ["json decode", "thread OR lock", "socket timeout -ssl", "parse command line arguments", "zip* archive"]
CHECK = reader._Partition._check


def _skip_check(partition: reader._Partition, entry: int, start: int, data: bytes) -> None:
    partition._unchecked[entry] = 0


def _answer(index: Index, queries: list[str]) -> float:
    started = time.process_time()
    for query in queries:
        search(index, query, 10)
    return time.process_time() - started


def _rounds(index_dir: Path, queries: list[str], rounds: int) -> dict[str, list[float]]:
    """Cold and warm times with the check and without, the four interleaved in every round."""
    times: dict[str, list[float]] = {name: [] for name in ("cold", "cold unchecked", "warm", "warm unchecked")}
    for number in range(rounds):
        order: list[tuple[str, Callable[..., None]]] = [("", CHECK), (" unchecked", _skip_check)]
        for suffix, check in order if number % 2 else order[::-1]:
            reader._Partition._check = check  # type: ignore[method-assign]
            with Index(index_dir) as index:
                times["cold" + suffix].append(_answer(index, queries))
                times["warm" + suffix].append(_answer(index, queries))
    reader._Partition._check = CHECK  # type: ignore[method-assign]
    return times


def _checked_entries(index_dir: Path, queries: list[str]) -> list[bytes]:
    """The bytes of every entry that a cold round checks."""
    pieces: list[bytes] = []

    def record(partition: reader._Partition, entry: int, start: int, data: bytes) -> None:
        pieces.append(data)
        CHECK(partition, entry, start, data)

    reader._Partition._check = record  # type: ignore[method-assign]
    with Index(index_dir) as index:
        _answer(index, queries)
    reader._Partition._check = CHECK  # type: ignore[method-assign]
    return pieces


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--queries", type=int, default=500, help="benchmark queries besides the demo's")
    parser.add_argument("--rounds", type=int, default=31)
    args = parser.parse_args()
    documents = list(minisearch.stdlib_corpus())
    queries = [" ".join(words) for words in sample_queries(document_frequencies(documents), args.queries)]
    queries += DEMO_QUERIES
    with tempfile.TemporaryDirectory(prefix="crc-cost-") as directory:
        index_dir = Path(directory, "index")
        minisearch.build_index(documents, index_dir, BuildOptions(show_progress=False))
        times = {name: statistics.median(values) for name, values in _rounds(index_dir, queries, args.rounds).items()}
        pieces = _checked_entries(index_dir, queries)
    crc_times = []
    for _ in range(args.rounds):
        started = time.process_time()
        for piece in pieces:
            zlib.crc32(piece)
        crc_times.append(time.process_time() - started)
    crc = statistics.median(crc_times)
    print(f"{len(documents):,} documents, {len(queries)} queries, median of {args.rounds} rounds (CPU time)")
    for kind in ("cold", "warm"):
        checked, unchecked = times[kind], times[kind + " unchecked"]
        print(f"{kind}: {unchecked * 1000:.1f} ms without the check, {checked * 1000:.1f} ms with it "
              f"({(checked / unchecked - 1) * 100:+.1f} %)")
    print(f"CRC-32 work of a cold round: {len(pieces):,} entries, {sum(map(len, pieces)):,} bytes, "
          f"{crc * 1000:.2f} ms: {crc / times['cold'] * 100:.1f} % of the round")


if __name__ == "__main__":
    main()
