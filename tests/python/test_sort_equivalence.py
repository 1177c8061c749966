"""The ranking and merge sorts agree byte for byte with the reference model.

The native sort distributes postings on the digits of their sort key and only compares them below
a small-range threshold, so these lists are built to reach every path: many equal scores (few
distinct key words), values that wrap around 2**32 in the score, negative doc ids and
frequencies, runs of identical postings, and sizes far above the threshold.
"""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorbel

import reference as ref

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1

# Values where the score cf + tf (or cf + 4 * tf) wraps, or where the key words straddle the sign
# bit that the packed key flips.
EDGES = [INT32_MIN, INT32_MIN + 1, -(2**30), -2, -1, 0, 1, 2, 2**29, 2**30 - 1, 2**30,
         INT32_MAX - 1, INT32_MAX]

small_freq = st.integers(0, 6)
edge = st.sampled_from(EDGES)
any_int32 = st.integers(INT32_MIN, INT32_MAX)
freq = st.one_of(small_freq, small_freq, edge, any_int32)
doc_id = st.one_of(st.integers(0, 10_000_000), edge, any_int32)
postings = st.lists(st.tuples(doc_id, freq, freq), max_size=400)


def ranked(postings):
    return ref.encode_posting_list(postings)


def merged(items):
    return ref.merge_posting_lists(items)


@settings(max_examples=300, deadline=None)
@given(postings)
def test_ranking_sort_matches_the_reference(postings):
    assert quorbel.encode_posting_list(postings) == ranked(postings)


@settings(max_examples=200, deadline=None)
@given(st.lists(postings, max_size=5))
def test_merge_sort_matches_the_reference(lists):
    items = [quorbel.encode_posting_list(p, assume_sorted=True) for p in lists]
    assert quorbel.merge_posting_lists(items) == merged(items)


@settings(max_examples=50, deadline=None)
@given(st.integers(0, 2**32 - 1), st.integers(200, 5000), st.integers(1, 8))
def test_large_lists_with_few_distinct_scores_match_the_reference(seed, length, distinct):
    # Thousands of postings sharing a few (cf, tf) pairs: most of the order is decided by doc id
    # inside big groups, which takes several distributions on the doc-id word.
    rng = random.Random(seed)
    pairs = [(rng.randint(0, 5), rng.choice([0, 0, 0, 1, 2])) for _ in range(distinct)]
    postings = [(rng.randrange(10_000_000), *rng.choice(pairs)) for _ in range(length)]
    assert quorbel.encode_posting_list(postings) == ranked(postings)
    half = length // 2
    items = [quorbel.encode_posting_list(p, assume_sorted=True)
             for p in (postings[:half], postings[half:])]
    assert quorbel.merge_posting_lists(items) == merged(items)


@settings(max_examples=30, deadline=None)
@given(st.integers(0, 2**32 - 1), st.integers(100, 3000))
def test_large_lists_of_arbitrary_values_match_the_reference(seed, length):
    rng = random.Random(seed)
    values = [rng.choice(EDGES) if rng.random() < 0.2 else rng.randint(INT32_MIN, INT32_MAX)
              for _ in range(3 * length)]
    postings = list(zip(values[0::3], values[1::3], values[2::3]))
    assert quorbel.encode_posting_list(postings) == ranked(postings)
    items = [quorbel.encode_posting_list(postings, assume_sorted=True)]
    assert quorbel.merge_posting_lists(items) == merged(items)


def test_many_copies_of_few_postings_keep_every_copy():
    rng = random.Random(7)
    base = [(5, 1, 0), (5, 1, 0), (-3, 2, 1), (INT32_MAX, 0, 0), (INT32_MIN, 0, 0)]
    postings = [rng.choice(base) for _ in range(10_000)]
    data = quorbel.encode_posting_list(postings)
    assert data == ranked(postings)
    assert sorted(quorbel.decode_posting_list(data)) == sorted(postings)


def test_scores_that_wrap_rank_by_the_wrapped_value():
    # cf + tf wraps to INT32_MIN, which ranks first; cf + 4 * tf wraps differently again.
    rng = random.Random(11)
    postings = [(rng.randrange(1000), INT32_MAX, rng.choice([0, 1, 2, 2**29, 2**30]))
                for _ in range(2_000)]
    postings += [(rng.randrange(1000), rng.randrange(10), 0) for _ in range(2_000)]
    rng.shuffle(postings)
    assert quorbel.encode_posting_list(postings) == ranked(postings)
    items = [quorbel.encode_posting_list(postings, assume_sorted=True)]
    assert quorbel.merge_posting_lists(items) == merged(items)


def test_a_list_in_doc_order_of_realistic_size_matches_the_reference():
    rng = random.Random(3)
    doc = 0
    postings = []
    for _ in range(50_000):
        doc += rng.randint(1, 400)
        title = 0 if rng.random() < 0.9 else rng.randint(1, 3)
        postings.append((doc, min(60, int(rng.expovariate(0.8)) + 1), title))
    assert quorbel.encode_posting_list(postings) == ranked(postings)
    parts = [postings[i::4] for i in range(4)]
    items = [quorbel.encode_posting_list(p, assume_sorted=True) for p in parts]
    assert quorbel.merge_posting_lists(items) == merged(items)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Int(int):
    pass


class Triple(tuple):
    pass


def dress(value, kind):
    """`value` as one of the integer kinds a posting field accepts."""
    return [value, Index(value), Int(value), value][kind]


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(st.tuples(doc_id, freq, freq), st.integers(0, 3), st.integers(0, 3),
                          st.booleans()), max_size=80),
       st.booleans())
def test_elements_of_every_accepted_kind_encode_as_their_values(items, assume_sorted):
    # Exact tuples of exact ints are read in place; anything else takes the general conversion.
    # Mixed in one list, both must give the reference's bytes.
    postings = []
    for (d, c, t), kind_a, kind_b, subclass in items:
        fields = (dress(d, kind_a), dress(c, kind_b), t)
        postings.append(Triple(fields) if subclass else fields)
    plain = [(d, c, t) for (d, c, t), *_ in items]
    expected = ref.encode_posting_list(plain, assume_sorted)
    assert quorbel.encode_posting_list(postings, assume_sorted) == expected


def test_a_field_out_of_range_after_plain_postings_is_refused():
    postings = [(i, 1, 0) for i in range(100)] + [(5, 2**31, 0)]
    with pytest.raises(OverflowError) as info:
        quorbel.encode_posting_list(postings, True)
    assert str(info.value) == "out of range integral type conversion attempted"
    with pytest.raises(OverflowError) as info:
        quorbel.encode_posting_list(postings[:50] + [(5, 2**70, 0)])
    assert "out of range integral" not in str(info.value)
