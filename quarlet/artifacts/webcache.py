"""WebCache (WebCacheV01.dat): what the Windows web platform (Internet
Explorer, Edge legacy, apps and Explorer itself) visited, cached and
downloaded, per user and integrity level.

Entries live in `Container_N` tables, one per container. What a container
holds (history, cached content, downloads, DOM storage, cookies ...) is its
`Name` in the `Containers` row whose ContainerId is N, and its `PartitionId`
tells the integrity level or AppContainer it serves; the numbers differ from
file to file, so every container is found by name. Several containers of one
kind (the medium- and low-integrity History, say) are one view over their
tables. A Container_N table without a Containers row still comes out, in
`other_entries`, so that no entry is hidden. All `*Time` columns are FILETIMEs
(UTC), except ModifiedTime in the daily and weekly history containers, which
is local time.
"""

from __future__ import annotations

import datetime
import re
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Mapping, Optional, Set, Tuple, cast

from .. import EseDatabase
from . import values
from .engine import Artifact, Column, Lookup, ViewDef, col, events, snake_case

KIND = "webcache"
CONTAINERS = "Containers"
LEAK_FILES = "LeakFiles"
PARTITIONS = "PartitionsEx"

_CONTAINER_TABLE = re.compile(r"^Container_(\d+)$")
_COOKIE_TABLE = re.compile(r"^CookieEntryEx_(\d+)$")
_ENTRY_COLUMNS = {"EntryId", "Url", "AccessedTime"}
_VISITED = re.compile(r"^Visited:\s*([^@]*)@(.*)$", re.DOTALL)
_PERIOD_URL = re.compile(r"^:(\d{8})(\d{8}):\s*(.*)$", re.DOTALL)
_PERIOD_NAME = re.compile(r"^MSHist\d\d(\d{8})(\d{8})$")
_HOST = ":Host:"


def detect(tables: Mapping[str, Set[str]]) -> bool:
    if {"ContainerId", "Name", "Directory"} <= tables.get(CONTAINERS, set()):
        return True
    return any(_CONTAINER_TABLE.match(t) and _ENTRY_COLUMNS <= columns
               for t, columns in tables.items())


# ---- the containers ---------------------------------------------------------------


@dataclass
class Container:
    """A container as its Containers row describes it (all None for a
    Container_N table that has no row)."""

    id: int
    table: Optional[str]
    name: Optional[str] = None
    partition: Optional[str] = None
    directory: Optional[str] = None
    secure: List[str] = field(default_factory=list)  # its 8-character subdirectories


def secure_directories(value: Any) -> List[str]:
    """SecureDirectories: the cache subdirectory names, 8 characters each,
    written one after the other."""
    joined = values.text(value) or ""
    return [joined[i:i + 8] for i in range(0, len(joined), 8)]


def read_containers(db: EseDatabase, tables: Mapping[str, Set[str]]
                    ) -> Tuple[List[Container], Dict[str, str]]:
    """Every container, in Containers order, then the Container_N tables no
    row names; `table` is None for a row whose table is missing. A
    Containers table that cannot be read to its end gives the rows before
    the failure and an error."""
    found: Dict[int, Container] = {}
    errors: Dict[str, str] = {}
    if CONTAINERS in tables:
        wanted = [c for c in ("ContainerId", "Name", "PartitionId", "Directory",
                              "SecureDirectories") if c in tables[CONTAINERS]]
        try:
            for r in db.iter_table(CONTAINERS, True, wanted):
                number = r.get("ContainerId")
                if type(number) is not int or number in found:
                    continue
                table = "Container_%d" % number
                found[number] = Container(
                    number, table if table in tables else None, values.text(r.get("Name")),
                    values.text(r.get("PartitionId")), values.text(r.get("Directory")),
                    secure_directories(r.get("SecureDirectories")))
        except OSError as error:
            errors[CONTAINERS] = str(error)
    named = {c.table for c in found.values()}
    containers = list(found.values())
    for table in sorted(tables, key=lambda t: (len(t), t)):
        match = _CONTAINER_TABLE.match(table)
        if match and table not in named:
            containers.append(Container(int(match.group(1)), table))
    return containers, errors


def constant(value: Any) -> Lookup:
    """A converter that gives `value` whatever it reads: a container's facts
    in every row of its table. Read from a column whose value repeats (the
    ContainerId), the reader pays a dict probe; the table stays small when
    the column's values do not repeat."""
    return Lookup(lambda _: value, default=value, limit=16)


def container_columns(c: Container) -> List[Column]:
    return [
        col("container", "str", "the container's name (Containers.Name)", "ContainerId",
            convert=constant(c.name)),
        col("partition", "str", "the container's partition: M medium integrity, L low "
            "integrity (Protected Mode), or an AppContainer SID", "ContainerId",
            convert=constant(c.partition)),
        col("container_id", "int", "the entry's ContainerId", "ContainerId"),
    ]


# ---- entry values -------------------------------------------------------------------


def _time(name: str, meaning: str, source: str, event: Optional[str] = None) -> Column:
    return col(name, "datetime", meaning, source, convert=values.FILETIME, event=event)


def _text(name: str, meaning: str, source: str) -> Column:
    return col(name, "str", meaning, source, convert=values.TEXT)


def visited_user(url: Any) -> Optional[str]:
    """The user of a `Visited: user@url` entry (None for another form)."""
    match = _VISITED.match(values.text(url) or "")
    return match.group(1) if match else None


def visited_url(url: Any) -> Optional[str]:
    """The URL of a `Visited: user@url` entry; another form is kept whole."""
    text = values.text(url)
    match = _VISITED.match(text or "")
    return match.group(2) if match else text


def _iso_date(digits: str) -> Optional[str]:
    try:
        return datetime.date(int(digits[:4]), int(digits[4:6]), int(digits[6:])).isoformat()
    except ValueError:
        return None


@dataclass(frozen=True)
class PeriodEntry:
    """A daily or weekly history entry, `:yyyymmddyyyymmdd: user@url` (or
    `user@:Host: host`), split into its parts."""

    start: Optional[str] = None
    end: Optional[str] = None
    user: Optional[str] = None
    url: Optional[str] = None
    host: Optional[str] = None


class LastValue:
    """`compute` with its last argument and result remembered: the columns of
    one row read the same stored value (a URL, a blob) one after another."""

    def __init__(self, compute: Callable[[Any], Any]) -> None:
        self.compute = compute
        self.key: Any = None
        self.value: Any = None
        self.known = False

    def __call__(self, key: Any) -> Any:
        if not (self.known and type(key) is type(self.key) and key == self.key):
            self.key, self.value, self.known = key, self.compute(key), True
        return self.value


def period_entry(url: Optional[str]) -> PeriodEntry:
    if url is None:
        return PeriodEntry()
    match = _PERIOD_URL.match(url)
    if match is None:
        return PeriodEntry(url=url)
    start, end, rest = _iso_date(match.group(1)), _iso_date(match.group(2)), match.group(3)
    user, at, target = rest.partition("@")
    if not at:
        user, target = "", rest
    if target.startswith(_HOST):
        return PeriodEntry(start, end, user or None, None, target[len(_HOST):].strip())
    return PeriodEntry(start, end, user or None, target, None)


def container_period(name: Optional[str]) -> Tuple[Optional[str], Optional[str]]:
    """The period a daily or weekly container's name gives (MSHist01 +
    first day + day after the last)."""
    match = _PERIOD_NAME.match(name or "")
    if match is None:
        return None, None
    return _iso_date(match.group(1)), _iso_date(match.group(2))


def period_days(start: Optional[str], end: Optional[str]) -> Optional[int]:
    if start is None or end is None:
        return None
    return (datetime.date.fromisoformat(end) - datetime.date.fromisoformat(start)).days


def local_time(value: Any) -> Optional[str]:
    """A FILETIME that holds local time, as ISO 8601 text without an offset
    (the offset is not stored)."""
    when = values.filetime(value)
    return when.replace(tzinfo=None).isoformat() if when is not None else None


def cached_path(c: Container) -> Callable[..., Optional[str]]:
    """The cached file's full path: the container's directory, the secure
    subdirectory its entry names (SecureDirectory counts from 1), the file
    name. A container without subdirectories keeps its files directly."""
    directory = (c.directory or "").rstrip("\\")

    def path(secure: Any, filename: Any) -> Optional[str]:
        name = values.text(filename)
        if not name or not directory:
            return None
        if not c.secure:
            return "%s\\%s" % (directory, name)
        if type(secure) is not int or not 1 <= secure <= len(c.secure):
            return None
        return "%s\\%s\\%s" % (directory, c.secure[secure - 1], name)
    return path


def secure_name(c: Container) -> Lookup:
    return Lookup(lambda i: c.secure[i - 1] if type(i) is int and 1 <= i <= len(c.secure)
                  else None)


_STRINGS = LastValue(values.utf16_carve)


def blob_strings(blob: Any) -> Optional[List[str]]:
    """The UTF-16 strings of a blob (a copy: the list goes into a row)."""
    found = _STRINGS(blob)
    return list(found) if found is not None else None


# A carved string may start with bytes of the field before it that read as
# printable characters: the URL, path or type is found inside the string.
_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://\S+$")
_PATH = re.compile(r"(?:[A-Za-z]:\\|\\\\).+$", re.DOTALL)
_MIME = re.compile(r"(?a)(?<![\x21-\x7e])[A-Za-z0-9][\w.+-]*/[\w.+-]+$")


def _last(blob: Any, pattern: "re.Pattern[str]") -> Optional[str]:
    """The last match of `pattern` among a blob's strings."""
    found = None
    for text in blob_strings(blob) or ():
        match = pattern.search(text)
        if match is not None:
            found = match.group()
    return found


def download_url(blob: Any) -> Optional[str]:
    return _last(blob, _URL)


def download_target(blob: Any) -> Optional[str]:
    return _last(blob, _PATH)


def download_mime(blob: Any) -> Optional[str]:
    return _last(blob, _MIME)


def reversed_domain(value: Any) -> Optional[str]:
    """`com.bing.www` -> `www.bing.com`."""
    text = values.text(value)
    return ".".join(reversed(text.split("."))) if text else text


# ---- the views ------------------------------------------------------------------------


def _times(visit_event: Optional[str]) -> List[Column]:
    return [
        _time("accessed", "last access (UTC)", "AccessedTime", visit_event),
        _time("created", "entry created (UTC)", "CreationTime"),
        _time("modified", "last modified (UTC)", "ModifiedTime"),
        _time("expires", "expiry (UTC)", "ExpiryTime"),
        _time("synced", "last synchronised (UTC)", "SyncTime"),
    ]


def _file_columns(c: Container) -> List[Column]:
    return [
        _text("file_name", "the cached file's name", "Filename"),
        col("secure_directory", "str", "the cache subdirectory holding the file", "SecureDirectory",
            convert=secure_name(c)),
        col("cached_path", "str", "the cached file's full path (container directory, "
            "subdirectory, file name)", "SecureDirectory", "Filename", convert=cached_path(c)),
        col("file_size", "int", "the cached file's size in bytes", "FileSize"),
    ]


def history_visits(c: Container) -> List[Column]:
    return [
        col("user", "str", "the Windows user (from `Visited: user@url`)", "Url",
            convert=visited_user),
        col("url", "str", "the URL visited (file:/// for local files); a URL of another form "
            "kept whole", "Url", convert=visited_url),
        _time("accessed", "last visit (UTC)", "AccessedTime", "page visited"),
        col("visit_count", "int", "number of visits (AccessCount)", "AccessCount"),
        _time("modified", "last modified (UTC)", "ModifiedTime"),
        _time("expires", "expiry (UTC)", "ExpiryTime"),
        _time("synced", "last synchronised (UTC)", "SyncTime"),
        col("header_strings", "list", "the UTF-16 strings of the entry's ResponseHeaders blob "
            "(seen: the page title, then its icon's URL)", "ResponseHeaders",
            convert=blob_strings),
    ] + container_columns(c)


def history_periods(c: Container) -> List[Column]:
    start, end = container_period(c.name)

    parse = LastValue(lambda url: period_entry(values.text(url)))

    def entry(url: Any) -> PeriodEntry:
        return cast(PeriodEntry, parse(url))

    return [
        col("period_start", "str", "first day of the period (ISO date; from the URL, else "
            "the container's name)", "Url", convert=lambda u: entry(u).start or start),
        col("period_end", "str", "the day after the period (ISO date)", "Url",
            convert=lambda u: entry(u).end or end),
        col("period_days", "int", "the period's length in days (1 daily, 7 weekly)", "Url",
            convert=lambda u: period_days(entry(u).start or start, entry(u).end or end)),
        col("user", "str", "the Windows user", "Url", convert=lambda u: entry(u).user),
        col("url", "str", "the URL visited (None for a host entry)", "Url",
            convert=lambda u: entry(u).url),
        col("host", "str", "the host of a per-host entry (`:Host: name`)", "Url",
            convert=lambda u: entry(u).host),
        _time("accessed", "last visit in the period (UTC)", "AccessedTime",
              "page visited (period history)"),
        col("visited_local_time", "str", "last visit in the computer's LOCAL time, not UTC "
            "(ModifiedTime, stored as local time in these containers; ISO 8601, no offset)",
            "ModifiedTime", convert=local_time),
        col("visit_count", "int", "number of visits in the period (AccessCount)", "AccessCount"),
        _time("expires", "expiry (UTC)", "ExpiryTime"),
        _time("synced", "last synchronised (UTC)", "SyncTime"),
    ] + container_columns(c)


def cached_content(c: Container) -> List[Column]:
    return [_text("url", "the URL the content came from", "Url")] + _file_columns(c) + [
        _text("file_extension", "the file's extension", "FileExtension"),
        _time("accessed", "last access (UTC)", "AccessedTime", "cached content accessed"),
        _time("created", "cached (UTC)", "CreationTime", "content cached"),
        _time("modified", "the server's Last-Modified time (UTC)", "ModifiedTime"),
        _time("expires", "expiry (UTC; may precede the access)", "ExpiryTime"),
        _time("synced", "last synchronised (UTC)", "SyncTime"),
        col("access_count", "int", "number of accesses", "AccessCount"),
        col("response_headers", "str", "the HTTP response headers", "ResponseHeaders",
            convert=values.byte_text),
        col("request_headers", "str", "the HTTP request headers", "RequestHeaders",
            convert=values.byte_text),
        _text("redirect_url", "where the URL redirected", "RedirectUrl"),
    ] + container_columns(c)


def downloads(c: Container) -> List[Column]:
    return [
        _text("entry_url", "the entry's URL (iedownload:{GUID})", "Url"),
        col("url", "str", "the URL downloaded: the last URL among the blob's strings",
            "ResponseHeaders", convert=download_url),
        col("target_path", "str", "where the file was saved: the last local path among the "
            "blob's strings", "ResponseHeaders", convert=download_target),
        col("mime_type", "str", "the MIME type among the blob's strings", "ResponseHeaders",
            convert=download_mime),
        col("strings", "list", "every UTF-16 string of the download's blob, in order (URLs, "
            "MIME type, temporary and final paths)", "ResponseHeaders", convert=blob_strings),
        _time("accessed", "last access (UTC)", "AccessedTime", "download recorded"),
        _time("created", "entry created (UTC)", "CreationTime"),
        _time("modified", "last modified (UTC)", "ModifiedTime"),
        col("access_count", "int", "number of accesses", "AccessCount"),
        col("blob", "bytes", "the download's blob (ResponseHeaders) as stored",
            "ResponseHeaders"),
    ] + container_columns(c)


def dom_storage(c: Container) -> List[Column]:
    return [
        col("origin", "str", "the origin whose storage it is (`DOMStore:` removed)", "Url",
            convert=lambda u: _strip_prefix(values.text(u), "DOMStore:")),
    ] + _file_columns(c) + _times("DOM storage accessed")[:3] + [
        col("access_count", "int", "number of accesses", "AccessCount"),
    ] + container_columns(c)


def _strip_prefix(text: Optional[str], prefix: str) -> Optional[str]:
    return text[len(prefix):] if text is not None and text.startswith(prefix) else text


def entries(c: Container) -> List[Column]:
    """Any container's entries (cookie files, compatibility lists, feeds,
    background transfers, and tables no Containers row names)."""
    return [
        _text("url", "the entry's URL or key", "Url"),
    ] + _file_columns(c) + _times(None) + [
        col("access_count", "int", "number of accesses", "AccessCount"),
        col("entry_type", "int", "the entry's Type", "Type"),
        col("flags", "int", "the entry's Flags", "Flags"),
        col("response_headers", "bytes", "the ResponseHeaders blob as stored", "ResponseHeaders"),
    ] + container_columns(c)


# Container name (lower case) or name prefix -> view name, meaning, columns.
VIEWS: List[Tuple[str, str, str, Callable[[Container], List[Column]]]] = [
    ("history", "history_visits", "pages and local files visited, per user", history_visits),
    ("mshist", "history_periods", "daily and weekly history: visits per period, user and host",
     history_periods),
    ("content", "cached_content", "content cached from the web, with its file and headers",
     cached_content),
    ("iedownload", "downloads", "files downloaded: URL and where they were saved", downloads),
    ("domstore", "dom_storage", "origins that kept DOM (web) storage, and its file",
     dom_storage),
    ("cookies", "cookie_files", "cookie entries of the Cookies containers", entries),
]
# The timeline events of each container view.
EVENTS = {
    "history_visits": events("{user} visited {url} ({visit_count} visits)", ("user", "url"),
                             ("accessed", "WebCache history, last visit")),
    "history_periods": events(
        "{user} visited {url} (host {host}): {visit_count} visits from {period_start} to "
        "{period_end}", ("user", "url", "host"),
        ("accessed", "WebCache period history, last visit in the period")),
    "cached_content": events("{url} cached as {cached_path}", ("url",),
                             ("accessed", "WebCache last access"),
                             ("created", "WebCache content cached")),
    "downloads": events("{url} saved to {target_path}", ("url", "target_path"),
                        ("accessed", "WebCache download, last access")),
    "dom_storage": events("DOM storage of {origin} in {cached_path}", ("origin",),
                          ("accessed", "WebCache DOM storage, last access")),
}
OTHER = ("other_entries", "entries of the other containers (and of tables no Containers row "
         "names)", entries)


def view_of(name: Optional[str]) -> Tuple[str, str, Callable[[Container], List[Column]]]:
    """The view a container's entries belong to, by its name."""
    low = (name or "").lower()
    for key, view, meaning, columns in VIEWS:
        if low == key or (key == "mshist" and low.startswith(key)):
            return view, meaning, columns
    return OTHER


def container_defs(containers: List[Container]) -> List[ViewDef]:
    """One definition per container table; the definitions of one view name
    are read as one view. Views come in the order of VIEWS."""
    order = [v for _, v, _, _ in VIEWS] + [OTHER[0]]
    defs = []
    for c in containers:
        if c.table is None:
            continue
        name, meaning, columns = view_of(c.name)
        defs.append(ViewDef(name, meaning, c.table, columns(c), key=("EntryId",),
                              passthrough=False, events=EVENTS.get(name, ())))
    return sorted(defs, key=lambda s: order.index(s.name))  # stable: Containers order kept


def containers_def(containers: List[Container]) -> ViewDef:
    tables = {c.id: c.table for c in containers}
    return ViewDef("containers", "the containers: what each Container_N table holds",
                    CONTAINERS, [
        col("container_id", "int", "the container's number (its table is Container_N)",
            "ContainerId"),
        col("table", "str", "its entries' table, None when the file lacks it", "ContainerId",
            convert=Lookup(lambda _: None, tables)),
        _text("name", "what it holds (History, Content, MSHist01..., iedownload, ...)", "Name"),
        _text("partition", "M medium integrity, L low integrity, or an AppContainer SID",
              "PartitionId"),
        _text("directory", "the folder of its files", "Directory"),
        col("secure_directories", "list", "its cache subdirectories (SecureDirectory 1, 2, ...)",
            "SecureDirectories", convert=secure_directories),
        _time("last_access", "last access (UTC)", "LastAccessTime"),
        _time("last_scavenge", "last clean-up (UTC)", "LastScavengeTime"),
    ], key=("ContainerId",), rename=snake_case)


def partition_names(db: EseDatabase, tables: Mapping[str, Set[str]]
                    ) -> Dict[int, Tuple[Optional[str], Optional[str]]]:
    """PartitionsEx: helper table number -> (partition, directory)."""
    out: Dict[int, Tuple[Optional[str], Optional[str]]] = {}
    if not {"TableId", "PartitionId"} <= tables.get(PARTITIONS, set()):
        return out
    try:
        for r in db.iter_table(PARTITIONS, True):
            number = r.get("TableId")
            if isinstance(number, int):
                out.setdefault(number, (values.text(r.get("PartitionId")),
                                        values.text(r.get("Directory"))))
    except OSError:
        pass  # the cookies then come out without their partition
    return out


def cookie_defs(db: EseDatabase, tables: Mapping[str, Set[str]]) -> List[ViewDef]:
    """The cookies the CookieEntryEx_N tables hold (N: the PartitionsEx row
    naming the partition they belong to)."""
    partitions = partition_names(db, tables)
    defs = []
    for table in sorted(tables, key=lambda t: (len(t), t)):
        match = _COOKIE_TABLE.match(table)
        if not match:
            continue
        partition, directory = partitions.get(int(match.group(1)), (None, None))
        defs.append(ViewDef("cookies", "cookies kept in the database, per partition", table, [
            col("domain", "str", "the cookie's domain (RDomain reversed)", "RDomain",
                convert=reversed_domain),
            _text("path", "its path", "Path"),
            col("name", "str", "its name", "Name", convert=values.byte_text),
            col("value", "str", "its value", "Value", convert=values.byte_text),
            _time("expires", "expiry (UTC)", "Expires"),
            _time("last_modified", "last set (UTC)", "LastModified", "cookie set"),
            col("flags", "int", "the cookie's Flags", "Flags"),
            col("partition", "str", "its partition (M, L or an AppContainer SID)", "EntryId",
                convert=constant(partition)),
            col("partition_directory", "str", "the partition's cookie folder", "EntryId",
                convert=constant(directory)),
        ], key=("EntryId",), passthrough=False,
            events=events("cookie {name} of {domain}{path}", ("domain", "path", "name"),
                          ("last_modified", "WebCache cookie set"))))
    return defs


def build(db: EseDatabase, tables: Mapping[str, Set[str]]) -> Artifact:
    containers, errors = read_containers(db, tables)
    defs = container_defs(containers)
    defs += cookie_defs(db, tables)
    if LEAK_FILES in tables:
        defs.append(ViewDef("leaked_files", "cache files that could not be deleted",
                              LEAK_FILES, [
            _time("created", "when the file was recorded (UTC)", "CreationTime",
                  "cache file leaked"),
            _text("path", "the file's full path", "Filename"),
        ], key=("LeakId",), rename=snake_case,
            events=events("{path}", ("path",), ("created", "WebCache cache file leaked"))))
    if CONTAINERS in tables:
        defs.append(containers_def(containers))
    return Artifact(KIND, db, defs, errors=errors)
