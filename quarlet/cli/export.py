"""The command `export`: tables written as JSON Lines, CSV or Parquet files,
from one database or, by worker processes, from many."""

from __future__ import annotations

import argparse
import functools
import os
from typing import IO, List, Optional, Sequence

from quarlet import EseDatabase

from .arguments import Commands, add_command, add_decode_option, add_jobs_option
from .errors import CliError, FilesFailed, UsageError, report_failure
from .files import (create_file_in, create_output_file, export_file_names, find_sources,
                    make_dirs, open_database, open_directory, output_file_names,
                    source_folder_names)
from .formats import (EXTENSIONS, FORMATS, report_out_of_form, require_pyarrow, write_csv,
                      write_parquet)
from .manifest import MANIFEST_NAME, Manifest, SourceResult, facts_meanwhile, source_result
from .pool import run_per_file
from .progress import ExportMonitor, FilesProgress, Progress, run_in_thread
from .streams import export_into_file, export_table


def add_parsers(commands: Commands) -> None:
    export = add_command(
        commands, "export", run, database=False,
        help="write tables as JSON Lines, CSV or Parquet files",
        usage="%(prog)s [options] DB OUTDIR [TABLE ...]\n"
              "       %(prog)s [options] -o OUTDIR DB [DB ...]",
        description="Write each table to OUTDIR/<name>.<ext> (created with its parents). "
                    "Without TABLE arguments every table is written; '/', '\\' and NUL in "
                    "a name become '_', a name already used gets _2, _3, ..., and a name "
                    "too long for the file system is cut. A symbolic link at a file's name is "
                    "never followed: the export stops there. With -o, or when DB is a folder, "
                    "every DB file and every ESE database found in DB folders (recursively, "
                    "by the file's signature, not its name) is exported to "
                    "OUTDIR/<source>/<name>.<ext> by parallel worker processes, <source> "
                    "being the file's path below the folder given with '/' as '_' (the file "
                    "name for a file given); OUTDIR/manifest.json names each source's path, "
                    "size, SHA-256, kind and state and the files written from it. A file "
                    "that fails is reported on stderr and the others go on (exit status 1).")
    export.add_argument("paths", metavar="DB", nargs="+",
                        help="database file or folder, then OUTDIR and TABLEs (without -o); "
                             "database files and folders (with -o)")
    export.add_argument("-o", "--output", metavar="OUTDIR", default=None,
                        help="output directory; every positional argument is then a source")
    export.add_argument("--table", metavar="TABLE", action="append", default=[],
                        help="a table to write (repeatable; default: all)")
    export.add_argument("--format", choices=FORMATS, default="jsonl",
                        help="jsonl (default), csv (RFC 4180, header row) or parquet (needs "
                             "the extra quarlet[arrow])")
    export.add_argument("--excel-safe", action="store_true",
                        help="csv: write a text cell that starts with =, +, -, @, tab or "
                             "carriage return with a leading ' so spreadsheets do not read it "
                             "as a formula")
    add_decode_option(export)
    add_jobs_option(export)


class ExportJob:
    """What to write for each database: format, view and tables."""

    def __init__(self, fmt: str, decode: bool, excel_safe: bool, tables: Sequence[str]) -> None:
        self.format = fmt
        self.decode = decode
        self.excel_safe = excel_safe
        self.tables = list(tables)


def run(args: argparse.Namespace, out: IO[bytes]) -> None:
    paths: List[str] = args.paths
    if args.output is None:
        if len(paths) < 2:
            raise UsageError("export needs DB and OUTDIR (or -o OUTDIR)")
        sources, outdir, tables = paths[:1], paths[1], paths[2:] + args.table
    else:
        sources, outdir, tables = paths, args.output, list(args.table)
    job = ExportJob(args.format, args.decode, args.excel_safe, tables)
    if args.output is None and not os.path.isdir(sources[0]):
        export_database(sources[0], outdir, job, Progress())
        return
    found = find_sources(sources)
    dirs = source_folder_names(found, reserved=[MANIFEST_NAME])
    make_dirs(outdir)
    manifest = Manifest(outdir, args.argv)
    work = [(f.path, os.path.join(outdir, d), job) for f, d in zip(found, dirs)]
    progress = FilesProgress([f.path for f in found])
    failed = False
    for (path, (result, failure)), item in zip(
            run_per_file(export_source, work, args.jobs, progress), work):
        manifest.add_result(path, item[1], result, failure)
        if failure is not None:
            report_failure(path, failure)
            failed = True
    manifest.write()
    progress.finish("export")
    if failed:
        raise FilesFailed()


def export_source(path: str, outdir: str, job: ExportJob) -> SourceResult:
    """Exports one database of a run over several (in a worker); what the
    manifest says of it."""
    facts = facts_meanwhile(path)
    db = open_database(path)
    return source_result(path, db, export_database(path, outdir, job, db=db), facts=facts)


def export_database(path: str, outdir: str, job: ExportJob,
                    progress: Optional[Progress] = None,
                    db: Optional[EseDatabase] = None) -> List[str]:
    """Exports the tables of one database into `outdir` (created with its
    parents); the paths of the files it writes. Raises CliError. Without
    `progress` (in a worker), no status line is shown."""
    if db is None:
        db = open_database(path)
    if progress is None:
        progress = Progress()
        progress.enabled = False
    if job.format != "jsonl":
        return export_columnar(db, outdir, job)
    try:
        if not job.tables:
            names = db.get_tables()
            paths = [os.path.join(outdir, f) for f in export_file_names(names)]
            export_all = db.export_all_decoded if job.decode else db.export_all
            work = functools.partial(export_all, outdir)
        else:
            wanted = checked_tables(db, job.tables)
            make_dirs(outdir)
            files = export_file_names(wanted)
            paths = [os.path.join(outdir, f) for f in files]
            work = functools.partial(export_named, db, wanted, outdir, files, job.decode)
        monitor = ExportMonitor(paths, progress)
        run_in_thread(work, monitor.tick)
    except (OSError, ValueError) as error:
        progress.clear()
        raise CliError(str(error)) from None
    except BaseException:
        progress.clear()
        raise
    monitor.finish()
    return paths


def export_named(db: EseDatabase, tables: Sequence[str], outdir: str, files: Sequence[str],
                 decode: bool) -> None:
    """Writes each table into its file of `outdir` as JSON Lines. Every file
    is created here, inside the one directory opened first and never through
    a symbolic link (as export_all does); the module then writes the file
    through its descriptor."""
    export_one = export_table(db, decode)
    dir_fd = open_directory(outdir)
    try:
        for name, file in zip(tables, files):
            fd = create_file_in(dir_fd, file, truncate=False)  # the export truncates it
            try:
                export_into_file(functools.partial(export_one, name), fd)
            finally:
                os.close(fd)
    finally:
        os.close(dir_fd)


def checked_tables(db: EseDatabase, tables: Sequence[str]) -> List[str]:
    """Each named table once, in the given order; CliError for one the
    database does not have."""
    known = set(db.get_tables())
    wanted = list(dict.fromkeys(tables))
    for name in wanted:
        if name not in known:
            raise CliError("Table not found: %s" % name)
    return wanted


def export_columnar(db: EseDatabase, outdir: str, job: ExportJob) -> List[str]:
    """Writes each table as CSV or Parquet into `outdir`; the files' paths."""
    if job.format == "parquet":
        require_pyarrow()
    names = checked_tables(db, job.tables) if job.tables else db.get_tables()
    make_dirs(outdir)
    paths = []
    for name, file in zip(names, output_file_names(names, EXTENSIONS[job.format])):
        path = os.path.join(outdir, file)
        paths.append(path)
        try:
            with create_output_file(path) as f:
                if job.format == "csv":
                    write_csv(db, name, f, job.decode, job.excel_safe)
                else:
                    nulled = write_parquet(db, name, f, job.decode)
                    if nulled:
                        report_out_of_form(path, nulled)
        except (OSError, ValueError) as error:
            raise CliError(str(error)) from None
    return paths
