"""The one engine behind every artefact view.

A view is data: the table it reads, its output columns (name, type, one-line
meaning, the stored columns they come from and how they are interpreted),
the columns that identify a record, and whether the table's other columns
come out as they are. The engine turns such a description, checked against
the table's real schema, into one generated row function (so a row costs a
dict display and the interpreting calls, nothing else), runs it over the
live records or over the records `recover()` finds, and streams the rows as
dicts or as Arrow record batches.

Every row carries its provenance: `source_table` and `source_key` (the
record's key columns, `AutoIncId=58`, or its position in the table as
`record=12` when the table has no key), and for recovered records
`recovery_source`, `recovery_page` and `recovery_offset`.
"""

from __future__ import annotations

import datetime
import itertools
import json
import operator
import string
from dataclasses import dataclass, field
from typing import (Any, Callable, Dict, Iterable, Iterator, List, Mapping, Optional, Sequence,
                    Tuple, Union, cast)

from .. import EseDatabase
from . import values

Row = Dict[str, Any]
Record = Mapping[str, Any]

# Output types and their Arrow field types.
ARROW_TYPES = {"str": "utf8", "int": "int64", "float": "float64", "bool": "bool",
               "datetime": "timestamp_us_utc", "bytes": "binary", "list": "list_utf8"}

# The output type of a stored column that comes out as it is, by its ESE type.
_PASSTHROUGH_TYPES = {
    "Boolean": "bool", "Unsigned byte": "int", "Signed short": "int", "Unsigned short": "int",
    "Signed long": "int", "Unsigned long": "int", "Long long": "int", "Currency": "int",
    "Single precision FP": "float", "Double precision FP": "float", "DateTime": "datetime",
    "GUID": "str", "Text": "str", "Long Text": "str", "Binary": "bytes", "Long Binary": "bytes",
}

PROVENANCE = ("source_table", "source_key")
# A view as the reader runs it: outputs (name, column, converter, and how to
# apply it: True for a Lookup, a str for a conversion the reader knows, else
# False), the source_key prefix, the key column (None: position) and the
# output of the view's `where` (None: every record gives a row).
Output = Tuple[str, Optional[str], Any, Any]
Program = Tuple[List[Output], str, Optional[str], Optional[Output]]
RECOVERY = ("recovery_source", "recovery_page", "recovery_offset")


@dataclass(frozen=True)
class Column:
    """One output column of a view.

    `sources` are the stored columns it reads (from the decoded view, or the
    raw one with `raw`); `convert` turns their values into the output value
    (without it the first source's value is taken as it is). A column whose
    sources the table lacks is None in every row. `event` names what a time
    column marks, for timelines."""

    name: str
    type: str
    meaning: str
    sources: Tuple[str, ...] = ()
    convert: Optional[Callable[..., Any]] = None
    raw: bool = False
    event: Optional[str] = None


def col(name: str, type: str, meaning: str, *sources: str,
        convert: Optional[Callable[..., Any]] = None, raw: bool = False,
        event: Optional[str] = None) -> Column:
    """A Column, written as one line of a view's description."""
    return Column(name, type, meaning, tuple(sources), convert, raw, event)


@dataclass(frozen=True)
class Event:
    """What one datetime column of a view marks on a timeline: `time` names
    the column, `description` says what its time means ("WebCache last
    access"), `message` is the event's one-line text, a template of the
    row's columns (`"{user} visited {url}"`; a missing or None value reads
    "-"), and `fields` are the columns that say what the event is about,
    carried with it. A row whose time is None gives no event."""

    time: str
    description: str
    message: str = ""
    fields: Tuple[str, ...] = ()


def events(message: str, fields: Sequence[str], *times: Tuple[str, str]) -> Tuple[Event, ...]:
    """The events of a view that share one message and set of fields: one
    per (time column, description)."""
    return tuple(Event(time, description, message, tuple(fields)) for time, description in times)


@dataclass(frozen=True)
class ViewDef:
    """What a view reads and gives. `key` names the stored columns that
    identify a record (empty: its position). With `passthrough`, stored
    columns that no output column reads come out under their own names.
    `expand` turns one row into the rows the view gives (a tidy view of a
    wide record); it receives the row and the decoded record. With `where`,
    a record gives a row only when that column's value is true (a view of
    some of a table's records: the users among a directory's objects).
    `events` are the timeline events each row gives (a column declared with
    `event` and named by none of them gives one more, described by that
    text)."""

    name: str
    meaning: str
    table: str
    columns: Sequence[Column]
    key: Tuple[str, ...] = ()
    passthrough: bool = True
    expand: Optional[Callable[[Row, Record], Iterable[Row]]] = None
    expanded: Sequence[Column] = field(default_factory=tuple)
    rename: Callable[[str], str] = str
    events: Sequence[Event] = ()
    where: Optional[Column] = None


@dataclass(frozen=True)
class ColumnInfo:
    """A view's column as users see it."""

    name: str
    type: str
    meaning: str
    event: Optional[str] = None


def _passthrough(name: str, out: str, ese_type: str) -> Column:
    """A stored column that comes out as it is: DateTime read raw (an OLE
    date or a FILETIME, told apart by size), text without trailing U+0000."""
    kind = _PASSTHROUGH_TYPES.get(ese_type, "bytes")
    meaning = "stored column %s (%s)" % (name, ese_type)
    if ese_type == "DateTime":
        return Column(out, kind, meaning, (name,), values.date_time, raw=True)
    if kind == "str" and ese_type != "GUID":
        return Column(out, kind, meaning, (name,), _stored_text)
    return Column(out, kind, meaning, (name,))


def _strip_text(value: Any) -> Any:
    return value.rstrip("\x00") if isinstance(value, str) else value


# Stored text without its trailing U+0000; the reader passes a str that has
# none through itself.
_stored_text = values.Native("text", _strip_text)


class View:
    """One view of an artefact, bound to an open database."""

    def __init__(self, db: EseDatabase, definition: ViewDef) -> None:
        self.db = db
        self.definition = definition
        self.name = definition.name
        self.meaning = definition.meaning
        self.table = definition.table
        schema = db.get_table_schema(definition.table)  # ValueError for a missing table
        self._types = {c["name"]: c["type"] for c in schema}
        columns = list(definition.columns)
        used = {s for c in columns for s in c.sources}
        tests = [definition.where] if definition.where is not None else []
        taken = {c.name for c in columns} | set(PROVENANCE) | set(RECOVERY)
        if definition.passthrough:
            for c in schema:
                name = c["name"]
                if name in used:
                    continue
                out = definition.rename(name)
                while out in taken:  # a stored name that an output already has
                    out += "_stored"
                taken.add(out)
                columns.append(_passthrough(name, out, c["type"]))
        self._columns = columns
        self._decoded = [s for s in dict.fromkeys(
            s for c in tests + columns if not c.raw for s in c.sources) if s in self._types]
        self._decoded_keys = [k for k in definition.key if k in self._types]
        for k in self._decoded_keys:
            if k not in self._decoded:
                self._decoded.append(k)
        self._raw = [s for s in dict.fromkeys(
            s for c in tests + columns if c.raw for s in c.sources) if s in self._types]
        self._functions: Dict[bool, Callable[..., Row]] = {}

    # ---- what the view gives -------------------------------------------------

    def columns(self, recovered: bool = False) -> List[ColumnInfo]:
        """The view's columns, in row order: its own, then provenance."""
        described: Dict[str, str] = {}
        for e in reversed(self.event_kinds()):
            described[e.time] = e.description
        out = [ColumnInfo(c.name, c.type, c.meaning, described.get(c.name)) for c in self._own()]
        out.append(ColumnInfo("source_table", "str", "the table the row was read from"))
        out.append(ColumnInfo("source_key", "str",
                              "the record's key in that table (`record=N`: its position)"))
        if recovered:
            out.append(ColumnInfo("recovery_source", "str",
                                  "how the deleted record was found: deleted, orphan or slack"))
            out.append(ColumnInfo("recovery_page", "int", "the page that holds it"))
            out.append(ColumnInfo("recovery_offset", "int", "its byte offset in the file"))
        return out

    def _own(self) -> List[Column]:
        return self._columns if self.definition.expand is None else list(self.definition.expanded)

    def rows(self, recovered: bool = False) -> Iterator[Row]:
        """The view's rows as dicts: the live records, or with `recovered`
        the records recover() finds in the view's table (never both)."""
        return self._recovered_rows() if recovered else self._live_rows()

    def event_kinds(self) -> List[Event]:
        """The events each row gives: the declared ones whose time is a
        datetime column of this view (a provider table of another build may
        lack one), then one per column declared with `event` that none of
        them names."""
        times = {c.name for c in self._own() if c.type == "datetime"}
        declared = [e for e in self.definition.events if e.time in times]
        named = {e.time for e in declared}
        declared += [Event(c.name, c.event) for c in self._own()
                     if c.event and c.name in times and c.name not in named]
        return declared

    def events(self, artifact: Optional[str] = None) -> Iterator[Row]:
        """The live rows as timeline events, in row order: per row, one per
        event kind whose time is set, a dict of EVENT_COLUMNS (`datetime` an
        aware UTC datetime, `key_fields` a dict of the event's fields)."""
        kinds = [(e.time, e.description, message_function(e, self.meaning), tuple(e.fields))
                 for e in self.event_kinds()]
        if not kinds:
            return iter(())
        return _row_events(self.rows(), kinds, artifact, self.db.path, self.name)

    def events_arrow(self, artifact: Optional[str] = None, batch_size: int = 65536) -> Any:
        """The events as Arrow record batches (EVENT_COLUMNS; `key_fields` as
        JSON text): an Arrow PyCapsule stream, read anew by each consumer."""
        return _events_arrow(lambda: self.events(artifact), batch_size)

    def arrow(self, recovered: bool = False, batch_size: int = 65536) -> Any:
        """The rows as Arrow record batches: an object implementing the Arrow
        PyCapsule interface, read anew by each consumer."""
        from .._quarlet import ArrowRows  # the compiled core's producer

        fields = _fields(self.columns(recovered))
        size = max(1, int(batch_size))
        return ArrowRows(fields, lambda: self._batches(recovered, size))

    def _batches(self, recovered: bool, size: int) -> Iterator[List[Sequence[Any]]]:
        """The rows as batches of Arrow-ready columns, in columns() order."""
        infos = self.columns(recovered)
        # Only a stored column taken as it is can hold lists (multi-values).
        loose = {c.name for c in self._columns if c.convert in (None, _stored_text)}
        kinds = [c.type if c.name in loose else "" for c in infos]
        program = None if recovered else self._program()
        # Times repeat (a SRUM window holds many rows): each converted once.
        stamps = Lookup(values.microseconds)
        if program is not None:  # the reader gives the rows as columns
            outputs, prefix, key, test = program
            made = self.db._view_rows(self.table, self._decoded, outputs, prefix, key, size, test)
        else:
            getters = [operator.itemgetter(c.name) for c in infos]
            made = _columns(self.rows(recovered), getters, size)
        for columns in made:
            yield [list(map(stamps.__getitem__, column)) if info.type == "datetime"
                   else _fit(column, kind) if kind else column
                   for column, kind, info in zip(columns, kinds, infos)]

    # ---- the generated row function -----------------------------------------

    def _function(self, recovered: bool) -> Callable[..., Row]:
        """def row(r, q, n): return {...}: r the decoded record, q the raw one
        (or None), n the record's position (its file offset when recovered).
        The key text is built inline: a row costs one dict display and the
        converters' calls. A record the view's `where` rejects gives None."""
        function = self._functions.get(recovered)
        if function is not None:
            return function
        names: Dict[str, Any] = {"key_text": key_text}
        items = []

        def get(source: str, raw: bool) -> str:
            if source not in self._types:
                return "None"
            record = "q" if raw else "r"
            return "%s.get(%r)" % (record, source) if recovered else "%s[%r]" % (record, source)

        def value(label: str, c: Column) -> str:
            args = [get(s, c.raw) for s in c.sources]
            if c.convert is None:
                return args[0] if args else "None"
            if all(a == "None" for a in args):
                return "None"
            names["f" + label] = c.convert
            return "f%s(%s)" % (label, ", ".join(args))

        for i, c in enumerate(self._columns):
            items.append("%r: %s" % (c.name, value(str(i), c)))
        keys = self._decoded_keys
        if keys:
            key = " + ', ' + ".join("%r + key_text(%s)" % (k + "=", get(k, False)) for k in keys)
        else:
            key = "%r %% n" % ("offset=%d" if recovered else "record=%d")
        items.append("'source_table': %r" % self.table)
        items.append("'source_key': %s" % key)
        where = self.definition.where
        test = "" if where is None else "    if not %s:\n        return None\n" % value("w", where)
        source = "def row(r, q, n):\n%s    return {%s}\n" % (test, ", ".join(items))
        exec(compile(source, "<view %s>" % self.name, "exec"), names)
        function = cast(Callable[..., Row], names["row"])
        self._functions[recovered] = function
        return function

    def _program(self) -> Optional[Program]:
        """The view as a row program the reader runs itself (its outputs,
        key prefix, key column and the output of its `where`, which rejects
        records), when every output reads at most one decoded column and a
        record gives at most one row; else None."""
        if self._raw or self.definition.expand is not None or len(self._decoded_keys) > 1:
            return None
        made = []
        where = self.definition.where
        for c in self._columns + ([where] if where is not None else []):
            if len(c.sources) > 1 or c.raw:
                return None
            source = c.sources[0] if c.sources and c.sources[0] in self._types else None
            how: Any = (c.convert.name if isinstance(c.convert, values.Native)
                        else isinstance(c.convert, Lookup))
            made.append((c.name, source, c.convert if source else None, how))
        test = made.pop() if where is not None else None
        if self._decoded_keys:
            return made, self._decoded_keys[0] + "=", self._decoded_keys[0], test
        return made, "record=%d", None, test

    def _live_rows(self) -> Iterator[Row]:
        program = self._program()
        if program is not None:
            outputs, prefix, key, test = program
            return self.db._view_rows(self.table, self._decoded, outputs, prefix, key, 0, test)
        row = self._function(False)
        decoded = self.db.iter_table(self.table, True, self._decoded)
        raw: Iterable[Optional[Record]] = (
            self.db.iter_table(self.table, False, self._raw) if self._raw
            else itertools.repeat(None))
        expand = self.definition.expand
        if expand is None:
            rows = map(row, decoded, raw, itertools.count())
            return rows if self.definition.where is None else filter(None, rows)
        return self._expanded(expand, row, decoded, raw)

    @staticmethod
    def _expanded(expand: Callable[[Row, Record], Iterable[Row]], row: Callable[..., Row],
                  decoded: Iterable[Record], raw: Iterable[Optional[Record]]) -> Iterator[Row]:
        """The rows `expand` makes of each record's row (one pass over the
        table: the record goes to `expand` with its row)."""
        for n, (r, q) in enumerate(zip(decoded, raw)):
            made = row(r, q, n)
            if made is not None:
                yield from expand(made, r)

    def _recovered_rows(self) -> Iterator[Row]:
        row = self._function(True)
        decoded = self.db.recover(self.table, True)
        raw: Iterable[Optional[Mapping[str, Any]]] = (
            self.db.recover(self.table, False) if self._raw else itertools.repeat(None))
        expand = self.definition.expand
        for item, raw_item in zip(decoded, raw):
            r = item["record"]
            if r is None:
                continue  # a deleted entry holding only its key: no row to show
            q = raw_item["record"] if raw_item is not None else None
            out = row(r, q, item["offset"])
            if out is None:  # not one of the view's records
                continue
            out["recovery_source"] = item["source"]
            out["recovery_page"] = item["page"]
            out["recovery_offset"] = item["offset"]
            if expand is None:
                yield out
            else:
                yield from expand(out, r)


class Lookup(Dict[Any, Any]):
    """A converter as a table: `lookup[value]` is the converted value,
    computed by `compute` the first time a value is met and kept while the
    table holds fewer than `limit` values (None always gives `default`).
    Ids, interface numbers and hourly timestamps repeat, so a row pays a
    dict probe instead of a call. A multi-value (a list) is kept under its
    tuple, and a list the table holds comes out of a call as a copy, so
    that rows never share one."""

    def __init__(self, compute: Callable[[Any], Any], known: Optional[Mapping[Any, Any]] = None,
                 limit: int = 1 << 16, default: Any = None) -> None:
        super().__init__(known or {})
        self.compute = compute
        self.limit = limit
        self.default = default

    def __missing__(self, value: Any) -> Any:
        if value is None:
            return self.default
        out = self.compute(value)
        if len(self) < self.limit:  # kept: the table stays bounded
            self[value] = out
        return out

    def __call__(self, value: Any) -> Any:
        try:
            if type(value) is list:  # computed from the list, kept by its tuple
                key = tuple(value)
                out = self.get(key, _ABSENT)
                if out is _ABSENT:
                    out = self.compute(value)
                    if len(self) < self.limit:
                        self[key] = out
            else:
                out = self[value]
        except TypeError:  # a value that cannot be a key is computed, not kept
            return self.compute(value)
        return list(out) if type(out) is list else out


_ABSENT = object()


def key_text(value: Any) -> str:
    """A key column's value in `source_key`: bytes as hex digits."""
    return bytes(value).hex() if isinstance(value, (bytes, bytearray)) else str(value)


def _columns(rows: Iterator[Row], getters: Sequence[Callable[[Row], Any]],
             size: int) -> Iterator[List[Sequence[Any]]]:
    """Dict rows as batches of columns."""
    while True:
        batch = list(itertools.islice(rows, size))
        if not batch:
            return
        yield [list(map(get, batch)) for get in getters]


def _fit(column: Sequence[Any], kind: str) -> Sequence[Any]:
    """A stored column that comes out as it is may hold lists (a multi-valued
    column): in a text column they become JSON text; elsewhere the Arrow
    column cannot take them and they are null there (the dict rows keep
    them)."""
    if kind == "list" or list not in set(map(type, column)):
        return column
    if kind == "str":
        return [json.dumps(v, default=str, ensure_ascii=False) if type(v) is list else v
                for v in column]
    return [None if type(v) is list else v for v in column]


def _fields(infos: Sequence[ColumnInfo]) -> List[Tuple[str, str, Dict[str, str]]]:
    """A view's columns as Arrow fields: name, type, its meaning as metadata."""
    return [(c.name, ARROW_TYPES[c.type], {"meaning": c.meaning}) for c in infos]


class UnionView:
    """One view over several tables of one kind (a view per table, all with
    the same name): the rows of each in turn. Its columns are the parts'
    columns by name, in first-seen order (a name a part lacks is None in that
    part's rows), then provenance, so every row still names its own table
    and record. A part that fails to read does not hide the parts after it:
    its rows before the failure come out, then the others', and the first
    failure is raised at the end."""

    def __init__(self, parts: Sequence[View]) -> None:
        self.parts = list(parts)
        first = self.parts[0]
        self.db = first.db
        self.definition = first.definition
        self.name = first.name
        self.meaning = first.meaning
        self.table = first.table
        self.tables = [part.table for part in self.parts]

    def columns(self, recovered: bool = False) -> List[ColumnInfo]:
        """The parts' own columns by name, then provenance."""
        ends = set(PROVENANCE + RECOVERY)
        tail = [c for c in self.parts[0].columns(recovered) if c.name in ends]
        own: Dict[str, ColumnInfo] = {}
        for part in self.parts:
            for c in part.columns(recovered):
                if c.name not in ends:
                    own.setdefault(c.name, c)
        return list(own.values()) + tail

    def event_kinds(self) -> List[Event]:
        return self.parts[0].event_kinds()

    def events(self, artifact: Optional[str] = None) -> Iterator[Row]:
        """Each part's events in turn (see View.events)."""
        return _each(self.parts, lambda part: part.events(artifact))

    def events_arrow(self, artifact: Optional[str] = None, batch_size: int = 65536) -> Any:
        """The events as Arrow record batches (see View.events_arrow)."""
        return _events_arrow(lambda: self.events(artifact), batch_size)

    def rows(self, recovered: bool = False) -> Iterator[Row]:
        """Each part's rows in turn, with the union's columns."""
        names = [c.name for c in self.columns(recovered)]
        return _each(self.parts, lambda part: _aligned_rows(part, names, recovered))

    def arrow(self, recovered: bool = False, batch_size: int = 65536) -> Any:
        """The rows as Arrow record batches (see View.arrow)."""
        from .._quarlet import ArrowRows  # the compiled core's producer

        infos = self.columns(recovered)
        size = max(1, int(batch_size))
        names = [c.name for c in infos]

        def batches(part: View) -> Iterator[List[Sequence[Any]]]:
            have = {c.name: i for i, c in enumerate(part.columns(recovered))}
            for columns in part._batches(recovered, size):
                count = len(columns[0]) if columns else 0
                yield [columns[have[n]] if n in have else [None] * count for n in names]

        return ArrowRows(_fields(infos), lambda: _each(self.parts, batches))


def _aligned_rows(part: View, names: Sequence[str], recovered: bool) -> Iterator[Row]:
    """A part's rows with exactly `names` as keys, in that order."""
    rows = part.rows(recovered)
    if [c.name for c in part.columns(recovered)] == list(names):
        return rows
    return ({n: row.get(n) for n in names} for row in rows)


def _each(parts: Sequence[View], items: Callable[[View], Iterator[Any]]) -> Iterator[Any]:
    """The items of every part in turn; a part's read error is raised after
    the other parts have given theirs."""
    failure: Optional[OSError] = None
    for part in parts:
        try:
            yield from items(part)
        except OSError as error:
            failure = failure or error
    if failure is not None:
        raise failure


def snake_case(name: str) -> str:
    """`ForegroundBytesRead` -> `foreground_bytes_read`; `L2ProfileId` ->
    `l2_profile_id`: the output name of a stored column."""
    out: List[str] = []
    for i, ch in enumerate(name):
        if ch.isupper() and i and (not name[i - 1].isupper() or
                                   (i + 1 < len(name) and name[i + 1].islower())):
            if out and out[-1] != "_":
                out.append("_")
        out.append(ch.lower())
    return "".join(out).replace("__", "_")


# ---- timeline events ----------------------------------------------------------------------

# An event's fields, in order. `key_fields` holds the columns that say what
# the event is about; source_table and source_key name the row it comes from.
EVENT_COLUMNS = ("datetime", "timestamp_desc", "message", "artifact", "source_file", "view",
                 "source_table", "source_key", "key_fields")
_EVENT_TYPES = {"datetime": "timestamp_us_utc"}
_ONE_LINE = str.maketrans("\r\n", "  ")


def message_text(value: Any) -> str:
    """A value as an event's message shows it: None as "-", times ISO 8601,
    bytes as hex, line breaks as spaces (a message is one line)."""
    if value is None:
        return "-"
    if type(value) is str:
        return value.translate(_ONE_LINE) if "\n" in value or "\r" in value else value
    if isinstance(value, datetime.datetime):
        return value.isoformat()
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).hex()
    return str(value).translate(_ONE_LINE)


def message_function(event: Event, meaning: str = "") -> Callable[[Row], str]:
    """The event's message template as a function of a row: the literal
    parts and each named column's message_text, joined. Without a template:
    the fields as `name=value`, or else `meaning`."""
    template = event.message or " ".join("%s={%s}" % (f, f) for f in event.fields)
    if not template:
        template = meaning.replace("{", "{{").replace("}", "}}")
    parts = []
    for literal, name, _, _ in string.Formatter().parse(template):
        if literal:
            parts.append(repr(literal))
        if name is not None:
            parts.append("t(r.get(%r))" % name)
    source = "def message(r):\n    return %s\n" % (" + ".join(parts) or "''")
    names: Dict[str, Any] = {"t": message_text}
    exec(compile(source, "<message %r>" % template, "exec"), names)
    return cast(Callable[[Row], str], names["message"])


EventKind = Tuple[str, str, Callable[[Row], str], Tuple[str, ...]]


def _row_events(rows: Iterable[Row], kinds: Sequence[EventKind], artifact: Optional[str],
                source: Optional[str], view: str) -> Iterator[Row]:
    for row in rows:
        for time, description, message, fields in kinds:
            when = row.get(time)
            if when is None:
                continue
            yield {"datetime": when, "timestamp_desc": description, "message": message(row),
                   "artifact": artifact, "source_file": source, "view": view,
                   "source_table": row["source_table"], "source_key": row["source_key"],
                   "key_fields": {f: row.get(f) for f in fields}}


def json_value(value: Any) -> Any:
    """A value JSON cannot hold as it is: times ISO 8601, bytes as hex."""
    if isinstance(value, datetime.datetime):
        return value.isoformat()
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).hex()
    if isinstance(value, tuple):
        return list(value)
    raise TypeError("not JSON: %r" % type(value))


_FIELDS_TEXT = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"),
                               default=json_value).encode


def fields_text(fields: Mapping[str, Any]) -> str:
    """An event's key fields as one JSON object text."""
    return _FIELDS_TEXT(fields)


def _events_arrow(make: Callable[[], Iterator[Row]], batch_size: int) -> Any:
    from .._quarlet import ArrowRows  # the compiled core's producer

    size = max(1, int(batch_size))
    fields = [(name, _EVENT_TYPES.get(name, "utf8")) for name in EVENT_COLUMNS]

    def batches() -> Iterator[List[Sequence[Any]]]:
        stamps = Lookup(values.microseconds)
        getters = [operator.itemgetter(name) for name in EVENT_COLUMNS]
        for columns in _columns(make(), getters, size):
            columns[0] = list(map(stamps.__getitem__, columns[0]))
            columns[-1] = list(map(fields_text, columns[-1]))
            yield columns

    return ArrowRows(fields, batches)


class Artifact:
    """An open artefact database: its kind, its views, and the companion
    files and preparation errors that its views depend on."""

    def __init__(self, kind: str, db: EseDatabase, definitions: Sequence[ViewDef],
                 companions: Optional[Mapping[str, str]] = None,
                 errors: Optional[Mapping[str, str]] = None) -> None:
        self.kind = kind
        self.db = db
        self.path: Optional[str] = db.path
        self.companions: Dict[str, str] = dict(companions or {})
        self.errors: Dict[str, str] = dict(errors or {})
        # Definitions that share a name are one view over their tables, in turn.
        self._definitions: Dict[str, List[ViewDef]] = {}
        for definition in definitions:
            self._definitions.setdefault(definition.name, []).append(definition)
        self._views: Dict[str, Union[View, UnionView]] = {}

    def __repr__(self) -> str:
        return "<quarlet.artifacts.Artifact kind=%r path=%r views=%d>" % (
            self.kind, self.path, len(self._definitions))

    def views(self) -> List[str]:
        """The names of the views, in a stable order."""
        return list(self._definitions)

    def view(self, name: str) -> Union[View, UnionView]:
        """One view. ValueError for a name the artefact does not have."""
        view = self._views.get(name)
        if view is None:
            definitions = self._definitions.get(name)
            if definitions is None:
                raise ValueError("View not found: %s" % name)
            parts = [View(self.db, definition) for definition in definitions]
            view = parts[0] if len(parts) == 1 else UnionView(parts)
            self._views[name] = view
        return view

    def columns(self, name: str, recovered: bool = False) -> List[ColumnInfo]:
        """The columns of a view: name, type, one-line meaning."""
        return self.view(name).columns(recovered)

    def rows(self, name: str, recovered: bool = False) -> Iterator[Row]:
        """The rows of a view as dicts (see View.rows)."""
        return self.view(name).rows(recovered)

    def arrow(self, name: str, recovered: bool = False, batch_size: int = 65536) -> Any:
        """The rows of a view as an Arrow stream (see View.arrow)."""
        return self.view(name).arrow(recovered, batch_size)

    def event_views(self) -> List[str]:
        """The views that declare timeline events (read from their
        definitions: no table is read)."""
        def declares(d: ViewDef) -> bool:
            own = d.expanded if d.expand is not None else d.columns
            return bool(d.events) or any(c.event for c in own)
        return [name for name, defs in self._definitions.items() if any(map(declares, defs))]

    def events(self, name: Optional[str] = None) -> Iterator[Row]:
        """The timeline events of a view (default: of every view in turn),
        in row order (see View.events)."""
        names = [name] if name is not None else self.event_views()
        return itertools.chain.from_iterable(self.view(n).events(self.kind) for n in names)

    def events_arrow(self, name: str, batch_size: int = 65536) -> Any:
        """The events of a view as an Arrow stream (see View.events_arrow)."""
        return self.view(name).events_arrow(self.kind, batch_size)
