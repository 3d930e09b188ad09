"""Real databases: every sample opens (or fails cleanly), lists the expected
tables in catalog order, reads every table with the expected record count,
exports and carves without error. Skipped when the samples are absent."""

import json
import os

import pytest

import quarlet

SAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "samples")
MANIFEST = os.path.join(SAMPLES, "MANIFEST.json")

if not os.path.exists(MANIFEST):
    pytest.skip("sample databases not present", allow_module_level=True)

with open(MANIFEST, encoding="utf-8") as f:
    ENTRIES = json.load(f)


def sample_ids():
    return [e["file"] for e in ENTRIES]


@pytest.fixture(params=ENTRIES, ids=sample_ids())
def sample(request):
    return request.param


def test_tables_and_record_counts(sample):
    path = os.path.join(SAMPLES, sample["file"])
    expected = sample["expected"]
    if expected.get("open_fails"):
        with pytest.raises(OSError, match="^Failed to open database: "):
            quarlet.EseDatabase(path)
        return
    db = quarlet.EseDatabase(path)
    names = [t["name"] for t in expected["tables"]]
    assert db.get_tables() == names
    for table in expected["tables"]:
        records = db.read_table(table["name"])
        assert len(records) == table["records"], table["name"]
        assert len(db.get_table_schema(table["name"])) == table["columns"], table["name"]
        if records:
            assert len(records[0]) == len(db.get_table_schema(table["name"]))


def test_export_and_carve(sample, tmp_path):
    path = os.path.join(SAMPLES, sample["file"])
    if sample["expected"].get("open_fails"):
        pytest.skip("open fails by design")
    db = quarlet.EseDatabase(path)
    db.export_all(str(tmp_path))
    files = os.listdir(str(tmp_path))
    assert len(files) == len(db.get_tables())
    total_lines = 0
    for name in files:
        with open(os.path.join(str(tmp_path), name), "rb") as f:
            for line in f:
                json.loads(line)
                total_lines += 1
    assert total_lines == sum(t["records"] for t in sample["expected"]["tables"])
    for scope in ("slack", "all", "tag_data", "lv_all", "lv_slack"):
        hits = db.carve_utf16le_strings_scoped(scope, min_chars=4, max_hits=100000)
        for hit in hits:
            assert hit["offset"] % 2 == 0
            assert hit["slack_start"] <= hit["offset"] < hit["slack_end"] <= db.page_size


def test_null_fixed_columns_read_as_none():
    """SRUM energy tables leave most fixed columns NULL; they must not read as 0."""
    path = os.path.join(SAMPLES, "srum-w10-apt-clean.dat")
    if not os.path.exists(path):
        pytest.skip("sample absent")
    db = quarlet.EseDatabase(path)
    table = "{5C8CF1C7-7257-4F13-B223-970EF5939312}"
    if table not in db.get_tables():
        pytest.skip("table absent")
    records = db.read_table(table)
    assert records
    assert any(r.get("AudioInTimeline") is None for r in records)


DIGESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "sample_digests.json")


def test_records_match_recorded_digests(sample):
    """Every table of every sample reads exactly the records, in the same
    order, that a reference build of the reader gave (a digest of the
    records' repr per table)."""
    import hashlib

    with open(DIGESTS, encoding="utf-8") as f:
        recorded = json.load(f).get(sample["file"])
    if recorded is None or recorded["sha256"] != sample["sha256"]:
        pytest.skip("no digest recorded for this file")
    db = quarlet.EseDatabase(os.path.join(SAMPLES, sample["file"]))
    got = {}
    for name in db.get_tables():
        rows = db.read_table(name)
        got[name] = [len(rows), hashlib.sha256(repr(rows).encode()).hexdigest()[:32]]
    assert got == recorded["tables"]


def _log_time(raw):
    """A LOGTIME read straight from its bytes: None when the year byte is 0."""
    import datetime

    if raw[5] == 0:
        return None
    return datetime.datetime(1900 + raw[5], raw[4], raw[3], raw[2], raw[1], raw[0])


def test_header_facts_match_the_header_bytes(sample):
    import struct

    if sample["expected"].get("open_fails"):
        pytest.skip("open fails by design")
    path = os.path.join(SAMPLES, sample["file"])
    with open(path, "rb") as f:
        raw = f.read(4096)
    u32 = lambda off: struct.unpack_from("<I", raw, off)[0]  # noqa: E731
    db = quarlet.EseDatabase(path)
    header = db.get_header()
    assert header["state"] == sample["db_state"]
    assert (header["required_log_low"], header["required_log_high"]) == (u32(296), u32(300))
    assert header["committed_log"] == u32(416)
    for key, off in (("creation_time", 28), ("consistent_time", 64), ("attach_time", 72),
                     ("detach_time", 88), ("repair_time", 244)):
        assert header[key] == _log_time(raw[off:off + 8]), key
    assert header["invalid_times"] == {}
    build = "%d.%d.%d" % (u32(216), u32(220), u32(224))
    assert header["windows_version"] == (None if build == "0.0.0" else build)
    assert header["header_checksum_ok"] and header["shadow_checksum_ok"]
    assert header["shadow_matches"]

    report = db.check()
    assert report == json.loads(json.dumps(report))
    pages = report["pages"]
    assert pages["checked"] == db.total_pages
    assert pages["sound"] + pages["unused"] + pages["bad"] + pages["no_checksum"] == db.total_pages
    # No page a tree reaches fails its checksum, and every tree reads whole,
    # in order, from pages of its own (the samples' bad pages hold bytes that
    # are no page, past the used part of the file).
    assert [p for p in pages["bad_pages"] if p["reached"] or p["tree"] is not None] == []
    assert [t["name"] for t in report["trees"] if t["anomalous"]] == []
    # Each tree once: a primary index is its table's tree, not a second one,
    # so the summary's counts (sums over the trees) count no entry twice.
    assert len({t["root"] for t in report["trees"]}) == len(report["trees"])
    by_name = {(t["table"], t["role"]): t for t in report["trees"]}
    for table in sample["expected"]["tables"]:
        tree = by_name.get((table["name"], "data")) or by_name[(table["name"], "catalog")]
        assert tree["live"] == table["records"], table["name"]


def arrow_differences(db, table, decode):
    """Values where the Arrow stream differs from the Python view: each must
    be a null counted as out of form (a single value of a multi-valued
    column is a list of one in the decoded stream), or, in the raw view, a
    text column's compressed value, which the stream carries decompressed
    (the decoded view's text). Where the raw view has text, the stream has
    text in both views; no decoded text ends in U+0000. Returns the count of
    nulls."""
    pa = pytest.importorskip("pyarrow")

    obj = db.arrow(table, decode=decode)
    arrow_table = pa.table(obj)
    arrow_table.validate(full=True)  # consumers trust the buffers
    got = arrow_table.to_pylist()
    want = list(db.iter_table(table, decode))
    # Small batches (three or more) go through the worker threads: the same
    # values (repr, so that NaN equals NaN).
    small = pa.table(db.arrow(table, decode=decode, batch_size=max(5, len(want) // 3)))
    small_rows = small.to_pylist()
    assert small_rows == got or repr(small_rows) == repr(got), table
    raw = want if not decode else db.read_table(table)
    decoded = want if decode else list(db.iter_table(table, True))
    assert len(got) == len(want) == len(raw), table
    multi = {f.name for f in pa.schema(obj) if str(f.type).startswith("list")}
    text = {c["name"] for c in db.get_table_schema(table) if c["type"] in ("Text", "Long Text")}

    differences = 0
    text_keys = [k for k in want[0] if k in text] if want else []
    for ours, theirs, stored, plain in zip(got, want, raw, decoded):
        for key in text_keys:
            if isinstance(stored[key], str):
                assert ours[key] is not None, (table, key, stored[key])
            if decode:
                value = theirs[key]
                for v in (value if isinstance(value, list) else [value]):
                    assert not (isinstance(v, str) and v.endswith("\x00")), (table, key)
        if ours == theirs:
            continue  # the rest compares value by value
        for key, value in theirs.items():
            if key in multi and value is not None and not isinstance(value, list):
                value = [value]
            if ours[key] != value and not (value != value and ours[key] != ours[key]):  # NaN
                if not decode and key in text and key not in multi and ours[key] == plain[key]:
                    continue  # compressed text, decompressed
                assert ours[key] is None or key in multi, (table, key, ours[key], value)
                differences += 1
    assert differences == sum(obj.out_of_form.values()), (table, obj.out_of_form)
    return differences


def test_arrow_streams_equal_the_python_views(sample):
    if sample["expected"].get("open_fails"):
        pytest.skip("open fails by design")
    db = quarlet.EseDatabase(os.path.join(SAMPLES, sample["file"]))
    for table in db.get_tables():
        arrow_differences(db, table, decode=False)
        arrow_differences(db, table, decode=True)


def test_decoded_dates_fall_in_the_file_lifetime(sample):
    """User Access Logging stores FILETIMEs in its DateTime columns: decoded,
    every one lies between the file's creation and its last consistent
    time (a day either side), in the iterator and the Arrow stream alike."""
    import datetime

    if not sample["file"].startswith("ual-"):
        pytest.skip("not a User Access Logging file")
    pa = pytest.importorskip("pyarrow")
    db = quarlet.EseDatabase(os.path.join(SAMPLES, sample["file"]))
    header = db.get_header()
    day = datetime.timedelta(days=1)
    utc = datetime.timezone.utc
    first = header["creation_time"].replace(tzinfo=utc) - day
    last = max(t for t in (header["consistent_time"], header["attach_time"],
                           header["detach_time"]) if t is not None).replace(tzinfo=utc) + day
    for table in db.get_tables():
        dates = [c["name"] for c in db.get_table_schema(table) if c["type"] == "DateTime"]
        if not dates or table.startswith("MSys"):
            continue
        rows = list(db.iter_table(table, decode=True, columns=dates))
        assert pa.table(db.arrow(table, decode=True, columns=dates)).to_pylist() == rows
        for row in rows:
            for value in row.values():
                if value is not None:
                    assert first <= value <= last, (table, row)


def test_csv_export_equals_the_csv_module(sample, tmp_path):
    from test_cli import reference_csv
    if sample["expected"].get("open_fails"):
        pytest.skip("open fails by design")
    db = quarlet.EseDatabase(os.path.join(SAMPLES, sample["file"]))
    path = str(tmp_path / "t.csv")
    for table in db.get_tables():
        for decode in (False, True):
            db.export_table_csv(table, path, decode, excel_safe=True)
            with open(path, "rb") as f:
                assert f.read() == reference_csv(db, table, decode, True), (table, decode)
