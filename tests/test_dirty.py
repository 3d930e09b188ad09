"""Dirty and torn files: stale next-page links, branch children reused by
other objects, stale copies of leaves and torn pages. A table gives exactly
its own records, each once, in key order, and no record made of garbage."""

import struct

import pytest

import esebuild as eb
from quarlet import EseDatabase

ROWS = 60
PER_LEAF = 6


def expected_rows(skip_leaves=()):
    return [{"n": i, "s": "a%03d" % i} for i in range(ROWS) if i // PER_LEAF not in skip_leaves]


def next_link(layout, page):
    """(file offset, bytes) that set a page's next-page link."""
    return layout.page_offset(page) + 20


def build(tmp_path, page_size):
    cols = [eb.Column("n", eb.T_LONG), eb.Column("s", eb.T_TEXT)]
    a = eb.Table("A", cols, [(i, "a%03d" % i) for i in range(ROWS)], max_leaf_entries=PER_LEAF)
    b = eb.Table("B", cols, [(i, "b%03d" % i) for i in range(ROWS)], max_leaf_entries=PER_LEAF)
    path = str(tmp_path / "dirty.edb")
    layout = eb.Database([a, b], page_size=page_size).write(path)
    return path, layout, layout.table("A").tree, layout.table("B").tree


def link(path, layout, page, target):
    eb.patch_file(path, next_link(layout, page), struct.pack("<I", target))


def stale_link_into_other_table(path, layout, a, b):
    link(path, layout, a.leaves[1], b.leaves[0])
    return ()


def leaves_only_the_branches_reach(path, layout, a, b):
    link(path, layout, a.leaves[-4], 0)
    return ()


def branch_child_reused(path, layout, a, b):
    # The branch page lists one of B's leaves where A's third leaf was; that
    # leaf is still reached by A's own chain.
    eb.relist_child(path, layout, a, a.leaves[2], b.leaves[3])
    return ()


def stale_copy_of_a_leaf(path, layout, a, b):
    # An unlisted page of A holding a copy of its fourth leaf, linked in
    # before it: nothing of it is new.
    with open(path, "rb") as f:
        f.seek(layout.page_offset(a.leaves[3]))
        copy = f.read(layout.format.page_size)
    spare = layout.last_page + 1
    eb.patch_file(path, layout.page_offset(spare), copy)
    link(path, layout, a.leaves[2], spare)
    return ()


def torn_page(path, layout, a, b):
    # The second leaf's values zeroed, its tag array intact: every entry
    # points into zeros and the page fails its checksum.
    hs = layout.format.header_size
    eb.patch_file(path, layout.page_offset(a.leaves[1]) + hs, bytes(600))
    return (1,)


def cycle_through_foreign_pages(path, layout, a, b):
    link(path, layout, a.leaves[1], b.leaves[0])
    link(path, layout, b.leaves[0], a.leaves[1])
    eb.relist_child(path, layout, a, a.leaves[4], b.leaves[0])
    link(path, layout, a.leaves[3], b.leaves[0])
    return (4,)


@pytest.mark.parametrize("page_size", [4096, 8192, 16384, 32768])
@pytest.mark.parametrize("damage", [
    stale_link_into_other_table, leaves_only_the_branches_reach, branch_child_reused,
    stale_copy_of_a_leaf, torn_page, cycle_through_foreign_pages,
], ids=lambda f: f.__name__)
def test_table_reads_its_own_records_once(tmp_path, page_size, damage):
    path, layout, a, b = build(tmp_path, page_size)
    lost = damage(path, layout, a, b)
    db = EseDatabase(path)
    assert db.read_table("A") == expected_rows(lost)
    assert [r["n"] for r in db.iter_table("A", True)] == [r["n"] for r in expected_rows(lost)]
    assert len(db.read_table("B")) == ROWS
