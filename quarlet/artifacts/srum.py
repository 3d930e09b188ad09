"""SRUM (System Resource Usage Monitor, SRUDB.dat): what each application
and user used of network, disk, CPU and energy, hour by hour.

Provider tables are named by a GUID and recognised by their columns (the
column sets differ by Windows build). Every `AppId` and `UserId` is an index
into `SruDbIdMapTable`, whose `IdType` says what its `IdBlob` holds: a
UTF-16LE application path, service or package name, a server object name,
or a binary user SID. `TimeStamp` (an OLE date, the end of the collection
window) and the FILETIME columns become UTC datetimes.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Mapping, Optional, Set, Tuple

from .. import EseDatabase
from . import values
from .engine import Artifact, Column, Lookup, ViewDef, col, events, snake_case

KIND = "srum"
ID_MAP = "SruDbIdMapTable"

ID_TYPES = {0: "application", 1: "service", 2: "package", 3: "user", 4: "server object"}

# IANA interface types seen in a NET_LUID's top 16 bits.
IF_TYPES = {1: "other", 6: "ethernet", 23: "ppp", 24: "loopback", 71: "wifi", 131: "tunnel",
            237: "wimax", 243: "mobile broadband", 244: "mobile broadband"}

_GUID_TABLE = re.compile(r"^\{[0-9A-Fa-f]{8}(-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}\}(LT)?$")
_PROVIDER_COLUMNS = {"AppId", "UserId", "TimeStamp"}


def detect(tables: Mapping[str, Set[str]]) -> bool:
    return {"IdType", "IdIndex", "IdBlob"} <= tables.get(ID_MAP, set())


# ---- the id map ---------------------------------------------------------------


def id_text(id_type: Any, blob: Any) -> Optional[str]:
    """An id map entry's value: a SID for users, else UTF-16LE text."""
    if blob is None:
        return None
    if id_type == 3:
        return values.sid(blob) or bytes(blob).hex()
    return values.utf16(blob)


def short_name(id_type: Any, value: Optional[str]) -> Optional[str]:
    """What an examiner reads first: the image name of a path, the image and
    service groups of a `!!image!date!hex![group] [service]` name, the
    package name of a package identity, the label of a server object."""
    if not value:
        return value
    if id_type == 0:
        if value.startswith("!!"):
            parts = value[2:].split("!")
            groups = parts[-1] if len(parts) > 1 and parts[-1].startswith("[") else ""
            return (parts[0] + " " + groups).strip()
        return value.rsplit("\\", 1)[-1] or value
    if id_type == 2:
        return value.split("!", 1)[0].split("_", 1)[0]
    if id_type == 4:
        fields = value.split("\t")
        return fields[2] if len(fields) > 2 and fields[2] else fields[0]
    return value


def _none(_: Any) -> None:
    return None


def _unresolved(_: Any) -> str:
    return "unresolved"


class IdMap:
    """The id map read once: per IdIndex its type name, text, short name and
    SID, each as a Lookup (an id the map lacks is "unresolved")."""

    def __init__(self, types: Mapping[int, str], texts: Mapping[int, Optional[str]],
                 names: Mapping[int, Optional[str]]) -> None:
        self.types = Lookup(_unresolved, types)
        self.texts = Lookup(_none, texts)
        self.names = Lookup(_none, names)
        self.sids = Lookup(_none, {i: t for i, t in texts.items() if types.get(i) == "user"})

    @classmethod
    def read(cls, db: EseDatabase) -> "IdMap":
        types: Dict[int, str] = {}
        texts: Dict[int, Optional[str]] = {}
        names: Dict[int, Optional[str]] = {}
        for r in db.iter_table(ID_MAP, True, ["IdType", "IdIndex", "IdBlob"]):
            index, id_type, blob = r["IdIndex"], r["IdType"], r["IdBlob"]
            if not isinstance(index, int):
                continue
            text = id_text(id_type, blob)
            if blob is None:
                types[index] = "no user" if id_type == 3 else "no app"
            else:
                types[index] = ID_TYPES.get(id_type, "type %r" % (id_type,))  # type: ignore[arg-type]
            texts[index] = text
            names[index] = short_name(id_type, text)
        return cls(types, texts, names)


def id_columns(ids: IdMap) -> List[Column]:
    """AppId and UserId resolved through the id map."""
    return [
        col("app_id", "int", "index into the id map (AppId)", "AppId"),
        col("app", "str", "the application, service, package or server object", "AppId",
            convert=ids.texts),
        col("app_type", "str", "what `app` is: application, service, package, server object; "
            "'no app' for system-wide rows, 'unresolved' when the id map lacks it", "AppId",
            convert=ids.types),
        col("app_name", "str", "short name: image and service groups, package name", "AppId",
            convert=ids.names),
        col("user_id", "int", "index into the id map (UserId)", "UserId"),
        col("user_sid", "str", "the user's SID", "UserId", convert=ids.sids),
        col("user_type", "str", "'user', 'no user' for system-wide rows, or 'unresolved'",
            "UserId", convert=ids.types),
    ]


# ---- providers ----------------------------------------------------------------


def luid_type(luid: Any) -> Optional[int]:
    return (luid >> 48) & 0xFFFF if type(luid) is int else None


def luid_type_name(luid: Any) -> Optional[str]:
    if type(luid) is not int:
        return None
    kind = (luid >> 48) & 0xFFFF
    return IF_TYPES.get(kind, "type %d" % kind)


def luid_index(luid: Any) -> Optional[int]:
    return (luid >> 24) & 0xFFFFFF if type(luid) is int else None


# NET_LUIDs repeat on every row of an interface: each part computed once.
LUID_TYPES = Lookup(luid_type)
LUID_TYPE_NAMES = Lookup(luid_type_name)
LUID_INDEXES = Lookup(luid_index)


def _interface() -> List[Column]:
    return [
        col("interface_luid", "int", "the interface's NET_LUID as stored", "InterfaceLuid"),
        col("interface_type", "int", "IANA interface type (6 ethernet, 71 wifi, 243/244 mobile)",
            "InterfaceLuid", convert=LUID_TYPES),
        col("interface_type_name", "str", "the interface type's name", "InterfaceLuid",
            convert=LUID_TYPE_NAMES),
        col("interface_index", "int", "the interface's index within its type", "InterfaceLuid",
            convert=LUID_INDEXES),
        col("l2_profile_id", "int", "WLAN/WWAN profile index (0: none, wired)", "L2ProfileId"),
        col("l2_profile_flags", "int", "profile flags as stored", "L2ProfileFlags"),
    ]


def _filetime(name: str, meaning: str, source: str, event: str) -> Column:
    return col(name, "datetime", meaning, source, convert=values.FILETIME, event=event)


@dataclass(frozen=True)
class Provider:
    """A provider table: its view's name and meaning, the stored columns
    that recognise it when its GUID is new, and its own output columns."""

    view: str
    meaning: str
    signature: Tuple[str, ...]
    columns: Callable[[], List[Column]]
    message: str = "{app_name} ({user_sid})"


PROVIDERS: Dict[str, Provider] = {
    "{973F5D5C-1D90-4944-BE8E-24B94231A174}": Provider(
        "network_usage", "bytes sent and received per application, user and interface",
        ("BytesSent", "BytesRecvd", "InterfaceLuid"),
        lambda: _interface() + [
            col("bytes_sent", "int", "bytes sent in the window", "BytesSent"),
            col("bytes_received", "int", "bytes received in the window", "BytesRecvd")],
        "{app_name} ({user_sid}) on {interface_type_name}: {bytes_sent} bytes sent, "
        "{bytes_received} received"),
    "{D10CA2FE-6FCF-4F6D-848E-B2E99266FA89}": Provider(
        "app_resource_usage", "CPU cycles, context switches and disk I/O per application",
        ("ForegroundCycleTime", "BackgroundCycleTime", "ForegroundBytesRead"),
        lambda: [
            col("foreground_cycles", "int", "CPU cycles in the foreground", "ForegroundCycleTime"),
            col("background_cycles", "int", "CPU cycles in the background", "BackgroundCycleTime"),
            col("face_time", "int", "time in the foreground, as stored (unit not established)",
                "FaceTime"),
            col("foreground_bytes_read", "int", "bytes read in the foreground",
                "ForegroundBytesRead"),
            col("foreground_bytes_written", "int", "bytes written in the foreground",
                "ForegroundBytesWritten"),
            col("background_bytes_read", "int", "bytes read in the background",
                "BackgroundBytesRead"),
            col("background_bytes_written", "int", "bytes written in the background",
                "BackgroundBytesWritten")],
        "{app_name} ({user_sid}): {foreground_cycles} foreground and {background_cycles} "
        "background cycles, {foreground_bytes_read} bytes read and {foreground_bytes_written} "
        "written in the foreground"),
    "{DD6636C4-8929-4683-974E-22C046A43763}": Provider(
        "network_connectivity", "connection sessions per interface",
        ("ConnectedTime", "ConnectStartTime"),
        lambda: _interface() + [
            col("connected_seconds", "int", "seconds connected in the session so far",
                "ConnectedTime"),
            _filetime("connect_start", "when the connection session started (UTC)",
                      "ConnectStartTime", "network connection started")],
        "{interface_type_name} interface {interface_index}, profile {l2_profile_id}: "
        "connected for {connected_seconds} s"),
    "{FEE4E14F-02A9-4550-B5CE-5FA2DA202E37}": Provider(
        "energy_usage", "battery and power state transitions",
        ("EventTimestamp", "StateTransition", "ChargeLevel"),
        lambda: [
            _filetime("event_time", "when the state changed (UTC)", "EventTimestamp",
                      "power state changed"),
            col("state_transition", "int", "the state transition as stored", "StateTransition"),
            col("charge_level", "int", "battery charge level", "ChargeLevel"),
            col("designed_capacity", "int", "battery designed capacity", "DesignedCapacity"),
            col("full_charged_capacity", "int", "battery full-charge capacity",
                "FullChargedCapacity"),
            col("cycle_count", "int", "battery charge cycles", "CycleCount")],
        "power state transition {state_transition}, charge level {charge_level} of "
        "{full_charged_capacity}"),
    "{5C8CF1C7-7257-4F13-B223-970EF5939312}": Provider(
        "app_timeline", "application activity timelines (focus, input, audio, CPU, disk, network)",
        ("InFocusTimeline", "DurationMS"),
        lambda: [
            _filetime("end_time", "end of the timeline (UTC)", "EndTime", "app timeline ended"),
            col("duration_ms", "int", "duration in milliseconds", "DurationMS"),
            col("span_ms", "int", "span in milliseconds (can be negative: as stored)", "SpanMS")],
        "{app_name} ({user_sid}): {duration_ms} ms"),
    "{7ACBBAA3-D029-4BE4-9A7A-0885927F1D8F}": Provider(
        "vfu", "vfuprov provider records (purpose not publicly documented)",
        ("StartTime", "EndTime", "Usage"),
        lambda: [
            _filetime("start_time", "start (UTC)", "StartTime", "vfu period started"),
            _filetime("end_time", "end (UTC)", "EndTime", "vfu period ended")]),
    "{D10CA2FE-6FCF-4F6D-848E-B2E99266FA86}": Provider(
        "push_notifications", "push notifications per packaged application",
        ("NotificationType", "PayloadSize"),
        lambda: [
            col("notification_type", "int", "notification type as stored", "NotificationType"),
            col("payload_bytes", "int", "payload size in bytes", "PayloadSize"),
            col("network_type", "int", "network type as stored", "NetworkType")],
        "{app_name} ({user_sid}): notification type {notification_type}, {payload_bytes} bytes"),
    "{DA73FB89-2BEA-4DDC-86B8-6E048C6DA477}": Provider(
        "energy_estimation", "energy estimation records (opaque binary data)",
        ("BinaryData",), lambda: []),
    "{17F4D97B-F26A-5E79-3A82-90040A47D13D}": Provider(
        "sdp_volume", "server: volume size and use",
        ("Total", "Used"),
        lambda: [col("total_bytes", "int", "volume size in bytes", "Total"),
                 col("used_bytes", "int", "bytes used", "Used")],
        "volume of {total_bytes} bytes, {used_bytes} used"),
    "{841A7317-3805-518B-C2EA-AD224CB4AF84}": Provider(
        "sdp_physical_disk", "server: physical disk size",
        ("SizeInBytes",), lambda: [col("size_bytes", "int", "disk size in bytes", "SizeInBytes")],
        "physical disk of {size_bytes} bytes"),
    "{DC3D3B50-BB90-5066-FA4E-A5F90DD8B677}": Provider(
        "sdp_cpu", "server: processor time", ("ProcessorTime",), lambda: []),
    "{EEE2F477-0659-5C47-EF03-6D6BEFD441B3}": Provider(
        "sdp_network", "server: network traffic counters (units not established)",
        ("BytesInBound", "BytesOutBound"), lambda: []),
}


def provider_for(table: str, columns: Set[str]) -> Tuple[Optional[Provider], bool]:
    """The provider of a GUID-named table, by its GUID or else by its
    columns; and whether it is a long-term (`...LT`) table."""
    long_term = table.upper().endswith("LT")
    guid = table[:-2] if long_term else table
    known = PROVIDERS.get(guid.upper())
    if known is not None:
        return known, long_term
    for provider in PROVIDERS.values():
        if set(provider.signature) <= columns:
            return provider, long_term
    return None, long_term


def provider_def(table: str, columns: Set[str], ids: IdMap, taken: Set[str]) -> ViewDef:
    provider, long_term = provider_for(table, columns)
    guid = (table[:-2] if long_term else table).strip("{}").lower()
    if provider is not None:
        # A provider's columns that this build's table lacks (a long-term
        # table has other columns) are left out rather than shown as nulls.
        own = [c for c in provider.columns() if set(c.sources) <= columns]
        name, meaning, message = provider.view, provider.meaning, provider.message
        rename: Callable[[str], str] = snake_case
    else:
        name, meaning, own, rename = "provider_" + guid, "provider %s" % table, [], str
        message = Provider.message
    label = "SRUM %s" % name.replace("_", " ")
    window = "end of the hour"
    if long_term:
        name, meaning = name + "_long_term", meaning + " (long term)"
        label, window = label + " (long term)", "end of the collection window"
    if name in taken:  # a second table recognised as the same provider
        name = "%s_%s" % (name, guid)
    common = [
        col("auto_inc_id", "int", "the record's id (AutoIncId)", "AutoIncId"),
        col("timestamp", "datetime", "end of the collection window (UTC)", "TimeStamp",
            convert=Lookup(values.date_time)),
    ] + id_columns(ids)
    # The window's end, then the provider's own times ("SRUM network
    # connection started"), each with the provider's message.
    times = [("timestamp", "%s, %s" % (label, window))]
    times += [(c.name, "SRUM " + c.event) for c in own if c.event]
    return ViewDef(name, meaning, table, common + own, key=("AutoIncId",), rename=rename,
                   events=events(message, ("app", "user_sid"), *times))


def id_map_def() -> ViewDef:
    return ViewDef("id_map", "the id map: what every AppId and UserId stands for", ID_MAP, [
        col("id_index", "int", "the id (IdIndex) that provider tables refer to", "IdIndex"),
        col("id_type", "int", "0 application, 1 service, 2 package, 3 user, 4 server object",
            "IdType"),
        col("type", "str", "the id type's name", "IdType", convert=ID_TYPES.get),
        col("value", "str", "the text, or the user's SID", "IdType", "IdBlob", convert=id_text),
        col("name", "str", "short name", "IdType", "IdBlob",
            convert=lambda t, b: short_name(t, id_text(t, b))),
        col("blob", "bytes", "the stored IdBlob", "IdBlob"),
    ], key=("IdIndex",), passthrough=False)


def build(db: EseDatabase, tables: Mapping[str, Set[str]]) -> Artifact:
    errors: Dict[str, str] = {}
    try:
        ids = IdMap.read(db)
    except (OSError, ValueError) as error:
        ids = IdMap({}, {}, {})
        errors[ID_MAP] = str(error)
    defs: List[ViewDef] = []
    taken: Set[str] = set()
    for table in sorted(tables, key=lambda t: (t.upper().endswith("LT"), t)):
        if _GUID_TABLE.match(table) and _PROVIDER_COLUMNS <= tables[table]:
            definition = provider_def(table, tables[table], ids, taken)
            taken.add(definition.name)
            defs.append(definition)
    order = {p.view: i for i, p in enumerate(PROVIDERS.values())}
    defs.sort(key=lambda s: (order.get(s.name.replace("_long_term", ""), len(order)), s.name))
    defs.append(id_map_def())
    return Artifact(KIND, db, defs, errors=errors)
