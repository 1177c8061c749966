"""write_binary_block: the bytes it writes, the order of its checks and its failures."""

import collections
import os
import pathlib
import stat

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorbel

import reference as ref
from implementations import module_and_oracle

write = quorbel.write_binary_block


def h(text: str) -> bytes:
    return bytes.fromhex(text)


HEADER_1 = "01 00 00 00 00 00 00 00"

# (terms, doc_freqs, postings, file bytes)
WORKED_FILES = {
    "empty block": ([], [], [], "00 00 00 00 00 00 00 00"),
    "term ab": (
        ["ab"],
        [(2, 1)],
        [[(5, 3, 0), (7, 1, 1)]],
        HEADER_1 + "02 00 00 00  61 62  02 01 06  05 03 00 02 01 01",
    ),
    "empty term, no postings": ([""], [(0, 0)], [[]], HEADER_1 + "00 00 00 00  00 00 00"),
    "two-byte character and a two-byte varint": (
        ["\u00e9"],
        [(300, 0)],
        [[(1, 1, 0)]],
        HEADER_1 + "02 00 00 00  c3 a9  ac 02 00 03  01 01 00",
    ),
    "descending doc ids keep their order": (
        ["t"],
        [(2, 0)],
        [[(7, 0, 0), (5, 0, 0)]],
        HEADER_1 + "01 00 00 00 74 02 00 0f  07 00 00  fe ff ff ff ff ff ff ff ff 01 00 00",
    ),
    "negative first doc id": (
        ["t"],
        [(1, 0)],
        [[(-1, 0, 0)]],
        HEADER_1 + "01 00 00 00 74 01 00 0c  ff ff ff ff ff ff ff ff ff 01 00 00",
    ),
    "largest frequency": (
        ["t"],
        [(2**64 - 1, 0)],
        [[]],
        HEADER_1 + "01 00 00 00 74  ff ff ff ff ff ff ff ff ff 01  00 00",
    ),
    "smallest 32-bit values": (
        ["t"],
        [(0, 0)],
        [[(-(2**31), -(2**31), -(2**31))]],
        HEADER_1
        + "01 00 00 00 74 00 00 1e"
        + " 80 80 80 80 f8 ff ff ff ff 01" * 3,
    ),
    "terms repeated and out of order": (
        ["b", "a", "b"],
        [(1, 0), (2, 0), (3, 0)],
        [[], [], []],
        "03 00 00 00 00 00 00 00"
        + " 01 00 00 00 62 01 00 00  01 00 00 00 61 02 00 00  01 00 00 00 62 03 00 00",
    ),
}


@pytest.mark.parametrize("name", WORKED_FILES)
def test_writes_the_documented_bytes(implementation, tmp_path, name):
    terms, doc_freqs, postings, expected = WORKED_FILES[name]
    target = tmp_path / "block.bin"
    target.write_bytes(b"an older and much longer file that must be truncated")
    assert implementation.write_binary_block(terms, doc_freqs, postings, str(target)) is None
    assert target.read_bytes() == h(expected)


class Index:
    """An object that is not an int but converts through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class StrSubclass(str):
    pass


Pair = collections.namedtuple("Pair", "content title")
Triple = collections.namedtuple("Triple", "doc_id content_freq title_freq")


def test_accepts_any_sequences_int_likes_and_subclasses(tmp_path):
    target = tmp_path / "block.bin"
    write(
        (StrSubclass("ab"),),
        [Pair(Index(2), True)],
        ([Triple(Index(5), 3, False), (7, True, 1)],),
        StrSubclass(str(target)),
    )
    assert target.read_bytes() == h(WORKED_FILES["term ab"][3])


def test_writing_over_a_longer_file_leaves_only_the_new_content(tmp_path):
    target = tmp_path / "block.bin"
    target.write_bytes(b"\xaa" * 10_000)
    write(["ab"], [(2, 1)], [[(5, 3, 0), (7, 1, 1)]], str(target))
    assert target.read_bytes() == h(WORKED_FILES["term ab"][3])


def test_new_file_gets_0666_less_umask_and_an_existing_file_keeps_its_mode(tmp_path):
    fresh = tmp_path / "fresh.bin"
    old_mask = os.umask(0o027)
    try:
        write([], [], [], str(fresh))
    finally:
        os.umask(old_mask)
    assert stat.S_IMODE(fresh.stat().st_mode) == 0o640

    existing = tmp_path / "existing.bin"
    existing.write_bytes(b"old")
    existing.chmod(0o600)
    write([], [], [], str(existing))
    assert stat.S_IMODE(existing.stat().st_mode) == 0o600
    assert existing.read_bytes() == bytes(8)


def test_relative_paths_start_at_the_current_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write([], [], [], "relative.bin")
    assert (tmp_path / "relative.bin").read_bytes() == bytes(8)


# Sizes around the 8192-byte buffer: pieces of 8192 bytes or more bypass it, and smaller pieces
# that do not fit make it drain first.
EDGE_SIZES = [8190, 8191, 8192, 8193, 20_000]


@pytest.mark.parametrize("size", EDGE_SIZES)
def test_long_terms_are_written_whole(tmp_path, size):
    # Each term is preceded by a small entry, so the long piece arrives with the buffer part full.
    term = ("\u00e9" * size)[: size // 2] + "x" * (size - 2 * (size // 2))
    assert len(term.encode()) == size
    terms = ["lead", term, "tail", term]
    doc_freqs = [(1, 2), (3, 4), (5, 6), (7, 8)]
    postings = [[(1, 1, 1)], [(2, 2, 2)], [], [(3, 3, 3)]]
    target = tmp_path / "block.bin"
    write(terms, doc_freqs, postings, str(target))
    expected = tmp_path / "expected.bin"
    ref.write_binary_block(terms, doc_freqs, postings, str(expected))
    assert target.read_bytes() == expected.read_bytes()


@pytest.mark.parametrize("count", [2730, 2731, 2732, 6000])
def test_long_posting_lists_are_written_whole(tmp_path, count):
    # Three bytes per posting: 2730 postings give 8190 bytes, 2731 give 8193.
    postings = [[(1, 1, 1)] * count, [(-5, 2**31 - 1, 0)] * count]
    target = tmp_path / "block.bin"
    write(["a", "b"], [(count, 0), (count, 1)], postings, str(target))
    expected = tmp_path / "expected.bin"
    ref.write_binary_block(["a", "b"], [(count, 0), (count, 1)], postings, str(expected))
    assert target.read_bytes() == expected.read_bytes()


def test_many_small_entries_cross_the_buffer_boundary_intact(tmp_path):
    terms = [f"term{i:05d}" for i in range(3000)]
    doc_freqs = [(i, 2**40 + i) for i in range(3000)]
    postings = [[(i, i % 7, 1), (i // 2, 0, 0)] for i in range(3000)]
    target = tmp_path / "block.bin"
    write(terms, doc_freqs, postings, str(target))
    expected = tmp_path / "expected.bin"
    ref.write_binary_block(terms, doc_freqs, postings, str(expected))
    assert target.read_bytes() == expected.read_bytes()


int32 = st.integers(-(2**31), 2**31 - 1)
blocks = st.lists(
    st.tuples(
        st.text(max_size=12),
        st.tuples(st.integers(0, 2**64 - 1), st.integers(0, 2**64 - 1)),
        st.lists(st.tuples(int32, int32, int32), max_size=8),
    ),
    max_size=12,
)


@settings(max_examples=150, deadline=None)
@given(blocks)
def test_random_blocks_match_the_reference_writer(tmp_path_factory, block):
    terms = [term for term, _, _ in block]
    doc_freqs = [freqs for _, freqs, _ in block]
    postings = [plist for _, _, plist in block]
    directory = tmp_path_factory.mktemp("random")
    write(terms, doc_freqs, postings, str(directory / "native.bin"))
    ref.write_binary_block(terms, doc_freqs, postings, str(directory / "reference.bin"))
    assert (directory / "native.bin").read_bytes() == (directory / "reference.bin").read_bytes()


# --- refusals before the file is touched ---------------------------------------------------

GOOD = {"terms": ["ab"], "doc_freqs": [(2, 1)], "postings": [[(5, 3, 0)]]}


class IterationFails:
    """A sequence whose iteration raises `error`."""

    def __init__(self, error):
        self.error = error

    def __len__(self):
        return 1

    def __getitem__(self, index):
        raise IndexError

    def __iter__(self):
        raise self.error


# (argument, value, exception class, message) of values that the oracle refuses alike
REFUSALS = [
    ("doc_freqs", [(2, 1, 0)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ("doc_freqs", [(2,)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ("doc_freqs", [(-1, 0)], OverflowError, "can't convert negative int to unsigned"),
    ("doc_freqs", [(0, 2**64)], OverflowError, "int too big to convert"),
    ("postings", [[(5, 3)]], ValueError, "expected tuple of length 3, but got tuple of length 2"),
    (
        "postings",
        [[(0, 0, 2**31)]],
        OverflowError,
        "out of range integral type conversion attempted",
    ),
    (
        "postings",
        [[(-(2**31) - 1, 0, 0)]],
        OverflowError,
        "out of range integral type conversion attempted",
    ),
]
# Only the module: arguments of the wrong type and values beyond 64 bits.
MODULE_REFUSALS = [
    ("terms", "abc", TypeError, "argument 'terms': Can't extract `str` to `Vec`"),
    ("terms", {"a"}, TypeError, "argument 'terms': 'set' object cannot be cast as 'Sequence'"),
    ("terms", None, TypeError, "argument 'terms': 'NoneType' object cannot be cast as 'Sequence'"),
    ("terms", [b"ab"], TypeError, "argument 'terms': 'bytes' object cannot be cast as 'str'"),
    ("terms", [1], TypeError, "argument 'terms': 'int' object cannot be cast as 'str'"),
    ("doc_freqs", "ab", TypeError, "argument 'doc_freqs': Can't extract `str` to `Vec`"),
    (
        "doc_freqs",
        [[2, 1]],
        TypeError,
        "argument 'doc_freqs': 'list' object cannot be cast as 'tuple'",
    ),
    (
        "doc_freqs",
        [(1.5, 0)],
        TypeError,
        "argument 'doc_freqs': 'float' object cannot be interpreted as an integer",
    ),
    ("postings", "x", TypeError, "argument 'postings': Can't extract `str` to `Vec`"),
    ("postings", ["x"], TypeError, "argument 'postings': Can't extract `str` to `Vec`"),
    ("postings", [5], TypeError, "argument 'postings': 'int' object cannot be cast as 'Sequence'"),
    (
        "postings",
        [[[5, 3, 0]]],
        TypeError,
        "argument 'postings': 'list' object cannot be cast as 'tuple'",
    ),
    ("postings", [[(2**63, 0, 0)]], OverflowError, "Python int too large to convert to C long"),
    (
        "postings",
        [[(0, "1", 0)]],
        TypeError,
        "argument 'postings': 'str' object cannot be interpreted as an integer",
    ),
    (
        "terms",
        IterationFails(TypeError("no iterating")),
        TypeError,
        "argument 'terms': no iterating",
    ),
    ("postings", IterationFails(RuntimeError("no iterating")), RuntimeError, "no iterating"),
    ("output_path", 5, TypeError, "argument 'output_path': 'int' object cannot be cast as 'str'"),
    (
        "output_path",
        b"block.bin",
        TypeError,
        "argument 'output_path': 'bytes' object cannot be cast as 'str'",
    ),
    (
        "output_path",
        pathlib.PurePosixPath("block.bin"),
        TypeError,
        "argument 'output_path': 'PurePosixPath' object cannot be cast as 'str'",
    ),
]


@pytest.mark.parametrize(
    ("implementation", "argument", "value", "error", "message"),
    module_and_oracle(REFUSALS, MODULE_REFUSALS),
)
def test_refuses_bad_arguments_and_leaves_the_file_alone(
    tmp_path, implementation, argument, value, error, message
):
    target = tmp_path / "block.bin"
    target.write_bytes(b"keep")
    arguments = dict(GOOD, output_path=str(target))
    arguments[argument] = value
    with pytest.raises(error) as info:
        implementation.write_binary_block(**arguments)
    assert type(info.value) is error
    assert str(info.value) == message
    assert target.read_bytes() == b"keep"


def test_a_pathlib_path_is_refused(tmp_path):
    target = tmp_path / "block.bin"
    with pytest.raises(TypeError, match=r"^argument 'output_path': 'PosixPath' object cannot be"):
        write([], [], [], target)
    assert not target.exists()


@pytest.mark.parametrize("argument", ["terms", "output_path"])
def test_lone_surrogates_raise_unicode_encode_error_without_prefix(tmp_path, argument):
    target = tmp_path / "block.bin"
    arguments = dict(GOOD, output_path=str(target))
    arguments[argument] = ["a\ud800"] if argument == "terms" else str(target) + "\udc80"
    with pytest.raises(UnicodeEncodeError) as info:
        write(**arguments)
    assert not str(info.value).startswith("argument")
    assert list(tmp_path.iterdir()) == []


def test_arguments_convert_in_order_and_completely_before_the_length_check(tmp_path):
    # Both terms and doc_freqs are bad: terms is reported.
    with pytest.raises(TypeError, match=r"^argument 'terms'"):
        write([1], [[0]], [], str(tmp_path / "x"))
    # A bad item late in terms still comes before a bad doc_freqs.
    with pytest.raises(TypeError, match=r"^argument 'terms'"):
        write(["a"] * 100 + [None], [[0]], [], str(tmp_path / "x"))
    # The lengths differ, but the path is converted first.
    with pytest.raises(TypeError, match=r"^argument 'output_path'"):
        write(["a"], [], [], None)


def test_a_failing_len_is_ignored(tmp_path):
    class BadLength:
        def __getitem__(self, index):
            return ["ab"][index]

        def __len__(self):
            raise RuntimeError("no length")

    target = tmp_path / "block.bin"
    write(BadLength(), [(2, 1)], [[(5, 3, 0), (7, 1, 1)]], str(target))
    assert target.read_bytes() == h(WORKED_FILES["term ab"][3])


@pytest.mark.parametrize(
    ("terms", "doc_freqs", "postings"),
    [
        (["a"], [], [[]]),
        (["a"], [(0, 0)], []),
        ([], [(0, 0)], [[]]),
        (["a", "b"], [(0, 0)], [[], []]),
    ],
)
def test_lists_of_different_lengths_are_refused(
    implementation, tmp_path, terms, doc_freqs, postings
):
    target = tmp_path / "block.bin"
    target.write_bytes(b"keep")
    with pytest.raises(ValueError) as info:
        implementation.write_binary_block(terms, doc_freqs, postings, str(target))
    assert str(info.value) == "terms, doc_freqs, and postings must have the same length"
    assert target.read_bytes() == b"keep"


def memory_available_bytes():
    try:
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


@pytest.mark.skipif(
    memory_available_bytes() < 12 * 2**30, reason="needs a 4 GiB string and room to spare"
)
def test_a_term_of_4_gib_is_refused_before_the_file_is_touched(tmp_path):
    target = tmp_path / "block.bin"
    target.write_bytes(b"keep")
    huge = "a" * 2**32
    try:
        with pytest.raises(ValueError, match="term too long for a block file"):
            write(["ok", huge], [(0, 0)], [[]], str(target))
    finally:
        del huge
    assert target.read_bytes() == b"keep"


# --- failures of the file system ------------------------------------------------------------


@pytest.mark.parametrize(
    ("path", "error", "message"),
    [
        ("missing/block.bin", FileNotFoundError, "No such file or directory (os error 2)"),
        ("", FileNotFoundError, "No such file or directory (os error 2)"),
        (".", IsADirectoryError, "Is a directory (os error 21)"),
        ("file/block.bin", NotADirectoryError, "Not a directory (os error 20)"),
        ("block\0.bin", OSError, "file name contained an unexpected NUL byte"),
    ],
)
def test_a_file_that_cannot_be_created(tmp_path, monkeypatch, path, error, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "file").write_bytes(b"")
    with pytest.raises(OSError) as info:
        write(["a"], [(0, 0)], [[]], path)
    assert type(info.value) is error
    assert str(info.value) == message
    assert info.value.errno is None
    assert sorted(p.name for p in tmp_path.iterdir()) == ["file"]


@pytest.mark.skipif(os.geteuid() == 0, reason="root is not refused")
def test_a_read_only_directory_gives_permission_error(tmp_path):
    locked = tmp_path / "locked"
    locked.mkdir(mode=0o500)
    with pytest.raises(PermissionError, match=r"^Permission denied \(os error 13\)$"):
        write([], [], [], str(locked / "block.bin"))


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("term_size", [0, 100, 8192, 50_000])
def test_a_full_disk_is_reported(term_size):
    # Small blocks fail when the buffer is drained at the end, large terms when written straight.
    with pytest.raises(OSError) as info:
        write(["t" * term_size], [(1, 1)], [[(1, 1, 1)]], "/dev/full")
    assert type(info.value) is OSError
    assert str(info.value) == "No space left on device (os error 28)"
