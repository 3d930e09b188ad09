"""Windows Search and BITS views on builder-made databases (property names
under other numbering, FILETIME byte orders, broken folder chains, blobs
without strings, missing tables) and the facts of the real samples."""

import datetime
import os
import struct
import uuid

import pytest

import esebuild as eb
import shapes
from quarlet import EseDatabase, artifacts
from quarlet.artifacts import search, values
from test_artifacts import SAMPLES, plausible

UTC = datetime.timezone.utc
WHEN = datetime.datetime(2021, 11, 16, 18, 0, tzinfo=UTC)  # shapes.FILETIME_2021
SID = "S-1-5-21-1-2-3-1001"
JOB, FILE = "d387e452-e2b3-472d-b3b3-85c2be33cbb3", "3f4a8b1a-98e5-4aa8-a2e7-c0bf1bc6f48d"
# A folder tree: a root and its children, a chain whose parent is missing, a
# two-scope cycle and a scope that is its own parent.
SCOPES = [(2, 1, "file:"), (3, 2, "C:"), (4, 3, "/"), (5, 4, "Users/"), (6, 40, "orphan/"),
          (7, 8, "a/"), (8, 7, "b/"), (9, 9, "self/"), (10, 1, "Users/")]


def open_db(path, tables):
    eb.Database(tables).write(str(path))
    return artifacts.open(str(path))


def search_db(path, shift=0, n=20, gatherer=True, store=True):
    tables = [shapes.search_store(shift, filler=6, n=n)] if store else []
    if gatherer:
        items = [(5, 1, "Folder 0", struct.pack(">Q", shapes.FILETIME_2021)),
                 (6, 2, "x.txt", bytes(8)), (7, 3, "y.txt", struct.pack(">Q", 1)),
                 (9, 4, "z.txt", None), (99, 500, "gone.txt", b"\x01")]
        tables += shapes.search_gatherer(items, SCOPES)
    return open_db(path, tables)


@pytest.mark.parametrize("shift", [0, 1000, -3])
def test_properties_found_by_name_under_any_numbering(tmp_path, shift):
    art = search_db(tmp_path / "Windows.edb", shift)
    assert art.kind == "windows-search"
    assert art.views() == ["files", "gatherer", "scopes", "properties"]
    rows = list(art.rows("files"))
    reference = list(search_db(tmp_path / "ref.edb").rows("files"))
    assert rows == reference and len(rows) == 20
    first, second = rows[0], rows[1]
    assert (first["path"], first["item_type"], first["kind"], first["size"]) == (
        "C:\\Users\\user0\\Documents\\Folder 0", "Directory", ["document"], None)
    assert (second["kind"], second["size"], second["modified"], first["owner"]) == (
        ["link", "program"], 1001, WHEN + datetime.timedelta(seconds=1), "LAB\\user0")
    assert first["source_key"] == "WorkID=1"
    props = next(iter(art.rows("properties")))
    assert props["System_DateCreated"] == WHEN and props["System_Size"] is None
    assert props["System_Kind"] == ["document"]
    assert "System_Filler_Property0" in props


@pytest.mark.parametrize("raw, order, when", [
    (shapes.FILETIME_2021, "<Q", WHEN), (shapes.FILETIME_2021, ">Q", WHEN),
    (0, "<Q", None), (1, "<Q", None), (0, ">Q", None), (1, ">Q", None),
    (b"\x01\x02\x03", None, None), (None, None, None),
])
def test_filetime_binaries(raw, order, when):
    stored = struct.pack(order, raw) if order else raw
    convert = search.filetime_le if order == "<Q" else search.gather_time
    assert convert(stored) == when
    if order:  # the other byte order reads another time, or nothing
        other = search.gather_time if order == "<Q" else search.filetime_le
        assert raw in (0, 1) or other(stored) != when


def test_gatherer_rebuilds_scopes_and_marks_broken_chains(tmp_path):
    art = search_db(tmp_path / "Windows.edb")
    scopes = {r["scope"]: (r["url"], r["path_status"]) for r in art.rows("scopes")}
    assert scopes[5] == ("file:C:/Users/", "complete")
    assert scopes[6] == ("orphan/", "missing parent")
    assert scopes[7][1] == scopes[8][1] == scopes[9][1] == "cyclic parent"
    assert scopes[10] == ("Users/", "missing parent")  # its root is no URL scheme
    rows = {r["document_id"]: r for r in art.rows("gatherer")}
    assert (rows[1]["url"], rows[1]["path_complete"], rows[1]["last_modified"]) == (
        "file:C:/Users/Folder 0", True, WHEN)
    assert (rows[1]["item_path"], rows[1]["in_property_store"]) == (
        "C:\\Users\\user0\\Documents\\Folder 0", True)
    assert [rows[d]["path_complete"] for d in (2, 3, 4, 500)] == [False] * 4
    assert [rows[d]["last_modified"] for d in (2, 3, 4, 500)] == [None] * 4
    assert (rows[500]["url"], rows[500]["path_status"], rows[500]["in_property_store"]) == (
        None, "unknown scope", False)
    assert rows[1]["SDID"] == 7  # stored columns come out as they are


def test_long_chain_and_cycle_walked_once():
    chain = [(i, i - 1, "d%d/" % i) for i in range(3, 20003)] + [(2, 1, "file:")]
    chain += [(30000 + i, 30000 + (i + 1) % 1000, "c/") for i in range(1000)]
    done = search.rebuild_scopes(chain)
    assert done[20002][1] == "complete" and done[20002][0].startswith("file:d3/d4/")
    assert {done[30000 + i][1] for i in range(1000)} == {"cyclic parent"}


@pytest.mark.parametrize("store, gatherer", [(True, False), (False, True)])
def test_missing_tables_leave_the_other_views(tmp_path, store, gatherer):
    art = search_db(tmp_path / "Windows.edb", store=store, gatherer=gatherer)
    assert art.kind == "windows-search" and not art.errors
    for name in art.views():
        assert list(art.rows(name))
    assert ("files" in art.views()) == store and ("gatherer" in art.views()) == gatherer
    if not store:
        assert {r["in_property_store"] for r in art.rows("gatherer")} == {False}


# ---- BITS ----------------------------------------------------------------------------------


def prefixed(text):
    """A string as the sample's blobs hold them: a count, then UTF-16LE."""
    return struct.pack("<I", len(text) + 1) + shapes.utf16z(text)


JOB_BLOB = (b"\xa1V\t\xe1" + bytes(12) + prefixed("Nightly sync") + b"\x01" + prefixed(SID)
            + prefixed("C:\\Tools\\notify.exe") + uuid.UUID(FILE).bytes_le + b"\x99\xb6h")
FILE_BLOB = (prefixed("C:\\Users\\bob\\Downloads\\payload.bin") + b"\x00"  # an odd offset next
             + prefixed("https://example.test/p.bin") + prefixed("\\\\?\\Volume{1}\\"))


@pytest.mark.parametrize("blob, strings", [
    (JOB_BLOB, ["Nightly sync", SID, "C:\\Tools\\notify.exe"]),
    (FILE_BLOB, ["C:\\Users\\bob\\Downloads\\payload.bin", "https://example.test/p.bin",
                 "\\\\?\\Volume{1}\\"]),
    (bytes(range(256)) * 4 + b"\x01\x01" * 9, []),             # binary, no strings
    ("Привет, C:\\".encode("utf-16-le"), ["Привет, C:\\"]),    # Cyrillic kept
    ("日本語".encode("utf-16-le"), []), (b"", []),
])
def test_strings_carved_from_blobs(blob, strings):
    assert [s for _, s in values.utf16_runs(blob)] == strings


def test_bits_views(tmp_path):
    art = open_db(tmp_path / "qmgr.db", shapes.bits_tables(
        [(JOB, JOB_BLOB), ("11111111-2222-3333-4444-555555555555", bytes(64))],
        [(FILE, FILE_BLOB), ("21111111-2222-3333-4444-555555555555", None)]))
    assert art.kind == "bits" and art.views() == ["jobs", "files"]
    job, empty = art.rows("jobs")
    assert (job["name"], job["owner_sid"], job["remote_url"]) == ("Nightly sync", SID, None)
    assert (job["file_ids"], job["file_remote_urls"], job["file_local_paths"]) == (
        [FILE], ["https://example.test/p.bin"], ["C:\\Users\\bob\\Downloads\\payload.bin"])
    assert job["blob"] == JOB_BLOB and job["source_key"] == "Id=" + JOB
    assert (empty["name"], empty["strings"], empty["file_ids"], empty["blob"]) == (
        None, [], [], bytes(64))
    file, blobless = art.rows("files")
    assert (file["job_id"], file["job_name"], file["local_path"]) == (
        JOB, "Nightly sync", "C:\\Users\\bob\\Downloads\\payload.bin")
    assert (blobless["strings"], blobless["remote_url"], blobless["job_id"]) == (
        None, None, None)


@pytest.mark.parametrize("tables, kind", [
    (lambda: shapes.bits_tables([], []), "bits"),
    (lambda: [shapes.search_store(n=1)], "windows-search"),
    (lambda: shapes.search_gatherer([], []), "windows-search"),
    (lambda: [eb.Table("Jobs", [eb.Column("Id", eb.T_GUID)], [])], None),
    (lambda: [eb.Table("Other_PropertyStore", [eb.Column("Id", eb.T_LONG)], [])], None),
])
def test_detect(tmp_path, tables, kind):
    path = str(tmp_path / "x.db")
    eb.Database(tables()).write(path)
    assert artifacts.detect(EseDatabase(path)) == kind


# ---- real samples ------------------------------------------------------------------------------


def sample(name):
    path = os.path.join(SAMPLES, name)
    if not os.path.exists(path):
        pytest.skip("no samples")
    return path


def test_windows_search_sample():
    db = EseDatabase(sample("winsearch-w10-clean-32k.edb"))
    art = artifacts.open(db)
    assert art.kind == "windows-search" and not art.errors
    files = list(art.rows("files"))
    assert len(files) == 918 == len({r["work_id"] for r in files})
    stored = search.property_columns(db.get_table_schema("SystemIndex_PropertyStore"))
    column = stored["System_ItemPathDisplay"][0]
    has_path = {r["WorkID"] for r in db.iter_table("SystemIndex_PropertyStore", True,
                                                   ["WorkID", column]) if r[column]}
    assert {r["work_id"] for r in files if r["path"]} == has_path
    for r in files:
        assert all(plausible(r[k]) for k in search.EVENTS if r[k] is not None)
    gatherer = list(art.rows("gatherer"))
    complete = [r for r in gatherer if r["path_complete"]]
    assert len(gatherer) == 1256 and len(complete) == 1256  # no broken chain in this file
    assert all(r["url"].startswith(("file:", "winrt:")) for r in complete)
    assert sum(r["in_property_store"] for r in gatherer) == 918


def test_bits_sample():
    art = artifacts.open(sample("qmgr-rev300-16k.db"))
    job, = art.rows("jobs")
    file, = art.rows("files")
    assert job["name"] == "Edge Component Updater" and job["owner_sid"].startswith("S-1-5-21-")
    assert file["remote_url"].startswith("http://msedge.b.tlu.dl.delivery.mp.microsoft.com/")
    assert file["local_path"].startswith("C:\\Users\\bob\\AppData\\Local\\Temp\\edge_BITS_")
    assert job["file_remote_urls"] == [file["remote_url"]] and file["job_id"] == job["id"]
