"""What EseDatabase opens beside a str path: bytes and os.PathLike paths,
buffers read in place, binary file objects read on demand (or mapped), and
close() with what it does to iterators and streams still open."""

import gzip
import io
import mmap
import os
import pathlib
import subprocess
import sys
import threading
import zipfile

import pytest

import esebuild as eb
from quarlet import EseDatabase

SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared",
                      "samples", "srum-w10-belka-clean.dat")
CLOSED = "I/O operation on closed database"


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """About 1.5 MB: several fetch chunks, records and long values."""
    path = tmp_path_factory.mktemp("sources") / "mixed.edb"
    blob = bytes(range(256)) * 16
    eb.Database([
        eb.Table("rows", [eb.Column("id", eb.T_LONG), eb.Column("name", eb.T_TEXT, codepage=1200)],
                 [(i, "name %d" % i) for i in range(20000)]),
        eb.Table("blobs", [eb.Column("id", eb.T_LONG), eb.Column("data", eb.T_LONG_BINARY)],
                 [(i, eb.LongValue(blob[:1000 + i * 7])) for i in range(150)]),
    ], page_size=8192).write(str(path))
    return str(path)


@pytest.fixture(params=["built", "sample"])
def database(request, built):
    if request.param == "sample":
        if not os.path.exists(SAMPLE):
            pytest.skip("sample databases not present")
        return SAMPLE
    return built


class Reader(io.RawIOBase):
    """A file object over bytes that counts its reads, serves at most `most`
    bytes per readinto, and raises (or ends early) at offset `fail_at`."""

    def __init__(self, data, most=None, fail_at=None, truncate=False):
        self.data, self.most, self.fail_at, self.truncate = data, most, fail_at, truncate
        self.pos, self.reads = 0, []

    def readable(self):
        return True

    def seekable(self):
        return True

    def seek(self, offset, whence=0):
        self.pos = [offset, self.pos + offset, len(self.data) + offset][whence]
        return self.pos

    def tell(self):
        return self.pos

    def readinto(self, buffer):
        end = min(len(self.data), self.pos + len(buffer), self.pos + (self.most or len(buffer)))
        if self.fail_at is not None and end > self.fail_at:
            if self.truncate:
                end = max(self.pos, self.fail_at)
            else:
                raise OSError("device gone")
        n = end - self.pos
        buffer[:n] = self.data[self.pos:end]
        self.reads.append((self.pos, n))
        self.pos = end
        return n


class ReadOnly:
    """Only read(n), no seek: a pipe or network stream."""

    def __init__(self, data):
        self.stream = io.BytesIO(data)

    def read(self, n):
        return self.stream.read(min(n, 5000))


def zip_member(path, data):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("inner/SRUDB.dat", data)
    return zipfile.ZipFile(buffer).open("inner/SRUDB.dat")


def mapped(path, data):
    with open(path, "rb") as f:
        return mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ)


# kind -> (source from path and bytes, expected `path` attribute or None)
SOURCES = {
    "str": (lambda p, d: p, True),
    "bytes path": (lambda p, d: os.fsencode(p), True),
    "pathlib": (lambda p, d: pathlib.Path(p), True),
    "bytes": (lambda p, d: d, None),
    "bytearray": (lambda p, d: bytearray(d), None),
    "memoryview": (lambda p, d: memoryview(d), None),
    "mmap": (mapped, None),
    "BytesIO": (lambda p, d: io.BytesIO(d), None),
    "open file": (lambda p, d: open(p, "rb"), True),
    "unbuffered file": (lambda p, d: open(p, "rb", buffering=0), True),
    "BufferedReader": (lambda p, d: io.BufferedReader(Reader(d)), None),
    "zip member": (zip_member, "inner/SRUDB.dat"),
    "gzip": (lambda p, d: gzip.GzipFile(fileobj=io.BytesIO(gzip.compress(d, 1))), None),
    "page reader": (lambda p, d: Reader(d, most=4096), None),
    "short reads": (lambda p, d: Reader(d, most=777), None),
    "read only": (lambda p, d: ReadOnly(d), None),
}


def everything(db):
    """What every source must give alike: records raw and decoded, recovery,
    header, integrity and carving."""
    tables = db.get_tables()
    return {
        "tables": tables,
        "raw": {t: db.read_table(t) for t in tables},
        "decoded": {t: list(db.iter_table(t, decode=True)) for t in tables},
        "recovered": list(db.recover()),
        "header": db.get_header(),
        "check": db.check(),
        "carved": db.carve_utf16le_strings_scoped("all", max_hits=100000),
    }


@pytest.fixture(scope="module")
def expected(built):
    cache = {}

    def get(path):
        if path not in cache:
            cache[path] = everything(EseDatabase(path))
        return cache[path]

    return get


@pytest.mark.parametrize("kind", list(SOURCES))
def test_every_source_reads_like_the_path(kind, database, expected):
    with open(database, "rb") as f:
        data = f.read()
    make, named = SOURCES[kind]
    source = make(database, data)
    with EseDatabase(source) as db:
        assert everything(db) == expected(database)
        want = database if named is True else named
        assert db.path == want
        assert repr(db).startswith("EseDatabase(path='%s'" % want if want
                                   else "EseDatabase(source=<")
    if isinstance(source, Reader):
        # Each byte is read from the object at most once.
        starts = [start for start, _ in source.reads]
        assert len(starts) == len(set(starts))
        assert sum(n for _, n in source.reads) <= len(data)


@pytest.mark.parametrize("fail_at, truncate, where", [
    (100, False, "Failed to open database: IO error: OSError: device gone"),
    (100, True, "Failed to open database: IO error: Stream ended at byte 100, before its length"),
    (600000, False, "Error reading record: IO error: OSError: device gone"),
    (600000, True, "Error reading record: IO error: Stream ended at byte 600000"),
])
def test_failing_reader_ends_the_work_cleanly(built, fail_at, truncate, where):
    with open(built, "rb") as f:
        data = f.read()
    reader = Reader(data, fail_at=fail_at, truncate=truncate)
    if where.startswith("Failed to open"):
        with pytest.raises(OSError) as info:
            EseDatabase(reader)
        assert str(info.value) == where
        return
    db = EseDatabase(reader)
    for read in (lambda: db.read_table("rows"), lambda: list(db.iter_table("rows")),
                 lambda: db.export_table("rows", os.devnull)):
        with pytest.raises(OSError) as info:
            read()
        assert str(info.value).startswith(where)
    # Passes that report rather than raise end early, without a crash.
    db.check()
    list(db.recover())
    db.carve_utf16le_strings_scoped("all")
    pa = pytest.importorskip("pyarrow")
    with pytest.raises(OSError, match="device gone|Stream ended"):
        pa.table(db.arrow("rows", batch_size=100))
    db.close()


def test_arrow_streams_on_two_threads_from_one_file_object(built):
    pa = pytest.importorskip("pyarrow")
    want = pa.table(EseDatabase(built).arrow("rows", batch_size=500))
    with open(built, "rb") as f:
        db = EseDatabase(Reader(f.read(), most=8192))
    got, errors = [], []

    def run():
        try:
            for _ in range(3):
                got.append(pa.table(db.arrow("rows", batch_size=500)))
        except Exception as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=run, daemon=True) for _ in range(2)]
    for t in threads:
        t.start()
    # Meanwhile this thread reads through the object too.
    assert db.read_table("blobs") == EseDatabase(built).read_table("blobs")
    for t in threads:
        t.join(120)
    assert not any(t.is_alive() for t in threads), "stream threads hung"
    assert errors == [] and len(got) == 6
    assert all(t.equals(want) for t in got)


def test_the_interpreter_exits_cleanly_while_threads_read_file_objects(built):
    """Daemon threads in the middle of reading file objects (by themselves
    and through arrow()'s threads) when the interpreter exits: their reads
    fail with an error, and the process exits without a crash."""
    code = """if True:
        import io, sys, threading, time
        from quarlet import EseDatabase
        data = open(sys.argv[1], "rb").read()
        def run(read):
            while True:
                read(EseDatabase(io.BytesIO(data)))
        passes = [lambda db: db.read_table("blobs"), lambda db: list(db.iter_table("rows"))]
        try:
            import pyarrow as pa
            passes.append(lambda db: pa.table(db.arrow("rows", batch_size=100)))
        except ImportError:
            pass
        for read in passes:
            threading.Thread(target=run, args=(read,), daemon=True).start()
        time.sleep(0.3)
    """
    for _ in range(3):
        proc = subprocess.run([sys.executable, "-c", code, built], capture_output=True,
                              text=True, timeout=120)
        assert proc.returncode == 0, proc.stderr[-2000:]
        assert "Fatal" not in proc.stderr and "FATAL" not in proc.stderr, proc.stderr[-2000:]


@pytest.mark.parametrize("kind", ["str", "bytes", "page reader"])
def test_close_ends_open_iterators_and_streams(built, kind):
    with open(built, "rb") as f:
        data = f.read()
    db = EseDatabase(SOURCES[kind][0](built, data))
    records = db.iter_table("rows")
    recovered = db.recover()
    next(records)
    open_streams = []
    pa = None
    try:
        import pyarrow as pa
    except ImportError:
        pass
    if pa is not None:
        stream = pa.RecordBatchReader.from_stream(db.arrow("rows", batch_size=100))
        stream.read_next_batch()  # the worker threads are reading ahead now
        open_streams.append(stream)
    db.close()
    db.close()
    assert db.closed
    for _ in range(2):
        for step in (lambda: next(records), lambda: next(recovered)):
            with pytest.raises(ValueError, match=CLOSED):
                step()
        for stream in open_streams:
            with pytest.raises(ValueError, match=CLOSED):
                stream.read_next_batch()
    with pytest.raises(ValueError, match=CLOSED):
        db.read_table("rows")
    if isinstance(db, EseDatabase) and kind == "bytes":
        # The buffer is let go: a bytearray could be resized again.
        grown = bytearray(data)
        with EseDatabase(grown):
            with pytest.raises(BufferError):
                grown.append(0)
        grown.append(0)


def test_bytes_are_a_path_or_the_database(tmp_path):
    missing = tmp_path / "missing.edb"
    with pytest.raises(FileNotFoundError, match="Database file not found: %s" % missing):
        EseDatabase(os.fsencode(missing))
    with pytest.raises(OSError, match="Failed to open database: Invalid database header"):
        EseDatabase(b"\0" * 100)
    for bad in (42, 1.5, None, [b"x"]):
        with pytest.raises(TypeError, match="argument 'path'"):
            EseDatabase(bad)
