"""User Access Logging (Windows Server, LogFiles\\Sum): which clients reached
which server role, from which address, as which user, on which days.

`Current.mdb` and the yearly `{GUID}.mdb` files ("ual") hold CLIENTS,
ROLE_ACCESS, DNS and VIRTUALMACHINES; `SystemIdentity.mdb` ("ual-identity")
holds the server's identity, the role names (ROLE_IDS) and the yearly files
(CHAINED_DATABASES). Every DateTime column holds a FILETIME, so times are
read from the raw values. Role names come from the ROLE_IDS of a
SystemIdentity.mdb beside the file, else from the built-in table below.
"""

from __future__ import annotations

import datetime
import os
from typing import Any, Dict, Iterator, List, Mapping, Optional, Set

from .. import EseDatabase
from . import values
from .engine import (PROVENANCE, RECOVERY, Artifact, Column, Row, ViewDef, key_text, col,
                     events, snake_case)

KIND = "ual"
IDENTITY_KIND = "ual-identity"
IDENTITY_FILE = "systemidentity.mdb"

# Role GUID -> name, for roles a SystemIdentity.mdb does not list.
ROLE_NAMES = {
    "ad495fc3-0eaa-413d-ba7d-8b13fa7ec598": "Active Directory Domain Services",
    "c50fcc83-bc8d-4df5-8a3d-89d7f80f074b": "Active Directory Certificate Services",
    "b4cdd739-089c-417e-878d-855f90081be7": "Active Directory Rights Management Service",
    "48eed6b2-9cdc-4358-b5a5-8dea3b2f3f6a": "DHCP Server",
    "7cc4b071-292c-4732-97a1-cf9a7301195d": "FAX Server",
    "10a9226f-50ee-49d8-a393-9a501d47ce04": "File Server",
    "bbd85b29-9dcc-4fd9-865d-3846dcba75c7": "Network Policy and Access Services",
    "7fb09bd3-7fe6-435e-8348-7d8aefb6cea3": "Print and Document Services",
    "d6256cf7-98fb-4eb4-aa18-303f1da1f770": "Web Server",
    "4116a14d-3840-4f42-a67f-f2f9ff46eb4c": "Windows Deployment Services",
    "d8dc1c8e-ea13-49ce-9a68-c9dca8db8b33": "Windows Server Update Services",
    "c23f1c6a-30a8-41b6-bbf7-f266563dfcd6": "FTP Server",
    "910cbaf9-b612-4782-a21f-f7c75105434a": "BranchCache",
    "952285d9-edb7-4b6b-9d85-0c09e3da0bbd": "Remote Access",
}

DAYS = tuple("Day%d" % n for n in range(1, 367))


def detect(tables: Mapping[str, Set[str]]) -> bool:
    return ({"RoleGuid", "TotalAccesses", "Address"} <= tables.get("CLIENTS", set())
            or {"RoleGuid", "FirstSeen", "LastSeen"} <= tables.get("ROLE_ACCESS", set()))


def detect_identity(tables: Mapping[str, Set[str]]) -> bool:
    return ("SYSTEM_IDENTITY" in tables or "CHAINED_DATABASES" in tables
            or {"RoleGuid", "RoleName"} <= tables.get("ROLE_IDS", set()))


def _time(name: str, meaning: str, source: str, event: Optional[str] = None) -> Column:
    return col(name, "datetime", meaning, source, convert=values.date_time, raw=True, event=event)


def _text(name: str, meaning: str, source: str) -> Column:
    return col(name, "str", meaning, source, convert=values.TEXT)


class Roles:
    """Role GUID -> name: the ROLE_IDS rows first, then the built-in names."""

    def __init__(self, names: Mapping[str, str]) -> None:
        self.names = {**ROLE_NAMES, **names}

    def name(self, role: Any) -> Optional[str]:
        key = values.guid(role)
        return self.names.get(key) if key else None

    def columns(self) -> List[Column]:
        return [col("role_guid", "str", "the server role accessed", "RoleGuid"),
                col("role_name", "str", "the role's name", "RoleGuid", convert=self.name)]


def _year(first: Optional[datetime.datetime], last: Optional[datetime.datetime]) -> Optional[int]:
    """The year a CLIENTS record counts days of: its first access's."""
    stamp = first or last
    return stamp.year if stamp is not None else None


_DAY_BASE = ("role_guid", "role_name", "tenant_id", "address", "user")
_DAY_KEEP = PROVENANCE + RECOVERY


def _client_days(row: Row, record: Mapping[str, Any]) -> Iterator[Row]:
    """One row per day with accesses: its count and date."""
    counts = row["days"]
    year = row["year"]
    base = {k: row[k] for k in _DAY_BASE}
    tail = {k: row[k] for k in _DAY_KEEP if k in row}
    start = datetime.date(year, 1, 1) if year else None
    for day, count in enumerate(counts, 1):
        if not count:
            continue
        date = None
        if start is not None:
            when = start + datetime.timedelta(days=day - 1)
            date = when.isoformat() if when.year == year else None
        yield {**base, "day": day, "date": date, "count": count, **tail}


def client_defs(roles: Roles) -> List[ViewDef]:
    clients = roles.columns() + [
        col("tenant_id", "str", "tenant GUID (all zero for File Server)", "TenantId"),
        col("address", "str", "the client's IP address (hex for other lengths)", "Address",
            convert=values.ip_address),
        _text("user", "the authenticated user (DOMAIN\\user or DOMAIN\\machine$)",
              "AuthenticatedUserName"),
        _text("client_name", "the client's name", "ClientName"),
        col("total_accesses", "int", "accesses this year (the sum of the day counts)",
            "TotalAccesses"),
        _time("first_access", "first access this year (UTC)", "InsertDate",
              "first access of the year"),
        _time("last_access", "last access (UTC)", "LastAccess", "last access"),
    ]
    year = col("year", "int", "the year the day counts belong to", "InsertDate", "LastAccess",
               convert=lambda a, b: _year(values.date_time(a), values.date_time(b)), raw=True)
    days = col("days", "list", "", *DAYS, convert=lambda *counts: counts)
    expanded = [c for c in clients if c.name in _DAY_BASE] + [
        col("day", "int", "day of the year (1 = 1 January)"),
        col("date", "str", "that day's date (ISO 8601)"),
        col("count", "int", "accesses on that day"),
    ]
    return [
        ViewDef("clients", "clients per role, address and user, with first and last access",
                 "CLIENTS", clients + [year], passthrough=False, events=events(
                     "{user} at {address} to {role_name}: {total_accesses} accesses this year", ("role_guid", "address", "user"),
                     ("first_access", "UAL client first access of the year"),
                     ("last_access", "UAL client last access"))),
        ViewDef("client_days", "accesses per client, role and day (one row per day with any)",
                 "CLIENTS", clients + [year, days], passthrough=False, expand=_client_days,
                 expanded=expanded),
    ]


def build(db: EseDatabase, tables: Mapping[str, Set[str]]) -> Artifact:
    companions: Dict[str, str] = {}
    errors: Dict[str, str] = {}
    names: Dict[str, str] = {}
    identity = find_identity(db.path)
    if identity is not None:
        companions["system_identity"] = identity
        try:
            names = read_role_names(EseDatabase(identity))
        except (OSError, ValueError) as error:
            errors["system_identity"] = "%s: %s" % (identity, error)
    roles = Roles(names)
    defs: List[ViewDef] = []
    if "CLIENTS" in tables:
        defs += client_defs(roles)
    if "ROLE_ACCESS" in tables:
        defs.append(ViewDef("role_access", "first and last access per server role",
                              "ROLE_ACCESS", roles.columns() + [
                                  _time("first_seen", "first access of the role (UTC)",
                                        "FirstSeen", "role first accessed"),
                                  _time("last_seen", "last access of the role (UTC)",
                                        "LastSeen", "role last accessed")],
                              events=events("{role_name} ({role_guid})", ("role_guid",),
                                            ("first_seen", "UAL role first access"),
                                            ("last_seen", "UAL role last access"))))
    if "DNS" in tables:
        defs.append(ViewDef("dns", "address and host name pairs the server resolved", "DNS", [
            _time("last_seen", "when the pair was last seen (UTC)", "LastSeen",
                  "address and host name seen"),
            _text("address", "IP address", "Address"),
            _text("host_name", "host name", "HostName")],
            events=events("{host_name} at {address}", ("address", "host_name"),
                          ("last_seen", "UAL DNS pair last seen"))))
    if "VIRTUALMACHINES" in tables:
        defs.append(ViewDef("virtual_machines", "virtual machines seen", "VIRTUALMACHINES", [
            col("vm_guid", "str", "the virtual machine's GUID", "VmGuid"),
            col("bios_guid", "str", "its BIOS GUID", "BIOSGuid"),
            _time("creation_time", "created (UTC)", "CreationTime", "virtual machine created"),
            _time("last_seen_active", "last seen active (UTC)", "LastSeenActive",
                  "virtual machine last active"),
            _text("serial_number", "serial number", "SerialNumber")], rename=snake_case,
            events=events("virtual machine {vm_guid} (BIOS {bios_guid}, serial {serial_number})",
                          ("vm_guid",), ("creation_time", "UAL virtual machine created"),
                          ("last_seen_active", "UAL virtual machine last active"))))
    return Artifact(KIND, db, defs, companions, errors)


# ---- SystemIdentity.mdb -------------------------------------------------------------


def find_identity(path: Optional[str]) -> Optional[str]:
    """The SystemIdentity.mdb beside a database file, if there is one."""
    if not path:
        return None
    folder = os.path.dirname(os.path.abspath(path))
    try:
        names = os.listdir(folder)
    except OSError:
        return None
    for name in sorted(names):
        candidate = os.path.join(folder, name)
        if name.lower() == IDENTITY_FILE and os.path.isfile(candidate) \
                and os.path.abspath(candidate) != os.path.abspath(path):
            return candidate
    return None


def read_role_names(db: EseDatabase) -> Dict[str, str]:
    """ROLE_IDS of a SystemIdentity.mdb: role GUID -> name."""
    if "ROLE_IDS" not in db.get_tables():
        return {}
    names: Dict[str, str] = {}
    for r in db.iter_table("ROLE_IDS", True, ["RoleGuid", "RoleName"]):
        role, name = values.guid(r["RoleGuid"]), values.text(r["RoleName"])
        if role and name:
            names[role] = name
    return names


def _beside(folder: str) -> Dict[str, str]:
    """File names of a folder by their lower-case form."""
    try:
        return {name.lower(): os.path.join(folder, name) for name in os.listdir(folder)}
    except OSError:
        return {}


def build_identity(db: EseDatabase, tables: Mapping[str, Set[str]]) -> Artifact:
    folder = os.path.dirname(os.path.abspath(db.path)) if db.path else ""
    present = _beside(folder) if folder else {}
    companions: Dict[str, str] = {}
    errors: Dict[str, str] = {}
    if "CHAINED_DATABASES" in tables:
        try:
            for r in db.iter_table("CHAINED_DATABASES", True):
                name = values.text(r.get("FileName"))
                if name and name.lower() in present:
                    companions["year %s" % key_text(r.get("Year"))] = present[name.lower()]
        except OSError as error:
            errors["CHAINED_DATABASES"] = str(error)

    def path_of(name: Any) -> Optional[str]:
        name = values.text(name)
        return present.get(name.lower()) if name else None

    defs: List[ViewDef] = []
    if "SYSTEM_IDENTITY" in tables:
        defs.append(ViewDef("system_identity", "the server's identity, one row per change",
                              "SYSTEM_IDENTITY", [
            _time("creation_time", "when this identity was recorded (UTC)", "CreationTime",
                  "system identity recorded"),
            _text("dns_host_name", "the server's DNS host name", "SystemDNSHostName"),
            _text("domain_name", "its domain", "SystemDomainName"),
            col("time_zone_bias_minutes", "int", "offset of local time from UTC in minutes",
                "OSCurrentTimeZone", convert=values.signed16),
            col("last_boot", "datetime", "last boot (UTC), from OSLastBootUpTime",
                "OSLastBootUpTime", convert=values.wmi_datetime, event="system booted"),
            _text("last_boot_text", "OSLastBootUpTime as stored (local time and offset)",
                  "OSLastBootUpTime"),
            col("os_product_type", "int", "1 workstation, 2 domain controller, 3 server",
                "OSProductType")], rename=snake_case,
            events=events("{dns_host_name} ({domain_name})", ("dns_host_name", "domain_name"),
                          ("creation_time", "UAL system identity recorded"),
                          ("last_boot", "UAL system boot"))))
    if "CHAINED_DATABASES" in tables:
        defs.append(ViewDef("chained_databases", "the yearly databases and their files",
                              "CHAINED_DATABASES", [
            col("year", "int", "the year the file covers", "Year"),
            _text("file_name", "its file name", "FileName"),
            col("path", "str", "the file beside this one, if present", "FileName",
                convert=path_of),
            col("present", "bool", "whether the file is beside this one", "FileName",
                convert=lambda name: path_of(name) is not None)]))
    if "ROLE_IDS" in tables:
        defs.append(ViewDef("role_ids", "the server roles this system knows", "ROLE_IDS", [
            col("role_guid", "str", "the role's GUID", "RoleGuid"),
            _text("role_name", "its name", "RoleName"),
            _text("product_name", "its product (name or GUID)", "ProductName")]))
    return Artifact(IDENTITY_KIND, db, defs, companions, errors)
