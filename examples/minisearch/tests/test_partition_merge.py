"""The partition merge: tiers chosen in bulk, lists held encoded, segments read back in pieces."""

import heapq
import random
from array import array
from itertools import compress

import pytest
import quorbel
from conftest import FRUIT, add, build, data_file
from test_ranking import zipf_corpus
from test_segments import segment_files

import minisearch
from minisearch import merge
from minisearch.executors import InlineExecutor


def impacts_like(kind, length):
    rng = random.Random(length)
    if kind == "distinct":
        return [rng.random() for _ in range(length)]
    if kind == "ties":  # few values, as common words in documents of few lengths give
        return [rng.randrange(4) / 7 for _ in range(length)]
    # The best values all at the positions a 1-in-16 sample sees: its guess is too high.
    return [1.0 if position % 16 == 0 else rng.random() / 2 for position in range(length)]


@pytest.mark.parametrize("kind", ["distinct", "ties", "strided"])
@pytest.mark.parametrize("length", [1, 300, merge._SAMPLED, 20_000])
def test_the_head_is_the_largest_impacts_with_ties_in_position_order(kind, length):
    impacts = array("d", impacts_like(kind, length))
    for size in sorted({1, max(1, length // 16), max(1, length // 8), length}):
        in_head, rest = merge._head_of(impacts, size)
        assert in_head == heapq.nlargest(size, range(length), key=impacts.__getitem__)
        assert set(compress(range(length), rest)) == set(range(length)) - set(in_head)


@pytest.mark.parametrize(("batch", "sampled"), [(1, 2), (7, 16)])
def test_lists_tiered_in_small_batches_from_samples_are_the_same_files(tmp_path, monkeypatch, batch, sampled):
    corpus = zipf_corpus(7, 300)
    build(corpus, tmp_path / "reference", head_size=4, chunk_size=8)
    monkeypatch.setattr(merge, "_BATCH", batch)
    monkeypatch.setattr(merge, "_SAMPLED", sampled)
    build(corpus, tmp_path / "batched", head_size=4, chunk_size=8)
    assert segment_files(tmp_path / "batched") == segment_files(tmp_path / "reference")


def test_encoded_lists_read_as_the_lists_they_hold():
    lists = [[(1, 2, 0)], [(9, 1, 1), (3, 0, 2)], []]
    seen = merge.DecodedLists([quorbel.encode_posting_list(postings, True) for postings in lists])
    assert (len(seen), list(seen), seen[1], seen[-1], list(seen[1:])) == (3, lists, lists[1], [], lists[1:])


@pytest.mark.parametrize(
    ("damage", "message"),
    [
        (lambda data: data.replace(b"apple", b"appla", 1), r"entry \d+ is not 'apple'"),
        (lambda data: data + b"\0", r"entries in \d+ bytes; its term table lists"),
    ],
)
def test_a_damaged_segment_fails_its_merge_by_name_and_keeps_the_index(tmp_path, damage, message):
    build(FRUIT[:4], tmp_path, head_size=1, chunk_size=1)
    add(FRUIT[4:], tmp_path, merge=False)
    postings = data_file(tmp_path, "postings")
    postings.write_bytes(damage(postings.read_bytes()))
    before = segment_files(tmp_path)
    with pytest.raises(merge.IndexBuildError, match=f"segment .*, partition 0: .*{message}"):
        minisearch.optimize_index(tmp_path, minisearch.BuildOptions(show_progress=False), executor=InlineExecutor())
    assert segment_files(tmp_path) == before
