"""The command `recover`: deleted records the file still holds, as JSON
Lines on stdout or one file per table, with a count per table and source
on stderr."""

from __future__ import annotations

import argparse
import math
import os
import sys
from typing import IO, Any, Dict, List, Mapping, Optional, Tuple, cast

from quarlet import EseDatabase

from .arguments import Commands, add_command, add_decode_option, add_jobs_option
from .errors import EXIT_FAILURE, CliError, report_failure
from .files import (create_file_in, export_file_names, find_sources, make_dirs, open_database,
                    open_directory, source_folder_names, write_all)
from .manifest import (MANIFEST_NAME, Manifest, SourceResult, facts_meanwhile,
                       source_result)
from .output import json_text, lines_bytes, write
from .pool import run_per_file
from .progress import FilesProgress, Progress, run_in_thread

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
        commands, "recover", run, database=False,
        help="recover deleted records as JSON Lines",
        usage="%(prog)s [options] DB [TABLE]\n"
              "       %(prog)s [options] DB [DB ...] [--table TABLE]",
        description="Write the deleted records the file still holds as JSON Lines, one "
                    "object per record: table, source, page, offset (in the file), checks "
                    "passed, the record (null for a deleted entry that holds only its "
                    "key) and the entry's key. Sources: deleted = entries flagged deleted; "
                    "orphan = entries of pages the table no longer reaches; slack = old "
                    "records in the free bytes of the table's pages. Dropped tables are "
                    "included. A summary per table (counts per source) goes to stderr. "
                    "With several files or a folder (searched recursively for files that "
                    "start like an ESE database), each record's object starts with the "
                    "file's \"path\", or with --out each file's tables go to "
                    "DIR/<source>/<name>.jsonl (folders named as export names them) with "
                    "DIR/manifest.json; a file that fails is reported on stderr and the "
                    "others go on (exit status 1).")
    recover.add_argument("paths", metavar="DB", nargs="+",
                         help="database file, then the TABLE name (default: every table); "
                              "or several files and folders")
    recover.add_argument("--table", metavar="TABLE", default=None,
                         help="table name (exact, case-sensitive; default: every table)")
    add_decode_option(recover)
    recover.add_argument("--source", metavar="LIST", type=sources, default=None,
                         help="comma-separated sources to search (default: "
                              "deleted,orphan,slack)")
    recover.add_argument("--out", metavar="DIR", default=None,
                         help="write one file per table, DIR/<name>.jsonl (named as export "
                              "names them; symbolic links are never followed), instead of "
                              "stdout")
    add_jobs_option(recover)


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


def recovered_line(item: Mapping[str, Any], path: Optional[str] = None) -> str:
    """One recovered record as one JSON object (record members sorted by
    name, as the exports write them), the file's path first when given."""
    record = item["record"]
    if record is not None:
        record = {k: json_value(v) for k, v in sorted(record.items())}
    head = {} if path is None else {"path": path}
    return json_text(dict(head, **dict(item, record=record, key=json_value(item["key"]))))


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


class RecoverJob:
    """What to recover of each file: table, decoding, sources."""

    def __init__(self, table: Optional[str], decode: bool,
                 sources: Optional[List[str]]) -> None:
        self.table = table
        self.decode = decode
        self.sources = sources


Counts = Dict[str, Dict[str, int]]


def recover_database(db: EseDatabase, job: RecoverJob, out: Optional[IO[bytes]],
                     outdir: Optional[str], total: List[int],
                     path: Optional[str] = None) -> Tuple[Counts, List[Tuple[str, str]]]:
    """Writes the records recovered from `db` to `out`, or one file per
    table into `outdir`; the counts per table and source, and the files
    written with their tables. `total[0]` counts the records as they go (for progress)."""
    order = [job.table] if job.table is not None else db.get_tables()
    counts: Counts = {name: {} for name in order}
    try:
        items = db.recover(job.table, decode=job.decode, sources=cast(Any, job.sources))
    except ValueError as error:
        raise CliError(str(error)) from None
    files = None
    dir_fd = -1
    if outdir is not None:
        make_dirs(outdir)
        dir_fd = open_directory(outdir)
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
            elif out is not None:
                write(out, data)
            block.clear()

        for item in items:
            name = item["table"]
            if name != table or size >= 1 << 16:
                flush()
                table, size = name, 0
            line = recovered_line(item, path)
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
    written = [] if files is None or outdir is None else \
        [(os.path.join(outdir, f), name)
         for f, name in zip(export_file_names(files.names), files.names)]
    return counts, written


def summary_lines(counts: Counts, path: Optional[str] = None) -> str:
    """The summary per table, for stderr."""
    text = ""
    for name, per in counts.items():
        shown = ", ".join("%s %d" % (source, per.get(source, 0)) for source in SOURCES)
        text += "%s%s: %d recovered (%s)\n" % ("" if path is None else path + ": ", name,
                                              sum(per.values()), shown)
    return text


def recover_source(path: str, job: RecoverJob, outdir: str) -> Tuple[Counts, SourceResult]:
    """Recovers one file of a run over several into `outdir` (in a worker)."""
    facts = facts_meanwhile(path)
    db = open_database(path)
    counts, written = recover_database(db, job, None, outdir, [0])
    return counts, source_result(path, db, [f for f, _ in written],
                                 [sum(counts[name].values()) for _, name in written], facts)


def run(args: argparse.Namespace, out: IO[bytes]) -> int:
    paths: List[str] = args.paths
    table = args.table
    # The single-file form, DB TABLE: a second argument that names no file.
    if len(paths) == 2 and table is None and not os.path.lexists(paths[1]):
        paths, table = paths[:1], paths[1]
    job = RecoverJob(table, args.decode, args.source)
    if len(paths) == 1 and not os.path.isdir(paths[0]):
        recover_one(open_database(paths[0]), job, out, args.out)
        return 0
    found = find_sources(paths)
    progress = FilesProgress([f.path for f in found])
    failed = False
    if args.out is None:  # into stdout, file after file, in this process
        for f in found:
            try:
                recover_one(open_database(f.path), job, out, None, f.path, progress)
            except CliError as error:
                report_failure(f.path, str(error))
                failed = True
            progress.file_done(f.path)
        progress.finish("recover")
        return EXIT_FAILURE if failed else 0
    make_dirs(args.out)
    manifest = Manifest(args.out, args.argv)
    dirs = source_folder_names(found, reserved=[MANIFEST_NAME])
    work = [(f.path, job, os.path.join(args.out, d)) for f, d in zip(found, dirs)]
    for (path, (result, failure)), item in zip(
            run_per_file(recover_source, work, args.jobs, progress), work):
        manifest.add_result(path, item[2], result[1] if result else None, failure)
        if failure is not None:
            report_failure(path, failure)
            failed = True
        else:
            sys.stderr.write(summary_lines(result[0], path))
    manifest.write()
    progress.finish("recover")
    return EXIT_FAILURE if failed else 0


def recover_one(db: EseDatabase, job: RecoverJob, out: IO[bytes], outdir: Optional[str],
                path: Optional[str] = None, files: Optional[FilesProgress] = None) -> Counts:
    """Recovers one file into stdout or `outdir` in this process, with a
    status line on a terminal, then the summary on stderr."""
    progress = files.progress if files is not None else Progress()
    total = [0]

    def tick() -> None:
        if files is not None:
            files.tick()
        else:
            progress.show("recovering... %d records, %.0f s" % (total[0], progress.elapsed()))

    try:
        counts, _ = cast(Tuple[Counts, Any], run_in_thread(
            lambda: recover_database(db, job, out, outdir, total, path), tick))
    finally:
        progress.clear()
    sys.stderr.write(summary_lines(counts, path))
    return counts
