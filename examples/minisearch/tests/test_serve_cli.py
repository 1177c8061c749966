"""``minisearch search --json`` and ``minisearch serve`` on the command line."""

import io
import json
import socket
import subprocess
import sys
import urllib.error
import urllib.request

import pytest
from serving import client, corpus_index, serve_process  # noqa: F401

from minisearch import cli


def run(*arguments):
    out = io.StringIO()
    status = cli.main([str(a) for a in arguments], out=out)
    return status, out.getvalue()


def without_time(body):
    return {name: value for name, value in body.items() if name != "seconds"}


@pytest.mark.parametrize(("query", "k"), [("stripe OR apple", 10), ("zeb*", 3), ("kwargs", 1), ("durian", 10)])
def test_search_json_prints_what_the_api_returns(client, corpus_index, query, k):
    status, out = run("search", corpus_index, query, "-k", k, "--json")
    api = client.get("/api/search", params={"q": query, "k": k}).json()
    assert status == 0 and without_time(json.loads(out)) == without_time(api)


def test_search_json_prints_a_malformed_querys_error_as_the_api_does(client, corpus_index, capsys):
    status, out = run("search", "--json", corpus_index, "--", "-zebra")  # options before INDEX, then "--"
    assert status == 2 and "bad query" in capsys.readouterr().err
    assert json.loads(out) == client.get("/api/search", params={"q": "-zebra"}).json()


def test_serve_answers_over_http_and_stops_on_ctrl_c(corpus_index):
    with serve_process(corpus_index) as (url, _):
        with urllib.request.urlopen(f"{url}/api/search?q=zebra") as response:
            body = json.load(response)
        with pytest.raises(urllib.error.HTTPError) as bad:
            urllib.request.urlopen(f"{url}/api/search?q=zebra+OR")
        with urllib.request.urlopen(f"{url}/?q=zebra") as response:
            page = response.read().decode()
    assert url.startswith("http://127.0.0.1:")
    assert [hit["title"] for hit in body["hits"]] == ["Zebra crossing"]
    assert bad.value.code == 400 and json.load(bad.value)["error"]["column"] == 9
    assert "<mark>zebra</mark>" in page


def test_serve_names_a_missing_index(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "minisearch", "serve", str(tmp_path), "--port", "0"],
        capture_output=True, text=True, timeout=60, cwd=cli.__file__.rsplit("/minisearch/", 1)[0],
    )
    assert result.returncode == 1 and "minisearch: error: no index in" in result.stderr
    assert "Traceback" not in result.stderr


def test_serve_names_an_address_in_use(corpus_index, capsys):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        status, _ = run("serve", corpus_index, "--port", taken.getsockname()[1])
    assert status == 1 and "cannot listen on 127.0.0.1:" in capsys.readouterr().err
