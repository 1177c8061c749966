"""quorbel benchmark suite.

For every function and workload it measures, interleaved in one process (garbage collector off
while timing, median of several rounds):

* quorbel's time per posting or per call;
* the pure-Python version of the same function (tests/reference.py, byte-exact);
* the native floor: the unavoidable work done by small native kernels built only for the
  benchmark (benchmarks/floor/floor.cpp): reading the arguments into native values, scalar LEB128
  decode/encode, std::sort by the same key, creating the result objects at their final size, the
  system calls of the same file access.

Absolute times on a shared machine drift between runs, so the figures are the ratios
quorbel/floor and pure-Python/quorbel, each the median of per-round ratios. It also measures peak
memory per workload in child processes and compares lookups against SQLite FTS5. Results go to a
Markdown table, a JSON file and a PNG plot.

    python benchmarks/run.py [--quick] [--out benchmarks/results/results.md]
"""

from __future__ import annotations

import argparse
import gc
import itertools
import io
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))  # the pure-Python oracle of the test suite

import build_floor  # noqa: E402
import reference  # noqa: E402
import workloads  # noqa: E402

import quorbel  # noqa: E402

floor = build_floor.load()

# Targets: quorbel/floor ratio at most this much (None: no floor target).
TARGETS = {
    "decode_posting_list": 1.2,
    "iter_block_terms": 1.2,
    "encode_posting_list(assume_sorted=True)": 1.3,
    "write_binary_block": 1.3,
    "encode_posting_list": 0.8,
    "merge_posting_lists": 0.8,
    "read_term_at_offset": 1.2,
    "get_block_stats": 1.2,
    "encode_varint": 1.5,
    "read_varint": 1.5,
}
# Functions whose work grows with the postings: each must beat pure Python by 10x everywhere.
POSTING_FUNCTIONS = {
    "decode_posting_list",
    "encode_posting_list(assume_sorted=True)",
    "encode_posting_list",
    "merge_posting_lists",
    "write_binary_block",
    "iter_block_terms",
}
MIN_SPEEDUP_VS_PYTHON = 10.0


@dataclass
class Case:
    function: str
    workload: str
    unit: str  # "posting" or "call"
    units: int  # postings or calls per run
    quorbel: Callable[[], object]
    floor: Callable[[], object]
    python: Callable[[], object] | None
    note: str = ""
    times: dict[str, list[float]] = field(default_factory=dict)


# Shortest time of one sample: short workloads are repeated within a sample until they take this
# long, so that timer resolution and scheduling hiccups stay small against the sample.
MIN_SAMPLE_SECONDS = 0.03


def timed(run: Callable[[], object], reps: int = 1) -> float:
    """Seconds per run, over `reps` runs; the results are kept alive until the clock has stopped."""
    gc.disable()
    try:
        start = time.perf_counter()
        results = [run() for _ in range(reps)]
        elapsed = time.perf_counter() - start
    finally:
        gc.enable()
    del results
    return elapsed / reps


def repetitions(run: Callable[[], object]) -> int:
    """How many runs make a sample of at least MIN_SAMPLE_SECONDS."""
    once = timed(run)
    return max(1, int(MIN_SAMPLE_SECONDS / max(once, 1e-9)) + 1) if once < MIN_SAMPLE_SECONDS else 1


def measure(cases: list[Case], rounds: int, python_rounds: int) -> None:
    """Interleaved rounds: each round runs every variant of every case once, in rotating order."""
    reps = {}
    for case in cases:
        case.times = {"quorbel": [], "floor": [], "python": []}
        # Calibrated on quorbel; the same count for every variant of the case.
        reps[id(case)] = repetitions(case.quorbel)
    for r in range(rounds):
        print(f"  round {r + 1}/{rounds}", flush=True)
        for case in cases:
            variants = [("quorbel", case.quorbel), ("floor", case.floor)]
            if case.python is not None and r < python_rounds:
                variants.append(("python", case.python))
            if r % 2:
                variants.reverse()
            for name, run in variants:
                # Pure Python is ten to a hundred times slower: one run per sample is plenty.
                count = 1 if name == "python" else reps[id(case)]
                case.times[name].append(timed(run, count))
            gc.collect()


def median_ratio(a: list[float], b: list[float]) -> float:
    return statistics.median(x / y for x, y in zip(a, b))


def summarise(case: Case) -> dict:
    q, f, p = case.times["quorbel"], case.times["floor"], case.times["python"]
    scale = 1e9 if case.unit == "posting" else 1e9
    row = {
        "function": case.function,
        "workload": case.workload,
        "unit": case.unit,
        "units": case.units,
        "quorbel_ns": statistics.median(q) / case.units * scale,
        "floor_ns": statistics.median(f) / case.units * scale,
        "ratio_floor": median_ratio(q, f),
        "target": TARGETS.get(case.function),
        "note": case.note,
    }
    if p:
        row["python_ns"] = statistics.median(p) / case.units * scale
        row["speedup_python"] = median_ratio(p, q[: len(p)])
    return row


# --------------------------------------------------------------------------------------------
# Cases


def posting_cases(scale: float) -> list[Case]:
    cases = []
    for w in workloads.posting_workloads(scale):
        lists = w.lists
        cases.append(Case(
            "encode_posting_list(assume_sorted=True)", w.name, "posting", w.postings,
            lambda lists=lists: [quorbel.encode_posting_list(p, True) for p in lists],
            lambda lists=lists: [floor.encode(p, False) for p in lists],
            lambda lists=lists: [reference.encode_posting_list(p, True) for p in lists],
            w.description))
        cases.append(Case(
            "encode_posting_list", w.name, "posting", w.postings,
            lambda lists=lists: [quorbel.encode_posting_list(p) for p in lists],
            lambda lists=lists: [floor.encode(p, True) for p in lists],
            lambda lists=lists: [reference.encode_posting_list(p) for p in lists],
            w.description))
        encoded = [quorbel.encode_posting_list(p, True) for p in lists]
        cases.append(Case(
            "decode_posting_list", w.name, "posting", w.postings,
            lambda encoded=encoded: [quorbel.decode_posting_list(d) for d in encoded],
            lambda encoded=encoded: [floor.decode(d) for d in encoded],
            lambda encoded=encoded: [reference.decode_posting_list(d) for d in encoded],
            w.description))
        merges = workloads.merge_inputs(w)
        cases.append(Case(
            "merge_posting_lists", w.name, "posting", w.postings,
            lambda merges=merges: [quorbel.merge_posting_lists(m) for m in merges],
            lambda merges=merges: [floor.merge(m) for m in merges],
            lambda merges=merges: [reference.merge_posting_lists(m) for m in merges],
            w.description + ", each cut into 4 doc-ordered parts"))
    return cases


def block_cases(scale: float, directory: Path) -> tuple[list[Case], workloads.BlockWorkload, str]:
    b = workloads.block_workload(scale)
    path = str(directory / "block.bin")
    floor_path = str(directory / "block-floor.bin")
    python_path = str(directory / "block-python.bin")
    args = (b.terms, b.doc_freqs, b.postings)
    quorbel.write_binary_block(*args, path)
    desc = f"{len(b.terms)} terms, {b.total_postings} postings, Zipf(1.9) list lengths"
    offsets = workloads.entry_offsets(path)
    rng = random.Random(workloads.SEED + 4)
    walk = [rng.choice(offsets) for _ in range(2000)]
    stats_calls = range(2000)
    cases = [
        Case("write_binary_block", "block", "posting", b.total_postings,
             lambda: quorbel.write_binary_block(*args, path),
             lambda: floor.write_block(*args, floor_path),
             lambda: reference.write_binary_block(*args, python_path), desc),
        Case("iter_block_terms", "block", "posting", b.total_postings,
             lambda: quorbel.iter_block_terms(path),
             lambda: floor.iter_block(path),
             lambda: reference.iter_block_terms(path), desc),
        Case("read_term_at_offset", "walk", "call", len(walk),
             lambda: [quorbel.read_term_at_offset(path, o) for o in walk],
             lambda: [floor.read_term(path, o) for o in walk],
             lambda: [reference.read_term_at_offset(path, o) for o in walk],
             "2000 calls at random kept entry offsets"),
        Case("read_term_at_offset (syscalls only)", "walk", "call", len(walk),
             lambda: [quorbel.read_term_at_offset(path, o) for o in walk],
             lambda: [floor.syscalls(path, o, 8192) for o in walk],
             None, "floor = open + lseek + read(8192) + close only"),
        Case("get_block_stats", "block", "call", len(stats_calls),
             lambda: [quorbel.get_block_stats(path) for _ in stats_calls],
             lambda: [floor.block_stats(path) for _ in stats_calls],
             lambda: [reference.get_block_stats(path) for _ in stats_calls],
             "floor = open + fstat + read(8) + close"),
    ]
    return cases, b, path


def read_all(read: Callable, f) -> int:
    count = 0
    while read(f) is not None:
        count += 1
    return count


def varint_cases(scale: float, directory: Path) -> list[Case]:
    values = workloads.varint_values(scale)
    data = workloads.varint_stream(values)
    file_path = directory / "varints.bin"
    file_path.write_bytes(data)
    handle = open(file_path, "rb")  # noqa: SIM115  (kept open for the whole run)

    def over_bytes_io(read):
        stream = io.BytesIO(data)
        return lambda: read_all(read, stream) if stream.seek(0) == 0 else None

    def over_file(read):
        return lambda: read_all(read, handle) if handle.seek(0) == 0 else None

    desc = f"{len(values)} values, 1-5 bytes (mostly 1)"
    return [
        Case("encode_varint", "values", "call", len(values),
             lambda: [quorbel.encode_varint(v) for v in values],
             lambda: [floor.encode_varint(v) for v in values],
             lambda: [reference.encode_varint(v) for v in values], desc),
        Case("read_varint", "io.BytesIO", "call", len(values) + 1,
             over_bytes_io(quorbel.read_varint), over_bytes_io(floor.read_varint),
             over_bytes_io(reference.read_varint), desc),
        Case("read_varint", "buffered file", "call", len(values) + 1,
             over_file(quorbel.read_varint), over_file(floor.read_varint),
             over_file(reference.read_varint), desc + ", open(path, 'rb')"),
    ]


def check_same_results(cases: list[Case]) -> None:
    """quorbel, the floor kernels and the reference must agree before anything is timed."""
    for case in cases:
        if case.function in ("write_binary_block", "read_varint") or "syscalls" in case.function:
            continue
        q = case.quorbel()
        if case.function != "get_block_stats" and q != case.floor():
            raise SystemExit(f"floor kernel disagrees with quorbel: {case.function}/{case.workload}")
        if case.python is not None and case.workload != "huge" and q != case.python():
            raise SystemExit(f"reference disagrees with quorbel: {case.function}/{case.workload}")


# --------------------------------------------------------------------------------------------
# Memory, in child processes


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss_bytes() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM")


def deep_size(obj) -> int:
    seen: set[int] = set()
    total = 0
    stack = [obj]
    while stack:
        o = stack.pop()
        if id(o) in seen:
            continue
        seen.add(id(o))
        if isinstance(o, int) and -5 <= o <= 256:
            continue  # the interpreter's shared small ints
        total += sys.getsizeof(o)
        if isinstance(o, (list, tuple)):
            stack.extend(o)
    return total


MEMORY_CASES = {
    "decode_posting_list/huge": "decode",
    "encode_posting_list/huge": "encode",
    "merge_posting_lists/huge": "merge",
    "iter_block_terms/block": "iter",
}


def memory_child(name: str, scale: float) -> None:
    kind = MEMORY_CASES[name]
    directory = Path(tempfile.mkdtemp(prefix="quorbel-mem-"))
    if kind == "iter":
        b = workloads.block_workload(scale)
        path = str(directory / "block.bin")
        quorbel.write_binary_block(b.terms, b.doc_freqs, b.postings, path)
        postings = b.total_postings
        del b
        call = lambda: quorbel.iter_block_terms(path)  # noqa: E731
    else:
        huge = workloads.posting_workloads(scale)[2]
        postings = huge.postings
        if kind == "decode":
            arg = quorbel.encode_posting_list(huge.lists[0], True)
            call = lambda: quorbel.decode_posting_list(arg)  # noqa: E731
        elif kind == "encode":
            arg = huge.lists[0]
            call = lambda: quorbel.encode_posting_list(arg)  # noqa: E731
        else:
            arg = workloads.merge_inputs(huge, 8)[0]
            call = lambda: quorbel.merge_posting_lists(arg)  # noqa: E731
        del huge
    import ctypes

    allocations = ctypes.CDLL(None).quorbel_heap_allocations
    allocations.restype = ctypes.c_ulonglong
    gc.collect()
    gc.disable()
    before = rss_bytes()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # reset the peak resident set size
    # What reading the counter itself allocates, so that it can be taken off.
    idle = -allocations() + allocations()
    allocations_before = allocations()
    result = call()
    heap_allocations = allocations() - allocations_before - idle
    peak = peak_rss_bytes() - before
    held = rss_bytes() - before
    size = len(result) if isinstance(result, bytes) else deep_size(result)
    print(json.dumps({"name": name, "postings": postings, "peak": peak, "held": held,
                      "result_size": size, "heap_allocations": heap_allocations}))


def measure_memory(scale: float, quick: bool) -> list[dict]:
    env = dict(os.environ)
    # Large native buffers are mapped and unmapped directly, so the resident set follows them.
    env["MALLOC_MMAP_THRESHOLD_"] = "65536"
    env["MALLOC_TRIM_THRESHOLD_"] = "65536"
    env["LD_PRELOAD"] = str(build_floor.build_counter())
    rows = []
    for name in MEMORY_CASES:
        command = [sys.executable, str(Path(__file__)), "--memory-child", name]
        if quick:
            command.append("--quick")
        out = subprocess.run(command, env=env, check=True, capture_output=True, text=True).stdout
        rows.append(json.loads(out.strip().splitlines()[-1]))
    return rows


def allocation_text(row: dict) -> str:
    count = row.get("heap_allocations")
    if count is None:
        return ""
    return f"{count}" + ("" if count * 1000 < row["postings"] else " (**per posting**)")


def memory_verdict(row: dict) -> tuple[str, float, bool | None]:
    """The budget for a memory row, its value in bytes, and whether the peak stays inside it."""
    n = row["postings"]
    slack = 1 << 17  # page and arena granularity
    if row["name"].startswith("decode"):
        budget = row["held"] + 12 * n
        return "result + 12 B/posting", budget, row["peak"] <= budget + slack
    if row["name"].startswith("merge"):
        budget = 12 * n + row["result_size"]
        return "12 B/posting + output", budget, row["peak"] <= budget + slack
    return "", 0, None


# --------------------------------------------------------------------------------------------
# End to end: SQLite FTS5


def fts_comparison(scale: float, directory: Path) -> dict:
    import sqlite3

    rng = random.Random(workloads.SEED + 5)
    vocabulary = workloads.random_terms(random.Random(workloads.SEED + 6), 30_000)
    # Zipf word frequencies, as cumulative weights so that each draw is one bisection.
    cum_weights = list(itertools.accumulate(1.0 / (r + 1) for r in range(len(vocabulary))))
    docs = max(2_000, int(20_000 * scale))
    titles = [rng.choices(vocabulary, cum_weights=cum_weights, k=rng.randint(2, 8)) for _ in range(docs)]
    bodies = [rng.choices(vocabulary, cum_weights=cum_weights, k=rng.randint(30, 200)) for _ in range(docs)]

    # quorbel: count in Python, write one block, keep the entry offsets.
    start = time.perf_counter()
    index: dict[str, dict[int, list[int]]] = {}
    for doc_id, (title, body) in enumerate(zip(titles, bodies)):
        for word in body:
            index.setdefault(word, {}).setdefault(doc_id, [0, 0])[0] += 1
        for word in title:
            index.setdefault(word, {}).setdefault(doc_id, [0, 0])[1] += 1
    terms = sorted(index)
    postings = [[(d, c, t) for d, (c, t) in sorted(index[term].items())] for term in terms]
    doc_freqs = [(sum(1 for p in pl if p[1]), sum(1 for p in pl if p[2])) for pl in postings]
    path = str(directory / "fts-block.bin")
    quorbel.write_binary_block(terms, doc_freqs, postings, path)
    offsets = dict(zip(terms, workloads.entry_offsets(path)))
    quorbel_build = time.perf_counter() - start

    db_path = directory / "fts.sqlite"
    start = time.perf_counter()
    db = sqlite3.connect(db_path)
    db.execute("CREATE VIRTUAL TABLE docs USING fts5(title, body, tokenize='unicode61 remove_diacritics 0')")
    db.executemany("INSERT INTO docs(rowid, title, body) VALUES (?, ?, ?)",
                   ((i, " ".join(t), " ".join(b)) for i, (t, b) in enumerate(zip(titles, bodies))))
    db.commit()
    fts_build = time.perf_counter() - start

    lookups = [rng.choice(terms) for _ in range(2_000)]

    def run_quorbel():
        return [[p[0] for p in quorbel.read_term_at_offset(path, offsets[t])[3]] for t in lookups]

    def run_fts():
        query = "SELECT rowid FROM docs WHERE docs MATCH ?"
        return [[r[0] for r in db.execute(query, (f'"{t}"',))] for t in lookups]

    # Same documents per term (quorbel's list is in doc order here, as FTS5's rowids are).
    if run_quorbel() != run_fts():
        raise SystemExit("FTS5 and quorbel disagree on the documents of a term")
    q_times, f_times = [], []
    for _ in range(5):
        q_times.append(timed(run_quorbel))
        f_times.append(timed(run_fts))
    db.close()
    return {
        "docs": docs,
        "terms": len(terms),
        "lookups": len(lookups),
        "quorbel_lookups_per_s": len(lookups) / statistics.median(q_times),
        "fts_lookups_per_s": len(lookups) / statistics.median(f_times),
        "quorbel_build_s": quorbel_build,
        "fts_build_s": fts_build,
        "quorbel_bytes": os.path.getsize(path),
        "fts_bytes": os.path.getsize(db_path),
    }


# --------------------------------------------------------------------------------------------
# Report


def fmt_time(ns: float) -> str:
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} µs"
    return f"{ns:.1f} ns"


def verdicts(row: dict) -> tuple[str, str]:
    floor_ok = "" if row["target"] is None else ("yes" if row["ratio_floor"] <= row["target"] else "**no**")
    speed = row.get("speedup_python")
    py_ok = ""
    if speed is not None and row["function"] in POSTING_FUNCTIONS:
        py_ok = "yes" if speed >= MIN_SPEEDUP_VS_PYTHON else "**no**"
    return floor_ok, py_ok


def write_markdown(out: Path, meta: dict, rows: list[dict], memory: list[dict], fts: dict,
                   before: dict | None) -> None:
    lines = [
        "# quorbel benchmark results",
        "",
        f"Command: `{meta['command']}`  ",
        f"Machine: {meta['machine']}; Python {meta['python']}; {meta['date']}; "
        f"{meta['rounds']} interleaved rounds (pure Python: {meta['python_rounds']}), "
        f"medians; load average at start {meta['load']}.",
        "",
        "Ratios are medians of per-round ratios measured in the same process; absolute times on "
        "this shared machine drift by up to 2x between runs. *floor* is a plain native kernel "
        "doing only the unavoidable work (benchmarks/floor/floor.cpp); *pure Python* is "
        "tests/reference.py.",
        "",
    ]
    before_rows = {(r["function"], r["workload"]): r for r in (before or {}).get("rows", [])}
    head = "| function | workload | quorbel | floor | pure Python | quorbel / floor |"
    rule = "| --- | --- | ---: | ---: | ---: | ---: |"
    if before_rows:
        head += " before |"
        rule += " ---: |"
    head += " target | met | Python / quorbel | ≥ 10x |"
    rule += " ---: | :---: | ---: | :---: |"
    lines += [head, rule]
    for row in rows:
        unit = "/posting" if row["unit"] == "posting" else "/call"
        floor_ok, py_ok = verdicts(row)
        py = fmt_time(row["python_ns"]) + unit if "python_ns" in row else ""
        speed = f"{row['speedup_python']:.0f}x" if "speedup_python" in row else ""
        cells = [row["function"], row["workload"], fmt_time(row["quorbel_ns"]) + unit,
                 fmt_time(row["floor_ns"]) + unit, py, f"{row['ratio_floor']:.2f}"]
        if before_rows:
            b = before_rows.get((row["function"], row["workload"]))
            cells.append(f"{b['ratio_floor']:.2f}" if b else "")
        cells += [f"≤ {row['target']}" if row["target"] else "", floor_ok, speed, py_ok]
        lines.append("| " + " | ".join(cells) + " |")
    lines += ["", "Workloads:", ""]
    seen = set()
    for row in rows:
        key = (row["function"].split("(")[0], row["workload"])
        if row["note"] and key not in seen:
            seen.add(key)
            lines.append(f"- {row['function']} / {row['workload']}: {row['note']}")
    lines += [
        "",
        "## Peak memory",
        "",
        "Measured in a child process as the growth of the peak resident set (VmHWM, reset just "
        "before the call) over the resident set before the call, with glibc's mmap threshold at "
        "64 KiB so that large native buffers show up and go away exactly.",
        "",
        "*heap allocations* counts calls of malloc, calloc and realloc during the call (a "
        "preloaded counter, benchmarks/floor/malloc_count.c); the interpreter's small objects "
        "(tuples, ints) come from its own arenas and are not in it. Fewer than one per 1,000 "
        "postings means no per-posting heap allocation.",
        "",
        "| case | postings | peak during call | result held after | result size (deep) | budget | within | heap allocations |",
        "| --- | ---: | ---: | ---: | ---: | --- | :---: | ---: |",
    ]
    for m in memory:
        label, budget, ok = memory_verdict(m)
        mb = lambda b: f"{b / 2**20:.1f} MiB"  # noqa: E731
        lines.append(
            f"| {m['name']} | {m['postings']} | {mb(m['peak'])} | {mb(m['held'])} | "
            f"{mb(m['result_size'])} | {label + ' = ' + mb(budget) if label else ''} | "
            f"{'' if ok is None else ('yes' if ok else '**no**')} | {allocation_text(m)} |")
    lines += [
        "",
        "## End to end: SQLite FTS5",
        "",
        f"{fts['docs']} synthetic documents (title + body, Zipf word frequencies over a 30,000-word "
        f"vocabulary, {fts['terms']} distinct terms), indexed by both; then {fts['lookups']} "
        "lookups of random indexed terms, each returning the doc ids of every document holding "
        "the term (quorbel: one read_term_at_offset at a kept offset; FTS5: "
        "`SELECT rowid FROM docs WHERE docs MATCH ?`).",
        "",
        "| | quorbel block file | SQLite FTS5 |",
        "| --- | ---: | ---: |",
        f"| lookups per second | {fts['quorbel_lookups_per_s']:,.0f} | {fts['fts_lookups_per_s']:,.0f} |",
        f"| index build (s, incl. Python tokenising) | {fts['quorbel_build_s']:.2f} | {fts['fts_build_s']:.2f} |",
        f"| index size on disk | {fts['quorbel_bytes'] / 2**20:.1f} MiB | {fts['fts_bytes'] / 2**20:.1f} MiB |",
        "",
        "![benchmark ratios](results.png)" if out.name == "results.md" else "",
        "",
    ]
    out.write_text("\n".join(lines))


def plot(path: Path, rows: list[dict], before: dict | None) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = [r for r in rows if r["target"] is not None and "syscalls" not in r["function"]]
    labels = [f"{r['function'].replace('encode_posting_list(assume_sorted=True)', 'encode(sorted)')}\n{r['workload']}"
              for r in rows]
    fig, (ax1, ax2) = plt.subplots(2, 1, figsize=(max(10, len(rows) * 0.75), 9))
    x = range(len(rows))
    before_rows = {(r["function"], r["workload"]): r for r in (before or {}).get("rows", [])}
    if before_rows:
        ax1.bar([i - 0.2 for i in x],
                [before_rows.get((r["function"], r["workload"]), {}).get("ratio_floor", 0) for r in rows],
                width=0.4, color="#bbbbbb", label="before")
    ax1.bar([i + (0.2 if before_rows else 0) for i in x], [r["ratio_floor"] for r in rows],
            width=0.4 if before_rows else 0.6, color="#3a6ea5", label="quorbel / floor")
    ax1.scatter(list(x), [r["target"] for r in rows], marker="_", s=400, color="#c0392b", zorder=3,
                label="target")
    ax1.set_ylabel("time / native floor")
    ax1.set_xticks(list(x), labels, rotation=60, ha="right", fontsize=7)
    ax1.legend(fontsize=8)
    ax1.set_title("quorbel time as a multiple of the native floor (lower is better)")
    py = [r for r in rows if "speedup_python" in r]
    ax2.bar(range(len(py)), [r["speedup_python"] for r in py], color="#27ae60")
    ax2.axhline(MIN_SPEEDUP_VS_PYTHON, color="#c0392b", lw=1)
    ax2.set_yscale("log")
    ax2.set_ylabel("pure Python time / quorbel time")
    ax2.set_xticks(range(len(py)), [labels[rows.index(r)] for r in py], rotation=60, ha="right",
                   fontsize=7)
    ax2.set_title("speed-up over the pure-Python version (log scale, line at 10x)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller workloads, fewer rounds")
    parser.add_argument("--out", default=str(HERE / "results" / "results.md"))
    parser.add_argument("--baseline", default=str(HERE / "results" / "baseline.json"),
                        help="earlier JSON results to show as the 'before' column")
    parser.add_argument("--no-plot", action="store_true")
    parser.add_argument("--only", help="run only functions whose name contains this")
    parser.add_argument("--memory-child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    scale = 0.2 if args.quick else 1.0
    if args.memory_child:
        memory_child(args.memory_child, scale)
        return
    rounds, python_rounds = (7, 2) if args.quick else (9, 3)

    out = Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    directory = Path(tempfile.mkdtemp(prefix="quorbel-bench-"))
    print("building workloads", flush=True)
    cases = posting_cases(scale)
    block, _, _ = block_cases(scale, directory)
    cases += block + varint_cases(scale, directory)
    if args.only:
        cases = [c for c in cases if args.only in c.function]
    check_same_results(cases)
    print(f"timing {len(cases)} cases", flush=True)
    measure(cases, rounds, python_rounds)
    rows = [summarise(c) for c in cases]
    print("measuring memory", flush=True)
    memory = [] if args.only else measure_memory(scale, args.quick)
    print("comparing with SQLite FTS5", flush=True)
    fts = fts_comparison(scale, directory)

    meta = {
        "command": " ".join([os.environ.get("QUORBEL_BENCH_COMMAND", "python benchmarks/run.py"),
                             *sys.argv[1:]]),
        "machine": f"{platform.machine()}, {os.cpu_count()} cores",
        "python": platform.python_version(),
        "date": time.strftime("%Y-%m-%d %H:%M"),
        "rounds": rounds,
        "python_rounds": python_rounds,
        "load": " ".join(f"{x:.2f}" for x in os.getloadavg()),
    }
    before_path = Path(args.baseline)
    before = None
    if before_path.exists() and before_path.resolve() != out.with_suffix(".json").resolve():
        before = json.loads(before_path.read_text())
    out.with_suffix(".json").write_text(json.dumps(
        {"meta": meta, "rows": rows, "memory": memory, "fts": fts}, indent=1))
    write_markdown(out, meta, rows, memory, fts, before)
    if not args.no_plot:
        plot(out.with_suffix(".png"), rows, before)
    print(out.read_text())


if __name__ == "__main__":
    main()
