"""Type objects that quorbel looks up on first use (collections.abc.Sequence, io.TextIOBase) are
looked up by running Python code: an import and an attribute lookup. That code may call quorbel
again before the first look-up has finished, on the same thread (an import hook) or on a thread
that the first caller waits for. Neither may deadlock: both calls complete with their ordinary
results.

Each case runs in a fresh child process, so that the look-up really is the first one; the timeout
only turns a deadlock into a failure.
"""

import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent(
    """
    import builtins, io, sys, threading
    import quorbel

    lookup, where = sys.argv[1:3]
    calls = {
        # A set is not a sequence: building that error needs collections.abc.Sequence.
        "collections.abc": lambda: quorbel.write_binary_block({"a"}, [], [], "unused"),
        # The text-stream check needs io.TextIOBase.
        "io": lambda: quorbel.read_varint(io.BytesIO(b"\\xac\\x02")),
    }
    call = calls[lookup]

    def outcome():
        try:
            return repr(call())
        except Exception as error:
            return f"{type(error).__name__}: {error}"

    inner = []
    original_import = builtins.__import__

    def hook(name, *args, **kwargs):
        if name == lookup and not inner:
            inner.append(None)  # only once
            if where == "same thread":
                inner[0] = outcome()
            else:
                def other():
                    inner[0] = outcome()
                thread = threading.Thread(target=other)
                thread.start()
                thread.join()  # waits for a thread that needs the very look-up under way
        return original_import(name, *args, **kwargs)

    builtins.__import__ = hook
    outer = outcome()
    builtins.__import__ = original_import
    print(inner[0] if inner else "the hook did not run")
    print(outer)
    print(outcome())
    """
)

EXPECTED = {
    "collections.abc": "TypeError: argument 'terms': 'set' object cannot be cast as 'Sequence'",
    "io": "300",
}


@pytest.mark.parametrize("where", ["same thread", "other thread"])
@pytest.mark.parametrize("lookup", sorted(EXPECTED))
def test_a_call_made_during_the_first_lookup_completes(lookup, where):
    done = subprocess.run(
        [sys.executable, "-c", CHILD, lookup, where],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    # The inner call, the outer call, and a later call once the look-up is cached.
    assert done.stdout.splitlines() == [EXPECTED[lookup]] * 3, done.stdout
