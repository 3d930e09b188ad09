#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Seeds are small databases written with the test builder (tests/esebuild.py):
4, 8, 16 and 32 KiB pages, the small and the large-page tag layouts, every
column kind, long values with 4- and 8-byte ids, multi-level trees, deleted
records and an index; plus the pages, records, texts and regions cut out of
them for the targets that take those.  Deterministic: the same files every
run.  Usage: python3 fuzz/make_seeds.py [corpus dir]
"""

import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import esebuild as eb  # noqa: E402

# (page size, version, revision): Legacy, Revised and Extended page headers,
# small and large-page tag layouts.
FORMATS = [
    (4096, 0x620, 9),
    (8192, 0x620, 12),
    (8192, 0x620, 20),
    (16384, 0x620, 14),
    (16384, 0x620, 20),
    (32768, 0x620, 20),
]

# Selector byte of fuzz_entries for each format above (format index in bits
# 0-2, page size index in bits 3-5; see fuzz_entries.cpp).
ENTRIES_FORMAT = {(0x620, 20): 0, (0x620, 17): 1, (0x620, 12): 2, (0x620, 9): 3}
ENTRIES_SIZE = {4096: 0, 8192: 1, 16384: 2, 32768: 3}
# Code page selectors of fuzz_record's column descriptors (bit 7 set, then
# the index into its code page list).
RECORD_CODEPAGE = {1200: 0, 1252: 1, 20127: 2}


def columns():
    return [
        eb.Column("id", eb.T_LONG),
        eb.Column("flag", eb.T_BOOLEAN),
        eb.Column("small", eb.T_SHORT),
        eb.Column("big", eb.T_LONG_LONG),
        eb.Column("when", eb.T_DATETIME),
        eb.Column("ratio", eb.T_DOUBLE),
        eb.Column("guid", eb.T_GUID),
        eb.Column("name", eb.T_TEXT, codepage=1200),
        eb.Column("ascii", eb.T_TEXT, codepage=1252),
        eb.Column("blob", eb.T_BINARY),
        eb.Column("notes", eb.T_LONG_TEXT, codepage=1200),
        eb.Column("data", eb.T_LONG_BINARY),
    ]


def records(n, page_size, id_width):
    rows = []
    for i in range(n):
        long_text = ("note %d " % i) * (page_size // 24 if i % 3 == 0 else 2)
        rows.append({
            "id": i,
            "flag": i % 2 == 0,
            "small": -i,
            "big": i * 1000003,
            "when": 45000.5 + i,
            "ratio": i / 7.0,
            "guid": bytes(range(i % 16, i % 16 + 16)),
            "name": "name \u00e9 %d" % i,
            "ascii": "row %d" % i if i % 4 else None,
            "blob": bytes([i % 256]) * (i % 9),
            "notes": (eb.LongValue(long_text.encode("utf-16-le"), id_width=id_width)
                      if i % 3 == 0 else long_text),
            "data": (eb.LongValue(bytes(range(256)) * (page_size // 512 + 1),
                                  id_width=id_width) if i % 5 == 0 else None),
        })
    rows.append(eb.Record({"id": n, "name": "gone"}, deleted=True))
    return rows


def database(page_size, version, revision):
    large = version == 0x620 and revision >= 17 and page_size > 8192
    id_width = 8 if large else 4
    # Big pages make big files: fewer records there keep the seeds small
    # (each fuzz run copies and carves the whole file).
    small_pages = page_size <= 8192
    main = eb.Table("items", columns(), records(12 if small_pages else 5, page_size, id_width),
                    max_leaf_entries=3 if small_pages else 2, max_branch_entries=2,
                    indexes=[eb.Index("by_id", "id")] if small_pages else [])
    other = eb.Table("other \u00e9", [eb.Column("k", eb.T_UNSIGNED_LONG),
                                      eb.Column("v", eb.T_TEXT, codepage=20127)],
                     [(k, "v%d" % k) for k in range(5)], prefix_compression=True)
    empty = eb.Table("empty", [eb.Column("x", eb.T_LONG)], [])
    return eb.Database([main, other, empty], page_size=page_size, version=version,
                       revision=revision,
                       catalog_max_leaf_entries=6 if small_pages else None,
                       catalog_max_branch_entries=3 if small_pages else None)


# A small reader of the written pages, enough to cut tags and records out.
def page_tags(data, page_size, version, revision, n):
    large = version == 0x620 and revision >= 17 and page_size > 8192
    extended = version > 0x620 or (version == 0x620 and revision >= 17)
    header = 80 if extended and page_size > 8192 else 40
    raw = data[(n + 1) * page_size:(n + 2) * page_size]
    if len(raw) < page_size:
        return raw, 0, []
    flags = struct.unpack_from("<I", raw, 36)[0]
    count = struct.unpack_from("<H", raw, 34)[0] & 0x0FFF
    tags = []
    for i in range(count):
        w0, w1 = struct.unpack_from("<HH", raw, page_size - 4 * (i + 1))
        mask = 0x7FFF if large else 0x1FFF
        size, off = w0 & mask, w1 & mask
        value = bytearray(raw[header + off:header + off + size])
        if large:
            tflags = value[1] >> 5 if size >= 2 else 0
            if size >= 2:
                value[1] &= 0x1F
        else:
            tflags = w1 >> 13
        tags.append((tflags, bytes(value)))
    return raw, flags, tags


def leaf_data(tflags, value):
    p = 2 if tflags & 4 else 0
    if len(value) < p + 2:
        return None
    key_size = struct.unpack_from("<H", value, p)[0] & 0x7FFF
    return value[p + 2 + key_size:]


def record_descriptor(cols):
    out = bytearray([len(cols)])
    for c in cols:
        cp = c.codepage if c.codepage is not None else (1252 if c.type in (10, 12) else None)
        sel = 0x80 | RECORD_CODEPAGE[cp] if cp in RECORD_CODEPAGE else 0
        size = c.size if c.size is not None else eb.FIXED_SIZES.get(c.type, 255)
        out += struct.pack("<HBBB", c.id, c.type, sel, min(size, 255))
    return bytes(out)


def decoded_descriptor(descriptor):
    """The same columns in fuzz_decoded_record's 6-byte form (no defaults)."""
    out = bytearray(descriptor[:1])
    for i in range(descriptor[0]):
        out += descriptor[1 + 5 * i:6 + 5 * i] + b"\x00"
    return bytes(out)


def text_seeds():
    texts = ["plain ascii", "caf\u00e9 \u00fc\u00df", "\u4e2d\u6587 \U0001F600", ""]
    seeds = []
    for t in texts:
        seeds.append(t.encode("utf-8"))
        seeds.append(b"\xef\xbb\xbf" + t.encode("utf-8"))
        seeds.append(t.encode("utf-16-le"))
        seeds.append(b"\xff\xfe" + t.encode("utf-16-le"))
        seeds.append(b"\xfe\xff" + t.encode("utf-16-be"))
        seeds.append(t.encode("cp1252", "replace"))
    seeds.append(b"\xd8\x00\xdc\x00\x00\xd8a\x00\xff\xdf")  # lone and paired surrogates
    seeds.append(b"\xc0\x80\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82")  # invalid UTF-8
    return seeds


def write(corpus, target, name, data):
    d = os.path.join(corpus, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def main():
    corpus = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "corpus")
    for page_size, version, revision in FORMATS:
        tag = "p%d_v%x_r%d" % (page_size // 1024, version, revision)
        db = database(page_size, version, revision)
        data = db.build()
        write(corpus, "fuzz_database", tag + ".edb", data)
        if page_size <= 8192:
            write(corpus, "fuzz_decoded_record", tag + ".edb", data)
        pages = len(data) // page_size - 2
        sel = ENTRIES_FORMAT.get((version, revision))
        descriptor = record_descriptor(db.tables[0].columns)
        items_leaves = set(db.layout.table("items").tree.leaves)
        kinds_seen = set()
        for n in range(1, pages + 1):
            raw, flags, tags = page_tags(data, page_size, version, revision, n)
            kind = (flags & 0xE2, len(tags) > 3)
            if sel is not None and kind not in kinds_seen:
                kinds_seen.add(kind)
                write(corpus, "fuzz_entries", "%s_page%d" % (tag, n),
                      bytes([sel | ENTRIES_SIZE[page_size] << 3, 200]) + raw)
            if len(raw) == page_size and n % 3 == 0:
                header = struct.pack("<IIBBB", 0, page_size, 4, 5, 0)
                write(corpus, "fuzz_carve_region", "%s_page%d" % (tag, n), header + raw)
            if n in items_leaves:
                for i, (tflags, value) in enumerate(tags[1:3], 1):
                    rec = leaf_data(tflags, value)
                    if rec:
                        write(corpus, "fuzz_record", "%s_p%d_t%d" % (tag, n, i),
                              descriptor + rec)
                        write(corpus, "fuzz_decoded_record", "%s_p%d_t%d" % (tag, n, i),
                              decoded_descriptor(descriptor) + rec)
    # Tiny databases (small pages, two records, one long value): fast runs
    # for the fuzzer to mutate headers, tags and records.
    for page_size in (1024, 2048, 4096):
        tiny = eb.Database([eb.Table("t", [eb.Column("id", eb.T_LONG),
                                           eb.Column("s", eb.T_TEXT, codepage=1200),
                                           eb.Column("l", eb.T_LONG_BINARY)],
                                     [(1, "ab", eb.LongValue(b"xyz" * 100)), (2, "c", None)])],
                           page_size=page_size, shadow=False, system_pages=False)
        for target in ("fuzz_database", "fuzz_decoded_record"):
            write(corpus, target, "tiny%d.edb" % (page_size // 1024), tiny.build())
    # Deleted data for recovery: a flagged row, old nodes in a leaf's slack,
    # a dropped table.
    for page_size in (2048, 4096):
        t = eb.Table("t", [eb.Column("id", eb.T_LONG), eb.Column("s", eb.T_TEXT, codepage=1200),
                           eb.Column("x", eb.T_BINARY, id=256)], [], fill=0.5)
        old = b"".join(eb.leaf_entry(b"\x7f\x80\x00\x00" + bytes([n]),
                                     eb.record_bytes(t, (n, "old", b"\x01" * n),
                                                     page_size=page_size))
                       for n in (7, 8))
        t.records = [(1, "a", None), eb.Record((2, "gone", b"\x02"), deleted=True)]
        t.leaf_slack = old
        dropped = eb.Table("d", [eb.Column("k", eb.T_LONG, deleted=True)], [(5,)], deleted=True)
        write(corpus, "fuzz_database", "recover%d.edb" % (page_size // 1024),
              eb.Database([t, dropped], page_size=page_size, shadow=False).build())
    for i, t in enumerate(text_seeds()):
        write(corpus, "fuzz_text", "text%d" % i, t)
    # The region scan on plain text with needles and limits.
    for i, (needle, body) in enumerate([(b"", "hello world".encode("utf-16-le")),
                                        (b"lo", "x\x00hello\x00yellow".encode("utf-16-le")),
                                        (b"", b"\x00" + "odd start".encode("utf-16-le"))]):
        header = struct.pack("<IIBBB", 0, 0xFFFFFFFF, 2, 3, len(needle))
        write(corpus, "fuzz_carve_region", "text%d" % i, header + needle + body)
    # Decoders: the header byte, a declared size and a few compressed shapes.
    for i, payload in enumerate([b"\x00\x10\x00" + b"\x08\xc8\x30\x1b",
                                 b"\x08\x05\x00" + b"\x18\x05\x00abcde",
                                 b"\x0f\x10\x00" + b"\x38\x10\x00\xf0\x01abcdefghijklmnop",
                                 b"\x08\x04\x00\x01\x00\x00\x00\x02\x00\x00\x00"]):
        write(corpus, "fuzz_decode", "seed%d" % i, payload)


if __name__ == "__main__":
    main()
