#!/usr/bin/python3
"""stata_118.dta: a release 118 file laid out byte by byte as Stata 14 to 18
write one, with what pandas and R never put in a file: one value-label set
shared by forty variables, labels on .a and .b, a label of 32,000 bytes (the
longest Stata keeps) and one of many lines, labels on float and double
variables, a str2045 variable (the widest str#) holding UTF-8 text cut inside
a character at its width, a variable label of 80 characters outside ASCII
(320 bytes), extended missing codes in every numeric storage type, and dates
at the ends of the ranges Stata shows (%td and %tc from the year 100 to 9999,
%tw, %tm, %tq, %th and %ty, also before 1960), with display formats that say
how to show them (%tdDD/NN/CCYY, %tcHH:MM:SS, %-tw). Run in this folder:

    /usr/bin/python3 write_stata_118.py
"""
import random
import struct

MISSING = {  # storage type: (code, pack, "." and the step to the next code, or the bits of a float/double)
    65530: ("b", 101),
    65529: ("h", 32741),
    65528: ("i", 2147483621),
}
FLOAT_DOT, DOUBLE_DOT = 0x7F000000, 0x7FE0000000000000


def code(kind, letter):
    """The stored value of ".", ".a", ... ".z" (letter "" for ".")."""
    n = 0 if not letter else ord(letter) - ord("a") + 1
    if kind in MISSING:
        return struct.pack("<" + MISSING[kind][0], MISSING[kind][1] + n)
    if kind == 65527:
        return struct.pack("<I", FLOAT_DOT + n * 0x800)
    return struct.pack("<Q", DOUBLE_DOT + n * (1 << 40))


def value(kind, x):
    if isinstance(x, str):  # "." or ".a"
        return code(kind, x[1:])
    pack = {65530: "b", 65529: "h", 65528: "i", 65527: "f", 65526: "d"}[kind]
    return struct.pack("<" + pack, x)


def field(text, size):
    text = text.encode() if isinstance(text, str) else text
    assert len(text) <= size, text
    return text + b"\0" * (size - len(text))


rng = random.Random(118)
ROWS = 24


def every(values):
    """Each value at least once, in turn."""
    return [values[r % len(values)] for r in range(ROWS)]

variables = []  # name, type, format, label set, label, values
agree_codes = [1, 2, 3, 4, 5, ".", ".a", ".b"]
for i in range(1, 41):
    variables.append((f"q{i}", 65530, "%8.0g", "agree", f"Statement {i}",
                      [rng.choice(agree_codes) for _ in range(ROWS)]))
# Labels on float and double variables (Stata labels the whole values; 1.5 has none).
variables.append(("dl", 65526, "%9.0g", "agree", "Double with labels", every([1, 1.5, 5, ".a", -0.0])))
variables.append(("fl", 65527, "%9.0g", "agree", "Float with labels", every([2, 2.25, ".b", 4])))
variables.append(("lv", 65529, "%8.0g", "long", "Long labels", every([1, 2, 3, ".c"])))
# str2045: "é" (2 bytes) repeated, cut after byte 2045, inside the last "é".
wide = ("xx" + "é" * 1021).encode() + "é".encode()[:1]
assert len(wide) == 2045
variables.append(("wide", 2045, "%-2045s", "", "Widest str#", every([wide, b"short", b""])))
variables.append(("lbl80", 65528, "%12.0g", "", "𝔸" * 80, every([-2147483647, 2147483620, 0, ".z", "."])))
variables.append(("f", 65527, "%9.0g", "", "float codes", every([1.5, -0.25, 1e30, ".", ".a", ".z"])))
variables.append(("d", 65526, "%10.0g", "", "double codes", every([1e-300, -2.5, 8.9e307, ".", ".m", ".z"])))
DAYS = [-679350, -137775, -1, 0, 2936549, 21915, "."]  # 0100-01-01, 1582-10-14, ..., 9999-12-31, 2020-01-01
variables.append(("td", 65528, "%tdDD/NN/CCYY", "", "Day", every(DAYS)))
MS = [-58695840000000.0, -1.0, 0.0, 1893456000000.5, 253717919999999.0, ".a"]  # ..., 9999-12-31 23:59:59.999
variables.append(("tc", 65526, "%tcHH:MM:SS", "", "Clock", every(MS)))
variables.append(("tw", 65528, "%-tw", "", "Week", every([-97760, -1, 0, 51, 52, 418079, "."])))
variables.append(("tm", 65528, "%tm", "", "Month", every([-22800, -1, 0, 11, 12, 96479])))
variables.append(("tq", 65529, "%tq", "", "Quarter", every([-7600, -1, 0, 3, 4, 32159])))
variables.append(("th", 65529, "%th", "", "Half-year", every([-2, -1, 0, 1, 120])))
variables.append(("ty", 65529, "%ty", "", "Year", every([100, 1582, 2020, 9999])))

LABELS = [
    ("agree", [(1, "Strongly disagree"), (2, "Disagree"), (3, "Neither"), (4, "Agree"), (5, "Strongly agree"),
               (2147483622, "Refused"), (2147483623, "Don't know")]),
    ("long", [(1, "L" * 31999 + "!"), (2, "line one\nline two\n\tindented"), (3, "short"),
              (2147483624, "Not asked (.c)")]),
    ("unused", [(1, "attached to no variable")]),
]


def tag(name, body):
    return b"<" + name + b">" + body + b"</" + name + b">"


K = len(variables)
label = "Written as Stata writes release 118".encode()
header = tag(b"header", tag(b"release", b"118") + tag(b"byteorder", b"LSF") + tag(b"K", struct.pack("<H", K))
             + tag(b"N", struct.pack("<Q", ROWS)) + tag(b"label", struct.pack("<H", len(label)) + label)
             + tag(b"timestamp", b"\x11" + b" 8 Dec 2026 09:00"))
sections = [
    (b"variable_types", b"".join(struct.pack("<H", v[1]) for v in variables)),
    (b"varnames", b"".join(field(v[0], 129) for v in variables)),
    (b"sortlist", b"\0\0" * (K + 1)),
    (b"formats", b"".join(field(v[2], 57) for v in variables)),
    (b"value_label_names", b"".join(field(v[3], 129) for v in variables)),
    (b"variable_labels", b"".join(field(v[4], 321) for v in variables)),
]
notes = [("_dta", "note0", "2"), ("_dta", "note1", "First note."), ("_dta", "note2", "Second note, 2 lines\nhere.")]
chars = b"".join(tag(b"ch", struct.pack("<I", 129 + 129 + len(t.encode()) + 1) + field(v, 129) + field(n, 129)
                     + t.encode() + b"\0") for v, n, t in notes)
sections.append((b"characteristics", chars))
rows = b""
for r in range(ROWS):
    for name, kind, fmt, lbl, text, values in variables:
        x = values[r]
        rows += field(x, kind) if kind <= 2045 else value(kind, x)
sections.append((b"data", rows))
sections.append((b"strls", b""))
tables = b""
for name, entries in LABELS:
    text, offsets = b"", []
    for _, t in entries:
        offsets.append(len(text))
        text += t.encode() + b"\0"
    table = struct.pack("<ii", len(entries), len(text)) + b"".join(struct.pack("<i", o) for o in offsets) \
        + b"".join(struct.pack("<i", v) for v, _ in entries) + text
    tables += tag(b"lbl", struct.pack("<i", len(table)) + field(name, 129) + b"\0\0\0" + table)
sections.append((b"value_labels", tables))

out = bytearray(b"<stata_dta>" + header)
map_at = len(out)
out += b"<map>" + bytes(14 * 8) + b"</map>"
offsets = [0, map_at]
for name, body in sections:
    offsets.append(len(out))
    out += tag(name, body)
offsets.append(len(out))
out += b"</stata_dta>"
offsets.append(len(out))
struct.pack_into("<14Q", out, map_at + 5, *offsets)
open("stata_118.dta", "wb").write(out)
