"""WebCache views on builder-made databases (containers found by name,
history URL forms, periods, cached files, downloads, missing and damaged
tables), the value helpers they use, and the facts of the real sample."""

import datetime
import os

import pytest

import esebuild as eb
import shapes
from quarlet import EseDatabase, artifacts
from quarlet.artifacts import values
from test_artifacts import SAMPLES

UTC = datetime.timezone.utc
T0 = 133217192830631676  # 2023-02-24 13:34:43.063 UTC
HOUR = 36000000000
D = shapes.WEBCACHE_USER_DIR
DOWNLOAD_BLOB = (b"\x8c\x00\x00\x00" + b"\x00" * 12 + "https://example.org/dl/\x00".encode("utf-16-le")
                 + b"\x07\x00" + "application/zip\x00".encode("utf-16-le") + b"\x01\x02\x03\x04"
                 + "https://example.org/dl/a.zip\x00".encode("utf-16-le")
                 + "C:\\Users\\Ann\\Downloads\\a.zip\x00".encode("utf-16-le"))

HISTORY = [
    {"Url": "Visited: Ann@https://example.org/a?b=c@d", "AccessedTime": T0, "AccessCount": 3},
    {"Url": "Visited: Ann@file:///E:/secret.txt", "AccessedTime": T0 + 1},
    {"Url": "https://no-visited-form.example/", "AccessedTime": T0 + 2},
]
PERIOD = [
    {"Url": ":2023022420230225: Ann@https://example.org/", "AccessedTime": T0,
     "ModifiedTime": T0 + HOUR},
    {"Url": ":2023022420230225: Ann@:Host: example.org", "AccessedTime": T0},
    {"Url": "no period here", "AccessedTime": T0},
]
CONTENT = [
    {"Url": "https://example.org/p", "Filename": "p[1].htm", "SecureDirectory": 2,
     "FileSize": 5, "ResponseHeaders": b"HTTP/1.1 200 OK\r\nServer: \xe9\r\n\r\n\x00"},
    {"Url": "https://example.org/q", "Filename": "q[1].htm", "SecureDirectory": 3},
]
DOWNLOAD = [{"Url": "iedownload:{0}", "ResponseHeaders": DOWNLOAD_BLOB},
            {"Url": "iedownload:{1}", "ResponseHeaders": b"\x01\x00" * 40}]


def webcache_db(path, numbers=(2, 5, 7, 9), containers=True, extra=(), leaks=True):
    """History, a daily history, Content and iedownload containers under the
    given numbers; the tables are written in number order."""
    history, period, content, download = numbers
    tables = {
        history: shapes.webcache_entries(history, HISTORY),
        period: shapes.webcache_entries(period, PERIOD),
        content: shapes.webcache_entries(content, CONTENT),
        download: shapes.webcache_entries(download, DOWNLOAD),
    }
    rows = [(history, "History", "M", D + "History\\History.IE5\\", None),
            (period, "MSHist012023022420230225", "M", D + "History\\MSHist01\\", None),
            (content, "Content", "L", D + "INetCache\\Low\\IE\\", "AAAAAAAABBBBBBBB"),
            (download, "iedownload", "M", D + "IEDownloadHistory\\", None)]
    listed = [shapes.webcache_containers(rows)] if containers else []
    leaked = [eb.Table("LeakFiles", [eb.Column("LeakId", eb.T_LONG_LONG),
                                     eb.Column("CreationTime", eb.T_LONG_LONG),
                                     eb.Column("Filename", eb.T_LONG_TEXT, codepage=1200)],
                       [(1, T0, D + "INetCache\\IE\\X\\a[1]\x00")])] if leaks else []
    eb.Database(listed + [tables[n] for n in sorted(tables)] + list(extra) + leaked).write(path)
    return path


def rows_of(art, name):
    return [{k: v for k, v in r.items() if k not in ("source_table", "container_id")}
            for r in art.rows(name)]


# ---- values ---------------------------------------------------------------------


@pytest.mark.parametrize("blob, strings", [
    (DOWNLOAD_BLOB, ["https://example.org/dl/", "application/zip",  # bytes before a string
                     "\u0201\u0403https://example.org/dl/a.zip",  # may read as text: kept
                     "C:\\Users\\Ann\\Downloads\\a.zip"]),
    (b"\x00" + "odd\\path\x00".encode("utf-16-le"), ["odd\\path"]),  # odd alignment
    ("C:\\Юзер\\файл.txt".encode("utf-16-le"), ["C:\\Юзер\\файл.txt"]),
    (b"\x01\x00" * 40 + b"\xff\xfe\x00\xd8", []),  # binary, a lone surrogate: no strings
    (b"", []), (None, None),
])
def test_utf16_carve(blob, strings):
    assert values.utf16_carve(blob) == strings


@pytest.mark.parametrize("raw, text", [
    (b"SUID\x00", "SUID"), (b"caf\xc3\xa9", "caf\u00e9"), (b"\xe9t\xe9\x00", "\u00e9t\u00e9"),
    ("x\x00", "x"), (None, None)])
def test_byte_text(raw, text):
    assert values.byte_text(raw) == text


# ---- builder-made databases -----------------------------------------------------


def test_containers_found_by_name_not_number(tmp_path):
    one = artifacts.open(webcache_db(str(tmp_path / "a.dat"), numbers=(2, 5, 7, 9)))
    two = artifacts.open(webcache_db(str(tmp_path / "b.dat"), numbers=(9, 7, 5, 2)))
    assert one.kind == two.kind == "webcache" and not one.errors
    assert one.views() == two.views() == ["history_visits", "history_periods", "cached_content",
                                          "downloads", "leaked_files", "containers"]
    for name in one.views()[:-1]:
        assert rows_of(one, name) == rows_of(two, name), name
    visits = list(two.rows("history_visits"))
    assert [(r["user"], r["url"], r["visit_count"]) for r in visits] == [
        ("Ann", "https://example.org/a?b=c@d", 3), ("Ann", "file:///E:/secret.txt", None),
        (None, "https://no-visited-form.example/", None)]
    assert visits[0]["accessed"] == datetime.datetime(2023, 2, 24, 13, 34, 43, 63167, tzinfo=UTC)
    assert {(r["source_table"], r["container"], r["partition"]) for r in visits} == {
        ("Container_9", "History", "M")}
    assert [r["source_key"] for r in visits] == ["EntryId=1", "EntryId=2", "EntryId=3"]


def test_history_periods(tmp_path):
    art = artifacts.open(webcache_db(str(tmp_path / "a.dat")))
    got = [(r["period_start"], r["period_end"], r["period_days"], r["user"], r["url"], r["host"])
           for r in art.rows("history_periods")]
    assert got == [("2023-02-24", "2023-02-25", 1, "Ann", "https://example.org/", None),
                   ("2023-02-24", "2023-02-25", 1, "Ann", None, "example.org"),
                   ("2023-02-24", "2023-02-25", 1, None, "no period here", None)]
    first = next(art.rows("history_periods"))
    assert first["visited_local_time"] == "2023-02-24T14:34:43.063167"  # stored local, not UTC
    assert "LOCAL" in {c.name: c.meaning for c in art.columns("history_periods")}[
        "visited_local_time"]


def test_cached_files_and_downloads(tmp_path):
    art = artifacts.open(webcache_db(str(tmp_path / "a.dat")))
    content = list(art.rows("cached_content"))
    assert [(r["secure_directory"], r["cached_path"]) for r in content] == [
        ("BBBBBBBB", D + "INetCache\\Low\\IE\\BBBBBBBB\\p[1].htm"), (None, None)]
    assert content[0]["response_headers"] == "HTTP/1.1 200 OK\r\nServer: \u00e9\r\n\r\n"
    found, empty = art.rows("downloads")
    assert (found["url"], found["target_path"], found["mime_type"]) == (
        "https://example.org/dl/a.zip", "C:\\Users\\Ann\\Downloads\\a.zip", "application/zip")
    assert (empty["strings"], empty["url"], empty["target_path"]) == ([], None, None)
    assert empty["blob"] == b"\x01\x00" * 40  # the blob kept as stored
    containers = {r["name"]: r for r in art.rows("containers")}
    assert containers["Content"]["secure_directories"] == ["AAAAAAAA", "BBBBBBBB"]


@pytest.mark.parametrize("containers", [True, False])
def test_missing_containers_and_tables(tmp_path, containers):
    # Container_9 has no Containers row; Container_7's row names a missing
    # table when the Containers table is there.
    extra = [shapes.webcache_entries(11, [{"Url": "feedplat:x", "AccessedTime": T0}])]
    path = webcache_db(str(tmp_path / "a.dat"), numbers=(2, 5, 20, 9), containers=containers,
                       extra=extra)
    art = artifacts.open(path)
    assert art.kind == "webcache" and not art.errors
    other = {r["source_table"]: r["container"] for r in art.rows("other_entries")}
    if containers:
        assert other == {"Container_11": None}
        assert len(list(art.rows("history_visits"))) == 3
        tables = {r["name"]: r["table"] for r in art.rows("containers")}
        assert tables["History"] == "Container_2"
    else:  # nothing says what the tables hold: every entry still comes out
        assert set(other) == {"Container_2", "Container_5", "Container_9", "Container_11",
                              "Container_20"}
        assert "containers" not in art.views()
    assert len(list(art.rows("leaked_files"))) == 1


def test_damaged_container_hides_no_other(tmp_path):
    # Two History containers; the first listed is written last and cut short.
    big = shapes.webcache_entries(20, [{"Url": "Visited: Ann@https://e.org/%d" % i,
                                        "AccessedTime": T0 + i} for i in range(3000)])
    path = str(tmp_path / "a.dat")
    eb.Database([shapes.webcache_containers([(20, "History", "L", D, None),
                                             (2, "History", "M", D, None)]),
                 shapes.webcache_entries(2, HISTORY), big]).write(path)
    with open(path, "r+b") as f:
        f.truncate(os.path.getsize(path) - 4 * 8192)
    art = artifacts.open(path)
    got = []
    with pytest.raises(OSError, match="^Error reading record: "):
        for row in art.rows("history_visits"):
            got.append(row)
    assert 0 < sum(r["source_table"] == "Container_20" for r in got) < 3000
    assert sum(r["source_table"] == "Container_2" for r in got) == 3


def test_union_view_as_arrow(tmp_path):
    pyarrow = pytest.importorskip("pyarrow")
    path = str(tmp_path / "a.dat")
    eb.Database([shapes.webcache_containers([(3, "History", "L", D, None),
                                             (2, "History", "M", D, None)]),
                 shapes.webcache_entries(2, HISTORY), shapes.webcache_entries(3, HISTORY[:1])]
                ).write(path)
    art = artifacts.open(path)
    table = pyarrow.RecordBatchReader.from_stream(
        art.arrow("history_visits", batch_size=2)).read_all()
    assert table.column_names == [c.name for c in art.columns("history_visits")]
    assert table.to_pylist() == list(art.rows("history_visits"))
    assert table.column("source_table").to_pylist() == ["Container_3"] + ["Container_2"] * 3


# ---- the real sample ---------------------------------------------------------------


def sample_paths():
    if not os.path.isdir(SAMPLES):
        return []
    return sorted(os.path.join(SAMPLES, f) for f in os.listdir(SAMPLES) if f.startswith("webcache"))


@pytest.mark.parametrize("path", sample_paths()
                         or [pytest.param(None, marks=pytest.mark.skip("no samples"))])
def test_sample(path):
    db = EseDatabase(path)
    art = artifacts.open(db)
    assert art.kind == "webcache" and not art.errors
    header = db.get_header()
    start = header["creation_time"].replace(tzinfo=UTC)
    end = header["consistent_time"].replace(tzinfo=UTC)
    containers = {r["table"]: r["name"] for r in art.rows("containers")}
    history = [t for t, name in containers.items()
               if t and name and (name == "History" or name.startswith("MSHist"))]
    seen = {}
    for name in art.views():
        rows = list(art.rows(name))
        for row in rows:
            assert not any(isinstance(v, str) and v.endswith("\x00") for v in row.values())
        if name in ("history_visits", "history_periods"):
            for row in rows:
                seen[(row["source_table"], row["source_key"])] = \
                    seen.get((row["source_table"], row["source_key"]), 0) + 1
                assert row["user"] and (row["url"] or row.get("host"))
                assert start <= row["accessed"] <= end, row
    for table in history:  # every history entry once
        keys = {(table, "EntryId=%d" % r["EntryId"]) for r in db.iter_table(table, True)}
        assert keys and all(seen.get(k) == 1 for k in keys)
    assert len(seen) == sum(1 for t in history for _ in db.iter_table(t))
    download = next(art.rows("downloads"))
    assert download["url"].startswith("https://") and download["target_path"].endswith(".iso")
