"""The server answers from each commit of the index, and a request finishes on the state it began on."""

import threading

import pytest
from serving import client_of
from conftest import FRUIT, build

from minisearch import Document, add_documents, optimize_index, search
from minisearch.executors import InlineExecutor
from minisearch.web import live as live_module
from minisearch.web.live import LiveIndex

KIWI = Document("Kiwi", "kiwi apple")


def add(index_dir, *documents):
    add_documents(list(documents), index_dir, executor=InlineExecutor(), block_size=2, show_progress=False)


def optimize(index_dir):
    optimize_index(index_dir, executor=InlineExecutor(), show_progress=False)


@pytest.fixture
def closes(monkeypatch):
    """The indexes the live index opened, each with how often it was closed."""
    opened = []

    class Recording(live_module.Index):
        def __init__(self, *arguments):
            super().__init__(*arguments)
            self.closed = 0
            opened.append(self)

        def close(self):
            self.closed += 1
            super().close()

    monkeypatch.setattr(live_module, "Index", Recording)
    return opened


@pytest.mark.parametrize("commit", [lambda d: add(d, KIWI), lambda d: (add(d, KIWI), optimize(d))])
def test_the_server_answers_from_each_commit_without_a_restart(tmp_path, commit):
    build(FRUIT, tmp_path)
    with client_of(tmp_path) as client:
        before = client.get("/api/search", params={"q": "kiwi"}).json()
        commit(tmp_path)
        after = client.get("/api/search", params={"q": "kiwi"}).json()
        page = client.get("/", params={"q": "kiwi"}).text
        document = client.get("/api/documents/7").json()
        client.app.state.live.close()
    assert before["hits"] == [] and before["documents"] == len(FRUIT)
    assert [hit["title"] for hit in after["hits"]] == ["Kiwi"] and after["documents"] == len(FRUIT) + 1
    assert "<mark>kiwi</mark>" in page and document["title"] == "Kiwi"


def test_a_request_begun_before_a_commit_finishes_on_the_old_index(tmp_path, closes):
    build(FRUIT, tmp_path)
    live = LiveIndex(tmp_path)
    with live.use() as old:
        add(tmp_path, KIWI)
        optimize(tmp_path)  # removes the files the old index mapped
        with live.use() as new:
            assert new is not old and new.documents == len(FRUIT) + 1
            assert [hit.title for hit in search(new, "kiwi").hits] == ["Kiwi"]
        assert [hit.title for hit in search(old, "apple", snippets=True).hits][:2] == ["apple", "Apple pie"]
        assert old.content(0) == FRUIT[0].content and search(old, "kiwi").hits == []
        assert [index.closed for index in closes] == [0, 0]
    assert [index.closed for index in closes] == [1, 0]  # the old one once its last request ended
    with live.use() as same:
        assert same is closes[1]
    live.close()
    assert [index.closed for index in closes] == [1, 1]


def test_an_unchanged_index_is_opened_once(tmp_path, closes):
    build(FRUIT, tmp_path)
    live = LiveIndex(tmp_path)
    for _ in range(5):
        with live.use() as index:
            assert search(index, "apple").hits
    live.close()
    assert [index.closed for index in closes] == [1]


def test_concurrent_searches_during_commits_each_see_one_whole_state(tmp_path, closes):
    build(FRUIT, tmp_path)
    live = LiveIndex(tmp_path)
    problems, stop = [], threading.Event()

    def searching():
        while not stop.is_set():
            try:
                with live.use() as index:
                    hits = search(index, "extra OR apple", k=100, snippets=True).hits
                    extra = sum(hit.title.startswith("Extra") for hit in hits)
                    if extra != index.documents - len(FRUIT):  # every added document holds "extra"
                        problems.append(f"{extra} extra hits in an index of {index.documents}")
            except Exception as error:  # noqa: BLE001 - collected for the assertion below
                problems.append(repr(error))

    threads = [threading.Thread(target=searching) for _ in range(4)]
    for thread in threads:
        thread.start()
    try:
        for number in range(6):
            add(tmp_path, Document(f"Extra {number}", "extra words"))
        optimize(tmp_path)
    finally:
        stop.set()
        for thread in threads:
            thread.join(timeout=60)
    with live.use() as index:
        assert index.documents == len(FRUIT) + 6
    live.close()
    assert problems == []
    assert all(index.closed == 1 for index in closes)  # each state opened was closed once
