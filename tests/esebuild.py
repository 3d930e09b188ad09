"""Writes ESE database files from a small declarative description.

Pure Python (standard library only, 3.9+).  Used by the pytest suite, the fuzz
seed corpora, the bundled example database and the benchmarks.

Quick start
-----------

    from esebuild import Database, Table, Column, LongValue, T_LONG, T_TEXT

    db = Database(
        [Table("people",
               [Column("id", T_LONG), Column("name", T_TEXT, codepage=1200)],
               [{"id": 1, "name": "Ann"}, (2, "Bob"), {"id": 3}])],
        page_size=8192)
    data = db.build()              # bytes, for small files
    db.write("/tmp/x.edb")         # streamed to disk, for big or sparse files
    db.layout.table("people").root # page numbers chosen by the builder

    simple_database({"people": ([("id", T_LONG)], [(1,), (2,)])})  # -> bytes

File layout written
-------------------

* Bytes [0, page_size) are the header page: signature 0x89ABCDEF at 4, format
  version at 8, format revision at 232, page size at 236 (all u32 LE).  Page n
  lives at file offset (n + 1) * page_size; page 0 is a copy of the header
  page.
* Pages 1..3 belong to the database itself (a root page and two space-tree
  pages), page 4 is the catalog root.  Then come the roots of every table /
  long-value / index tree, the rest of the catalog, then the data pages (the
  trees of one table are streamed together, so their pages interleave).  A
  table with first_page=N takes its pages from N upwards instead.  Trees are built bottom-up: leaf pages are filled in
  order and chained with prev/next, branch levels are added until one page
  (the root) is left.  Branch entries hold the child's highest key; the
  rightmost entry of each level has an empty key.  Tag 0 of every tree page is
  the page's common key prefix (empty unless prefix compression is on).
* Page formats: header layout Legacy / Revised / Extended by version and
  revision (80-byte header for Extended pages above 8192 bytes); tag layout
  "large" (15-bit size/offset, tag flags in the top 3 bits of the value's
  second byte) for version 0x620, revision >= 17 and pages above 8192, "small"
  otherwise.  The available data size of a page is its real free space.
* Catalog records: F=7 fixed columns (owner objid @4, type @8, id @10,
  coltype-or-root @14, space usage / size @18, flags @22, codepage-or-locale
  @26), a one-byte fixed null bitmap at 30, O=31, V=128, the name at 33.
  Keys are 7F|objid^0x80000000 (BE) 7F|type^0x8000 (BE) 7F|id^0x80000000 (BE).
  The catalog lists the tables in the order given (never sorted); each table
  record is followed by its column, index and long-value records.
* Data records: F = highest non-null fixed id, fixed data by ascending id, the
  null bitmap (ceil(F/8) bytes, unused high bits set) ending at O, variable
  offsets (0x8000 = null), variable data, tagged area.  Tagged values carry a
  flags byte when they need one (always on large-page layouts); Long Text and
  Long Binary values stored inline get flags 0x01.
* Default record key: 7F followed by (n ^ 0x80000000) big-endian, n = 1, 2, ...

Main API
--------

Database(tables=(), *, page_size=8192, version=0x620, revision=20,
         header=None, shadow=True, system_pages=True,
         catalog_extra=(), catalog_hook=None, catalog_prefix_compression=False,
         catalog_max_leaf_entries=None, catalog_max_branch_entries=None,
         trees=(), pages=None, patches=(), min_pages=None, file_size=None)
    .build() -> bytes      .write(path)      .layout (after building)
    catalog_extra: items appended to the catalog, or (position, item) pairs
      inserted at an index of the generated catalog list; an item is raw record
      bytes or a CatalogEntry.  catalog_hook(list) -> list edits the final
      list.
    trees: extra Tree objects (not in the catalog).
    pages: {page number: Page or bytes} written as given; generated trees avoid
      those numbers (pages 0..4 may be replaced too: shadow header, system
      pages, catalog root).  patches: [(file offset, bytes)] applied last.
    min_pages: make the file hold at least that many pages; file_size: cut or
      extend the file to exactly that many bytes (0, 100, 4095 ...).

Table(name, columns=(), records=(), *, objid=None, root_page=None,
      first_page=None, key=None, prefix_compression=False,
      max_leaf_entries=None, max_branch_entries=None, fill=1.0,
      long_values=None, lv_name="LV", lv_objid=None, lv_order=None,
      lv_prefix_compression=True, lv_max_leaf_entries=None, lv_entries=(),
      lv_values=(), indexes=(), space_usage=0, flags=0, catalog=True,
      deleted=False, build_tree=True, leaf_slack=None)
    records: iterable of dicts (by column name), sequences (in column order),
      Record objects or Raw(bytes) (whole record).  Generators are streamed.
    key: callable(n, record) -> key bytes (n counts from 0).
    long_values: whether the table has a long-value tree (default: when a
      column is Long Text / Long Binary).  lv_order "sorted" (buffer, sort by
      id key; default for list/tuple records) or "stream" (order of
      appearance, no buffering; default for iterators).
    lv_entries: extra raw (key, data[, tag flags]) entries for the LV tree.
    build_tree=False: no tree is written; root_page must be given (point the
      catalog at hand-made pages).
    leaf_slack: bytes stored in the free space of every leaf after its
      values, or callable(leaf index) -> bytes (old nodes left in slack).

Column(name, type, id=None, size=None, codepage=None, flags=0, catalog=True,
       deleted=False)   ids: 1..127 fixed, 128..255 variable, >= 256 tagged;
    assigned (and written back to .id) when None.

Record(values=None, *, raw=None, key=None, deleted=False, tag_flags=0)
Raw(bytes)                    exact column bytes, or a whole raw record.
Tagged(bytes, flags=None)     tagged value with an explicit flags byte.
LongValue(data=b"", *, id=None, id_width=4, chunk_size=None, chunks=None,
          total_size=None, refcount=1, root_entry=True, ref=None, flags=None)
    stored in the table's long-value tree; the record holds the id (LE) with
    tagged flags 0x04 (| 0x01 for Long columns).  chunks=[(offset, bytes)]
    are written in the order given (out-of-order / missing chunks).
Index(name, column=None, *, entries=None, flags=0, locale=1033, objid=None,
      space_usage=0, prefix_compression=True, catalog=True, deleted=False)
    an index tree (page flag 0x40) keyed by the column's encoded value.
Tree(entries, *, root_page=None, first_page=None, kind="data", owner=0,
     prefix_compression=False, max_leaf_entries=None,
     max_branch_entries=None, fill=1.0, page_flags=None)
CatalogEntry(data, key=b"", flags=0)
catalog_record(ctype, owner, id, value14=0, space=0, flags=0, cp=0, name=b"",
               *, last_fixed=7, last_var=128, var_offset=None, name_len=None)

Layout (db.layout after build/write; write() also returns it)
    .catalog: TreeInfo; .tables: [TableLayout] in table order, .table(name);
    .trees: [TreeInfo] of the extra trees; .last_page; .file_size;
    .page_offset(n).
TableLayout: .name .objid .root .tree .lv .lv_objid .indexes{name: TreeInfo}
    .records.   TreeInfo: .root .leaves (left to right) .branches .depth
    .entries .pages.

Damage recipes: build once, look the pages up in db.layout, then patch()
the bytes (or patch_file() / truncate_file() a written file); hand-made
pages (cycles, tags past the page, inflated tag counts) go in `pages` with a
Table(build_tree=False, root_page=N) pointing at them; malformed catalog
records go in catalog_extra; odd records are Raw(bytes) or Record(raw=...).

Low level
---------

Format(version, revision, page_size): .header_kind, .header_size, .large
Header(signature=..., version=None, revision=None, page_size=None, fields={},
       checksum=None, **facts)   facts by name (HEADER_FIELDS): state,
    file_type, db_time, last_objid, committed_log, repair_count (ints);
    creation_time, consistent_time, attach_time, detach_time, repair_time
    (datetime, or 8 raw bytes); consistent_pos, attach_pos, detach_pos
    ((generation, sector, offset)); windows ((major, minor, build, sp));
    required_logs ((low, high)); creation_format ((version, revision)).
Page(tags=(), flags=0, *, prev=0, next=0, owner=0, tag_count=None,
     tag_count_high=0, avail=None, uncommitted=0, first_free=None,
     checksum=0, mtime=0, ext=None, slack=b"", raw=None, patches=(),
     holes=None)
    .encode(fmt) -> bytes.  tags: Tag, bytes, or (value, flags).
Tag(value=b"", flags=0, slot=None)   slot=(w0, w1) writes raw slot words.
leaf_entry(key, data, common=None), branch_entry(key, child, common=None)
header_bytes(length=None, **Header fields) -> bytes  (header-only files)
page_offset(n, page_size), patch(data, offset, new), patch_file(path, offset,
new), patch_page_file(path, layout, n, offset, new, sign=True) (a patch inside
page n, its checksum written again), sign_page_file(path, layout, n),
truncate_file(path, size), encode_value(column, value),
record_bytes(table, values, page_size=8192, ...)
"""

import datetime as _dt
import io
import operator
import os
import struct
import uuid as _uuid

__all__ = [
    "SIGNATURE", "HEADER_FIELDS", "log_time", "Format", "Header", "Tag", "Page", "Database", "Table",
    "Column", "Index", "Tree", "Record", "Raw", "Tagged", "LongValue",
    "CatalogEntry", "Layout", "TreeInfo", "TableLayout", "catalog_record",
    "leaf_entry", "branch_entry", "header_bytes", "page_offset", "patch",
    "patch_file", "truncate_file", "encode_value", "encode_text", "build",
    "write", "simple_database", "record_bytes",
]

SIGNATURE = 0x89ABCDEF
CATALOG_ROOT = 4

# Page flags.
PF_ROOT = 0x0001
PF_LEAF = 0x0002
PF_PARENT = 0x0004
PF_EMPTY = 0x0008
PF_SPACE_TREE = 0x0020
PF_INDEX = 0x0040
PF_LONG_VALUE = 0x0080
PF_NEW_RECORD_FORMAT = 0x2000
PF_BASE = PF_NEW_RECORD_FORMAT

# Tag flags.
TAG_VERSION = 0x1
TAG_DELETED = 0x2
TAG_COMMON_KEY = 0x4

# Tagged value flags byte.
TF_LONG_TYPE = 0x01
TF_COMPRESSED = 0x02
TF_LONG_VALUE = 0x04
TF_MULTI_VALUE = 0x08

# Catalog record types.
CT_TABLE = 1
CT_COLUMN = 2
CT_INDEX = 3
CT_LONG_VALUE = 4
CT_CALLBACK = 5

# Column types.
T_NULL = 0
T_BOOLEAN = 1
T_UNSIGNED_BYTE = 2
T_SHORT = 3
T_LONG = 4
T_CURRENCY = 5
T_SINGLE = 6
T_DOUBLE = 7
T_DATETIME = 8
T_BINARY = 9
T_TEXT = 10
T_LONG_BINARY = 11
T_LONG_TEXT = 12
T_OBSOLETE = 13
T_UNSIGNED_LONG = 14
T_LONG_LONG = 15
T_GUID = 16
T_UNSIGNED_SHORT = 17
T_MAX = 18

FIXED_SIZES = {
    T_BOOLEAN: 1, T_UNSIGNED_BYTE: 1, T_SHORT: 2, T_LONG: 4, T_CURRENCY: 8,
    T_SINGLE: 4, T_DOUBLE: 8, T_DATETIME: 8, T_UNSIGNED_LONG: 4,
    T_LONG_LONG: 8, T_GUID: 16, T_UNSIGNED_SHORT: 2,
}
VARIABLE_TYPES = (T_BINARY, T_TEXT)
TEXT_TYPES = (T_TEXT, T_LONG_TEXT)
LONG_TYPES = (T_LONG_BINARY, T_LONG_TEXT)

_PAGE_HEADER = struct.Struct("<QQIIIHHHHI")
_U16 = struct.Struct("<H")
_U16x2 = struct.Struct("<HH")
_U32 = struct.Struct("<I")
_U32_BE = struct.Struct(">I")
_U16_BE = struct.Struct(">H")
_LV_ROOT = struct.Struct("<II")
_CATALOG_FIXED = struct.Struct("<BBHIHIIIII")  # header + 7 fixed columns

_WRITE_CHUNK = 8 << 20


# ---------------------------------------------------------------------------
# Formats, header, pages
# ---------------------------------------------------------------------------

class Format:
    """Page geometry chosen by format version, revision and page size."""

    def __init__(self, version=0x620, revision=20, page_size=8192):
        self.version = version
        self.revision = revision
        self.page_size = page_size
        if version < 0x620 or (version == 0x620 and revision < 11):
            self.header_kind = "legacy"
        elif version == 0x620 and revision <= 16:
            self.header_kind = "revised"
        else:
            self.header_kind = "extended"
        self.header_size = 80 if (self.header_kind == "extended"
                                  and page_size > 8192) else 40
        self.large = version == 0x620 and revision >= 17 and page_size > 8192
        # Bytes usable for tag values: offsets and sizes are 13 bits wide in
        # the small layout, whatever the page size.
        room = page_size - self.header_size
        self.max_data = room if self.large else min(room, 0x1FFF)

    def __repr__(self):
        return "Format(0x%x, %d, %d)" % (self.version, self.revision,
                                         self.page_size)


# Header facts by name: (offset, encoding).  "time" is a LOGTIME (a
# datetime, or 8 raw bytes), "pos" an LGPOS given as (generation, sector,
# offset), "u32xN" a tuple of N u32 values.
HEADER_FIELDS = {
    "file_type": (12, "u32"),
    "db_time": (16, "u64"),
    "creation_time": (28, "time"),
    "state": (52, "u32"),
    "consistent_pos": (56, "pos"),
    "consistent_time": (64, "time"),
    "attach_time": (72, "time"),
    "attach_pos": (80, "pos"),
    "detach_time": (88, "time"),
    "detach_pos": (96, "pos"),
    "last_objid": (212, "u32"),
    "windows": (216, "u32x4"),          # (major, minor, build, service pack)
    "repair_count": (240, "u32"),
    "repair_time": (244, "time"),
    "required_logs": (296, "u32x2"),    # (lowest, highest) generation
    "creation_format": (340, "u32x2"),  # (version, revision)
    "committed_log": (416, "u32"),
}

# Database states.
STATE_JUST_CREATED = 1
STATE_DIRTY_SHUTDOWN = 2
STATE_CLEAN_SHUTDOWN = 3
STATE_BEING_CONVERTED = 4
STATE_FORCE_DETACH = 5


def log_time(value):
    """LOGTIME bytes: second, minute, hour, day, month, year - 1900, two
    bytes of zeros; 8 raw bytes pass through (invalid dates)."""
    if isinstance(value, (bytes, bytearray)):
        if len(value) != 8:
            raise ValueError("a raw LOGTIME has 8 bytes")
        return bytes(value)
    return bytes([value.second, value.minute, value.hour, value.day, value.month,
                  value.year - 1900, 0, 0])


def _header_field(kind, value):
    if kind == "u32":
        return _U32.pack(value & 0xFFFFFFFF)
    if kind == "u64":
        return struct.pack("<Q", value)
    if kind == "time":
        return log_time(value)
    if kind == "pos":
        generation, sector, offset = value
        return struct.pack("<HHI", offset, sector, generation)
    count = int(kind[len("u32x"):])
    if len(value) != count:
        raise ValueError("%d values expected" % count)
    return struct.pack("<%dI" % count, *value)


class Header:
    """Database header page.  None fields take the database's own values;
    named facts (keyword arguments, see HEADER_FIELDS) are written next, then
    `fields`, which maps byte offsets to u32 ints or bytes."""

    def __init__(self, signature=SIGNATURE, version=None, revision=None,
                 page_size=None, fields=None, checksum=None, **facts):
        unknown = set(facts) - set(HEADER_FIELDS)
        if unknown:
            raise TypeError("unknown header facts: %s" % ", ".join(sorted(unknown)))
        self.signature = signature
        self.checksum = checksum
        self.version = version
        self.revision = revision
        self.page_size = page_size
        self.facts = facts
        self.fields = dict(fields or {})

    def encode(self, fmt, length=None):
        length = fmt.page_size if length is None else length
        buf = bytearray(max(length, 420))
        _U32.pack_into(buf, 4, self.signature & 0xFFFFFFFF)
        _U32.pack_into(buf, 8, _pick(self.version, fmt.version) & 0xFFFFFFFF)
        _U32.pack_into(buf, 232,
                       _pick(self.revision, fmt.revision) & 0xFFFFFFFF)
        _U32.pack_into(buf, 236,
                       _pick(self.page_size, fmt.page_size) & 0xFFFFFFFF)
        for name, value in self.facts.items():
            off, kind = HEADER_FIELDS[name]
            raw = _header_field(kind, value)
            buf[off:off + len(raw)] = raw
        for off, val in sorted(self.fields.items()):
            raw = _U32.pack(val & 0xFFFFFFFF) if isinstance(val, int) else val
            if off + len(raw) > len(buf):
                buf.extend(bytes(off + len(raw) - len(buf)))
            buf[off:off + len(raw)] = raw
        if self.checksum is None and 0 not in self.fields:
            sign_header(buf)
        else:
            _U32.pack_into(buf, 0, self.checksum & 0xFFFFFFFF)
        return bytes(buf[:length])


def xor32(data, seed):
    """`seed` XOR every little-endian 32-bit word of `data` (a trailing
    partial word is ignored)."""
    words = len(data) // 4
    x = int.from_bytes(data[:4 * words], "little")
    # Fold the halves onto each other: XOR is blind to word positions.
    while words > 1:
        half = words // 2
        bits = 32 * half
        x = (x & ((1 << bits) - 1)) ^ (x >> bits)
        words -= half
    return (x ^ seed) & 0xFFFFFFFF


def sign_page(buf, n, fmt):
    """Writes the checksum fields of page `n` into `buf` (a bytearray of one
    page): pages with the 80-byte header checksum four blocks, the last
    three first (their fields lie in block 0); other pages one."""
    ps = len(buf)
    if fmt.header_size == 80:
        block = ps // 4
        for k in (1, 2, 3):
            _U32.pack_into(buf, 40 + 8 * (k - 1),
                           xor32(buf[k * block:(k + 1) * block], n))
        _U32.pack_into(buf, 0, xor32(buf[8:block], n & 0xFFFFFFFF))
    else:
        _U32.pack_into(buf, 0, xor32(buf[8:], n & 0xFFFFFFFF))
    return buf


def sign_header(buf):
    """Writes the header checksum (bytes 4 to 4096) into `buf`."""
    _U32.pack_into(buf, 0, xor32(buf[4:4096], SIGNATURE))
    return buf


def _pick(value, default):
    return default if value is None else value


def header_bytes(length=None, page_size=4096, version=0x620, revision=20,
                 signature=SIGNATURE, header_page_size=None, fields=None):
    """A bare header page (optionally cut or padded to `length` bytes)."""
    fmt = Format(version, revision, page_size)
    data = Header(signature, version, revision,
                  _pick(header_page_size, page_size), fields).encode(fmt)
    if length is not None:
        data = data[:length] + bytes(max(0, length - len(data)))
    return data


class Tag:
    """One tag: value bytes and its 3 flag bits.  `slot` = (w0, w1) writes
    those raw slot words instead of the computed ones (the value, if any, is
    still stored in the data area)."""

    __slots__ = ("value", "flags", "slot")

    def __init__(self, value=b"", flags=0, slot=None):
        self.value = bytes(value)
        self.flags = flags
        self.slot = slot

    def __repr__(self):
        return "Tag(%r, flags=%d, slot=%r)" % (self.value, self.flags,
                                              self.slot)


def _as_tag(item):
    if isinstance(item, Tag):
        return item
    if isinstance(item, tuple):
        return Tag(*item)
    return Tag(item)


def _embed_flags(values, tflags):
    """Large-page layout: the tag flags live in the top 3 bits of a value's
    second byte."""
    out = []
    for v, f in zip(values, tflags):
        if f and len(v) >= 2:
            b = bytearray(v)
            b[1] = (b[1] & 0x1F) | ((f & 7) << 5)
            v = bytes(b)
        out.append(v)
    return out


def _assemble(fmt, values, tflags, pflags, prev=0, nxt=0, owner=0, slack=b""):
    """Fast page encoder: values laid out after the header in tag order,
    tag i's slot at page end - 4(i+1); `slack` is stored after the values
    (cut to the free space)."""
    ps = fmt.page_size
    hs = fmt.header_size
    n = len(values)
    large = fmt.large
    if large and any(tflags):
        values = _embed_flags(values, tflags)
    data = b"".join(values)
    dlen = len(data)
    free = ps - hs - dlen - 4 * n
    if free < 0 or dlen > fmt.max_data:
        raise ValueError("page overflow: %d value bytes and %d tags"
                         % (dlen, n))
    buf = bytearray(ps)
    buf[hs:hs + dlen] = data
    if slack:
        room = min(len(slack), max(0, free))
        buf[hs + dlen:hs + dlen + room] = slack[:room]
    words = [0] * (2 * n)
    j = 2 * n - 2
    off = 0
    if large:
        for v in values:
            size = len(v)
            words[j] = size
            words[j + 1] = off
            off += size
            j -= 2
    else:
        for v, f in zip(values, tflags):
            size = len(v)
            words[j] = size
            words[j + 1] = off | ((f & 7) << 13)
            off += size
            j -= 2
    if n:
        struct.pack_into("<%dH" % (2 * n), buf, ps - 4 * n, *words)
    _PAGE_HEADER.pack_into(buf, 0, 0, 0, prev, nxt, owner, free & 0xFFFF, 0,
                           dlen, n, pflags & 0xFFFFFFFF)
    return buf


class Page:
    """A hand-made page.  Everything a damaged or unusual page needs:

    tags           Tag / bytes / (value, flags) items, tag 0 first
    tag_count      raw value of the available tag count field (default: the
                   number of tags); tag_count_high sets its top 4 bits
    avail          raw available data size (default: the real free space)
    first_free     raw first available data offset (default: end of values)
    ext            the 40 extension bytes of 80-byte headers
    slack          bytes stored right after the values, referenced by no tag
    holes          {tag index: bytes} stored right before that tag's value,
                   referenced by no tag (a hole between values)
    raw            the whole page bytes, used as given (padded / cut)
    patches        [(offset in page, bytes)] applied last
    """

    def __init__(self, tags=(), flags=0, *, prev=0, next=0, owner=0,
                 tag_count=None, tag_count_high=0, avail=None,
                 uncommitted=0, first_free=None, checksum=None, mtime=0,
                 ext=None, slack=b"", raw=None, patches=(), holes=None):
        self.tags = [_as_tag(t) for t in tags]
        self.holes = dict(holes or {})
        self.flags = flags
        self.prev = prev
        self.next = next
        self.owner = owner
        self.tag_count = tag_count
        self.tag_count_high = tag_count_high
        self.avail = avail
        self.uncommitted = uncommitted
        self.first_free = first_free
        self.checksum = checksum
        self.mtime = mtime
        self.ext = ext
        self.slack = bytes(slack)
        self.raw = raw
        self.patches = list(patches)

    def encode(self, fmt, number=None):
        """The page bytes; with its page `number` and no explicit checksum
        the checksum fields are filled in (after the patches), so the page
        is sound on its own.  Raw pages are never signed."""
        ps = fmt.page_size
        if self.raw is not None:
            buf = bytearray(bytes(self.raw)[:ps])
            buf.extend(bytes(ps - len(buf)))
        else:
            buf = self._encode(fmt)
        for off, data in self.patches:
            buf[off:off + len(data)] = data
        del buf[ps:]
        if self.raw is None and self.checksum is None and number is not None:
            sign_page(buf, number, fmt)
        return bytes(buf)

    def _encode(self, fmt):
        ps, hs = fmt.page_size, fmt.header_size
        values = [t.value for t in self.tags]
        tflags = [t.flags for t in self.tags]
        if fmt.large:
            values = _embed_flags(values, tflags)
        n = len(values)
        buf = bytearray(ps)
        pos = hs
        slots = []
        for i, v in enumerate(values):
            hole = self.holes.get(i, b"")
            buf[pos:pos + len(hole)] = hole
            pos += len(hole)
            if pos + len(v) > ps - 4 * n:
                raise ValueError("tag %d does not fit in the page" % i)
            buf[pos:pos + len(v)] = v
            off = pos - hs
            tag = self.tags[i]
            if tag.slot is not None:
                slots.append(tag.slot)
            elif fmt.large:
                slots.append((len(v), off))
            else:
                slots.append((len(v) & 0x1FFF,
                              (off & 0x1FFF) | (tag.flags << 13)))
            pos += len(v)
        used = pos - hs
        if self.slack:
            end = min(pos + len(self.slack), ps - 4 * n)
            buf[pos:end] = self.slack[:end - pos]
        for i, (w0, w1) in enumerate(slots):
            _U16x2.pack_into(buf, ps - 4 * (i + 1), w0 & 0xFFFF, w1 & 0xFFFF)
        free = ps - hs - used - 4 * n
        count = n if self.tag_count is None else self.tag_count
        if self.tag_count_high:
            count = (count & 0x0FFF) | ((self.tag_count_high & 0xF) << 12)
        _PAGE_HEADER.pack_into(
            buf, 0, self.checksum or 0, self.mtime, self.prev, self.next,
            self.owner, _pick(self.avail, free) & 0xFFFF,
            self.uncommitted & 0xFFFF, _pick(self.first_free, used) & 0xFFFF,
            count & 0xFFFF, self.flags & 0xFFFFFFFF)
        if self.ext is not None and hs == 80:
            ext = bytes(self.ext)[:40]
            buf[40:40 + len(ext)] = ext
        return buf


def leaf_entry(key, data=b"", common=None):
    """Leaf entry bytes: [u16 common key size] u16 key size, key, data.
    Use tag flag 0x4 when `common` is given."""
    head = b"" if common is None else _U16.pack(common)
    return head + _U16.pack(len(key)) + bytes(key) + bytes(data)


def branch_entry(key, child, common=None):
    """Branch entry bytes: [u16 common key size] u16 key size, key, u32
    child page.  Use tag flag 0x4 when `common` is given."""
    return leaf_entry(key, _U32.pack(child & 0xFFFFFFFF), common)


# ---------------------------------------------------------------------------
# Page sink and allocation
# ---------------------------------------------------------------------------

class _Sink:
    """Writes pages to a seekable file, merging runs of consecutive pages
    into one write."""

    def __init__(self, f, page_size, fmt=None):
        self.f = f
        self.ps = page_size
        # Generated pages (bytearrays) are signed as they are written.
        self.fmt = fmt
        self.start = None
        self.next = None
        self.parts = []
        self.size = 0
        self.max_page = -1
        self.count = 0

    def put(self, n, data):
        if self.fmt is not None and isinstance(data, bytearray):
            sign_page(data, n, self.fmt)
        if n != self.next or self.size >= _WRITE_CHUNK:
            self.flush()
            self.start = n
        self.parts.append(data)
        self.size += len(data)
        self.next = n + 1
        self.count += 1
        if n > self.max_page:
            self.max_page = n

    def flush(self):
        if self.parts:
            self.f.seek((self.start + 1) * self.ps)
            self.f.write(b"".join(self.parts))
            self.parts = []
            self.size = 0
        self.next = None


class _NullSink:
    def put(self, n, data):
        pass


class _Allocator:
    """Hands out page numbers in ascending order, skipping numbers already
    used or reserved."""

    def __init__(self, start):
        self.used = set()
        self.next = start

    def reserve(self, n):
        if n in self.used:
            raise ValueError("page %d is placed twice" % n)
        self.used.add(n)

    def cursor(self, start=None):
        """An allocation function; `start` begins a separate run there."""
        if start is None:
            return self.alloc
        state = [start]
        used = self.used

        def alloc():
            n = state[0]
            while n in used:
                n += 1
            used.add(n)
            state[0] = n + 1
            return n
        return alloc

    def alloc(self):
        n = self.next
        used = self.used
        while n in used:
            n += 1
        used.add(n)
        self.next = n + 1
        return n


class _Context:
    def __init__(self, fmt, sink, allocator):
        self.fmt = fmt
        self.sink = sink
        self.allocator = allocator


# ---------------------------------------------------------------------------
# Trees
# ---------------------------------------------------------------------------

class TreeInfo:
    """Where a tree's pages went."""

    def __init__(self, root):
        self.root = root
        self.leaves = []      # leaf pages, left to right
        self.branches = []    # non-root branch pages, bottom level first
        self.depth = 1        # number of page levels
        self.entries = 0      # leaf entries written

    @property
    def pages(self):
        pages = set(self.leaves) | set(self.branches)
        pages.add(self.root)
        return sorted(pages)

    def __repr__(self):
        return "TreeInfo(root=%d, leaves=%d, depth=%d, entries=%d)" % (
            self.root, len(self.leaves), self.depth, self.entries)


def _lcp(a, b, limit):
    n = min(len(a), len(b), limit)
    if a[:n] == b[:n]:
        return n
    lo, hi = 0, n          # a[:lo] == b[:lo], a[:hi] != b[:hi]
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if a[:mid] == b[:mid]:
            lo = mid
        else:
            hi = mid
    return lo


class _Packer:
    """Collects the entries of one page and says when the next one does not
    fit.  With prefix compression the page prefix is the longest common
    prefix of all its keys; every entry then stores only its suffix."""

    def __init__(self, cap, compress, max_entries):
        self.cap = cap
        self.compress = compress
        self.max_entries = max_entries or 0
        self.reset()

    def reset(self):
        self.keys = []
        self.payloads = []
        self.tflags = []
        self.n = 0
        self.sum = 0        # key + payload bytes
        self.p = 0          # common prefix length
        self.first = None

    def add(self, key, payload, tf):
        n = self.n
        size = len(key) + len(payload)
        if n:
            if n == self.max_entries:
                return False
            n2 = n + 1
            s2 = self.sum + size
            if self.compress:
                p = self.p
                if p and key[:p] != self.first[:p]:
                    p = _lcp(self.first, key, p)
            else:
                p = 0
            used = (p + s2 - n2 * p + 8 * n2) if p else (s2 + 6 * n2)
            if used > self.cap:
                return False
        else:
            p = len(key) if self.compress else 0
            n2, s2 = 1, size
            used = (p + s2 - p + 8) if p else (s2 + 6)
            if used > self.cap:
                raise ValueError("entry of %d bytes does not fit in a page"
                                 % size)
            self.first = key
        self.p = p
        self.n = n2
        self.sum = s2
        self.keys.append(key)
        self.payloads.append(payload)
        self.tflags.append(tf)
        return True

    def take(self):
        """(values, tag flags) of the page, tag 0 first; resets."""
        p = self.p
        keys, payloads = self.keys, self.payloads
        if p:
            pack = _U16x2.pack
            values = [self.first[:p]]
            values.extend(pack(p, len(k) - p) + k[p:] + d
                          for k, d in zip(keys, payloads))
            tflags = [0]
            tflags.extend(f | TAG_COMMON_KEY for f in self.tflags)
        else:
            pack = _U16.pack
            values = [b""]
            values.extend(pack(len(k)) + k + d for k, d in zip(keys, payloads))
            tflags = [0]
            tflags.extend(self.tflags)
        last = keys[-1] if keys else b""
        self.reset()
        return values, tflags, last


_KIND_FLAGS = {"data": 0, "lv": PF_LONG_VALUE, "index": PF_INDEX,
               "space": PF_SPACE_TREE}


class _TreeWriter:
    """Streams one B-tree: leaf pages are written as they fill, branch levels
    are built by finish()."""

    def __init__(self, ctx, root, alloc, *, kind="data", owner=0,
                 compress=False, max_leaf=None, max_branch=None, fill=1.0,
                 page_flags=None, leaf_slack=None):
        self.ctx = ctx
        self.leaf_slack = leaf_slack
        self.fmt = ctx.fmt
        self.root = root
        self.alloc = alloc
        self.owner = owner
        base = _pick(page_flags, PF_BASE) | _KIND_FLAGS[kind]
        self.leaf_flags = base | PF_LEAF
        self.branch_flags = base | PF_PARENT
        self.compress = compress
        self.max_branch = max(2, max_branch) if max_branch else None
        cap = self.fmt.max_data - 4          # room beside tag 0's slot
        cap = min(cap, self.fmt.page_size - self.fmt.header_size - 4)
        self.cap = int(cap * fill) if fill < 1.0 else cap
        self.packer = _Packer(self.cap, compress, max_leaf)
        self.info = TreeInfo(root)
        self.cur = None
        self.prev = 0
        self.level = []

    def add(self, key, data, tf=0):
        if not self.packer.add(key, data, tf):
            self._flush(False)
            self.packer.add(key, data, tf)

    def _flush(self, final):
        values, tflags, last = self.packer.take()
        self.info.entries += len(values) - 1
        flags = self.leaf_flags
        if self.cur is None:
            if final and not self.level:
                no = self.root
                flags |= PF_ROOT
            else:
                no = self.alloc()
        else:
            no = self.cur
        nxt = 0 if final else self.alloc()
        slack = b""
        if self.leaf_slack is not None:
            slack = (self.leaf_slack(len(self.info.leaves))
                     if callable(self.leaf_slack) else self.leaf_slack)
        page = _assemble(self.fmt, values, tflags, flags, self.prev, nxt,
                         self.owner, slack or b"")
        self.ctx.sink.put(no, page)
        self.level.append((last, no))
        self.info.leaves.append(no)
        self.prev = no
        self.cur = nxt

    def finish(self):
        self._flush(True)
        level = self.level
        depth = 1
        while len(level) > 1:
            depth += 1
            packer = _Packer(self.cap, self.compress, self.max_branch)
            groups = []
            group_last = None
            for i, (key, child) in enumerate(level):
                sep = b"" if i == len(level) - 1 else key
                payload = _U32.pack(child)
                if not packer.add(sep, payload, 0):
                    groups.append(packer.take() + (group_last,))
                    packer.add(sep, payload, 0)
                group_last = key
            groups.append(packer.take() + (group_last,))
            if len(groups) == 1:
                values, tflags, _, _ = groups[0]
                page = _assemble(self.fmt, values, tflags,
                                 self.branch_flags | PF_ROOT, 0, 0, self.owner)
                self.ctx.sink.put(self.root, page)
                break
            numbers = [self.alloc() for _ in groups]
            new_level = []
            for i, (values, tflags, _, last_key) in enumerate(groups):
                prev = numbers[i - 1] if i else 0
                nxt = numbers[i + 1] if i + 1 < len(numbers) else 0
                page = _assemble(self.fmt, values, tflags, self.branch_flags,
                                 prev, nxt, self.owner)
                self.ctx.sink.put(numbers[i], page)
                new_level.append((last_key, numbers[i]))
            self.info.branches.extend(numbers)
            level = new_level
        self.info.depth = depth
        return self.info


class Tree:
    """A free-standing B-tree (not listed in the catalog).  entries: sorted
    (key, data) or (key, data, tag flags) items.  kind: "data", "lv",
    "index" or "space" (sets page flag 0x80 / 0x40 / 0x20)."""

    def __init__(self, entries, *, root_page=None, first_page=None,
                 kind="data", owner=0, prefix_compression=False,
                 max_leaf_entries=None, max_branch_entries=None, fill=1.0,
                 page_flags=None):
        self.entries = entries
        self.root_page = root_page
        self.first_page = first_page
        self.kind = kind
        self.owner = owner
        self.prefix_compression = prefix_compression
        self.max_leaf_entries = max_leaf_entries
        self.max_branch_entries = max_branch_entries
        self.fill = fill
        self.page_flags = page_flags


# ---------------------------------------------------------------------------
# Values and records
# ---------------------------------------------------------------------------

class Raw:
    """Exact bytes: a column value stored as given, or a whole record."""

    __slots__ = ("data",)

    def __init__(self, data):
        self.data = bytes(data)

    def __repr__(self):
        return "Raw(%r)" % (self.data,)


class Tagged:
    """A tagged column value with an explicit flags byte (None: no flags
    byte where the layout allows it)."""

    __slots__ = ("data", "flags")

    def __init__(self, data, flags=None):
        self.data = data
        self.flags = flags


class LongValue:
    """A value stored in the table's long-value tree.

    id / id_width  long-value id (auto when None) and its width, 4 or 8
    chunk_size     split `data` into chunks of this size (default page/4)
    chunks         explicit [(offset, bytes)] chunks, written in this order
    total_size     size stored in the root entry (default: len(data))
    root_entry     False omits the root entry
    ref            reference bytes stored in the record (default: id LE)
    flags          tagged flags byte (default 0x04, | 0x01 for Long columns)
    """

    def __init__(self, data=b"", *, id=None, id_width=4, chunk_size=None,
                 chunks=None, total_size=None, refcount=1, root_entry=True,
                 ref=None, flags=None):
        if id_width not in (4, 8):
            raise ValueError("id_width must be 4 or 8")
        self.data = data
        self.id = id
        self.id_width = id_width
        self.chunk_size = chunk_size
        self.chunks = chunks
        self.total_size = total_size
        self.refcount = refcount
        self.root_entry = root_entry
        self.ref = ref
        self.flags = flags


class Record:
    """A table row with options.  values: dict or sequence; raw: the whole
    record bytes; key: the leaf key; deleted: tag flag 0x2."""

    __slots__ = ("values", "raw", "key", "deleted", "tag_flags")

    def __init__(self, values=None, *, raw=None, key=None, deleted=False,
                 tag_flags=0):
        self.values = values
        self.raw = raw
        self.key = key
        self.deleted = deleted
        self.tag_flags = tag_flags


class Column:
    """A column definition.  size: fixed width for fixed columns (default by
    type), declared size otherwise.  codepage: text code page (default 1252
    for text types, 0 otherwise).  default: the catalog's default value
    bytes (none when None)."""

    def __init__(self, name, type, id=None, size=None, codepage=None,
                 flags=0, catalog=True, deleted=False, default=None):
        self.name = name
        self.default = default
        self.type = type
        self.id = id
        self.size = size
        self.codepage = codepage
        self.flags = flags
        self.catalog = catalog
        self.deleted = deleted

    @property
    def fixed(self):
        return self.id is not None and 1 <= self.id <= 127

    def width(self):
        if self.size is not None:
            return self.size
        if self.type in FIXED_SIZES:
            return FIXED_SIZES[self.type]
        raise ValueError("fixed column %r of type %d needs a size"
                         % (self.name, self.type))

    def declared_size(self):
        if self.size is not None:
            return self.size
        if self.type in FIXED_SIZES:
            return FIXED_SIZES[self.type]
        return 255 if self.type in VARIABLE_TYPES else 0

    def text_codepage(self):
        if self.codepage is not None:
            return self.codepage
        return 1252

    def catalog_codepage(self):
        if self.codepage is not None:
            return self.codepage
        return 1252 if self.type in TEXT_TYPES else 0

    def __repr__(self):
        return "Column(%r, %d, id=%r)" % (self.name, self.type, self.id)


def _assign_ids(columns):
    taken = {c.id for c in columns if c.id is not None}
    nxt = {"fixed": 1, "var": 128, "tagged": 256}
    for c in columns:
        if c.id is not None:
            continue
        if c.type in FIXED_SIZES:
            kind = "fixed"
        elif c.type in VARIABLE_TYPES:
            kind = "var"
        else:
            kind = "tagged"
        n = nxt[kind]
        while n in taken:
            n += 1
        if (kind == "fixed" and n > 127) or (kind == "var" and n > 255):
            n = nxt["tagged"]
            while n in taken:
                n += 1
            kind = "tagged"
        c.id = n
        taken.add(n)
        nxt[kind] = n + 1


def encode_text(value, codepage):
    """Text bytes in a code page (1200 UTF-16LE, 1252 / 20127 windows-1252;
    other numbers use Python's codec of that name, else windows-1252)."""
    if codepage == 1200:
        return value.encode("utf-16-le", "surrogatepass")
    if codepage not in (1252, 20127):
        names = {1201: "utf-16-be", 65001: "utf-8"}
        try:
            return value.encode(names.get(codepage, "cp%d" % codepage))
        except (LookupError, UnicodeEncodeError):
            pass
    try:
        return value.encode("cp1252")
    except UnicodeEncodeError:
        # cp1252 in Python leaves five bytes undefined that windows-1252
        # maps to U+0081 etc.; write those code points as their byte.
        out = bytearray()
        for ch in value:
            try:
                out += ch.encode("cp1252")
            except UnicodeEncodeError:
                out += ch.encode("latin-1")
        return bytes(out)


_OLE_EPOCH = _dt.datetime(1899, 12, 30)


_PACK_DOUBLE = struct.Struct("<d").pack


def _datetime_bytes(value):
    if type(value) is float:
        return _PACK_DOUBLE(value)
    if isinstance(value, _dt.datetime):
        if value.tzinfo is not None:
            value = value.astimezone(_dt.timezone.utc).replace(tzinfo=None)
        days = (value - _OLE_EPOCH) / _dt.timedelta(days=1)
        return struct.pack("<d", days)
    if isinstance(value, float):
        return struct.pack("<d", value)
    return struct.pack("<Q", value & 0xFFFFFFFFFFFFFFFF)


def _guid_bytes(value):
    if isinstance(value, _uuid.UUID):
        return value.bytes_le
    if isinstance(value, str):
        return _uuid.UUID(value).bytes_le
    if type(value) is bytes:
        return value
    raise TypeError("GUID value must be uuid.UUID, str or bytes")


def _bool_byte(value):
    if type(value) is bool or type(value) is int:
        return 0xFF if value else 0
    raise TypeError("Boolean value must be bool or int")


_INT_PACKING = {
    T_UNSIGNED_BYTE: ("<B", 0xFF), T_SHORT: ("<H", 0xFFFF),
    T_UNSIGNED_SHORT: ("<H", 0xFFFF), T_LONG: ("<I", 0xFFFFFFFF),
    T_UNSIGNED_LONG: ("<I", 0xFFFFFFFF),
    T_CURRENCY: ("<Q", 0xFFFFFFFFFFFFFFFF),
    T_LONG_LONG: ("<Q", 0xFFFFFFFFFFFFFFFF),
}

# struct codes used for a whole fixed-column block; values that do not fit
# them (out-of-range ints, Raw, LongValue ...) take the per-column path.
_BLOCK_CODES = {
    T_UNSIGNED_BYTE: "B", T_SHORT: "h", T_UNSIGNED_SHORT: "H", T_LONG: "i",
    T_UNSIGNED_LONG: "I", T_CURRENCY: "q", T_LONG_LONG: "q", T_SINGLE: "f",
    T_DOUBLE: "d",
}


def _make_encoder(col):
    """value -> bytes for plain Python values of one column."""
    t = col.type
    if t == T_BOOLEAN:
        return lambda v: b"\xff" if v else b"\x00"
    if t in _INT_PACKING:
        fmt, mask = _INT_PACKING[t]
        pack = struct.Struct(fmt).pack
        return lambda v: pack(v & mask)
    if t == T_SINGLE:
        return struct.Struct("<f").pack
    if t == T_DOUBLE:
        return struct.Struct("<d").pack
    if t == T_DATETIME:
        return _datetime_bytes
    if t == T_GUID:
        return _guid_bytes
    cp = col.text_codepage()
    if cp == 1200:
        def text(v):
            return v.encode("utf-16-le", "surrogatepass")
    else:
        def text(v):
            return encode_text(v, cp)

    def enc(v):
        if type(v) is str:
            return text(v)
        if isinstance(v, int):
            raise TypeError("column %r of type %d takes bytes or str"
                            % (col.name, t))
        return bytes(v)
    return enc


def encode_value(column, value):
    """Stored bytes of one plain value for a column (no flags byte)."""
    if isinstance(value, Raw):
        return value.data
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    return _make_encoder(column)(value)


_AUTO = object()
_SPECIAL = frozenset((Raw, LongValue, Tagged, bytearray, memoryview))
_FAST_FAIL = (struct.error, TypeError, ValueError, AttributeError,
              OverflowError)


class _RecordEncoder:
    """Builds record bytes for one table; the column plan is made once."""

    def __init__(self, columns, fmt, lv_sink):
        self.large = fmt.large
        self.lv_sink = lv_sink
        self.ncols = len(columns)
        self.by_name = {}
        for i, c in enumerate(columns):
            self.by_name.setdefault(c.name, []).append(i)
        plan = sorted(range(len(columns)), key=lambda i: columns[i].id)
        self.columns = columns
        self.encoders = [_make_encoder(c) for c in columns]
        self.fixed = [(columns[i].id, i, columns[i].width()) for i in plan
                      if 1 <= columns[i].id <= 127]
        self.fixed_rev = list(reversed(self.fixed))
        self.defined_fixed = 0
        for cid, _, _ in self.fixed:
            self.defined_fixed |= 1 << (cid - 1)
        self.zero = {w: bytes(w) for _, _, w in self.fixed}
        self._plan_fixed_block(columns)
        var = [(columns[i].id, i) for i in plan if 128 <= columns[i].id <= 255]
        self.var_rev = list(reversed(var))
        by_id = {}
        for cid, i in var:
            by_id.setdefault(cid, []).append(i)
        top = var[-1][0] if var else 127
        self.var_slots = [(cid, by_id.get(cid, ()))
                          for cid in range(128, top + 1)]
        self.tagged = [(columns[i].id, i, columns[i].type in LONG_TYPES)
                       for i in plan if columns[i].id >= 256]

    def _plan_fixed_block(self, columns):
        """One struct for all fixed columns, used when none is null."""
        self.block = None
        if not self.fixed:
            return
        codes = ["<"]
        convs = []
        for pos, (_, i, width) in enumerate(self.fixed):
            t = columns[i].type
            code = _BLOCK_CODES.get(t)
            if code is not None and FIXED_SIZES[t] == width:
                codes.append(code)
                continue
            if t == T_BOOLEAN and width == 1:
                codes.append("B")
                convs.append((pos, _bool_byte))
                continue
            codes.append("%ds" % width)
            convs.append((pos, self.encoders[i]))
        last = self.fixed[-1][0]
        nb = (last + 7) >> 3
        mask = (1 << last) - 1
        bits = (mask & ~self.defined_fixed) | (((1 << (8 * nb)) - 1) & ~mask)
        idx = [i for _, i, _ in self.fixed]
        if len(idx) == 1:
            i0 = idx[0]
            getter = lambda vals: (vals[i0],)  # noqa: E731
        else:
            getter = operator.itemgetter(*idx)
        self.block = (struct.Struct("".join(codes)).pack, convs, getter,
                      bytes((last,)), bits.to_bytes(nb, "little"),
                      4 + struct.calcsize("".join(codes)) + nb)

    def values(self, rec):
        n = self.ncols
        if isinstance(rec, dict):
            vals = [None] * n
            by_name = self.by_name
            for k, v in rec.items():
                try:
                    idx = by_name[k]
                except KeyError:
                    raise KeyError("no column named %r" % (k,))
                for i in idx:
                    vals[i] = v
            return vals
        vals = list(rec)
        if len(vals) > n:
            raise ValueError("record has %d values for %d columns"
                             % (len(vals), n))
        if len(vals) < n:
            vals.extend([None] * (n - len(vals)))
        return vals

    def _bytes(self, i, v):
        """(flags byte, bytes) of a non-None value of column i.  The flags
        byte is None for "no flags byte" and _AUTO for plain values."""
        cls = type(v)
        if cls is bytes:
            return _AUTO, v
        if cls is Raw:
            return _AUTO, v.data
        if cls is LongValue:
            col = self.columns[i]
            ref = self.lv_sink(v)
            flags = v.flags
            if flags is None:
                flags = TF_LONG_VALUE | (TF_LONG_TYPE if col.type in LONG_TYPES
                                         else 0)
            return flags, ref
        if cls is Tagged:
            return v.flags, self._bytes(i, v.data)[1]
        if cls in (bytearray, memoryview):
            return _AUTO, bytes(v)
        return _AUTO, self.encoders[i](v)

    def _fixed_slow(self, vals):
        last = 0
        for cid, i, _ in self.fixed_rev:
            if vals[i] is not None:
                last = cid
                break
        if not last:
            return 0, b""
        parts = []
        nulls = 0
        zero = self.zero
        for cid, i, width in self.fixed:
            if cid > last:
                break
            v = vals[i]
            if v is None:
                parts.append(zero[width])
                nulls |= 1 << (cid - 1)
                continue
            fb, b = self._bytes(i, v)
            if fb is _AUTO and type(v) is not Raw and len(b) != width:
                b = b[:width].ljust(width, b"\x00")   # fixed-width text
            parts.append(b)
        nb = (last + 7) >> 3
        mask = (1 << last) - 1
        bits = nulls | (mask & ~self.defined_fixed) | (
            ((1 << (8 * nb)) - 1) & ~mask)
        parts.append(bits.to_bytes(nb, "little"))
        return last, b"".join(parts)

    def encode(self, vals):
        parts = [b""]
        block = self.block
        fixed = None
        if block is not None:
            pack, convs, getter, lastb, bitmap, o = block
            got = getter(vals)
            if None not in got:
                try:
                    if convs:
                        got = list(got)
                        for pos, fn in convs:
                            got[pos] = fn(got[pos])
                    fixed = pack(*got)
                except _FAST_FAIL:
                    fixed = None
        if fixed is not None:
            parts.append(fixed)
            parts.append(bitmap)
        else:
            last, fixed = self._fixed_slow(vals)
            lastb = bytes((last,))
            o = 4 + len(fixed)
            parts.append(fixed)
        if o > 0xFFFF:
            raise ValueError("fixed data too large")
        encs = self.encoders
        # Variable columns, up to the highest non-null one.
        vlast = 127
        for cid, i in self.var_rev:
            if vals[i] is not None:
                vlast = cid
                break
        if vlast >= 128:
            ends = []
            end = 0
            datas = []
            for cid, idxs in self.var_slots:
                if cid > vlast:
                    break
                present = False
                for i in idxs:
                    v = vals[i]
                    if v is not None:
                        t = type(v)
                        if t is bytes:
                            b = v
                        elif t in _SPECIAL:
                            b = self._bytes(i, v)[1]
                        else:
                            b = encs[i](v)
                        datas.append(b)
                        end += len(b)
                        present = True
                if end > 0x7FFF:
                    raise ValueError("variable data exceeds 32767 bytes")
                ends.append(end if present else end | 0x8000)
            parts.append(struct.pack("<%dH" % len(ends), *ends))
            parts.extend(datas)
        # Tagged columns.
        tagged = None
        for cid, i, long_type in self.tagged:
            v = vals[i]
            if v is not None:
                t = type(v)
                if t in _SPECIAL:
                    fb, b = self._bytes(i, v)
                    if fb is _AUTO:
                        fb = TF_LONG_TYPE if long_type else None
                else:
                    b = v if t is bytes else encs[i](v)
                    fb = TF_LONG_TYPE if long_type else None
                if tagged is None:
                    tagged = []
                tagged.append((cid, fb, b))
        if tagged:
            n = len(tagged)
            off = 4 * n
            words = []
            datas = []
            large = self.large
            limit = 0x8000 if large else 0x4000
            for cid, fb, b in tagged:
                if off >= limit:
                    raise ValueError("tagged data too large for its offsets")
                if large:
                    words += (cid, off)
                    b = bytes(((fb or 0) & 0xFF,)) + b
                elif fb is None:
                    words += (cid, off)
                else:
                    words += (cid, off | 0x4000)
                    b = bytes((fb & 0xFF,)) + b
                datas.append(b)
                off += len(b)
            parts.append(struct.pack("<%dH" % (2 * n), *words))
            parts.extend(datas)
        parts[0] = lastb + bytes((vlast,)) + _U16.pack(o)
        return b"".join(parts)


class _LongValueStore:
    """Turns LongValue objects into long-value tree entries, either straight
    into a tree writer ("stream") or buffered and sorted by id ("sorted")."""

    def __init__(self, fmt, writer, order):
        self.fmt = fmt
        self.writer = writer
        self.order = order
        self.groups = []
        self.next_id = {4: 1, 8: 1}
        self.seq = 0

    def __call__(self, lv):
        w = lv.id_width
        lid = lv.id
        if lid is None:
            lid = self.next_id[w]
        self.next_id[w] = max(self.next_id[w], lid + 1)
        ref = lv.ref if lv.ref is not None else lid.to_bytes(w, "little")
        self.add(lv, lid)
        return bytes(ref)

    def add(self, lv, lid=None):
        if lid is None:
            lid = lv.id if lv.id is not None else self.next_id[lv.id_width]
            self.next_id[lv.id_width] = max(self.next_id[lv.id_width], lid + 1)
        idkey = lid.to_bytes(lv.id_width, "big")
        data = lv.data
        if isinstance(data, str):
            data = encode_text(data, 1252)
        data = bytes(data)
        entries = []
        if lv.root_entry:
            total = len(data) if lv.total_size is None else lv.total_size
            entries.append((idkey, _LV_ROOT.pack(lv.refcount & 0xFFFFFFFF,
                                                 total & 0xFFFFFFFF)))
        if lv.chunks is not None:
            chunks = lv.chunks
        else:
            size = lv.chunk_size or self.fmt.page_size // 4
            chunks = [(o, data[o:o + size]) for o in range(0, len(data), size)]
        for off, chunk in chunks:
            entries.append((idkey + _U32_BE.pack(off), bytes(chunk)))
        if self.order == "stream":
            for k, d in entries:
                self.writer.add(k, d)
        else:
            self.groups.append((idkey, self.seq, entries))
            self.seq += 1

    def add_entries(self, entries):
        for e in entries:
            if self.order == "stream":
                self.writer.add(*e)
            else:
                self.groups.append((bytes(e[0]), self.seq, [tuple(e)]))
                self.seq += 1

    def finish(self):
        if self.order != "stream":
            groups = sorted(self.groups, key=lambda g: (g[0], g[1]))
            for _, _, entries in groups:
                for e in entries:
                    self.writer.add(*e)
        return self.writer.finish()


class Index:
    """A secondary index: its catalog record and an index tree (page flag
    0x40) whose entries map the encoded column value to the record key.
    A `primary` index is the key of the table's own tree: its catalog
    record carries the table's object id and root page, and it has no tree
    of its own."""

    def __init__(self, name, column=None, *, entries=None, flags=0,
                 locale=1033, objid=None, space_usage=0,
                 prefix_compression=True, catalog=True, deleted=False,
                 primary=False):
        self.primary = primary
        self.name = name
        self.column = column
        self.entries = entries
        self.flags = flags
        self.locale = locale
        self.objid = objid
        self.space_usage = space_usage
        self.prefix_compression = prefix_compression
        self.catalog = catalog
        self.deleted = deleted


class Table:
    """A table: its catalog records and its data tree (see module doc)."""

    def __init__(self, name, columns=(), records=(), *, objid=None,
                 root_page=None, first_page=None, key=None,
                 prefix_compression=False, max_leaf_entries=None,
                 max_branch_entries=None, fill=1.0, long_values=None,
                 lv_name="LV", lv_objid=None, lv_order=None,
                 lv_prefix_compression=True, lv_max_leaf_entries=None,
                 lv_entries=(), lv_values=(), indexes=(), space_usage=0,
                 flags=0, catalog=True, deleted=False, build_tree=True,
                 page_flags=None, leaf_slack=None):
        self.name = name
        self.leaf_slack = leaf_slack
        self.columns = [c if isinstance(c, Column) else Column(*c)
                        for c in columns]
        self.records = records
        self.objid = objid
        self.root_page = root_page
        self.first_page = first_page
        self.key = key
        self.prefix_compression = prefix_compression
        self.max_leaf_entries = max_leaf_entries
        self.max_branch_entries = max_branch_entries
        self.fill = fill
        self.long_values = long_values
        self.lv_name = lv_name
        self.lv_objid = lv_objid
        self.lv_order = lv_order
        self.lv_prefix_compression = lv_prefix_compression
        self.lv_max_leaf_entries = lv_max_leaf_entries
        self.lv_entries = lv_entries
        self.lv_values = lv_values
        self.indexes = list(indexes)
        self.space_usage = space_usage
        self.flags = flags
        self.catalog = catalog
        self.deleted = deleted
        self.build_tree = build_tree
        self.page_flags = page_flags
        _assign_ids(self.columns)

    def has_lv_tree(self):
        if self.long_values is not None:
            return bool(self.long_values)
        return (any(c.type in LONG_TYPES for c in self.columns)
                or bool(self.lv_entries) or bool(self.lv_values))


def _name_bytes(name):
    if isinstance(name, (bytes, bytearray)):
        return bytes(name)
    return name.encode("utf-8")


def _u32_key(value):
    return b"\x7f" + _U32_BE.pack((value ^ 0x80000000) & 0xFFFFFFFF)


def _default_key(n, record):
    return b"\x7f" + _U32_BE.pack(((n + 1) ^ 0x80000000) & 0xFFFFFFFF)


# ---------------------------------------------------------------------------
# Catalog
# ---------------------------------------------------------------------------

class CatalogEntry:
    """One leaf entry of the catalog tree."""

    __slots__ = ("data", "key", "flags")

    def __init__(self, data, key=b"", flags=0):
        self.data = bytes(data)
        self.key = bytes(key)
        self.flags = flags

    def __repr__(self):
        return "CatalogEntry(%r, key=%r, flags=%d)" % (self.data, self.key,
                                                      self.flags)


def catalog_record(ctype, owner, id, value14=0, space=0, flags=0, cp=0,
                   name=b"", *, last_fixed=7, last_var=128, var_offset=None,
                   name_len=None, default=None):
    """Catalog record bytes.  value14 is the column type or the root page;
    cp the code page (columns) or locale (indexes).  last_fixed, last_var,
    var_offset and name_len override the header / name length words.
    default: a column's default value bytes (variable column 131)."""
    name = _name_bytes(name)
    if default is not None:
        last_var = 131
    head = _CATALOG_FIXED.pack(
        last_fixed & 0xFF, last_var & 0xFF, 0, owner & 0xFFFFFFFF,
        ctype & 0xFFFF, id & 0xFFFFFFFF, value14 & 0xFFFFFFFF,
        space & 0xFFFFFFFF, flags & 0xFFFFFFFF, cp & 0xFFFFFFFF)
    body = bytearray(head)
    body.append(0x80)                      # null bitmap: id 8 is past F
    off = len(body) if var_offset is None else var_offset
    _U16.pack_into(body, 2, off & 0xFFFF)
    nvar = max(0, (last_var & 0xFF) - 127)
    ends = [len(name) if name_len is None else name_len]
    ends += [ends[0] | 0x8000] * max(0, nvar - 1)
    if default is not None:
        ends[-1] = ends[0] + len(default)
    body += struct.pack("<%dH" % len(ends), *[e & 0xFFFF for e in ends])
    body += name + (default or b"")
    return bytes(body)


def _catalog_key(owner, ctype, cid):
    return (_u32_key(owner) + b"\x7f" + _U16_BE.pack((ctype ^ 0x8000) & 0xFFFF)
            + _u32_key(cid))


# ---------------------------------------------------------------------------
# Database
# ---------------------------------------------------------------------------

class TableLayout:
    def __init__(self, table):
        self.name = table.name
        self.objid = table.objid
        self.root = None
        self.tree = None         # TreeInfo of the data tree
        self.lv = None           # TreeInfo of the long-value tree
        self.lv_objid = None
        self.indexes = {}        # index name -> TreeInfo
        self.records = 0

    def __repr__(self):
        return "TableLayout(%r, root=%r, lv=%r)" % (self.name, self.root,
                                                   self.lv)


class Layout:
    """Page numbers of everything a build placed."""

    def __init__(self, fmt):
        self.format = fmt
        self.catalog = None
        self.tables = []
        self.trees = []
        self.last_page = 0
        self.file_size = 0

    def table(self, name):
        """Layout of the first table with this name."""
        for t in self.tables:
            if t.name == name:
                return t
        raise KeyError(name)

    def page_offset(self, n):
        return page_offset(n, self.format.page_size)


class Database:
    """A database description; see the module doc for the parameters."""

    def __init__(self, tables=(), *, page_size=8192, version=0x620,
                 revision=20, header=None, shadow=True, system_pages=True,
                 catalog_extra=(), catalog_hook=None,
                 catalog_prefix_compression=False,
                 catalog_max_leaf_entries=None,
                 catalog_max_branch_entries=None, trees=(), pages=None,
                 patches=(), min_pages=None, file_size=None):
        self.tables = list(tables)
        self.format = Format(version, revision, page_size)
        self.header = header if header is not None else Header()
        self.shadow = shadow
        self.system_pages = system_pages
        self.catalog_extra = list(catalog_extra)
        self.catalog_hook = catalog_hook
        self.catalog_prefix_compression = catalog_prefix_compression
        self.catalog_max_leaf_entries = catalog_max_leaf_entries
        self.catalog_max_branch_entries = catalog_max_branch_entries
        self.trees = list(trees)
        self.pages = dict(pages or {})
        self.patches = list(patches)
        self.min_pages = min_pages
        self.file_size = file_size
        self.layout = None

    # -- output -----------------------------------------------------------

    def build(self):
        """The database file as bytes (sparse regions become real zeros)."""
        f = io.BytesIO()
        self._write_to(f)
        return f.getvalue()

    def write(self, path):
        """Stream the database to `path`; unused pages stay sparse."""
        with open(path, "wb") as f:
            self._write_to(f)
        return self.layout

    # -- building ---------------------------------------------------------

    def _write_to(self, f):
        fmt = self.format
        ps = fmt.page_size
        layout = Layout(fmt)
        self.layout = layout
        allocator = _Allocator(CATALOG_ROOT + 1)
        for n in (1, 2, 3, CATALOG_ROOT):
            allocator.reserve(n)
        for n in self.pages:
            if n not in allocator.used:
                allocator.reserve(n)
        for t in self.tables:
            if t.root_page is not None:
                # A table without its own tree may point at any page,
                # hand-made ones included.
                if t.build_tree or t.root_page not in allocator.used:
                    allocator.reserve(t.root_page)
        for tr in self.trees:
            if tr.root_page is not None:
                allocator.reserve(tr.root_page)
        sink = _Sink(f, ps, fmt)
        ctx = _Context(fmt, sink, allocator)

        if self.system_pages:
            self._write_system_pages(ctx)

        # Object ids, then the roots of every tree, then the catalog.
        objid = 8
        used_ids = {t.objid for t in self.tables if t.objid is not None}
        plans = []
        for t in self.tables:
            if t.objid is None:
                while objid in used_ids:
                    objid += 1
                t.objid = objid
                used_ids.add(objid)
            tl = TableLayout(t)
            layout.tables.append(tl)
            alloc = allocator.cursor(t.first_page)
            if t.root_page is not None:
                root = t.root_page
            elif t.build_tree:
                root = alloc()
            else:
                raise ValueError("table %r: build_tree=False needs root_page"
                                 % t.name)
            tl.root = root
            lv_root = None
            if t.has_lv_tree():
                if t.lv_objid is None:
                    while objid in used_ids:
                        objid += 1
                    t.lv_objid = objid
                    used_ids.add(objid)
                tl.lv_objid = t.lv_objid
                lv_root = alloc()
            idx_roots = []
            for ix in t.indexes:
                if ix.primary:
                    ix.objid = t.objid
                    idx_roots.append(root)
                    continue
                if ix.objid is None:
                    while objid in used_ids:
                        objid += 1
                    ix.objid = objid
                    used_ids.add(objid)
                idx_roots.append(alloc())
            plans.append((t, tl, alloc, lv_root, idx_roots))

        catalog = self._catalog_entries(plans)
        writer = _TreeWriter(ctx, CATALOG_ROOT, allocator.alloc, owner=2,
                             compress=self.catalog_prefix_compression,
                             max_leaf=self.catalog_max_leaf_entries,
                             max_branch=self.catalog_max_branch_entries)
        for e in catalog:
            writer.add(e.key, e.data, e.flags)
        layout.catalog = writer.finish()

        for t, tl, alloc, lv_root, idx_roots in plans:
            self._write_table(ctx, t, tl, alloc, lv_root, idx_roots)

        for tr in self.trees:
            alloc = allocator.cursor(tr.first_page)
            root = tr.root_page if tr.root_page is not None else alloc()
            w = _TreeWriter(ctx, root, alloc, kind=tr.kind, owner=tr.owner,
                            compress=tr.prefix_compression,
                            max_leaf=tr.max_leaf_entries,
                            max_branch=tr.max_branch_entries, fill=tr.fill,
                            page_flags=tr.page_flags)
            for e in tr.entries:
                w.add(*e)
            layout.trees.append(w.finish())

        for n, page in sorted(self.pages.items()):
            sink.put(n, page.encode(fmt, n) if isinstance(page, Page)
                     else _fit(page, ps))
        sink.flush()

        head = self.header.encode(fmt)
        f.seek(0)
        f.write(head)
        if self.shadow and 0 not in self.pages:
            f.write(head)
            sink.max_page = max(sink.max_page, 0)

        last = sink.max_page
        if self.min_pages is not None:
            last = max(last, self.min_pages)
        layout.last_page = last
        size = (last + 2) * ps if self.file_size is None else self.file_size
        for off, data in self.patches:
            f.seek(off)
            f.write(data)
            if self.file_size is None:
                size = max(size, off + len(data))
        _set_size(f, size)
        layout.file_size = size
        return size

    def _write_system_pages(self, ctx):
        fmt = ctx.fmt
        # Page 1: the database's own root; pages 2 and 3: its space trees.
        ctx.sink.put(1, _assemble(fmt, [b""], [0],
                                  PF_BASE | PF_ROOT | PF_LEAF, 0, 0, 1))
        for n in (2, 3):
            ctx.sink.put(n, _assemble(
                fmt, [b""], [0],
                PF_BASE | PF_ROOT | PF_LEAF | PF_SPACE_TREE, 0, 0, 1))

    def _catalog_entries(self, plans):
        entries = []
        for t, tl, _, lv_root, idx_roots in plans:
            dflag = TAG_DELETED if t.deleted else 0
            if t.catalog:
                entries.append(CatalogEntry(
                    catalog_record(CT_TABLE, t.objid, t.objid, tl.root,
                                   t.space_usage, t.flags, 0, t.name),
                    _catalog_key(t.objid, CT_TABLE, t.objid), dflag))
            for c in t.columns:
                if not c.catalog:
                    continue
                entries.append(CatalogEntry(
                    catalog_record(CT_COLUMN, t.objid, c.id, c.type,
                                   c.declared_size(), c.flags,
                                   c.catalog_codepage(), c.name,
                                   default=c.default),
                    _catalog_key(t.objid, CT_COLUMN, c.id),
                    TAG_DELETED if c.deleted else 0))
            for ix, root in zip(t.indexes, idx_roots):
                if not ix.catalog:
                    continue
                entries.append(CatalogEntry(
                    catalog_record(CT_INDEX, t.objid, ix.objid, root,
                                   ix.space_usage, ix.flags, ix.locale,
                                   ix.name),
                    _catalog_key(t.objid, CT_INDEX, ix.objid),
                    TAG_DELETED if ix.deleted else 0))
            if lv_root is not None:
                entries.append(CatalogEntry(
                    catalog_record(CT_LONG_VALUE, t.objid, t.lv_objid,
                                   lv_root, 0, 0, 0, t.lv_name),
                    _catalog_key(t.objid, CT_LONG_VALUE, t.lv_objid)))
        for item in self.catalog_extra:
            pos = None
            if isinstance(item, tuple) and len(item) == 2 and isinstance(
                    item[0], int):
                pos, item = item
            if not isinstance(item, CatalogEntry):
                item = CatalogEntry(item)
            if pos is None:
                entries.append(item)
            else:
                entries.insert(pos, item)
        if self.catalog_hook is not None:
            entries = list(self.catalog_hook(entries))
        return entries

    def _write_table(self, ctx, t, tl, alloc, lv_root, idx_roots):
        fmt = ctx.fmt
        base = t.page_flags
        records = t.records
        lv = None
        if lv_root is not None:
            order = t.lv_order
            if order is None:
                order = "sorted" if isinstance(records, (list, tuple)) \
                    else "stream"
            lvw = _TreeWriter(ctx, lv_root, alloc, kind="lv",
                              owner=t.lv_objid,
                              compress=t.lv_prefix_compression,
                              max_leaf=t.lv_max_leaf_entries, page_flags=base)
            lv = _LongValueStore(fmt, lvw, order)
            for v in t.lv_values:
                lv.add(v)
            lv.add_entries(t.lv_entries)

        def lv_sink(value):
            if lv is None:
                raise ValueError("table %r has a LongValue but no long-value "
                                 "tree (set long_values=True)" % t.name)
            return lv(value)

        idx_cols = []
        for ix in t.indexes:
            if ix.entries is None and ix.column is not None:
                cols = [i for i, c in enumerate(t.columns)
                        if c.name == ix.column]
                if not cols:
                    raise KeyError("index %r: no column %r" % (ix.name,
                                                               ix.column))
                idx_cols.append(cols[0])
            else:
                idx_cols.append(None)
        idx_keys = [[] for _ in t.indexes]

        if t.build_tree:
            w = _TreeWriter(ctx, tl.root, alloc, kind="data", owner=t.objid,
                            compress=t.prefix_compression,
                            max_leaf=t.max_leaf_entries,
                            max_branch=t.max_branch_entries, fill=t.fill,
                            page_flags=base, leaf_slack=t.leaf_slack)
            enc = _RecordEncoder(t.columns, fmt, lv_sink)
            keyfn = t.key or _default_key
            want_idx = any(c is not None for c in idx_cols)
            add = w.add
            encode = enc.encode
            values = enc.values
            n = 0
            for rec in records:
                tf = 0
                cls = type(rec)
                if cls is Record:
                    key = rec.key
                    tf = rec.tag_flags | (TAG_DELETED if rec.deleted else 0)
                    if rec.raw is not None:
                        data = bytes(rec.raw)
                        vals = None
                    else:
                        vals = values(rec.values if rec.values is not None
                                      else ())
                        data = encode(vals)
                    if key is None:
                        key = keyfn(n, rec)
                elif cls is Raw:
                    key = keyfn(n, rec)
                    data = rec.data
                    vals = None
                else:
                    vals = values(rec)
                    data = encode(vals)
                    key = keyfn(n, rec)
                add(key, data, tf)
                if want_idx and vals is not None:
                    for j, ci in enumerate(idx_cols):
                        if (ci is not None and vals[ci] is not None
                                and type(vals[ci]) is not LongValue):
                            ikey = b"\x7f" + enc._bytes(ci, vals[ci])[1][:255]
                            idx_keys[j].append((ikey, key))
                n += 1
            tl.tree = w.finish()
            tl.records = n
        elif records:
            raise ValueError("table %r: records given with build_tree=False"
                             % t.name)
        if lv is not None:
            tl.lv = lv.finish()
        for ix, root, ci, keys in zip(t.indexes, idx_roots, idx_cols,
                                      idx_keys):
            if ix.primary:
                continue
            entries = ix.entries if ix.entries is not None else sorted(keys)
            iw = _TreeWriter(ctx, root, alloc, kind="index", owner=ix.objid,
                             compress=ix.prefix_compression, page_flags=base)
            for e in entries:
                iw.add(*e)
            tl.indexes[ix.name] = iw.finish()


def record_bytes(table, values, page_size=8192, version=0x620, revision=20):
    """The bytes of one record of `table` (a Table; values as its records
    take them, without LongValue objects), as the data tree stores it."""
    def no_lv(value):
        raise ValueError("record_bytes takes no LongValue")
    enc = _RecordEncoder(table.columns, Format(version, revision, page_size),
                         no_lv)
    return enc.encode(enc.values(values))


def _fit(data, size):
    data = bytes(data)[:size]
    return data + bytes(size - len(data))


def _set_size(f, size):
    f.seek(0, os.SEEK_END)
    end = f.tell()
    if isinstance(f, io.BytesIO):
        if end > size:
            f.truncate(size)
        elif end < size:
            f.write(bytes(size - end))
    else:
        f.truncate(size)


# ---------------------------------------------------------------------------
# Convenience and damage helpers
# ---------------------------------------------------------------------------

def build(db):
    """The database file of a Database as bytes."""
    return db.build()


def write(db, path):
    """Write a Database to `path` (streamed); returns its Layout."""
    return db.write(path)


def simple_database(tables, page_size=8192, version=0x620, revision=20,
                    **kwargs):
    """Bytes of a database.  tables: Table objects, or a mapping
    name -> (columns, records) where a column may be a (name, type) pair."""
    if isinstance(tables, dict):
        tables = [Table(name, cols, recs)
                  for name, (cols, recs) in tables.items()]
    return Database(tables, page_size=page_size, version=version,
                    revision=revision, **kwargs).build()


def page_offset(n, page_size):
    """File offset of page n."""
    return (n + 1) * page_size


def patch(data, offset, new):
    """Copy of `data` with `new` written at `offset` (extending if needed)."""
    buf = bytearray(data)
    if offset + len(new) > len(buf):
        buf.extend(bytes(offset + len(new) - len(buf)))
    buf[offset:offset + len(new)] = new
    return bytes(buf)


def patch_file(path, offset, new):
    """Overwrite bytes of a file in place."""
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(new)


def tag_values(page, fmt):
    """[(offset in page, bytes)] of every tag value of one page's bytes."""
    ps, hs = fmt.page_size, fmt.header_size
    count = _U16x2.unpack_from(page, 32)[1] & 0x0FFF
    mask = 0x7FFF if fmt.large else 0x1FFF
    out = []
    for i in range(count):
        w0, w1 = _U16x2.unpack_from(page, ps - 4 * (i + 1))
        off = hs + (w1 & mask)
        out.append((off, page[off:off + (w0 & mask)]))
    return out


def relist_child(path, layout, tree, old, new=None, size=None, offset=None):
    """Makes the branch entry of `tree` (a TreeInfo) that lists page `old`
    list page `new` instead, in the file at `path` (its branch page is left
    with a checksum that no longer matches, like any patched page). With
    `size` or `offset` its tag slot is rewritten instead: the value cut to
    `size` bytes, or moved to `offset` (flag bits kept)."""
    fmt = layout.format
    mask = 0x7FFF if fmt.large else 0x1FFF
    with open(path, "r+b") as f:
        for n in [tree.root] + tree.branches:
            f.seek(layout.page_offset(n))
            page = f.read(fmt.page_size)
            for i, (off, value) in enumerate(tag_values(page, fmt)):
                if len(value) >= 6 and _U32.unpack_from(value, len(value) - 4)[0] == old:
                    if new is not None:
                        f.seek(layout.page_offset(n) + off + len(value) - 4)
                        f.write(_U32.pack(new))
                    slot = fmt.page_size - 4 * (i + 1)
                    w0, w1 = _U16x2.unpack_from(page, slot)
                    if size is not None:
                        w0 = (w0 & ~mask) | size
                    if offset is not None:
                        w1 = (w1 & ~mask) | offset
                    f.seek(layout.page_offset(n) + slot)
                    f.write(_U16x2.pack(w0, w1))
                    return
    raise KeyError("no branch entry lists page %d" % old)


def patch_page_file(path, layout, n, offset, new, sign=True):
    """Writes `new` at `offset` of page n in the file at `path`; with `sign`
    the page's checksum is written again, so only the patched fact differs
    (as when the engine itself wrote the page that way)."""
    fmt = layout.format
    with open(path, "r+b") as f:
        f.seek(layout.page_offset(n))
        page = bytearray(f.read(fmt.page_size))
        page[offset:offset + len(new)] = new
        if sign:
            sign_page(page, n, fmt)
        f.seek(layout.page_offset(n))
        f.write(page)


def sign_page_file(path, layout, n):
    """Writes the checksum of page n of the file at `path` again."""
    patch_page_file(path, layout, n, 0, b"")


def truncate_file(path, size):
    with open(path, "r+b") as f:
        f.truncate(size)
