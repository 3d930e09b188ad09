"""The module's exports write to a path; these run them into a descriptor
opened here instead: a pipe copied to stdout (dump) or a file the command
created itself. Where a descriptor has no path, through a temporary file."""

from __future__ import annotations

import os
import tempfile
import threading
from typing import IO, Callable, Dict, Optional

from quarlet import EseDatabase

from .errors import CliError
from .files import write_all
from .output import flush, write


def _fd_path(fd: int) -> Optional[str]:
    """A path that opens descriptor `fd` again (/dev/fd), or None."""
    for base in ("/proc/self/fd", "/dev/fd"):
        path = "%s/%d" % (base, fd)
        if os.path.exists(path):
            return path
    return None


def export_table(db: EseDatabase, decode: bool) -> Callable[[str, str], None]:
    """The export of one table: raw values, or the decoded view."""
    return db.export_table_decoded if decode else db.export_table


def _copy_fd(fd: int, out: IO[bytes]) -> None:
    while True:
        chunk = os.read(fd, 1 << 20)
        if not chunk:
            return
        write(out, chunk)


def _export_via_temp_file(export: Callable[[str], None], copy: Callable[[IO[bytes]], None]) -> None:
    """Runs `export(path)` into a file of a private temporary directory and
    hands the file the module wrote to `copy`, also when the export failed
    part way (its complete lines, as with a direct export), before the error
    goes on. For systems where a descriptor has no path."""
    with tempfile.TemporaryDirectory(prefix="quarlet-") as tmp:
        path = os.path.join(tmp, "table.jsonl")
        try:
            export(path)
        finally:
            if os.path.exists(path):  # the table was started
                with open(path, "rb") as f:
                    copy(f)


def dump_table(db: EseDatabase, table: str, out: IO[bytes], decode: bool = False) -> None:
    """Streams the export of `table` to `out`: the module writes into a pipe
    (through its /proc path) on a worker thread while this thread copies the
    pipe to `out`, so the bytes are exactly those of export_table. Falls back
    to a temporary file where descriptors have no path."""
    flush(out)
    read_fd, write_fd = os.pipe()
    target = _fd_path(write_fd)
    if target is None:
        os.close(read_fd)
        os.close(write_fd)
        _dump_via_file(db, table, out, decode)
        return
    outcome: Dict[str, BaseException] = {}

    def work() -> None:
        try:
            export_table(db, decode)(table, target)
        except BaseException as error:
            outcome["error"] = error
        finally:
            os.close(write_fd)  # with the module's own descriptor closed: EOF

    worker = threading.Thread(target=work, name="quarlet-dump", daemon=True)
    worker.start()
    try:
        _copy_fd(read_fd, out)
        flush(out)
    finally:
        os.close(read_fd)  # a writer still running now fails with EPIPE and stops
        worker.join()
    if "error" in outcome:
        error = outcome["error"]
        if isinstance(error, (OSError, ValueError)):
            raise CliError(str(error)) from None
        raise error


def _dump_via_file(db: EseDatabase, table: str, out: IO[bytes], decode: bool) -> None:
    try:
        _export_via_temp_file(lambda path: export_table(db, decode)(table, path),
                              lambda f: _copy_fd(f.fileno(), out))
    except (OSError, ValueError) as error:
        raise CliError(str(error)) from None
    flush(out)


def export_into_file(export: Callable[[str], None], fd: int) -> None:
    """Runs `export(path)` so that it writes into the open file `fd`: through
    the descriptor's own path, so the module opens (and truncates) the very
    file opened here, or else through a temporary file copied into it."""
    target = _fd_path(fd)
    if target is not None:
        export(target)
        return

    def copy(f: IO[bytes]) -> None:
        os.ftruncate(fd, 0)
        while True:
            chunk = f.read(1 << 20)
            if not chunk:
                return
            write_all(fd, chunk)

    _export_via_temp_file(export, copy)
