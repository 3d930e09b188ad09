"""The catalog as Python sees it: table and column order, schema
dictionaries, malformed and deleted catalog rows, and catalog or table trees
that are deep, sparse, cyclic or damaged."""

import faulthandler
import struct

import pytest

import esebuild as eb
from quarlet import EseDatabase

LEAF = eb.PF_BASE | eb.PF_LEAF
BRANCH = eb.PF_BASE | eb.PF_PARENT

TYPE_NAMES = [
    "NULL", "Boolean", "Unsigned byte", "Signed short", "Signed long",
    "Currency", "Single precision FP", "Double precision FP", "DateTime",
    "Binary", "Text", "Long Binary", "Long Text", "Obsolete", "Unsigned long",
    "Long long", "GUID", "Unsigned short", "Max",
]


@pytest.fixture
def deadline():
    """Ends the whole run with a traceback if a damaged-tree read hangs."""
    faulthandler.dump_traceback_later(30, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def branch_page(*children, flags=BRANCH, owner=0):
    """A branch page of object `owner` whose entries point at `children`;
    the last key is empty as in every rightmost entry."""
    tags = [b""]
    for i, child in enumerate(children):
        key = b"" if i == len(children) - 1 else b"k%05d" % i
        tags.append(eb.branch_entry(key, child))
    return eb.Page(tags, flags, owner=owner)


class CatalogOnPages:
    """Moves the catalog rows the builder generates onto hand-made leaf
    pages (given in Database(pages=...)), leaving the builder's own catalog
    at page 4 empty; page 4 is then replaced by a hand-made branch. The
    builder calls the hook before it encodes hand-made pages. `split` says
    how many rows go on each leaf but the last, which takes the rest."""

    def __init__(self, leaves, split=()):
        self.leaves = leaves
        self.split = list(split)

    def hook(self, entries):
        rows = [eb.Tag(eb.leaf_entry(e.key, e.data), e.flags) for e in entries]
        start = 0
        for page, count in zip(self.leaves, self.split + [len(rows)]):
            page.tags = [eb.Tag(b"")] + rows[start:start + count]
            start += count
        return []


def two_tables():
    return [eb.Table("t", [eb.Column("a", eb.T_LONG), eb.Column("b", eb.T_TEXT)],
                     [(1, "x"), (2, "y")], objid=10),
            eb.Table("u", [eb.Column("c", eb.T_LONG)], [(5,)], objid=11)]


# ---------------------------------------------------------------------------
# Order and schema
# ---------------------------------------------------------------------------

NAMES = ["zeta", "alpha", "Mid", "_x", "beta", "A", "a", "omega", "delta",
         "Zulu", "gamma", "b", "epsilon", "0", "yankee", "kilo", "lima", "mu"]


@pytest.mark.parametrize("page_size", [4096, 16384, 32768])
@pytest.mark.parametrize("compress", [False, True])
def test_tables_listed_in_catalog_order_across_many_pages(tmp_path, page_size, compress):
    tables = [eb.Table(n, [eb.Column("c%d" % j, eb.T_LONG) for j in range(3)])
              for n in NAMES]
    path = str(tmp_path / "many.edb")
    layout = eb.Database(tables, page_size=page_size, catalog_max_leaf_entries=3,
                         catalog_max_branch_entries=2,
                         catalog_prefix_compression=compress).write(path)
    assert layout.catalog.depth >= 3
    database = EseDatabase(path)
    assert database.get_tables() == NAMES
    assert repr(database).endswith("tables=%d, page_size=%d)" % (len(NAMES), page_size))
    for n in NAMES:
        assert [c["name"] for c in database.get_table_schema(n)] == ["c0", "c1", "c2"]


def test_schema_lists_columns_in_catalog_order_with_exact_dicts(make_db):
    # One column of every type, declared in an order unrelated to their ids
    # or names; the flags decide "nullable" by bit 0x1 alone.
    flags = [0x1, 0x0, 0x3, 0xFFFFFFFE, 0x1001, 0xFFFFFFFF, 0x2, 0x5, 0x0,
             0x1, 0x400, 0x1, 0x0, 0x1, 0x6, 0x0, 0x1, 0x8, 0x0]
    order = [7, 18, 0, 12, 3, 16, 9, 1, 13, 10, 5, 17, 11, 2, 15, 8, 4, 14, 6]
    columns = [eb.Column("col%02d" % t, t, flags=flags[t]) for t in order]
    path = make_db([eb.Table("t", columns)])
    schema = EseDatabase(path).get_table_schema("t")
    assert [list(d) for d in schema] == [["name", "type", "id", "nullable"]] * 19
    assert schema == [{"name": "col%02d" % t, "type": TYPE_NAMES[t],
                       "id": c.id, "nullable": not flags[t] & 1}
                      for t, c in zip(order, columns)]
    assert all(type(d["nullable"]) is bool and type(d["id"]) is int for d in schema)
    # Ids were chosen by kind, so catalog order is not id order here.
    assert [d["id"] for d in schema] != sorted(d["id"] for d in schema)


# ---------------------------------------------------------------------------
# Repeated, orphan and deleted catalog rows
# ---------------------------------------------------------------------------

def test_repeated_table_name_keeps_first_position_and_last_content(make_db):
    first = eb.Table("dup", [eb.Column("a", eb.T_LONG), eb.Column("only_first", eb.T_LONG, id=300)],
                     [(1, 10)])
    second = eb.Table("dup", [eb.Column("a", eb.T_LONG), eb.Column("b", eb.T_TEXT)],
                      [(2, "two"), (3, "three")])
    path = make_db([first, eb.Table("other", [eb.Column("x", eb.T_LONG)], [(9,)]), second])
    db = EseDatabase(path)
    assert db.get_tables() == ["dup", "other"]
    # Columns of both table rows are attached, in catalog order.
    assert [c["name"] for c in db.get_table_schema("dup")] == ["a", "only_first", "b"]
    # The later row's root page wins.
    assert db.read_table("dup") == [{"a": 2, "b": "two", "only_first": None},
                                    {"a": 3, "b": "three", "only_first": None}]
    assert db.read_table("other") == [{"x": 9}]


def test_repeated_column_name_keeps_first_position_and_last_content(make_db):
    columns = [eb.Column("c", eb.T_LONG, id=256), eb.Column("d", eb.T_LONG, id=257),
               eb.Column("c", eb.T_TEXT, id=258)]
    path = make_db([eb.Table("t", columns, [(1, 2, "x")])])
    db = EseDatabase(path)
    assert db.get_table_schema("t") == [
        {"name": "c", "type": "Text", "id": 258, "nullable": True},
        {"name": "d", "type": "Signed long", "id": 257, "nullable": True}]
    (row,) = db.read_table("t")
    # Records list columns by ascending id: d (257) before c (258).
    assert list(row.items()) == [("d", 2), ("c", "x")]


def test_orphan_rows_are_dropped_and_rows_before_their_table_still_attach(make_db):
    orphans = [eb.catalog_record(eb.CT_COLUMN, 999, 300, eb.T_LONG, 4, 0, 0, "orphan"),
               eb.catalog_record(eb.CT_INDEX, 999, 50, 7, 0, 0, 1033, "ix"),
               eb.catalog_record(eb.CT_LONG_VALUE, 999, 51, 7, 0, 0, 0, "LV")]
    early = eb.catalog_record(eb.CT_COLUMN, 10, 301, eb.T_TEXT, 0, 0, 1252, "early")
    path = make_db(two_tables(), catalog_extra=[(0, early)] + orphans)
    db = EseDatabase(path)
    assert db.get_tables() == ["t", "u"]
    # Columns are attached in the order of their rows, the table row aside.
    assert [c["name"] for c in db.get_table_schema("t")] == ["early", "a", "b"]
    assert [c["name"] for c in db.get_table_schema("u")] == ["c"]
    assert db.read_table("t") == [{"a": 1, "b": "x", "early": None},
                                  {"a": 2, "b": "y", "early": None}]


def test_deleted_catalog_rows_are_ignored(make_db):
    live = eb.Table("t", [eb.Column("a", eb.T_LONG), eb.Column("old", eb.T_LONG, deleted=True)],
                    [(1, 100), (2, 200)])
    # A deleted row of the same name after the live one would replace it.
    stale = eb.Table("t", [eb.Column("z", eb.T_TEXT)], [("stale",)], deleted=True)
    gone = eb.Table("gone", [eb.Column("g", eb.T_LONG)], [(7,)], deleted=True)
    path = make_db([live, gone, stale, eb.Table("u", [eb.Column("c", eb.T_LONG)], [(5,)])])
    db = EseDatabase(path)
    assert db.get_tables() == ["t", "u"]
    assert db.get_table_schema("t") == [{"name": "a", "type": "Signed long", "id": 1,
                                         "nullable": True}]
    assert db.read_table("t") == [{"a": 1}, {"a": 2}]
    with pytest.raises(ValueError):
        db.read_table("gone")


# ---------------------------------------------------------------------------
# Malformed catalog records: fatal up to 8 KiB pages, skipped above
# ---------------------------------------------------------------------------

def column_row(**kw):
    return eb.catalog_record(eb.CT_COLUMN, 10, 300, eb.T_LONG, 4, 0, 0, "bad", **kw)


MALFORMED = [
    ("4 bytes", b"\x01\x02\x03\x04", "Invalid catalog entry"),
    ("13 bytes", column_row()[:13], "Invalid catalog entry"),
    ("type 0", eb.catalog_record(0, 10, 300, 0, 0, 0, 0, "bad"), "Unsupported catalog type: 0"),
    ("type 6", eb.catalog_record(6, 10, 300, 0, 0, 0, 0, "bad"), "Unsupported catalog type: 6"),
    ("type 65535", eb.catalog_record(0xFFFF, 10, 300, 0, 0, 0, 0, "bad"),
     "Unsupported catalog type: 65535"),
    ("callback", eb.catalog_record(eb.CT_CALLBACK, 10, 300, 0, 0, 0, 0, "cb"),
     "Callback catalog type is not supported"),
    ("column type 19", eb.catalog_record(eb.CT_COLUMN, 10, 300, 19, 4, 0, 0, "bad"),
     "Unsupported column type: 19"),
    ("column type max", eb.catalog_record(eb.CT_COLUMN, 10, 300, 0xFFFFFFFF, 4, 0, 0, "bad"),
     "Unsupported column type: 4294967295"),
    ("no variable columns", column_row(last_var=127), "Invalid catalog entry"),
    ("table of 21 bytes", eb.catalog_record(eb.CT_TABLE, 12, 12, 5, 0, 0, 0, "x")[:21],
     "Invalid catalog entry"),
    ("column of 29 bytes", column_row()[:29], "Invalid catalog entry"),
    ("name past the record", column_row(name_len=500), "Invalid catalog entry"),
    ("offset array past the record", column_row(var_offset=1000), "Invalid catalog entry"),
    # The type is checked before the name area.
    ("type before name", eb.catalog_record(6, 10, 300, 0, 0, 0, 0, "b", name_len=900),
     "Unsupported catalog type: 6"),
    ("column type before name",
     eb.catalog_record(eb.CT_COLUMN, 10, 300, 19, 4, 0, 0, "b", name_len=900),
     "Unsupported column type: 19"),
]


@pytest.mark.parametrize("page_size", [4096, 8192, 16384, 32768])
@pytest.mark.parametrize("record, message", [m[1:] for m in MALFORMED],
                         ids=[m[0] for m in MALFORMED])
def test_malformed_catalog_record(make_db, page_size, record, message):
    # Inserted between table t's row and its column rows.
    path = make_db(two_tables(), page_size=page_size, catalog_extra=[(1, record)])
    if page_size <= 8192:
        with pytest.raises(OSError) as info:
            EseDatabase(path)
        assert type(info.value) is OSError
        assert info.value.args == ("Failed to open database: " + message,)
    else:
        db = EseDatabase(path)
        assert db.get_tables() == ["t", "u"]
        assert [c["name"] for c in db.get_table_schema("t")] == ["a", "b"]
        assert db.read_table("t") == [{"a": 1, "b": "x"}, {"a": 2, "b": "y"}]


@pytest.mark.parametrize("page_size", [4096, 8192, 32768])
@pytest.mark.parametrize("record", [b"", b"\x01", b"\xff\xff\xff"])
def test_catalog_records_below_four_bytes_are_ignored(make_db, page_size, record):
    path = make_db(two_tables(), page_size=page_size,
                   catalog_extra=[(0, record), (2, record), record])
    db = EseDatabase(path)
    assert db.get_tables() == ["t", "u"]
    assert db.read_table("u") == [{"c": 5}]


def test_empty_catalog_opens_with_no_tables(make_db):
    db = EseDatabase(make_db([]))
    assert db.get_tables() == []
    assert repr(db).endswith("tables=0, page_size=8192)")


# ---------------------------------------------------------------------------
# Deep, sparse and damaged trees
# ---------------------------------------------------------------------------

FAR_ROWS = 600


@pytest.fixture(scope="module")
def sparse_db(tmp_path_factory):
    """4 KiB pages. The catalog: page 4 -> branch 150000 -> leaves 150001
    and 150002; table "far" has its root at 170000 and a tree of several
    levels (and its long values) above that; "near" is an ordinary table.
    The file is sparse: about 700 MB long, a few MB on disk."""
    path = str(tmp_path_factory.mktemp("sparse") / "sparse.edb")
    leaves = [eb.Page(flags=LEAF), eb.Page(flags=LEAF)]
    moved = CatalogOnPages(leaves, split=[3])
    far = eb.Table("far", [eb.Column("id", eb.T_LONG), eb.Column("s", eb.T_TEXT),
                           eb.Column("note", eb.T_LONG_TEXT)],
                   ({"id": i, "s": "row%d" % i,
                     "note": eb.LongValue(("long %d " % i).encode() * 300) if i % 50 == 0 else None}
                    for i in range(FAR_ROWS)),
                   first_page=170000, max_leaf_entries=5, max_branch_entries=3)
    near = eb.Table("near", [eb.Column("id", eb.T_LONG)], [(1,), (2,)])
    db = eb.Database([near, far], page_size=4096, catalog_hook=moved.hook,
                     pages={4: branch_page(150000, flags=BRANCH | eb.PF_ROOT),
                            150000: branch_page(150001, 150002),
                            150001: leaves[0], 150002: leaves[1]})
    layout = db.write(path)
    return path, layout


def test_sparse_file_with_pages_beyond_100000(sparse_db, deadline):
    path, layout = sparse_db
    far = layout.table("far")
    assert far.root == 170000 and far.tree.depth >= 4 and min(far.lv.pages) > 170000
    db = EseDatabase(path)
    assert db.total_pages == layout.last_page > 170000
    assert db.get_tables() == ["near", "far"]
    assert [c["name"] for c in db.get_table_schema("far")] == ["id", "s", "note"]
    rows = db.read_table("far")
    assert [r["id"] for r in rows] == list(range(FAR_ROWS))
    assert rows[7] == {"id": 7, "s": "row7", "note": None}
    assert rows[100]["note"] == "long 100 " * 300
    assert db.read_table("near") == [{"id": 1}, {"id": 2}]


def test_cycles_in_catalog_child_links_end(make_db, deadline):
    # Page 4 -> 5000 (branch pointing back at 4, at itself and at a leaf)
    # and -> 5002 (leaf). Every page is entered once.
    leaves = [eb.Page(flags=LEAF), eb.Page(flags=LEAF)]
    moved = CatalogOnPages(leaves, split=[3])
    pages = {4: branch_page(5000, 4, 5002, flags=BRANCH | eb.PF_ROOT),
             5000: branch_page(4, 5000, 5001, 5000), 5001: leaves[0], 5002: leaves[1]}
    db = EseDatabase(make_db(two_tables(), catalog_hook=moved.hook, pages=pages))
    assert db.get_tables() == ["t", "u"]
    assert [c["name"] for c in db.get_table_schema("t")] == ["a", "b"]
    assert db.read_table("u") == [{"c": 5}]


def test_thousand_level_catalog_chain(make_db, deadline):
    leaf = eb.Page(flags=LEAF)
    moved = CatalogOnPages([leaf])
    pages = {4: branch_page(5000, flags=BRANCH | eb.PF_ROOT), 5999: leaf}
    pages.update({n: branch_page(n + 1) for n in range(5000, 5999)})
    db = EseDatabase(make_db(two_tables(), catalog_hook=moved.hook, pages=pages))
    assert db.get_tables() == ["t", "u"]
    assert db.read_table("t") == [{"a": 1, "b": "x"}, {"a": 2, "b": "y"}]


INNER = 50  # object id of "inner", carried by the hand-made pages above its root


def chained_tables(pages, root):
    """Table "deep" rooted at `root` (hand-made pages) and table "inner"
    holding the records, rooted at 9000."""
    cols = [eb.Column("n", eb.T_LONG), eb.Column("s", eb.T_TEXT)]
    inner = eb.Table("inner", cols, [(i, "r%d" % i) for i in range(50)], objid=INNER,
                     root_page=9000, first_page=9001, max_leaf_entries=7)
    deep = eb.Table("deep", [eb.Column("n", eb.T_LONG), eb.Column("s", eb.T_TEXT)],
                    root_page=root, build_tree=False)
    return [inner, deep]


def test_thousand_level_table_chain_reads_all_records(make_db, deadline):
    # 1000 branch levels, each with one child, above the root of "inner".
    pages = {n: branch_page(n + 1, flags=BRANCH | (eb.PF_ROOT if n == 6000 else 0), owner=INNER)
             for n in range(6000, 6999)}
    pages[6999] = branch_page(9000, owner=INNER)
    db = EseDatabase(make_db(chained_tables(pages, 6000), pages=pages))
    expected = [{"n": i, "s": "r%d" % i} for i in range(50)]
    assert db.read_table("inner") == expected
    assert db.read_table("deep") == expected


@pytest.mark.parametrize("links, records", [
    ({7000: [7000]}, 0),                                   # root points at itself
    ({7000: [7001], 7001: [7000]}, 0),                     # two-page loop
    ({7000: [7001, 9000], 7001: [7002], 7002: [7001]}, 50),  # loop below the root
    ({n: [n + 1] for n in range(7000, 7999)} | {7999: [7000]}, 0),  # 1000 levels closed
])
def test_cycles_on_the_way_down_enter_each_page_once(make_db, tmp_path, deadline, links,
                                                     records):
    pages = {n: branch_page(*children, owner=INNER) for n, children in links.items()}
    db = EseDatabase(make_db(chained_tables(pages, 7000), pages=pages))
    expected = [{"n": i, "s": "r%d" % i} for i in range(records)]
    assert db.read_table("deep") == expected
    out = tmp_path / "deep.jsonl"
    db.export_table("deep", str(out))
    assert len(out.read_text().splitlines()) == records
    assert len(db.read_table("inner")) == 50


@pytest.mark.parametrize("child_offset, readable", [(0, True), (1, False)])
def test_child_page_bound_is_the_page_count(tmp_path, deadline, child_offset, readable):
    # A branch whose child is the last page of the file, or one past it.
    path = str(tmp_path / "bound.edb")
    table = eb.Table("t", [eb.Column("n", eb.T_LONG)], [(1,), (2,)], first_page=2000,
                     objid=INNER)
    deep = eb.Table("deep", [eb.Column("n", eb.T_LONG)], root_page=50, build_tree=False)
    layout = eb.Database([table, deep], page_size=4096,
                         pages={50: branch_page(2000 + child_offset, owner=INNER)}).write(path)
    assert layout.last_page == 2000 == layout.table("t").root
    db = EseDatabase(path)
    assert db.total_pages == 2000
    if readable:
        assert db.read_table("deep") == [{"n": 1}, {"n": 2}]
    else:
        with pytest.raises(OSError) as info:
            db.read_table("deep")
        assert info.value.args == ("Error reading record: Invalid page number: 2001",)


@pytest.mark.parametrize("relink", [
    # leaf index -> next leaf index
    {2: 0},             # last leaf back to the first
    {1: 1},             # second leaf points at itself
    {0: 0},             # first leaf points at itself
    {1: 0, 2: 2},       # back link in the middle
    {0: 2, 2: 1, 1: 0},  # reordered, then a loop
])
def test_stale_next_links_do_not_change_the_branch_order(tmp_path, deadline, relink):
    path = str(tmp_path / "chain.edb")
    table = eb.Table("t", [eb.Column("n", eb.T_LONG)], [(i,) for i in range(9)],
                     max_leaf_entries=3)
    layout = eb.Database([table]).write(path)
    leaves = layout.table("t").tree.leaves
    assert len(leaves) == 3
    for src, dst in relink.items():
        eb.patch_file(path, layout.page_offset(leaves[src]) + 20,
                      struct.pack("<I", leaves[dst]))
    db = EseDatabase(path)
    expected = range(9)
    assert [r["n"] for r in db.read_table("t")] == list(expected)
    out = tmp_path / "t.jsonl"
    db.export_table("t", str(out))
    assert out.read_text() == "".join('{"n":%d}\n' % i for i in expected)
