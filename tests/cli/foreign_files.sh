#!/usr/bin/env bash
# Stata and SAS files as they come: a file cut short is an error (exit 2, no
# output) wherever the cut falls, also where ReadStat itself reads on without
# a word (a Stata file's value labels at its end, a transport file's last case).
set -uo pipefail
build=$1
cb="$build/codebook"
source "$(dirname "$0")/lib/check.sh"

mkdir "$tmp/pkg"
printf 'x,s\n1,a\n2,b\n9,c\n' >"$tmp/pkg/d.csv"
cat >"$tmp/pkg/datapackage.json" <<'JSON'
{"resources": [{"path": "d.csv", "schema": {"fields": [
  {"name": "x", "type": "integer", "userMissing": {"values": [9]},
   "categories": [{"value": 1, "label": "one"}, {"value": 2, "label": "two"}, {"value": 9, "label": "nine"}]},
  {"name": "s", "type": "string"}]}}]}
JSON
"$build/foreign-writer" "$tmp/pkg/datapackage.json" "$tmp/new.dta"
"$build/foreign-writer" --version 114 "$tmp/pkg/datapackage.json" "$tmp/old.dta"
"$build/foreign-writer" "$tmp/pkg/d.csv" "$tmp/t.xpt"
# ReadStat writes release 119's strL references in 118's layout, not the
# published one the reader rewrites: such a file is read as it is.
"$build/foreign-writer" --version 119 --strl s "$tmp/pkg/d.csv" "$tmp/strl.dta"
fails "--encoding given for a file of UTF-8 text is followed, with a warning" 0 \
  'new.dta: a Stata data file of release 118 holds UTF-8 text (as every release from 118, Stata 14, on does), read here as latin1 as --encoding says' \
  "$cb" "$tmp/new.dta" --encoding latin1 'CODEBOOK x'
check "but not for an old one, whose text is in no declared encoding" bash -c \
  "! '$cb' '$tmp/old.dta' --encoding latin1 'CODEBOOK x' 2>&1 >/dev/null | grep -q 'holds UTF-8 text'"
# Windows-1252 text said to be latin1: its bytes 0x80-0x9F (euro sign,
# dashes, curly quotes) become invisible control characters.
cat >"$tmp/pkg/price.json" <<'JSON'
{"resources": [{"path": "d.csv", "schema": {"fields": [{"name": "x", "type": "integer", "title": "Prix QQ TTC"},
                                                 {"name": "s", "type": "string"}]}}]}
JSON
"$build/foreign-writer" --version 114 "$tmp/pkg/price.json" "$tmp/price.dta"
"$build/foreign-writer" "$tmp/pkg/price.json" "$tmp/price.xpt"
"$build/foreign-writer" "$tmp/pkg/price.json" "$tmp/price.sas7bdat"
for f in price.dta price.xpt price.sas7bdat; do
  python3 -c 'import sys; b = open(sys.argv[1], "rb").read(); open(sys.argv[1], "wb").write(b.replace(b"QQ", b"\x80\x96"))' "$tmp/$f"
done
fails "an old Stata file's Windows-1252 bytes read as latin1 are named, with the advice to leave out --encoding" 0 \
  'price.dta: the label of variable x holds an invisible control character, which latin1 makes of byte 0x80, where Windows-1252 has "€"; leave out --encoding' \
  "$cb" "$tmp/price.dta" --encoding latin1 'CODEBOOK x'
check "... which reads them" bash -c "'$cb' '$tmp/price.dta' 'CODEBOOK x' --format text 2>&1 | grep -q 'Prix €– TTC'"
fails "so are a transport file's" 0 'price.xpt: the label of variable x holds an invisible control character' \
  "$cb" "$tmp/price.xpt" --encoding latin1 'CODEBOOK x'
fails "a SAS data file's, which declares its encoding, get the advice to name cp1252" 0 \
  'price.sas7bdat: the label of variable x holds an invisible control character, which iso-8859-15 makes of byte 0x80, where Windows-1252 has "€"; if the file was written on Windows, name --encoding cp1252' \
  "$cb" "$tmp/price.sas7bdat" --encoding iso-8859-15 'CODEBOOK x'
sed 's/Prix QQ TTC/Prix à Zürich/' "$tmp/pkg/price.json" >"$tmp/pkg/zurich.json"
"$build/foreign-writer" --version 114 "$tmp/pkg/zurich.json" "$tmp/zurich.dta"
fails "an old Stata file's UTF-8 labels read as latin1 are named, with what they become" 0 \
  'zurich.dta: the label of variable x is UTF-8 text ("Prix à Zürich"), read as latin1 ("Prix Ã' \
  "$cb" "$tmp/zurich.dta" --encoding latin1 'CODEBOOK x'
check "a 119 file with ReadStat's strL references keeps its strings" bash -c \
  "'$cb' '$tmp/strl.dta' 'CODEBOOK s' --format json | grep -c '\"category\": \"[abc]\"' | grep -qx 3"
# A strL record holds text (type 130, the value ending with a NUL) or binary
# bytes (129). ReadStat refused a file with a binary record whole, and read a
# text value that lacks its NUL on past its end.
python3 - "$tmp/strl.dta" "$tmp/binary.dta" "$tmp/unended.dta" "$tmp/image.dta" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
binary, unended = bytearray(data), bytearray(data)
at = data.find(b"GSO", data.find(b"<strls>"))
while at >= 0:
    binary[at + 15] = 129  # after "GSO", v (4 bytes) and o (8); then the length (4)
    end = at + 20 + struct.unpack_from("<I", data, at + 16)[0]
    unended[end - 1] = ord("x")
    at = data.find(b"GSO", end)
open(sys.argv[2], "wb").write(binary)
open(sys.argv[3], "wb").write(unended)
for i, (b, u) in enumerate(zip(binary, unended)):
    binary[i] = u if b == data[i] else b  # binary records, their values without a NUL
open(sys.argv[4], "wb").write(binary)
PY
check "binary strL records that end with a NUL read as text" bash -c \
  "'$cb' '$tmp/binary.dta' 'CODEBOOK s' --format json | grep -c '\"category\": \"[abc]\"' | grep -qx 3"
fails "a text strL record without its NUL is refused, not read beyond" 2 \
  'unended.dta: cannot read this Stata data file (.dta): Unable to read from file (a text strL value lacks the NUL that ends it). The file is damaged' \
  "$cb" "$tmp/unended.dta"
fails "a binary strL value is named, not taken for damage" 2 \
  '(the strL value of variable 2 in case 1 is binary (not text), which ReadStat does not read)' "$cb" "$tmp/image.dta"
check "and the file is not said to be damaged" bash -c "! grep -q damaged '$tmp/.stderr'"
# A strL value's length past the file's end (damage, or a record in the other
# byte order, as pandas 1.5.3 writes them into a big-endian file) is said to
# be so, not that memory ran out.
python3 - "$tmp/strl.dta" "$tmp/long-strl.dta" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
at = data.find(b"GSO", data.find(b"<strls>"))
data[at + 16:at + 20] = (8 << 24).to_bytes(4, "little")
open(sys.argv[2], "wb").write(data)
PY
fails "a strL value longer than the file is damage" 2 \
  "(a strL value's length, 134217728 bytes, runs past the file's end). The file is damaged" "$cb" "$tmp/long-strl.dta"
for f in new.dta old.dta t.xpt; do
  check "$f whole reads" test "$(status_of "$cb" "$tmp/$f")" = 0
done
# Files as users keep them: compressed, or zipped under another name. The
# message names what is inside and the command that takes it out.
mkdir "$tmp/kept"
gzip -c "$tmp/new.dta" >"$tmp/kept/survey.dta.gz"
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1], "w").write(sys.argv[2], "wave1.xpt")' \
  "$tmp/kept/archive.zip" "$tmp/t.xpt"
fails "a gzipped Stata file says how to take it out" 2 \
  "kept/survey.dta.gz: a Stata data file (.dta) in a gzip-compressed file, which this program does not read compressed: take it out first (gunzip -k $tmp/kept/survey.dta.gz) and name $tmp/kept/survey.dta" \
  "$cb" "$tmp/kept/survey.dta.gz"
fails "a zip names the transport file it holds" 2 \
  "archive.zip: a zip archive that holds a SAS transport file (.xpt), wave1.xpt, which this program does not read from an archive: take it out first (unzip $tmp/kept/archive.zip) and name wave1.xpt" \
  "$cb" "$tmp/kept/archive.zip"
# ReadStat reads a strL value or a value-label table in one piece of at most
# 16 MiB and says only that memory ran out: a whole file holding a larger one
# is named as such, a header whose counts the file cannot hold as damage.
python3 - "$tmp/strl.dta" "$tmp/new.dta" "$tmp/huge-strl.dta" "$tmp/huge-labels.dta" "$tmp/many-vars.dta" \
  "$tmp/wide.dta" <<'PY'
import struct, sys
def grow(data, at, added, entries=range(14)):
    """data with `added` inserted at `at`, the map's offsets after it moved."""
    out = bytearray(data[:at] + added + data[at:])
    m = out.find(b"<map>") + 5
    for i in entries:
        (o,) = struct.unpack_from("<Q", out, m + 8 * i)
        if o > at:
            struct.pack_into("<Q", out, m + 8 * i, o + len(added))
    return out
strl = open(sys.argv[1], "rb").read()
at = strl.find(b"GSO", strl.find(b"<strls>"))
(length,) = struct.unpack_from("<I", strl, at + 16)
big = (1 << 24) + 1 - length
out = grow(strl, at + 20, b"x" * big)
struct.pack_into("<I", out, at + 16, length + big)
open(sys.argv[3], "wb").write(out)
new = open(sys.argv[2], "rb").read()
at = new.find(b"<lbl>")
(length,) = struct.unpack_from("<I", new, at + 5)
table = at + 5 + 4 + 129 + 3
n, text = 65000, b"".join(b"%0259d\0" % i for i in range(65000))
body = struct.pack("<ii", n, len(text)) + struct.pack(f"<{n}i", *range(0, len(text), 260)) \
    + struct.pack(f"<{n}i", *range(n)) + text
out = grow(new, table + length, body)
out = out[:table] + out[table + length:]  # the old table out, the map moved back by as much
m = out.find(b"<map>") + 5
for i in (12, 13):
    (o,) = struct.unpack_from("<Q", out, m + 8 * i)
    struct.pack_into("<Q", out, m + 8 * i, o - length)
struct.pack_into("<I", out, at + 5, len(body))
open(sys.argv[4], "wb").write(out)
many = bytearray(new)
struct.pack_into("<H", many, many.find(b"<K>") + 3, 0xFFFF)
open(sys.argv[5], "wb").write(many)
open(sys.argv[6], "wb").write(many + bytes(700000))  # as large as 65,535 variables' names alone
PY
fails "a strL value past 16 MiB is named, with what to do" 2 \
  'huge-strl.dta: cannot read this Stata data file (.dta): Unable to read from file (the strL value of variable 2 in case 1 is 16777217 bytes long, more than the 16 MiB ReadStat reads; this program shows at most 32,767 bytes of a value: shorten the longer ones in Stata (replace VAR = substr(VAR, 1, 32767)) and save the file again, to read it here)' \
  "$cb" "$tmp/huge-strl.dta"
check "and the file is not said to be damaged" bash -c "! grep -q damaged '$tmp/.stderr'"
# A strL value may be longer than the widest string a variable holds: it is
# cut to 32,767 bytes, never inside a character, and a warning says so.
python3 - "$tmp/strl.dta" "$tmp/wide-strl.dta" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
at = data.find(b"GSO", data.find(b"<strls>"))
(length,) = struct.unpack_from("<I", data, at + 16)
value = b"a" * 32766 + "\u00e9".encode() + b"tail\0"
out = bytearray(data[:at + 20] + value + data[at + 20 + length:])
struct.pack_into("<I", out, at + 16, len(value))
m = out.find(b"<map>") + 5
for i in range(14):
    (o,) = struct.unpack_from("<Q", out, m + 8 * i)
    if o > at:
        struct.pack_into("<Q", out, m + 8 * i, o + len(value) - length)
open(sys.argv[2], "wb").write(out)
PY
fails "a strL value longer than a string variable holds is cut, with a warning" 0 \
  'wide-strl.dta: variable s holds 1 value longer than 32,767 bytes, the widest string a variable holds here (the longest, in case 1, has 32772 bytes); they are cut to their first 32,767 bytes' \
  "$cb" "$tmp/wide-strl.dta" 'CODEBOOK s' --format json -o "$tmp/wide-strl.json"
check "at a character's start, the width A32767" python3 -c '
import json, sys
table = json.load(open(sys.argv[1]))["items"][0]
cells = {c["category"]: c for g in table["dimensions"][0]["children"] for c in g.get("children", [])}
assert cells["Format"]["cells"][0]["text"] == "A32767"
assert "a" * 32766 in cells and "b" in cells and "c" in cells, sorted(len(k) for k in cells)' "$tmp/wide-strl.json"
fails "a value-label set past 16 MiB is named, with what to do" 2 \
  'huge-labels.dta: cannot read this Stata data file (.dta): Unable to allocate memory (value-label set "x" takes 17420008 bytes, more than the 16 MiB ReadStat reads in one set: shorten its labels, or drop the set in Stata (label drop x) and save the file again, to read it here)' \
  "$cb" "$tmp/huge-labels.dta"
fails "a count of variables the file cannot hold is damage" 2 \
  'many-vars.dta: cannot read this Stata data file (.dta): Unable to allocate memory (its header gives 65535 variables, more than a file of' \
  "$cb" "$tmp/many-vars.dta"
check "and is said to be" grep -q 'holds). The file is damaged$' "$tmp/.stderr"
fails "more variables than ReadStat describes at once are named, with what to do" 2 \
  'wide.dta: cannot read this Stata data file (.dta): Unable to allocate memory (a file of 65535 variables, more than the about 52,000 whose descriptions ReadStat reads at once: save the variables in files of at most 50,000 each to read them here)' \
  "$cb" "$tmp/wide.dta"

# A descriptor on top names the file's extended missing codes as the report
# writes them: x's 9 is .a in the file.
mkdir "$tmp/codes"
cp "$tmp/new.dta" "$tmp/codes/"
cat >"$tmp/codes/datapackage.json" <<'JSON'
{"resources": [{"path": "new.dta", "schema": {"fields": [{"name": "X",
  "categories": [{"value": ".a", "label": "Refused"}, {"value": 1, "label": "yes"}],
  "userMissing": {"values": [".a", 2]}}]}}]}
JSON
"$cb" "$tmp/codes/datapackage.json" 'CODEBOOK x' >"$tmp/codes.txt"
check "a descriptor's category .a labels the file's code" grep -Eq '^  \.a +Refused +1 ' "$tmp/codes.txt"
check "and its userMissing takes .a beside a value" \
  bash -c "sed -n '/^Missing Values/,\$p' '$tmp/codes.txt' | grep -Eq '^  2 +1 '"
# A file's name that is no valid name here ("by", a reserved word) is read
# as by_; a descriptor on top may name it either way, as for CSV fields.
python3 - "$tmp/new.dta" "$tmp/codes/by.dta" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
at = data.index(b"<varnames>") + len(b"<varnames>") + 129  # the second name, s
data[at:at + 3] = b"by\0"
open(sys.argv[2], "wb").write(data)
PY
cat >"$tmp/codes/by.json" <<'JSON'
{"splitFile": ["by"], "multipleResponseSets": [{"name": "$b", "type": "categories", "variables": ["x", "by"]}],
 "resources": [{"path": "by.dta", "schema": {"fields": [{"name": "by", "title": "Answered by"}]}}]}
JSON
check "a descriptor on top names a renamed variable by the file's name" bash -c \
  "'$cb' '$tmp/codes/by.json' 'CODEBOOK by_' 2>/dev/null | grep -q 'Label        Answered by'"
check "the rename note counts the file's variables, not columns" bash -c \
  "'$cb' '$tmp/codes/by.dta' 'CODEBOOK by_' 2>&1 >/dev/null | grep -q ':   variable 2: \"by\" -> by_\$'"

# The last bytes of these files are the value labels (Stata) or the padding
# after the last case (transport: the 3 cases of 9 bytes share one 80-byte record).
# cut_file SOURCE BYTES: the first BYTES of SOURCE (negative: all but the last) as cut-SOURCE.
cut_file() { head -c "$2" "$tmp/$1" >"$tmp/cut-$1"; }
cut_file new.dta -40
fails "a Stata file cut in its value labels is refused" 2 \
  'cut-new.dta: cannot read this Stata data file (.dta): Unable to read from file (the file ends inside a record)' \
  "$cb" "$tmp/cut-new.dta" -o "$tmp/out.json"
cut_file new.dta "$(($(grep -abo '</data>' "$tmp/new.dta" | cut -d: -f1) - 1))"
fails "a Stata file cut in its last row names the case" 2 'cut-new.dta, case 3: cannot read' \
  "$cb" "$tmp/cut-new.dta" -o "$tmp/out.json"
cut_file new.dta -12
fails "a Stata file without its closing tag is refused" 2 'before its closing </stata_dta> tag' \
  "$cb" "$tmp/cut-new.dta" -o "$tmp/out.json"
{ cat "$tmp/new.dta"; printf '\r\n'; } >"$tmp/padded.dta"
check "a Stata file with a line break after its closing tag reads" test "$(status_of "$cb" "$tmp/padded.dta")" = 0
# The old file ends with x's one label table: a 4-byte length, a 33-byte name,
# 3 bytes of padding, then 45 bytes of labels (3 of them, 13 bytes of text).
for at in -5 -45; do
  cut_file old.dta "$at"
  fails "an old Stata file cut in its value labels ($at bytes) is refused" 2 'the file ends inside a record' \
    "$cb" "$tmp/cut-old.dta" -o "$tmp/out.json"
done
# Padding after an old file's last label table (a line break, a Ctrl-Z, the
# NULs of a block) is not a table cut short; neither is a line break after
# the rows of a file without tables.
{ cat "$tmp/old.dta"; printf '\r\n\032'; } >"$tmp/padded-old.dta"
{ cat "$tmp/old.dta"; head -c 512 /dev/zero; } >"$tmp/nuls-old.dta"
"$build/foreign-writer" --version 113 "$tmp/pkg/d.csv" "$tmp/bare.dta"
printf '\n' >>"$tmp/bare.dta"
"$cb" "$tmp/old.dta" 'CODEBOOK x' --format json | sed 's/old\.dta/X/' >"$tmp/old.json"
for f in padded-old.dta nuls-old.dta; do
  check "an old Stata file with padding after its labels ($f) reads as without" \
    diff "$tmp/old.json" <("$cb" "$tmp/$f" 'CODEBOOK x' --format json | sed "s/$f/X/")
done
check "an old Stata file with a line break after its rows reads" test "$(status_of "$cb" "$tmp/bare.dta")" = 0
# Stata labels numbers only; a set named for a string variable (by another
# writer) cannot apply, and is said not to be shown. Release 114: the label
# set names follow the types, names, sort list and formats.
python3 - "$tmp/old.dta" "$tmp/labelled-string.dta" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
k = struct.unpack_from("<H", data, 4)[0]
at = 109 + k + 33 * k + 2 * (k + 1) + 49 * k + 33  # the second variable's, s
data[at:at + 33] = b"x".ljust(33, b"\0")
open(sys.argv[2], "wb").write(data)
PY
fails "a label set named for a string variable is said not to be shown" 0 \
  'labelled-string.dta: value labels apply to numeric variables only; a string variable names a set of them, not shown: s ("x")' \
  "$cb" "$tmp/labelled-string.dta" 'CODEBOOK x s'
cut_file old.dta -85
fails "an old Stata file cut before a label table warns of the labels it lacks" 0 \
  'cut-old.dta: a set of value labels that variables name is not in the file, so their values show without labels: either never defined, or the file is cut short before them:' \
  "$cb" "$tmp/cut-old.dta" -o "$tmp/out.json"
check "the warning names the set and its variables" grep -qx 'codebook: warning:   "x" (x)' "$tmp/.stderr"
rm "$tmp/out.json"
# Release 108 (Stata 6, and R's foreign::write.dta version 6) names a label
# table in 9 bytes, where ReadStat reads 33: the file was refused as cut short.
# Its one table, fac's, is its last 61 bytes: a 4-byte length, the 9-byte
# name, 3 bytes of padding, then 45 bytes of labels.
v6=tests/golden-data/foreign/written/r_foreign_v6.dta
"$cb" "$v6" 'CODEBOOK fac' >"$tmp/v6.txt"
check "release 108's value labels read (R 4.2.2, foreign 0.8.84)" grep -Eq '^  2 +maybe +1 ' "$tmp/v6.txt"
cp "$v6" "$tmp/v6.dta"
{ cat "$v6"; printf '\r\n\032'; } >"$tmp/padded-v6.dta"
check "a release 108 file with padding after its labels reads as without" \
  diff <("$cb" "$v6" --format json | sed 's|[^"]*r_foreign_v6\.dta|X|') \
  <("$cb" "$tmp/padded-v6.dta" --format json | sed 's|[^"]*padded-v6\.dta|X|')
for at in -5 -50 -55; do
  cut_file v6.dta "$at"
  fails "a release 108 file cut in its value labels ($at bytes) is refused" 2 'the file ends inside a record' \
    "$cb" "$tmp/cut-v6.dta" -o "$tmp/out.json"
done
cut_file v6.dta -61
fails "a release 108 file cut before its label table warns of the labels it lacks" 0 'not in the file' \
  "$cb" "$tmp/cut-v6.dta" -o "$tmp/out.json"
rm "$tmp/out.json"
{ cat "$tmp/t.xpt"; printf '\r\n'; } >"$tmp/newline.xpt"
check "a transport file with a line break after its last record reads as without" \
  diff <("$cb" "$tmp/t.xpt" --format json | sed 's/t\.xpt/X/') <("$cb" "$tmp/newline.xpt" --format json | sed 's/newline\.xpt/X/')
head -c $((80 * $(($(stat -c %s "$tmp/t.xpt") / 80 - 1)) + 20)) "$tmp/t.xpt" >"$tmp/cut.xpt"
fails "a transport file cut inside its last case is refused, naming the case" 2 \
  'cut.xpt, case 3: cannot read this SAS transport file (.xpt): Unable to read from file (the file ends inside an 80-byte record)' \
  "$cb" "$tmp/cut.xpt" -o "$tmp/out.json"
check "no output is left" test ! -e "$tmp/out.json"

# A transport file holds datasets one after another, each from a MEMBER header
# record (the 4th record) on: the second's headers are not cases of the first.
printf 'a,b\n5,x\n' >"$tmp/two.csv"
"$build/foreign-writer" "$tmp/two.csv" "$tmp/two.xpt"
printf 'SECOND  ' | dd of="$tmp/two.xpt" bs=1 seek=$((5 * 80 + 8)) conv=notrunc status=none
cat "$tmp/t.xpt" >"$tmp/both.xpt"
tail -c +$((3 * 80 + 1)) "$tmp/two.xpt" >>"$tmp/both.xpt"
fails "a transport file of two datasets warns that the first alone is read" 0 \
  'both.xpt: the transport file holds 2 datasets; only the first, DATASET, is read (the others: SECOND; --resource NAME reads another)' \
  "$cb" "$tmp/both.xpt" 'CODEBOOK x /FILEINFO CASECOUNT' --format json -o "$tmp/both.json"
check "its cases are the first dataset's: 3, x's mean (1 + 2 + 9) / 3" \
  bash -c "grep -q '\"number\": 3.0' '$tmp/both.json' && grep -q '\"number\": 4.0' '$tmp/both.json'"
# --resource reads another, by name (in any case) or number, and only it.
for pick in SECOND second 2; do
  check "--resource $pick reads the second dataset: a, b; 1 case, a = 5" bash -c \
    "'$cb' '$tmp/both.xpt' --resource $pick 'CODEBOOK ALL /FILEINFO CASECOUNT' --format json 2>'$tmp/pick.err' |
     python3 -c 'import json, sys; items = json.load(sys.stdin)[\"items\"]
titles = [i[\"title\"] for i in items if i[\"kind\"] == \"table\"]
text = json.dumps(items)
sys.exit(titles != [\"File Information\", \"a\", \"b\"] or \"\\\"number\\\": 5.0\" not in text)' &&
     ! grep -q 'datasets; only' '$tmp/pick.err'"
done
fails "--resource naming no dataset lists them" 2 \
  'both.xpt: the transport file has no dataset "third" (--resource); its 2 datasets are DATASET, SECOND' \
  "$cb" "$tmp/both.xpt" --resource third
# Under a descriptor, --resource picks the resource: the resource's name picks
# the dataset, as an archive documents each dataset of a library in its own.
mkdir "$tmp/lib" && cp "$tmp/both.xpt" "$tmp/lib/"
printf '{"resources": [{"name": "dataset", "path": "both.xpt"}, {"name": "second", "path": "both.xpt",
  "schema": {"fields": [{"name": "a", "title": "Second a"}]}}, {"name": "other", "path": "both.xpt"}]}' \
  >"$tmp/lib/datapackage.json"
check "a resource named after the second dataset reads it, with the descriptor's label" bash -c \
  "'$cb' '$tmp/lib/datapackage.json' --resource second 'CODEBOOK a' --format json 2>'$tmp/lib.err' |
   grep -q '\"Second a\"' && ! grep -q 'datasets; only' '$tmp/lib.err'"
fails "a resource named after none reads the first, and the warning says how to read another" 0 \
  'only the first, DATASET, is read (the others: SECOND; a resource "name" that is one of them reads that one)' \
  "$cb" "$tmp/lib/datapackage.json" --resource other 'CODEBOOK x'
fails "--resource is refused for a Stata file" 2 'is a Stata data file (.dta)' "$cb" "$tmp/new.dta" --resource 2
# Cut right after the OBS header record: no cases, as in a file written empty.
head -c $(($(grep -abo 'HEADER RECORD\*\*\*\*\*\*\*OBS' "$tmp/t.xpt" | cut -d: -f1) + 80)) "$tmp/t.xpt" >"$tmp/none.xpt"
fails "a transport file with no cases says it may be cut" 1 \
  'none.xpt: the transport file has no cases after its headers (it does not record their number: a file cut right after its headers reads the same)' \
  "$cb" "$tmp/none.xpt"
tail -c +$((3 * 80 + 1)) "$tmp/two.xpt" >>"$tmp/none.xpt"
fails "an empty first dataset with another after it is whole" 1 'the first, DATASET, is read' "$cb" "$tmp/none.xpt"
check "and is not said to be cut" bash -c "! grep -q 'cut right after' '$tmp/.stderr'"

# VAX/VMS wrote a transport file's variable descriptions (NAMESTR records)
# 136 bytes long, not 140: the same file so written reads the same.
"$build/foreign-writer" --version 5 "$tmp/pkg/d.csv" "$tmp/t5.xpt"
python3 - "$tmp/t5.xpt" "$tmp/vax.xpt" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
records = [data[i:i + 80] for i in range(0, len(data), 80)]
member = next(i for i, r in enumerate(records) if r.startswith(b"HEADER RECORD*******MEMBER"))
names = next(i for i, r in enumerate(records) if r.startswith(b"HEADER RECORD*******NAMESTR"))
count = int(records[names][48:58])
obs = next(i for i, r in enumerate(records) if r.startswith(b"HEADER RECORD*******OBS"))
records[member] = records[member][:74] + b"0136" + records[member][78:]
described = b"".join(records[names + 1:obs])
narrow = b"".join(described[i * 140:i * 140 + 136] for i in range(count))
narrow += b" " * (-len(narrow) % 80)
open(sys.argv[2], "wb").write(b"".join(records[:names + 1]) + narrow + b"".join(records[obs:]))
PY
"$cb" "$tmp/t5.xpt" --format json >"$tmp/t5.json"
"$cb" "$tmp/vax.xpt" --format json >"$tmp/vax.json"
check "a transport file with 136-byte variable descriptions reads as with 140" \
  diff <(sed 's/t5\.xpt/X/' "$tmp/t5.json") <(sed 's/vax\.xpt/X/' "$tmp/vax.json")

# A transport number whose fraction is zero is 0 whatever its sign and
# exponent: writers put -0 as 0x80 then zeros, and some a zero with an
# exponent. ReadStat hands both on as NaN. x: 5, 1, 5 made -0, 1, 0.
printf 'x\n5\n1\n5\n' >"$tmp/zeros.csv"
"$build/foreign-writer" --version 5 "$tmp/zeros.csv" "$tmp/zeros.xpt"
python3 - "$tmp/zeros.xpt" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
cases = data.find(b"HEADER RECORD*******OBS") + 80
data[cases:cases + 8] = b"\x80" + bytes(7)
data[cases + 16:cases + 24] = b"\x40" + bytes(7)  # not "A" to "Z": those are .A to .Z
open(sys.argv[1], "wb").write(data)
PY
"$cb" "$tmp/zeros.xpt" 'CODEBOOK x' --format json >"$tmp/zeros.json"
check "transport zeros with a sign or an exponent are 0, not missing: 3 valid, mean 1/3" \
  python3 - "$tmp/zeros.json" <<'PY'
import json, sys
rows = {c["category"]: c["cells"][0].get("number") for g in json.load(open(sys.argv[1]))["items"][0]["dimensions"][0]["children"]
        for c in g.get("children", []) if c.get("cells")}
sys.exit(not (rows["Valid"] == 3 and rows["Missing"] == 0 and abs(rows["Mean"] - 1 / 3) < 1e-12))
PY

# Releases 102 and 103 (Stata 1 to 3) begin as later releases do: named by
# release, under a .dta name or any other.
for release in 102 103; do
  python3 -c "import struct, sys; sys.stdout.buffer.write(struct.pack('<BBBBHH', $release, 2, 1, 0, 2, 3) + bytes(300))" \
    >"$tmp/r$release.dta"
  cp "$tmp/r$release.dta" "$tmp/r$release.bin"
  for f in r$release.dta r$release.bin; do
    fails "a Stata file of release $release ($f) is named by its release" 2 \
      "$f: a Stata data file of release $release, earlier than the releases this program reads (104 to 119)" "$cb" "$tmp/$f"
  done
done

# A dataset without variables (Stata saves one with only `set obs`) is whole
# but holds nothing to document; ReadStat calls it invalid or out of memory.
python3 - "$tmp/new.dta" "$tmp/t5.xpt" "$tmp/novars-old.dta" "$tmp/novars-new.dta" "$tmp/novars.xpt" <<'PY'
import struct, sys
new, xpt = open(sys.argv[1], "rb").read(), bytearray(open(sys.argv[2], "rb").read())
# Release 114: the header (release, byte order, type, unused, 0 variables,
# 3 cases, label, time stamp), the sort list's end and the fields' end.
open(sys.argv[3], "wb").write(struct.pack("<BBBBHI81s18s", 114, 2, 1, 0, 0, 3, b"", b"") + bytes(2 + 5))
at = new.index(b"<K>") + 3
open(sys.argv[4], "wb").write(new[:at] + bytes(2) + new[at + 2:])
at = xpt.index(b"HEADER RECORD*******NAMESTR") + 48
xpt[at:at + 10] = b"0000000000"
open(sys.argv[5], "wb").write(xpt)
PY
fails "an old Stata file without variables says so" 2 \
  'novars-old.dta: a Stata data file without variables (its header gives 3 cases), so there is nothing to document' \
  "$cb" "$tmp/novars-old.dta"
fails "so does a new one" 2 'novars-new.dta: a Stata data file without variables (its header gives 3 cases)' \
  "$cb" "$tmp/novars-new.dta" -o "$tmp/novars.json"
check "and leaves no output" test ! -e "$tmp/novars.json"
fails "and a transport file's dataset without variables" 2 \
  "novars.xpt: the transport file's DATASET has no variables, so there is nothing to document" "$cb" "$tmp/novars.xpt"

# A received package: the SAS format catalog beside the data file is read
# with it, so it is held to the package's folder as the data file is.
mkdir "$tmp/sas" "$tmp/outside"
"$build/foreign-writer" "$tmp/pkg/datapackage.json" "$tmp/outside/f.sas7bdat"
cp "$tmp/outside/f.sas7bdat" "$tmp/sas/"
ln -s ../outside/f.sas7bcat "$tmp/sas/f.sas7bcat"
echo '{"resources": [{"path": "f.sas7bdat"}]}' >"$tmp/sas/datapackage.json"
fails "a package's SAS catalog linked from outside its folder is refused" 2 \
  'resources[0].path (its format catalog): the path "f.sas7bcat" leads out of the folder through a symbolic link' \
  "$cb" "$tmp/sas/datapackage.json"
rm "$tmp/sas/f.sas7bcat"
cp "$tmp/outside/f.sas7bcat" "$tmp/sas/"
check "a package's SAS catalog inside its folder gives the labels" bash -c \
  "'$cb' '$tmp/sas/datapackage.json' --format json | grep -q '\"text\": \"one\"'"
printf 'z\n1\n' >"$tmp/other.csv"
echo '{"resources": [{"path": "other.csv", "schema": {"fields": [{"name": "z", "type": "integer", "categories": [{"value": 1, "label": "a"}]}]}}]}' >"$tmp/other.json"
"$build/foreign-writer" "$tmp/other.json" "$tmp/other.sas7bdat"
fails "a catalog whose formats no variable uses is said to be another file's" 0 \
  'other.sas7bcat: the one format in this catalog is used by no variable of' \
  "$cb" "$tmp/sas/f.sas7bdat" --catalog "$tmp/other.sas7bcat"
fails "--catalog naming the data file itself says what it named" 2 \
  'f.sas7bdat: not a SAS format catalog (.sas7bcat): its first bytes are not those of one; it is a SAS data file (.sas7bdat); --catalog names the catalog' \
  "$cb" "$tmp/sas/f.sas7bdat" --catalog "$tmp/sas/f.sas7bdat"
fails "a Stata file that is not there says so as a CSV file would" 2 \
  'gone.dta: cannot open the file (No such file or directory); check the path' "$cb" "$tmp/gone.dta"
# ReadStat cannot read back the catalog of these two formats that its own
# writer made (foreign-writer says so and stops): its refusal asks for
# memory by a size read from the catalog, which is no lack of memory.
"$build/foreign-writer" --catalog-var sex --catalog-var region examples/survey/datapackage.json \
  "$tmp/unread.sas7bdat" 2>/dev/null
fails "a catalog ReadStat cannot read is named as one, not as a lack of memory" 2 \
  'unread.sas7bcat: cannot read this SAS format catalog (.sas7bcat): Unable to allocate memory, for a size read from the catalog itself: the catalog is damaged' \
  "$cb" "$tmp/unread.sas7bdat"
fails "--catalog naming a device says so" 2 \
  "/dev/null: is not a regular file (a pipe, a device or a socket), so it cannot be read as a SAS format catalog; name" \
  "$cb" "$tmp/sas/f.sas7bdat" --catalog /dev/null
fails "--catalog naming a folder says so" 2 "sas: is a folder, not a SAS format catalog; name the catalog's file" \
  "$cb" "$tmp/sas/f.sas7bdat" --catalog "$tmp/sas"
fails "--catalog with a CSV file is ignored with a warning" 0 \
  "f.sas7bcat: a format catalog belongs to a SAS data file (.sas7bdat); ignored for $tmp/pkg/d.csv" \
  "$cb" "$tmp/pkg/d.csv" --catalog "$tmp/sas/f.sas7bcat"

# Files copied from a system that ignores letter case: the catalog is found
# in any case, but a link only under the exact name (that a package checks).
mkdir "$tmp/case"
cp "$tmp/sas/f.sas7bdat" "$tmp/case/Survey.sas7bdat"
cp "$tmp/sas/f.sas7bcat" "$tmp/case/survey.sas7bcat"
ln -s ../sas/f.sas7bcat "$tmp/case/LINKED.sas7bcat"
cp "$tmp/sas/f.sas7bdat" "$tmp/case/linked.sas7bdat"
check "a catalog beside the data in another letter case gives the labels" bash -c \
  "'$cb' '$tmp/case/Survey.sas7bdat' --format json | grep -q '\"text\": \"one\"'"
check "a link in another letter case is not followed" bash -c \
  "! '$cb' '$tmp/case/linked.sas7bdat' --format json | grep -q '\"text\": \"one\"'"

# SAS keeps a library's formats in formats.sas7bcat: beside a data file
# without a catalog of its own, it is pointed at, not read.
mkdir "$tmp/lib"
cp "$tmp/sas/f.sas7bdat" "$tmp/lib/survey.sas7bdat"
cp "$tmp/sas/f.sas7bcat" "$tmp/lib/formats.sas7bcat"
fails "a library's formats.sas7bcat beside the data is named" 0 \
  "formats.sas7bcat: a SAS format catalog beside $tmp/lib/survey.sas7bdat, not read with it (that would be survey.sas7bcat, which is not there); give it with --catalog FILE" \
  "$cb" "$tmp/lib/survey.sas7bdat" -o "$tmp/lib.json"

# ReadStat says only that it cannot read a SAS data file cut short.
head -c -1 "$tmp/outside/f.sas7bdat" >"$tmp/cut.sas7bdat"
fails "a SAS data file cut short gives its size and the size its header promises" 2 \
  'bytes where its header promises' "$cb" "$tmp/cut.sas7bdat"
head -c 100 "$tmp/outside/f.sas7bdat" >"$tmp/cut.sas7bdat"
fails "so does one cut inside the header's first fields" 2 \
  'the file has 100 bytes, too few for the header of a SAS file: it is cut short' "$cb" "$tmp/cut.sas7bdat"
# A page in the middle that ReadStat cannot read (its type overwritten) loses
# that page's cases: the file is short of cases, but not after the last read.
python3 -c 'import csv, sys; w = csv.writer(sys.stdout); w.writerow(["a", "s"]); w.writerows([i, f"x{i}"] for i in range(3000))' \
  >"$tmp/many.csv"
"$build/foreign-writer" "$tmp/many.csv" "$tmp/many.sas7bdat"
python3 - "$tmp/many.sas7bdat" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
order = "<" if data[37] == 1 else ">"
header, page = struct.unpack_from(order + "II", data, 200 if data[35] == 0x33 else 196)
middle = header + page * ((len(data) - header) // page // 2)
data[middle:middle + 64] = b"\xff" * 64
open(sys.argv[1], "wb").write(data)
PY
fails "a SAS data file with a page of cases lost names no case" 2 \
  'many.sas7bdat: cannot read this SAS data file (.sas7bdat): File did not contain the expected number of rows' \
  "$cb" "$tmp/many.sas7bdat" -o "$tmp/many.html"
check "and leaves no output" test ! -e "$tmp/many.html"
mkdir "$tmp/cutcat"
cp "$tmp/outside/f.sas7bdat" "$tmp/cutcat/"
head -c -1 "$tmp/outside/f.sas7bcat" >"$tmp/cutcat/f.sas7bcat"
fails "so does its catalog cut short" 2 \
  'f.sas7bcat: cannot read this SAS format catalog (.sas7bcat): Unable to read from file (the file has' \
  "$cb" "$tmp/cutcat/f.sas7bdat"

# An empty extract: no cases, its 120 columns described over several pages
# (ReadStat refused such a file as invalid, a narrow one not).
python3 -c 'print(",".join(f"v{i}" for i in range(1, 121)))' >"$tmp/wide.csv"
"$build/foreign-writer" "$tmp/wide.csv" "$tmp/wide.sas7bdat"
fails "a wide SAS data file without cases is an empty dataset with every variable" 1 'Empty dataset' \
  "$cb" "$tmp/wide.sas7bdat" 'CODEBOOK v1 v120'

# Old releases as Stata wrote them: the largest valid byte is 126 before 113
# and 100 from 113 on; text is UTF-8 or Windows-1252, byte by byte.
for release in 111 113 115; do
  python3 -B tests/golden-data/foreign/stata_old.py "$release" 2 "$tmp/r$release.dta"
  "$cb" "$tmp/r$release.dta" 'CODEBOOK b s /VARINFO VALUELABELS.' --format text >"$tmp/r$release.txt"
  largest=$([ "$release" -lt 113 ] && echo 126 || echo 100)
  check "release $release: $largest is the largest valid byte, its label UTF-8" \
    grep -q "^  $largest *größte *1" "$tmp/r$release.txt"
  check "release $release: Windows-1252 and UTF-8 text side by side" \
    bash -c "grep -q '^  -127 *café' '$tmp/r$release.txt' && grep -q '^  ab€ ' '$tmp/r$release.txt'"
done

# A value cut by bytes to its width inside a character (str7 holding
# "aäää" cut after the first byte of the last ä) loses the cut character,
# as Python's decoder that drops what is not UTF-8 reads it.
printf 's\naäää\nxy\n' >"$tmp/cutchar.csv"
"$build/foreign-writer" --version 118 "$tmp/cutchar.csv" "$tmp/cutchar.dta"
python3 - "$tmp/cutchar.dta" >"$tmp/cutchar.want" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
at = data.index("aäää".encode())
data[at + 6] = 0
open(sys.argv[1], "wb").write(data)
print(bytes(data[at:at + 6]).decode("utf-8", errors="ignore"))
PY
check "a UTF-8 value cut inside its last character loses that character" bash -c \
  "'$cb' '$tmp/cutchar.dta' 'CODEBOOK s' --format text | grep -q \"^  \$(cat '$tmp/cutchar.want') \""

fails "an encoding iconv does not know is named as such, not as the file's" 2 \
  'r115.dta: the encoding "latin-99" is not one this system converts' "$cb" "$tmp/r115.dta" --encoding latin-99
fails "text that is not in the encoding given says so, naming it" 2 \
  'Its text is not in the encoding given, utf-8: give the file'"'"'s own with --encoding' "$cb" "$tmp/r115.dta" --encoding utf-8

# A SAS file whose header names an encoding ReadStat does not know reads
# with --encoding (the advice its refusal gives), catalog and all.
cp "$tmp/sas/f.sas7bdat" "$tmp/sas/f.sas7bcat" "$tmp/outside/"
printf '\377' | dd of="$tmp/outside/f.sas7bdat" bs=1 seek=70 conv=notrunc status=none
fails "a SAS file with an unknown encoding asks for --encoding" 2 'Give the file'"'"'s encoding with --encoding' \
  "$cb" "$tmp/outside/f.sas7bdat"
printf '\377' | dd of="$tmp/outside/f.sas7bcat" bs=1 seek=70 conv=notrunc status=none
check "and given it, reads the file and its catalog" bash -c \
  "'$cb' '$tmp/outside/f.sas7bdat' --encoding latin1 --format json | grep -q '\"text\": \"one\"'"

# A file that cannot be read says so, not that its bytes are wrong.
: >"$tmp/empty.dta"
fails "an empty .dta file is said to be empty" 2 \
  'empty.dta: the file is empty (0 bytes), so it is not a Stata data file (.dta)' "$cb" "$tmp/empty.dta"
gzip -c "$tmp/new.dta" >"$tmp/packed.dta"
fails "a compressed Stata file under its own name is said to be compressed" 2 \
  'packed.dta: not a Stata data file (.dta): its first bytes are not those of such a file (they are those of a gzip-compressed file: take the file out of it first)' \
  "$cb" "$tmp/packed.dta"
python3 -c 'import sys; d = open(sys.argv[1], "rb").read(); open(sys.argv[2], "wb").write(d.replace(b"<release>118<", b"<release>120<", 1))' \
  "$tmp/new.dta" "$tmp/r120.dta"
fails "a Stata file of a release after 119 says so, not that it is damaged" 2 \
  'r120.dta: a Stata data file of release 120, later than the releases this program reads (104 to 119)' "$cb" "$tmp/r120.dta"
mkfifo "$tmp/piped.dta"  # nothing writes to it: opening it would wait (hence the timeout)
fails "a pipe under a Stata file's name is refused before it is opened" 2 \
  'piped.dta: is a named pipe, not a file; a Stata data file (.dta) is read from a file' \
  timeout 60 "$cb" "$tmp/piped.dta"
printf '**COMPRESSED** **COMPRESSED** **COMPRESSED** **COMPRESSED** **COMPRESSED********' >"$tmp/cport.xpt"
head -c 400 /dev/zero >>"$tmp/cport.xpt"
fails "a file of PROC CPORT under .xpt is named as such, not as text" 2 \
  'cport.xpt: not a SAS transport file (.xpt): it is a SAS CPORT file (written by PROC CPORT), whose layout only SAS reads' \
  "$cb" "$tmp/cport.xpt"
mkdir -m 755 "$tmp/locked"
cp "$tmp/new.dta" "$tmp/locked/l.dta"
chmod 000 "$tmp/locked/l.dta"
as_other=()  # root reads any file: run as nobody where that can be done
[ "$(id -u)" = 0 ] && as_other=(setpriv --reuid=65534 --regid=65534 --clear-groups)
if [ "$(id -u)" != 0 ] || "${as_other[@]}" true 2>/dev/null; then
  chmod 755 "$tmp"
  fails "a .dta file without read permission says why it cannot be read" 2 \
    'l.dta: cannot open the file (Permission denied)' "${as_other[@]}" "$cb" "$tmp/locked/l.dta"
  cp "$tmp/sas/f.sas7bdat" "$tmp/sas/f.sas7bcat" "$tmp/locked/"
  chmod 000 "$tmp/locked/f.sas7bcat"
  fails "so does the SAS catalog found beside a data file" 2 \
    'f.sas7bcat: cannot open the SAS format catalog (Permission denied), found beside the data file' \
    "${as_other[@]}" "$cb" "$tmp/locked/f.sas7bdat"
fi

# Names that differ only in case ("Age", "AGE") would be one variable here,
# where names are compared ignoring case: the file is refused, naming both
# (also under a descriptor, which would otherwise name either).
mkdir "$tmp/clash"
printf 'Age,AGX\n1,10\n2,20\n' >"$tmp/clash/d.csv"
"$build/foreign-writer" "$tmp/clash/d.csv" "$tmp/clash/clash.dta"
python3 -c 'import sys; b = open(sys.argv[1], "rb").read(); open(sys.argv[1], "wb").write(b.replace(b"AGX", b"AGE"))' \
  "$tmp/clash/clash.dta"
fails "a Stata file whose names are equal ignoring case is refused, naming both" 2 \
  'clash.dta: variables 1 and 2, "Age" and "AGE", have names that are equal ignoring case' "$cb" "$tmp/clash/clash.dta"
printf '{"weight": "AGE", "resources": [{"path": "clash.dta", "schema": {"fields": [{"name": "AGE", "title": "upper"}]}}]}' \
  >"$tmp/clash/datapackage.json"
fails "so is it under a descriptor" 2 'have names that are equal ignoring case' "$cb" "$tmp/clash/datapackage.json"
finish
