"""Events of any number of views in one stream sorted by time, in bounded
memory: each event is one text line that starts with its sort key (its
time as a fixed-width count of microseconds), lines are sorted in runs of
at most `RUN_LINES` and each run written to a file, and the runs are merged
(heapq.merge, at most `fan_in` files open at once). Equal times are ordered
by the rest of the line, so the order does not depend on which file or
worker an event came from.
"""

from __future__ import annotations

import heapq
import json
import os
from typing import IO, Iterable, Iterator, List, Optional

RUN_LINES = 50000  # lines sorted in memory at once
KEY_WIDTH = 18  # digits of the key: 9999-12-31 is 3.2e17 microseconds after 0001-01-01
EPOCH_SHIFT = 62135596800 * 1000000  # microseconds from 0001-01-01 to 1970-01-01
_PLAIN, _ESCAPED = "\t", "\x1e"  # between the key and the text, as it is or as JSON
_PLAIN_BYTE = ord(_PLAIN)


def sort_key(microseconds: int) -> str:
    """The sort key of a time given in microseconds since 1970 (UTC)."""
    return "%0*d" % (KEY_WIDTH, microseconds + EPOCH_SHIFT)


def line(key: str, text: str, end: str = "\n") -> str:
    """A run's line: the key, then `text` and `end` (a line break in the
    text would end the line early, so such text is stored as a JSON string,
    without `end`)."""
    if "\n" in text or "\r" in text:
        return key + _ESCAPED + json.dumps(text) + "\n"
    return key + _PLAIN + text + end


def text_of(stored: bytes, end: bytes = b"\n") -> bytes:
    """The text a run's line holds, without its key, with `end` (a line as
    merged() gives it: UTF-8 bytes)."""
    if stored[KEY_WIDTH] == _PLAIN_BYTE:
        return stored[KEY_WIDTH + 1:]
    text = str(json.loads(stored[KEY_WIDTH + 1:]))
    return text.encode("utf-8", "surrogatepass") + end


def _open(path: str, mode: str) -> IO[str]:
    # Only "\n" ends a line; "\r" in a text is stored escaped anyway.
    return open(path, mode, encoding="utf-8", errors="surrogatepass", newline="\n",
                buffering=1 << 20)


class Runs:
    """Sorted runs written into `folder`, each file named from `prefix`."""

    def __init__(self, folder: str, prefix: str, size: int = RUN_LINES) -> None:
        self.folder = folder
        self.prefix = prefix
        self.size = max(1, size)
        self.paths: List[str] = []
        self.count = 0
        self._lines: List[str] = []

    def add(self, lines: Iterable[str]) -> None:
        """Adds lines (from line()); a full buffer is sorted and written."""
        buffer = self._lines
        for item in lines:
            buffer.append(item)
            if len(buffer) >= self.size:
                self.flush()
                buffer = self._lines

    def flush(self) -> None:
        """Writes the lines held so far as one sorted run."""
        if not self._lines:
            return
        self._lines.sort()
        path = os.path.join(self.folder, "%s-%d.run" % (self.prefix, len(self.paths)))
        with _open(path, "x") as f:
            f.writelines(self._lines)
        self.paths.append(path)
        self.count += len(self._lines)
        self._lines = []


def fan_in_limit() -> int:
    """How many runs to merge at once: well within the open-file limit."""
    try:
        import resource
        soft = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
    except (ImportError, OSError, ValueError):
        return 64
    if soft == resource.RLIM_INFINITY:
        return 1000
    return max(8, min(1000, soft // 2 - 32))


def merged(paths: List[str], folder: str, fan_in: Optional[int] = None) -> Iterator[bytes]:
    """The lines of sorted runs in one sorted stream, as UTF-8 bytes (the
    order of text and of its UTF-8 bytes is the same). With more runs than
    `fan_in`, groups of runs are first merged into longer runs in `folder`
    (each merged run's files removed once read)."""
    limit = max(2, fan_in or fan_in_limit())
    paths = list(paths)
    level = 0
    while len(paths) > limit:
        level += 1
        next_paths = []
        for at in range(0, len(paths), limit):
            group = paths[at:at + limit]
            if len(group) == 1:
                next_paths.append(group[0])
                continue
            target = os.path.join(folder, "merge-%d-%d.run" % (level, at))
            with open(target, "xb") as out:
                out.writelines(_merge_files(group))
            for path in group:
                os.remove(path)
            next_paths.append(target)
        paths = next_paths
    return _merge_files(paths)


def _merge_files(paths: List[str]) -> Iterator[bytes]:
    # Small read buffers: one per run is open at once, up to the fan-in.
    files = [open(path, "rb", buffering=1 << 13) for path in paths]
    try:
        yield from heapq.merge(*files)
    finally:
        for f in files:
            f.close()
