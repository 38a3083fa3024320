#!/usr/bin/env bash
# Runs one golden case: the program on a dataset with a command, compared with
# the expected output kept beside it.
#
# A case folder holds:
#   command.cbk      the syntax to run (absent: plain CODEBOOK)
#   dataset          one line, the dataset path relative to the repository root
#                    (absent: examples/survey/datapackage.json)
#   format           one line: json (default), text, markdown or html
#   args             more options for the program, one per line (absent: none)
#   stdin            a file (relative to the repository root) fed to standard input
#   expected.<ext>   the expected standard output (the repository root replaced by <ROOT>);
#                    <ext> is json, txt, md or html
#   expected.exit    the expected exit status (absent: 0)
#   expected.stderr  the expected standard error (absent: not compared)
#
# UPDATE_GOLDEN=1 rewrites the expected files from the current output; review
# the diff by hand before committing it.
set -uo pipefail
program=$1
case_dir=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"

dataset=examples/survey/datapackage.json
[ -f "$case_dir/dataset" ] && dataset=$(head -n1 "$case_dir/dataset")
format=json
[ -f "$case_dir/format" ] && format=$(head -n1 "$case_dir/format")
args=("$dataset" --format "$format" --quiet)
[ -f "$case_dir/command.cbk" ] && args+=(--syntax "$case_dir/command.cbk")
# Syntax files are named .cbk; a case with another name would silently run
# plain CODEBOOK instead of its commands.
for other in "$case_dir"/command.*; do
  case "$other" in
    "$case_dir/command.cbk" | "$case_dir/command.*") ;;
    *) echo "$other: name the case's syntax file command.cbk"; exit 1 ;;
  esac
done
if [ -f "$case_dir/args" ]; then
  while IFS= read -r arg; do args+=("$arg"); done <"$case_dir/args"
fi
input=/dev/null
[ -f "$case_dir/stdin" ] && input=$(head -n1 "$case_dir/stdin")
# Reports say when they were made: a fixed time keeps them comparable.
export SOURCE_DATE_EPOCH=1767225600

out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
"$program" "${args[@]}" <"$input" >"$out" 2>"$err"
status=$?
sed -i "s|$root|<ROOT>|g" "$out" "$err"

ext=$format
[ "$format" = markdown ] && ext=md
[ "$format" = text ] && ext=txt

if [ "${UPDATE_GOLDEN:-}" = 1 ]; then
  cp "$out" "$case_dir/expected.$ext"
  if [ "$status" -ne 0 ]; then echo "$status" >"$case_dir/expected.exit"; else rm -f "$case_dir/expected.exit"; fi
  if [ -s "$err" ] || [ -f "$case_dir/expected.stderr" ]; then cp "$err" "$case_dir/expected.stderr"; fi
  echo "updated $case_dir"
  exit 0
fi

failed=0
expected_status=0
[ -f "$case_dir/expected.exit" ] && expected_status=$(head -n1 "$case_dir/expected.exit")
if [ "$status" != "$expected_status" ]; then
  echo "exit status $status, expected $expected_status"
  cat "$err"
  failed=1
fi
if ! diff -u "$case_dir/expected.$ext" "$out"; then
  failed=1
fi
if [ -f "$case_dir/expected.stderr" ] && ! diff -u "$case_dir/expected.stderr" "$err"; then
  failed=1
fi

# JSON to a file is written while the commands run: the same bytes, the same
# status, and nothing at all at the path when the run fails.
if [ "$format" = json ]; then
  report=$(mktemp -d)
  trap 'rm -f "$out" "$err"; rm -rf "$report"' EXIT
  "$program" "${args[@]}" -o "$report/report.json" <"$input" >/dev/null 2>&1
  streamed=$?
  if [ "$streamed" != "$status" ]; then
    echo "with -o: exit status $streamed, expected $status"
    failed=1
  fi
  if [ "$status" = 2 ] && [ -e "$report/report.json" ]; then
    echo "with -o: a failed run left a report"
    failed=1
  elif [ -e "$report/report.json" ]; then
    sed -i "s|$root|<ROOT>|g" "$report/report.json"
    diff -u "$case_dir/expected.$ext" "$report/report.json" || failed=1
  elif [ -s "$out" ]; then
    echo "with -o: no report written"
    failed=1
  fi
  if [ -n "$(ls -A "$report" | grep -v '^report.json$')" ]; then
    echo "with -o: files left behind: $(ls -A "$report")"
    failed=1
  fi
fi
exit $failed
