"""read_table and iter_table beside the least building their dicts costs.

Builds dict_floor.c (a C loop over the limited API) into benchmarks/cache/,
reads the benchmark's typical table (the `shapes` database of bench.py,
built there if missing) and prints, best of --runs each:
  read_table, list(iter_table(...)), in the raw view
(process CPU time: the figures hold on a loaded machine)
  floor: dicts from empty / copied from a template of the same keys, with
  the values given, and with each value made anew from its C form
and the ratio of read_table and iter_table to the best floor with values made.

Usage: python3 benchmarks/dict_floor.py [--runs N] [--table NAME]
"""

import argparse
import importlib
import os
import subprocess
import sys
import sysconfig
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CACHE = os.path.join(HERE, "cache")


def build_floor():
    os.makedirs(CACHE, exist_ok=True)
    src = os.path.join(HERE, "dict_floor.c")
    out = os.path.join(CACHE, "dict_floor%s" % sysconfig.get_config_var("EXT_SUFFIX"))
    if not os.path.exists(out) or os.path.getmtime(out) < os.path.getmtime(src):
        subprocess.check_call(["cc", "-O2", "-shared", "-fPIC", "-I",
                               sysconfig.get_paths()["include"], "-o", out, src])
    if CACHE not in sys.path:
        sys.path.insert(0, CACHE)
    return importlib.import_module("dict_floor")


def best(runs, fn):
    times = []
    for _ in range(runs):
        t0 = time.process_time()
        keep = fn()
        times.append(time.process_time() - t0)
        del keep
    return min(times)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--table", default="typical")
    args = ap.parse_args()
    sys.path = [p for p in sys.path if os.path.abspath(p or ".") != os.path.abspath(
        os.path.join(HERE, ".."))]
    sys.path.insert(0, HERE)
    import bench
    import quarlet

    path = bench.build_all(False, 1, ("shapes",))["shapes"]
    floor = build_floor()
    db = quarlet.EseDatabase(path)
    records = db.read_table(args.table)
    n = len(records)
    read = best(args.runs, lambda: db.read_table(args.table))
    it = best(args.runs, lambda: list(db.iter_table(args.table)))
    floors = {mode: floor.floor(records, mode, args.runs) for mode in range(4)}
    names = {0: "floor, empty dict, values given", 1: "floor, copied dict, values given",
             2: "floor, empty dict, values made", 3: "floor, copied dict, values made"}
    values = n * len(records[0])
    print("%s: %d records x %d columns" % (args.table, n, len(records[0])))
    for label, t in [("read_table", read), ("list(iter_table)", it)] + [
            (names[m], floors[m]) for m in range(4)]:
        print("%-34s %8.2f ms %6.1f ns/value" % (label, t * 1e3, t / values * 1e9))
    made = min(floors[2], floors[3])
    print("read_table / best floor (values made): %.2f" % (read / made))
    print("iter_table / best floor (values made): %.2f" % (it / made))


if __name__ == "__main__":
    main()
