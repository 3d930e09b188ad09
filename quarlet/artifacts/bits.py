"""BITS (the Background Intelligent Transfer Service's queue, qmgr.db): the
transfer jobs and their files, a classic way to download or upload files
quietly and to persist.

Tables `Jobs` and `Files` each hold an `Id` (GUID) and a `Blob` (Long
Binary) whose layout is not established. The views therefore only carve the
UTF-16LE strings out of a blob and label the ones whose form is plain: a
`scheme://` string is a remote URL, a drive-letter path a local path, an
`S-1-...` string a SID. Which string is the job's name is a guess (the
first one of no such form); every string and the whole blob are kept.
"""

from __future__ import annotations

import re
import uuid
from typing import Any, Callable, Dict, List, Mapping, Optional, Set, Tuple

from .. import EseDatabase
from . import values
from .engine import Artifact, Column, ViewDef, col

KIND = "bits"
COLUMNS = {"Id", "Blob"}

_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*://\S")
_LOCAL_PATH = re.compile(r"^[A-Za-z]:\\.")
_SID = re.compile(r"^S-1-[0-9]+(-[0-9]+)+$")
_GUID = re.compile(r"^\{?[0-9A-Fa-f]{8}(-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}\}?$")
_DEVICE_PATH = re.compile(r"^\\\\[?.]\\")


def detect(tables: Mapping[str, Set[str]]) -> bool:
    return COLUMNS <= tables.get("Jobs", set())


def strings(blob: Any) -> Optional[List[str]]:
    """Every UTF-16LE string of three or more characters in the blob, in
    order (None for no blob)."""
    if blob is None:
        return None
    return [s for _, s in values.utf16_runs(blob, 3)]


def _first(test: Callable[[str], Any]) -> Callable[[Any], Optional[str]]:
    def pick(blob: Any) -> Optional[str]:
        for s in strings(blob) or ():
            if test(s):
                return s
        return None
    return pick


def _plain(s: str) -> bool:
    """A string of none of the forms the views label (nor a GUID or a
    device path), with a letter in it."""
    return not (_URL.match(s) or _LOCAL_PATH.match(s) or _SID.match(s) or _GUID.match(s)
                or _DEVICE_PATH.match(s)) and any(c.isalpha() for c in s)


remote_url = _first(_URL.match)
local_path = _first(_LOCAL_PATH.match)
owner_sid = _first(_SID.match)
first_plain = _first(_plain)

_CARVED = "carved from the blob (its layout is not established): "


def guid_bytes(text: Any) -> Optional[bytes]:
    """GUID text as its 16 stored bytes (Data1-3 little-endian)."""
    try:
        return uuid.UUID(str(text)).bytes_le
    except ValueError:
        return None


class Links:
    """Which job each file belongs to, as far as the blobs show it: a job's
    blob holds the 16 bytes of its files' Ids (observed; the layout around
    them is not established). Read once, both tables being small."""

    def __init__(self) -> None:
        self.job_of: Dict[str, str] = {}
        self.names: Dict[str, Optional[str]] = {}
        self.files_of: Dict[str, List[Tuple[str, Optional[str], Optional[str]]]] = {}

    @classmethod
    def read(cls, db: EseDatabase, errors: Dict[str, str]) -> "Links":
        links = cls()
        files: Dict[bytes, Tuple[str, Optional[str], Optional[str]]] = {}
        try:
            for r in db.iter_table("Files", True, ["Id", "Blob"]):
                key = guid_bytes(r["Id"])
                if key is not None:
                    files[key] = (str(values.guid(r["Id"])), remote_url(r["Blob"]),
                                  local_path(r["Blob"]))
            for r in db.iter_table("Jobs", True, ["Id", "Blob"]):
                job, blob = values.guid(r["Id"]), r["Blob"]
                if job is None or not isinstance(blob, (bytes, bytearray)):
                    continue
                links.names[job] = first_plain(blob)
                held = {bytes(blob[i:i + 16]) for i in range(len(blob) - 15)} & files.keys()
                for key in sorted(held, key=bytes(blob).find):
                    links.files_of.setdefault(job, []).append(files[key])
                    links.job_of.setdefault(files[key][0], job)
        except (OSError, ValueError) as error:
            errors["Jobs/Files"] = str(error)  # the links read before it are kept
        return links

    def job(self, file_id: Any) -> Optional[str]:
        return self.job_of.get(values.guid(file_id) or "")

    def job_name(self, file_id: Any) -> Optional[str]:
        job = self.job(file_id)
        return self.names.get(job) if job else None

    def file_part(self, part: int) -> Callable[[Any], List[Any]]:
        def of(job_id: Any) -> List[Any]:
            return [f[part] for f in self.files_of.get(values.guid(job_id) or "", ())]
        return of


def common(path_meaning: str) -> List[Column]:
    return [
        col("remote_url", "str", _CARVED + "the first string of the form scheme://...; "
            "interpreted as the remote URL", "Blob", convert=remote_url),
        col("local_path", "str", _CARVED + "the first drive-letter path (X:\\...); " +
            path_meaning, "Blob", convert=local_path),
        col("strings", "list", _CARVED + "every UTF-16LE string of 3 or more characters, "
            "in order (Latin, Greek and Cyrillic letters only); not interpreted", "Blob",
            convert=strings),
        col("blob", "bytes", "the whole stored Blob, not interpreted", "Blob"),
    ]


def build(db: EseDatabase, tables: Mapping[str, Set[str]]) -> Artifact:
    defs: List[ViewDef] = []
    errors: Dict[str, str] = {}
    both = COLUMNS <= tables.get("Jobs", set()) and COLUMNS <= tables.get("Files", set())
    links = Links.read(db, errors) if both else Links()
    linked = "the files whose Id the job's blob holds (observed link): "
    if COLUMNS <= tables.get("Jobs", set()):
        defs.append(ViewDef("jobs", "transfer jobs: the strings their blobs hold", "Jobs", [
            col("id", "str", "the job's GUID (Id)", "Id", convert=values.guid),
            col("name", "str", _CARVED + "the first string that is no URL, path, SID or "
                "GUID; interpreted (a guess) as the job's name", "Blob", convert=first_plain),
            col("owner_sid", "str", _CARVED + "the first string of the form S-1-...; "
                "interpreted as the job owner's SID", "Blob", convert=owner_sid),
            col("file_ids", "list", linked + "their Ids", "Id", convert=links.file_part(0)),
            col("file_remote_urls", "list", linked + "their remote URLs (as in the files "
                "view)", "Id", convert=links.file_part(1)),
            col("file_local_paths", "list", linked + "their local paths (as in the files "
                "view)", "Id", convert=links.file_part(2)),
        ] + common("in a job's blob this may be a program it runs, not a transfer's target"),
            key=("Id",)))
    if COLUMNS <= tables.get("Files", set()):
        defs.append(ViewDef("files", "files of transfer jobs: the strings their blobs hold",
                              "Files", [
            col("id", "str", "the file's GUID (Id)", "Id", convert=values.guid),
            col("job_id", "str", "the job whose blob holds this file's Id (observed link)",
                "Id", convert=links.job),
            col("job_name", "str", "that job's name as the jobs view guesses it", "Id",
                convert=links.job_name),
        ] + common("interpreted as the local path"), key=("Id",)))
    return Artifact(KIND, db, defs, errors=errors)
