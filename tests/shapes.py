"""Table shapes shared by the benchmarks and the memory test: a typical table
of fixed integers, a GUID, a DateTime, text in code pages 1252 and 1200 and a
tagged binary."""

import uuid

import esebuild as eb

GUID = uuid.UUID(int=0x0123456789ABCDEF0123456789ABCDEF).bytes_le


def typical_columns():
    return [
        eb.Column("Id", eb.T_LONG),
        eb.Column("AppId", eb.T_UNSIGNED_LONG),
        eb.Column("UserId", eb.T_LONG),
        eb.Column("Flags", eb.T_UNSIGNED_SHORT),
        eb.Column("Bytes", eb.T_LONG_LONG),
        eb.Column("Cost", eb.T_CURRENCY),
        eb.Column("Ratio", eb.T_DOUBLE),
        eb.Column("When", eb.T_DATETIME),
        eb.Column("Session", eb.T_GUID),
        eb.Column("Source", eb.T_TEXT, codepage=1252),
        eb.Column("Message", eb.T_TEXT, codepage=1200),
        eb.Column("Extra", eb.T_LONG_BINARY),
    ]


def typical_records(n, message="Message number %d for the benchmark"):
    """n records, streamed."""
    for i in range(n):
        yield (i, i % 977, i % 31, i & 0xFF, i * 4096, i * 10000, i / 7.0,
               0x01D9000000000000 + i, GUID, "Source-%d" % (i % 100),
               message % i, b"\x01\x02\x03\x04" * (i % 8))


# ---- artefact databases: SRUM and User Access Logging shapes ------------------

NETWORK_USAGE = "{973F5D5C-1D90-4944-BE8E-24B94231A174}"
OLE_2021 = 44516.75  # 2021-11-16 18:00 as an OLE date
FILETIME_2021 = 132815592000000000  # 2021-11-16 18:00 UTC


def sid_bytes(*subs, authority=5, revision=1):
    """A binary SID with little-endian sub-authorities."""
    import struct
    return (bytes([revision, len(subs)]) + authority.to_bytes(6, "big")
            + b"".join(struct.pack("<I", s) for s in subs))


def utf16z(text):
    return (text + "\x00").encode("utf-16-le")


def srum_id_map(n_apps=4):
    """IdIndex 1 (no app) and 2 (no user) as Windows writes them, then an
    application path, a service, a package, a server object, a user SID and
    `n_apps` more application paths."""
    rows = [(0, 1, None), (3, 2, None),
            (0, 3, utf16z("\\Device\\HarddiskVolume3\\Windows\\System32\\svchost.exe")),
            (1, 4, utf16z("Dnscache")),
            (2, 5, utf16z("Microsoft.Windows.Search_1.15.0.20348_neutral_neutral_cw5n1h2txyewy")),
            (4, 6, utf16z("6cb9f58e-0000-0000-0000-100000000000\t\tSystem Reserved\t0")),
            (3, 7, sid_bytes(21, 1, 2, 3, 1001)),
            (0, 8, utf16z("!!svchost.exe!2037/07/18:06:45:20!15eca![netsvcs] [WpnService]"))]
    rows += [(0, 100 + i, utf16z("\\Device\\HarddiskVolume3\\Apps\\app%d.exe" % i))
             for i in range(n_apps)]
    return eb.Table("SruDbIdMapTable", [eb.Column("IdType", eb.T_UNSIGNED_BYTE),
                                        eb.Column("IdIndex", eb.T_LONG),
                                        eb.Column("IdBlob", eb.T_LONG_BINARY)], rows)


def network_usage_columns():
    return [eb.Column("AutoIncId", eb.T_LONG), eb.Column("TimeStamp", eb.T_DATETIME),
            eb.Column("AppId", eb.T_LONG), eb.Column("UserId", eb.T_LONG),
            eb.Column("InterfaceLuid", eb.T_LONG_LONG), eb.Column("L2ProfileId", eb.T_LONG),
            eb.Column("L2ProfileFlags", eb.T_LONG), eb.Column("BytesSent", eb.T_LONG_LONG),
            eb.Column("BytesRecvd", eb.T_LONG_LONG)]


def network_usage_records(n, n_apps=4):
    """n rows, streamed: AutoIncId 1..n, hourly windows of 40 rows each (a
    window holds a row per active application and interface), apps cycling
    through the id map of srum_id_map(n_apps) (system-wide rows included)."""
    apps = [1, 3, 4, 5, 8] + [100 + i for i in range(n_apps)]
    for i in range(n):
        app = apps[i % len(apps)]
        yield (i + 1, OLE_2021 + (i // 40) / 24.0, app, 2 if app == 1 else 7,
               (6 << 48) | (32769 << 24), 0, 0, 1000 + i, 2000 + i)


# ---- artefact databases: WebCache shapes ---------------------------------------

WEBCACHE_USER_DIR = "C:\\Users\\Ann\\AppData\\Local\\Microsoft\\Windows\\"


def webcache_containers(rows):
    """The Containers table: rows of (ContainerId, Name, PartitionId,
    Directory, SecureDirectories), text NUL-terminated as Windows writes it."""
    z = lambda text: None if text is None else text + "\x00"  # noqa: E731
    return eb.Table("Containers", [
        eb.Column("ContainerId", eb.T_LONG_LONG), eb.Column("SetId", eb.T_UNSIGNED_LONG),
        eb.Column("LastAccessTime", eb.T_LONG_LONG),
        eb.Column("Name", eb.T_TEXT, codepage=1200),
        eb.Column("PartitionId", eb.T_LONG_TEXT, codepage=1200),
        eb.Column("Directory", eb.T_LONG_TEXT, codepage=1200),
        eb.Column("SecureDirectories", eb.T_LONG_TEXT, codepage=1200)],
        [(n, 0, 133217187636602657, z(name), z(part), z(folder), z(secure))
         for n, name, part, folder, secure in rows])


WEBCACHE_ENTRY_COLUMNS = (
    ("EntryId", eb.T_LONG_LONG), ("ContainerId", eb.T_LONG_LONG),
    ("SecureDirectory", eb.T_UNSIGNED_LONG), ("FileSize", eb.T_LONG_LONG),
    ("AccessCount", eb.T_UNSIGNED_LONG), ("CreationTime", eb.T_LONG_LONG),
    ("ModifiedTime", eb.T_LONG_LONG), ("AccessedTime", eb.T_LONG_LONG),
    ("Url", eb.T_LONG_TEXT), ("Filename", eb.T_LONG_TEXT),
    ("ResponseHeaders", eb.T_LONG_BINARY))


def webcache_entries(number, rows, **kwargs):
    """A Container_N table: rows are dicts of the entry columns above (Url
    and Filename NUL-terminated here); EntryId and ContainerId filled in."""
    columns = [eb.Column(name, kind, codepage=1200 if kind == eb.T_LONG_TEXT else None)
               for name, kind in WEBCACHE_ENTRY_COLUMNS]
    records = []
    for i, row in enumerate(rows, 1):
        row = dict(row, EntryId=row.get("EntryId", i), ContainerId=number)
        for name in ("Url", "Filename"):
            if row.get(name) is not None:
                row[name] += "\x00"
        records.append(row)
    return eb.Table("Container_%d" % number, columns, records, **kwargs)
