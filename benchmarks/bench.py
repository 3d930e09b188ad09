"""Throughput and peak-memory benchmarks of quarlet on large built databases.

Builds its databases once with the test builder (cached in benchmarks/cache/),
then runs every measurement in a fresh subprocess (so peak resident memory is
per measurement) several times and reports medians as a table:

  open / get_tables           time to open (500-table database) and list tables
  read_table                  records/s and MB/s of table data, three table shapes
  export_all                  MB/s of JSON written and of database read
  carve slack / all           MB/s of pages scanned
  page sum                    the machine's own limit: one pass over every page
                              of the mapped file (a plain byte sum)

Usage: python3 benchmarks/bench.py [--runs N] [--quick] [--only NAME ...]
"""

import argparse
import json
import mmap
import os
import statistics
import subprocess
import sys
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
CACHE = os.path.join(HERE, "cache")
sys.path.insert(0, os.path.join(HERE, "..", "tests"))


# ---------------------------------------------------------------- databases

def narrow_records(n):
    for i in range(n):
        yield (i, i * 3, i & 0xFFFF, -i)


def typical_columns(eb):
    return [
        eb.Column("Id", eb.T_LONG),
        eb.Column("AppId", eb.T_UNSIGNED_LONG),
        eb.Column("UserId", eb.T_LONG),
        eb.Column("Flags", eb.T_UNSIGNED_SHORT),
        eb.Column("Bytes", eb.T_LONG_LONG),
        eb.Column("Cost", eb.T_CURRENCY),
        eb.Column("Ratio", eb.T_DOUBLE),
        eb.Column("When", eb.T_DATETIME),
        eb.Column("Session", eb.T_GUID),
        eb.Column("Source", eb.T_TEXT, codepage=1252),
        eb.Column("Message", eb.T_TEXT, codepage=1200),
        eb.Column("Extra", eb.T_LONG_BINARY),
    ]


def typical_records(n):
    guid = uuid.UUID(int=0x0123456789ABCDEF0123456789ABCDEF).bytes_le
    for i in range(n):
        yield (i, i % 977, i % 31, i & 0xFF, i * 4096, i * 10000, i / 7.0,
               0x01D9000000000000 + i, guid, "Source-%d" % (i % 100),
               "Message number %d for the benchmark" % i, b"\x01\x02\x03\x04" * (i % 8))


def lv_records(eb, n, size):
    blob = bytes(range(256)) * (size // 256 + 1)
    for i in range(n):
        yield (i, eb.LongValue(blob[: size - (i % 512)]))


def build_all(quick):
    import esebuild as eb

    scale = 10 if quick else 1
    specs = {
        "typical-8k": lambda: eb.Database(
            [eb.Table("narrow", [eb.Column("a", eb.T_LONG), eb.Column("b", eb.T_LONG),
                                 eb.Column("c", eb.T_LONG), eb.Column("d", eb.T_LONG)],
                      narrow_records(1_000_000 // scale)),
             eb.Table("typical", typical_columns(eb), typical_records(1_000_000 // scale))],
            page_size=8192),
        "big-8k": lambda: eb.Database(
            [eb.Table("typical", typical_columns(eb), typical_records(4_000_000 // scale)),
             eb.Table("blobs", [eb.Column("id", eb.T_LONG), eb.Column("data", eb.T_LONG_BINARY)],
                      lv_records(eb, 40_000 // scale, 8192))],
            page_size=8192),
        "big-32k": lambda: eb.Database(
            [eb.Table("typical", typical_columns(eb), typical_records(4_000_000 // scale)),
             eb.Table("blobs", [eb.Column("id", eb.T_LONG), eb.Column("data", eb.T_LONG_BINARY)],
                      lv_records(eb, 40_000 // scale, 8192))],
            page_size=32768),
        "tables-500": lambda: eb.Database(
            [eb.Table("table%03d" % t, typical_columns(eb), typical_records(1000))
             for t in range(500)]
            + [eb.Table("filler", [eb.Column("id", eb.T_LONG), eb.Column("data", eb.T_LONG_BINARY)],
                        lv_records(eb, 100_000 // scale, 8192))],
            page_size=8192),
    }
    os.makedirs(CACHE, exist_ok=True)
    paths = {}
    for name, make in specs.items():
        path = os.path.join(CACHE, "%s%s.edb" % (name, "-quick" if quick else ""))
        if not os.path.exists(path):
            t0 = time.time()
            make().write(path + ".tmp")
            os.replace(path + ".tmp", path)
            print("built %s: %.0f MB in %.1fs" % (path, os.path.getsize(path) / 1e6, time.time() - t0),
                  file=sys.stderr)
        paths[name] = path
    return paths


# ------------------------------------------------------------- measurements

CHILD = r"""
import json, os, resource, sys, time, tempfile, shutil
kind, path, arg = sys.argv[1], sys.argv[2], sys.argv[3]
def rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
base = rss_mb()
out = {}
if kind == "pagesum":
    import mmap
    with open(path, "rb") as f:
        m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        t0 = time.perf_counter()
        import subprocess
        t0 = time.perf_counter()
        out["seconds"] = float(subprocess.check_output([arg, path]).split()[0])
        out["bytes"] = len(m)
else:
    import quarlet
    t0 = time.perf_counter()
    db = quarlet.EseDatabase(path)
    t_open = time.perf_counter() - t0
    if kind == "open":
        t1 = time.perf_counter(); n = len(db.get_tables()); t2 = time.perf_counter()
        out.update(seconds=t_open, get_tables=t2 - t1, tables=n)
    elif kind == "read":
        t0 = time.perf_counter(); recs = db.read_table(arg); t1 = time.perf_counter()
        out.update(seconds=t1 - t0, records=len(recs))
    elif kind == "export":
        d = tempfile.mkdtemp(dir=os.path.dirname(path))
        try:
            t0 = time.perf_counter(); db.export_all(d); t1 = time.perf_counter()
            out.update(seconds=t1 - t0, json_bytes=sum(os.path.getsize(os.path.join(d, f)) for f in os.listdir(d)))
        finally:
            shutil.rmtree(d)
    elif kind == "carve":
        t0 = time.perf_counter()
        hits = db.carve_utf16le_strings_scoped(arg, needle="\x7f", min_chars=6, max_hits=1)
        t1 = time.perf_counter()
        out.update(seconds=t1 - t0, hits=len(hits), bytes=db.total_pages * db.page_size)
out["peak_mb"] = rss_mb()
out["base_mb"] = base
print(json.dumps(out))
"""


def run_child(kind, path, arg=""):
    res = subprocess.run([sys.executable, "-c", CHILD, kind, path, arg], capture_output=True, text=True)
    if res.returncode != 0:
        raise RuntimeError("%s %s failed: %s" % (kind, path, res.stderr[-2000:]))
    return json.loads(res.stdout.strip().splitlines()[-1])


def table_bytes(path, table):
    """Bytes of the table's leaf pages, for MB/s of table data (approximation:
    the file share of the table is not known to the module; use its records'
    JSON size as a stand-in is misleading, so report leaf pages from the builder
    layout when cached)."""
    return None


def median_runs(runs, fn):
    results = [fn() for _ in range(runs)]
    secs = statistics.median(r["seconds"] for r in results)
    peak = max(r["peak_mb"] for r in results)
    return secs, peak, results[0]


def page_sum_tool():
    src = os.path.join(HERE, "page_sum.c")
    exe = os.path.join(CACHE, "page_sum")
    if not os.path.exists(exe) or os.path.getmtime(exe) < os.path.getmtime(src):
        subprocess.check_call(["cc", "-O2", "-o", exe, src])
    return exe


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--quick", action="store_true", help="databases 10x smaller")
    ap.add_argument("--only", nargs="*", default=None)
    args = ap.parse_args()
    paths = build_all(args.quick)
    rows = []

    def want(name):
        return args.only is None or any(o in name for o in args.only)

    def row(name, secs, peak, fig):
        rows.append((name, secs, fig, peak))
        print("%-34s %10.4f s  %-40s peak %7.1f MB" % (name, secs, fig, peak), flush=True)

    summer = page_sum_tool()
    for db in ("big-8k", "big-32k", "typical-8k"):
        if want("pagesum"):
            s, p, r = median_runs(args.runs, lambda: run_child("pagesum", paths[db], summer))
            row("page sum %s" % db, s, p, "%.0f MB/s" % (r["bytes"] / s / 1e6))
    if want("open"):
        s, p, r = median_runs(args.runs, lambda: run_child("open", paths["tables-500"]))
        row("open (500 tables, %.0f MB)" % (os.path.getsize(paths["tables-500"]) / 1e6), s, p,
            "get_tables %.3f ms" % (r["get_tables"] * 1e3))
    for db, table in (("typical-8k", "narrow"), ("typical-8k", "typical"), ("big-8k", "blobs"),
                      ("big-32k", "typical")):
        if want("read"):
            s, p, r = median_runs(args.runs, lambda: run_child("read", paths[db], table))
            row("read_table %s/%s" % (db, table), s, p, "%.0f rec/s (%d)" % (r["records"] / s, r["records"]))
    for db in ("big-8k", "big-32k"):
        if want("export"):
            s, p, r = median_runs(args.runs, lambda: run_child("export", paths[db]))
            size = os.path.getsize(paths[db])
            row("export_all %s" % db, s, p, "%.0f MB/s json, %.0f MB/s db" % (r["json_bytes"] / s / 1e6, size / s / 1e6))
        for scope in ("slack", "all"):
            if want("carve"):
                s, p, r = median_runs(args.runs, lambda: run_child("carve", paths[db], scope))
                row("carve %s %s" % (scope, db), s, p, "%.0f MB/s" % (r["bytes"] / s / 1e6))


if __name__ == "__main__":
    main()
