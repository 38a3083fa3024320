#!/usr/bin/env bash
# The documentation tells the truth: every command shown in a fenced block of
# README.md and docs/ runs as written (from a scratch folder holding what the
# examples name: data.csv, export.csv, package/, parts/, commands.cbk), every
# option of the program and of the Dask driver is documented and every
# documented option exists, and every source file README.md or docs/ names is
# there.
set -uo pipefail
build=$(realpath "$1")
cb=$build/codebook
root=$(pwd)
source "$(dirname "$0")/lib/check.sh"

# The folder the examples run in: the repository's folders they name, and
# files like the ones they stand for.
work=$tmp/work
mkdir -p "$work/bin" "$work/package" "$work/parts"
ln -s "$build" "$work/build"
ln -s "$root/examples" "$work/examples"
ln -s "$root/scripts" "$work/scripts"
ln -s "$cb" "$work/bin/codebook"
cp examples/survey/survey.csv "$work/data.csv"
zstd -q examples/survey/survey.csv -o "$work/survey.csv.zst"
printf 'r\xe9gion;score;note\nNord;12;NA\nS\xfcd;-99;ok\nOuest;7;ok\n' >"$work/export.csv"
printf 'CODEBOOK age.\nCODEBOOK sex $media.\n' >"$work/commands.cbk"
printf 'id,size\n1,3\n2,5\n' >"$work/package/households.csv"
printf 'id,age\n1,40\n2,9\n' >"$work/package/persons.csv"
echo '{"resources": [{"name": "persons", "path": "persons.csv"}, {"name": "households", "path": "households.csv"}]}' \
  >"$work/package/datapackage.json"
python3 - "$work/parts" examples/survey <<'PY'
import json, sys
out, survey = sys.argv[1], sys.argv[2]
lines = open(f"{survey}/survey.csv").read().splitlines(keepends=True)
for k, chunk in enumerate([lines[1:150], lines[150:]], 1):
    open(f"{out}/part{k}.csv", "w").write(lines[0] + "".join(chunk))
d = json.load(open(f"{survey}/datapackage.json"))
d["resources"][0]["path"] = ["part1.csv", "part2.csv"]
json.dump(d, open(f"{out}/datapackage.json", "w"))
PY

# The commands of the fenced blocks, a line ending with '\' joined to the
# next. Left out: the synopses (DATASET, PLAN, [...]), runs on a cluster that
# is not here (--scheduler) and the benchmark's own scripts.
python3 - README.md docs/*.md >"$tmp/commands" <<'PY'
import re, sys
for name in sys.argv[1:]:
    fenced, command = False, ""
    for number, line in enumerate(open(name), 1):
        if line.startswith("```"):
            fenced = not fenced
            continue
        if not fenced:
            continue
        if command or re.match(r"\s*((build/)?codebook|scripts/codebook_dask\.py|\S.*\|\s*build/codebook)( |$)", line):
            command += line.strip().removesuffix("\\").strip() + " "
            if not line.rstrip().endswith("\\"):
                command = re.sub(r"\s+#.*$", "", command.strip())
                if not re.search(r"\b(DATASET|PLAN|STATE)\b|\[|--scheduler", command):
                    print(f"{name}:{number}\t{command}")
                command = ""
PY
check "the docs show commands to run" test "$(wc -l <"$tmp/commands")" -ge 15
# The steps of a run in parts, in the order shown; the driver's local cluster
# needs the Dask package, which make test installs.
have_dask=$(/usr/bin/python3 -c 'import distributed' 2>/dev/null && echo yes)
while IFS=$'\t' read -r where command; do
  if [[ $command == scripts/codebook_dask.py* ]]; then
    [ -n "$have_dask" ] || continue
    command="/usr/bin/python3 $command"
  fi
  (cd "$work" && PATH="$work/bin:$PATH" bash -c "$command" >"$tmp/out" 2>"$tmp/err" </dev/null)
  status=$?
  if [ "$status" != 0 ]; then
    failed=$((failed + 1))
    echo "FAILED: $where runs as written (exit status $status): $command"
    head -c 600 "$tmp/err"
  else
    passed=$((passed + 1))
  fi
done <"$tmp/commands"

# The messages the syntax guide quotes for commands are the program's.
python3 - docs/syntax.md >"$tmp/messages" <<'PY'
import re, sys
for number, line in enumerate(open(sys.argv[1]), 1):
    row = re.match(r"\| `(CODEBOOK[^`]*)` \| (.*) \|$", line)
    if row:
        print(f"{number}\t{row[1]}\t{row[2].removesuffix(' ...').removesuffix('...')}")
PY
check "the syntax guide quotes messages" test "$(wc -l <"$tmp/messages")" -ge 10
while IFS=$'\t' read -r number command message; do
  if [[ $message == syntax.cbk,* ]]; then
    echo "$command" >"$tmp/syntax.cbk"
    (cd "$tmp" && "$cb" "$root/examples/survey/datapackage.json" --syntax syntax.cbk -q -f json) \
      2>"$tmp/err" >/dev/null
  else
    "$cb" examples/survey/datapackage.json "$command" -q -f json 2>"$tmp/err" >/dev/null
  fi
  check "docs/syntax.md:$number: $command says what the guide says" grep -qF -- "$message" "$tmp/err"
done <"$tmp/messages"

# Every option is documented, and every option shown exists.
options_of() { grep -oE -- '--[a-z][a-z-]+' | sort -u; }
"$cb" --help | options_of >"$tmp/program.options"
cat README.md docs/*.md | options_of >"$tmp/documented"
missing=$(comm -23 "$tmp/program.options" "$tmp/documented")
check "every option of codebook --help is documented${missing:+ (not: $missing)}" test -z "$missing"
usage=$(awk '/^## Usage/ { u = 1 } u && /^```/ { if (f++) exit; next } f' README.md | options_of)
unknown=$(comm -13 "$tmp/program.options" <(echo "$usage"))
check "every option in the README's usage exists${unknown:+ (not: $unknown)}" test -z "$unknown"
if [ -n "$have_dask" ]; then
  /usr/bin/python3 scripts/codebook_dask.py --help | options_of >"$tmp/driver.options"
  missing=$(comm -23 "$tmp/driver.options" <(options_of <docs/scale-out.md))
  check "every option of the Dask driver is in docs/scale-out.md${missing:+ (not: $missing)}" test -z "$missing"
fi

# Every source file the docs name is in the tree: a path as written, a bare
# file name somewhere in it.
python3 - "$root" README.md docs/*.md <<'PY' >"$tmp/absent"
import fnmatch, os, re, subprocess, sys
root = sys.argv[1]
tree = subprocess.run(["git", "-C", root, "ls-files"], capture_output=True, text=True).stdout.split()
if not tree:  # not a git checkout
    tree = [os.path.relpath(os.path.join(d, f), root) for d, _, fs in os.walk(root) for f in fs]
for doc in sys.argv[2:]:
    text = open(doc).read()
    for word in sorted(set(re.findall(r"[\w./*-]+\.(?:cpp|h|sh|py|txt|cbk)\b", text))):
        # (The names of a user's own files in examples are no source files.)
        if word.startswith(("http", ".")) or "<" in word or word in (
                "commands.cbk", "command.cbk", "survey.cbk", "syntax.cbk", "data.txt"):
            continue
        # A path may be written from the folder a sentence is about
        # (cases/x.txt under tests/unit/, "host/quvo.h" as included).
        if not any(fnmatch.fnmatch(p, word) or fnmatch.fnmatch(p, "*/" + word) for p in tree):
            print(f"{doc}: {word}")
PY
absent=$(tr '\n' ' ' <"$tmp/absent")
check "every file the docs name is there${absent:+ (not: $absent)}" test -z "$absent"

finish
