#!/usr/bin/env bash
# Data as it comes: compressed files, standard input, encodings, dialects,
# renamed headers reported once, and every descriptor problem in one run.
set -uo pipefail
build=$1
cb="$build/codebook"
pub=tests/golden-data/published
source "$(dirname "$0")/lib/check.sh"
run() { "$cb" "$@" --format json --quiet 'CODEBOOK /STATISTICS COUNT MEAN'; }

run $pub/survey.csv >"$tmp/plain.json"
cp $pub/survey.csv "$tmp/survey.csv"
gzip -c $pub/survey.csv >"$tmp/survey.csv.gz"
zstd -q -c $pub/survey.csv >"$tmp/survey.csv.zst"
(head -c 100 $pub/survey.csv | gzip -c; tail -c +101 $pub/survey.csv | gzip -c) >"$tmp/members.csv.gz"
check ".csv.gz reads as the plain file" bash -c "'$cb' '$tmp/survey.csv.gz' --format json --quiet 'CODEBOOK /STATISTICS COUNT MEAN' | cmp -s - '$tmp/plain.json'"
check ".csv.zst reads as the plain file" bash -c "'$cb' '$tmp/survey.csv.zst' --format json --quiet 'CODEBOOK /STATISTICS COUNT MEAN' | cmp -s - '$tmp/plain.json'"
check "a gzip file of several members reads whole" bash -c "'$cb' '$tmp/members.csv.gz' --format json --quiet 'CODEBOOK /STATISTICS COUNT MEAN' | cmp -s - '$tmp/plain.json'"
check "standard input reads as the file" bash -c "'$cb' - --format json --quiet 'CODEBOOK /STATISTICS COUNT MEAN' <$pub/survey.csv | cmp -s - '$tmp/plain.json'"
check "compressed standard input reads as the file" bash -c "'$cb' - --format json --quiet 'CODEBOOK /STATISTICS COUNT MEAN' <'$tmp/survey.csv.zst' | cmp -s - '$tmp/plain.json'"
check "an early stop on standard input still counts every case" bash -c \
  "'$cb' - --format json --quiet 'CODEBOOK /FILEINFO CASECOUNT /STATISTICS NONE' <$pub/survey.csv | grep -q '\"text\": \"8\"'"

head -c 150 "$tmp/survey.csv.gz" >"$tmp/cut.csv.gz"
"$cb" "$tmp/cut.csv.gz" --quiet >/dev/null 2>"$tmp/err"
check "a cut-short gzip file exits 2 naming the file" bash -c "test $? = 2 && grep -q 'cut.csv.gz: the compressed data ends early' '$tmp/err'"

"$cb" $pub/latin1.csv --quiet >/dev/null 2>"$tmp/err"
check "latin-1 without --encoding exits 2, names the line and suggests --encoding" bash -c \
  "test $? = 2 && grep -q 'latin1.csv, line 1, column 2' '$tmp/err' && grep -q -- '--encoding' '$tmp/err'"
"$cb" $pub/latin1.csv --encoding no-such-encoding --quiet >/dev/null 2>"$tmp/err"
check "an unknown encoding exits 2 naming it" bash -c "test $? = 2 && grep -q 'no-such-encoding' '$tmp/err'"
printf 'a,b\n1,\x81\n' >"$tmp/cp.csv"
"$cb" "$tmp/cp.csv" --encoding cp1252 --quiet >/dev/null 2>"$tmp/err"
check "a byte that is not in the encoding names its line" bash -c "test $? = 2 && grep -q 'cp.csv, line 2' '$tmp/err'"
printf '\xff\xfea\x00,\x00b\x00\n\x001\x00,\x00x\x00\n\x00' >"$tmp/utf16.csv"
check "a UTF-16 file with a byte order mark is read" bash -c "'$cb' '$tmp/utf16.csv' --format json --quiet | grep -q '\"title\": \"b\"'"

"$cb" $pub/semicolon.csv --delimiter , --quiet >/dev/null 2>"$tmp/err"
check "--delimiter overrides the sniffed one" bash -c "test $? = 2 && grep -q 'the row has 2 cells' '$tmp/err'"
check "--missing replaces the missing texts" bash -c \
  "'$cb' $pub/survey.csv --missing NA --format json --quiet 'CODEBOOK Age_in_years' | grep -q '\"text\": \"String\"'"
check "--delimiter with a data package is a usage error" bash -c \
  "'$cb' $pub/package/datapackage.json --delimiter ';' --quiet 2>/dev/null; test \$? = 2"

"$cb" $pub/survey.csv 'CODEBOOK /STATISTICS NONE' >/dev/null 2>"$tmp/err"
check "renamed headers are listed in one note" bash -c \
  "test \$(grep -c 'headers are not valid' '$tmp/err') = 1 && grep -q 'column 2: \"How satisfied are you with the service? (1-5)\" -> How_satisfied_are_you_with_the_service_1_5' '$tmp/err'"
"$cb" $pub/package/datapackage.json 'CODEBOOK /STATISTICS NONE' >/dev/null 2>"$tmp/err"
check "the other resources are listed in a note" bash -c \
  "grep -q 'reading the resource \"pupils\" (2 of 3); the others are \"readme\", \"schools\"' '$tmp/err'"
"$cb" $pub/package/datapackage.json --resource nothing --quiet >/dev/null 2>"$tmp/err"
check "an unknown --resource exits 2 listing the resources" bash -c "test $? = 2 && grep -q '\"schools\"' '$tmp/err'"

mkdir "$tmp/bad"
printf 'a;b;c\n1;2;3\n' >"$tmp/bad/data.csv"
cat >"$tmp/bad/datapackage.json" <<'JSON'
{"title": 5,
 "resources": [{"path": "data.csv", "dialect": {"delimiter": ";", "header": "yes"},
   "schema": {"fields": [{"name": "a", "type": "money"}, {"name": "$b"}, {"name": "c", "measure": "big"}]}}]}
JSON
"$cb" "$tmp/bad/datapackage.json" --quiet >/dev/null 2>"$tmp/err"
check "every descriptor problem is reported in one run" bash -c \
  "test $? = 2 && grep -q 'title: expected a string' '$tmp/err' && grep -q 'dialect.header: expected true or false' '$tmp/err' \
   && grep -q 'fields\\[0\\].type: \"money\"' '$tmp/err' && grep -q 'fields\\[1\\].name: the name \"\\\$b\"' '$tmp/err' \
   && grep -q 'fields\\[2\\].measure' '$tmp/err' && test \$(wc -l <'$tmp/err') = 5"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
