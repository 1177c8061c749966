"""Builds on a Dask cluster of worker processes: the bytes of a local build, and the cluster's faults."""

import contextlib
import functools
import gc
import io
import json
import os
import random
import re
import signal
import socket
import subprocess
import sys
import threading
import time
from concurrent.futures import Executor

import minisearch
import pytest
from conftest import FRUIT, with_options
from minisearch import cli, cluster
from minisearch.blocks import BlockTask
from minisearch.corpus import Document
from minisearch.executors import InlineExecutor

pytestmark = pytest.mark.cluster

WORDS = [f"w{number}" for number in range(400)]
BLOCK_SIZE = 40


def corpus(count, seed=7):
    """Documents of Zipf-like words: long and short lists, some longer than a head."""
    rng = random.Random(seed)
    weights = [1 / rank for rank in range(1, len(WORDS) + 1)]

    def text(length):
        return " ".join(rng.choices(WORDS, weights, k=length))

    return [Document(text(rng.randint(1, 4)), text(rng.randint(5, 60))) for _ in range(count)]


DOCUMENTS = corpus(600)


def segment_bytes(index_dir):
    """Each segment's document count and the digests of its data files, from the manifest."""
    manifest = json.loads((index_dir / "manifest.json").read_text())
    return [(segment["documents"], segment["file_sha256"]) for segment in manifest["segments"]]


def build(documents, index_dir, executor, **options):
    options.setdefault("partitions", 3)
    options.setdefault("block_size", BLOCK_SIZE)
    return with_options(minisearch.build_index, documents, index_dir, executor=executor, **options)


def write_jsonl(path, documents):
    path.write_text("".join(json.dumps(document._asdict()) + "\n" for document in documents))
    return path


def run_cli(*arguments):
    out = io.StringIO()
    status = cli.main([str(a) for a in arguments], out=out)
    return status, out.getvalue()


PARTITIONS = [1, 3]


@pytest.fixture(scope="module")
def local_builds(tmp_path_factory):
    """Inline and process-pool builds by partition count."""
    builds = {}
    for partitions in PARTITIONS:
        for name, executor in (("inline", InlineExecutor()), ("pool", None)):
            directory = tmp_path_factory.mktemp(f"{name}-{partitions}")
            build(DOCUMENTS, directory, executor, partitions=partitions, workers=2)
            builds[name, partitions] = segment_bytes(directory)
    return builds


@pytest.fixture(scope="module")
def distributed():
    return pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def client(distributed, local_builds):
    # After the local builds: the pool forks, which is not safe once the client's threads run.
    with (
        distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=":0") as local,
        distributed.Client(local, set_as_default=False) as client,
    ):
        yield client


@pytest.fixture
def executor(client):
    client.wait_for_workers(2, timeout=60)  # a worker killed by an earlier test comes back
    return cluster.DaskExecutor(client)


@pytest.fixture
def one_worker_cluster(distributed):
    """A cluster of its own for a test that breaks its worker; a task that kills a worker fails at once."""
    with (
        pytest.importorskip("dask").config.set({"distributed.scheduler.allowed-failures": 0}),
        distributed.LocalCluster(n_workers=1, processes=True, threads_per_worker=1, dashboard_address=":0") as local,
        distributed.Client(local, set_as_default=False) as client,
    ):
        yield client


# --------------------------------------------------------------------------
# The same index as a local build


@pytest.mark.parametrize("partitions", PARTITIONS)
def test_a_cluster_build_writes_the_bytes_of_a_pool_and_an_inline_build(tmp_path, executor, local_builds, partitions):
    build(DOCUMENTS, tmp_path, executor, partitions=partitions)
    assert segment_bytes(tmp_path) == local_builds["pool", partitions] == local_builds["inline", partitions]
    assert minisearch.check_index(tmp_path).ok


def test_add_and_optimize_on_the_cluster_write_the_bytes_of_inline_ones(tmp_path, executor):
    def grow(directory, pool):
        build(DOCUMENTS[:400], directory, pool)
        for start in (400, 500):
            with_options(
                minisearch.add_documents, DOCUMENTS[start : start + 100], directory, block_size=BLOCK_SIZE,
                executor=pool, merge=False,
            )
        added = segment_bytes(directory)
        with_options(minisearch.optimize_index, directory, executor=pool)
        return added, segment_bytes(directory)

    added, optimized = grow(tmp_path / "cluster", executor)
    assert [documents for documents, _ in added] == [400, 100, 100]
    assert (added, optimized) == grow(tmp_path / "inline", InlineExecutor())
    with minisearch.Index(tmp_path / "cluster") as index:
        assert index.manifest.documents == len(DOCUMENTS)


class SlowExecutor(Executor):
    """Hands each call to ``inner`` with a pause before it, so that tasks are caught running."""

    def __init__(self, inner, seconds):
        self.inner, self.seconds = inner, seconds

    def submit(self, fn, /, *args, **kwargs):
        return self.inner.submit(pausing(self.seconds), fn, *args, **kwargs)


def pausing(seconds):
    def call(fn, *args, **kwargs):  # local: shipped to the workers by value
        time.sleep(seconds)
        return fn(*args, **kwargs)

    return call


def test_a_worker_killed_mid_build_has_its_task_run_again(tmp_path, client, executor, local_builds):
    pids = client.run(os.getpid)
    killed = []

    def documents():
        for number, document in enumerate(DOCUMENTS):
            if number == 4 * BLOCK_SIZE:  # blocks are in flight: kill a worker that runs one
                killed.append(kill_a_busy_worker(client, pids))
            yield document

    build(documents(), tmp_path, SlowExecutor(executor, 0.3))
    assert killed and killed[0] not in client.run(os.getpid).values()
    assert segment_bytes(tmp_path) == local_builds["inline", 3]
    assert minisearch.check_index(tmp_path).ok


def kill_a_busy_worker(client, pids):
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        busy = [worker for worker, tasks in client.processing().items() if tasks and worker in pids]
        if busy:
            os.kill(pids[busy[0]], signal.SIGKILL)
            return pids[busy[0]]
        time.sleep(0.02)
    raise AssertionError("no worker was running a task")


def test_the_engines_own_cluster_keeps_only_its_last_messages_of_block_tasks(tmp_path, distributed):
    # Dask's debugging logs of messages to workers hold the tasks sent, documents and all.
    blocks = 6 * cluster.MESSAGE_LOG_LENGTH
    with cluster.dask_executor(local_workers=1) as executor:
        build(DOCUMENTS[: 4 * blocks], tmp_path, executor, block_size=4, workers=1)  # 2 tasks in flight
        gc.collect()  # this process runs the scheduler (other tests' clusters too: their tasks are not counted)
        # type(), not isinstance(): other tests leave objects whose __class__ raises.
        kept = [task for task in gc.get_objects() if type(task) is BlockTask and task.path.startswith(str(tmp_path))]
        assert len(kept) <= 2 * cluster.MESSAGE_LOG_LENGTH < blocks
        get = functools.partial(pytest.importorskip("dask").config.get, "distributed.admin.low-level-log-length")
        assert list(executor.client.run(get).values()) == [cluster.MESSAGE_LOG_LENGTH]


# --------------------------------------------------------------------------
# Faults


def die(*args):
    os._exit(1)


def test_a_build_whose_tasks_kill_their_workers_fails_and_keeps_the_previous_index(tmp_path, one_worker_cluster):
    build(FRUIT, tmp_path, InlineExecutor())
    before = (tmp_path / "manifest.json").read_bytes()
    files = sorted(os.listdir(tmp_path))

    class DeadlyExecutor(cluster.DaskExecutor):
        def submit(self, fn, /, *args, **kwargs):
            return super().submit(die, fn, *args)

    with pytest.raises(cluster.ClusterError, match=r"Dask gave task die up after its workers died"):
        build(DOCUMENTS, tmp_path, DeadlyExecutor(one_worker_cluster))
    assert (tmp_path / "manifest.json").read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == files
    assert minisearch.check_index(tmp_path).ok


def scheduler_tasks(dask_scheduler):
    return len(dask_scheduler.tasks)


def test_tasks_are_let_go_once_delivered_or_cancelled_and_a_lost_client_fails_the_rest(one_worker_cluster):
    executor = cluster.DaskExecutor(one_worker_cluster)
    delivered = [executor.submit(sum, [number]) for number in range(4)]
    assert [future.result() for future in delivered] == [0, 1, 2, 3]
    deadline = time.monotonic() + 30  # while the futures live, the scheduler forgets their tasks
    while one_worker_cluster.run_on_scheduler(scheduler_tasks) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert one_worker_cluster.run_on_scheduler(scheduler_tasks) == 0
    running = executor.submit(time.sleep, 1)
    waiting = executor.submit(time.sleep, 600)  # behind the first on the one worker thread
    assert waiting.cancel()
    assert executor.submit(sum, [1, 2], start=3).result(timeout=60) == 6  # runs instead of the long sleep
    assert running.result() is None
    stuck = executor.submit(time.sleep, 600)
    one_worker_cluster.close()
    with pytest.raises(cluster.ClusterError, match=r"the Dask cluster cancelled task sleep"):
        stuck.result(timeout=60)


def unused_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.mark.parametrize(
    ("address", "message"),
    [
        ("tcp://127.0.0.1:{port}", r"cannot reach the Dask scheduler at tcp://127\.0\.0\.1:\d+ within 1 s"),
        ("nonsense://127.0.0.1:{port}", r"'nonsense://127\.0\.0\.1:\d+' is not a Dask scheduler address"),
    ],
)
def test_a_scheduler_that_cannot_be_reached_fails_the_command_and_keeps_the_index(
    tmp_path, capsys, monkeypatch, distributed, address, message
):
    monkeypatch.setattr(cluster, "CONNECT_TIMEOUT", 1.0)
    build(FRUIT, tmp_path, InlineExecutor())
    before = (tmp_path / "manifest.json").read_bytes()
    source = write_jsonl(tmp_path.parent / f"{tmp_path.name}.jsonl", DOCUMENTS[:50])
    status, _ = run_cli("index", tmp_path, "--jsonl", source, "--scheduler", address.format(port=unused_port()))
    assert status == 1
    assert re.fullmatch(rf"minisearch: error: {message}.*\n", capsys.readouterr().err)
    assert (tmp_path / "manifest.json").read_bytes() == before


class Listener:
    """A TCP listener that is not a Dask scheduler: it accepts, then answers as ``reply`` says."""

    def __init__(self, reply):
        self.server = socket.create_server(("127.0.0.1", 0))
        self.address = f"tcp://127.0.0.1:{self.server.getsockname()[1]}"
        self.reply = reply
        self.connections = []
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                connection, _ = self.server.accept()
            except OSError:
                return  # closed
            self.connections.append(connection)
            if self.reply is not None:
                with contextlib.suppress(OSError):
                    connection.recv(4096)
                    connection.sendall(self.reply)

    def close(self):
        self.server.close()
        for connection in self.connections:
            connection.close()


@pytest.mark.parametrize(
    ("reply", "message"),
    [
        (None, r"cannot reach the Dask scheduler at {address} within 1 s \(no answer\)"),
        (b"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nhi", r"the listener at {address} does not answer as a Dask scheduler"),
    ],
    ids=["silent", "http"],
)
def test_a_listener_that_is_not_a_scheduler_is_given_up_within_the_limit(tmp_path, capsys, monkeypatch, distributed,
                                                                          reply, message):
    monkeypatch.setattr(cluster, "CONNECT_TIMEOUT", 1.0)
    listener = Listener(reply)
    source = write_jsonl(tmp_path / "docs.jsonl", DOCUMENTS[:20])
    outcome = []
    command = threading.Thread(
        target=lambda: outcome.append(run_cli("index", tmp_path / "idx", "--jsonl", source, "--scheduler", listener.address)),
        daemon=True,
    )
    command.start()
    command.join(60)  # a guard against a hang, far above the limit: not a measure of speed
    listener.close()
    assert outcome, "the command still waits on a listener that is not a scheduler"
    assert outcome[0][0] == 1
    expected = message.format(address=re.escape(listener.address))
    assert re.fullmatch(rf"minisearch: error: {expected}.*\n", capsys.readouterr().err)
    assert not (tmp_path / "idx" / "manifest.json").exists()


def test_a_scheduler_without_workers_is_named_after_the_wait(distributed):
    with (
        distributed.LocalCluster(n_workers=0, processes=True, dashboard_address=":0") as empty,
        pytest.raises(cluster.ClusterError, match=rf"the Dask scheduler at {empty.scheduler_address} has had no worker"),
        cluster.dask_executor(empty.scheduler_address, worker_timeout=0.5),
    ):
        pass


def poison(package):
    """Make ``package`` unimportable in the worker that runs this, as if not installed."""

    def run():  # local: shipped to the worker by value
        for name in list(sys.modules):
            if name.split(".")[0] in ("minisearch", "quorbel"):
                del sys.modules[name]
        sys.modules[package] = None

    return run


@pytest.mark.parametrize("package", ["quorbel", "minisearch"])
def test_a_worker_without_the_packages_is_named_before_any_task(tmp_path, capsys, one_worker_cluster, package):
    one_worker_cluster.run(poison(package))
    (worker,) = one_worker_cluster.scheduler_info()["workers"]
    source = write_jsonl(tmp_path / "docs.jsonl", FRUIT)
    address = one_worker_cluster.scheduler.address
    status, _ = run_cli("index", tmp_path / "idx", "--jsonl", source, "--scheduler", address, "--no-progress")
    assert status == 1
    err = capsys.readouterr().err
    assert f"minisearch: error: Dask worker {worker} cannot import {package} (" in err
    assert err.rstrip().endswith("install quorbel and minisearch on every worker")
    assert not (tmp_path / "idx" / "manifest.json").exists()


def hide(directory):
    """Mount an empty file system over ``directory`` for the worker thread that runs this."""

    def run():  # local: shipped to the worker by value
        os.unshare(os.CLONE_NEWNS)
        subprocess.run(["mount", "--make-rprivate", "/"], check=True, capture_output=True)
        subprocess.run(["mount", "-t", "tmpfs", "none", str(directory)], check=True, capture_output=True)

    return run


def test_a_worker_that_does_not_see_the_index_directory_is_named(tmp_path, capsys, one_worker_cluster):
    build(FRUIT, tmp_path / "idx", InlineExecutor())
    before = (tmp_path / "idx" / "manifest.json").read_bytes()
    try:
        one_worker_cluster.run(hide(tmp_path))
    except (OSError, subprocess.CalledProcessError) as error:
        pytest.skip(f"cannot give a worker a mount namespace of its own here: {error}")
    (worker,) = one_worker_cluster.scheduler_info()["workers"]
    address = one_worker_cluster.scheduler.address
    status, _ = run_cli("optimize", tmp_path / "idx", "--scheduler", address, "--no-progress")
    assert status == 1
    assert capsys.readouterr().err == (
        f"minisearch: error: Dask worker {worker} does not see {tmp_path / 'idx'}: the index directory must be "
        "on storage shared by this machine and every worker, at the same path\n"
    )
    assert (tmp_path / "idx" / "manifest.json").read_bytes() == before


def test_workers_running_in_another_directory_write_a_relative_index_directory(tmp_path, monkeypatch, one_worker_cluster):
    one_worker_cluster.run(os.chdir, "/")
    monkeypatch.chdir(tmp_path)
    build(DOCUMENTS[:200], "idx", cluster.DaskExecutor(one_worker_cluster))
    build(DOCUMENTS[:200], tmp_path / "inline", InlineExecutor())
    assert segment_bytes(tmp_path / "idx") == segment_bytes(tmp_path / "inline")


def test_without_distributed_a_cluster_build_says_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)
    with pytest.raises(cluster.ClusterError, match=r"pip install 'minisearch\[dask\]'"), cluster.open_executor(dask_local=1):
        pass


# --------------------------------------------------------------------------
# The command line


def test_index_on_a_local_cluster_shows_progress_and_writes_the_bytes_of_an_inline_build(tmp_path, capsys, distributed):
    source = write_jsonl(tmp_path / "docs.jsonl", DOCUMENTS[:200])
    status, out = run_cli("index", tmp_path / "idx", "--jsonl", source, "--dask-local", "1",
                          "--block-size", BLOCK_SIZE, "--partitions", 3)
    assert status == 0 and "documents   200 written" in out
    assert "indexing: 200" in capsys.readouterr().err
    build(DOCUMENTS[:200], tmp_path / "inline", InlineExecutor())
    assert segment_bytes(tmp_path / "idx") == segment_bytes(tmp_path / "inline")


@pytest.mark.parametrize("command", ["index", "add", "optimize"])
def test_the_cluster_options_parse_and_exclude_each_other_and_the_pool(capsys, command):
    def parse(*options):
        args = cli.make_parser().parse_args([command, "I", *options])
        return args.workers, args.scheduler, args.dask_local

    assert parse("--scheduler", "tcp://h:8786") == (None, "tcp://h:8786", None)
    assert parse("--dask-local", "3") == (None, None, 3)
    for options, error in [
        (["--scheduler", "tcp://h:8786", "--workers", "2"], "argument --workers: not allowed with argument --scheduler"),
        (["--dask-local", "2", "--scheduler", "tcp://h"], "argument --scheduler: not allowed with argument --dask-local"),
        (["--workers", "2", "--dask-local", "2"], "argument --dask-local: not allowed with argument --workers"),
        (["--dask-local", "0"], "argument --dask-local: must be at least 1"),
    ]:
        with pytest.raises(SystemExit) as exit_info:
            parse(*options)
        assert exit_info.value.code == 2 and error in capsys.readouterr().err
