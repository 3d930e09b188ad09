"""Value interpretations shared by the artefact views: times, SIDs, addresses,
UTF-16 strings and names as Windows stores them in ESE columns.

Every function takes what the reader gives (or None) and never raises on
odd input: a value it cannot interpret becomes None, or, where dropping it
would hide evidence, a plain text form of its bytes.
"""

from __future__ import annotations

import datetime
import ipaddress
import math
import re
import struct
from typing import Any, Callable, Dict, List, Optional, Tuple

UTC = datetime.timezone.utc
UNIX_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=UTC)
FILETIME_EPOCH = datetime.datetime(1601, 1, 1, tzinfo=UTC)
OLE_EPOCH = datetime.datetime(1899, 12, 30, tzinfo=UTC)
# 9999-12-31 23:59:59.999999 as a FILETIME: the last instant a datetime holds.
FILETIME_MAX = 2650467743999999999
ONE_MICROSECOND = datetime.timedelta(microseconds=1)
_DOUBLE = struct.Struct("<d")
_U64 = struct.Struct("<Q")


def filetime(value: Any) -> Optional[datetime.datetime]:
    """A FILETIME (100 ns units since 1601-01-01 UTC) as an aware UTC datetime.
    0 means "not set" and gives None, as does anything negative, past year
    9999 or not an integer."""
    if type(value) is not int or value <= 0 or value > FILETIME_MAX:
        return None
    return FILETIME_EPOCH + datetime.timedelta(microseconds=value // 10)


class Native:
    """A conversion the reader also runs itself, by `name`, when it makes a
    view's rows (see the engine's row program); called from Python it is
    `function`. Both give the same values, and None for None. `tables`
    holds what the reader's own conversion reads besides the value (the
    arrays of a name map), a function that gives it when a view's rows
    start, or None."""

    def __init__(self, name: str, function: Callable[[Any], Any], tables: Any = None) -> None:
        self.name = name
        self.function = function
        self.tables = tables

    def __call__(self, value: Any) -> Any:
        return self.function(value)


def _filetime_bytes_set(value: Any, byteorder: str) -> Optional[datetime.datetime]:
    """A FILETIME in exactly 8 bytes where 0 and 1 mean "not set" (1 is a
    marker, not a time)."""
    if type(value) is bytes and len(value) == 8:
        number = int.from_bytes(value, byteorder)  # type: ignore[arg-type]
        if 1 < number <= FILETIME_MAX:
            return FILETIME_EPOCH + datetime.timedelta(microseconds=number // 10)
    return None


def ole_date(days: float) -> Optional[datetime.datetime]:
    """An OLE automation date (days since 1899-12-30; before it, the fraction
    still counts forward from midnight) as an aware UTC datetime, or None
    outside years 1..9999 or for a value that is not a finite number."""
    if not math.isfinite(days):
        return None
    whole = math.trunc(days)
    fraction = abs(days - whole)
    try:
        day = OLE_EPOCH + datetime.timedelta(days=whole)
        return day + datetime.timedelta(microseconds=round(fraction * 86400e6))
    except OverflowError:
        return None


# FILETIMEs as integers, and in 8 bytes little- or big-endian (0 and 1: not
# set), converted by the reader itself on a view's fast path.
FILETIME = Native("filetime", filetime)
FILETIME_LE = Native("filetime_le", lambda value: _filetime_bytes_set(value, "little"))
FILETIME_BE = Native("filetime_be", lambda value: _filetime_bytes_set(value, "big"))


def date_time(value: Any) -> Optional[datetime.datetime]:
    """A DateTime column's value as an aware UTC datetime.

    The decoded view gives datetimes (naive ones are UTC). A raw 64-bit value
    is either the bits of an OLE date or, as some applications write, a
    FILETIME: an OLE date of years 1900..9999 read as an unsigned integer is
    above 4e18, a FILETIME of years 1601..9999 below 2.7e18, so the size
    tells them apart. 0 means "not set"."""
    if isinstance(value, datetime.datetime):
        return value if value.tzinfo is not None else value.replace(tzinfo=UTC)
    if type(value) is not int or value == 0:
        return None
    if 0 < value <= FILETIME_MAX:
        return filetime(value)
    return ole_date(_DOUBLE.unpack(_U64.pack(value & 0xFFFFFFFFFFFFFFFF))[0])


def microseconds(value: datetime.datetime) -> int:
    """Microseconds since 1970-01-01 UTC (an Arrow timestamp's unit)."""
    return (value - UNIX_EPOCH) // ONE_MICROSECOND


def sid(value: Any, last_big_endian: bool = False) -> Optional[str]:
    """A binary SID as `S-1-5-21-...` text.

    Layout: revision, sub-authority count n, a 48-bit big-endian identifier
    authority, then n 32-bit little-endian sub-authorities (Active Directory
    stores the last one big-endian: `last_big_endian`). Bytes after the n-th
    sub-authority are ignored; a value too short for its count gives None.
    The authority is written in hexadecimal from 2**32 on, as Windows does."""
    if not isinstance(value, (bytes, bytearray)) or len(value) < 8:
        return None
    count = value[1]
    if len(value) < 8 + 4 * count:
        return None
    authority = int.from_bytes(value[2:8], "big")
    parts = ["S", str(value[0]), str(authority) if authority < 1 << 32 else "0x%012X" % authority]
    for i in range(count):
        order = "big" if last_big_endian and i == count - 1 else "little"
        parts.append(str(int.from_bytes(value[8 + 4 * i:12 + 4 * i], order)))  # type: ignore[arg-type]
    return "-".join(parts)


def ip_address(value: Any) -> Optional[str]:
    """An address stored in network order: 4 bytes IPv4, 16 bytes IPv6 (RFC
    5952 text). Any other length is kept as lowercase hex digits, so that
    nothing is lost; an empty value is None."""
    if isinstance(value, str):
        return text(value)
    if not isinstance(value, (bytes, bytearray)) or not value:
        return None
    if len(value) == 4:
        return str(ipaddress.IPv4Address(bytes(value)))
    if len(value) == 16:
        return str(ipaddress.IPv6Address(bytes(value)))
    return bytes(value).hex()


def text(value: Any) -> Optional[str]:
    """Application text without the trailing U+0000 that most writers add
    (fixed buffers are padded with many). Bytes are read as UTF-16LE."""
    if isinstance(value, str):
        return value.rstrip("\x00")
    if isinstance(value, (bytes, bytearray)):
        return utf16(value)
    return None


# Text columns on a view's fast path: the reader passes a str that needs no
# change through itself.
TEXT = Native("text", text)


def utf16(value: Any) -> Optional[str]:
    """UTF-16LE bytes as text, trailing U+0000 removed; a lone last byte and
    unpaired surrogates become U+FFFD."""
    if not isinstance(value, (bytes, bytearray)):
        return text(value) if isinstance(value, str) else None
    return bytes(value).decode("utf-16-le", "replace").rstrip("\x00")


def utf16_strings(value: Any) -> Optional[List[str]]:
    """A UTF-16LE multi-string (strings separated by U+0000) as a list."""
    whole = utf16(value)
    if whole is None:
        return None
    return [part for part in whole.split("\x00") if part]


def signed16(value: Any) -> Optional[int]:
    """An unsigned 16-bit value that holds a signed one (a time-zone bias)."""
    if type(value) is not int:
        return None
    bits = int(value) & 0xFFFF
    return bits - 0x10000 if bits & 0x8000 else bits


def guid(value: Any) -> Optional[str]:
    """GUID text in lowercase, without braces."""
    if not isinstance(value, str):
        return None
    return value.strip().strip("{}").lower() or None


def wmi_datetime(value: Any) -> Optional[datetime.datetime]:
    """WMI's CIM_DATETIME text, `yyyymmddHHMMSS.ffffff+UUU` (local time and
    its offset from UTC in minutes), as an aware UTC datetime."""
    value = text(value)
    if not value or len(value) < 22 or value[14] != "." or value[21] not in "+-":
        return None
    try:
        local = datetime.datetime.strptime(value[:21], "%Y%m%d%H%M%S.%f")
        offset = int(value[21:])
    except ValueError:
        return None
    if abs(offset) >= 24 * 60:
        return None
    zone = datetime.timezone(datetime.timedelta(minutes=offset))
    return local.replace(tzinfo=zone).astimezone(UTC)


def byte_text(value: Any) -> Optional[str]:
    """8-bit text (HTTP headers, cookie names and values) without trailing
    U+0000: UTF-8 where the bytes are UTF-8, else Latin-1, which keeps every
    byte as one character, so nothing is lost."""
    if isinstance(value, str):
        return value.rstrip("\x00")
    if not isinstance(value, (bytes, bytearray)):
        return None
    data = bytes(value).rstrip(b"\x00")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return data.decode("latin-1")


_UTF16_RUN = re.compile("[^\x00-\x1f\x7f-\x9f\ufffd\ud800-\udfff]{%d,}")


def utf16_carve(value: Any, minimum: int = 4) -> Optional[List[str]]:
    """The UTF-16LE strings inside a binary structure of unknown layout, in
    the order they stand: runs of at least `minimum` printable characters at
    either byte alignment, of which at least half are ASCII (paths, URLs and
    names are; binary fields read as UTF-16 seldom are). Bytes without such
    a run give an empty list; a value that is not bytes gives None."""
    if not isinstance(value, (bytes, bytearray)):
        return None
    data = bytes(value)
    pattern = _UTF16_RUN.pattern % max(1, minimum)
    found = []
    for start in (0, 1):
        end = len(data) - (len(data) - start) % 2
        whole = data[start:end].decode("utf-16-le", "replace")
        for run in re.finditer(pattern, whole):
            text = run.group()
            if 2 * sum(1 for ch in text if ch < "\x80") >= len(text):
                # The offset orders the two alignments' strings (a surrogate
                # pair counts as one unit: an approximation that keeps order).
                found.append((start + 2 * run.start(), text))
    return [text for _, text in sorted(found)]


# A UTF-16LE code unit that is taken as text when strings are carved out of
# binary data: printable Latin-1, or a letter of the Latin Extended, IPA,
# Greek or Cyrillic blocks (U+0100..U+04FF). Other blocks (CJK among them)
# are left out on purpose: almost any pair of bytes is a CJK character, so
# binary data would read as text, and an ASCII string read one byte off
# would come out a second time as CJK.
_UTF16_UNIT = rb"(?:[\x20-\x7e\xa0-\xff]\x00|[\x00-\xff][\x01-\x04])"
_UTF16_RUNS: Dict[int, "re.Pattern[bytes]"] = {}


def utf16_runs(value: Any, min_chars: int = 3) -> List[Tuple[int, str]]:
    """The UTF-16LE strings of at least `min_chars` characters inside binary
    data, at even or odd offsets, with their byte offsets, in order. A run
    with no ASCII character is dropped (small integers such as 0x0101 would
    otherwise read as letters). Only carving: nothing is assumed about the
    layout around the strings."""
    if not isinstance(value, (bytes, bytearray)):
        return []
    pattern = _UTF16_RUNS.get(min_chars)
    if pattern is None:
        pattern = re.compile(_UTF16_UNIT + b"{%d,}" % max(1, min_chars))
        _UTF16_RUNS[min_chars] = pattern
    out = []
    for m in pattern.finditer(value):
        text = m.group().decode("utf-16-le")
        if any(ch < "\x7f" for ch in text):
            out.append((m.start(), text))
    return out
