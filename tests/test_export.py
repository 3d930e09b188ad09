"""export_table and export_all: the exact bytes of JSON lines, number
formats, file creation and replacement, failures mid-table, and the file
names export_all gives to tables with awkward names."""

import errno
import json
import math
import os
import random
import shutil
import struct

import pytest

import esebuild as eb
from quarlet import EseDatabase

GUID_BYTES = bytes(range(0, 256, 17))
GUID_TEXT = "33221100-5544-7766-8899-aabbccddeeff"


def lines_of(path):
    with open(path, "rb") as f:
        return f.read()


# ---------------------------------------------------------------------------
# Exact lines
# ---------------------------------------------------------------------------

MIX_COLUMNS = [
    eb.Column("b", eb.T_LONG), eb.Column("A", eb.T_TEXT), eb.Column("a", eb.T_DOUBLE),
    eb.Column("_x", eb.T_BINARY), eb.Column("g", eb.T_GUID), eb.Column("f32", eb.T_SINGLE),
    eb.Column("u64", eb.T_LONG_LONG), eb.Column("lb", eb.T_LONG_BINARY),
    eb.Column(b"\xffA", eb.T_LONG, id=300), eb.Column("\xe9\u20ac", eb.T_TEXT, codepage=1200),
    eb.Column("bool", eb.T_BOOLEAN), eb.Column("i16", eb.T_SHORT),
    eb.Column("mv", eb.T_BINARY, id=301),
]
MIX_RECORDS = [
    {"b": 1, "A": 'q"b\\t\tn\nx\x01/\xe9\u20ac\x7f', "a": 1.0, "_x": b"\x00\x0a\xff",
     "g": eb.Raw(GUID_BYTES), "f32": 0.1, "u64": 2 ** 64 - 1, "lb": eb.LongValue(b""),
     b"\xffA": 7, "\xe9\u20ac": "\xfc", "bool": True, "i16": -1,
     "mv": eb.Tagged(b"\x01\xab", flags=0x08)},
    {"b": 2},
    {"b": -3, "A": "\b\f\r\x1f\x0b\x00 end", "a": float("nan"), "f32": float("inf"),
     "lb": eb.LongValue(b"\x00\xff" * 3000), "bool": False, "_x": b""},
]
MIX_LINES = [
    '{"A":"q\\"b\\\\t\\tn\\nx\\u0001/\xe9\u20ac\x7f","_x":"000aff","a":1.0,"b":1,"bool":true,'
    '"f32":0.10000000149011612,"g":"%s","i16":-1,"lb":"","mv":"01ab",'
    '"u64":18446744073709551615,"\xe9\u20ac":"\xfc","\ufffdA":7}\n' % GUID_TEXT,
    '{"A":null,"_x":null,"a":null,"b":2,"bool":null,"f32":null,"g":null,"i16":null,"lb":null,'
    '"mv":null,"u64":null,"\xe9\u20ac":null,"\ufffdA":null}\n',
    '{"A":"\\b\\f\\r\\u001f\\u000b\\u0000 end","_x":null,"a":0,"b":-3,"bool":false,"f32":0,'
    '"g":null,"i16":null,"lb":"%s","mv":null,"u64":null,"\xe9\u20ac":null,"\ufffdA":null}\n'
    % ("00ff" * 3000),
]


@pytest.fixture(scope="module")
def mix_db(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("mix") / "mix.edb")
    eb.Database([eb.Table("mix", MIX_COLUMNS, MIX_RECORDS),
                 eb.Table("empty", [eb.Column("x", eb.T_LONG)], []),
                 eb.Table("nocols", [], [(), ()])]).write(path)
    return path


def test_exact_lines(mix_db, tmp_path):
    out = tmp_path / "mix.jsonl"
    assert EseDatabase(mix_db).export_table("mix", str(out)) is None
    assert lines_of(out) == "".join(MIX_LINES).encode("utf-8")


def test_records_without_columns_and_empty_tables(mix_db, tmp_path):
    db = EseDatabase(mix_db)
    db.export_table("nocols", str(tmp_path / "n.jsonl"))
    assert lines_of(tmp_path / "n.jsonl") == b"{}\n{}\n"
    empty = tmp_path / "e.jsonl"
    empty.write_bytes(b"old content\n" * 100)
    db.export_table("empty", str(empty))
    assert lines_of(empty) == b""


def test_lines_load_as_read_table_values(mix_db, tmp_path):
    def as_json(value):
        if isinstance(value, bytes):
            return value.hex()
        if isinstance(value, float) and not math.isfinite(value):
            return 0
        return value

    db = EseDatabase(mix_db)
    out = tmp_path / "mix.jsonl"
    db.export_table("mix", str(out))
    loaded = [json.loads(line) for line in lines_of(out).decode("utf-8").splitlines()]
    rows = db.read_table("mix")
    assert loaded == [{k: as_json(v) for k, v in row.items()} for row in rows]
    # Keys sorted by their UTF-8 bytes; read_table keeps column id order.
    for line, row in zip(loaded, rows):
        assert list(line) == sorted(row, key=lambda k: k.encode("utf-8"))


def test_names_that_become_the_same_text_keep_the_later_column(make_db, tmp_path):
    columns = [eb.Column(b"\xffA", eb.T_LONG, id=256), eb.Column("z", eb.T_LONG, id=257),
               eb.Column(b"\xfeA", eb.T_LONG, id=258)]
    db = EseDatabase(make_db([eb.Table("t", columns, [(1, 2, 3), (4,)])]))
    out = tmp_path / "t.jsonl"
    db.export_table("t", str(out))
    assert lines_of(out).decode("utf-8") == '{"z":2,"\ufffdA":3}\n{"z":null,"\ufffdA":null}\n'
    assert [list(r.items()) for r in db.read_table("t")] == [
        [("\ufffdA", 3), ("z", 2)], [("\ufffdA", None), ("z", None)]]


# ---------------------------------------------------------------------------
# Numbers
# ---------------------------------------------------------------------------

DOUBLES = [
    (1.0, "1.0"), (0.1, "0.1"), (1e21, "1e+21"), (1e-5, "0.00001"), (1e-6, "1e-6"),
    (1e15, "1000000000000000.0"), (1e16, "1e+16"), (-0.0, "-0.0"), (0.0, "0.0"),
    (5e-324, "5e-324"), (1.7976931348623157e308, "1.7976931348623157e+308"),
    (-1.7976931348623157e308, "-1.7976931348623157e+308"),
    (123456.789, "123456.789"), (100.0, "100.0"), (0.00123, "0.00123"), (1.5e16, "1.5e+16"),
    (123.45, "123.45"), (-1.5, "-1.5"), (2.0 ** 53, "9007199254740992.0"),
    (1e15 + 0.5, "1000000000000000.5"), (1.234e-5, "0.00001234"), (1.234e-6, "1.234e-6"),
    (-1e-7, "-1e-7"), (2.5e-5, "0.000025"), (9.5e15, "9500000000000000.0"), (1e100, "1e+100"),
    (2.2250738585072014e-308, "2.2250738585072014e-308"), (0.3, "0.3"),
    (2 / 3, "0.6666666666666666"), (123456789012345680.0, "1.2345678901234568e+17"),
    (float("nan"), "0"), (float("inf"), "0"), (float("-inf"), "0"),
]
SINGLES = [
    (0.1, "0.10000000149011612"), (1.5, "1.5"), (-0.0, "-0.0"),
    (3.4028234663852886e38, "3.4028234663852886e+38"),
    (1.401298464324817e-45, "1.401298464324817e-45"),
    (16777216.0, "16777216.0"), (float("nan"), "0"), (float("-inf"), "0"),
]


def reference_format(x):
    """The float text the export must write, from Python's shortest
    round-trip digits (repr), laid out by the documented rules."""
    if not math.isfinite(x):
        return "0"
    if x == 0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    mantissa, _, exp = repr(abs(x)).partition("e")
    whole, _, frac = mantissa.partition(".")
    digits = (whole + frac).lstrip("0")
    power = (int(exp) if exp else 0) - len(frac)
    stripped = digits.rstrip("0")
    power += len(digits) - len(stripped)
    digits, n = stripped, len(stripped)
    e = power + n - 1
    if -5 <= e <= 15:
        if e >= n - 1:
            body = digits + "0" * (e - n + 1) + ".0"
        elif e >= 0:
            body = digits[:e + 1] + "." + digits[e + 1:]
        else:
            body = "0." + "0" * (-e - 1) + digits
    else:
        body = "%s%se%s%d" % (digits[0], "." + digits[1:] if n > 1 else "",
                              "+" if e > 0 else "-", abs(e))
    return ("-" if x < 0 else "") + body


def significant_digits(text):
    mantissa = text.lstrip("-").split("e")[0].replace(".", "")
    return len(mantissa.strip("0")) or 1


@pytest.fixture(scope="module")
def number_lines(tmp_path_factory):
    rng = random.Random(20261208)
    randoms = []
    while len(randoms) < 1500:
        (x,) = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))
        if math.isfinite(x):
            randoms.append(x)
    randoms += [round(rng.uniform(-1e6, 1e6), rng.randint(0, 12)) for _ in range(500)]
    randoms += [rng.randint(1, 10 ** 17) * 10.0 ** rng.randint(-40, 40) for _ in range(500)]
    records = [{"d": x} for x, _ in DOUBLES] + [{"s": x} for x, _ in SINGLES]
    records += [{"d": x} for x in randoms]
    tmp = tmp_path_factory.mktemp("numbers")
    path = str(tmp / "numbers.edb")
    table = eb.Table("n", [eb.Column("d", eb.T_DOUBLE), eb.Column("s", eb.T_SINGLE)], records)
    eb.Database([table]).write(path)
    EseDatabase(path).export_table("n", str(tmp / "n.jsonl"))
    lines = lines_of(tmp / "n.jsonl").decode("ascii").split("\n")
    assert lines.pop() == ""
    return lines, randoms


def test_double_formats(number_lines):
    lines, _ = number_lines
    got = lines[:len(DOUBLES)]
    assert got == ['{"d":%s,"s":null}' % text for _, text in DOUBLES]
    assert [reference_format(x) for x, _ in DOUBLES] == [text for _, text in DOUBLES]


def test_single_formats(number_lines):
    lines, _ = number_lines
    got = lines[len(DOUBLES):len(DOUBLES) + len(SINGLES)]
    assert got == ['{"d":null,"s":%s}' % text for _, text in SINGLES]


def test_random_doubles_round_trip_in_the_fewest_digits(number_lines):
    lines, randoms = number_lines
    got = lines[len(DOUBLES) + len(SINGLES):]
    assert len(got) == len(randoms)
    for line, x in zip(got, randoms):
        text = line[len('{"d":'):-len(',"s":null}')]
        assert struct.pack("<d", float(text)) == struct.pack("<d", x), line
        assert significant_digits(text) <= significant_digits(repr(x)), line
        assert text == reference_format(x), (line, repr(x))
        assert json.loads(line)["d"] == x


# ---------------------------------------------------------------------------
# export_table: files and failures
# ---------------------------------------------------------------------------

def test_unknown_table_creates_nothing_and_leaves_files_alone(mix_db, tmp_path):
    db = EseDatabase(mix_db)
    existing = tmp_path / "keep.jsonl"
    existing.write_bytes(b"precious\n")
    os.utime(existing, ns=(1_000_000_000, 1_000_000_000))
    for name in ("Mix", "nope", ""):
        with pytest.raises(ValueError) as info:
            db.export_table(name, str(existing))
        assert type(info.value) is ValueError and info.value.args == ("Table not found: " + name,)
        with pytest.raises(ValueError):
            db.export_table(name, str(tmp_path / "new.jsonl"))
    assert lines_of(existing) == b"precious\n"
    assert os.stat(existing).st_mtime_ns == 1_000_000_000
    assert sorted(os.listdir(tmp_path)) == ["keep.jsonl"]


def test_output_file_errors(mix_db, tmp_path):
    db = EseDatabase(mix_db)
    with pytest.raises(OSError) as info:
        db.export_table("mix", str(tmp_path / "missing" / "x.jsonl"))
    assert type(info.value) is OSError
    assert info.value.args == (
        "Failed to create output file: No such file or directory (os error 2)",)
    with pytest.raises(OSError) as info:
        db.export_table("mix", str(tmp_path))
    assert info.value.args == ("Failed to create output file: Is a directory (os error 21)",)
    assert os.listdir(tmp_path) == []


def test_output_paths_that_are_not_utf8(mix_db, tmp_path):
    # Paths are file-system bytes (str with surrogate escapes, as os uses).
    db = EseDatabase(mix_db)
    name = os.fsdecode(b"out\xff.jsonl")
    db.export_table("nocols", str(tmp_path / name))
    directory = os.fsdecode(b"dir\xfe")
    db.export_all(str(tmp_path / directory / "sub"))
    assert sorted(os.listdir(os.fsencode(str(tmp_path)))) == [b"dir\xfe", b"out\xff.jsonl"]
    assert lines_of(tmp_path / name) == b"{}\n{}\n"
    assert sorted(os.listdir(tmp_path / directory / "sub")) == [
        "empty.jsonl", "mix.jsonl", "nocols.jsonl"]


def test_existing_longer_file_is_replaced(mix_db, tmp_path):
    out = tmp_path / "mix.jsonl"
    out.write_bytes(b"x" * 100000)
    EseDatabase(mix_db).export_table(table_name="mix", output_path=str(out))
    assert lines_of(out) == "".join(MIX_LINES).encode("utf-8")


BIG_ROWS = 30000
PER_LEAF = 50


@pytest.fixture(scope="module")
def broken_big(tmp_path_factory):
    """A table of 30000 records (about 2.5 MB of lines) whose branch page
    lists a page past the end of the file after leaf 500, plus the intact
    copy."""
    tmp = tmp_path_factory.mktemp("big")
    good = str(tmp / "good.edb")
    table = eb.Table("big", [eb.Column("n", eb.T_LONG), eb.Column("s", eb.T_TEXT)],
                     ((i, "record number %06d " % i + "x" * 50) for i in range(BIG_ROWS)),
                     max_leaf_entries=PER_LEAF)
    layout = eb.Database([eb.Table("a", [eb.Column("n", eb.T_LONG)], [(1,)]), table,
                          eb.Table("c", [eb.Column("n", eb.T_LONG)], [(3,)])]).write(good)
    leaves = layout.table("big").tree.leaves
    assert len(leaves) == BIG_ROWS // PER_LEAF
    bad = str(tmp / "bad.edb")
    shutil.copyfile(good, bad)
    eb.relist_child(bad, layout, layout.table("big").tree, leaves[501], 0xFFFFFF00)
    eb.patch_file(bad, layout.page_offset(leaves[500]) + 20, struct.pack("<I", 0xFFFFFF00))
    expected = "".join('{"n":%d,"s":"record number %06d %s"}\n' % (i, i, "x" * 50)
                       for i in range(BIG_ROWS)).encode()
    return good, bad, expected


def test_read_error_keeps_exactly_the_complete_earlier_lines(broken_big, tmp_path):
    good, bad, expected = broken_big
    out = tmp_path / "big.jsonl"
    EseDatabase(good).export_table("big", str(out))
    assert lines_of(out) == expected
    with pytest.raises(OSError) as info:
        EseDatabase(bad).export_table("big", str(out))
    assert type(info.value) is OSError
    assert info.value.args == ("Error reading record: Invalid page number: 4294967040",)
    # Leaves 0..500 were read: their lines, every one complete.
    kept = lines_of(out)
    assert kept == b"".join(expected.splitlines(keepends=True)[:501 * PER_LEAF])
    assert len(kept) > 2 << 20 and kept.endswith(b"}\n")


# ---------------------------------------------------------------------------
# export_all
# ---------------------------------------------------------------------------

def test_export_all_into_new_nested_directories(mix_db, tmp_path):
    target = tmp_path / "one" / "two" / "three"
    assert EseDatabase(mix_db).export_all(output_dir=str(target) + "/") is None
    assert sorted(os.listdir(target)) == ["empty.jsonl", "mix.jsonl", "nocols.jsonl"]
    assert lines_of(target / "mix.jsonl") == "".join(MIX_LINES).encode("utf-8")
    assert lines_of(target / "empty.jsonl") == b""
    assert lines_of(target / "nocols.jsonl") == b"{}\n{}\n"
    # Again into the same (now existing) directory, with a doubled slash.
    EseDatabase(mix_db).export_all(str(target) + "//")
    assert sorted(os.listdir(target)) == ["empty.jsonl", "mix.jsonl", "nocols.jsonl"]


def test_export_all_directory_is_a_file(mix_db, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_bytes(b"")
    with pytest.raises(OSError) as info:
        EseDatabase(mix_db).export_all(str(blocker))
    assert info.value.args == ("Failed to create output directory: File exists (os error 17)",)


def test_export_all_stops_at_the_first_failing_table(broken_big, tmp_path):
    good, bad, expected = broken_big
    EseDatabase(good).export_all(str(tmp_path / "good"))
    names = ["a.jsonl", "big.jsonl", "c.jsonl"]
    assert sorted(os.listdir(tmp_path / "good")) == names
    times = [os.stat(tmp_path / "good" / n).st_mtime_ns for n in names]
    assert times == sorted(times)
    with pytest.raises(OSError) as info:
        EseDatabase(bad).export_all(str(tmp_path / "bad"))
    assert info.value.args == ("Error reading record: Invalid page number: 4294967040",)
    # a was written, big holds its complete earlier lines, c was never started.
    assert sorted(os.listdir(tmp_path / "bad")) == ["a.jsonl", "big.jsonl"]
    assert lines_of(tmp_path / "bad" / "a.jsonl") == b'{"n":1}\n'
    assert lines_of(tmp_path / "bad" / "big.jsonl") == b"".join(
        expected.splitlines(keepends=True)[:501 * PER_LEAF])


def test_export_all_unreadable_first_table_writes_nothing(make_db, tmp_path):
    tables = [eb.Table("A", [eb.Column("n", eb.T_LONG)], root_page=99999, build_tree=False),
              eb.Table("B", [eb.Column("n", eb.T_LONG)], [(1,)])]
    db = EseDatabase(make_db(tables))
    with pytest.raises(OSError) as info:
        db.export_all(str(tmp_path / "out"))
    assert info.value.args == ("Invalid page number: 99999",)
    assert os.listdir(tmp_path / "out") == []


AWKWARD = [
    ("plain", "plain.jsonl"),
    ("../x", ".._x.jsonl"),
    ("a/b", "a_b.jsonl"),
    (".", "_.jsonl"),
    ("..", "__.jsonl"),
    (b"n\xffm", "n\ufffdm.jsonl"),
    # Too long for a file name: cut at a character boundary to fit 255 bytes.
    ("x" * 300, "x" * 249 + ".jsonl"),
    ("x" * 299, "x" * 247 + "_2.jsonl"),
    ("\xe9" * 200, "\xe9" * 124 + ".jsonl"),
    (b"\xff" * 100, "\ufffd" * 83 + ".jsonl"),
    ("a\\b", "a_b_2.jsonl"),
    ("a_b", "a_b_3.jsonl"),
    ("a_b_2", "a_b_2_2.jsonl"),
    (b"n\xfem", "n\ufffdm_2.jsonl"),
    ("a\x00b", "a_b_4.jsonl"),
    ("_", "__2.jsonl"),
    ("__", "___2.jsonl"),
    ("", ".jsonl"),
    ("/abs/path", "_abs_path.jsonl"),
    ("..\\..\\win", ".._.._win.jsonl"),
    ("\u65e5\u672c/\u8a9e", "\u65e5\u672c_\u8a9e.jsonl"),
]


@pytest.mark.parametrize("method", ["export_all", "export_all_decoded"])
def test_export_all_awkward_names_stay_inside_and_never_collide(make_db, tmp_path, method):
    tables = [eb.Table(name, [eb.Column("n", eb.T_LONG)], [(i,)])
              for i, (name, _) in enumerate(AWKWARD)]
    db = EseDatabase(make_db(tables))
    out = tmp_path / "deep" / "out"
    getattr(db, method)(str(out))
    assert sorted(os.listdir(tmp_path)) == ["db0.edb", "deep"]
    assert os.listdir(tmp_path / "deep") == ["out"]
    assert sorted(os.listdir(out)) == sorted(f for _, f in AWKWARD)
    for i, (_, file_name) in enumerate(AWKWARD):
        assert lines_of(out / file_name) == b'{"n":%d}\n' % i, file_name


@pytest.mark.parametrize("method", ["export_all", "export_all_decoded"])
@pytest.mark.parametrize("target_exists", [True, False])
def test_export_all_never_writes_through_a_symbolic_link(make_db, tmp_path, method,
                                                          target_exists):
    tables = [eb.Table(name, [eb.Column("n", eb.T_LONG)], [(i,)]) for i, name in enumerate("ABC")]
    db = EseDatabase(make_db(tables))
    outside = tmp_path / "outside.txt"
    if target_exists:
        outside.write_bytes(b"precious\n")
    out = tmp_path / "out"
    out.mkdir()
    os.symlink(outside, out / "B.jsonl")
    with pytest.raises(OSError) as info:
        getattr(db, method)(str(out))
    assert info.value.args == ("Failed to create output file: %s (os error %d)"
                               % (os.strerror(errno.ELOOP), errno.ELOOP),)
    # A was written, the link is left as it was and C was never started.
    assert sorted(os.listdir(out)) == ["A.jsonl", "B.jsonl"]
    assert lines_of(out / "A.jsonl") == b'{"n":0}\n'
    assert os.readlink(out / "B.jsonl") == str(outside)
    if target_exists:
        assert lines_of(outside) == b"precious\n"
    else:
        assert not os.path.lexists(outside)
    # export_table writes the path its caller gives, a link included.
    db.export_table("C", str(out / "B.jsonl"))
    assert lines_of(outside) == b'{"n":2}\n'
