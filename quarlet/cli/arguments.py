"""Pieces of the argument parser that commands share: the parser class that
reports usage errors as one line, argument types, and the options several
commands take."""

from __future__ import annotations

import argparse
import sys
from typing import TYPE_CHECKING, IO, Any, Callable, NoReturn, Optional

from .errors import EXIT_USAGE, PROG

# A command: runs over the parsed arguments, writes to `out` (stdout) and
# returns its exit status (None for 0).
Run = Callable[[argparse.Namespace, IO[bytes]], Optional[int]]

DECODE_HELP = ("decompress values, expand multi-valued columns into JSON arrays and write "
               "dates as ISO 8601 text (default: the raw values)")


class CliParser(argparse.ArgumentParser):
    """argparse with usage errors reported as one line and exit status 2."""

    def error(self, message: str) -> NoReturn:
        sys.stderr.write("%s: error: %s (see '%s --help')\n" % (PROG, message, self.prog))
        sys.exit(EXIT_USAGE)


# What each command module adds its sub-parsers to.
if TYPE_CHECKING:
    Commands = argparse._SubParsersAction[CliParser]
else:
    Commands = argparse._SubParsersAction


def add_command(commands: Commands, name: str, run: Run, database: bool = True,
                **kwargs: Any) -> argparse.ArgumentParser:
    """The sub-parser of command `name` (help, description and usage in
    `kwargs`), which runs `run`; with `database` its first argument is one
    database file, DB."""
    sub = commands.add_parser(name, **kwargs)
    sub.set_defaults(run=run)
    if database:
        sub.add_argument("database", metavar="DB", help="ESE database file (opened read-only); - reads it from standard input")
    return sub


def jobs(text: str) -> int:
    """A number of worker processes, 1 or more (argparse type)."""
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError("not an integer: %r" % text) from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1: %s" % text)
    return value


def add_jobs_option(parser: argparse.ArgumentParser) -> None:
    """-j N: worker processes for runs over several files."""
    parser.add_argument("-j", "--jobs", metavar="N", type=jobs, default=None,
                        help="worker processes for several files (default: the number of cores)")


def add_decode_option(parser: argparse.ArgumentParser) -> None:
    """--decode: the decoded view instead of the raw values."""
    parser.add_argument("--decode", action="store_true", help=DECODE_HELP)
