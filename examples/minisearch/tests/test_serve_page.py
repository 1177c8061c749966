"""The search page and a document's page, in process: results, paging, errors, escaping."""

import html
import re

import pytest
from markupsafe import escape
from serving import CORPUS, SCRIPT_TITLE, STRIPES, client, corpus_index  # noqa: F401


def titles(page):
    return [html.unescape(t) for t in re.findall(r'<h2><a href="/documents/\d+\?[^"]*">(.*?)</a></h2>', page)]


def link(page, rel):
    found = re.search(rf'<a rel="{rel}"[^>]* href="([^"]*)"', page)
    return html.unescape(found.group(1)) if found else None


def test_the_empty_page_has_the_box_and_the_syntax(client):
    response = client.get("/")
    page = response.text
    assert response.status_code == 200 and response.headers["content-type"].startswith("text/html")
    assert '<input type="search" id="q" name="q" value=""' in page and "autofocus" in page
    assert "<code>-word</code> excludes" in page and f"Search {len(CORPUS)} documents" in page
    assert 'class="stats"' not in page and "<script" not in page


def test_a_query_in_the_url_gives_its_results(client):
    response = client.get("/", params={"q": "zebra OR banana"})
    page = response.text
    assert response.status_code == 200
    assert titles(page) == ["Zebra crossing", "Banana bread", "Apple pie"]
    assert '<mark>zebra</mark>' in page and "<mark>banana</mark>" in page
    assert re.search(r"Results 1–3\s+in [0-9.]+ ms · [0-9,]+ postings decoded", page)
    assert 'value="zebra OR banana"' in page and "autofocus" not in page
    assert 'href="/documents/5?q=zebra+OR+banana"' in page


def test_more_pages_through_the_results(client):
    first = client.get("/", params={"q": "stripe"}).text
    assert link(first, "prev") is None and link(first, "next") == "/?q=stripe&offset=10"
    second = client.get(link(first, "next")).text
    third = client.get(link(second, "next")).text
    assert link(second, "prev") == "/?q=stripe" and link(third, "next") is None
    assert '<ol class="hits" start="11">' in second and "Results 21–23" in third
    shown = titles(first) + titles(second) + titles(third)
    assert sorted(shown) == sorted(f"Stripe {n}" for n in range(STRIPES)) and len(set(shown)) == STRIPES


@pytest.mark.parametrize(
    ("query", "message", "before", "at", "after"),
    [
        ("zebra OR", "&#39;OR&#39; needs a word after it (column 9)", "zebra OR", " ", ""),
        ("OR zebra", "&#39;OR&#39; needs a word before it (column 1)", "", "O", "R zebra"),
        ("zebra -", "&#39;-&#39; must be followed by a word (column 7)", "zebra ", "-", ""),
        ("ze*bra <b>", "&#39;*&#39; may only end a word (column 3)", "ze", "*", "bra &lt;b&gt;"),
    ],
)
def test_a_malformed_query_is_marked_beside_the_box(client, query, message, before, at, after):
    response = client.get("/", params={"q": query})
    page = response.text
    assert response.status_code == 400
    assert f'<p class="message">{message}</p>' in page
    assert f'<code>{before}<mark class="at">{at}</mark>{after}</code>' in page
    assert 'aria-invalid="true" aria-describedby="query-problem"' in page and 'class="hits"' not in page


@pytest.mark.parametrize(
    ("params", "message"),
    [
        ({"q": "a" * 4001}, "the query is longer than 4,000 characters"),
        ({"q": "apple", "offset": "-1"}, "offset must be a whole number from 0 to 10,000"),
        ({"q": "apple", "offset": "10001"}, "offset must be a whole number from 0 to 10,000"),
        ({"q": "apple", "offset": "9" * 5000}, "offset must be a whole number from 0 to 10,000"),
        ({"q": "apple", "offset": "２"}, "offset must be a whole number from 0 to 10,000"),
    ],
)
def test_a_parameter_out_of_bounds_is_said_beside_the_box(client, params, message):
    response = client.get("/", params=params)
    assert response.status_code == 422 and f'<p class="message">{message}</p>' in response.text


def test_the_last_allowed_offset_has_no_more_link(client):
    page = client.get("/", params={"q": "stripe", "offset": "10000"}).text
    assert "No results" in page and link(page, "next") is None and link(page, "prev") == "/?q=stripe&offset=9990"


def test_a_planted_script_shows_as_text(client):
    page = client.get("/", params={"q": "planted"}).text
    assert titles(page) == [SCRIPT_TITLE]
    assert "<script" not in page and "<img" not in page and "<b>" not in page
    assert "&lt;b&gt;markup&lt;/b&gt; &amp; &lt;img src=x" in page
    document = client.get("/documents/7", params={"q": "planted"}).text
    assert "<script" not in document and "<img" not in document
    assert f"<h1>{escape(SCRIPT_TITLE)}</h1>" in document and escape(CORPUS[7].content) in document


def test_a_query_that_breaks_out_of_attributes_stays_in_them(client):
    query = '"><script>alert(1)</script>'
    page = client.get("/", params={"q": query}).text
    assert "<script" not in page and 'value="&#34;&gt;&lt;script&gt;alert(1)&lt;/script&gt;"' in page


def test_a_document_page_links_back_to_its_results(client):
    response = client.get("/documents/1", params={"q": "banana OR apple"})
    page = response.text
    assert response.status_code == 200
    assert "<h1>Banana bread</h1>" in page and "banana banana banana apple" in page
    assert 'href="/?q=banana+OR+apple"' in page


@pytest.mark.parametrize("doc_id", ["33", "abc", "-1", "1e3", "9" * 40, "%2e%2e"])
def test_an_unknown_document_is_a_404_page(client, doc_id):
    response = client.get(f"/documents/{doc_id}")
    assert response.status_code == 404 and response.headers["content-type"].startswith("text/html")
    assert "No such document" in response.text


def test_an_unknown_path_is_a_404_page(client):
    response = client.get("/nothing/here")
    assert response.status_code == 404 and "<h1>Not found</h1>" in response.text
