"""The `quarlet` command: ESE database tables, schemas, dumps, exports, carving, integrity
checks and recovery of deleted records from the shell.

It is written over the `quarlet` extension module and decodes nothing itself.
Output goes to stdout; errors are one line on stderr ("quarlet: error: ...")
with exit status 2 for a usage error and 1 for a failure; `check` exits with
3 when it finds damage. Progress is shown on stderr for export, carve,
recover and check only when stderr is a terminal.
"""

from __future__ import annotations

import argparse
import datetime
import functools
import importlib
import json
import math
import os
import sys
import tempfile
import threading
import time
from typing import (IO, Any, Callable, Dict, Iterable, List, Mapping, NoReturn, Optional, Sequence,
                    Tuple, cast)

import quarlet
from quarlet import EseDatabase

PROG = "quarlet"
SCOPES = ("slack", "all", "tag_data", "lv_all", "lv_slack")
HIT_FIELDS = ("page", "offset", "slack_start", "slack_end", "region_kind", "page_flags",
              "page_type", "table", "text")
U32_MAX = 0xFFFFFFFF
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_DAMAGE = 3
EXIT_BROKEN_PIPE = 128 + 13  # as a command ended by SIGPIPE
EXIT_INTERRUPTED = 128 + 2
SOURCES = ("deleted", "orphan", "slack")
DECODE_HELP = ("decompress values, expand multi-valued columns into JSON arrays and write "
               "dates as ISO 8601 text (default: the raw values)")
FORMATS = ("jsonl", "csv", "parquet")
EXTENSIONS = {"jsonl": ".jsonl", "csv": ".csv", "parquet": ".parquet"}
ESE_SIGNATURE = b"\xef\xcd\xab\x89"  # 0x89ABCDEF, little-endian, at offset 4
NAME_MAX = 255  # bytes of one file name
EXCEL_UNSAFE = ("=", "+", "-", "@", "\t", "\r")
ARROW_EXTRA = "Parquet output needs pyarrow: install it with pip install 'quarlet[arrow]'"



class CliError(Exception):
    """An expected failure: reported as one line, exit status 1."""


class BrokenOutput(Exception):
    """The reader of stdout went away (for example `| head`)."""


# ---- argument parsing ---------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    """argparse with usage errors reported as one line and exit status 2."""

    def error(self, message: str) -> NoReturn:
        sys.stderr.write("%s: error: %s (see '%s --help')\n" % (PROG, message, self.prog))
        sys.exit(EXIT_USAGE)


def _u32(text: str) -> int:
    """A decimal integer from 0 to 4294967295 (argparse type)."""
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError("not an integer: %r" % text) from None
    if not 0 <= value <= U32_MAX:
        raise argparse.ArgumentTypeError("out of range (0 to %d): %s" % (U32_MAX, text))
    return value


def _sources(text: str) -> List[str]:
    """A comma-separated list of recovery sources (argparse type)."""
    names = [n.strip() for n in text.split(",") if n.strip()]
    for name in names:
        if name not in SOURCES:
            raise argparse.ArgumentTypeError("unknown source %r (choose from %s)"
                                             % (name, ", ".join(SOURCES)))
    if not names:
        raise argparse.ArgumentTypeError("no source given")
    return list(dict.fromkeys(names))


def _jobs(text: str) -> int:
    """A number of worker processes, 1 or more (argparse type)."""
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError("not an integer: %r" % text) from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1: %s" % text)
    return value


def build_parser() -> argparse.ArgumentParser:
    """The parser of the whole command line, one sub-parser per command."""
    parser = _Parser(
        prog=PROG,
        description="Read Microsoft ESE database files (read-only): list tables, show "
                    "schemas, dump or export tables as JSON Lines, carve UTF-16LE strings.",
        epilog="Run '%s COMMAND --help' for the options of one command." % PROG)
    parser.add_argument("--version", action="version",
                        version="%s %s" % (PROG, quarlet.__version__))
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    def command(name: str, help_text: str, description: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help_text, description=description)
        sub.add_argument("database", metavar="DB", help="ESE database file (opened read-only)")
        return sub

    tables = commands.add_parser(
        "tables", help="list the tables",
        description="Print the table names, one per line, in catalog order. With several "
                    "files or a folder (searched recursively for files that start like an ESE "
                    "database), each line is the file's path, a tab and the table name.")
    tables.add_argument("sources", metavar="DB", nargs="+",
                        help="ESE database files or folders (opened read-only)")
    tables.add_argument("-j", "--jobs", metavar="N", type=_jobs, default=None,
                        help="worker processes for several files (default: the number of cores)")

    schema = command("schema", "describe the columns of a table",
                     "Print the columns of TABLE: id, name, type and whether it is nullable.")
    schema.add_argument("table", metavar="TABLE", help="table name (exact, case-sensitive)")
    schema.add_argument("--json", action="store_true",
                        help="one JSON object per column instead of aligned text")

    dump = command("dump", "write one table to stdout as JSON Lines",
                   "Write every record of TABLE to stdout as JSON Lines, byte for byte what "
                   "export writes to a file.")
    dump.add_argument("table", metavar="TABLE", help="table name (exact, case-sensitive)")
    dump.add_argument("--decode", action="store_true", help=DECODE_HELP)

    export = commands.add_parser(
        "export", help="write tables as JSON Lines, CSV or Parquet files",
        usage="%(prog)s [options] DB OUTDIR [TABLE ...]\n"
              "       %(prog)s [options] -o OUTDIR DB [DB ...]",
        description="Write each table to OUTDIR/<name>.<ext> (created with its parents). "
                    "Without TABLE arguments every table is written; '/', '\\' and NUL in "
                    "a name become '_', a name already used gets _2, _3, ..., and a name "
                    "too long for the file system is cut. A symbolic link at a file's name is "
                    "never followed: the export stops there. With -o, or when DB is a folder, "
                    "every DB file and every ESE database found in DB folders (recursively, "
                    "by the file's signature, not its name) is exported to "
                    "OUTDIR/<file name>/<name>.<ext> by parallel worker processes; a file "
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
    export.add_argument("--decode", action="store_true", help=DECODE_HELP)
    export.add_argument("-j", "--jobs", metavar="N", type=_jobs, default=None,
                        help="worker processes for several files (default: the number of cores)")

    carve = command("carve", "find UTF-16LE strings in the database pages",
                    "Carve runs of printable ASCII stored as UTF-16LE out of the pages. "
                    "Scopes: slack = bytes of a page no tag points at (default); all = whole "
                    "pages; tag_data = the data of each tag; lv_all and lv_slack = the same "
                    "as all and slack on long-value pages only.")
    carve.add_argument("--scope", choices=SCOPES, default="slack",
                       help="which bytes of which pages are searched (default: slack)")
    carve.add_argument("--needle", metavar="N", default=None,
                       help="report only strings containing N (case-sensitive)")
    carve.add_argument("--min-chars", metavar="K", type=_u32, default=6,
                       help="shortest string reported, in characters (default: 6; below 2 "
                            "means 2)")
    carve.add_argument("--max-hits", metavar="M", type=_u32, default=1000,
                       help="stop after M strings (default: 1000; 0 = no limit)")
    carve.add_argument("--format", choices=("jsonl", "tsv"), default="jsonl",
                       help="jsonl: one JSON object per hit; tsv: a header line, then one "
                            "tab-separated line per hit (default: jsonl)")

    recover = command("recover", "recover deleted records as JSON Lines",
                      "Write the deleted records the file still holds as JSON Lines, one "
                      "object per record: table, source, page, offset (in the file), checks "
                      "passed and the record. Sources: deleted = entries flagged deleted; "
                      "orphan = entries of pages the table no longer reaches; slack = old "
                      "records in the free bytes of the table's pages. Dropped tables are "
                      "included. A summary per table (counts per source) goes to stderr.")
    recover.add_argument("table", metavar="TABLE", nargs="?", default=None,
                         help="table name (exact, case-sensitive; default: every table)")
    recover.add_argument("--decode", action="store_true", help=DECODE_HELP)
    recover.add_argument("--source", metavar="LIST", type=_sources, default=None,
                         help="comma-separated sources to search (default: "
                              "deleted,orphan,slack)")
    recover.add_argument("--out", metavar="DIR", default=None,
                         help="write one file per table, DIR/<name>.jsonl (named as export "
                              "names them; symbolic links are never followed), instead of "
                              "stdout")

    info = command("info", "show the header facts: state, logs needed, times, writer",
                   "Print facts about the database file: file size, page size, page count, "
                   "format version and revision, table count, and the facts of the file "
                   "header: state (clean or dirty shutdown), the log generations a dirty "
                   "file needs, creation, consistent, attach and detach times (UTC) with "
                   "their log positions, the Windows version that wrote it, repairs, and "
                   "whether the header checksum holds and the shadow header matches. "
                   "Only the two header copies are read.")
    info.add_argument("--json", action="store_true", help="one JSON object instead of text")

    check = command("check", "check the header, every page's checksum and every tree",
                    "Walk every tree (the catalog, each table's data, long-value and index "
                    "trees), read every page once for its checksum, and check the header "
                    "and its shadow copy. Prints a short summary (state, required logs, "
                    "pages checked, bad pages, trees with anomalies), then the details: "
                    "each tree's anomalies (foreign pages, stale links, leaves no walk "
                    "reaches, unreadable pages, impossible records) and each bad page with "
                    "its failing blocks and its tree. Exit status: 0 when nothing is wrong, "
                    "3 when damage or an inconsistency was found, 1 on failure, 2 on a "
                    "usage error.")
    check.add_argument("--json", action="store_true",
                       help="the whole report as one JSON object (the dict of check())")
    check.add_argument("--table", metavar="NAME", default=None,
                       help="walk only the trees of table NAME (every page is still checked)")
    return parser


# ---- output helpers -------------------------------------------------------------


def _write(out: IO[bytes], data: bytes) -> None:
    """Writes to stdout; a closed pipe becomes BrokenOutput."""
    try:
        out.write(data)
    except BrokenPipeError:
        raise BrokenOutput() from None


def _flush(out: IO[bytes]) -> None:
    try:
        out.flush()
    except BrokenPipeError:
        raise BrokenOutput() from None


def _lines(out: IO[bytes], lines: Iterable[str]) -> None:
    """Writes text lines (UTF-8, LF) in blocks."""
    block: List[str] = []
    size = 0
    for line in lines:
        block.append(line)
        size += len(line)
        if size >= 1 << 16:
            _write(out, ("\n".join(block) + "\n").encode("utf-8", "surrogateescape"))
            block, size = [], 0
    if block:
        _write(out, ("\n".join(block) + "\n").encode("utf-8", "surrogateescape"))


def _json(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def _os_error_text(error: OSError) -> str:
    """An OSError of our own file operations as "reason: path"."""
    if error.strerror and error.filename is not None:
        return "%s: %s" % (error.strerror, error.filename)
    return str(error)


def _system_error_text(error: OSError) -> str:
    """An OSError as the module words system errors: "reason (os error N)"."""
    if error.errno is None:
        return str(error)
    return "%s (os error %d)" % (os.strerror(error.errno), error.errno)


# ---- progress on a terminal -----------------------------------------------------


class Progress:
    """One status line on stderr, redrawn in place; silent unless stderr is a
    terminal."""

    def __init__(self, stream: Optional[IO[str]] = None) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = self.stream is not None and self.stream.isatty()
        self.start = time.monotonic()
        self._shown = False

    def elapsed(self) -> float:
        return max(time.monotonic() - self.start, 1e-6)

    def show(self, text: str) -> None:
        if self.enabled:
            self.stream.write("\r" + text + "\x1b[K")
            self.stream.flush()
            self._shown = True

    def done(self, text: str) -> None:
        """Replaces the status line with a final summary line."""
        if self.enabled:
            self.stream.write(("\r" if self._shown else "") + text + "\x1b[K\n")
            self.stream.flush()

    def clear(self) -> None:
        if self.enabled and self._shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self._shown = False


def _mb(n: float) -> str:
    return "%.1f MB" % (n / 1e6)


def run_in_thread(work: Callable[[], Any], tick: Callable[[], None],
                  interval: float = 0.2) -> Any:
    """Runs `work` on a worker thread (the module releases the interpreter
    lock during exports and carving) and calls `tick` every `interval`
    seconds meanwhile. Returns its result or raises its exception. The main
    thread stays responsive to Ctrl-C."""
    outcome: Dict[str, Any] = {}

    def target() -> None:
        try:
            outcome["result"] = work()
        except BaseException as error:  # handed to the main thread
            outcome["error"] = error

    worker = threading.Thread(target=target, name="quarlet-worker", daemon=True)
    worker.start()
    while True:
        worker.join(interval)
        if not worker.is_alive():
            break
        tick()
    if "error" in outcome:
        raise outcome["error"]
    return outcome.get("result")


class LineCounter:
    """Counts the lines of JSON Lines files while they are being written, by
    reading what has been appended so far (used for progress only)."""

    def __init__(self) -> None:
        self.records = 0
        self._file: Optional[IO[bytes]] = None
        self._path: Optional[str] = None

    def follow(self, path: str, to_end: bool = False) -> None:
        """Counts new lines of `path`; `to_end` also closes it (finished)."""
        if self._path != path:
            self._close()
            try:
                self._file = open(path, "rb")
                self._path = path
            except OSError:
                return
        assert self._file is not None
        while True:
            chunk = self._file.read(1 << 22)
            if not chunk:
                break
            self.records += chunk.count(b"\n")
            if not to_end:
                break
        if to_end:
            self._close()

    def _close(self) -> None:
        if self._file is not None:
            self._file.close()
        self._file = None
        self._path = None


# ---- file names of exports ------------------------------------------------------


def safe_file_stem(name: str) -> str:
    """The file name of a table without ".jsonl": '/', '\\' and NUL become
    '_'; "." and ".." become "_" and "__" (as the module's export_all)."""
    stem = name.replace("/", "_").replace("\\", "_").replace("\0", "_")
    return {".": "_", "..": "__"}.get(stem, stem)


def export_file_names(names: Sequence[str]) -> List[str]:
    """The JSON Lines file of each table, as the module's export_all names
    them (see output_file_names)."""
    return output_file_names(names, ".jsonl")


def fit_file_name(stem: str, suffix: str) -> str:
    """stem + suffix, the stem cut at a character boundary so that the name's
    UTF-8 bytes fit in one file name (255 bytes)."""
    room = NAME_MAX - len(suffix.encode("utf-8", "surrogateescape"))
    data = stem.encode("utf-8", "surrogateescape")
    if len(data) > room:
        data = data[:max(room, 0)]
        stem = data.decode("utf-8", "ignore")  # drops a character cut in two
        while len(stem.encode("utf-8", "surrogateescape")) > room:
            stem = stem[:-1]
    return stem + suffix


def output_file_names(names: Sequence[str], extension: str) -> List[str]:
    """One file name per name, in order: the safe stem (see safe_file_stem)
    and `extension`, or, when an earlier name took it, _2, _3, ... (the
    first free one) before the extension; each cut to fit 255 bytes."""
    taken = set()
    files = []
    for name in names:
        stem = safe_file_stem(name)
        file = fit_file_name(stem, extension)
        k = 2
        while file in taken:
            file = fit_file_name(stem, "_%d%s" % (k, extension))
            k += 1
        taken.add(file)
        files.append(file)
    return files


def create_output_file(path: str) -> IO[bytes]:
    """Creates or truncates `path` for writing; a symbolic link at the path
    is not followed (the creation fails)."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | getattr(os, "O_NOFOLLOW", 0) | \
        getattr(os, "O_CLOEXEC", 0)
    try:
        fd = os.open(path, flags, 0o666)
    except OSError as error:
        raise CliError("Failed to create output file: %s" % _os_error_text(error)) from None
    return os.fdopen(fd, "wb")


# ---- commands -------------------------------------------------------------------


def open_database(path: str) -> EseDatabase:
    try:
        return EseDatabase(path)
    except (OSError, ValueError) as error:  # not found, not a database, bad path
        raise CliError(str(error)) from None


def cmd_tables(args: argparse.Namespace, out: IO[bytes]) -> None:
    sources: List[str] = args.sources
    if len(sources) == 1 and not os.path.isdir(sources[0]):
        _lines(out, open_database(sources[0]).get_tables())
        return
    results = run_per_file(list_tables, find_databases(sources), args.jobs)
    failed = False
    for path, (tables, error) in results:
        if error is not None:
            report_failure(path, error)
            failed = True
            continue
        _lines(out, ("%s\t%s" % (path, _tsv_field(t)) for t in tables or []))
    if failed:
        raise FilesFailed()


def cmd_schema(args: argparse.Namespace, out: IO[bytes]) -> None:
    db = open_database(args.database)
    try:
        columns = db.get_table_schema(args.table)
    except ValueError as error:
        raise CliError(str(error)) from None
    if args.json:
        _lines(out, (_json(column) for column in columns))
        return
    rows = [("ID", "NAME", "TYPE", "NULLABLE")]
    rows += [(str(c["id"]), c["name"], c["type"], "yes" if c["nullable"] else "no")
             for c in columns]
    widths = [max(len(row[i]) for row in rows) for i in range(3)]
    _lines(out, [("%s  %s  %s  %s" % (row[0].rjust(widths[0]), row[1].ljust(widths[1]),
                                      row[2].ljust(widths[2]), row[3])).rstrip()
                 for row in rows])


def _fd_path(fd: int) -> Optional[str]:
    """A path that opens descriptor `fd` again (/dev/fd), or None."""
    for base in ("/proc/self/fd", "/dev/fd"):
        path = "%s/%d" % (base, fd)
        if os.path.exists(path):
            return path
    return None


def _copy_fd(fd: int, out: IO[bytes]) -> None:
    while True:
        chunk = os.read(fd, 1 << 20)
        if not chunk:
            return
        _write(out, chunk)


def dump_table(db: EseDatabase, table: str, out: IO[bytes], decode: bool = False) -> None:
    """Streams the export of `table` to `out`: the module writes into a pipe
    (through its /proc path) on a worker thread while this thread copies the
    pipe to `out`, so the bytes are exactly those of export_table. Falls back
    to a temporary file where descriptors have no path."""
    _flush(out)
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
        _flush(out)
    finally:
        os.close(read_fd)  # a writer still running now fails with EPIPE and stops
        worker.join()
    if "error" in outcome:
        error = outcome["error"]
        if isinstance(error, (OSError, ValueError)):
            raise CliError(str(error)) from None
        raise error


def export_table(db: EseDatabase, decode: bool) -> Callable[[str, str], None]:
    """The export of one table: raw values, or the decoded view."""
    return db.export_table_decoded if decode else db.export_table


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


def _dump_via_file(db: EseDatabase, table: str, out: IO[bytes], decode: bool) -> None:
    try:
        _export_via_temp_file(lambda path: export_table(db, decode)(table, path),
                              lambda f: _copy_fd(f.fileno(), out))
    except (OSError, ValueError) as error:
        raise CliError(str(error)) from None
    _flush(out)


def _open_directory(path: str) -> int:
    """A descriptor of directory `path` to create files in (opened for
    lookups only where the system allows, so no read permission is needed)."""
    try:
        return os.open(path, getattr(os, "O_PATH", os.O_RDONLY) | os.O_DIRECTORY)
    except OSError as error:
        raise CliError("Failed to create output directory: %s" % _os_error_text(error)) from None


def _create_output_file(dir_fd: int, file_name: str) -> int:
    """Opens `file_name` inside directory `dir_fd` for writing, creating it if
    missing. A symbolic link at that name is not followed: the open fails,
    with the message the module's export_all gives. The file is not
    truncated here: the export truncates it once the table is started."""
    try:
        return os.open(file_name, os.O_WRONLY | os.O_CREAT | os.O_NOFOLLOW, 0o666, dir_fd=dir_fd)
    except OSError as error:
        raise CliError("Failed to create output file: " + _system_error_text(error)) from None


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
            view = memoryview(chunk)
            while view:
                view = view[os.write(fd, view):]

    _export_via_temp_file(export, copy)


def cmd_dump(args: argparse.Namespace, out: IO[bytes]) -> None:
    dump_table(open_database(args.database), args.table, out, args.decode)


def _stat_key(path: str) -> Optional[Tuple[int, int, int, int]]:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)


def _file_size(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


class ExportMonitor:
    """Progress of an export into known files written one after another:
    tables done, records written so far and MB/s."""

    def __init__(self, paths: Sequence[str], progress: Progress) -> None:
        self.paths = list(paths)
        self.progress = progress
        self.current = -1  # index of the file being written, -1 before the first
        self.counter = LineCounter()
        self._before = [_stat_key(p) for p in self.paths] if progress.enabled else []

    def advance_by_files(self) -> None:
        """Finds the file being written: the last one changed since the start
        (files are written in order, each created or truncated first)."""
        i = self.current + 1
        while i < len(self.paths) and _stat_key(self.paths[i]) != self._before[i]:
            i += 1
        self.set_current(i - 1)

    def set_current(self, index: int) -> None:
        """Moves to file `index`, counting the earlier files to their end."""
        while self.current < index:
            if self.current >= 0:
                self.counter.follow(self.paths[self.current], to_end=True)
            self.current += 1

    def tick(self) -> None:
        if not self.progress.enabled:
            return
        self.advance_by_files()
        if self.current < 0:
            return
        self.counter.follow(self.paths[self.current])
        written = sum(_file_size(p) for p in self.paths[:self.current + 1])
        self.progress.show("%d/%d tables, %d records, %s, %.1f MB/s  %s" % (
            self.current, len(self.paths), self.counter.records, _mb(written),
            written / 1e6 / self.progress.elapsed(), os.path.basename(self.paths[self.current])))

    def finish(self) -> None:
        if not self.progress.enabled:
            return
        self.set_current(len(self.paths) - 1)
        if self.current >= 0:
            self.counter.follow(self.paths[self.current], to_end=True)
        written = sum(_file_size(p) for p in self.paths)
        elapsed = self.progress.elapsed()
        self.progress.done("exported %d tables, %d records, %s in %.1f s (%.1f MB/s)" % (
            len(self.paths), self.counter.records, _mb(written), elapsed,
            written / 1e6 / elapsed))


def cmd_export(args: argparse.Namespace, out: IO[bytes]) -> None:
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
    files = find_databases(sources)
    dirs = output_file_names([os.path.basename(f) for f in files], "")
    _make_dirs(outdir)
    work = [(f, os.path.join(outdir, d), job) for f, d in zip(files, dirs)]
    failed = False
    for path, (_, failure) in run_per_file(export_file, work, args.jobs):
        if failure is not None:
            report_failure(path, failure)
            failed = True
    if failed:
        raise FilesFailed()


class ExportJob:
    """What to write for each database: format, view and tables."""

    def __init__(self, fmt: str, decode: bool, excel_safe: bool, tables: Sequence[str]) -> None:
        self.format = fmt
        self.decode = decode
        self.excel_safe = excel_safe
        self.tables = list(tables)


def export_database(path: str, outdir: str, job: ExportJob,
                    progress: Optional[Progress] = None) -> None:
    """Exports the tables of one database into `outdir` (created with its
    parents). Raises CliError."""
    db = open_database(path)
    if progress is None:  # a worker: no status line
        progress = Progress()
        progress.enabled = False
    if job.format != "jsonl":
        export_columnar(db, outdir, job)
        return
    try:
        if not job.tables:
            names = db.get_tables()
            paths = [os.path.join(outdir, f) for f in export_file_names(names)]
            monitor = ExportMonitor(paths, progress)
            export_all = db.export_all_decoded if job.decode else db.export_all
            run_in_thread(lambda: export_all(outdir), monitor.tick)
        else:
            wanted = checked_tables(db, job.tables)
            _make_dirs(outdir)
            files = export_file_names(wanted)
            paths = [os.path.join(outdir, f) for f in files]
            monitor = ExportMonitor(paths, progress)

            export_one = export_table(db, job.decode)

            def export_named() -> None:
                # Every file is created here, inside the one directory opened
                # first and never through a symbolic link (as export_all does);
                # the module then writes the file through its descriptor.
                dir_fd = _open_directory(outdir)
                try:
                    for name, file in zip(wanted, files):
                        fd = _create_output_file(dir_fd, file)
                        try:
                            export_into_file(functools.partial(export_one, name), fd)
                        finally:
                            os.close(fd)
                finally:
                    os.close(dir_fd)

            run_in_thread(export_named, monitor.tick)
    except (OSError, ValueError) as error:
        progress.clear()
        raise CliError(str(error)) from None
    except BaseException:
        progress.clear()
        raise
    monitor.finish()


def checked_tables(db: EseDatabase, tables: Sequence[str]) -> List[str]:
    """Each named table once, in the given order; CliError for one the
    database does not have."""
    known = set(db.get_tables())
    wanted = list(dict.fromkeys(tables))
    for name in wanted:
        if name not in known:
            raise CliError("Table not found: %s" % name)
    return wanted


def _make_dirs(outdir: str) -> None:
    try:
        os.makedirs(outdir, exist_ok=True)
    except OSError as error:
        raise CliError("Failed to create output directory: %s" % _os_error_text(error)) from None


# ---- CSV and Parquet ----------------------------------------------------------------


def export_columnar(db: EseDatabase, outdir: str, job: ExportJob) -> None:
    """Writes each table as CSV or Parquet into `outdir`."""
    if job.format == "parquet":
        try:
            importlib.import_module("pyarrow.parquet")
        except ImportError:
            raise CliError(ARROW_EXTRA) from None
    names = checked_tables(db, job.tables) if job.tables else db.get_tables()
    _make_dirs(outdir)
    for name, file in zip(names, output_file_names(names, EXTENSIONS[job.format])):
        path = os.path.join(outdir, file)
        try:
            with create_output_file(path) as f:
                if job.format == "csv":
                    write_csv(db, name, f, job.decode, job.excel_safe)
                else:
                    write_parquet(db, name, f, job.decode)
        except (OSError, ValueError) as error:
            raise CliError(str(error)) from None


def csv_cell(value: Any, excel_safe: bool) -> str:
    """The text of one CSV cell: None is empty; booleans true/false; bytes as
    lowercase hex (as in JSON Lines); dates ISO 8601; lists as JSON arrays.
    With `excel_safe`, text that starts with =, +, -, @, tab or carriage
    return gets a leading ' (numbers are never changed)."""
    if value is None:
        return ""
    if value is True or value is False:
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return repr(value)
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).hex()
    if isinstance(value, datetime.datetime):
        return value.isoformat()
    if isinstance(value, list):
        return json.dumps([csv_json(v) for v in value], ensure_ascii=False,
                          separators=(",", ":"))
    text = str(value)
    if excel_safe and text.startswith(EXCEL_UNSAFE):
        return "'" + text
    return text


def csv_json(value: Any) -> Any:
    """An element of a list cell as JSON takes it."""
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).hex()
    if isinstance(value, datetime.datetime):
        return value.isoformat()
    return value


def write_csv(db: EseDatabase, table: str, f: IO[bytes], decode: bool, excel_safe: bool) -> None:
    """RFC 4180: a header row of the column names, CRLF line ends, fields
    quoted when they hold a comma, a quote or a line break (quotes doubled),
    each cell as csv_cell gives it. The module writes the rows into the file
    `f` is open on."""
    export_into_file(lambda path: db.export_table_csv(table, path, decode, excel_safe), f.fileno())


def write_parquet(db: EseDatabase, table: str, f: IO[bytes], decode: bool) -> None:
    """One Parquet file from the table's Arrow stream, batch by batch."""
    pyarrow: Any = importlib.import_module("pyarrow")
    parquet: Any = importlib.import_module("pyarrow.parquet")
    reader = pyarrow.RecordBatchReader.from_stream(db.arrow(table, decode=decode))
    with parquet.ParquetWriter(f, reader.schema) as writer:
        for batch in reader:
            writer.write_batch(batch)


# ---- many files ----------------------------------------------------------------------


class FilesFailed(Exception):
    """Some files failed (each already reported): exit status 1."""


class UsageError(Exception):
    """Arguments that do not fit together: exit status 2."""


def is_ese_file(path: str) -> bool:
    """Whether `path` is a regular file starting like an ESE database (the
    signature 0x89ABCDEF at offset 4). Unreadable files count as databases
    so that they are reported, not silently left out."""
    try:
        with open(path, "rb") as f:
            head = f.read(8)
    except OSError:
        return True
    return head[4:8] == ESE_SIGNATURE


def find_databases(sources: Sequence[str]) -> List[str]:
    """Files named directly, and the ESE databases inside named folders
    (recursively, symbolic links not followed, in sorted order)."""
    found: List[str] = []
    for source in sources:
        if not os.path.isdir(source):
            found.append(source)
            continue
        for root, dirs, files in os.walk(source):
            dirs.sort()
            for name in sorted(files):
                path = os.path.join(root, name)
                if not os.path.islink(path) and os.path.isfile(path) and is_ese_file(path):
                    found.append(path)
    if not found:
        raise CliError("No ESE database found in: %s" % ", ".join(sources))
    return found


def list_tables(path: str) -> List[str]:
    return open_database(path).get_tables()


def export_file(path: str, outdir: str, job: ExportJob) -> None:
    export_database(path, outdir, job)


def _call(task: Tuple[Callable[..., Any], Tuple[Any, ...]]) -> Tuple[Any, Optional[str]]:
    """Runs one task in a worker: its result, or the text of its failure."""
    fn, task_args = task
    try:
        return fn(*task_args), None
    except CliError as error:
        return None, str(error)
    except Exception as error:  # anything else still fails only this file
        return None, "%s: %s" % (type(error).__name__, error)


def _call_many(tasks: Sequence[Tuple[Callable[..., Any], Tuple[Any, ...]]]
               ) -> List[Tuple[Any, Optional[str]]]:
    """Runs tasks in a worker, one after another."""
    return [_call(task) for task in tasks]


def run_per_file(fn: Callable[..., Any], work: Sequence[Any],
                 jobs: Optional[int]) -> List[Tuple[str, Tuple[Any, Optional[str]]]]:
    """Runs fn over the work items (a path, or a tuple whose first item is
    the path) in `jobs` worker processes (default: the number of cores);
    returns (path, (result, error text or None)) in the items' order."""
    tasks = [(fn, item if isinstance(item, tuple) else (item,)) for item in work]
    paths = [t[1][0] for t in tasks]
    jobs = jobs or os.cpu_count() or 1
    if jobs == 1 or len(tasks) == 1:
        return list(zip(paths, map(_call, tasks)))
    # Imported here: the pool's modules take longer to load than the rest
    # of the command line, and only runs over several files use them.
    import concurrent.futures

    workers = min(jobs, len(tasks))
    # The largest files go out first, a few files per round trip, and the
    # smallest last, one at a time: the workers then finish close together
    # without a round trip to a worker per file.
    order = sorted(range(len(tasks)), key=lambda i: -_file_size(paths[i]))
    results: List[Any] = [None] * len(tasks)
    with concurrent.futures.ProcessPoolExecutor(max_workers=workers) as pool:
        pending = {}
        at = 0
        while at < len(order):
            # Batches shrink as the work left does: an eighth of each
            # worker's share, down to one file.
            size = max(1, (len(order) - at) // (workers * 8))
            group = order[at:at + size]
            at += size
            pending[pool.submit(_call_many, [tasks[i] for i in group])] = group
        for future in concurrent.futures.as_completed(pending):
            for i, result in zip(pending[future], future.result()):
                results[i] = result
    return list(zip(paths, results))


def report_failure(path: str, error: str) -> None:
    sys.stderr.write("%s: error: %s: %s\n" % (PROG, path, error))


def _tsv_field(value: object) -> str:
    """A TSV cell: None is empty; tab, LF and CR (possible only in table
    names) are written as \\t, \\n, \\r."""
    if value is None:
        return ""
    text = str(value)
    if "\t" in text or "\n" in text or "\r" in text:
        text = text.replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")
    return text


def cmd_carve(args: argparse.Namespace, out: IO[bytes]) -> None:
    db = open_database(args.database)
    progress = Progress()
    size = db.page_size * db.total_pages
    max_hits = args.max_hits if args.max_hits != 0 else U32_MAX

    def tick() -> None:
        progress.show("carving %s (%s scope)... %.0f s" % (_mb(size), args.scope,
                                                           progress.elapsed()))

    try:
        hits = run_in_thread(
            lambda: db.carve_utf16le_strings_scoped(
                cast(Any, args.scope), needle=args.needle, min_chars=args.min_chars,
                max_hits=max_hits),
            tick)
    except BaseException:
        progress.clear()
        raise
    progress.done("carved %s in %.1f s (%.1f MB/s): %d hits" % (
        _mb(size), progress.elapsed(), size / 1e6 / progress.elapsed(), len(hits)))
    if args.format == "jsonl":
        _lines(out, (_json(hit) for hit in hits))
    else:
        _lines(out, ["\t".join(HIT_FIELDS)] +
               ["\t".join(_tsv_field(hit[k]) for k in HIT_FIELDS)
                for hit in hits])


def _json_value(value: Any) -> Any:
    """A record value as JSON takes it: bytes as lowercase hex, dates as ISO
    8601 text, non-finite floats as 0 (as the exports write them)."""
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, float) and not math.isfinite(value):
        return 0
    if hasattr(value, "isoformat"):
        return value.isoformat()
    if isinstance(value, list):
        return [_json_value(v) for v in value]
    return value


def recovered_line(item: Mapping[str, Any]) -> str:
    """One recovered record as one JSON object (record members sorted by
    name, as the exports write them)."""
    record = {k: _json_value(v) for k, v in sorted(item["record"].items())}
    return _json(dict(item, record=record))


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
            try:
                self.files[table] = os.open(
                    file_name, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o666,
                    dir_fd=self.dir_fd)
            except OSError as error:
                raise CliError("Failed to create output file: "
                               + _system_error_text(error)) from None
        return self.files[table]

    def write(self, table: str, data: bytes) -> None:
        fd = self.fd(table)
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]

    def close(self) -> None:
        for fd in self.files.values():
            os.close(fd)
        self.files = {}


def cmd_recover(args: argparse.Namespace, out: IO[bytes]) -> None:
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
            try:
                os.makedirs(args.out, exist_ok=True)
            except OSError as error:
                raise CliError("Failed to create output directory: %s"
                               % _os_error_text(error)) from None
            dir_fd = _open_directory(args.out)
            files = RecoverFiles(dir_fd)
        try:
            block: List[str] = []
            table = ""
            size = 0

            def flush() -> None:
                if not block:
                    return
                data = ("\n".join(block) + "\n").encode("utf-8", "surrogateescape")
                if files is not None:
                    files.write(table, data)
                else:
                    _write(out, data)
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


def json_header(header: Mapping[str, Any]) -> Dict[str, Any]:
    """get_header()'s dict with times as ISO 8601 text and bytes as hex, as
    check() gives it."""
    def plain(value: Any) -> Any:
        if isinstance(value, datetime.datetime):
            return value.isoformat()
        if isinstance(value, bytes):
            return value.hex()
        if isinstance(value, dict):
            return {k: plain(v) for k, v in value.items()}
        return value
    return cast(Dict[str, Any], plain(header))


def _time_text(value: Any) -> str:
    """A header time (datetime or ISO text) as "YYYY-MM-DD HH:MM:SS UTC"."""
    if value is None:
        return "not set"
    text = value.isoformat() if isinstance(value, datetime.datetime) else str(value)
    return text.replace("T", " ") + " UTC"


def _position_text(position: Mapping[str, int]) -> str:
    if not any(position.values()):
        return "none"
    return "log 0x%X, sector %d, offset %d" % (position["generation"], position["sector"],
                                             position["offset"])


def required_logs_text(header: Mapping[str, Any]) -> str:
    """The log generations a dirty file needs, in hex as log file names
    carry them ("0x51 to 0x51"), or "none"."""
    low, high = header["required_log_low"], header["required_log_high"]
    if low == 0 and high == 0:
        return "none"
    return "0x%X to 0x%X" % (low, high)


def _named(value: Any) -> str:
    """A state or file type: its text, or "unknown (N)" for a number."""
    return value if isinstance(value, str) else "unknown (%d)" % value


def _shadow_text(header: Mapping[str, Any]) -> str:
    if header["shadow_checksum_ok"] is None:
        return "absent (file too short)"
    return "%s, %s" % ("checksum ok" if header["shadow_checksum_ok"] else "CHECKSUM BAD",
                       "matches the header" if header["shadow_matches"] else "DIFFERS from the header")


def _checksum_text(header: Mapping[str, Any]) -> str:
    if header["header_checksum_ok"]:
        return "0x%08x (ok)" % header["header_checksum"]
    return "0x%08x (BAD: the bytes give 0x%08x)" % (header["header_checksum"],
                                                   header["header_checksum_computed"])


def header_lines(header: Mapping[str, Any]) -> List[Tuple[str, str]]:
    """(label, text) pairs of the header facts, for people."""
    windows = header["windows_version"]
    rows = [
        ("file type", _named(header["file_type"])),
        ("state", _named(header["state"])),
        ("required logs", required_logs_text(header)),
        ("committed log", "0x%X" % header["committed_log"] if header["committed_log"] else "none"),
        ("created as", "format 0x%x revision 0x%x (%d)" % (
            header["creation_format_version"], header["creation_format_revision"],
            header["creation_format_revision"])),
        ("written by", "Windows %s, service pack %d" % (windows, header["windows_service_pack"])
         if windows is not None else "not recorded"),
        ("created", _time_text(header["creation_time"])),
        ("consistent", "%s; %s" % (_time_text(header["consistent_time"]),
                                   _position_text(header["consistent_position"]))),
        ("attached", "%s; %s" % (_time_text(header["attach_time"]),
                                 _position_text(header["attach_position"]))),
        ("detached", "%s; %s" % (_time_text(header["detach_time"]),
                                 _position_text(header["detach_position"]))),
        ("database time", str(header["database_time"])),
        ("last object id", str(header["last_object_id"])),
        ("repairs", "%d%s" % (header["repair_count"], "" if header["repair_time"] is None
                              else ", last " + _time_text(header["repair_time"]))),
        ("header checksum", _checksum_text(header)),
        ("shadow header", _shadow_text(header)),
    ]
    for name, raw in header["invalid_times"].items():
        rows.append(("invalid time", "%s: stored bytes %s" % (
            name, raw.hex() if isinstance(raw, bytes) else raw)))
    return rows


def _aligned(rows: Sequence[Tuple[str, str]]) -> List[str]:
    width = max(len(label) for label, _ in rows)
    return ["%s  %s" % (label.ljust(width), text) for label, text in rows]


def cmd_info(args: argparse.Namespace, out: IO[bytes]) -> None:
    db = open_database(args.database)
    header = db.get_header()
    try:
        file_size = os.stat(args.database).st_size
    except OSError as error:
        raise CliError(_os_error_text(error)) from None
    info: Dict[str, Any] = {
        "path": db.path,
        "file_size": file_size,
        "page_size": db.page_size,
        "total_pages": db.total_pages,
        "format_version": header["format_version"],
        "format_revision": header["format_revision"],
        "tables": len(db.get_tables()),
    }
    if args.json:
        info["header"] = json_header(header)
        _lines(out, [_json(info)])
        return
    rows = [("path", info["path"]), ("file size", str(file_size)),
            ("page size", str(info["page_size"])), ("pages", str(info["total_pages"])),
            ("format version", "0x%x" % info["format_version"]),
            ("format revision", "0x%x (%d)" % (info["format_revision"], info["format_revision"])),
            ("tables", str(info["tables"]))]
    _lines(out, _aligned(rows + header_lines(header)))


def page_ranges(numbers: Sequence[int]) -> str:
    """Ascending page numbers as ranges: "7, 143-158"."""
    parts: List[str] = []
    i = 0
    while i < len(numbers):
        j = i
        while j + 1 < len(numbers) and numbers[j + 1] == numbers[j] + 1:
            j += 1
        parts.append(str(numbers[i]) if i == j else "%d-%d" % (numbers[i], numbers[j]))
        i = j + 1
    return ", ".join(parts)


def bad_page_costs(page: Mapping[str, Any]) -> bool:
    """Whether a bad page touches a checked tree: a walk read it, or it
    carries a checked tree's object id. Other bad pages (bytes past the used
    part of a file, pages of no object) cost no data."""
    return bool(page["reached"]) or page["tree"] is not None


def damage_found(report: Mapping[str, Any]) -> bool:
    """Whether the report shows damage: a header or shadow header that fails
    or differs, a tree with anomalies, a bad page that touches a checked
    tree, or pages without checksums among checksummed ones (a file written
    without checksums has none that pass)."""
    header, pages = report["header"], report["pages"]
    return (not header["header_checksum_ok"]
            or header["shadow_checksum_ok"] is False or header["shadow_matches"] is False
            or any(tree["anomalous"] for tree in report["trees"])
            or any(bad_page_costs(p) for p in pages["bad_pages"])
            or (pages["no_checksum"] > 0 and pages["sound"] > 0))


def tree_label(tree: Mapping[str, Any]) -> str:
    """A tree for people: 'data tree of "T"', 'index "I" of "T"', ..."""
    if tree["role"] == "catalog":
        return "catalog" if tree["table"] is None else 'catalog ("%s")' % tree["table"]
    if tree["role"] == "data":
        return 'data tree of "%s"' % tree["table"]
    kind = "long values" if tree["role"] == "long_value" else "index"
    return '%s "%s" of "%s"' % (kind, tree["name"], tree["table"])


def tree_findings(tree: Mapping[str, Any]) -> List[str]:
    """One line per anomaly of a tree."""
    lines = []
    for f in tree["foreign_pages"]:
        lines.append("page %d of object %d met in the tree, left out" % (f["page"], f["owner"]))
    for link in tree["link_mismatches"]:
        lines.append("leaf %d links to page %d, not to the next leaf the branch pages list"
                     % (link["page"], link["next"]))
    if tree["unlisted_pages"]:
        lines.append("leaves only a next-page link reaches: " + page_ranges(tree["unlisted_pages"]))
    if tree["stale"]:
        lines.append("%d entries of those leaves outside their key range (stale), left out"
                     % tree["stale"])
    if tree["orphan_pages"]:
        lines.append("leaves of the tree no walk reaches (orphans): "
                     + page_ranges(tree["orphan_pages"]))
    if tree["unreadable_pages"]:
        lines.append("listed pages that cannot be read: " + page_ranges(tree["unreadable_pages"]))
    if tree["bad_pages"]:
        lines.append("pages read that fail their checksum: " + page_ranges(tree["bad_pages"]))
    if tree["rejected"]:
        lines.append("%d entries rejected as impossible records (on pages failing their checksum)"
                     % tree["rejected"])
    if tree["error"] is not None:
        lines.append("the walk ended early: " + tree["error"])
    return lines


def check_lines(report: Mapping[str, Any]) -> List[str]:
    """The human report: the summary, then the details."""
    header, pages, trees = report["header"], report["pages"], report["trees"]
    bad = [p["page"] for p in pages["bad_pages"]]
    costly = [p for p in pages["bad_pages"] if bad_page_costs(p)]
    anomalous = [t for t in trees if t["anomalous"]]
    freed = sum(len(t["freed_pages"]) for t in trees)
    if not bad:
        bad_text = "none"
    elif costly:
        bad_text = "%d (%s), %d of them in checked trees" % (len(bad), page_ranges(bad),
                                                             len(costly))
    else:
        bad_text = "%d (%s), none in a tree" % (len(bad), page_ranges(bad))
    summary = [
        ("state", _named(header["state"])),
        ("required logs", required_logs_text(header)),
        ("header", "checksum %s; shadow %s" % ("ok" if header["header_checksum_ok"] else "BAD",
                                               _shadow_text(header))),
        ("pages checked", "%d: %d sound, %d unused, %d bad%s" % (
            pages["checked"], pages["sound"], pages["unused"], pages["bad"],
            ", %d without checksum" % pages["no_checksum"] if pages["no_checksum"] else "")),
        ("bad pages", bad_text),
        ("trees", "%d checked, %d with anomalies; %d live and %d deleted entries" % (
            len(trees), len(anomalous), sum(t["live"] for t in trees),
            sum(t["deleted"] for t in trees))),
        ("unowned pages", "%d (of no catalog object and in no tree)" % pages["unowned"]),
        ("freed leaves", "%d (emptied by the engine, still owned)" % freed),
        ("result", "DAMAGE FOUND" if damage_found(report) else "no damage found"),
    ]
    lines = _aligned(summary)
    if not header["header_checksum_ok"]:
        lines += ["", "header: " + _checksum_text(header)]
    if anomalous:
        lines += ["", "trees with anomalies:"]
        for tree in anomalous:
            lines.append("  %s (root %d, object %d): %d pages, %d entries" % (
                tree_label(tree), tree["root"], tree["owner"], tree["pages"],
                tree["leaf_entries"]))
            lines += ["    " + line for line in tree_findings(tree)]
    if bad:
        lines += ["", "bad pages (page: failing blocks; owner; tree):"]
        for p in pages["bad_pages"]:
            where = tree_label(trees[p["tree"]]) if p["tree"] is not None else "no checked tree"
            lines.append("  %d: block %s; object %d; %s%s" % (
                p["page"], ", ".join(str(b) for b in p["blocks"]), p["owner"], where,
                ", read by its walk" if p["reached"] else ""))
    if pages["no_checksum"]:
        lines += ["", "pages written without checksums (every checksum field zero): "
                  + page_ranges(pages["no_checksum_pages"])]
    return lines


# Files below this size are checked before a progress line would be useful.
PROGRESS_MIN_BYTES = 256 << 20


def cmd_check(args: argparse.Namespace, out: IO[bytes]) -> int:
    db = open_database(args.database)
    size = db.page_size * db.total_pages
    progress = Progress()
    progress.enabled = progress.enabled and size >= PROGRESS_MIN_BYTES

    def tick() -> None:
        progress.show("checking %s... %.0f s" % (_mb(size), progress.elapsed()))

    try:
        report = run_in_thread(lambda: db.check(args.table), tick)
    except ValueError as error:  # no such table
        raise CliError(str(error)) from None
    finally:
        progress.clear()
    if args.json:
        _lines(out, [_json(report)])
    else:
        _lines(out, check_lines(report))
    return EXIT_DAMAGE if damage_found(report) else 0


COMMANDS: Dict[str, Callable[[argparse.Namespace, IO[bytes]], Optional[int]]] = {
    "tables": cmd_tables,
    "schema": cmd_schema,
    "dump": cmd_dump,
    "export": cmd_export,
    "carve": cmd_carve,
    "recover": cmd_recover,
    "info": cmd_info,
    "check": cmd_check,
}


def _silence_stdout() -> None:
    """After a broken pipe: point stdout at /dev/null so the interpreter's
    final flush does not report the error again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line; returns the exit status."""
    args = build_parser().parse_args(argv)
    out = cast(IO[bytes], sys.stdout.buffer)
    try:
        status = COMMANDS[args.command](args, out)
        _flush(out)
    except CliError as error:
        sys.stderr.write("%s: error: %s\n" % (PROG, error))
        return EXIT_FAILURE
    except FilesFailed:
        _flush(out)
        return EXIT_FAILURE
    except UsageError as error:
        sys.stderr.write("%s: error: %s (see '%s export --help')\n" % (PROG, error, PROG))
        return EXIT_USAGE
    except BrokenOutput:
        _silence_stdout()
        return EXIT_BROKEN_PIPE
    except KeyboardInterrupt:
        sys.stderr.write("\n")
        return EXIT_INTERRUPTED
    return status or 0


if __name__ == "__main__":
    sys.exit(main())
