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
    """A counter, ``desc: done/total unit (seconds, rate)``, on a text stream.

    On a terminal the line is rewritten in place (at most every
    ``interval`` seconds); otherwise, as in a log file, a full line is
    written at most every ``log_interval`` seconds and once at the end.
    """

    def __init__(
        self,
        desc: str,
        total: int | None,
        unit: str,
        stream: TextIO | None = None,
        interval: float = 0.25,
        log_interval: float = 10.0,
    ) -> None:
        self.desc = desc
        self.total = total
        self.unit = unit
        self.count = 0
        self._stream = stream if stream is not None else sys.stderr
        self._tty = self._stream.isatty()
        self._interval = interval if self._tty else log_interval
        self._start = time.perf_counter()
        self._last_shown = self._start if not self._tty else float("-inf")
        self._width = 0
        self._closed = False

    def _line(self) -> str:
        elapsed = time.perf_counter() - self._start
        rate = f", {self.count / elapsed:,.0f} {self.unit}/s" if elapsed > 0 else ""
        of_total = f"/{self.total:,}" if self.total is not None else ""
        return f"{self.desc}: {self.count:,}{of_total} {self.unit} ({elapsed:.1f} s{rate})"

    def _show(self, final: bool) -> None:
        line = self._line()
        if self._tty:
            # Pad over the rest of a longer previous line.
            self._stream.write("\r" + line.ljust(self._width) + ("\n" if final else ""))
            self._width = len(line)
        else:
            self._stream.write(line + "\n")
        self._stream.flush()

    def update(self, n: int = 1) -> None:
        self.count += n
        now = time.perf_counter()
        if now - self._last_shown >= self._interval:
            self._last_shown = now
            self._show(final=False)

    def close(self) -> None:
        if not self._closed:
            self._closed = True
            self._show(final=True)


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
    bar: Progress = tqdm(desc=desc, total=total, unit=" " + unit, file=sys.stderr, leave=True)
    return bar
