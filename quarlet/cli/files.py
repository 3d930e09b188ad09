"""Files of the command line: the databases it reads (named, or found in
folders by their signature) and the files it writes (safe names that fit
the file system, created without following symbolic links)."""

from __future__ import annotations

import argparse
import contextlib
import os
import shutil
import stat
import sys
import tempfile
from typing import IO, Dict, Iterator, List, NamedTuple, Optional, Sequence, Set, Tuple

from quarlet import EseDatabase

from .errors import CliError, os_error_text, system_error_text

ESE_SIGNATURE = b"\xef\xcd\xab\x89"  # 0x89ABCDEF, little-endian, at offset 4
NAME_MAX = 255  # bytes of one file name


# ---- databases read -----------------------------------------------------------


def open_database(path: str) -> EseDatabase:
    """The database at `path`; CliError when it cannot be opened."""
    try:
        return EseDatabase(path)
    except (OSError, ValueError) as error:  # not found, not a database, bad path
        raise CliError(str(error)) from None


STDIN = "-"  # a database argument that stands for standard input


@contextlib.contextmanager
def stdin_database(args: argparse.Namespace) -> Iterator[None]:
    """Within the block, database arguments "-" (DB, or among the paths)
    name a file "stdin" in a temporary folder, removed at the end: a link to
    standard input when a regular file is redirected to it (read in place),
    else a copy of what it gives (a pipe)."""
    names = [(k, v) for k, v in vars(args).items()
             if (k == "database" and v == STDIN)
             or (k in ("paths", "sources") and isinstance(v, list) and STDIN in v)]
    if not names:
        yield
        return
    with tempfile.TemporaryDirectory(prefix="quarlet-") as folder:
        path = os.path.join(folder, "stdin")
        if stat.S_ISREG(os.fstat(sys.stdin.fileno()).st_mode):
            # This process's descriptor, which worker processes open too.
            os.symlink("/proc/%d/fd/%d" % (os.getpid(), sys.stdin.fileno()), path)
        else:
            with open(path, "wb") as copy:
                shutil.copyfileobj(sys.stdin.buffer, copy, 1 << 20)
        for key, value in names:
            setattr(args, key, path if isinstance(value, str)
                    else [path if v == STDIN else v for v in value])
        yield


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


class Found(NamedTuple):
    """A database file of the command line: its path (as named, or the
    folder named joined with its path inside it) and the folder named it
    was found in (None for a file named directly)."""
    path: str
    root: Optional[str]


def find_sources(sources: Sequence[str]) -> List[Found]:
    """Files named directly, and the ESE databases inside named folders
    (recursively, symbolic links not followed, in sorted order); each file
    once, however many times it is named or reached."""
    found: List[Found] = []
    seen: Set[Tuple[int, int]] = set()

    def add(path: str, root: Optional[str]) -> None:
        try:
            st = os.stat(path)
        except OSError:  # reported when it is opened
            found.append(Found(path, root))
            return
        if (st.st_dev, st.st_ino) not in seen:
            seen.add((st.st_dev, st.st_ino))
            found.append(Found(path, root))

    for source in sources:
        if not os.path.isdir(source):
            add(source, None)
            continue
        # os.walk never descends into a symbolic link to a folder, so a link
        # back up the tree cannot loop.
        for root, dirs, files in os.walk(source):
            dirs.sort()
            for name in sorted(files):
                path = os.path.join(root, name)
                if not os.path.islink(path) and os.path.isfile(path) and is_ese_file(path):
                    add(path, source)
    if not found:
        raise CliError("No ESE database found in: %s" % ", ".join(sources))
    return found


def find_databases(sources: Sequence[str]) -> List[str]:
    """The paths of find_sources."""
    return [f.path for f in find_sources(sources)]


def file_size(path: str) -> int:
    """The size of `path` in bytes, 0 when it cannot be read."""
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


# ---- names of files written -----------------------------------------------------


def safe_file_stem(name: str) -> str:
    """The file name of a table without ".jsonl": '/', '\\' and NUL become
    '_'; "." and ".." become "_" and "__" (as the module's export_all)."""
    stem = name.replace("/", "_").replace("\\", "_").replace("\0", "_")
    return {".": "_", "..": "__"}.get(stem, stem)


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


def _path_parts(path: str) -> List[str]:
    """The names of a path's components, without ".", ".." and the root."""
    return [p for p in os.path.normpath(path).replace("\\", "/").split("/")
            if p not in ("", ".", "..")]


def fit_folder_name(name: str) -> str:
    """A folder name cut to fit 255 bytes, keeping its end (the file name,
    the most telling part) at a character boundary."""
    data = name.encode("utf-8", "surrogateescape")
    if len(data) <= NAME_MAX:
        return name
    data = data[-NAME_MAX:]
    while data and (data[0] & 0xC0) == 0x80:  # a character cut in two
        data = data[1:]
    return data.decode("utf-8", "surrogateescape")


def source_folder_names(found: Sequence[Found], reserved: Sequence[str] = ()) -> List[str]:
    """The output folder of each source of a run: its path below the folder
    named on the command line (the file name alone for a file named
    directly), components joined by "_" ('\\' and NUL become '_' too), so
    that Users/alice/.../WebCacheV01.dat gives Users_alice_..._WebCacheV01.dat.
    Sources that would share a name take in more of their path, as far as
    it goes (two folders named alike: the folders' own names), and only
    then _2, _3, ... The `reserved` names are never given (the manifest)."""
    parts = [_path_parts(f.path) or [os.path.basename(f.path) or "_"] for f in found]
    depth = []
    for f, p in zip(found, parts):
        below = 1 if f.root is None else len(_path_parts(os.path.relpath(f.path, f.root)))
        depth.append(max(1, min(below, len(p))))

    def label(i: int) -> str:
        return safe_file_stem("_".join(parts[i][-depth[i]:]))

    while True:
        groups: Dict[str, List[int]] = {}
        for i in range(len(found)):
            groups.setdefault(label(i), []).append(i)
        grew = False
        for members in groups.values():
            if len(members) > 1:
                for i in members:
                    if depth[i] < len(parts[i]):
                        depth[i] += 1
                        grew = True
        if not grew:
            break
    taken = set(reserved)
    names = []
    for i in range(len(found)):
        stem = fit_folder_name(label(i))
        name, k = stem, 2
        while name in taken:
            name = fit_folder_name("%s_%d" % (stem, k))
            k += 1
        taken.add(name)
        names.append(name)
    return names


def export_file_names(names: Sequence[str]) -> List[str]:
    """The JSON Lines file of each table, as the module's export_all names
    them (see output_file_names)."""
    return output_file_names(names, ".jsonl")


# ---- files and directories written ------------------------------------------------


def make_dirs(path: str) -> None:
    """Creates directory `path` with its parents, if missing."""
    try:
        os.makedirs(path, exist_ok=True)
    except OSError as error:
        raise CliError("Failed to create output directory: %s" % os_error_text(error)) from None


def open_directory(path: str) -> int:
    """A descriptor of directory `path` to create files in (opened for
    lookups only where the system allows, so no read permission is needed)."""
    try:
        return os.open(path, getattr(os, "O_PATH", os.O_RDONLY) | os.O_DIRECTORY)
    except OSError as error:
        raise CliError("Failed to create output directory: %s" % os_error_text(error)) from None


def create_output_file(path: str) -> IO[bytes]:
    """Creates or truncates `path` for writing; a symbolic link at the path
    is not followed (the creation fails)."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | getattr(os, "O_NOFOLLOW", 0) | \
        getattr(os, "O_CLOEXEC", 0)
    try:
        fd = os.open(path, flags, 0o666)
    except OSError as error:
        raise CliError("Failed to create output file: %s" % os_error_text(error)) from None
    return os.fdopen(fd, "wb")


def create_file_in(dir_fd: int, file_name: str, truncate: bool) -> int:
    """Opens `file_name` inside directory `dir_fd` for writing, creating it if
    missing and emptying it when `truncate` is set. A symbolic link at that
    name is not followed: the open fails, with the message the module's
    export_all gives."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_NOFOLLOW | (os.O_TRUNC if truncate else 0)
    try:
        return os.open(file_name, flags, 0o666, dir_fd=dir_fd)
    except OSError as error:
        raise CliError("Failed to create output file: " + system_error_text(error)) from None


def write_all(fd: int, data: bytes) -> None:
    """Writes all of `data` to descriptor `fd`, however many writes it takes."""
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]
