"""Peak resident memory of exports: a 1,000,000-record table streams to disk
without the process growing by more than 64 MiB over the interpreter's own
baseline, whichever export entry point is used."""

import os
import subprocess
import sys
import textwrap
import uuid

import pytest

import esebuild as eb

RECORDS = 1_000_000
LIMIT_MIB = 64


def _columns():
    # Fixed integers, a GUID, a DateTime, text in code pages 1252 and 1200 and
    # a tagged binary: the shape of a typical table.
    return [
        eb.Column("Id", eb.T_LONG),
        eb.Column("AppId", eb.T_UNSIGNED_LONG),
        eb.Column("UserId", eb.T_LONG),
        eb.Column("Flags", eb.T_UNSIGNED_SHORT),
        eb.Column("Bytes", eb.T_LONG_LONG),
        eb.Column("Cost", eb.T_CURRENCY),
        eb.Column("Ratio", eb.T_DOUBLE),
        eb.Column("When", eb.T_DATETIME),
        eb.Column("Session", eb.T_GUID),
        eb.Column("Source", eb.T_TEXT, codepage=1252),
        eb.Column("Message", eb.T_TEXT, codepage=1200),
        eb.Column("Extra", eb.T_LONG_BINARY),
    ]


def _records(n):
    guid = uuid.UUID(int=0x0123456789ABCDEF0123456789ABCDEF).bytes_le
    for i in range(n):
        yield (i, i % 977, i % 31, i & 0xFF, i * 4096, i * 10000, i / 7.0,
               0x01D9000000000000 + i, guid, "Source-%d" % (i % 100),
               "Message number %d" % i, b"\x01\x02\x03\x04" * (i % 8))


@pytest.fixture(scope="session")
def million_db(tmp_path_factory):
    path = tmp_path_factory.mktemp("memory") / "million.edb"
    eb.Database([eb.Table("events", _columns(), _records(RECORDS))]).write(str(path))
    return str(path)


# Runs in a fresh interpreter: the baseline is its peak after importing the
# module, before the database is opened; the peak includes the file pages
# mapped while reading.
CHILD = textwrap.dedent("""
    import os, resource, sys
    import quarlet
    kind, path, out = sys.argv[1:4]
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    db = quarlet.EseDatabase(path)
    if kind == "export_table":
        db.export_table("events", os.path.join(out, "events.jsonl"))
    else:
        db.export_all(out)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(base, peak)
""")


def _lines(path):
    count = 0
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            count += block.count(b"\n")
    return count


@pytest.mark.parametrize("kind", ["export_table", "export_all"])
def test_export_peak_memory_stays_flat(million_db, tmp_path, kind):
    res = subprocess.run([sys.executable, "-c", CHILD, kind, million_db, str(tmp_path)],
                         capture_output=True, text=True, timeout=600)
    assert res.returncode == 0, res.stderr
    base_kib, peak_kib = map(int, res.stdout.split())
    assert _lines(os.path.join(tmp_path, "events.jsonl")) == RECORDS
    grown_mib = (peak_kib - base_kib) / 1024.0
    assert grown_mib <= LIMIT_MIB, "peak grew by %.1f MiB" % grown_mib
