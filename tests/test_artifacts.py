"""Artefact views: value interpretations, detection, SRUM and User Access
Logging views on builder-made databases (ids, times, addresses, unknown
tables, recovered rows, damage), and the facts of the real samples."""

import datetime
import json
import os
import struct

import pytest

import esebuild as eb
import shapes
from quarlet import EseDatabase, artifacts
from quarlet.artifacts import values

UTC = datetime.timezone.utc
SAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "samples")
ROLE_ADDS = "ad495fc3-0eaa-413d-ba7d-8b13fa7ec598"
ROLE_CUSTOM = "11111111-2222-3333-4444-555555555555"


# ---- values ---------------------------------------------------------------------


@pytest.mark.parametrize("count", [0, 1, 5, 15])
def test_sid_of_any_length(count):
    subs = list(range(1000, 1000 + count))
    assert values.sid(shapes.sid_bytes(*subs)) == "-".join(["S-1-5"] + [str(s) for s in subs])


@pytest.mark.parametrize("blob, text", [
    (bytes(8), "S-0-0"),                                         # all zero: no sub-authority
    (shapes.sid_bytes(21, 7, authority=1 << 40), "S-1-0x010000000000-21-7"),
    (shapes.sid_bytes(18) + b"\x00\x00", "S-1-5-18"),            # trailing bytes ignored
    (shapes.sid_bytes(18, 19)[:-1], None),                       # shorter than its count
    (b"\x01", None), (None, None), ("S-1-5-18", None),
])
def test_sid_edges(blob, text):
    assert values.sid(blob) == text


def test_sid_with_big_endian_last_sub_authority():
    blob = shapes.sid_bytes(21, 1, 2, 3, 0)[:-4] + struct.pack(">I", 500)
    assert values.sid(blob, last_big_endian=True) == "S-1-5-21-1-2-3-500"


@pytest.mark.parametrize("blob, text", [
    (b"\n\x00\x00\n", "10.0.0.10"), (bytes(15) + b"\x01", "::1"),
    (bytes.fromhex("fe80000000000000e15cc5574b0c3739"), "fe80::e15c:c557:4b0c:3739"),
    (b"\x01\x02\x03", "010203"), (b"", None), (None, None), ("10.0.0.1\x00", "10.0.0.1"),
])
def test_ip_address(blob, text):
    assert values.ip_address(blob) == text


@pytest.mark.parametrize("raw, when", [
    (0, None), (-1, None), (values.FILETIME_MAX + 1, None), (1.5, None),
    (shapes.FILETIME_2021, datetime.datetime(2021, 11, 16, 18, 0, tzinfo=UTC)),
    (values.FILETIME_MAX, datetime.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC)),
])
def test_filetime(raw, when):
    assert values.filetime(raw) == when


def _ticks(*when):
    return (datetime.datetime(*when, tzinfo=UTC) - values.FILETIME_EPOCH) // datetime.timedelta(
        microseconds=1) * 10


def test_native_filetimes_equal_their_python_functions(tmp_path):
    """The reader's own FILETIME conversions (a view's fast path) give what
    the Python functions give, calendar edges and out-of-range values too."""
    cases = [0, 1, 2, 9, 10, 11, shapes.FILETIME_2021, values.FILETIME_MAX,
             values.FILETIME_MAX + 1, 2**63 - 1, -1, -2**63, _ticks(1601, 3, 1),
             _ticks(1700, 2, 28, 23, 59, 59, 999999), _ticks(1900, 3, 1), _ticks(2000, 2, 29, 12),
             _ticks(2100, 3, 1), _ticks(9999, 12, 31, 23, 59, 59)]
    rows = [(i, t, (t % 2**64).to_bytes(8, "little"), (t % 2**64).to_bytes(8, "big"),
             (t % 2**64).to_bytes(8, "little")[:7]) for i, t in enumerate(cases)]
    path = str(tmp_path / "t.edb")
    eb.Database([eb.Table("t", [eb.Column("Id", eb.T_LONG), eb.Column("T", eb.T_LONG_LONG),
                                eb.Column("B", eb.T_BINARY), eb.Column("E", eb.T_BINARY),
                                eb.Column("S", eb.T_BINARY)], rows)]).write(path)
    db = EseDatabase(path)
    definition = artifacts.ViewDef("t", "", "t", [
        artifacts.engine.col("t", "datetime", "", "T", convert=values.FILETIME),
        artifacts.engine.col("le", "datetime", "", "B", convert=values.FILETIME_LE),
        artifacts.engine.col("be", "datetime", "", "E", convert=values.FILETIME_BE),
        artifacts.engine.col("short", "datetime", "", "S", convert=values.FILETIME_LE)],
        key=("Id",), passthrough=False)
    view = artifacts.View(db, definition)
    assert view._program() is not None  # the reader runs it
    got = [(r["t"], r["le"], r["be"], r["short"]) for r in view.rows()]
    want = [(values.FILETIME(r["T"]), values.FILETIME_LE(r["B"]), values.FILETIME_BE(r["E"]),
             None) for r in db.iter_table("t", True)]
    assert got == want
    assert got[6][0] == got[6][1] == datetime.datetime(2021, 11, 16, 18, tzinfo=UTC)


@pytest.mark.parametrize("raw, when", [
    # the bits of an OLE date, a FILETIME in a DateTime column, a decoded value
    (struct.unpack("<Q", struct.pack("<d", shapes.OLE_2021))[0],
     datetime.datetime(2021, 11, 16, 18, 0, tzinfo=UTC)),
    (shapes.FILETIME_2021, datetime.datetime(2021, 11, 16, 18, 0, tzinfo=UTC)),
    (datetime.datetime(2021, 1, 1), datetime.datetime(2021, 1, 1, tzinfo=UTC)),
    (0, None), (struct.unpack("<Q", struct.pack("<d", float("nan")))[0], None),
])
def test_date_time(raw, when):
    assert values.date_time(raw) == when


@pytest.mark.parametrize("value, text", [
    (b"a\x00b\x00\x00\x00", "ab"), (b"a\x00" + bytes(256), "a"), (b"a\x00b", "a\ufffd"),
    ("padded\x00\x00\x00", "padded"), (None, None),
])
def test_text_loses_its_terminators(value, text):
    assert values.text(value) == text


def test_wmi_datetime_and_bias():
    assert values.wmi_datetime("20210605044708.644043-420") == datetime.datetime(
        2021, 6, 5, 11, 47, 8, 644043, tzinfo=UTC)
    assert values.wmi_datetime("garbage") is None
    assert [values.signed16(v) for v in (65116, 120, None)] == [-420, 120, None]


# ---- builder-made artefacts --------------------------------------------------------


def srum_db(path, records=(), unknown=True, extra=(), **kwargs):
    """A SRUM-shaped database: the id map, a network usage table (`records`,
    or 12 generated ones) and a provider table of an unknown GUID."""
    usage = eb.Table(shapes.NETWORK_USAGE, shapes.network_usage_columns() + list(extra),
                     list(records) or list(shapes.network_usage_records(12)), **kwargs)
    tables = [shapes.srum_id_map(), usage]
    if unknown:
        tables.append(eb.Table("{01234567-89AB-CDEF-0123-456789ABCDEF}", [
            eb.Column("AutoIncId", eb.T_LONG), eb.Column("TimeStamp", eb.T_DATETIME),
            eb.Column("AppId", eb.T_LONG), eb.Column("UserId", eb.T_LONG),
            eb.Column("Seen", eb.T_DATETIME), eb.Column("Note", eb.T_TEXT, codepage=1200),
            eb.Column("app", eb.T_LONG)],
            [(1, shapes.OLE_2021, 3, 7, shapes.FILETIME_2021, "new provider\x00", 5)]))
    eb.Database(tables).write(path)
    return path


@pytest.fixture
def srum(tmp_path):
    return artifacts.open(srum_db(str(tmp_path / "SRUDB.dat")))


def test_srum_detected_by_tables_not_name(tmp_path):
    path = srum_db(str(tmp_path / "anything.bin"), unknown=False)
    assert artifacts.detect(EseDatabase(path)) == "srum"
    other = str(tmp_path / "SRUDB.dat")
    eb.Database([eb.Table("t", [eb.Column("a", eb.T_LONG)], [(1,)])]).write(other)
    assert artifacts.detect(EseDatabase(other)) is None
    with pytest.raises(ValueError, match="^Not a known artefact database: "):
        artifacts.open(other)


def test_network_usage_resolves_every_id(srum):
    assert srum.kind == "srum"
    assert srum.views() == ["network_usage", "provider_01234567-89ab-cdef-0123-456789abcdef",
                            "id_map"]
    rows = list(srum.rows("network_usage"))
    assert [r["auto_inc_id"] for r in rows] == list(range(1, 13))
    assert [r["source_key"] for r in rows[:2]] == ["AutoIncId=1", "AutoIncId=2"]
    by_app = {}
    for r in rows:
        by_app.setdefault(r["app_id"], r)
    assert {k: by_app[1][k] for k in ("app", "app_type", "user_sid", "user_type")} == {
        "app": None, "app_type": "no app", "user_sid": None, "user_type": "no user"}
    assert [(by_app[i]["app_type"], by_app[i]["app_name"]) for i in (3, 4, 5, 8)] == [
        ("application", "svchost.exe"), ("service", "Dnscache"),
        ("package", "Microsoft.Windows.Search"), ("application", "svchost.exe [netsvcs] [WpnService]")]
    first = by_app[3]
    assert first["user_sid"] == "S-1-5-21-1-2-3-1001"
    assert first["timestamp"] == datetime.datetime(2021, 11, 16, 18, 0, tzinfo=UTC)
    assert (first["interface_type"], first["interface_type_name"], first["interface_index"]) == (
        6, "ethernet", 32769)
    assert (first["bytes_sent"], first["bytes_received"], first["source_table"]) == (
        1001, 2001, shapes.NETWORK_USAGE)
    assert all(not isinstance(v, str) or not v.endswith("\x00") for r in rows for v in r.values())


def test_unknown_provider_and_new_columns_come_out(tmp_path):
    path = srum_db(str(tmp_path / "s.dat"), extra=[eb.Column("NewCounter", eb.T_LONG)],
                   records=[(1, shapes.OLE_2021, 99, 2, 0, 0, 0, 5, 6, 42)])
    art = artifacts.open(path)
    row, = art.rows("network_usage")
    assert (row["app_type"], row["app"], row["NewCounter" if "NewCounter" in row else
                                              "new_counter"]) == ("unresolved", None, 42)
    new, = art.rows("provider_01234567-89ab-cdef-0123-456789abcdef")
    assert (new["app_name"], new["user_sid"], new["Seen"], new["Note"], new["app_stored"]) == (
        "svchost.exe", "S-1-5-21-1-2-3-1001", datetime.datetime(2021, 11, 16, 18, tzinfo=UTC),
        "new provider", 5)
    columns = {c.name: c for c in art.columns("provider_01234567-89ab-cdef-0123-456789abcdef")}
    assert columns["Seen"].type == "datetime" and "Seen" in columns["Seen"].meaning


def test_id_map_view(srum):
    rows = {r["id_index"]: r for r in srum.rows("id_map")}
    assert (rows[7]["type"], rows[7]["value"]) == ("user", "S-1-5-21-1-2-3-1001")
    assert (rows[6]["type"], rows[6]["name"]) == ("server object", "System Reserved")
    assert rows[1]["value"] is None and rows[1]["source_key"] == "IdIndex=1"


def test_missing_id_map_rows_and_unreadable_map(tmp_path):
    path = str(tmp_path / "s.dat")
    eb.Database([eb.Table("SruDbIdMapTable", [eb.Column("IdType", eb.T_UNSIGNED_BYTE),
                                              eb.Column("IdIndex", eb.T_LONG),
                                              eb.Column("IdBlob", eb.T_LONG_BINARY)], []),
                 eb.Table(shapes.NETWORK_USAGE, shapes.network_usage_columns(),
                          list(shapes.network_usage_records(3)))]).write(path)
    rows = list(artifacts.open(path).rows("network_usage"))
    assert len(rows) == 3 and {r["app_type"] for r in rows} == {"unresolved"}


def test_recovered_rows_are_marked_and_resolved(tmp_path):
    table = eb.Table(shapes.NETWORK_USAGE, shapes.network_usage_columns(), [])
    live = list(shapes.network_usage_records(6))
    deleted = (7, shapes.OLE_2021, 3, 7, 0, 0, 0, 70, 71)
    slack_only = (8, shapes.OLE_2021, 4, 7, 0, 0, 0, 80, 81)
    key = eb._u32_key
    table.records = [eb.Record(r, key=key(r[0])) for r in live[:3]] + [
        eb.Record(deleted, key=key(7), deleted=True)] + [
        eb.Record(r, key=key(r[0] + 10)) for r in live[3:]]
    slack = eb.leaf_entry(key(8), eb.record_bytes(table, slack_only))
    table.leaf_slack = lambda i: slack if i == 0 else b""
    path = str(tmp_path / "SRUDB.dat")
    eb.Database([shapes.srum_id_map(), table]).write(path)
    art = artifacts.open(path)
    assert [r["auto_inc_id"] for r in art.rows("network_usage")] == [1, 2, 3, 4, 5, 6]
    found = {r["auto_inc_id"]: r for r in art.rows("network_usage", recovered=True)}
    assert set(found) == {7, 8}
    assert (found[7]["recovery_source"], found[7]["app_name"], found[7]["user_sid"]) == (
        "deleted", "svchost.exe", "S-1-5-21-1-2-3-1001")
    assert (found[8]["recovery_source"], found[8]["app"], found[8]["bytes_sent"]) == (
        "slack", "Dnscache", 80)
    assert all(r["recovery_page"] > 0 and r["recovery_offset"] > 0 for r in found.values())
    names = [c.name for c in art.columns("network_usage", recovered=True)]
    assert names[-5:] == ["source_table", "source_key", "recovery_source", "recovery_page",
                          "recovery_offset"]


def test_damaged_table_fails_its_view_only(tmp_path):
    path = srum_db(str(tmp_path / "s.dat"), records=list(shapes.network_usage_records(3000)),
                   unknown=True)
    art = artifacts.open(EseDatabase(path))
    total = len(list(art.rows("network_usage")))
    assert total == 3000
    # Cut the file inside the network usage table's leaves: its view ends with
    # the reader's error, the other views still come out.
    size = os.path.getsize(path)
    with open(path, "r+b") as f:
        f.truncate(size - 4 * 8192)
    art = artifacts.open(path)
    got = []
    with pytest.raises(OSError, match="^Error reading record: "):
        for row in art.rows("network_usage"):
            got.append(row)
    assert len(got) < total
    assert len(list(art.rows("id_map"))) == 12
    pyarrow = pytest.importorskip("pyarrow")
    reader = pyarrow.RecordBatchReader.from_stream(art.arrow("network_usage", batch_size=1000))
    rows = 0
    with pytest.raises(OSError, match="Error reading record: "):
        for batch in reader:  # the rows before the unreadable page come first
            rows += batch.num_rows
    assert rows == len(got)


# ---- User Access Logging ---------------------------------------------------------------


def clients_table(rows):
    columns = [eb.Column("RoleGuid", eb.T_GUID), eb.Column("TenantId", eb.T_GUID),
               eb.Column("TotalAccesses", eb.T_UNSIGNED_LONG),
               eb.Column("InsertDate", eb.T_DATETIME), eb.Column("LastAccess", eb.T_DATETIME),
               eb.Column("Address", eb.T_BINARY),
               eb.Column("AuthenticatedUserName", eb.T_LONG_TEXT, codepage=1200),
               eb.Column("ClientName", eb.T_LONG_TEXT, codepage=1200)] + [
        eb.Column("Day%d" % n, eb.T_UNSIGNED_SHORT) for n in range(1, 367)]
    return eb.Table("CLIENTS", columns, rows)


def ual_folder(folder, identity=True):
    """Current.mdb (three clients) and, with `identity`, a SystemIdentity.mdb
    naming a role the built-in table does not know."""
    jan2 = shapes.FILETIME_2021 - 319 * 864000000000  # 2021-01-01 18:00 UTC
    clients = [
        {"RoleGuid": ROLE_ADDS, "TenantId": ROLE_CUSTOM, "TotalAccesses": 5,
         "InsertDate": jan2, "LastAccess": shapes.FILETIME_2021, "Address": b"\n\x00\x00\n",
         "AuthenticatedUserName": "lab\\dc-1$\x00", "Day1": 2, "Day320": 3},
        {"RoleGuid": ROLE_CUSTOM, "TenantId": "00000000-0000-0000-0000-000000000000",
         "TotalAccesses": 1, "InsertDate": shapes.FILETIME_2021, "LastAccess": 0,
         "Address": bytes(15) + b"\x01", "AuthenticatedUserName": "lab\\alice\x00", "Day320": 1},
        {"RoleGuid": ROLE_ADDS, "TotalAccesses": 0, "InsertDate": 0, "Address": b"\x01\x02\x03"},
    ]
    roles = eb.Table("ROLE_ACCESS", [eb.Column("RoleGuid", eb.T_GUID),
                                     eb.Column("FirstSeen", eb.T_DATETIME),
                                     eb.Column("LastSeen", eb.T_DATETIME)],
                     [(ROLE_ADDS, jan2, shapes.FILETIME_2021)])
    eb.Database([roles, clients_table(clients)]).write(os.path.join(folder, "Current.mdb"))
    if identity:
        eb.Database([
            eb.Table("ROLE_IDS", [eb.Column("RoleGuid", eb.T_GUID),
                                  eb.Column("ProductName", eb.T_LONG_TEXT, codepage=1200),
                                  eb.Column("RoleName", eb.T_LONG_TEXT, codepage=1200)],
                     [(ROLE_CUSTOM, "x\x00", "Custom Role" + "\x00" * 40)]),
            eb.Table("CHAINED_DATABASES", [eb.Column("Year", eb.T_UNSIGNED_SHORT),
                                           eb.Column("FileName", eb.T_TEXT, codepage=1200)],
                     [(2021, "Current.mdb\x00"), (2020, "{GONE}.mdb\x00")]),
        ]).write(os.path.join(folder, "SystemIdentity.mdb"))
    return os.path.join(folder, "Current.mdb")


@pytest.mark.parametrize("identity", [True, False])
def test_ual_clients(tmp_path, identity):
    art = artifacts.open(ual_folder(str(tmp_path), identity))
    assert art.kind == "ual"
    assert ("system_identity" in art.companions) == identity
    rows = list(art.rows("clients"))
    assert [r["address"] for r in rows] == ["10.0.0.10", "::1", "010203"]
    assert [r["role_name"] for r in rows] == [
        "Active Directory Domain Services", "Custom Role" if identity else None,
        "Active Directory Domain Services"]
    assert rows[0]["user"] == "lab\\dc-1$" and rows[0]["source_key"] == "record=0"
    assert rows[0]["first_access"] == datetime.datetime(2021, 1, 1, 18, tzinfo=UTC)
    assert (rows[1]["last_access"], rows[2]["first_access"], rows[2]["year"]) == (None, None, None)
    days = [(r["user"], r["day"], r["date"], r["count"]) for r in art.rows("client_days")]
    assert days == [("lab\\dc-1$", 1, "2021-01-01", 2), ("lab\\dc-1$", 320, "2021-11-16", 3),
                    ("lab\\alice", 320, "2021-11-16", 1)]
    access, = art.rows("role_access")
    assert access["last_seen"] == datetime.datetime(2021, 11, 16, 18, tzinfo=UTC)


def test_ual_identity_companions(tmp_path):
    ual_folder(str(tmp_path))
    art = artifacts.open(str(tmp_path / "SystemIdentity.mdb"))
    assert art.kind == "ual-identity"
    assert art.companions == {"year 2021": str(tmp_path / "Current.mdb")}
    chained = [(r["year"], r["present"]) for r in art.rows("chained_databases")]
    assert chained == [(2021, True), (2020, False)]
    role, = art.rows("role_ids")
    assert role["role_name"] == "Custom Role"


# ---- Arrow ---------------------------------------------------------------------------------


def test_view_as_arrow(srum):
    pyarrow = pytest.importorskip("pyarrow")
    table = pyarrow.table(srum.arrow("network_usage", batch_size=5))
    rows = list(srum.rows("network_usage"))
    assert table.num_rows == len(rows) == 12
    assert table.schema.field("timestamp").type == pyarrow.timestamp("us", tz="UTC")
    assert table.to_pylist() == rows
    assert json.loads(json.dumps(table.schema.field("app").metadata[b"meaning"].decode()))


# ---- real samples ----------------------------------------------------------------------------


def sample_paths(kind):
    if not os.path.isdir(SAMPLES):
        return []
    prefix = {"srum": "srum-", "ual": "ual-"}[kind]
    return sorted(os.path.join(SAMPLES, f) for f in os.listdir(SAMPLES) if f.startswith(prefix))


def plausible(value):
    return datetime.datetime(1990, 1, 1, tzinfo=UTC) <= value <= datetime.datetime.now(UTC)


def day_of_year(when):
    return when.timetuple().tm_yday


ZERO_GUID = "00000000-0000-0000-0000-000000000000"
# Facts of the real files, per view: each row must pass.
SAMPLE_FACTS = {
    "id_map": lambda r: (r["value"] is None) == (r["id_index"] in (1, 2) or r["blob"] is None)
    and (r["id_index"] != 1 or r["id_type"] == 0) and (r["id_index"] != 2 or r["id_type"] == 3)
    and (r["id_type"] != 3 or r["value"] is None or r["value"].startswith("S-")),
    "clients": lambda r: (":" in r["address"] or "." in r["address"])
    and (r["tenant_id"] == ZERO_GUID) == (r["role_name"] == "File Server"),
    "system_identity": lambda r: r["time_zone_bias_minutes"] == int(r["last_boot_text"][21:]),
    "chained_databases": lambda r: r["file_name"].startswith("{") and r["file_name"].endswith(".mdb"),
}


@pytest.mark.parametrize("path", sample_paths("srum") + sample_paths("ual")
                         or [pytest.param(None, marks=pytest.mark.skip("no samples"))])
def test_samples(path):
    db = EseDatabase(path)
    art = artifacts.open(db)
    assert art.kind in ("srum", "ual", "ual-identity") and not art.errors
    for name in art.views():
        view = art.view(name)
        rows = list(view.rows())
        if view.definition.expand is None:  # every record once
            assert len(rows) == sum(1 for _ in db.iter_table(view.table))
            assert len({r["source_key"] for r in rows}) == len(rows)
        for row in rows:
            for key, value in row.items():
                assert not (isinstance(value, str) and value.endswith("\x00")), (name, key)
                if isinstance(value, datetime.datetime):
                    assert plausible(value), (name, key, value)
            assert row.get("app_type") not in ("unresolved", "user")
            assert SAMPLE_FACTS.get(name, bool)(row), (name, row)
            if "user_type" in row:
                assert row["user_type"] in ("user", "no user")
                assert (row["user_sid"] is None) == (row["user_type"] == "no user")
        if name == "clients":  # TotalAccesses is the sum of the day counts
            totals = {}
            for day in art.rows("client_days"):
                totals[day["source_key"]] = totals.get(day["source_key"], 0) + day["count"]
            assert all(r["total_accesses"] == totals.get(r["source_key"], 0) for r in rows)
            assert all(r["role_name"] for r in rows)
            days = {}  # first and last day with accesses = first and last access's day
            for day in art.rows("client_days"):
                days.setdefault(day["source_key"], []).append(day["day"])
            assert all((day_of_year(r["first_access"]), day_of_year(r["last_access"]))
                       == (min(days[r["source_key"]]), max(days[r["source_key"]])) for r in rows)


# ---- the command line ------------------------------------------------------------------------


def quarlet(*args):
    import subprocess
    import sys
    return subprocess.run([sys.executable, "-m", "quarlet", *args], capture_output=True,
                          timeout=120)


def test_command_summary_and_view_errors(tmp_path):
    srum_db(str(tmp_path / "SRUDB.dat"), records=list(shapes.network_usage_records(3000)))
    eb.Database([eb.Table("t", [eb.Column("a", eb.T_LONG)], [(1,)])]).write(
        str(tmp_path / "other.edb"))
    proc = quarlet("artifacts", str(tmp_path))
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.decode().splitlines()
    assert lines[0] == "%s: srum" % (tmp_path / "SRUDB.dat")
    assert lines[1].split() == ["network_usage", "3000", "rows"]
    assert lines[-1] == "%s: not a known artefact database" % (tmp_path / "other.edb")
    with open(tmp_path / "SRUDB.dat", "r+b") as f:  # the usage table's last leaves gone
        f.truncate(os.path.getsize(tmp_path / "SRUDB.dat") - 4 * 8192)
    proc = quarlet("artifacts", str(tmp_path / "SRUDB.dat"), "--view", "network_usage",
                   "--view", "id_map")
    assert proc.returncode == 1
    assert proc.stdout.decode().splitlines()[1].split() == ["id_map", "12", "rows"]
    assert proc.stderr.decode().startswith(
        "quarlet: error: %s: view network_usage: Error reading record: " % (tmp_path / "SRUDB.dat"))


@pytest.mark.parametrize("fmt", ["jsonl", "csv", "parquet"])
def test_command_writes_views(tmp_path, fmt):
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    folder = tmp_path / "in"
    folder.mkdir()
    ual_folder(str(folder))
    out = tmp_path / "out"
    proc = quarlet("artifacts", str(folder / "Current.mdb"), "-o", str(out), "--format", fmt,
                   "--recovered", "--excel-safe")
    assert proc.returncode == 0, proc.stderr
    written = sorted(os.listdir(out / "Current.mdb"))
    assert written == sorted("%s%s.%s" % (v, r, fmt) for r in ("", ".recovered") for v in (
        "clients", "client_days", "role_access"))
    path = str(out / "Current.mdb" / ("clients." + fmt))
    if fmt == "jsonl":
        rows = [json.loads(line) for line in open(path, encoding="utf-8")]
    elif fmt == "csv":
        import csv
        rows = list(csv.DictReader(open(path, encoding="utf-8", newline="")))
    else:
        import pyarrow.parquet
        rows = pyarrow.parquet.read_table(path).to_pylist()
    assert [r["address"] for r in rows] == ["10.0.0.10", "::1", "010203"]
    first = rows[0]["first_access"]
    assert str(first).replace(" ", "T") == "2021-01-01T18:00:00+00:00"
