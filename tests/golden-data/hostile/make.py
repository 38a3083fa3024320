#!/usr/bin/env python3
"""Writes the hostile-text dataset: labels, names, attribute values, document
lines and cells holding markup, ampersands, quotes, control characters,
right-to-left marks and a 10,000-character string. Run it from this folder;
the files it writes are committed, so this is only needed to change them."""
import csv
import json

LONG = ("0123456789<&>\"'" * 700)[:10000]          # 10,000 characters, no blank to wrap at
RLO = "\u202e"   # right-to-left override
RLM = "\u200f"   # right-to-left mark
PDF = "\u202c"   # pop directional formatting
NAME = "v" + RLO + "live\u0085"  # an override left open and a C1 next line

package = {
    "title": "File <b>label</b> & \"quotes\" 'single' " + RLO + "txt.exe" + PDF,
    "documents": [
        ["<script>alert('doc')</script>",
         "bell\u0007 escape\u001b[31mred\u001b[0m delete\u007f tab\tend",
         RLM + "\u05e9\u05dc\u05d5\u05dd " + RLO + "reversed" + PDF + " & done",
         "line\nwith a line feed and a carriage\rreturn"],
        [LONG],
    ],
    "attributes": {
        "Note<&>": "</td></tr><tr><td onclick=alert(1)>",
        "Quote": ["\"double\"", "'single'", "`back`"],
        "Long": LONG,
    },
    "multipleResponseSets": [
        {"name": "$set", "label": "Set <i>&amp;</i> \u0001", "type": "categories",
         "variables": ["q1", "txt"]},
    ],
    "resources": [{
        "path": "cases.csv",
        "schema": {"fields": [
            {"name": "q1", "title": "<img src=x onerror=alert(1)> & \"Q\" \u0001\u001b[2J",
             "type": "integer", "measure": "nominal",
             "categories": [
                 {"value": 1, "label": "</script><script>alert('x')</script>"},
                 {"value": 2, "label": "Tab\there\nnew line\r" + RLO + "gnp.exe" + PDF},
                 {"value": 3, "label": LONG},
                 {"value": 4, "label": RLO + "override left open, C1 CSI \u009b31m and NEL\u0085"},
             ],
             "attributes": {"Question": "Is 1 < 2 && 3 > 2?", "Ctrl\u0002": "a\u0000b"}},
            {"name": "txt", "title": LONG, "type": "string",
             "userMissing": {"values": ["<NA>"]},
             "categories": [{"value": "a & b", "label": "&lt;already escaped&gt;"}]},
            {"name": "\u00e9l\u00e8ve", "title": RLM + "\u05e9\u05dd" + RLM, "type": "number"},
            # Names take any non-ASCII byte, format and C1 characters included.
            {"name": NAME, "type": "string", "measure": "nominal"},
        ]},
    }],
}

with open("datapackage.json", "w", encoding="utf-8") as f:
    json.dump(package, f, ensure_ascii=True, indent=1)
    f.write("\n")

rows = [
    ["q1", "txt", "\u00e9l\u00e8ve", NAME],
    ["1", "a & b", "1.5", "x"],
    ["2", "<b>bold</b>", "2", "x"],
    ["3", "\"quoted\" 'single'", "", "x"],
    ["1", RLO + "reversed" + PDF, "4", "x"],
    ["2", "<NA>", "5", "x"],
    ["1", "ctrl\u0001\u001b[1m", "6", "x"],
    ["3", LONG, "7", "x"],
    ["4", "\u2067isolate left open", "8", "x"],
]
with open("cases.csv", "w", encoding="utf-8", newline="") as f:
    csv.writer(f, lineterminator="\n").writerows(rows)
