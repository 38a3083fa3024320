#!/usr/bin/env bash
# What the program reads, and how it treats inputs that are not plain files:
# pipes are read once as a stream, never asked twice; endless or huge inputs
# stop at a size cap with a clear message; byte-order marks are handled as
# editors write them.
set -uo pipefail
build=$1
cb="$build/codebook"
source "$(dirname "$0")/lib/check.sh"
root=$(pwd)
data=$root/examples/survey/datapackage.json
# Runs the program with a time limit far above its need: a wait that never
# ends shows up as status 124.
run_status() { timeout 60 "$cb" "$@" >/dev/null 2>&1; echo $?; }

# A named pipe in a package (a received archive may hold one) is refused at
# once, with nobody writing to it.
mkdir "$tmp/pkg"
cp "$root/examples/survey/datapackage.json" "$tmp/pkg/"
mkfifo "$tmp/pkg/survey.csv"
fails "a named pipe as a package's data file is refused, saying why" 2 'survey.csv" is not a regular file' \
  timeout 60 "$cb" "$tmp/pkg/datapackage.json"
# Links among a package's files that lead back to themselves are named as a
# loop, not as a link to a missing file.
mkdir "$tmp/looped"
cp "$root/examples/survey/datapackage.json" "$tmp/looped/"
ln -s survey2.csv "$tmp/looped/survey.csv"; ln -s survey.csv "$tmp/looped/survey2.csv"
fails "a loop of links as a package's data file is named as one" 2 'survey.csv" is a loop of symbolic links' \
  timeout 60 "$cb" "$tmp/looped/datapackage.json"
# A data file named on the command line may be a pipe: it is read once, as
# a stream (the passes read a temporary copy), and the writer is not asked twice.
mkfifo "$tmp/bare.csv"
printf 'a,b\n1,2\n3,4\n' >"$tmp/bare.csv" &
check "a named pipe as a bare CSV is read once" bash -c \
  "timeout 60 '$cb' '$tmp/bare.csv' 'CODEBOOK /FILEINFO CASECOUNT /STATISTICS NONE' --format text | grep -q 'Unweighted  *2'"
wait

# A descriptor or a syntax file from a pipe is read once, as a stream.
mkdir "$tmp/piped"
cp "$root/examples/survey/survey.csv" "$tmp/piped/"
mkfifo "$tmp/piped/datapackage.json"
cat "$data" >"$tmp/piped/datapackage.json" &
check "a descriptor from a named pipe is read once" bash -c \
  "timeout 60 '$cb' '$tmp/piped/datapackage.json' 'CODEBOOK age.' --format json | grep -q '\"age\"'"
wait
check "a syntax file from a pipe is read once" bash -c \
  "timeout 60 '$cb' '$data' --syntax <(printf 'CODEBOOK sex.\nCODEBOOK age.\n') --format json | grep -c '\"title\": \"' | grep -qx 2"

# Size caps: an endless descriptor or syntax file ends with a message.
ln -s /dev/zero "$tmp/zero.json"
fails "an endless descriptor stops at the cap" 2 'the descriptor is larger than 128 MiB' timeout 60 "$cb" "$tmp/zero.json"
fails "an endless syntax file stops at the cap" 2 'the syntax file is larger than 64 MiB' \
  timeout 60 "$cb" "$data" --syntax /dev/zero

# A device as the data would be copied for ever (until the disk is full;
# the file-size limit keeps a failure of this check small).
ln -s /dev/zero "$tmp/zero.csv"
fails "a device named as a CSV file is refused at once" 2 'zero.csv: is a device (such as /dev/zero or /dev/urandom)' \
  bash -c "ulimit -f 20000; timeout 60 '$cb' '$tmp/zero.csv'"
fails "so is a device as standard input" 2 'standard input: is a device (such as /dev/zero' \
  bash -c "ulimit -f 20000; timeout 60 '$cb' - </dev/urandom"

# A socket cannot be opened ("No such device or address"): say what it is.
python3 -c 'import socket, sys
for name in sys.argv[1:]: socket.socket(socket.AF_UNIX).bind(name)' "$tmp/sock.csv" "$tmp/sock.json" "$tmp/sock.dta"
fails "a socket named as a CSV file is named as one" 2 'sock.csv: is a socket (a program'"'"'s connection point), not a file' \
  "$cb" "$tmp/sock.csv"
fails "... as a descriptor" 2 'sock.json: is a socket, not a file' "$cb" "$tmp/sock.json"
fails "... as a Stata file" 2 'sock.dta: is a socket, not a file; a Stata data file (.dta) is read from a file' \
  "$cb" "$tmp/sock.dta"

# Byte-order marks: one is skipped, two are an error that names them.
printf '\xEF\xBB\xBFCODEBOOK age.\n' >"$tmp/bom.cbk"
check "a syntax file with a byte-order mark runs" test "$(run_status "$data" --syntax "$tmp/bom.cbk")" = 0
printf '\xEF\xBB\xBF\xEF\xBB\xBFCODEBOOK age.\n' >"$tmp/bom2.cbk"
fails "a syntax file with two byte-order marks is refused, naming them" 2 \
  'bom2.cbk, line 1, column 1: the file begins with two byte-order marks' timeout 60 "$cb" "$data" --syntax "$tmp/bom2.cbk"

# Syntax files as they go wrong: all comments, or saved as Windows-1252.
printf '* only a note.\r\n' >"$tmp/notes.cbk"
fails "a syntax file without a command says so" 0 'notes.cbk holds no command' "$cb" "$data" --syntax "$tmp/notes.cbk"
# A comment without its period runs on and takes in the command below it.
printf '* Demographics first\r\ncodebook age.\r\nCODEBOOK sex.\r\n' >"$tmp/swallowed.cbk"
fails "a command taken into a comment is named" 0 \
  'swallowed.cbk, line 2: the line begins with CODEBOOK inside the comment begun on line 1, which runs on to a period at the end of a line; if it is a command, it is not run: end the comment with a period.' \
  "$cb" "$data" --syntax "$tmp/swallowed.cbk"
check "and not said for a comment that ends on its line" bash -c \
  "printf '* Demographics first.\nCODEBOOK age.\n' >'$tmp/ended.cbk'; ! '$cb' '$data' --syntax '$tmp/ended.cbk' 2>&1 >/dev/null | grep -q inside"
printf 'CODEBOOK age\r\n  /VARINFO LABEL.\r\nCODEBOOK gr\xF6\xDFe.\r\n' >"$tmp/cp1252.cbk"
fails "a byte that is not UTF-8 is an error at its place" 1 \
  'cp1252.cbk, line 3, column 12: the byte \xF6 is not UTF-8 text' "$cb" "$data" --syntax "$tmp/cp1252.cbk" --format html -o "$tmp/x.html"
check "and the report holds only text" bash -c "iconv -f UTF-8 -t UTF-8 '$tmp/x.html' >/dev/null"
printf 'CODEBOOK age sex.\n  /STATISTICS NONE.\n' >"$tmp/early.cbk"
fails "a period that ended a command before its subcommand is named" 1 \
  'A command begins with "/" ('"$tmp"'/early.cbk, line 2, column 3): a subcommand must continue its command, but a period' \
  "$cb" "$data" --syntax "$tmp/early.cbk" -o "$tmp/x.json"
# The command's name left out on the command line: say what to write.
fails "a subcommand typed without the command asks for the command's name" 1 \
  'but no command came before it. Begin with the command'"'"'s name (CODEBOOK /FILEINFO ...)' "$cb" "$data" '/FILEINFO LABEL'
fails "variable names typed without the command ask for CODEBOOK before them" 1 \
  'To document some variables, name them after it: CODEBOOK age ...' "$cb" "$data" age sex

# A file whose name begins with a dash reads as an option: the message says
# how to name it, and both ways work.
cp "$root/examples/survey/survey.csv" "$tmp/-survey.csv"
fails "a dataset named with a leading dash is told how to name it" 2 \
  "'-survey.csv' reads as options; to name the file -survey.csv, write ./-survey.csv or put -- before it." \
  bash -c "cd '$tmp' && '$cb' -survey.csv"
check "as ./-survey.csv, even with -o naming such a file" \
  bash -c "cd '$tmp' && touch ./-x.json && '$cb' ./-survey.csv -o -x.json && grep -q '\"items\"' ./-x.json"
check "and after --" bash -c "cd '$tmp' && '$cb' -f json -- -survey.csv | grep -q '\"items\"'"

# Folders.
check "a folder as the dataset exits 2" test "$(run_status "$tmp/pkg")" = 2
mkdir "$tmp/folder.json"
fails "a folder named like a descriptor is refused" 2 'is a folder' timeout 60 "$cb" "$tmp/folder.json"
# A dataset name typed wrong is named as not there, whatever it ends in.
fails "a name that is not there says so" 2 'survey.dat: cannot open the file (No such file or directory); check the path' \
  "$cb" "$tmp/survey.dat"
fails "a CSV file named that is not there says so" 2 'nothere.csv: cannot open the file (No such file or directory); check the path' \
  "$cb" "$tmp/nothere.csv"
check "without a word of a descriptor, as none was named" bash -c "! grep -q descriptor '$tmp/.stderr'"
fails "a file named with a slash after it is told to drop the slash" 2 \
  "survey.dta/: cannot open the file (Not a directory); a name ending in a slash is a folder's: name the file without the slash" \
  "$cb" "$root/examples/stata/survey.dta/"

# A numeric dichotomy set counts the number its counted value reads as:
# from a word, 0, which the descriptor's reader says.
fails "a numeric set's counted value that is no number is named" 0 \
  'countedValue: "yes" is not a number, but the set'"'"'s variables are numeric: it counts the value 0' \
  "$cb" "$root/tests/golden-data/set_member_types/datapackage.json" 'CODEBOOK $zeros /STATISTICS NONE.'
# "inf" reads as an infinity (as atof reads it), which no cell holds.
mkdir "$tmp/inf_set"
cp "$root/tests/golden-data/set_member_types/cases.csv" "$tmp/inf_set/"
sed 's/"countedValue": "yes"/"countedValue": "inf"/' "$root/tests/golden-data/set_member_types/datapackage.json" \
  >"$tmp/inf_set/datapackage.json"
fails "... and so is one that reads as infinite" 0 \
  'countedValue: "inf" is no value a numeric variable holds (infinities and NaN are not read from cells), so the set counts no case' \
  "$cb" "$tmp/inf_set/datapackage.json" 'CODEBOOK $zeros /STATISTICS NONE.'

# A set counts its values as its first variable's type: a variable of the
# other type counts nothing, which the descriptor's reader says.
fails "a set of numeric and string variables is named" 0 \
  'variables[1]: "s1" is a string but "a" is numeric; the set counts only the values of variables of its first variable'"'"'s type' \
  "$cb" "$root/tests/golden-data/set_member_types/mixed.json" 'CODEBOOK $mixed /STATISTICS NONE.'

finish
