"""The command `carve`: UTF-16LE strings found in the pages' bytes, as JSON
Lines or TSV."""

from __future__ import annotations

import argparse
from typing import IO, Any, cast

from .arguments import Commands, add_command
from .files import open_database
from .output import json_text, tsv_field, write_lines
from .progress import Progress, mb, run_in_thread

SCOPES = ("slack", "all", "tag_data", "lv_all", "lv_slack")
HIT_FIELDS = ("page", "offset", "slack_start", "slack_end", "region_kind", "page_flags",
              "page_type", "table", "text")
U32_MAX = 0xFFFFFFFF


def u32(text: str) -> int:
    """A decimal integer from 0 to 4294967295 (argparse type)."""
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError("not an integer: %r" % text) from None
    if not 0 <= value <= U32_MAX:
        raise argparse.ArgumentTypeError("out of range (0 to %d): %s" % (U32_MAX, text))
    return value


def add_parsers(commands: Commands) -> None:
    carve = add_command(
        commands, "carve", run, help="find UTF-16LE strings in the database pages",
        description="Carve runs of printable ASCII stored as UTF-16LE out of the pages. "
                    "Scopes: slack = bytes of a page no tag points at (default); all = whole "
                    "pages; tag_data = the data of each tag; lv_all and lv_slack = the same "
                    "as all and slack on long-value pages only.")
    carve.add_argument("--scope", choices=SCOPES, default="slack",
                       help="which bytes of which pages are searched (default: slack)")
    carve.add_argument("--needle", metavar="N", default=None,
                       help="report only strings containing N (case-sensitive)")
    carve.add_argument("--min-chars", metavar="K", type=u32, default=6,
                       help="shortest string reported, in characters (default: 6; below 2 "
                            "means 2)")
    carve.add_argument("--max-hits", metavar="M", type=u32, default=1000,
                       help="stop after M strings (default: 1000; 0 = no limit)")
    carve.add_argument("--format", choices=("jsonl", "tsv"), default="jsonl",
                       help="jsonl: one JSON object per hit; tsv: a header line, then one "
                            "tab-separated line per hit (default: jsonl)")


def run(args: argparse.Namespace, out: IO[bytes]) -> None:
    db = open_database(args.database)
    progress = Progress()
    size = db.page_size * db.total_pages
    max_hits = args.max_hits if args.max_hits != 0 else U32_MAX

    def tick() -> None:
        progress.show("carving %s (%s scope)... %.0f s" % (mb(size), args.scope,
                                                           progress.elapsed()))

    try:
        hits = run_in_thread(
            lambda: db.carve_utf16le_strings_scoped(
                cast(Any, args.scope), needle=args.needle, min_chars=args.min_chars,
                max_hits=max_hits),
            tick)
    except BaseException:
        progress.clear()
        raise
    progress.done("carved %s in %.1f s (%.1f MB/s): %d hits" % (
        mb(size), progress.elapsed(), size / 1e6 / progress.elapsed(), len(hits)))
    if args.format == "jsonl":
        write_lines(out, (json_text(hit) for hit in hits))
    else:
        write_lines(out, ["\t".join(HIT_FIELDS)] +
                    ["\t".join(tsv_field(hit[k]) for k in HIT_FIELDS) for hit in hits])
