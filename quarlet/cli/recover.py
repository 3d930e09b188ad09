"""The command `recover`: deleted records the file still holds, as JSON
Lines on stdout or one file per table, with a count per table and source
on stderr."""

from __future__ import annotations

import argparse
import math
import os
import sys
from typing import IO, Any, Dict, List, Mapping

from .arguments import Commands, add_command, add_decode_option
from .errors import CliError
from .files import (create_file_in, export_file_names, make_dirs, open_database, open_directory,
                    write_all)
from .output import json_text, lines_bytes, write
from .progress import Progress, run_in_thread

SOURCES = ("deleted", "orphan", "slack")


def sources(text: str) -> List[str]:
    """A comma-separated list of recovery sources (argparse type)."""
    names = [n.strip() for n in text.split(",") if n.strip()]
    for name in names:
        if name not in SOURCES:
            raise argparse.ArgumentTypeError("unknown source %r (choose from %s)"
                                             % (name, ", ".join(SOURCES)))
    if not names:
        raise argparse.ArgumentTypeError("no source given")
    return list(dict.fromkeys(names))


def add_parsers(commands: Commands) -> None:
    recover = add_command(
        commands, "recover", run, help="recover deleted records as JSON Lines",
        description="Write the deleted records the file still holds as JSON Lines, one "
                    "object per record: table, source, page, offset (in the file), checks "
                    "passed, the record (null for a deleted entry that holds only its "
                    "key) and the entry's key. Sources: deleted = entries flagged deleted; "
                    "orphan = entries of pages the table no longer reaches; slack = old "
                    "records in the free bytes of the table's pages. Dropped tables are "
                    "included. A summary per table (counts per source) goes to stderr.")
    recover.add_argument("table", metavar="TABLE", nargs="?", default=None,
                         help="table name (exact, case-sensitive; default: every table)")
    add_decode_option(recover)
    recover.add_argument("--source", metavar="LIST", type=sources, default=None,
                         help="comma-separated sources to search (default: "
                              "deleted,orphan,slack)")
    recover.add_argument("--out", metavar="DIR", default=None,
                         help="write one file per table, DIR/<name>.jsonl (named as export "
                              "names them; symbolic links are never followed), instead of "
                              "stdout")


def json_value(value: Any) -> Any:
    """A record value as JSON takes it: bytes as lowercase hex, dates as ISO
    8601 text, non-finite floats as 0 (as the exports write them)."""
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, float) and not math.isfinite(value):
        return 0
    if hasattr(value, "isoformat"):
        return value.isoformat()
    if isinstance(value, list):
        return [json_value(v) for v in value]
    return value


def recovered_line(item: Mapping[str, Any]) -> str:
    """One recovered record as one JSON object (record members sorted by
    name, as the exports write them)."""
    record = item["record"]
    if record is not None:
        record = {k: json_value(v) for k, v in sorted(record.items())}
    return json_text(dict(item, record=record, key=json_value(item["key"])))


class RecoverFiles:
    """One output file per table name inside an open directory, created
    without following symbolic links, named as export_file_names does."""

    def __init__(self, dir_fd: int) -> None:
        self.dir_fd = dir_fd
        self.names: List[str] = []
        self.files: Dict[str, int] = {}

    def fd(self, table: str) -> int:
        if table not in self.files:
            self.names.append(table)
            file_name = export_file_names(self.names)[-1]
            self.files[table] = create_file_in(self.dir_fd, file_name, truncate=True)
        return self.files[table]

    def write(self, table: str, data: bytes) -> None:
        write_all(self.fd(table), data)

    def close(self) -> None:
        for fd in self.files.values():
            os.close(fd)
        self.files = {}


def run(args: argparse.Namespace, out: IO[bytes]) -> None:
    db = open_database(args.database)
    progress = Progress()
    if args.table is not None:
        order = [args.table]
    else:
        order = db.get_tables()
    counts: Dict[str, Dict[str, int]] = {name: {} for name in order}
    total = [0]

    def work() -> None:
        try:
            items = db.recover(args.table, decode=args.decode, sources=args.source)
        except ValueError as error:
            raise CliError(str(error)) from None
        files = None
        dir_fd = -1
        if args.out is not None:
            make_dirs(args.out)
            dir_fd = open_directory(args.out)
            files = RecoverFiles(dir_fd)
        try:
            block: List[str] = []
            table = ""
            size = 0

            def flush() -> None:
                if not block:
                    return
                data = lines_bytes(block)
                if files is not None:
                    files.write(table, data)
                else:
                    write(out, data)
                block.clear()

            for item in items:
                name = item["table"]
                if name != table or size >= 1 << 16:
                    flush()
                    table, size = name, 0
                line = recovered_line(item)
                block.append(line)
                size += len(line)
                per = counts.setdefault(name, {})
                per[item["source"]] = per.get(item["source"], 0) + 1
                total[0] += 1
            flush()
        finally:
            if files is not None:
                files.close()
            if dir_fd >= 0:
                os.close(dir_fd)

    def tick() -> None:
        progress.show("recovering... %d records, %.0f s" % (total[0], progress.elapsed()))

    try:
        run_in_thread(work, tick)
    except BaseException:
        progress.clear()
        raise
    progress.clear()
    for name, per in counts.items():
        shown = ", ".join("%s %d" % (source, per.get(source, 0)) for source in SOURCES)
        sys.stderr.write("%s: %d recovered (%s)\n" % (name, sum(per.values()), shown))

