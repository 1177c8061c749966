"""Where a query's time goes: the benchmark's query set on one corpus, timed query by query, then
the slowest of them (or all) under cProfile.

    python benchmarks/engine/query_profile.py realtext --index /tmp/realtext-index [--mode AND|OR|phrase|field]
        [--queries 2000] [--slowest 0.05] [--synthetic-docs 200000] [--top 25]

The index is built at --index when that directory does not hold one yet (with the default
options), and kept for the next run. Prints the time share of the slowest queries, the postings
they decode, and the functions that take their time.
"""

from __future__ import annotations

import argparse
import cProfile
import pstats
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.append(str(HERE.parents[1] / "examples" / "minisearch"))

import minisearch  # noqa: E402
from minisearch import BuildOptions, Index, build_index, search  # noqa: E402

from contender import MODES  # noqa: E402
from phrases import KINDS, sample_phrase_queries  # noqa: E402
from corpora import CORPORA, document_frequencies, is_agreeable, load_corpus  # noqa: E402
from queries import sample_queries  # noqa: E402
from subject import MINISEARCH  # noqa: E402

K = 10


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("corpus", choices=CORPORA)
    parser.add_argument("--index", type=Path, required=True, help="the index directory (built if empty)")
    parser.add_argument("--mode", choices=(*MODES, *KINDS), default="AND",
                        help="AND or OR of sampled words, or the phrase or field-filter queries")
    parser.add_argument("--queries", type=int, default=2_000)
    parser.add_argument("--slowest", type=float, default=0.05, help="the share of queries profiled (1: all)")
    parser.add_argument("--synthetic-docs", type=int, default=200_000)
    parser.add_argument("--top", type=int, default=25, help="functions listed")
    args = parser.parse_args()

    docs = load_corpus(args.corpus, args.synthetic_docs)
    if args.mode in KINDS:
        texts = sample_phrase_queries(docs, args.queries)[args.mode]
    else:
        queries = sample_queries(document_frequencies(doc for doc in docs if is_agreeable(doc)), args.queries)
        texts = [MINISEARCH.query_text(query, args.mode) for query in queries]
    if not (args.index / "manifest.json").exists():
        started = time.perf_counter()
        build_index(docs, args.index, BuildOptions(show_progress=False))
        print(f"built {len(docs):,} documents in {time.perf_counter() - started:.1f} s")
    del docs
    print(f"minisearch from {Path(minisearch.__file__).parent}; {describe_kernels()}")
    with Index(args.index) as index:
        for text in texts:  # warm: the benchmark reports the median of several rounds
            search(index, text, K)
        timed = []
        for text in texts:
            started = time.perf_counter_ns()
            result = search(index, text, K)
            timed.append((time.perf_counter_ns() - started, text, result.postings_decoded))
        timed.sort(reverse=True)
        total = sum(ns for ns, _, _ in timed)
        slow = timed[: max(1, round(len(timed) * args.slowest))]
        print(f"{len(timed)} {args.mode} queries: {len(timed) / total * 1e9:,.0f} q/s, "
              f"p50 {timed[len(timed) // 2][0] / 1e6:.3f} ms, p99 {timed[len(timed) // 100][0] / 1e6:.3f} ms")
        print(f"the slowest {len(slow)} take {sum(ns for ns, _, _ in slow) / total:.0%} of the time, decoding "
              f"{sum(n for _, _, n in slow):,} postings; the slowest five:")
        for ns, text, decoded in slow[:5]:
            print(f"    {ns / 1e6:8.2f} ms {decoded:8,} postings  {text}")
        profiler = cProfile.Profile()
        profiler.enable()
        for _, text, _ in slow:
            search(index, text, K)
        profiler.disable()
    pstats.Stats(profiler).sort_stats("tottime").print_stats(args.top)


def describe_kernels() -> str:
    """Whether the engine runs on its native kernels, when it says."""
    kernels = getattr(minisearch, "kernels", None)
    return getattr(kernels, "STATUS", "kernels not reported")


if __name__ == "__main__":
    main()
