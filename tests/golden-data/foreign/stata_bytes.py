"""Pieces of a Stata file before release 117, as Stata lays them out; shared
by the scripts that write such files byte by byte."""
import struct


def field(text, size):
    """Text in a fixed field, padded with NULs."""
    return text + b"\0" * (size - len(text))


def characteristics(order, chars):
    """The expansion fields (release 110 on): (variable, name, text) each, then the end mark."""
    out = b""
    for var, name, text in chars:
        body = field(var, 33) + field(name, 33) + text + b"\0"
        out += b"\1" + struct.pack(order + "i", len(body)) + body
    return out + b"\0" + struct.pack(order + "i", 0)


def value_labels(order, sets):
    """The value-label tables (release 106 on): (name, [(value, label), ...]) each."""
    out = b""
    for name, entries in sets:
        text, offsets = b"", []
        for _, label in entries:
            offsets.append(len(text))
            text += label + b"\0"
        table = struct.pack(order + "ii", len(entries), len(text))
        table += b"".join(struct.pack(order + "i", o) for o in offsets)
        table += b"".join(struct.pack(order + "i", v) for v, _ in entries)
        out += struct.pack(order + "i", len(table + text)) + field(name, 33) + b"\0\0\0" + table + text
    return out
