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


def child_zero(path, layout, tree, leaf):
    eb.relist_child(path, layout, tree, leaf, 0)
    return "Parse error: Branch entry has invalid child page number: 0 (likely corrupted data)"


def child_past_the_file(path, layout, tree, leaf):
    eb.relist_child(path, layout, tree, leaf, 99999)
    return "Invalid page number: 99999"


def entry_too_short(path, layout, tree, leaf):
    eb.relist_child(path, layout, tree, leaf, size=4)
    return "Parse error: Branch entry too short: got 4 bytes, need at least 6 (flags: 0x0)"


def tag_past_the_page(path, layout, tree, leaf):
    eb.relist_child(path, layout, tree, leaf, offset=0x7FFF if layout.format.large else 0x1FFF)
    return "Tag offset out of bounds: "


@pytest.mark.parametrize("page_size", [4096, 32768])
@pytest.mark.parametrize("fault", [child_zero, child_past_the_file, entry_too_short,
                                   tag_past_the_page], ids=lambda f: f.__name__)
@pytest.mark.parametrize("stand_in", [True, False], ids=["linked", "unlinked"])
def test_branch_entry_without_a_page(tmp_path, page_size, fault, stand_in):
    """A branch entry that yields no page loses no row in silence: the leaf
    the previous leaf links to stands in for it, or the read ends with the
    entry's error after the rows before it; check() names the entry."""
    path, layout, a, b = build(tmp_path, page_size)
    message = fault(path, layout, a, a.leaves[3])
    if not stand_in:
        link(path, layout, a.leaves[2], 0)
    db = EseDatabase(path)
    if stand_in:
        assert db.read_table("A") == expected_rows()
    for decode in ([] if stand_in else [False, True]):
        it = db.iter_table("A", decode)
        assert [next(it)["n"] for _ in range(3 * PER_LEAF)] == list(range(3 * PER_LEAF))
        with pytest.raises(OSError) as info:
            next(it)
        assert info.value.args[0].startswith("Error reading record: " + message)
    tree = next(t for t in db.check()["trees"] if t["name"] == "A")
    faults = tree["bad_branch_entries"]
    assert [(f["page"], f["tag"]) for f in faults] == [(a.root, 4)]
    assert faults[0]["error"].startswith(message) and tree["anomalous"]
    assert tree["error"] == (None if stand_in else faults[0]["error"])
