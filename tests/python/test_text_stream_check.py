"""read_varint refuses exactly the objects that isinstance(f, io.TextIOBase) accepts.

These tests change, between two calls with the same type, everything the answer can depend on,
and require read_varint to follow isinstance each time.
"""

import io
import subprocess
import sys
import textwrap
import threading

import pytest

import quorbel

TEXT_ERROR = "Error reading file: buffer size must be at least 4 bytes"


def refused_as_text(stream) -> bool:
    try:
        quorbel.read_varint(stream)
    except OSError as error:
        if str(error) == TEXT_ERROR:
            return True
        raise
    return False


def agrees(stream) -> bool:
    return refused_as_text(stream) == isinstance(stream, io.TextIOBase)


class ByteSource:
    """A plain binary source: read(1) hands out its bytes one by one."""

    def __init__(self, data=b"\x05"):
        self.data = data

    def read(self, size):
        chunk, self.data = self.data[:size], self.data[size:]
        return chunk


def test_a_plain_stream_is_read_on_every_call():
    for _ in range(3):
        assert quorbel.read_varint(ByteSource(b"\xac\x02")) == 300
    for _ in range(3):
        assert quorbel.read_varint(io.BytesIO(b"\x07")) == 7


def test_a_class_registered_after_a_read_is_refused_from_then_on():
    class Source(ByteSource):
        pass

    assert quorbel.read_varint(Source()) == 5
    io.TextIOBase.register(Source)
    assert isinstance(Source(), io.TextIOBase)
    assert refused_as_text(Source())


def test_a_class_attribute_set_after_a_read_is_seen():
    class Source(ByteSource):
        pass

    assert quorbel.read_varint(Source()) == 5

    # Instances now claim to be StringIOs; isinstance follows __class__, and so must read_varint.
    def pretend(self, name):
        return io.StringIO if name == "__class__" else object.__getattribute__(self, name)

    Source.__getattribute__ = pretend
    assert isinstance(Source(), io.TextIOBase)
    assert refused_as_text(Source())
    del Source.__getattribute__
    assert not isinstance(Source(), io.TextIOBase)
    assert quorbel.read_varint(Source()) == 5


def test_a_base_changed_after_a_read_is_seen():
    class Plain(ByteSource):
        pass

    class Other(ByteSource):
        pass

    io.TextIOBase.register(Other)

    class Source(Plain):
        pass

    assert quorbel.read_varint(Source()) == 5
    Source.__bases__ = (Other,)
    # The ABC machinery keeps its own negative answer for Source until its cache token moves.
    assert agrees(Source())
    io.TextIOBase.register(type("Unrelated", (), {}))
    assert isinstance(Source(), io.TextIOBase)
    assert refused_as_text(Source())


def test_instances_that_answer_for_their_own_class_are_checked_one_by_one():
    class Chameleon(ByteSource):
        def __init__(self, pretend):
            super().__init__()
            self.pretend = pretend

        @property
        def __class__(self):
            return io.StringIO if self.pretend else Chameleon

    for pretend in (False, True, False, True):
        stream = Chameleon(pretend)
        assert agrees(stream)
        assert refused_as_text(stream) is pretend


def test_a_subclass_hook_added_to_the_abc_is_followed_as_isinstance_follows_it():
    class Source(ByteSource):
        pass

    class Hooked(io.TextIOBase):
        @classmethod
        def __subclasshook__(cls, candidate):
            return True if candidate is Source else NotImplemented

    try:
        # Whatever the interpreter's own caches make of this, read_varint must say the same.
        assert agrees(Source())
        io.TextIOBase.register(type("Unrelated", (), {}))  # moves the ABC cache token
        assert agrees(Source())
    finally:
        del Hooked


def test_alternating_types_keep_their_own_answers():
    streams = [io.BytesIO(b"\x01" * 10), io.StringIO("x"), ByteSource(b"\x01" * 10),
               io.TextIOWrapper(io.BytesIO(b"\x05"))]
    for _ in range(4):
        for stream in streams:
            assert agrees(stream)


def test_threads_keep_their_answers_apart():
    failures = []

    def worker(stream_type):
        for _ in range(2000):
            stream = stream_type()
            if not agrees(stream):
                failures.append(stream_type)
                return

    threads = [threading.Thread(target=worker, args=(t,))
               for t in (lambda: io.BytesIO(b"\x01"), lambda: io.StringIO("x"))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


@pytest.mark.parametrize("stream", [io.StringIO("abc"), io.TextIOWrapper(io.BytesIO(b"\x05"))])
def test_text_streams_stay_refused_on_repeated_calls(stream):
    for _ in range(3):
        assert refused_as_text(stream)


# Changes to the ABC machinery itself, each in a fresh child process: they would leak into the
# other tests, and read_varint must follow them from its very first call.
ABC_CHILD = textwrap.dedent(
    """
    import abc, io, sys
    import quorbel

    change = sys.argv[1]

    class Source:
        def read(self, size):
            return b"\\x05"

    def refused():
        try:
            quorbel.read_varint(Source())
        except OSError as error:
            assert str(error) == "Error reading file: buffer size must be at least 4 bytes"
            return True
        return False

    answers = []
    def check():
        answers.append((refused(), isinstance(Source(), io.TextIOBase)))

    if change == "registry cleared":
        io.TextIOBase.register(Source)
        check()
        io.TextIOBase._abc_registry_clear()
        io.TextIOBase._abc_caches_clear()
        check()
    elif change == "cache token replaced":
        abc.get_cache_token = lambda: 0
        check()
        io.TextIOBase.register(Source)
        check()
    print(answers)
    """
)


@pytest.mark.parametrize("change", ["registry cleared", "cache token replaced"])
def test_changes_to_the_abc_machinery_are_followed(change):
    done = subprocess.run(
        [sys.executable, "-c", ABC_CHILD, change], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    answers = eval(done.stdout)
    # Each check saw one answer before the change and the other after it...
    assert [isinstance_answer for _, isinstance_answer in answers] in ([True, False], [False, True])
    # ...and read_varint gave isinstance's answer both times.
    assert all(refused == isinstance_answer for refused, isinstance_answer in answers), answers
