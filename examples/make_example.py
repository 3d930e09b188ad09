"""Builds examples/example.edb, the bundled example database, with the test builder.

Two tables in catalog order: "Events" (every common column type, a Long Text
value stored in the long-value tree) and "Users". A UTF-16LE string is left in
the free space of the Events leaf page so that slack carving finds it.
"""

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
    db = eb.Database([events, users], page_size=8192)
    db.write(path)
    # Leave a UTF-16LE string in unused space of the Events leaf page.
    leaf = db.layout.table("Events").tree.leaves[0]
    eb.patch_file(path, db.layout.page_offset(leaf) + 6000,
                  "deleted: C:\\Users\\alice\\secret.docx".encode("utf-16-le"))


if __name__ == "__main__":
    build(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "example.edb"))
