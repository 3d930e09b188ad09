# Type information for the extension module quarlet: the EseDatabase class,
# its methods and the dictionaries they return.
from datetime import datetime
from typing import (
    Dict,
    Iterable,
    Iterator,
    List,
    Literal,
    Optional,
    TypedDict,
    Union,
    final,
    overload,
    type_check_only,
)

__version__: str

# A value of a record: None, bool, int (integers, DateTime and Currency as the
# raw stored integer), float, str (text and GUIDs) or bytes (binary, long
# binary, multi-valued and compressed data, undecoded).
_Value = Union[None, bool, int, float, str, bytes]

# A value of iter_table(..., decode=True): decompressed and decoded values,
# DateTime as a naive UTC datetime (the raw integer outside 1601..9999),
# Long long and Currency signed, multi-valued columns as lists of decoded
# elements.
_DecodedScalar = Union[None, bool, int, float, str, bytes, datetime]
_DecodedValue = Union[_DecodedScalar, List[_DecodedScalar]]

# The carving scopes of carve_utf16le_strings_scoped.
_Scope = Literal["slack", "all", "tag_data", "lv_all", "lv_slack"]

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

@final
@type_check_only
class ArrowTable:
    """One table's records as Arrow record batches (the Arrow PyCapsule
    interface); returned by EseDatabase.arrow()."""

    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object: ...
    def __arrow_c_schema__(self) -> object: ...
    @property
    def out_of_form(self) -> Dict[str, int]: ...

@final
class EseDatabase:
    """Python wrapper for ESE database."""

    def __new__(cls, path: str) -> "EseDatabase": ...
    @property
    def path(self) -> str: ...
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
    def __enter__(self) -> "EseDatabase": ...
    def __exit__(self, _exc_type: object, _exc_value: object, _traceback: object) -> Literal[False]: ...
