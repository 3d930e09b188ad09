"""Peak resident memory of exports: a 1,000,000-record table streams to disk
without the process growing by more than 64 MiB over the interpreter's own
baseline, whichever export entry point is used, from a path or from a file
object read on demand."""

import os
import subprocess
import sys
import textwrap

import pytest

import esebuild as eb
from shapes import typical_columns, typical_records

RECORDS = 1_000_000
LIMIT_MIB = 64


@pytest.fixture(scope="session")
def million_db(tmp_path_factory):
    path = tmp_path_factory.mktemp("memory") / "million.edb"
    eb.Database([eb.Table("events", typical_columns(),
                          typical_records(RECORDS, "Message number %d"))]).write(str(path))
    return str(path)


# Runs in a fresh interpreter: the baseline is its peak after importing the
# module, before the database is opened; the peak includes the file pages
# mapped while reading.
CHILD = textwrap.dedent("""
    import io, os, resource, sys
    import quarlet
    kind, path, out, source = sys.argv[1:5]
    class NoDescriptor(io.RawIOBase):
        def __init__(self, path):
            self.raw = open(path, "rb", buffering=0)
        def readable(self): return True
        def seekable(self): return True
        def seek(self, offset, whence=0): return self.raw.seek(offset, whence)
        def tell(self): return self.raw.tell()
        def readinto(self, b): return self.raw.readinto(b)
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    if source == "file object":
        path = io.BufferedReader(NoDescriptor(path))
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


@pytest.mark.parametrize("source", ["path", "file object"])
@pytest.mark.parametrize("kind", ["export_table", "export_all"])
def test_export_peak_memory_stays_flat(million_db, tmp_path, kind, source):
    res = subprocess.run([sys.executable, "-c", CHILD, kind, million_db, str(tmp_path), source],
                         capture_output=True, text=True, timeout=600)
    assert res.returncode == 0, res.stderr
    base_kib, peak_kib = map(int, res.stdout.split())
    assert _lines(os.path.join(tmp_path, "events.jsonl")) == RECORDS
    grown_mib = (peak_kib - base_kib) / 1024.0
    assert grown_mib <= LIMIT_MIB, "peak grew by %.1f MiB" % grown_mib
