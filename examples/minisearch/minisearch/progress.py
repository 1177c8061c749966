"""Progress reporting: a tqdm bar when tqdm is installed, otherwise a plain
counter on standard error.

tqdm is optional.  Without it, :func:`progress` returns a counter that
rewrites one line of standard error (at most a few times a second) and ends
it with a newline when closed.
"""

from __future__ import annotations

import importlib
import sys
import time
from types import TracebackType
from typing import Any, Protocol, Self, TextIO

__all__ = ["NullProgress", "Progress", "StderrCounter", "progress", "tqdm_available"]


class Progress(Protocol):
    """What the indexer needs from a progress display."""

    def update(self, n: int = 1) -> object: ...
    def close(self) -> object: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> object: ...


class _Base:
    def update(self, n: int = 1) -> None:
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()


class NullProgress(_Base):
    """Shows nothing."""

    def update(self, n: int = 1) -> None:
        pass

    def close(self) -> None:
        pass


class StderrCounter(_Base):
    """A one-line counter, ``desc: done/total unit (rate/s)``, on a text stream."""

    def __init__(
        self, desc: str, total: int | None, unit: str, stream: TextIO | None = None, interval: float = 0.25
    ) -> None:
        self.desc = desc
        self.total = total
        self.unit = unit
        self.count = 0
        self._stream = stream if stream is not None else sys.stderr
        self._interval = interval
        self._start = time.perf_counter()
        self._last_shown = float("-inf")
        self._closed = False

    def _line(self) -> str:
        elapsed = time.perf_counter() - self._start
        rate = f", {self.count / elapsed:,.0f} {self.unit}/s" if elapsed > 0 else ""
        of_total = f"/{self.total:,}" if self.total is not None else ""
        return f"{self.desc}: {self.count:,}{of_total} {self.unit} ({elapsed:.1f} s{rate})"

    def update(self, n: int = 1) -> None:
        self.count += n
        now = time.perf_counter()
        if now - self._last_shown >= self._interval:
            self._last_shown = now
            self._stream.write("\r" + self._line())
            self._stream.flush()

    def close(self) -> None:
        if not self._closed:
            self._closed = True
            self._stream.write("\r" + self._line() + "\n")
            self._stream.flush()


def tqdm_available() -> bool:
    """True when the optional tqdm package can be imported."""
    return _tqdm_class() is not None


def _tqdm_class() -> Any:
    try:
        # Imported by name: tqdm is optional and ships no type information.
        return importlib.import_module("tqdm").tqdm
    except ImportError:
        return None


def progress(desc: str, total: int | None = None, unit: str = "it", enabled: bool = True) -> Progress:
    """Return a progress display for ``total`` steps (None: unknown).

    ``enabled=False`` gives a display that shows nothing.
    """
    if not enabled:
        return NullProgress()
    tqdm = _tqdm_class()
    if tqdm is None:
        return StderrCounter(desc, total, unit)
    bar: Progress = tqdm(desc=desc, total=total, unit=unit, unit_scale=False, file=sys.stderr, leave=True)
    return bar
