#!/usr/bin/env bash
# A dataset in parts (a resource whose path lists several CSV files). Its
# report from one run equals the single file's (numbers to the last digits a
# different block layout can change); the report of a run in parts (plan, a
# pass per part, merge) is byte for byte the one run's, in every format (the
# overview of HTML and Markdown reports too), for several commands at once
# (weights, user-missing values, sets, split groups across parts, MAXCATS
# cut-offs, an early stop, the case counts, a compressed part); the Dask
# driver on a two-worker local cluster writes the same report, and fails with
# the part's message when a part fails every try (a missing program, an
# unreachable scheduler, a pass killed and states written where the driver
# cannot see them say so); a bad cell fails its part
# with its file, line and column; damaged states, a state of another plan and
# a missing part are refused.
set -uo pipefail
build=$1
root=$(pwd)
cb="$build/codebook"
source "$(dirname "$0")/lib/check.sh"
export SOURCE_DATE_EPOCH=1767225600  # reports say when they were made

# The example survey in four parts (one of them a header alone), and a larger
# weighted file with split groups and a set in three parts of several blocks
# each.
python3 - "$tmp" examples/survey <<'PY'
import csv, json, os, random, sys
out, survey = sys.argv[1], sys.argv[2]
def parts(folder, header, rows, cuts, descriptor):
    os.makedirs(folder)
    names = []
    for k, (a, b) in enumerate(cuts):
        name = f"part{k + 1}.csv"
        with open(f"{folder}/{name}", "w", newline="") as f:
            w = csv.writer(f, lineterminator="\n")
            w.writerow(header)
            w.writerows(rows[a:b])
        names.append(name)
    descriptor["resources"][0]["path"] = names
    json.dump(descriptor, open(f"{folder}/datapackage.json", "w"), indent=1)
rows = list(csv.reader(open(f"{survey}/survey.csv", newline="")))
d = json.load(open(f"{survey}/datapackage.json"))
parts(f"{out}/survey", rows[0], rows[1:], [(0, 120), (120, 120), (120, 121), (121, len(rows) - 1)], d)
random.seed(5)
big = []
for i in range(45000):
    w = "" if random.random() < 0.02 else f"{random.randint(1, 300) / 100:g}"
    big.append([str(i // 7000), w, str(random.choice([1, 2, 3, 9])), f"c{i // 40}",
                "" if random.random() < 0.05 else f"{random.gauss(50, 12):.3f}",
                str(random.randint(0, 1)), str(random.randint(0, 1)), random.choice(["a", "b", "two\nlines"])])
fields = [{"name": "g", "type": "integer"}, {"name": "w", "type": "number"},
          {"name": "code", "type": "integer", "measure": "nominal", "userMissing": {"values": [9]},
           "categories": [{"value": 1, "label": "one"}]},
          {"name": "many", "type": "string"},
          {"name": "score", "type": "number", "userMissing": {"range": {"low": 90, "high": "HI"}}},
          {"name": "m1", "type": "integer"}, {"name": "m2", "type": "integer"}, {"name": "note", "type": "string"}]
parts(f"{out}/big", ["g", "w", "code", "many", "score", "m1", "m2", "note"], big, [(0, 20000), (20000, 20001), (20001, 45000)],
      {"weight": "w", "splitFile": ["g"],
       "multipleResponseSets": [{"name": "$m", "type": "dichotomies", "countedValue": "1", "variables": ["m1", "m2"]}],
       "resources": [{"path": "x", "schema": {"fields": fields}}]})
PY

cat >"$tmp/survey.cbk" <<'CBK'
CODEBOOK /FILEINFO CASECOUNT /STATISTICS NONE.
CODEBOOK /FILEINFO NAME LOCATION CASECOUNT LABEL WEIGHT DOCUMENTS.
CODEBOOK id income wave [N] $media $brands /OPTIONS MAXCATS=5.
CODEBOOK id [N] /OPTIONS MAXCATS=3.
CODEBOOK /STATISTICS NONE.
CODEBOOK nosuchvariable.
CBK
cat >"$tmp/big.cbk" <<'CBK'
CODEBOOK /FILEINFO CASECOUNT WEIGHT.
CODEBOOK many code $m /OPTIONS MAXCATS=40.
CODEBOOK many note [N] /OPTIONS MAXCATS=3.
CBK
echo 'CODEBOOK /FILEINFO CASECOUNT WEIGHT.' >"$tmp/small.cbk"

# Plan, a pass per part, merge.
in_parts() {  # dataset syntax format output [threads]
  local plan="$tmp/run.plan" n
  rm -f "$tmp"/*.state "$plan"
  "$cb" "$1" --syntax "$2" --write-plan "$plan" || return 2
  n=$("$cb" --plan-info "$plan" | python3 -c 'import json, sys; print(len(json.load(sys.stdin)["parts"]))')
  for k in $(seq "$n"); do
    "$cb" --run-plan "$plan" --part "$k" -o "$tmp/p$k.state" --threads "${5:-2}" || return 2
  done
  "$cb" --merge "$plan" "$tmp"/p*.state --format "$3" -o "$4"
}
# The same report, and the same exit status, from one run and in parts.
same_report() {  # dataset syntax format [threads]
  local one merged
  "$cb" "$1" --syntax "$2" --format "$3" -o "$tmp/one.$3" 2>/dev/null
  one=$?
  in_parts "$1" "$2" "$3" "$tmp/parts.$3" "${4:-2}" 2>/dev/null
  merged=$?
  [ "$one" = "$merged" ] && cmp -s "$tmp/one.$3" "$tmp/parts.$3"
}
for data in survey big; do
  for format in json text markdown html; do
    check "$data, $format: in parts as in one run" same_report "$tmp/$data/datapackage.json" "$tmp/$data.cbk" $format
  done
done
check "a compressed part, a quoted delimiter: as in one run" \
  same_report tests/golden-data/parts/datapackage.json "$tmp/small.cbk" json
check "one reading thread per part: as in one run" same_report "$tmp/big/datapackage.json" "$tmp/big.cbk" json 1
# Machines whose locale writes numbers with decimal commas, in another time
# zone, write the same plan, states and report as this one.
if mkdir -p "$tmp/locale" && localedef -i de_DE -f UTF-8 "$tmp/locale/de_DE.UTF-8" 2>/dev/null &&
  [ "$(LOCPATH="$tmp/locale" LC_ALL=de_DE.UTF-8 /usr/bin/printf "%'.1f" 1234.5)" = "1.234,5" ]; then
  elsewhere() {
    "$cb" "$tmp/big/datapackage.json" --syntax "$tmp/big.cbk" -o "$tmp/here.html" 2>/dev/null
    LOCPATH="$tmp/locale" LC_ALL=de_DE.UTF-8 TZ=Pacific/Kiritimati \
      in_parts "$tmp/big/datapackage.json" "$tmp/big.cbk" html "$tmp/there.html" 2>/dev/null
    cmp -s "$tmp/here.html" "$tmp/there.html"
  }
  check "a German locale and another time zone: as in one run" elsewhere
else
  echo "skipped: a run in another locale (localedef cannot make de_DE.UTF-8 here)"
fi
# The report's dataset line counts the cases in parts exactly when one run
# knows their number without a pass over them all (no pass, a pass that
# stopped early): when reading the dictionary counted them (string widths left
# open) or not (every width given).
echo 'CODEBOOK /FILEINFO NAME /STATISTICS NONE.' >"$tmp/no_pass.cbk"
echo 'CODEBOOK many code [N] /OPTIONS MAXCATS=2.' >"$tmp/stops.cbk"
mkdir "$tmp/typed" && cp "$tmp"/big/part*.csv "$tmp/typed/"
python3 - "$tmp" <<'PY'
import json, sys
d = json.load(open(f"{sys.argv[1]}/big/datapackage.json"))
for f in d["resources"][0]["schema"]["fields"]:
    if f["type"] == "string":
        f["constraints"] = {"maxLength": 12}
json.dump(d, open(f"{sys.argv[1]}/typed/datapackage.json", "w"))
PY
for data in big typed; do
  for cbk in no_pass stops; do
    check "$data, $cbk, html: in parts as in one run" same_report "$tmp/$data/datapackage.json" "$tmp/$cbk.cbk" html
  done
done

# The case count covers every part, though the passes stopped early.
check "the case count" python3 - "$tmp" <<'PY'
import json, sys
cells = {}
def walk(children):
    for c in children:
        if "children" in c:
            walk(c["children"])
        elif "cells" in c:
            cells[c["category"]] = c["cells"][0].get("number")
for item in json.load(open(f"{sys.argv[1]}/parts.json"))["items"]:
    if item["kind"] == "table" and item["title"] == "File Information":
        walk(item["dimensions"][0]["children"])
assert cells["Unweighted"] == 45000, cells
PY

# The parts read as one file: the single file's report, numbers aside in
# their last digits.
check "the survey in parts reads as in one file" python3 - "$tmp" "$cb" "$root" <<'PY'
import json, subprocess, sys
d, cb, root = sys.argv[1:]
def run(path):
    out = subprocess.run([cb, path, "--format", "json", "--quiet"], capture_output=True, text=True, check=True).stdout
    return json.loads(out)
def same(a, b, where):
    if isinstance(a, float) or isinstance(b, float):
        assert abs(a - b) <= 1e-12 * max(1.0, abs(b)), (where, a, b)
    elif isinstance(a, dict):
        assert a.keys() == b.keys(), where
        for k in a:
            if k == "text" and isinstance(a[k], str) and a[k] != b[k] and isinstance(a.get("number"), float):
                continue  # the shown digits of a number that differs in its last bits
            same(a[k], b[k], where + "." + k)
    elif isinstance(a, list):
        assert len(a) == len(b), where
        for i, (x, y) in enumerate(zip(a, b)):
            same(x, y, f"{where}[{i}]")
    else:
        assert a == b, (where, a, b)
same(run(f"{d}/survey/datapackage.json"), run(f"{root}/examples/survey/datapackage.json"), "report")
PY

# A bad cell fails its part, naming the file, line and column; no state.
# (The typed dataset: its plan did not read the cases, so a part may change
# after it.)
in_parts "$tmp/typed/datapackage.json" "$tmp/big.cbk" json "$tmp/x.json" >/dev/null 2>&1
cp -p "$tmp/typed/part3.csv" "$tmp/part3.good"
line=$(python3 - "$tmp/typed/part3.csv" <<'PY'
import sys
path = sys.argv[1]
lines = open(path).read().split("\n")
# A record's first line (a quoted line break's second line starts with a letter).
i = next(i for i in range(5000, len(lines)) if lines[i][:1].isdigit())
lines[i] = "xx" + lines[i][lines[i].index(","):]
open(path, "w").write("\n".join(lines))
print(i + 1)
PY
)
mv -f "$tmp/p3.state" "$tmp/good3.state"  # made before the cell went bad
rm -f "$tmp/x.json"
fails "a bad cell fails its part" 2 "part3.csv, line $line, column 1 (variable g): \"xx\" is not a number" \
  "$cb" --run-plan "$tmp/run.plan" --part 3 -o "$tmp/p3.state"
check "a failed part leaves no state" test ! -e "$tmp/p3.state"
# A part that changed since its state was written: the merge, which sees it,
# refuses the state; the same file copied with its times is the same part.
fails "a state of a part changed since is refused" 2 \
  "good3.state: part 3 ($tmp/typed/part3.csv) changed since this partial state was written" \
  "$cb" --merge "$tmp/run.plan" "$tmp/p1.state" "$tmp/p2.state" "$tmp/good3.state" -o "$tmp/x.json"
cp -p "$tmp/typed/part3.csv" "$tmp/part3.bad" && cp -p "$tmp/part3.good" "$tmp/typed/part3.csv"

# Damaged, foreign and missing states; parts out of range and over inputs.
head -c 1000 "$tmp/p1.state" >"$tmp/cut.state"
fails "a cut state is refused" 2 "cut.state: the file is damaged" \
  "$cb" --merge "$tmp/run.plan" "$tmp/cut.state" "$tmp/p2.state" "$tmp/p1.state" -o "$tmp/x.json"
check "a refused merge writes nothing" test ! -e "$tmp/x.json"
# A block's damage shows when the merge comes to it, mid-report: no report.
python3 -c 'import sys; b = bytearray(open(sys.argv[1], "rb").read()); b[len(b) // 2] ^= 16; open(sys.argv[2], "wb").write(b)' \
  "$tmp/p1.state" "$tmp/flipped.state"
fails "a damaged block is refused" 2 "flipped.state: the file is damaged (record" \
  "$cb" --merge "$tmp/run.plan" "$tmp/flipped.state" "$tmp/p2.state" "$tmp/good3.state" --format html -o "$tmp/x.html"
check "a merge refused mid-report writes nothing" test ! -e "$tmp/x.html"
check "parts given in any order: the same report" cmp -s <("$cb" --merge "$tmp/run.plan" "$tmp"/p[12].state \
  "$tmp/good3.state" --quiet) <("$cb" --merge "$tmp/run.plan" "$tmp/good3.state" "$tmp/p2.state" "$tmp/p1.state" --quiet)
fails "the same state twice is refused" 2 "part 1 ($tmp/typed/part1.csv) comes twice" \
  "$cb" --merge "$tmp/run.plan" "$tmp/p1.state" "$tmp/p2.state" "$tmp/good3.state" "$tmp/p1.state" -o "$tmp/x.json"
# What the plan fixes (how the parts are read) and what only the merge uses
# (the report's form) are refused by the other steps, not dropped unseen.
for step in "--run-plan $tmp/run.plan --part 1 -o $tmp/x.state" "--merge $tmp/run.plan $tmp/p1.state" \
  "--plan-info $tmp/run.plan"; do
  for option in "--encoding latin1" "--delimiter ;" "--missing NA" "--resource r"; do
    fails "${option% *} with ${step%% *} is refused" 2 "${option% *} does not go with ${step%% *}: the plan fixes" \
      "$cb" $step $option
  done
done
for step in "--run-plan $tmp/run.plan --part 1 -o $tmp/x.state" "$tmp/typed/datapackage.json --write-plan $tmp/x.plan"; do
  for option in "--format html" "--width 60" "--overview"; do
    fails "${option% *} with a step that writes no report is refused" 2 "${option% *} does not go with --" "$cb" $step $option
  done
done
check "and nothing is written" test ! -e "$tmp/x.state" -a ! -e "$tmp/x.plan"
fails "the plan alone is told what --merge takes" 2 "--merge takes the plan and then the state of every part" \
  "$cb" --merge "$tmp/run.plan" -o "$tmp/x.json"
fails "a missing part is refused" 2 "lacks the partial state of part 3" \
  "$cb" --merge "$tmp/run.plan" "$tmp/p1.state" "$tmp/p2.state" -o "$tmp/x.json"
"$cb" "$tmp/typed/datapackage.json" 'CODEBOOK many' --write-plan "$tmp/run.plan"
printf 'a,b\n1,x\n2,y\n3,z\n' >"$tmp/three.csv"
plan_quiet() { "$cb" "$tmp/three.csv" --write-plan "$tmp/three.plan" 2>"$tmp/plan.err" && [ ! -s "$tmp/plan.err" ]; }
check "a plan's run over cases without cells warns of no categories not shown" plan_quiet
"$cb" --run-plan "$tmp/three.plan" --part 1 -o "$tmp/three.state"
fails "a state of another plan is refused" 2 "was made with another plan" \
  "$cb" --merge "$tmp/run.plan" "$tmp/p1.state" "$tmp/p2.state" -o "$tmp/x.json"
fails "a part beyond the plan's" 2 "has 3 parts; there is no part 4" \
  "$cb" --run-plan "$tmp/run.plan" --part 4 -o "$tmp/x.state"
fails "a state over its part is refused" 2 "is the input file" \
  "$cb" --run-plan "$tmp/run.plan" --part 1 -o "$tmp/typed/part1.csv"
cp "$tmp/typed/part2.csv" "$tmp/part2.before"
fails "a state over another part of the plan is refused" 2 "is the input file" \
  "$cb" --run-plan "$tmp/run.plan" --part 1 -o "$tmp/typed/part2.csv"
check "and that part is as it was" cmp -s "$tmp/typed/part2.csv" "$tmp/part2.before"
fails "a state over the plan's descriptor is refused" 2 "is the input file" \
  "$cb" --run-plan "$tmp/run.plan" --part 1 -o "$tmp/typed/datapackage.json"
# A part's pass over another part's state of the same plan (a digit typed
# wrong) would lose that pass; over its own state it renews it.
"$cb" --run-plan "$tmp/run.plan" --part 1 -o "$tmp/n1.state"
cp "$tmp/n1.state" "$tmp/n1.before"
fails "a state over another part's state is refused" 2 "holds the partial state of part 1 of this plan" \
  "$cb" --run-plan "$tmp/run.plan" --part 2 -o "$tmp/n1.state"
check "and that state is as it was" cmp -s "$tmp/n1.state" "$tmp/n1.before"
fails "a plan over a partial state is refused" 2 "holds the partial state of part 1 of a plan; writing a plan over it" \
  "$cb" "$tmp/typed/datapackage.json" 'CODEBOOK many' --write-plan "$tmp/n1.state"
check "and that state is as it was too" cmp -s "$tmp/n1.state" "$tmp/n1.before"
# Nor a report over a state or a plan, of this run or another, nor a state
# over a plan: a file of a run in parts is replaced only by one of its kind.
cp "$tmp/run.plan" "$tmp/plan.before"
fails "a report over a partial state is refused" 2 "holds the partial state of part 1 of a plan; writing a report over it" \
  "$cb" "$tmp/three.csv" --format json -o "$tmp/n1.state"
fails "a merge's report over a plan is refused" 2 \
  "'$tmp/run.plan' holds the plan of a run in parts (--write-plan); writing a report over it would lose it" \
  "$cb" --merge "$tmp/three.plan" "$tmp/three.state" --format json -o "$tmp/run.plan"
fails "a state over a plan is refused" 2 "holds the plan of a run in parts (--write-plan); writing a partial state over it" \
  "$cb" --run-plan "$tmp/three.plan" --part 1 -o "$tmp/run.plan"
check "and the state and the plan are as they were" \
  bash -c "cmp -s '$tmp/n1.state' '$tmp/n1.before' && cmp -s '$tmp/run.plan' '$tmp/plan.before'"
check "a plan renews a plan" "$cb" "$tmp/three.csv" --write-plan "$tmp/three.plan"
check "a part's pass over its own state renews it" "$cb" --run-plan "$tmp/run.plan" --part 1 -o "$tmp/n1.state"
check "as over a state of another plan" "$cb" --run-plan "$tmp/run.plan" --part 2 -o "$tmp/p1.state"
# A plan whose reading of the dictionary read the cases (string widths left
# open) holds types and widths of the parts as they were: a part changed
# since is refused, not read into them.
"$cb" "$tmp/big/datapackage.json" 'CODEBOOK many' --write-plan "$tmp/counted.plan"
cp -p "$tmp/big/part2.csv" "$tmp/big-part2.before"
echo '9,1,1,a much longer text than any before,1,0,0,a' >>"$tmp/big/part2.csv"
fails "a part changed since a plan that read it is refused" 2 \
  "part 2 ($tmp/big/part2.csv): the file changed since the plan $tmp/counted.plan was written" \
  "$cb" --run-plan "$tmp/counted.plan" --part 2 -o "$tmp/x.state"
cp -p "$tmp/big-part2.before" "$tmp/big/part2.csv"
check "and the same file copied with its times is read" \
  "$cb" --run-plan "$tmp/counted.plan" --part 2 -o "$tmp/x.state"
rm -f "$tmp/x.state"
# Data where the plan does not look for them (another machine, the shared
# storage mounted elsewhere): the path tried is named, and why.
mv "$tmp/typed" "$tmp/typed.away"
fails "parts moved since the plan: the path the plan names" 2 \
  "part 1 ($tmp/typed/part1.csv): cannot open '$tmp/typed/part1.csv' (No such file or directory). The plan names the parts by" \
  "$cb" --run-plan "$tmp/run.plan" --part 1 -o "$tmp/x.state"
mv "$tmp/typed.away" "$tmp/typed"
# The later steps may run in another folder than the plan was written in, and
# the syntax file the plan's commands came from is an input of the run too.
(cd "$tmp" && "$cb" survey/datapackage.json --syntax survey.cbk --write-plan rel.plan 2>/dev/null)
cp "$tmp/survey/datapackage.json" "$tmp/descriptor.before"
fails "a state over the descriptor, named from another folder, is refused" 2 \
  "is the input file '$tmp/survey/datapackage.json'" \
  bash -c "cd '$tmp/survey' && '$cb' --run-plan ../rel.plan --part 1 -o datapackage.json"
check "and the descriptor is as it was" cmp -s "$tmp/survey/datapackage.json" "$tmp/descriptor.before"
for k in 1 2 3 4; do "$cb" --run-plan "$tmp/rel.plan" --part $k -o "$tmp/rel$k.state"; done
cp "$tmp/survey.cbk" "$tmp/syntax.before"
fails "a merge's report over the plan's syntax file is refused" 2 "is the input file '$tmp/survey.cbk'" \
  "$cb" --merge "$tmp/rel.plan" "$tmp"/rel?.state --format text -o "$tmp/survey.cbk"
check "and the syntax file is as it was" cmp -s "$tmp/survey.cbk" "$tmp/syntax.before"
# The plan holds the dictionary and the commands: a descriptor or a syntax
# file changed since would not be what the report shows.
was=$(stat -c %Y "$tmp/survey.cbk")
touch -d "@$((was + 5))" "$tmp/survey.cbk"
fails "a merge after its syntax file changed is refused" 2 "$tmp/survey.cbk: changed since the plan" \
  "$cb" --merge "$tmp/rel.plan" "$tmp"/rel?.state -o "$tmp/x.json"
touch -d "@$was" "$tmp/survey.cbk"
check "and it merges once the file is as it was" test "$(status_of "$cb" --merge "$tmp/rel.plan" "$tmp"/rel?.state)" = 1
echo >>"$tmp/survey/datapackage.json"
fails "a merge after its descriptor changed is refused" 2 "$tmp/survey/datapackage.json: changed since the plan" \
  "$cb" --merge "$tmp/rel.plan" "$tmp"/rel?.state -o "$tmp/x.json"
cp -p "$tmp/descriptor.before" "$tmp/survey/datapackage.json"
sed -i '1s/^g,w,/g,weight,/' "$tmp/typed/part2.csv"
fails "a part whose header changed since the plan names the first part" 2 \
  'the header has "weight" where the first part has "w" ('"$tmp"'/typed/part1.csv); every part' \
  "$cb" --run-plan "$tmp/run.plan" --part 2 -o "$tmp/x.state"
cp "$tmp/part2.before" "$tmp/typed/part2.csv"
cp -p "$tmp/part3.bad" "$tmp/typed/part3.csv"

# The Dask driver on a local cluster of two workers (an HTML report: the
# overview's side statistics come through the states too).
if /usr/bin/python3 -c 'import distributed' 2>/dev/null; then
  dask() { /usr/bin/python3 scripts/codebook_dask.py "$@" --workers 2 --codebook "$cb"; }
  dask_same() {  # driver's options
    "$cb" "$tmp/survey/datapackage.json" --syntax "$tmp/survey.cbk" -o "$tmp/one.html" 2>/dev/null
    dask "$tmp/survey/datapackage.json" --syntax "$tmp/survey.cbk" -o "$tmp/dask.html" "$@" 2>"$tmp/dask.err"
    [ $? = 1 ] && cmp -s "$tmp/dask.html" "$tmp/one.html" || { cat "$tmp/dask.err"; return 1; }
  }
  check "Dask: the report of one run" dask_same
  check "Dask: workers that are processes, as on a cluster: the report of one run" dask_same --processes
  one_part() {
    "$cb" examples/survey/datapackage.json 'CODEBOOK age [N] $media' -o "$tmp/one-part.json" 2>/dev/null
    dask examples/survey/datapackage.json 'CODEBOOK age [N] $media' --processes -o "$tmp/dask-part.json" 2>/dev/null
    cmp -s "$tmp/one-part.json" "$tmp/dask-part.json"
  }
  check "Dask: a dataset of one file: the report of one run" one_part
  fails "Dask: a part that fails every try fails the run with its message" 2 \
    "part3.csv, line $line, column 1 (variable g)" dask "$tmp/typed/datapackage.json" 'CODEBOOK g' --retries 1 -o "$tmp/dask.json"
  check "Dask: it says which parts failed" grep -qF "1 of 3 parts failed" "$tmp/.stderr"
  # A bad cell fails every try alike: its part's pass runs once, not again.
  printf '#!/bin/sh\necho "$*" >>"%s"\nexec "%s" "$@"\n' "$tmp/tries.log" "$cb" >"$tmp/counting-codebook"
  chmod +x "$tmp/counting-codebook"
  /usr/bin/python3 scripts/codebook_dask.py "$tmp/typed/datapackage.json" 'CODEBOOK g' --workers 2 --retries 2 \
    --codebook "$tmp/counting-codebook" -o "$tmp/dask.json" 2>/dev/null
  check "Dask: a part stopped by a bad cell is not tried again" test "$(grep -c -- '--part 3' "$tmp/tries.log")" = 1
  check "Dask: once, without the workers' reports of each try" test "$(grep -c -e 'Compute Failed' -e 'part3.csv' "$tmp/.stderr")" = 1
  check "Dask: no report after a failed part" test ! -e "$tmp/dask.json"
  fails "Dask: a program that is not there is named, no traceback" 2 "the program '$tmp/nosuch' is not there" \
    /usr/bin/python3 scripts/codebook_dask.py "$tmp/survey/datapackage.json" --codebook "$tmp/nosuch" -o "$tmp/dask.json"
  fails "Dask: a scheduler address that cannot be reached is named" 2 "cannot reach the Dask scheduler at nowhere" \
    dask "$tmp/survey/datapackage.json" --scheduler nowhere --work-dir "$tmp/work" -o "$tmp/dask.json"
  check "Dask: and nothing is left in the work folder" test -z "$(ls -A "$tmp/work")"
  # What the merge would refuse after the cluster's whole work is refused first.
  echo 'CODEBOOK age.' >"$tmp/own.cbk" && cp "$tmp/own.cbk" "$tmp/own.before"
  fails "Dask: a report over the syntax file is refused at once" 2 "codebook_dask: the output '$tmp/own.cbk' is the syntax file" \
    dask "$tmp/survey/datapackage.json" --syntax "$tmp/own.cbk" -o "$tmp/own.cbk" --format text
  check "Dask: and the syntax file is as it was" cmp -s "$tmp/own.cbk" "$tmp/own.before"
  fails "Dask: a report into a missing folder is refused at once" 2 "codebook_dask: cannot write '$tmp/nosuch/r.html'" \
    dask "$tmp/survey/datapackage.json" -o "$tmp/nosuch/r.html"
  fails "Dask: a report of no known format is refused at once" 2 "codebook_dask: cannot tell the output format" \
    dask "$tmp/survey/datapackage.json" -o "$tmp/r.csv"
  cp "$tmp/n1.state" "$tmp/n1.before"
  fails "Dask: a report over a partial state is refused at once" 2 \
    "codebook_dask: the output '$tmp/n1.state' holds a partial state of a run in parts; writing a report over it" \
    dask "$tmp/survey/datapackage.json" --format json -o "$tmp/n1.state"
  check "Dask: and the state is as it was" cmp -s "$tmp/n1.state" "$tmp/n1.before"
  # A folder the user may not write to: what to change, not how the report is made.
  if [ "$(id -u)" != 0 ] || command -v setpriv >/dev/null; then
    as_user=()
    [ "$(id -u)" = 0 ] && as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups) && chmod 755 "$tmp"
    mkdir "$tmp/locked" && chmod 555 "$tmp/locked"
    fails "Dask: a report into a folder the user may not write to is refused at once" 2 \
      "codebook_dask: cannot write '$tmp/locked/r.html': you may not make files in the folder '$tmp/locked'; give -o a file in a folder you may write to, or leave -o out for standard output." \
      "${as_user[@]}" /usr/bin/python3 scripts/codebook_dask.py "$tmp/survey/datapackage.json" --codebook "$cb" -o "$tmp/locked/r.html"
  fi
  if [ "$(id -u)" = 0 ] && unshare --mount true 2>/dev/null; then
    on_full_disk() {  # the driver's options; its report's folder is a full file system of this check alone
      mkdir -p "$tmp/full"
      unshare --mount bash -c 'mount -t tmpfs -o size=64k tmpfs "$1" && { head -c 64k /dev/zero >"$1/fill" 2>/dev/null; shift; "$@"; }' \
        _ "$tmp/full" /usr/bin/python3 scripts/codebook_dask.py --workers 2 --codebook "$cb" "$@"
    }
    fails "Dask: a report for a full disk is refused at once" 2 "codebook_dask: cannot write '$tmp/full/r.html': No space left on device" \
      on_full_disk "$tmp/survey/datapackage.json" -o "$tmp/full/r.html"
  fi
  # Two runs sharing one work folder (two jobs on a cluster) keep apart, and a
  # file of the user's there stays.
  two_at_once() {
    "$cb" tests/golden-data/parts/datapackage.json -o "$tmp/one-parts.json" 2>/dev/null
    mkdir -p "$tmp/shared" && echo mine >"$tmp/shared/run.plan"
    dask "$tmp/survey/datapackage.json" --syntax "$tmp/survey.cbk" --work-dir "$tmp/shared" \
      -o "$tmp/dask-a.html" 2>"$tmp/dask-a.err" &
    local a=$!
    dask tests/golden-data/parts/datapackage.json --work-dir "$tmp/shared" -o "$tmp/dask-b.json" 2>"$tmp/dask-b.err"
    local b=$?
    wait $a
    [ $? = 1 ] && [ $b = 0 ] && cmp -s "$tmp/dask-a.html" "$tmp/one.html" &&
      cmp -s "$tmp/dask-b.json" "$tmp/one-parts.json" && [ "$(ls -A "$tmp/shared")" = run.plan ] &&
      grep -qx mine "$tmp/shared/run.plan" || { cat "$tmp/dask-a.err" "$tmp/dask-b.err"; return 1; }
  }
  check "Dask: two runs sharing a work folder at once each write their own report" two_at_once
  # A run's folder in a work folder anyone may write (/tmp) is the group's at most.
  mkdir -p "$tmp/open" && chmod 1777 "$tmp/open"
  dask tests/golden-data/parts/datapackage.json --work-dir "$tmp/open" --keep -o "$tmp/dask-open.json" 2>/dev/null
  check "Dask: a run's folder in a work folder like /tmp keeps others out" \
    test "$(stat -c %a "$tmp"/open/codebook-dask-*)" = 770
  # Programs that behave as workers can: killed during a pass, or writing
  # their states to a folder the driver does not see.
  printf '#!/bin/bash\n[ "$3 $4" = "--part 2" ] && kill -9 $$\nexec "%s" "$@"\n' "$(realpath "$cb")" >"$tmp/killed"
  printf '#!/bin/bash\n[ "$1" = --run-plan ] && exit 0\nexec "%s" "$@"\n' "$(realpath "$cb")" >"$tmp/elsewhere"
  chmod +x "$tmp/killed" "$tmp/elsewhere"
  fails "Dask: a pass ended by a signal says so" 2 "the pass over part 2 was ended by signal 9" \
    /usr/bin/python3 scripts/codebook_dask.py "$tmp/survey/datapackage.json" --codebook "$tmp/killed" --retries 0 -o "$tmp/dask.json"
  fails "Dask: states the driver cannot see are named" 2 "the partial states of parts 1, 2, 3, 4 are not in" \
    /usr/bin/python3 scripts/codebook_dask.py "$tmp/survey/datapackage.json" --codebook "$tmp/elsewhere" -o "$tmp/dask.json"
  check "Dask: and no report is written" test ! -e "$tmp/dask.json"
  # Workers that do not see the run's folder (a work folder that is not
  # shared): the program's message, why, once for all the parts.
  printf '#!/bin/bash\n[ "$1" = --run-plan ] && mv -f "$2" "$2.away" 2>/dev/null; exec "%s" "$@"\n' "$(realpath "$cb")" >"$tmp/unshared"
  chmod +x "$tmp/unshared"
  fails "Dask: workers without the run's folder are told of" 2 \
    "codebook_dask: the plan is not on the worker's machine ($(hostname)): --work-dir must be a folder that every" \
    /usr/bin/python3 scripts/codebook_dask.py "$tmp/survey/datapackage.json" --codebook "$tmp/unshared" --retries 0 -o "$tmp/dask.json"
  check "Dask: once, for all the parts" test "$(grep -c 'cannot open the plan' "$tmp/.stderr")" = 1
  # A driver told to stop (SIGTERM) stops the passes it started and removes
  # its run's folder, as the program removes its temporary file.
  printf '#!/bin/bash\n[ "$1" = --run-plan ] && echo $$ >>"%s/slow.pids" && exec sleep 60\nexec "%s" "$@"\n' \
    "$tmp" "$(realpath "$cb")" >"$tmp/slow"
  chmod +x "$tmp/slow"
  stopped_cleanly() {  # signal, exit status, driver's options
    mkdir -p "$tmp/stopwd"
    rm -f "$tmp/slow.pids"
    # A job started with & has SIGINT ignored, as Ctrl-C would not reach it: put it back.
    /usr/bin/python3 -c 'import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); os.execv(sys.argv[1], sys.argv[1:])' \
      /usr/bin/python3 scripts/codebook_dask.py "$tmp/survey/datapackage.json" --codebook "$tmp/slow" \
      --work-dir "$tmp/stopwd" -o "$tmp/dask-stop.json" "${@:3}" 2>"$tmp/dask-stop.err" &
    local driver=$! status pid
    for _ in $(seq 300); do [ -s "$tmp/slow.pids" ] && break; sleep 0.1; done
    # Meanwhile the local cluster (its scheduler's and workers' HTTP pages
    # too) listens on the loopback only.
    local tree=$driver kids=$driver open
    while [ -n "$kids" ]; do kids=$(pgrep -d ' ' -P "${kids// /,}"); tree="$tree $kids"; done
    open=$(ss -Hltnp | grep -v -e ' 127\.0\.0\.1:' -e ' \[::1\]:' | grep -E "pid=(${tree// /|}),")
    [ -z "$open" ] || { kill -"$1" $driver; wait $driver; echo "listening beyond this machine: $open"; return 1; }
    kill -"$1" $driver
    wait $driver
    status=$?
    for pid in $(cat "$tmp/slow.pids"); do
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -0 "$pid" 2>/dev/null && { echo "pass $pid still runs"; return 1; }
    done
    [ $status = "$2" ] && [ -z "$(ls -A "$tmp/stopwd")" ] && [ ! -e "$tmp/dask-stop.json" ] &&
      ! grep -q -e Traceback -e 'Compute Failed' "$tmp/dask-stop.err" || { echo "status $status; left: $(ls -A "$tmp/stopwd")"; cat "$tmp/dask-stop.err"; return 1; }
  }
  check "Dask: SIGTERM stops the passes and leaves nothing in the work folder" stopped_cleanly TERM 143
  kill $(cat "$tmp/slow.pids") 2>/dev/null  # should that check fail
  check "Dask: Ctrl-C (SIGINT) too, without a traceback" stopped_cleanly INT 130
  kill $(cat "$tmp/slow.pids") 2>/dev/null
  # Workers that are processes (as on a cluster) are told to stop their passes:
  # closing them would leave the passes running.
  check "Dask: SIGTERM stops the passes of workers that are processes" stopped_cleanly TERM 143 --processes
  kill $(cat "$tmp/slow.pids") 2>/dev/null
else
  echo "skipped: the Dask driver (python3 cannot import distributed; make test installs python3-distributed)"
fi

# Dates written in a pattern the field names (its "format"), and found by "any".
mkdir "$tmp/dated"
printf 'd,t\n31/12/2020,12/31/2020 1:45 PM\n' >"$tmp/dated/a.csv"
printf 'd,t\n02/01/2021,02/01/2021 8:00 AM\n' >"$tmp/dated/b.csv"
echo '{"resources": [{"path": ["a.csv", "b.csv"], "schema": {"fields": [
  {"name": "d", "type": "date", "format": "%d/%m/%Y"}, {"name": "t", "type": "datetime", "format": "any"}]}}]}' \
  >"$tmp/dated/datapackage.json"
echo 'CODEBOOK d t.' >"$tmp/dated.cbk"
check "dates in a field's pattern: in parts as in one run" same_report "$tmp/dated/datapackage.json" "$tmp/dated.cbk" json

finish
