"""Record after record, the reader decodes into the same storage: a value
must never keep bytes of the record before it, whether it shrinks, grows,
turns Null or changes type, through read_table and the JSON export alike."""

import json

import pytest

import esebuild as eb
from quarlet import EseDatabase

COLUMNS = [
    eb.Column("n", eb.T_LONG),
    eb.Column("t1252", eb.T_TEXT, codepage=1252),
    eb.Column("t1200", eb.T_TEXT, codepage=1200),
    eb.Column("bin", eb.T_BINARY),
    eb.Column("tag", eb.T_LONG_BINARY),
    eb.Column("ttag", eb.T_LONG_TEXT, codepage=1200),
]

LONG = "a fairly long text value that needs a heap buffer \u00e9\u20ac"
ROWS = [
    (1, LONG, LONG, b"\x01" * 40, b"\x02" * 60, LONG),
    (2, "s", "s", b"\x03", b"\x04", "s"),        # shrink
    (3, None, None, None, None, None),           # Null
    (4, "", "", b"", b"", ""),                   # empty
    (5, LONG + LONG, LONG + LONG, b"\x05" * 90, b"\x06" * 120, LONG + LONG),  # grow
    (6, "\u00ff", "\ud7ff", b"\x00", b"\x00", "x"),
]


def expected(row):
    n, t1252, t1200, binary, tagged, ttag = row

    def empty_is_null(v):
        return None if v in ("", b"") else v
    return {"n": n, "t1252": empty_is_null(t1252), "t1200": empty_is_null(t1200),
            "bin": empty_is_null(binary), "tag": empty_is_null(tagged),
            "ttag": empty_is_null(ttag)}


@pytest.mark.parametrize("page_size", [8192, 32768])
def test_values_never_carry_over_between_records(make_db, tmp_path, page_size):
    path = make_db([eb.Table("r", COLUMNS, ROWS)], page_size=page_size)
    db = EseDatabase(path)
    rows = db.read_table("r")
    assert rows == [expected(r) for r in ROWS]

    out = tmp_path / "r.jsonl"
    db.export_table("r", str(out))
    lines = [json.loads(line) for line in out.read_text(encoding="utf-8").splitlines()]
    hexed = [{k: (v.hex() if isinstance(v, bytes) else v) for k, v in expected(r).items()}
             for r in ROWS]
    assert lines == hexed
