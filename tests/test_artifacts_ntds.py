"""Active Directory views on builder-made directories (names from the schema
rows, SIDs, times, damaged parent chains and links, credentials never
shown) and the facts of the real sample."""

import collections
from array import array
import datetime
import os

import pytest

import esebuild as eb
import shapes
from quarlet import EseDatabase, artifacts

UTC = datetime.timezone.utc
SAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "samples")
SAMPLE = os.path.join(SAMPLES, "ntds-lab-8k.dit")
DEC_2021 = datetime.datetime(2021, 12, 1, tzinfo=UTC)
SECRET = b"\x5a\xa5" * 30
RECOVERY_PASSWORD = "111111-222222-333333-444444-555555-666666-777777-888888"
PERSON = ["user", "organizationalPerson", "person", "top"]


def obj(dnt, parent, name, classes, rdn=3, **attributes):
    return dict(attributes, DNT_col=dnt, PDNT_col=parent, RDNtyp_col=rdn, name=name,
                objectClass=classes)


# DNT 100 DC=lab; 101 CN=Users; 102 the administrator; the others as named.
OBJECTS = [
    obj(100, 2, "lab", ["domainDNS", "top"], rdn=1376281, whenCreated=shapes.NTDS_SECONDS_2021),
    obj(101, 100, "Users", ["container", "top"]),
    obj(102, 101, "Admin", PERSON, objectSid=shapes.ntds_sid(21, 7, 8, 9, 500),
        whenCreated=shapes.NTDS_SECONDS_2021, whenChanged=shapes.NTDS_SECONDS_2021 + 3600,
        sAMAccountName="Admin", userAccountControl=0x10202 | 0x8000000,
        pwdLastSet=shapes.FILETIME_2021, accountExpires=0x7FFFFFFFFFFFFFFF,
        logonCount=7, unicodePwd=SECRET, supplementalCredentials=SECRET + b"\x01",
        objectGUID=shapes.GUID),
    obj(103, 101, "Admins, \"Domain\"", ["group", "top"], groupType=-2147483646,
        objectSid=shapes.ntds_sid(21, 7, 8, 9, 512)),
    obj(104, 101, "PC1", ["computer"] + PERSON, dNSHostName="pc1.lab",
        operatingSystem="Windows 11", accountExpires=0, lastLogon=shapes.FILETIME_2021,
        servicePrincipalName=["HOST/pc1", "HOST/pc1.lab"], **{
            "msFVE-RecoveryPassword": RECOVERY_PASSWORD}),
    obj(105, 999, "orphan", PERSON),                       # parent missing
    obj(106, 107, "loop-a", ["container", "top"]),          # 106 <-> 107
    obj(107, 106, "loop-b", ["container", "top"]),
    obj(108, 108, "self", ["container", "top"]),            # its own parent
    obj(109, 101, "old\nDEL:1234", PERSON, isDeleted=1, lastKnownParent=100),
    obj(110, 106, "in-loop", PERSON),
]
LINKS = [(103, 102, 1, False), (103, 104, 1, False), (103, 5000, 1, False),
         (103, 109, 1, True), (104, 100, 7, False)]


@pytest.fixture(scope="module")
def ad(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("ntds") / "anything.dat")
    eb.Database(shapes.ntds_tables(OBJECTS, LINKS, filler=10)).write(path)
    return artifacts.open(path)


def by_dnt(ad, view):
    return {r["dnt"]: r for r in ad.rows(view)}


def test_schema_names_every_column(ad):
    assert ad.kind == "ntds" and not ad.errors
    assert ad.views() == ["objects", "users", "computers", "groups", "group_members",
                          "credentials", "attributes"]
    attributes = {r["name"]: r for r in ad.rows("attributes")}
    stored = {c["name"] for c in ad.db.get_table_schema("datatable") if c["name"].startswith("ATT")}
    assert {r["column"] for r in attributes.values()} - {None} == stored
    # one of each syntax, the filler's too; the linked attribute has no column
    assert {r["syntax"] for r in attributes.values()} == {
        "2.5.5.%d" % x for x in (1, 2, 8, 9, 10, 11, 12, 16, 17)}
    assert (attributes["member"]["column"], attributes["member"]["link_id"]) == (None, 2)
    assert attributes["fillerAttribute3"]["column"] == "ATTk2000003"
    assert [n for n, r in attributes.items() if r["secret"]] == [
        "unicodePwd", "supplementalCredentials", "msFVE-RecoveryPassword"]


def test_account_values(ad):
    admin = by_dnt(ad, "users")[102]
    assert (admin["sid"], admin["rid"]) == ("S-1-5-21-7-8-9-500", 500)
    assert (admin["created"], admin["changed"]) == (DEC_2021, DEC_2021 + datetime.timedelta(
        hours=1))
    assert admin["pwd_last_set"] == datetime.datetime(2021, 11, 16, 18, tzinfo=UTC)
    assert (admin["account_expires"], admin["account_never_expires"]) == (None, True)
    assert admin["user_account_control_flags"] == [
        "ACCOUNTDISABLE", "NORMAL_ACCOUNT", "DONT_EXPIRE_PASSWORD", "0x8000000"]
    assert admin["disabled"] and admin["object_classes"] == PERSON
    assert admin["guid"] == "01234567-89ab-cdef-0123-456789abcdef"
    assert admin["member_of"] == ['CN=Admins\\, \\"Domain\\",CN=Users,DC=lab']
    pc, = ad.rows("computers")
    assert (pc["dns_host_name"], pc["account_never_expires"], pc["service_principal_names"]) == (
        "pc1.lab", True, ["HOST/pc1", "HOST/pc1.lab"])
    assert 104 not in by_dnt(ad, "users") and 109 in by_dnt(ad, "users")
    # on the timeline: the account's times, each traced to its row
    events = {e["timestamp_desc"]: e for e in ad.events("users") if e["source_key"] == "DNT_col=102"}
    assert events["AD account created"]["datetime"] == DEC_2021
    assert events["AD account password last set"]["datetime"] == admin["pwd_last_set"]
    assert events["AD account created"]["key_fields"]["sid"] == "S-1-5-21-7-8-9-500"


@pytest.mark.parametrize("dnt, dn", [
    (102, "CN=Admin,CN=Users,DC=lab"),
    (105, "CN=orphan,<missing DNT 999>"),
    (106, "CN=loop-a,CN=loop-b,<cycle at DNT 106>"),
    (108, "CN=self,<cycle at DNT 108>"),
    (110, "CN=in-loop,CN=loop-a,CN=loop-b,<cycle at DNT 106>"),
    (109, "CN=old\\0ADEL:1234,CN=Users,DC=lab"),
    (2, ""),
])
def test_distinguished_names(ad, dnt, dn):
    row = by_dnt(ad, "objects")[dnt]
    assert row["distinguished_name"] == dn
    assert row["deleted"] == (dnt == 109) and row["source_key"] == "DNT_col=%d" % dnt
    assert row["last_known_parent"] == ("DC=lab" if dnt == 109 else None)


def test_names_and_lists_the_reader_makes(ad):
    """DNs and memberOf made by the reader equal the maps' own; a list a
    table holds (classes, flags) is every row's own copy."""
    rows = list(ad.rows("users"))
    assert [r["distinguished_name"] for r in rows] == [ad.names.dn(r["dnt"]) for r in rows]
    assert [r["member_of"] for r in rows] == [ad.links.member_of(r["dnt"]) for r in rows]
    rows[0]["object_classes"].append("changed")
    rows[0]["user_account_control_flags"].append("changed")
    again = next(ad.rows("users"))
    assert "changed" not in again["object_classes"] + again["user_account_control_flags"]


def test_groups_and_links(ad):
    group, = ad.rows("groups")
    # active member links only; a missing member is named as missing
    assert group["member_count"] == 3
    assert group["members"] == ["CN=Admin,CN=Users,DC=lab", "CN=PC1,CN=Users,DC=lab",
                                "<missing DNT 5000>"]
    assert group["group_type_flags"] == ["GLOBAL", "SECURITY"]
    links = [(r["member_dnt"], r["member"], r["active"]) for r in ad.rows("group_members")]
    assert links[-2:] == [(5000, "<missing DNT 5000>", True),
                          (109, "CN=old\\0ADEL:1234,CN=Users,DC=lab", False)]
    assert len(links) == 4  # the link of another attribute is no membership


def test_credentials_present_never_shown(ad):
    rows = by_dnt(ad, "credentials")
    assert sorted(rows) == [102, 104]
    assert rows[102]["credentials"] == ["unicodePwd", "supplementalCredentials"]
    assert rows[104]["msFVE-RecoveryPassword"] and not rows[104]["unicodePwd"]
    shown = [v for view in ad.views() for r in ad.rows(view) for v in r.values()]
    shown += list(ad.object(102).values()) + list(ad.object(104).values())
    assert not [v for v in shown if v in (SECRET, SECRET + b"\x01", RECOVERY_PASSWORD)]
    assert ad.object(102)["unicodePwd"] == "<not shown: 60 bytes>"


def test_object_accessor(ad):
    admin = ad.object("cn=admin,cn=users,dc=LAB")
    assert admin == ad.object(102)
    assert (admin["objectSid"], admin["whenCreated"], admin["objectClass"]) == (
        "S-1-5-21-7-8-9-500", DEC_2021, PERSON)
    assert (admin["accountExpires"], admin["source_key"]) == ("never", "DNT_col=102")
    assert ad.object(4242) is None and ad.object("CN=nobody") is None


# ---- the real sample --------------------------------------------------------------------


@pytest.mark.skipif(not os.path.exists(SAMPLE), reason="no samples")
def test_sample():
    db = EseDatabase(SAMPLE)
    ad = artifacts.open(db)
    assert ad.kind == "ntds" and not ad.errors  # every datatable column named
    admin, = [r for r in ad.rows("users") if r["rid"] == 500]
    assert admin["distinguished_name"] == "CN=Administrateur,CN=Users,DC=learn,DC=local"
    assert admin["sid"].startswith("S-1-5-21-") and admin["sid"].endswith("-500")
    domain, = [r for r in ad.rows("objects") if r["distinguished_name"] == "DC=learn,DC=local"]
    last = max(r["changed"] for r in ad.rows("objects") if r["changed"])
    assert domain["created"] <= admin["created"] <= last
    assert "CN=Admins du domaine,CN=Users,DC=learn,DC=local" in admin["member_of"]
    forward = collections.Counter(r["link_DNT"] for r in db.iter_table("link_table", True)
                                  if r["link_base"] == 1)
    groups = list(ad.rows("groups"))
    assert all(g["member_count"] == forward[g["dnt"]] == len(g["members"]) for g in groups)
    assert sum(g["member_count"] for g in groups) == sum(forward.values()) > 0
    secret_columns = [r["column"] for r in ad.rows("attributes") if r["secret"] and r["column"]]
    secrets = {v for r in db.iter_table("datatable", True, secret_columns)
               for v in r.values() if v is not None}
    assert secrets
    for view in ad.views():
        for row in ad.rows(view):
            assert not secrets & {v for v in row.values() if isinstance(v, (bytes, str))}


def test_native_conversions_equal_their_python_functions(tmp_path):
    """The reader's own seconds, SID, RID and GUID conversions (a view's
    fast path) give what the Python functions give, odd forms too."""
    from quarlet.artifacts import ntds
    seconds = [0, 1, -5, shapes.NTDS_SECONDS_2021, ntds.SECONDS_MAX, ntds.SECONDS_MAX + 1,
               2**63 - 1]
    sids = [shapes.ntds_sid(21, 7, 8, 9, 500), shapes.ntds_sid(32, 544), shapes.ntds_sid(18),
            bytes(8), b"\x01\x02" + bytes(10), shapes.ntds_sid(21, 1)[:-1], b"",
            shapes.sid_bytes(21, 1, authority=1 << 40), shapes.ntds_sid(*range(15))]
    guids = [shapes.GUID, bytes(16), b"\xff" * 16, bytes(15), bytes(17)]
    rows = [(i, seconds[i % len(seconds)], sids[i % len(sids)], guids[i % len(guids)])
            for i in range(max(map(len, (seconds, sids, guids))))]
    path = str(tmp_path / "n.dit")
    eb.Database([eb.Table("t", [eb.Column("Id", eb.T_LONG), eb.Column("S", eb.T_CURRENCY),
                                eb.Column("B", eb.T_LONG_BINARY),
                                eb.Column("G", eb.T_LONG_BINARY)], rows)]).write(path)
    db = EseDatabase(path)
    col = artifacts.engine.col
    # B is read as it is first: SID and RID convert its Python value, while
    # S and G are converted from the record's field.
    view = artifacts.View(db, artifacts.ViewDef("t", "", "t", [
        col("b", "bytes", "", "B"), col("s", "datetime", "", "S", convert=ntds.SECONDS),
        col("sid", "str", "", "B", convert=ntds.SID), col("rid", "int", "", "B", convert=ntds.RID),
        col("guid", "str", "", "G", convert=ntds.GUID)], key=("Id",), passthrough=False))
    assert view._program() is not None  # the reader runs it
    got = [(r["s"], r["sid"], r["rid"], r["guid"]) for r in view.rows()]
    want = [(ntds.seconds_1601(r["S"]), ntds.sid(r["B"]), ntds.rid(r["B"]), ntds.guid(r["G"]))
            for r in db.iter_table("t", True)]
    assert got == want
    assert got[3][0] == DEC_2021 and got[0][1:3] == ("S-1-5-21-7-8-9-500", 500)


@pytest.mark.parametrize("keys", [[], [3], [1, 2, 2, 5], [5, -1, 3, 3, -2**31, 2**31 - 1, 3, 0],
                                  [7] * 5 + [1] * 5])
def test_link_pairs_sort_stably(keys):
    from quarlet._quarlet import _sort_pairs
    targets = list(range(len(keys)))
    got = _sort_pairs(array("i", keys).tobytes(), array("i", targets).tobytes())
    order = sorted(targets, key=keys.__getitem__)
    assert got == (array("i", sorted(keys)).tobytes(), array("i", order).tobytes())
