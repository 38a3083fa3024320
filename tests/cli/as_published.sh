#!/usr/bin/env bash
# Files as other programs write them: a spreadsheet's "sep=" line, lines of
# blanks between cases, a package written on Windows, a resource whose parts
# mix CSV with a Stata file.
set -uo pipefail
build=$1
cb="$build/codebook"
root=$(pwd)
source "$(dirname "$0")/lib/check.sh"
json() { "$cb" "$@" --format json --quiet 'CODEBOOK /FILEINFO CASECOUNT /STATISTICS COUNT MEAN'; }
cases() {  # FILE: the number of cases it holds
  "$cb" "$1" --format text --quiet 'CODEBOOK /FILEINFO CASECOUNT /STATISTICS NONE' | sed -n 's/^ *Unweighted *//p'
}

# The same two cases, written the plain way and the ways below.
printf 'a,b\n1,2.5\n3,4\n' >"$tmp/plain.csv"
json "$tmp/plain.csv" | sed "s|$tmp/plain.csv|FILE|" >"$tmp/plain.json"
same() {  # FILE: reads as plain.csv
  json "$1" | sed "s|$1|FILE|" | cmp -s - "$tmp/plain.json"
}

printf 'sep=;\r\na;b\r\n1;2,5\r\n3;4\r\n' >"$tmp/sep.csv"
check "a first line sep=; names the delimiter and is no header" same "$tmp/sep.csv"
printf '\xEF\xBB\xBFsep=|\na|b\n1|2.5\n3|4\n' >"$tmp/sep-bom.csv"
check "sep= after a byte order mark" same "$tmp/sep-bom.csv"
printf 'sep=;\na;b\n1;2\n1;2;3\n' >"$tmp/sep-line.csv"
fails "lines keep their numbers after a sep= line" 2 'sep-line.csv, line 4' "$cb" "$tmp/sep-line.csv" --quiet
fails "sep= that contradicts --delimiter is named" 2 'line 1: the first line "sep=;"' \
  "$cb" "$tmp/sep.csv" --delimiter , --quiet
mkdir "$tmp/nohead"
printf 'sep=,\n1,2.5\n3,4\n' >"$tmp/nohead/d.csv"
echo '{"resources": [{"path": "d.csv", "dialect": {"header": false}}]}' >"$tmp/nohead/p.json"
check "a header-less package skips a sep= line too" test "$(cases "$tmp/nohead/p.json")" = 2

printf 'a,b\r1,"x\ry"\r2,z\r3,w,9\r' >"$tmp/cr.csv"
fails "a lone CR inside a quoted cell counts as a line" 2 'cr.csv, line 5, column 3' "$cb" "$tmp/cr.csv" --quiet
printf 'a,b\r1,x\r2,\x81\r' >"$tmp/cr1252.csv"
fails "and a byte not in the encoding names its line" 2 'cr1252.csv, line 3:' "$cb" "$tmp/cr1252.csv" --encoding cp1252 --quiet

printf 'Population by county in 2021\n\ncounty,pop\nA,100\nB,200\n' >"$tmp/title.csv"
fails "a title above the header says what to do" 2 \
  'title.csv, line 3, column 2: the row has 2 cells but the file has 1 variable. If the lines above are a title or notes rather than the header row, remove them' \
  "$cb" "$tmp/title.csv"
printf 'Table 3: population by county, 2021\nSource: the census office\n\ncounty,year,pop\nA,2021,100\n' >"$tmp/comma-title.csv"
fails "a title with a comma in it, above a line of notes" 2 \
  'comma-title.csv, line 2, column 2 (variable V2021): the row has 1 cell but the file has 2 variables. If the first lines are a title or notes above the header row, remove them' \
  "$cb" "$tmp/comma-title.csv"
printf 'county,pop\nA,100\nB,200\n\nSource: the census office\n' >"$tmp/source.csv"
fails "and a source below the data" 2 \
  'source.csv, line 5, column 2 (variable pop): the row has 1 cell but the file has 2 variables. If this line and those after it are notes below the data (a source, footnotes), remove them' \
  "$cb" "$tmp/source.csv"
{ cat "$tmp/plain.csv"; printf '\xEF\xBB\xBFa,b\n5,6\n'; cat "$tmp/plain.csv"; } >"$tmp/joined.csv"
fails "a header repeated further down (files joined) is named with its line" 0 \
  'joined.csv, line 4: the row repeats the header after a byte order mark, as where files were joined one after another (and 1 later row too)' \
  "$cb" "$tmp/joined.csv" 'CODEBOOK a /STATISTICS NONE'
printf 'a, b\n1, "2.5"\n"3",  "4"\n' >"$tmp/spaced.csv"
check "cells quoted after the blanks that follow a delimiter are quoted cells" same "$tmp/spaced.csv"
printf 'a, b\n1, "x, y"\n2, "never closed\n' >"$tmp/spaced-open.csv"
fails "and one never closed is reported" 2 'spaced-open.csv, line 3, column 2 (variable b): a quoted cell is not closed' \
  "$cb" "$tmp/spaced-open.csv" --quiet
printf 'id,x\n1234567890123456789,1\n9007199254740993,2\n100000000000000000000,3\n12,4\n' >"$tmp/ids.csv"
fails "identifiers of more digits than a number keeps are named in a warning" 0 \
  'ids.csv, column 1 (variable id): 2 whole numbers have more digits than a number keeps exactly ("1234567890123456789" reads as 1234567890123456768)' \
  "$cb" "$tmp/ids.csv" 'CODEBOOK id /STATISTICS NONE'
# A spreadsheet saves numbers of 12 digits or more as its General format shows them.
printf 'id,x\n1.23457E+15,1.5e+12\n1234567890123456,6.02214076E+23\n1.23457E+15,1E+10\n-1.2E+11,2\n' >"$tmp/sheet-ids.csv"
fails "numbers a spreadsheet cut to six digits are named in a warning" 0 \
  'sheet-ids.csv, column 1 (variable id): 3 numbers are written with at most 6 significant digits in scientific form ("1.23457E+15" reads as 1234570000000000)' \
  "$cb" "$tmp/sheet-ids.csv" 'CODEBOOK id /STATISTICS NONE'
check "... not other tools' exponents, more digits or smaller numbers" bash -c "! grep -q 'variable x' '$tmp/.stderr'"
printf 'id;n\n1,23457E+15;1\n' >"$tmp/sheet-de.csv"
fails "... also with a decimal comma" 0 '"1,23457E+15" reads as 1234570000000000' "$cb" "$tmp/sheet-de.csv" 'CODEBOOK id'
printf 'a,b\n  \n1,2.5\n \t \n3,4\n   ' >"$tmp/blanks.csv"
check "lines of spaces and tabs are blank lines" same "$tmp/blanks.csv"
printf '"How old\r\nare you?",b\n1,2\n' >"$tmp/header-break.csv"
fails "a line break in a renamed header is shown in the note, not made" 0 \
  'column 1: "How old\r\nare you?" -> How_old_are_you' "$cb" "$tmp/header-break.csv" 'CODEBOOK b'
mkdir -p "$tmp/linked/pkg"
cp "$tmp/plain.csv" "$tmp/linked/pkg/"
echo '{"resources": [{"path": "plain.csv"}]}' >"$tmp/linked/pkg/datapackage.json"
ln -s pkg/datapackage.json "$tmp/linked/current.json"
fails "a descriptor named through a link whose file is beside the target names the target" 2 \
  'the descriptor is a symbolic link to "'"$tmp"'/linked/pkg/datapackage.json", beside which the file is' \
  "$cb" "$tmp/linked/current.json"
mkdir -p "$tmp/repo/pkg/data"
cp "$tmp/plain.csv" "$tmp/repo/pkg/data/"
echo '{"resources": [{"path": "pkg/data/plain.csv"}]}' >"$tmp/repo/pkg/datapackage.json"
fails "a path written from the folder above the package's says what to write" 2 \
  'the path "pkg/data/plain.csv" names no file; it begins with the name of the descriptor'"'"'s own folder, and paths are read from that folder: write "data/plain.csv"' \
  "$cb" "$tmp/repo/pkg/datapackage.json"
printf 'resources:\n  - path: plain.csv\n' >"$tmp/datapackage.yaml"
fails "a YAML descriptor is named as such" 2 'datapackage.yaml: a descriptor in YAML, which this program does not read' \
  "$cb" "$tmp/datapackage.yaml"
mkdir "$tmp/two"
cp "$tmp/plain.csv" "$tmp/two/a.csv"; cp "$tmp/plain.csv" "$tmp/two/b.csv"
echo '{"resources": [{"name": "first", "path": "a.csv"}, {"name": "second", "path": "b.csv"}]}' >"$tmp/two/p.json"
fails "--resource in another letter case names the resource meant" 2 \
  'no resource is named "SECOND"; "second" differs only in letter case' "$cb" "$tmp/two/p.json" --resource SECOND
# Portals' packages do not always name their resources: the note's number chooses one too.
printf 'x\n7\n' >"$tmp/two/c.csv"
echo '{"resources": [{"name": "first", "path": "a.csv"}, {"path": "c.csv"}]}' >"$tmp/two/n.json"
fails "--resource 2 reads the second resource" 0 'reading the resource "resources[1]" (2 of 2)' \
  "$cb" "$tmp/two/n.json" --resource 2 'CODEBOOK /STATISTICS NONE'
fails "--resource past the last one says how many there are" 2 \
  'no resource is named "3", and the package has 2 resources, numbered from 1' "$cb" "$tmp/two/p.json" --resource 3
printf '1,2.5\n3,4\n' >"$tmp/headless.csv"
fails "a header row of numbers warns that the file has none" 0 \
  'headless.csv, line 1: every cell of the header row is a number, so the file probably has no header row' \
  "$cb" "$tmp/headless.csv" 'CODEBOOK /STATISTICS NONE'
# Data written apart from their names (R's write.foreign writes them so for another program's script).
printf '1,"Ann",1,1.5\n2,"Bo",2,\n' >"$tmp/foreign_data.csv"
fails "a header row of names beside a fraction warns that the file has none" 0 \
  'foreign_data.csv, line 1: the header row holds a number with a fraction or a sign ("1.5"), as a case does, so the file probably has no header row' \
  "$cb" "$tmp/foreign_data.csv" 'CODEBOOK /STATISTICS NONE'
printf 'country,2019,2020\nA,1,2\n' >"$tmp/years.csv"
check "... but not years as names" bash -c "! '$cb' '$tmp/years.csv' 'CODEBOOK /STATISTICS NONE' 2>&1 | grep -q 'no header row'"
{ head -c 3000000 /dev/zero | tr '\0' h; printf '\n1\n'; } >"$tmp/long-header.csv"
check "a header of megabytes (text with no line break) is kept as the label and wrapped in one go" bash -c \
  "test \$(timeout 60 '$cb' '$tmp/long-header.csv' --quiet 'CODEBOOK /STATISTICS NONE' | tr -cd h | wc -c) -gt 3000000"
printf '"a","b"\n"r1",1,5\n"r2",3,6\n' >"$tmp/rownames.csv"
fails "a header one name short of R's row names says so" 0 \
  'rownames.csv, line 1: the header names one column fewer than the rows hold, as R'"'"'s write.table writes row names' \
  "$cb" "$tmp/rownames.csv" 'CODEBOOK /STATISTICS NONE'
check "and reads the row names as a column of their own" bash -c \
  "'$cb' '$tmp/rownames.csv' --quiet --format text 'CODEBOOK V1 a /STATISTICS COUNT' | tr -s ' ' | grep -c -e '^ r2 1' -e '^ 3 1' | grep -qx 2"
printf 'a;b\n1;5;\n3;6;\n' >"$tmp/trailing.csv"
check "rows ending in a delimiter read with an empty last column" bash -c \
  "'$cb' '$tmp/trailing.csv' --quiet --format text 'CODEBOOK a V3 /STATISTICS COUNT' | tr -s ' ' | grep -c -e '^ 3 1' -e '^ Missing 2$' | grep -qx 2"
printf 'a;b;c;\n1;5;x\n3;6;y\n' >"$tmp/header-trailing.csv"
fails "a header ending in a delimiter the rows lack says so" 0 \
  'header-trailing.csv, line 1: the header ends with a delimiter that the rows do not have; its empty last name is no column' \
  "$cb" "$tmp/header-trailing.csv" 'CODEBOOK /STATISTICS NONE'
check "and reads the rows' three columns, no fourth" bash -c \
  "'$cb' '$tmp/header-trailing.csv' --quiet --format json 'CODEBOOK ALL /STATISTICS COUNT' | grep -o '\"lookup\"' | wc -l | grep -qx 3"
printf 'a,b\n1,2,3\n4,5\n' >"$tmp/one-long.csv"
fails "one long row among others is still a ragged row" 2 'one-long.csv, line 2, column 3: the row has 3 cells' \
  "$cb" "$tmp/one-long.csv" --quiet
printf 'a\nx\n   \ny\n' >"$tmp/one.csv"
check "a line of spaces is no case in a one-column file either" test "$(cases "$tmp/one.csv")" = 2

# Windows: folders separated by backslashes, and no way out through them.
mkdir -p "$tmp/win/data"
cp "$tmp/plain.csv" "$tmp/win/data/cases.csv"
echo '{"resources": [{"path": "data\\cases.csv"}]}' >"$tmp/win/datapackage.json"
check "a backslash separates folders in a resource path" bash -c \
  "'$cb' '$tmp/win/datapackage.json' --format json --quiet 'CODEBOOK a' | grep -q '\"a\"'"
echo '{"resources": [{"path": "Data\\Cases.CSV"}]}' >"$tmp/win/case.json"
fails "a path that differs from the file only in letter case names the file" 2 \
  'resources[0].path: the path "Data\Cases.CSV" names no file; "data/cases.csv" differs only in letter case' \
  "$cb" "$tmp/win/case.json" --quiet
# A zip made on a Mac keeps names with accents decomposed; the descriptor
# spells them composed.
mkdir -p "$tmp/mac/donn$(printf 'e\xcc\x81')es"
cp "$tmp/plain.csv" "$tmp/mac/donn$(printf 'e\xcc\x81')es/caf$(printf 'e\xcc\x81').csv"
printf '{"resources": [{"path": "donn\xc3\xa9es/caf\xc3\xa9.csv"}]}' >"$tmp/mac/datapackage.json"
check "a path with composed accents reads the file whose name has them decomposed" same "$tmp/mac/datapackage.json"
printf '{"resources": [{"path": "donn\xc3\xa9es/th\xc3\xa9.csv"}]}' >"$tmp/mac/none.json"
fails "and one that names no such file still says so" 2 'cannot open' "$cb" "$tmp/mac/none.json" --quiet
echo '{"resources": [{"path": "self.json", "format": "csv"}]}' >"$tmp/win/self.json"
fails "a resource path naming the descriptor itself says so" 2 \
  'resources[0].path: the path "self.json" names the descriptor itself' "$cb" "$tmp/win/self.json" --quiet
ln "$tmp/win/self.json" "$tmp/win/copy.csv"
echo '{"resources": [{"path": "copy.csv", "format": "csv"}]}' >"$tmp/win/self.json"
fails "... also under another name (a hard link)" 2 \
  'resources[0].path: the path "copy.csv" names the descriptor itself' "$cb" "$tmp/win/self.json" --quiet
cp "$tmp/win/self.json" "$tmp/win/json.csv"
echo '{"resources": [{"path": "json.csv"}]}' >"$tmp/win/jsonres.json"
fails "a resource whose file is JSON is told so, with no advice about naming a descriptor" 2 \
  "json.csv: the file is JSON, not CSV data; a resource's path names the CSV file that holds its cases" \
  "$cb" "$tmp/win/jsonres.json" --quiet
echo '{"resources": [{"path": "data/cases.csv/", "format": "csv"}]}' >"$tmp/win/slash.json"
fails "a path ending in a slash says so, not that letter case differs" 2 \
  'the path "data/cases.csv/" ends in a slash, as the name of a folder does' "$cb" "$tmp/win/slash.json" --quiet
echo '{"resources": [{"path": "data/cases.csv/.", "format": "csv"}]}' >"$tmp/win/dot.json"
check "and one ending in /. is not taken for a case difference" bash -c \
  "! '$cb' '$tmp/win/dot.json' --quiet 2>&1 | grep -q 'letter case'"
echo '{"resources": [{"path": "..\\win\\data\\cases.csv"}]}' >"$tmp/win/up.json"
fails "..\\ is refused like ../" 2 'resources[0].path: the path "..\win\data\cases.csv" goes up out of the folder' \
  "$cb" "$tmp/win/up.json" --quiet
echo '{"resources": [{"path": "\\\\server\\share\\cases.csv"}]}' >"$tmp/win/unc.json"
fails "a network path is refused as absolute" 2 'is absolute' "$cb" "$tmp/win/unc.json" --quiet

# A Stata file among the parts of a CSV resource, by name or by content.
mkdir "$tmp/mixed"
cp tests/golden-data/parts/first.csv tests/golden-data/parts/second.csv "$root/examples/stata/survey.dta" "$tmp/mixed/"
cp "$root/examples/stata/survey.dta" "$tmp/mixed/third.csv"
sed 's/"third.csv.gz"/"survey.dta"/' tests/golden-data/parts/datapackage.json >"$tmp/mixed/named.json"
fails "a .dta part is refused, naming it" 2 'resources[0].path[2]: '"$tmp"'/mixed/survey.dta is a Stata data file (.dta); the parts of a resource must all be CSV files' \
  "$cb" "$tmp/mixed/named.json" --quiet
sed 's/"third.csv.gz"/"third.csv"/' tests/golden-data/parts/datapackage.json >"$tmp/mixed/content.json"
fails "a Stata file named .csv among the parts is refused" 2 'resources[0].path[2]: '"$tmp"'/mixed/third.csv is a Stata data file' \
  "$cb" "$tmp/mixed/content.json" --quiet
echo '{"resources": [{"path": "third.csv"}]}' >"$tmp/mixed/one.json"
check "a Stata file named .csv as a resource is read as Stata" bash -c \
  "'$cb' '$tmp/mixed/one.json' --format json --quiet 'CODEBOOK /STATISTICS NONE' |
   cmp -s - <('$cb' '$root/examples/stata/survey.dta' --format json --quiet 'CODEBOOK /STATISTICS NONE')"
mkdir "$tmp/res"
cp "$tmp/plain.csv" "$tmp/res/d.csv"
printf '# About\nText, with a comma\n' >"$tmp/res/readme.md"
echo '{"resources": [{"name": "data", "path": "d.csv"}, {"name": "readme", "path": "readme.md"}]}' >"$tmp/res/p.json"
fails "--resource naming a README says it is no table and names the tables" 2 \
  'resources[1]: the resource "readme" is not a table (a CSV, Stata or SAS file, or a resource with a schema); the tables are "data"' \
  "$cb" "$tmp/res/p.json" --resource readme --quiet
printf 'a;b\r\n1;2\r\n' | iconv -f UTF-8 -t UTF-16LE >"$tmp/u16le.csv"
fails "UTF-16 without a byte order mark is named as such" 2 \
  'u16le.csv, line 1, column 1: the header holds NUL bytes, so the file is probably UTF-16 text' \
  "$cb" "$tmp/u16le.csv" --quiet
check "and reads with --encoding utf-16le" bash -c "'$cb' '$tmp/u16le.csv' --encoding utf-16le --quiet >/dev/null"
fails "a package folder named as the dataset points to its descriptor" 2 \
  "$tmp/res: is a folder; name the data package's descriptor in it ($tmp/res/datapackage.json)" \
  bash -c "cp '$tmp/res/p.json' '$tmp/res/datapackage.json' && '$cb' '$tmp/res' --quiet"
printf 'a,b\n1,caf\xe9\n' >"$tmp/latin1.csv"
check "encodings as Python spells them: latin-1" bash -c \
  "'$cb' '$tmp/latin1.csv' --encoding latin-1 --format text --quiet 'CODEBOOK b /STATISTICS COUNT' | grep -q café"
check "and without the dash before the number: windows1252" bash -c \
  "'$cb' '$tmp/latin1.csv' --encoding windows1252 --format text --quiet 'CODEBOOK b /STATISTICS COUNT' | grep -q café"
check "and the standard's number alone: 8859-1" bash -c \
  "'$cb' '$tmp/latin1.csv' --encoding 8859-1 --format text --quiet 'CODEBOOK b /STATISTICS COUNT' | grep -q café"
fails "Windows' ANSI is named as the machine's code page" 2 \
  '"ANSI" is what Windows calls the code page of the machine that saved the file: cp1252 in Western Europe and the Americas' \
  "$cb" "$tmp/latin1.csv" --encoding ANSI
mkdir "$tmp/sig"
cp "$tmp/plain.csv" "$tmp/sig/d.csv"
echo '{"resources": [{"path": "d.csv", "encoding": "utf-8-sig"}]}' >"$tmp/sig/p.json"
check "and utf-8-sig" bash -c "'$cb' '$tmp/sig/p.json' --quiet >/dev/null"
echo '{"resources": [{"path": "d.csv", "encoding": "UTF-8-BOM"}]}' >"$tmp/sig/bom.json"
check "and an editor's UTF-8-BOM" bash -c "'$cb' '$tmp/sig/bom.json' --quiet >/dev/null"
printf '{"resources": [{"path": "d.csv"}]}\r\n\x1A' >"$tmp/sig/dos.json"
check "a descriptor that a DOS editor ended with Ctrl-Z is read" bash -c "'$cb' '$tmp/sig/dos.json' --quiet >/dev/null"

# A schema and a dialect in files of their own, held to the folder.
mkdir "$tmp/ref"
printf 'a;b\n1;2,5\n3;4\n' >"$tmp/ref/d.csv"
echo '{"fields": [{"name": "a", "type": "integer", "title": "From the schema"}, {"name": "b", "decimalChar": ","}]}' >"$tmp/ref/schema.json"
echo '{"delimiter": ";"}' >"$tmp/ref/dialect.json"
echo '{"resources": [{"path": "d.csv", "schema": "schema.json", "dialect": "dialect.json"}]}' >"$tmp/ref/p.json"
check "a schema and a dialect given as files are read" bash -c \
  "'$cb' '$tmp/ref/p.json' --format text --quiet 'CODEBOOK a /VARINFO LABEL /STATISTICS NONE' | grep -qx '  Label  From the schema'"
fails "the schema file is an input: -o over it is refused" 2 "the output '$tmp/ref/schema.json' is the input file" \
  "$cb" "$tmp/ref/p.json" --format json -o "$tmp/ref/schema.json" --quiet
echo '{"resources": [{"path": "d.csv", "schema": "https://example.org/schema.json"}]}' >"$tmp/ref/url.json"
fails "a schema URL is refused, never fetched, saying to download it" 2 \
  'resources[0].schema: the path "https://example.org/schema.json" is an address on the web, and nothing is fetched: download the file into the descriptor'"'"'s folder and give its name as the path ("schema.json")' \
  "$cb" "$tmp/ref/url.json" --quiet

# Windows editors and PowerShell save text as UTF-16 with a byte order mark.
mkdir "$tmp/u16"
cp "$tmp/plain.csv" "$tmp/u16/d.csv"
printf '{"title": "Caf\u00e9", "resources": [{"path": "d.csv"}]}\r\n' | iconv -f UTF-8 -t UTF-16 >"$tmp/u16/p.json"
printf '* \xc3\xbc.\r\nCODEBOOK /FILEINFO LABEL /STATISTICS NONE.\r\n' | iconv -f UTF-8 -t UTF-16 >"$tmp/u16/c.cbk"
check "a UTF-16 descriptor and syntax file are read" bash -c \
  "'$cb' '$tmp/u16/p.json' --syntax '$tmp/u16/c.cbk' --format text --quiet | grep -qx 'Label  Café'"
# A lone surrogate on the second line: the place is the line of the file as saved.
printf '\xff\xfe{\x00\r\x00\n\x00\x00\xd8x\x00' >"$tmp/u16/broken.json"
fails "a UTF-16 descriptor that stops being UTF-16 names the line" 2 \
  'broken.json, line 2: the descriptor begins with a UTF-16 byte order mark but is not UTF-16 text from here on; save it as UTF-8' \
  "$cb" "$tmp/u16/broken.json" --quiet

# Packages as Frictionless tools describe them: newer ones put the CSV
# settings in a "csv" object of the dialect, and add properties of their own.
mkdir "$tmp/fl"
printf 'a;b\n1;2.5\n3;4\n' >"$tmp/fl/semi.csv"
printf 'a\tb\n1\t2.5\n3\t4\n' >"$tmp/fl/tabs.tsv"
cat >"$tmp/fl/v5.json" <<'JSON'
{"$schema": "https://datapackage.org/profiles/2.0/datapackage.json", "name": "p",
 "resources": [{"$schema": "https://datapackage.org/profiles/2.0/dataresource.json", "name": "semi",
   "type": "table", "path": "semi.csv", "scheme": "file", "format": "csv", "mediatype": "text/csv",
   "encoding": "utf-8", "hashing": "md5", "stats": {"hash": "x", "bytes": 22, "fields": 2, "rows": 2},
   "dialect": {"$schema": "https://datapackage.org/profiles/2.0/tabledialect.json", "headerRows": [1],
               "csv": {"delimiter": ";"}}}]}
JSON
check "a dialect's \"csv\" object names the delimiter" same "$tmp/fl/v5.json"
check "and the standard properties of such a package give no warning" \
  bash -c "'$cb' '$tmp/fl/v5.json' 2>&1 >/dev/null | cmp -s - /dev/null"
echo '{"resources": [{"path": "tabs.tsv"}]}' >"$tmp/fl/tsv.json"
check "a .tsv resource without a dialect has tabs between its cells" same "$tmp/fl/tsv.json"
cp "$tmp/fl/tabs.tsv" "$tmp/fl/tabs.txt"
echo '{"resources": [{"path": "tabs.txt", "mediatype": "text/tsv"}]}' >"$tmp/fl/tsv-media.json"
check "so has one whose media type says so" same "$tmp/fl/tsv-media.json"
echo '{"resources": [{"path": "semi.csv", "format": "tsv", "dialect": {"delimiter": ";"}}]}' >"$tmp/fl/tsv-semi.json"
check "unless its dialect names another delimiter" same "$tmp/fl/tsv-semi.json"
printf 'x\n1\nNaN\nnan\n3\n' >"$tmp/fl/nan.csv"
echo '{"resources": [{"path": "nan.csv", "schema": {"fields": [{"name": "x", "type": "number"}]}}]}' >"$tmp/fl/nan.json"
check "NaN in a number field is no value" bash -c \
  "'$cb' '$tmp/fl/nan.json' --format text --quiet 'CODEBOOK x /STATISTICS MEAN' | grep -q '^  Missing *2$'"
printf 'a,b\n1,2.5\n\\N,\\N\n3,4\n' >"$tmp/fl/null.csv"
echo '{"resources": [{"path": "null.csv", "dialect": {"nullSequence": "\\N"}}]}' >"$tmp/fl/null.json"
check "the dialect's nullSequence is no value in every column" bash -c \
  "'$cb' '$tmp/fl/null.json' --format text --quiet 'CODEBOOK b /STATISTICS MEAN' | grep -q '^  Missing *1$'"
printf 'a\tb\n1\t2.5\n\\N\t\\N\n3\t4\n\\N\tx\\\ty\n' >"$tmp/fl/dump.tsv"
echo '{"resources": [{"path": "dump.tsv", "dialect": {"delimiter": "\t", "escapeChar": "\\", "doubleQuote": false,
  "quoteChar": "", "nullSequence": "\\N"}}]}' >"$tmp/fl/dump.json"
check "a database dump's \\N is no value though the same backslash escapes other characters" bash -c \
  "'$cb' '$tmp/fl/dump.json' --format text --quiet 'CODEBOOK a b /STATISTICS COUNT' | tr -s ' ' | grep -c -e '^ System 2\$' -e '^ x.y 1\$' | grep -qx 2"
echo '{"resources": [{"path": "semi.csv", "dialect": {"delimiter": ";", "headerRows": [2]}}]}' >"$tmp/fl/rows.json"
fails "a header on another row is refused, naming the property" 2 \
  'resources[0].dialect.headerRows: only a header on the first row is read' "$cb" "$tmp/fl/rows.json" --quiet
# Frictionless tools of 2021-22 wrote the header's place in a resource's
# "layout": read as the dialect's, and rows picked by the layout refused.
printf '1;2.5\n3;4\n' >"$tmp/fl/bare.csv"
echo '{"resources": [{"path": "bare.csv", "dialect": {"delimiter": ";"}, "layout": {"header": false},
  "schema": {"fields": [{"name": "a", "type": "integer"}, {"name": "b", "type": "number"}]}}]}' >"$tmp/fl/layout.json"
check "a layout without a header reads every row as a case: a's mean (1 + 3) / 2" bash -c \
  "'$cb' '$tmp/fl/layout.json' --format text 'CODEBOOK a /STATISTICS MEAN' 2>&1 | grep -q '^  Mean *2.00$'"
# The header row and "header" false disagree, one way or the other.
printf 'Name;City\nAnn;Bonn\n' >"$tmp/fl/named.csv"
echo '{"resources": [{"path": "named.csv", "dialect": {"delimiter": ";", "header": false},
  "schema": {"fields": [{"name": "name", "type": "string"}, {"name": "city", "type": "string"}]}}]}' >"$tmp/fl/named.json"
fails "a header row under \"header\": false is named, not read as a case" 2 \
  'named.csv, line 1: the first row names the fields ("Name", "City") as a header row does, but the resource says "header": false' \
  "$cb" "$tmp/fl/named.json" --quiet
sed 's/"layout": {"header": false},//' "$tmp/fl/layout.json" >"$tmp/fl/noheader.json"
fails "a file without a header row under a schema is told to say so" 2 \
  'bare.csv, line 1: the first line names no field and holds numbers, as a case does; if the file has no header row, give the resource'"'"'s dialect "header": false' \
  "$cb" "$tmp/fl/noheader.json" --quiet
# Codes written as numbers in a hand-written schema: missing values are the cells' texts.
echo '{"resources": [{"path": "bare.csv", "dialect": {"delimiter": ";", "header": false},
  "schema": {"missingValues": ["", -99, 1.5], "fields": [{"name": "a"}, {"name": "b"}]}}]}' >"$tmp/fl/coded.json"
fails "a missing value given as a number says to write its text" 2 \
  'resources[0].schema.missingValues[1]: expected a string, found a number; missing values are the texts of the cells, so write "-99"' \
  "$cb" "$tmp/fl/coded.json" --quiet
check "... each one of them" grep -qF 'missingValues[2]: expected a string, found a number; missing values are the texts of the cells, so write "1.5"' "$tmp/.stderr"
printf 'A;B\n1;2.5\n' >"$tmp/fl/upper.csv"
echo '{"resources": [{"path": "upper.csv", "dialect": {"delimiter": ";"}, "layout": {"headerCase": false,
  "headerRows": [1], "headerJoin": " "}, "schema": {"fields": [{"name": "a"}, {"name": "b"}]}}]}' >"$tmp/fl/case.json"
check "a layout's headerCase false matches the header ignoring case, without a warning" bash -c \
  "'$cb' '$tmp/fl/case.json' 'CODEBOOK a' 2>&1 >/dev/null | cmp -s - /dev/null"
echo '{"resources": [{"path": "semi.csv", "layout": {"headerRows": [2]}}]}' >"$tmp/fl/layout-rows.json"
fails "a layout's header on another row is refused" 2 \
  'resources[0].layout.headerRows: only a header on the first row is read' "$cb" "$tmp/fl/layout-rows.json"
echo '{"resources": [{"path": "semi.csv", "layout": {"skipRows": ["#"], "pickFields": []}}]}' >"$tmp/fl/skip.json"
fails "rows the layout skips are refused, not read as cases" 2 \
  'resources[0].layout.skipRows: rows and columns picked or skipped by the layout are not read' \
  "$cb" "$tmp/fl/skip.json"
cp "$tmp/plain.csv" "$tmp/fl/plain.csv"
echo '{"name": "p", "title": null, "description": null, "licenses": null, "resources": [{"path": "plain.csv",
  "format": null, "mediatype": null, "encoding": null, "dialect": null, "schema": {"missingValues": null,
  "primaryKey": null, "fields": [{"name": "a", "title": null, "type": null, "format": null, "constraints": null},
  {"name": "b", "missingValues": null, "description": null}]}}]}' >"$tmp/fl/nulls.json"
echo '{"resources": [{"name": "t", "path": "plain.csv/"}]}' >"$tmp/fl/slash.json"
fails "a table's path ending in a slash says so, not that no resource is a table" 2 \
  'resources[0].path: the path "plain.csv/" ends in a slash' "$cb" "$tmp/fl/slash.json"
echo '{"name": "p", "resources": [{"path": "plain.csv", "schema": {"fields": [{"name": "a"}, {"name": "b"}]}}]}' \
  >"$tmp/fl/no-nulls.json"
# The views and readme of packages published on datahub.io and their GitHub mirrors pass too.
echo '{"@context": "https://schema.org/", "x-ckan": {"id": 1}, "dcat:issued": "2020", "colour": 1,
  "readme": "About the data", "views": [{"name": "graph", "specType": "simple", "spec": {"type": "line"}}],
  "resources": [{"path": "plain.csv", "x_portal": true}]}' >"$tmp/fl/vendor.json"
"$cb" "$tmp/fl/vendor.json" 'CODEBOOK a' 2>"$tmp/fl/vendor.err" >/dev/null
check "vendor extensions, JSON-LD and views pass without a warning, unknown properties still warn" \
  test "$(cat "$tmp/fl/vendor.err")" = "codebook: warning: $tmp/fl/vendor.json: colour: unknown property, ignored"
cp "$tmp/plain.csv" "$tmp/fl/plain.txt"
echo '{"resources": [{"name": "notes", "path": "README.md"}, {"name": "t", "type": "table", "path": "plain.txt"}]}' \
  >"$tmp/fl/typed.json"
fails "a resource whose type is table is a table, whatever its file's name" 0 'reading the resource "t" (2 of 2)' \
  "$cb" "$tmp/fl/typed.json" 'CODEBOOK a'
check "properties given as null (as portals write them) read as absent" \
  cmp -s <(json "$tmp/fl/nulls.json" | sed 's/nulls.json/X/') <(json "$tmp/fl/no-nulls.json" | sed 's/no-nulls.json/X/')
check "without a word" test -z "$("$cb" "$tmp/fl/nulls.json" 'CODEBOOK a' 2>&1 >/dev/null)"

printf 'a;b\n1,5;x\n,5;y\n-,5;z\n' >"$tmp/fl/comma.csv"
check "a decimal comma without a digit before it is a number, as .5 is" bash -c \
  "'$cb' '$tmp/fl/comma.csv' --format text --quiet 'CODEBOOK a /STATISTICS MEAN' | grep -q '^  Mean  *0.500$'"

# Rows written inside the descriptor, as arrays or as objects.
echo '{"resources": [{"name": "t", "data": [["a", "b"], [1, 2.5], ["3", "4"]]}]}' >"$tmp/fl/rows-arrays.json"
check "rows written in the descriptor as arrays read as the file" same "$tmp/fl/rows-arrays.json"
echo '{"resources": [{"data": [{"a": 1, "b": 2.5}, {"b": 4, "a": 3}]}]}' >"$tmp/fl/rows-objects.json"
check "and as objects, by name" same "$tmp/fl/rows-objects.json"
echo '{"resources": [{"data": [{"b": 2.5, "a": 1}, {"a": 3, "b": 4}],
  "schema": {"fields": [{"name": "a", "measure": "nominal"}, {"name": "b"}]}}]}' >"$tmp/fl/rows-schema.json"
check "in the schema's order" same "$tmp/fl/rows-schema.json"
echo '{"resources": [{"data": [{"a": 1}, {"a": null}, {"a": "x"}],
  "schema": {"fields": [{"name": "a", "type": "integer"}]}}]}' >"$tmp/fl/rows-bad.json"
fails "a bad cell among them names the row as a line" 2 \
  'rows-bad.json (resources[0].data), line 4, column 1 (variable a)' "$cb" "$tmp/fl/rows-bad.json" --quiet
echo '{"resources": [{"data": [{"s": "two words, a comma"}, {"s": null}, {"s": "say \"hi\""}]}]}' >"$tmp/fl/rows-one.json"
check "a one-column table keeps its empty value and its quotes" bash -c \
  "'$cb' '$tmp/fl/rows-one.json' --format text --quiet 'CODEBOOK s /STATISTICS COUNT' | tr -s ' ' | grep -c -e '^ 1$' -e '^ say \"hi\" 1$' -e '^ two words, a comma 1$' | grep -qx 3"
echo '{"resources": [{"data": [], "schema": {"fields": [{"name": "a", "type": "integer"}]}}]}' >"$tmp/fl/rows-none.json"
check "no rows under a schema are a table of no case" bash -c \
  "'$cb' '$tmp/fl/rows-none.json' --format text --quiet 'CODEBOOK /FILEINFO CASECOUNT /STATISTICS NONE' | grep -q '^ *Unweighted *0$'"
echo '{"resources": [{"data": []}]}' >"$tmp/fl/rows-nothing.json"
fails "and without a schema say what is missing" 2 \
  'rows-nothing.json: resources[0].data: no rows, and no schema to name the fields' "$cb" "$tmp/fl/rows-nothing.json"
fails "such rows are not split into parts" 2 'the rows written inside the descriptor cannot be split into parts' \
  "$cb" "$tmp/fl/rows-arrays.json" --write-plan "$tmp/fl/plan" --quiet
# Date patterns as older and newer descriptors write them: "fmt:" of the first
# Table Schema drafts, %z of strftime (a moment, shown in UTC).
printf 'd,t\n31/12/2020,2024-03-15T23:30:00-05:00\n02/01/2021,2024-03-16T06:30:00+0200\n' >"$tmp/fl/patterns.csv"
echo '{"resources": [{"path": "patterns.csv", "schema": {"fields": [{"name": "d", "type": "date", "format": "fmt:%d/%m/%Y"},
  {"name": "t", "type": "datetime", "format": "%Y-%m-%dT%H:%M:%S%z"}]}}]}' >"$tmp/fl/patterns.json"
# Mean of 2020-12-31 and 2021-01-02; of 2024-03-16 04:30 and 04:30 UTC.
check "a pattern with fmt: and one with %z read their cells" bash -c \
  "'$cb' '$tmp/fl/patterns.json' --format text --quiet 'CODEBOOK /STATISTICS MEAN' | grep '^  Mean' | tr -s ' ' | paste -sd'|' |
   grep -qx ' Mean 01-JAN-2021| Mean 16-MAR-2024 04:30:00'"
# "any" as a date field's format: the one pattern every value follows, day
# first here and month first with a clock (means: 2021-01-16, and 15 days
# 21:07:30 after 2020-12-31 13:45).
printf 'd,t\n31/12/2020,12/31/2020 1:45 PM\n01/02/2021,02/01/2021 8:00 AM\n' >"$tmp/fl/any.csv"
echo '{"resources": [{"path": "any.csv", "schema": {"fields": [{"name": "d", "type": "date", "format": "any"},
  {"name": "t", "type": "datetime", "format": "any"}]}}]}' >"$tmp/fl/any.json"
check "format \"any\" reads dates in the one pattern they follow" bash -c \
  "'$cb' '$tmp/fl/any.json' --format text --quiet 'CODEBOOK /STATISTICS MEAN' | grep '^  Mean' | tr -s ' ' | paste -sd'|' |
   grep -qx ' Mean 16-JAN-2021| Mean 16-JAN-2021 10:52:30'"
fails "and a note names the pattern" 0 \
  'any.csv, column 2 (variable t): the field'"'"'s format is "any", and every value follows the pattern "%m/%d/%Y %I:%M %p"' \
  "$cb" "$tmp/fl/any.json" 'CODEBOOK d'
# A date field whose values show a time of day says to declare a datetime.
printf 'd\n31/12/2020 13:45\n15/01/2021 08:00\n' >"$tmp/fl/clock.csv"
echo '{"resources": [{"path": "clock.csv", "schema": {"fields": [{"name": "d", "type": "date", "format": "any"}]}}]}' \
  >"$tmp/fl/clock.json"
fails "format \"any\" on a date field whose values show a time of day asks for a datetime" 2 \
  'clock.csv, column 1 (variable d): the field'"'"'s type is "date", but its values show a time of day (such as "31/12/2020 13:45"); declare it with "type": "datetime" to read them' \
  "$cb" "$tmp/fl/clock.json" --quiet
# Infinities as R and pandas write them, under a field typed number.
printf 'x\n1\nInf\n' >"$tmp/fl/inf.csv"
echo '{"resources": [{"path": "inf.csv", "schema": {"fields": [{"name": "x", "type": "number"}]}}]}' >"$tmp/fl/inf.json"
fails "an infinity in a number field says why it is refused and what reads it" 2 \
  'inf.csv, line 3, column 1 (variable x): "Inf" is an infinite number, which no statistic takes; add the text to the field'"'"'s missingValues to read it as no value' \
  "$cb" "$tmp/fl/inf.json" --quiet
# Missing values with labels, as the second Table Schema writes them: each
# reason is counted under its label, and none enters a statistic.
printf 'born;sex;town\n1990;1;Bern\n1985;9;-9\n-99;2;Basel\n-9;9;Bern\n' >"$tmp/fl/reasons.csv"
echo '{"resources": [{"path": "reasons.csv", "dialect": {"csv": {"delimiter": ";"}}, "schema": {
  "missingValues": [{"value": "-9", "label": "not asked"}],
  "fields": [{"name": "born", "type": "year", "missingValues": [{"value": "-99", "label": "refused"}, "-9"]},
    {"name": "sex", "type": "integer", "categories": [{"value": 1, "label": "male"}, {"value": 2, "label": "female"}],
     "missingValues": [{"value": "9", "label": "no answer"}]},
    {"name": "town", "type": "string"}]}}]}' >"$tmp/fl/reasons.json"
"$cb" "$tmp/fl/reasons.json" --format text --quiet 'CODEBOOK /STATISTICS COUNT MEAN' | tr -s ' ' >"$tmp/fl/reasons.txt"
check "a labelled missing value is counted under its label" grep -qx ' 9 no answer 2' "$tmp/fl/reasons.txt"
check "and enters no statistic: the mean of 1990 and 1985" grep -qx ' Mean 1987.50' "$tmp/fl/reasons.txt"
check "a scale variable lists it among its labelled values" grep -qx ' -99 refused 1' "$tmp/fl/reasons.txt"
check "beside one without a label, which stays system-missing" bash -c \
  "grep -A2 '^N\$' '$tmp/fl/reasons.txt' | paste -sd'|' | grep -qx 'N| Valid 2| Missing 2'"
check "the schema's labelled missing value holds for a field without its own, text included" grep -qx ' -9 not asked 1' \
  "$tmp/fl/reasons.txt"
printf 'town,n\nBern,1\n,2\nREF,3\n' >"$tmp/fl/blank.csv"
echo '{"resources": [{"path": "blank.csv", "schema": {"fields": [{"name": "town", "type": "string", "missingValues":
  [{"value": "", "label": "no answer"}, {"value": "REF", "label": "refused"}]}, {"name": "n", "type": "integer"}]}}]}' \
  >"$tmp/fl/blank.json"
check "a labelled empty text is a reason too: a string's blank answer is counted under its label" bash -c \
  "'$cb' '$tmp/fl/blank.json' --format text --quiet 'CODEBOOK town' | tr -s ' ' | sed -n '/^Missing Values/,\$p' |
   paste -sd'|' | grep -qx 'Missing Values| no answer 1 33.3%| REF refused 1 33.3%'"

# An integer field grouped by points, as German offices publish counts: whole
# numbers have no decimal character, so the groupChar alone is no conflict.
mkdir "$tmp/de"
printf 'kreis;einwohner\nA;1.234\nB;2.000\nC;987\n' >"$tmp/de/d.csv"
echo '{"resources": [{"path": "d.csv", "dialect": {"delimiter": ";"}, "schema": {"fields": [{"name": "kreis"},
  {"name": "einwohner", "type": "integer", "groupChar": "."}]}}]}' >"$tmp/de/datapackage.json"
check "an integer field with groupChar \".\" reads 1.234 as 1234: (1234 + 2000 + 987) / 3" bash -c \
  "'$cb' '$tmp/de/datapackage.json' --format text --quiet 'CODEBOOK einwohner /STATISTICS MEAN' | grep -q '^  Mean  *1407.00\$'"
printf 'kreis;einwohner\nA;1,5\n' >"$tmp/de/d.csv"
fails "and a comma there is no whole number" 2 'd.csv, line 2, column 2 (variable einwohner)' \
  "$cb" "$tmp/de/datapackage.json" --quiet

# A schema that matches the header by name (fieldsMatch, as the second Table
# Schema has it): the variables come in the file's order, columns the schema
# leaves out are inferred, and fields the file lacks are left out.
mkdir "$tmp/fm"
cp "$tmp/plain.csv" "$tmp/fm/d.csv"
echo '{"resources": [{"path": "d.csv", "schema": {"fieldsMatch": "equal",
  "fields": [{"name": "b"}, {"name": "a", "measure": "nominal"}]}}]}' >"$tmp/fm/equal.json"
check "fieldsMatch \"equal\": fields in another order than the header read as the file's columns" same "$tmp/fm/equal.json"
echo '{"resources": [{"path": "d.csv", "schema": {"fieldsMatch": "subset", "fields": [{"name": "b"}]}}]}' \
  >"$tmp/fm/subset.json"
check "\"subset\": a column no field names is inferred as without a schema" same "$tmp/fm/subset.json"
fails "and a note names it" 0 'd.csv, line 1: 1 column that no field names (a) is read with types found from the data' \
  "$cb" "$tmp/fm/subset.json" 'CODEBOOK a'
echo '{"resources": [{"path": "d.csv", "schema": {"fieldsMatch": "superset", "fields": [{"name": "gone"},
  {"name": "b"}, {"name": "a", "measure": "nominal"}]}}]}' >"$tmp/fm/superset.json"
check "\"superset\": a field the file lacks is left out" same "$tmp/fm/superset.json"
fails "and a note names it" 0 'd.csv, line 1: 1 field of the schema ("gone") has no column in the file and is left out' \
  "$cb" "$tmp/fm/superset.json" 'CODEBOOK a'
printf 'A,b\n1,2.5\n3,4\n' >"$tmp/fm/d.csv"
echo '{"resources": [{"path": "d.csv", "dialect": {"headerCase": false}, "schema": {"fieldsMatch": "partial",
  "fields": [{"name": "b"}, {"name": "a", "measure": "nominal"}, {"name": "c"}]}}]}' \
  >"$tmp/fm/partial.json"
check "\"partial\" with a header whose case does not count" same "$tmp/fm/partial.json"

# A schema copied from CKAN's data dictionary names fields by "id" and types
# them as a database does: the messages say what Table Schema writes instead.
mkdir "$tmp/ckan"
printf 'id,n\n1,2.5\n' >"$tmp/ckan/data.csv"
printf '{"resources": [{"path": "data.csv", "schema": {"fields": [{"id": "id", "type": "int"}, {"name": "n", "type": "numeric"}]}}]}' \
  >"$tmp/ckan/datapackage.json"
fails "a field with an id but no name says to write it as name" 2 \
  'fields[0]: a field needs a "name" (this one has an "id", as CKAN'"'"'s data dictionary names fields: write it as "name")' \
  "$cb" "$tmp/ckan/datapackage.json"
fails "a database's type names the Table Schema type for it" 2 \
  'fields[1].type: "numeric" is not a field type ("number" is the Table Schema type for it); use one of' \
  "$cb" "$tmp/ckan/datapackage.json"
# JSON that is data, not a descriptor: a JSON-stat cube, JSON Lines.
printf '{"version": "2.0", "class": "dataset", "id": ["sex"], "size": [2],\n "dimension": {"sex": {"category": {"index": ["M", "F"]}}}, "value": [10, 11]}\n' \
  >"$tmp/ckan/cube.json"
fails "a JSON-stat dataset is named as one" 2 \
  'cube.json: this is a JSON-stat dataset (values by "dimension"), not a data package descriptor; save its values as a CSV table' \
  "$cb" "$tmp/ckan/cube.json"
printf '{"a": 1, "b": "x"}\r\n{"a": 2, "b": "y"}\r\n' >"$tmp/ckan/records.json"
fails "JSON Lines are named as data" 2 \
  'records.json, line 2, column 1: the descriptor is not valid JSON (syntax error while parsing value - unexpected '"'"'{'"'"'; expected end of input); the file holds one JSON object per line (JSON Lines)' \
  "$cb" "$tmp/ckan/records.json"
# Tables copied from reports write the minus sign U+2212 and thin spaces
# between groups of digits: a field reading past the text around a number
# keeps that sign (it was dropped, so "−5" read as 5).
mkdir "$tmp/typeset"
printf 'id,x,y\n1,\xe2\x88\x925,1\xe2\x80\x89234\n2,3 \xe2\x82\xac,3\xe2\x80\x87000\n3,\xe2\x82\xac\xe2\x88\x922.5,12\n4,(4),1\xc2\xa0000\n' \
  >"$tmp/typeset/t.csv"
echo '{"resources": [{"path": "t.csv", "schema": {"fields": [{"name": "id", "type": "integer"},
  {"name": "x", "type": "number", "bareNumber": false}, {"name": "y", "type": "integer", "groupChar": " "}]}}]}' \
  >"$tmp/typeset/p.json"
mean() { "$cb" "$1" --format text --quiet "CODEBOOK $2 /STATISTICS MEAN" | sed -n 's/^ *Mean *//p'; }
check "the minus sign U+2212 is a sign (-5 + 3 - 2.5 - 4 = -8.5 over 4)" test "$(mean "$tmp/typeset/p.json" x)" = "-2.1250"
check "thin and figure spaces group digits as a space does (1234 3000 12 1000)" \
  test "$(mean "$tmp/typeset/p.json" y)" = "1311.50"
printf 'a,b\n1,\xe2\x88\x925\n2,3\n' >"$tmp/typeset/bare.csv"
fails "a bare column of such numbers names the field that reads them" 0 \
  'every value is numbers written with the minus sign U+2212 (−) rather than a hyphen (such as "−5"), so the column is text; to read them as numbers, declare the field in a data package descriptor as {"name": "b", "type": "number", "bareNumber": false}' \
  "$cb" "$tmp/typeset/bare.csv" 'CODEBOOK a'
echo '{"resources": [{"path": "bare.csv", "schema": {"fields": [{"name": "a", "type": "integer"}, {"name": "b", "type": "number"}]}}]}' \
  >"$tmp/typeset/plain.json"
fails "a plain number field says what its sign is" 2 \
  'bare.csv, line 2, column 2 (variable b): "−5" is not a number: its minus sign is U+2212, not the hyphen' \
  "$cb" "$tmp/typeset/plain.json"
# A resource in parts cut from one file: the header in the first part only.
mkdir "$tmp/cut"
printf 'id,x\n1,2.5\n2,3.5\n' >"$tmp/cut/p1.csv"
printf '\xEF\xBB\xBF3,4.5\n4,5.5\n' >"$tmp/cut/p2.csv"
printf 'id,x\n5,7\n' >"$tmp/cut/p3.csv"
echo '{"resources": [{"path": ["p1.csv", "p2.csv", "p3.csv"], "schema": {"fields": [{"name": "id", "type": "integer"},
  {"name": "x", "type": "number"}]}}]}' >"$tmp/cut/typed.json"
echo '{"resources": [{"path": ["p1.csv", "p2.csv", "p3.csv"]}]}' >"$tmp/cut/inferred.json"
check "parts after the first may start with a case (5 cases, 2.5+3.5+4.5+5.5+7 over 5)" \
  test "$(cases "$tmp/cut/typed.json") $(mean "$tmp/cut/typed.json" x)" = "5 4.6000"
check "and so with types inferred" test "$(cases "$tmp/cut/inferred.json") $(mean "$tmp/cut/inferred.json" x)" = "5 4.600"
printf 'ID,y\n3,4.5\n' >"$tmp/cut/p4.csv"
echo '{"resources": [{"path": ["p1.csv", "p4.csv"]}]}' >"$tmp/cut/differs.json"
fails "a part whose header names some columns but differs is still an error" 2 \
  'p4.csv, line 1, column 1: the header has "ID" where the first part has "id"' "$cb" "$tmp/cut/differs.json"
# Numbers beyond a double's range are read as infinite by other tools: named
# as infinities are, where the column became text without a word.
printf 'a,b\n1,1e400\n2,3\n' >"$tmp/typeset/huge.csv"
fails "a bare column's number beyond the range of a double is named" 0 \
  'every cell that is neither a number nor empty is "1e400" (1 cell), so the column is text; infinite values enter no statistic' \
  "$cb" "$tmp/typeset/huge.csv" 'CODEBOOK a'
# Descriptors written by hand carry comments and trailing commas from JSON5.
printf '{"resources": [{"path": "d.csv", // the cases\n "format": "csv"}]}\n' >"$tmp/cut/comment.json"
fails "a comment in a descriptor is named as such, with its place" 2 \
  'comment.json, line 1, column 34: the descriptor is not valid JSON (syntax error while parsing object key - invalid literal; last read: '"'"'"d.csv", /'"'"'; expected string literal); JSON has no comments' \
  "$cb" "$tmp/cut/comment.json"
printf '{"resources": [\n  {"path": "d.csv"},\n]}\n' >"$tmp/cut/trailing.json"
fails "and so is a comma after the last element" 2 \
  'trailing.json, line 3, column 1: the descriptor is not valid JSON (syntax error while parsing value - unexpected '"'"']'"'"'; expected '"'"'['"'"', '"'"'{'"'"', or a literal); JSON allows no comma after the last member or element' \
  "$cb" "$tmp/cut/trailing.json"
finish
