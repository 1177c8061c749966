"""Signals during file input and output: interrupted system calls are repeated, nothing is lost
or written twice.

A timer sends SIGALRM every millisecond to a child process while it reads a block from a FIFO
that another process fills slowly, or writes a block into a FIFO that another process drains
slowly, so that open, read and write block and are interrupted again and again. Python's handlers
are installed without SA_RESTART, so each interruption reaches the module as EINTR. The signals
caught during the call are counted through the wakeup file descriptor (one byte per signal).
"""

import json
import os
import subprocess
import sys
import textwrap

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
