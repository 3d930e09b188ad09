"""The quarlet module and the EseDatabase class: construction, attributes,
argument binding, error conversion and the Python form of results."""

import importlib
import inspect
import os
import struct
import subprocess
import sys
import textwrap
import uuid

import pytest

import esebuild as eb
import quarlet
from quarlet import EseDatabase


# ---------------------------------------------------------------------------
# Module
# ---------------------------------------------------------------------------

def test_module_attributes():
    assert quarlet.__version__ == "0.1.7"
    assert quarlet.__doc__.startswith("Read Microsoft ESE (Extensible Storage Engine)")
    assert quarlet.EseDatabase is quarlet._quarlet.EseDatabase
    assert EseDatabase.__module__ == "quarlet"
    assert EseDatabase.__name__ == "EseDatabase"


def test_reinitialisation_returns_the_same_module():
    first = sys.modules.pop("quarlet._quarlet")
    try:
        again = importlib.import_module("quarlet._quarlet")
        assert again is first
        assert again.EseDatabase is EseDatabase
    finally:
        sys.modules["quarlet._quarlet"] = first


def test_sub_interpreter_import_fails():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no run_in_subinterp")
    code = textwrap.dedent("""
        import _testcapi, quarlet
        print(_testcapi.run_in_subinterp("import quarlet"))
        print(quarlet.__version__)
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["-1", "0.1.7"]
    assert "ImportError" in proc.stderr
    assert "does not support loading in sub-interpreters" in proc.stderr


# ---------------------------------------------------------------------------
# Constructor
# ---------------------------------------------------------------------------

def test_missing_file_is_file_not_found(tmp_path):
    path = str(tmp_path / "nope.edb")
    with pytest.raises(FileNotFoundError) as info:
        EseDatabase(path)
    assert type(info.value) is FileNotFoundError
    assert info.value.args == ("Database file not found: " + path,)


@pytest.mark.parametrize("name", ["a\x00b", "\ud800.edb", ""])
def test_unqueryable_paths_are_file_not_found(name):
    with pytest.raises(FileNotFoundError) as info:
        EseDatabase(name)
    assert str(info.value) == "Database file not found: " + name


def test_broken_link_is_file_not_found(tmp_path):
    link = tmp_path / "link.edb"
    link.symlink_to(tmp_path / "missing")
    with pytest.raises(FileNotFoundError):
        EseDatabase(str(link))


def test_directory_fails_to_open(tmp_path):
    with pytest.raises(OSError) as info:
        EseDatabase(str(tmp_path))
    assert type(info.value) is OSError
    assert str(info.value).startswith("Failed to open database: IO error: ")


@pytest.mark.parametrize("data, message", [
    (bytes(100), "Invalid database header"),
    (bytes(4095), "Invalid database header"),
    (eb.header_bytes(signature=0), "Invalid signature, expected 0x89ABCDEF, got 0x0"),
    (eb.header_bytes(signature=0xAB), "Invalid signature, expected 0x89ABCDEF, got 0xab"),
    (eb.patch(eb.header_bytes(), 4, struct.pack(">I", 0x89ABCDEF)),
     "Invalid signature, expected 0x89ABCDEF, got 0xefcdab89"),
    (eb.header_bytes(header_page_size=0), "Invalid database header"),
])
def test_open_errors(write_file, data, message):
    with pytest.raises(OSError) as info:
        EseDatabase(write_file(data))
    assert type(info.value) is OSError
    assert info.value.args == ("Failed to open database: " + message,)


def test_path_by_keyword_and_position(people_db):
    assert repr(EseDatabase(path=people_db)) == repr(EseDatabase(people_db))


def test_path_is_kept_exactly(make_db, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    make_db(name="rel.edb")
    assert EseDatabase("rel.edb").path == "rel.edb"
    assert EseDatabase("./rel.edb").path == "./rel.edb"
    path = make_db(name="données-データ.edb")
    assert EseDatabase(path).path == path


def test_undecodable_file_name_opens(make_db, tmp_path):
    # A file name that is not valid UTF-8 reaches Python with surrogate
    # escapes; it must open like any other.
    src = make_db(name="plain.edb")
    raw = os.path.join(os.fsencode(str(tmp_path)), b"\xff.edb")
    os.rename(os.fsencode(src), raw)
    path = os.fsdecode(raw)
    assert EseDatabase(path).path == path


# ---------------------------------------------------------------------------
# Attributes, repr, context manager
# ---------------------------------------------------------------------------

def test_attributes(people_db):
    db = EseDatabase(people_db)
    size = os.path.getsize(people_db)
    assert type(db.page_size) is int and db.page_size == 8192
    assert type(db.total_pages) is int and db.total_pages == size // 8192 - 2
    for name in ("path", "page_size", "total_pages"):
        with pytest.raises(AttributeError):
            setattr(db, name, 1)


def test_repr(make_db):
    tables = [eb.Table("t%d" % i, [eb.Column("c", eb.T_LONG)], []) for i in range(12)]
    path = make_db(tables, name="it's.edb", page_size=4096)
    assert repr(EseDatabase(path)) == \
        "EseDatabase(path='%s', tables=12, page_size=4096)" % path


def test_context_manager(people_db):
    db = EseDatabase(people_db)
    with db as entered:
        assert entered is db
        assert not db.closed
    # The block closed it; closing again is fine.
    assert db.closed
    assert db.__exit__(None, None, None) is False
    assert db.__exit__(_exc_type=1, _exc_value="x", _traceback=[]) is False
    db.close()
    with pytest.raises(KeyError):
        with EseDatabase(people_db):
            raise KeyError("propagates")
    closed = "I/O operation on closed database"
    for use in (db.get_tables, lambda: db.read_table("people"), lambda: db.page_size,
                lambda: db.iter_table("people"), lambda: db.arrow("people"), db.check,
                db.carve_utf16le_strings, db.get_header, db.__enter__):
        with pytest.raises(ValueError, match=closed):
            use()
    assert db.path == people_db
    assert repr(db) == "EseDatabase(path='%s', closed)" % people_db


def test_method_on_foreign_object():
    with pytest.raises(TypeError):
        EseDatabase.get_tables(42)
    with pytest.raises(TypeError):
        class Sub(EseDatabase):
            pass


# ---------------------------------------------------------------------------
# Argument binding
# ---------------------------------------------------------------------------

def _calls(db, path):
    """(callable, args, kwargs, TypeError message)."""
    E = EseDatabase
    rt = "EseDatabase.read_table()"
    ex = "EseDatabase.export_table()"
    cs = "EseDatabase.carve_utf16le_strings()"
    sc = "EseDatabase.carve_utf16le_strings_scoped()"
    xt = "EseDatabase.__exit__()"
    wrong = "argument '%s': '%s' object cannot be converted to 'PyString'"
    return [
        (E, (), {}, "EseDatabase.__new__() missing 1 required positional argument: 'path'"),
        (E, (path, path), {},
         "EseDatabase.__new__() takes 1 positional arguments but 2 were given"),
        (E, (path,), {"path": path},
         "EseDatabase.__new__() got multiple values for argument 'path'"),
        (E, (), {"file": path}, "EseDatabase.__new__() got an unexpected keyword argument 'file'"),
        (E, (42,), {}, wrong % ("path", "int")),
        (E, (), {"path": 1.5}, wrong % ("path", "float")),
        (db.read_table, (), {}, rt + " missing 1 required positional argument: 'table_name'"),
        (db.read_table, ("a", "b"), {}, rt + " takes 1 positional arguments but 2 were given"),
        (db.read_table, ("a", "b"), {"bogus": 1},
         rt + " takes 1 positional arguments but 2 were given"),
        (db.read_table, (), {"name": "a"}, rt + " got an unexpected keyword argument 'name'"),
        (db.read_table, (None,), {}, wrong % ("table_name", "NoneType")),
        (db.get_table_schema, (), {"table_name": 1.5}, wrong % ("table_name", "float")),
        (db.export_table, (), {},
         ex + " missing 2 required positional arguments: 'table_name' and 'output_path'"),
        (db.export_table, (), {"output_path": "x"},
         ex + " missing 1 required positional argument: 'table_name'"),
        (db.export_table, ("a", "b", "c"), {}, ex + " takes 2 positional arguments but 3 were given"),
        (db.export_table, ("a",), {"table_name": "b"},
         ex + " got multiple values for argument 'table_name'"),
        (db.export_table, ("a", 5), {}, wrong % ("output_path", "int")),
        (db.export_all, (), {}, "EseDatabase.export_all() missing 1 required positional "
                                "argument: 'output_dir'"),
        (db.export_all, ([],), {}, wrong % ("output_dir", "list")),
        (db.carve_utf16le_strings, (None, 6, 1000, 1), {},
         cs + " takes from 0 to 3 positional arguments but 4 were given"),
        (db.carve_utf16le_strings, (), {"scope": "slack"},
         cs + " got an unexpected keyword argument 'scope'"),
        (db.carve_utf16le_strings, (b"x",), {}, wrong % ("needle", "bytes")),
        (db.carve_utf16le_strings_scoped, (), {},
         sc + " missing 1 required positional argument: 'scope'"),
        (db.carve_utf16le_strings_scoped, ("slack", None, 6, 1000, 5), {},
         sc + " takes from 1 to 4 positional arguments but 5 were given"),
        (db.carve_utf16le_strings_scoped, ("slack", None), {"needle": "x"},
         sc + " got multiple values for argument 'needle'"),
        (db.carve_utf16le_strings_scoped, (None,), {}, wrong % ("scope", "NoneType")),
        # Conversions run in parameter order, before the scope is checked.
        (db.carve_utf16le_strings_scoped, ("bogus",), {"needle": 1}, wrong % ("needle", "int")),
        (db.__exit__, (None, None), {}, xt + " missing 1 required positional argument: '_traceback'"),
        (db.__exit__, (), {}, xt + " missing 3 required positional arguments: "
                                   "'_exc_type', '_exc_value', and '_traceback'"),
        (db.__exit__, (1, 2, 3, 4), {}, xt + " takes 3 positional arguments but 4 were given"),
    ]


def test_binding_errors(people_db):
    db = EseDatabase(people_db)
    for fn, args, kwargs, message in _calls(db, people_db):
        with pytest.raises(TypeError) as info:
            fn(*args, **kwargs)
        assert str(info.value) == message, (fn, args, kwargs)
    # Failed calls leave the instance usable.
    assert db.get_tables() == ["people", "empty"]


def test_no_argument_methods_reject_arguments(people_db):
    db = EseDatabase(people_db)
    for fn in (db.get_tables, db.__enter__):
        with pytest.raises(TypeError):
            fn(1)


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize("name", ["min_chars", "max_hits"])
@pytest.mark.parametrize("value, error, message", [
    ("6", TypeError, "argument '%s': 'str' object cannot be interpreted as an integer"),
    (6.0, TypeError, "argument '%s': 'float' object cannot be interpreted as an integer"),
    (None, TypeError, "argument '%s': 'NoneType' object cannot be interpreted as an integer"),
    (-1, OverflowError, "out of range integral type conversion attempted"),
    (2 ** 32, OverflowError, "out of range integral type conversion attempted"),
    (2 ** 64 - 1, OverflowError, "out of range integral type conversion attempted"),
    (2 ** 80, OverflowError, "out of range integral type conversion attempted"),
    (-2 ** 80, OverflowError, "out of range integral type conversion attempted"),
])
def test_integer_argument_errors(people_db, name, value, error, message):
    db = EseDatabase(people_db)
    for call in (lambda: db.carve_utf16le_strings(**{name: value}),
                 lambda: db.carve_utf16le_strings_scoped("bogus", **{name: value})):
        with pytest.raises(error) as info:
            call()
        assert type(info.value) is error
        assert str(info.value) == message.replace("%s", name)


def test_integer_arguments_accept_the_full_range(people_db):
    db = EseDatabase(people_db)
    assert db.carve_utf16le_strings(min_chars=2 ** 32 - 1) == []
    assert db.carve_utf16le_strings(max_hits=2 ** 32 - 1, min_chars=Index(4)) == \
        db.carve_utf16le_strings(None, 4)
    assert db.carve_utf16le_strings(min_chars=True) == db.carve_utf16le_strings(min_chars=2)


@pytest.mark.parametrize("scope", ["Slack", "", " slack", "slack ", "tag-data", "\ud800"])
def test_invalid_scope(people_db, scope):
    with pytest.raises(ValueError) as info:
        EseDatabase(people_db).carve_utf16le_strings_scoped(scope)
    assert type(info.value) is ValueError
    assert info.value.args == (
        "Invalid scope: %s (expected: slack, all, tag_data, lv_all, lv_slack)" % scope,)


# ---------------------------------------------------------------------------
# Signatures and documentation
# ---------------------------------------------------------------------------

SIGNATURES = {
    "get_tables": "()",
    "read_table": "(table_name)",
    "get_table_schema": "(table_name)",
    "export_table": "(table_name, output_path)",
    "carve_utf16le_strings": "(needle=None, min_chars=6, max_hits=1000)",
    "carve_utf16le_strings_scoped": "(scope, needle=None, min_chars=6, max_hits=1000)",
    "export_all": "(output_dir)",
    "__enter__": "()",
    "__exit__": "(_exc_type, _exc_value, _traceback)",
    "get_header": "()",
    "check": "(table_name=None)",
}

DOCS = {
    "get_tables": "Get a list of all table names in the database.\n\n"
                  "Returns:\n    list[str]: List of table names",
    "read_table": "Read all records from a table.\n\nArgs:\n"
                  "    table_name: Name of the table to read\n\nReturns:\n"
                  "    list[dict]: List of records as dictionaries\n\nRaises:\n"
                  "    ValueError: If the table doesn't exist\n"
                  "    IOError: If there's an error reading the table",
    "get_table_schema": "Get the schema (columns) for a table.\n\nArgs:\n"
                        "    table_name: Name of the table\n\nReturns:\n"
                        "    list[dict]: List of column information with 'name', 'type', 'id'"
                        "\n\nRaises:\n    ValueError: If the table doesn't exist",
    "export_table": "Export a table to JSONL format.\n\nArgs:\n"
                    "    table_name: Name of the table to export\n"
                    "    output_path: Path to the output JSONL file\n\nRaises:\n"
                    "    ValueError: If the table doesn't exist\n"
                    "    IOError: If there's an error writing the file",
    "carve_utf16le_strings": None,
    "carve_utf16le_strings_scoped": None,
    "export_all": "Export all tables to JSONL files in a directory.\n\nArgs:\n"
                  "    output_dir: Directory to write JSONL files to\n\nRaises:\n"
                  "    IOError: If there's an error creating the directory or writing files",
    "__enter__": "Context manager support: enter",
    "__exit__": "Context manager support: exit",
    "path": "Get the path to the database file.\n\nReturns:\n    str: Path to the database file",
    "page_size": "Get the database page size.\n\nReturns:\n    int: Page size in bytes",
    "total_pages": "Get the total number of pages in the database.\n\n"
                   "Returns:\n    int: Total number of pages",
}


def test_signatures_and_docs(people_db):
    db = EseDatabase(people_db)
    if sys.version_info >= (3, 10):  # 3.9 drops a heap type's text signature
        assert str(inspect.signature(EseDatabase)) == "(path)"
    assert EseDatabase.__doc__ == (
        "Python wrapper for ESE database.\n\n"
        "This class provides access to Microsoft ESE databases from Python.\n\n"
        "Example:\n"
        "    >>> from quarlet import EseDatabase\n"
        '    >>> db = EseDatabase("Current.mdb")\n'
        "    >>> tables = db.get_tables()\n"
        '    >>> records = db.read_table("MSysObjects")')
    methods = [name for name in vars(EseDatabase) if name in SIGNATURES]
    assert methods == list(SIGNATURES)  # method table order
    for name, sig in SIGNATURES.items():
        assert str(inspect.signature(getattr(db, name))) == sig, name
    for name, doc in DOCS.items():
        assert getattr(EseDatabase, name).__doc__ == doc, name


# ---------------------------------------------------------------------------
# Queries
# ---------------------------------------------------------------------------

def test_tables_in_catalog_order(make_db):
    assert EseDatabase(make_db()).get_tables() == []
    names = ["zeta", "alpha", "Mid", b"bad\xffname"]
    path = make_db([eb.Table(n, [eb.Column("c", eb.T_LONG)], []) for n in names])
    assert EseDatabase(path).get_tables() == ["zeta", "alpha", "Mid", "bad\ufffdname"]


def test_read_table(people_db):
    db = EseDatabase(people_db)
    rows = db.read_table("people")
    assert rows == [{"id": 1, "name": "Ann"}, {"id": 2, "name": "Bob"},
                    {"id": 3, "name": None}]
    assert [list(r) for r in rows] == [["id", "name"]] * 3
    # Column names are made once per call and shared by every record.
    assert all(list(r)[1] is list(rows[0])[1] for r in rows)
    assert db.read_table(table_name="empty") == []


@pytest.mark.parametrize("method", ["read_table", "get_table_schema"])
@pytest.mark.parametrize("name", ["People", "", "nope", "\ud800"])
def test_unknown_table(people_db, method, name):
    with pytest.raises(ValueError) as info:
        getattr(EseDatabase(people_db), method)(name)
    assert type(info.value) is ValueError
    assert info.value.args == ("Table not found: " + name,)


def test_value_conversions(make_db):
    ones8 = eb.Raw(b"\xff" * 8)
    guid = uuid.UUID("00112233-4455-6677-8899-aabbccddeeff")
    columns = [
        eb.Column("bool_t", eb.T_BOOLEAN), eb.Column("bool_f", eb.T_BOOLEAN),
        eb.Column("u8", eb.T_UNSIGNED_BYTE), eb.Column("i16", eb.T_SHORT),
        eb.Column("u16", eb.T_UNSIGNED_SHORT), eb.Column("i32", eb.T_LONG),
        eb.Column("u32", eb.T_UNSIGNED_LONG), eb.Column("i64", eb.T_LONG_LONG),
        eb.Column("cur", eb.T_CURRENCY), eb.Column("dt", eb.T_DATETIME),
        eb.Column("f32", eb.T_SINGLE), eb.Column("f64", eb.T_DOUBLE),
        eb.Column("guid", eb.T_GUID), eb.Column("none", eb.T_LONG),
        eb.Column("bin", eb.T_BINARY), eb.Column("text", eb.T_TEXT, codepage=1200),
        eb.Column("lbin", eb.T_LONG_BINARY), eb.Column(b"c\xff", eb.T_LONG),
    ]
    record = {"bool_t": True, "bool_f": False, "u8": 255, "i16": eb.Raw(b"\xff\xff"),
              "u16": 0xFFFF, "i32": eb.Raw(b"\xff" * 4), "u32": 0xFFFFFFFF, "i64": ones8,
              "cur": ones8, "dt": ones8, "f32": 0.1, "f64": 0.1, "guid": guid,
              "bin": b"\x00\x01", "text": "h\xe9llo \u4e16", "lbin": b"\x00" * 3,
              b"c\xff": 7}
    path = make_db([eb.Table("t", columns, [record])])
    (row,) = EseDatabase(path).read_table("t")
    expected = {"bool_t": True, "bool_f": False, "u8": 255, "i16": -1, "u16": 65535,
                "i32": -1, "u32": 4294967295, "i64": 18446744073709551615,
                "cur": 18446744073709551615,
                "dt": 18446744073709551615, "f32": 0.10000000149011612, "f64": 0.1,
                "guid": str(guid), "none": None, "c\ufffd": 7, "bin": b"\x00\x01",
                "text": "h\xe9llo \u4e16", "lbin": b"\x00" * 3}
    assert row == expected
    assert list(row) == list(expected)
    assert {k: type(v) for k, v in row.items()} == {k: type(v) for k, v in expected.items()}


def test_table_schema(make_db):
    columns = [eb.Column("id", eb.T_LONG, flags=0x1), eb.Column("when", eb.T_DATETIME, flags=0x6),
               eb.Column("name", eb.T_TEXT), eb.Column("blob", eb.T_LONG_BINARY, id=300)]
    path = make_db([eb.Table("t", columns, []), eb.Table("bare", [], [])])
    db = EseDatabase(path)
    schema = db.get_table_schema("t")
    assert schema == [
        {"name": "id", "type": "Signed long", "id": 1, "nullable": False},
        {"name": "when", "type": "DateTime", "id": 2, "nullable": True},
        {"name": "name", "type": "Text", "id": 128, "nullable": True},
        {"name": "blob", "type": "Long Binary", "id": 300, "nullable": True},
    ]
    assert all(list(d) == ["name", "type", "id", "nullable"] for d in schema)
    assert db.get_table_schema("bare") == []


def test_read_error_mid_table(make_db, tmp_path):
    table = eb.Table("t", [eb.Column("n", eb.T_LONG)], [(i,) for i in range(4)],
                     max_leaf_entries=1)
    db = eb.Database([table])
    path = str(tmp_path / "broken.edb")
    layout = db.write(path)
    leaves = layout.table("t").tree.leaves
    assert len(leaves) == 4
    # The branch page lists a page past the end of the file as the third leaf.
    eb.relist_child(path, layout, layout.table("t").tree, leaves[2], 99999)
    eb.patch_file(path, layout.page_offset(leaves[1]) + 20, struct.pack("<I", 99999))
    quarlet_db = EseDatabase(path)
    with pytest.raises(OSError) as info:
        quarlet_db.read_table("t")
    assert type(info.value) is OSError
    assert info.value.args == ("Error reading record: Invalid page number: 99999",)
    out = tmp_path / "t.jsonl"
    with pytest.raises(OSError) as info:
        quarlet_db.export_table("t", str(out))
    assert str(info.value) == "Error reading record: Invalid page number: 99999"
    assert out.read_text() == '{"n":0}\n{"n":1}\n'


def test_unreadable_root_uses_the_plain_message(make_db, tmp_path):
    table = eb.Table("t", [eb.Column("n", eb.T_LONG)], root_page=99999, build_tree=False)
    db = EseDatabase(make_db([table]))
    with pytest.raises(OSError) as info:
        db.read_table("t")
    assert type(info.value) is OSError
    assert info.value.args == ("Invalid page number: 99999",)
    out = tmp_path / "t.jsonl"
    with pytest.raises(OSError) as info:
        db.export_table("t", str(out))
    assert info.value.args == ("Invalid page number: 99999",)
    assert not out.exists()


# ---------------------------------------------------------------------------
# Export
# ---------------------------------------------------------------------------

def test_export(people_db, tmp_path):
    db = EseDatabase(people_db)
    out = tmp_path / "people.jsonl"
    assert db.export_table("people", output_path=str(out)) is None
    assert out.read_text() == '{"id":1,"name":"Ann"}\n{"id":2,"name":"Bob"}\n{"id":3,"name":null}\n'
    assert db.export_all(str(tmp_path / "a" / "b")) is None
    assert sorted(os.listdir(tmp_path / "a" / "b")) == ["empty.jsonl", "people.jsonl"]


@pytest.mark.parametrize("name", ["nope", "\ud800"])
def test_export_unknown_table(people_db, tmp_path, name):
    out = tmp_path / "x.jsonl"
    with pytest.raises(ValueError) as info:
        EseDatabase(people_db).export_table(name, str(out))
    assert info.value.args == ("Table not found: " + name,)
    assert not out.exists()


def test_export_file_errors(people_db, tmp_path):
    db = EseDatabase(people_db)
    with pytest.raises(OSError) as info:
        db.export_table("people", str(tmp_path / "missing" / "x.jsonl"))
    assert str(info.value).startswith("Failed to create output file: ")
    blocker = tmp_path / "file"
    blocker.write_text("")
    with pytest.raises(OSError) as info:
        db.export_all(str(blocker / "sub"))
    assert str(info.value).startswith("Failed to create output directory: ")
    # A NUL would silently cut the path short: refused, as os functions do.
    for call in (lambda: db.export_table("people", str(tmp_path / "cut\x00.jsonl")),
                 lambda: db.export_all(str(tmp_path / "cut\x00dir"))):
        with pytest.raises(ValueError, match="embedded null byte"):
            call()
    assert sorted(os.listdir(tmp_path)) == ["file"]


def test_exit_refused_while_export_runs(people_db, tmp_path):
    # The export blocks opening a FIFO with no reader. Meanwhile the main
    # thread must run (the export released the interpreter lock) and find
    # the instance borrowed. Run in a child so a regression cannot hang us.
    code = textwrap.dedent("""
        import os, sys, threading, time
        from quarlet import EseDatabase
        db_path, fifo = sys.argv[1], sys.argv[2]
        os.mkfifo(fifo)
        db = EseDatabase(db_path)
        errors = []
        def run():
            try:
                db.export_table("people", fifo)
            except Exception as e:
                errors.append(e)
        t = threading.Thread(target=run)
        t.start()
        refused = None
        deadline = time.monotonic() + 20
        while refused is None and time.monotonic() < deadline:
            try:
                db.__exit__(None, None, None)
            except RuntimeError as e:
                refused = e
            time.sleep(0.005)
        fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        data = b""
        while True:
            try:
                chunk = os.read(fd, 65536)
            except BlockingIOError:
                chunk = None
            if chunk:
                data += chunk
            elif chunk == b"" and not t.is_alive():
                break
            else:
                time.sleep(0.005)
        t.join()
        print(repr(refused), errors, data.count(b"\\n"), db.__exit__(None, None, None))
    """)
    proc = subprocess.run([sys.executable, "-c", code, people_db, str(tmp_path / "fifo")],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "RuntimeError('Already borrowed') [] 3 False"


# ---------------------------------------------------------------------------
# Carving
# ---------------------------------------------------------------------------

@pytest.fixture
def carve_db(tmp_path):
    path = str(tmp_path / "carve.edb")
    table = eb.Table("people", [eb.Column("name", eb.T_TEXT, codepage=1200)],
                     [("Annabelle",), ("Bartholomew",)])
    layout = eb.Database([table]).write(path)
    leaf = layout.table("people").tree.leaves[0]
    eb.patch_file(path, layout.page_offset(leaf) + 4000, "Left in slack".encode("utf-16-le"))
    eb.patch_file(path, layout.page_offset(4) + 6000, "Catalog slack".encode("utf-16-le"))
    return path, leaf


HIT_KEYS = ["page", "offset", "slack_start", "slack_end", "region_kind", "page_flags",
            "page_type", "table", "text"]


def test_carve_hits(carve_db):
    path, leaf = carve_db
    db = EseDatabase(path)
    hits = db.carve_utf16le_strings()
    assert [(h["page"], h["offset"], h["region_kind"], h["page_type"], h["table"], h["text"])
            for h in hits] == [(4, 6000, "slack", "leaf", None, "Catalog slack"),
                               (leaf, 4000, "slack", "leaf", "people", "Left in slack")]
    assert all(list(h) == HIT_KEYS for h in hits)
    assert hits == db.carve_utf16le_strings_scoped("slack")
    assert hits[:1] == db.carve_utf16le_strings_scoped(scope="slack", needle="slack",
                                                       min_chars=0, max_hits=0)
    assert hits[1:] == db.carve_utf16le_strings(needle="Left")

    everything = db.carve_utf16le_strings_scoped("all", needle=None, min_chars=9)
    assert "Left in slack" in [h["text"] for h in everything if h["page"] == leaf]
    assert all(list(h) == HIT_KEYS and h["slack_start"] == 0 and h["slack_end"] == 8192
               for h in everything)
    assert {type(h[k]) for h in everything for k in HIT_KEYS if k != "table"} == {int, str}

    in_tags = db.carve_utf16le_strings_scoped("tag_data", min_chars=9)
    assert in_tags and {(h["region_kind"], h["table"]) for h in in_tags} == {("tag_data", "people")}
    assert {h["text"] for h in in_tags} <= {"Annabelle", "Bartholomew"}

    assert db.carve_utf16le_strings_scoped("lv_all") == []
    assert db.carve_utf16le_strings_scoped("lv_slack") == []
    # A needle that cannot occur in printable text matches nothing.
    assert db.carve_utf16le_strings_scoped("all", "\ud800") == []
    assert db.carve_utf16le_strings_scoped("all", "\xe9") == []
