"""Timeline events: each view's events trace to its rows; `quarlet timeline`
sorts the events of a whole folder, filters them by time, writes CSV, JSON
Lines and Parquet; its runs merge in any number and order; Dask sorts the
same events over a local cluster."""

import collections
import csv
import datetime
import json
import os
import random
import subprocess
import sys

import pytest

import esebuild as eb
import shapes
from quarlet import artifacts
from quarlet.artifacts import timeline
from quarlet.cli.files import find_databases
from quarlet.cli.timeline import COLUMNS, parse_time, time_to
from test_artifacts import SAMPLES, srum_db, ual_folder
from test_artifacts_webcache import webcache_db

UTC = datetime.timezone.utc


@pytest.fixture(scope="module")
def evidence(tmp_path_factory):
    """A triage-like folder: SRUM, UAL (with its SystemIdentity.mdb), two
    users' WebCaches of the same name, and a database of no known kind."""
    folder = tmp_path_factory.mktemp("evidence")
    for sub in ("srum", "ual", "users/ann", "users/bob"):
        os.makedirs(folder / sub)
    srum_db(str(folder / "srum" / "SRUDB.dat"), records=list(shapes.network_usage_records(300)))
    ual_folder(str(folder / "ual"))
    webcache_db(str(folder / "users" / "ann" / "WebCacheV01.dat"))
    webcache_db(str(folder / "users" / "bob" / "WebCacheV01.dat"), numbers=(4, 3, 2, 1))
    eb.Database([eb.Table("t", [eb.Column("When", eb.T_DATETIME)], [(shapes.OLE_2021,)])]).write(
        str(folder / "other.edb"))
    return str(folder)


def databases(folder):
    for root, _, files in os.walk(folder):
        for name in sorted(files):
            yield os.path.join(root, name)


def library_events(folder):
    """Every event the artefact files of `folder` give, by the library."""
    out = []
    for path in databases(folder):
        try:
            art = artifacts.open(path)
        except (OSError, ValueError):  # not a database, or of no known kind
            continue
        out += art.events()
    return out


def quarlet(*args):
    return subprocess.run([sys.executable, "-m", "quarlet", *args], capture_output=True,
                          timeout=300)


def read_timeline(path, fmt):
    if fmt == "csv":
        with open(path, encoding="utf-8", newline="") as f:
            rows = list(csv.DictReader(f))
        for r in rows:
            r["timestamp"] = int(r["timestamp"])
            r["key_fields"] = json.loads(r["key_fields"])
        return rows
    if fmt == "jsonl":
        with open(path, encoding="utf-8") as f:
            return [json.loads(line) for line in f]
    import pyarrow.parquet
    rows = pyarrow.parquet.read_table(path).to_pylist()
    for r in rows:
        r["datetime"] = r["datetime"].isoformat()
        r["key_fields"] = json.loads(r["key_fields"])
    return rows


def identity(e):
    """What names an event: its row, the time it marks, and that time."""
    when = e["datetime"]
    if isinstance(when, datetime.datetime):
        when = when.isoformat()
    return (os.path.abspath(e["source_file"]), e["view"], e["source_table"], e["source_key"],
            e["timestamp_desc"], when)


# ---- the events of a view -------------------------------------------------------------


def test_every_event_traces_to_its_row(evidence):
    seen = collections.Counter()
    for path in databases(evidence):
        try:
            art = artifacts.open(path)
        except ValueError:
            continue
        for name in art.views():
            view = art.view(name)
            kinds = {e.description: e for e in view.event_kinds()}
            described = {c.name: c.event for c in view.columns() if c.event}
            assert described == {e.time: e.description for e in reversed(list(kinds.values()))}
            rows = {(r["source_table"], r["source_key"]): r for r in view.rows()}
            expected = sum(r[e.time] is not None for r in rows.values() for e in kinds.values())
            events = list(art.events(name))
            assert len(events) == expected
            for e in events:
                assert list(e) == list(artifacts.EVENT_COLUMNS)
                row = rows[e["source_table"], e["source_key"]]
                kind = kinds[e["timestamp_desc"]]
                assert row[kind.time] == e["datetime"] and e["datetime"].tzinfo is not None
                assert e["key_fields"] == {f: row[f] for f in kind.fields}
                assert (e["artifact"], e["source_file"], e["view"]) == (art.kind, path, name)
                assert "\n" not in e["message"] and "\r" not in e["message"]
                seen[art.kind, e["timestamp_desc"]] += 1
    assert seen["srum", "SRUM network usage, end of the hour"] == 300
    assert seen["srum", "SRUM provider 01234567-89ab-cdef-0123-456789abcdef, end of the hour"] == 1
    assert seen["ual", "UAL client last access"] == 1  # a LastAccess of 0 gives none
    assert seen["webcache", "WebCache history, last visit"] == 6  # two users, three each


def test_messages_read_their_rows(evidence):
    art = artifacts.open(os.path.join(evidence, "srum", "SRUDB.dat"))
    first = next(art.events("network_usage"))
    assert first["message"] == "- (-) on ethernet: 1000 bytes sent, 2000 received"
    assert first["key_fields"] == {"app": None, "user_sid": None}
    svchost = next(e for e in art.events("network_usage") if e["source_key"] == "AutoIncId=2")
    assert svchost["message"] == ("svchost.exe (S-1-5-21-1-2-3-1001) on ethernet: 1001 bytes "
                                  "sent, 2001 received")
    ual = artifacts.open(os.path.join(evidence, "ual", "Current.mdb"))
    assert [e["message"] for e in ual.events("clients")][:1] == [
        "lab\\dc-1$ at 10.0.0.10 to Active Directory Domain Services: 5 accesses this year"]


@pytest.mark.parametrize("template, row, text", [
    ("{a} and {b}", {"a": "x\r\ny", "b": None}, "x  y and -"),
    ("{a}", {"a": b"\x01\xff"}, "01ff"),
    ("{{literal}} {a}", {"a": datetime.datetime(2021, 1, 2, tzinfo=UTC)},
     "{literal} 2021-01-02T00:00:00+00:00"),
    ("", {"a": 1, "b": 2}, "a=1 b=2"),  # no template: the fields
])
def test_message_templates(template, row, text):
    from quarlet.artifacts.engine import Event, message_function
    assert message_function(Event("t", "d", template, ("a", "b")))(row) == text


# ---- the command -----------------------------------------------------------------------


@pytest.mark.parametrize("fmt", ["csv", "jsonl", "parquet"])
def test_timeline_sorts_every_event(evidence, tmp_path, fmt):
    if fmt == "parquet":
        pytest.importorskip("pyarrow")
    out = str(tmp_path / ("timeline." + fmt))
    proc = quarlet("timeline", evidence, "-o", out, "--format", fmt, "-j", "2")
    assert proc.returncode == 0, proc.stderr
    # The runs are gone; the manifest names each source and its events.
    assert sorted(os.listdir(tmp_path)) == ["manifest.json", "timeline." + fmt]
    rows = read_timeline(out, fmt)
    with open(tmp_path / "manifest.json") as f:
        sources = json.load(f)["sources"]
    assert sorted(s["path"] for s in sources) == sorted(find_databases([evidence]))
    assert all(len(s["sha256"]) == 64 for s in sources)
    assert sum(f["rows"] for s in sources for f in s["files"]) == len(rows)
    if fmt == "csv":
        with open(out, "rb") as f:
            assert f.readline() == (",".join(COLUMNS) + "\r\n").encode()
    assert all(list(r) == list(COLUMNS) for r in rows)
    stamps = [r["timestamp"] for r in rows]
    assert stamps == sorted(stamps)
    for r in rows:
        when = datetime.datetime.fromisoformat(r["datetime"])
        assert when.utcoffset() == datetime.timedelta(0)
        assert r["timestamp"] == (when - datetime.datetime(1970, 1, 1, tzinfo=UTC)) // \
            datetime.timedelta(microseconds=1)
    expected = library_events(evidence)
    assert collections.Counter(map(identity, rows)) == collections.Counter(map(identity, expected))
    by_identity = {identity(e): e for e in expected}
    assert all(r["message"] == by_identity[identity(r)]["message"] for r in rows)
    assert {r["artifact"] for r in rows} == {"srum", "ual", "webcache"}
    assert len({r["source_file"] for r in rows if r["artifact"] == "webcache"}) == 2


@pytest.mark.parametrize("start, end, low, high", [
    ("2021-11-16T20:00:00Z", "2021-11-16", datetime.datetime(2021, 11, 16, 20, tzinfo=UTC),
     datetime.datetime(2021, 11, 16, 23, 59, 59, 999999, tzinfo=UTC)),
    (None, "2021-11-16T19:00:00+01:00", None, datetime.datetime(2021, 11, 16, 18, tzinfo=UTC)),
    ("2021-11-17", None, datetime.datetime(2021, 11, 17, tzinfo=UTC), None),
])
def test_timeline_from_to(evidence, tmp_path, start, end, low, high):
    out = str(tmp_path / "t.csv")
    args = ["timeline", evidence, "-o", out, "-j", "1"]
    args += ["--from", start] if start else []
    args += ["--to", end] if end else []
    proc = quarlet(*args)
    assert proc.returncode == 0, proc.stderr
    got = collections.Counter(map(identity, read_timeline(out, "csv")))
    wanted = collections.Counter(
        identity(e) for e in library_events(evidence)
        if (low is None or e["datetime"] >= low) and (high is None or e["datetime"] <= high))
    assert got == wanted and got


@pytest.mark.parametrize("text, when", [
    ("2021-11-16", datetime.datetime(2021, 11, 16, tzinfo=UTC)),
    ("2021-11-16T18:30", datetime.datetime(2021, 11, 16, 18, 30, tzinfo=UTC)),
    ("2021-11-16 18:30:05.25z", datetime.datetime(2021, 11, 16, 18, 30, 5, 250000, tzinfo=UTC)),
    ("2021-11-16T18:30-02:00", datetime.datetime(2021, 11, 16, 20, 30, tzinfo=UTC)),
])
def test_times_given(text, when):
    assert parse_time(text)[0] == when
    assert time_to(text) == (when + datetime.timedelta(days=1, microseconds=-1)
                             if len(text) == 10 else when)


def test_bad_time_and_failed_view(evidence, tmp_path):
    proc = quarlet("timeline", evidence, "-o", str(tmp_path / "t.csv"), "--from", "16/11/2021")
    assert proc.returncode == 2 and b"not an ISO 8601 date or time" in proc.stderr
    path = str(tmp_path / "SRUDB.dat")
    srum_db(path, records=list(shapes.network_usage_records(3000)))
    with open(path, "r+b") as f:  # the usage table's last leaves gone
        f.truncate(os.path.getsize(path) - 4 * 8192)
    proc = quarlet("timeline", path, "-o", str(tmp_path / "t.jsonl"), "--format", "jsonl")
    assert proc.returncode == 1
    assert proc.stderr.decode().startswith(
        "quarlet: error: %s: view network_usage: Error reading record: " % path)
    rows = read_timeline(str(tmp_path / "t.jsonl"), "jsonl")
    assert 0 < len(rows) < 3001  # the events before the damage are kept, sorted
    assert [r["timestamp"] for r in rows] == sorted(r["timestamp"] for r in rows)


# ---- runs ------------------------------------------------------------------------------


@pytest.mark.parametrize("size, fan_in", [(7, 3), (1000, 2), (1, 1000)])
def test_runs_merge_to_one_sorted_stream(tmp_path, size, fan_in):
    rng = random.Random(size)
    texts = ["plain", "with\nbreak", "cr\rhere", "ünï", ""]
    lines = [timeline.line(timeline.sort_key(rng.randrange(-5, 5) * 10 ** 12),
                           rng.choice(texts) + str(rng.randrange(3)))
             for _ in range(200)]
    paths = []
    for k in range(0, 200, 50):  # four producers, as four files would be
        runs = timeline.Runs(str(tmp_path), "p%d" % k, size)
        runs.add(lines[k:k + 50])
        runs.flush()
        paths += runs.paths
    assert len(paths) == 4 * -(-50 // size)
    got = [timeline.text_of(line).decode() for line in timeline.merged(paths, str(tmp_path),
                                                                        fan_in)]
    wanted = [line[timeline.KEY_WIDTH + 1:] if line[timeline.KEY_WIDTH] == "\t"
              else json.loads(line[timeline.KEY_WIDTH + 1:]) + "\n" for line in sorted(lines)]
    assert got == wanted


# ---- Dask --------------------------------------------------------------------------------


def test_dask_recipe_for_views_and_timeline(evidence, tmp_path):
    """The README's recipes: a view's partitions, one per file; the timeline
    as one partition per file and view, sorted by Dask."""
    dd = pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("distributed")
    pytest.importorskip("pandas")
    webcaches = [os.path.join(evidence, "users", u, "WebCacheV01.dat") for u in ("ann", "bob")]
    parts = []
    for path in databases(evidence):
        try:
            parts += [(path, view) for view in artifacts.open(path).event_views()]
        except ValueError:
            pass

    def view_rows(path):
        import pyarrow
        from quarlet import artifacts
        return pyarrow.table(artifacts.open(path).arrow("history_visits")).to_pandas()

    def view_events(part):
        import pyarrow
        from quarlet import artifacts
        path, view = part
        return pyarrow.table(artifacts.open(path).events_arrow(view)).to_pandas()

    with distributed.LocalCluster(processes=True, n_workers=2, threads_per_worker=1,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster):
        visits = dd.from_map(view_rows, webcaches)
        assert visits.npartitions == 2
        assert sorted(visits["url"].compute()) == sorted(
            r["url"] for p in webcaches for r in artifacts.open(p).rows("history_visits"))
        events = dd.from_map(view_events, parts)
        assert events.npartitions == len(parts)
        ordered = events.sort_values("datetime").compute()
    assert ordered["datetime"].is_monotonic_increasing
    got = collections.Counter(zip(ordered["source_file"], ordered["view"], ordered["source_key"],
                                  ordered["timestamp_desc"], ordered["datetime"]))
    assert got == collections.Counter((e["source_file"], e["view"], e["source_key"],
                                       e["timestamp_desc"], e["datetime"])
                                      for e in library_events(evidence))


# ---- real samples ------------------------------------------------------------------------


@pytest.mark.skipif(not os.path.isdir(SAMPLES), reason="samples not present")
def test_samples_timeline(tmp_path):
    """Every artefact sample: the timeline holds exactly the library's
    events, sorted; SRUM windows end on whole minutes."""
    out = str(tmp_path / "t.jsonl")
    paths = []
    for path in databases(SAMPLES):
        try:
            artifacts.open(path)
            paths.append(path)
        except (OSError, ValueError):
            continue
    proc = quarlet("timeline", *paths, "-o", out, "--format", "jsonl", "-j", "2")
    assert proc.returncode == 0, proc.stderr
    rows = read_timeline(out, "jsonl")
    assert [r["timestamp"] for r in rows] == sorted(r["timestamp"] for r in rows)
    assert collections.Counter(map(identity, rows)) == collections.Counter(
        map(identity, library_events(SAMPLES)))
    kinds = {r["artifact"] for r in rows}
    assert {"srum", "ual", "ual-identity", "webcache", "windows-search"} <= kinds
    windows = [r for r in rows if r["timestamp_desc"] == "SRUM network usage, end of the hour"]
    assert windows and all(r["timestamp"] % 60000000 == 0 for r in windows)
