"""Failures of the command line and the exit statuses they end with."""

from __future__ import annotations

import os
import sys

PROG = "quarlet"
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_DAMAGE = 3
EXIT_BROKEN_PIPE = 128 + 13  # as a command ended by SIGPIPE
EXIT_INTERRUPTED = 128 + 2


class CliError(Exception):
    """An expected failure: reported as one line, exit status 1."""


class FilesFailed(Exception):
    """Some files failed (each already reported): exit status 1."""


class UsageError(Exception):
    """Arguments that do not fit together: exit status 2."""


class BrokenOutput(Exception):
    """The reader of stdout went away (for example `| head`)."""


def report_failure(path: str, error: str) -> None:
    """Reports one failed file of a run over several files on stderr."""
    sys.stderr.write("%s: error: %s: %s\n" % (PROG, path, error))


def os_error_text(error: OSError) -> str:
    """An OSError of our own file operations as "reason: path"."""
    if error.strerror and error.filename is not None:
        return "%s: %s" % (error.strerror, error.filename)
    return str(error)


def system_error_text(error: OSError) -> str:
    """An OSError as the module words system errors: "reason (os error N)"."""
    if error.errno is None:
        return str(error)
    return "%s (os error %d)" % (os.strerror(error.errno), error.errno)
