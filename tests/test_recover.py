"""recover(): deleted-flagged entries, orphan pages, old records in page
slack and dropped tables come back with their exact values; free space that
holds no record gives nothing; the live view does not change."""

import collections
import json
import os
import random
import shutil
import struct
import subprocess
import sys

import pytest

import esebuild as eb
from quarlet import EseDatabase
from test_decoded import seven_bit

PAGE_SIZES = [4096, 8192, 16384, 32768]
OBJID = 50


def key(n):
    return b"\x7f" + struct.pack(">I", n ^ 0x80000000)


def columns():
    return [eb.Column("id", eb.T_LONG), eb.Column("when", eb.T_DATETIME),
            eb.Column("name", eb.T_TEXT, codepage=1200),
            eb.Column("note", eb.T_LONG_TEXT, codepage=1200),
            eb.Column("packed", eb.T_TEXT, id=300, codepage=1252)]


def planted(page_size, path):
    """A table with live rows 1..6 and, planted: row 7 flagged deleted (its
    long value still in the tree), row 8 flagged deleted with a compressed
    value, row 9 flagged deleted and shrunk to its key, rows 20 and 21 left as whole nodes in the first leaf's slack
    (with a copy of live row 1, which is not deleted data), an orphan page
    holding row 30, a stale copy of live row 2 and, in a hole, row 31; and a
    dropped table "old" with rows 40 and 41."""
    table = eb.Table("t", columns(), [], objid=OBJID, max_leaf_entries=3)
    live = [{"id": i, "name": "row %d" % i, "when": 1.0 + i} for i in range(1, 7)]

    def raw(values):
        return eb.record_bytes(table, values, page_size=page_size)

    slack = b"".join(eb.leaf_entry(key(n), raw(v)) for n, v in [
        (20, {"id": 20, "name": "twenty", "when": 2.5}),
        (1, live[0]),
        (21, {"id": 21, "packed": b"tail value \x00\x01"})])
    table.records = live[:3] + [
        eb.Record({"id": 7, "name": "seven", "note": eb.LongValue(("kept " * 300).encode("utf-16-le"))}, key=key(7),
                  deleted=True),
        eb.Record({"id": 8, "packed": eb.Tagged(seven_bit("program", False), flags=0x02)},
                  key=key(8), deleted=True),
        eb.Record(raw=b"\x00", key=key(9), deleted=True)] + [eb.Record(v, key=key(v["id"] + 10)) for v in live[3:]]
    table.leaf_slack = lambda i: slack if i == 0 else b""
    orphan = eb.Page([b"", eb.leaf_entry(key(30), raw({"id": 30, "name": "orphan"})),
                      eb.leaf_entry(key(2), raw({"id": 2, "name": "stale copy"}))],
                     eb.PF_BASE | eb.PF_LEAF, owner=OBJID,
                     holes={2: eb.leaf_entry(key(31), raw({"id": 31, "when": 9.0}))})
    old = eb.Table("old", [eb.Column("a", eb.T_LONG, deleted=True),
                           eb.Column("b", eb.T_TEXT, deleted=True)],
                   [(40, "forty"), (41, "forty-one")], deleted=True)
    eb.Database([table, old], page_size=page_size, pages={200: orphan}).write(path)


EXPECTED_RAW = [  # (table, source, record without its None values), in page order
    ("t", "slack", {"id": 20, "name": "twenty", "when": struct.unpack("<Q", struct.pack("<d", 2.5))[0]}),
    ("t", "slack", {"id": 21, "packed": "tail value \x00\x01"}),
    ("t", "deleted", {"id": 7, "name": "seven", "note": "kept " * 300}),
    ("t", "deleted", {"id": 8, "packed": seven_bit("program", False)}),
    ("t", "deleted", None),
    ("t", "orphan", {"id": 30, "name": "orphan"}),
    ("t", "slack", {"id": 31, "when": struct.unpack("<Q", struct.pack("<d", 9.0))[0]}),
    ("old", "orphan", {"a": 40, "b": "forty"}),
    ("old", "orphan", {"a": 41, "b": "forty-one"}),
]


def shown(items):
    return [(i["table"], i["source"], None if i["record"] is None
             else {k: v for k, v in i["record"].items() if v is not None}) for i in items]


@pytest.fixture(params=PAGE_SIZES, ids=["%dk" % (p // 1024) for p in PAGE_SIZES])
def planted_path(request, tmp_path):
    path = str(tmp_path / "planted.edb")
    planted(request.param, path)
    return path


def test_planted_records_come_back(planted_path):
    db = EseDatabase(planted_path)
    before = db.read_table("t")
    items = list(db.recover())
    assert shown(items) == EXPECTED_RAW
    # Order: table by table, page order; offsets inside the named page.
    for item in items:
        assert list(item) == ["table", "source", "page", "offset", "checks", "record", "key"]
        assert (item["page"] + 1) * db.page_size <= item["offset"] < (item["page"] + 2) * db.page_size
        assert item["checks"][:4] == (["header", "variable", "tagged", "checksum"]
                                      if item["record"] is not None else ["checksum"])
    assert all(list(i["record"]) == [c.name for c in columns()] for i in items[:7] if i["record"])
    assert [i["page"] for i in items[:7]] == sorted(i["page"] for i in items[:7])
    assert [i["checks"][4:] for i in items[5:7]] == [["key_not_live"], ["node_key"]]
    # Deleted and orphan entries carry their keys; a node shrunk to its key
    # is given with its key alone.
    assert [i["key"] for i in items[:7]] == [None, None, key(7), key(8), key(9), key(30), None]
    # The decoded view decodes what the raw view passes on.
    decoded = {i["record"]["id"]: i["record"] for i in db.recover("t", decode=True) if i["record"]}
    assert decoded[8]["packed"] == "program" and decoded[20]["when"].year == 1900
    # Nothing of the live view changes.
    assert db.read_table("t") == before and [r["id"] for r in before] == [1, 2, 3, 4, 5, 6]
    assert db.get_tables() == ["t"]


@pytest.mark.parametrize("sources,expected", [
    (["deleted"], ["deleted"] * 3),
    ("orphan", ["orphan"] * 3),
    (("slack", "deleted"), ["slack", "slack", "deleted", "deleted", "deleted", "slack"]),
    ([], []),
])
def test_sources_and_tables(planted_path, sources, expected):
    db = EseDatabase(planted_path)
    assert [i["source"] for i in db.recover(sources=sources)] == expected
    assert shown(db.recover("old")) == EXPECTED_RAW[-2:]
    assert shown(db.recover(table_name="t", sources=None)) == EXPECTED_RAW[:-2]


@pytest.mark.parametrize("call,error,message", [
    (lambda db: db.recover("nope"), ValueError, "Table not found: nope"),
    (lambda db: db.recover(sources=["slack", "free"]), ValueError,
     "Invalid source: free (expected: deleted, orphan, slack)"),
    (lambda db: db.recover(sources=[1]), TypeError, "argument 'sources'"),
    (lambda db: db.recover(5), TypeError, "argument 'table_name'"),
    (lambda db: db.recover(None, False, None, 1), TypeError, "takes from 0 to 3 positional arguments"),
])
def test_argument_errors(people_db, call, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        call(EseDatabase(people_db))


def noise(kind, size, seed):
    rng = random.Random(seed)
    if kind == "random":
        return bytes(rng.getrandbits(8) for _ in range(size))
    if kind == "zeros":
        return bytes(size)
    text = "C:\\Users\\alice\\AppData\\Local\\history %d.html; " % seed
    return (text * (size // len(text) + 1)).encode("utf-16-le")[:size]


@pytest.mark.parametrize("page_size", PAGE_SIZES)
@pytest.mark.parametrize("kind", ["random", "zeros", "text"])
def test_free_space_without_records_gives_nothing(make_db, page_size, kind):
    fill = page_size // 2
    table = eb.Table("t", columns(), [{"id": i, "name": "n%d" % i} for i in range(40)],
                     objid=OBJID, fill=0.4, leaf_slack=lambda i: noise(kind, fill, i))
    orphan = eb.Page([b"", b"\x00\x00"], eb.PF_BASE | eb.PF_LEAF, owner=OBJID,
                     holes={1: noise(kind, fill, 99)}, slack=noise(kind, fill, 98))
    db = EseDatabase(make_db([table], page_size=page_size, pages={300: orphan}))
    assert list(db.recover()) == []


def clear_deleted_flags(path, pages, page_size, large):
    """Clears tag flag 0x2 on every tag of `pages` in the file at `path`."""
    with open(path, "r+b") as f:
        for n in pages:
            base = (n + 1) * page_size
            f.seek(base)
            page = bytearray(f.read(page_size))
            count = struct.unpack_from("<H", page, 34)[0] & 0x0FFF
            header = 80 if large else 40
            for i in range(count):
                slot = page_size - 4 * (i + 1)
                w0, w1 = struct.unpack_from("<HH", page, slot)
                if large:
                    at = header + (w1 & 0x7FFF) + 1
                    if (w0 & 0x7FFF) >= 2 and at < page_size and page[at] & 0x40:
                        page[at] &= ~0x40
                elif w1 & 0x4000:
                    struct.pack_into("<H", page, slot + 2, w1 & ~0x4000)
            f.seek(base)
            f.write(page)


SAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "samples")
FLAGGED_SAMPLES = ["srum-w11-clean.dat", "winsearch-w10-clean-32k.edb"]


@pytest.mark.parametrize("name", FLAGGED_SAMPLES)
def test_deleted_rows_of_samples_come_back(name, tmp_path):
    """Read live once their deleted flags are cleared, the flagged rows are
    exactly the records recover() gives as deleted."""
    path = os.path.join(SAMPLES, name)
    if not os.path.exists(path):
        pytest.skip("sample absent")
    db = EseDatabase(path)
    items = list(db.recover(sources=["deleted"]))
    assert items
    copy = str(tmp_path / name)
    shutil.copyfile(path, copy)
    large = db.page_size > 8192
    clear_deleted_flags(copy, {i["page"] for i in items}, db.page_size, large)
    patched = EseDatabase(copy)
    for table in sorted({i["table"] for i in items}):
        gained = collections.Counter(repr(r) for r in patched.read_table(table))
        gained.subtract(repr(r) for r in db.read_table(table))
        assert +gained == collections.Counter(repr(i["record"]) for i in items
                                              if i["table"] == table), table


def test_command_line(tmp_path):
    path = str(tmp_path / "planted.edb")
    planted(8192, path)
    cli = [sys.executable, "-m", "quarlet", "recover"]
    out = subprocess.run(cli + [path], capture_output=True, check=True)
    lines = [json.loads(line) for line in out.stdout.decode().splitlines()]
    assert [(i["table"], i["source"], i["record"]["id"]) for i in lines[:3]] == [
        ("t", "slack", 20), ("t", "slack", 21), ("t", "deleted", 7)]
    assert lines[3]["record"]["packed"] == seven_bit("program", False).hex()
    assert (lines[4]["record"], lines[4]["key"], lines[0]["key"]) == (None, key(9).hex(), None)
    assert len(lines) == len(EXPECTED_RAW)
    assert out.stderr.decode().splitlines() == [
        "t: 7 recovered (deleted 3, orphan 1, slack 3)",
        "old: 2 recovered (deleted 0, orphan 2, slack 0)"]
    # One file per table; a symbolic link at a file's name is not followed.
    outdir = tmp_path / "out"
    outdir.mkdir()
    victim = tmp_path / "victim"
    victim.write_text("keep")
    os.symlink(str(victim), str(outdir / "old.jsonl"))
    failed = subprocess.run(cli + [path, "--out", str(outdir), "--decode"], capture_output=True)
    assert failed.returncode == 1 and b"Failed to create output file" in failed.stderr
    assert victim.read_text() == "keep"
    os.remove(str(outdir / "old.jsonl"))
    subprocess.run(cli + [path, "t", "--out", str(outdir), "--source", "slack"], check=True,
                   capture_output=True)
    assert os.listdir(str(outdir)) == ["t.jsonl"]
    with open(str(outdir / "t.jsonl")) as f:
        assert [json.loads(line)["record"]["id"] for line in f] == [20, 21, 31]


@pytest.mark.parametrize("page_size", [8192, 32768])
@pytest.mark.parametrize("bound", ["stale slot", "first free", "both"])
def test_slack_record_ends_where_its_node_ended(make_db, page_size, bound):
    """A node left in the data area after cleanup removed the last tag: its
    record ends where the page says the node ended (the stale tag slot just
    below the live tag array, the header's first free offset), not in the
    bytes after it or in the tag array."""
    table = eb.Table("t", columns(), [], objid=OBJID)
    live = eb.leaf_entry(key(4), eb.record_bytes(table, {"id": 4, "name": "four"}, page_size=page_size))
    record = eb.record_bytes(table, {"id": 5, "note": "note 5"}, page_size=page_size)
    node = eb.leaf_entry(key(5), record)
    header = 80 if page_size > 8192 else 40
    start = len(live)  # the node's offset in the data area (tag 0 is empty)
    # Older bytes after the node that are no record (with the stale slot
    # alone), or zeros up to the slot.
    after = b"" if bound == "both" else b"\xff\x7f" * 20
    patches = []
    if bound != "first free":
        slot = struct.pack("<HH", len(node), start)
        patches.append((page_size - 4 * 3, slot))  # just below tags 0 and 1
    first_free = start + len(node) if bound != "stale slot" else start
    page = eb.Page([b"", live], eb.PF_BASE | eb.PF_LEAF, owner=OBJID, slack=node + after,
                   first_free=first_free, patches=patches)
    db = EseDatabase(make_db([table], page_size=page_size, pages={300: page}))
    slack = [i for i in db.recover("t", sources=["slack"])]
    assert [{k: v for k, v in i["record"].items() if v is not None} for i in slack] == [
        {"id": 5, "note": "note 5"}]
    assert slack[0]["offset"] == (300 + 1) * page_size + header + start + len(node) - len(record)


def test_deleted_entry_shrunk_to_its_key_is_given():
    """The WebCache sample's Container_4 holds one entry, flagged deleted and
    shrunk to its key (and one byte): recover() gives it, with its key."""
    path = os.path.join(SAMPLES, "webcache-w10-2023-32k.dat")
    if not os.path.exists(path):
        pytest.skip("sample absent")
    db = EseDatabase(path)
    assert db.check("Container_4")["trees"][0]["deleted"] == 1
    items = list(db.recover("Container_4", sources=["deleted"]))
    assert [(i["page"], i["record"], i["checks"]) for i in items] == [(67, None, ["checksum"])]
    assert items[0]["key"] == bytes.fromhex("7fe30d73c6b862eb5b7f8000000000000002")
