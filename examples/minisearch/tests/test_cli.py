"""The command line and the progress display."""

import io
import json
import sys

import pytest
from conftest import FRUIT, build

import minisearch
from minisearch import check, cli, progress
from minisearch.executors import InlineExecutor
from minisearch.partitions import MAX_PARTITIONS, MIN_MEMORY, choose_partitions


def run(*arguments):
    out = io.StringIO()
    status = cli.main([str(a) for a in arguments], out=out)
    return status, out.getvalue()


def test_cli_index_search_and_check_a_jsonl_corpus(tmp_path):
    source = tmp_path / "docs.jsonl"
    source.write_text("".join(json.dumps(d._asdict()) + "\n" for d in FRUIT))
    status, out = run("index", tmp_path / "idx", "--jsonl", source, "--workers", "0", "--no-progress", "--block-size", "3")
    assert status == 0
    assert "documents   7 written\n" in out and "blocks      3 of up to 3 documents" in out and "document store" in out
    status, out = run("search", tmp_path / "idx", "banana", "-k", "2")
    lines = out.splitlines()
    assert status == 0 and lines[0].startswith("'banana': top 2 in ")
    assert lines[1].endswith("Banana bread") and lines[2] == "                **banana** **banana** **banana** apple"
    assert lines[3].endswith("Apple pie")
    status, out = run("check", tmp_path / "idx")
    assert status == 0 and ": OK (" in out


@pytest.mark.parametrize(
    ("query", "status", "expected"),
    [
        ("zebra", 0, "Zebra crossing"),
        ("durian", 0, "(no document holds: durian)"),
        ("Z" * 65, 0, f" postings decoded)\n  (no document holds: {'z' * 65})"),
        ("zebra OR " + "z" * 65, 0, f"(no document holds: {'z' * 65})\n    1."),
        ("zebra OR", 2, "bad query: 'OR' needs a word after it (column 9)"),
        ("-zebra", 2, "bad query: a clause needs a word that is not excluded (column 1)"),
    ],
)
def test_cli_search(tmp_path, capsys, query, status, expected):
    build(FRUIT, tmp_path)
    got, out = run("search", tmp_path, "--", query)
    assert got == status
    assert expected in (out if status == 0 else capsys.readouterr().err)


def test_cli_index_a_directory_without_documents(tmp_path):
    (tmp_path / "docs" / "guide").mkdir(parents=True)
    (tmp_path / "docs" / "guide" / "install.txt").write_text("Install with pip.")
    (tmp_path / "docs" / "readme.txt").write_text("Read the install guide first.")
    (tmp_path / "docs" / "logo.png").write_bytes(b"\x89PNG\r\n\x1a\n\xff")
    status, out = run("index", tmp_path / "idx", "--dir", tmp_path / "docs", "--workers", "0", "--no-progress",
                      "--no-documents")
    assert status == 0 and "document store" not in out
    assert "documents   2 written\n" in out and "skipped     1 file(s) " in out and out.endswith(": logo.png\n")
    status, out = run("search", tmp_path / "idx", "install")
    assert [line.split()[-1] for line in out.splitlines()[1:]] == ["guide/install.txt", "readme.txt"]


def test_cli_shell_goes_on_after_a_bad_query_until_quit(tmp_path, monkeypatch):
    build(FRUIT, tmp_path)
    monkeypatch.setattr(sys, "stdin", io.StringIO("zebra\n\nOR\ncherry\n:q\nnever asked\n"))
    status, out = run("search", tmp_path)
    assert status == 0
    assert "Zebra crossing" in out and "bad query: 'OR' needs a word before it" in out and "Cherry" in out
    assert "never" not in out


def test_cli_reports_errors_with_a_status(tmp_path, capsys):
    assert run("search", tmp_path, "x")[0] == 1
    assert "no index" in capsys.readouterr().err
    bad = tmp_path / "bad.jsonl"
    bad.write_text('{"title": "a", "content": "b"}\n[]\n')
    assert run("index", tmp_path / "idx", "--jsonl", bad, "--workers", "0", "--no-progress")[0] == 1
    assert "line 2" in capsys.readouterr().err


def a_file(directory):
    (directory / "INDEX").write_text("a file")
    return directory / "INDEX"


def a_dangling_link(directory):
    (directory / "INDEX").symlink_to(directory / "missing")
    return directory / "INDEX"


def below_a_file(directory):
    (directory / "file").write_text("a file")
    return directory / "file" / "INDEX"


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (a_file, "{dir}/INDEX exists and is not a directory"),
        (a_dangling_link, "{dir}/INDEX exists and is not a directory"),
        (below_a_file, "cannot create the index directory {dir}/file/INDEX: Not a directory"),
    ],
)
def test_cli_an_index_directory_that_cannot_be_made_is_named(tmp_path, capsys, make, message):
    index_dir = make(tmp_path)
    source = tmp_path / "docs.jsonl"
    source.write_text(json.dumps(FRUIT[0]._asdict()) + "\n")
    assert run("index", index_dir, "--jsonl", source, "--workers", "0", "--no-progress")[0] == 1
    assert capsys.readouterr().err == f"minisearch: error: {message.format(dir=tmp_path)}\n"


HUGE = "9" * 40


@pytest.mark.parametrize(
    ("options", "error"),
    [
        (["--block-size", HUGE], "argument --block-size: at most 2,147,483,647"),
        (["--limit", HUGE], "argument --limit: at most 2,147,483,647"),
        (["--workers", HUGE], "argument --workers: at most 1,024"),
        (["--memory", "1K"], "argument --memory: at least 64M"),
        (["--memory", "63M"], "argument --memory: at least 64M"),
        (["--memory", "9" * 400], "argument --memory: not a size: '9999"),
        (["--partitions", "1025"], "argument --partitions: at most 1,024"),
        (["--block-size", "many"], "argument --block-size: not a whole number: 'many'"),
    ],
)
def test_cli_refuses_numbers_out_of_range(capsys, options, error):
    with pytest.raises(SystemExit) as exit_info:
        run("index", "INDEX", *options)
    assert exit_info.value.code == 2 and error in capsys.readouterr().err


def test_partitions_are_capped_and_a_budget_below_one_merge_refused():
    assert choose_partitions(10**15, MIN_MEMORY) == MAX_PARTITIONS
    assert choose_partitions(MIN_MEMORY // 2 // 6, MIN_MEMORY) == 1
    with pytest.raises(ValueError, match="memory must be at least 64 MiB"):
        minisearch.BuildOptions(memory=2**10)
    with pytest.raises(ValueError, match="block_size must be at most"):
        minisearch.BuildOptions(block_size=2**31)


@pytest.mark.parametrize(
    "arguments",
    [["-k", "1", "banana"], ["banana", "-k", "1"], ["banana", "-k", "1", "OR", "apple"], ["-k", "1", "--", "banana"]],
)
def test_cli_search_takes_options_before_or_after_the_query_words(tmp_path, arguments):
    build(FRUIT, tmp_path)
    status, out = run("search", tmp_path, *arguments)
    assert status == 0
    assert out.startswith("'banana") and ": top 1 in " in out and "Banana bread" in out


def test_cli_demo_on_a_few_standard_library_documents(tmp_path):
    status, out = run("demo", "--limit", "60", "--workers", "0", "--no-progress", "--index", tmp_path, "-k", "2")
    assert status == 0
    assert "documents   60 written\n" in out
    for query in cli.SAMPLE_QUERIES:
        assert repr(query) in out
    assert "query latency" in out and ": OK (" in out
    assert check.check_index(tmp_path).ok


def test_progress_falls_back_to_a_counter_without_tqdm(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "tqdm", None)  # makes "import tqdm" fail
    assert not progress.tqdm_available()
    with progress.progress("indexing", total=30, unit="docs") as bar:
        assert isinstance(bar, progress.StderrCounter)
        for _ in range(3):
            bar.update(10)
    err = capsys.readouterr().err
    assert err.endswith("\n") and "indexing: 30/30 docs" in err.splitlines()[-1]


def test_build_with_progress_reports_both_phases(tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    minisearch.build_index(FRUIT, tmp_path, minisearch.BuildOptions(block_size=3), executor=InlineExecutor())
    err = capsys.readouterr().err
    assert "indexing: 7 docs" in err and "merging: 1/1 partitions" in err
    with progress.progress("x", total=3, enabled=False) as bar:
        bar.update(3)
    assert capsys.readouterr().err == ""
