"""Artefact views: the answers examiners read out of Windows' ESE databases.

`detect(db)` tells what an open database is ("srum", "ual", "ual-identity",
"webcache", "windows-search", "bits", "ntds"), from its tables and columns alone,
never from its file name. `open(source)`
gives an `Artifact`: its `kind`, `views()`, and per view its `columns()`
(name, type, one-line meaning) and `rows()` (dicts of interpreted values:
aware UTC datetimes, SIDs and IP addresses as text, ids resolved through the
artefact's own maps), or `arrow()` (an Arrow PyCapsule stream). Every row
names the table and record it comes from (`source_table`, `source_key`);
with `recovered=True` the views run over the deleted records `recover()`
finds instead, each marked with how and where it was found. Each view also
declares which of its columns are event times and how such an event reads:
`events()` gives the rows as timeline events (`EVENT_COLUMNS`).

    >>> from quarlet import artifacts
    >>> srum = artifacts.open("SRUDB.dat")
    >>> for row in srum.rows("network_usage"):
    ...     print(row["timestamp"], row["app"], row["user_sid"], row["bytes_sent"])
"""

from __future__ import annotations

import os
from typing import Callable, Dict, List, Mapping, Optional, Set, Tuple, Union

from .. import EseDatabase
from . import bits, ntds, search, srum, ual, webcache
from .engine import EVENT_COLUMNS, Artifact, Column, ColumnInfo, Event, View, ViewDef

__all__ = ["EVENT_COLUMNS", "Artifact", "Column", "ColumnInfo", "Event", "KINDS", "View",
           "ViewDef", "detect", "open", "table_columns"]

Source = Union[str, "os.PathLike[str]", EseDatabase]
Builder = Callable[[EseDatabase, Mapping[str, Set[str]]], Artifact]

# Each kind: the test on the database's tables and columns, and the builder of
# its views. The first kind whose test passes is the database's kind.
KINDS: List[Tuple[str, Callable[[Mapping[str, Set[str]]], bool], Builder]] = [
    (webcache.KIND, webcache.detect, webcache.build),
    (search.KIND, search.detect, search.build),
    (bits.KIND, bits.detect, bits.build),
    (ntds.KIND, ntds.detect, ntds.build),
    (srum.KIND, srum.detect, srum.build),
    (ual.KIND, ual.detect, ual.build),
    (ual.IDENTITY_KIND, ual.detect_identity, ual.build_identity),
]


def table_columns(db: EseDatabase) -> Dict[str, Set[str]]:
    """Every table's column names."""
    return {t: {c["name"] for c in db.get_table_schema(t)} for t in db.get_tables()}


def _kind(tables: Mapping[str, Set[str]]) -> Optional[Tuple[str, Builder]]:
    for kind, test, builder in KINDS:
        if test(tables):
            return kind, builder
    return None


def detect(db: EseDatabase) -> Optional[str]:
    """The artefact kind of an open database, or None."""
    found = _kind(table_columns(db))
    return found[0] if found else None


def open(source: Source) -> Artifact:
    """An artefact database's views. `source` is a path or an open
    EseDatabase. Raises what EseDatabase raises for a file it cannot open,
    and ValueError "Not a known artefact database: <path>" for a database
    of no known kind."""
    db = source if isinstance(source, EseDatabase) else EseDatabase(os.fspath(source))
    tables = table_columns(db)
    found = _kind(tables)
    if found is None:
        raise ValueError("Not a known artefact database: %s" % db.path)
    return found[1](db, tables)
