"""Progress on a terminal: one status line on stderr, long work run on a
worker thread while the line is redrawn, and the progress of an export
into known files (tables done, records written, MB/s)."""

from __future__ import annotations

import os
import sys
import threading
import time
from typing import IO, Any, Callable, Dict, Optional, Sequence, Tuple

from .files import file_size


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


def mb(n: float) -> str:
    """A byte count as megabytes for people ("12.3 MB")."""
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


def _stat_key(path: str) -> Optional[Tuple[int, int, int, int]]:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)


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
        written = sum(file_size(p) for p in self.paths[:self.current + 1])
        self.progress.show("%d/%d tables, %d records, %s, %.1f MB/s  %s" % (
            self.current, len(self.paths), self.counter.records, mb(written),
            written / 1e6 / self.progress.elapsed(), os.path.basename(self.paths[self.current])))

    def finish(self) -> None:
        if not self.progress.enabled:
            return
        self.set_current(len(self.paths) - 1)
        if self.current >= 0:
            self.counter.follow(self.paths[self.current], to_end=True)
        written = sum(file_size(p) for p in self.paths)
        elapsed = self.progress.elapsed()
        self.progress.done("exported %d tables, %d records, %s in %.1f s (%.1f MB/s)" % (
            len(self.paths), self.counter.records, mb(written), elapsed,
            written / 1e6 / elapsed))


def duration(seconds: float) -> str:
    """Seconds for people: "42 s", "3 min 05 s", "1 h 02 min"."""
    seconds = int(round(seconds))
    if seconds < 60:
        return "%d s" % seconds
    if seconds < 3600:
        return "%d min %02d s" % (seconds // 60, seconds % 60)
    return "%d h %02d min" % (seconds // 3600, seconds % 3600 // 60)


class FilesProgress:
    """Progress of a run over several files, on a terminal: files done of
    the total, megabytes read of the total, MB/s and the time left; at the
    end, a summary line. Silent on a pipe or file."""

    def __init__(self, paths: Sequence[str], progress: Optional[Progress] = None) -> None:
        self.progress = progress if progress is not None else Progress()
        self.enabled = self.progress.enabled
        self.total = len(paths)
        self.sizes = {p: file_size(p) for p in paths} if self.enabled else {}
        self.total_bytes = sum(self.sizes.values())
        self.done = 0
        self.done_bytes = 0

    def file_done(self, path: str) -> None:
        self.done += 1
        self.done_bytes += self.sizes.get(path, 0)
        self.tick()

    def tick(self) -> None:
        if not self.enabled:
            return
        rate = self.done_bytes / self.progress.elapsed()
        left = ""
        if self.done_bytes and self.done < self.total:
            left = ", %s left" % duration((self.total_bytes - self.done_bytes) / rate)
        self.progress.show("%d/%d files, %s of %s, %.1f MB/s%s" % (
            self.done, self.total, mb(self.done_bytes), mb(self.total_bytes), rate / 1e6, left))

    def finish(self, what: str, detail: str = "") -> None:
        """Replaces the line with "<what>: N files, X MB in T s (R MB/s)",
        then "; <detail>"."""
        if not self.enabled:
            return
        elapsed = self.progress.elapsed()
        self.progress.done("%s: %d files, %s in %.1f s (%.1f MB/s)%s" % (
            what, self.total, mb(self.total_bytes), elapsed, self.total_bytes / 1e6 / elapsed,
            "; " + detail if detail else ""))

    def clear(self) -> None:
        self.progress.clear()
