"""Writing the scale benchmark's results: a Markdown report and a PNG plot."""

from __future__ import annotations

from pathlib import Path
from typing import Any

__all__ = ["BUILDS", "check_rows", "write_markdown", "write_plot"]

Figures = dict[str, Any]
MIB = 2**20
MB = 1e6
#: Growth of a peak from the smallest to the largest corpus that still counts as not growing.
FLAT = 1.10
#: Queries/s of the partitioned index against one partition that counts as no worse (round noise).
NO_WORSE = 0.95
BUILDS = {"pool": "process pool", "dask": "Dask LocalCluster", "fts5": "SQLite FTS5"}
COLORS = {"pool": "#3a6ea5", "dask": "#27ae60", "fts5": "#7f8c8d"}


def _mib(value: float) -> str:
    return f"{value / MIB:,.0f}"


def _ms(value: float) -> str:
    return f"{value:.3f}" if value < 1 else f"{value:.2f}" if value < 10 else f"{value:.1f}"


def _short(documents: int) -> str:
    """Return a corpus size as 250k or 1M."""
    return f"{documents / 1e6:g}M" if documents >= 1_000_000 else f"{documents / 1000:g}k"


def _series(results: Figures, key: str) -> list[tuple[int, Figures]]:
    """Return a build series as (documents, figures), smallest corpus first."""
    return sorted((int(size), figures) for size, figures in results.get(key, {}).items())


def _build_cells(key: str, size: int, figures: Figures) -> str:
    """Return one build's row of the builds table."""
    other = "" if key == "fts5" else f"{_mib(figures['largest_other_peak_bytes'])} ({figures['largest_other_role']})"
    partitions = "" if key == "fts5" else str(figures.get("partitions") or 1)
    cells = [f"{size:,}", BUILDS[key], f"{figures['documents_per_s']:,.0f}", f"{figures['seconds']:,.0f}",
             partitions, _mib(figures["client_peak_bytes"]), other, f"{figures['bytes'] / MB:,.0f}"]
    return "| " + " | ".join(cells) + " |"


def _builds_table(results: Figures) -> list[str]:
    rows = [(size, key, figures) for key in BUILDS for size, figures in _series(results, key)]
    return [
        "| documents | build | documents/s | seconds | partitions | client peak MiB | largest other MiB | index MB |",
        "| ---: | --- | ---: | ---: | ---: | ---: | ---: | ---: |",
        *(_build_cells(key, size, figures) for size, key, figures in sorted(rows, key=lambda r: r[0])),
    ]


def check_rows(results: Figures) -> list[tuple[str, str, str, bool]]:
    """Return (check, value, target, met) rows: the budget and the growth of every peak."""
    budget = results["meta"]["budget_bytes"]
    rows: list[tuple[str, str, str, bool]] = []
    for key in ("pool", "dask"):
        series = _series(results, key)
        if not series:
            continue
        largest = max(f["largest_peak_bytes"] for _, f in series)
        rows.append((f"{BUILDS[key]}: largest process, any size", f"{_mib(largest)} MiB", f"≤ {_mib(budget)} MiB",
                     largest <= budget))
        for field, name in (("client_peak_bytes", "client"), ("largest_other_peak_bytes", "largest other process")):
            (small, first), (large, last) = series[0], series[-1]
            if first[field] == 0:
                continue
            growth = last[field] / first[field]
            rows.append((f"{BUILDS[key]}: {name} peak, {large:,} / {small:,} documents", f"{growth:.2f}",
                         f"≤ {FLAT:.2f}", growth <= FLAT))
    return rows


def _speed_lines(results: Figures) -> list[str]:
    """Return documents/s of the engine's builds and add against FTS5's, per corpus size."""
    fts5 = dict(_series(results, "fts5"))
    lines = []
    for key in ("pool", "dask"):
        ratios = [f"{size:,}: {f['documents_per_s'] / fts5[size]['documents_per_s']:.2f}"
                  for size, f in _series(results, key) if size in fts5]
        if ratios:
            lines.append(f"- Build documents/s, {BUILDS[key]} / FTS5: " + "; ".join(ratios) + ".")
    add = results.get("add", {})
    if "minisearch" in add and "fts5" in add:
        ratio = add["minisearch"]["documents_per_s"] / add["fts5"]["documents_per_s"]
        lines.append(f"- Add documents/s, minisearch / FTS5: {ratio:.2f}.")
    return lines + [""] if lines else []


def _add_section(results: Figures) -> list[str]:
    add = results.get("add", {})
    if not add:
        return []
    lines = ["### Adding documents to the largest index", "",
             "| operation | documents | documents/s | seconds | client peak MiB | largest other MiB | segments after |",
             "| --- | ---: | ---: | ---: | ---: | ---: | ---: |"]
    names = {"minisearch": "minisearch add (pool)", "optimize": "minisearch optimize (all segments into one)",
             "fts5": "SQLite FTS5 insert"}
    for key, name in names.items():
        if key in add:
            f = add[key]
            segments = "" if key == "fts5" else str(f.get("segments") or "")
            lines.append(f"| {name} | {f['documents']:,} | {f['documents_per_s']:,.0f} | {f['seconds']:,.1f} "
                         f"| {_mib(f['client_peak_bytes'])} | {_mib(f['largest_other_peak_bytes'])} | {segments} |")
    return lines + [""]


def _query_section(results: Figures) -> list[str]:
    lines: list[str] = []
    for size, figures in _series(results, "queries"):
        lines += [f"### Queries on {size:,} documents", "",
                  f"{figures['queries']:,} queries ({figures['one_word']:,} of one word), each as AND and as OR, top 10.",
                  "", "| index | partitions | segments | AND qps | AND p50 / p99 ms | OR qps | OR p50 / p99 ms |",
                  "| --- | ---: | ---: | ---: | ---: | ---: | ---: |"]
        for name, timing in figures["timings"].items():
            shape = figures["indexes"][name]
            cells = [name, str(shape.get("partitions") or 1), str(shape.get("segments") or 1)]
            for mode in ("AND", "OR"):
                t = timing[mode]
                cells += [f"{t['qps']:,.0f}", f"{_ms(t['p50_ms'])} / {_ms(t['p99_ms'])}"]
            lines.append("| " + " | ".join(cells) + " |")
        lines += [""] + _query_ratios(figures["timings"])
    return lines


def _query_ratios(timings: Figures) -> list[str]:
    if "one partition" not in timings:
        return []
    lines = []
    for name in (n for n in timings if n != "one partition"):
        for mode in ("AND", "OR"):
            ratio = timings[name][mode]["qps"] / timings["one partition"][mode]["qps"]
            verdict = "no worse" if ratio >= NO_WORSE else "**worse**"
            lines.append(f"- {mode} queries/s, {name} / one partition: {ratio:.2f} ({verdict}).")
    return lines + [""]


def _equality_section(results: Figures) -> list[str]:
    lines: list[str] = []
    for size, comparisons in _series(results, "equality"):
        lines += [f"### Same results as a one-partition, one-segment build ({size:,} documents)", "",
                  "| index | queries compared (AND and OR) | top 10s that differ |", "| --- | ---: | ---: |"]
        for name, figures in comparisons.items():
            lines.append(f"| {name} | {figures['compared']:,} | {figures['mismatches']:,} |")
        lines.append("")
    return lines


def _header(results: Figures) -> list[str]:
    meta = results["meta"]
    settings = meta["settings"]
    label = " (QUICK RUN: small corpora, for trying the benchmark out)" if meta["quick"] else ""
    sizes = ", ".join(f"{n:,}" for n in settings["sizes"])
    conditions = f"Machine: {meta['machine']}; Python {meta['python']}; SQLite {meta['sqlite']}."
    runs = [
        f"- `{run['command']}` ({', '.join(run['steps'])}): {run['date']}, load average {run['load_start']} at "
        f"the start, {run.get('load_end', '?')} at the end, {run.get('seconds', 0) / 60:.0f} min; {run['engine']}."
        for run in results["runs"]
    ]
    corpus = (
        f"Corpus: the seeded synthetic corpus (Zipf word frequencies, seed {settings['seed']}) of "
        f"{max(settings['sizes']) + settings['extra']:,} documents, written once as JSON Lines; each size is a "
        f"file of its own holding a prefix of its first {max(settings['sizes']):,} documents, and the {settings['extra']:,} added are its "
        "last ones (same vocabulary)."
    )
    budget = f" --memory {settings['memory']}" if "--memory" in meta["features"]["options"].get("index", []) else ""
    builds = (
        f"Builds: `python -m minisearch index INDEX --jsonl FILE{budget}` with "
        f"`--workers {settings['workers']}` (process pool) or `--dask-local {settings['dask_workers']}` (a "
        "LocalCluster of two worker processes), each build a process of its own, timed from start to exit "
        "(reading the JSON Lines and starting the cluster included); FTS5 inserts the same JSON Lines into "
        "`fts5(title, content)` in one transaction. Peak memory is each process's VmHWM, read from /proc every "
        "50 ms for every process of the build's tree: the client (the command, with the Dask scheduler when "
        "there is one) and every other process (pool or Dask workers). A forked worker counts the pages it "
        "shares with the client."
    )
    return [f"# Scale benchmark: minisearch on {sizes} documents{label}", "", conditions, "", "Commands run:", "",
            *runs, "", corpus, "", builds, ""]


def _process_lines(results: Figures) -> list[str]:
    """Return, for the largest build of each engine series, every process seen and its peak."""
    lines = []
    for key in ("pool", "dask"):
        series = _series(results, key)
        if series:
            size, figures = series[-1]
            peaks = ", ".join(f"{p['role']} {_mib(p['peak_bytes'])}" for p in figures["processes"])
            lines.append(f"- Every process of the {BUILDS[key]} build of {size:,} documents (peak MiB): {peaks}.")
    return lines + [""] if lines else []


def write_markdown(path: Path, results: Figures) -> None:
    """Write the report: conditions, builds, checks, adds, queries and result equality."""
    budget = results["meta"]["budget_bytes"]
    lines = _header(results) + [f"### Builds (memory budget {_mib(budget)} MiB)", "", *_builds_table(results), "",
                                "| check | value | target | met |", "| --- | ---: | ---: | :---: |"]
    lines += [f"| {name} | {value} | {target} | {'yes' if met else '**no**'} |"
              for name, value, target, met in check_rows(results)]
    lines += ["", *_process_lines(results), *_speed_lines(results), *_add_section(results), *_query_section(results), *_equality_section(results)]
    for step, reason in results.get("skipped", {}).items():
        lines.append(f"- Step `{step}` not run: {reason}.")
    for name, problem in results.get("problems", {}).items():
        lines.append(f"- **Problem** in `{name}`: {problem}.")
    if "failed" in results:
        lines += ["", "**The run failed:**", "", "```", results["failed"]["error"][-2000:], "```"]
    lines += ["", f"![scale benchmark]({path.with_suffix('.png').name})", ""]
    path.write_text("\n".join(lines))


def write_plot(path: Path, results: Figures) -> None:
    """Plot peak memory per process and documents/s against corpus size."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (memory, speed) = plt.subplots(1, 2, figsize=(11, 4))
    for key, label in BUILDS.items():
        series = _series(results, key)
        if not series:
            continue
        sizes = [size for size, _ in series]
        memory.plot(sizes, [f["client_peak_bytes"] / MIB for _, f in series], "o-", color=COLORS[key],
                    label=f"{label}: client" if key != "fts5" else label)
        if key != "fts5":
            others = [f["largest_other_peak_bytes"] / MIB for _, f in series]
            memory.plot(sizes, others, "s--", color=COLORS[key], label=f"{label}: largest other process")
            for size, other, (_, f) in zip(sizes, others, series if key == "pool" else []):
                memory.annotate(f"P={f.get('partitions') or 1}", (size, other), textcoords="offset points",
                                xytext=(4, -12), fontsize=7, color=COLORS[key])
        speed.plot(sizes, [f["documents_per_s"] for _, f in series], "o-", color=COLORS[key], label=f"{label}: build")
    _plot_adds(speed, results)
    memory.axhline(results["meta"]["budget_bytes"] / MIB, color="#c0392b", linestyle=":", label="memory budget")
    memory.set_title("peak resident memory per process (MiB)", fontsize=10)
    memory.set_ylim(0, memory.get_ylim()[1] * 1.1)  # room for the partition counts
    speed.set_title("documents/s", fontsize=10)
    speed.set_yscale("log")
    sizes = results["meta"]["settings"]["sizes"]
    for ax in (memory, speed):
        ax.set_xlabel("documents")
        ax.set_xscale("log", base=2)
        ax.set_xticks(sizes, [_short(size) for size in sizes])
        ax.set_xlim(min(sizes) / 1.25, max(sizes) * 1.25)  # room for the partition counts
        ax.xaxis.set_minor_locator(matplotlib.ticker.NullLocator())
        ax.grid(alpha=0.3)
        ax.legend(fontsize=7)
    quick = " (quick run)" if results["meta"]["quick"] else ""
    fig.suptitle(f"minisearch builds with a fixed memory budget{quick}", fontsize=11)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def _plot_adds(ax: Any, results: Figures) -> None:
    """Mark the documents/s of adding to the largest index, at its size."""
    add = results.get("add", {})
    size = max(results["meta"]["settings"]["sizes"])
    for key, name, color in (("minisearch", "process pool: add", COLORS["pool"]), ("fts5", "SQLite FTS5: add", COLORS["fts5"])):
        if key in add:
            ax.plot([size], [add[key]["documents_per_s"]], "*", markersize=11, color=color, label=name)
