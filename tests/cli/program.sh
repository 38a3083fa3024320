#!/usr/bin/env bash
# The program as people use it: usage errors, formats picked from -o, output
# written whole or not at all, exit statuses.
set -uo pipefail
build=$1
cb="$build/codebook"
data=examples/survey/datapackage.json
source "$(dirname "$0")/lib/check.sh"

check "--version prints the version" bash -c "'$cb' --version | grep -q '^codebook [0-9]'"
check "--help shows examples" bash -c "'$cb' --help | grep -q 'Examples:'"
check "no dataset is a usage error (2)" test "$(status_of "$cb")" = 2
check "unknown option is a usage error (2)" test "$(status_of "$cb" --nosuch "$data")" = 2
fails "a mistyped option names the one meant" 2 'unknown option --fromat (did you mean --format?).' \
  "$cb" "$data" --fromat json
fails "an option without its value says so" 2 '--output needs a value after it.' "$cb" "$data" -o
fails "a number option given a word says what it needs" 2 "--width needs a whole number, not 'wide'." \
  "$cb" "$data" --width wide
check "unknown format is a usage error (2)" test "$(status_of "$cb" --format pdf "$data")" = 2
fails "a missing dataset file is named" 2 'none.json' "$cb" "$tmp/none.json"
check "missing plug-in exits 2" test "$(status_of "$cb" --plugin "$tmp/none.so" "$data")" = 2
# Without /proc the program's folder is known only from a path it was started
# by: a bare name found on PATH never loads a plug-in from the current folder.
# (The sanitizers' runtime needs /proc itself. ldd's output is read whole: with
# pipefail, grep -q leaving at the first match could end ldd by SIGPIPE and
# make the test see no sanitizer.)
if [[ $(ldd "$cb") == *libasan* ]]; then
  echo "skipped: a run without /proc (the sanitizer build needs it)"
elif unshare --mount --fork true 2>/dev/null; then
  mkdir -p "$tmp/here" && cp "$build/libcodebook.so" "$tmp/here/"
  no_proc() { (cd "$tmp/here" && unshare --mount --fork sh -c 'umount -l /proc && "$@"' sh "$@"); }
  fails "no /proc, started by name: no plug-in from the current folder" 2 "cannot tell the program's folder" \
    no_proc env PATH="$(realpath "$build"):$PATH" codebook "$(realpath "$data")"
  check "no /proc, started by its path: the plug-in beside it" no_proc "$(realpath "$cb")" "$(realpath "$data")" -o /dev/null
else
  echo "skipped: a run without /proc (unshare is not permitted here)"
fi

"$cb" "$data" -o "$tmp/out.json" --quiet
check "-o .json writes JSON" bash -c "head -c1 '$tmp/out.json' | grep -q '{'"
"$cb" "$data" -o "$tmp/out.html" --quiet
check "-o .html writes HTML" grep -qi '<!doctype html>' "$tmp/out.html"
"$cb" "$data" -o "$tmp/out.md" --quiet
check "-o .md writes Markdown" grep -q '^|' "$tmp/out.md"
check "--format overrides the extension" bash -c "'$cb' '$data' --format json -o '$tmp/x.txt' --quiet && head -c1 '$tmp/x.txt' | grep -q '{'"
check "no temporary files are left" test "$(ls -A "$tmp" | grep -c tmp-)" = 0

echo "keep" > "$tmp/keep.json"
"$cb" tests/golden-data/bad_numeric/datapackage.json -o "$tmp/keep.json" --quiet 2>/dev/null
check "a failed run leaves an existing output file untouched" grep -qx keep "$tmp/keep.json"
"$cb" tests/golden-data/bad_numeric/datapackage.json -o "$tmp/new.json" --quiet 2>/dev/null
check "a failed run writes no output file" test ! -e "$tmp/new.json"
check "a command error exits 1" test "$(status_of "$cb" "$data" 'CODEBOOK nosuch')" = 1
check "-o /dev/null works" "$cb" "$data" -o /dev/null --format json --quiet
check "NO_COLOR output has no escape codes" bash -c "NO_COLOR=1 '$cb' '$data' | grep -qv $'\\e\\['"

# Messages reach standard error whatever the format and destination.
"$cb" "$data" 'CODEBOOK age /VARINFO /STATISTICS NONE MEAN' -o "$tmp/msg.html" 2>"$tmp/msg.err"
check "a command error and warning go to stderr when writing a file" bash -c \
  "grep -q '^codebook: error: The keyword NONE' '$tmp/msg.err' && grep -q '^codebook: warning: < VARINFO >' '$tmp/msg.err'"
check "the run says the report holds them" grep -q "report '$tmp/msg.html' holds 1 error and 1 warning; exit status 1." "$tmp/msg.err"
"$cb" "$data" 'CODEBOOK age /VARINFO /STATISTICS NONE MEAN' --format json --quiet >/dev/null 2>"$tmp/quiet.err"
check "--quiet keeps warnings off stderr, never errors" bash -c \
  "grep -q '^codebook: error: The keyword NONE' '$tmp/quiet.err' && ! grep -q 'VARINFO' '$tmp/quiet.err'"
# A message about a token of the command says where the token stands.
fails "a misspelt name is placed" 1 "STATISTICS Invalid or non-existent variable name (line 1, column 14)." \
  "$cb" "$data" 'CODEBOOK age STATISTICS COUNT'
fails "a duplicate is placed at its second naming" 1 "Duplicate variable or MRset name (line 2, column 3)." \
  "$cb" "$data" $'CODEBOOK age sex\n  age'
fails "a period inside a line is explained where it is placed" 1 \
  "age. Invalid or non-existent variable name (line 1, column 10; a period ends a command only at the end of a line)." \
  "$cb" "$data" 'CODEBOOK age. CODEBOOK sex.'
echo 'CODEBOOK age. CODEBOOK sex.' >"$tmp/one_line.cbk"
fails "and so in a syntax file" 1 \
  "one_line.cbk, line 1, column 10: age. Invalid or non-existent variable name (a period ends a command only at the end of a line)." \
  "$cb" "$data" --syntax "$tmp/one_line.cbk"
fails "a bad MAXCATS is placed at the keyword" 0 "MAXCATS must be a positive integer (line 1, column 23)." \
  "$cb" "$data" 'CODEBOOK age /OPTIONS MAXCATS=0 SORT=DESCENDING'
# A syntax file given where the command or the dataset goes says to use --syntax.
printf 'CODEBOOK age.\n' >"$tmp/commands.cbk"
fails "a syntax file given as the command points to --syntax" 2 \
  "'$tmp/commands.cbk' is a file, not a command; to run the commands in a syntax file, give it with --syntax" \
  "$cb" "$data" "$tmp/commands.cbk"
fails "a syntax file given as the dataset points to --syntax" 2 \
  "$tmp/commands.cbk: a syntax file, not a dataset; name the dataset first" "$cb" "$tmp/commands.cbk" "$data"
# Words of the command line: one that ends with a period ends its command.
tables() { "$cb" "$data" "$@" --format json --quiet | python3 -c 'import json, sys; print(" ".join(i["title"] for i in json.load(sys.stdin)["items"]))'; }
check "two quoted commands are two commands" test "$(tables 'CODEBOOK age.' 'CODEBOOK sex /VARINFO LABEL.')" = "age sex"
check "unquoted words make one command" test "$(tables CODEBOOK age sex /VARINFO LABEL)" = "age sex"
printf 'a\n1\n' >"$tmp/bare.csv"
check "--overview titles a file without a title as HTML does" \
  test "$("$cb" "$tmp/bare.csv" --overview | head -1)" = "Codebook: bare.csv"
check "--overview starts the text with the overview" bash -c "'$cb' '$data' --overview --width 200 | sed -n 4p | grep -q '^Overview'"
# SOURCE_DATE_EPOCH fixes when a report says it was made; a value that cannot
# (too large for any date, not a number) is said instead of silently dropped.
check "SOURCE_DATE_EPOCH fixes the time" bash -c \
  "SOURCE_DATE_EPOCH=253402300799 '$cb' '$data' -f markdown -q | sed -n 3p | grep -q 'made 9999-12-31 23:59 UTC'"
fails "a SOURCE_DATE_EPOCH beyond any date is said" 0 "SOURCE_DATE_EPOCH '99999999999999999999' is not a number" \
  env SOURCE_DATE_EPOCH=99999999999999999999 "$cb" "$data" -f markdown -q
check "and the report still says when it was made" bash -c \
  "SOURCE_DATE_EPOCH=99999999999999999999 '$cb' '$data' -f markdown -q 2>/dev/null | sed -n 3p | grep -q ' made 2'"
fails "a SOURCE_DATE_EPOCH that is not a number is said" 0 "SOURCE_DATE_EPOCH 'yesterday' is not a number" \
  env SOURCE_DATE_EPOCH=yesterday "$cb" "$data" -f html -o "$tmp/epoch.html"
check "a report without a dataset line does not look at it" \
  test -z "$(SOURCE_DATE_EPOCH=yesterday "$cb" "$data" -f json -q 2>&1 >/dev/null)"

# A web address is no file: the program fetches nothing and says so.
fails "a web address as the dataset is said to be one" 2 \
  'https://example.org/survey.csv: a web address; the program reads files only and fetches nothing' \
  "$cb" https://example.org/survey.csv
fails "and as the syntax file" 2 'ftp://example.org/c.cbk: a web address' "$cb" "$data" --syntax ftp://example.org/c.cbk

# A named pipe that no program writes to holds the run: it says what it waits
# for, and goes on once a program writes.
mkfifo "$tmp/later.csv"
"$cb" "$tmp/later.csv" 'CODEBOOK /FILEINFO CASECOUNT /STATISTICS NONE' >"$tmp/later.out" 2>"$tmp/later.err" &
reader=$!
for _ in $(seq 300); do grep -q 'waiting for' "$tmp/later.err" && break; sleep 0.1; done
check "a named pipe without a writer: the run says it waits for one" \
  grep -qF "waiting for a program to write to the named pipe '$tmp/later.csv' (the dataset)" "$tmp/later.err"
printf 'a,b\n1,2\n3,4\n' >"$tmp/later.csv"
wait "$reader"
reader_status=$?
check "and reads what then comes" bash -c "test $reader_status = 0 && grep -q 'Unweighted  *2' '$tmp/later.out'"

# A file or folder named with a line feed stays one name in one message.
lf_dir="$tmp/two"$'\n'"lines"
mkdir "$lf_dir" && printf 'a,b\n1,2\n1,2,3\n' >"$lf_dir/d.csv"
"$cb" "$lf_dir/d.csv" 2>"$tmp/lf.err" >/dev/null
check "a line feed in a folder's name does not split the message" \
  bash -c "test \$(wc -l <'$tmp/lf.err') = 1 && grep -qF 'two\\x0Alines/d.csv' '$tmp/lf.err'"

finish
