#!/usr/bin/env python3
"""Writes a Stata file of release 110 to 115 byte by byte, laid out as Stata
wrote it: the old type codes ('b', 'i', 'l', 0x7F + width) in 110, formats of
12 bytes before 114, and one missing value per type (the type's largest
code, so a byte may be 126) before 113, 27 of them from 113 on.

    python3 stata_old.py RELEASE ORDER OUT.dta    (ORDER: 1 big-endian, 2 little-endian)

Text comes as old files hold it: UTF-8 (as newer writers put into the old
releases too) next to Windows-1252 bytes, one of them (0x81) a byte that
code page leaves undefined.
"""
import struct
import sys

from stata_bytes import characteristics, field, value_labels

release, order, path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
E = ">" if order == 1 else "<"
FORMAT = 49 if release >= 114 else 12
# The largest valid byte, int and long; the next code up is ".".
LARGEST = (100, 32740, 2147483620) if release >= 113 else (126, 32766, 2147483646)


def type_code(t):
    if release >= 111:
        return {"b": 251, "i": 252, "l": 253, "d": 255}.get(t) or int(t[3:])
    return ord(t) if len(t) == 1 else 0x7F + int(t[3:])


# name, type, format, value-label set, variable label
VARS = [(b"b", "b", b"%8.0g", b"edge", "Zürich".encode()), (b"i", "i", b"%8.0g", b"", b""),
        (b"l", "l", b"%12.0g", b"", b""), (b"s", "str5", b"%5s", b"", b"Gen\xe8ve")]
ROWS = [[LARGEST[0], LARGEST[1], LARGEST[2], "ab€".encode()],
        [-127, -32767, -2147483647, b"Z\xfcri"],
        [LARGEST[0] + 1, LARGEST[1] + 1, LARGEST[2] + 1, b""]]
LABELS = [(b"edge", [(-127, b"caf\xe9"), (LARGEST[0], "größte".encode()), (5, b"x\x81y")])]
NOTES = [(b"_dta", b"note0", b"1"), (b"_dta", b"note1", b"A file note."),
         (b"b", b"note0", b"1"), (b"b", b"note1", b"A note on b, not on the file.")]

out = bytearray([release, order, 1, 0]) + struct.pack(E + "HI", len(VARS), len(ROWS))
out += field("Données".encode("cp1252"), 81) + field(b" 6 Dec 2026 10:00", 18)
out += bytes(type_code(v[1]) for v in VARS)
out += b"".join(field(v[0], 33) for v in VARS)
out += struct.pack(E + "h", 1) + b"\0\0" * len(VARS)  # sorted by b
out += b"".join(field(v[2], FORMAT) for v in VARS)
out += b"".join(field(v[3], 33) for v in VARS)
out += b"".join(field(v[4], 81) for v in VARS)
out += characteristics(E, NOTES)
PACK = {"b": "b", "i": "h", "l": "i"}
for row in ROWS:
    for (_, t, _, _, _), x in zip(VARS, row):
        out += field(x, int(t[3:])) if t.startswith("str") else struct.pack(E + PACK[t], x)
out += value_labels(E, LABELS)
with open(path, "wb") as f:
    f.write(out)
