"""Records through read_table: the Python value of every column type, text
by code page, record layouts (short, null, repeated tagged ids), long values,
deleted records, leaf-chain order, large trees and large pages."""

import faulthandler
import math
import struct

import pytest

import esebuild as eb
from quarlet import EseDatabase

GUID_BYTES = bytes(range(0, 256, 17))  # 00 11 22 ... ff
GUID_TEXT = "33221100-5544-7766-8899-aabbccddeeff"
U64_MAX = 18446744073709551615
INF = float("inf")
NAN = float("nan")


def same(got, want):
    """Equal values of the same Python type; floats compared bit for bit
    (NaN equals NaN, -0.0 differs from 0.0)."""
    if isinstance(want, float):
        return type(got) is float and (
            (math.isnan(got) and math.isnan(want))
            or struct.pack("<d", got) == struct.pack("<d", want))
    return type(got) is type(want) and got == want


@pytest.fixture
def deadline():
    """Ends the whole run with a traceback if a damaged-tree read hangs."""
    faulthandler.dump_traceback_later(30, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


# ---------------------------------------------------------------------------
# Every column type, stored as tagged data of any length
# ---------------------------------------------------------------------------

VALUES = [
    ("null", eb.T_NULL, b"\x01\x02", None),
    ("bool_two", eb.T_BOOLEAN, b"\x02", True),
    ("bool_zero", eb.T_BOOLEAN, b"\x00", False),
    ("ubyte_1", eb.T_UNSIGNED_BYTE, b"\xff", 255),
    ("ubyte_2", eb.T_UNSIGNED_BYTE, b"\xff\xff", 65535),
    ("ubyte_4", eb.T_UNSIGNED_BYTE, b"\x01\x00\x00\x00", 1),
    ("ubyte_8", eb.T_UNSIGNED_BYTE, b"\xff" * 8, U64_MAX),
    ("ubyte_3", eb.T_UNSIGNED_BYTE, b"\x01\x02\x03", b"\x01\x02\x03"),
    ("i16", eb.T_SHORT, b"\xff\xff", -1),
    ("i16_min", eb.T_SHORT, b"\x00\x80", -32768),
    ("i16_extra_bytes", eb.T_SHORT, b"\xfe\xff\x07", -2),
    ("i16_one_byte", eb.T_SHORT, b"\x05", b"\x05"),
    ("i32", eb.T_LONG, b"\xff" * 4, -1),
    ("i32_min", eb.T_LONG, struct.pack("<i", -2 ** 31), -2 ** 31),
    ("i32_three_bytes", eb.T_LONG, b"\x01\x02\x03", b"\x01\x02\x03"),
    ("currency", eb.T_CURRENCY, struct.pack("<q", -1), U64_MAX),
    ("currency_short", eb.T_CURRENCY, b"\x01" * 7, b"\x01" * 7),
    ("f32", eb.T_SINGLE, struct.pack("<f", 0.1), 0.10000000149011612),
    ("f32_nan", eb.T_SINGLE, b"\x00\x00\xc0\x7f", NAN),
    ("f32_inf", eb.T_SINGLE, struct.pack("<f", -INF), -INF),
    ("f64", eb.T_DOUBLE, struct.pack("<d", 0.1), 0.1),
    ("f64_neg_zero", eb.T_DOUBLE, struct.pack("<d", -0.0), -0.0),
    ("f64_tiny", eb.T_DOUBLE, struct.pack("<d", 5e-324), 5e-324),
    ("datetime", eb.T_DATETIME, b"\xff" * 8, U64_MAX),
    ("datetime_one_day", eb.T_DATETIME, struct.pack("<d", 1.0), 4607182418800017408),
    ("binary", eb.T_BINARY, b"\x00\x0a\xff", b"\x00\x0a\xff"),
    ("binary_empty", eb.T_BINARY, b"", None),
    ("text", eb.T_TEXT, "h\xe9llo \u20ac".encode("cp1252"), "h\xe9llo \u20ac"),
    ("text_empty", eb.T_TEXT, b"", None),
    ("long_binary_inline", eb.T_LONG_BINARY, b"\x01\x00\x00\x00", b"\x01\x00\x00\x00"),
    ("long_text_inline", eb.T_LONG_TEXT, b"inline", "inline"),
    ("obsolete", eb.T_OBSOLETE, b"\x01", None),
    ("u32", eb.T_UNSIGNED_LONG, b"\xff" * 4, 4294967295),
    ("u64", eb.T_LONG_LONG, b"\xff" * 8, U64_MAX),
    ("u64_big", eb.T_LONG_LONG, struct.pack("<Q", 2 ** 63), 2 ** 63),
    ("guid", eb.T_GUID, GUID_BYTES, GUID_TEXT),
    ("guid_20_bytes", eb.T_GUID, GUID_BYTES + b"\x01\x02\x03\x04", GUID_TEXT),
    ("guid_15_bytes", eb.T_GUID, GUID_BYTES[:15], GUID_BYTES[:15]),
    ("u16", eb.T_UNSIGNED_SHORT, b"\xff\xff", 65535),
    ("max", eb.T_MAX, b"\x01\x02", None),
    # Tagged flags: multi-valued and compressed data stay raw bytes.
    ("multi_value", eb.T_LONG, eb.Tagged(b"\x01\x02\x03\x04\x05", flags=0x08),
     b"\x01\x02\x03\x04\x05"),
    ("multi_value_text", eb.T_TEXT, eb.Tagged(b"a\x00b", flags=0x09), b"a\x00b"),
    ("compressed", eb.T_TEXT, eb.Tagged(b"\x18abc", flags=0x02), b"\x18abc"),
]


@pytest.fixture(scope="module", params=[8192, 32768])
def values_row(request, tmp_path_factory):
    """One record holding every case of VALUES in a tagged column of its
    own, beside a long value with id 1 (which the inline Long Binary value
    must not be resolved to)."""
    columns = [eb.Column("lv", eb.T_LONG_TEXT, id=256)]
    columns += [eb.Column(name, t, id=257 + i) for i, (name, t, _, _) in enumerate(VALUES)]
    record = {name: v if isinstance(v, eb.Tagged) else eb.Raw(v)
              for name, _, v, _ in VALUES}
    record["lv"] = eb.LongValue(b"resolved", id=1)
    path = str(tmp_path_factory.mktemp("values") / "values.edb")
    eb.Database([eb.Table("v", columns, [record])], page_size=request.param).write(path)
    (row,) = EseDatabase(path).read_table("v")
    return row


@pytest.mark.parametrize("name, expected", [(v[0], v[3]) for v in VALUES],
                         ids=[v[0] for v in VALUES])
def test_value_of_every_type(values_row, name, expected):
    assert same(values_row[name], expected), values_row[name]


def test_values_row_keys_and_long_value(values_row):
    assert list(values_row) == ["lv"] + [v[0] for v in VALUES]
    assert values_row["lv"] == "resolved"


def test_fixed_columns_of_every_fixed_type(make_db):
    kinds = [(eb.T_BOOLEAN, True), (eb.T_UNSIGNED_BYTE, 200), (eb.T_SHORT, -5),
             (eb.T_LONG, -7), (eb.T_CURRENCY, 2 ** 63 + 5), (eb.T_SINGLE, 1.5),
             (eb.T_DOUBLE, -2.25), (eb.T_DATETIME, 12345), (eb.T_UNSIGNED_LONG, 2 ** 32 - 2),
             (eb.T_LONG_LONG, 2 ** 64 - 2), (eb.T_GUID, eb.Raw(GUID_BYTES)),
             (eb.T_UNSIGNED_SHORT, 65534)]
    columns = [eb.Column("c%d" % t, t) for t, _ in kinds]
    full = {"c%d" % t: v for t, v in kinds}
    path = make_db([eb.Table("f", columns, [full, {}])])
    rows = EseDatabase(path).read_table("f")
    expected = {"c%d" % t: v for t, v in kinds}
    expected["c%d" % eb.T_GUID] = GUID_TEXT
    assert rows[0] == expected
    assert all(same(rows[0][k], v) for k, v in expected.items())
    assert rows[1] == dict.fromkeys(expected)


# ---------------------------------------------------------------------------
# Text by code page
# ---------------------------------------------------------------------------

TEXTS = [
    (1200, b"A\x00B\x00", "AB"),
    (1200, b"A\x00B", "A\ufffd"),
    (1200, b"\x00\xd8A\x00", "\ufffdA"),
    (1200, b"\x00\xdc", "\ufffd"),
    (1200, b"A\x00\x00\x00", "A\x00"),
    (1200, "\U0001f600 ok".encode("utf-16-le"), "\U0001f600 ok"),
    (1200, b"A", "\ufffd"),
    (1200, b"\xff\xfe", ""),
    (1200, b"\xfe\xff\x00A", "A"),
    (1200, b"\xef\xbb\xbf\xc3\xa9\xff", "\xe9\ufffd"),
    (1252, b"\x80\x81\x8d\x8f\x90\x9d\x9f\xe9", "\u20ac\x81\x8d\x8f\x90\x9d\u0178\xe9"),
    (1252, b"\xc3\xa9", "\xc3\xa9"),
    (1252, b"\xef\xbb\xbfA", "A"),
    (1252, b"\xff\xfeA\x00", "A"),
    (1252, b" a\x00 ", " a\x00 "),
    (20127, b"\xe9\x80", "\xe9\u20ac"),
    (20127, b"\xef\xbb\xbf\xe2\x82\xac", "\u20ac"),
    (65001, b"abc", None),
    (0, b"abc", None),
    (1250, b"abc", None),
    (1201, b"\x00a", None),
]


@pytest.fixture(scope="module")
def text_row(tmp_path_factory):
    columns = [eb.Column("t%d" % i, eb.T_TEXT, codepage=cp) for i, (cp, _, _) in enumerate(TEXTS)]
    # The same bytes as inline Long Text (tagged) columns.
    columns += [eb.Column("l%d" % i, eb.T_LONG_TEXT, codepage=cp)
                for i, (cp, _, _) in enumerate(TEXTS)]
    record = {"t%d" % i: eb.Raw(b) for i, (_, b, _) in enumerate(TEXTS)}
    record.update({"l%d" % i: eb.Raw(b) for i, (_, b, _) in enumerate(TEXTS)})
    path = str(tmp_path_factory.mktemp("text") / "text.edb")
    eb.Database([eb.Table("t", columns, [record], long_values=False)]).write(path)
    (row,) = EseDatabase(path).read_table("t")
    return row


@pytest.mark.parametrize("i", range(len(TEXTS)),
                         ids=["%d-%s" % (cp, b.hex()) for cp, b, _ in TEXTS])
def test_text_by_code_page(text_row, i):
    expected = TEXTS[i][2]
    assert same(text_row["t%d" % i], expected)
    assert same(text_row["l%d" % i], expected)


# ---------------------------------------------------------------------------
# Record layout
# ---------------------------------------------------------------------------

LAYOUT_COLUMNS = [eb.Column("a", eb.T_LONG, id=1), eb.Column("b", eb.T_SHORT, id=2),
                  eb.Column("v", eb.T_TEXT, id=128), eb.Column("w", eb.T_BINARY, id=129),
                  eb.Column("t", eb.T_BINARY, id=256), eb.Column("u", eb.T_BINARY, id=257)]
NONE = dict.fromkeys(["a", "b", "v", "w", "t", "u"])


def tagged_area(entries, data):
    """Tagged entries (id, offset word) and the data after them."""
    return b"".join(struct.pack("<HH", i, w) for i, w in entries) + data


RAW_RECORDS = [
    ("empty", b"", {}),
    ("one byte", b"\x01", {}),
    ("three bytes", b"\x02\x81\x04", {}),
    ("header only", b"\x02\x81\x04\x00", {}),
    # F=2 and no bitmap in the record (O past the end): b does not fit.
    ("fixed past the end", b"\x02\x7f\x40\x00" + struct.pack("<i", 7) + b"\x09", {"a": 7}),
    # The null bitmap (one byte ending at O=11) marks b as NULL: its bytes
    # are ignored; bits past F are set as the engine writes them.
    ("null bit set", b"\x02\x7f\x0b\x00\x07\x00\x00\x00\x09\x00\xfe", {"a": 7}),
    ("no null bits", b"\x02\x7f\x0b\x00\x07\x00\x00\x00\x09\x00\xfc", {"a": 7, "b": 9}),
    # O=4 leaves no room for a bitmap: the fixed bytes are read as they are.
    ("bitmap outside", b"\x02\x7f\x04\x00\x07\x00\x00\x00\x09\x00", {"a": 7, "b": 9}),
    # V=129: v present, w marked absent (0x8000) though its bytes would fit.
    ("absent variable", b"\x00\x81\x04\x00\x02\x00\x02\x80hi",
     {"v": "hi"}),
    ("variable range reversed", b"\x00\x81\x04\x00\x03\x00\x01\x00abc", {"v": "abc"}),
    # Tagged ids repeated and out of order: the later entry wins.
    ("repeated tagged id", b"\x00\x7f\x04\x00" + tagged_area(
        [(257, 16), (256, 18), (256, 20), (257, 22)], b"u1t1t2u2"), {"t": b"t2", "u": b"u2"}),
    ("tagged ids descending", b"\x00\x7f\x04\x00" + tagged_area(
        [(257, 8), (256, 10)], b"uutt"), {"t": b"tt", "u": b"uu"}),
    # A tagged value whose flags byte says long value, in a table without a
    # long-value store, reads as empty bytes.
    ("long value without a store", b"\x00\x7f\x04\x00" + tagged_area(
        [(256, 4 | 0x4000)], b"\x04\x01\x00\x00\x00"), {"t": b""}),
]


@pytest.fixture(scope="module")
def raw_rows(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("raw") / "raw.edb")
    records = [eb.Raw(r) for _, r, _ in RAW_RECORDS]
    eb.Database([eb.Table("r", LAYOUT_COLUMNS, records)]).write(path)
    return EseDatabase(path).read_table("r")


@pytest.mark.parametrize("i", range(len(RAW_RECORDS)), ids=[r[0] for r in RAW_RECORDS])
def test_raw_record_layouts(raw_rows, i):
    row = raw_rows[i]
    assert list(row) == ["a", "b", "v", "w", "t", "u"]
    assert row == dict(NONE, **RAW_RECORDS[i][2])


def test_columns_missing_from_records_and_null_fixed_columns(make_db):
    records = [{"a": 1}, {"b": 2, "u": b"x"}, {"v": "only v"}, {},
               {"a": None, "b": -1, "w": b"\x00", "t": None}]
    rows = EseDatabase(make_db([eb.Table("r", LAYOUT_COLUMNS, records)])).read_table("r")
    assert rows == [dict(NONE, **r) for r in ({"a": 1}, {"b": 2, "u": b"x"}, {"v": "only v"},
                                              {}, {"b": -1, "w": b"\x00"})]


def test_columns_in_ascending_id_order_whatever_the_catalog_order(make_db):
    columns = [eb.Column("t300", eb.T_LONG, id=300), eb.Column("f5", eb.T_LONG, id=5),
               eb.Column("v128", eb.T_TEXT, id=128), eb.Column("f1", eb.T_SHORT, id=1),
               eb.Column("t256", eb.T_TEXT, id=256), eb.Column("v130", eb.T_BINARY, id=130)]
    db = EseDatabase(make_db([eb.Table("o", columns, [(1, 2, "v", 3, "t", b"b"), ()])]))
    rows = db.read_table("o")
    assert [list(r.items()) for r in rows] == [
        [("f1", 3), ("f5", 2), ("v128", "v"), ("v130", b"b"), ("t256", "t"), ("t300", 1)],
        [("f1", None), ("f5", None), ("v128", None), ("v130", None), ("t256", None),
         ("t300", None)]]
    assert [c["name"] for c in db.get_table_schema("o")] == [c.name for c in columns]


# ---------------------------------------------------------------------------
# Long values
# ---------------------------------------------------------------------------

LONG_COLUMNS = [eb.Column("text", eb.T_LONG_TEXT), eb.Column("bin", eb.T_LONG_BINARY),
                eb.Column("utext", eb.T_LONG_TEXT, codepage=1200),
                eb.Column("bad_cp", eb.T_LONG_TEXT, codepage=65001)]
HELLO = "hello w\xf6rld " * 1000


def wide(n):
    return 0x8000000080000000 + n


# Values given as explicit chunks carry an explicit total size (the builder
# would store 0).
LONG_CASES = [
    ("chunks joined", {"text": eb.LongValue(HELLO.encode("cp1252"), chunk_size=1000)},
     {"text": HELLO}),
    ("ordered by offset, not placed", {"bin": eb.LongValue(
        id=50, chunks=[(4096, b"B" * 10), (0, b"A" * 10)], total_size=20)},
     {"bin": b"A" * 10 + b"B" * 10}),
    ("cut to a smaller total size", {"bin": eb.LongValue(
        id=51, chunks=[(0, b"A" * 10), (10, b"B" * 10)], total_size=15)},
     {"bin": b"A" * 10 + b"B" * 5}),
    ("larger total size keeps the bytes", {"bin": eb.LongValue(
        id=52, chunks=[(0, b"xyz")], total_size=100)}, {"bin": b"xyz"}),
    ("equal offsets keep scan order", {"bin": eb.LongValue(
        id=53, chunks=[(0, b"ab"), (0, b"cd")], total_size=4)}, {"bin": b"abcd"}),
    ("no root entry", {"text": eb.LongValue(b"no root", id=54, root_entry=False)},
     {"text": "no root"}),
    ("empty value", {"text": eb.LongValue(b"", id=55), "bin": eb.LongValue(b"", id=56)},
     {"text": "", "bin": b""}),
    ("missing id", {"text": eb.Tagged(b"\x63\x00\x00\x00", flags=0x05),
                    "bin": eb.Tagged(b"\x63\x00\x00\x00", flags=0x04)}, {"text": "", "bin": b""}),
    ("short reference", {"text": eb.Tagged(b"\x01", flags=0x05),
                         "bin": eb.Tagged(b"\x01\x02\x03", flags=0x04)}, {"text": "", "bin": b""}),
    ("utf-16 text", {"utext": eb.LongValue("\xfcn\xefcode \U0001f600".encode("utf-16-le"))},
     {"utext": "\xfcn\xefcode \U0001f600"}),
    ("unknown code page gives bytes", {"bad_cp": eb.LongValue(b"abc")}, {"bad_cp": b"abc"}),
    ("inline long binary is kept", {"bin": b"\x01\x00\x00\x00"}, {"bin": b"\x01\x00\x00\x00"}),
    ("64-bit ids", {"text": eb.LongValue(b"wide", id=wide(1), id_width=8),
                    "bin": eb.LongValue(b"0123456789" * 300, id=wide(2), id_width=8,
                                        chunk_size=700)},
     {"text": "wide", "bin": b"0123456789" * 300}),
    ("32-bit id after 64-bit ones", {"text": eb.LongValue(b"narrow", id=90)},
     {"text": "narrow"}),
    ("reference of 10 bytes is a 64-bit id", {"text": eb.LongValue(
        b"ten", id=5, id_width=8, ref=b"\x05" + bytes(7) + b"\xff\xff")}, {"text": "ten"}),
    ("reference of 5 bytes is a 32-bit id", {"text": eb.LongValue(
        b"five", id=77, ref=b"\x4d\x00\x00\x00\xee")}, {"text": "five"}),
    ("deleted chunk skipped", {"text": eb.LongValue(id=60, chunks=[(0, b"live")], total_size=8)},
     {"text": "live"}),
]


@pytest.fixture(scope="module", params=[4096, 32768])
def long_rows(request, tmp_path_factory):
    path = str(tmp_path_factory.mktemp("lv") / "lv.edb")
    dead = ((60).to_bytes(4, "big") + struct.pack(">I", 4), b"dead", eb.TAG_DELETED)
    table = eb.Table("l", LONG_COLUMNS, [r for _, r, _ in LONG_CASES], lv_entries=[dead])
    eb.Database([table], page_size=request.param).write(path)
    return EseDatabase(path).read_table("l")


@pytest.mark.parametrize("i", range(len(LONG_CASES)), ids=[c[0] for c in LONG_CASES])
def test_long_values(long_rows, i):
    expected = dict.fromkeys(["text", "bin", "utext", "bad_cp"])
    expected.update(LONG_CASES[i][2])
    assert {k: (type(v), v) for k, v in long_rows[i].items()} == {
        k: (type(v), v) for k, v in expected.items()}


def test_unreadable_long_value_tree_keeps_the_reference(make_db):
    # The table's long-value store has its root past the end of the file.
    table = eb.Table("t", [eb.Column("text", eb.T_LONG_TEXT), eb.Column("n", eb.T_LONG)],
                     [{"text": eb.Tagged(b"\x01\x00\x00\x00", flags=0x05), "n": 1},
                      {"text": eb.Tagged(b"\x02", flags=0x05), "n": 2}],
                     objid=20, long_values=False)
    store = eb.catalog_record(eb.CT_LONG_VALUE, 20, 21, 99999, 0, 0, 0, "LV")
    rows = EseDatabase(make_db([table], catalog_extra=[store])).read_table("t")
    assert rows == [{"n": 1, "text": b"\x01\x00\x00\x00"}, {"n": 2, "text": ""}]


def test_long_value_leaf_cycle_ends(tmp_path, deadline):
    path = str(tmp_path / "lvcycle.edb")
    records = [{"n": i, "text": eb.LongValue(("value %d " % i).encode() * 200)} for i in range(40)]
    table = eb.Table("t", [eb.Column("n", eb.T_LONG), eb.Column("text", eb.T_LONG_TEXT)],
                     records)
    layout = eb.Database([table], page_size=4096).write(path)
    leaves = layout.table("t").lv.leaves
    assert len(leaves) > 3
    # The last long-value leaf links back to the first.
    eb.patch_file(path, layout.page_offset(leaves[-1]) + 20, struct.pack("<I", leaves[0]))
    rows = EseDatabase(path).read_table("t")
    assert rows == [{"n": i, "text": ("value %d " % i) * 200} for i in range(40)]


# ---------------------------------------------------------------------------
# Leaves, trees and pages
# ---------------------------------------------------------------------------

def test_deleted_records_are_skipped(make_db):
    records = []
    for i in range(20):
        records.append(eb.Record({"n": i}, deleted=i % 3 == 0 or 10 <= i <= 13))
    table = eb.Table("t", [eb.Column("n", eb.T_LONG)], records, max_leaf_entries=2)
    rows = EseDatabase(make_db([table])).read_table("t")
    assert [r["n"] for r in rows] == [i for i in range(20) if i % 3 and not 10 <= i <= 13]


def test_records_follow_the_leaf_chain_not_the_keys(make_db):
    # Keys descend; the records come in the order of the leaf level.
    table = eb.Table("t", [eb.Column("n", eb.T_LONG)], [(i,) for i in range(30)],
                     key=lambda n, rec: b"\x7f" + struct.pack(">I", 1000 - n),
                     max_leaf_entries=4)
    assert [r["n"] for r in EseDatabase(make_db([table])).read_table("t")] == list(range(30))


@pytest.mark.parametrize("page_size, compress", [(4096, False), (8192, True), (16384, False),
                                                 (32768, True)])
def test_many_leaves_and_deep_trees(tmp_path, page_size, compress):
    cols = [eb.Column("n", eb.T_LONG), eb.Column("s", eb.T_TEXT, codepage=1200),
            eb.Column("g", eb.T_GUID)]
    records = [(i, "row %05d" % i, eb.Raw(struct.pack("<IIII", i, 0, 0, i))) for i in range(3000)]
    deep = eb.Table("deep", cols, records, max_leaf_entries=4, max_branch_entries=3,
                    prefix_compression=compress)
    wide_table = eb.Table("wide", cols, records, prefix_compression=compress)
    path = str(tmp_path / "trees.edb")
    layout = eb.Database([deep, wide_table], page_size=page_size).write(path)
    assert layout.table("deep").tree.depth >= 5
    assert len(layout.table("wide").tree.leaves) >= 3
    db = EseDatabase(path)
    for name in ("deep", "wide"):
        rows = db.read_table(name)
        assert [r["n"] for r in rows] == list(range(3000))
        assert rows[1234] == {"n": 1234, "s": "row 01234",
                              "g": "%08x-0000-0000-0000-0000%08x" % (1234, 0xd2040000)}


def test_more_than_16_kib_of_tagged_data_on_32_kib_pages(make_db):
    cols = [eb.Column("big", eb.T_LONG_BINARY, id=256), eb.Column("tail", eb.T_BINARY, id=257),
            eb.Column("text", eb.T_TEXT, id=258, codepage=1200),
            eb.Column("more", eb.T_LONG_TEXT, id=259)]
    records = [{"big": b"A" * 20000, "tail": b"tail", "text": "end", "more": "x" * 7000},
               {"big": bytes(range(256)) * 100, "more": "m"}, {"tail": b"t"}]
    path = make_db([eb.Table("t", cols, records, long_values=False)], page_size=32768)
    rows = EseDatabase(path).read_table("t")
    assert rows == [{"big": b"A" * 20000, "tail": b"tail", "text": "end", "more": "x" * 7000},
                    {"big": bytes(range(256)) * 100, "tail": None, "text": None, "more": "m"},
                    {"big": None, "tail": b"t", "text": None, "more": None}]


@pytest.mark.parametrize("page_size", [4096, 32768])
@pytest.mark.parametrize("past", [1, 1000, None])
def test_unreadable_page_in_the_middle_of_a_table(tmp_path, page_size, past):
    path = str(tmp_path / "broken.edb")
    table = eb.Table("t", [eb.Column("n", eb.T_LONG)], [(i,) for i in range(12)],
                     max_leaf_entries=3)
    layout = eb.Database([table], page_size=page_size).write(path)
    leaves = layout.table("t").tree.leaves
    bad = 0xFFFFFFFF if past is None else layout.last_page + past
    eb.relist_child(path, layout, layout.table("t").tree, leaves[3], bad)
    eb.patch_file(path, layout.page_offset(leaves[2]) + 20, struct.pack("<I", bad))
    db = EseDatabase(path)
    assert db.total_pages == layout.last_page
    with pytest.raises(OSError) as info:
        db.read_table("t")
    assert type(info.value) is OSError
    assert info.value.args == ("Error reading record: Invalid page number: %d" % bad,)
    # The failed call leaves the object usable.
    assert db.get_tables() == ["t"]
