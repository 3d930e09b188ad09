"""A whole evidence folder at once: `quarlet triage`, info, check and
recover over folders, the manifest of output folders and the names of the
folders the sources are written into."""

import datetime
import hashlib
import json
import os
import shutil
import subprocess
import sys

import pytest

import esebuild as eb
import shapes
from quarlet import EseDatabase

SAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "samples")
WEBCACHE = "AppData/Local/Microsoft/Windows/WebCache/WebCacheV01.dat"
SRUM = "Windows/System32/sru/SRUDB.dat"
UAL = "Windows/System32/LogFiles/Sum/Current.mdb"
BITS = "ProgramData/Microsoft/Network/Downloader/qmgr.db"


def run(*args):
    return subprocess.run([sys.executable, "-m", "quarlet", *args], capture_output=True,
                          timeout=300)


def damage_a_tree(path):
    """Flips bytes in the middle of the root page of the largest data tree:
    its checksum fails where the walk reads it."""
    report = EseDatabase(path).check()
    tree = max((t for t in report["trees"] if t["role"] == "data"), key=lambda t: t["pages"])
    page_size = EseDatabase(path).page_size
    offset = (tree["root"] + 1) * page_size + page_size // 2
    with open(path, "r+b") as f:
        f.seek(offset)
        old = f.read(4)
        f.seek(offset)
        f.write(bytes(b ^ 0xFF for b in old))
    return 'data tree of "%s"' % tree["table"]


def dirty(required):
    return eb.Header(state=eb.STATE_DIRTY_SHUTDOWN, required_logs=required)


def built_collection(root):
    """Databases made by the builder: SRUM (dirty, every log beside it), two
    users' WebCache, a dirty file whose logs are missing, a damaged copy."""
    def write(rel, tables, **kwargs):
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        eb.Database(tables, **kwargs).write(str(path))
        return str(path)

    generic = [eb.Table("t", [eb.Column("s", eb.T_TEXT, codepage=1200)],
                        [("text %d" % i,) for i in range(3000)])]
    write(SRUM, [shapes.srum_id_map(), eb.Table(shapes.NETWORK_USAGE,
                                                shapes.network_usage_columns(),
                                                shapes.network_usage_records(50))],
          header=dirty((0x4E, 0x51)))
    for name in ["SRU.chk", "SRU.log", "SRUres00001.jrs"] + \
            ["SRU%05X.log" % g for g in range(0x4E, 0x52)]:
        (root / SRUM).parent.joinpath(name).write_bytes(b"")
    webcache = [shapes.webcache_containers([(1, "History", "L", shapes.WEBCACHE_USER_DIR, "")])]
    for user in ("alice", "bob"):
        write("Users/%s/%s" % (user, WEBCACHE), webcache,
              header=eb.Header(state=eb.STATE_CLEAN_SHUTDOWN))
    write(UAL, generic, header=dirty((1, 2)))
    (root / UAL).parent.joinpath("SUM00001.log").write_bytes(b"")  # 2 is missing
    write("Users/bob/copy/WebCacheV01.dat", generic, page_size=16384,
          header=eb.Header(state=eb.STATE_CLEAN_SHUTDOWN))
    return {SRUM: ("srum", "dirty shutdown", ["SRU%05X.log" % g for g in range(0x4E, 0x52)],
                   [], "sound"),
            "Users/alice/" + WEBCACHE: ("webcache", "clean shutdown", [], [], "sound"),
            "Users/bob/" + WEBCACHE: ("webcache", "clean shutdown", [], [], "sound"),
            UAL: (None, "dirty shutdown", ["SUM00001.log"], [[2, 2]], "sound"),
            "Users/bob/copy/WebCacheV01.dat": (None, "clean shutdown", [], [], "damaged")}


def sample_collection(root):
    """The same layout from the real samples."""
    if not os.path.isdir(SAMPLES):
        pytest.skip("samples absent")

    def copy(name, rel):
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(os.path.join(SAMPLES, name), str(path))

    copy("srum-w11-clean.dat", SRUM)
    for user in ("alice", "bob"):
        copy("webcache-w10-2023-32k.dat", "Users/%s/%s" % (user, WEBCACHE))
    copy("ual-current-w2012r2-dirty.mdb", UAL)  # needs generation 1
    for name in ("SUM.chk", "SUM.log", "SUM00001.log"):
        (root / UAL).parent.joinpath(name).write_bytes(b"")
    copy("qmgr-rev300-16k.db", BITS)  # needs 0x17: no logs beside it
    copy("srum-w10-belka-clean.dat", "Users/bob/copy/WebCacheV01.dat")
    return {SRUM: ("srum", "clean shutdown", [], [], "sound"),
            "Users/alice/" + WEBCACHE: ("webcache", "clean shutdown", [], [], "sound"),
            "Users/bob/" + WEBCACHE: ("webcache", "clean shutdown", [], [], "sound"),
            UAL: ("ual", "dirty shutdown", ["SUM00001.log"], [], "sound"),
            BITS: ("bits", "dirty shutdown", [], [[0x17, 0x17]], "sound"),
            "Users/bob/copy/WebCacheV01.dat": ("srum", "clean shutdown", [], [], "damaged")}


@pytest.fixture(params=["built", "samples"])
def collection(request, tmp_path):
    """A folder laid out like a triage collection, with a file that is no
    database and a symbolic link back to its root; the expected triage of
    each database by its path below the root."""
    root = tmp_path / "case"
    expected = (built_collection if request.param == "built" else sample_collection)(root)
    damaged = damage_a_tree(str(root / "Users/bob/copy/WebCacheV01.dat"))
    (root / "Users" / "notes.txt").write_text("not a database " * 100)
    os.symlink(str(root), str(root / "Users" / "alice" / "loop"))
    return root, expected, damaged


def test_triage_lists_every_database_once(collection, tmp_path):
    root, expected, damaged = collection
    proc = run("triage", "--json", "-j", "2", str(root))
    assert proc.returncode == 3, proc.stderr  # damaged, and logs missing
    records = [json.loads(line) for line in proc.stdout.decode().splitlines()]
    got = {os.path.relpath(r["path"], str(root)): r for r in records}
    assert len(records) == len(got) == len(expected)
    for rel, (kind, state, present, missing, verdict) in expected.items():
        r = got[rel]
        with open(str(root / rel), "rb") as f:
            data = f.read()
        assert (r["kind"], r["state"], r["logs_present"], r["logs_missing"], r["verdict"]) == \
            (kind, state, present, missing, verdict), rel
        assert (r["size"], r["sha256"]) == (len(data), hashlib.sha256(data).hexdigest())
        assert r["damage"] == ([damaged] if verdict == "damaged" else [])
        if verdict == "sound":
            db = EseDatabase(str(root / rel))
            assert r["tables"] == len(db.get_tables())
            assert r["records"] == sum(sum(1 for _ in db.iter_table(t)) for t in db.get_tables())
            assert r["deleted"] == sum(1 for _ in db.recover())

    table = run("triage", str(root))
    lines = table.stdout.decode().splitlines()
    assert table.returncode == 3 and lines[0].split()[:3] == ["PATH", "SIZE", "KIND"]
    assert sorted(line.split()[0] for line in lines[1:]) == sorted(r["path"] for r in records)
    assert any(line.endswith("DAMAGED: " + damaged) for line in lines)

    # Sound and clean alone: 0; with a copy that cannot be opened: 1.
    sound = [str(root / rel) for rel, e in expected.items() if e[4] == "sound" and not e[3]]
    assert run("triage", *sound).returncode == 0
    broken = tmp_path / "broken.dat"
    broken.write_bytes((root / SRUM).read_bytes()[:3000])
    proc = run("triage", "--json", str(root), str(broken))
    assert proc.returncode == 1
    last = json.loads(proc.stdout.decode().splitlines()[-1])
    assert last["verdict"] == "failed" and last["error"].startswith("Failed to open")
    assert proc.stderr.decode().startswith("quarlet: error: %s: " % broken)


@pytest.mark.parametrize("command", [["export", "-o", "OUT"], ["artifacts", "-o", "OUT"],
                                     ["recover", "--out", "OUT"]])
def test_manifest_names_every_source(collection, tmp_path, command):
    root, expected, _ = collection
    out = tmp_path / "out"
    before = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    args = [str(out) if a == "OUT" else a for a in command] + ["-j", "2", str(root)]
    proc = run(*args)
    assert proc.returncode == 0, proc.stderr
    manifest = json.loads((out / "manifest.json").read_text())
    assert manifest["command_line"] == ["quarlet"] + args
    assert datetime.datetime.fromisoformat(manifest["time"]) >= before
    sources = {os.path.relpath(s["path"], str(root)): s for s in manifest["sources"]}
    assert set(sources) == set(expected)
    for rel, source in sources.items():
        data = (root / rel).read_bytes()
        assert (source["size"], source["sha256"]) == (len(data), hashlib.sha256(data).hexdigest())
        assert (source["kind"], source["state"]) == expected[rel][:2]
        if source["files"] or command[0] != "artifacts":  # no views: no folder
            assert source["output"] == rel.replace("/", "_")
        for f in source["files"]:
            lines = (out / f["path"]).read_bytes().count(b"\n")
            assert f["path"].startswith(source["output"] + "/") and f["rows"] == lines
    assert sum(len(s["files"]) for s in sources.values()) == \
        sum(len(files) for _, _, files in os.walk(str(out))) - 1
    # Two users' files of one name: folders that say whose they are.
    assert {"Users_alice_" + WEBCACHE.replace("/", "_"),
            "Users_bob_" + WEBCACHE.replace("/", "_")} <= set(os.listdir(str(out)))


def test_info_check_and_recover_over_a_folder(collection, tmp_path):
    root, expected, damaged = collection
    broken = root / "Users" / "broken.dat"
    broken.write_bytes((root / SRUM).read_bytes()[:3000])
    paths = sorted(str(root / rel) for rel in expected)
    for command in ("info", "check"):
        proc = run(command, str(root))
        assert proc.returncode == 1  # the broken copy; the others are all given
        assert proc.stderr.decode().startswith("quarlet: error: %s: Failed to open" % broken)
        heads = [line for line in proc.stdout.decode().splitlines() if line.startswith("==> ")]
        assert sorted(heads) == ["==> %s <==" % p for p in paths]
    broken.unlink()
    proc = run("check", "--json", str(root))
    assert proc.returncode == 3
    reports = {json.loads(line)["path"]: json.loads(line) for line in proc.stdout.splitlines()}
    assert sorted(reports) == paths
    assert reports[paths[0]] == dict(EseDatabase(paths[0]).check(), path=paths[0])
    assert run("check", *[p for p in paths if "copy" not in p]).returncode == 0

    proc = run("recover", str(root))
    assert proc.returncode == 0, proc.stderr
    items = [json.loads(line) for line in proc.stdout.splitlines()]
    for p in paths:
        mine = [dict((k, v) for k, v in item.items() if k != "path")
                for item in items if item["path"] == p]
        alone = run("recover", p)
        assert mine == [json.loads(line) for line in alone.stdout.splitlines()]


@pytest.mark.parametrize("files, low, high, present, missing", [
    (["SRU.chk", "SRU.log"] + ["SRU%05X.log" % g for g in range(0x4E, 0x52)], 0x51, 0x51,
     ["SRU00051.log"], []),
    (["edb.chk", "edb.log"], 1, 1, ["edb.log"], []),  # the newest log holds it
    (["edb.chk", "EDB.LOG", "edb00001.log"], 1, 2, ["edb00001.log", "EDB.LOG"], []),
    (["SRU.chk", "SRU0004E.log", "SRU00050.log"], 0x4E, 0x51,
     ["SRU0004E.log", "SRU00050.log"], [[0x4F, 0x4F], [0x51, 0x51]]),
    (["V01.chk", "V0100000009.log"], 9, 9, ["V0100000009.log"], []),  # long log names
    (["edb.chk", "edb.log", "edbtmp.log", "edb00002.log"], 1, 3,
     ["edb00002.log", "edb.log"], [[1, 1]]),  # edbtmp.log is no log of the set
    (["SRU00051.log"], 0x51, 0x51, ["SRU00051.log"], []),  # no checkpoint
    ([], 1, 0xFFFFFFFF, [], [[1, 0xFFFFFFFF]]),  # a range that cannot be listed
])
def test_logs_beside_a_dirty_database(tmp_path, files, low, high, present, missing):
    from quarlet.cli import triage
    for name in files + ["db.dat"]:
        (tmp_path / name).write_bytes(b"")
    assert triage.needed_logs(str(tmp_path / "db.dat"), low, high) == (present, missing)


@pytest.mark.parametrize("found, names", [
    ([("case/Users/alice/W.dat", "case"), ("case/Users/bob/W.dat", "case")],
     ["Users_alice_W.dat", "Users_bob_W.dat"]),
    ([("SRUDB.dat", None)], ["SRUDB.dat"]),  # a file named directly: its name
    ([("a/W.dat", None), ("b/W.dat", None), ("/x/c/W.dat", None)],
     ["a_W.dat", "b_W.dat", "c_W.dat"]),
    ([("h1/sru/S.dat", "h1"), ("h2/sru/S.dat", "h2")], ["h1_sru_S.dat", "h2_sru_S.dat"]),
    ([("h/S.dat", "h"), ("h/S.dat", None)], ["h_S.dat", "h_S.dat_2"]),  # as far as it goes
    ([("e/manifest.json", "e")], ["manifest.json_2"]),
])
def test_output_folder_names(found, names):
    from quarlet.cli import files
    got = files.source_folder_names([files.Found(p, r) for p, r in found],
                                    reserved=["manifest.json"])
    assert got == names


def test_manifest_is_replaced_never_followed(tmp_path):
    from quarlet.cli import manifest
    target = tmp_path / "target"
    target.write_text("keep")
    os.symlink(str(target), str(tmp_path / "manifest.json"))
    source = tmp_path / "src.dat"
    source.write_bytes(b"x" * 5000)
    m = manifest.Manifest(str(tmp_path), ["quarlet", "export"])
    s = m.add_source(str(source), kind=None, state=None)
    s.add_file(str(tmp_path / "d" / "t.jsonl"), 3)
    m.add_source(str(tmp_path / "missing"), kind=None, state=None)
    written = m.write()
    assert target.read_text() == "keep" and not os.path.islink(str(written))
    data = json.loads(written.read_text())
    assert data["sources"][0]["sha256"] == hashlib.sha256(b"x" * 5000).hexdigest()
    assert data["sources"][0]["files"] == [{"path": "d/t.jsonl", "rows": 3}]
    assert data["sources"][1]["sha256"] is None and "No such file" in data["sources"][1]["error"]
    assert sorted(os.listdir(str(tmp_path))) == ["manifest.json", "src.dat", "target"]


@pytest.mark.parametrize("name, data, rows", [
    ("t.jsonl", b'{"a":"x\\ny"}\n{"a":2}\n', 2),
    ("t.csv", b'a,b\r\n"x\r\ny","say ""hi""\n"\r\n1,2\r\n', 2),
    ("t.csv", b'a\r\n' + b'"' + b'\n' * (1 << 20) + b'"\r\n3\r\n', 2),  # across reads
    ("t.csv", b"a\r\n", 0),
    ("t.txt", b"x\n", None),
])
def test_rows_of_files_written(tmp_path, name, data, rows):
    from quarlet.cli import manifest
    (tmp_path / name).write_bytes(data)
    assert manifest.count_rows(str(tmp_path / name)) == rows
