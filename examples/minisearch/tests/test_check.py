"""minisearch check: every kind of damage is found and named."""

import io
import json
import os
import re
import shutil

import pytest
from conftest import data_file

import quorbel
from minisearch import check, cli
from minisearch.durability import sha256_of
from minisearch.layout import decode_term_table, encode_lengths, encode_term_table, encode_titles


@pytest.fixture
def damaged(fruit_index, tmp_path):
    target = tmp_path / "index"
    shutil.copytree(fruit_index, target)
    return target


def rewrite_block(index_dir, change):
    """Rewrite the block file with its entries passed through ``change``."""
    path = str(data_file(index_dir, "postings"))
    entries = change([list(entry) for entry in quorbel.iter_block_terms(path)])
    quorbel.write_binary_block([e[0] for e in entries], [(e[1], e[2]) for e in entries], [e[3] for e in entries], path)


def entry(name):
    def change(entries):
        return next(e for e in entries if e[0] == name)
    return change


def edit(name, update):
    def change(entries):
        update(entry(name)(entries))
        return entries
    return lambda d: rewrite_block(d, change)


def flip_byte(position, role="postings"):
    def damage(index_dir):
        path = data_file(index_dir, role)
        data = bytearray(path.read_bytes())
        data[position] ^= 0x41
        path.write_bytes(bytes(data))
    return damage


def resealed(damage):
    """``damage``, then the manifest's sizes and digests made to match: only reading the file finds it."""
    def apply(index_dir):
        damage(index_dir)
        manifest = json.loads((index_dir / "manifest.json").read_text())
        for segment in manifest["segments"]:
            for role, name in segment["files"].items():
                segment["file_sizes"][role] = os.path.getsize(index_dir / name)
                segment["file_sha256"][role] = sha256_of(index_dir / name)
        (index_dir / "manifest.json").write_text(json.dumps(manifest))
    return apply


def rewrite_table(index_dir, change):
    path = data_file(index_dir, "terms")
    table = decode_term_table(path.read_bytes())
    fields = change(table)
    path.write_bytes(encode_term_table(*fields))


def table_fields(table, **changes):
    gaps = [start - end for start, end in zip(table.starts, [8, *table.ends[:-1]])]
    sizes = [end - start for start, end in zip(table.starts, table.ends)]
    fields = dict(terms=table.terms, gaps=gaps, sizes=sizes, doc_freq=table.doc_freq, chunk_count=table.chunk_count,
                  chunk_first_doc=table.chunk_first_doc, chunk_max_f=table.chunk_max_f,
                  chunk_min_length=table.chunk_min_length, chunk_impact=table.chunk_impact, crcs=table.crcs)
    fields.update(changes)
    return list(fields.values())


def edit_manifest(segment=None, **changes):
    """Damage that changes fields of the manifest, or with ``segment`` of its first segment."""
    def damage(index_dir):
        path = index_dir / "manifest.json"
        manifest = json.loads(path.read_text())
        (manifest if segment is None else manifest["segments"][0]).update(changes)
        path.write_text(json.dumps(manifest))
    return damage


def append_to_manifest(text):
    """Damage that adds a member written out as ``text``: JSON that Python's reader cannot take."""
    def damage(index_dir):
        path = index_dir / "manifest.json"
        path.write_text(path.read_text().rstrip().removesuffix("}") + f', "extra": {text}}}')
    return damage


CORRUPTIONS = {
    "flip header byte": (flip_byte(0), ["SHA-256", "header announces"]),
    "flip a posting byte": (flip_byte(-2), ["SHA-256"]),
    "cut the block file": (lambda d: os.truncate(data_file(d, "postings"), 40), ["cannot be read", "40 bytes"]),
    "swap two entries": (lambda d: rewrite_block(d, lambda e: [e[1], e[0], *e[2:]]), ["expects 'a'"]),
    "wrong doc freq": (edit("banana", lambda e: e.__setitem__(1, 5)), ["doc_freq_content is 5, but 2 postings"]),
    "postings out of order": (edit("apple", lambda e: e[3].reverse()), ["out of order"]),
    "unknown document": (edit("zebra", lambda e: e.__setitem__(3, [(99, 3, 1)])), ["outside 0..6"]),
    "zero frequencies": (edit("zebra", lambda e: e.__setitem__(3, [(5, 0, 0)])), ["zero frequencies"]),
    "term table doc_freq": (
        lambda d: rewrite_table(d, lambda t: table_fields(t, doc_freq=[n + 1 for n in t.doc_freq])),
        ["postings, the term table says"],
    ),
    "term table offsets": (
        lambda d: rewrite_table(d, lambda t: table_fields(t, gaps=[g + 1 for g in table_fields(t)[1]])),
        ["does not hold its postings"],
    ),
    "lengths wrong": (
        lambda d: data_file(d, "lengths").write_bytes(encode_lengths([1] * 7)),
        ["tokens, the manifest records"],
    ),
    "titles missing": (lambda d: os.remove(data_file(d, "titles")), ["missing"]),
    "manifest missing": (lambda d: os.remove(d / "manifest.json"), ["no index"]),
    **{f"flip a {role} byte": (flip_byte(-3, role), [f"{role}-.*: contents differ from the manifest's SHA-256"])
       for role in ("terms", "lengths", "titles", "docs", "keys")},
    "term table cut, resealed": (
        resealed(lambda d: data_file(d, "terms").write_bytes(data_file(d, "terms").read_bytes()[:-9])),
        ["terms-.*: term table is damaged"],
    ),
    "lengths missing one, resealed": (
        resealed(lambda d: data_file(d, "lengths").write_bytes(encode_lengths([1] * 6))),
        ["lengths-.*: lengths-.* holds 6 lengths, expected 7"],
    ),
    "titles missing one, resealed": (
        resealed(lambda d: data_file(d, "titles").write_bytes(encode_titles(["x"] * 6))),
        ["titles-.*: titles-.* holds 6 titles, expected 7"],
    ),
    "document store overlong, resealed": (
        resealed(lambda d: data_file(d, "docs").write_bytes(data_file(d, "docs").read_bytes() + b"\0")),
        ["docs-.*: its groups end at"],
    ),
    "unknown tokenizer rule": (edit_manifest(tokenizer="[a-z]+"), [r"unknown tokenizer rule '\[a-z\]\+'; build the index again"]),
    "version 4 of today's rule": (edit_manifest(version=4), ["a version 4 index is not tokenised by"]),
    "a posting byte flipped, resealed": (resealed(flip_byte(-2)), ["the CRC-32 of its postings is 0x[0-9a-f]{8}, "
                                                                    "the term table records 0x[0-9a-f]{8}"]),
    "manifest nested deeply": (append_to_manifest("[" * 100_000 + "]" * 100_000), ["not a valid manifest: values nested too deeply"]),
    "manifest integer of 5000 digits": (append_to_manifest("9" * 5000), ["not a valid manifest: an integer of more than 4300 digits"]),
    "manifest first document too far": (edit_manifest(0, first_doc=2**70), ["'first_doc' is not an integer from 0 to 2147483647"]),
    "manifest tokens too many": (edit_manifest(0, tier_tokens=10**400), ["'tier_tokens' is not an integer from 0 to 9223372036854775807"]),
    "manifest segment ends too far": (edit_manifest(0, first_doc=2**31 - 2), ["ends after document 2147483647"]),
    "manifest files not an object": (edit_manifest(0, files=[1]), ["field 'files' of segment .* is not an object"]),
}


@pytest.mark.parametrize("corruption", CORRUPTIONS)
def test_check_names_each_corruption(damaged, corruption):
    damage, expected = CORRUPTIONS[corruption]
    assert check.check_index(damaged).ok
    damage(damaged)
    report = check.check_index(damaged)
    assert not report.ok
    for pattern in expected:
        assert any(re.search(pattern, problem) for problem in report.problems), (pattern, report.problems)
    out = io.StringIO()
    assert cli.main(["check", str(damaged)], out=out) == 1
    assert "problem" in out.getvalue() and re.search(expected[0], out.getvalue())


def test_check_finds_tiers_that_disagree_with_their_bounds(tmp_path):
    from conftest import FRUIT, build

    build(FRUIT * 3, tmp_path, head_size=1, chunk_size=2)
    assert check.check_index(tmp_path).ok
    rewrite_table(tmp_path, lambda t: table_fields(t, chunk_max_f=[f + 1 for f in t.chunk_max_f],
                                                   chunk_impact=[i / 2 for i in t.chunk_impact]))
    problems = check.check_index(tmp_path).problems
    assert any("the term table records" in p and "largest F" in p for p in problems)
    assert any("largest impact" in p for p in problems)
