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
check "a named pipe as a package's data file is refused with exit 2" test "$(run_status "$tmp/pkg/datapackage.json")" = 2
check "the refusal says why" bash -c \
  "timeout 60 '$cb' '$tmp/pkg/datapackage.json' 2>&1 | grep -q 'survey.csv\" is not a regular file'"
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
check "an endless descriptor stops at the cap, exit 2" test "$(run_status "$tmp/zero.json")" = 2
check "the cap is named" bash -c "timeout 60 '$cb' '$tmp/zero.json' 2>&1 | grep -q 'the descriptor is larger than 128 MiB'"
check "an endless syntax file stops at the cap" bash -c \
  "timeout 60 '$cb' '$data' --syntax /dev/zero 2>&1 | grep -q 'the syntax file is larger than 64 MiB'"

# Byte-order marks: one is skipped, two are an error that names them.
printf '\xEF\xBB\xBFCODEBOOK age.\n' >"$tmp/bom.cbk"
check "a syntax file with a byte-order mark runs" test "$(run_status "$data" --syntax "$tmp/bom.cbk")" = 0
printf '\xEF\xBB\xBF\xEF\xBB\xBFCODEBOOK age.\n' >"$tmp/bom2.cbk"
check "a syntax file with two byte-order marks exits 2 naming them" bash -c \
  "timeout 60 '$cb' '$data' --syntax '$tmp/bom2.cbk' 2>&1 >/dev/null | grep -q 'bom2.cbk, line 1, column 1: the file begins with two byte-order marks'"

# Folders.
check "a folder as the dataset exits 2" test "$(run_status "$tmp/pkg")" = 2
mkdir "$tmp/folder.json"
check "a folder named like a descriptor exits 2" bash -c "timeout 60 '$cb' '$tmp/folder.json' 2>&1 | grep -q 'is a folder'"

finish
