"""Header facts (get_header) and the integrity report (check()): every fact
written by the builder reads back, bad header and shadow copies are told
apart, torn, flipped, unused and unsigned pages get their verdicts, and each
kind of tree damage is reported with its page on the tree it touches."""

import datetime
import json
import struct

import pytest

import esebuild as eb
from quarlet import EseDatabase

T = datetime.datetime


def table(records=200):
    return eb.Table("t", [eb.Column("n", eb.T_LONG), eb.Column("s", eb.T_TEXT, codepage=1200)],
                    [(i, "row %d" % i) for i in range(records)])


@pytest.mark.parametrize("facts, expected", [
    ({}, {"state": 0, "file_type": "database", "creation_time": None, "windows_version": None,
          "repair_time": None, "required_log_low": 0, "committed_log": 0}),
    ({"state": eb.STATE_JUST_CREATED}, {"state": "just created"}),
    ({"state": eb.STATE_DIRTY_SHUTDOWN}, {"state": "dirty shutdown"}),
    ({"state": eb.STATE_CLEAN_SHUTDOWN}, {"state": "clean shutdown"}),
    ({"state": eb.STATE_BEING_CONVERTED}, {"state": "being converted"}),
    ({"state": eb.STATE_FORCE_DETACH}, {"state": "force detach"}),
    ({"state": 9}, {"state": 9}),
    ({"file_type": 1}, {"file_type": "streaming file"}),
    ({"file_type": 7}, {"file_type": 7}),
    ({"db_time": 0x123456789A}, {"database_time": 0x123456789A}),
    ({"last_objid": 397}, {"last_object_id": 397}),
    ({"windows": (10, 0, 26100, 2)}, {"windows_version": "10.0.26100",
                                      "windows_service_pack": 2}),
    ({"required_logs": (0x4E, 0x51), "committed_log": 0x52},
     {"required_log_low": 0x4E, "required_log_high": 0x51, "committed_log": 0x52}),
    ({"creation_format": (0x620, 20)}, {"creation_format_version": 0x620,
                                        "creation_format_revision": 20}),
    ({"repair_count": 2, "repair_time": T(2022, 7, 19, 17, 1, 26)},
     {"repair_count": 2, "repair_time": T(2022, 7, 19, 17, 1, 26)}),
    ({"creation_time": T(2024, 7, 27, 0, 23, 4), "consistent_time": T(2024, 10, 28, 4, 47, 3),
      "attach_time": T(2024, 2, 29, 23, 59, 59), "detach_time": T(1901, 1, 1)},
     {"creation_time": T(2024, 7, 27, 0, 23, 4), "consistent_time": T(2024, 10, 28, 4, 47, 3),
      "attach_time": T(2024, 2, 29, 23, 59, 59), "detach_time": T(1901, 1, 1),
      "invalid_times": {}}),
    ({"consistent_pos": (0x17, 31, 1931), "attach_pos": (0x17, 33, 616),
      "detach_pos": (0xFFFFFFFF, 0xFFFF, 0xFFFF)},
     {"consistent_position": {"generation": 0x17, "sector": 31, "offset": 1931},
      "attach_position": {"generation": 0x17, "sector": 33, "offset": 616},
      "detach_position": {"generation": 0xFFFFFFFF, "sector": 0xFFFF, "offset": 0xFFFF}}),
    # Set but no real date: None, with the stored bytes kept.
    ({"consistent_time": bytes([0, 0, 0, 1, 13, 120, 0, 0]),
      "attach_time": bytes([0, 0, 0, 29, 2, 123, 5, 6]),
      "detach_time": bytes([60, 0, 0, 1, 1, 120, 0, 0]),
      "creation_time": bytes([1, 2, 3, 4, 5, 0, 7, 8])},   # year byte 0: not set
     {"consistent_time": None, "attach_time": None, "detach_time": None,
      "creation_time": None,
      "invalid_times": {"consistent_time": bytes([0, 0, 0, 1, 13, 120, 0, 0]),
                        "attach_time": bytes([0, 0, 0, 29, 2, 123, 5, 6]),
                        "detach_time": bytes([60, 0, 0, 1, 1, 120, 0, 0])}}),
])
def test_header_facts_read_back(make_db, facts, expected):
    path = make_db(header=eb.Header(**facts))
    header = EseDatabase(path).get_header()
    assert {k: header[k] for k in expected} == expected
    assert header["header_checksum_ok"] and header["shadow_checksum_ok"]
    assert header["shadow_matches"]
    assert header["header_checksum"] == header["header_checksum_computed"]


def test_header_geometry_and_json_form(make_db):
    path = make_db(page_size=32768, revision=17,
                   header=eb.Header(creation_time=T(2020, 1, 2, 3, 4, 5),
                                    detach_time=bytes([0, 0, 0, 31, 4, 120, 0, 0])))
    db = EseDatabase(path)
    header = db.get_header()
    assert (header["page_size"], header["total_pages"]) == (32768, db.total_pages)
    assert (header["format_version"], header["format_revision"]) == (0x620, 17)
    # check() carries the same facts as text, so json.dumps takes the report.
    report = json.loads(json.dumps(db.check()))
    text = dict(header, creation_time="2020-01-02T03:04:05",
                invalid_times={"detach_time": "0000001f04780000"})
    assert report["header"] == text


@pytest.mark.parametrize("damage, expected", [
    ("header", (False, True, False)),
    ("shadow", (True, False, False)),
    ("other shadow", (True, True, False)),   # a sound copy of other facts
    ("no shadow", (True, False, False)),
])
def test_header_and_shadow_checksums(make_db, damage, expected):
    ps = 8192
    options = {}
    if damage == "header":
        options["patches"] = [(300, b"\x01")]
    elif damage == "shadow":
        options["patches"] = [(ps + 300, b"\x01")]
    elif damage == "other shadow":
        options["pages"] = {0: eb.Header(state=eb.STATE_DIRTY_SHUTDOWN).encode(eb.Format())}
    else:
        options["shadow"] = False
    db = EseDatabase(make_db([table(5)], page_size=ps, **options))
    header = db.get_header()
    assert (header["header_checksum_ok"], header["shadow_checksum_ok"],
            header["shadow_matches"]) == expected
    assert db.check()["header"]["header_checksum_ok"] == expected[0]


@pytest.mark.parametrize("page_size, revision", [(4096, 20), (8192, 20), (16384, 20),
                                                 (32768, 17), (32768, 11)])
def test_sound_database_reports_no_damage(make_db, page_size, revision):
    db = EseDatabase(make_db([table(3000)], page_size=page_size, revision=revision,
                             min_pages=60))
    pages = db.check()["pages"]
    assert pages["checked"] == db.total_pages
    assert pages["sound"] + pages["unused"] == db.total_pages
    assert pages["unused"] > 0 and pages["bad"] == 0 and pages["no_checksum"] == 0
    assert pages["bad_pages"] == [] and pages["no_checksum_pages"] == []


# (page size, revision, offset in the page of the patched byte, failing blocks)
@pytest.mark.parametrize("page_size, revision, offset, blocks", [
    (4096, 20, 2000, [0]),           # bit flip on a one-block page
    (8192, 20, 8191, [0]),
    (16384, 20, 16383, [3]),         # torn write: the last block
    (32768, 17, 32768 - 4, [3]),
    (32768, 20, 8192 + 5, [1]),
    (32768, 20, 100, [0]),           # block 0 holds the page header
    (32768, 11, 32767, [0]),         # 40-byte header: one block over the page
])
def test_damaged_page_names_its_failing_blocks(tmp_path, page_size, revision, offset, blocks):
    path = str(tmp_path / "torn.edb")
    layout = eb.Database([table(2000)], page_size=page_size, revision=revision).write(path)
    leaf = layout.table("t").tree.leaves[-1]
    at = layout.page_offset(leaf) + offset
    with open(path, "rb") as f:
        f.seek(at)
        old = f.read(1)[0]
    eb.patch_file(path, at, bytes([old ^ 0x04]))
    db = EseDatabase(path)
    report = db.check()
    pages = report["pages"]
    assert pages["bad_pages"] == [{"page": leaf, "blocks": blocks, "owner": 8, "tree": 1,
                                   "reached": True}]
    assert report["trees"][1]["bad_pages"] == [leaf]
    assert pages["sound"] + pages["unused"] + 1 == pages["checked"] == db.total_pages


@pytest.mark.parametrize("page_size", [8192, 32768])
def test_unused_bad_and_unsigned_pages(make_db, page_size):
    fmt = eb.Format(0x620, 20, page_size)
    unsigned = eb.Page([b""], eb.PF_LEAF, owner=9, checksum=0).encode(fmt)
    garbage = ("not a page " * 4000).encode()[:page_size]
    db = EseDatabase(make_db([table(5)], page_size=page_size, revision=20,
                             pages={40: unsigned, 41: unsigned, 43: garbage, 44: bytes(page_size)},
                             min_pages=46))
    pages = db.check()["pages"]
    assert pages["no_checksum_pages"] == [40, 41] and pages["no_checksum"] == 2
    assert [p["page"] for p in pages["bad_pages"]] == [43]
    assert pages["unused"] >= 3   # 42, 44, 45, 46 were never written


# ---- trees --------------------------------------------------------------------

T_OBJ, U_OBJ = 40, 41


def key(n):
    """The builder's default key of record n (counting from 1)."""
    return b"\x7f" + struct.pack(">I", n ^ 0x80000000)


def record_data(n):
    return b"\x01\x7f\x09\x00" + struct.pack("<I", n) + b"\x00"


def two_tables(records=None, pages=None):
    cols = [eb.Column("n", eb.T_LONG)]
    return eb.Database([
        eb.Table("t", cols, records or [(i,) for i in range(60)], objid=T_OBJ,
                 max_leaf_entries=10, indexes=[eb.Index("PK", "n", primary=True)]),
        eb.Table("u", cols, [(i,) for i in range(30)], objid=U_OBJ, max_leaf_entries=10),
    ], page_size=4096, pages=pages or {}, min_pages=300)


def set_next(path, layout, page, next_page):
    eb.patch_page_file(path, layout, page, 20, struct.pack("<I", next_page))


def leaf_page(n_first, count, flags=eb.PF_BASE | eb.PF_LEAF, owner=T_OBJ):
    return eb.Page([b""] + [eb.leaf_entry(key(n), record_data(n))
                            for n in range(n_first, n_first + count)], flags, owner=owner)


def damage_foreign(path, layout):
    t, u = layout.table("t").tree, layout.table("u").tree
    set_next(path, layout, t.leaves[1], u.leaves[0])
    return {"foreign_pages": [{"page": u.leaves[0], "owner": U_OBJ}],
            "link_mismatches": [{"page": t.leaves[1], "next": u.leaves[0]}]}


def damage_stale_link(path, layout):
    t = layout.table("t").tree
    set_next(path, layout, t.leaves[0], t.leaves[2])
    return {"link_mismatches": [{"page": t.leaves[0], "next": t.leaves[2]}], "live": 60}


def damage_unlisted(path, layout):
    # The last leaf links to a leaf of "t" no branch lists, holding stale
    # copies of records 59 and 60 and new records 61 and 62.
    t = layout.table("t").tree
    set_next(path, layout, t.leaves[-1], 250)
    return {"unlisted_pages": [250], "stale": 2, "live": 62,
            "link_mismatches": [{"page": t.leaves[-1], "next": 250}]}


def damage_impossible(path, layout):
    # An impossible record on a page whose checksum fails: rejected.
    leaf = layout.table("t").tree.leaves[0]
    eb.patch_page_file(path, layout, leaf, 4000, b"\x55", sign=False)
    return {"bad_pages": [leaf], "rejected": 1, "live": 59}


def damage_unreadable(path, layout):
    # The branch lists a page past the file where the fourth leaf was, and
    # no link leads around it: the walk ends there, and the leaves it did
    # not reach are orphans.
    t = layout.table("t").tree
    eb.relist_child(path, layout, t, t.leaves[3], 99999)
    eb.sign_page_file(path, layout, t.root)
    set_next(path, layout, t.leaves[2], 0)
    return {"unreadable_pages": [99999], "error": "Invalid page number: 99999",
            "bad_branch_entries": [{"page": t.root, "tag": 4, "error": "Invalid page number: 99999"}],
            "link_mismatches": [{"page": t.leaves[2], "next": 0}], "live": 30,
            "orphan_pages": t.leaves[3:]}


@pytest.mark.parametrize("records, pages, damage, expected", [
    (None, None, None, {"live": 60, "leaf_pages": 6}),
    ([eb.Record((i,), deleted=i % 3 == 0) for i in range(60)], None, None,
     {"live": 40, "deleted": 20}),
    (None, None, damage_foreign, {}),
    (None, None, damage_stale_link, {}),
    (None, {250: leaf_page(59, 4)}, damage_unlisted, {}),
    (None, {250: leaf_page(70, 3), 251: leaf_page(80, 2)}, None,
     {"orphan_pages": [250, 251], "live": 60}),
    (None, {250: eb.Page([b""], eb.PF_BASE | eb.PF_LEAF | 0x8, owner=T_OBJ)}, None,
     {"freed_pages": [250], "anomalous": False}),
    ([(i,) for i in range(59)] + [eb.Raw(b"\x00\x00\x00\x00")], None, None, {"live": 60}),
    ([eb.Raw(b"\x00\x00\x00\x00")] + [(i,) for i in range(59)], None, damage_impossible, {}),
    (None, None, damage_unreadable, {}),
])
def test_tree_findings(tmp_path, records, pages, damage, expected):
    path = str(tmp_path / "trees.edb")
    layout = two_tables(records, pages).write(path)
    if damage is not None:
        expected = dict(damage(path, layout), **expected)
    report = EseDatabase(path).check()
    trees = {(t["table"], t["role"]): t for t in report["trees"]}
    t = trees[("t", "data")]
    defaults = {"foreign_pages": [], "link_mismatches": [], "unlisted_pages": [],
                "orphan_pages": [], "freed_pages": [], "unreadable_pages": [], "bad_pages": [],
                "bad_branch_entries": [],
                "stale": 0, "rejected": 0, "deleted": 0, "error": None,
                "anomalous": not set(expected) <= {"live", "deleted", "leaf_pages",
                                                   "freed_pages", "anomalous"}}
    defaults.update(expected)
    assert {k: t[k] for k in defaults} == defaults
    # The primary index is the key of the table's tree, not a second tree.
    assert (t["root"], t["owner"], t["primary_index"]) == (layout.table("t").root, T_OBJ, "PK")
    others = [tree for tree in report["trees"] if tree is not t]
    assert [tree["role"] for tree in others] == ["catalog", "data"]
    assert not any(tree["anomalous"] for tree in others)
    assert trees[("u", "data")]["live"] == 30
    bad = report["pages"]["bad_pages"]
    assert [(p["page"], p["tree"], p["reached"]) for p in bad] == [
        (n, report["trees"].index(t), True) for n in expected.get("bad_pages", [])]


def test_pages_of_no_object_are_unowned_and_one_table_can_be_checked(make_db):
    pages = {250: leaf_page(1, 2, owner=77), 251: leaf_page(1, 2, owner=T_OBJ)}
    path = make_db()
    two_tables(pages=pages).write(path)
    db = EseDatabase(path)
    assert db.check()["pages"]["unowned"] == 1
    one = db.check("u")
    assert [(t["table"], t["role"]) for t in one["trees"]] == [("u", "data")]
    # Page 251 belongs to "t", whose trees were not walked: neither unowned
    # nor an orphan of the trees checked.
    assert one["pages"]["unowned"] == 1 and one["pages"]["checked"] == db.total_pages
    with pytest.raises(ValueError, match="^Table not found: v$"):
        db.check(table_name="v")
