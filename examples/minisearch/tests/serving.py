"""What the server's tests share: a corpus with hostile documents, an in-process client, and
``minisearch serve`` in a process of its own."""

import contextlib
import os
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from conftest import FRUIT, build

import minisearch
from minisearch import Document

pytest.importorskip("fastapi", reason="the serve extra (fastapi) is not installed")
pytest.importorskip("httpx2", reason="the framework's test client needs httpx2")

from fastapi.testclient import TestClient  # noqa: E402

from minisearch.web.app import create_app  # noqa: E402
from minisearch.web.live import LiveIndex  # noqa: E402

SCRIPT_TITLE = "<script>document.title = 'pwned'; window.pwned = 1</script>"
CORPUS = [
    *FRUIT,  # 0-6
    Document(SCRIPT_TITLE, "A planted title, and <b>markup</b> & <img src=x onerror=alert(1)> in the text."),  # 7
    Document("Marks in the text", "Call f(**kwargs) or g(*args, **kwargs); kwargs are **bold** here."),  # 8
    *(Document(f"Stripe {n}", "stripe " * (n + 1) + "horse") for n in range(23)),  # 9-31: three pages
    Document("Control characters", "kwargs \x02 between \x03 marks"),  # 32
]
STRIPES = 23


@pytest.fixture(scope="module")
def corpus_index(tmp_path_factory):
    directory = tmp_path_factory.mktemp("served")
    build(CORPUS, directory)
    return directory


@pytest.fixture(scope="module")
def client(corpus_index):
    live = LiveIndex(corpus_index)
    with TestClient(create_app(live), raise_server_exceptions=False) as test_client:
        yield test_client
    live.close()


def client_of(index_dir):
    """A test client of a server on ``index_dir`` (close its index with ``app.state.live``)."""
    return TestClient(create_app(LiveIndex(index_dir)), raise_server_exceptions=False)


@contextlib.contextmanager
def serve_process(index_dir, *options, startup_seconds=30):
    """``minisearch serve INDEX --port 0`` in a child process: yields (base URL, process); on
    leaving, stops it with SIGINT as Ctrl-C would and checks that it stopped cleanly."""
    environment = dict(os.environ, PYTHONPATH=str(Path(minisearch.__file__).parents[1]))
    command = [sys.executable, "-m", "minisearch", "serve", str(index_dir), "--port", "0", *options]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=environment)
    try:
        line = _first_line(process, startup_seconds)
        assert line.startswith("serving "), f"no address printed: {line!r}; {process.stderr.read()}"
        yield line.split(" at ")[1].split()[0].rstrip("/"), process
        process.send_signal(signal.SIGINT)
        _, errors = process.communicate(timeout=30)
        assert process.returncode == 0, errors
        assert "Traceback" not in errors, errors
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()


def _first_line(process, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        ready, _, _ = select.select([process.stdout], [], [], 0.2)
        if ready:
            return process.stdout.readline()
        if process.poll() is not None:
            return ""
    return ""
