#!/usr/bin/python3
"""CSV files in forms people have them, for the golden cases published_odd_forms
and published_unicode_text (checked by tests/reference/check_published.py):

    python3 make_forms.py     (in this folder)

odd_forms.csv: old Mac line ends (a carriage return alone, also inside a
quoted cell), no line end after the last row, whose last cell is quoted; a
header with a name twice, a blank name, a name equal to another ignoring
case and a name that the renaming would otherwise make; numbers with a
leading "+", with leading zeros ("007"), hexadecimal-looking texts ("0x1F"),
quoted numbers with thousands commas in a comma file, and a column of 0 and 1
whose one fraction (2.5) is the very last value.

unicode_text.csv: a spreadsheet's "Unicode text" export: UTF-16LE with a
byte order mark, tabs, CRLF, a character outside the BMP (a surrogate pair)
and quoted cells holding a tab and a line break.
"""
import codecs
import random

r = random.Random(23)
rows = [["x", "x", "", "X", "x_2", "plus", "zeros", "hex", "thou", "flag", "note"]]
notes = ["plain", "with, comma", 'say ""hi""', "two\rlines"]
for i in range(16):
    rows.append([str(i % 4), str(r.randint(0, 9)), "" if i % 5 else str(i), f"{r.random() * 10:.2f}", str(i),
                 f"+{r.randint(0, 99) / 4}", f"{r.randint(0, 12):03d}", r.choice(["0x1F", "0xff", "0x0"]),
                 r.choice(['"1,234"', '"12,500"', '"1,000,000"']), str(i % 2) if i < 15 else "2.5",
                 '"' + r.choice(notes) + '"'])
with open("odd_forms.csv", "w", newline="") as f:
    f.write("\r".join(",".join(x) for x in rows))

rows = [["Name", "Größe (cm)", "Gewicht", "Datum", "Notiz"]]
for i in range(24):
    rows.append([r.choice(["Jürgen", "Zoë", "李", "😀"]), str(r.randint(150, 200)), f"{r.uniform(50, 100):.1f}",
                 f"2020-01-{r.randint(1, 28):02d}", r.choice(["", "ok", '"a\tb"', '"zwei\r\nZeilen"'])])
with open("unicode_text.csv", "wb") as f:
    f.write(codecs.BOM_UTF16_LE + ("\r\n".join("\t".join(x) for x in rows) + "\r\n").encode("utf-16-le"))
