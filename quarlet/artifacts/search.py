"""Windows Search (Windows.edb): the files and items the indexer saw, their
paths, sizes, times and owners, and the crawl's own record of each item.

A catalog (`SystemIndex`) is a set of tables named `<catalog>_<part>`:
`_PropertyStore` holds one record per indexed item (WorkID) and one column
per property, named `<number>[F]-<property>` (`4447-System_ItemPathDisplay`);
the number differs between builds, so columns are found by the property name
after the first `-`. `_Gthr` is the gatherer's list of crawled items
(DocumentID = WorkID, the item's file name and its folder's ScopeID);
`_GthrPth` holds the folders as a tree of (Scope, Parent, Name) whose names,
concatenated from the root down, give the folder's URL (`file:` `C:` `/` ...).

Property dates are little-endian FILETIMEs and sizes little-endian integers
in 8-byte Binary columns; the gatherer's LastModified is a big-endian
FILETIME (0 and 1: not set).
"""

from __future__ import annotations

import datetime
import json
import re
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Set, Tuple

from .. import EseDatabase
from . import values
from .engine import Artifact, Column, Lookup, ViewDef, col, events, snake_case

KIND = "windows-search"
CATALOG = "SystemIndex"
STORE, GATHERER, SCOPES = "_PropertyStore", "_Gthr", "_GthrPth"
STORE_KEY = "WorkID"
GATHERER_COLUMNS = {"ScopeID", "DocumentID", "FileName"}
SCOPE_COLUMNS = {"Scope", "Parent", "Name"}

_PREFIXED = re.compile(r"^[0-9]+[A-Za-z]?-(.+)$")
# The name of a property whose 8-byte Binary values are FILETIMEs
# (System_DateModified, System_ItemDate, System_Search_GatherTime ...) or
# sizes (System_Size, System_TransferSize): its last part.
_DATE_NAME = re.compile(r"Date|Time$")
_SIZE_NAME = re.compile(r"Size$")
_SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")

COMPLETE, MISSING, CYCLIC, UNKNOWN = ("complete", "missing parent", "cyclic parent",
                                      "unknown scope")


def canonical(name: str) -> str:
    """A property store column's property name: `4447-System_ItemPathDisplay`
    -> `System_ItemPathDisplay`; a name without a numeric prefix as it is."""
    m = _PREFIXED.match(name)
    return m.group(1) if m else name


def catalogs(tables: Mapping[str, Set[str]]) -> List[str]:
    """The catalogs whose property store or gatherer tables are there,
    SystemIndex first."""
    found = set()
    for table, columns in tables.items():
        if table.endswith(STORE) and STORE_KEY in columns:
            found.add(table[:-len(STORE)])
        elif table.endswith(GATHERER) and GATHERER_COLUMNS <= columns:
            found.add(table[:-len(GATHERER)])
    return sorted(found, key=lambda c: (c != CATALOG, c))


def detect(tables: Mapping[str, Set[str]]) -> bool:
    return bool(catalogs(tables))


# ---- values ---------------------------------------------------------------------


def stored_text(value: Any) -> Optional[str]:
    """Stored text without trailing U+0000; several values as JSON text."""
    if type(value) is str:
        return value.rstrip("\x00")
    if isinstance(value, list):
        return json.dumps([stored_text(v) for v in value], ensure_ascii=False)
    return values.text(value)


# The reader passes text that needs no change through itself.
text = values.Native("text", stored_text)


# Property dates are little-endian FILETIMEs in 8 bytes, the gatherer's
# LastModified a big-endian one; 0 and 1 mean "not set" in both (1 is a
# marker, not a time), any other length is None. The reader converts them
# itself on the files view's fast path.
filetime_le = values.FILETIME_LE
gather_time = values.FILETIME_BE


def _size_le(value: Any) -> Optional[int]:
    """A little-endian unsigned integer in 8 bytes (System_Size)."""
    if type(value) is bytes and len(value) == 8:
        return int.from_bytes(value, "little")
    return None


size_le = values.Native("uint_le8", _size_le)


# Kinds repeat (`folder`, `document`, `link program`): each decoded once;
# every row gets its own list.
_KINDS = Lookup(values.utf16_strings)


def kinds(value: Any) -> Optional[List[str]]:
    """System_Kind: a UTF-16LE multi-string, as a list."""
    if value is None:
        return None
    found = _KINDS.get(value) if type(value) is bytes else None
    if found is None:
        found = _KINDS(value)
    return list(found) if found is not None else None


def repeating(compute: Callable[[Any], Any], limit: int = 1 << 16) -> Lookup:
    """A Lookup for values that repeat from row to row; a null value is a
    dict hit too (most properties are null in most rows)."""
    return Lookup(compute, {None: None}, limit)


def mostly_null(compute: Callable[[Any], Any]) -> Lookup:
    """A converter for a property that is null in most rows and unique
    where set (a text excerpt): a null is a dict hit, nothing else is kept."""
    return Lookup(compute, {None: None}, limit=1)


# ---- the folder tree ---------------------------------------------------------------


def rebuild_scopes(records: Iterable[Tuple[Any, Any, Any]]) -> Dict[Any, Tuple[str, str]]:
    """Scope -> (its URL, and whether the chain reached a root): `complete`
    when the names run up to one that starts with a URL scheme (`file:`)
    whose parent is not a scope; else `missing parent` (a parent that is not
    there) or `cyclic parent` (a chain that comes back on itself), with the
    URL of the part that was found. Each scope is walked once."""
    tree: Dict[Any, Tuple[Any, str]] = {}
    for scope, parent, name in records:
        if scope is not None and scope not in tree:
            tree[scope] = (parent, text(name) or "")
    done: Dict[Any, Tuple[str, str]] = {}
    for start in tree:
        chain: List[Any] = []
        on_chain: Set[Any] = set()
        scope = start
        while True:
            if scope in done:
                url, status = done[scope]
                break
            if scope in on_chain:
                url, status = "", CYCLIC
                break
            if scope not in tree:
                url = ""
                top = tree[chain[-1]][1] if chain else ""
                status = COMPLETE if chain and _SCHEME.match(top) else MISSING
                break
            on_chain.add(scope)
            chain.append(scope)
            scope = tree[scope][0]
        for scope in reversed(chain):
            url += tree[scope][1]
            done[scope] = (url, status)
    return done


class Scopes:
    """The folder tree read once: per ScopeID its URL and status, as Lookups
    (a ScopeID the tree lacks has no URL and status `unknown scope`)."""

    def __init__(self, rebuilt: Mapping[Any, Tuple[str, str]]) -> None:
        self.urls = Lookup(_none, {s: u for s, (u, _) in rebuilt.items()})
        self.statuses = Lookup(_unknown, {s: st for s, (_, st) in rebuilt.items()})
        self.complete = Lookup(_false, {s: st == COMPLETE for s, (_, st) in rebuilt.items()})
        self.incomplete = sum(1 for _, st in rebuilt.values() if st != COMPLETE)

    @classmethod
    def read(cls, db: EseDatabase, table: str) -> Tuple["Scopes", Optional[str]]:
        """The tree from its table, and the error that cut the reading short
        (the folders read before it are kept)."""
        records: List[Tuple[Any, Any, Any]] = []
        error = None
        try:
            for r in db.iter_table(table, True, ["Scope", "Parent", "Name"]):
                records.append((r["Scope"], r["Parent"], r["Name"]))
        except (OSError, ValueError) as failure:
            error = str(failure)
        return cls(rebuild_scopes(records)), error

    def url(self, scope: Any, name: Any) -> Optional[str]:
        base = self.urls(scope)
        if not isinstance(base, str):
            return None
        return base + (text(name) or "")


def _none(_: Any) -> None:
    return None


def _false(_: Any) -> bool:
    return False


def _unknown(_: Any) -> str:
    return UNKNOWN


class ItemPaths:
    """WorkID -> the property store's System_ItemPathDisplay, read from the
    store when a view first asks (the rows read before a damaged page
    count)."""

    def __init__(self, db: EseDatabase, table: str, column: Optional[str]) -> None:
        self.db, self.table, self.column = db, table, column
        self.paths = Lookup(self._first)
        self.present = Lookup(self._first_present)
        self._loaded = False

    def _load(self) -> None:
        if self._loaded:
            return
        self._loaded = True
        columns = [STORE_KEY] + ([self.column] if self.column else [])
        paths: Dict[Any, Optional[str]] = {}
        try:
            for r in self.db.iter_table(self.table, True, columns):
                paths[r[STORE_KEY]] = text(r.get(self.column)) if self.column else None
        except (OSError, ValueError):
            pass  # the items before the damage still join
        paths.pop(None, None)
        self.paths.update(paths)
        self.present.update(dict.fromkeys(paths, True))
        self.paths.compute, self.present.compute = _none, _false

    def _first(self, work_id: Any) -> Any:
        self._load()
        return self.paths.get(work_id)

    def _first_present(self, work_id: Any) -> Any:
        self._load()
        return self.present.get(work_id, False)


# ---- views ----------------------------------------------------------------------------


def property_columns(schema: Iterable[Mapping[str, Any]]) -> Dict[str, Tuple[str, str]]:
    """Property name -> (stored column, ESE type), the first stored column
    of each name (a second one keeps its stored name)."""
    out: Dict[str, Tuple[str, str]] = {}
    for c in schema:
        name = canonical(c["name"])
        out[name if name not in out else c["name"]] = (c["name"], c["type"])
    return out


# The files view: output name, property, type, meaning, interpretation.
FILES: List[Tuple[str, str, str, str, Optional[Callable[..., Any]]]] = [
    ("path", "System_ItemPathDisplay", "str", "the item's full path", text),
    ("name", "System_ItemName", "str", "its file name", text),
    ("folder", "System_ItemFolderPathDisplay", "str", "the folder it is in", None),
    ("item_url", "System_ItemUrl", "str", "the item's URL (`file:C:/...`)", text),
    ("item_type", "System_ItemType", "str", "its type: the extension, or `Directory`", None),
    ("item_type_text", "System_ItemTypeText", "str", "the type as Explorer names it", None),
    ("kind", "System_Kind", "list", "its kinds (`link`, `program`, `folder` ...)", kinds),
    ("size", "System_Size", "int", "size in bytes", size_le),
    ("attributes", "System_FileAttributes", "int", "Win32 FILE_ATTRIBUTE_* bits", None),
    ("created", "System_DateCreated", "datetime", "when the file was created (UTC)",
     filetime_le),
    ("modified", "System_DateModified", "datetime", "when the file was last written (UTC)",
     filetime_le),
    ("accessed", "System_DateAccessed", "datetime", "when the file was last accessed (UTC)",
     filetime_le),
    ("owner", "System_FileOwner", "str", "the file's owner (`DOMAIN\\user`)", None),
    ("gather_time", "System_Search_GatherTime", "datetime",
     "when the indexer gathered the item (UTC)", filetime_le),
    ("summary", "System_Search_AutoSummary", "str", "the start of the item's text content",
     text),
    ("computer_name", "System_ComputerName", "str", "the computer the item is on", None),
]
EVENTS = {"created": "file created", "modified": "file modified", "accessed": "file accessed",
          "gather_time": "item indexed"}
# Outputs whose values repeat (types, owners, folders): a dict probe each.
_REPEATING = {"folder", "item_type", "item_type_text", "owner", "computer_name"}
_MOSTLY_NULL = {"summary"}


def files_def(name: str, table: str, props: Mapping[str, Tuple[str, str]]) -> ViewDef:
    """One row per item. A property this build's store lacks is None in
    every row (the view's columns stay the same across builds)."""
    columns = [col("work_id", "int", "the item's id (WorkID; the gatherer's DocumentID)",
                   STORE_KEY)]
    for out, prop, kind, meaning, convert in FILES:
        source = props[prop][0] if prop in props else prop
        if out in _REPEATING:
            convert = repeating(text)
        elif out in _MOSTLY_NULL:
            convert = mostly_null(text)
        columns.append(col(out, kind, meaning + " (%s)" % prop, source, convert=convert,
                           event=EVENTS.get(out)))
    return ViewDef(name, "indexed files and items: path, type, size, times, owner", table,
                    columns, key=(STORE_KEY,), passthrough=False, events=events(
                        "{path} ({size} bytes, owner {owner})", ("path", "work_id"),
                        *[(out, "Windows Search " + text) for out, text in EVENTS.items()]))


def property_column(out: str, stored: str, ese_type: str) -> Column:
    """A property as the properties view gives it: dates and sizes in
    8-byte Binary columns interpreted, text without its terminators, the
    multi-string System_Kind as a list, the rest as stored."""
    last = out.rsplit("_", 1)[-1]
    meaning = "%s (stored column %s, %s)" % (out, stored, ese_type)
    if ese_type == "Binary" and _DATE_NAME.search(last):
        local = " local time, not UTC" if "Local" in last else " (UTC)"
        return col(out, "datetime", meaning + ": a little-endian FILETIME;" + local +
                   "; None unless 8 bytes", stored, convert=filetime_le)
    if ese_type == "Binary" and _SIZE_NAME.search(last):
        return col(out, "int", meaning + ": a little-endian integer; None unless 8 bytes",
                   stored, convert=size_le)
    if out == "System_Kind":
        return col(out, "list", meaning + ": a UTF-16LE multi-string", stored, convert=kinds)
    if ese_type in ("Text", "Long Text"):
        return col(out, "str", meaning, stored, convert=text)
    kind = {"Boolean": "bool", "Double precision FP": "float", "Single precision FP": "float",
            "Binary": "bytes", "Long Binary": "bytes", "GUID": "str"}.get(ese_type, "int")
    return col(out, kind, meaning, stored)


def properties_def(name: str, table: str, props: Mapping[str, Tuple[str, str]]) -> ViewDef:
    columns = [col("work_id", "int", "the item's id (WorkID)", STORE_KEY)]
    columns += [property_column(out, stored, ese_type)
                for out, (stored, ese_type) in props.items() if stored != STORE_KEY]
    return ViewDef(name, "every property of every item, named by property", table, columns,
                    key=(STORE_KEY,), passthrough=False)


def scope_columns(scopes: Scopes) -> List[Column]:
    return [
        col("path_complete", "bool", "whether the folder chain reached its root", "ScopeID",
            convert=scopes.complete),
        col("path_status", "str", "complete, missing parent, cyclic parent or unknown scope "
            "(an incomplete URL holds the part of the chain that was found)", "ScopeID",
            convert=scopes.statuses),
    ]


def gatherer_def(name: str, table: str, scopes: Scopes, items: ItemPaths) -> ViewDef:
    columns = [
        col("document_id", "int", "the item's id (the property store's WorkID)", "DocumentID"),
        col("scope_id", "int", "the folder's scope (SystemIndex_GthrPth.Scope)", "ScopeID"),
        col("scope_url", "str", "the folder's URL, its names from the root down", "ScopeID",
            convert=scopes.urls),
        col("file_name", "str", "the item's name in the folder", "FileName", convert=text),
        col("url", "str", "the item's full URL: the folder's URL and its name", "ScopeID",
            "FileName", convert=scopes.url),
    ] + scope_columns(scopes) + [
        col("last_modified", "datetime",
            "the file's last write time when crawled (UTC; from a big-endian FILETIME)",
            "LastModified", convert=gather_time, event="file modified (crawl)"),
        col("item_path", "str", "the property store's path of the item, if it has one",
            "DocumentID", convert=items.paths),
        col("in_property_store", "bool", "whether the property store has the item",
            "DocumentID", convert=items.present),
    ]
    return ViewDef(name, "the gatherer's crawled items with their rebuilt URLs", table,
                    columns, key=("DocumentID",), events=events(
                        "{url}", ("url", "document_id"),
                        ("last_modified", "Windows Search gatherer, file modified (crawl)")))


def scopes_def(name: str, table: str, scopes: Scopes) -> ViewDef:
    return ViewDef(name, "the crawled folders with their rebuilt URLs", table, [
        col("scope", "int", "the folder's scope id", "Scope"),
        col("parent", "int", "its parent's scope id", "Parent"),
        col("name", "str", "its own part of the URL", "Name", convert=text),
        col("url", "str", "its URL, the names from the root down", "Scope",
            convert=scopes.urls),
        col("path_complete", "bool", "whether the chain reached its root", "Scope",
            convert=scopes.complete),
        col("path_status", "str", "complete, missing parent or cyclic parent", "Scope",
            convert=scopes.statuses),
    ], key=("Scope",), passthrough=False)


def build(db: EseDatabase, tables: Mapping[str, Set[str]]) -> Artifact:
    defs: List[ViewDef] = []
    errors: Dict[str, str] = {}
    for i, catalog in enumerate(catalogs(tables)):
        suffix = "" if i == 0 else "_" + snake_case(catalog)
        store, gatherer, paths = catalog + STORE, catalog + GATHERER, catalog + SCOPES
        props: Dict[str, Tuple[str, str]] = {}
        if STORE_KEY in tables.get(store, set()):
            props = property_columns(db.get_table_schema(store))
            defs.append(files_def("files" + suffix, store, props))
        if GATHERER_COLUMNS <= tables.get(gatherer, set()):
            scopes = Scopes({})
            if SCOPE_COLUMNS <= tables.get(paths, set()):
                scopes, error = Scopes.read(db, paths)
                if error:
                    errors[paths] = error
            path = props.get("System_ItemPathDisplay", (None, ""))[0]
            items = ItemPaths(db, store, path)  # a missing store joins nothing
            defs.append(gatherer_def("gatherer" + suffix, gatherer, scopes, items))
            if SCOPE_COLUMNS <= tables.get(paths, set()):
                defs.append(scopes_def("scopes" + suffix, paths, scopes))
        if props:
            defs.append(properties_def("properties" + suffix, store, props))
    return Artifact(KIND, db, defs, errors=errors)
