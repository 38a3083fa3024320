#!/usr/bin/env bash
# Data as it comes: compressed files, standard input, encodings, dialects,
# renamed headers reported once, and every descriptor problem in one run.
set -uo pipefail
build=$1
cb="$build/codebook"
pub=tests/golden-data/published
source "$(dirname "$0")/lib/check.sh"
run() { "$cb" "$@" --format json --quiet 'CODEBOOK /STATISTICS COUNT MEAN'; }
same_as_plain() { run "$@" | cmp -s - "$tmp/plain.json"; }

run $pub/survey.csv >"$tmp/plain.json"
gzip -c $pub/survey.csv >"$tmp/survey.csv.gz"
zstd -q -c $pub/survey.csv >"$tmp/survey.csv.zst"
(head -c 100 $pub/survey.csv | gzip -c; tail -c +101 $pub/survey.csv | gzip -c) >"$tmp/members.csv.gz"
check ".csv.gz reads as the plain file" same_as_plain "$tmp/survey.csv.gz"
check ".csv.zst reads as the plain file" same_as_plain "$tmp/survey.csv.zst"
check "a gzip file of several members reads whole" same_as_plain "$tmp/members.csv.gz"
{ cat "$tmp/survey.csv.gz"; head -c 1000 /dev/zero; } >"$tmp/padded.csv.gz"
check "a gzip file padded with zero bytes reads whole" same_as_plain "$tmp/padded.csv.gz"
# pzstd writes a skippable frame before each frame of data.
{ printf 'P*M\x18\x04\x00\x00\x00skip'; head -c 100 $pub/survey.csv | zstd -q -c
  printf '\x5F\x2A\x4D\x18\x00\x00\x00\x00'; tail -c +101 $pub/survey.csv | zstd -q -c; } >"$tmp/frames.csv.zst"
check "a zstd file of several frames, skippable ones first, reads whole" same_as_plain "$tmp/frames.csv.zst"
check "standard input reads as the file" same_as_plain - <$pub/survey.csv
check "compressed standard input reads as the file" same_as_plain - <"$tmp/survey.csv.zst"
check "an early stop on standard input still counts every case" bash -c \
  "'$cb' - --format json --quiet 'CODEBOOK /FILEINFO CASECOUNT /STATISTICS NONE' <$pub/survey.csv | grep -q '\"text\": \"8\"'"

printf '\xFD7zXZ\x00\x00\x04\xE6\xD6' >"$tmp/xz.csv.gz"  # the start of an xz file
fails "xz data under a .gz name is named as such" 2 'xz.csv.gz: the file is compressed with xz, which this program does not read' \
  "$cb" "$tmp/xz.csv.gz" --quiet
printf 'PK\x03\x04\x14\x00\x06\x00\x08\x00' >"$tmp/book.csv"
fails "a workbook saved under a .csv name is named as such" 2 'book.csv: the file is a zip archive (an .xlsx or .ods workbook is one too)' \
  "$cb" "$tmp/book.csv" --quiet
printf '\xEF\xBB\xBF\r\n<!DOCTYPE html>\n<html><body>Sign in</body></html>\n' >"$tmp/page.csv"
fails "a web page saved under a .csv name is named as such" 2 'page.csv: the file is a web page (HTML), not CSV data' \
  "$cb" "$tmp/page.csv" --quiet
# Tables in other binary formats, and a document downloaded in the data's place.
printf 'PAR1\x15\x04\x15\x10\x15\x14L' >"$tmp/table.csv"
fails "a Parquet file under a .csv name is named as such" 2 'table.csv: the file is a Parquet file, which this program does not read' \
  "$cb" "$tmp/table.csv" --quiet
printf 'PAR1,PAR2\n1,2\n' >"$tmp/params.csv"
check "... but not a header that begins so" bash -c "'$cb' '$tmp/params.csv' --quiet 'CODEBOOK /STATISTICS NONE' >/dev/null"
printf 'SQLite format 3\000\020\000\001\001\000@  ' >"$tmp/db.csv"  # a database's first bytes
fails "an SQLite database is named, with the export that makes CSV of it" 2 \
  "db.csv: the file is an SQLite database, which this program does not read; export a table of it as CSV (sqlite3 -header -csv FILE 'select * from TABLE' > data.csv)" \
  "$cb" "$tmp/db.csv" --quiet
printf '%%PDF-1.7\n%%\xe2\xe3\xcf\xd3\n' >"$tmp/report.csv"
fails "a PDF given as the data is named as such" 2 'standard input: the file is a PDF document, not CSV data' \
  "$cb" - --quiet <"$tmp/report.csv"
fails "a descriptor piped in as standard input is named as JSON" 2 'standard input: the file is JSON, not CSV data' \
  "$cb" - --quiet <examples/survey/datapackage.json
fails "a Stata file piped in as standard input is named as one" 2 'standard input: the data is a Stata data file' \
  "$cb" - --quiet <examples/stata/survey.dta
head -c 150 "$tmp/survey.csv.gz" >"$tmp/cut.csv.gz"
fails "a cut-short gzip file names the file" 2 'cut.csv.gz: the compressed data ends early' "$cb" "$tmp/cut.csv.gz" --quiet
fails "latin-1 without --encoding names the line and suggests --encoding" 2 \
  'latin1.csv, line 1, column 2: the header is not valid UTF-8 (at byte 2: 0xE9, which is "é" in cp1252). Name the file'"'"'s encoding with --encoding (such as --encoding cp1252)' \
  "$cb" $pub/latin1.csv --quiet
fails "an unknown encoding is named" 2 'no-such-encoding' "$cb" $pub/latin1.csv --encoding no-such-encoding --quiet
printf 'a,b\n1,\x81\n' >"$tmp/cp.csv"
fails "a byte that is not in the encoding names its line" 2 'cp.csv, line 2' "$cb" "$tmp/cp.csv" --encoding cp1252 --quiet
printf '\xff\xfea\x00,\x00b\x00\n\x001\x00,\x00x\x00\n\x00' >"$tmp/utf16.csv"
check "a UTF-16 file with a byte order mark is read" bash -c "'$cb' '$tmp/utf16.csv' --format json --quiet | grep -q '\"title\": \"b\"'"
fails "an encoding named for a file whose mark says UTF-16 names both" 2 \
  'utf16.csv: the file begins with a UTF-16 byte order mark, so its text is UTF-16, not latin1' \
  "$cb" "$tmp/utf16.csv" --encoding latin1 --quiet
# UTF-32 with its mark, little-endian (Python's "utf-32", PowerShell's UTF32) and big-endian:
# the little-endian mark begins as UTF-16's does.
printf 'a,b\nZ\xc3\xbcrich,2\n' | iconv -f utf-8 -t utf-32le | { printf '\xff\xfe\0\0'; cat; } >"$tmp/utf32.csv"
printf 'a,b\nZ\xc3\xbcrich,2\n' | iconv -f utf-8 -t utf-32be | { printf '\0\0\xfe\xff'; cat; } >"$tmp/utf32be.csv"
for f in utf32.csv utf32be.csv; do
  check "a $f file with its byte order mark is read" bash -c \
    "'$cb' '$tmp/$f' 'CODEBOOK a' --format json --quiet | grep -q '\"category\": \"Zürich\"'"
done
fails "and named as such when another encoding is given" 2 \
  'utf32.csv: the file begins with a UTF-32 byte order mark, so its text is UTF-32, not latin1' \
  "$cb" "$tmp/utf32.csv" --encoding latin1 --quiet
# Cut after an odd byte, the text its mark names cannot end: damage, not a wrong --encoding.
{ cat "$tmp/utf16.csv"; printf 'x'; } >"$tmp/utf16-odd.csv"
fails "a UTF-16 file cut inside a character is said to be damaged, not misnamed" 2 \
  'utf16-odd.csv, line 3: the text ends inside a character; the file begins with a UTF-16 byte order mark, so it is damaged or cut short' \
  "$cb" "$tmp/utf16-odd.csv" --quiet
{ printf '\xEF\xBB\xBF'; cat $pub/survey.csv; } >"$tmp/bom.csv"
fails "an encoding named for a file whose mark says UTF-8 names both" 2 'its text is UTF-8, not cp1252' \
  "$cb" "$tmp/bom.csv" --encoding cp1252 --quiet
# A header saved with the mark, joined to rows in a code page: the mark is no
# guide there, and the encoding the error suggests must then read the file.
{ printf '\xEF\xBB\xBF'; cat $pub/latin1.csv; } >"$tmp/bom-latin1.csv"
check "a mark over text that is not UTF-8 gives way to the encoding named, with a warning" bash -c \
  "'$cb' '$tmp/bom-latin1.csv' --encoding latin1 -f json 2>'$tmp/bom.err' | cmp -s - <('$cb' $pub/latin1.csv --encoding latin1 -f json -q) &&
   grep -q 'begins with a UTF-8 byte order mark, but its text is not UTF-8 (line ' '$tmp/bom.err'"
fails "UTF-8 data named as UTF-16 say so, instead of a header of Chinese-looking characters" 2 \
  'survey.csv: the file is not utf-16 text but UTF-8' "$cb" $pub/survey.csv --encoding utf-16 --quiet
# Files from Windows are often named latin1, which gives their curly quotes,
# dashes and euro signs (bytes 0x80-0x9F) to invisible control characters.
printf 'name,note\nA,5\x80 \x96 ok\n' >"$tmp/win.csv"
fails "Windows-1252 bytes read as latin1 are named with their Windows reading" 0 \
  'win.csv, line 2: byte 0x80 is an invisible control character in latin1, where Windows-1252 has "€"; if the file was saved on Windows, name --encoding cp1252' \
  "$cb" "$tmp/win.csv" --encoding latin1
check "... and not when read as cp1252, which reads them" bash -c \
  "'$cb' '$tmp/win.csv' --encoding cp1252 --format json --quiet 2>&1 | grep -q '5€ – ok' && \
   ! '$cb' '$tmp/win.csv' --encoding cp1252 2>&1 >/dev/null | grep -q warning"
check "... nor for latin1 text" bash -c "! '$cb' $pub/latin1.csv --encoding latin1 2>&1 >/dev/null | grep -q warning"
# UTF-8 text named as a one-byte encoding turns each accented letter into two.
printf 'city,n\nZ\xc3\xbcrich,1\nGen\xc3\xa8ve,2\n' >"$tmp/utf8.csv"
fails "UTF-8 text read as latin1 is named, with what it becomes" 0 \
  'utf8.csv, line 2: the text is UTF-8 ("Zürich"), but it is read as latin1, which makes "ZÃ¼rich" of it; leave out --encoding' \
  "$cb" "$tmp/utf8.csv" --encoding latin1
printf 'city,n\n\xe2\x80\x9dZ\xc3\xbcrich\xe2\x80\x9d,1\n' >"$tmp/quotes.csv"
fails "UTF-8 text an encoding cannot read says it is UTF-8" 2 \
  'quotes.csv, line 2: a byte sequence is not cp1252 text; check the encoding named with --encoding (or the resource'"'"'s "encoding"); the file is UTF-8 text ("”Zürich”" on line 2), which needs no --encoding' \
  "$cb" "$tmp/quotes.csv" --encoding cp1252 --quiet
# DOS tools end a text file with Ctrl-Z; CP/M ones pad the last block with it.
{ sed 's/$/\r/' $pub/survey.csv; printf '\x1A'; } >"$tmp/dos.csv"
check "a Ctrl-Z after the last line is no row" same_as_plain "$tmp/dos.csv"
{ cat $pub/survey.csv; head -c 300 /dev/zero | tr '\0' '\032'; } | gzip -c >"$tmp/cpm.csv.gz"
check "Ctrl-Z padding of a compressed file is no row" same_as_plain "$tmp/cpm.csv.gz"
{ printf 'x\n1\n2\n'; head -c 100 /dev/zero; } >"$tmp/zeros.csv"
fails "a file that ends in zero bytes, not written to its end, says so" 2 \
  'zeros.csv: the file ends with zero bytes (NUL) instead of text' "$cb" "$tmp/zeros.csv" --quiet
# A file never written (room set aside for a download that did not finish)
# holds only zeros: one cell of its whole size, or a header taken for UTF-16.
truncate -s 300M "$tmp/hole.csv"
mkdir -p "$tmp/hole" && truncate -s 300M "$tmp/hole/data.csv" && echo '{"resources": [{"path": "data.csv"}]}' >"$tmp/hole/datapackage.json"
for f in hole.csv hole/datapackage.json; do
  fails "a file of nothing but zero bytes says it was never written ($f)" 2 \
    'the file begins with nothing but zero bytes (NUL), not text: it was never written' "$cb" "$tmp/$f" --quiet
done
head -c 5000 /dev/zero | gzip -c >"$tmp/hole.csv.gz"
fails "so does a compressed one" 2 'hole.csv.gz: the file begins with nothing but zero bytes' "$cb" "$tmp/hole.csv.gz"

{ echo 'id,x'; seq 1 300 | sed 's/$/,1.5/'; echo '301,no answer'; } >"$tmp/late.csv"
fails "a text cell far down a column of numbers is pointed out" 0 \
  'late.csv, line 302, column 2 (variable x): "no answer" is the first cell that is not a number, after 300 rows' \
  "$cb" "$tmp/late.csv" 'CODEBOOK x /STATISTICS NONE'
# Numbers with a few texts that mean "no value" but are not in the list.
printf 'x,y,z
n/a,1,yes
2,#N/A,no
-,3,1
n/a,-,2
4,5,NA
' >"$tmp/marks.csv"
"$cb" "$tmp/marks.csv" 'CODEBOOK /STATISTICS NONE' >/dev/null 2>"$tmp/err"
check "texts that look like no value in a column of numbers are named, with how to declare them" grep -qF \
  "marks.csv, column 1 (variable x): every cell that is neither a number nor empty is \"n/a\" (2 cells) or \"-\" (1 cell), so the column is text; if they mean no value, name them as missing values (--missing 'NA,N/A,NaN,NULL,.,n/a,-' keeps the usual ones too)" \
  "$tmp/err"
check "also a spreadsheet's error value and a dash together" grep -qF \
  'column 2 (variable y): every cell that is neither a number nor empty is "#N/A" (1 cell) or "-" (1 cell)' "$tmp/err"
check "but not words that are answers" bash -c "! grep -q 'variable z' '$tmp/err'"
check "and the --missing named keeps the columns numeric" bash -c \
  "'$cb' '$tmp/marks.csv' --missing 'NA,N/A,NaN,NULL,.,n/a,-,#N/A' --format text --quiet 'CODEBOOK x y /STATISTICS NONE' |
   grep -c '^  Type  *Numeric$' | grep -qx 2"
# Statistics offices' marks for figures not given: Eurostat's ":", a letter, British "[x]" and "[c]", a dash.
printf 'area,persons,rate\nA,12,1.5\nB,:,[x]\nC,x,[c]\nD,7,2.25\nE,\xe2\x80\x93,3\n' >"$tmp/office-marks.csv"
"$cb" "$tmp/office-marks.csv" 'CODEBOOK /STATISTICS NONE' >/dev/null 2>"$tmp/err"
check "offices' marks in a column of numbers are named" grep -qF \
  'column 2 (variable persons): every cell that is neither a number nor empty is ":" (1 cell), "x" (1 cell) or "–" (1 cell)' "$tmp/err"
check "also codes in brackets" grep -qF 'column 3 (variable rate): every cell that is neither a number nor empty is "[x]" (1 cell) or "[c]" (1 cell)' "$tmp/err"
# Times of day written in a zone, as databases write a time with time zone.
printf 'opens,closes\n08:30:00+01:00,17:00\n09:00:00-05:00,18:30:00Z\n' >"$tmp/zoned-times.csv"
fails "times of day with UTC offsets are named, with what reads them" 0 \
  'zoned-times.csv, column 1 (variable opens): every value is a time of day, but 2 are written with a UTC offset (such as "08:30:00+01:00")' \
  "$cb" "$tmp/zoned-times.csv" 'CODEBOOK ALL /STATISTICS NONE'
check "... while times in UTC are times" bash -c \
  "'$cb' '$tmp/zoned-times.csv' --format text --quiet 'CODEBOOK closes /STATISTICS NONE' | grep -q '^  Format  *TIME8$'"
# Eurostat's TSV files flag the mark as they flag figures: ": c" (confidential), ": z".
printf 'geo\\TIME_PERIOD\t2020 \t2021 \nAT\t: c\t14.1 p\nBE\t11.0 \t: z\nDE\t9.9 \t12.5 e\n' >"$tmp/flagged-marks.tsv"
"$cb" "$tmp/flagged-marks.tsv" 'CODEBOOK /STATISTICS NONE' >/dev/null 2>"$tmp/err"
check "a mark with a flag is named as no value" grep -qF \
  'column 2 (variable V2020): every cell that is neither a number nor empty is ": c" (1 cell)' "$tmp/err"
check "... also among flagged figures, in the field that reads them" grep -qF \
  '{"name": "2021", "type": "number", "bareNumber": false, "missingValues": ["", ": z"]}' "$tmp/err"
# Stata's and SAS's exports write their missing codes: ".a", "._".
printf 'x,y\n1,2\n.a,._\n.b,3\n.a,4\n' >"$tmp/codes.csv"
"$cb" "$tmp/codes.csv" 'CODEBOOK /STATISTICS NONE' >/dev/null 2>"$tmp/err"
check "Stata's and SAS's missing codes in a column of numbers are named" grep -qF \
  'column 1 (variable x): every cell that is neither a number nor empty is ".a" (2 cells) or ".b" (1 cell)' "$tmp/err"
check "SAS's ._ too" grep -qF 'column 2 (variable y): every cell that is neither a number nor empty is "._" (1 cell)' "$tmp/err"
printf 'zip,n
02134,1
10001,2
00501,3
' >"$tmp/zips.csv"
fails "numbers written with leading zeros are named" 0 \
  'zips.csv, column 1 (variable zip): 2 numbers are written with leading zeros ("02134" reads as 2134), as codes and identifiers are' \
  "$cb" "$tmp/zips.csv" 'CODEBOOK zip /STATISTICS NONE'
# Infinities as R's write.csv ("Inf", "-Inf") and pandas' to_csv ("inf") write them.
printf 'r,p\n1.5,0.25\nInf,inf\n-Inf,2\n3,NaN\n' >"$tmp/inf.csv"
"$cb" "$tmp/inf.csv" 'CODEBOOK /STATISTICS NONE' >/dev/null 2>"$tmp/err"
check "infinities in a column of numbers are named, with the --missing that leaves the rest numeric" grep -qF \
  "inf.csv, column 1 (variable r): every cell that is neither a number nor empty is \"Inf\" (1 cell) or \"-Inf\" (1 cell), so the column is text; infinite values enter no statistic: to read the other cells as numbers, name them as missing values (--missing 'NA,N/A,NaN,NULL,.,Inf,-Inf' keeps the usual ones too)" \
  "$tmp/err"
check "also pandas' lower-case inf" grep -qF '(variable p): every cell that is neither a number nor empty is "inf" (1 cell)' "$tmp/err"
check "and that --missing gives the mean of the finite values" bash -c \
  "'$cb' '$tmp/inf.csv' --missing 'NA,NaN,Inf,-Inf,inf' --format text --quiet 'CODEBOOK r p /STATISTICS MEAN' |
   grep '^  Mean' | tr -s ' ' | cut -d' ' -f3 | paste -sd' ' | grep -qx '2.250 1.1250'"  # (1.5 + 3) / 2 and (0.25 + 2) / 2
# A semicolon file whose column holds both "1.5" and "2,5" has no one decimal
# character: text, not a decimal-comma column whose "1.5" the pass refuses.
printf 'a;b\n1.5;1\n2,5;2\n' >"$tmp/mixed.csv"
check "points beside decimal commas leave a column text" bash -c \
  "'$cb' '$tmp/mixed.csv' --format text --quiet 'CODEBOOK a /STATISTICS NONE' | grep -q '^  Type  *String$'"
# Date-times with UTC offsets, as pandas (tz-aware columns), DuckDB and
# PostgreSQL (timestamptz) write them.
printf 't\n2024-03-09 23:30:00-05:00\n2024-03-10 12:00:00-04:00\n2024-01-02 11:30:00+01\n' >"$tmp/zones.csv"
fails "date-times with UTC offsets read as moments, with a note" 0 \
  'zones.csv, column 1 (variable t): 3 date-times are written with a UTC offset (such as "2024-03-09 23:30:00-05:00"); each is read as the moment it names and shown in UTC' \
  "$cb" "$tmp/zones.csv" 'CODEBOOK /STATISTICS NONE'
check "shown in UTC, in the order of their moments" bash -c "'$cb' '$tmp/zones.csv' --format text --quiet 'CODEBOOK t /STATISTICS QUARTILES' |
  grep -e '^  Percentile' | tr -s ' ' | paste -sd'|' |
  grep -qx ' Percentile 25 02-JAN-2024 10:30:00| Percentile 50 10-MAR-2024 04:30:00| Percentile 75 10-MAR-2024 16:00:00'"
# R's write.table(d, "d.csv", row.names = FALSE): quoted texts, blanks between cells.
printf '"id" "grp" "x"\n1 "a b" 2.5\n2 "c" NA\n' >"$tmp/wtable.csv"
fails "cells separated by blanks name the delimiter to give" 2 \
  'wtable.csv, line 1, column 1: unexpected text after the closing quote of a quoted cell. Inside a quoted cell, write a quote as two quotes (""); if blanks separate the cells, as R'"'"'s write.table writes them by default, name the delimiter (--delimiter space' \
  "$cb" "$tmp/wtable.csv" --quiet
check "and that delimiter reads them" bash -c \
  "'$cb' '$tmp/wtable.csv' --delimiter space --format text --quiet 'CODEBOOK grp x /STATISTICS COUNT' | grep -q '^  a b  *1$'"
# Blanks between a closing quote and the delimiter or line end, as typed by hand.
printf 'a,b\n"x" ,1\n"y"\t, 2\n"z",3 \n"w"  ,"4"  \n' >"$tmp/quote-blank.csv"
printf 'a,b\nx,1\ny,2\nz,3\nw,4\n' >"$tmp/quote-plain.csv"
check "blanks after a closing quote are passed over, as R and pandas read them" bash -c \
  "cmp -s <('$cb' '$tmp/quote-blank.csv' -f json -q) <('$cb' '$tmp/quote-plain.csv' -f json -q)"
# A spreadsheet's "Unicode Text" (UTF-16LE with a byte order mark, tabs, CRLF), saved as .txt.
printf 'Name\tAge\r\nAnn\t34\r\nBob\t\r\n' | iconv -f utf-8 -t utf-16le | { printf '\xff\xfe'; cat; } >"$tmp/sheet.txt"
fails "a .txt file is refused, saying how to read delimited text under such a name" 2 \
  'read it so: codebook - < sheet.txt)' "$cb" "$tmp/sheet.txt" --quiet
check "which reads it" bash -c "'$cb' - --format text --quiet 'CODEBOOK Age /STATISTICS COUNT' <'$tmp/sheet.txt' |
  grep -q '^  34  *1$'"
# Numbers, dates and booleans written as spreadsheets and portals write them.
printf 'amount,pct,price,us,eu,either,flag,name,stata,sas,sastime,oracle,month
"1,234",12%%,"$1,200.00",12/31/2020,31.12.2020,01/02/2021,TRUE,Ann,31dec2020,31-DEC-2020,31DEC2020:13:45:10,31-DEC-20,2021-03
"12,345",5 %%,$3.50,01/02/2021,02.01.2021,03/04/2021,FALSE,Bob,1jan2021,01-Jan-2021,01JAN2021:00:00:00,01-JAN-21,2020-12
100,7.5%%,-$0.99,,15.03.2021,05/06/2021,NA,"1,2",15mar2021,15-MAR-2021,,15-MAR-69,2021-01
' >"$tmp/shapes.csv"
"$cb" "$tmp/shapes.csv" 'CODEBOOK /STATISTICS NONE' >/dev/null 2>"$tmp/err"
shape() {  # COLUMN WHAT FIELD: the note names the shape and the field that reads it
  grep -qF "(variable $1): every value is $2, so the column is text; to read them as $3, declare the field in a data package descriptor as {\"name\": \"$1\", $4}" "$tmp/err"
}
# suggested ERR: the fields the notes in ERR suggest, joined by commas.
suggested() { sed -n 's/.*declare the field in a data package descriptor as \({.*}\)$/\1/p' "$1" | paste -sd,; }
# means_are DESCRIPTOR "VARIABLES" JSON: the variables' means, read through
# the descriptor, are those Python takes of the lists of values in JSON.
means_are() {
  "$cb" "$1" --format json --quiet "CODEBOOK $2 /STATISTICS MEAN" | python3 -c '
import json, statistics, sys
means = [c["number"] for i in json.load(sys.stdin)["items"] if i["kind"] == "table" for g in i["dimensions"][0]["children"]
         if g.get("group") == "Central Tendency and Dispersion" for c in g["children"][0]["cells"]]
want = [statistics.mean(v) for v in json.loads(sys.argv[1])]
sys.exit(len(means) != len(want) or any(abs(a - b) > 1e-9 * abs(b) for a, b in zip(means, want)))' "$3"
}
check "thousands separators are named, with the field that reads them" \
  shape amount 'numbers written with thousands separators (such as "1,234")' numbers '"type": "number", "groupChar": ","'
check "percentages" shape pct 'percentages (such as "12%")' numbers '"type": "number", "bareNumber": false, "groupChar": ","'
check "amounts with a currency sign" \
  shape price 'amounts with a currency sign (such as "$1,200.00")' numbers '"type": "number", "bareNumber": false, "groupChar": ","'
check "dates month first" shape us 'dates written month first (such as "12/31/2020")' dates '"type": "date", "format": "%m/%d/%Y"'
check "dates day first" shape eu 'dates written day first (such as "31.12.2020")' dates '"type": "date", "format": "%d.%m.%Y"'
check "dates in an order no value tells" shape either \
  'dates that do not show whether the day or the month comes first (such as "01/02/2021")' dates \
  '"type": "date", "format": "%d/%m/%Y" (or "%m/%d/%Y")'
check "dates with the month's name, as Stata writes them" \
  shape stata "dates written with the month's name (such as \"31dec2020\")" dates '"type": "date", "format": "%d%b%Y"'
check "and with a separator" \
  shape sas "dates written with the month's name (such as \"31-DEC-2020\")" dates '"type": "date", "format": "%d-%b-%Y"'
check "date-times as SAS exports them, the clock after a colon" shape sastime \
  "dates and times written with the month's name (such as \"31DEC2020:13:45:10\")" dates \
  '"type": "datetime", "format": "%d%b%Y:%H:%M:%S"'
check "dates with the month's name and two-digit years, as Oracle shows them" shape oracle \
  "dates written with the month's name and two-digit years (00 to 68 are read as 20xx, 69 to 99 as 19xx) (such as \"31-DEC-20\")" \
  dates '"type": "date", "format": "%d-%b-%y"'
check "years and months, as ISO 8601 writes a month" shape month 'years and months (such as "2021-03")' dates '"type": "yearmonth"'
check "TRUE and FALSE, with the missing texts met" \
  shape flag 'true or false (such as "TRUE")' booleans '"type": "boolean", "missingValues": ["", "NA"]'
check "but not text" bash -c "! grep -q 'variable name' '$tmp/err'"
# The declarations named read the columns: means from Python.
mkdir "$tmp/declared"
cp "$tmp/shapes.csv" "$tmp/declared/"
sed -n 's/.*declare the field in a data package descriptor as \({.*}\)$/\1/p' "$tmp/err" | sed 's/ (or "[^"]*")//' |
  { printf '{"resources": [{"path": "shapes.csv", "schema": {"fields": ['; paste -sd, - | sed 's/"flag",[^}]*}/&, {"name": "name"}/'; printf ']}}]}'; } \
  >"$tmp/declared/datapackage.json"
"$cb" "$tmp/declared/datapackage.json" --quiet --format text 'CODEBOOK amount pct price us stata sas /STATISTICS MEAN' \
  >"$tmp/means" 2>&1
check "the SAS date-times so declared: the mean of 2020-12-31 13:45:10 and 2021-01-01 00:00:00" bash -c \
  "'$cb' '$tmp/declared/datapackage.json' --quiet --format text 'CODEBOOK sastime /STATISTICS MEAN' |
  grep -q '^  Mean  *31-DEC-2020 18:52:35$'"
check "the Oracle dates so declared: the median of 1969-03-15, 2020-12-31 and 2021-01-01" bash -c \
  "'$cb' '$tmp/declared/datapackage.json' --quiet --format text 'CODEBOOK oracle /STATISTICS QUARTILES' |
  grep -q '^  Percentile 50  *31-DEC-2020$'"
check "the months so declared: the median of 2020-12, 2021-01 and 2021-03" bash -c \
  "'$cb' '$tmp/declared/datapackage.json' --quiet --format text 'CODEBOOK month /STATISTICS QUARTILES' |
  grep -q '^  Percentile 50  *JAN 2021$'"
check "TRUE and FALSE so declared are booleans" bash -c \
  "'$cb' '$tmp/declared/datapackage.json' --quiet --format text 'CODEBOOK flag' | tr -s ' ' | grep -c -e '^ 0 false 1' -e '^ 1 true 1' | grep -qx 2"
check "and the fields declared so read the values" python3 -c '
import datetime, statistics, sys
means = [line.split()[1] for line in open(sys.argv[1]) if line.startswith("  Mean ")]
want = [statistics.mean(v) for v in ([1234, 12345, 100], [12, 5, 7.5], [1200, 3.5, -0.99])]
def day(*dates):
  mean = statistics.mean(d.toordinal() for d in dates)
  return datetime.date.fromordinal(int(mean)).strftime("%d-%b-%Y").upper()
d = datetime.date
days = [day(d(2020, 12, 31), d(2021, 1, 2))] + [day(d(2020, 12, 31), d(2021, 1, 1), d(2021, 3, 15))] * 2
ok = len(means) == 6 and all(abs(float(m) - w) < 1e-3 for m, w in zip(means, want))
sys.exit(0 if ok and means[3:] == days else 1)' "$tmp/means"
# Dates as a spreadsheet in the US shows and saves them by default: two-digit years.
mkdir "$tmp/short"
printf 'seen,n\n12/31/20,1\n1/2/21,2\n' >"$tmp/short/data.csv"
"$cb" "$tmp/short/data.csv" 'CODEBOOK /STATISTICS NONE' >/dev/null 2>"$tmp/err"
check "two-digit years are named, with the pattern that reads them" grep -qF \
  '(variable seen): every value is dates written month first with two-digit years (00 to 68 are read as 20xx, 69 to 99 as 19xx) (such as "12/31/20"), so the column is text; to read them as dates, declare the field in a data package descriptor as {"name": "seen", "type": "date", "format": "%m/%d/%y"}' \
  "$tmp/err"
printf '{"resources": [{"path": "data.csv", "schema": {"fields": [{"name": "seen", "type": "date", "format": "%%m/%%d/%%y"}, {"name": "n"}]}}]}' \
  >"$tmp/short/datapackage.json"
check "and that pattern reads them: the mean of 2020-12-31 and 2021-01-02" bash -c \
  "'$cb' '$tmp/short/datapackage.json' --format text --quiet 'CODEBOOK seen /STATISTICS MEAN' | grep -q '^  Mean  *01-JAN-2021$'"
# Dates written year first, as East Asian sources write them, and ISO dates without leading zeros.
mkdir "$tmp/ymd"
printf 'slashed,dashed\n2020/01/05,2020-1-5\n2021/12/31,2021-12-31\n' >"$tmp/ymd/data.csv"
"$cb" "$tmp/ymd/data.csv" 'CODEBOOK /STATISTICS NONE' >/dev/null 2>"$tmp/err"
check "dates written year first are named, with the pattern that reads them" \
  shape slashed 'dates written year first (such as "2020/01/05")' dates '"type": "date", "format": "%Y/%m/%d"'
check "also with dashes and no leading zeros" shape dashed 'dates written year first (such as "2020-1-5")' dates \
  '"type": "date", "format": "%Y-%m-%d"'
printf '{"resources": [{"path": "data.csv", "schema": {"fields": [{"name": "slashed", "type": "date", "format": "%%Y/%%m/%%d"}, {"name": "dashed", "type": "date", "format": "%%Y-%%m-%%d"}]}}]}' \
  >"$tmp/ymd/datapackage.json"
check "and those patterns read them: the mean of 2020-01-05 and 2021-12-31" bash -c \
  "'$cb' '$tmp/ymd/datapackage.json' --format text --quiet 'CODEBOOK slashed dashed /STATISTICS MEAN' | grep -c '^  Mean  *02-JAN-2021$' | grep -qx 2"
# Date-times as spreadsheets save them: a UK setting (24 hours), a US one (AM/PM), a German one (points, seconds).
mkdir "$tmp/clock"
printf 'uk,us,de\n31/12/2020 13:45,12/31/2020 1:45 PM,31.12.2020 13:45:10\n1/1/2021 08:00,1/1/2021 8:00 AM,01.01.2021 08:00:20\n' \
  >"$tmp/clock/data.csv"
"$cb" "$tmp/clock/data.csv" 'CODEBOOK /STATISTICS NONE' >/dev/null 2>"$tmp/err"
check "date-times day first are named with their time of day" shape uk \
  'dates and times written day first (such as "31/12/2020 13:45")' dates '"type": "datetime", "format": "%d/%m/%Y %H:%M"'
check "with AM and PM" shape us \
  'dates and times written month first (such as "12/31/2020 1:45 PM")' dates '"type": "datetime", "format": "%m/%d/%Y %I:%M %p"'
check "with seconds" shape de \
  'dates and times written day first (such as "31.12.2020 13:45:10")' dates '"type": "datetime", "format": "%d.%m.%Y %H:%M:%S"'
sed -n 's/.*declare the field in a data package descriptor as \({.*}\)$/\1/p' "$tmp/err" |
  { printf '{"resources": [{"path": "data.csv", "schema": {"fields": ['; paste -sd, -; printf ']}}]}'; } \
  >"$tmp/clock/datapackage.json"
"$cb" "$tmp/clock/datapackage.json" --format text --quiet 'CODEBOOK /STATISTICS MEAN' >"$tmp/means" 2>&1
check "and the patterns named read them: means from Python" python3 -c '
import datetime, statistics, sys
means = [" ".join(line.split()[1:]) for line in open(sys.argv[1]) if line.startswith("  Mean ")]
def mean(*moments):
  first = moments[0]
  at = first + datetime.timedelta(seconds=statistics.mean((m - first).total_seconds() for m in moments))
  return at.strftime("%d-%b-%Y %H:%M:%S").upper()
t = datetime.datetime
want = [mean(t(2020, 12, 31, 13, 45), t(2021, 1, 1, 8, 0))] * 2 + [mean(t(2020, 12, 31, 13, 45, 10), t(2021, 1, 1, 8, 0, 20))]
sys.exit(0 if means == want else 1)' "$tmp/means"
printf 'when\n31/12/2020 13:45\n01/01/2021\n' >"$tmp/clock/mixed.csv"
check "dates with and without a time of day have no one pattern" bash -c \
  "! '$cb' '$tmp/clock/mixed.csv' 'CODEBOOK /STATISTICS NONE' 2>&1 >/dev/null | grep -q 'declare the field'"
# French Excel: semicolons, decimal commas, no-break spaces (U+00A0, U+202F) or spaces between groups of digits.
mkdir "$tmp/fr"
printf 'id;montant\r\n1;1\xc2\xa0234,5\r\n2;12\xe2\x80\xaf000,25\r\n3;7,5\r\n4;1 000 000\r\n' >"$tmp/fr/data.csv"
"$cb" "$tmp/fr/data.csv" 'CODEBOOK /STATISTICS NONE' >/dev/null 2>"$tmp/err"
check "numbers grouped by spaces are named" shape montant \
  "numbers written with spaces between groups of digits (such as \"1$(printf '\xc2\xa0')234,5\")" numbers \
  '"type": "number", "groupChar": " ", "decimalChar": ","'
printf '{"resources": [{"path": "data.csv", "dialect": {"delimiter": ";"}, "schema": {"fields": [{"name": "id"}, %s]}}]}' \
  "$(suggested "$tmp/err")" >"$tmp/fr/datapackage.json"
check "and the field named reads them, no-break spaces too: the mean from Python" bash -c \
  "'$cb' '$tmp/fr/datapackage.json' --format json --quiet 'CODEBOOK montant /STATISTICS MEAN' |
   python3 -c 'import json, sys, statistics; t = json.dumps(json.load(sys.stdin)); want = statistics.mean([1234.5, 12000.25, 7.5, 1000000]); sys.exit(0 if \"%.4f\" % want in t or \"%.3f\" % want in t else 1)'"
sed 's/"groupChar": " "/"groupChar": "\\u00a0"/' "$tmp/fr/datapackage.json" >"$tmp/fr/nbsp.json"
check "a no-break space given as groupChar reads as a space" bash -c \
  "'$cb' '$tmp/fr/nbsp.json' --format json --quiet 'CODEBOOK montant /STATISTICS MEAN' | grep -q '253310.5625'"
# A sheet in German saved as comma CSV: decimal commas in quotes, with
# points between groups, percent and euro signs; "1,5" beside "2.5" has no
# one decimal character and gets no such note.
mkdir "$tmp/de"
printf 'id,betrag,anteil,preis,mixed\r\n1,"1.234,56","12,5 %%","12,50 €","1,5"\r\n2,"2,5","3 %%","1.200 €",2.5\r\n3,"10.000,00","(1,5 %%)",7,"3,25"\r\n4,7,"100,0 %%",,4\r\n' >"$tmp/de/data.csv"
"$cb" "$tmp/de/data.csv" 'CODEBOOK /STATISTICS NONE' >/dev/null 2>"$tmp/err"
check "decimal commas in a comma file are named" shape betrag \
  'numbers written with a decimal comma (such as "1.234,56")' numbers '"type": "number", "decimalChar": ",", "groupChar": "."'
check "... also with signs around them" shape anteil \
  'numbers written with a decimal comma, some with a sign around them (such as "12,5 %")' numbers \
  '"type": "number", "decimalChar": ",", "groupChar": ".", "bareNumber": false'
check "... but not beside decimal points" bash -c "! grep -q 'variable mixed' '$tmp/err'"
printf '{"resources": [{"path": "data.csv", "schema": {"fields": [{"name": "id"}, %s, {"name": "mixed", "type": "string"}]}}]}' \
  "$(suggested "$tmp/err")" >"$tmp/de/datapackage.json"
check "and the fields named read them: the means from Python" means_are "$tmp/de/datapackage.json" 'betrag anteil preis' \
  '[[1234.56, 2.5, 10000, 7], [12.5, 3, -1.5, 100], [12.5, 1200, 7]]'
# A sheet in French saved as comma CSV: groups apart by a no-break space
# (U+00A0, or U+202F as newer versions write it), a decimal comma, in quotes;
# and a sheet in German's booleans.
mkdir "$tmp/frde"
printf 'nom,montant,aktiv\n1,"1\302\240234,56",WAHR\n2,"12\342\200\257500,00",FALSCH\n3,"3,5",WAHR\n' >"$tmp/frde/data.csv"
"$cb" "$tmp/frde/data.csv" 'CODEBOOK /STATISTICS NONE' >/dev/null 2>"$tmp/err"
check "decimal commas with spaces between groups name the field that reads the spaces" shape montant \
  "$(printf 'numbers written with a decimal comma and spaces between groups of digits (such as "1\302\240234,56")')" numbers \
  '"type": "number", "decimalChar": ",", "groupChar": " "'
check "a sheet in German's true and false name their words" shape aktiv 'true or false (such as "WAHR")' booleans \
  '"type": "boolean", "trueValues": ["WAHR"], "falseValues": ["FALSCH"]'
printf '{"resources": [{"path": "data.csv", "schema": {"fields": [{"name": "nom"}, %s]}}]}' "$(suggested "$tmp/err")" \
  >"$tmp/frde/datapackage.json"
check "and the fields named read them: the mean from Python" means_are "$tmp/frde/datapackage.json" montant \
  '[[1234.56, 12500, 3.5]]'
check "... and the booleans" bash -c \
  "'$cb' '$tmp/frde/datapackage.json' --quiet --format text 'CODEBOOK aktiv' | tr -s ' ' | grep -c -e '^ 0 false 1' -e '^ 1 true 2' | grep -qx 2"
# Typed rather than saved by a sheet: the words in small letters, mixed with
# capitals; a column mixing two languages' words is no one pair.
mkdir "$tmp/typed"
printf 'id,aktiv,vrai,deux\n1,wahr,Faux,WAHR\n2,Falsch,vrai,FAUX\n3,WAHR,faux,WAHR\n' >"$tmp/typed/data.csv"
"$cb" "$tmp/typed/data.csv" 'CODEBOOK /STATISTICS NONE' >/dev/null 2>"$tmp/err"
check "true and false typed in small letters name every spelling" shape aktiv 'true or false (such as "wahr")' booleans \
  '"type": "boolean", "trueValues": ["WAHR", "Wahr", "wahr"], "falseValues": ["FALSCH", "Falsch", "falsch"]'
check "... and two languages' words get no note" bash -c "! grep -q 'variable deux' '$tmp/err'"
printf '{"resources": [{"path": "data.csv", "schema": {"fields": [{"name": "id"}, %s, {"name": "deux"}]}}]}' \
  "$(suggested "$tmp/err")" >"$tmp/typed/datapackage.json"
check "... and the fields named read them" bash -c \
  "'$cb' '$tmp/typed/datapackage.json' --quiet --format text 'CODEBOOK aktiv vrai' | tr -s ' ' | grep -c -e '^ 0 false 1' -e '^ 1 true 2' -e '^ 0 false 2' -e '^ 1 true 1' | grep -qx 4"
# A statistics office's TSV: commas join the parts of the first column, and
# there are more of those parts than columns of figures.
printf 'freq,unit,na_item,geo\\TIME_PERIOD\t2021 \t2022 \nA,THS,POP,AT\t8979.9 \t9027.9 \nA,THS,POP,BE\t: \t11631.1 \n' >"$tmp/office.tsv"
gzip -c "$tmp/office.tsv" >"$tmp/office.tsv.gz"
for f in office.tsv office.tsv.gz; do
  check "a file named $f has tabs between its cells, though commas split its rows into more" bash -c \
    "'$cb' '$tmp/$f' --format json --quiet 'CODEBOOK V2022 /STATISTICS MEAN' | grep -q '10329.50'"
done
# Its figures carry flags ("p" provisional, "e" estimated) and ":" for none:
# the note gives the fields that read them, which then give Python's means.
mkdir "$tmp/flags"
printf 'geo\\time\t2021 \t2022 \nAT\t8979.9 p\t9027.9 \nBE\t: \t11631.1 e\nDE\t83155 \t83237.1 bep\n' >"$tmp/flags/office.tsv"
"$cb" "$tmp/flags/office.tsv" 'CODEBOOK /STATISTICS NONE' 2>"$tmp/flags/err" >/dev/null
check "figures with flags are named, with the field that reads them" grep -qF \
  'column 2 (variable V2021): every value is numbers followed by a flag or a unit (such as "8979.9 p"), so the column is text; to read them as numbers, declare the field in a data package descriptor as {"name": "2021", "type": "number", "bareNumber": false, "missingValues": ["", ":"]}' \
  "$tmp/flags/err"
printf '{"resources": [{"path": "office.tsv", "schema": {"fields": [{"name": "geo\\\\time"}, %s]}}]}' \
  "$(suggested "$tmp/flags/err")" >"$tmp/flags/datapackage.json"
check "and those fields read them: the means from Python" means_are "$tmp/flags/datapackage.json" 'V2021 V2022' \
  '[[8979.9, 83155], [9027.9, 11631.1, 83237.1]]'
# Flags written onto the figures: "(P)" preliminary, "*" footnotes, daggers and superscript
# digits as typeset tables mark them; a letter alone is a code.
mkdir "$tmp/marks"
printf 'year,index,jobs,house,rate\n2020,123.4(P),5*,12a,12.5\xe2\x80\xa0\n2021,125.1,6,14,3\xc2\xb9\n2022,126.0(p),7**,3,7.25\xe2\x80\xa1\xc2\xa7\n' \
  >"$tmp/marks/bls.csv"
"$cb" "$tmp/marks/bls.csv" 'CODEBOOK /STATISTICS NONE' 2>"$tmp/marks/err" >/dev/null
check "flags written onto figures are named" grep -qF \
  'column 2 (variable index): every value is numbers followed by a flag or a unit (such as "123.4(P)")' "$tmp/marks/err"
check "... a footnote's asterisks too, but not a letter after a number" bash -c \
  "grep -qF '(variable jobs): every value is numbers followed by a flag' '$tmp/marks/err' && ! grep -q 'variable house' '$tmp/marks/err'"
printf '{"resources": [{"path": "bls.csv", "schema": {"fields": [{"name": "year"}, %s, {"name": "house"}, %s]}}]}' \
  "$(suggested "$tmp/marks/err" | sed 's/,{"name": "rate".*//')" "$(suggested "$tmp/marks/err" | sed 's/.*,\({"name": "rate"\)/\1/')" \
  >"$tmp/marks/datapackage.json"
check "... daggers and superscript digits too" grep -qF \
  'column 5 (variable rate): every value is numbers followed by a flag or a unit (such as "12.5†")' "$tmp/marks/err"
check "and the fields named read them: the means from Python" means_are "$tmp/marks/datapackage.json" 'index jobs rate' \
  '[[123.4, 125.1, 126.0], [5, 6, 7], [12.5, 3, 7.25]]'
# psql's unaligned output (psql -A > data.csv) ends with the count of its rows.
printf 'id|val\n1|2.5\n2|\n(2 rows)\n' >"$tmp/psql.csv"
printf 'id|val\n(0 rows)\n' >"$tmp/psql0.csv"
printf 'id\n7\n(1 row)\n\n' >"$tmp/psql1.csv"
fails "psql's row count below the rows is named as such" 2 \
  "psql.csv, line 4, column 1 (variable id): \"(2 rows)\": it is the count of rows that psql prints below a query's result" \
  "$cb" "$tmp/psql.csv" --quiet
fails "also below a header and no row, not as a title above the header" 2 \
  "psql0.csv, line 2, column 1 (variable id): \"(0 rows)\": it is the count of rows" "$cb" "$tmp/psql0.csv" --quiet
fails "also in a file of one column, where it would make the numbers text" 2 \
  "psql1.csv, line 3, column 1 (variable id): \"(1 row)\": it is the count of rows" "$cb" "$tmp/psql1.csv" --quiet
printf 'id\n7\n(2 rows)\n' >"$tmp/text1.csv"
check "a text of that shape that counts other rows is a value" bash -c \
  "'$cb' '$tmp/text1.csv' --format json --quiet 'CODEBOOK id' | grep -q '(2 rows)'"
fails "--delimiter overrides the sniffed one" 2 'the row has 2 cells' "$cb" $pub/semicolon.csv --delimiter , --quiet
# Two columns of semicolons, with "Name, Vorname" above names written "Doe, John": the commas
# split every row as evenly, but each is followed by a blank, as commas in text are.
printf 'id;Name, Vorname\n1;Doe, John\n2;Roe, Jane\n3;Poe, Edgar\n' >"$tmp/names.csv"
check "commas in text lose a tie to semicolons" bash -c \
  "'$cb' '$tmp/names.csv' 'CODEBOOK Name_Vorname' --format json --quiet | grep -q '\"category\": \"Doe, John\"'"
check "--missing replaces the missing texts" bash -c \
  "'$cb' $pub/survey.csv --missing NA --format json --quiet 'CODEBOOK Age_in_years' | grep -q '\"text\": \"String\"'"
fails "--delimiter with a data package is a usage error" 2 '' "$cb" $pub/package/datapackage.json --delimiter ';' --quiet

"$cb" $pub/survey.csv 'CODEBOOK /STATISTICS NONE' >/dev/null 2>"$tmp/err"
check "renamed headers are listed in one note" bash -c \
  "test \$(grep -c 'headers are not valid' '$tmp/err') = 1 && grep -q 'column 2: \"How satisfied are you with the service? (1-5)\" -> How_satisfied_are_you_with_the_service_1_5' '$tmp/err'"
fails "the other resources are listed in a note" 0 \
  'reading the resource "pupils" (2 of 3); the others are "readme", "schools"' \
  "$cb" $pub/package/datapackage.json 'CODEBOOK /STATISTICS NONE'
fails "an unknown --resource is refused, listing the resources" 2 '"schools"' \
  "$cb" $pub/package/datapackage.json --resource nothing --quiet

mkdir "$tmp/bad"
printf 'a;b;c\n1;2;3\n' >"$tmp/bad/data.csv"
cat >"$tmp/bad/datapackage.json" <<'JSON'
{"title": 5,
 "resources": [{"path": "data.csv", "dialect": {"delimiter": ";", "header": "yes"},
   "schema": {"fields": [{"name": "a", "type": "money"}, {"name": "$b"}, {"name": "c", "measure": "big"}]}}]}
JSON
"$cb" "$tmp/bad/datapackage.json" --quiet >/dev/null 2>"$tmp/err"
check "every descriptor problem is reported in one run, exit 2" test $? = 2
check "each problem has its line" diff -u - "$tmp/err" <<EOF
codebook: $tmp/bad/datapackage.json: title: expected a string, found a number
codebook: $tmp/bad/datapackage.json: resources[0].dialect.header: expected true or false, found a string
codebook: $tmp/bad/datapackage.json: resources[0].schema.fields[0].type: "money" is not a field type; use one of number, integer, string, boolean, date, time, datetime, year, yearmonth, duration, object, array, list, geopoint, geojson, any (or leave the type out to infer it)
codebook: $tmp/bad/datapackage.json: resources[0].schema.fields[2].measure: "big" is not a measurement level; use "nominal", "ordinal", "scale" or "unknown"
codebook: $tmp/bad/datapackage.json: resources[0].schema.fields[1].name: the name "\$b" begins with "\$", which marks multiple-response sets in command syntax; rename the field
EOF

# Files as spreadsheets save them, written byte by byte. A cell that is not
# UTF-8 shows its bytes, what they read as, and the encoding that reads them.
# Excel's "CSV (Comma delimited)" on Windows: Windows-1252, CRLF.
printf 'name,city\r\nJos\xe9,Z\xfcrich\r\n' >"$tmp/excel1252.csv"
fails "Windows-1252 shows the byte and names cp1252" 2 \
  'excel1252.csv, line 2, column 1 (variable name): the cell is not valid UTF-8 (at byte 4 of the cell: 0xE9, which is "é" in cp1252). Name the file'"'"'s encoding with --encoding (such as --encoding cp1252)' \
  "$cb" "$tmp/excel1252.csv" --quiet
check "... and reads with it" bash -c "'$cb' '$tmp/excel1252.csv' --encoding cp1252 --format json --quiet | grep -q 'Zürich'"
# The same save on a Japanese Windows: cp932 (Shift-JIS), 田中,東京 in the header.
printf '\x93\x63\x92\x86,\x93\x8c\x8b\x9e\r\n1,2\r\n' >"$tmp/excel932.csv"
fails "Shift-JIS is named as cp932, not latin1" 2 \
  'excel932.csv, line 1, column 1: the header is not valid UTF-8 (at byte 1: 0x93 0x63, which is "田" in cp932). Name the file'"'"'s encoding with --encoding (such as --encoding cp932' \
  "$cb" "$tmp/excel932.csv" --quiet
check "... and reads with it" bash -c "'$cb' '$tmp/excel932.csv' --encoding cp932 --format json --quiet | grep -q '東京'"
# A Chinese Windows: GB18030 (王, 北京 in a cell).
printf 'id,city\r\n1,\xb1\xb1\xbe\xa9\r\n' >"$tmp/excel936.csv"
fails "GB18030 is named as such" 2 \
  'the cell is not valid UTF-8 (at byte 1 of the cell: 0xB1 0xB1, which is "北" in gb18030). Name the file'"'"'s encoding with --encoding (such as --encoding gb18030)' \
  "$cb" "$tmp/excel936.csv" --quiet
# An old Mac's Excel: MacRoman, CR line ends; é is 0x8E, Ž in Windows-1252.
printf 'name,n\rJos\x8e,1\r' >"$tmp/macroman.csv"
fails "a MacRoman letter shows both readings" 2 \
  '0x8E, which is "Ž" in cp1252, "é" in mac_roman and "Ä" in cp850). Name the file'"'"'s encoding with --encoding (such as --encoding cp1252, or mac_roman for a file from an old Mac, or cp850 for one saved as "CSV (MS-DOS)")' \
  "$cb" "$tmp/macroman.csv" --quiet
check "... and reads with it" bash -c "'$cb' '$tmp/macroman.csv' --encoding mac_roman --format json --quiet | grep -q 'José'"
# Excel's "CSV (MS-DOS)" is in the DOS code page: é is 0x82, ü 0x81 (no
# character in Windows-1252).
printf 'name,n\r\ncaf\x82,1\r\nM\x81nchen,2\r\n' >"$tmp/msdos.csv"
fails "a DOS letter shows its cp850 reading" 2 \
  '0x82, which is "‚" in cp1252, "Ç" in mac_roman and "é" in cp850)' "$cb" "$tmp/msdos.csv" --quiet
printf 'name,n\r\nM\x81nchen,2\r\n' >"$tmp/msdos81.csv"
fails "also where Windows-1252 has no character" 2 \
  '0x81, which is no character in cp1252, "Å" in mac_roman and "ü" in cp850). Name the file'"'"'s encoding with --encoding (such as --encoding mac_roman for a file from an old Mac, or cp850 for one saved as "CSV (MS-DOS)")' \
  "$cb" "$tmp/msdos81.csv" --quiet
check "... and reads with it" bash -c "'$cb' '$tmp/msdos.csv' --encoding cp850 --format json --quiet | grep -q 'München'"
# Two accented letters side by side in a word are Windows-1252 too (German
# "Größe", Portuguese "informação"), though each pair is also a GB18030 character.
printf 'name,size\r\nx,Gr\xf6\xdfe\r\ny,informa\xe7\xe3o\r\n' >"$tmp/pairs1252.csv"
fails "accented letter pairs inside a word are named as cp1252" 2 \
  '(at byte 3 of the cell: 0xF6, which is "ö" in cp1252). Name the file'"'"'s encoding with --encoding (such as --encoding cp1252)' \
  "$cb" "$tmp/pairs1252.csv" --quiet
check "... and reads with it" bash -c "'$cb' '$tmp/pairs1252.csv' --encoding cp1252 --format json --quiet | grep -q 'informação'"
# A curly apostrophe of Windows-1252 before a letter is no double-byte character.
printf 'q\ndon\x92t know\n' >"$tmp/quote1252.csv"
fails "a lone Windows-1252 punctuation byte is named as cp1252" 2 '0x92, which is "’" in cp1252, "í" in mac_roman' \
  "$cb" "$tmp/quote1252.csv" --quiet
# A title padded to the table's width above the header (Excel saves a merged title cell so).
printf 'Survey results 2020,,\r\nid,age,score\r\n1,34,5\r\n2,28,6\r\n' >"$tmp/title.csv"
fails "a title row above the header is pointed out" 0 \
  'title.csv: the header names only its first column ("Survey results 2020"), and the next row is text in every column' \
  "$cb" "$tmp/title.csv" 'CODEBOOK /STATISTICS NONE'
# A statistics office's sheet: a title, a source and an empty row above the
# header, all padded to the table's width; notes below the data.
printf 'Table 1: Population estimates,,\r\nSource: Statistics office,,\r\n,,\r\nArea code,Area name,Population\r\nE1,North,"92,338"\r\n,,\r\nNotes:,,\r\n' >"$tmp/titles.csv"
fails "a title and notes above the header are pointed out at the header's line" 0 \
  'titles.csv, line 4: the header names only its first column ("Table 1: Population estimates"), the 2 rows below it hold nothing after the first cell, and this row is text in every column' \
  "$cb" "$tmp/titles.csv" 'CODEBOOK /STATISTICS NONE'
# A portal's block of notes above the header: the error says to remove them.
printf 'Title: Population\nSource: Statistics office\n\nregion,pop\nA,100\n' >"$tmp/notes.csv"
fails "notes above the header are named in the error" 2 \
  'notes.csv, line 4, column 2: the row has 2 cells but the file has 1 variable. If the lines above are a title or notes' \
  "$cb" "$tmp/notes.csv" --quiet
# A statistics portal's download: two-cell notes with a trailing comma, then
# the header, a year per column.
printf '\xef\xbb\xbf"Data Source","World indicators",\r\n\r\n"Last Updated Date","2023-12-18",\r\n\r\n"Country Name","Country Code","1960","1961",\r\n"Aruba","ABW","54608","55811",\r\n' >"$tmp/portal.csv"
fails "wider notes above the header are named in the error too" 2 \
  'portal.csv, line 5, column 4: the row has 5 cells but the file has 3 variables. If the lines above are a title or notes' \
  "$cb" "$tmp/portal.csv" --quiet
# A census download: the columns' labels in the row below the header.
printf 'GEO_ID,NAME,B01001_001E,B01001_002E\nGeography,Area Name,Estimate!!Total:,Estimate!!Total:!!Male:\n0400000US01,Alabama,5024279,2461248\n0400000US02,Alaska,733391,385667\n' >"$tmp/census.csv"
fails "a row of labels below the header names the columns it makes text" 0 \
  'census.csv, line 2: the first row is text in every column, and the rows after it hold only numbers in 2 columns (B01001_001E, B01001_002E), which that one row makes text' \
  "$cb" "$tmp/census.csv" 'CODEBOOK /STATISTICS NONE'
check "... and says nothing of a header on two rows" bash -c "! grep -q 'two rows' '$tmp/.stderr'"
# A sheet's header on two rows, its merged cells saved as blanks: years over the sexes.
printf ',2019,,2020,\nRegion,Male,Female,Male,Female\nNorth,1,2,3,4\n' >"$tmp/two_rows.csv"
fails "a header on two rows is told from a row of labels" 0 \
  'two_rows.csv, line 2: the first row is text in every column' \
  "$cb" "$tmp/two_rows.csv" 'CODEBOOK /STATISTICS NONE'
check "... and the advice is to join the two rows" grep -qF 'The header has blank or repeated cells, as the first of a header on two rows has them (a group'"'"'s name over its columns): join the two rows into one row of names' "$tmp/.stderr"
# pandas' columns on two levels over an index without a name: both header rows begin blank.
printf ',a,a,b\n,x,y,x\n0,1,2.5,3\n1,4,5.5,6\n' >"$tmp/levels.csv"
fails "a header on two rows over a blank index header is told too" 0 \
  'levels.csv, line 2: the first row is text in every column, and the rows after it hold only numbers in 3 columns (a, a_2, b)' \
  "$cb" "$tmp/levels.csv" 'CODEBOOK /STATISTICS NONE'
# pandas writes a pivot table's columns on two rows, and the index's name on a third, empty beside.
printf 'year,2019,2019,2020,2020\nsex,F,M,F,M\nregion,,,,\nN,,1.5,,3.0\nS,2.0,,4.0,\n' >"$tmp/pivot.csv"
fails "a header on two rows with empty cells below it is told too" 0 \
  'pivot.csv, line 2: the first row is text in every column, and the rows after it hold only numbers in 4 columns (V2019, V2019_2, V2020 and 1 more)' \
  "$cb" "$tmp/pivot.csv" 'CODEBOOK /STATISTICS NONE'
printf 'name,city,code\nAnn,Oslo,x1\nBob,Rome,7\nCem,Bonn,x3\n' >"$tmp/texts.csv"
check "... and a column of texts with a number in it is no such row" bash -c \
  "! '$cb' '$tmp/texts.csv' 'CODEBOOK /STATISTICS NONE' 2>&1 | grep -q 'first row is text'"
# An office's semicolon file: decimal commas in one column, points between thousands in another.
printf 'region;rate;pop\nNord;1,5;1.234\nSued;2,25;10.500\nOst;3,0;999\n' >"$tmp/office.csv"
fails "points that may separate thousands beside decimal commas are pointed out" 0 \
  'office.csv, column 3 (variable pop): every number written with a point has three digits after it (such as "1.234"), in a file whose column 2 (variable rate) writes decimal commas; they are read with a decimal point, so if the point separates thousands there ("1.234" for 1234) they are a thousand times too small: a descriptor reads them so with {"name": "pop", "type": "number", "groupChar": ".", "decimalChar": ","}' \
  "$cb" "$tmp/office.csv" 'CODEBOOK /STATISTICS NONE'
printf 'rate;share\n1,5;1.25\n2,25;10.500\n' >"$tmp/points.csv"
check "... but not a column with another decimal point" bash -c \
  "! '$cb' '$tmp/points.csv' 'CODEBOOK /STATISTICS NONE' 2>&1 | grep -q 'thousand times'"
# A sheet in English saved as tab-separated text: commas between thousands,
# which a decimal comma would read a thousand times too small.
mkdir "$tmp/us"
printf 'id\tpop\tshare\n1\t1,234\t0,125\n2\t12,500\t1,5\n3\t950\t2\n' >"$tmp/us/data.tsv"
fails "commas that may separate thousands are pointed out" 0 \
  'data.tsv, column 2 (variable pop): every number written with a comma has three digits after it (such as "1,234"); they are read with a decimal comma, so if the comma separates thousands there ("1,234" for 1234) they are a thousand times too small: a descriptor reads them so with {"name": "pop", "type": "number", "groupChar": ","}' \
  "$cb" "$tmp/us/data.tsv" 'CODEBOOK /STATISTICS NONE'
check "... not a column with another decimal comma (0,125 too)" bash -c \
  "! '$cb' '$tmp/us/data.tsv' 'CODEBOOK /STATISTICS NONE' 2>&1 | grep -q 'variable share'"
printf '{"resources": [{"path": "data.tsv", "schema": {"fields": [{"name": "id"}, %s, {"name": "share"}]}}]}' \
  "$(sed -n 's/.*a descriptor reads them so with \({.*}\)$/\1/p' "$tmp/.stderr")" >"$tmp/us/datapackage.json"
check "... and the field named reads them: the mean from Python" bash -c \
  "'$cb' '$tmp/us/datapackage.json' --format json --quiet 'CODEBOOK pop /STATISTICS MEAN' |
   python3 -c 'import json, sys, statistics; t = json.dumps(json.load(sys.stdin)); sys.exit(\"%r\" % statistics.mean([1234, 12500, 950]) not in t)'"
# The same sheet's cells as shown: thousands separators, percent and dollar
# signs around decimal points, where a tab file may write decimal commas.
printf 'id\tamt\tpct\tusd\n1\t1,234.56\t35.9%%\t$1,200.00\n2\t12.5\t3%%\t$5.00\n3\t950\t100.0%%\t($3.50)\n' >"$tmp/us/shown.tsv"
"$cb" "$tmp/us/shown.tsv" 'CODEBOOK /STATISTICS NONE' >/dev/null 2>"$tmp/err"
check "decimal points beside thousands commas in a tab file are named" shape amt \
  'numbers written with a decimal point (such as "1,234.56")' numbers '"type": "number", "decimalChar": ".", "groupChar": ","'
printf '{"resources": [{"path": "shown.tsv", "schema": {"fields": [{"name": "id"}, %s]}}]}' \
  "$(suggested "$tmp/err")" >"$tmp/us/shown.json"
check "... and the fields named read them, signs too: the means from Python" means_are "$tmp/us/shown.json" 'amt pct usd' \
  '[[1234.56, 12.5, 950], [35.9, 3, 100], [1200, 5, -3.5]]'
# Accounts: negative amounts in parentheses, the first of them in the first row.
mkdir "$tmp/accounts"
printf 'item,balance\nRent,"(1,234.50)"\nSales,"2,000.00"\nFees,(3.00)\n' >"$tmp/accounts/data.csv"
"$cb" "$tmp/accounts/data.csv" 'CODEBOOK /STATISTICS NONE' >/dev/null 2>"$tmp/err"
check "negatives in parentheses are named, with the field that reads them" grep -qF \
  '(variable balance): every value is amounts with negatives in parentheses (such as "(1,234.50)"), so the column is text; to read them as numbers, declare the field in a data package descriptor as {"name": "balance", "type": "number", "bareNumber": false, "groupChar": ","}' \
  "$tmp/err"
check "... and their first row is no row of labels" bash -c "! grep -q 'first row is text' '$tmp/err'"
printf '{"resources": [{"path": "data.csv", "schema": {"fields": [{"name": "item"}, {"name": "balance", "type": "number", "bareNumber": false, "groupChar": ","}]}}]}' \
  >"$tmp/accounts/datapackage.json"
check "and that field reads them as negatives: (-1234.5 + 2000 - 3) / 3" bash -c \
  "'$cb' '$tmp/accounts/datapackage.json' --format text --quiet 'CODEBOOK balance /STATISTICS MEAN' | grep -q '^  Mean  *254.1667$'"
# A table copied from a report with its totals row.
printf 'region,population\nNorth,120345\nSouth,98012\nTotal,218357\n,\n' >"$tmp/totals.csv"
fails "a last row headed Total is pointed out" 0 \
  'totals.csv, line 4: the last row is headed "Total", as a table'"'"'s totals row is; it is read as one more case, and its sums enter every count and statistic. If it totals the rows above, remove it' \
  "$cb" "$tmp/totals.csv" 'CODEBOOK /STATISTICS NONE'
printf 'answer,n\nNone,3\nAll,5\nSome,2\n' >"$tmp/all.csv"
check "... but not such a word among the rows" bash -c "! '$cb' '$tmp/all.csv' 'CODEBOOK /STATISTICS NONE' 2>&1 | grep -q 'totals row'"
# Rows of only delimiters after the data, as Excel saves rows once formatted.
{ printf 'id,age,score\r\n1,34,5\r\n2,28,6\r\n'; for i in 1 2 3 4 5; do printf ',,\r\n'; done; } >"$tmp/tail.csv"
fails "empty rows at the end are pointed out" 0 \
  'tail.csv, line 4: the last 5 rows have no value in any column, as a spreadsheet saves rows that once held something; they are read as cases whose every value is missing. Delete those rows in the spreadsheet before saving, or delete those lines from the file' "$cb" "$tmp/tail.csv" 'CODEBOOK /STATISTICS NONE'
printf 'id,age\r\n1,\r\n,\r\n2,3\r\n' >"$tmp/middle.csv"
check "an empty row among the data is no row at the end" bash -c \
  "! '$cb' '$tmp/middle.csv' 'CODEBOOK /STATISTICS NONE' 2>&1 >/dev/null | grep -q 'no value in any column'"
# Notes below a sheet's table, saved padded to its width (and after a totals row).
printf 'area,name,population\r\nK02,UK,67596281\r\nE92,England,57106398\r\nT,Total,124702679\r\n,,\r\nSource: Office for National Statistics,,\r\n"Notes: figures may not sum",,\r\n' >"$tmp/notes.csv"
"$cb" "$tmp/notes.csv" 'CODEBOOK /STATISTICS NONE' >/dev/null 2>"$tmp/err"
check "notes padded below the data are pointed out, with the empty row among them" grep -qF \
  'notes.csv, line 5: the last 3 rows hold nothing but text in the first column ("Source: Office for National Statistics") or no value at all, as notes below a table (a source, footnotes) do when a spreadsheet saves them; they are read as cases. If they are notes, remove them' "$tmp/err"
check "... and not also as empty rows" bash -c "! grep -q 'no value in any column' '$tmp/err'"
printf 'region,population\nNorth,120345\nTotal,120345\n"Source: census",\n' >"$tmp/totals_notes.csv"
fails "a totals row above the notes is still pointed out" 0 'totals_notes.csv, line 3: the last row is headed "Total"' \
  "$cb" "$tmp/totals_notes.csv" 'CODEBOOK /STATISTICS NONE'
printf 'name,age\nAnn Lee,34\nBo Chan,\n' >"$tmp/last_name.csv"
printf 'name,age\nAnn Lee,34\nNote: none,\nCy Do,5\n' >"$tmp/middle_name.csv"
check "a last case of a name alone, or a note among the data, is no note below the data" bash -c \
  "! '$cb' '$tmp/last_name.csv' 'CODEBOOK /STATISTICS NONE' 2>&1 | grep -q 'notes below' && ! '$cb' '$tmp/middle_name.csv' 'CODEBOOK /STATISTICS NONE' 2>&1 | grep -q 'notes below'"
printf 'PK\x03\x04\x14\x00' >"$tmp/package.zip"
fails "a zip of a package, as portals offer it, says to unpack it" 2 \
  'package.zip: a zip archive, which this program does not read; unpack it (unzip package.zip) and name the data package'"'"'s descriptor' \
  "$cb" "$tmp/package.zip" --quiet
cp "$tmp/package.zip" "$tmp/sheet.xlsx"
fails "a workbook says to save the sheet as CSV" 2 'sheet.xlsx: a spreadsheet workbook, which this program does not read; save the sheet as CSV' \
  "$cb" "$tmp/sheet.xlsx" --quiet
# A sheet's last row: 1,048,576 rows with the header.
{ echo x; seq 1 1048575; } >"$tmp/cut.csv"
fails "a file of a full sheet's rows may have been cut" 0 'cut.csv: the file holds 1,048,576 rows with its header' \
  "$cb" "$tmp/cut.csv" 'CODEBOOK /STATISTICS NONE'

# Dates at the edges. A day past its month's end among ISO dates is named
# (a pattern would not read it either); 24:00 is the next midnight.
printf 'id,visit\n1,2020-02-29\n2,2021-02-29\n3,2000-02-29\n4,1900-02-29\n5,2023-04-31\n' >"$tmp/noday.csv"
fails "a day its month does not have is named among dates" 0 \
  'noday.csv, line 3, column 2 (variable visit): every value is an ISO 8601 date but "2021-02-29" (and 2 more), which names a day its month does not have, so the column is text; correct them in the file, or name them as missing values (--missing, which replaces the default list), to read the column as dates' \
  "$cb" "$tmp/noday.csv" 'CODEBOOK /STATISTICS NONE'
check "and the column gets no pattern that could not read it" bash -c \
  "! '$cb' '$tmp/noday.csv' 'CODEBOOK /STATISTICS NONE' 2>&1 >/dev/null | grep -q 'year first'"
printf 'd\n13/02/2021\n04/13/2021\n' >"$tmp/bothways.csv"
check "dates written day first beside month first get no note of another shape" bash -c \
  "! '$cb' '$tmp/bothways.csv' 'CODEBOOK /STATISTICS NONE' 2>&1 >/dev/null | grep -q 'every value is'"
# ISO dates beside dates written otherwise: each half alone would be dates.
printf 'visit,n\n2024-03-01,1\n03/02/2024,2\n2024-03-05,3\n,4\n' >"$tmp/isous.csv"
fails "ISO 8601 dates beside others are named, with the count of each" 0 \
  'isous.csv, line 3, column 1 (variable visit): every value is a date, but 2 are written in ISO 8601 (such as "2024-03-01") and 1 otherwise (such as "03/02/2024"), which no one pattern reads, so the column is text' \
  "$cb" "$tmp/isous.csv" 'CODEBOOK /STATISTICS NONE'
printf 'visit\n01.03.2024\n2024-03-01T10:00\n02.03.2024\n' >"$tmp/deiso.csv"
fails "... also when the other shape comes first" 0 \
  'deiso.csv, line 2, column 1 (variable visit): every value is a date, but 1 is written in ISO 8601 (such as "2024-03-01T10:00") and 2 otherwise (such as "01.03.2024")' \
  "$cb" "$tmp/deiso.csv" 'CODEBOOK /STATISTICS NONE'
printf 'visit\n2024-03-01\n03/02/2024\nsoon\n' >"$tmp/isotext.csv"
check "... but not when another text is among them" bash -c \
  "! '$cb' '$tmp/isotext.csv' 'CODEBOOK /STATISTICS NONE' 2>&1 >/dev/null | grep -q 'every value'"
# A leap second is the next minute's :00 (R's as.POSIXct and PostgreSQL read it so).
printf 't\n2024-03-15T24:00:00\n2024-12-31 24:00Z\n2020-06-01t10:00:00z\n2016-12-31T23:59:60\n' >"$tmp/midnight.csv"
printf 't\n2024-03-16T00:00:00\n2025-01-01 00:00Z\n2020-06-01T10:00:00Z\n2017-01-01T00:00:00\n' >"$tmp/midnight-next.csv"
check "24:00, a leap second and a lower-case t and z read as ISO 8601 date-times" bash -c \
  "cmp -s <('$cb' '$tmp/midnight.csv' --format json --quiet | sed 's/midnight[-a-z]*//g') \
          <('$cb' '$tmp/midnight-next.csv' --format json --quiet | sed 's/midnight[-a-z]*//g')"

# R's write.table quotes its texts and writes a quote inside one as \" (its
# qmethod "escape"), leaving every other backslash as it is.
printf '"x"\t"say"\t"path"\n1\t"he said \\"no\\""\t"C:\\data\\a.csv"\n2\t"plain"\t"\\\\server"\n' >"$tmp/rtable.tsv"
check "quotes escaped by a backslash read as quotes, other backslashes kept" bash -c \
  "'$cb' '$tmp/rtable.tsv' --format json --quiet 'CODEBOOK say path' | python3 -c '
import json, sys
values = sorted(c[\"value\"] for i in json.load(sys.stdin)[\"items\"] for g in i[\"dimensions\"][0][\"children\"]
                if g.get(\"group\") == \"Valid Values\" for c in g[\"children\"])
sys.exit(values != sorted([\"he said \\\"no\\\"\", \"plain\", \"C:\\\\data\\\\a.csv\", \"\\\\\\\\server\"]))'"
check "... the same from standard input and in parts" bash -c \
  "cmp -s <('$cb' - --format json --quiet <'$tmp/rtable.tsv' --delimiter tab | sed 1,20d) \
          <('$cb' '$tmp/rtable.tsv' --format json --quiet | sed 1,20d) &&
   '$cb' '$tmp/rtable.tsv' --write-plan '$tmp/rtable.plan' --quiet &&
   '$cb' --run-plan '$tmp/rtable.plan' --part 1 -o '$tmp/rtable.state' --quiet &&
   cmp -s <('$cb' --merge '$tmp/rtable.plan' '$tmp/rtable.state' --format json --quiet) \
          <('$cb' '$tmp/rtable.tsv' --format json --quiet)"
{ printf 'x,say\n'; for i in $(seq 5000); do printf '%d,"plain text"\n' "$i"; done; printf '9,"he said \\"no\\""\n'; } >"$tmp/rlate.csv"
fails "one first met beyond the first rows is named, with what to do" 2 \
  'line 5002, column 2 (variable say): unexpected text after the closing quote of a quoted cell. Inside a quoted cell, write a quote as two quotes (""); a backslash before the quote escapes it, as R'"'"'s write.table writes quotes by default' \
  "$cb" "$tmp/rlate.csv"

finish
