"""Exported JSON Lines load unchanged into pandas and DuckDB."""

import json
import math
import uuid

import pytest

import esebuild as eb
from quarlet import EseDatabase


@pytest.fixture(scope="module")
def exported(tmp_path_factory):
    """A table of every common value kind, exported; returns (path, rows)."""
    tmp = tmp_path_factory.mktemp("interop")
    columns = [eb.Column("id", eb.T_LONG), eb.Column("count", eb.T_LONG_LONG),
               eb.Column("ratio", eb.T_DOUBLE), eb.Column("single", eb.T_SINGLE),
               eb.Column("flag", eb.T_BOOLEAN), eb.Column("key", eb.T_GUID),
               eb.Column("blob", eb.T_BINARY), eb.Column("label", eb.T_TEXT, codepage=1200),
               eb.Column("note", eb.T_LONG_TEXT, codepage=1200)]
    rows = [{"id": i, "count": i * 10**15, "ratio": i / 3, "single": 0.1 * i,
             "flag": i % 3 == 0, "key": str(uuid.UUID(int=i * 7919)),
             "blob": bytes([i, 0, 0xAB]), "label": "\u00e9t\u00e9 \"%d\" \\ \t /" % i,
             "note": "n%d " % i * 30}
            for i in range(1, 200)]
    rows.append({"id": 200})  # all other columns null
    db_path = str(tmp / "t.edb")
    eb.Database([eb.Table("t", columns, rows)]).write(db_path)
    out = str(tmp / "t.jsonl")
    EseDatabase(db_path).export_table("t", out)
    with open(out, encoding="utf-8") as f:
        expected = [json.loads(line) for line in f]
    assert len(expected) == 200
    return out, expected


def same(a, b):
    if a is None or (isinstance(a, float) and math.isnan(a)):
        return b is None
    if isinstance(b, float):
        return a == b  # floats round-trip exactly (shortest repr)
    return str(a) == str(b) if isinstance(b, str) else a == b


def test_pandas_reads_the_export(exported):
    pandas = pytest.importorskip("pandas")
    path, expected = exported
    # precise_float: pandas' default float parser may be off in the last digit.
    frame = pandas.read_json(path, lines=True, dtype=False, precise_float=True)
    assert list(frame.columns) == list(expected[0])  # sorted keys, as written
    assert len(frame) == len(expected)
    for row, want in zip(frame.to_dict(orient="records"), expected):
        for key, value in want.items():
            assert same(row[key], value), (key, row[key], value)


def test_duckdb_reads_the_export(exported):
    duckdb = pytest.importorskip("duckdb")
    path, expected = exported
    con = duckdb.connect()
    relation = con.read_json(path, format="newline_delimited")
    assert relation.columns == list(expected[0])
    got = relation.fetchall()
    assert len(got) == len(expected)
    for row, want in zip(got, expected):
        for value, (key, wanted) in zip(row, want.items()):
            if isinstance(value, uuid.UUID):  # DuckDB detects GUID text as UUID
                value = str(value)
            assert same(value, wanted), (key, value, wanted)
