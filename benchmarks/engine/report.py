"""Writing the engine benchmark's results: JSON, a Markdown report and a PNG plot."""

from __future__ import annotations

import json
import math
from collections.abc import Callable
from pathlib import Path
from typing import Any

__all__ = ["Figures", "ratio_rows", "write_json", "write_markdown", "write_plot"]

#: Results as written to and read from the JSON file.
Figures = dict[str, Any]

ENGINE = "minisearch"
FTS5 = "SQLite FTS5"
TANTIVY = "tantivy"
CORPUS_TITLES = {
    "stdlib": "Standard library docstrings",
    "realtext": "Paragraphs of the installed packages' documentation",
    "synthetic": "Synthetic corpus (Zipf)",
}
COLORS = {ENGINE: "#3a6ea5", FTS5: "#7f8c8d", TANTIVY: "#d35400"}
MB = 1e6


def write_json(path: Path, results: Figures) -> None:
    """Write ``results`` to ``path`` as indented JSON."""
    path.write_text(json.dumps(results, indent=1) + "\n")


def _engines(corpus: Figures) -> dict[str, Figures]:
    """Return a corpus's engine figures by engine name."""
    return {engine["name"]: engine for engine in corpus["engines"]}


def _ms(value: float) -> str:
    """Return a latency in milliseconds with about three significant digits."""
    return f"{value:.3f}" if value < 1 else f"{value:.2f}" if value < 10 else f"{value:.1f}"


def _agreement(engine: Figures) -> str:
    """Return the AND / OR top-10 agreement cell of an engine's row."""
    shares = engine["agreement"]
    if shares is None:
        return "1 (reference)"
    return f"{shares['AND']:.2f} / {shares['OR']:.2f}"


def _engine_row(engine: Figures) -> str:
    """Return one engine's row of a corpus table."""
    build, queries = engine["build"], engine["queries"]
    cells = [
        engine["name"],
        f"{build['documents_per_s']:,.0f}",
        f"{build['index_bytes'] / MB:,.2f}",
        f"{build['peak_bytes'] / MB:,.0f}",
    ]
    for mode in ("AND", "OR"):
        figures = queries[mode]
        cells += [f"{figures['qps']:,.0f}", f"{_ms(figures['p50_ms'])} / {_ms(figures['p99_ms'])}"]
    cells.append(_agreement(engine))
    return "| " + " | ".join(cells) + " |"


def ratio_rows(corpus: Figures) -> list[tuple[str, float, str, bool | None]]:
    """Return (comparison, value, target, met) rows of the engine against its peers on a corpus."""
    engines = _engines(corpus)
    engine, fts = engines[ENGINE], engines[FTS5]
    rows: list[tuple[str, float, str, bool | None]] = []
    for mode in ("AND", "OR"):
        value = engine["queries"][mode]["qps"] / fts["queries"][mode]["qps"]
        rows.append((f"queries/s, {mode}: minisearch / FTS5", value, "≥ 5", value >= 5))
    for mode in ("AND", "OR"):
        value = fts["queries"][mode]["p99_ms"] / engine["queries"][mode]["p99_ms"]
        rows.append((f"p99, {mode}: FTS5 / minisearch", value, "≥ 5", value >= 5))
    if TANTIVY in engines:
        for mode in ("AND", "OR"):
            value = engine["queries"][mode]["qps"] / engines[TANTIVY]["queries"][mode]["qps"]
            rows.append((f"queries/s, {mode}: minisearch / tantivy", value, "≥ 0.5", value >= 0.5))
        for mode in ("AND", "OR"):
            value = engine["queries"][mode]["p99_ms"] / engines[TANTIVY]["queries"][mode]["p99_ms"]
            rows.append((f"p99, {mode}: minisearch / tantivy", value, "≤ 2", value <= 2))
    value = engine["build"]["documents_per_s"] / fts["build"]["documents_per_s"]
    rows.append(("build documents/s: minisearch / FTS5", value, "≥ 1", value >= 1))
    return rows + _size_rows(engine["build"], fts["build"])


def _size_rows(engine: Figures, fts: Figures) -> list[tuple[str, float, str, bool | None]]:
    """Return the index size ratios: without the engine's document store (the target) and with it."""
    total = engine["index_bytes"] / fts["index_bytes"]
    store = engine.get("store_bytes")
    if store is None:
        return [("index size: minisearch / FTS5", total, "≤ 0.5", total <= 0.5)]
    bare = (engine["index_bytes"] - store) / fts["index_bytes"]
    return [
        ("index size without the document store: minisearch / FTS5", bare, "≤ 0.5", bare <= 0.5),
        ("index size with the document store: minisearch / FTS5", total, "", None),
    ]


def _engine_notes(corpus: Figures) -> list[str]:
    """Return the lines on the engine's document store and postings per query."""
    engine = _engines(corpus)[ENGINE]
    store = engine["build"].get("store_bytes")
    lines = [
        "- minisearch's document store: "
        + ("not reported by this version of the engine." if store is None
           else f"{store / MB:,.2f} MB of its {engine['build']['index_bytes'] / MB:,.2f} MB index.")
    ]
    postings = engine["postings_per_query"]
    if postings is None:
        lines.append("- minisearch's postings decoded / scored per query: not reported by this version of the engine.")
    else:
        parts = [f"{mode} {postings[mode]['decoded']:,.0f} / {postings[mode]['scored']:,.0f}" for mode in ("AND", "OR")]
        lines.append("- minisearch's postings decoded / scored per query (mean): " + "; ".join(parts) + ".")
    return lines


def _corpus_section(corpus: Figures) -> list[str]:
    """Return the Markdown section of one corpus."""
    title = CORPUS_TITLES.get(corpus["name"], corpus["name"])
    subset = corpus["agreement_documents"]
    agreement_note = (
        "on the whole corpus" if subset == corpus["documents"]
        else f"on indexes of its {subset:,} documents whose terms all tokenizers read alike"
    )
    lines = [
        f"### {title}: {corpus['documents']:,} documents, {corpus['words']:,} words",
        "",
        "| engine | documents/s | index MB | build peak MB | AND qps | AND p50 / p99 ms | OR qps "
        "| OR p50 / p99 ms | top-10 = FTS5 (AND / OR) |",
        "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |",
        *(_engine_row(engine) for engine in corpus["engines"]),
        "",
        f"{corpus['queries']:,} queries ({corpus['one_word_queries']:,} of one word), agreement {agreement_note}.",
        "",
        "| comparison | value | target | met |",
        "| --- | ---: | ---: | :---: |",
    ]
    for name, value, target, met in ratio_rows(corpus):
        verdict = "" if met is None else "yes" if met else "**no**"
        lines.append(f"| {name} | {value:.2f} | {target} | {verdict} |")
    return lines + ["", *_engine_notes(corpus), ""]


def _duration(seconds: float) -> str:
    """Return a run time in seconds or minutes."""
    return f"{seconds:.0f} s" if seconds < 120 else f"{seconds / 60:.0f} min"


def write_markdown(path: Path, results: Figures, plot: bool) -> None:
    """Write the report: the run's conditions, then one table and one comparison per corpus."""
    meta = results["meta"]
    settings = meta["settings"]
    lines = [
        "# Engine benchmark: minisearch, SQLite FTS5 and tantivy",
        "",
        f"Command: `{meta['command']}`  ",
        f"Machine: {meta['machine']}; Python {meta['python']}; SQLite {meta['sqlite']}; "
        f"tantivy {meta['tantivy']}; {meta['date']}; load average {meta['load_start']} at the start, "
        f"{meta['load_end']} at the end; run time {_duration(meta['seconds'])}.  ",
        f"Engine: {meta['engine']}.",
        "",
        "Builds: each in a child process of its own, from documents already in memory, timed from the "
        "call to its return (merge, write and commit included), with each engine's default worker or "
        "thread count; medians of "
        f"{settings['build_rounds_small']} builds on corpora up to {settings.get('small_corpus', 50_000):,} documents, "
        f"{settings['build_rounds_large']} above. *Build peak* is the peak resident memory of the "
        "building process plus the largest peak of its child processes; both include the corpus in "
        "memory, and a forked worker counts pages it shares with its parent.",
        "",
        f"Queries: one- and two-word queries drawn from the corpus's own terms (half by document "
        f"frequency, half uniformly), each as an AND and as an OR query, top {meta['k']}; minisearch "
        "through `search(index, query, 10)`, FTS5 through `ORDER BY bm25(docs, 4.0, 1.0), rowid`, "
        "tantivy through its query parser over title (boost 4) and content, doc ids read from a fast "
        f"field. {settings['query_rounds']} rounds interleaved across engines, garbage collector off "
        "while timing; queries/s and percentiles are medians over rounds. *top-10 = FTS5* is the share "
        "of queries whose ten document ids, in order, equal FTS5's.",
        "",
    ]
    for corpus in results["corpora"]:
        lines += _corpus_section(corpus)
    with_phrases = [corpus for corpus in results["corpora"] if "phrases" in corpus]
    if with_phrases:
        lines += _phrases_section(with_phrases)
    changes = [corpus for corpus in results["corpora"] if "changes" in corpus]
    if changes:
        lines += _changes_section(changes)
    if plot:
        lines += [f"![engine benchmark]({path.with_suffix('.png').name})", ""]
    path.write_text("\n".join(lines))


def _phrases_section(corpora: list[Figures]) -> list[str]:
    """Phrases and field filters, per corpus and engine."""
    lines = [
        "## Phrases and field filters",
        "",
        "Phrases of two or three consecutive words of a document's content (half of them holding one "
        "of the corpus's 50 most common words) and one-word filters on the title or the content, "
        "`\"w1 w2\"` and `title:w` in every engine's syntax, top 10, one pass each, the queries in 20 "
        "slices, each slice on every engine in turn. *= FTS5* is the "
        "share of top-10 lists equal to FTS5's, ids in order, on the whole corpus.",
        "",
        "| corpus | engine | phrase qps | phrase p50 / p99 ms | = FTS5 | field qps | field p50 / p99 ms | = FTS5 |",
        "| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: |",
    ]
    for corpus in corpora:
        for name, kinds in corpus["phrases"].items():
            cells = []
            for kind in ("phrase", "field"):
                timing, agree = kinds[kind]["timing"], kinds[kind]["equal_to_fts5"]
                cells += [f"{timing['qps']:,.0f}", f"{timing['p50_ms']:.3f} / {timing['p99_ms']:.2f}",
                          "reference" if agree is None else f"{agree:.3f}"]
            lines.append(f"| {corpus['name']} | {name} | " + " | ".join(cells) + " |")
    return lines + [""]


def _changes_section(corpora: list[Figures]) -> list[str]:
    """Deleting and replacing 1 % each, and syncing a directory, per corpus."""
    corpora_of: dict[int, list[str]] = {}  # rounds: the corpora timed in that many
    for corpus in corpora:
        corpora_of.setdefault(len(corpus["changes"]["minisearch"].get("delete_seconds", [0])), []).append(corpus["name"])
    rounds = (str(*corpora_of) if len(corpora_of) == 1 else
              " or ".join(f"{number} ({', '.join(names)})" for number, names in sorted(corpora_of.items(), reverse=True)))
    rounds_text = (f", in {rounds} rounds, the engines taking their turns round by round, each on a copy of the index as built "
                   "(the medians)" if max(corpora_of) > 1 else "")
    lines = [
        "## Documents that change",
        "",
        "Each engine indexes the corpus with a key per document, then, timed: one commit deleting 1 % "
        "of the documents by key, and one replacing another 1 % (FTS5: DELETE and INSERT in one "
        f"transaction; tantivy: delete_documents and add_document, then commit){rounds_text}. minisearch's changed "
        "index is then compared with a fresh build of the live documents on every query, AND and OR "
        "(top 10 keys and scores, exactly) and on queries per second (the median of 3 passes over "
        "every query, each pass taking the queries in 20 slices, each slice on both indexes in turn, after a "
        "pass that warmed both), and on the time to open it (the median of 9, with the changes a small "
        "commit leaves pending indexed by the reader as it opens), and optimized. *sync*: a directory of 10,000 files "
        "written an hour before with 1 % changed, synced (the first sync after the build reads every file), then "
        "another 1 % changed and synced again (a later sync reads the files whose size or time changed), "
        "against a full rebuild.",
        "",
        "| corpus | engine | delete docs/s | upsert docs/s |",
        "| --- | --- | ---: | ---: |",
    ]
    for corpus in corpora:
        changes = corpus["changes"]
        for name in ("minisearch", "SQLite FTS5", "tantivy"):
            if name in changes:
                engine = changes[name]
                lines.append(f"| {corpus['name']} | {name} | {engine['delete_docs_per_second']:,.0f} | "
                             f"{engine['upsert_docs_per_second']:,.0f} |")
    lines += ["", "| corpus | top 10 equal to a fresh build | queries/s changed / fresh | open ms changed / fresh "
              "(pending) | size after optimize / fresh | sync, later sync / rebuild (10,000 files) |",
              "| --- | ---: | ---: | ---: | ---: | ---: |"]
    for corpus in corpora:
        changes, sync = corpus["changes"], corpus.get("sync", {})
        lines.append(
            f"| {corpus['name']} | {changes['equal_top10']:,} of {changes['queries']:,} | "
            f"{changes['qps_changed']:,.0f} / {changes['qps_fresh']:,.0f} = {changes['qps_changed'] / changes['qps_fresh']:.2f} | "
            f"{_opening(changes)} | {changes['optimized_bytes'] / changes['fresh_bytes']:.4f} | "
            f"{_syncs(sync)} / {sync.get('rebuild_seconds', 0):.2f} s |"
        )
    return lines + [""]


def _syncs(sync: dict[str, float]) -> str:
    later = f", {sync['later_sync_seconds']:.2f}" if "later_sync_seconds" in sync else ""  # not timed before
    return f"{sync.get('sync_seconds', 0):.2f}{later} s"


def _opening(changes: dict[str, Any]) -> str:
    if "open_ms_changed" not in changes:  # results of a run before opening was timed
        return "—"
    return f"{changes['open_ms_changed']:.1f} / {changes['open_ms_fresh']:.1f} ({changes['pending']:,})"


def write_plot(path: Path, results: Figures) -> None:
    """Plot build documents/s and AND / OR queries/s per engine and corpus, log scale."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    corpora = results["corpora"]
    names = [engine["name"] for engine in corpora[0]["engines"]]
    panels: list[tuple[str, Callable[[Figures], float]]] = [
        ("build: documents/s", lambda e: e["build"]["documents_per_s"]),
        ("AND queries/s (k = 10)", lambda e: e["queries"]["AND"]["qps"]),
        ("OR queries/s (k = 10)", lambda e: e["queries"]["OR"]["qps"]),
    ]
    fig, axes = plt.subplots(1, len(panels), figsize=(11, 3.6))
    width = 0.8 / len(names)
    for ax, (title, value) in zip(axes, panels):
        for i, name in enumerate(names):
            heights = [value(_engines(corpus)[name]) for corpus in corpora]
            xs = [c + (i - (len(names) - 1) / 2) * width for c in range(len(corpora))]
            ax.bar(xs, heights, width=width, color=COLORS.get(name, "#999999"), label=name)
        ax.set_yscale("log")
        ax.set_title(title, fontsize=10)
        ax.set_xticks(range(len(corpora)), [f"{c['name']}\n{c['documents']:,} docs" for c in corpora], fontsize=8)
        ax.grid(axis="y", which="both", alpha=0.3)
        # The axis starts a decade below half the shortest bar: a bar just above a power of ten
        # (FTS5's 105 queries/s) was drawn a hair high.
        shortest = min(p.get_height() for p in ax.patches)
        ax.set_ylim(bottom=max(1.0, 10 ** math.floor(math.log10(shortest / 2))))
    handles, labels = axes[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=len(names), fontsize=9, frameon=False)
    fig.suptitle("minisearch, SQLite FTS5 and tantivy (higher is better, log scale)", fontsize=11)
    fig.tight_layout(rect=(0, 0.06, 1, 1))
    fig.savefig(path, dpi=110)
    plt.close(fig)
