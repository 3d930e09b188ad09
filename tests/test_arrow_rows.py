"""ArrowRows: rows computed in Python as an Arrow C stream. Every type with and
without nulls, batch shapes, re-reading, metadata, Polars and DuckDB, values
that don't fit (raised by the consumer), bad fields, other threads, cycles
and streams left open at exit."""

import gc
import subprocess
import sys
import threading
import weakref

import pytest

from quarlet._quarlet import ArrowRows

pa = pytest.importorskip("pyarrow")

# (type name, Arrow type, values without a null)
TYPES = [
    ("bool", pa.bool_(), [True, False] * 5),
    ("int64", pa.int64(), [-2 ** 63, 2 ** 63 - 1, 0, -1]),
    ("uint64", pa.uint64(), [0, 2 ** 64 - 1, 5]),
    ("float64", pa.float64(), [1.5, -0.0, 7, float("inf")]),
    ("utf8", pa.string(), ["", "h\u00e9llo", "\U0001f600" * 40]),
    ("binary", pa.binary(), [b"", b"\x00\xff", bytearray(b"ab"), memoryview(b"xyz")[::2]]),
    ("timestamp_us_utc", pa.timestamp("us", "UTC"), [0, -1, 1_700_000_000_123_456]),
    ("list_utf8", pa.list_(pa.string()), [[], ["a", "\u00e9"], ("t",)]),
]


def rows_of(fields, batches):
    return ArrowRows(fields, lambda: iter(batches))


@pytest.mark.parametrize("with_nulls", [False, True])
@pytest.mark.parametrize("name,arrow_type,values", TYPES, ids=[t[0] for t in TYPES])
def test_each_type_round_trips(name, arrow_type, values, with_nulls):
    if with_nulls:
        values = [None] + values[:1] + [None] * 9 + values[1:]
    table = pa.table(rows_of([("c", name)], [[values]]))
    table.validate(full=True)
    assert table.schema == pa.schema([pa.field("c", arrow_type, nullable=True)])
    want = [bytes(v) if isinstance(v, (bytearray, memoryview)) else
            list(v) if isinstance(v, tuple) else v for v in values]
    assert table.column("c").to_pylist() == pa.array(want, arrow_type).to_pylist()
    assert table.column("c").null_count == values.count(None)


@pytest.mark.parametrize("batches,sizes", [
    ([], []),
    ([[[], []]], [0]),
    ([[[1, 2], ["a", None]], [[], []], [[3], ["c"]]], [2, 0, 1]),
    ([([1], ("a",)), [[2], ["b"]]], [1, 1]),
])
def test_batches_become_record_batches(batches, sizes):
    reader = pa.RecordBatchReader.from_stream(rows_of([("n", "int64"), ("s", "utf8")], batches))
    got = list(reader)
    assert [b.num_rows for b in got] == sizes
    assert [r for b in got for r in b.column(0).to_pylist()] == \
        [v for b in batches for v in b[0]]


def test_each_stream_calls_batches_again_and_schema_carries_metadata():
    calls = []

    def batches():
        calls.append(1)
        yield [[len(calls)], [["x"]]]

    rows = ArrowRows([("n", "uint64", {"meaning": "pass number"}), ("l", "list_utf8", None)],
                     batches)
    assert pa.table(rows).column("n").to_pylist() == [1]
    assert pa.table(rows).column("n").to_pylist() == [2]
    schema = pa.schema(rows)
    assert schema.field("n").metadata == {b"meaning": b"pass number"}
    assert schema.field("l").metadata is None
    assert pa.table(rows).schema == schema


@pytest.mark.parametrize("consumer", ["polars", "duckdb"])
def test_polars_and_duckdb_read_it(consumer):
    module = pytest.importorskip(consumer)
    rows = ArrowRows([("n", "int64"), ("t", "timestamp_us_utc"), ("l", "list_utf8")],
                     lambda: ([list(range(k, k + 1000)), [k] * 1000, [["a"]] * 1000]
                              for k in range(0, 5000, 1000)))
    if consumer == "polars":
        frame = module.DataFrame(rows)
        assert (frame.height, frame["n"].sum(), frame["l"][0].to_list()) == (5000, 12497500, ["a"])
    else:
        assert module.connect().execute("SELECT count(*), sum(n) FROM rows").fetchone() == \
            (5000, 12497500)


def failing():
    yield [[1], ["a"]]
    raise KeyError("boom")


@pytest.mark.parametrize("batches,message", [
    ([[["x"], ["a"]]], r"batch 0, column 'n' \(int64\), row 0: TypeError: expected int, got str"),
    ([[[True], ["a"]]], "expected int, got bool"),
    ([[[2 ** 63], ["a"]]], "row 0: OverflowError: int out of range"),
    ([[[1, 2], ["a"]]], r"column 's' \(utf8\): ValueError: 1 values, column 'n' has 2"),
    ([[[1], ["a"], [2]]], "batch 0: ValueError: 3 columns for 2 fields"),
    ([[[1], ["a"]], 7], "batch 1: TypeError: expected a list or tuple of columns, got int"),
    ([[[1], "ab"]], "expected a list or tuple of values, got str"),
    ([[[1], ["a", "\udc80"][1:]]], "row 0: UnicodeEncodeError"),
    (failing(), "batch 1: KeyError: 'boom'"),
])
def test_bad_batches_raise_in_the_consumer(batches, message):
    reader = pa.RecordBatchReader.from_stream(rows_of([("n", "int64"), ("s", "utf8")], batches))
    with pytest.raises((pa.ArrowInvalid, OSError), match=message):
        reader.read_all()
    with pytest.raises((pa.ArrowInvalid, OSError), match=message):
        reader.read_next_batch()  # the error sticks
    reader.close()


@pytest.mark.parametrize("name,value,message", [
    ("uint64", -1, "OverflowError: int out of range"),
    ("float64", 10 ** 400, "OverflowError"),
    ("bool", 1, "expected bool, got int"),
    ("binary", "s", "expected bytes, bytearray or memoryview, got str"),
    ("list_utf8", ["a", None], "row 0: item 1: TypeError: expected str, got NoneType"),
    ("list_utf8", "ab", "expected list or tuple of str, got str"),
])
def test_values_a_type_does_not_take(name, value, message):
    with pytest.raises(pa.ArrowInvalid, match=message):
        pa.table(rows_of([("c", name)], [[[value]]]))


@pytest.mark.parametrize("fields,batches,error,message", [
    ([], list, ValueError, "fields must not be empty"),
    ({"a": "int64"}, list, TypeError, "fields must be a list"),
    ([("a",)], list, ValueError, r"fields\[0\] must be \(name, type\)"),
    ([("a", "int32")], list, ValueError, r"fields\[0\]: unknown type 'int32' \(types: bool,"),
    ([(1, "int64")], list, TypeError, "name and type must be str"),
    ([("a\0b", "utf8")], list, ValueError, "NUL"),
    ([("a", "utf8"), ("a", "bool")], list, ValueError, r"fields\[1\]: duplicate name 'a'"),
    ([("a", "utf8", {"k": 1})], list, TypeError, "metadata must be a dict of str to str"),
    ([("a", "utf8")], [], TypeError, "batches must be callable, not list"),
])
def test_bad_fields_fail_at_construction(fields, batches, error, message):
    with pytest.raises(error, match=message):
        ArrowRows(fields, batches)


def test_batches_raising_fails_the_stream_call():
    def batches():
        raise LookupError("no table")

    rows = ArrowRows([("n", "int64")], batches)
    with pytest.raises(LookupError, match="no table"):
        rows.__arrow_c_stream__(requested_schema=None)
    with pytest.raises(TypeError, match="not callable|is not iterable"):
        ArrowRows([("n", "int64")], lambda: 5).__arrow_c_stream__()


def test_read_from_another_thread_after_the_object_is_gone():
    rows = ArrowRows([("n", "int64")],
                     lambda: ([list(range(k, k + 100))] for k in range(0, 1000, 100)))
    reader = pa.RecordBatchReader.from_stream(rows)
    del rows
    gc.collect()
    got = []
    worker = threading.Thread(target=lambda: got.append(reader.read_all()))
    worker.start()
    worker.join()
    assert got[0].column("n").to_pylist() == list(range(1000))


def test_a_view_holding_its_own_rows_is_collected():
    class View:
        def __init__(self):
            self.rows = ArrowRows([("n", "int64")], self.batches)

        def batches(self):
            return []

    view = View()
    alive = weakref.ref(view)
    del view
    gc.collect()
    assert alive() is None


def test_a_stream_left_open_at_exit():
    code = ("import pyarrow as pa; from quarlet._quarlet import ArrowRows\n"
            "r = ArrowRows([('n', 'int64')], lambda: iter([[[1]], [[2]]]))\n"
            "reader = pa.RecordBatchReader.from_stream(r); reader.read_next_batch()\n")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
