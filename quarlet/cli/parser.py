"""The whole command line: the parser (each command module adds its own
sub-parsers) and `main`, which runs the command chosen and turns its
failures into one line on stderr and an exit status."""

from __future__ import annotations

import argparse
import os
import sys
from typing import IO, Optional, Sequence, cast

import quarlet

from . import artifacts, carve, export, info, recover, tables, timeline, triage
from .arguments import CliParser
from .errors import (EXIT_BROKEN_PIPE, EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_USAGE, PROG,
                     BrokenOutput, CliError, FilesFailed, UsageError)
from .files import stdin_database
from .output import flush

# The modules whose commands make up the command line, in the order of its help.
COMMAND_MODULES = (tables, export, carve, recover, info, artifacts, triage, timeline)


def build_parser() -> argparse.ArgumentParser:
    """The parser of the whole command line, one sub-parser per command."""
    parser = CliParser(
        prog=PROG,
        description="Read Microsoft ESE database files (read-only): list tables, show "
                    "schemas, dump or export tables as JSON Lines, carve UTF-16LE strings.",
        epilog="Run '%s COMMAND --help' for the options of one command." % PROG)
    parser.add_argument("--version", action="version",
                        version="%s %s" % (PROG, quarlet.__version__))
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=CliParser)
    commands.required = True
    for module in COMMAND_MODULES:
        module.add_parsers(commands)
    return parser


def _silence_stdout() -> None:
    """After a broken pipe: point stdout at /dev/null so the interpreter's
    final flush does not report the error again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line; returns the exit status."""
    args = build_parser().parse_args(argv)
    # The command line as given, for the manifests of output folders.
    args.argv = [PROG] + list(sys.argv[1:] if argv is None else argv)
    out = cast(IO[bytes], sys.stdout.buffer)
    try:
        try:
            with stdin_database(args):
                status = args.run(args, out)
        except FilesFailed:  # each already reported; what the others wrote stays
            status = EXIT_FAILURE
        flush(out)
    except CliError as error:
        sys.stderr.write("%s: error: %s\n" % (PROG, error))
        return EXIT_FAILURE
    except UsageError as error:
        sys.stderr.write("%s: error: %s (see '%s %s --help')\n"
                         % (PROG, error, PROG, args.command))
        return EXIT_USAGE
    except BrokenOutput:
        _silence_stdout()
        return EXIT_BROKEN_PIPE
    except KeyboardInterrupt:
        sys.stderr.write("\n")
        return EXIT_INTERRUPTED
    return cast(int, status or 0)
