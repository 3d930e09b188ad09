"""The provenance of an output folder: `manifest.json`, written beside the
files a run wrote from its sources. It names the quarlet version, the
command line and the time of the run, and per source its path as given,
size, SHA-256, modification time, artefact kind, state and the files written
from it with their row counts, so that every output file can be traced to
the exact bytes it was read from.

    manifest = Manifest(out_dir, argv)
    source = manifest.add_source(path, kind="srum", state="clean shutdown")
    source.add_file(os.path.join(out_dir, folder, "network_usage.jsonl"), rows=1200)
    manifest.write()
"""

from __future__ import annotations

import datetime
import hashlib
import importlib
import json
import os
import pathlib
import threading
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple

import quarlet
from quarlet import EseDatabase

from .errors import CliError, os_error_text
from .files import open_directory, write_all

MANIFEST_NAME = "manifest.json"
CHUNK = 1 << 20


def utc_text(seconds: float) -> str:
    """A POSIX time as ISO 8601 UTC text."""
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).isoformat()


class SourceFacts(NamedTuple):
    """What identifies a source file: its size, SHA-256 (hex) and
    modification time (ISO 8601 UTC), all taken from one open file."""
    size: int
    sha256: str
    modified: str


def source_facts(path: str) -> SourceFacts:
    """Reads the whole file once for its SHA-256. Raises OSError."""
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        st = os.fstat(f.fileno())
        size = 0
        while True:
            chunk = f.read(CHUNK)
            if not chunk:
                break
            digest.update(chunk)
            size += len(chunk)
    return SourceFacts(size, digest.hexdigest(), utc_text(st.st_mtime))


def facts_meanwhile(path: str) -> Callable[[], Optional[SourceFacts]]:
    """Starts reading `path` for its facts on a thread of its own (hashing
    and reading leave the interpreter free, as the module's reads do), so
    that the file is hashed while it is being read for the work itself.
    Returns the function that waits for the facts (None when the file
    cannot be read)."""
    outcome: List[Optional[SourceFacts]] = [None]

    def work() -> None:
        try:
            outcome[0] = source_facts(path)
        except OSError:
            pass

    thread = threading.Thread(target=work, name="quarlet-hash", daemon=True)
    thread.start()

    def wait() -> Optional[SourceFacts]:
        thread.join()
        return outcome[0]

    return wait


def state_text(value: Any) -> str:
    """A header state as text ("dirty shutdown"), "unknown (N)" for a number."""
    return value if isinstance(value, str) else "unknown (%d)" % value


def kind_and_state(db: EseDatabase) -> Tuple[Optional[str], Optional[str]]:
    """The artefact kind (None when of no known kind, or when the catalog
    cannot be read through) and the header state of an open database."""
    from quarlet import artifacts  # the views' modules are loaded only when needed

    try:
        kind = artifacts.detect(db)
    except (OSError, ValueError):
        kind = None
    try:
        state: Optional[str] = state_text(db.get_header()["state"])
    except (OSError, ValueError):
        state = None
    return kind, state


# ---- row counts of files written --------------------------------------------------


def _csv_records(path: str) -> int:
    """Records of a CSV file the exports wrote (a header row, quoted fields
    that may hold line breaks): line ends outside quotes, less the header.
    Splitting at every quote leaves the text outside quotes in the even
    pieces (a doubled quote inside a field gives an empty even piece)."""
    ends = 0
    outside = True
    with open(path, "rb") as f:
        while True:
            chunk = f.read(CHUNK)
            if not chunk:
                break
            pieces = chunk.split(b'"')
            start = 0 if outside else 1
            ends += sum(p.count(b"\n") for p in pieces[start::2])
            if len(pieces) % 2 == 0:
                outside = not outside
    return max(ends - 1, 0)


def count_rows(path: str) -> Optional[int]:
    """The rows of a JSON Lines, CSV or Parquet file written by a run, or
    None when the file cannot be read back."""
    try:
        if path.endswith(".jsonl"):
            rows = 0
            with open(path, "rb") as f:
                while True:
                    chunk = f.read(CHUNK)
                    if not chunk:
                        return rows
                    rows += chunk.count(b"\n")
        if path.endswith(".csv"):
            return _csv_records(path)
        if path.endswith(".parquet"):
            parquet: Any = importlib.import_module("pyarrow.parquet")
            return int(parquet.ParquetFile(path).metadata.num_rows)
    except (OSError, ValueError, ImportError):
        return None
    return None


class SourceResult(NamedTuple):
    """What the work on one source brings back for the manifest (from a
    worker process): kind, state, facts and the files written (path, rows)."""
    kind: Optional[str]
    state: Optional[str]
    facts: Optional[SourceFacts]
    files: List[Tuple[str, Optional[int]]]


def source_result(path: str, db: EseDatabase, files: Sequence[str],
                  rows: Optional[Sequence[Optional[int]]] = None,
                  facts: Optional[Callable[[], Optional[SourceFacts]]] = None) -> SourceResult:
    """The SourceResult of `db` read from `path`, with the files written
    from it: their rows as given, or counted by reading the files back.
    `facts` waits for facts taken meanwhile (see facts_meanwhile); without
    it they are taken here. Facts that cannot be taken are left to the
    manifest, which tries again and names the reason."""
    kind, state = kind_and_state(db)
    if facts is None:
        facts = facts_meanwhile(path)
    written = [f for f in files if os.path.isfile(f)] if rows is None else list(files)
    counts = [count_rows(f) for f in written] if rows is None else list(rows)
    return SourceResult(kind, state, facts(), list(zip(written, counts)))


# ---- the manifest --------------------------------------------------------------------


class ManifestSource:
    """One source of a run: its facts, and the files written from it."""

    def __init__(self, manifest: "Manifest", given: str, kind: Optional[str],
                 state: Optional[str], facts: Optional[SourceFacts],
                 error: Optional[str]) -> None:
        self.manifest = manifest
        self.given = given
        self.kind = kind
        self.state = state
        self.facts = facts
        self.error = error
        self.output: Optional[str] = None
        self.files: List[Tuple[str, Optional[int]]] = []

    def set_output(self, folder: str) -> None:
        """The folder the source's files were written into."""
        self.output = self.manifest.relative(folder)

    def add_file(self, path: str, rows: Optional[int]) -> None:
        """A file written from this source, with its row count (None when
        not known)."""
        self.files.append((self.manifest.relative(path), rows))

    def as_dict(self) -> Dict[str, Any]:
        facts = self.facts
        item: Dict[str, Any] = {
            "path": self.given,
            "size": facts.size if facts else None,
            "sha256": facts.sha256 if facts else None,
            "modified": facts.modified if facts else None,
            "kind": self.kind,
            "state": self.state,
        }
        if self.output is not None:
            item["output"] = self.output
        item["files"] = [{"path": p, "rows": rows} for p, rows in self.files]
        if self.error is not None:
            item["error"] = self.error
        return item


class Manifest:
    """The manifest of one output folder. `argv` is the command line, the
    program's name first; the time is the run's start."""

    def __init__(self, out_dir: str, argv: Sequence[str]) -> None:
        self.out_dir = out_dir
        self.argv = list(argv)
        self.time = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
        self.sources: List[ManifestSource] = []

    def relative(self, path: str) -> str:
        """`path` relative to the output folder when inside it."""
        rel = os.path.relpath(path, self.out_dir)
        return path if rel.startswith("..") else rel

    def add_source(self, given: str, *, kind: Optional[str], state: Optional[str],
                   facts: Optional[SourceFacts] = None,
                   error: Optional[str] = None) -> ManifestSource:
        """A source, by its path as given. Its size, SHA-256 and modification
        time are read here unless `facts` brings them (taken where the file
        was read). A file that cannot be read is still named, with the
        reason in "error"."""
        if facts is None:
            try:
                facts = source_facts(given)
            except OSError as failure:
                error = error or os_error_text(failure)
        source = ManifestSource(self, given, kind, state, facts, error)
        self.sources.append(source)
        return source

    def add_result(self, given: str, folder: Optional[str], result: Optional[SourceResult],
                   error: Optional[str] = None) -> ManifestSource:
        """A source and what was written from it into `folder`, from its
        SourceResult, or (result None) one that failed with `error`."""
        if result is None:
            source = self.add_source(given, kind=None, state=None, error=error)
        else:
            source = self.add_source(given, kind=result.kind, state=result.state,
                                     facts=result.facts, error=error)
            for path, rows in result.files:
                source.add_file(path, rows)
        if folder is not None and os.path.isdir(folder):
            source.set_output(folder)
        return source

    def as_dict(self) -> Dict[str, Any]:
        return {"quarlet_version": quarlet.__version__, "command_line": self.argv,
                "time": self.time, "sources": [s.as_dict() for s in self.sources]}

    def write(self) -> pathlib.Path:
        """Writes out_dir/manifest.json whole or not at all: into a new
        temporary file of the folder, then renamed over the name (a symbolic
        link there is replaced, never followed). Returns its path."""
        text = json.dumps(self.as_dict(), ensure_ascii=False, indent=2) + "\n"
        # Names that are no valid UTF-8 keep their escaped form (\udcXX).
        data = text.encode("utf-8", "backslashreplace")
        dir_fd = open_directory(self.out_dir)
        temp = ".%s.%d.%s.tmp" % (MANIFEST_NAME, os.getpid(), os.urandom(4).hex())
        try:
            fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL |
                         getattr(os, "O_NOFOLLOW", 0), 0o666, dir_fd=dir_fd)
            try:
                write_all(fd, data)
                os.fsync(fd)
            finally:
                os.close(fd)
            os.replace(temp, MANIFEST_NAME, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
        except OSError as error:
            try:
                os.unlink(temp, dir_fd=dir_fd)
            except OSError:
                pass
            raise CliError("Failed to write %s: %s" % (
                os.path.join(self.out_dir, MANIFEST_NAME), os_error_text(error))) from None
        finally:
            os.close(dir_fd)
        return pathlib.Path(self.out_dir, MANIFEST_NAME)
