"""Shared corpora and helpers of the engine's tests."""

import dataclasses
from pathlib import Path

import pytest

import minisearch
from minisearch.corpus import Document
from minisearch.executors import InlineExecutor

# A corpus small enough to rank by hand.
FRUIT = [
    Document("Apple pie", "apple apple banana"),  # 0
    Document("Banana bread", "banana banana banana apple"),  # 1
    Document("Cherry", "no fruit here but a cherry"),  # 2
    Document("apple", ""),  # 3
    Document("Notes", "Apple."),  # 4
    Document("Zebra crossing", "zebra zebra; the stripes of a zebra"),  # 5
    Document("Snake_case and dots", "json.decoder.JSONDecoder.raw_decode"),  # 6
]


def pytest_configure(config):
    config.addinivalue_line("markers", "cluster: runs on a Dask cluster (last: see below)")


def pytest_collection_modifyitems(items):
    """Cluster tests run last: a Dask client leaves threads behind in this process, and
    the process pools of other tests fork, which is not safe in a process with threads."""
    items.sort(key=lambda item: item.get_closest_marker("cluster") is not None)


def with_options(function, *args, **keywords):
    """Call a build function with the keywords that are build options gathered into one
    ``BuildOptions`` (without progress), and the others as they are."""
    fields = {field.name for field in dataclasses.fields(minisearch.BuildOptions)}
    options = {name: keywords.pop(name) for name in list(keywords) if name in fields}
    return function(*args, minisearch.BuildOptions(show_progress=False, **options), **keywords)


def build(documents, index_dir, **options):
    """Build in this process, two documents per block unless told otherwise."""
    options.setdefault("executor", InlineExecutor())
    options.setdefault("block_size", 2)
    return with_options(minisearch.build_index, documents, index_dir, **options)


def add(documents, index_dir, **options):
    """Add a segment in this process, three documents per block unless told otherwise."""
    options.setdefault("executor", InlineExecutor())
    options.setdefault("block_size", 3)
    return with_options(minisearch.add_documents, documents, index_dir, **options)


def data_file(index_dir, role, segment=0):
    """A data file of a segment; "postings" and "terms" name partition 0's."""
    role = {"postings": "postings-000", "terms": "terms-000"}.get(role, role)
    return Path(index_dir) / minisearch.manifest.read_manifest(index_dir).segments[segment].files[role]


def visible_files(directory):
    return sorted(p.name for p in Path(directory).iterdir() if p.name != ".lock")


@pytest.fixture(scope="module")
def fruit_index(tmp_path_factory):
    directory = tmp_path_factory.mktemp("fruit")
    build(FRUIT, directory)
    return directory
