"""Hostile block files: lengths that promise far more than a tiny file holds, and every
single-byte corruption of a sample block.

A length read from a file, or the size a file reports, is never trusted for an allocation: a
20-byte file that announces a 4 GiB term, an 8 EiB posting list or 2**64 - 1 entries, or a sparse
file of 1 TiB that holds one corrupt entry, fails (or ends) with well under 1 MiB of extra peak
memory, measured in a child process. Any corruption gives one of the documented
outcomes, the same ones as the pure-Python reference model.
"""

import os
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import quorbel

import reference as ref

SHORT_READ = "failed to fill whole buffer"
UNEXPECTED_END = "Invalid varint encoding: unexpected end of data"
TOO_MANY_BYTES = "Invalid varint encoding: too many bytes"


def header(count: int) -> bytes:
    return struct.pack("<Q", count)


# --- hostile lengths in tiny files ----------------------------------------------------------

PEAK_CHILD = textwrap.dedent(
    """
    import resource, sys
    import quorbel

    warm_up, path, call = sys.argv[1:4]

    def vm_peak():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmPeak:"):
                    return int(line.split()[1]) * 1024

    # One-time work (imports, caches, the first read buffer) happens on a sound file first.
    quorbel.get_block_stats(warm_up)
    quorbel.iter_block_terms(warm_up)
    quorbel.read_term_at_offset(warm_up, 8)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    before_vm = vm_peak()
    try:
        result = ("ok", eval(call, vars(quorbel), {"path": path}))
    except Exception as error:
        result = (type(error).__name__, str(error))
    growth = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    print(repr(result))
    print(growth, vm_peak() - before_vm)
    """
)

HOSTILE = {
    # L = 2**32 - 1 with 3 bytes behind it
    "term length 2**32-1": (
        header(1) + b"\xff\xff\xff\xff" + b"abc",
        {
            "iter_block_terms(path)": ("OSError", SHORT_READ),
            "read_term_at_offset(path, 8)": ("OSError", SHORT_READ),
            "get_block_stats(path)": ("ok", (1, 15)),
        },
    ),
    # P = 2**63 (a ten-byte varint) with 2 posting bytes behind it
    "posting length 2**63": (
        header(1) + struct.pack("<I", 1) + b"a" + b"\x00\x00" + b"\x80" * 9 + b"\x01" + b"\x01\x01",
        {
            "iter_block_terms(path)": ("OSError", SHORT_READ),
            "read_term_at_offset(path, 8)": ("OSError", SHORT_READ),
        },
    ),
    # P = 2**64 - 1
    "posting length 2**64-1": (
        header(1) + struct.pack("<I", 0) + b"\x00\x00" + b"\xff" * 9 + b"\x01",
        {
            "iter_block_terms(path)": ("OSError", SHORT_READ),
            "read_term_at_offset(path, 8)": ("OSError", SHORT_READ),
        },
    ),
    # num_terms = 2**64 - 1 with two empty entries behind it
    "entry count 2**64-1": (
        header(2**64 - 1) + b"\x00" * 14,
        {
            "iter_block_terms(path)": ("ok", [("", 0, 0, []), ("", 0, 0, [])]),
            "get_block_stats(path)": ("ok", (2**64 - 1, 22)),
        },
    ),
    # all three at once: a huge count, then an entry whose term length is huge
    "entry count and term length": (
        header(2**64 - 1) + b"\xfe\xff\xff\xff" + b"\x00" * 8,
        {"iter_block_terms(path)": ("OSError", SHORT_READ)},
    ),
}

PEAK_LIMIT = 2**20  # bytes of extra peak resident memory
SANITIZED = os.environ.get("QUORBEL_SANITIZE_SKIP_SLOW") == "1" or "asan" in os.environ.get("LD_PRELOAD", "")


@pytest.fixture(scope="module")
def warm_up(tmp_path_factory):
    path = tmp_path_factory.mktemp("warm") / "warm.bin"
    quorbel.write_binary_block(["a"], [(1, 1)], [[(1, 1, 1)]], str(path))
    return str(path)


@pytest.mark.parametrize(
    ("name", "call"), [(name, call) for name, (_, calls) in HOSTILE.items() for call in calls]
)
def test_hostile_lengths_fail_fast_with_little_memory(tmp_path, warm_up, name, call):
    data, calls = HOSTILE[name]
    assert len(data) <= 32
    path = tmp_path / "hostile.bin"
    path.write_bytes(data)
    done = subprocess.run(
        [sys.executable, "-c", PEAK_CHILD, warm_up, str(path), call],
        capture_output=True,
        text=True,
        timeout=120,  # only to detect a hang or a runaway loop
    )
    assert done.returncode == 0, done.stderr
    result_line, growth_line = done.stdout.splitlines()
    assert eval(result_line) == calls[call]
    resident, virtual = (int(n) for n in growth_line.split())
    resident *= 1024  # ru_maxrss is in KiB on Linux
    assert resident < PEAK_LIMIT, f"{call}: peak resident memory grew by {resident} bytes"
    # Reserving address space without touching it does not show in the resident size.
    if not SANITIZED:  # the sanitizers map their own large regions as they go
        assert virtual < 16 * PEAK_LIMIT, f"{call}: peak address space grew by {virtual} bytes"


# --- every single-byte corruption -----------------------------------------------------------


def sample_block(path: Path) -> bytes:
    terms = ["ab", "\u00e9t\u00e9", "", "\U0001f600z"]
    doc_freqs = [(2, 1), (300, 2**40), (0, 0), (2**64 - 1, 5)]
    postings = [[(5, 3, 0), (7, 1, 1)], [(9, 1, 1), (3, 200, 0)], [], [(-1, 0, 0), (2**31 - 1, 1, 2)]]
    quorbel.write_binary_block(terms, doc_freqs, postings, str(path))
    return path.read_bytes()


def outcome(function, *args):
    try:
        return ("ok", function(*args))
    except (OSError, ValueError) as error:
        kind = OSError if isinstance(error, OSError) else ValueError
        return (kind, str(error))


def documented(result) -> bool:
    status, value = result
    if status == "ok":
        return True
    if status is OSError:
        return value == SHORT_READ
    return value in (UNEXPECTED_END, TOO_MANY_BYTES) or value.startswith("Invalid UTF-8: ")


def test_every_single_byte_corruption_gives_a_documented_outcome(tmp_path):
    original = sample_block(tmp_path / "sample.bin")
    path = tmp_path / "corrupt.bin"
    offsets = [8]
    while (entry := quorbel.read_term_at_offset(str(tmp_path / "sample.bin"), offsets[-1])) is not None:
        offsets.append(entry[4])
    seen = set()
    with open(path, "wb") as f:
        f.write(original)
    for position in range(len(original)):
        for value in range(256):
            if value == original[position]:
                continue
            with open(path, "r+b") as f:
                f.seek(position)
                f.write(bytes([value]))
            calls = [(quorbel.get_block_stats, ref.get_block_stats, ())]
            calls.append((quorbel.iter_block_terms, ref.iter_block_terms, ()))
            calls += [(quorbel.read_term_at_offset, ref.read_term_at_offset, (o,)) for o in offsets]
            for function, reference, args in calls:
                result = outcome(function, str(path), *args)
                assert documented(result), (position, value, function.__name__, result)
                assert result == outcome(reference, str(path), *args), (position, value, function.__name__)
                seen.add(result[0] if result[0] != "ok" else ("ok", result[1] is None))
        with open(path, "r+b") as f:
            f.seek(position)
            f.write(original[position : position + 1])
    # The corruptions reached every kind of outcome, so the loop really exercised the failures.
    assert {OSError, ValueError, ("ok", True), ("ok", False)} <= seen


SPARSE_SIZE = 2**40  # 1 TiB reported, almost nothing stored


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        ("iter_block_terms(path)",
         ("ValueError", "Invalid UTF-8: invalid utf-8 sequence of 1 bytes from index 0")),
        ("get_block_stats(path)", ("ok", (2**64 - 1, SPARSE_SIZE))),
    ],
)
def test_a_huge_sparse_file_with_a_huge_count_reads_like_a_small_one(tmp_path, warm_up, call,
                                                                     expected):
    # The size a file reports is no more a bound on what it holds than its header is.
    path = tmp_path / "sparse.bin"
    path.write_bytes(header(2**64 - 1) + struct.pack("<I", 1) + b"\xff")
    try:
        os.truncate(path, SPARSE_SIZE)
    except OSError as error:
        pytest.skip(f"this file system cannot hold a 1 TiB sparse file: {error}")
    done = subprocess.run(
        [sys.executable, "-c", PEAK_CHILD, warm_up, str(path), call],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    result_line, growth_line = done.stdout.splitlines()
    assert eval(result_line) == expected
    resident = int(growth_line.split()[0]) * 1024
    assert resident < PEAK_LIMIT, f"{call}: peak resident memory grew by {resident} bytes"
