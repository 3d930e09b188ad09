"""The command `artifacts`: the artefact views (SRUM, User Access Logging, WebCache,
Windows Search, BITS, Active Directory)
of database files: a summary of each file's kind and views, or with -o each
view written as a JSON Lines, CSV or Parquet file."""

from __future__ import annotations

import argparse
import csv
import importlib
import io
import json
import os
from typing import IO, Any, List, Optional, Sequence, Tuple

from quarlet import artifacts
from quarlet.artifacts.engine import json_value

from .arguments import Commands, add_command, add_jobs_option
from .errors import CliError, FilesFailed, report_failure
from .files import (create_output_file, find_sources, make_dirs, open_database,
                    output_file_names, source_folder_names)
from .formats import EXTENSIONS, FORMATS, csv_cell, require_pyarrow
from .output import write_lines
from .manifest import (MANIFEST_NAME, Manifest, SourceResult, facts_meanwhile,
                       source_result)
from .pool import run_per_file
from .progress import FilesProgress, Progress

BLOCK = 1 << 16  # rows between progress updates and output flushes


def add_parsers(commands: Commands) -> None:
    sub = add_command(
        commands, "artifacts", run, database=False,
        help="interpret artefact databases (SRUM, UAL, WebCache, Windows Search, BITS, "
             "Active Directory) as views",
        usage="%(prog)s [options] PATH [PATH ...]",
        description="Find the artefact kind of each database file (and of every ESE database "
                    "found in folders), decided by its tables and columns, and give its views: "
                    "ids resolved through the artefact's own maps, times in UTC, SIDs and "
                    "addresses as text, each row naming its source table and record. Without "
                    "-o, a summary per file (kind, views, row counts); with -o, each view is "
                    "written to OUT/<source>/<view>.<ext> (folders named as export names them) "
                    "with OUT/manifest.json (the same file rules as export). "
                    "A view that fails is reported on stderr and the others go on (exit "
                    "status 1).")
    sub.add_argument("paths", metavar="PATH", nargs="+", help="database files and folders")
    sub.add_argument("-o", "--output", metavar="OUT", default=None,
                     help="write each view as a file under OUT")
    sub.add_argument("--format", choices=FORMATS, default="jsonl",
                     help="jsonl (default), csv (RFC 4180, header row) or parquet (needs the "
                          "extra quarlet[arrow])")
    sub.add_argument("--view", metavar="NAME", action="append", default=[],
                     help="a view to give (repeatable; default: all)")
    sub.add_argument("--recovered", action="store_true",
                     help="also run the views over the deleted records recover() finds, "
                          "marked with how and where each was found (<view>.recovered.<ext>)")
    sub.add_argument("--excel-safe", action="store_true",
                     help="csv: a text cell that starts with =, +, -, @, tab or carriage "
                          "return gets a leading '")
    add_jobs_option(sub)


class ArtifactJob:
    """What to give of each file: output folder and format, views, recovered."""

    def __init__(self, output: Optional[str], fmt: str, views: Sequence[str], recovered: bool,
                 excel_safe: bool) -> None:
        self.output = output
        self.format = fmt
        self.views = list(views)
        self.recovered = recovered
        self.excel_safe = excel_safe
        self.show_rows = True  # a status line per view (one file, on a terminal)


# A file's outcome: the summary lines, (view, error text) of its failed
# views, and what the manifest says of it (with -o).
Outcome = Tuple[List[str], List[Tuple[str, str]], Optional[SourceResult]]


def run(args: argparse.Namespace, out: IO[bytes]) -> None:
    job = ArtifactJob(args.output, args.format, args.view, args.recovered, args.excel_safe)
    found = find_sources(args.paths)
    job.show_rows = len(found) == 1
    work: List[Tuple[str, ArtifactJob, Optional[str]]]
    manifest = None
    if job.output is not None:
        if job.format == "parquet":
            require_pyarrow()
        make_dirs(job.output)
        manifest = Manifest(job.output, args.argv)
        dirs = source_folder_names(found, reserved=[MANIFEST_NAME])
        work = [(f.path, job, os.path.join(job.output, d)) for f, d in zip(found, dirs)]
    else:
        work = [(f.path, job, None) for f in found]
    progress = FilesProgress([f.path for f in found])
    failed = False
    for (path, (outcome, failure)), item in zip(
            run_per_file(give_file, work, args.jobs, progress), work):
        if manifest is not None:
            manifest.add_result(path, item[2], outcome[2] if outcome else None, failure)
        if failure is not None:
            report_failure(path, failure)
            failed = True
            continue
        lines, errors, _ = outcome
        write_lines(out, lines)
        for view, error in errors:
            report_failure(path, "view %s: %s" % (view, error))
            failed = True
    if manifest is not None:
        manifest.write()
    progress.finish("artifacts")
    if failed:
        raise FilesFailed()


def give_file(path: str, job: ArtifactJob, outdir: Optional[str]) -> Outcome:
    """One file's views: counted for the summary, or written into `outdir`.
    Raises CliError when the file cannot be opened."""
    facts = facts_meanwhile(path) if outdir is not None else None
    db = open_database(path)
    try:
        art = artifacts.open(db)
    except ValueError:
        lines = ["%s: not a known artefact database" % path]
        return lines, [], None if outdir is None else source_result(path, db, [], [], facts)
    except OSError as error:
        raise CliError(str(error)) from None
    names = [v for v in art.views() if not job.views or v in job.views]
    lines = ["%s: %s" % (path, art.kind)]
    lines += ["  companion %s: %s" % item for item in sorted(art.companions.items())]
    errors = [(name, error) for name, error in art.errors.items()]
    progress = Progress()
    progress.enabled = progress.enabled and outdir is not None and job.show_rows
    if outdir is not None and names:
        make_dirs(outdir)
    modes = [False, True] if job.recovered else [False]
    files = output_file_names(
        [n + (".recovered" if recovered else "") for recovered in modes for n in names],
        EXTENSIONS[job.format])
    at = 0
    width = max([len(n) for n in names] + [4])
    written: List[str] = []
    counts: List[Optional[int]] = []
    for recovered in modes:
        for name in names:
            target = os.path.join(outdir, files[at]) if outdir is not None else None
            at += 1
            try:
                count = give_view(art, name, recovered, job, target, progress)
            except (OSError, ValueError) as error:
                progress.clear()
                errors.append((name + (" (recovered)" if recovered else ""), str(error)))
                continue
            if target is not None:
                written.append(target)
                counts.append(count)
            label = "recovered" if recovered else "rows"
            lines.append("  %-*s %10d %s" % (width, name, count, label))
    progress.clear()
    result = None if outdir is None else source_result(path, db, written, counts, facts)
    return lines, errors, result


def give_view(art: artifacts.Artifact, name: str, recovered: bool, job: ArtifactJob,
              target: Optional[str], progress: Progress) -> int:
    """Counts the view's rows, or writes them to `target`; the row count."""
    if target is None:
        return sum(1 for _ in art.rows(name, recovered))
    with create_output_file(target) as f:
        if job.format == "parquet":
            return write_parquet(art, name, recovered, f)
        columns = [c.name for c in art.columns(name, recovered)]
        rows = art.rows(name, recovered)
        if job.format == "csv":
            return write_csv(rows, columns, f, job.excel_safe, progress, target)
        return write_jsonl(rows, f, progress, target)


def write_jsonl(rows: Any, f: IO[bytes], progress: Progress, target: str) -> int:
    """One JSON object per row and line (UTF-8, LF), keys in column order."""
    encode = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"),
                              default=json_value).encode
    block: List[str] = []
    count = 0
    for row in rows:
        block.append(encode(row))
        count += 1
        if len(block) == BLOCK:
            f.write(("\n".join(block) + "\n").encode("utf-8", "surrogatepass"))
            block = []
            progress.show("%s: %d rows" % (target, count))
    if block:
        f.write(("\n".join(block) + "\n").encode("utf-8", "surrogatepass"))
    return count


def write_csv(rows: Any, columns: Sequence[str], f: IO[bytes], excel_safe: bool,
              progress: Progress, target: str) -> int:
    """RFC 4180: a header row, CRLF line ends, cells as the table export's."""
    text = io.TextIOWrapper(f, encoding="utf-8", errors="surrogatepass", newline="")
    writer = csv.writer(text, lineterminator="\r\n")
    writer.writerow(columns)
    count = 0
    for row in rows:
        writer.writerow([csv_cell(row[c], excel_safe) for c in columns])
        count += 1
        if count % BLOCK == 0:
            progress.show("%s: %d rows" % (target, count))
    text.flush()
    text.detach()
    return count


def write_parquet(art: artifacts.Artifact, name: str, recovered: bool, f: IO[bytes]) -> int:
    """One Parquet file from the view's Arrow stream."""
    pyarrow: Any = importlib.import_module("pyarrow")
    parquet: Any = importlib.import_module("pyarrow.parquet")
    reader = pyarrow.RecordBatchReader.from_stream(art.arrow(name, recovered))
    count = 0
    with parquet.ParquetWriter(f, reader.schema) as writer:
        for batch in reader:
            writer.write_batch(batch)
            count += batch.num_rows
    return count
