"""Active Directory (ntds.dit): the domain's users, computers and groups,
their SIDs, creation and logon times, group memberships, and which objects
carry credentials.

Every object is a row of `datatable`, whose attribute columns are named
`ATT<letter><attributeID>` (the letter tells the attribute's syntax). The
names come from the file's own schema: the rows of attributeSchema objects
give attributeID -> lDAPDisplayName and syntax, the rows of classSchema
objects governsID -> class name. Only the few attributes that describe the
schema itself are read by fixed column (the base schema gives them the same
ids in every directory); every other column a view reads is found by name.

Distinguished names are built from the parent chain (PDNT_col) and each
object's RDN (`name`, of the attribute RDNtyp_col names). Generalized times
are seconds since 1601 (UTC), large-integer times FILETIMEs. A SID's last
sub-authority is stored big-endian. Linked attributes (member and its
reverse, memberOf) have no column: `link_table` holds one row per forward
link (the holder's DNT, the target's DNT, linkID // 2). Credential columns
(password hashes, Kerberos keys, trust and LSA secrets, BitLocker recovery
passwords) are reported as present or absent; their bytes never come out.
"""

from __future__ import annotations

import datetime
import struct
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Set, Tuple

from .. import EseDatabase
from . import values
from .engine import Artifact, Column, Lookup, ViewDef, col, events
from .ntds_maps import (ATT_COLUMN, ATTRIBUTE_ID, ATTRIBUTE_SYNTAX, DNT, GOVERNS_ID, LDAP_NAME,
                        LINK_ID, LINKS, NAME, OBJ, PDNT, RDN_TYPE, SCHEMA_COLUMNS, TABLE, Links,
                        Names, Schema, first)

KIND = "ntds"


# Syntax 2.5.5.x by x (the column letter is chr(ord('a') + x)).
SYNTAXES = {
    1: "DN", 2: "OID", 3: "case-exact string", 4: "case-ignore string",
    5: "printable string", 6: "numeric string", 7: "DN-binary", 8: "boolean",
    9: "integer", 10: "octet string", 11: "generalized time", 12: "Unicode string",
    13: "presentation address", 14: "DN-string", 15: "security descriptor",
    16: "large integer", 17: "SID",
}

# Attributes whose values are credentials or keys: reported as present or
# absent, never shown. Found by name, so that columns a schema extension
# adds (LAPS) are covered too.
SECRETS = (
    "unicodePwd", "dBCSPwd", "ntPwdHistory", "lmPwdHistory", "supplementalCredentials",
    "pekList", "currentValue", "priorValue", "trustAuthIncoming", "trustAuthOutgoing",
    "initialAuthIncoming", "initialAuthOutgoing", "unixUserPassword",
    "msDS-ManagedPasswordId", "msFVE-RecoveryPassword", "msFVE-KeyPackage",
    "ms-Mcs-AdmPwd", "msLAPS-Password", "msLAPS-EncryptedPassword",
    "msLAPS-EncryptedDSRMPassword", "msLAPS-EncryptedPasswordHistory",
)

# Large-integer attributes that hold FILETIMEs (0 and the largest value: never).
FILETIMES = ("pwdLastSet", "lastLogon", "lastLogonTimestamp", "badPasswordTime",
             "accountExpires", "lockoutTime", "lastLogoff")
NEVER = 0x7FFFFFFFFFFFFFFF

USER_ACCOUNT_CONTROL = (
    (0x1, "SCRIPT"), (0x2, "ACCOUNTDISABLE"), (0x8, "HOMEDIR_REQUIRED"), (0x10, "LOCKOUT"),
    (0x20, "PASSWD_NOTREQD"), (0x40, "PASSWD_CANT_CHANGE"),
    (0x80, "ENCRYPTED_TEXT_PWD_ALLOWED"), (0x100, "TEMP_DUPLICATE_ACCOUNT"),
    (0x200, "NORMAL_ACCOUNT"), (0x800, "INTERDOMAIN_TRUST_ACCOUNT"),
    (0x1000, "WORKSTATION_TRUST_ACCOUNT"), (0x2000, "SERVER_TRUST_ACCOUNT"),
    (0x10000, "DONT_EXPIRE_PASSWORD"), (0x20000, "MNS_LOGON_ACCOUNT"),
    (0x40000, "SMARTCARD_REQUIRED"), (0x80000, "TRUSTED_FOR_DELEGATION"),
    (0x100000, "NOT_DELEGATED"), (0x200000, "USE_DES_KEY_ONLY"),
    (0x400000, "DONT_REQ_PREAUTH"), (0x800000, "PASSWORD_EXPIRED"),
    (0x1000000, "TRUSTED_TO_AUTH_FOR_DELEGATION"), (0x4000000, "PARTIAL_SECRETS_ACCOUNT"),
)
GROUP_TYPE = ((0x1, "BUILTIN_LOCAL"), (0x2, "GLOBAL"), (0x4, "DOMAIN_LOCAL"),
              (0x8, "UNIVERSAL"), (0x10, "APP_BASIC"), (0x20, "APP_QUERY"),
              (0x80000000, "SECURITY"))

# Generalized times: seconds since 1601; the last second a datetime holds.
SECONDS_MAX = values.FILETIME_MAX // 10_000_000


def detect(tables: Mapping[str, Set[str]]) -> bool:
    return {DNT, PDNT, NAME, ATTRIBUTE_ID, LDAP_NAME} <= tables.get(TABLE, set())


# ---- value interpretations ------------------------------------------------------------


def seconds_1601(value: Any) -> Optional[datetime.datetime]:
    """A generalized time (whole seconds since 1601-01-01 UTC); 0 and
    values past year 9999 are None."""
    if type(value) is int and 0 < value <= SECONDS_MAX:
        return _EPOCH + datetime.timedelta(seconds=value)
    if type(value) is list:
        return seconds_1601(first(value))
    return None


_EPOCH = values.FILETIME_EPOCH

# A large-integer time (FILETIME); 0 and the largest value mean never. The
# reader converts an int itself.
FILETIME = values.Native("filetime", lambda value: values.filetime(first(value)))


def never(value: Any) -> Optional[bool]:
    """Whether a large-integer time says "never" (0 or the largest value)."""
    value = first(value)
    return value in (0, NEVER) if type(value) is int else None


_SUBAUTHORITIES = [struct.Struct("<%dI" % n) for n in range(256)]


def sid(value: Any) -> Optional[str]:
    """A stored SID as text (its last sub-authority big-endian)."""
    value = first(value)
    if type(value) is bytes and len(value) >= 12:
        count = value[1]
        end = 8 + 4 * count
        authority = int.from_bytes(value[2:8], "big")
        if count and len(value) >= end and authority < 1 << 32:
            subs = _SUBAUTHORITIES[count - 1].unpack_from(value, 8)
            last = int.from_bytes(value[end - 4:end], "big")
            return "S-%d-%d-%s%d" % (value[0], authority, "".join(["%d-" % n for n in subs]),
                                     last)
    return values.sid(value, last_big_endian=True)


def rid(value: Any) -> Optional[int]:
    """The last sub-authority of a stored SID."""
    value = first(value)
    if not isinstance(value, (bytes, bytearray)) or len(value) < 12:
        return None
    end = 8 + 4 * value[1]
    return int.from_bytes(value[end - 4:end], "big") if value[1] and len(value) >= end else None


def guid(value: Any) -> Optional[str]:
    """A 16-byte GUID (Data1-3 little-endian) as lowercase text."""
    value = first(value)
    if not isinstance(value, (bytes, bytearray)) or len(value) != 16:
        return None
    rest = value[8:].hex()
    return "%s-%s-%s-%s-%s" % (value[3::-1].hex(), value[5:3:-1].hex(), value[7:5:-1].hex(),
                               rest[:4], rest[4:])


def text(value: Any) -> Any:
    """Text without trailing U+0000; a multi-value as a list of such."""
    if type(value) is list:
        return [values.text(v) if isinstance(v, (str, bytes, bytearray)) else v for v in value]
    return values.text(value) if isinstance(value, (str, bytes, bytearray)) else value


# Single-valued text: the reader passes a str that needs no change itself.
TEXT = values.Native("text", lambda value: text(first(value)))


def texts(value: Any) -> Optional[List[str]]:
    """A multi-valued text attribute as a list."""
    if value is None:
        return None
    out = text(value)
    return out if type(out) is list else [out]


# The same conversions run by the reader itself for the values it knows.
SECONDS = values.Native("seconds", seconds_1601)
SID = values.Native("sid_last_be", sid)
RID = values.Native("rid_last_be", rid)
GUID = values.Native("guid_le", guid)


def flags(names: Sequence[Tuple[int, str]]) -> Lookup:
    """The names of the bits set in a flag word; bits of no name as hex. A
    table by stored value (few distinct words): each row gets its own list."""
    known = sum(bit for bit, _ in names)

    def named(value: Any) -> Optional[List[str]]:
        value = first(value)
        if type(value) is not int:
            return None
        word = value & 0xFFFFFFFF
        out = [name for bit, name in names if word & bit]
        if word & ~known:
            out.append("0x%X" % (word & ~known))
        return out
    return Lookup(named)


def number(value: Any) -> Optional[int]:
    value = first(value)
    return value if type(value) is int else None


def truth(value: Any) -> Optional[bool]:
    value = first(value)
    return bool(value) if type(value) is int else None


# ---- the directory ------------------------------------------------------------------------


class Directory(Artifact):
    """An ntds.dit: its views, and `object()`, every attribute of one object."""

    schema: Schema
    names: Names
    links: Links

    def object(self, key: Any) -> Optional[Dict[str, Any]]:
        """All resolved attributes of one object, by DNT (int) or
        distinguished name (case-insensitive), interpreted by syntax:
        DNs for DN-valued attributes, class and attribute names for OIDs,
        times, SIDs and GUIDs as text. A credential's value is replaced by
        "<not shown: N bytes>". None when no object matches. Reads the
        table once."""
        dnt = key if type(key) is int else self._find(str(key))
        if dnt is None:
            return None
        for r in self.db.iter_table(TABLE, True):
            if r.get(DNT) == dnt:
                return self._interpret(r)
        return None

    def _find(self, dn: str) -> Optional[int]:
        wanted = dn.strip().lower()
        for dnt in self.names.all_dnts():
            found = self.names.dn(dnt)
            if found is not None and found.lower() == wanted:
                return dnt
        return None

    def _interpret(self, r: Mapping[str, Any]) -> Dict[str, Any]:
        out: Dict[str, Any] = {"distinguishedName": self.names.dn(r.get(DNT))}
        schema = self.schema
        for column, value in r.items():
            if value is None:
                continue
            name = schema.column_names.get(column, column)
            m = ATT_COLUMN.match(column)
            letter = m.group(1) if m else ""
            if name in SECRETS:
                size = len(value) if isinstance(value, (bytes, bytearray, str)) else None
                out[name] = "<not shown: %s bytes>" % size if size is not None else \
                    "<not shown>"
            elif letter == "b":
                out[name] = ([self.names.dn(v) for v in value] if type(value) is list
                             else self.names.dn(value))
            elif letter == "c":
                out[name] = [_oid(schema, v) for v in value] if type(value) is list \
                    else _oid(schema, value)
            elif letter == "l":
                out[name] = seconds_1601(value)
            elif letter == "r":
                out[name] = sid(value)
            elif name in FILETIMES:
                out[name] = "never" if never(value) else FILETIME(value)
            elif name == "objectGUID":
                out[name] = guid(value)
            elif letter == "f":  # printable strings, stored as bytes
                out[name] = ([values.byte_text(v) for v in value] if type(value) is list
                             else values.byte_text(value))
            elif isinstance(value, str) or (type(value) is list and value
                                            and isinstance(value[0], str)):
                out[name] = text(value)
            else:  # numbers, octet strings and security descriptors as stored
                out[name] = value
        out["source_table"] = TABLE
        out["source_key"] = "%s=%s" % (DNT, r.get(DNT))
        return out


def _oid(schema: Schema, value: Any) -> Any:
    """A prefix-encoded OID: the class or attribute it names, if any."""
    if type(value) is not int:
        return value
    return schema.classes.get(value) or schema.names.get(value) or value


# ---- the views ------------------------------------------------------------------------------


def object_columns(schema: Schema, names: Names) -> List[Column]:
    a = schema.column
    return [
        col("dnt", "int", "the object's row id (DNT)", DNT),
        col("parent_dnt", "int", "its parent's DNT", PDNT),
        col("name", "str", "its RDN value (name)", a("name"), convert=TEXT),
        col("distinguished_name", "str", "its DN, built from the parent chain "
            "(<missing DNT n> / <cycle at DNT n>: a damaged chain)", DNT,
            convert=names.native()),
        col("object_class", "str", "its most specific class", a("objectClass"),
            convert=Lookup(schema.class_name)),
        col("object_classes", "list", "all its classes (objectClass), by name",
            a("objectClass"), convert=Lookup(schema.class_names)),
        col("created", "datetime", "when the object was created (whenCreated, UTC)",
            a("whenCreated"), convert=SECONDS),
        col("changed", "datetime", "when it last changed (whenChanged, UTC)",
            a("whenChanged"), convert=SECONDS),
        col("guid", "str", "objectGUID", a("objectGUID"), convert=GUID),
        col("sid", "str", "objectSid as text", a("objectSid"), convert=SID),
        col("rid", "int", "the SID's last sub-authority (500: the built-in Administrator)",
            a("objectSid"), convert=RID),
        col("sam_account_name", "str", "sAMAccountName", a("sAMAccountName"), convert=TEXT),
        col("user_principal_name", "str", "userPrincipalName", a("userPrincipalName"),
            convert=TEXT),
        col("description", "str", "description (a multi-value joined by line feeds)",
            a("description"), convert=values.Native(
                "text", lambda v: "\n".join(texts(v) or []) or None)),
        # Flags and mostly-null values as tables: a dict probe a row.
        col("deleted", "bool", "whether the object is deleted (isDeleted)", a("isDeleted"),
            convert=Lookup(lambda v: bool(truth(v)), {None: False, 0: False, 1: True})),
        col("last_known_parent", "str", "where a deleted object was before it was deleted "
            "(lastKnownParent)", a("lastKnownParent"),
            convert=Lookup(names.dn, {None: None}, limit=1)),
        col("phantom", "bool", "a row that stands for an object held elsewhere (OBJ_col 0)",
            OBJ, convert=Lookup(lambda v: v == 0, {None: False, 0: True, 1: False})),
    ]


def _time(name: str, attribute: str, meaning: str, schema: Schema) -> Column:
    return col(name, "datetime", "%s (%s, UTC; none when never)" % (meaning, attribute),
               schema.column(attribute), convert=FILETIME)


def account_columns(schema: Schema, links: Links) -> List[Column]:
    a = schema.column
    return [
        col("user_account_control", "int", "userAccountControl", a("userAccountControl")),
        col("user_account_control_flags", "list", "the flags userAccountControl sets",
            a("userAccountControl"), convert=flags(USER_ACCOUNT_CONTROL)),
        col("disabled", "bool", "whether the account is disabled (ACCOUNTDISABLE)",
            a("userAccountControl"), convert=Lookup(
                lambda v: bool(v & 2) if type(v) is int else None, {None: None})),
        _time("pwd_last_set", "pwdLastSet", "when the password was last set", schema),
        _time("last_logon", "lastLogon", "the last logon this DC saw", schema),
        _time("last_logon_timestamp", "lastLogonTimestamp",
              "the last logon, replicated (to within about 14 days)", schema),
        _time("bad_password_time", "badPasswordTime", "the last wrong password", schema),
        _time("account_expires", "accountExpires", "when the account expires", schema),
        col("account_never_expires", "bool", "whether accountExpires says never (0 or the "
            "largest value)", a("accountExpires"), convert=Lookup(
                never, {None: None, 0: True, NEVER: True})),
        col("logon_count", "int", "logonCount (this DC's)", a("logonCount")),
        col("bad_password_count", "int", "badPwdCount", a("badPwdCount")),
        col("primary_group_id", "int", "the RID of the primary group (513: Domain Users)",
            a("primaryGroupID")),
        col("service_principal_names", "list", "servicePrincipalName",
            a("servicePrincipalName"), convert=values.Native("texts", texts)),
        col("member_of", "list", "the groups that list it as member (memberOf, from "
            "link_table); the primary group is not among them", DNT,
            convert=links.native_member_of()),
    ]


# Timeline events: accounts and groups (the schema's and the system's own
# objects, all made when the domain was, would only bury them).
ACCOUNT_EVENTS = events(
    "{sam_account_name} ({sid}) {distinguished_name}",
    ("sam_account_name", "sid", "distinguished_name"),
    ("created", "AD account created"), ("changed", "AD account changed"),
    ("pwd_last_set", "AD account password last set"),
    ("last_logon", "AD account last logon"),
    ("last_logon_timestamp", "AD account last logon (replicated)"),
    ("bad_password_time", "AD account last wrong password"),
    ("account_expires", "AD account expires"))
GROUP_EVENTS = events(
    "{sam_account_name} ({sid}) {distinguished_name}",
    ("sam_account_name", "sid", "distinguished_name"),
    ("created", "AD group created"), ("changed", "AD group changed"))


def views(schema: Schema, names: Names, links: Links) -> List[ViewDef]:
    a = schema.column
    objects = object_columns(schema, names)
    accounts = account_columns(schema, links)
    key = (DNT,)
    secrets = [name for name in SECRETS if name in schema.columns]

    def where(test: Callable[[Any], bool]) -> Column:
        # Few distinct class lists: a dict probe a row.
        return col("where", "bool", "", a("objectClass"), convert=Lookup(test, {None: test(None)}))


    def syntax(value: Any) -> Optional[str]:
        value = first(value)
        if type(value) is int and value >> 16 == 8:
            return "2.5.5.%d" % (value & 0xFFFF)
        return None if value is None else str(value)

    bound = {column: name for column, name in schema.column_names.items()}
    by_id = {int(ATT_COLUMN.match(c).group(2)): c for c in bound}  # type: ignore[union-attr]
    return [
        ViewDef("objects", "every object of the directory", TABLE, objects, key=key,
                passthrough=False),
        ViewDef("users", "user accounts (class user, computers aside)", TABLE,
                objects + accounts, key=key, passthrough=False,
                where=where(schema.has_class("user", "computer")), events=ACCOUNT_EVENTS),
        ViewDef("computers", "computer accounts", TABLE, objects + accounts + [
            col("dns_host_name", "str", "dNSHostName", a("dNSHostName"), convert=TEXT),
            col("operating_system", "str", "operatingSystem", a("operatingSystem"),
                convert=TEXT),
            col("operating_system_version", "str", "operatingSystemVersion",
                a("operatingSystemVersion"), convert=TEXT)], key=key, passthrough=False,
            where=where(schema.has_class("computer")), events=ACCOUNT_EVENTS),
        ViewDef("groups", "groups and their members (forward links of link_table)", TABLE,
                objects + [
            col("group_type", "int", "groupType", a("groupType")),
            col("group_type_flags", "list", "the scope and kind groupType sets",
                a("groupType"), convert=flags(GROUP_TYPE)),
            col("member_count", "int", "how many members link_table lists (active links)",
                DNT, convert=links.member_count),
            col("members", "list", "their distinguished names", DNT, convert=links.members),
            col("member_of", "list", "the groups that list this group as member", DNT,
                convert=links.member_of)], key=key, passthrough=False,
            where=where(schema.has_class("group")), events=GROUP_EVENTS),
        ViewDef("group_members", "one row per member link of link_table, both ends named",
                LINKS, [
            col("group_dnt", "int", "the group's DNT (link_DNT)", "link_DNT"),
            col("group", "str", "the group's DN", "link_DNT", convert=names.dn),
            col("member_dnt", "int", "the member's DNT (backlink_DNT)", "backlink_DNT"),
            col("member", "str", "the member's DN", "backlink_DNT", convert=names.dn),
            col("active", "bool", "false for a deactivated link (a removed member still "
                "replicated)", "link_deactivetime", convert=lambda v: v is None)],
            key=("link_DNT", "backlink_DNT"), passthrough=False,
            where=col("where", "bool", "", "link_base",
                      convert=lambda v: v is not None and v == links.base)),
        ViewDef("credentials", "which objects hold credential attributes (present or "
                "absent; their values are never shown)", TABLE, objects[:4] + [
            col("sam_account_name", "str", "sAMAccountName", a("sAMAccountName"),
                convert=TEXT),
            col("credentials", "list", "the credential attributes the object holds",
                *[a(n) for n in secrets],
                convert=lambda *v: [n for n, x in zip(secrets, v) if x is not None])] + [
            col(n, "bool", "whether %s is present" % n, a(n), convert=lambda v: v is not None)
            for n in secrets], key=key, passthrough=False,
            where=col("where", "bool", "", *[a(n) for n in secrets],
                      convert=lambda *v: any(x is not None for x in v))),
        ViewDef("attributes", "the schema's attributes: name, id, syntax and column",
                TABLE, [
            col("name", "str", "lDAPDisplayName", LDAP_NAME, convert=TEXT),
            col("id", "int", "attributeID (prefix-encoded)", ATTRIBUTE_ID, convert=number),
            col("syntax", "str", "attributeSyntax (2.5.5.x)", ATTRIBUTE_SYNTAX,
                convert=syntax),
            col("syntax_name", "str", "what the syntax holds", ATTRIBUTE_SYNTAX,
                convert=lambda v: SYNTAXES.get(first(v) & 0xFFFF) if type(first(v)) is int
                and first(v) >> 16 == 8 else None),
            col("link_id", "int", "linkID (linked attributes live in link_table)", LINK_ID,
                convert=number),
            col("column", "str", "its datatable column (none: no column)", ATTRIBUTE_ID,
                convert=lambda v: by_id.get(first(v)) if type(first(v)) is int else None),
            col("secret", "bool", "a credential attribute (never shown)", LDAP_NAME,
                convert=lambda v: values.text(first(v)) in SECRETS)], key=key,
            passthrough=False, where=col("where", "bool", "", ATTRIBUTE_ID,
                                         convert=lambda v: v is not None)),
    ]


def read(db: EseDatabase, stored: Sequence[str], errors: Dict[str, str]
         ) -> Tuple[Schema, Names]:
    """One pass over datatable: the schema rows and every object's parent and RDN."""
    schema = Schema()
    names = Names(schema)
    wanted = [c for c in (DNT, PDNT, RDN_TYPE, NAME) + SCHEMA_COLUMNS if c in stored]
    try:
        for r in db.iter_table(TABLE, True, wanted):
            if r.get(ATTRIBUTE_ID) is not None or r.get(GOVERNS_ID) is not None:
                schema.add(r)
            names.add(r.get(DNT), r.get(PDNT), r.get(RDN_TYPE), r.get(NAME))
    except (OSError, ValueError) as error:
        errors[TABLE] = str(error)  # what was read before it is kept
    names.finish()
    unnamed = schema.bind(stored)
    if unnamed:
        errors["schema"] = "%d columns have no schema row: %s" % (
            len(unnamed), ", ".join(unnamed[:10]))
    return schema, names


def build(db: EseDatabase, tables: Mapping[str, Set[str]]) -> Artifact:
    errors: Dict[str, str] = {}
    stored = [c["name"] for c in db.get_table_schema(TABLE)]
    schema, names = read(db, stored, errors)
    link_id = schema.link_ids.get("member")
    links = Links(db, link_id // 2 if link_id is not None else None, names, errors)
    directory = Directory(KIND, db, views(schema, names, links), errors=errors)
    directory.schema, directory.names, directory.links = schema, names, links
    links.errors = directory.errors  # a link_table read later reports there
    return directory
