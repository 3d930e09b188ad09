"""The `quarlet` command: help, output of every command, exact dump bytes,
export file names, carving formats, progress and one-line errors."""

import csv
import datetime
import errno
import functools
import json
import os
import pty
import select
import shutil
import struct
import subprocess
import sys
import sysconfig

import pytest

import esebuild as eb
from quarlet import EseDatabase

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLE = os.path.join(HERE, "..", "examples", "example.edb")
COMMANDS = ["tables", "schema", "dump", "export", "carve", "info", "recover", "check", "triage"]


def run(*args, **kwargs):
    """Runs the command line; returns the finished process (bytes output)."""
    return subprocess.run([sys.executable, "-m", "quarlet", *args],
                          capture_output=True, timeout=120, **kwargs)


def error_line(proc):
    """The single stderr line of a failed run."""
    lines = proc.stderr.decode("utf-8").splitlines()
    assert len(lines) == 1, lines
    assert lines[0].startswith("quarlet: error: "), lines
    return lines[0][len("quarlet: error: "):]


@pytest.fixture(scope="module")
def mixed_db(tmp_path_factory):
    """Tables with many column types, a long-value column, an empty table
    and names that need safe file names."""
    path = str(tmp_path_factory.mktemp("cli") / "mixed.edb")
    columns = [eb.Column("n", eb.T_LONG), eb.Column("big", eb.T_LONG_LONG),
               eb.Column("f", eb.T_DOUBLE), eb.Column("ok", eb.T_BOOLEAN),
               eb.Column("g", eb.T_GUID), eb.Column("bin", eb.T_BINARY),
               eb.Column("s", eb.T_TEXT, codepage=1200),
               eb.Column("memo", eb.T_LONG_TEXT, codepage=1200)]
    rows = [{"n": i, "big": -i * 10**12, "f": i / 8, "ok": i % 2 == 0,
             "g": "00112233-4455-6677-8899-aabbccddee%02x" % (i % 256),
             "bin": bytes([i % 256, 0, 255]),
             "s": "caf\u00e9 \"quoted\" \\ line %d\n" % i,
             "memo": ("long value %d; " % i) * (40 if i % 50 == 0 else 1)}
            for i in range(3000)]
    rows.append({"n": None})
    eb.Database([
        eb.Table("Rows", columns, rows),
        eb.Table("Empty", [eb.Column("x", eb.T_LONG)], []),
        eb.Table("a/b", [eb.Column("x", eb.T_LONG)], [(1,)]),
        eb.Table("a_b", [eb.Column("x", eb.T_LONG)], [(2,)]),
        eb.Table("..", [eb.Column("x", eb.T_LONG)], [(3,)]),
    ]).write(path)
    return path


# ---- help, version, installation ------------------------------------------------


@pytest.mark.parametrize("command", [[]] + [[c] for c in COMMANDS])
def test_help_exits_zero(command):
    proc = run(*command, "--help")
    assert proc.returncode == 0
    assert proc.stdout.startswith(b"usage: quarlet")
    assert proc.stderr == b""


def test_version_and_console_script():
    proc = run("--version")
    assert proc.returncode == 0 and proc.stdout.split() == [b"quarlet", b"0.1.7"]
    script = os.path.join(sysconfig.get_path("scripts"), "quarlet")
    found = script if os.path.exists(script) else shutil.which("quarlet")
    assert found, "console script 'quarlet' is not installed"
    assert subprocess.run([found, "--help"], capture_output=True).returncode == 0


@pytest.mark.parametrize("args", [
    [],                                   # no command
    ["frobnicate", "x"],                  # unknown command
    ["schema", "db"],                     # missing TABLE
    ["carve", "db", "--scope", "Slack"],  # scope names are exact
    ["carve", "db", "--min-chars", "-1"],
    ["carve", "db", "--max-hits", "4294967296"],
    ["carve", "db", "--format", "csv"],
])
def test_usage_errors_exit_2_with_one_line(args):
    proc = run(*args)
    assert proc.returncode == 2
    error_line(proc)
    assert proc.stdout == b""


# ---- failures -----------------------------------------------------------------


@pytest.mark.parametrize("command", [["tables"], ["info"], ["schema", "T"], ["dump", "T"],
                                     ["carve"], ["check"]])
@pytest.mark.parametrize("target, expected", [
    ("missing", "Database file not found: "),
    ("garbage", "Failed to open database: "),
    ("directory", "Failed to open database: IO error: "),
])
def test_bad_database_gives_one_line(tmp_path, command, target, expected):
    path = tmp_path / target
    if target == "garbage":
        path.write_bytes(b"\x00not a database" * 700)
    elif target == "directory":
        path.mkdir()
    if command[0] in ("tables", "info", "check") and target == "directory":
        expected = "No ESE database found in: "  # folders are searched
    proc = run(command[0], str(path), *command[1:])
    assert proc.returncode == 1
    assert error_line(proc).startswith(expected)
    assert proc.stdout == b""


@pytest.mark.parametrize("args", [["schema", "nope"], ["dump", "nope"],
                                  ["dump", "rows"],  # names are case-sensitive
                                  ["export", "OUT", "Rows", "nope"]])
def test_unknown_table_gives_one_line_and_writes_nothing(mixed_db, tmp_path, args):
    args = [a.replace("OUT", str(tmp_path / "out")) for a in args]
    proc = run(args[0], mixed_db, *args[1:])
    assert proc.returncode == 1
    assert error_line(proc) == "Table not found: " + args[-1]
    assert proc.stdout == b""
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("tables", [[], ["Rows"]])
def test_unwritable_output_gives_one_line(mixed_db, tmp_path, tables):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    proc = run("export", mixed_db, str(blocker / "sub"), *tables)
    assert proc.returncode == 1
    assert error_line(proc).startswith("Failed to create output directory: ")


def test_export_into_unwritable_file_gives_one_line(mixed_db, tmp_path):
    (tmp_path / "Rows.jsonl").mkdir()  # the output file name is taken by a directory
    proc = run("export", mixed_db, str(tmp_path), "Rows")
    assert proc.returncode == 1
    assert error_line(proc).startswith("Failed to create output file: ")


# ---- tables, schema, info --------------------------------------------------------


def test_tables_and_schema(mixed_db):
    proc = run("tables", mixed_db)
    assert proc.returncode == 0
    assert proc.stdout.decode().splitlines() == ["Rows", "Empty", "a/b", "a_b", ".."]

    proc = run("schema", "--json", mixed_db, "Rows")
    assert proc.returncode == 0
    got = [json.loads(line) for line in proc.stdout.decode().splitlines()]
    assert got == EseDatabase(mixed_db).get_table_schema("Rows")

    text = run("schema", mixed_db, "Rows").stdout.decode().splitlines()
    assert text[0].split() == ["ID", "NAME", "TYPE", "NULLABLE"]
    assert text[1].split() == ["1", "n", "Signed", "long", "yes"]
    assert len(text) == 1 + 8


@pytest.mark.parametrize("page_size, version, revision", [
    (8192, 0x620, 20), (32768, 0x620, 17), (4096, 0x620, 11)])
def test_info_fields(make_db, page_size, version, revision):
    header = eb.Header(state=eb.STATE_DIRTY_SHUTDOWN, required_logs=(0x4E, 0x51),
                       windows=(10, 0, 19044, 0),
                       attach_time=datetime.datetime(2024, 10, 28, 4, 50, 15),
                       attach_pos=(0x51, 33, 616), detach_time=bytes([0, 0, 0, 1, 13, 120, 0, 0]))
    path = make_db([eb.Table("t", [eb.Column("x", eb.T_LONG)], [(1,)]),
                    eb.Table("u", [eb.Column("x", eb.T_LONG)], [])],
                   page_size=page_size, version=version, revision=revision, header=header)
    proc = run("info", "--json", path)
    assert proc.returncode == 0, proc.stderr
    info = json.loads(proc.stdout)
    facts = info.pop("header")
    assert info == {"path": path, "file_size": os.path.getsize(path),
                    "page_size": page_size,
                    "total_pages": os.path.getsize(path) // page_size - 2,
                    "format_version": version, "format_revision": revision,
                    "tables": 2}
    assert facts == EseDatabase(path).check()["header"]
    text = run("info", path).stdout.decode()
    for line in ["format version   0x%x" % version,
                 "format revision  0x%x (%d)" % (revision, revision),
                 "page size        %d" % page_size,
                 "state            dirty shutdown",
                 "required logs    0x4E to 0x51",
                 "written by       Windows 10.0.19044, service pack 0",
                 "attached         2024-10-28 04:50:15 UTC; log 0x51, sector 33, offset 616",
                 "detached         not set; none",
                 "invalid time     detach_time: stored bytes 000000010d780000",
                 "header checksum  0x%08x (ok)" % facts["header_checksum"],
                 "shadow header    checksum ok, matches the header"]:
        assert line + "\n" in text


@pytest.mark.parametrize("damage, status, lines", [
    ("none", 0, ["pages checked  %d: %d sound, %d unused, 0 bad", "bad pages      none",
                 "trees          2 checked, 0 with anomalies; 3002 live and 0 deleted entries",
                 "result         no damage found"]),
    ("torn", 3, ["bad pages      1 ({leaf}), 1 of them in checked trees",
                 "result         DAMAGE FOUND",
                 '  data tree of "t" (root {root}, object 8): {pages} pages, 3000 entries',
                 "    pages read that fail their checksum: {leaf}",
                 '  {leaf}: block 3; object 8; data tree of "t", read by its walk']),
    ("link", 3, ["trees          2 checked, 1 with anomalies; 3002 live and 0 deleted entries",
                 "    leaf {leaf} links to page 4, not to the next leaf the branch pages list",
                 "    page 4 of object 2 met in the tree, left out"]),
    ("header", 3, ["header         checksum BAD; shadow checksum ok, DIFFERS from the header",
                   "result         DAMAGE FOUND"]),
])
def test_check_summary_and_exit_status(tmp_path, damage, status, lines):
    path = str(tmp_path / "c.edb")
    layout = eb.Database([eb.Table("t", [eb.Column("s", eb.T_TEXT, codepage=1200)],
                                   [("text %d" % i,) for i in range(3000)])],
                         page_size=16384, header=eb.Header(state=eb.STATE_CLEAN_SHUTDOWN)
                         ).write(path)
    tree = layout.table("t").tree
    leaf = tree.leaves[0]
    if damage == "torn":
        eb.patch_file(path, layout.page_offset(leaf) + 16380, b"\xff\xfe")
    elif damage == "link":  # a stale link into the catalog
        eb.patch_page_file(path, layout, leaf, 20, b"\x04\x00\x00\x00")
    elif damage == "header":
        eb.patch_file(path, 100, b"\x01")
    proc = run("check", path)
    assert proc.returncode == status, proc.stderr
    text = proc.stdout.decode()
    assert text.startswith("state          clean shutdown\nrequired logs  none\n")
    report = EseDatabase(path).check()
    pages = report["pages"]
    for line in lines:
        if "%d" in line:
            line = line % (pages["checked"], pages["sound"], pages["unused"])
        line = line.format(leaf=leaf, root=tree.root, pages=len(tree.pages))
        assert line + "\n" in text
    proc = run("check", "--json", path)
    assert proc.returncode == status and json.loads(proc.stdout) == report
    proc = run("check", "--json", "--table", "t", path)
    assert json.loads(proc.stdout)["trees"] == report["trees"][1:]
    proc = run("check", "--table", "T", path)
    assert proc.returncode == 1 and error_line(proc) == "Table not found: T"


def test_page_ranges():
    from quarlet.cli import info
    assert info.page_ranges([]) == ""
    assert info.page_ranges([7, 143, 144, 145, 150]) == "7, 143-145, 150"


# ---- dump and export ---------------------------------------------------------------


@pytest.mark.parametrize("table", ["Rows", "Empty", ".."])
def test_dump_is_byte_identical_to_export_table(mixed_db, tmp_path, table):
    expected = tmp_path / "expected.jsonl"
    EseDatabase(mixed_db).export_table(table, str(expected))
    proc = run("dump", mixed_db, table)
    assert proc.returncode == 0 and proc.stderr == b""
    assert proc.stdout == expected.read_bytes()


@pytest.mark.parametrize("piped", [False, True])
def test_dash_reads_the_database_from_standard_input(mixed_db, tmp_path, piped):
    expected = tmp_path / "expected.jsonl"
    EseDatabase(mixed_db).export_table("Rows", str(expected))
    with open(mixed_db, "rb") as f:
        given = dict(input=f.read()) if piped else dict(stdin=f)
        proc = run("dump", "-", "Rows", **given)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == expected.read_bytes()
    # A copy: the same file named twice (standard input redirected from it
    # and its path) is read once.
    copy = shutil.copyfile(mixed_db, tmp_path / "copy.edb")
    with open(copy, "rb") as f:
        given = dict(input=f.read()) if piped else dict(stdin=f)
        proc = run("export", "-o", str(tmp_path / "out"), "-j", "2", "-", mixed_db, **given)
    assert proc.returncode == 0, proc.stderr
    names = os.path.basename(mixed_db)
    assert sorted(os.listdir(tmp_path / "out")) == sorted(["stdin", names, "manifest.json"])
    assert (tmp_path / "out" / "stdin" / "Rows.jsonl").read_bytes() == expected.read_bytes()


@pytest.mark.parametrize("descriptor_paths", [True, False])
def test_dump_and_export_into_a_descriptor_write_exact_bytes(mixed_db, tmp_path, monkeypatch,
                                                             descriptor_paths):
    import io
    from quarlet.cli import errors, streams
    if not descriptor_paths:  # a system without /proc or /dev/fd: via a temporary file
        monkeypatch.setattr(streams, "_fd_path", lambda fd: None)
    expected = tmp_path / "expected.jsonl"
    db = EseDatabase(mixed_db)
    db.export_table("Rows", str(expected))
    out = io.BytesIO()
    streams.dump_table(db, "Rows", out)
    assert out.getvalue() == expected.read_bytes()
    # A file the command opened itself (named tables of `export`): untouched
    # by a table that cannot be started, replaced by one that can.
    (tmp_path / "named.jsonl").write_bytes(b"x" * 10 ** 6)
    fd = os.open(tmp_path / "named.jsonl", os.O_WRONLY)
    try:
        with pytest.raises(ValueError):
            streams.export_into_file(functools.partial(db.export_table, "nope"), fd)
        assert (tmp_path / "named.jsonl").read_bytes() == b"x" * 10 ** 6
        streams.export_into_file(functools.partial(db.export_table, "Rows"), fd)
    finally:
        os.close(fd)
    assert (tmp_path / "named.jsonl").read_bytes() == expected.read_bytes()
    with pytest.raises(errors.CliError, match="^Table not found: nope$"):
        streams.dump_table(db, "nope", io.BytesIO())


def test_dump_into_a_file_opened_for_append(mixed_db, tmp_path):
    out = tmp_path / "out.txt"
    out.write_bytes(b"kept\n")
    with open(out, "ab") as f:
        proc = subprocess.run([sys.executable, "-m", "quarlet", "dump", mixed_db, "a_b"],
                              stdout=f, stderr=subprocess.PIPE, timeout=60)
    assert proc.returncode == 0
    assert out.read_bytes() == b'kept\n{"x":2}\n'


def test_dump_into_a_closed_pipe_is_quiet(mixed_db):
    proc = subprocess.Popen([sys.executable, "-m", "quarlet", "dump", mixed_db, "Rows"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    first = proc.stdout.readline()
    proc.stdout.close()
    stderr = proc.stderr.read()
    assert proc.wait(timeout=60) == 141
    assert json.loads(first)["n"] == 0
    assert stderr == b""


def test_export_all_matches_export_all(mixed_db, tmp_path):
    EseDatabase(mixed_db).export_all(str(tmp_path / "api"))
    proc = run("export", mixed_db, str(tmp_path / "cli" / "nested"))
    assert proc.returncode == 0
    assert proc.stdout == b"" and proc.stderr == b""  # silent when stderr is no terminal
    api = sorted(os.listdir(tmp_path / "api"))
    assert api == sorted(["Rows.jsonl", "Empty.jsonl", "a_b.jsonl", "a_b_2.jsonl", "__.jsonl"])
    assert sorted(os.listdir(tmp_path / "cli" / "nested")) == api
    for name in api:
        assert ((tmp_path / "cli" / "nested" / name).read_bytes() ==
                (tmp_path / "api" / name).read_bytes())


def test_decode_flag_uses_the_decoded_export(mixed_db, tmp_path):
    db = EseDatabase(mixed_db)
    db.export_table_decoded("Rows", str(tmp_path / "rows.jsonl"))
    proc = run("dump", "--decode", mixed_db, "Rows")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == (tmp_path / "rows.jsonl").read_bytes()
    db.export_all_decoded(str(tmp_path / "api"))
    proc = run("export", "--decode", mixed_db, str(tmp_path / "cli"))
    assert proc.returncode == 0, proc.stderr
    for name in os.listdir(tmp_path / "api"):
        assert (tmp_path / "cli" / name).read_bytes() == (tmp_path / "api" / name).read_bytes()


def test_export_named_tables_uses_the_same_file_names(mixed_db, tmp_path):
    proc = run("export", mixed_db, str(tmp_path), "a_b", "a/b", "..", "a_b")
    assert proc.returncode == 0, proc.stderr
    assert sorted(os.listdir(tmp_path)) == ["__.jsonl", "a_b.jsonl", "a_b_2.jsonl"]
    assert (tmp_path / "a_b.jsonl").read_bytes() == b'{"x":2}\n'
    assert (tmp_path / "a_b_2.jsonl").read_bytes() == b'{"x":1}\n'


@pytest.mark.parametrize("tables, written", [
    ([], ["Empty.jsonl", "Rows.jsonl"]),                 # export_all: Rows, Empty, then a/b
    (["Empty", "a_b", "Rows"], ["Empty.jsonl"]),         # named: Empty, then a_b
])
@pytest.mark.parametrize("target_exists", [True, False])
def test_export_never_writes_through_a_symbolic_link(mixed_db, tmp_path, tables, written,
                                                     target_exists):
    outside = tmp_path / "outside.txt"
    if target_exists:
        outside.write_bytes(b"precious\n")
    out = tmp_path / "out"
    out.mkdir()
    os.symlink(outside, out / "a_b.jsonl")
    proc = run("export", mixed_db, str(out), *tables)
    assert proc.returncode == 1
    assert error_line(proc) == "Failed to create output file: %s (os error %d)" % (
        os.strerror(errno.ELOOP), errno.ELOOP)
    assert sorted(os.listdir(out)) == sorted(written + ["a_b.jsonl"])
    assert os.readlink(out / "a_b.jsonl") == str(outside)
    if target_exists:
        assert outside.read_bytes() == b"precious\n"
    else:
        assert not os.path.lexists(outside)


@pytest.mark.parametrize("named", [False, True])
def test_export_long_names_as_the_module_does(make_db, tmp_path, named):
    from quarlet.cli import files as cli_files
    names = ["x" * 300, "x" * 299, "\xe9" * 200, "after"]
    path = make_db([eb.Table(n, [eb.Column("n", eb.T_LONG)], [(i,)]) for i, n in enumerate(names)])
    EseDatabase(path).export_all(str(tmp_path / "api"))
    proc = run("export", path, str(tmp_path / "cli"), *(names if named else []))
    assert proc.returncode == 0, proc.stderr
    files = cli_files.export_file_names(names)
    assert files == ["x" * 249 + ".jsonl", "x" * 247 + "_2.jsonl", "\xe9" * 124 + ".jsonl",
                     "after.jsonl"]
    assert sorted(os.listdir(tmp_path / "cli")) == sorted(os.listdir(tmp_path / "api"))
    for i, name in enumerate(files):
        assert ((tmp_path / "cli" / name).read_bytes() == (tmp_path / "api" / name).read_bytes()
                == b'{"n":%d}\n' % i)


def test_export_file_names_rule():
    from quarlet.cli import files
    assert files.export_file_names(["a/b", "a_b", "a_b_2", ".", "..", "x\\y\0"]) == [
        "a_b.jsonl", "a_b_2.jsonl", "a_b_2_2.jsonl", "_.jsonl", "__.jsonl", "x_y_.jsonl"]


@pytest.mark.parametrize("command, shown", [
    (["export", "DB", "OUT"], [b"exported 5 tables, 3004 records"]),
    (["triage", "DB", EXAMPLE], [b"1/2 files, ", b"triage: 2 files, "]),
    (["export", "-j", "2", "-o", "OUT", "DB", EXAMPLE], [b"1/2 files, ", b"export: 2 files, "]),
])
def test_progress_is_shown_on_a_terminal(mixed_db, tmp_path, command, shown):
    command = [{"DB": mixed_db, "OUT": str(tmp_path)}.get(a, a) for a in command]
    master, slave = pty.openpty()
    try:
        proc = subprocess.Popen([sys.executable, "-m", "quarlet"] + command,
                                stdout=subprocess.PIPE, stderr=slave)
        os.close(slave)
        seen = b""
        while True:
            ready, _, _ = select.select([master], [], [], 60)
            if not ready:
                break
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the terminal closed with the process
                break
            if not chunk:
                break
            seen += chunk
        assert proc.wait(timeout=60) == 0
    finally:
        os.close(master)
    for text in shown:
        assert text in seen
    if command[0] == "export":
        assert proc.stdout.read() == b""


# ---- carve --------------------------------------------------------------------------


@pytest.mark.parametrize("scope", ["slack", "all", "tag_data", "lv_all", "lv_slack"])
def test_carve_jsonl_matches_the_module(mixed_db, scope):
    expected = EseDatabase(mixed_db).carve_utf16le_strings_scoped(
        scope, needle="line", min_chars=8, max_hits=50)
    proc = run("carve", mixed_db, "--scope", scope, "--needle", "line", "--min-chars", "8",
               "--max-hits", "50")
    assert proc.returncode == 0, proc.stderr
    got = [json.loads(line) for line in proc.stdout.decode().splitlines()]
    assert got == expected
    assert all(list(hit) == list(expected[0]) for hit in got)  # key order kept
    if scope in ("all", "tag_data"):
        assert len(got) == 50


def test_carve_tsv_and_unlimited_hits(mixed_db):
    expected = EseDatabase(mixed_db).carve_utf16le_strings_scoped(
        "all", min_chars=4, max_hits=4294967295)
    assert len(expected) > 1000  # more than the default cap
    proc = run("carve", mixed_db, "--scope", "all", "--min-chars", "4", "--max-hits", "0",
               "--format", "tsv")
    assert proc.returncode == 0, proc.stderr
    rows = list(csv.reader(proc.stdout.decode().splitlines(), delimiter="\t",
                           quoting=csv.QUOTE_NONE))
    assert rows[0] == list(expected[0])
    assert len(rows) == 1 + len(expected)
    for row, hit in zip(rows[1:], expected):
        assert row == ["" if v is None else str(v) for v in hit.values()]


def test_carve_default_cap_and_empty_result(mixed_db):
    proc = run("carve", mixed_db, "--scope", "all", "--min-chars", "4")
    assert len(proc.stdout.splitlines()) == 1000
    proc = run("carve", mixed_db, "--needle", "no such text anywhere", "--format", "tsv")
    assert proc.returncode == 0
    assert proc.stdout.decode().splitlines() == ["\t".join(
        ["page", "offset", "slack_start", "slack_end", "region_kind", "page_flags",
         "page_type", "table", "text"])]


def test_example_database_end_to_end(tmp_path):
    proc = run("carve", EXAMPLE, "--needle", "secret")
    assert proc.returncode == 0
    assert b"secret.docx" in proc.stdout
    proc = run("export", EXAMPLE, str(tmp_path))
    assert proc.returncode == 0
    assert sorted(os.listdir(tmp_path)) == ["Events.jsonl", "Users.jsonl"]


# ---- CSV, Parquet, many files ------------------------------------------------------


@pytest.mark.parametrize("value,safe,cell", [
    (None, False, ""), (True, False, "true"), (-5, True, "-5"), (0.1, False, "0.1"),
    (b"\x00\xff", False, "00ff"), ([1, b"\x01"], False, '[1,"01"]'),
    ("=SUM(A1)", True, "'=SUM(A1)"), ("+1", True, "'+1"), ("-x", True, "'-x"),
    ("@cmd", True, "'@cmd"), ("\tx", True, "'\tx"), ("a=b", True, "a=b"),
    ("=SUM(A1)", False, "=SUM(A1)"),
])
def test_csv_cells_and_the_excel_safe_rule(value, safe, cell):
    from quarlet.cli import formats
    assert formats.csv_cell(value, safe) == cell


def reference_csv(db, table, decode, excel_safe):
    """The CSV bytes Python's csv module writes for a table, cell by cell as
    formats.csv_cell gives them: what export_table_csv must write."""
    import io
    from quarlet.cli import formats
    text = io.StringIO(newline="")
    writer = csv.writer(text, lineterminator="\r\n", quoting=csv.QUOTE_MINIMAL)
    columns = [c["name"] for c in sorted(db.get_table_schema(table), key=lambda c: c["id"])]
    writer.writerow([formats.csv_cell(c, excel_safe) for c in columns])
    for record in db.iter_table(table, decode):
        writer.writerow([formats.csv_cell(record.get(c), excel_safe) for c in columns])
    return text.getvalue().encode("utf-8", "surrogateescape")


@pytest.fixture(scope="module")
def csv_db(tmp_path_factory):
    """Cells at the edges of the text rules: floats at the notation
    boundaries and not finite, formula starts, quotes past the first 16
    bytes, a one-column table with empty rows, dates in and out of range,
    multi-valued lists, binary values of 0 to 39 bytes."""
    path = str(tmp_path_factory.mktemp("csv") / "cells.edb")
    floats = [1e-05, 0.0001, 1e16, 1e15, 123.0, -0.0, float("nan"), float("inf"),
              float("-inf"), 1.5e-300, 2.5]
    dates = [struct.pack("<d", d) for d in (44838.5, 44838.123456789, -700000.0)]
    texts = ["=1+2", "-x", "@a", "\tt", "\rr", "plain", "a,b", "", "+",
             "sixteen bytes ok, comma after them", "0123456789abcdefghij\nLF",
             "0123456789abcdef0123456789abcdef"]
    mv = eb.Tagged(b"\x06\x00\x0a\x00\x0e\x00" + b"ab\"c" + b"\x01\x02" + b"\x00\x7f",
                   flags=0x08)
    columns = [eb.Column("=f", eb.T_DOUBLE), eb.Column("f32", eb.T_SINGLE),
               eb.Column("d", eb.T_DATETIME), eb.Column("t", eb.T_TEXT, codepage=1252),
               eb.Column("mv", eb.T_TEXT, codepage=1252, flags=0x8, id=300),
               eb.Column("cur", eb.T_CURRENCY), eb.Column("b", eb.T_BINARY)]
    rows = [{"=f": floats[i % len(floats)], "f32": floats[i % len(floats)],
             "d": eb.Raw(dates[i % len(dates)]), "t": texts[i % len(texts)],
             "mv": mv if i % 2 else None, "cur": eb.Raw(struct.pack("<q", -i)),
             "b": bytes(range(200, 200 + i))}
            for i in range(40)]
    eb.Database([eb.Table("cells", columns, rows),
                 eb.Table("one", [eb.Column("x", eb.T_TEXT, codepage=1252)],
                          [("",), (None,), ("x",)])]).write(path)
    return path


@pytest.mark.parametrize("decode", [False, True])
@pytest.mark.parametrize("excel_safe", [False, True])
@pytest.mark.parametrize("source", ["mixed_db", "csv_db"])
def test_csv_export_equals_the_csv_module(request, tmp_path, source, decode, excel_safe):
    db = EseDatabase(request.getfixturevalue(source))
    for table in db.get_tables():
        path = str(tmp_path / "t.csv")
        db.export_table_csv(table, path, decode, excel_safe=excel_safe)
        with open(path, "rb") as f:
            assert f.read() == reference_csv(db, table, decode, excel_safe), table


def test_csv_export_is_rfc_4180(mixed_db, tmp_path):
    proc = run("export", "--format", "csv", mixed_db, str(tmp_path), "Rows", "a/b")
    assert proc.returncode == 0, proc.stderr
    assert sorted(os.listdir(str(tmp_path))) == ["Rows.csv", "a_b.csv"]
    data = (tmp_path / "Rows.csv").read_bytes()
    assert data.startswith(b"n,big,f,ok,g,bin,s,memo\r\n")
    assert b'"caf\xc3\xa9 ""quoted"" \\ line 0\n"' in data  # quotes doubled, LF kept inside
    with open(str(tmp_path / "Rows.csv"), newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    want = list(EseDatabase(mixed_db).iter_table("Rows"))
    assert len(rows) == len(want) + 1
    from quarlet.cli import formats
    for got, record in zip(rows[1:], want):
        assert got == [formats.csv_cell(record[c], False) for c in rows[0]]


def test_parquet_round_trip_and_missing_extra(mixed_db, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    import pyarrow
    proc = run("export", "--format", "parquet", "--decode", mixed_db, str(tmp_path / "p"))
    assert proc.returncode == 0, proc.stderr
    db = EseDatabase(mixed_db)
    for table, file in zip(db.get_tables(), ["Rows", "Empty", "a_b", "a_b_2", "__"]):
        got = pq.read_table(str(tmp_path / "p" / (file + ".parquet")))
        assert got.equals(pyarrow.table(db.arrow(table, decode=True))), table
    # Without pyarrow the error names the extra.
    fake = tmp_path / "nopyarrow" / "pyarrow"
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text("raise ImportError('no pyarrow')\n")
    env = dict(os.environ, PYTHONPATH=str(fake.parent))
    proc = run("export", "--format", "parquet", mixed_db, str(tmp_path / "q"), env=env)
    assert proc.returncode == 1
    assert "quarlet[arrow]" in error_line(proc)


@pytest.mark.parametrize("decode", [False, True])
def test_parquet_export_names_values_written_as_null(make_db, tmp_path, decode):
    """A value the column's Arrow type cannot take is null in the file; the
    export says so on stderr, per file, with the columns and counts."""
    pytest.importorskip("pyarrow.parquet")
    path = make_db([eb.Table("t", [eb.Column("id", eb.T_LONG),
                                   eb.Column("v", eb.T_UNSIGNED_BYTE, id=256)],
                             [(1, eb.Tagged(b"\x01\x00")), (2, None)]),
                    eb.Table("clean", [eb.Column("n", eb.T_LONG)], [(1,)])])
    out = tmp_path / "p"
    proc = run("export", "--format", "parquet", *(["--decode"] if decode else []), path, str(out))
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr.decode().splitlines() == [
        "quarlet: %s: 1 value written as null, stored in a form the column's type cannot take: "
        "v (1)" % (out / "t.parquet")]


@pytest.fixture
def folder(mixed_db, tmp_path):
    """Two copies of mixed_db under the same file name, an unreadable one
    (the signature, then too few pages) and a file that is no database."""
    root = tmp_path / "in"
    (root / "host1").mkdir(parents=True)
    (root / "host2").mkdir()
    shutil.copy(mixed_db, str(root / "host1" / "SRUDB.dat"))
    shutil.copy(mixed_db, str(root / "host2" / "SRUDB.dat"))
    with open(mixed_db, "rb") as f:
        (root / "host2" / "broken.dat").write_bytes(f.read(3000))
    (root / "notes.txt").write_text("not a database")
    return root


def test_parallel_export_of_a_folder_with_one_bad_file(folder, tmp_path, mixed_db):
    out = tmp_path / "out"
    proc = run("export", "-j", "2", "-o", str(out), str(folder))
    assert proc.returncode == 1
    assert error_line(proc).startswith(str(folder / "host2" / "broken.dat") + ": Failed to open")
    assert sorted(os.listdir(str(out))) == ["host1_SRUDB.dat", "host2_SRUDB.dat",
                                            "manifest.json"]
    EseDatabase(mixed_db).export_all(str(tmp_path / "api"))
    for sub in ("host1_SRUDB.dat", "host2_SRUDB.dat"):
        for name in os.listdir(str(tmp_path / "api")):
            assert (out / sub / name).read_bytes() == (tmp_path / "api" / name).read_bytes()

    proc = run("tables", "-j", "2", str(folder))
    assert proc.returncode == 1
    lines = proc.stdout.decode().splitlines()
    assert lines[:5] == ["%s\t%s" % (folder / "host1" / "SRUDB.dat", t)
                         for t in ["Rows", "Empty", "a/b", "a_b", ".."]]
    assert len(lines) == 10


def test_output_file_names_fit_and_links_are_refused(tmp_path):
    from quarlet.cli import errors, files
    long = "\u00e9" * 200  # 400 bytes of UTF-8
    names = files.output_file_names([long, long, "a/b"], ".csv")
    assert [len(n.encode()) for n in names] == [254, 254, 7]  # never half a character
    assert names[0].endswith(".csv") and names[1].endswith("_2.csv") and names[0] != names[1]
    target = tmp_path / "target"
    target.write_text("keep")
    os.symlink(str(target), str(tmp_path / "link.csv"))
    with pytest.raises(errors.CliError, match="^Failed to create output file: "):
        files.create_output_file(str(tmp_path / "link.csv"))
    assert target.read_text() == "keep"
