"""The `quarlet` command: ESE database tables, schemas, dumps, exports, carving, integrity
checks and recovery of deleted records from the shell.

It is written over the `quarlet` extension module and decodes nothing itself.
Output goes to stdout; errors are one line on stderr ("quarlet: error: ...")
with exit status 2 for a usage error and 1 for a failure; `check` and
`triage` exit with 3 when they find damage (`triage` also for missing
logs). Progress is shown on stderr for export, carve, recover, check and
every run over several files only when stderr is a terminal.

One module per concern: `parser` (the command line and `main`), `arguments`
(what the commands' parsers share), `errors` (failures and exit statuses),
`output` (stdout), `files` (databases read, files written), `streams`
(exports into open descriptors), `formats` (CSV and Parquet), `progress`
(the status line), `pool` (worker processes over many files), `manifest`
(the provenance of output folders), and one module per command or group of
commands: `tables`, `export`, `carve`, `recover`, `info`, `artifacts`,
`triage`.
"""

from .parser import main

__all__ = ["main"]
