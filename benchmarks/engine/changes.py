"""Documents that change: delete 1 % and replace 1 % of a corpus, on minisearch, SQLite FTS5 and
tantivy, then check minisearch's answers against a fresh build of the live documents.

Each engine first indexes the whole corpus with a key per document (its position), untimed.
Then, timed: one commit that deletes the chosen 1 % by key, and one that replaces another 1 %
(FTS5: DELETE and INSERT in one transaction; tantivy: delete_term and add_document, then commit),
in :data:`ROUNDS` rounds (:data:`ROUNDS_SMALL` on a small corpus), each on a copy of the index as
built, the engines taking their turns round by round: the medians are reported.
minisearch's changed index is compared with a fresh build of the live documents on every query,
AND and OR: the top 10 ids and scores, and the queries per second of both (medians of passes, each
taking the queries in slices on both indexes in turn, after a warm-up); then it is optimized and
its size compared with the fresh build's.
"""

from __future__ import annotations

import contextlib
import gc
import os
import random
import shutil
import sqlite3
import statistics
import time
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

import minisearch
from minisearch import Document, Index, search

from contender import MODES

__all__ = ["bench_changes", "bench_sync"]

SHARE = 0.01
SEED = 77
#: Rounds of the timed commits, each on a copy of a fresh index: their median is reported.  More
#: on a corpus of at most SMALL_CORPUS documents, whose commits take a few milliseconds and moved
#: by a third between full runs with the machine's spells (a round copies every engine's index).
ROUNDS = 5
ROUNDS_SMALL = 11
SMALL_CORPUS = 100_000


def _options() -> minisearch.BuildOptions:
    return minisearch.BuildOptions(show_progress=False)


def _timed(action: Callable[[], object]) -> float:
    started = time.perf_counter()
    action()
    return time.perf_counter() - started


def _plan(docs: Sequence[Document]) -> tuple[list[int], dict[int, Document]]:
    """The positions to delete, and the replacements (by position) of as many others: each new
    text is another document's, so the vocabulary stays the corpus's own."""
    rng = random.Random(SEED)
    count = max(1, int(len(docs) * SHARE))
    chosen = rng.sample(range(len(docs)), 2 * count)
    deleted, replaced = sorted(chosen[:count]), sorted(chosen[count:])
    donors = rng.sample(range(len(docs)), count)
    return deleted, {doc: Document(docs[donor].title, docs[donor].content, str(doc)) for doc, donor in zip(replaced, donors)}


#: What a commit round does to an engine's copy of its index: the seconds of each timed commit.
type Commits = Callable[[Path], dict[str, float]]


def _rounds(engines: dict[str, tuple[Path, Commits]], rounds: int) -> dict[str, dict[str, list[float]]]:
    """Each engine's timed commits, ``commits(index)``, in ``rounds`` rounds, each round taking
    the engines in turn (the first rotating), so that a slower spell of the machine weighs on
    every engine alike: one commit of a small corpus takes milliseconds, and a slow spell would
    move it by half.  Each round works on a copy of the index built at ``path``, the last on
    ``path`` itself (the changed index compared afterwards)."""
    figures: dict[str, dict[str, list[float]]] = {name: {} for name in engines}
    names = list(engines)
    for number in range(rounds):
        for name in names[number % len(names):] + names[:number % len(names)]:
            path, commits = engines[name]
            target = path if number == rounds - 1 else path.with_name(f"{path.name}-round{number}")
            if target != path:
                shutil.copytree(path, target) if path.is_dir() else shutil.copyfile(path, target)
            for what, seconds in commits(target).items():
                figures[name].setdefault(what, []).append(seconds)
            if target != path:
                shutil.rmtree(target) if target.is_dir() else target.unlink()
    return figures


def _minisearch(docs: Sequence[Document], deleted: list[int], replaced: dict[int, Document], path: Path) -> Commits:
    keyed = [Document(doc.title, doc.content, str(number)) for number, doc in enumerate(docs)]
    minisearch.build_index(keyed, path, _options())

    def commits(index: Path) -> dict[str, float]:
        return {
            "delete_seconds": _timed(lambda: minisearch.delete_documents([str(doc) for doc in deleted], index, _options())),
            "upsert_seconds": _timed(lambda: minisearch.upsert_documents(list(replaced.values()), index, _options())),
        }

    return commits


def _fts5(docs: Sequence[Document], deleted: list[int], replaced: dict[int, Document], path: Path) -> Commits:
    with contextlib.closing(sqlite3.connect(path)) as db:
        db.execute("CREATE VIRTUAL TABLE docs USING fts5(title, content)")
        db.executemany("INSERT INTO docs(rowid, title, content) VALUES (?, ?, ?)",
                       ((number, doc.title, doc.content) for number, doc in enumerate(docs)))
        db.commit()

    def commits(index: Path) -> dict[str, float]:
        with contextlib.closing(sqlite3.connect(index)) as db:
            def delete() -> None:
                with db:
                    db.executemany("DELETE FROM docs WHERE rowid = ?", ((doc,) for doc in deleted))

            def upsert() -> None:
                with db:
                    db.executemany("DELETE FROM docs WHERE rowid = ?", ((doc,) for doc in replaced))
                    db.executemany("INSERT INTO docs(rowid, title, content) VALUES (?, ?, ?)",
                                   ((doc, new.title, new.content) for doc, new in replaced.items()))

            return {"delete_seconds": _timed(delete), "upsert_seconds": _timed(upsert)}

    return commits


def _tantivy(docs: Sequence[Document], deleted: list[int], replaced: dict[int, Document], path: Path) -> Commits:
    import tantivy

    builder = tantivy.SchemaBuilder()
    builder.add_integer_field("doc_id", stored=True, fast=True, indexed=True)
    builder.add_text_field("title", stored=True)
    builder.add_text_field("content", stored=True)
    path.mkdir(parents=True, exist_ok=True)
    index = tantivy.Index(builder.build(), path=str(path))
    writer = index.writer()
    for number, doc in enumerate(docs):
        writer.add_document(tantivy.Document(doc_id=number, title=doc.title, content=doc.content))
    writer.commit()
    writer.wait_merging_threads()  # the writer is done with, and its lock released
    del writer, index

    def commits(directory: Path) -> dict[str, float]:
        writer = tantivy.Index.open(str(directory)).writer()

        def delete() -> None:
            for doc in deleted:
                writer.delete_documents("doc_id", doc)
            writer.commit()

        def upsert() -> None:
            for doc, new in replaced.items():
                writer.delete_documents("doc_id", doc)
                writer.add_document(tantivy.Document(doc_id=doc, title=new.title, content=new.content))
            writer.commit()

        figures = {"delete_seconds": _timed(delete), "upsert_seconds": _timed(upsert)}
        writer.wait_merging_threads()
        return figures

    return commits


def _answers(path: Path, texts: dict[str, list[str]]) -> dict[str, list[list[tuple[str | int | None, float]]]]:
    """Every query's top 10 as (key, score), per mode."""
    with Index(path) as index:
        return {mode: [[(hit.key, hit.score) for hit in search(index, text, 10).hits] for text in texts[mode]]
                for mode in MODES}


def _queries_per_second(paths: Sequence[Path], texts: dict[str, list[str]], rounds: int = 3,
                        slices: int = 20) -> list[float]:
    """Queries per second of each index over every query, the median of ``rounds`` passes (after
    the pass of :func:`_answers` warmed them), garbage collector off.  A pass takes the queries
    in ``slices``, each slice on every index in turn (the first index alternating), so that a
    slower spell of a shared machine weighs on every index alike."""
    every = [text for mode in MODES for text in texts[mode]]
    size = -(-len(every) // slices)
    parts = [every[start:start + size] for start in range(0, len(every), size)]
    seconds: list[list[float]] = [[] for _ in paths]
    indexes = [Index(path) for path in paths]
    gc.disable()
    try:
        for _ in range(rounds):
            taken = [0.0] * len(indexes)
            for number, part in enumerate(parts):
                order = range(len(indexes)) if number % 2 == 0 else range(len(indexes) - 1, -1, -1)
                for which in order:
                    index = indexes[which]
                    started = time.perf_counter()
                    for text in part:
                        search(index, text, 10)
                    taken[which] += time.perf_counter() - started
            for passes, total in zip(seconds, taken):
                passes.append(total)
    finally:
        gc.enable()
        for index in indexes:
            index.close()
    return [len(every) / statistics.median(taken) for taken in seconds]


def bench_changes(docs: Sequence[Document], texts: dict[str, list[str]], directory: Path, with_tantivy: bool) -> dict[str, Any]:
    """The figures of deleting and replacing 1 % each; ``texts`` are minisearch's queries by mode."""
    deleted, replaced = _plan(docs)
    figures: dict[str, Any] = {"deleted": len(deleted), "replaced": len(replaced)}
    setups: list[tuple[str, Callable[..., Commits]]] = [("minisearch", _minisearch), ("SQLite FTS5", _fts5)]
    if with_tantivy:
        setups.append(("tantivy", _tantivy))
    engines = {}
    for name, setup in setups:
        print(f"   changes: building {name}", flush=True)
        path = directory / f"changes-{name.split()[-1]}"
        engines[name] = (path, setup(docs, deleted, replaced, path))
    rounds = ROUNDS_SMALL if len(docs) <= SMALL_CORPUS else ROUNDS
    print(f"   changes: {rounds} rounds, the engines in turn", flush=True)
    for name, times in _rounds(engines, rounds).items():
        figures[name] = {
            "delete_docs_per_second": len(deleted) / statistics.median(times["delete_seconds"]),
            "upsert_docs_per_second": len(replaced) / statistics.median(times["upsert_seconds"]),
            "delete_seconds": times["delete_seconds"],
            "upsert_seconds": times["upsert_seconds"],
        }
    changed = directory / "changes-minisearch"
    gone = set(deleted) | set(replaced)
    live = [Document(doc.title, doc.content, str(number)) for number, doc in enumerate(docs) if number not in gone]
    fresh = directory / "changes-fresh"
    minisearch.build_index(live + list(replaced.values()), fresh, _options())
    got, expected = _answers(changed, texts), _answers(fresh, texts)
    changed_qps, fresh_qps = _queries_per_second([changed, fresh], texts)
    figures["pending"] = minisearch.manifest.read_manifest(changed).pending_count
    figures["open_ms_changed"], figures["open_ms_fresh"] = _open_milliseconds([changed, fresh])
    figures["queries"] = sum(map(len, texts.values()))
    figures["equal_top10"] = sum(a == b for mode in MODES for a, b in zip(got[mode], expected[mode]))
    figures["qps_changed"], figures["qps_fresh"] = changed_qps, fresh_qps
    minisearch.optimize_index(changed, _options())
    figures["optimized_bytes"] = _index_bytes(changed)
    figures["fresh_bytes"] = _index_bytes(fresh)
    for path in directory.glob("changes-*"):
        shutil.rmtree(path, ignore_errors=True) if path.is_dir() else path.unlink()
    return figures


def _open_milliseconds(paths: Sequence[Path], times: int = 9) -> list[float]:
    """Milliseconds to open each index and close it (the median of ``times``, the indexes in
    turn): what a reader pays for the changes a small commit left pending."""
    taken: list[list[float]] = [[] for _ in paths]
    for _ in range(times):
        for which, path in enumerate(paths):
            started = time.perf_counter()
            Index(path).close()
            taken[which].append(time.perf_counter() - started)
    return [statistics.median(seconds) * 1000 for seconds in taken]


def _index_bytes(path: Path) -> int:
    """Bytes of everything a search reads: the data files but the document store."""
    manifest = minisearch.manifest.read_manifest(path)
    return sum(size for segment in manifest.segments for role, size in segment.file_sizes.items() if role != "docs")


def bench_sync(docs: Sequence[Document], directory: Path, files: int = 10_000) -> dict[str, float]:
    """Seconds of ``sync`` after 1 % of a directory of ``files`` files (written an hour before)
    changed: the first sync after the build, which reads every file, and a later one, after
    another 1 % changed, which reads those whose size or time changed; against a full rebuild."""
    tree = directory / "sync-tree"
    hour_ago = time.time_ns() - 3600 * 10**9
    for number, doc in enumerate(docs[:files]):
        path = tree / f"{number % 100:02d}" / f"{number}.txt"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(doc.title + "\n" + doc.content, encoding="utf-8")
        os.utime(path, ns=(hour_ago, hour_ago))
    index = directory / "sync-index"
    minisearch.build_index(minisearch.directory_corpus(tree), index, _options())
    rng = random.Random(SEED)
    changed = rng.sample(range(min(files, len(docs))), 2 * max(1, files // 100))

    def change(numbers: list[int]) -> None:
        for number in numbers:
            path = tree / f"{number % 100:02d}" / f"{number}.txt"
            path.write_text(path.read_text(encoding="utf-8") + " changed", encoding="utf-8")

    change(changed[: len(changed) // 2])
    sync_seconds = _timed(lambda: minisearch.sync_directory(tree, index, _options()))
    change(changed[len(changed) // 2 :])
    later_seconds = _timed(lambda: minisearch.sync_directory(tree, index, _options()))
    rebuild = directory / "sync-rebuild"
    rebuild_seconds = _timed(lambda: minisearch.build_index(minisearch.directory_corpus(tree), rebuild, _options()))
    shutil.rmtree(tree), shutil.rmtree(index), shutil.rmtree(rebuild)
    return {"files": float(min(files, len(docs))), "sync_seconds": sync_seconds, "later_sync_seconds": later_seconds,
            "rebuild_seconds": rebuild_seconds}
