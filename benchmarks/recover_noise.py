"""False-positive trial of recover(): databases whose tables' free space
(the slack of every leaf, and orphan pages carrying the tables' object ids)
holds random bytes, zeros or UTF-16 text, and no old record. Reports the
free bytes searched and the records recovered (there must be none).

Usage: python3 benchmarks/recover_noise.py [--mb-per-db N] [--kinds K,...] [--dir DIR]
"""

import argparse
import os
import random
import struct
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import esebuild as eb  # noqa: E402
from shapes import typical_columns, typical_records  # noqa: E402

KINDS = ("random", "zeros", "text")
PAGE_SIZES = (4096, 8192, 16384, 32768)
OBJID = 50
ORPHANS = 64  # orphan pages per database


def noise(kind, size, seed):
    if kind == "random":
        return random.Random(seed).randbytes(size)
    if kind == "zeros":
        return bytes(size)
    text = "https://example.org/history/%d?q=deleted&page=%d C:\\Users\\bob\\file%d.txt " % (
        seed, seed * 7, seed)
    return (text * (size // len(text) + 1)).encode("utf-16-le")[:size]


def build(path, kind, page_size, free_bytes):
    leaves = max(1, free_bytes // (page_size - 600))
    narrow = eb.Table("narrow", [eb.Column(c, eb.T_LONG) for c in "abcd"],
                      [(i, i, i, i) for i in range(2 * leaves)], max_leaf_entries=2,
                      leaf_slack=lambda i: noise(kind, page_size, 2 * i))
    typical = eb.Table("typical", typical_columns(), typical_records(2 * leaves), objid=OBJID,
                       max_leaf_entries=2, leaf_slack=lambda i: noise(kind, page_size, 2 * i + 1))
    first = 10 + 6 * leaves
    pages = {first + k: eb.Page([b"", b"\x00\x00"], eb.PF_BASE | eb.PF_LEAF, owner=OBJID,
                                holes={1: noise(kind, page_size // 2, 10**6 + k)},
                                slack=noise(kind, page_size, 10**7 + k))
             for k in range(ORPHANS)}
    layout = eb.Database([narrow, typical], page_size=page_size, pages=pages).write(path)
    return layout


def free_bytes_of(path, page_size, owners):
    """Free bytes (available data size) of the leaf pages of `owners`."""
    total = 0
    with open(path, "rb") as f:
        n = 0
        while True:
            f.seek((n + 1) * page_size)
            head = f.read(40)
            if len(head) < 40:
                return total
            owner = struct.unpack_from("<I", head, 24)[0]
            flags = struct.unpack_from("<I", head, 36)[0]
            if owner in owners and flags & eb.PF_LEAF:
                total += struct.unpack_from("<H", head, 28)[0]
            n += 1


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--mb-per-db", type=float, default=9.0)
    ap.add_argument("--kinds", default=",".join(KINDS), help="random, zeros, text")
    ap.add_argument("--dir", default=None)
    args = ap.parse_args()
    import quarlet

    tmp = tempfile.mkdtemp(dir=args.dir)
    grand_free = grand_items = 0
    grand_time = 0.0
    print("%-8s %6s %10s %8s %8s" % ("kind", "page", "free MB", "records", "seconds"))
    for kind in args.kinds.split(","):
        for page_size in PAGE_SIZES:
            path = os.path.join(tmp, "%s-%d.edb" % (kind, page_size))
            layout = build(path, kind, page_size, int(args.mb_per_db * 1e6))
            owners = {t.objid for t in layout.tables}
            free = free_bytes_of(path, page_size, owners)
            db = quarlet.EseDatabase(path)
            t0 = time.perf_counter()
            items = list(db.recover())
            seconds = time.perf_counter() - t0
            print("%-8s %6d %10.1f %8d %8.2f" % (kind, page_size, free / 1e6, len(items), seconds),
                  flush=True)
            for item in items[:3]:
                print("   ", item, flush=True)
            grand_free += free
            grand_items += len(items)
            grand_time += seconds
            del db
            os.remove(path)
    os.rmdir(tmp)
    print("total: %.1f MB of free space searched, %d records recovered, %.1f s" % (
        grand_free / 1e6, grand_items, grand_time))


if __name__ == "__main__":
    main()
