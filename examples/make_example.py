"""Builds examples/example.edb, the bundled example database, with the test builder.

Two tables in catalog order: "Events" (every common column type, a Long Text
value stored in the long-value tree) and "Users". A UTF-16LE string is left in
the free space of the Events leaf page so that slack carving finds it.
"""

import datetime
import os
import sys
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import esebuild as eb  # noqa: E402


def build(path):
    events = eb.Table(
        "Events",
        [
            eb.Column("EventId", eb.T_LONG),
            eb.Column("Success", eb.T_BOOLEAN),
            eb.Column("TimeCreated", eb.T_DATETIME),
            eb.Column("Duration", eb.T_DOUBLE),
            eb.Column("SessionGuid", eb.T_GUID),
            eb.Column("Source", eb.T_TEXT, codepage=1252),
            eb.Column("Message", eb.T_TEXT, codepage=1200),
            eb.Column("Payload", eb.T_BINARY),
            eb.Column("Details", eb.T_LONG_TEXT, codepage=1200),
        ],
        [
            {"EventId": 1, "Success": True, "TimeCreated": 0x01DA2B3C4D5E6F70,
             "Duration": 0.25, "SessionGuid": uuid.UUID(int=0x00112233445566778899AABBCCDDEEFF).bytes_le,
             "Source": "Kernel", "Message": "System started", "Payload": b"\x00\x01\x02"},
            {"EventId": 2, "Success": False, "Duration": 12.5, "Source": "Logon",
             "Message": "User alice logged on from 10.0.0.7",
             "Details": eb.LongValue(("Logon details: " + "interactive session; " * 200).encode("utf-16-le"))},
            {"EventId": 3, "Source": "Service", "Message": "Backup completed"},
        ],
    )
    users = eb.Table(
        "Users",
        [eb.Column("UserId", eb.T_UNSIGNED_LONG), eb.Column("Name", eb.T_TEXT, codepage=1200),
         eb.Column("LastLogon", eb.T_LONG_LONG)],
        [{"UserId": 1000, "Name": "alice", "LastLogon": 133497000000000000},
         {"UserId": 1001, "Name": "bob"}],
    )
    # The header of a file closed cleanly by Windows 10 22H2.
    header = eb.Header(state=eb.STATE_CLEAN_SHUTDOWN, creation_format=(0x620, 20),
                       windows=(10, 0, 19045, 0), db_time=412, last_objid=12,
                       creation_time=datetime.datetime(2024, 3, 1, 9, 15, 2),
                       attach_time=datetime.datetime(2024, 3, 4, 8, 0, 41),
                       attach_pos=(7, 2, 616),
                       consistent_time=datetime.datetime(2024, 3, 4, 17, 32, 10),
                       consistent_pos=(7, 41, 0),
                       detach_time=datetime.datetime(2024, 3, 4, 17, 32, 10),
                       detach_pos=(7, 41, 0))
    db = eb.Database([events, users], page_size=8192, header=header)
    db.write(path)
    # Leave a UTF-16LE string in unused space of the Events leaf page, as a
    # deleted record leaves it; the page's checksum is written again, as the
    # engine writes it with the page.
    leaf = db.layout.table("Events").tree.leaves[0]
    offset = db.layout.page_offset(leaf)
    text = "deleted: C:\\Users\\alice\\secret.docx".encode("utf-16-le")
    with open(path, "r+b") as f:
        f.seek(offset)
        page = bytearray(f.read(db.format.page_size))
        page[6000:6000 + len(text)] = text
        eb.sign_page(page, leaf, db.format)
        f.seek(offset)
        f.write(page)


if __name__ == "__main__":
    build(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "example.edb"))
