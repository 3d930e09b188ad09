"""EseDatabase.arrow(): the Arrow PyCapsule streams read by pyarrow, Polars
and DuckDB equal read_table (raw) and iter_table(decode=True) (decoded);
types and metadata, values out of form, columns=, batches across pages,
damaged pages, argument errors, and the Dask recipe of the README."""

import datetime
import io
import os
import signal
import struct
import time
import uuid

import pytest

import esebuild as eb
from quarlet import EseDatabase

pa = pytest.importorskip("pyarrow")

UTC = datetime.timezone.utc


def ole(days):
    return eb.Raw(struct.pack("<d", days))


# (name, column, row 0 value, row 1 value, raw Arrow type, decoded Arrow type)
TYPES = [
    ("bit", eb.T_BOOLEAN, {}, True, False, pa.bool_(), pa.bool_()),
    ("u8", eb.T_UNSIGNED_BYTE, {}, 255, 0, pa.uint8(), pa.uint8()),
    ("i16", eb.T_SHORT, {}, -1, 7, pa.int16(), pa.int16()),
    ("u16", eb.T_UNSIGNED_SHORT, {}, 65535, 1, pa.uint16(), pa.uint16()),
    ("i32", eb.T_LONG, {}, -5, 2 ** 31 - 1, pa.int32(), pa.int32()),
    ("u32", eb.T_UNSIGNED_LONG, {}, 2 ** 32 - 1, 3, pa.uint32(), pa.uint32()),
    ("i64", eb.T_LONG_LONG, {}, eb.Raw(struct.pack("<q", -1)), 2 ** 40, pa.uint64(), pa.int64()),
    ("cur", eb.T_CURRENCY, {}, eb.Raw(struct.pack("<q", -12345)), 99, pa.uint64(), pa.int64()),
    ("f32", eb.T_SINGLE, {}, 0.5, -2.25, pa.float32(), pa.float32()),
    ("f64", eb.T_DOUBLE, {}, 1 / 3, -0.0, pa.float64(), pa.float64()),
    ("dt", eb.T_DATETIME, {}, ole(44838.5), ole(0.25), pa.uint64(), pa.timestamp("us", "UTC")),
    ("guid", eb.T_GUID, {}, uuid.UUID(int=12345).bytes_le, uuid.UUID(int=2 ** 127).bytes_le,
     pa.string(), pa.string()),
    ("bin", eb.T_BINARY, {}, b"\x00\x01", b"", pa.binary(), pa.binary()),
    ("lbin", eb.T_LONG_BINARY, {}, eb.LongValue(b"xy" * 3000), b"inline", pa.binary(), pa.binary()),
    ("txt", eb.T_TEXT, {"codepage": 1252}, "h\u00e9llo", "", pa.string(), pa.string()),
    ("ltxt", eb.T_LONG_TEXT, {"codepage": 1200}, "\u20ac" * 3000, "short", pa.string(),
     pa.string()),
    ("nul", eb.T_NULL, {}, None, None, pa.null(), pa.null()),
    # Multi-valued (catalog flag 0x8): the stored bytes raw, lists decoded.
    ("mv", eb.T_UNSIGNED_BYTE, {"flags": 0x8, "id": 300},
     eb.Tagged(b"\x06\x00\x07\x00\x08\x00\x00\x7f\xff", flags=0x08), None, pa.binary(),
     pa.list_(pa.uint8())),
]


@pytest.fixture(scope="module")
def every_type(tmp_path_factory):
    """One column of each type; rows: values, other values, all null (only
    the id), then 300 rows on small pages so batches cross pages."""
    columns = [eb.Column("id", eb.T_LONG)] + [eb.Column(n, t, **kw) for n, t, kw, *_ in TYPES]
    rows = [dict(id=0, **{t[0]: t[3] for t in TYPES}), dict(id=1, **{t[0]: t[4] for t in TYPES}),
            {"id": 2}]
    rows += [{"id": i, "i32": i, "txt": "r%d" % i, "f64": i / 8} for i in range(3, 300)]
    path = str(tmp_path_factory.mktemp("arrow") / "types.edb")
    eb.Database([eb.Table("t", columns, rows, max_leaf_entries=7)]).write(path)
    return EseDatabase(path)


def to_arrow_decoded(record):
    """An iter_table(decode=True) record as the decoded stream gives it:
    aware UTC timestamps."""
    return {k: v.replace(tzinfo=UTC) if isinstance(v, datetime.datetime) else v
            for k, v in record.items()}


def table_order(db):
    """Column names by ascending id, as records list them."""
    return [c["name"] for c in sorted(db.get_table_schema("t"), key=lambda c: c["id"])]


def test_raw_types_and_values(every_type):
    table = pa.table(every_type.arrow("t"))
    table.validate(full=True)  # consumers trust the buffers
    assert table.schema.names == table_order(every_type)
    assert {f.name: f.type for f in table.schema if f.name != "id"} == {t[0]: t[5] for t in TYPES}
    assert table.to_pylist() == every_type.read_table("t")
    ids = {c["name"]: c["id"] for c in every_type.get_table_schema("t")}
    for f in table.schema:
        assert f.nullable
        assert f.metadata[b"ese.column_id"] == b"%d" % ids[f.name]
    assert table.schema.field("ltxt").metadata[b"ese.type"] == b"Long Text"
    assert table.schema.field("cur").metadata[b"ese.type"] == b"Currency"


def test_decoded_types_and_values(every_type):
    table = pa.table(every_type.arrow("t", decode=True))
    table.validate(full=True)
    assert {f.name: f.type for f in table.schema if f.name != "id"} == {t[0]: t[6] for t in TYPES}
    got = table.to_pylist()
    want = [to_arrow_decoded(r) for r in every_type.iter_table("t", decode=True)]
    assert got == want
    assert got[0]["i64"] == -1 and got[0]["cur"] == -12345
    assert got[0]["dt"] == datetime.datetime(2022, 10, 4, 12, tzinfo=UTC)
    assert got[0]["mv"] == [0, 127, 255]


@pytest.mark.parametrize("decode", [False, True])
def test_batches_cross_pages_and_streams_repeat(every_type, decode):
    obj = every_type.arrow("t", batch_size=64, decode=decode)
    sizes = [b.num_rows for b in pa.RecordBatchReader.from_stream(obj)]
    assert sizes == [64, 64, 64, 64, 44]
    # Every stream is a new pass; the schema capsule names the same schema.
    # After the first batch most columns hold nothing in a batch: they
    # validate and read as in one batch of the whole table.
    table = pa.table(obj)
    table.validate(full=True)
    assert table.to_pylist() == pa.table(every_type.arrow("t", decode=decode)).to_pylist()
    assert pa.schema(obj) == pa.table(obj).schema
    obj.__arrow_c_stream__()  # dropped unconsumed: released by the capsule
    obj.__arrow_c_schema__()


@pytest.mark.parametrize("decode", [False, True])
def test_columns_selection(every_type, decode):
    obj = every_type.arrow("t", decode=decode, columns=["txt", "id", "txt"])
    table = pa.table(obj)
    assert table.schema.names == ["txt", "id"]  # the order asked for, each once
    want = [{k: r[k] for k in ("txt", "id")} for r in every_type.iter_table("t", decode)]
    assert table.to_pylist() == want
    got = list(every_type.iter_table("t", decode, columns=("txt", "id")))
    assert got == want and list(got[0]) == ["txt", "id"]
    assert pa.table(every_type.arrow("t", columns=[])).num_columns == 0


def test_columns_named_as_listed(make_db):
    """A stored column name that is not valid UTF-8 is listed with U+FFFD;
    that name selects it."""
    db = EseDatabase(make_db([eb.Table("t", [eb.Column("id", eb.T_LONG),
                                             eb.Column(b"\xffA", eb.T_LONG, id=256)], [(1, 7)])]))
    name = [c["name"] for c in db.get_table_schema("t")][1]
    assert name == "\ufffdA"
    assert list(db.iter_table("t", columns=[name, "id"])) == [{name: 7, "id": 1}]
    assert pa.table(db.arrow("t", True, [name])).to_pylist() == [{name: 7}]


@pytest.mark.parametrize("call,error,message", [
    (lambda db: db.arrow("nope"), ValueError, "^Table not found: nope$"),
    (lambda db: db.arrow("t", columns=["id", "zz"]), ValueError, "^Column not found: zz$"),
    (lambda db: db.iter_table("t", columns=["\ud800"]), ValueError, "^Column not found: "),
    (lambda db: db.arrow("t", columns="id"), TypeError, "expected a sequence of str, not str"),
    (lambda db: db.iter_table("t", columns=[1]), TypeError, "argument 'columns'"),
    (lambda db: db.arrow("t", batch_size=0), ValueError, "^batch_size must be at least 1$"),
    (lambda db: db.arrow("t", batch_size=-1), OverflowError, "out of range"),
    (lambda db: db.arrow("t", False, None, 1, 2), TypeError, "from 1 to 4 positional"),
])
def test_argument_errors(every_type, call, error, message):
    with pytest.raises(error, match=message):
        call(every_type)


# (column, value, raw nulls out of form, decoded nulls out of form)
OUT_OF_FORM = [
    ("unsigned byte of 2 bytes", eb.Column("v", eb.T_UNSIGNED_BYTE, id=256), eb.Tagged(b"\x01\x00"),
     1, 1),
    ("signed long of 1 byte", eb.Column("v", eb.T_LONG, id=256), eb.Tagged(b"\x05"), 1, 1),
    ("compressed text", eb.Column("v", eb.T_TEXT, id=256, codepage=1252),
     eb.Tagged(b"\x18\x05\x00" + b"\xff" * 4 + b"abcde", flags=0x02), 1, 1),
    ("date before 1601", eb.Column("v", eb.T_DATETIME), ole(-109206.0), 0, 1),
    ("scalar in multi-valued column", eb.Column("v", eb.T_SHORT, id=256, flags=0x8),
     eb.Tagged(b"\x05\x00"), 1, 0),
    # A text column carries text in both views: several values are text the
    # raw view has no form for.
    ("text in multi-valued text column", eb.Column("v", eb.T_TEXT, id=256, flags=0x8),
     eb.Tagged(b"abc"), 0, 0),
    ("values of a multi-valued text column", eb.Column("v", eb.T_TEXT, id=256, flags=0x8),
     eb.Tagged(b"\x04\x00\x05\x00ab", flags=0x08), 1, 0),
    # Taken as they are: null in both views, stored bytes in a Binary column.
    ("text of an unknown code page", eb.Column("v", eb.T_TEXT, codepage=1251), "abc", 0, 0),
    ("compressed bytes in a binary column", eb.Column("v", eb.T_BINARY, id=256),
     eb.Tagged(b"\x18\x05\x00" + b"\xff" * 4, flags=0x02), 0, 0),
    ("multi-valued bytes in a GUID column", eb.Column("v", eb.T_GUID, id=256),
     eb.Tagged(b"\x04\x00" + b"\x11" * 16, flags=0x08), 1, 1),
]


@pytest.mark.parametrize("name,column,value,raw_bad,decoded_bad", OUT_OF_FORM,
                         ids=[o[0] for o in OUT_OF_FORM])
def test_values_out_of_form_are_null_and_counted(make_db, name, column, value, raw_bad,
                                                 decoded_bad):
    db = EseDatabase(make_db([eb.Table("t", [eb.Column("id", eb.T_LONG), column],
                                       [(1, value), (2, None)])]))
    for decode, bad in ((False, raw_bad), (True, decoded_bad)):
        obj = db.arrow("t", decode=decode)
        assert obj.out_of_form == {}
        got = pa.table(obj).to_pylist()
        assert obj.out_of_form == ({"v": bad} if bad else {})
        want = [to_arrow_decoded(r) for r in db.iter_table("t", decode)]
        if bad:
            want[0]["v"] = None
        elif column.flags & 0x8 and decode and not isinstance(want[0]["v"], list):
            want[0]["v"] = [want[0]["v"]]  # a single value of a multi-valued column
        assert got == want


def test_worker_threads_give_what_one_batch_gives(make_db):
    """After the first batch, worker threads build the batches of a stream;
    a stream of one batch never uses them. Both give the same rows and
    counts, through long values, compressed and multi-valued entries, and a
    stream dropped while the workers run."""
    columns = [eb.Column("id", eb.T_LONG), eb.Column("txt", eb.T_TEXT, codepage=1200),
               eb.Column("lv", eb.T_LONG_BINARY, id=256), eb.Column("c", eb.T_BINARY, id=257),
               eb.Column("mv", eb.T_SHORT, id=258, flags=0x8)]
    rows = [(i, "text %d" % i,
             eb.LongValue(b"%d" % i * 500) if i % 211 == 150 else b"x" * (i % 5),
             eb.Tagged(b"\x18\x05\x00" + b"\xff" * 4, flags=0x02) if i % 401 == 300 else None,
             eb.Tagged(b"\x05\x00") if i % 7 == 0 else None) for i in range(3000)]
    db = EseDatabase(make_db([eb.Table("t", columns, rows)]))
    for decode in (False, True):
        one = db.arrow("t", decode=decode, batch_size=10 ** 6)
        want = pa.table(one).to_pylist()
        assert len(want) == 3000 and (decode or one.out_of_form)
        for size in (1, 9, 500):
            obj = db.arrow("t", decode=decode, batch_size=size)
            table = pa.table(obj)
            table.validate(full=True)
            assert table.to_pylist() == want, (decode, size)
            assert obj.out_of_form == one.out_of_form
        reader = pa.RecordBatchReader.from_stream(db.arrow("t", decode=decode, batch_size=50))
        reader.read_next_batch()
        reader.read_next_batch()
        del reader


@pytest.mark.parametrize("source", ["path", "file object"])
@pytest.mark.parametrize("read_before", [1, 2])
def test_stream_read_in_a_forked_child_never_hangs(make_db, read_before, source):
    """A stream read on in a forked child: before its worker threads started
    (one batch read) the child reads the rest itself; once they run in the
    parent (two batches), the child's read ends with the error. The parent's
    stream goes on unharmed, and dropping the stream in the child returns.
    A file object's pages the parent's own thread fetched or wrote are
    fetched again by the child."""
    rows = [(i, "text %d" % i) for i in range(3000)]
    path = make_db([eb.Table("t", [eb.Column("id", eb.T_LONG), eb.Column("txt", eb.T_TEXT)],
                             rows)])
    if source == "file object":
        with open(path, "rb") as f:
            path = io.BytesIO(f.read())
    db = EseDatabase(path)
    reader = pa.RecordBatchReader.from_stream(db.arrow("t", batch_size=100))
    before = sum(reader.read_next_batch().num_rows for _ in range(read_before))
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child's outcome is its exit code
        code = 1
        try:
            code = 0 if before + reader.read_all().num_rows == 3000 else 3
        except OSError as e:
            code = 2 if "started in another process" in str(e) else 4
        finally:
            del reader
            os._exit(code)
    deadline = time.monotonic() + 60
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            pytest.fail("the forked child hangs on the stream")
        time.sleep(0.02)
    assert os.waitstatus_to_exitcode(status) == {1: 0, 2: 2}[read_before]
    assert before + reader.read_all().num_rows == 3000


@pytest.mark.parametrize("decode", [False, True])
def test_damaged_page_ends_the_stream_with_the_error(tmp_path, decode):
    table = eb.Table("t", [eb.Column("n", eb.T_LONG)], [(i,) for i in range(6)], max_leaf_entries=1)
    path = str(tmp_path / "broken.edb")
    layout = eb.Database([table]).write(path)
    # The branch page lists a page past the file as the fourth leaf, and the
    # third leaf links there too.
    leaves = layout.table("t").tree.leaves
    eb.relist_child(path, layout, layout.table("t").tree, leaves[3], 99999)
    eb.patch_file(path, layout.page_offset(leaves[2]) + 20, struct.pack("<I", 99999))
    db = EseDatabase(path)
    reader = pa.RecordBatchReader.from_stream(db.arrow("t", decode=decode, batch_size=2))
    assert reader.read_next_batch().to_pylist() == [{"n": 0}, {"n": 1}]
    assert reader.read_next_batch().to_pylist() == [{"n": 2}]  # the records before the damage
    with pytest.raises(OSError, match="^Error reading record: Invalid page number: 99999$"):
        reader.read_next_batch()
    with pytest.raises(OSError, match="^Error reading record: "):
        pa.table(db.arrow("t", decode=decode))


def test_polars_reads_every_type(every_type):
    pl = pytest.importorskip("polars")
    frame = pl.DataFrame(every_type.arrow("t"))
    assert frame.columns == table_order(every_type)
    assert frame.to_dicts() == every_type.read_table("t")
    decoded = pl.DataFrame(every_type.arrow("t", decode=True, columns=["id", "dt", "mv"]))
    assert decoded.row(0) == (0, datetime.datetime(2022, 10, 4, 12, tzinfo=UTC), [0, 127, 255])


def test_duckdb_queries_the_stream(every_type):
    duckdb = pytest.importorskip("duckdb")
    obj = every_type.arrow("t", columns=[t[0] for t in TYPES if t[0] != "nul"] + ["id"])
    con = duckdb.connect()
    rows = con.execute("SELECT * FROM obj ORDER BY id").fetchall()
    want = every_type.iter_table("t", columns=[t[0] for t in TYPES if t[0] != "nul"] + ["id"])
    assert [dict(zip(rows and [d[0] for d in con.description], r)) for r in rows] == list(want)
    assert con.execute("SELECT count(*), sum(i32) FROM obj WHERE id >= 3").fetchone() == \
        (297, sum(range(3, 300)))


def test_dask_recipe_on_a_local_cluster(tmp_path):
    """The README's recipe: one partition per file, each read with arrow()."""
    dd = pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("distributed")
    pytest.importorskip("pandas")
    paths = []
    for k in range(3):
        path = str(tmp_path / ("host%d.edb" % k))
        eb.Database([eb.Table("t", [eb.Column("n", eb.T_LONG), eb.Column("s", eb.T_TEXT)],
                              [(k * 100 + i, "h%d" % k) for i in range(50)])]).write(path)
        paths.append(path)

    def read_table(path):
        import pyarrow
        import quarlet
        return pyarrow.table(quarlet.EseDatabase(path).arrow("t")).to_pandas()

    with distributed.LocalCluster(processes=True, n_workers=2, threads_per_worker=1,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        frame = dd.from_map(read_table, paths)
        assert frame.npartitions == 3
        assert int(frame["n"].sum().compute()) == sum(k * 100 + i for k in range(3)
                                                      for i in range(50))
        assert sorted(frame["s"].unique().compute()) == ["h0", "h1", "h2"]
