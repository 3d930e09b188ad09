"""The command `timeline`: the events of every artefact view of the files and
folders given, in one file sorted by time (CSV with the columns timeline
tools import, JSON Lines or Parquet). Each worker turns a file's events
into sorted runs on disk; the runs are then merged, so memory stays bounded
whatever the number of events."""

from __future__ import annotations

import argparse
import csv
import datetime
import importlib
import json
import os
import shutil
import tempfile
from typing import IO, Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple

from quarlet import artifacts
from quarlet.artifacts import timeline
from quarlet.artifacts.engine import EVENT_COLUMNS, Lookup, Row, fields_text, json_value
from quarlet.artifacts.values import microseconds

from .arguments import Commands, add_command, add_jobs_option
from .errors import CliError, FilesFailed, report_failure
from .files import create_output_file, find_databases, open_database
from .formats import FORMATS, csv_cell, require_pyarrow
from .manifest import Manifest, SourceResult, facts_meanwhile, kind_and_state
from .pool import run_per_file
from .progress import FilesProgress

# The columns of the timeline file: what timeline tools import first, then
# the time as microseconds since 1970 (UTC) and the rest of the event.
COLUMNS = EVENT_COLUMNS[:3] + ("timestamp",) + EVENT_COLUMNS[3:]
UTC = datetime.timezone.utc
BATCH = 65536  # Parquet rows per batch


def add_parsers(commands: Commands) -> None:
    sub = add_command(
        commands, "timeline", run, database=False,
        help="the events of every artefact view, in one file sorted by time",
        usage="%(prog)s [options] PATH [PATH ...] -o FILE",
        description="Find the artefact databases among the files and folders given (as "
                    "'artifacts' does) and write the events of all their views (each time "
                    "column a view declares: SRUM windows, WebCache accesses, UAL client "
                    "accesses ...) to FILE, sorted by time: its time (UTC, ISO 8601), what "
                    "the time means, a one-line message, the artefact, source file and view, "
                    "the row's table and key, and the view's key fields. CSV has the columns "
                    "timeline tools import first (datetime, timestamp_desc, message). A view "
                    "that fails is reported on stderr and the others go on (exit status 1).")
    sub.add_argument("paths", metavar="PATH", nargs="+", help="database files and folders")
    sub.add_argument("-o", "--output", metavar="FILE", required=True,
                     help="the timeline file to write")
    sub.add_argument("--format", choices=FORMATS, default="csv",
                     help="csv (default; RFC 4180, header row), jsonl or parquet (needs the "
                          "extra quarlet[arrow])")
    sub.add_argument("--from", dest="start", metavar="TIME", type=time_from, default=None,
                     help="only events at or after TIME (ISO 8601 date or date and time; UTC "
                          "unless it names an offset)")
    sub.add_argument("--to", dest="end", metavar="TIME", type=time_to, default=None,
                     help="only events at or before TIME (a date alone: to the end of that day)")
    sub.add_argument("--excel-safe", action="store_true",
                     help="csv: a text cell that starts with =, +, -, @, tab or carriage "
                          "return gets a leading '")
    add_jobs_option(sub)


# ---- times given -------------------------------------------------------------------


def parse_time(text: str) -> Tuple[datetime.datetime, bool]:
    """An ISO 8601 date or date and time as an aware datetime (UTC unless it
    names an offset; a trailing Z is UTC), and whether it was a date alone."""
    value = text.strip()
    if value[-1:] in ("Z", "z"):
        value = value[:-1] + "+00:00"
    try:
        if len(value) == 10:
            day = datetime.date.fromisoformat(value)
            return datetime.datetime(day.year, day.month, day.day, tzinfo=UTC), True
        when = datetime.datetime.fromisoformat(value)
    except ValueError:
        raise argparse.ArgumentTypeError(
            "not an ISO 8601 date or time: %r (for example 2021-11-16 or "
            "2021-11-16T18:30:00)" % text) from None
    if when.tzinfo is None:
        when = when.replace(tzinfo=UTC)
    return when.astimezone(UTC), False


def time_from(text: str) -> datetime.datetime:
    return parse_time(text)[0]


def time_to(text: str) -> datetime.datetime:
    """The last instant --to includes: a date alone includes its whole day."""
    when, date_only = parse_time(text)
    if date_only:
        when += datetime.timedelta(days=1, microseconds=-1)
    return when


# ---- the events of one file, as sorted runs -----------------------------------------


class TimelineJob:
    """What each worker needs: the runs' folder, the format, the time range."""

    def __init__(self, folder: str, fmt: str, start: Optional[datetime.datetime],
                 end: Optional[datetime.datetime], excel_safe: bool) -> None:
        self.folder = folder
        self.format = fmt
        self.start = start
        self.end = end
        self.excel_safe = excel_safe


# A file's outcome: its kind (None: not an artefact database), its runs,
# its event count, (view, error text) of its failed views, and what the
# manifest says of the file.
Outcome = Tuple[Optional[str], List[str], int, List[Tuple[str, str]], SourceResult]


def give_file(path: str, job: TimelineJob, index: int) -> Outcome:
    """One file's events as sorted runs in the job's folder. Raises CliError
    when the file cannot be opened."""
    facts = facts_meanwhile(path)
    db = open_database(path)
    kind, state = kind_and_state(db)
    try:
        art = artifacts.open(db)
    except ValueError:
        return None, [], 0, [], SourceResult(kind, state, facts(), [])
    except OSError as error:
        raise CliError(str(error)) from None
    errors = list(art.errors.items())
    runs = timeline.Runs(job.folder, "%d" % index)
    encode = encoder(job)
    for name in art.event_views():
        try:
            runs.add(encode(art.view(name).events(art.kind)))
        except (OSError, ValueError) as error:  # the events before the failure stay
            errors.append((name, str(error)))
    runs.flush()
    return art.kind, runs.paths, runs.count, errors, SourceResult(kind, state, facts(), [])


def encoder(job: TimelineJob) -> Callable[[Iterable[Row]], Iterator[str]]:
    """Events -> run lines: each event's key and its text in the job's
    format (a JSON Lines object, a CSV row, or a JSON array of the values
    for Parquet), events outside the time range left out."""
    # Times repeat (a SRUM window holds many rows): each converted once.
    times: Dict[Any, Tuple[str, int, str]] = Lookup(_time_parts)
    start, end = job.start, job.end
    if job.format == "jsonl":
        dumps = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"),
                                 default=json_value).encode

        def text(e: Row, us: int, iso: str) -> str:
            return dumps({"datetime": iso, "timestamp_desc": e["timestamp_desc"],
                          "message": e["message"], "timestamp": us, "artifact": e["artifact"],
                          "source_file": e["source_file"], "view": e["view"],
                          "source_table": e["source_table"], "source_key": e["source_key"],
                          "key_fields": e["key_fields"]})
    elif job.format == "csv":
        row = csv_row(job.excel_safe)

        def text(e: Row, us: int, iso: str) -> str:
            return row([iso, e["timestamp_desc"], e["message"], us, e["artifact"],
                        e["source_file"], e["view"], e["source_table"], e["source_key"],
                        fields_text(e["key_fields"])])
    else:
        dumps = json.JSONEncoder(ensure_ascii=False, separators=(",", ":")).encode

        def text(e: Row, us: int, iso: str) -> str:
            return dumps([us, e["timestamp_desc"], e["message"], e["artifact"],
                          e["source_file"], e["view"], e["source_table"], e["source_key"],
                          fields_text(e["key_fields"])])

    line = timeline.line
    line_end = "\r\n" if job.format == "csv" else "\n"

    def encode(events: Iterable[Row]) -> Iterator[str]:
        for e in events:
            when = e["datetime"]
            if (start is not None and when < start) or (end is not None and when > end):
                continue
            key, us, iso = times[when]
            yield line(key, text(e, us, iso), line_end)
    return encode


def _time_parts(when: datetime.datetime) -> Tuple[str, int, str]:
    us = microseconds(when)
    return timeline.sort_key(us), us, when.isoformat()


class _Last:
    """A file object that keeps the last text written to it."""

    text = ""

    def write(self, text: str) -> None:
        self.text = text


def csv_row(excel_safe: bool) -> Callable[[Sequence[Any]], str]:
    """A function giving one CSV row's text (RFC 4180 quoting, no line end)."""
    last = _Last()
    writer = csv.writer(last, lineterminator="")

    # The values are text, an integer or None, which the writer takes as
    # csv_cell gives them; only --excel-safe needs csv_cell itself.
    def row(values: Sequence[Any]) -> str:
        writer.writerow(values)
        return last.text

    def safe_row(values: Sequence[Any]) -> str:
        writer.writerow([csv_cell(v, True) for v in values])
        return last.text
    return safe_row if excel_safe else row


# ---- the command -----------------------------------------------------------------------


def run(args: argparse.Namespace, out: IO[bytes]) -> None:
    if args.format == "parquet":
        require_pyarrow()
    files = find_databases(args.paths)
    folder = os.path.dirname(os.path.abspath(args.output))
    target = create_output_file(args.output)
    failed = False
    try:
        # The runs go beside the timeline: they take about as much room as it.
        runs_folder = tempfile.mkdtemp(prefix=".quarlet-timeline-", dir=folder)
    except OSError as problem:
        target.close()
        raise CliError("Failed to create a temporary folder: %s" % problem) from None
    try:
        job = TimelineJob(runs_folder, args.format, args.start, args.end, args.excel_safe)
        paths: List[str] = []
        work = [(path, job, i) for i, path in enumerate(files)]
        # The manifest beside the timeline names every source, with the
        # number of events each gave to the timeline file.
        manifest = Manifest(folder, getattr(args, "argv", ["quarlet", "timeline"]))
        progress = FilesProgress(files)
        for path, (outcome, failure) in run_per_file(give_file, work, args.jobs, progress):
            if failure is not None:
                manifest.add_result(path, None, None, failure)
                report_failure(path, failure)
                failed = True
                continue
            _, runs, count, errors, result = outcome
            source = manifest.add_result(path, None, result,
                                         "; ".join("view %s: %s" % e for e in errors) or None)
            source.add_file(os.path.abspath(args.output), count)
            paths += runs
            for view, error in errors:
                report_failure(path, "view %s: %s" % (view, error))
                failed = True
        with target:
            events = write_timeline(timeline.merged(paths, runs_folder), args.format, target)
    finally:
        target.close()
        shutil.rmtree(runs_folder, ignore_errors=True)
    manifest.write()
    progress.finish("timeline", "%d events" % events)
    if failed:
        raise FilesFailed()


def write_timeline(lines: Iterator[bytes], fmt: str, f: IO[bytes]) -> int:
    """Writes the merged run lines as the timeline file; the event count."""
    if fmt == "parquet":
        return write_parquet(lines, f)
    end = b"\r\n" if fmt == "csv" else b"\n"
    text_of = timeline.text_of
    count = 0
    block: List[bytes] = []
    if fmt == "csv":
        block.append(",".join(COLUMNS).encode() + end)
    for stored in lines:
        block.append(text_of(stored, end))
        count += 1
        if len(block) >= 8192:
            f.write(b"".join(block))
            block = []
    f.write(b"".join(block))
    return count


def write_parquet(lines: Iterator[bytes], f: IO[bytes]) -> int:
    """The events as one Parquet file: datetime a UTC timestamp, timestamp
    an integer, key_fields JSON text, the rest text."""
    pyarrow: Any = importlib.import_module("pyarrow")
    parquet: Any = importlib.import_module("pyarrow.parquet")
    types = {"datetime": pyarrow.timestamp("us", tz="UTC"), "timestamp": pyarrow.int64()}
    schema = pyarrow.schema([(name, types.get(name, pyarrow.string())) for name in COLUMNS])
    text_of = timeline.text_of
    count = 0
    with parquet.ParquetWriter(f, schema) as writer:
        while True:
            rows = [json.loads(text_of(stored)) for _, stored in zip(range(BATCH), lines)]
            if not rows:
                return count
            columns = [list(column) for column in zip(*rows)]
            stamps = columns[0]
            arrays = [pyarrow.array(stamps, types["datetime"])] + [
                pyarrow.array(column, pyarrow.string()) for column in columns[1:3]] + [
                pyarrow.array(stamps, types["timestamp"])] + [
                pyarrow.array(column, pyarrow.string()) for column in columns[3:]]
            writer.write_batch(pyarrow.RecordBatch.from_arrays(arrays, schema=schema))
            count += len(rows)
