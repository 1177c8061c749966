"""Peak resident memory of every process of a process tree, read from /proc while it runs.

A thread polls the tree every 50 ms: it lists the descendants of the root process (through each
thread's ``children`` file, since a child may be started from any thread) and reads each one's
VmHWM, the kernel's high-water mark of its resident set, so a peak between two polls is not
missed; only growth in a process's last 50 ms before it exits can be. Each process gets a role
from its command line and its parent's: the root is the client; a child started by
multiprocessing's spawn or fork server is a worker, and so is one forked with its parent's command
line when the caller says workers are forked (a process pool on Linux).
"""

from __future__ import annotations

import threading
import time
from dataclasses import dataclass
from pathlib import Path

__all__ = ["ProcessPeak", "TreeMonitor", "descendants"]

PROC = Path("/proc")
#: Roles that a process seen between its fork and its exec gets, named again once it has run another program.
_PROVISIONAL_ROLES = frozenset({"forked helper", "other"})
POLL_SECONDS = 0.05


@dataclass
class ProcessPeak:
    """One process of the tree: its id, role, command line, peak resident set in bytes, and when
    it was first seen and reached its peak, in seconds from the start of the monitor."""

    pid: int
    role: str
    command: str
    peak_bytes: int = 0
    seen_at_s: float = 0.0
    peak_at_s: float = 0.0


def _read(path: Path) -> str | None:
    """Return a /proc file's text, or None if the process is gone."""
    try:
        return path.read_text()
    except (FileNotFoundError, ProcessLookupError, PermissionError):
        return None


def _children(pid: int) -> list[int]:
    """Return the child process ids of every thread of ``pid``."""
    try:
        tasks = list((PROC / str(pid) / "task").iterdir())
    except FileNotFoundError:
        return []
    children: list[int] = []
    for task in tasks:
        text = _read(task / "children")
        if text:
            children.extend(int(child) for child in text.split())
    return children


def descendants(root: int) -> list[tuple[int, int]]:
    """Return (pid, parent pid) of ``root`` (parent 0) and every process below it."""
    found = [(root, 0)]
    position = 0
    while position < len(found):
        pid = found[position][0]
        found.extend((child, pid) for child in _children(pid))
        position += 1
    return found


def _high_water_bytes(pid: int) -> int | None:
    """Return the process's VmHWM in bytes, or None if it is gone (or a zombie)."""
    text = _read(PROC / str(pid) / "status")
    for line in (text or "").splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
    return None


def _command(pid: int) -> str:
    """Return the command line of ``pid`` with spaces between its arguments."""
    return (_read(PROC / str(pid) / "cmdline") or "").replace("\0", " ").strip()


def _role(command: str, parent_command: str, worker_role: str, forked_workers: bool) -> str:
    """Return what a process below the client is, by its command line and its parent's."""
    if "resource_tracker" in command:
        return "resource tracker"
    if "forkserver" in command:
        return worker_role if "forkserver" in parent_command else "fork server"
    if "spawn_main" in command:
        return worker_role
    if command == parent_command:
        return worker_role if forked_workers else "forked helper"
    return "other"


class TreeMonitor:
    """Polls the process tree below ``root`` until stopped; ``peaks`` holds what it saw.

    Workers are the processes started by multiprocessing's spawn or fork server and, if
    ``forked_workers``, the children forked with their parent's command line.
    """

    def __init__(self, root: int, worker_role: str, forked_workers: bool) -> None:
        self.root = root
        self.worker_role = worker_role
        self.forked_workers = forked_workers
        self.peaks: dict[int, ProcessPeak] = {}
        self._started = time.perf_counter()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="tree-monitor", daemon=True)

    def start(self) -> None:
        """Start polling."""
        self._thread.start()

    def stop(self) -> list[ProcessPeak]:
        """Take one last reading, stop polling and return every process seen, client first."""
        self._stop.set()
        self._thread.join()
        self.poll()
        return sorted(self.peaks.values(), key=lambda p: (p.pid != self.root, -p.peak_bytes))

    def _run(self) -> None:
        while not self._stop.is_set():
            self.poll()
            self._stop.wait(POLL_SECONDS)

    def poll(self) -> None:
        """Read the high-water mark of every process now in the tree."""
        for pid, parent in descendants(self.root):
            peak = self.peaks.get(pid) or self._first_sight(pid, parent)
            if peak is None:
                continue
            if peak.role in _PROVISIONAL_ROLES:
                self._name_again(peak, parent)
            high = _high_water_bytes(pid)
            if high is not None and high > peak.peak_bytes:
                peak.peak_bytes = high
                peak.peak_at_s = round(time.perf_counter() - self._started, 2)

    def _first_sight(self, pid: int, parent: int) -> ProcessPeak | None:
        """Record a process seen for the first time, with its role; None if it is already gone."""
        command = _command(pid)
        if not command:
            return None
        peak = ProcessPeak(pid, "", command, seen_at_s=round(time.perf_counter() - self._started, 2))
        peak.role = "client" if pid == self.root else self._role_of(command, parent)
        self.peaks[pid] = peak
        return peak

    def _name_again(self, peak: ProcessPeak, parent: int) -> None:
        """Name a process again from its command line, which changes if it has run another program."""
        command = _command(peak.pid)
        if command and command != peak.command:
            peak.command, peak.role = command, self._role_of(command, parent)

    def _role_of(self, command: str, parent: int) -> str:
        parent_peak = self.peaks.get(parent)
        parent_command = parent_peak.command if parent_peak else ""
        return _role(command, parent_command, self.worker_role, self.forked_workers)
