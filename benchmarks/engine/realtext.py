"""A corpus of real English text: the documentation Debian installs beside its packages.

Every regular file under /usr/share/doc named README*, NEWS*, *.txt, *.md or copyright (each
possibly gzip-compressed) that decodes as UTF-8 is cut into paragraphs at blank lines; a paragraph
of 8 to 200 words is one document, its title the package and file it comes from
("openssl/README.Debian"). Licence texts and boilerplate repeat across packages: a paragraph is kept
only the first time it appears. The files are read in path order, and when there are more than
MAX_DOCUMENTS paragraphs, evenly spaced ones are kept, so the corpus depends only on the packages
installed. It differs from the synthetic corpus where a search engine feels it: short documents,
real word frequencies, a few words (the, of, to, a) held by most documents, and titles shared by
many documents.

    python benchmarks/engine/realtext.py       # prints the corpus's size and a sample
"""

from __future__ import annotations

import gzip
import re
import sys
import zlib
from collections.abc import Iterator
from pathlib import Path

sys.path.append(str(Path(__file__).resolve().parents[2] / "examples" / "minisearch"))

from minisearch import Document  # noqa: E402

__all__ = ["DOC_ROOT", "MAX_DOCUMENTS", "realtext_corpus"]

DOC_ROOT = Path("/usr/share/doc")
MAX_DOCUMENTS = 60_000
MIN_WORDS = 8
MAX_WORDS = 200
_PARAGRAPH_BREAK = re.compile(r"\n[ \t]*\n")


def _is_wanted(name: str) -> bool:
    """Whether a file of this name is English prose worth reading."""
    base = name.removesuffix(".gz")
    return base == "copyright" or base.startswith(("README", "NEWS")) or base.endswith((".txt", ".md"))


def _texts(root: Path) -> Iterator[tuple[str, str]]:
    """(package/file, text) of every wanted file below ``root`` that is UTF-8, in path order."""
    for path in sorted(root.rglob("*")):
        if path.is_symlink() or not path.is_file() or not _is_wanted(path.name):
            continue
        try:
            data = path.read_bytes()
            if path.name.endswith(".gz"):
                data = gzip.decompress(data)
            text = data.decode("utf-8")
        except (OSError, EOFError, gzip.BadGzipFile, zlib.error, UnicodeDecodeError):
            continue
        yield str(path.relative_to(root)).removesuffix(".gz"), text


def _paragraphs(root: Path) -> Iterator[Document]:
    """Every paragraph of :data:`MIN_WORDS` to :data:`MAX_WORDS` words, each the first time it appears."""
    seen: set[str] = set()
    for title, text in _texts(root):
        for paragraph in _PARAGRAPH_BREAK.split(text):
            paragraph = paragraph.strip()
            if not MIN_WORDS <= len(paragraph.split()) <= MAX_WORDS or paragraph in seen:
                continue
            seen.add(paragraph)
            yield Document(title, paragraph)


def realtext_corpus(root: Path = DOC_ROOT, max_documents: int = MAX_DOCUMENTS) -> list[Document]:
    """The paragraphs of the documentation below ``root``, at most ``max_documents`` of them,
    evenly spaced; raises ValueError when there are none (no documentation installed)."""
    paragraphs = list(_paragraphs(root))
    if not paragraphs:
        raise ValueError(f"no English documentation found below {root}")
    if len(paragraphs) <= max_documents:
        return paragraphs
    return [paragraphs[number * len(paragraphs) // max_documents] for number in range(max_documents)]


def main() -> None:
    docs = realtext_corpus()
    words = sum(len(doc.title.split()) + len(doc.content.split()) for doc in docs)
    print(f"{len(docs):,} documents, {words:,} words, from {len({doc.title for doc in docs}):,} files")
    for doc in docs[:: max(1, len(docs) // 3)]:
        print(f"--- {doc.title}\n{doc.content[:300]}")


if __name__ == "__main__":
    main()
