"""The commands `tables` (table names, of one file or many), `schema` (the
columns of a table) and `dump` (one table to stdout as JSON Lines)."""

from __future__ import annotations

import argparse
import os
from typing import IO, List

from .arguments import Commands, add_command, add_decode_option, add_jobs_option
from .errors import CliError, FilesFailed, report_failure
from .files import find_databases, open_database
from .output import json_text, tsv_field, write_lines
from .pool import run_per_file
from .progress import FilesProgress
from .streams import dump_table


def add_parsers(commands: Commands) -> None:
    tables = add_command(
        commands, "tables", run_tables, database=False, help="list the tables",
        description="Print the table names, one per line, in catalog order. With several "
                    "files or a folder (searched recursively for files that start like an ESE "
                    "database), each line is the file's path, a tab and the table name.")
    tables.add_argument("sources", metavar="DB", nargs="+",
                        help="ESE database files or folders (opened read-only)")
    add_jobs_option(tables)

    schema = add_command(
        commands, "schema", run_schema, help="describe the columns of a table",
        description="Print the columns of TABLE: id, name, type and whether it is nullable.")
    schema.add_argument("table", metavar="TABLE", help="table name (exact, case-sensitive)")
    schema.add_argument("--json", action="store_true",
                        help="one JSON object per column instead of aligned text")

    dump = add_command(
        commands, "dump", run_dump, help="write one table to stdout as JSON Lines",
        description="Write every record of TABLE to stdout as JSON Lines, byte for byte what "
                    "export writes to a file.")
    dump.add_argument("table", metavar="TABLE", help="table name (exact, case-sensitive)")
    add_decode_option(dump)


def list_tables(path: str) -> List[str]:
    """The table names of one file (a task of the worker processes)."""
    return open_database(path).get_tables()


def run_tables(args: argparse.Namespace, out: IO[bytes]) -> None:
    sources: List[str] = args.sources
    if len(sources) == 1 and not os.path.isdir(sources[0]):
        write_lines(out, list_tables(sources[0]))
        return
    paths = find_databases(sources)
    progress = FilesProgress(paths)
    results = run_per_file(list_tables, paths, args.jobs, progress)
    progress.finish("tables")
    failed = False
    for path, (tables, error) in results:
        if error is not None:
            report_failure(path, error)
            failed = True
            continue
        write_lines(out, ("%s\t%s" % (path, tsv_field(t)) for t in tables or []))
    if failed:
        raise FilesFailed()


def run_schema(args: argparse.Namespace, out: IO[bytes]) -> None:
    db = open_database(args.database)
    try:
        columns = db.get_table_schema(args.table)
    except ValueError as error:
        raise CliError(str(error)) from None
    if args.json:
        write_lines(out, (json_text(column) for column in columns))
        return
    rows = [("ID", "NAME", "TYPE", "NULLABLE")]
    rows += [(str(c["id"]), c["name"], c["type"], "yes" if c["nullable"] else "no")
             for c in columns]
    widths = [max(len(row[i]) for row in rows) for i in range(3)]
    write_lines(out, [("%s  %s  %s  %s" % (row[0].rjust(widths[0]), row[1].ljust(widths[1]),
                                           row[2].ljust(widths[2]), row[3])).rstrip()
                      for row in rows])


def run_dump(args: argparse.Namespace, out: IO[bytes]) -> None:
    dump_table(open_database(args.database), args.table, out, args.decode)
