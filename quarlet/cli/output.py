"""Writing to stdout: blocks of UTF-8 lines, compact JSON and TSV cells, and
a closed pipe turned into BrokenOutput."""

from __future__ import annotations

import json
from typing import IO, Any, Iterable, List

from .errors import BrokenOutput


def write(out: IO[bytes], data: bytes) -> None:
    """Writes to stdout; a closed pipe becomes BrokenOutput."""
    try:
        out.write(data)
    except BrokenPipeError:
        raise BrokenOutput() from None


def flush(out: IO[bytes]) -> None:
    """Flushes stdout; a closed pipe becomes BrokenOutput."""
    try:
        out.flush()
    except BrokenPipeError:
        raise BrokenOutput() from None


def lines_bytes(lines: List[str]) -> bytes:
    """Text lines as UTF-8 bytes, each ended by LF (names the module could
    not decode keep their bytes)."""
    return ("\n".join(lines) + "\n").encode("utf-8", "surrogateescape")


def write_lines(out: IO[bytes], lines: Iterable[str]) -> None:
    """Writes text lines (UTF-8, LF) in blocks."""
    block: List[str] = []
    size = 0
    for line in lines:
        block.append(line)
        size += len(line)
        if size >= 1 << 16:
            write(out, lines_bytes(block))
            block, size = [], 0
    if block:
        write(out, lines_bytes(block))


def json_text(value: Any) -> str:
    """`value` as compact JSON text, non-ASCII characters as they are."""
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def tsv_field(value: object) -> str:
    """A TSV cell: None is empty; tab, LF and CR (possible only in table
    names) are written as \\t, \\n, \\r."""
    if value is None:
        return ""
    text = str(value)
    if "\t" in text or "\n" in text or "\r" in text:
        text = text.replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")
    return text
