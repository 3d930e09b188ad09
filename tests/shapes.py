"""Table shapes shared by the benchmarks and the memory test: a typical table
of fixed integers, a GUID, a DateTime, text in code pages 1252 and 1200 and a
tagged binary."""

import uuid

import esebuild as eb

GUID = uuid.UUID(int=0x0123456789ABCDEF0123456789ABCDEF).bytes_le


def typical_columns():
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


def typical_records(n, message="Message number %d for the benchmark"):
    """n records, streamed."""
    for i in range(n):
        yield (i, i % 977, i % 31, i & 0xFF, i * 4096, i * 10000, i / 7.0,
               0x01D9000000000000 + i, GUID, "Source-%d" % (i % 100),
               message % i, b"\x01\x02\x03\x04" * (i % 8))
