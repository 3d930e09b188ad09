"""Table shapes shared by the benchmarks and the memory test: a typical table
of fixed integers, a GUID, a DateTime, text in code pages 1252 and 1200 and a
tagged binary."""

import itertools
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


# ---- artefact databases: Windows Search and BITS shapes --------------------------

# The properties the Windows Search files view reads: (number, name, type).
SEARCH_PROPERTIES = [
    ("4447", "System_ItemPathDisplay", eb.T_LONG_TEXT), ("4442", "System_ItemName", eb.T_LONG_TEXT),
    ("4440", "System_ItemFolderPathDisplay", eb.T_LONG_TEXT),
    ("33", "System_ItemUrl", eb.T_LONG_TEXT), ("4450", "System_ItemType", eb.T_LONG_TEXT),
    ("5", "System_ItemTypeText", eb.T_LONG_TEXT), ("4456", "System_Kind", eb.T_LONG_BINARY),
    ("13F", "System_Size", eb.T_BINARY), ("14F", "System_FileAttributes", eb.T_UNSIGNED_LONG),
    ("16F", "System_DateCreated", eb.T_BINARY), ("15F", "System_DateModified", eb.T_BINARY),
    ("17F", "System_DateAccessed", eb.T_BINARY), ("4396", "System_FileOwner", eb.T_LONG_TEXT),
    ("4631F", "System_Search_GatherTime", eb.T_BINARY),
    ("4625", "System_Search_AutoSummary", eb.T_LONG_TEXT),
    ("4184", "System_ComputerName", eb.T_LONG_TEXT),
]
# Other properties, in the type mix of a real store (Long Text, Long Binary,
# Unsigned long, Binary, Boolean, Signed long, Double ...).
_FILLER_TYPES = ([eb.T_LONG_TEXT] * 34 + [eb.T_LONG_BINARY] * 8 + [eb.T_UNSIGNED_LONG] * 5
                 + [eb.T_BINARY] * 4 + [eb.T_BOOLEAN] * 3 + [eb.T_LONG] * 2 + [eb.T_DOUBLE])


def search_store_names(shift=0, filler=0):
    """The stored column names: WorkID, the files view's properties with
    their numbers moved by `shift` (another build's numbering), and
    `filler` other properties."""
    names = ["WorkID"] + ["%d%s-%s" % (int(n.rstrip("F")) + shift, "F" * n.endswith("F"), p)
                          for n, p, _ in SEARCH_PROPERTIES]
    return names + ["%d-System_Filler_Property%d" % (5000 + shift + i, i) for i in range(filler)]


def search_store(shift=0, filler=0, records=None, n=20, **kwargs):
    """A SystemIndex_PropertyStore-shaped table: `records` (dicts by
    property name) or `n` generated ones."""
    names = search_store_names(shift, filler)
    types = ([eb.T_UNSIGNED_LONG] + [t for _, _, t in SEARCH_PROPERTIES]
             + [_FILLER_TYPES[i % len(_FILLER_TYPES)] for i in range(filler)])
    columns = [eb.Column(name, t, codepage=1200 if t == eb.T_LONG_TEXT else None)
               for name, t in zip(names, types)]
    by_property = {name.split("-", 1)[-1]: name for name in names}

    def stored(rows):
        for row in rows:
            yield {by_property[k]: v for k, v in row.items()}

    rows = records if records is not None else search_items(n, filler)
    return eb.Table("SystemIndex_PropertyStore", columns, stored(rows), **kwargs)


def search_items(n, filler=0):
    """n indexed items, streamed, keyed by property name: files in 50
    folders (a folder every 25th item), most properties null as in a real
    store, about 10 filler properties set per row."""
    import struct
    kinds = [utf16z("document")[:-2], "link\x00program".encode("utf-16-le"), None]
    for i in range(n):
        folder = "C:\\Users\\user%d\\Documents" % (i % 50)
        directory = i % 25 == 0
        name = "Folder %d" % i if directory else "report-%d.docx" % i
        row = {"WorkID": i + 1, "System_ItemPathDisplay": folder + "\\" + name,
               "System_ItemName": name, "System_ItemFolderPathDisplay": folder,
               "System_ItemUrl": "file:" + (folder + "/" + name).replace("\\", "/"),
               "System_ItemType": "Directory" if directory else ".docx",
               "System_ItemTypeText": "File folder" if directory else "Microsoft Word Document",
               "System_Kind": kinds[i % 3], "System_FileAttributes": 16 if directory else 32,
               "System_DateCreated": struct.pack("<Q", FILETIME_2021 - i * 10_000_000),
               "System_DateModified": struct.pack("<Q", FILETIME_2021 + i * 10_000_000),
               "System_DateAccessed": struct.pack("<Q", FILETIME_2021 + i * 20_000_000),
               "System_Search_GatherTime": struct.pack("<Q", FILETIME_2021 + 36_000_000_000)}
        if not directory:
            row["System_Size"] = struct.pack("<Q", 1000 + i)
        if i % 20 == 0:
            row.update(System_FileOwner="LAB\\user%d" % (i % 50), System_ComputerName="PC-1",
                       System_Search_AutoSummary="The report of week %d" % i)
        for j in range(min(filler, 10)):
            k = (i * 7 + j * 61) % filler
            t = _FILLER_TYPES[k % len(_FILLER_TYPES)]
            row["System_Filler_Property%d" % k] = {
                eb.T_LONG_TEXT: "value %d" % i, eb.T_LONG_BINARY: b"\x01\x02" * (k % 5 + 1),
                eb.T_UNSIGNED_LONG: i, eb.T_BINARY: struct.pack("<Q", i), eb.T_BOOLEAN: True,
                eb.T_LONG: -i, eb.T_DOUBLE: i / 3.0}[t]
        yield row


def search_gatherer(items, scopes):
    """SystemIndex_Gthr (items: (ScopeID, DocumentID, FileName, LastModified
    bytes)) and SystemIndex_GthrPth (scopes: (Scope, Parent, Name))."""
    return [
        eb.Table("SystemIndex_Gthr", [
            eb.Column("ScopeID", eb.T_UNSIGNED_LONG), eb.Column("DocumentID", eb.T_UNSIGNED_LONG),
            eb.Column("SDID", eb.T_UNSIGNED_LONG), eb.Column("FileName", eb.T_LONG_TEXT, codepage=1200),
            eb.Column("LastModified", eb.T_BINARY)],
            [{"ScopeID": s, "DocumentID": d, "SDID": 7, "FileName": f, "LastModified": m}
             for s, d, f, m in items]),
        eb.Table("SystemIndex_GthrPth", [
            eb.Column("Scope", eb.T_UNSIGNED_LONG), eb.Column("Parent", eb.T_UNSIGNED_LONG),
            eb.Column("Name", eb.T_LONG_TEXT, codepage=1200)], list(scopes)),
    ]


def bits_tables(jobs, files):
    """BITS qmgr.db tables Jobs and Files: (GUID text, blob) pairs."""
    def columns():
        return [eb.Column("Id", eb.T_GUID), eb.Column("Blob", eb.T_LONG_BINARY)]
    return [eb.Table("Jobs", columns(), list(jobs)), eb.Table("Files", columns(), list(files))]


# ---- artefact databases: Active Directory shapes ------------------------------------

# Attributes of a directory's schema: (lDAPDisplayName, attributeID, x of
# syntax 2.5.5.x). The first five describe the schema itself.
NTDS_ATTRIBUTES = [
    ("attributeID", 131102, 2), ("lDAPDisplayName", 131532, 12), ("attributeSyntax", 131104, 2),
    ("governsID", 131094, 2), ("linkID", 131122, 9), ("objectClass", 0, 2),
    ("name", 589825, 12), ("cn", 3, 12), ("dc", 1376281, 12), ("ou", 11, 12),
    ("whenCreated", 131074, 11), ("whenChanged", 131075, 11), ("objectGUID", 589826, 10),
    ("objectSid", 589970, 17), ("sAMAccountName", 590045, 12),
    ("userPrincipalName", 590480, 12), ("isDeleted", 131120, 8), ("description", 13, 12),
    ("userAccountControl", 589832, 9), ("pwdLastSet", 589920, 16), ("lastLogon", 589876, 16),
    ("lastLogonTimestamp", 591520, 16), ("badPasswordTime", 589873, 16),
    ("accountExpires", 589983, 16), ("logonCount", 589993, 9), ("primaryGroupID", 589922, 9),
    ("servicePrincipalName", 590595, 12), ("dNSHostName", 590443, 12),
    ("operatingSystem", 590187, 12), ("groupType", 590574, 9), ("objectCategory", 590606, 1),
    ("lastKnownParent", 590605, 1),
    ("unicodePwd", 589914, 10), ("supplementalCredentials", 589949, 10),
    ("msFVE-RecoveryPassword", 591788, 12), ("member", 31, 1),
]
NTDS_LINKED = {"member": 2}  # linkID; linked attributes have no column
NTDS_CLASSES = {"top": 65536, "person": 65542, "organizationalPerson": 65543, "user": 655369,
                "computer": 196638, "group": 196616, "container": 196619,
                "domainDNS": 196675, "attributeSchema": 196622, "classSchema": 196621}
# ESE types by syntax: DNs, OIDs, booleans and integers as Signed long, times
# as Currency, strings as Long Text, the rest as Long Binary.
_NTDS_TYPES = {1: eb.T_LONG, 2: eb.T_LONG, 8: eb.T_LONG, 9: eb.T_LONG, 11: eb.T_CURRENCY,
               16: eb.T_CURRENCY, 12: eb.T_LONG_TEXT, 4: eb.T_LONG_TEXT}
NTDS_SECONDS_2021 = 13282790400  # 2021-12-01 00:00 UTC, in seconds since 1601


def ntds_column(name, attribute, syntax):
    return "ATT%s%d" % (chr(ord("a") + syntax), attribute)


def ntds_sid(*subs):
    """An objectSid as the directory stores it: the last sub-authority big-endian."""
    import struct
    return sid_bytes(*subs)[:-4] + struct.pack(">I", subs[-1])


def ntds_multi(*items):
    """A multi-valued Signed long or UTF-16 text: the values' offsets, then the values."""
    import struct
    data = [struct.pack("<i", v) if isinstance(v, int) else v.encode("utf-16-le")
            for v in items]
    offsets, at = [], 2 * len(data)
    for d in data:
        offsets.append(at)
        at += len(d)
    return eb.Tagged(struct.pack("<%dH" % len(data), *offsets) + b"".join(data), flags=0x08)


def ntds_tables(objects, links=(), filler=0):
    """datatable and link_table of a directory. The schema rows (DNT 3 ...:
    one per attribute of NTDS_ATTRIBUTES and `filler` more, one per class)
    come first, then `objects`: dicts by lDAPDisplayName plus DNT_col,
    PDNT_col, RDNtyp_col (streamed). `links`: (group DNT, member DNT, link
    base, deactivated)."""
    attributes = list(NTDS_ATTRIBUTES) + [
        ("fillerAttribute%d" % i, 2000000 + i, (1, 9, 12, 10, 16)[i % 5]) for i in range(filler)]
    stored = [(n, a, s) for n, a, s in attributes if n not in NTDS_LINKED]
    columns = [eb.Column("DNT_col", eb.T_LONG, id=1), eb.Column("PDNT_col", eb.T_LONG, id=2),
               eb.Column("OBJ_col", eb.T_UNSIGNED_BYTE, id=3),
               eb.Column("RDNtyp_col", eb.T_LONG, id=4)] + [
        eb.Column(ntds_column(n, a, s), _NTDS_TYPES.get(s, eb.T_LONG_BINARY), id=256 + i,
                  codepage=1200 if _NTDS_TYPES.get(s) == eb.T_LONG_TEXT else None)
        for i, (n, a, s) in enumerate(stored)]
    column_of = {n: ntds_column(n, a, s) for n, a, s in stored}

    def schema_rows():
        dnt = 3
        for n, a, s in attributes:
            row = {"name": n, "lDAPDisplayName": n, "attributeID": a,
                   "attributeSyntax": 0x80000 | s, "objectClass": "attributeSchema"}
            if n in NTDS_LINKED:
                row["linkID"] = NTDS_LINKED[n]
            yield dict(row, DNT_col=dnt, PDNT_col=2, RDNtyp_col=3)
            dnt += 1
        for n, g in NTDS_CLASSES.items():
            yield {"name": n, "lDAPDisplayName": n, "governsID": g, "DNT_col": dnt,
                   "PDNT_col": 2, "RDNtyp_col": 3, "objectClass": "classSchema"}
            dnt += 1

    def stored_rows():
        yield {"DNT_col": 2, "PDNT_col": 0, column_of["name"]: "$ROOT_OBJECT$\x00", "OBJ_col": 1}
        for row in itertools.chain(schema_rows(), objects):
            out = {}
            for k, v in row.items():
                if k == "objectClass":
                    v = [NTDS_CLASSES[c] for c in v] if isinstance(v, list) else NTDS_CLASSES[v]
                if isinstance(v, list):
                    v = ntds_multi(*v)
                out[column_of.get(k, k)] = v
            out.setdefault("OBJ_col", 1)
            yield out

    link_table = eb.Table("link_table", [
        eb.Column("link_DNT", eb.T_LONG), eb.Column("backlink_DNT", eb.T_LONG),
        eb.Column("link_base", eb.T_LONG), eb.Column("link_deactivetime", eb.T_CURRENCY)],
        [(g, m, b, NTDS_SECONDS_2021 if off else None) for g, m, b, off in links])
    return [eb.Table("datatable", columns, stored_rows()), link_table]


def ntds_accounts(n, first_dnt=10_000, containers=50, groups=100, filler=0):
    """A domain of n objects, streamed: DC=lab, `containers` OUs, `groups`
    groups, then users (every 20th a computer) with the attributes a real
    account has set (about 25, credentials too, and a few `filler` ones).
    With ntds_links(), every account is a member of one group."""
    import struct
    domain = first_dnt
    yield obj_row(domain, 2, "lab", ["domainDNS", "top"], rdn=1376281)
    for i in range(containers):
        yield obj_row(domain + 1 + i, domain, "OU %d" % i, ["container", "top"], rdn=11)
    base = domain + 1 + containers
    for i in range(groups):
        yield obj_row(base + i, domain + 1 + i % containers, "Group %d" % i, ["group", "top"],
                      groupType=-2147483646, objectSid=ntds_sid(21, 7, 8, 9, 2000 + i),
                      sAMAccountName="group%d" % i)
    start = base + groups
    for i in range(n - groups - containers - 1):
        computer = i % 20 == 0
        name = ("PC%d" if computer else "User Number %d") % i
        row = obj_row(start + i, domain + 1 + i % containers, name,
                      (["computer"] if computer else []) + ["user", "organizationalPerson",
                                                            "person", "top"],
                      whenCreated=NTDS_SECONDS_2021 + i, whenChanged=NTDS_SECONDS_2021 + 2 * i,
                      objectGUID=struct.pack("<QQ", i, 1),
                      objectSid=ntds_sid(21, 7, 8, 9, 5000 + i),
                      sAMAccountName=("pc%d$" if computer else "user%d") % i,
                      userPrincipalName="user%d@lab.example" % i,
                      userAccountControl=0x1000 if computer else 0x200,
                      pwdLastSet=FILETIME_2021 + i * 10_000_000,
                      lastLogon=FILETIME_2021 + i * 20_000_000,
                      lastLogonTimestamp=FILETIME_2021 + i * 15_000_000,
                      badPasswordTime=0, accountExpires=0x7FFFFFFFFFFFFFFF, logonCount=i % 300,
                      primaryGroupID=515 if computer else 513, unicodePwd=b"\x13" * 60,
                      supplementalCredentials=b"\x17" * 200)
        if computer:
            row.update(dNSHostName="pc%d.lab.example" % i, operatingSystem="Windows 11 Pro",
                       servicePrincipalName=["HOST/pc%d" % i, "HOST/pc%d.lab.example" % i])
        for j in range(min(filler, 5)):
            k = (i * 7 + j * 61) % filler
            row["fillerAttribute%d" % k] = _NTDS_FILLER[k % 5](i)
        yield row


_NTDS_FILLER = (lambda i: i, lambda i: i % 1000, lambda i: "value %d" % i,
                lambda i: b"\x01\x02" * (i % 5 + 1), lambda i: FILETIME_2021 + i)


def ntds_links(n, first_dnt=10_000, containers=50, groups=100):
    """The member links of ntds_accounts(): account k in group k % groups."""
    base = first_dnt + 1 + containers
    start = base + groups
    for i in range(n - groups - containers - 1):
        yield (base + i % groups, start + i, 1, False)


def obj_row(dnt, parent, name, classes, rdn=3, **attributes):
    """An object of a directory for ntds_tables()."""
    return dict(attributes, DNT_col=dnt, PDNT_col=parent, RDNtyp_col=rdn, name=name,
                objectClass=classes)
