"""The command `triage`: what an evidence folder holds, at a glance. Every
ESE database found (by its signature) with its size, SHA-256, artefact
kind, state, the transaction logs a dirty file needs and whether they lie
beside it, the integrity verdict, its tables and records, and how many
deleted records recovery would give."""

from __future__ import annotations

import argparse
import os
import re
from typing import IO, Any, Dict, Iterable, List, Mapping, Optional, Sequence, Set, Tuple

from .arguments import Commands, add_command, add_jobs_option
from .errors import EXIT_DAMAGE, EXIT_FAILURE, CliError, report_failure
from .files import find_databases, open_database
from .info import bad_page_costs, damage_found, tree_label
from .manifest import facts_meanwhile, kind_and_state
from .output import json_text, write_lines
from .pool import run_per_file
from .progress import FilesProgress

HEX_TAIL = re.compile(r"[0-9A-Fa-f]+\Z")
# Log file numbers: 5 hexadecimal digits (SRU00051.log), or 8 with long names.
NUMBER_WIDTHS = (8, 5)


def add_parsers(commands: Commands) -> None:
    sub = add_command(
        commands, "triage", run, database=False,
        help="list every database of an evidence folder: kind, state, logs, integrity",
        usage="%(prog)s [options] PATH [PATH ...]",
        description="Find every ESE database in the folders given (recursively, by the "
                    "file's signature, never following symbolic links) and in the files "
                    "given, and give for each: path, size, SHA-256, artefact kind, state "
                    "(clean or dirty shutdown), the log generations a dirty file needs and "
                    "which of those log files lie in its folder, the integrity verdict "
                    "(sound, or the damaged trees), tables, records, and the deleted "
                    "records recovery would give. A table, or JSON Lines with --json. Exit "
                    "status: 0 when every file was read, 3 when one is damaged or needs "
                    "logs that are missing, 1 when one could not be read.")
    sub.add_argument("paths", metavar="PATH", nargs="+", help="database files and folders")
    sub.add_argument("--json", action="store_true", help="one JSON object per file")
    add_jobs_option(sub)


# ---- transaction logs beside a database ----------------------------------------------


def _log_number(stem: str, base: Optional[str]) -> Optional[Tuple[str, int]]:
    """(base, generation) of a numbered log's stem: base then 5 or 8
    hexadecimal digits; with `base`, only that base (case ignored)."""
    for width in NUMBER_WIDTHS:
        head, tail = stem[:-width], stem[-width:]
        if len(stem) > width and HEX_TAIL.match(tail) and \
                (base is None or head.lower() == base.lower()):
            return head, int(tail, 16)
    return None


def folder_logs(folder: str) -> Tuple[Dict[str, Dict[int, str]], Dict[str, str]]:
    """The logs in `folder`, by base name (lower case): numbered logs
    {base: {generation: file name}} and the newest log {base: file name}
    (the one without a number). Base names come from the checkpoint files
    (.chk) and the logs themselves; where checkpoints are found, only their
    bases count."""
    try:
        names = os.listdir(folder or ".")
    except OSError:
        return {}, {}
    stems = {n[:-4]: n for n in names if n.lower().endswith(".log")}
    bases = {n[:-4].lower() for n in names if n.lower().endswith(".chk")}
    numbered: Dict[str, Dict[int, str]] = {}
    newest: Dict[str, str] = {}
    for stem, name in stems.items():
        if stem.lower() in bases or _log_number(stem, None) is None:
            newest[stem.lower()] = name
    for stem, name in stems.items():
        if stem.lower() in newest:
            continue
        found = next((n for n in (_log_number(stem, b) for b in bases | set(newest)) if n), None)
        head, generation = found or _log_number(stem, None) or (stem, -1)
        if generation >= 0:
            numbered.setdefault(head.lower(), {})[generation] = name
    if bases:  # the checkpoints name the log sets in use (not edbtmp.log and the like)
        numbered = {b: logs for b, logs in numbered.items() if b in bases}
        newest = {b: name for b, name in newest.items() if b in bases}
    return numbered, newest


def log_ranges(generations: Iterable[int]) -> List[List[int]]:
    """Sorted generations as [first, last] runs."""
    runs: List[List[int]] = []
    for g in sorted(set(generations)):
        if runs and runs[-1][1] == g - 1:
            runs[-1][1] = g
        else:
            runs.append([g, g])
    return runs


def needed_logs(path: str, low: int, high: int) -> Tuple[List[str], List[List[int]]]:
    """The log files of generations low to high found beside `path`, and
    the generations missing as [first, last] runs. The newest log (no
    number) holds the generation after the highest numbered one of its
    base, or, with no numbered log, the highest generation needed."""
    numbered, newest = folder_logs(os.path.dirname(path))
    low, high = min(low, high), max(low, high)
    present: Dict[int, str] = {}
    for base in set(numbered) | set(newest):
        logs = numbered.get(base, {})
        for generation, name in logs.items():
            if low <= generation <= high:
                present.setdefault(generation, name)
        if base in newest:
            current = max(logs) + 1 if logs else high
            if low <= current <= high:
                present.setdefault(current, newest[base])
    have = sorted(present)
    missing: List[List[int]] = []
    at = low
    for g in have + [high + 1]:
        if g > at:
            missing.append([at, g - 1])
        at = g + 1
    return [present[g] for g in have], missing


# ---- one file ---------------------------------------------------------------------------


def damaged_parts(report: Mapping[str, Any]) -> List[str]:
    """What check() found damaged, for people: "header", the trees with
    anomalies or bad pages, "pages without checksums"."""
    header, pages, trees = report["header"], report["pages"], report["trees"]
    parts: List[str] = []
    if not header["header_checksum_ok"] or header["shadow_checksum_ok"] is False \
            or header["shadow_matches"] is False:
        parts.append("header")
    hit: Set[int] = {i for i, tree in enumerate(trees) if tree["anomalous"]}
    hit |= {p["tree"] for p in pages["bad_pages"]
            if bad_page_costs(p) and p["tree"] is not None}
    parts += [tree_label(trees[i]) for i in sorted(hit)]
    if any(bad_page_costs(p) and p["tree"] is None for p in pages["bad_pages"]):
        parts.append("pages read outside the checked trees")
    if pages["no_checksum"] > 0 and pages["sound"] > 0:
        parts.append("pages without checksums")
    return parts


def failed_record(path: str, error: Optional[str]) -> Dict[str, Any]:
    """The record of a file nothing has been read of yet."""
    return {"path": path, "size": None, "sha256": None, "kind": None, "state": None,
            "logs_required": None, "logs_present": [], "logs_missing": [],
            "verdict": "failed", "damage": [], "tables": None, "records": None,
            "deleted": None, "error": error}


def triage_file(path: str) -> Dict[str, Any]:
    """The triage record of one file (a task of the worker processes). A
    file that cannot be read gives a record with "verdict": "failed" and
    the reason in "error"."""
    record = failed_record(path, None)
    facts = facts_meanwhile(path)
    try:
        db = open_database(path)
        record["kind"], record["state"] = kind_and_state(db)
        header = db.get_header()
        low, high = header["required_log_low"], header["required_log_high"]
        if low or high:
            record["logs_required"] = [low, high]
            record["logs_present"], record["logs_missing"] = needed_logs(path, low, high)
        tables = db.get_tables()
        report = db.check()
        record["tables"] = len(tables)
        # The records of the tables listed (the catalog's own tree is one
        # of them when the catalog names itself).
        listed = set(tables)
        record["records"] = sum(t["live"] for t in report["trees"]
                                if t["role"] in ("catalog", "data") and t["table"] in listed)
        record["damage"] = damaged_parts(report) if damage_found(report) else []
        record["verdict"] = "damaged" if record["damage"] else "sound"
        try:
            record["deleted"] = sum(1 for _ in db.recover())
        except (OSError, ValueError) as error:  # the verdict stands; the count is unknown
            record["error"] = "recovery failed: %s" % error
    except (CliError, OSError, ValueError) as error:
        record["verdict"], record["error"] = "failed", str(error)
    hashed = facts()
    if hashed is not None:
        record["size"], record["sha256"] = hashed.size, hashed.sha256
    return record


# ---- the table --------------------------------------------------------------------------


def generations_text(runs: Sequence[Sequence[int]]) -> str:
    return ", ".join("0x%X" % a if a == b else "0x%X-0x%X" % (a, b) for a, b in runs)


def logs_text(record: Mapping[str, Any]) -> str:
    required = record["logs_required"]
    if required is None:
        return "-" if record["verdict"] == "failed" else "none needed"
    needed = generations_text([sorted(required)])
    if not record["logs_missing"]:
        return "%s present" % needed
    return "%s: MISSING %s" % (needed, generations_text(record["logs_missing"]))


def verdict_text(record: Mapping[str, Any]) -> str:
    if record["verdict"] == "failed":
        return "FAILED: %s" % record["error"]
    text = "DAMAGED: %s" % "; ".join(record["damage"]) if record["damage"] else "sound"
    return text if record["error"] is None else "%s (%s)" % (text, record["error"])


def _cell(value: Any) -> str:
    return "-" if value is None else str(value)


COLUMNS = ("PATH", "SIZE", "KIND", "STATE", "LOGS", "TABLES", "RECORDS", "DELETED", "SHA-256",
           "VERDICT")


def table_lines(records: Sequence[Mapping[str, Any]]) -> List[str]:
    """The records as an aligned table, one line per file."""
    rows = [COLUMNS]
    for r in records:
        state = r["state"]
        rows.append((r["path"], _cell(r["size"]), _cell(r["kind"]),
                     "-" if state is None else state.replace(" shutdown", ""),
                     logs_text(r), _cell(r["tables"]), _cell(r["records"]), _cell(r["deleted"]),
                     _cell(r["sha256"]), verdict_text(r)))
    widths = [max(len(row[i]) for row in rows) for i in range(len(COLUMNS) - 1)]
    numeric = {1, 5, 6, 7}
    return ["  ".join([cell.rjust(w) if i in numeric else cell.ljust(w)
                       for i, (cell, w) in enumerate(zip(row, widths))] + [row[-1]]).rstrip()
            for row in rows]


def needs_attention(record: Mapping[str, Any]) -> bool:
    """Damaged, or dirty with logs it needs missing from its folder."""
    return record["verdict"] == "damaged" or bool(record["logs_missing"])


def run(args: argparse.Namespace, out: IO[bytes]) -> int:
    paths = find_databases(args.paths)
    progress = FilesProgress(paths)
    records: List[Dict[str, Any]] = []
    for path, (record, failure) in run_per_file(triage_file, paths, args.jobs, progress):
        records.append(record if failure is None else failed_record(path, failure))
    failed = [r for r in records if r["verdict"] == "failed"]
    flagged = [r for r in records if needs_attention(r)]
    dirty = sum(1 for r in records if r["state"] == "dirty shutdown")
    progress.finish("triage", "%d dirty, %d missing logs, %d damaged, %d failed" % (
        dirty, sum(1 for r in records if r["logs_missing"]),
        sum(1 for r in records if r["verdict"] == "damaged"), len(failed)))
    if args.json:
        write_lines(out, (json_text(r) for r in records))
    else:
        write_lines(out, table_lines(records))
    for r in failed:
        report_failure(r["path"], r["error"])
    if failed:
        return EXIT_FAILURE
    return EXIT_DAMAGE if flagged else 0
