#!/usr/bin/env python3
"""Writes stata_114.dta: a release 114 file laid out byte by byte as Stata
writes one (big-endian, as from a big-endian machine), with what ReadStat's
writer never puts in a file: the notes' count in characteristic note0 and
notes kept out of their numbers' order, a %tC clock counting leap seconds, a
decimal-comma format, the largest valid value of every storage type next to
its missing codes, and value labels on .a and .z.

    python3 tests/golden-data/foreign/stata_114.py tests/golden-data/foreign/stata_114.dta
"""
import struct
import sys

from stata_bytes import characteristics, field, value_labels

E = ">"  # byte order: 1 in the header
DAYS_1960_TO_2017 = 20820


# name, type code, format, value-label set, variable label
VARS = [
    (b"b", 251, b"%8.0g", b"yesno", b"byte at its limits"),
    (b"i", 252, b"%8.0g", b"", b""),
    (b"l", 253, b"%12.0g", b"", b""),
    (b"f", 254, b"%9.0g", b"", b""),
    (b"d", 255, b"%10.0g", b"", b""),
    (b"stamp", 255, b"%tC", b"", b"clock with leap seconds"),
    (b"euro", 255, b"%9,2f", b"", b"decimal comma"),
]
FLOAT_MAX, DOUBLE_MAX = 0x7EFFFFFF, 0x7FDFFFFFFFFFFFFF  # the largest valid values
MS_2017 = DAYS_1960_TO_2017 * 86400000.0


def fbits(bits):
    return struct.pack(E + "I", bits)


def dbits(bits):
    return struct.pack(E + "Q", bits)


# Missing codes: "." then .a, .b, ...; .z is the 27th.
ROWS = [
    [100, 32740, 2147483620, fbits(FLOAT_MAX), dbits(DOUBLE_MAX), MS_2017 + 27000, 1234.5],  # 2017-01-01
    [-127, -32767, -2147483647, 1.5, -1.25, MS_2017 + 26000, -0.25],  # in the 27th leap second
    [101, 32741, 2147483621, fbits(0x7F000000), dbits(0x7FE0000000000000), 0.0, 0.0],  # .
    [102, 32742, 2147483622, fbits(0x7F000800), dbits(0x7FE0010000000000), 4565 * 86400000.0, 0.0],  # .a
    [127, 32767, 2147483647, fbits(0x7F00D000), dbits(0x7FE01A0000000000), 4565 * 86400000.0 + 1000, 0.0],  # .z
]
PACK = {251: "b", 252: "h", 253: "i", 254: "f", 255: "d"}
LABELS = [(b"yesno", [(-127, b"lowest"), (100, b"highest"), (2147483622, b"refused (.a)"),
                      (2147483647, b"not asked (.z)")])]
# note0 holds the number of notes; note3 comes before note2 in the file.
CHARS = [(b"_dta", b"note0", b"3"), (b"_dta", b"note1", b"First note."),
         (b"_dta", b"note3", b"Third note,\nin two lines."), (b"_dta", b"note2", b"Second note.")]

out = bytearray([114, 1, 1, 0])
out += struct.pack(E + "HI", len(VARS), len(ROWS))
out += field(b"As Stata writes it", 81) + field(b" 6 Dec 2026 10:00", 18)
out += bytes(v[1] for v in VARS)
out += b"".join(field(v[0], 33) for v in VARS)
out += b"\0\0" * (len(VARS) + 1)  # no sort order
out += b"".join(field(v[2], 49) for v in VARS)
out += b"".join(field(v[3], 33) for v in VARS)
out += b"".join(field(v[4], 81) for v in VARS)
out += characteristics(E, CHARS)
for row in ROWS:
    for (_, code, _, _, _), x in zip(VARS, row):
        out += x if isinstance(x, bytes) else struct.pack(E + PACK[code], x)
out += value_labels(E, LABELS)
with open(sys.argv[1], "wb") as f:
    f.write(out)
