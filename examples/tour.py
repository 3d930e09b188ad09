"""A short tour of quarlet on one database: every method, with its output.

Usage: python3 examples/tour.py [DATABASE]   (default: the bundled example.edb)
"""

import json
import os
import sys
import tempfile

from quarlet import EseDatabase, __version__


def main(path):
    print("quarlet", __version__)
    with EseDatabase(path) as db:
        print(repr(db))
        print("page size:", db.page_size, "pages:", db.total_pages)
        tables = db.get_tables()
        print("tables:", tables)
        for name in tables:
            print("\n== %s ==" % name)
            for column in db.get_table_schema(name):
                print("  column", column)
            records = db.read_table(name)
            print("  %d records" % len(records))
            for record in records[:3]:
                shown = {k: (v[:40] + "..." if isinstance(v, str) and len(v) > 40 else v)
                         for k, v in record.items()}
                print("  ", shown)
        with tempfile.TemporaryDirectory() as out:
            if tables:
                one = os.path.join(out, "first.jsonl")
                db.export_table(tables[0], one)
                with open(one, encoding="utf-8") as f:
                    first_line = f.readline()
                print("\nexport_table(%r): first line %s" % (tables[0], first_line.strip()[:120]))
                json.loads(first_line) if first_line else None
            db.export_all(os.path.join(out, "all"))
            print("export_all wrote:", sorted(os.listdir(os.path.join(out, "all"))))
        print("\nslack strings:")
        for hit in db.carve_utf16le_strings(min_chars=8, max_hits=5):
            print("  page %(page)d offset %(offset)d %(page_type)s table=%(table)s: %(text)r" % hit)
        for scope in ("all", "tag_data", "lv_all", "lv_slack"):
            hits = db.carve_utf16le_strings_scoped(scope, min_chars=8, max_hits=1000)
            print("scope %-8s %d hits" % (scope, len(hits)))


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "example.edb"))
