"""get_block_stats, iter_block_terms and read_term_at_offset: results and failures."""

import faulthandler
import os
import pathlib
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorbel

import reference as ref

stats = quorbel.get_block_stats
iter_terms = quorbel.iter_block_terms
read_at = quorbel.read_term_at_offset

SHORT_READ = "failed to fill whole buffer"
UNEXPECTED_END = "Invalid varint encoding: unexpected end of data"
TOO_MANY_BYTES = "Invalid varint encoding: too many bytes"


def h(text: str) -> bytes:
    return bytes.fromhex(text)


def header(count: int) -> bytes:
    return struct.pack("<Q", count)


def entry_bytes(term: bytes, varints: str = "00 00 00", postings: bytes = b"") -> bytes:
    return struct.pack("<I", len(term)) + term + h(varints) + postings


AB_BLOCK = h("01 00 00 00 00 00 00 00  02 00 00 00  61 62  02 01 06  05 03 00 02 01 01")
AB_ENTRY = ("ab", 2, 1, [(5, 3, 0), (7, 1, 1)])


@pytest.fixture
def block(tmp_path):
    """Writes the given bytes to a fresh file and returns its path as a str."""
    counter = iter(range(1_000_000))

    def make(data: bytes) -> str:
        path = tmp_path / f"block{next(counter)}.bin"
        path.write_bytes(data)
        return str(path)

    return make


def outcome(function, *args):
    """The result of a call, or the class and text of the error it raised."""
    try:
        return ("ok", function(*args))
    except (OSError, ValueError) as error:
        return (type(error), str(error))


def readers(implementation):
    """The three block readers of the module or of the oracle."""
    return (
        implementation.get_block_stats,
        implementation.iter_block_terms,
        implementation.read_term_at_offset,
    )


def raises(error, message, function, *args):
    with pytest.raises(error) as info:
        function(*args)
    assert type(info.value) is error
    assert str(info.value) == message


# --- the worked files -----------------------------------------------------------------------


def test_the_single_entry_block(implementation, block):
    stats, iter_terms, read_at = readers(implementation)
    path = block(AB_BLOCK)
    assert stats(path) == (1, 23)
    assert iter_terms(path) == [AB_ENTRY]
    assert read_at(path, 8) == AB_ENTRY + (23,)
    for offset in (23, 21, 1000, 2**40):
        assert read_at(path, offset) is None


def test_results_are_plain_lists_tuples_and_ints(implementation, block):
    stats, iter_terms, read_at = readers(implementation)
    path = block(AB_BLOCK)
    entries = iter_terms(path)
    assert type(entries) is list
    assert type(entries[0]) is tuple and type(entries[0][3]) is list
    assert all(type(field) is int for field in read_at(path, 8)[1:3] + read_at(path, 8)[4:])
    assert all(type(posting) is tuple for posting in entries[0][3])


def test_a_header_announcing_more_entries_than_present(implementation, block):
    stats, iter_terms, read_at = readers(implementation)
    path = block(header(3) + AB_BLOCK[8:])
    assert stats(path) == (3, 23)
    assert iter_terms(path) == [AB_ENTRY]


def test_a_header_announcing_no_entries_hides_them_only_from_iteration(implementation, block):
    stats, iter_terms, read_at = readers(implementation)
    path = block(header(0) + AB_BLOCK[8:])
    assert iter_terms(path) == []
    assert read_at(path, 8) == AB_ENTRY + (23,)


def test_bytes_after_the_announced_entries_are_ignored(implementation, block):
    stats, iter_terms, read_at = readers(implementation)
    path = block(AB_BLOCK + entry_bytes(b"zz") + b"\xff\xff")
    assert iter_terms(path) == [AB_ENTRY]
    assert read_at(path, 23) == ("zz", 0, 0, [], 32)


def test_offset_zero_reads_the_header_as_an_entry(implementation, block):
    stats, iter_terms, read_at = readers(implementation)
    # 01 00 00 00 is a term length of 1; the term is 00 and the three varints are 00 00 00.
    assert read_at(block(AB_BLOCK), 0) == ("\x00", 0, 0, [], 8)


def test_a_block_cut_inside_the_posting_bytes(implementation, block):
    stats, iter_terms, read_at = readers(implementation)
    path = block(AB_BLOCK[:20])
    raises(OSError, SHORT_READ, iter_terms, path)
    raises(OSError, SHORT_READ, read_at, path, 8)


def test_an_empty_block(implementation, block):
    stats, iter_terms, read_at = readers(implementation)
    path = block(bytes(8))
    assert stats(path) == (0, 8)
    assert iter_terms(path) == []
    assert read_at(path, 8) is None


def test_an_empty_file(implementation, block):
    stats, iter_terms, read_at = readers(implementation)
    path = block(b"")
    raises(OSError, SHORT_READ, stats, path)
    raises(OSError, SHORT_READ, iter_terms, path)
    assert read_at(path, 0) is None


@pytest.mark.parametrize("size", [1, 7])
def test_a_file_shorter_than_the_header(implementation, block, size):
    stats, iter_terms, read_at = readers(implementation)
    path = block(bytes(size))
    raises(OSError, SHORT_READ, stats, path)
    raises(OSError, SHORT_READ, iter_terms, path)


@pytest.mark.parametrize("left", [0, 1, 2, 3])
def test_fewer_than_four_bytes_left_is_the_end(implementation, block, left):
    stats, iter_terms, read_at = readers(implementation)
    path = block(header(5) + AB_BLOCK[8:] + b"\x07" * left)
    assert iter_terms(path) == [AB_ENTRY]
    assert read_at(path, 23) is None


def test_the_empty_entry(implementation, block):
    stats, iter_terms, read_at = readers(implementation)
    path = block(header(1) + h("00 00 00 00 00 00 00"))
    assert iter_terms(path) == [("", 0, 0, [])]
    assert read_at(path, 8) == ("", 0, 0, [], 15)


def test_long_varints_keep_their_full_values(implementation, block):
    stats, iter_terms, read_at = readers(implementation)
    first = entry_bytes(b"a", "80 80 80 80 80 20  ff ff ff ff ff ff ff ff ff 01  00")
    second = entry_bytes(b"b", "ff ff ff ff ff ff ff ff ff 7f  00  03", h("01 02 03"))
    path = block(header(2) + first + second)
    assert iter_terms(path) == [("a", 2**40, 2**64 - 1, []), ("b", 2**64 - 1, 0, [(1, 2, 3)])]
    assert read_at(path, 8) == ("a", 2**40, 2**64 - 1, [], 8 + len(first))
    assert read_at(path, 8 + len(first))[4] == 8 + len(first) + len(second)
    # Of a tenth byte only the lowest payload bit counts.
    third = entry_bytes(b"", "80 80 80 80 80 80 80 80 80 02  ff ff ff ff ff ff ff ff ff 7f  00")
    assert read_at(block(header(1) + third), 8) == ("", 0, 2**64 - 1, [], 8 + len(third))


def test_postings_in_score_order_come_back_with_their_doc_ids(implementation, block):
    stats, iter_terms, read_at = readers(implementation)
    postings = [(300, 9, 1), (5, 2, 3), (-7, 1, 0), (2**31 - 1, 0, 0), (-(2**31), 0, 0)]
    encoded = quorbel.encode_posting_list(postings, True)
    varints = "05 05" + quorbel.encode_varint(len(encoded)).hex()
    path = block(header(1) + entry_bytes(b"t", varints, encoded))
    assert iter_terms(path) == [("t", 5, 5, postings)]


# --- malformed entries ----------------------------------------------------------------------

# (entry bytes after a header announcing one entry, exception class, message)
MALFORMED = {
    "term cut short": (h("05 00 00 00 61 62"), OSError, SHORT_READ),
    "posting bytes cut short": (entry_bytes(b"a", "00 00 05", h("01 01 01")), OSError, SHORT_READ),
    "file ends before the varints": (entry_bytes(b"a", ""), ValueError, UNEXPECTED_END),
    "file ends inside a varint": (entry_bytes(b"a", "00 80"), ValueError, UNEXPECTED_END),
    "ten continuation bytes at the end": (
        entry_bytes(b"a", "ff ff ff ff ff ff ff ff ff ff"),
        ValueError,
        UNEXPECTED_END,
    ),
    "ten continuation bytes and more": (
        entry_bytes(b"a", "00 ff ff ff ff ff ff ff ff ff ff 00 00"),
        ValueError,
        TOO_MANY_BYTES,
    ),
    "posting ends inside a varint": (
        entry_bytes(b"a", "00 00 02", h("01 01")),
        ValueError,
        UNEXPECTED_END,
    ),
    "posting varint too long": (
        entry_bytes(b"a", "00 00 0b", h("ff") * 10 + h("01")),
        ValueError,
        TOO_MANY_BYTES,
    ),
    "bad term beats a cut file": (
        h("01 00 00 00 ff"),
        ValueError,
        "Invalid UTF-8: invalid utf-8 sequence of 1 bytes from index 0",
    ),
}


@pytest.mark.parametrize("name", MALFORMED)
def test_malformed_entries(implementation, block, name):
    stats, iter_terms, read_at = readers(implementation)
    data, error, message = MALFORMED[name]
    path = block(header(1) + data)
    raises(error, message, iter_terms, path)
    raises(error, message, read_at, path, 8)


# (term bytes, message after "Invalid UTF-8: ")
BAD_TERMS = [
    ("ff", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("61 c3", "incomplete utf-8 byte sequence from index 1"),
    ("80", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("c0 80", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("c1 bf", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("e0 80 80", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("ed a0 80", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("f0 8f bf bf", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("f4 90 80 80", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("f5 80 80 80", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("c3 41", "invalid utf-8 sequence of 1 bytes from index 0"),
    ("61 62 e1 80 41", "invalid utf-8 sequence of 2 bytes from index 2"),
    ("f1 80 80 41", "invalid utf-8 sequence of 3 bytes from index 0"),
    ("41 42 43 44 45 46 47 48 49 f0 9f 98", "incomplete utf-8 byte sequence from index 9"),
    ("e2 82", "incomplete utf-8 byte sequence from index 0"),
    ("c3 a9 ed 9f bf ff", "invalid utf-8 sequence of 1 bytes from index 5"),
]


@pytest.mark.parametrize(("term", "message"), BAD_TERMS)
def test_terms_that_are_not_utf8(implementation, block, term, message):
    stats, iter_terms, read_at = readers(implementation)
    path = block(header(1) + entry_bytes(h(term)))
    raises(ValueError, "Invalid UTF-8: " + message, iter_terms, path)
    raises(ValueError, "Invalid UTF-8: " + message, read_at, path, 8)


@settings(
    max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(st.binary(max_size=20))
def test_random_term_bytes_agree_with_the_reference_decoder(block, term):
    path = block(header(1) + entry_bytes(term))
    assert outcome(iter_terms, path) == outcome(ref.iter_block_terms, path)
    assert outcome(read_at, path, 8) == outcome(ref.read_term_at_offset, path, 8)


@pytest.mark.parametrize("start", range(8176, 8198))
@pytest.mark.parametrize(
    ("varint", "after", "expected"),
    [
        ("ff" * 9 + "01", "00 00", ("ok", 2**64 - 1)),
        ("ff" * 10, "", (ValueError, UNEXPECTED_END)),
        ("ff" * 10, "00", (ValueError, TOO_MANY_BYTES)),
        ("80" * 5, "", (ValueError, UNEXPECTED_END)),
    ],
)
def test_varints_across_the_read_buffer_boundary(block, start, varint, after, expected):
    # The term fills the file up to `start`, where the first varint begins.
    term = b"x" * (start - 12)
    path = block(header(1) + entry_bytes(term, varint + after))
    result = outcome(iter_terms, path)
    if expected[0] == "ok":
        assert result == ("ok", [("x" * len(term), expected[1], 0, [])])
    else:
        assert result == expected


# --- opening and arguments ------------------------------------------------------------------

READERS = {
    "get_block_stats": lambda path: stats(path),
    "iter_block_terms": lambda path: iter_terms(path),
    "read_term_at_offset": lambda path: read_at(path, 8),
}
ORACLE_READERS = {
    "get_block_stats": ref.get_block_stats,
    "iter_block_terms": ref.iter_block_terms,
    "read_term_at_offset": lambda path: ref.read_term_at_offset(path, 8),
}


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize(
    ("name", "error", "message"),
    [
        ("missing.bin", FileNotFoundError, "No such file or directory (os error 2)"),
        ("", FileNotFoundError, "No such file or directory (os error 2)"),
        ("directory", IsADirectoryError, "Is a directory (os error 21)"),
        ("file/inner.bin", NotADirectoryError, "Not a directory (os error 20)"),
        ("bl\0ck.bin", OSError, "file name contained an unexpected NUL byte"),
    ],
)
def test_files_that_cannot_be_read(tmp_path, monkeypatch, reader, name, error, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "directory").mkdir()
    (tmp_path / "file").write_bytes(AB_BLOCK)
    (tmp_path / "bl").write_bytes(AB_BLOCK)
    with pytest.raises(OSError) as info:
        READERS[reader](name)
    assert type(info.value) is error
    assert str(info.value) == message
    assert info.value.errno is None
    if "\0" not in name:  # the oracle opens with Python's open(): its own texts, the same classes
        with pytest.raises(error):
            ORACLE_READERS[reader](name)


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize(
    ("path", "message"),
    [
        (b"block.bin", "argument 'file_path': 'bytes' object cannot be cast as 'str'"),
        (
            pathlib.Path("block.bin"),
            "argument 'file_path': 'PosixPath' object cannot be cast as 'str'",
        ),
        (None, "argument 'file_path': 'NoneType' object cannot be cast as 'str'"),
    ],
)
def test_file_path_must_be_a_str(reader, path, message):
    raises(TypeError, message, READERS[reader], path)


@pytest.mark.parametrize("reader", READERS)
def test_a_lone_surrogate_in_the_path(reader):
    with pytest.raises(UnicodeEncodeError) as info:
        READERS[reader]("block\udc80.bin")
    assert not str(info.value).startswith("argument")


def test_relative_paths_and_str_subclasses(tmp_path, monkeypatch):
    class Name(str):
        pass

    monkeypatch.chdir(tmp_path)
    (tmp_path / "b.bin").write_bytes(AB_BLOCK)
    assert stats(Name("b.bin")) == (1, 23)
    assert read_at(file_path=Name("b.bin"), offset=8) == AB_ENTRY + (23,)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    ("offset", "expected"),
    [
        (Index(8), ("ok", AB_ENTRY + (23,))),
        (True, ("ok", ("", 0, 0, [], 8))),
        (2**40, ("ok", None)),
        (2**63, (OSError, "Invalid argument (os error 22)")),
        (2**64 - 1, (OSError, "Invalid argument (os error 22)")),
        (-1, (OverflowError, "can't convert negative int to unsigned")),
        (2**64, (OverflowError, "int too big to convert")),
    ],
)
def test_offsets(block, offset, expected):
    path = block(AB_BLOCK)

    def outcome_of(function):
        try:
            return ("ok", function(path, offset))
        except (OSError, OverflowError) as error:
            return (type(error), str(error))

    assert outcome_of(read_at) == expected
    oracle = outcome_of(ref.read_term_at_offset)
    assert oracle[0] == expected[0]
    if expected[0] is not OSError:  # the oracle's OSError text is Python's own
        assert oracle == expected


def test_arguments_are_converted_in_order_before_the_file_is_opened(tmp_path):
    missing = str(tmp_path / "missing.bin")
    raises(TypeError, "argument 'file_path': 'int' object cannot be cast as 'str'", read_at, 5, "x")
    message = "argument 'offset': 'str' object cannot be interpreted as an integer"
    raises(TypeError, message, read_at, missing, "x")
    raises(OverflowError, "can't convert negative int to unsigned", read_at, missing, -1)
    # Opening comes before the seek.
    raises(FileNotFoundError, "No such file or directory (os error 2)", read_at, missing, 2**63)


# --- truncation, corruption and memory ------------------------------------------------------


def sample_block(directory: Path) -> tuple[str, bytes]:
    terms = ["", "\u00e9t\u00e9", "long" * 40, "\U0001f600", "z"]
    doc_freqs = [(0, 0), (300, 2**40), (2**64 - 1, 1), (5, 2**63), (1, 1)]
    postings = [
        [],
        [(9, 1, 1), (3, 2, 0)],
        [(i * 7, i, -i) for i in range(30)],
        [(-1, 0, 0)],
        [(2, 2, 2)],
    ]
    path = directory / "sample.bin"
    quorbel.write_binary_block(terms, doc_freqs, postings, str(path))
    return str(path), path.read_bytes()


def entry_offsets(path: str) -> list[int]:
    offsets = [8]
    while (entry := read_at(path, offsets[-1])) is not None:
        offsets.append(entry[4])
    return offsets


DOCUMENTED_FAILURES = {(OSError, SHORT_READ), (ValueError, UNEXPECTED_END)}


def test_a_block_cut_at_every_byte(tmp_path, block):
    full_path, data = sample_block(tmp_path)
    full_entries = iter_terms(full_path)
    offsets = entry_offsets(full_path)
    by_offset = {offset: read_at(full_path, offset) for offset in offsets}
    for cut in range(len(data) + 1):
        path = block(data[:cut])
        results = {
            "stats": outcome(stats, path),
            "iter": outcome(iter_terms, path),
            **{offset: outcome(read_at, path, offset) for offset in offsets},
        }
        expected = {
            "stats": outcome(ref.get_block_stats, path),
            "iter": outcome(ref.iter_block_terms, path),
            **{offset: outcome(ref.read_term_at_offset, path, offset) for offset in offsets},
        }
        assert results == expected, cut
        for key, (status, value) in results.items():
            if status != "ok":
                assert (status, value) in DOCUMENTED_FAILURES, (cut, key)
            elif key == "iter":
                # A clean end at an entry boundary yields the entries before it.
                assert value == full_entries[: len(value)]
            elif key != "stats":
                assert value in (None, by_offset[key])


MEMORY_CHILD = textwrap.dedent(
    """
    import resource, sys
    import quorbel

    def vm_size_bytes():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    with open("/proc/self/maps") as maps:
        sanitized = "asan" in maps.read()
    if not sanitized:
        # Reserving (not only touching) far beyond the file now fails loudly.
        limit = vm_size_bytes() + 512 * 2**20
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    try:
        result = ("ok", eval(sys.argv[2], vars(quorbel), {"path": sys.argv[1]}))
    except Exception as error:
        result = (type(error).__name__, str(error))
    growth = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    print(repr(result))
    print(growth)
    """
)


def run_in_child(path: str, call: str):
    done = subprocess.run(
        [sys.executable, "-c", MEMORY_CHILD, path, call],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert done.returncode == 0, done.stderr
    result_line, growth_line = done.stdout.splitlines()
    return eval(result_line), int(growth_line) * 1024


HOSTILE = {
    "term length 2**32-1": (
        header(1) + h("ff ff ff ff") + b"abc",
        ["iter_block_terms(path)", "read_term_at_offset(path, 8)"],
        ("OSError", SHORT_READ),
    ),
    "term length 2**32-1 with 3 MiB behind it": (
        header(1) + h("ff ff ff ff") + b"a" * (3 * 2**20),
        ["iter_block_terms(path)"],
        ("OSError", SHORT_READ),
    ),
    "posting length 2**63": (
        header(1) + entry_bytes(b"a", "00 00 80 80 80 80 80 80 80 80 80 01", b"\x01" * 100),
        ["iter_block_terms(path)", "read_term_at_offset(path, 8)"],
        ("OSError", SHORT_READ),
    ),
    "posting length 2**64-1": (
        header(1) + entry_bytes(b"a", "00 00 ff ff ff ff ff ff ff ff ff 01", b"\x01" * 100_000),
        ["iter_block_terms(path)"],
        ("OSError", SHORT_READ),
    ),
    "entry count 2**64-1": (
        header(2**64 - 1) + AB_BLOCK[8:] * 2,
        ["iter_block_terms(path)"],
        ("ok", [AB_ENTRY, AB_ENTRY]),
    ),
}


@pytest.mark.parametrize("name", HOSTILE)
def test_corrupt_lengths_fail_with_little_memory(block, name):
    data, calls, expected = HOSTILE[name]
    path = block(data)
    for call in calls:
        result, growth = run_in_child(path, call)
        assert result == expected, call
        assert growth < 64 * 2**20, (call, growth)


# --- pipes ----------------------------------------------------------------------------------

FEEDER = textwrap.dedent(
    """
    import os, sys, time
    data = sys.stdin.buffer.read()
    fd = os.open(sys.argv[1], os.O_WRONLY)
    sizes = [1, 2, 3, 5, 7, 700, 9000]
    position = 0
    for step in range(len(data)):
        if position >= len(data):
            break
        size = sizes[step % len(sizes)]
        try:
            os.write(fd, data[position:position + size])
        except BrokenPipeError:
            break
        position += size
        time.sleep(0.002)
    os.close(fd)
    """
)


def read_from_fifo(tmp_path, data: bytes, function, *args):
    """Calls `function` on a FIFO that a child process fills a few bytes at a time."""
    # The call keeps the interpreter attached while it blocks in open and read, so the feeder must
    # be another process, not a thread.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    feeder = subprocess.Popen(
        [sys.executable, "-c", FEEDER, str(fifo)], stdin=subprocess.PIPE, stderr=subprocess.DEVNULL
    )
    feeder.stdin.write(data)
    feeder.stdin.close()
    faulthandler.dump_traceback_later(120, exit=True)
    try:
        return outcome(function, str(fifo), *args)
    finally:
        faulthandler.cancel_dump_traceback_later()
        feeder.wait(timeout=60)


def test_a_pipe_fed_slowly_gives_every_entry(tmp_path):
    terms = ["a", "b" * 9000, "\u00e9" * 5000, "c"]
    doc_freqs = [(1, 2), (2**64 - 1, 3), (2**40, 0), (0, 0)]
    postings = [[(1, 1, 1)], [(i, 1, 0) for i in range(4000)], [(-3, 1, 2)] * 10, []]
    quorbel.write_binary_block(terms, doc_freqs, postings, str(tmp_path / "block.bin"))
    data = (tmp_path / "block.bin").read_bytes()
    expected = [(t, f[0], f[1], p) for t, f, p in zip(terms, doc_freqs, postings)]
    assert read_from_fifo(tmp_path, data, iter_terms) == ("ok", expected)


def test_a_pipe_gives_its_header_and_size_zero_but_cannot_seek(tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    assert read_from_fifo(tmp_path / "a", AB_BLOCK, stats) == ("ok", (1, 0))
    seek_failure = (OSError, "Illegal seek (os error 29)")
    assert read_from_fifo(tmp_path / "b", AB_BLOCK, read_at, 8) == seek_failure


# --- round trips ----------------------------------------------------------------------------

int32 = st.integers(-(2**31), 2**31 - 1)
blocks = st.lists(
    st.tuples(
        st.text(max_size=10),
        st.tuples(st.integers(0, 2**64 - 1), st.integers(0, 2**64 - 1)),
        st.lists(st.tuples(int32, int32, int32), max_size=8),
    ),
    max_size=10,
)


@settings(max_examples=150, deadline=None)
@given(blocks)
def test_written_blocks_read_back_exactly(tmp_path_factory, block_entries):
    path = str(tmp_path_factory.mktemp("round") / "block.bin")
    terms = [term for term, _, _ in block_entries]
    doc_freqs = [freqs for _, freqs, _ in block_entries]
    postings = [plist for _, _, plist in block_entries]
    quorbel.write_binary_block(terms, doc_freqs, postings, path)
    expected = [(t, f[0], f[1], p) for t, f, p in zip(terms, doc_freqs, postings)]
    size = os.path.getsize(path)

    assert stats(path) == (len(expected), size) == ref.get_block_stats(path)
    assert iter_terms(path) == expected == ref.iter_block_terms(path)

    walked, offset = [], 8
    while (entry := read_at(path, offset)) is not None:
        assert entry == ref.read_term_at_offset(path, offset)
        walked.append(entry[:4])
        assert entry[4] > offset
        offset = entry[4]
    assert walked == expected
    assert offset == size


@settings(max_examples=150, deadline=None)
@given(blocks, st.data())
def test_any_offset_reads_like_the_reference(tmp_path_factory, block_entries, data):
    path = str(tmp_path_factory.mktemp("offsets") / "block.bin")
    quorbel.write_binary_block(
        [t for t, _, _ in block_entries],
        [f for _, f, _ in block_entries],
        [p for _, _, p in block_entries],
        path,
    )
    offset = data.draw(st.integers(0, os.path.getsize(path) + 2))
    assert outcome(read_at, path, offset) == outcome(ref.read_term_at_offset, path, offset)


def test_many_entries_cross_the_read_buffer_at_every_alignment(tmp_path):
    count = 3000
    terms = [f"t{i}" * (i % 5) for i in range(count)]
    doc_freqs = [(2**64 - 1 - i, 2**35 + i) for i in range(count)]
    postings = [[(i, -1, 2), (i - 3, 0, 1)][: i % 3] for i in range(count)]
    path = str(tmp_path / "block.bin")
    quorbel.write_binary_block(terms, doc_freqs, postings, path)
    expected = [(t, f[0], f[1], p) for t, f, p in zip(terms, doc_freqs, postings)]
    assert iter_terms(path) == expected
    assert os.path.getsize(path) > 8 * 8192
