"""Structural checks of the test-file builder, using a small independent
decoder of the on-disk format (pages, tags, entries, catalog, records)."""

import os
import struct

import pytest

import esebuild as eb


# ---------------------------------------------------------------------------
# A minimal decoder, written from the format rules, not from the builder.
# ---------------------------------------------------------------------------

class File:
    def __init__(self, data):
        self.data = data
        (self.version,) = struct.unpack_from("<I", data, 8)
        (self.revision,) = struct.unpack_from("<I", data, 232)
        (self.ps,) = struct.unpack_from("<I", data, 236)
        v, r, ps = self.version, self.revision, self.ps
        extended = v > 0x620 or (v == 0x620 and r >= 17)
        self.hs = 80 if extended and ps > 8192 else 40
        self.large = v == 0x620 and r >= 17 and ps > 8192

    def page(self, n):
        ps = self.ps
        raw = self.data[(n + 1) * ps:(n + 2) * ps]
        assert len(raw) == ps, "page %d outside the file" % n
        (prev, nxt, owner, avail, _, first, count,
         flags) = struct.unpack_from("<IIIHHHHI", raw, 16)
        count &= 0x0FFF
        if ps > 8192:
            count = min(count, ((ps - avail) // 4) & 0xFFFF)
        tags = []
        for i in range(count):
            w0, w1 = struct.unpack_from("<HH", raw, ps - 4 * (i + 1))
            if self.large:
                size, off = w0 & 0x7FFF, w1 & 0x7FFF
            else:
                size, off = w0 & 0x1FFF, w1 & 0x1FFF
            value = bytearray(raw[self.hs + off:self.hs + off + size])
            assert len(value) == size, "tag %d past the page" % i
            if self.large:
                tflags = value[1] >> 5 if size >= 2 else 0
                if size >= 2:
                    value[1] &= 0x1F
            else:
                tflags = w1 >> 13
            tags.append((tflags, bytes(value)))
        return dict(raw=raw, prev=prev, next=nxt, owner=owner, avail=avail,
                    first=first, flags=flags, tags=tags)


def decode_entry(tflags, value, prefix=b""):
    p = 0
    common = 0
    if tflags & 4:
        (common,) = struct.unpack_from("<H", value, 0)
        p = 2
    (k,) = struct.unpack_from("<H", value, p)
    k &= 0x7FFF
    key = value[p + 2:p + 2 + k]
    return prefix[:common] + key, value[p + 2 + k:]


def walk(f, root, seen=None):
    """Leaf entries (full key, data, tag flags) of a tree, depth first."""
    pg = f.page(root)
    prefix = pg["tags"][0][1] if pg["tags"] else b""
    out = []
    for tflags, value in pg["tags"][1:]:
        key, rest = decode_entry(tflags, value, prefix)
        if pg["flags"] & eb.PF_LEAF:
            out.append((key, rest, tflags))
        else:
            (child,) = struct.unpack_from("<I", rest, 0)
            out.extend(walk(f, child))
    return out


def leaf_chain(f, root):
    n = root
    while not f.page(n)["flags"] & eb.PF_LEAF:
        tflags, value = f.page(n)["tags"][1]
        n = struct.unpack_from("<I", decode_entry(tflags, value)[1], 0)[0]
    pages = []
    prev = 0
    while n:
        pg = f.page(n)
        assert pg["prev"] == prev
        pages.append(n)
        prev, n = n, pg["next"]
    return pages


def catalog(f):
    rows = []
    for _, data, tflags in walk(f, 4):
        if len(data) < 30:
            rows.append(dict(raw=data))
            continue
        ctype, = struct.unpack_from("<H", data, 8)
        owner, = struct.unpack_from("<I", data, 4)
        cid, v14, space = struct.unpack_from("<III", data, 10)
        last_var = data[1]
        (o,) = struct.unpack_from("<H", data, 2)
        (nlen,) = struct.unpack_from("<H", data, o)
        start = o + 2 * (last_var - 127)
        rows.append(dict(type=ctype, owner=owner, id=cid, v14=v14,
                         space=space, name=data[start:start + nlen],
                         deleted=bool(tflags & 2)))
    return rows


def parse_record(f, data, widths):
    """{column id: bytes or None} for fixed ids (widths: id -> size), the
    variable columns and the tagged ones ({id: (flags byte, bytes)})."""
    last_fixed, last_var = data[0], data[1]
    (o,) = struct.unpack_from("<H", data, 2)
    out = {}
    nb = (last_fixed + 7) // 8
    bitmap = data[o - nb:o]
    pos = 4
    for cid in sorted(widths):
        if cid > last_fixed:
            break
        null = bitmap[(cid - 1) // 8] >> ((cid - 1) % 8) & 1
        out[cid] = None if null else data[pos:pos + widths[cid]]
        pos += widths[cid]
    assert pos + nb == o, "null bitmap must end at the offset array"
    nvar = last_var - 127 if last_var >= 128 else 0
    start = o + 2 * nvar
    prev = 0
    for j in range(nvar):
        (end,) = struct.unpack_from("<H", data, o + 2 * j)
        out[128 + j] = None if end & 0x8000 else data[start + prev:start + end]
        prev = end & 0x7FFF
    t = start + prev
    tagged = {}
    if len(data) > t:
        (first,) = struct.unpack_from("<H", data, t + 2)
        mask = 0x7FFF if f.large else 0x3FFF
        count = (first & mask) // 4
        words = [struct.unpack_from("<HH", data, t + 4 * i)
                 for i in range(count)]
        for i, (cid, w) in enumerate(words):
            begin = w & mask
            end = (words[i + 1][1] & mask) if i + 1 < count else len(data) - t
            value = data[t + begin:t + end]
            if f.large or w & 0x4000:
                tagged[cid] = (value[0], value[1:])
            else:
                tagged[cid] = (None, value)
    out["tagged"] = tagged
    return out


# ---------------------------------------------------------------------------
# Tests
# ---------------------------------------------------------------------------

FORMATS = [
    # version, revision, page size, header size, large layout
    (0x620, 9, 4096, 40, False),
    (0x620, 12, 32768, 40, False),
    (0x620, 17, 8192, 40, False),
    (0x620, 20, 16384, 80, True),
    (0x620, 20, 32768, 80, True),
    (0x623, 5, 32768, 80, False),
]


@pytest.mark.parametrize("version,revision,ps,hs,large", FORMATS)
def test_header_pages_and_tag_layout(version, revision, ps, hs, large):
    tags = [eb.Tag(b""), eb.Tag(b"\x00\x00AB", flags=4),
            eb.Tag(b"\x03\x00xyzDATA", flags=2), eb.Tag(b"\x00\x00", flags=1)]
    db = eb.Database([], page_size=ps, version=version, revision=revision,
                     pages={7: eb.Page(tags, eb.PF_LEAF, next=9, prev=5)})
    data = db.build()
    f = File(data)
    assert struct.unpack_from("<I", data, 4)[0] == eb.SIGNATURE
    assert (f.version, f.revision, f.ps) == (version, revision, ps)
    assert (f.hs, f.large) == (hs, large)
    assert data[ps:2 * ps] == data[:ps]          # page 0: shadow header
    assert len(data) == 9 * ps                   # pages 0..7
    pg = f.page(7)
    assert (pg["prev"], pg["next"], pg["flags"]) == (5, 9, eb.PF_LEAF)
    assert [t for t in pg["tags"]] == [(t.flags, t.value) for t in tags]
    assert pg["first"] == sum(len(t.value) for t in tags)
    assert pg["avail"] == ps - hs - pg["first"] - 4 * len(tags)
    raw = pg["raw"]
    w0, w1 = struct.unpack_from("<HH", raw, ps - 8)    # tag 1
    if large:
        assert w1 >> 13 == 0 and raw[hs + w1 + 1] >> 5 == 4
    else:
        assert w1 >> 13 == 4 and raw[hs + (w1 & 0x1FFF) + 1] == 0


def test_damage_knobs_of_a_page():
    page = eb.Page([b"", b"\x00\x00ok", eb.Tag(b"", slot=(40, 8000))],
                   eb.PF_LEAF, tag_count_high=0xB, slack=b"S\x00L\x00")
    raw = page.encode(eb.Format(0x620, 20, 4096))
    assert struct.unpack_from("<H", raw, 34)[0] == 0xB003
    assert struct.unpack_from("<HH", raw, 4096 - 12) == (40, 8000)
    assert raw[40 + 4:40 + 8] == b"S\x00L\x00"    # slack after the values
    assert eb.Page(raw=b"\xff" * 10).encode(eb.Format()) == \
        b"\xff" * 10 + bytes(8182)


@pytest.mark.parametrize("size", [0, 100, 4095])
def test_short_files(size):
    data = eb.Database([], page_size=4096, file_size=size).build()
    assert len(data) == size
    if size >= 8:
        assert struct.unpack_from("<I", data, 4)[0] == eb.SIGNATURE
    assert eb.header_bytes(size)[:size] == data[:size]


@pytest.mark.parametrize("ps,compress", [(4096, False), (4096, True),
                                         (32768, True), (8192, False)])
def test_multilevel_tree_round_trips(ps, compress):
    cols = [eb.Column("id", eb.T_LONG), eb.Column("s", eb.T_TEXT)]
    recs = [(i, "row%05d" % i) for i in range(3000)]
    deleted = eb.Record((-1, "gone"), deleted=True)
    t = eb.Table("t", cols, recs[:10] + [deleted] + recs[10:],
                 max_leaf_entries=7, max_branch_entries=3,
                 prefix_compression=compress)
    db = eb.Database([t], page_size=ps)
    f = File(db.build())
    info = db.layout.table("t").tree
    assert info.depth >= 4
    entries = walk(f, info.root)
    assert len(entries) == 3001
    keys = [k for k, _, _ in entries]
    assert keys == sorted(keys) and len(set(keys)) == len(keys)
    assert [bool(fl & 2) for _, _, fl in entries].count(True) == 1
    assert leaf_chain(f, info.root) == info.leaves
    for n in info.leaves:
        assert len(f.page(n)["tags"]) <= 8
        assert f.page(n)["owner"] == t.objid
    root = f.page(info.root)
    assert root["flags"] & (eb.PF_ROOT | eb.PF_PARENT | eb.PF_LEAF) == 5
    live = [d for _, d, fl in entries if not fl & 2]
    widths = {1: 4}
    got = [parse_record(f, d, widths) for d in live]
    assert [struct.unpack("<i", r[1])[0] for r in got] == list(range(3000))
    assert got[1234][128] == b"row01234"


def test_catalog_order_names_and_raw_records():
    tables = [eb.Table("zeta", [("b", eb.T_LONG), ("a", eb.T_TEXT)]),
              eb.Table("alpha", [("x", eb.T_GUID)]),
              eb.Table("zeta", [("c", eb.T_BINARY)])]
    orphan = eb.catalog_record(eb.CT_COLUMN, 999, 1, eb.T_LONG, 4, 0, 0, "o")
    db = eb.Database(tables, page_size=4096,
                     catalog_extra=[(0, b"\x01\x02"), orphan,
                                    eb.CatalogEntry(orphan, flags=2)],
                     catalog_max_leaf_entries=2)
    f = File(db.build())
    rows = catalog(f)
    assert rows[0] == {"raw": b"\x01\x02"}    # inserted at position 0
    rows = rows[1:]
    assert [(r["type"], r["name"]) for r in rows] == [
        (1, b"zeta"), (2, b"b"), (2, b"a"), (1, b"alpha"), (2, b"x"),
        (1, b"zeta"), (2, b"c"), (2, b"o"), (2, b"o")]
    assert rows[-1]["deleted"] and not rows[-2]["deleted"]
    zeta = db.layout.tables[0]
    assert rows[0]["v14"] == zeta.root and rows[0]["id"] == tables[0].objid
    assert rows[1]["owner"] == tables[0].objid
    assert (rows[1]["id"], rows[1]["v14"], rows[1]["space"]) == (1, 4, 4)
    assert rows[2]["id"] == 128 and rows[4]["id"] == 1
    assert len(db.layout.catalog.leaves) >= 5


def test_record_layout_and_null_bitmap():
    cols = [eb.Column("b", eb.T_BOOLEAN), eb.Column("s", eb.T_SHORT),
            eb.Column("g", eb.T_GUID), eb.Column("l", eb.T_LONG, id=10),
            eb.Column("t", eb.T_TEXT, codepage=1200),
            eb.Column("v", eb.T_BINARY),
            eb.Column("lt", eb.T_LONG_TEXT),
            eb.Column("tb", eb.T_BINARY, id=300)]
    recs = [{"b": True, "g": None, "l": -2, "v": b"\x01\x02",
             "lt": "inline", "tb": eb.Tagged(b"mv", flags=8)},
            {"s": 7}]
    db = eb.Database([eb.Table("t", cols, recs)], page_size=8192)
    f = File(db.build())
    (_, d1, _), (_, d2, _) = walk(f, db.layout.table("t").root)
    widths = {1: 1, 2: 2, 3: 16, 10: 4}
    r1 = parse_record(f, d1, widths)
    assert d1[0] == 10 and d1[1] == 129
    assert r1[1] == b"\xff" and r1[2] is None and r1[3] is None
    assert r1[10] == struct.pack("<i", -2)
    nb = struct.unpack_from("<H", d1, 2)[0]
    # ids 2..9 null or undefined, 10 present, bits past F=10 set
    assert d1[nb - 2:nb] == bytes([0xFE, 0xFD])
    assert r1[128] is None and r1[129] == b"\x01\x02"
    assert r1["tagged"] == {256: (1, b"inline"), 300: (8, b"mv")}
    r2 = parse_record(f, d2, widths)
    assert d2[0] == 2 and d2[1] == 127 and r2 == {
        1: None, 2: b"\x07\x00", "tagged": {}}


def test_large_page_tagged_offsets_use_15_bits():
    cols = [eb.Column("a", eb.T_LONG_BINARY), eb.Column("b", eb.T_BINARY,
                                                        id=257)]
    rec = {"a": b"A" * 20000, "b": b"tail"}
    db = eb.Database([eb.Table("t", cols, [rec], long_values=False)],
                     page_size=32768)
    f = File(db.build())
    (_, data, _), = walk(f, db.layout.table("t").root)
    r = parse_record(f, data, {})
    assert r["tagged"] == {256: (1, b"A" * 20000), 257: (0, b"tail")}


@pytest.mark.parametrize("ps", [4096, 32768])
def test_long_values(ps):
    text = "long " * 3000
    chunks = [(4, b"WXYZ"), (0, b"abcd")]
    recs = [{"n": eb.LongValue(text.encode("cp1252"), chunk_size=1000)},
            {"n": eb.LongValue(b"x" * 10, id=0x8000000080000001, id_width=8)},
            {"n": eb.LongValue(id=7, chunks=chunks, total_size=6)}]
    db = eb.Database([eb.Table("t", [("n", eb.T_LONG_TEXT)], recs)],
                     page_size=ps)
    f = File(db.build())
    lay = db.layout.table("t")
    refs = [parse_record(f, d, {})["tagged"][256]
            for _, d, _ in walk(f, lay.root)]
    assert refs == [(5, b"\x01\x00\x00\x00"),
                    (5, (0x8000000080000001).to_bytes(8, "little")),
                    (5, b"\x07\x00\x00\x00")]
    for n in lay.lv.leaves:
        assert f.page(n)["flags"] & (eb.PF_LONG_VALUE | eb.PF_LEAF) == 0x82
    entries = walk(f, lay.lv.root)
    keys = [k for k, _, _ in entries]
    assert keys[0] == b"\x00\x00\x00\x01"
    assert entries[0][1] == struct.pack("<II", 1, len(text))
    body = b"".join(d for k, d, _ in entries if k[:4] == b"\x00\x00\x00\x01"
                    and len(k) == 8)
    assert body == text.encode("cp1252")
    assert [(k, d) for k, d, _ in entries if k[:4] == b"\x00\x00\x00\x07"] == [
        (b"\x00\x00\x00\x07", struct.pack("<II", 1, 6)),
        (b"\x00\x00\x00\x07\x00\x00\x00\x04", b"WXYZ"),
        (b"\x00\x00\x00\x07\x00\x00\x00\x00", b"abcd")]
    wide = [k for k in keys if k[:8] == b"\x80\x00\x00\x00\x80\x00\x00\x01"]
    assert wide == [wide[0], wide[0] + b"\x00\x00\x00\x00"]
    if ps == 4096:
        prefixed = [n for n in lay.lv.leaves if f.page(n)["tags"][0][1]]
        assert prefixed, "LV pages use key prefix compression by default"


def test_sparse_table_root_above_100000(tmp_path):
    path = tmp_path / "sparse.edb"
    t = eb.Table("far", [("id", eb.T_LONG)], [(i,) for i in range(500)],
                 first_page=100001)
    layout = eb.Database([eb.Table("near", [("id", eb.T_LONG)], [(1,)]), t],
                         page_size=4096).write(str(path))
    far = layout.table("far")
    assert far.root == 100001 and min(far.tree.leaves) > 100001
    st = os.stat(path)
    assert st.st_size == (layout.last_page + 2) * 4096
    data = path.read_bytes()
    f = File(data)
    assert len(walk(f, far.root)) == 500
    assert [r["name"] for r in catalog(f) if r["type"] == 1] == [b"near",
                                                                  b"far"]
    if hasattr(st, "st_blocks"):
        assert st.st_blocks * 512 < 20 * 1024 * 1024


def test_index_tree_pages():
    t = eb.Table("t", [("id", eb.T_LONG), ("name", eb.T_TEXT)],
                 [(3, "c"), (1, "a"), (2, "b")],
                 indexes=[eb.Index("by_name", "name")])
    db = eb.Database([t], page_size=4096)
    f = File(db.build())
    info = db.layout.table("t").indexes["by_name"]
    assert f.page(info.root)["flags"] & eb.PF_INDEX
    assert [k for k, _, _ in walk(f, info.root)] == [b"\x7fa", b"\x7fb",
                                                     b"\x7fc"]
    idx = [r for r in catalog(f) if r["type"] == 3]
    assert idx[0]["name"] == b"by_name" and idx[0]["v14"] == info.root
