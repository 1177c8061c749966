"""The JSON API, in process: results, paging, bounds, errors, and what is never served."""

import logging
import shutil

import anyio.to_thread
import pytest
from serving import CORPUS, STRIPES, client, client_of, corpus_index  # noqa: F401
from conftest import FRUIT, build, with_options

import minisearch
from minisearch import Document, Index, search
from minisearch.web import api, app, pages
from minisearch.web.payload import Snippet
from minisearch.web.schema import DocumentBody, ErrorBody, SearchBody


def pages_of(client, query, k):
    """Every page of ``query``, following ``more``."""
    found, offset = [], 0
    while True:
        body = client.get("/api/search", params={"q": query, "k": k, "offset": offset}).json()
        found.append(body)
        if not body["more"]:
            return found
        offset += k


@pytest.mark.parametrize("k", [1, 4, 10, 23, 100])
@pytest.mark.parametrize("query", ["stripe", "stripe OR apple", "str*", "horse -banana"])
def test_pages_join_into_the_engines_ranking(client, corpus_index, query, k):
    with Index(corpus_index) as index:
        expected = [(hit.doc_id, hit.score, hit.title) for hit in search(index, query, k=100).hits]
    found = pages_of(client, query, k)
    hits = [hit for body in found for hit in body["hits"]]
    assert [(hit["id"], hit["score"], hit["title"]) for hit in hits] == expected
    assert [hit["rank"] for hit in hits] == list(range(1, len(expected) + 1))
    assert all(len(body["hits"]) == k for body in found[:-1]) and [b["offset"] for b in found] == [
        k * n for n in range(len(found))
    ]
    assert found[-1]["hits"] or not expected  # "more" only when hits follow


def test_a_page_past_the_end_is_empty(client):
    body = client.get("/api/search", params={"q": "stripe", "offset": STRIPES}).json()
    assert body["hits"] == [] and body["more"] is False


def spaced(snippet):
    """The snippet with its control characters as spaces, and runs of spaces as one."""
    return " ".join(snippet.replace("\x02", " ").replace("\x03", " ").split())


@pytest.mark.parametrize("query", ["apple banana", "kwargs", "zeb*", "markup", "stripe horse"])
def test_snippets_mark_what_the_engine_marks(client, corpus_index, query):
    with Index(corpus_index) as index:
        expected = [spaced(hit.snippet) for hit in search(index, query, k=10, snippets=True).hits]
    hits = client.get("/api/search", params={"q": query}).json()["hits"]
    rebuilt = [
        "".join(f"**{text}**" if marked else text for text, marked in Snippet(
            hit["snippet"], tuple(map(tuple, hit["highlights"]))).parts())
        for hit in hits
    ]
    assert list(map(spaced, rebuilt)) == expected and any(hit["highlights"] for hit in hits)


@pytest.mark.parametrize(
    ("marked", "text", "highlights"),
    [
        ("", "", ()),
        ("plain", "plain", ()),
        ("\x02a\x03", "a", ((0, 1),)),
        ("f(**\x02kwargs\x03) \x02kwargs\x03**", "f(**kwargs) kwargs**", ((4, 10), (12, 18))),
        ("…x \x02é\x03 y", "…x é y", ((3, 4),)),
    ],
)
def test_a_marked_snippet_splits_into_text_and_spans(marked, text, highlights):
    snippet = Snippet.from_marked(marked)
    assert (snippet.text, snippet.highlights) == (text, highlights)
    assert "".join(run for run, _ in snippet.parts()) == text


def test_a_search_reports_its_work_and_the_index(client):
    body = client.get("/api/search", params={"q": "apple durian OR stripe", "k": 3}).json()
    assert SearchBody.model_validate(body).k == 3
    assert body["terms"] == ["apple", "durian", "stripe"] and body["unknown_terms"] == ["durian"]
    assert body["documents"] == len(CORPUS) and body["documents_stored"] is True
    assert body["postings_decoded"] > 0 and body["seconds"] > 0
    assert all(set(hit) >= {"id", "key", "title", "score", "snippet"} for hit in body["hits"])


def test_a_stored_document(client):
    response = client.get("/api/documents/7")
    assert response.status_code == 200
    assert DocumentBody.model_validate(response.json()) == DocumentBody(id=7, **CORPUS[7]._asdict())


LONGEST = "a " * 2000  # 4,000 characters


@pytest.mark.parametrize(
    ("path", "params", "status", "code", "detail"),
    [
        ("/api/search", {"q": "zebra OR"}, 400, "bad_query", {"column": 9}),
        ("/api/search", {"q": "OR zebra"}, 400, "bad_query", {"column": 1}),
        ("/api/search", {"q": "zebra -"}, 400, "bad_query", {"column": 7}),
        ("/api/search", {"q": ""}, 400, "bad_query", {"column": 1}),
        ("/api/search", {}, 422, "bad_parameter", {"parameter": "q"}),
        ("/api/search", {"q": LONGEST + "a"}, 422, "bad_parameter", {"parameter": "q"}),
        ("/api/search", {"q": "a", "k": 0}, 422, "bad_parameter", {"parameter": "k"}),
        ("/api/search", {"q": "a", "k": 101}, 422, "bad_parameter", {"parameter": "k"}),
        ("/api/search", {"q": "a", "k": "ten"}, 422, "bad_parameter", {"parameter": "k"}),
        ("/api/search", {"q": "a", "offset": -1}, 422, "bad_parameter", {"parameter": "offset"}),
        ("/api/search", {"q": "a", "offset": 10_001}, 422, "bad_parameter", {"parameter": "offset"}),
        ("/api/search", {"q": "a", "offset": "9" * 5000}, 422, "bad_parameter", {"parameter": "offset"}),
        ("/api/documents/33", {}, 404, "not_found", {}),
        ("/api/documents/99999999999999999999999", {}, 404, "not_found", {}),
        ("/api/documents/-1", {}, 422, "bad_parameter", {"parameter": "doc_id"}),
        ("/api/documents/1.5", {}, 422, "bad_parameter", {"parameter": "doc_id"}),
        ("/api/nothing", {}, 404, "not_found", {}),
    ],
)
def test_errors_are_json_with_the_status_that_fits(client, path, params, status, code, detail):
    response = client.get(path, params=params)
    assert response.status_code == status and response.headers["content-type"] == "application/json"
    error = ErrorBody.model_validate(response.json()).error
    assert error.code == code and error.message
    assert {name: getattr(error, name) for name in detail} == detail


@pytest.mark.parametrize(
    "params", [{"q": LONGEST}, {"q": "apple", "k": 100, "offset": 10_000}, {"q": "apple", "k": 1, "offset": 0}]
)
def test_the_bounds_themselves_are_allowed(client, params):
    assert client.get("/api/search", params=params).status_code == 200


@pytest.mark.parametrize(
    "path",
    [
        "/manifest.json",
        "/static/../manifest.json",
        "/static/%2e%2e/manifest.json",
        "/static/..%2fmanifest.json",
        "/static/%2e%2e/%2e%2e/%2e%2e/etc/passwd",
        "/documents/..%2fmanifest.json",
        "/api/documents/..%2f..%2fmanifest.json",
        "/static/style.css/..%2f..%2fmanifest.json",
        "/lengths-000.bin",
    ],
)
def test_nothing_but_the_routes_is_served(client, path):
    response = client.get(path)
    assert response.status_code in (404, 422)
    assert "segments" not in response.text and "root:" not in response.text


@pytest.mark.parametrize(("path", "target"), [("/api/search?q=apple", api), ("/?q=apple", pages)])
def test_a_failure_reaches_no_client(client, monkeypatch, path, target):
    def fail(*_):
        raise RuntimeError("secret detail at /srv/private")

    monkeypatch.setattr(target, "search_page", fail)
    response = client.get(path)
    assert response.status_code == 500
    assert "secret" not in response.text and "Traceback" not in response.text and "private" not in response.text


def test_a_damaged_index_is_503_and_the_log_says_why(tmp_path, caplog):
    build(FRUIT, tmp_path / "index")
    with client_of(tmp_path / "index") as test_client:
        shutil.rmtree(tmp_path / "index")  # the next request sees no manifest
        with caplog.at_level(logging.ERROR, logger="minisearch.web"):
            response = test_client.get("/api/search", params={"q": "apple"})
            page = test_client.get("/", params={"q": "apple"})
        test_client.app.state.live.close()
    assert response.status_code == 503 and response.json()["error"]["code"] == "index_unusable"
    assert str(tmp_path) not in response.text and str(tmp_path) not in page.text and page.status_code == 503
    assert "no index in" in caplog.text


def test_an_index_without_documents_says_so(tmp_path):
    build(FRUIT, tmp_path, store_documents=False)
    with client_of(tmp_path) as test_client:
        body = test_client.get("/api/search", params={"q": "apple"}).json()
        document = test_client.get("/api/documents/0")
        by_key = test_client.get("/api/documents", params={"key": "0"})
        page = test_client.get("/", params={"q": "apple"}).text
        document_page = test_client.get("/documents/0")
        test_client.app.state.live.close()
    assert body["documents_stored"] is False and body["hits"]
    assert all(hit["snippet"] == "" and hit["highlights"] == [] for hit in body["hits"])
    assert document.status_code == 404 and "without its documents" in document.json()["error"]["message"]
    assert by_key.status_code == 404 and "without its documents" in by_key.json()["error"]["message"]
    assert "built without its documents" in page and 'href="/documents/' not in page
    assert document_page.status_code == 404 and "without its documents" in document_page.text


KEYED = [
    Document("Decoder", "json decoding", "json.decoder"),
    Document("Seven", "an integer key", 7),
    Document("Twelve, the string", "a key of digits", "12"),
    Document("Twelve, the integer", "an integer key", 12),
]


@pytest.mark.parametrize(
    ("key", "status", "title"),
    [
        ("json.decoder", 200, "Decoder"),
        ("7", 200, "Seven"),  # no document is keyed "7": the integer 7 is
        ("12", 200, "Twelve, the string"),  # the string first
        ("007", 404, None),  # not how an integer is written
        ("-7", 404, None),
        ("gone", 404, None),
        ("", 422, None),
    ],
)
def test_a_stored_document_by_its_key(tmp_path, key, status, title):
    build(KEYED + [Document("Gone", "deleted", "gone")], tmp_path)
    with_options(minisearch.delete_documents, ["gone"], tmp_path)
    with client_of(tmp_path) as test_client:
        response = test_client.get("/api/documents", params={"key": key})
        test_client.app.state.live.close()
    assert response.status_code == status
    if title is None:
        assert response.json()["error"]["code"] == ("bad_parameter" if status == 422 else "not_found")
    else:
        body = DocumentBody.model_validate(response.json())
        assert body.title == title and KEYED[body.id].key == body.key


def test_the_openapi_description_covers_the_api_and_not_the_pages(client):
    description = client.get("/openapi.json").json()
    assert set(description["paths"]) == {"/api/search", "/api/documents/{doc_id}", "/api/documents"}
    search_responses = description["paths"]["/api/search"]["get"]["responses"]
    assert {"200", "400", "422", "503"} <= set(search_responses)
    assert "404" in description["paths"]["/api/documents/{doc_id}"]["get"]["responses"]
    assert description["info"]["version"] == minisearch.__version__


def test_searches_run_off_the_event_loop(client, monkeypatch):
    import asyncio

    threads = []

    def recording(real):
        def wrapper(*arguments):
            try:
                asyncio.get_running_loop()
                threads.append("event loop")
            except RuntimeError:
                threads.append("worker")
            return real(*arguments)

        return wrapper

    monkeypatch.setattr(api, "search_page", recording(api.search_page))
    monkeypatch.setattr(pages, "search_page", recording(pages.search_page))
    assert client.get("/api/search", params={"q": "apple"}).status_code == 200
    assert client.get("/", params={"q": "apple"}).status_code == 200
    assert threads == ["worker", "worker"]
    limiter = client.portal.call(anyio.to_thread.current_default_thread_limiter)
    assert limiter.total_tokens == app.THREADS


@pytest.mark.parametrize("path", ["/", "/?q=apple", "/api/search?q=apple", "/api/documents/0", "/nothing"])
def test_every_response_forbids_scripts(client, path):
    headers = client.get(path).headers
    assert "default-src 'none'" in headers["content-security-policy"] and "script-src" not in headers[
        "content-security-policy"]
    assert headers["x-content-type-options"] == "nosniff"
