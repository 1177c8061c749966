"""Signals during file input and output: a handler that raises stops a blocked call with its own
exception; otherwise interrupted system calls are repeated, nothing is lost or written twice.

A timer sends SIGALRM every millisecond to a child process while it reads a block from a FIFO
that another process fills slowly, or writes a block into a FIFO that another process drains
slowly, so that open, read and write block and are interrupted again and again. Python's handlers
are installed without SA_RESTART, so each interruption reaches the module as EINTR. The signals
caught during the call are counted through the wakeup file descriptor (one byte per signal).
"""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import quorbel

CHILD = textwrap.dedent(
    """
    import json, os, signal, socket, subprocess, sys, time
    import quorbel

    mode, fifo, data_path, out_path = sys.argv[1:5]
    FEEDER = '''
    import os, sys, time
    data = open(sys.argv[2], "rb").read()
    fd = os.open(sys.argv[1], os.O_WRONLY)
    for start in range(0, len(data), 997):
        os.write(fd, data[start:start + 997])
        time.sleep(0.001)
    os.close(fd)
    '''
    DRAINER = '''
    import os, sys, time
    fd = os.open(sys.argv[1], os.O_RDONLY)
    out = open(sys.argv[2], "wb")
    while chunk := os.read(fd, 256):
        out.write(chunk)
        time.sleep(0.001)
    out.close()
    '''
    if mode in ("read", "write"):
        script, args = (FEEDER, [fifo, data_path]) if mode == "read" else (DRAINER, [fifo, out_path])
        helper = subprocess.Popen([sys.executable, "-c", script, *args])
        target = fifo
    else:
        helper = None
        target = data_path if mode == "read_file" else out_path

    caught = 0
    def handler(signum, frame):
        global caught
        caught += 1
    signal.signal(signal.SIGALRM, handler)
    receive, send = socket.socketpair()
    send.setblocking(False)
    receive.setblocking(False)
    signal.set_wakeup_fd(send.fileno(), warn_on_full_buffer=False)

    with open(sys.argv[5]) as contents:
        terms, doc_freqs, postings = json.load(contents)
    postings = [[tuple(p) for p in plist] for plist in postings]
    doc_freqs = [tuple(d) for d in doc_freqs]

    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    try:
        if mode.startswith("read"):
            result = quorbel.iter_block_terms(target)
        else:
            result = quorbel.write_binary_block(terms, doc_freqs, postings, target)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
    during = 0
    try:
        while chunk := receive.recv(65536):
            during += len(chunk)
    except BlockingIOError:
        pass
    if helper is not None:
        helper.wait(timeout=120)
    if mode.startswith("read"):
        expected = [(t, d[0], d[1], p) for t, d, p in zip(terms, doc_freqs, postings)]
        same = result == expected
    else:
        same = open(out_path, "rb").read() == open(data_path, "rb").read()
    print(json.dumps({"same": same, "signals": during}))
    """
)


def block_contents():
    terms = [f"term{i:04d}" for i in range(300)] + ["x" * 20_000, "\u00e9" * 3000]
    doc_freqs = [(i, 2**40 + i) for i in range(len(terms))]
    postings = [[(j * 3 + i, j % 7, i % 2) for j in range(i % 40)] for i in range(300)]
    postings += [[(j, 1, 0) for j in range(9000)], [(-j, 2, 1) for j in range(50)]]
    return terms, doc_freqs, postings


@pytest.fixture(scope="module")
def block(tmp_path_factory):
    directory = tmp_path_factory.mktemp("signals")
    terms, doc_freqs, postings = block_contents()
    data_path = directory / "block.bin"
    quorbel.write_binary_block(terms, doc_freqs, postings, str(data_path))
    contents = directory / "contents.json"
    contents.write_text(json.dumps([terms, doc_freqs, postings]))
    return str(data_path), str(contents)


@pytest.mark.parametrize(
    "mode",
    [
        "read",        # iter_block_terms from a FIFO filled slowly: open and read block
        "write",       # write_binary_block into a FIFO drained slowly: open and write block
        "read_file",   # the same calls on a regular file while the timer runs
        "write_file",
    ],
)
def test_signals_interrupt_but_do_not_disturb_file_io(tmp_path, block, mode):
    data_path, contents = block
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    out_path = tmp_path / "out.bin"
    done = subprocess.run(
        [sys.executable, "-c", CHILD, mode, str(fifo), data_path, str(out_path), contents],
        capture_output=True,
        text=True,
        timeout=300,  # only to detect a hang
    )
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert report["same"], report
    if mode in ("read", "write"):
        # The transfer takes hundreds of slow steps, so the timer certainly fired during the call.
        assert report["signals"] > 10, report


# --- a handler that raises stops a blocked call ------------------------------------------------

BLOCKED = textwrap.dedent(
    """
    import os, signal, sys
    import quorbel

    function, path, signal_name = sys.argv[1:4]
    # Whatever the parent did with SIGINT (a background job ignores it), Python's own handler.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    timeout = TimeoutError("the alarm went off")
    def on_alarm(signum, frame):
        raise timeout
    signal.signal(signal.SIGALRM, on_alarm)
    calls = {
        "get_block_stats": lambda: quorbel.get_block_stats(path),
        "iter_block_terms": lambda: quorbel.iter_block_terms(path),
        "read_term_at_offset": lambda: quorbel.read_term_at_offset(path, 8),
        # More than a pipe holds, so that a reader that never reads blocks the write.
        "write_binary_block": lambda: quorbel.write_binary_block(["x" * 300_000], [(1, 1)], [[]], path),
    }
    descriptors = sorted(os.listdir("/proc/self/fd"))
    print("calling", flush=True)
    try:
        calls[function]()
    except BaseException as error:
        expected = KeyboardInterrupt if signal_name == "SIGINT" else TimeoutError
        unchanged = type(error) is expected and (signal_name == "SIGINT" or error is timeout)
        closed = sorted(os.listdir("/proc/self/fd")) == descriptors
        print(type(error).__name__, "unchanged" if unchanged else "changed",
              "closed" if closed else "descriptor left open", flush=True)
    else:
        print("returned", flush=True)
    """
)


@pytest.mark.parametrize("signal_name", ["SIGINT", "SIGALRM"])
@pytest.mark.parametrize(
    "function, peer",
    [
        # No peer: open(2) of a FIFO blocks until the other end is opened.
        ("get_block_stats", None),
        ("iter_block_terms", None),
        ("read_term_at_offset", None),
        ("write_binary_block", None),
        # A peer that holds the other end and does nothing: read(2) or write(2) blocks.
        ("get_block_stats", "idle"),
        ("iter_block_terms", "idle"),
        ("write_binary_block", "idle"),
    ],
)
def test_a_raising_signal_handler_stops_a_call_blocked_on_a_fifo(tmp_path, function, peer,
                                                                   signal_name):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    # Opened for reading and writing, the FIFO has both ends held without blocking this process.
    held = os.open(fifo, os.O_RDWR | os.O_NONBLOCK) if peer == "idle" else None
    child = subprocess.Popen(
        [sys.executable, "-c", BLOCKED, function, str(fifo), signal_name],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout.readline() == "calling\n"
        time.sleep(0.3)  # into the blocking system call
        child.send_signal(getattr(signal, signal_name))
        # Ends within about a second; the timeout only turns a hang into a failure.
        out, err = child.communicate(timeout=10)
    finally:
        child.kill()
        child.wait()
        if held is not None:
            os.close(held)
    expected = "KeyboardInterrupt" if signal_name == "SIGINT" else "TimeoutError"
    assert out.split() == [expected, "unchanged", "closed"], (out, err)
