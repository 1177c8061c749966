"""Inserts the documents of a JSON Lines file into an SQLite FTS5 table, as a user of FTS5 would.

    python benchmarks/engine/scale_fts5.py DATABASE FILE [--limit N]

Creates the table ``docs`` (``fts5(title, content)``, as the engine benchmark's peer) if the
database has none; otherwise the documents are added to it, their rowids following the last
one, as the engine numbers documents added to an index. One transaction, committed at the end.
"""

from __future__ import annotations

import argparse
import itertools
import json
import sqlite3
from collections.abc import Iterator
from pathlib import Path


def rows(path: Path, first_rowid: int, limit: int | None) -> Iterator[tuple[int, str, str]]:
    """Yield (rowid, title, content) for the first ``limit`` lines of ``path``."""
    with open(path, encoding="utf-8") as f:
        for rowid, line in enumerate(itertools.islice(f, limit), start=first_rowid):
            record = json.loads(line)
            yield rowid, record["title"], record["content"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("database", type=Path)
    parser.add_argument("jsonl", type=Path)
    parser.add_argument("--limit", type=int, help="insert only the first N documents")
    args = parser.parse_args()
    db = sqlite3.connect(args.database)
    try:
        db.execute("CREATE VIRTUAL TABLE IF NOT EXISTS docs USING fts5(title, content)")
        (last,) = db.execute("SELECT coalesce(max(rowid), -1) FROM docs").fetchone()
        db.executemany("INSERT INTO docs(rowid, title, content) VALUES (?, ?, ?)", rows(args.jsonl, last + 1, args.limit))
        db.commit()
    finally:
        db.close()


if __name__ == "__main__":
    main()
