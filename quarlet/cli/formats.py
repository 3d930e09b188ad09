"""The file formats a table can be written in: JSON Lines and CSV (written
by the module) and Parquet (from the module's Arrow stream, with the
optional pyarrow), and the text of a CSV cell."""

from __future__ import annotations

import datetime
import importlib
import sys
from typing import IO, Any, Dict, Mapping

from quarlet import EseDatabase

from .errors import PROG, CliError
from .output import json_text
from .streams import export_into_file

FORMATS = ("jsonl", "csv", "parquet")
EXTENSIONS = {"jsonl": ".jsonl", "csv": ".csv", "parquet": ".parquet"}
EXCEL_UNSAFE = ("=", "+", "-", "@", "\t", "\r")
ARROW_EXTRA = "Parquet output needs pyarrow: install it with pip install 'quarlet[arrow]'"


def require_pyarrow() -> None:
    """CliError naming the extra to install when pyarrow is missing."""
    try:
        importlib.import_module("pyarrow.parquet")
    except ImportError:
        raise CliError(ARROW_EXTRA) from None


def csv_cell(value: Any, excel_safe: bool) -> str:
    """The text of one CSV cell: None is empty; booleans true/false; bytes as
    lowercase hex (as in JSON Lines); dates ISO 8601; lists as JSON arrays;
    text without trailing U+0000, any other U+0000 as U+FFFD.
    With `excel_safe`, text that starts with =, +, -, @, tab or carriage
    return gets a leading ' (numbers are never changed)."""
    if value is None:
        return ""
    if value is True or value is False:
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return repr(value)
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).hex()
    if isinstance(value, datetime.datetime):
        return value.isoformat()
    if isinstance(value, list):
        return json_text([csv_json(v) for v in value])
    # No NUL in a cell: trailing U+0000 (terminators, padding) are left out
    # and any other is written as U+FFFD, as the module's CSV does.
    text = str(value).rstrip("\x00").replace("\x00", "\ufffd")
    if excel_safe and text.startswith(EXCEL_UNSAFE):
        return "'" + text
    return text


def csv_json(value: Any) -> Any:
    """An element of a list cell as JSON takes it."""
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).hex()
    if isinstance(value, datetime.datetime):
        return value.isoformat()
    return value


def write_csv(db: EseDatabase, table: str, f: IO[bytes], decode: bool, excel_safe: bool) -> None:
    """RFC 4180: a header row of the column names, CRLF line ends, fields
    quoted when they hold a comma, a quote or a line break (quotes doubled),
    each cell as csv_cell gives it. The module writes the rows into the file
    `f` is open on."""
    export_into_file(lambda path: db.export_table_csv(table, path, decode, excel_safe), f.fileno())


def write_parquet(db: EseDatabase, table: str, f: IO[bytes], decode: bool) -> Dict[str, int]:
    """One Parquet file from the table's Arrow stream, batch by batch.
    Returns {column: count} of the values written as null because their
    stored form is not their column's type (the stream's out_of_form)."""
    pyarrow: Any = importlib.import_module("pyarrow")
    parquet: Any = importlib.import_module("pyarrow.parquet")
    stream = db.arrow(table, decode=decode)
    reader = pyarrow.RecordBatchReader.from_stream(stream)
    with parquet.ParquetWriter(f, reader.schema) as writer:
        for batch in reader:
            writer.write_batch(batch)
    return stream.out_of_form


def report_out_of_form(path: str, counts: Mapping[str, int]) -> None:
    """Says on stderr that file `path` holds nulls for values the file's
    column types could not take, and in which columns: the examiner then
    knows those cells are not empty in the database."""
    total = sum(counts.values())
    sys.stderr.write("%s: %s: %d %s written as null, stored in a form the column's type "
                     "cannot take: %s\n" % (
                         PROG, path, total, "value" if total == 1 else "values",
                         ", ".join("%s (%d)" % (name, n) for name, n in counts.items())))
