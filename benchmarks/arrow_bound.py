"""arrow() against read_table and the consumer's own floor, on every table of
the sample databases.

For each table: the best of --runs timings of
  arrow     pyarrow.table(db.arrow(t))
  read      db.read_table(t)
  floor     pyarrow.table(t.to_reader()) of the finished table
and the ratio arrow / max(read, floor + 30 us). A table whose ratio passes
1.25 violates the bound; the count of those and the worst ratios are
printed, and per file the time of every table read both ways.

Usage: python3 benchmarks/arrow_bound.py [--runs N] [--samples DIR] [--worst N]
       [--files NAME ...] [--cpu]
(--cpu: process CPU time, every thread's, instead of wall time: steadier on a
loaded machine)
"""

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = os.path.join(HERE, "..", "..", "shared", "samples")
BOUND = 1.25
SLACK = 30e-6


CLOCK = time.perf_counter


def best(runs, fn):
    times = []
    for _ in range(runs):
        t0 = CLOCK()
        fn()
        times.append(CLOCK() - t0)
    return min(times)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--samples", default=SAMPLES)
    ap.add_argument("--worst", type=int, default=10)
    ap.add_argument("--files", nargs="*", help="only these sample files")
    ap.add_argument("--cpu", action="store_true", help="process CPU time instead of wall time")
    args = ap.parse_args()
    global CLOCK
    if args.cpu:
        CLOCK = time.process_time
    # From benchmarks/ or the checkout root, the source folder would shadow
    # the installed package.
    sys.path = [p for p in sys.path if os.path.abspath(p or ".") not in
                (os.path.abspath(os.path.join(HERE, "..")),)]
    import pyarrow
    import quarlet

    pyarrow.table({"x": [0]})  # pyarrow's first-call imports, outside the timings
    rows = []
    skipped = 0
    for name in sorted(os.listdir(args.samples)):
        path = os.path.join(args.samples, name)
        if not os.path.isfile(path) or name.endswith(".json"):
            continue
        if args.files and name not in args.files:
            continue
        try:
            db = quarlet.EseDatabase(path)
        except OSError:
            continue  # not a database this reads
        with db:
            for table in db.get_tables():
                try:
                    t = pyarrow.table(db.arrow(table))
                    db.read_table(table)
                except Exception:
                    skipped += 1
                    continue
                a = best(args.runs, lambda: pyarrow.table(db.arrow(table)))
                r = best(args.runs, lambda: db.read_table(table))
                f = best(args.runs, lambda: pyarrow.table(t.to_reader()))
                ratio = a / max(r, f + SLACK)
                rows.append((ratio, name, table, t.num_rows, t.num_columns, a, r, f))
    bad = [x for x in rows if x[0] > BOUND]
    print("%d tables, %d over %.2fx, %d skipped (read errors)" % (len(rows), len(bad), BOUND,
                                                                   skipped))
    print("%-7s %-32s %-36s %11s %10s %10s %10s" % ("ratio", "file", "table", "rows x cols",
                                                    "arrow ms", "read ms", "floor ms"))
    for ratio, name, table, n, c, a, r, f in sorted(rows, reverse=True)[:args.worst]:
        print("%7.2f %-32s %-36s %11s %10.3f %10.3f %10.3f" % (
            ratio, name[:32], table[:36], "%dx%d" % (n, c), a * 1e3, r * 1e3, f * 1e3))
    print("\n%-32s %8s %10s %10s %12s %12s" % ("every table of", "records", "arrow ms",
                                               "read ms", "arrow rec/s", "read rec/s"))
    for name in sorted({x[1] for x in rows}):
        mine = [x for x in rows if x[1] == name]
        n = sum(x[3] for x in mine)
        a = sum(x[5] for x in mine)
        r = sum(x[6] for x in mine)
        print("%-32s %8d %10.3f %10.3f %12.0f %12.0f" % (name[:32], n, a * 1e3, r * 1e3, n / a,
                                                        n / r))


if __name__ == "__main__":
    main()
