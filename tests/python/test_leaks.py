"""Leaks: every function's success path and a set of error paths, called a few thousand times.

Python objects are counted with sys.getallocatedblocks(), which must come back to where it was;
native buffers (vectors, byte buffers, read and write buffers) show up only in the resident set
size, which a child process compares after N and after 2N calls with large inputs.
"""

import gc
import io
import json
import os
import subprocess
import sys
import textwrap

import pytest

import quorbel

CALLS = 2000
# A few blocks come and go with free lists and caches; a leak of one object per call is CALLS.
SLACK_BLOCKS = 40

pytestmark = pytest.mark.skipif(
    sys.getallocatedblocks() == 0,
    reason="the interpreter's allocator is off (PYTHONMALLOC=malloc): blocks cannot be counted",
)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Failing:
    def __index__(self):
        error = TypeError("no index")
        error.__cause__ = KeyError("cause")
        raise error


class OwnError(Exception):
    pass


class Raising:
    def __index__(self):
        raise OwnError("mine")


class Reader:
    def __init__(self, *results):
        self.results = results
        self.at = 0

    def read(self, size):
        result = self.results[self.at]
        self.at += 1
        if isinstance(result, BaseException):
            raise result
        return result


def block_paths(directory):
    good = str(directory / "good.bin")
    quorbel.write_binary_block(
        ["ab", "\u00e9t\u00e9", ""], [(2, 1), (2**64 - 1, 3), (0, 0)],
        [[(5, 3, 0), (7, 1, 1)], [(-1, 2, 2)] * 20, []], good,
    )
    bad_utf8 = directory / "bad_utf8.bin"
    bad_utf8.write_bytes(bytes.fromhex("0100000000000000 01000000 ff 000000"))
    cut = directory / "cut.bin"
    cut.write_bytes(open(good, "rb").read()[:20])
    bad_postings = directory / "bad_postings.bin"
    bad_postings.write_bytes(bytes.fromhex("0100000000000000 01000000 61 0000 02 0101"))
    (directory / "dir").mkdir()
    return good, str(bad_utf8), str(cut), str(bad_postings), str(directory / "dir")


def cases(directory):
    good, bad_utf8, cut, bad_postings, folder = block_paths(directory)
    out = str(directory / "out.bin")
    postings = [(i * 3, i % 5, i % 2) for i in range(50)]
    encoded = quorbel.encode_posting_list(postings)
    q = quorbel
    return {
        # success paths
        "encode_varint": lambda: q.encode_varint(300),
        "encode_varint index": lambda: q.encode_varint(Index(2**63 - 1)),
        "encode_posting_list": lambda: q.encode_posting_list(postings),
        "encode_posting_list sorted keyword": lambda: q.encode_posting_list(postings=postings, assume_sorted=True),
        "decode_posting_list": lambda: q.decode_posting_list(encoded),
        "merge_posting_lists": lambda: q.merge_posting_lists([encoded, encoded, b""]),
        "write_binary_block": lambda: q.write_binary_block(("a", "b"), [(1, 2), (3, Index(4))], [postings, []], out),
        "get_block_stats": lambda: q.get_block_stats(good),
        "iter_block_terms": lambda: q.iter_block_terms(good),
        "read_term_at_offset": lambda: q.read_term_at_offset(good, 8),
        "read_term_at_offset end": lambda: q.read_term_at_offset(file_path=good, offset=10_000),
        "read_varint": lambda: q.read_varint(io.BytesIO(b"\xac\x02")),
        "read_varint end": lambda: q.read_varint(io.BytesIO(b"")),
        "read_varint bytearray interrupted": lambda: q.read_varint(Reader(InterruptedError(), bytearray(b"\x05"))),
        # binding errors
        "too many positional": lambda: q.encode_varint(1, 2),
        "unexpected keyword": lambda: q.encode_posting_list([], x=1),
        "multiple values": lambda: q.read_term_at_offset("p", file_path="q"),
        "missing arguments": lambda: q.write_binary_block(),
        # conversion errors
        "prefixed TypeError": lambda: q.encode_varint("5"),
        "prefixed TypeError with cause": lambda: q.encode_varint(Failing()),
        "own exception passes": lambda: q.read_term_at_offset(good, Raising()),
        "negative varint": lambda: q.encode_varint(-1),
        "overflow": lambda: q.encode_varint(2**64),
        "cast bytes": lambda: q.decode_posting_list(bytearray(3)),
        "cast list": lambda: q.merge_posting_lists((b"",)),
        "cast bool": lambda: q.encode_posting_list([], 1),
        "posting cast tuple": lambda: q.encode_posting_list(postings + [[1, 2, 3]]),
        "posting length": lambda: q.encode_posting_list(postings + [(1, 2)]),
        "posting overflow": lambda: q.encode_posting_list(postings + [(2**31, 0, 0)]),
        "terms str": lambda: q.write_binary_block("abc", [], [], out),
        "terms set": lambda: q.write_binary_block({"a"}, [], [], out),
        "doc freq length": lambda: q.write_binary_block(["a"], [(1, 2, 3)], [[]], out),
        "doc freq negative": lambda: q.write_binary_block(["a"], [(1, -1)], [[]], out),
        "late posting error": lambda: q.write_binary_block(["a", "b"], [(1, 2)] * 2, [postings, postings + [(1,)]], out),
        "lengths differ": lambda: q.write_binary_block(["a", "b"], [(1, 2)], [[]], out),
        "lone surrogate path": lambda: q.write_binary_block([], [], [], "\ud800"),
        "nul in path": lambda: q.write_binary_block([], [], [], "a\0b"),
        "missing directory": lambda: q.write_binary_block(["a"], [(1, 2)], [postings], str(directory / "no" / "x")),
        # decoding errors
        "decode cut": lambda: q.decode_posting_list(encoded + b"\x80"),
        "decode too many bytes": lambda: q.decode_posting_list(b"\xff" * 11),
        "merge bad item": lambda: q.merge_posting_lists([encoded, b"\x05\x03"]),
        "merge bytearray item": lambda: q.merge_posting_lists([encoded, bytearray(b"\x05\x03\x00")]),
        # reader errors
        "missing file": lambda: q.iter_block_terms(str(directory / "missing.bin")),
        "directory": lambda: q.get_block_stats(folder),
        "bad utf8": lambda: q.iter_block_terms(bad_utf8),
        "cut block": lambda: q.read_term_at_offset(cut, 8),
        "bad postings": lambda: q.iter_block_terms(bad_postings),
        "offset too large": lambda: q.read_term_at_offset(good, 2**63),
        "offset negative": lambda: q.read_term_at_offset(good, -1),
        # read_varint errors
        "text stream": lambda: q.read_varint(io.StringIO("x")),
        "read raises": lambda: q.read_varint(Reader(ValueError("closed"))),
        "read gives two bytes": lambda: q.read_varint(Reader(b"\x01\x02")),
        "read gives str": lambda: q.read_varint(Reader("x")),
        "no read method": lambda: q.read_varint(object()),
        "five continuation bytes": lambda: q.read_varint(io.BytesIO(b"\xff" * 6)),
    }


def call_quietly(function):
    try:
        function()
    except (TypeError, ValueError, OverflowError, OSError, OwnError):
        pass


@pytest.fixture(scope="module")
def all_cases(tmp_path_factory):
    return cases(tmp_path_factory.mktemp("leaks"))


def blocks_after(function, calls):
    for _ in range(calls):
        call_quietly(function)
    gc.collect()
    return sys.getallocatedblocks()


CASE_NAMES = [
    # Kept in step with cases(); checked by test_every_case_is_listed.
    "encode_varint", "encode_varint index", "encode_posting_list", "encode_posting_list sorted keyword",
    "decode_posting_list", "merge_posting_lists", "write_binary_block", "get_block_stats",
    "iter_block_terms", "read_term_at_offset", "read_term_at_offset end", "read_varint",
    "read_varint end", "read_varint bytearray interrupted", "too many positional",
    "unexpected keyword", "multiple values", "missing arguments", "prefixed TypeError",
    "prefixed TypeError with cause", "own exception passes", "negative varint", "overflow",
    "cast bytes", "cast list", "cast bool", "posting cast tuple", "posting length",
    "posting overflow", "terms str", "terms set", "doc freq length", "doc freq negative",
    "late posting error", "lengths differ", "lone surrogate path", "nul in path",
    "missing directory", "decode cut", "decode too many bytes", "merge bad item",
    "merge bytearray item", "missing file", "directory", "bad utf8", "cut block", "bad postings",
    "offset too large", "offset negative", "text stream", "read raises", "read gives two bytes",
    "read gives str", "no read method", "five continuation bytes",
]


def test_every_case_is_listed(all_cases):
    assert list(all_cases) == CASE_NAMES


@pytest.mark.parametrize("name", CASE_NAMES)
def test_python_objects_are_released(all_cases, name):
    function = all_cases[name]
    start = blocks_after(function, 100)  # warm caches, free lists and one-time lookups
    first = blocks_after(function, CALLS)
    second = blocks_after(function, CALLS)
    per_call = (second - start) / (2 * CALLS)
    assert first - start <= SLACK_BLOCKS, f"{first - start} blocks after {CALLS} calls ({per_call:.3f} per call)"
    assert second - start <= SLACK_BLOCKS, f"{second - start} blocks after {2 * CALLS} calls ({per_call:.3f} per call)"


RSS_CHILD = textwrap.dedent(
    """
    import io, json, os, sys
    import quorbel as q

    directory = sys.argv[1]
    page = os.sysconf("SC_PAGE_SIZE")

    def rss():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * page

    postings = [(i * 7 % 100_003, i % 13, i % 3) for i in range(20_000)]
    encoded = q.encode_posting_list(postings)
    big = os.path.join(directory, "big.bin")
    terms = ["t%05d" % i for i in range(200)] + ["x" * 20_000]
    q.write_binary_block(terms, [(i, i) for i in range(201)], [postings[:500]] * 200 + [postings], big)
    out = os.path.join(directory, "out.bin")
    cases = {
        "encode_posting_list": lambda: q.encode_posting_list(postings),
        "decode_posting_list": lambda: q.decode_posting_list(encoded),
        "decode_posting_list failing late": lambda: q.decode_posting_list(encoded + b"\\x80"),
        "merge_posting_lists": lambda: q.merge_posting_lists([encoded, encoded]),
        "merge_posting_lists failing late": lambda: q.merge_posting_lists([encoded, b"\\x05"]),
        "write_binary_block": lambda: q.write_binary_block(terms, [(1, 1)] * 201, [postings[:500]] * 200 + [postings], out),
        "write_binary_block failing late": lambda: q.write_binary_block(terms, [(1, 1)] * 201, [postings[:500]] * 200 + [postings + [(1, 2)]], out),
        "iter_block_terms": lambda: q.iter_block_terms(big),
        "read_term_at_offset": lambda: q.read_term_at_offset(big, 8),
        "get_block_stats": lambda: q.get_block_stats(big),
        "encode_varint": lambda: q.encode_varint(2**62),
        "read_varint": lambda: q.read_varint(io.BytesIO(b"\\xff\\xff\\x03")),
    }
    calls = int(sys.argv[2])
    growth = {}
    for name, function in cases.items():
        def run(n):
            for _ in range(n):
                try:
                    function()
                except (ValueError, TypeError):
                    pass
        run(calls // 4)
        start = rss()
        run(calls)
        middle = rss()
        run(calls)
        growth[name] = (middle - start, rss() - middle)
    print(json.dumps(growth))
    """
)


@pytest.mark.skipif(
    os.environ.get("QUORBEL_SANITIZE_SKIP_SLOW") == "1",
    reason="the sanitizers keep freed memory in quarantine, so RSS says nothing about leaks",
)
def test_native_buffers_are_released(tmp_path):
    done = subprocess.run(
        [sys.executable, "-c", RSS_CHILD, str(tmp_path), "100"],
        capture_output=True, text=True, timeout=600,
    )
    assert done.returncode == 0, done.stderr
    growth = json.loads(done.stdout)
    # A leaked posting vector or byte buffer is at least 100 KiB per call: 10 MiB over 100 calls.
    limit = 4 * 2**20
    grew = {name: (a, b) for name, (a, b) in growth.items() if a > limit or b > limit}
    assert not grew, grew
