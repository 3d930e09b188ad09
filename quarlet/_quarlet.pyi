# Type information for the compiled core quarlet._quarlet, re-exported by the
# package quarlet: the EseDatabase class, its methods and the dictionaries
# they return; and ArrowRows, which the artefact views use.
import io
import mmap
import os
from collections.abc import Callable
from datetime import datetime
from typing import (
    IO,
    Any,
    Dict,
    Iterable,
    Iterator,
    List,
    Literal,
    Optional,
    Protocol,
    Sequence,
    Tuple,
    TypedDict,
    Union,
    final,
    overload,
    type_check_only,
)

__version__: str

def _sort_pairs(keys: bytes, targets: bytes) -> Tuple[bytes, bytes]: ...

# A value of a record: None, bool, int (integers, DateTime and Currency as the
# raw stored integer), float, str (text and GUIDs) or bytes (binary, long
# binary, multi-valued and compressed data, undecoded).
_Value = Union[None, bool, int, float, str, bytes]

# A value of iter_table(..., decode=True): decompressed and decoded values,
# DateTime as a timezone-aware UTC datetime (an OLE date, or a FILETIME where
# the application stored one; the raw integer when it is no date of
# 1601..9999), text without trailing U+0000, Long long and Currency signed,
# multi-valued columns as lists of decoded elements.
_DecodedScalar = Union[None, bool, int, float, str, bytes, datetime]
_DecodedValue = Union[_DecodedScalar, List[_DecodedScalar]]

# A binary file object EseDatabase reads on demand: readinto or read, and
# seek and tell when it can (a stream that cannot seek is read through once).
@type_check_only
class _ReadsInto(Protocol):
    def readinto(self, buffer: memoryview, /) -> Optional[int]: ...

@type_check_only
class _Reads(Protocol):
    def read(self, size: int, /) -> bytes: ...

# What EseDatabase opens: a path (str, bytes shorter than 4096 bytes without
# NUL, os.PathLike), the database's bytes in a buffer (longer bytes,
# bytearray, memoryview, mmap), or a binary file object.
_DatabaseSource = Union[
    str,
    bytes,
    "os.PathLike[str]",
    "os.PathLike[bytes]",
    bytearray,
    memoryview,
    mmap.mmap,
    IO[bytes],
    io.RawIOBase,
    io.BufferedIOBase,
    _ReadsInto,
    _Reads,
]

# The carving scopes of carve_utf16le_strings_scoped.
_Scope = Literal["slack", "all", "tag_data", "lv_all", "lv_slack"]

# The sources of recover() and the checks a recovered record passed.
_Source = Literal["deleted", "orphan", "slack"]
_Check = Literal["header", "variable", "tagged", "checksum", "key_not_live", "node_key"]

@type_check_only
class RecoveredRecord(TypedDict):
    """One item of recover(), keys in this order; `offset` is the record's
    byte offset in the file. The record holds raw values, or decoded ones
    with decode=True; it is None for a deleted entry that holds only its
    key. `key` is the entry's full key (None for slack records)."""

    table: str
    source: _Source
    page: int
    offset: int
    checks: List[_Check]
    record: Optional[Dict[str, _DecodedValue]]
    key: Optional[bytes]

@type_check_only
class ColumnSchema(TypedDict):
    """One column of get_table_schema(), keys in this order."""

    name: str
    type: str
    id: int
    nullable: bool

@type_check_only
class CarveHit(TypedDict):
    """One carved string, keys in this order. Offsets count from the first
    byte of the page; the scanned region is [slack_start, slack_end)."""

    page: int
    offset: int
    slack_start: int
    slack_end: int
    region_kind: Literal["slack", "all", "tag_data"]
    page_flags: int
    page_type: Literal["long_value", "space_tree", "index", "leaf", "branch"]
    table: Optional[str]
    text: str

_State = Union[
    Literal["just created", "dirty shutdown", "clean shutdown", "being converted", "force detach"],
    int,
]

@type_check_only
class LogPosition(TypedDict):
    """A position in the transaction logs: log generation, sector, byte."""

    generation: int
    sector: int
    offset: int

@type_check_only
class _HeaderCommon(TypedDict):
    file_type: Union[Literal["database", "streaming file"], int]
    state: _State
    format_version: int
    format_revision: int
    creation_format_version: int
    creation_format_revision: int
    page_size: int
    total_pages: int
    database_time: int
    last_object_id: int
    windows_version: Optional[str]
    windows_service_pack: int
    consistent_position: LogPosition
    attach_position: LogPosition
    detach_position: LogPosition
    required_log_low: int
    required_log_high: int
    committed_log: int
    repair_count: int
    header_checksum: int
    header_checksum_computed: int
    header_checksum_ok: bool
    shadow_checksum_ok: Optional[bool]
    shadow_matches: Optional[bool]

@type_check_only
class HeaderFacts(_HeaderCommon):
    """get_header(): times as naive UTC datetimes (None when not set or not
    a real date); the stored bytes of the latter in invalid_times."""

    creation_time: Optional[datetime]
    consistent_time: Optional[datetime]
    attach_time: Optional[datetime]
    detach_time: Optional[datetime]
    repair_time: Optional[datetime]
    invalid_times: Dict[str, bytes]

@type_check_only
class HeaderFactsText(_HeaderCommon):
    """The header facts of check(): times as ISO 8601 text, the stored bytes
    of invalid times as hexadecimal text."""

    creation_time: Optional[str]
    consistent_time: Optional[str]
    attach_time: Optional[str]
    detach_time: Optional[str]
    repair_time: Optional[str]
    invalid_times: Dict[str, str]

@type_check_only
class BadPage(TypedDict):
    """A page whose checksum fails: its failing blocks (0 to 3), the owner id
    it carries, the index in 'trees' of the checked tree of that owner (None
    when none) and whether a tree walk read it."""

    page: int
    blocks: List[int]
    owner: int
    tree: Optional[int]
    reached: bool

@type_check_only
class PageChecks(TypedDict):
    checked: int
    sound: int
    unused: int
    bad: int
    no_checksum: int
    unowned: int
    bad_pages: List[BadPage]
    no_checksum_pages: List[int]

@type_check_only
class PageOwner(TypedDict):
    page: int
    owner: int

@type_check_only
class PageLink(TypedDict):
    page: int
    next: int

@type_check_only
class BadBranchEntry(TypedDict):
    page: int
    tag: int
    error: str

@type_check_only
class TreeCheck(TypedDict):
    """What the walk of one tree met."""

    table: Optional[str]
    name: str
    role: Literal["catalog", "data", "long_value", "index"]
    primary_index: Optional[str]
    root: int
    owner: int
    pages: int
    branch_pages: int
    leaf_pages: int
    leaf_entries: int
    live: int
    deleted: int
    rejected: int
    stale: int
    foreign_pages: List[PageOwner]
    link_mismatches: List[PageLink]
    unlisted_pages: List[int]
    orphan_pages: List[int]
    freed_pages: List[int]
    bad_pages: List[int]
    unreadable_pages: List[int]
    bad_branch_entries: List[BadBranchEntry]
    error: Optional[str]
    anomalous: bool

@type_check_only
class CheckReport(TypedDict):
    """check(): plain dicts, lists and scalars (json.dumps takes it)."""

    header: HeaderFactsText
    pages: PageChecks
    trees: List[TreeCheck]

@final
@type_check_only
class ArrowTable:
    """One table's records as Arrow record batches (the Arrow PyCapsule
    interface); returned by EseDatabase.arrow()."""

    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object: ...
    def __arrow_c_schema__(self) -> object: ...
    @property
    def out_of_form(self) -> Dict[str, int]: ...

# A field of ArrowRows: (name, type) or (name, type, metadata); the type is
# one of "bool", "int64", "uint64", "float64", "utf8", "binary",
# "timestamp_us_utc", "list_utf8" (checked when the object is made).
_RowField = Union[Tuple[str, str], Tuple[str, str, Optional[Dict[str, str]]]]

@final
class ArrowRows:
    """Rows computed in Python as Arrow record batches (the Arrow PyCapsule
    interface). Each stream calls batches() once; a batch holds one list of
    values per field, None for null."""

    def __new__(
        cls,
        fields: Sequence[_RowField],
        batches: Callable[[], Iterable[Sequence[Sequence[object]]]],
    ) -> "ArrowRows": ...
    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object: ...
    def __arrow_c_schema__(self) -> object: ...

@final
class EseDatabase:
    """Python wrapper for ESE database."""

    def __new__(cls, path: _DatabaseSource) -> "EseDatabase": ...
    @property
    def path(self) -> Optional[str]: ...
    @property
    def closed(self) -> bool: ...
    @property
    def page_size(self) -> int: ...
    @property
    def total_pages(self) -> int: ...
    def get_tables(self) -> List[str]: ...
    def read_table(self, table_name: str) -> List[Dict[str, _Value]]: ...
    @overload
    def iter_table(
        self,
        table_name: str,
        decode: Literal[False] = False,
        columns: Optional[Iterable[str]] = None,
    ) -> Iterator[Dict[str, _Value]]: ...
    @overload
    def iter_table(
        self, table_name: str, decode: object, columns: Optional[Iterable[str]] = None
    ) -> Iterator[Dict[str, _DecodedValue]]: ...
    def arrow(
        self,
        table_name: str,
        decode: object = False,
        columns: Optional[Iterable[str]] = None,
        batch_size: int = 65536,
    ) -> ArrowTable: ...
    def _view_rows(
        self,
        table_name: str,
        columns: Iterable[str],
        outputs: Sequence[Tuple[str, Optional[str], object, object]],
        key_prefix: Optional[str],
        key_column: Optional[str],
        batch_size: int = 0,
        where: Optional[Tuple[str, Optional[str], object, object]] = None,
    ) -> Iterator[Any]: ...
    def get_table_schema(self, table_name: str) -> List[ColumnSchema]: ...
    def export_table(self, table_name: str, output_path: str) -> None: ...
    def export_all(self, output_dir: str) -> None: ...
    def export_table_decoded(self, table_name: str, output_path: str) -> None: ...
    def export_all_decoded(self, output_dir: str) -> None: ...
    def export_table_csv(
        self,
        table_name: str,
        output_path: str,
        decode: object = False,
        excel_safe: object = False,
    ) -> None: ...
    def carve_utf16le_strings(
        self, needle: Optional[str] = None, min_chars: int = 6, max_hits: int = 1000
    ) -> List[CarveHit]: ...
    def carve_utf16le_strings_scoped(
        self,
        scope: _Scope,
        needle: Optional[str] = None,
        min_chars: int = 6,
        max_hits: int = 1000,
    ) -> List[CarveHit]: ...
    def recover(
        self,
        table_name: Optional[str] = None,
        decode: object = False,
        sources: Union[None, _Source, Iterable[_Source]] = None,
    ) -> Iterator[RecoveredRecord]: ...
    def get_header(self) -> HeaderFacts: ...
    def check(self, table_name: Optional[str] = None) -> CheckReport: ...
    def close(self) -> None: ...
    def __enter__(self) -> "EseDatabase": ...
    def __exit__(self, _exc_type: object, _exc_value: object, _traceback: object) -> Literal[False]: ...
