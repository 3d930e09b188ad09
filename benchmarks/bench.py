"""Throughput and peak-memory benchmarks of quarlet on large built databases.

Builds its databases once with the test builder (cached in benchmarks/cache/,
several builds in parallel), then runs every measurement in a fresh
subprocess (so peak resident memory is per measurement) several times and
reports medians as a table:

  page sum                    the machine's own limit: one pass over every page
                              of the mapped file (a plain byte sum, page_sum.c)
  open / get_tables           open the 500-table database (>= 1 GiB), list tables
  read_table                  records/s and MB/s of table data (the bytes of the
                              table's data-tree pages, plus its long-value tree
                              pages for the long-value table), three shapes:
                              narrow (4 integers), typical (12 columns), long
                              values (8 KiB on average)
  file object                 read_table and arrow() with the database given as
                              an io.BufferedReader over a stream with no
                              descriptor (read on demand), beside the path:
                              speed and peak memory
  arrow                       records/s and MB/s of table data of arrow() taken
                              by pyarrow.table: raw, decoded, 2 of 12 columns;
                              and raw read batch by batch (RecordBatchReader,
                              batches dropped) for the peak memory of a stream;
                              each also as a share of the copy limit
  copy limit                  the least a columnar producer does: every page of
                              the mapped file copied once into fresh memory that
                              is kept, on two threads (page_sum.c --copy)
  export_all                  MB/s of JSON written and of database file read
  export csv                  the same for CSV, every table through export_table_csv
  export parquet              the same for Parquet (the command line's writer)
  export files                `quarlet export` of 200 copies of the SRUM samples
                              (when ../shared/samples is there), -j 1 and -j 2
  timeline files              `quarlet timeline` (CSV) of 200 copies of the SRUM and UAL
                              samples, -j 1 and -j 2, beside `quarlet artifacts -o`
                              (JSON Lines) of the same folder; and the timeline's
                              peak memory (-j 1) over 20 and 200 copies
  triage files                `quarlet triage` of 200 copies of the SRUM and UAL
                              samples (hash, kind, state, logs, check, recover
                              of each), -j 1 and -j 2
  carve slack / all           MB/s of pages scanned (a needle that never matches,
                              so every page is scanned)
  check                       MB/s of pages whose checksums the integrity pass
                              verifies
  recover                     MB/s of database file searched by recover() over
                              every table, every source
  srum view                   rows/s of the SRUM network usage view (ids resolved
                              through a 10,000-entry id map, times, interfaces)
                              beside iter_table(decode=True) over the same table,
                              and of the view's arrow() taken by pyarrow.table
  search view                 rows/s of the Windows Search files view beside
                              iter_table(decode=True) over the columns it reads
  ntds view                   rows/s of the Active Directory users and objects
                              views (distinguished names, SIDs, times, group
                              links) beside iter_table(decode=True) over the
                              columns each reads; the open (schema and the
                              DNT -> name map, one pass) timed apart, and the
                              map's bytes per object
  shape                       arrow() taken by pyarrow.table beside read_table
                              on the table shapes of real files: 3 rows, 16 rows
                              x 65,000 tagged columns (each set in one row), 600
                              columns x 1,000 rows, the typical table (100,000
                              rows); the best time of one call, calls repeated
                              in one process

Databases (each >= 1 GiB):
  big-8k, big-32k   narrow (1,000,000 records), typical (1,000,000 records) and
                    blobs (100,000 long values, 8 KiB average), 8 / 32 KiB pages
  tables-500        500 typical tables of 1,000 records and a long-value filler
  srum-1m           a SRUM-shaped database: 1,000,000 network usage rows and an
                    id map of 10,000 entries
  search-200k       a Windows Search property store: 200,000 items, 600 property
                    columns (Long Text, Long Binary, Binary, Unsigned long ...),
                    about 25 set per row (not >= 1 GiB)
  ntds-500k         an Active Directory datatable of 500,000 objects and 1,300
                    attribute columns (about 25 set per account), schema rows
                    naming every column, and a link_table of 499,849 member
                    links (not >= 1 GiB)
  shapes            the tables of the shape rows, 32 KiB pages (not >= 1 GiB)

Usage: python3 benchmarks/bench.py [--runs N] [--quick] [--only NAME ...]
       [--jobs N] [--json FILE] [--databases NAME ...]
"""

import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
CACHE = os.path.join(HERE, "cache")
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from shapes import (NETWORK_USAGE, network_usage_columns, network_usage_records,  # noqa: E402
                    ntds_accounts, ntds_links, ntds_tables, search_store, srum_id_map,
                    typical_columns, typical_records)

# A needle of printable text that occurs nowhere in the databases: every page
# is scanned and every run found is checked, but no hit list is built.
NO_HIT_NEEDLE = "~no-such-text~"


# ---------------------------------------------------------------- databases

def narrow_columns(eb):
    return [eb.Column(c, eb.T_LONG) for c in "abcd"]


def narrow_records(n):
    for i in range(n):
        yield (i, i * 3, i & 0xFFFF, -i)


def blob_columns(eb):
    return [eb.Column("id", eb.T_LONG), eb.Column("data", eb.T_LONG_BINARY)]


def lv_records(eb, n, size):
    # Lengths size-255 .. size+256: an average of `size` bytes.
    blob = bytes(range(256)) * (size // 256 + 2)
    for i in range(n):
        yield (i, eb.LongValue(blob[: size + 256 - (i % 512)]))


def make_database(name, scale):
    import esebuild as eb

    def big(page_size):
        return eb.Database(
            [eb.Table("narrow", narrow_columns(eb), narrow_records(1_000_000 // scale)),
             eb.Table("typical", typical_columns(), typical_records(1_000_000 // scale)),
             eb.Table("blobs", blob_columns(eb), lv_records(eb, 100_000 // scale, 8192))],
            page_size=page_size)

    if name == "big-8k":
        return big(8192)
    if name == "big-32k":
        return big(32768)
    if name == "srum-1m":
        apps = 10_000 - 8  # with the 8 fixed entries: 10,000
        return eb.Database(
            [srum_id_map(apps),
             eb.Table(NETWORK_USAGE, network_usage_columns(),
                      network_usage_records(1_000_000 // scale, apps))], page_size=32768)
    if name == "search-200k":
        # 600 columns: WorkID, the 16 properties the files view reads, 583 others.
        return eb.Database([search_store(filler=583, n=200_000 // scale)], page_size=32768)
    if name == "ntds-500k":
        # 1,300 attribute columns: the 35 of the schema shape and 1,265 others.
        n = 500_000 // scale
        return eb.Database(ntds_tables(ntds_accounts(n, filler=1265), ntds_links(n),
                                       filler=1265), page_size=8192)
    if name == "shapes":
        # 65,000 tagged columns, each set in one of 16 records, as a custom
        # table of a real file has them.
        wide = [eb.Column("Id", eb.T_LONG, id=1)] + [
            eb.Column("Column%d" % i, eb.T_UNSIGNED_SHORT, id=256 + i) for i in range(WIDE_COLUMNS)]

        def wide_records():
            for r in range(16):
                row = {"Id": r}
                row.update(("Column%d" % i, i & 0xFFFF) for i in range(r, WIDE_COLUMNS, 16))
                yield row

        return eb.Database(
            [eb.Table("tiny", typical_columns(), typical_records(3)),
             eb.Table("wide", wide, wide_records()),
             search_store(filler=583, n=1000),
             eb.Table("typical", typical_columns(), typical_records(100_000 // scale))],
            page_size=32768)
    if name == "tables-500":
        return eb.Database(
            [eb.Table("table%03d" % t, typical_columns(), typical_records(1000))
             for t in range(500)]
            + [eb.Table("filler", blob_columns(eb), lv_records(eb, 112_000 // scale, 8192))],
            page_size=8192)
    raise KeyError(name)


WIDE_COLUMNS = 64_999

SHAPES = (("3 rows", "tiny"), ("16 x 65,000 tagged", "wide"),
          ("600 cols x 1,000", "SystemIndex_PropertyStore"), ("typical 100,000", "typical"))

DATABASES = ("big-8k", "big-32k", "tables-500", "srum-1m", "search-200k", "ntds-500k", "shapes")


def db_path(name, quick):
    return os.path.join(CACHE, "%s%s.edb" % (name, "-quick" if quick else ""))


def build_one(name, quick):
    """Builds one database and its sidecar (page counts per table)."""
    path = db_path(name, quick)
    t0 = time.time()
    db = make_database(name, 10 if quick else 1)
    layout = db.write(path + ".tmp")
    ps = db.format.page_size
    side = {"page_size": ps, "tables": {}}
    for tl in layout.tables:
        side["tables"][tl.name] = {
            "data_bytes": len(tl.tree.pages) * ps if tl.tree else 0,
            "lv_bytes": len(tl.lv.pages) * ps if tl.lv else 0,
        }
    with open(path + ".json", "w") as f:
        json.dump(side, f)
    os.replace(path + ".tmp", path)
    return "built %s: %.0f MB in %.1fs" % (path, os.path.getsize(path) / 1e6, time.time() - t0)


def build_all(quick, jobs, names=DATABASES):
    os.makedirs(CACHE, exist_ok=True)
    todo = [n for n in names
            if not (os.path.exists(db_path(n, quick)) and os.path.exists(db_path(n, quick) + ".json"))]
    if todo:
        with ProcessPoolExecutor(max_workers=max(1, jobs)) as pool:
            for msg in pool.map(build_one, todo, [quick] * len(todo)):
                print(msg, file=sys.stderr, flush=True)
    return {n: db_path(n, quick) for n in names}


def table_data_bytes(path, table, with_lv):
    with open(path + ".json") as f:
        t = json.load(f)["tables"][table]
    return t["data_bytes"] + (t["lv_bytes"] if with_lv else 0)


# ------------------------------------------------------------- measurements

CHILD = r"""
import json, os, resource, sys, time, tempfile, shutil
kind, path, arg = sys.argv[1], sys.argv[2], sys.argv[3]
def rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
def cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime
def user():
    return resource.getrusage(resource.RUSAGE_SELF).ru_utime
out = {}
if kind in ("pagesum", "copylimit", "writelimit"):
    import subprocess
    cmd = ([arg, path] if kind == "pagesum" else [arg, "--copy", path, "2"]
           if kind == "copylimit" else [arg, "--write", path + ".wtest", sys.argv[4]])
    try:
        text = subprocess.check_output(cmd).split()
    finally:
        if kind == "writelimit" and os.path.exists(path + ".wtest"):
            os.remove(path + ".wtest")
    child = resource.getrusage(resource.RUSAGE_CHILDREN)
    out["seconds"] = float(text[0])
    out["cpu"] = child.ru_utime + child.ru_stime
    out["user"] = child.ru_utime
    out["bytes"] = int(text[1]) if kind == "writelimit" else os.path.getsize(path)
    out["base_mb"] = 0.0
    out["peak_mb"] = child.ru_maxrss / 1024.0
    print(json.dumps(out))
    sys.exit(0)
import io, quarlet
class NoDescriptor(io.RawIOBase):
    # A raw stream over the file that hides its descriptor, as a member of a
    # disk image or archive would be: the database reads it on demand.
    def __init__(self, path):
        self.raw = open(path, "rb", buffering=0)
    def readable(self): return True
    def seekable(self): return True
    def seek(self, offset, whence=0): return self.raw.seek(offset, whence)
    def tell(self): return self.raw.tell()
    def readinto(self, b): return self.raw.readinto(b)
base = rss_mb()
c0 = cpu(); u0 = user()
t0 = time.perf_counter()
if os.environ.get("BENCH_SOURCE") == "file":
    db = quarlet.EseDatabase(io.BufferedReader(NoDescriptor(path), 1 << 20))
else:
    db = quarlet.EseDatabase(path)
t_open = time.perf_counter() - t0
c_open = cpu() - c0; u_open = user() - u0
if kind == "open":
    t1 = time.perf_counter(); n = len(db.get_tables()); t2 = time.perf_counter()
    out.update(seconds=t_open, cpu=c_open, user=u_open, get_tables=t2 - t1, tables=n)
elif kind == "read":
    c0 = cpu(); u0 = user(); t0 = time.perf_counter()
    recs = db.read_table(arg)
    t1 = time.perf_counter(); c1 = cpu(); u1 = user()
    out.update(seconds=t1 - t0, cpu=c1 - c0, user=u1 - u0, records=len(recs))
elif kind == "arrow":
    import pyarrow
    # pyarrow.table imports pandas on its first call (to look for a data
    # frame): done here, so the figure is the stream's, not that import's.
    pyarrow.table({"x": [0]})
    mode = sys.argv[4]
    options = dict(decode=mode == "decoded")
    if mode == "cols2":
        options["columns"] = ["Id", "Message"] if arg == "typical" else ["id"]
    c0 = cpu(); u0 = user(); t0 = time.perf_counter()
    if mode == "stream":
        n = 0
        for batch in pyarrow.RecordBatchReader.from_stream(db.arrow(arg)):
            n += batch.num_rows
    else:
        n = pyarrow.table(db.arrow(arg, **options)).num_rows
    t1 = time.perf_counter(); c1 = cpu(); u1 = user()
    out.update(seconds=t1 - t0, cpu=c1 - c0, user=u1 - u0, records=n)
elif kind == "shape":
    import pyarrow
    pyarrow.table({"x": [0]})
    if sys.argv[4] == "arrow":
        call = lambda: pyarrow.table(db.arrow(arg)).num_rows
    else:
        call = lambda: len(db.read_table(arg))
    # The best of repeated calls, for at least half a second (at least 3).
    best = None
    c0 = cpu(); u0 = user(); start = time.perf_counter(); calls = 0
    while calls < 3 or time.perf_counter() - start < 0.5:
        t0 = time.perf_counter(); n = call(); t1 = time.perf_counter(); calls += 1
        best = t1 - t0 if best is None else min(best, t1 - t0)
    out.update(seconds=best, cpu=(cpu() - c0) / calls, user=(user() - u0) / calls, records=n)
elif kind == "srum":
    from quarlet import artifacts
    mode = sys.argv[4]
    if mode == "arrow":
        import pyarrow
        pyarrow.table({"x": [0]})
    c0 = cpu(); u0 = user(); t0 = time.perf_counter()
    n = 0
    if mode == "iter":
        for _ in db.iter_table(arg, decode=True):
            n += 1
    elif mode == "view":
        for _ in artifacts.open(db).rows("network_usage"):
            n += 1
    else:
        n = pyarrow.table(artifacts.open(db).arrow("network_usage")).num_rows
    t1 = time.perf_counter(); c1 = cpu(); u1 = user()
    out.update(seconds=t1 - t0, cpu=c1 - c0, user=u1 - u0, records=n)
elif kind in ("search", "ntds"):
    # A view's rows beside the decoded iteration of the columns it reads.
    from quarlet import artifacts
    t0 = time.perf_counter()
    art = artifacts.open(db)
    t_open = time.perf_counter() - t0
    view = art.view("files" if kind == "search" else arg)
    read = ([s for c in view.definition.columns for s in c.sources] if kind == "search"
            else list(view._decoded))
    c0 = cpu(); u0 = user(); t0 = time.perf_counter()
    n = 0
    if sys.argv[4] == "iter":
        for _ in db.iter_table(view.table, decode=True, columns=read):
            n += 1
    else:
        for _ in view.rows():
            n += 1
    t1 = time.perf_counter(); c1 = cpu(); u1 = user()
    out.update(seconds=t1 - t0, cpu=c1 - c0, user=u1 - u0, records=n, open_seconds=t_open,
               columns=len(read))
    if kind == "ntds":
        out.update(objects=len(art.names), names_bytes=art.names.nbytes())
elif kind == "export":
    d = tempfile.mkdtemp(dir=os.path.dirname(path))
    try:
        c0 = cpu(); u0 = user(); t0 = time.perf_counter()
        db.export_all(d)
        t1 = time.perf_counter(); c1 = cpu(); u1 = user()
        out.update(seconds=t1 - t0, cpu=c1 - c0, user=u1 - u0,
                   json_bytes=sum(os.path.getsize(os.path.join(d, f)) for f in os.listdir(d)))
    finally:
        shutil.rmtree(d)
elif kind in ("exportcsv", "exportparquet"):
    d = tempfile.mkdtemp(dir=os.path.dirname(path))
    try:
        if kind == "exportparquet":
            from quarlet.cli import export as cli_export
            job = cli_export.ExportJob("parquet", False, False, [])
        c0 = cpu(); u0 = user(); t0 = time.perf_counter()
        if kind == "exportcsv":
            for i, t in enumerate(db.get_tables()):
                db.export_table_csv(t, os.path.join(d, "%%d.csv" %% i))
        else:
            cli_export.export_database(path, d, job)
        t1 = time.perf_counter(); c1 = cpu(); u1 = user()
        out.update(seconds=t1 - t0, cpu=c1 - c0, user=u1 - u0,
                   json_bytes=sum(os.path.getsize(os.path.join(d, f)) for f in os.listdir(d)))
    finally:
        shutil.rmtree(d)
elif kind == "carve":
    c0 = cpu(); u0 = user(); t0 = time.perf_counter()
    hits = db.carve_utf16le_strings_scoped(arg, needle=%r, min_chars=6, max_hits=1000)
    t1 = time.perf_counter(); c1 = cpu(); u1 = user()
    out.update(seconds=t1 - t0, cpu=c1 - c0, user=u1 - u0, hits=len(hits),
               bytes=db.total_pages * db.page_size)
elif kind == "check":
    c0 = cpu(); u0 = user(); t0 = time.perf_counter()
    report = db.check()
    t1 = time.perf_counter(); c1 = cpu(); u1 = user()
    out.update(seconds=t1 - t0, cpu=c1 - c0, user=u1 - u0, bad=report["pages"]["bad"],
               bytes=db.total_pages * db.page_size)
elif kind == "recover":
    c0 = cpu(); u0 = user(); t0 = time.perf_counter()
    items = sum(1 for _ in db.recover())
    t1 = time.perf_counter(); c1 = cpu(); u1 = user()
    out.update(seconds=t1 - t0, cpu=c1 - c0, user=u1 - u0, items=items,
               bytes=os.path.getsize(path))
out["peak_mb"] = rss_mb()
out["base_mb"] = base
print(json.dumps(out))
""" % NO_HIT_NEEDLE


def run_child(kind, path, arg="", *more, source="path"):
    # Run from benchmarks/: from the checkout's root, "python -c" would import
    # the package's source folder, which lacks the compiled core. source
    # "file": the database is given as a file object without a descriptor.
    env = dict(os.environ, BENCH_SOURCE=source)
    res = subprocess.run([sys.executable, "-c", CHILD, kind, path, arg] + [str(m) for m in more],
                         capture_output=True, text=True, cwd=HERE, env=env)
    if res.returncode != 0:
        raise RuntimeError("%s %s failed: %s" % (kind, path, res.stderr[-2000:]))
    return json.loads(res.stdout.strip().splitlines()[-1])


def run_export_files(folder, jobs):
    """`quarlet export -j JOBS` of every database in `folder`, timed from the
    command's start (its interpreter's start included) to its end.

    The output goes to memory (/dev/shm) where there is one: on ext4, files
    created shortly after thousands were deleted (the previous run's output)
    cost the file system a search past every recently freed inode, and that
    search, not the export, then takes most of the time."""
    out = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else CACHE)
    try:
        cmd = [sys.executable, "-c", "import sys, quarlet.cli; sys.exit(quarlet.cli.main())",
               "export", "-j", str(jobs), "-o", out, folder]
        t0 = time.perf_counter()
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, cwd=HERE)
        seconds = time.perf_counter() - t0
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
    finally:
        shutil.rmtree(out)
    return {"seconds": seconds, "user": after.ru_utime - before.ru_utime,
            "cpu": after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime,
            "peak_mb": 0.0, "base_mb": 0.0}  # children of the benchmark: no own peak


# A command line run in its own interpreter: its status and its peak
# resident memory (its own, or its largest worker's) above the interpreter's
# once the command line is imported.
CLI_CHILD = r"""
import json, resource, sys
import quarlet.cli
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
status = quarlet.cli.main(sys.argv[1:])
peak = max(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss,
           resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss) / 1024.0
print(json.dumps({"status": status, "peak_mb": peak, "base_mb": base}))
"""


def run_cli(args, output_file=None):
    """`quarlet ARGS -o OUT` (OUT a fresh folder in memory, or a file
    `output_file` in it), timed from the interpreter's start to its end."""
    out = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else CACHE)
    try:
        target = os.path.join(out, output_file) if output_file else out
        t0 = time.perf_counter()
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        res = subprocess.run([sys.executable, "-c", CLI_CHILD] + args + ["-o", target],
                             capture_output=True, text=True, cwd=HERE)
        seconds = time.perf_counter() - t0
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
    finally:
        shutil.rmtree(out)
    if res.returncode != 0:
        raise RuntimeError("quarlet %s failed: %s" % (" ".join(args), res.stderr[-2000:]))
    got = json.loads(res.stdout.strip().splitlines()[-1])
    return {"seconds": seconds, "user": after.ru_utime - before.ru_utime,
            "cpu": after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime,
            "peak_mb": got["peak_mb"], "base_mb": got["base_mb"]}
def run_triage_files(folder, jobs):
    """`quarlet triage -j JOBS` of every database in `folder`, timed from the
    command's start to its end (the table goes to /dev/null)."""
    cmd = [sys.executable, "-c", "import sys, quarlet.cli; sys.exit(quarlet.cli.main())",
           "triage", "-j", str(jobs), folder]
    t0 = time.perf_counter()
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    proc = subprocess.run(cmd, stdout=subprocess.DEVNULL, cwd=HERE)
    seconds = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if proc.returncode not in (0, 3):  # 3: dirty samples whose logs are absent
        raise RuntimeError("triage failed: %d" % proc.returncode)
    return {"seconds": seconds, "user": after.ru_utime - before.ru_utime,
            "cpu": after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime,
            "peak_mb": 0.0, "base_mb": 0.0}


def srum_copies(count=200, prefixes=("srum",)):
    """A folder of `count` copies of the samples whose names start with one
    of `prefixes` (cycling through them), or None when the samples are
    absent."""
    samples = os.path.join(HERE, "..", "..", "shared", "samples")
    names = sorted(n for n in os.listdir(samples) if n.startswith(tuple(prefixes))) \
        if os.path.isdir(samples) else []
    if not names:
        return None
    folder = os.path.join(CACHE, "%s-%d" % ("-".join(prefixes), count))
    if not os.path.isdir(folder):
        os.makedirs(folder + ".part", exist_ok=True)
        for i in range(count):
            name = names[i % len(names)]
            shutil.copyfile(os.path.join(samples, name),
                            os.path.join(folder + ".part", "%03d-%s" % (i, name)))
        os.rename(folder + ".part", folder)
    return folder


def median_runs(runs, fn):
    """Median wall seconds, median CPU seconds (user + system: what the work
    costs whatever else the machine runs), the largest peak RSS above the
    interpreter's baseline (mapped file pages included), the first run
    (with the median user-mode seconds added)."""
    return summarize([fn() for _ in range(runs)])


def summarize(results):
    """median_runs' figures of the given runs' results."""
    secs = statistics.median(r["seconds"] for r in results)
    cpu = statistics.median(r["cpu"] for r in results)
    peak = max(r["peak_mb"] - r["base_mb"] for r in results)
    first = dict(results[0], user_median=statistics.median(r["user"] for r in results))
    return secs, cpu, peak, first


def page_sum_tool():
    src = os.path.join(HERE, "page_sum.c")
    exe = os.path.join(CACHE, "page_sum")
    if not os.path.exists(exe) or os.path.getmtime(exe) < os.path.getmtime(src):
        # Vectorised for this machine, so the sum runs at the speed pages can
        # be brought in, not at the speed of a scalar loop.
        if subprocess.call(["cc", "-O3", "-march=native", "-pthread", "-o", exe, src]) != 0:
            subprocess.check_call(["cc", "-O2", "-pthread", "-o", exe, src])
    return exe


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--quick", action="store_true", help="databases 10x smaller")
    ap.add_argument("--only", nargs="*", default=None,
                    help="run only rows whose name contains one of these")
    ap.add_argument("--jobs", type=int, default=2, help="parallel database builds")
    ap.add_argument("--json", help="also write the rows to this file")
    ap.add_argument("--databases", nargs="*", default=list(DATABASES), choices=DATABASES,
                    help="build and measure only these databases")
    args = ap.parse_args()
    paths = build_all(args.quick, args.jobs, args.databases)
    rows = []
    limits = {}  # database -> page-sum bytes/s (wall, CPU)

    def want(name):
        if not any(db in name for db in args.databases) and any(
                db in name for db in DATABASES):
            return False
        return args.only is None or any(o in name for o in args.only)

    def row(name, res, fig, limit=None):
        """res: median_runs' result; fig(seconds) -> text; limit: (bytes the
        figure counts, the limit's bytes/s at wall and CPU) for the fraction."""
        secs, cpu, peak, first = res
        user = first["user_median"]
        frac = ""
        if limit is not None:
            amount, (lim_wall, lim_cpu) = limit
            frac = "%5.1f%% / %5.1f%%" % (100.0 * amount / secs / lim_wall,
                                          100.0 * amount / cpu / lim_cpu)
        rows.append({"name": name, "seconds": secs, "cpu": cpu, "user": user,
                     "wall": fig(secs), "by_cpu": fig(cpu), "fraction": frac, "peak_mb": peak})
        print("%-28s %7.3f s %7.3f s (%6.3f)  %-38s %-38s %-16s %7.1f" %
              (name, secs, cpu, user, fig(secs), fig(cpu), frac, peak), flush=True)

    print("load average at start: %.2f %.2f %.2f" % os.getloadavg(), flush=True)
    print("%-28s %9s %18s  %-38s %-38s %-16s %7s" % (
        "measurement", "wall", "cpu (user)", "figure (wall)", "figure (cpu)",
        "of limit w/cpu", "peak MB"))
    summer = page_sum_tool()
    for db in args.databases:
        s, c, p, r = median_runs(args.runs, lambda: run_child("pagesum", paths[db], summer))
        limits[db] = (r["bytes"] / s, r["bytes"] / max(c, 1e-9))
        if want("pagesum"):
            row("page sum %s" % db, (s, c, p, r),
                lambda t, r=r: "%.0f MB/s (%.0f MB)" % (r["bytes"] / t / 1e6, r["bytes"] / 1e6))
    if want("open") and "tables-500" in args.databases:
        s, c, p, r = median_runs(args.runs, lambda: run_child("open", paths["tables-500"]))
        # Opening reads the catalog, not the file: no fraction of the page sum.
        row("open tables-500 (%.0f MB)" % (os.path.getsize(paths["tables-500"]) / 1e6),
            (s, c, p, r),
            lambda t, r=r: "%.2f ms; get_tables %.2f ms (%d)" % (t * 1e3, r["get_tables"] * 1e3,
                                                                r["tables"]))
    for db, table in (("big-8k", "narrow"), ("big-8k", "typical"), ("big-8k", "blobs"),
                      ("big-32k", "narrow"), ("big-32k", "typical"), ("big-32k", "blobs")):
        name = "read_table %s/%s" % (db, table)
        if want(name):
            s, c, p, r = median_runs(args.runs, lambda: run_child("read", paths[db], table))
            nbytes = table_data_bytes(paths[db], table, table == "blobs")
            row(name, (s, c, p, r),
                lambda t, r=r, nbytes=nbytes: "%.0f rec/s, %.0f MB/s" % (r["records"] / t,
                                                                        nbytes / t / 1e6),
                (nbytes, limits[db]))
    # The same passes over a file object with no descriptor (read on demand
    # into a temporary file) beside the path; the stream's peak memory is
    # that of a source far larger than the resident budget.
    for db, table, kind, mode in (("big-8k", "typical", "read", ""),
                                  ("big-8k", "blobs", "read", ""),
                                  ("big-8k", "typical", "arrow", "raw"),
                                  ("big-8k", "typical", "arrow", "stream"),
                                  ("big-8k", "blobs", "arrow", "stream")):
        label = "read_table" if kind == "read" else "arrow %s" % mode
        name = "file object %s %s/%s" % (label, db, table)
        if not want(name) or db not in args.databases:
            continue
        nbytes = table_data_bytes(paths[db], table, table == "blobs")
        fig = (lambda t, r: "%.0f rec/s, %.0f MB/s" % (r["records"] / t, nbytes / t / 1e6))
        got = {}
        for source in ("path", "file"):
            res = median_runs(args.runs, lambda: run_child(kind, paths[db], table, mode,
                                                           source=source))
            got[source] = res
            row("%s %s %s/%s" % (source, label, db, table), res,
                lambda t, r=res[3]: fig(t, r))
        print("  file object vs path: %.0f%% of the speed (wall), peak %.0f MB vs %.0f MB "
              "(file %.0f MB)" % (100.0 * got["path"][0] / got["file"][0], got["file"][2],
                                  got["path"][2], os.path.getsize(paths[db]) / 1e6), flush=True)
    copy_limits = {}  # database -> bytes/s of the copy into fresh memory (wall)
    for db in ("big-8k", "big-32k"):
        name = "copy limit %s" % db
        if db in args.databases and (want(name) or want("arrow")):
            s, c, p, r = median_runs(args.runs, lambda: run_child("copylimit", paths[db], summer))
            copy_limits[db] = r["bytes"] / s
            row(name, (s, c, p, r), lambda t, r=r: "%.0f MB/s, 2 threads" % (r["bytes"] / t / 1e6),
                (r["bytes"], limits[db]))
    for db, table in (("big-8k", "typical"), ("big-8k", "blobs"), ("big-32k", "typical")):
        for mode in ("raw", "decoded", "cols2", "stream"):
            name = "arrow %s %s/%s" % (mode, db, table)
            if not want(name) or (table == "blobs" and mode in ("decoded", "cols2")):
                continue
            s, c, p, r = median_runs(args.runs, lambda: run_child("arrow", paths[db], table, mode))
            nbytes = table_data_bytes(paths[db], table, table == "blobs")
            row(name, (s, c, p, r),
                lambda t, r=r, nbytes=nbytes: "%.0f rec/s, %.0f MB/s" % (r["records"] / t,
                                                                        nbytes / t / 1e6),
                (nbytes, limits[db]))
            if db in copy_limits:
                print("  of the copy limit: %.1f%% (wall)" % (
                    100.0 * nbytes / s / copy_limits[db]), flush=True)
    for db in ("big-8k", "big-32k"):
        name = "export_all %s" % db
        if want(name):
            s, c, p, r = median_runs(args.runs, lambda: run_child("export", paths[db]))
            size = os.path.getsize(paths[db])
            row(name, (s, c, p, r),
                lambda t, r=r, size=size: "%.0f MB/s json, %.0f MB/s db" % (
                    r["json_bytes"] / t / 1e6, size / t / 1e6),
                (size, limits[db]))
            # The output's own limit: writing as many bytes in 1 MiB blocks.
            ws, wc, wp, wr = median_runs(args.runs, lambda: run_child(
                "writelimit", paths[db], summer, r["json_bytes"]))
            row("  write limit (%.0f MB)" % (r["json_bytes"] / 1e6), (ws, wc, wp, wr),
                lambda t, wr=wr: "%.0f MB/s" % (wr["bytes"] / t / 1e6))
            print("  export json vs write limit: %.1f%% (wall) / %.1f%% (cpu)" % (
                100.0 * ws / s, 100.0 * wc / c), flush=True)
        for fmt in ("csv", "parquet"):
            name = "export %s %s" % (fmt, db)
            if want(name):
                s, c, p, r = median_runs(args.runs, lambda: run_child("export" + fmt, paths[db]))
                size = os.path.getsize(paths[db])
                row(name, (s, c, p, r),
                    lambda t, r=r, size=size, fmt=fmt: "%.0f MB/s %s, %.0f MB/s db" % (
                        r["json_bytes"] / t / 1e6, fmt, size / t / 1e6),
                    (size, limits[db]))
        for scope in ("slack", "all"):
            name = "carve %s %s" % (scope, db)
            if want(name):
                s, c, p, r = median_runs(args.runs, lambda: run_child("carve", paths[db], scope))
                row(name, (s, c, p, r), lambda t, r=r: "%.0f MB/s" % (r["bytes"] / t / 1e6),
                    (r["bytes"], limits[db]))
        name = "recover %s" % db
        if want(name):
            s, c, p, r = median_runs(args.runs, lambda: run_child("recover", paths[db]))
            row(name, (s, c, p, r),
                lambda t, r=r: "%.0f MB/s, %d records" % (r["bytes"] / t / 1e6, r["items"]),
                (r["bytes"], limits[db]))
    # The SRUM view against the decoded iteration it stands on.
    if "srum-1m" in args.databases:
        for mode in ("iter", "view", "arrow"):
            name = "srum-1m %s network usage" % {"iter": "iter_table(decode=True)",
                                                 "view": "view rows", "arrow": "view arrow"}[mode]
            if want(name) or want("srum view"):
                s, c, p, r = median_runs(args.runs, lambda: run_child(
                    "srum", paths["srum-1m"], NETWORK_USAGE, mode))
                row(name, (s, c, p, r), lambda t, r=r: "%.0f rows/s" % (r["records"] / t))
    # The Windows Search files view against the decoded iteration of the
    # columns it reads.
    if "search-200k" in args.databases:
        for mode in ("iter", "view"):
            name = "search-200k %s" % {"iter": "iter_table(decode=True)",
                                       "view": "files view rows"}[mode]
            if want(name) or want("search view"):
                s, c, p, r = median_runs(args.runs, lambda: run_child(
                    "search", paths["search-200k"], "", mode))
                row(name, (s, c, p, r), lambda t, r=r: "%.0f rows/s" % (r["records"] / t))
    # The Active Directory users and objects views against the decoded
    # iteration of the columns each reads (the open, which reads the schema
    # and the DNT -> name map, is timed apart).
    if "ntds-500k" in args.databases:
        for view in ("users", "objects"):
            for mode in ("iter", "view"):
                name = "ntds-500k %s %s" % (view, {"iter": "iter_table(decode=True)",
                                                   "view": "view rows"}[mode])
                if want(name) or want("ntds view"):
                    s, c, p, r = median_runs(args.runs, lambda: run_child(
                        "ntds", paths["ntds-500k"], view, mode))
                    row(name, (s, c, p, r), lambda t, r=r: "%.0f rows/s (%d columns)" % (
                        r["records"] / t, r["columns"]))
                    if mode == "view":
                        print("  open (schema, names) %.2f s; name map %.1f MB, %.1f bytes "
                              "an object (%d objects)" % (
                                  r["open_seconds"], r["names_bytes"] / 1e6,
                                  r["names_bytes"] / max(1, r["objects"]), r["objects"]),
                              flush=True)
    # Table shapes: arrow() beside read_table in the same run.
    if "shapes" in args.databases:
        for label, table in SHAPES:
            for mode in ("arrow", "read_table"):
                name = "shape %s %s" % (label, mode)
                if want(name):
                    s, c, p, r = median_runs(args.runs, lambda: run_child(
                        "shape", paths["shapes"], table, mode))
                    row(name, (s, c, p, r), lambda t, r=r: "%.3f ms, %.0f rec/s" % (
                        t * 1e3, r["records"] / t))
    # Many files at once: 200 copies of the SRUM samples, one worker process
    # against two, in turns, so that both see the machine alike.
    if want("export files"):
        folder = srum_copies()
        if folder is None:
            print("export files: skipped (no samples)", flush=True)
        else:
            runs = {1: [], 2: []}
            for _ in range(args.runs):
                for jobs in runs:
                    runs[jobs].append(run_export_files(folder, jobs))
            for jobs, results in runs.items():
                row("export files -j %d (200 SRUM)" % jobs, summarize(results),
                    lambda t: "%.1f files/s" % (200 / t))
            print("  -j 2 / -j 1: %.2f" % (summarize(runs[2])[0] / summarize(runs[1])[0]),
                  flush=True)
    # The timeline of a folder against the artefact export of the same
    # folder, then its peak memory over ten times as many events.
    if want("timeline files"):
        folder = srum_copies(200, ("srum", "ual"))
        if folder is None:
            print("timeline files: skipped (no samples)", flush=True)
        else:
            commands = {"artifacts": (["artifacts"], None),
                        "timeline": (["timeline"], "timeline.csv")}
            runs = {(c, j): [] for j in (1, 2) for c in commands}
            for _ in range(args.runs):
                for (command, jobs), results in runs.items():
                    words, target = commands[command]
                    results.append(run_cli(words + ["-j", str(jobs), folder], target))
            for (command, jobs), results in runs.items():
                row("%s files -j %d (200 SRUM+UAL)" % (command, jobs), summarize(results),
                    lambda t: "%.1f files/s" % (200 / t))
            for jobs in (1, 2):
                art, tl = summarize(runs["artifacts", jobs]), summarize(runs["timeline", jobs])
                print("  timeline / artifacts -j %d: %.2f (wall) / %.2f (cpu)" % (
                    jobs, tl[0] / art[0], tl[1] / art[1]), flush=True)
            for count in (20, 200):
                some = srum_copies(count, ("srum", "ual"))
                res = median_runs(args.runs, lambda: run_cli(["timeline", "-j", "1", some],
                                                             "timeline.csv"))
                row("timeline memory -j 1 (%d files)" % count, res,
                    lambda t, count=count: "%.1f files/s" % (count / t))
    # Triage of 200 copies of the SRUM and UAL samples, -j 1 against -j 2.
    if want("triage files"):
        folder = srum_copies(prefixes=("srum", "ual"))
        if folder is None:
            print("triage files: skipped (no samples)", flush=True)
        else:
            size = sum(os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder))
            runs = {1: [], 2: []}
            for _ in range(args.runs):
                for jobs in runs:
                    runs[jobs].append(run_triage_files(folder, jobs))
            for jobs, results in runs.items():
                row("triage files -j %d (200 SRUM+UAL)" % jobs, summarize(results),
                    lambda t: "%.1f files/s, %.0f MB/s" % (200 / t, size / t / 1e6))
            print("  -j 2 / -j 1: %.2f" % (summarize(runs[2])[0] / summarize(runs[1])[0]),
                  flush=True)
    # The integrity check, on every database (tables-500: 1501 trees).
    for db in DATABASES:
        name = "check %s" % db
        if want(name):
            s, c, p, r = median_runs(args.runs, lambda: run_child("check", paths[db]))
            row(name, (s, c, p, r), lambda t, r=r: "%.0f MB/s" % (r["bytes"] / t / 1e6),
                (r["bytes"], limits[db]))
    print("load average at end: %.2f %.2f %.2f" % os.getloadavg(), flush=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"rows": rows, "limits": limits}, f, indent=1)


if __name__ == "__main__":
    main()
