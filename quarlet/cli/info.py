"""The commands `info` (the file's size and layout and the facts of its
header) and `check` (the integrity report: header, page checksums, trees),
as text for people or as JSON."""

from __future__ import annotations

import argparse
import datetime
import os
from typing import (IO, TYPE_CHECKING, Any, Callable, Dict, List, Mapping, Optional, Sequence,
                    Tuple, cast)

if TYPE_CHECKING:
    from quarlet import CheckReport

from .arguments import Commands, add_command, add_jobs_option
from .errors import EXIT_DAMAGE, EXIT_FAILURE, CliError, os_error_text, report_failure
from .files import find_databases, open_database
from .output import json_text, write_lines
from .pool import run_per_file
from .progress import FilesProgress, Progress, mb, run_in_thread


def add_parsers(commands: Commands) -> None:
    info = add_command(
        commands, "info", run_info, database=False,
        usage="%(prog)s [options] DB [DB ...]",
        help="show the header facts: state, logs needed, times, writer",
        description="Print facts about the database file: file size, page size, page count, "
                    "format version and revision, table count, and the facts of the file "
                    "header: state (clean or dirty shutdown), the log generations a dirty "
                    "file needs, creation, consistent, attach and detach times (UTC) with "
                    "their log positions, the Windows version that wrote it, repairs, and "
                    "whether the header checksum holds and the shadow header matches. "
                    "Only the two header copies are read. " + SEVERAL_HELP)
    add_sources(info)
    info.add_argument("--json", action="store_true",
                      help="one JSON object (per file) instead of text")

    check = add_command(
        commands, "check", run_check, database=False,
        usage="%(prog)s [options] DB [DB ...]",
        help="check the header, every page's checksum and every tree",
        description="Walk every tree (the catalog, each table's data, long-value and index "
                    "trees), read every page once for its checksum, and check the header "
                    "and its shadow copy. Prints a short summary (state, required logs, "
                    "pages checked, bad pages, trees with anomalies), then the details: "
                    "each tree's anomalies (foreign pages, stale links, leaves no walk "
                    "reaches, unreadable pages, impossible records) and each bad page with "
                    "its failing blocks and its tree. Exit status: 0 when nothing is wrong, "
                    "3 when damage or an inconsistency was found, 1 on failure, 2 on a "
                    "usage error. " + SEVERAL_HELP)
    add_sources(check)
    check.add_argument("--json", action="store_true",
                       help="the whole report as one JSON object (the dict of check(); "
                            "with several files, one per line with its \"path\" first)")
    check.add_argument("--table", metavar="NAME", default=None,
                       help="walk only the trees of table NAME (every page is still checked)")


SEVERAL_HELP = ("With several files or a folder (searched recursively for files that start "
                "like an ESE database), one section per file headed '==> PATH <==' (with "
                "--json, one object per line); a file that fails is reported on stderr and "
                "the others go on (exit status 1).")


def add_sources(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("paths", metavar="DB", nargs="+",
                        help="ESE database files or folders (opened read-only)")
    add_jobs_option(parser)


def several(paths: Sequence[str]) -> bool:
    """Whether the run is over several files: more than one path, or a folder."""
    return len(paths) > 1 or os.path.isdir(paths[0])


def run_each(args: argparse.Namespace, out: IO[bytes], what: str, task: Callable[..., Any],
             extra: Tuple[Any, ...], lines: Callable[[str, Any], List[str]],
             damaged: Callable[[Any], bool]) -> int:
    """Runs `task(path, *extra)` over every database of the paths given, in
    worker processes, and writes each file's `lines` (a section per file
    for people, a line per file with --json). Exit status 1 when a file
    failed (each reported on stderr), else 3 when one is `damaged`, else 0."""
    paths = find_databases(args.paths)
    progress = FilesProgress(paths)
    failed = damage = False
    first = True
    for path, (result, failure) in run_per_file(task, [(p,) + extra for p in paths],
                                                args.jobs, progress):
        if failure is not None:
            report_failure(path, failure)
            failed = True
            continue
        damage = damage or damaged(result)
        if args.json:
            write_lines(out, lines(path, result))
        else:
            write_lines(out, ([] if first else [""]) + ["==> %s <==" % path] + lines(path, result))
        first = False
    progress.finish(what)
    return EXIT_FAILURE if failed else EXIT_DAMAGE if damage else 0


def json_header(header: Mapping[str, Any]) -> Dict[str, Any]:
    """get_header()'s dict with times as ISO 8601 text and bytes as hex, as
    check() gives it."""
    def plain(value: Any) -> Any:
        if isinstance(value, datetime.datetime):
            return value.isoformat()
        if isinstance(value, bytes):
            return value.hex()
        if isinstance(value, dict):
            return {k: plain(v) for k, v in value.items()}
        return value
    return cast(Dict[str, Any], plain(header))


def _time_text(value: Any) -> str:
    """A header time (datetime or ISO text) as "YYYY-MM-DD HH:MM:SS UTC"."""
    if value is None:
        return "not set"
    text = value.isoformat() if isinstance(value, datetime.datetime) else str(value)
    return text.replace("T", " ") + " UTC"


def _position_text(position: Mapping[str, int]) -> str:
    if not any(position.values()):
        return "none"
    return "log 0x%X, sector %d, offset %d" % (position["generation"], position["sector"],
                                             position["offset"])


def required_logs_text(header: Mapping[str, Any]) -> str:
    """The log generations a dirty file needs, in hex as log file names
    carry them ("0x51 to 0x51"), or "none"."""
    low, high = header["required_log_low"], header["required_log_high"]
    if low == 0 and high == 0:
        return "none"
    return "0x%X to 0x%X" % (low, high)


def _named(value: Any) -> str:
    """A state or file type: its text, or "unknown (N)" for a number."""
    return value if isinstance(value, str) else "unknown (%d)" % value


def _shadow_text(header: Mapping[str, Any]) -> str:
    if header["shadow_checksum_ok"] is None:
        return "absent (file too short)"
    return "%s, %s" % ("checksum ok" if header["shadow_checksum_ok"] else "CHECKSUM BAD",
                       "matches the header" if header["shadow_matches"] else "DIFFERS from the header")


def _checksum_text(header: Mapping[str, Any]) -> str:
    if header["header_checksum_ok"]:
        return "0x%08x (ok)" % header["header_checksum"]
    return "0x%08x (BAD: the bytes give 0x%08x)" % (header["header_checksum"],
                                                   header["header_checksum_computed"])


def header_lines(header: Mapping[str, Any]) -> List[Tuple[str, str]]:
    """(label, text) pairs of the header facts, for people."""
    windows = header["windows_version"]
    rows = [
        ("file type", _named(header["file_type"])),
        ("state", _named(header["state"])),
        ("required logs", required_logs_text(header)),
        ("committed log", "0x%X" % header["committed_log"] if header["committed_log"] else "none"),
        ("created as", "format 0x%x revision 0x%x (%d)" % (
            header["creation_format_version"], header["creation_format_revision"],
            header["creation_format_revision"])),
        ("written by", "Windows %s, service pack %d" % (windows, header["windows_service_pack"])
         if windows is not None else "not recorded"),
        ("created", _time_text(header["creation_time"])),
        ("consistent", "%s; %s" % (_time_text(header["consistent_time"]),
                                   _position_text(header["consistent_position"]))),
        ("attached", "%s; %s" % (_time_text(header["attach_time"]),
                                 _position_text(header["attach_position"]))),
        ("detached", "%s; %s" % (_time_text(header["detach_time"]),
                                 _position_text(header["detach_position"]))),
        ("database time", str(header["database_time"])),
        ("last object id", str(header["last_object_id"])),
        ("repairs", "%d%s" % (header["repair_count"], "" if header["repair_time"] is None
                              else ", last " + _time_text(header["repair_time"]))),
        ("header checksum", _checksum_text(header)),
        ("shadow header", _shadow_text(header)),
    ]
    for name, raw in header["invalid_times"].items():
        rows.append(("invalid time", "%s: stored bytes %s" % (
            name, raw.hex() if isinstance(raw, bytes) else raw)))
    return rows


def _aligned(rows: Sequence[Tuple[str, str]]) -> List[str]:
    width = max(len(label) for label, _ in rows)
    return ["%s  %s" % (label.ljust(width), text) for label, text in rows]


def file_info(path: str) -> Tuple[Dict[str, Any], Dict[str, Any]]:
    """The facts of one file: its layout, and its header's facts."""
    db = open_database(path)
    header = db.get_header()
    try:
        file_size = os.stat(path).st_size
    except OSError as error:
        raise CliError(os_error_text(error)) from None
    info: Dict[str, Any] = {
        "path": db.path,
        "file_size": file_size,
        "page_size": db.page_size,
        "total_pages": db.total_pages,
        "format_version": header["format_version"],
        "format_revision": header["format_revision"],
        "tables": len(db.get_tables()),
    }
    return info, cast(Dict[str, Any], header)


def info_lines(as_json: bool, facts: Tuple[Dict[str, Any], Dict[str, Any]]) -> List[str]:
    info, header = facts
    if as_json:
        return [json_text(dict(info, header=json_header(header)))]
    rows = [("path", info["path"]), ("file size", str(info["file_size"])),
            ("page size", str(info["page_size"])), ("pages", str(info["total_pages"])),
            ("format version", "0x%x" % info["format_version"]),
            ("format revision", "0x%x (%d)" % (info["format_revision"], info["format_revision"])),
            ("tables", str(info["tables"]))]
    return _aligned(rows + header_lines(header))


def run_info(args: argparse.Namespace, out: IO[bytes]) -> int:
    if several(args.paths):
        return run_each(args, out, "info", file_info, (),
                        lambda _, facts: info_lines(args.json, facts), lambda _: False)
    write_lines(out, info_lines(args.json, file_info(args.paths[0])))
    return 0


def page_ranges(numbers: Sequence[int]) -> str:
    """Ascending page numbers as ranges: "7, 143-158"."""
    parts: List[str] = []
    i = 0
    while i < len(numbers):
        j = i
        while j + 1 < len(numbers) and numbers[j + 1] == numbers[j] + 1:
            j += 1
        parts.append(str(numbers[i]) if i == j else "%d-%d" % (numbers[i], numbers[j]))
        i = j + 1
    return ", ".join(parts)


def bad_page_costs(page: Mapping[str, Any]) -> bool:
    """Whether a bad page touches a checked tree: a walk read it, or it
    carries a checked tree's object id. Other bad pages (bytes past the used
    part of a file, pages of no object) cost no data."""
    return bool(page["reached"]) or page["tree"] is not None


def damage_found(report: Mapping[str, Any]) -> bool:
    """Whether the report shows damage: a header or shadow header that fails
    or differs, a tree with anomalies, a bad page that touches a checked
    tree, or pages without checksums among checksummed ones (a file written
    without checksums has none that pass)."""
    header, pages = report["header"], report["pages"]
    return (not header["header_checksum_ok"]
            or header["shadow_checksum_ok"] is False or header["shadow_matches"] is False
            or any(tree["anomalous"] for tree in report["trees"])
            or any(bad_page_costs(p) for p in pages["bad_pages"])
            or (pages["no_checksum"] > 0 and pages["sound"] > 0))


def tree_label(tree: Mapping[str, Any]) -> str:
    """A tree for people: 'data tree of "T"', 'index "I" of "T"', ..."""
    if tree["role"] == "catalog":
        return "catalog" if tree["table"] is None else 'catalog ("%s")' % tree["table"]
    if tree["role"] == "data":
        return 'data tree of "%s"' % tree["table"]
    kind = "long values" if tree["role"] == "long_value" else "index"
    return '%s "%s" of "%s"' % (kind, tree["name"], tree["table"])


def tree_findings(tree: Mapping[str, Any]) -> List[str]:
    """One line per anomaly of a tree."""
    lines = []
    for f in tree["foreign_pages"]:
        lines.append("page %d of object %d met in the tree, left out" % (f["page"], f["owner"]))
    for link in tree["link_mismatches"]:
        lines.append("leaf %d links to page %d, not to the next leaf the branch pages list"
                     % (link["page"], link["next"]))
    if tree["unlisted_pages"]:
        lines.append("leaves only a next-page link reaches: " + page_ranges(tree["unlisted_pages"]))
    if tree["stale"]:
        lines.append("%d entries of those leaves outside their key range (stale), left out"
                     % tree["stale"])
    if tree["orphan_pages"]:
        lines.append("leaves of the tree no walk reaches (orphans): "
                     + page_ranges(tree["orphan_pages"]))
    if tree["unreadable_pages"]:
        lines.append("listed pages that cannot be read: " + page_ranges(tree["unreadable_pages"]))
    for entry in tree["bad_branch_entries"]:
        lines.append("branch page %d tag %d leads to no page: %s"
                     % (entry["page"], entry["tag"], entry["error"]))
    if tree["bad_pages"]:
        lines.append("pages read that fail their checksum: " + page_ranges(tree["bad_pages"]))
    if tree["rejected"]:
        lines.append("%d entries rejected as impossible records (on pages failing their checksum)"
                     % tree["rejected"])
    if tree["error"] is not None:
        lines.append("the walk ended early: " + tree["error"])
    return lines


def check_lines(report: Mapping[str, Any]) -> List[str]:
    """The human report: the summary, then the details."""
    header, pages, trees = report["header"], report["pages"], report["trees"]
    bad = [p["page"] for p in pages["bad_pages"]]
    costly = [p for p in pages["bad_pages"] if bad_page_costs(p)]
    anomalous = [t for t in trees if t["anomalous"]]
    freed = sum(len(t["freed_pages"]) for t in trees)
    if not bad:
        bad_text = "none"
    elif costly:
        bad_text = "%d (%s), %d of them in checked trees" % (len(bad), page_ranges(bad),
                                                             len(costly))
    else:
        bad_text = "%d (%s), none in a tree" % (len(bad), page_ranges(bad))
    summary = [
        ("state", _named(header["state"])),
        ("required logs", required_logs_text(header)),
        ("header", "checksum %s; shadow %s" % ("ok" if header["header_checksum_ok"] else "BAD",
                                               _shadow_text(header))),
        ("pages checked", "%d: %d sound, %d unused, %d bad%s" % (
            pages["checked"], pages["sound"], pages["unused"], pages["bad"],
            ", %d without checksum" % pages["no_checksum"] if pages["no_checksum"] else "")),
        ("bad pages", bad_text),
        ("trees", "%d checked, %d with anomalies; %d live and %d deleted entries" % (
            len(trees), len(anomalous), sum(t["live"] for t in trees),
            sum(t["deleted"] for t in trees))),
        ("unowned pages", "%d (of no catalog object and in no tree)" % pages["unowned"]),
        ("freed leaves", "%d (emptied by the engine, still owned)" % freed),
        ("result", "DAMAGE FOUND" if damage_found(report) else "no damage found"),
    ]
    lines = _aligned(summary)
    if not header["header_checksum_ok"]:
        lines += ["", "header: " + _checksum_text(header)]
    if anomalous:
        lines += ["", "trees with anomalies:"]
        for tree in anomalous:
            lines.append("  %s (root %d, object %d): %d pages, %d entries" % (
                tree_label(tree), tree["root"], tree["owner"], tree["pages"],
                tree["leaf_entries"]))
            lines += ["    " + line for line in tree_findings(tree)]
    if bad:
        lines += ["", "bad pages (page: failing blocks; owner; tree):"]
        for p in pages["bad_pages"]:
            where = tree_label(trees[p["tree"]]) if p["tree"] is not None else "no checked tree"
            lines.append("  %d: block %s; object %d; %s%s" % (
                p["page"], ", ".join(str(b) for b in p["blocks"]), p["owner"], where,
                ", read by its walk" if p["reached"] else ""))
    if pages["no_checksum"]:
        lines += ["", "pages written without checksums (every checksum field zero): "
                  + page_ranges(pages["no_checksum_pages"])]
    return lines


# Files below this size are checked before a progress line would be useful.
PROGRESS_MIN_BYTES = 256 << 20


def check_file(path: str, table: Optional[str]) -> "CheckReport":
    """The integrity report of one file (a task of the worker processes)."""
    try:
        return open_database(path).check(table)
    except ValueError as error:  # no such table
        raise CliError(str(error)) from None


def run_check(args: argparse.Namespace, out: IO[bytes]) -> int:
    if several(args.paths):
        def lines(path: str, report: "CheckReport") -> List[str]:
            if args.json:
                return [json_text(dict({"path": path}, **report))]
            return check_lines(report)
        return run_each(args, out, "check", check_file, (args.table,), lines, damage_found)
    db = open_database(args.paths[0])
    size = db.page_size * db.total_pages
    progress = Progress()
    progress.enabled = progress.enabled and size >= PROGRESS_MIN_BYTES

    def tick() -> None:
        progress.show("checking %s... %.0f s" % (mb(size), progress.elapsed()))

    try:
        report = run_in_thread(lambda: db.check(args.table), tick)
    except ValueError as error:  # no such table
        raise CliError(str(error)) from None
    finally:
        progress.clear()
    if args.json:
        write_lines(out, [json_text(report)])
    else:
        write_lines(out, check_lines(report))
    return EXIT_DAMAGE if damage_found(report) else 0
