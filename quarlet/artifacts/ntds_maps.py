"""The maps an ntds.dit's views resolve through, all read from the file
itself: the schema (attribute and class names by id, each datatable column's
attribute), every object's parent and RDN (distinguished names), and the
member links of link_table both ways."""

from __future__ import annotations

import bisect
import itertools
import re
from array import array
from typing import (Any, Callable, Dict, Iterator, List, Mapping, Optional, Sequence, Set,
                    Tuple)

from .. import EseDatabase
from .._quarlet import _sort_pairs
from . import values
from .engine import Lookup

TABLE = "datatable"
LINKS = "link_table"

DNT, PDNT, RDN_TYPE, OBJ = "DNT_col", "PDNT_col", "RDNtyp_col", "OBJ_col"
# The schema's own attributes, read before any name is known.
ATTRIBUTE_ID = "ATTc131102"
LDAP_NAME = "ATTm131532"
ATTRIBUTE_SYNTAX = "ATTc131104"
GOVERNS_ID = "ATTc131094"
LINK_ID = "ATTj131122"
NAME = "ATTm589825"
SCHEMA_COLUMNS = (ATTRIBUTE_ID, LDAP_NAME, ATTRIBUTE_SYNTAX, GOVERNS_ID, LINK_ID)

ATT_COLUMN = re.compile(r"^ATT([a-z])(\d+)$")


def first(value: Any) -> Any:
    """The first value of a multi-valued one."""
    return value[0] if type(value) is list and value else value


_SPECIAL = re.compile(r'[,+"\\<>;=\x00-\x1f\x7f]|^[# ]| $')


def _escape(value: str) -> str:
    """An RDN value as a DN writes it: `,+"\\<>;=` escaped, a leading `#`
    or space and a trailing space too, control characters as \\XX (a
    deleted object's name holds a line feed)."""
    if _SPECIAL.search(value) is None:
        return value
    out = []
    last = len(value) - 1
    for i, ch in enumerate(value):
        if ch in ',+"\\<>;=' or (i == 0 and ch in "# ") or (i == last and ch == " "):
            out.append("\\" + ch)
        elif ch < " " or ch == "\x7f":
            out.append("\\%02X" % ord(ch))
        else:
            out.append(ch)
    return "".join(out)


# ---- the schema -------------------------------------------------------------------------


class Schema:
    """Attribute and class names as the file's schema rows give them."""

    def __init__(self) -> None:
        self.names: Dict[int, str] = {}        # attributeID -> lDAPDisplayName
        self.syntaxes: Dict[int, int] = {}     # attributeID -> x of 2.5.5.x
        self.link_ids: Dict[str, int] = {}     # lDAPDisplayName -> linkID
        self.classes: Dict[int, str] = {}      # governsID -> class name
        self.class_ids: Dict[str, int] = {}    # class name -> governsID
        self.columns: Dict[str, str] = {}      # lDAPDisplayName -> datatable column
        self.column_names: Dict[str, str] = {}  # datatable column -> lDAPDisplayName
        self._seen = Lookup(self._class_names)

    def add(self, r: Mapping[str, Any]) -> None:
        name = values.text(first(r.get(LDAP_NAME)))
        attribute, governs = first(r.get(ATTRIBUTE_ID)), first(r.get(GOVERNS_ID))
        if not name:
            return
        if type(attribute) is int:
            self.names.setdefault(attribute, name)
            syntax = first(r.get(ATTRIBUTE_SYNTAX))
            if type(syntax) is int and syntax >> 16 == 8:  # 2.5.5 is OID prefix 8
                self.syntaxes.setdefault(attribute, syntax & 0xFFFF)
            link = first(r.get(LINK_ID))
            if type(link) is int:
                self.link_ids.setdefault(name, link)
        if type(governs) is int:
            self.classes.setdefault(governs, name)
            self.class_ids.setdefault(name, governs)

    def bind(self, stored: Sequence[str]) -> List[str]:
        """Names the table's ATT columns; gives the columns no schema row names."""
        unnamed = []
        for column in stored:
            m = ATT_COLUMN.match(column)
            if m is None:
                continue
            name = self.names.get(int(m.group(2)))
            if name is None:
                unnamed.append(column)
                continue
            self.column_names[column] = name
            self.columns.setdefault(name, column)
        return unnamed

    def column(self, name: str) -> str:
        """The column of an attribute (a name no column has reads as null)."""
        return self.columns.get(name, "<no column for %s>" % name)

    def rdn_prefix(self, attribute: int) -> str:
        name = self.names.get(attribute)
        if name is None:
            return "ATT%d" % attribute if attribute >= 0 else "CN"
        return name.upper() if len(name) <= 2 else name

    def class_names(self, value: Any) -> Optional[List[str]]:
        """objectClass values (governsIDs) as class names, most specific first."""
        if value is None:
            return None
        key = tuple(value) if type(value) is list else value
        try:
            return list(self._seen[key])
        except TypeError:  # not a key
            return self._class_names(value)

    def _class_names(self, value: Any) -> List[str]:
        ids = value if type(value) in (list, tuple) else [value]
        return [self.classes.get(v, str(v)) if type(v) is int else str(v) for v in ids]

    def class_name(self, value: Any) -> Optional[str]:
        """The most specific class of an objectClass value."""
        if type(value) is list:
            value = value[0] if value else None
        if value is None:
            return None
        name = self.classes.get(value) if type(value) is int else None
        return name if name is not None else str(value)

    def has_class(self, wanted: str, unwanted: str = "") -> Callable[[Any], bool]:
        """Whether an objectClass value includes class `wanted` (and not `unwanted`)."""
        want = self.class_ids.get(wanted)
        not_want = self.class_ids.get(unwanted)

        def test(value: Any) -> bool:
            ids = value if type(value) is list else (value,)
            return want in ids and not_want not in ids
        return test


# ---- names: DNT -> distinguished name ----------------------------------------------------


class Names:
    """Every object's parent and RDN, for distinguished names: four arrays
    sorted by DNT (about 20 bytes an object, plus its RDN in UTF-8), not a
    dict of objects. The DNs of parents are kept as they are built, up to
    `CACHE` of them."""

    CACHE = 1 << 16

    def __init__(self, schema: Schema) -> None:
        self.schema = schema
        self.dnts = array("i")
        self.parents = array("i")
        self.types = array("i")
        self.ends = array("q")
        self.text = bytearray()
        self._sorted = True
        self._cache: Dict[int, str] = {}
        self._prefixes: Dict[int, str] = {}
        self._hint = -1

    def add(self, dnt: Any, parent: Any, rdn_type: Any, name: Any) -> None:
        if type(dnt) is not int or not -2**31 <= dnt < 2**31:
            return
        if self.dnts and dnt <= self.dnts[-1]:
            self._sorted = False
        self.dnts.append(dnt)
        self.parents.append(parent if type(parent) is int and -2**31 <= parent < 2**31 else 0)
        self.types.append(rdn_type if type(rdn_type) is int and -2**31 <= rdn_type < 2**31
                          else -1)
        # Kept escaped, as a DN writes it: escaped once, not per name built.
        self.text += _escape(values.text(first(name)) or "").encode("utf-8", "surrogatepass")
        self.ends.append(len(self.text))

    def finish(self) -> None:
        """Sorts by DNT when the table did not give them in order (the first
        of duplicate DNTs is the one found)."""
        if self._sorted:
            return
        order = sorted(range(len(self.dnts)), key=self.dnts.__getitem__)
        starts = [0] + list(self.ends[:-1])
        text = bytearray()
        ends = array("q")
        for i in order:
            text += self.text[starts[i]:self.ends[i]]
            ends.append(len(text))
        self.dnts = array("i", (self.dnts[i] for i in order))
        self.parents = array("i", (self.parents[i] for i in order))
        self.types = array("i", (self.types[i] for i in order))
        self.text, self.ends, self._sorted = text, ends, True

    def nbytes(self) -> int:
        """The map's memory, cached DNs aside."""
        return (sum(a.itemsize * len(a) for a in (self.dnts, self.parents, self.types, self.ends))
                + len(self.text))

    def __len__(self) -> int:
        return len(self.dnts)

    def _index(self, dnt: int) -> int:
        # A view reads the table in DNT order: the object after the last
        # one asked for is the likely one.
        i = self._hint + 1
        if i < len(self.dnts) and self.dnts[i] == dnt:
            self._hint = i
            return i
        i = bisect.bisect_left(self.dnts, dnt)
        if i < len(self.dnts) and self.dnts[i] == dnt:
            self._hint = i
            return i
        return -1

    def _rdn(self, i: int) -> str:
        start = self.ends[i - 1] if i else 0
        name = self.text[start:self.ends[i]].decode("utf-8", "surrogatepass")
        kind = self.types[i]
        prefix = self._prefixes.get(kind)
        if prefix is None:
            prefix = self._prefixes[kind] = self.schema.rdn_prefix(kind) + "="
        return prefix + name

    def dn(self, dnt: Any) -> Optional[str]:
        """The distinguished name of an object: its RDN and its parents' up
        to the root object (the one whose parent is 0). A parent the table
        lacks ends the name with `<missing DNT n>`, a chain that comes back
        to an object already on it with `<cycle at DNT n>`."""
        if type(dnt) is int:  # the usual case: a parent's DN is known
            i = self._index(dnt)
            if i >= 0:
                above = self._cache.get(self.parents[i])
                if above is not None and self.parents[i] != dnt:
                    return self._rdn(i) + "," + above if above else self._rdn(i)
        dnt = first(dnt)
        if type(dnt) is not int:
            return None
        chain: List[int] = []   # indexes, the object first
        seen: Set[int] = set()
        tail = ""
        broken = False  # a damaged chain's DNs are not kept: each says where it breaks
        current = dnt
        while True:
            cached = self._cache.get(current) if chain else None
            if cached is not None:
                tail = cached
                break
            i = self._index(current) if -2**31 <= current < 2**31 else -1
            if i < 0:
                tail, broken = "<missing DNT %d>" % current, True
                break
            if current in seen:
                tail, broken = "<cycle at DNT %d>" % current, True
                break
            parent = self.parents[i]
            if parent == 0:  # the root object: no RDN of its own in a DN
                break
            seen.add(current)
            chain.append(i)
            current = parent
        dn = tail
        for depth in range(len(chain) - 1, -1, -1):
            i = chain[depth]
            dn = self._rdn(i) + ("," + dn if dn else "")
            if depth and not broken and len(self._cache) < self.CACHE:
                self._cache[self.dnts[i]] = dn
        return dn

    def native(self) -> values.Native:
        """dn() as a conversion the reader runs itself: it builds the DN of
        an object whose parent's DN is cached and calls dn() for any other
        value. The arrays move into bytes the reader can read (read through
        memoryviews from then on: the map takes no more objects)."""
        tables: List[Any] = []
        for name in ("dnts", "parents", "types", "ends"):
            stored = getattr(self, name)
            if isinstance(stored, array):
                held = memoryview(stored.tobytes())
                stored = held.cast("q") if stored.typecode == "q" else held.cast("i")
                setattr(self, name, stored)
            tables.append(stored.obj)
        if not isinstance(self.text, bytes):
            setattr(self, "text", bytes(self.text))
        tables += [self.text, self._cache, self._prefixes]
        return values.Native("dn", self.dn, tuple(tables))

    def all_dnts(self) -> Iterator[int]:
        return iter(self.dnts)


# ---- links: group membership ------------------------------------------------------------


class Links:
    """The member links of link_table, both ways (read when first needed):
    group -> members and member -> groups as pairs of DNT arrays sorted by
    their first DNT, 16 bytes a link in all (no object per group or
    member). Deactivated links (a removed member still replicated) are
    left out."""

    def __init__(self, db: EseDatabase, base: Optional[int], names: Names,
                 errors: Dict[str, str]) -> None:
        self.db = db
        self.base = base
        self.names = names
        self.errors = errors
        self._read = False
        self._forward = _Pairs(array("i"), array("i"))   # group DNTs, their members
        self._reverse = _Pairs(array("i"), array("i"))   # member DNTs, their groups
        self._dn = Lookup(names.dn)  # groups and members recur

    def _load(self) -> None:
        self._read = True
        if self.base is None or LINKS not in self.db.get_tables():
            return
        groups, members = array("i"), array("i")
        base = self.base
        # Read as columns by the reader's row program, which passes over the
        # links of other bases itself; nothing a link in Python.
        outputs = [("g", "link_DNT", None, False), ("m", "backlink_DNT", None, False),
                   ("a", "link_deactivetime", Lookup(lambda v: False, {None: True}), True)]
        member = ("b", "link_base", Lookup(lambda v: v == base, {None: False}), True)
        try:
            for g, m, a in self.db._view_rows(
                    LINKS, ["link_DNT", "backlink_DNT", "link_base", "link_deactivetime"],
                    outputs, None, None, 1 << 16, member):
                if not all(a):  # deactivated links (a removed member still replicated)
                    g, m = list(itertools.compress(g, a)), list(itertools.compress(m, a))
                try:
                    more_g, more_m = array("i", g), array("i", m)
                except (TypeError, OverflowError):
                    _take_pairs(g, m, groups, members)  # raises at a DNT out of range
                    continue
                groups += more_g
                members += more_m
        except (OSError, ValueError, OverflowError) as error:
            self.errors[LINKS] = str(error)  # the links read before it are kept
        self._forward = _Pairs(groups, members, lazy=True)
        self._reverse = _Pairs(members, groups)

    def member_count(self, dnt: Any) -> int:
        if not self._read:
            self._load()
        return len(self._forward.find(dnt))

    def members(self, dnt: Any) -> List[Optional[str]]:
        if not self._read:
            self._load()
        return list(map(self._dn.__getitem__, self._forward.find(dnt)))

    def member_of(self, dnt: Any) -> List[Optional[str]]:
        if not self._read:
            self._load()
        return list(map(self._dn.__getitem__, self._reverse.find(dnt)))

    def native_member_of(self) -> values.Native:
        """member_of() as a conversion the reader runs itself (link_table
        is read when a view's rows start)."""
        def tables() -> Tuple[bytes, bytes, Dict[Any, Any]]:
            if not self._read:
                self._load()
            pairs = self._reverse
            return pairs.keys.obj, pairs.targets.obj, self._dn  # type: ignore[return-value]
        return values.Native("links", self.member_of, tables)


def _take_pairs(g: Sequence[Any], m: Sequence[Any], groups: "array[int]",
                members: "array[int]") -> None:
    """Appends the links whose two DNTs are ints; a link missing one is left
    out. OverflowError at a DNT out of range, the links before it taken."""
    for x, y in zip(g, m):
        if type(x) is int and type(y) is int:
            if not (-2**31 <= x < 2**31 and -2**31 <= y < 2**31):
                raise OverflowError("DNT out of range in %s: %d, %d" % (LINKS, x, y))
            groups.append(x)
            members.append(y)


class _Pairs:
    """DNT pairs sorted by the first (stable: a key's targets keep the
    table's order; keys already sorted cost one pass). A view asks in DNT
    order, so a search starts where the last one ended."""

    def __init__(self, keys: "array[int]", targets: "array[int]", lazy: bool = False) -> None:
        self._at = 0
        self._unsorted: Optional[Tuple["array[int]", "array[int]"]] = None
        if lazy:  # sorted when first searched (a view of accounts needs only the reverse)
            self._unsorted = keys, targets
            self.keys = self.targets = memoryview(b"").cast("i")
            return
        self._sort(keys, targets)

    def _sort(self, keys: "array[int]", targets: "array[int]") -> None:
        # Held in bytes, which the reader's own conversion reads too.
        sorted_keys, sorted_targets = _sort_pairs(keys.tobytes(), targets.tobytes())
        self.keys = memoryview(sorted_keys).cast("i")
        self.targets = memoryview(sorted_targets).cast("i")

    def find(self, key: Any) -> Sequence[int]:
        """The targets of `key`, in order."""
        if self._unsorted is not None:
            unsorted, self._unsorted = self._unsorted, None
            self._sort(*unsorted)
        if type(key) is not int:
            return ()
        keys, at = self.keys, self._at
        n = len(keys)
        if at and (at > n or keys[at - 1] >= key):
            at = bisect.bisect_left(keys, key, 0, min(at, n))
        else:
            stop = min(n, at + 4)
            while at < stop and keys[at] < key:
                at += 1
            if at == stop and at < n and keys[at] < key:
                at = bisect.bisect_left(keys, key, at)
        self._at = at
        end = at
        while end < n and keys[end] == key:
            end += 1
        return self.targets[at:end] if end > at else ()
