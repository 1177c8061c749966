"""Allocation failures: memory exhaustion is a MemoryError, never the end of the process.

The interpreter's own allocation-failure hook (_testcapi.set_nomemory, which makes the allocations
numbered start to stop fail) lets a child process fail every allocation of module creation and of
each function in turn, one at a time:

* module creation: each failure is a MemoryError from the import that leaves nothing cached, so
  the next attempt starts again, until the module is created.
* every function: each failure gives MemoryError (or the call's ordinary outcome, when the failed
  allocation was one it can do without); never a crash, a SystemError or a wrong result.

Native buffers that cannot be allocated (an address-space limit in a child) give MemoryError too,
and the process goes on.
"""

import os
import subprocess
import sys
import textwrap

import pytest

import quorbel

try:
    import _testcapi
except ImportError:  # interpreters configured without their test modules
    _testcapi = None

needs_nomemory = pytest.mark.skipif(
    _testcapi is None or not hasattr(_testcapi, "set_nomemory"),
    reason="needs the interpreter's _testcapi.set_nomemory",
)


def run_child(code: str, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        timeout=300,  # only to detect a hang
    )


CREATION_SWEEP = """
    import importlib.util, sys, _testcapi

    module_spec = importlib.util.find_spec("quorbel")
    for n in range(100_000):
        _testcapi.set_nomemory(n, n + 1)
        try:
            module = module_spec.loader.create_module(module_spec)
        except BaseException as error:
            _testcapi.remove_mem_hooks()
            print(n, type(error).__name__, flush=True)
            continue
        _testcapi.remove_mem_hooks()
        print(n, "created", flush=True)
        break
"""


@needs_nomemory
def test_every_failed_allocation_of_module_creation_is_a_memory_error_and_retried():
    done = run_child(CREATION_SWEEP)
    assert done.returncode == 0, (done.returncode, done.stdout, done.stderr)
    # Every attempt failed with an ordinary MemoryError and left nothing behind, until one
    # succeeded; the sweep reached every allocation of module creation.
    outcomes = [line.split()[1] for line in done.stdout.splitlines()]
    assert len(outcomes) > 20, done.stdout
    assert set(outcomes[:-1]) == {"MemoryError"} and outcomes[-1] == "created", done.stdout


@needs_nomemory
def test_a_failed_module_creation_caches_nothing():
    done = run_child(
        """
        import _testcapi, importlib.util
        module_spec = importlib.util.find_spec("quorbel")
        _testcapi.set_nomemory(0, 1)
        try:
            module_spec.loader.create_module(module_spec)
            raise SystemExit("the first allocation did not fail")
        except MemoryError:
            pass
        finally:
            _testcapi.remove_mem_hooks()
        import quorbel
        assert quorbel.__all__[3:] == [
            "encode_posting_list", "encode_varint", "decode_posting_list", "read_term_at_offset",
            "iter_block_terms", "write_binary_block", "get_block_stats", "merge_posting_lists",
            "read_varint",
        ], quorbel.__all__
        assert quorbel.encode_varint(300) == b"\\xac\\x02"
        print("ok")
        """
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["ok"]


CALL_SWEEP = """
    import io, os, sys, _testcapi
    import quorbel as q

    directory = sys.argv[1]
    good = os.path.join(directory, "good.bin")
    q.write_binary_block(["ab", "\\u00e9"], [(2, 1), (2**64 - 1, 4)], [[(5, 3, 0), (7, 1, 1)], [(1, 1, 1)] * 50], good)
    bad = os.path.join(directory, "bad.bin")
    with open(bad, "wb") as f:
        f.write(bytes.fromhex("0100000000000000 01000000 ff 000000"))
    postings = [(i, i % 3, 1) for i in range(100)]
    encoded = q.encode_posting_list(postings)

    class Index:
        def __index__(self):
            return 8

    # Arguments are built beforehand and the functions called straight from outcome(), so that no
    # Python code of the test allocates while the failure is armed.
    cases = {
        "encode_varint": (q.encode_varint, (2**40,), {}),
        "encode_posting_list": (q.encode_posting_list, (postings,), {}),
        "encode_posting_list keywords": (q.encode_posting_list, (), {"assume_sorted": True, "postings": postings}),
        "decode_posting_list": (q.decode_posting_list, (encoded,), {}),
        "merge_posting_lists": (q.merge_posting_lists, ([encoded, encoded],), {}),
        "write_binary_block": (q.write_binary_block, (("a", "b"), [(1, 2), (3, 4)], [postings, []], os.path.join(directory, "out.bin")), {}),
        "get_block_stats": (q.get_block_stats, (good,), {}),
        "iter_block_terms": (q.iter_block_terms, (good,), {}),
        "read_term_at_offset": (q.read_term_at_offset, (good, Index()), {}),
        "read_varint": (q.read_varint, (io.BytesIO(b"\\xac\\x02"),), {}),
        "binding error": (q.read_term_at_offset, ("p",), {"file_path": "q"}),
        "cast error": (q.decode_posting_list, (bytearray(2),), {}),
        "prefixed error": (q.encode_varint, ("x",), {}),
        "decode error": (q.decode_posting_list, (encoded + b"\\x80",), {}),
        "posting error": (q.encode_posting_list, (postings + [(1, 2)],), {}),
        "utf-8 error": (q.iter_block_terms, (bad,), {}),
        "os error": (q.get_block_stats, (os.path.join(directory, "missing"),), {}),
        "read error": (q.read_varint, (io.StringIO(),), {}),
        "wrapped read error": (q.read_varint, (object(),), {}),
    }

    def outcome(case, failing=None):
        function, args, kwargs = case
        if isinstance(args[0] if args else None, io.BytesIO):
            args[0].seek(0)
        # Give this frame its frame object now: the interpreter would otherwise allocate it while
        # the exception unwinds, and lose the exception if that allocation is the failing one.
        sys._getframe()
        value = error = None
        if failing is not None:
            _testcapi.set_nomemory(failing, failing + 1)
        try:
            value = function(*args, **kwargs)
        except Exception as raised:
            error = raised
        finally:
            _testcapi.remove_mem_hooks()
        if error is not None:
            return (type(error).__name__, str(error))
        return ("ok", value)

    def acceptable(result, expected):
        if result == expected or result[0] == "MemoryError":
            return True
        # A type name that cannot be read under memory pressure has a documented stand-in.
        if result[0] == expected[0] and "<failed to extract type name>" in result[1]:
            return True
        # read_varint reports whatever f.read raised, a MemoryError included, as a read failure.
        return result[0] == "OSError" and result[1].startswith("Error reading file: MemoryError")

    failures = []
    for name, case in cases.items():
        expected = outcome(case)
        first_ok = None
        n = 0
        # Past the last allocation the call is unaffected; go on a little to be sure.
        while first_ok is None or n < first_ok + 30:
            result = outcome(case, failing=n)
            if result == expected and first_ok is None:
                first_ok = n
            elif not acceptable(result, expected):
                failures.append((name, n, result, expected))
            n += 1
            if n > 20_000:
                failures.append((name, "never unaffected"))
                break
        print(name, first_ok, flush=True)
    print("failures", failures)
"""


@needs_nomemory
def test_every_allocation_failure_in_a_call_is_a_memory_error(tmp_path):
    done = run_child(CALL_SWEEP, str(tmp_path))
    assert done.returncode == 0, done.stderr[-5000:]
    assert done.stdout.splitlines()[-1] == "failures []", done.stdout


NATIVE_EXHAUSTION = """
    import resource, sys
    import quorbel

    function = sys.argv[1]
    # Built before the limit: little Python memory for the lists (one shared tuple), while the
    # native posting vector of each call needs 240 MB or more.
    postings = [(1, 2, 3)] * 20_000_000
    data = b"\\x01\\x00\\x00" * 50_000_000
    small = [(5, 3, 0), (7, 1, 1)]
    calls = {
        "encode_posting_list": lambda p: quorbel.encode_posting_list(p, True),
        "decode_posting_list": lambda p: quorbel.decode_posting_list(quorbel.encode_posting_list(p, True)),
        "merge_posting_lists": lambda p: quorbel.merge_posting_lists([quorbel.encode_posting_list(p, True)]),
        "write_binary_block": lambda p: quorbel.write_binary_block(["a"], [(1, 1)], [p], sys.argv[2]),
    }
    too_large = {
        "encode_posting_list": lambda: calls[function](postings),
        "decode_posting_list": lambda: quorbel.decode_posting_list(data),
        "merge_posting_lists": lambda: quorbel.merge_posting_lists([data]),
        "write_binary_block": lambda: calls[function](postings),
    }[function]

    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    limit = size + 100 * 2**20
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    # Repeated failures leave nothing behind: the room a mid-sized call needs is still there.
    for attempt in range(10):
        try:
            too_large()
        except MemoryError:
            pass
        else:
            sys.exit("the call fitted in the limit")
    mid = calls[function](postings[:500_000])
    print("MemoryError", mid is None or len(mid) > 0, calls[function](small))
"""

SMALL = [(5, 3, 0), (7, 1, 1)]
NATIVE_EXPECTED = {
    "encode_posting_list": lambda: quorbel.encode_posting_list(SMALL, True),
    "decode_posting_list": lambda: SMALL,
    "merge_posting_lists": lambda: quorbel.merge_posting_lists([quorbel.encode_posting_list(SMALL, True)]),
    "write_binary_block": lambda: None,
}


@pytest.mark.skipif(
    os.environ.get("QUORBEL_SANITIZE_SKIP_SLOW") == "1",
    reason="the sanitizers reserve far more address space than the limit leaves",
)
@pytest.mark.parametrize("function", sorted(NATIVE_EXPECTED))
def test_native_memory_exhaustion_is_a_memory_error_and_the_process_goes_on(tmp_path, function):
    done = run_child(NATIVE_EXHAUSTION, function, str(tmp_path / "out.bin"))
    assert done.returncode == 0, (done.returncode, done.stdout, done.stderr[-3000:])
    # The same result as in a process that never ran short.
    expected = repr(NATIVE_EXPECTED[function]())
    assert done.stdout.split(" ", 2) == ["MemoryError", "True", expected + "\n"], done.stdout
