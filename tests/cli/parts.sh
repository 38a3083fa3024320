#!/usr/bin/env bash
# A dataset in parts (a resource whose path lists several CSV files). Its
# report from one run equals the single file's (numbers to the last digits a
# different block layout can change); the report of a run in parts (plan, a
# pass per part, merge) is byte for byte the one run's, in every format, for
# several commands at once (weights, user-missing values, sets, split groups
# across parts, MAXCATS cut-offs, an early stop, the case counts); the Dask
# driver on a two-worker local cluster writes the same report; a bad cell
# fails its part with its file, line and column; damaged states, a state of
# another plan and a missing part are refused.
set -uo pipefail
build=$1
root=$(pwd)
cb="$build/codebook"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAILED: $1"; }

# The example survey in three parts, and a larger weighted file with split
# groups and a set in three parts of several blocks each.
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
parts(f"{out}/survey", rows[0], rows[1:], [(0, 120), (120, 121), (121, len(rows) - 1)], d)
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

# Plan, a pass per part, merge.
in_parts() {  # dataset syntax format output [threads]
  local plan="$tmp/run.plan"
  rm -f "$tmp"/*.state "$plan"
  "$cb" "$1" --syntax "$2" --write-plan "$plan" || return 1
  local n
  n=$("$cb" --plan-info "$plan" | python3 -c 'import json, sys; print(len(json.load(sys.stdin)["parts"]))')
  for k in $(seq "$n"); do
    "$cb" --run-plan "$plan" --part "$k" -o "$tmp/p$k.state" --threads "${5:-2}" || return 1
  done
  "$cb" --merge "$plan" "$tmp"/p*.state --format "$3" -o "$4"
}

# The HTML and Markdown reports' overview needs side statistics that the
# partial states do not carry yet (the merge leaves them out): JSON and text.
for data in survey big; do
  for format in json text; do
    "$cb" "$tmp/$data/datapackage.json" --syntax "$tmp/$data.cbk" --format $format -o "$tmp/one.$format" 2>/dev/null
    one=$?
    in_parts "$tmp/$data/datapackage.json" "$tmp/$data.cbk" $format "$tmp/parts.$format"
    merged=$?
    if [ "$one" = "$merged" ] && cmp -s "$tmp/one.$format" "$tmp/parts.$format"; then ok; else bad "$data $format: the merged report differs from one run's (exit $merged vs $one)"; fi
  done
done
# A part compressed, a quoted delimiter, a split group across files.
echo 'CODEBOOK /FILEINFO CASECOUNT WEIGHT.' >"$tmp/small.cbk"
"$cb" tests/golden-data/parts/datapackage.json --syntax "$tmp/small.cbk" --format json -o "$tmp/one-small.json"
in_parts tests/golden-data/parts/datapackage.json "$tmp/small.cbk" json "$tmp/parts-small.json"
cmp -s "$tmp/one-small.json" "$tmp/parts-small.json" && ok || bad "the compressed part: the merged report differs"
# Reading threads of the parts do not change it.
in_parts "$tmp/big/datapackage.json" "$tmp/big.cbk" json "$tmp/parts1.json" 1
cmp -s "$tmp/one.json" "$tmp/parts1.json" && ok || bad "one reading thread per part gives another report"
# The case count covers every part, though the pass stopped early.
python3 - "$tmp" <<'PY' && ok || bad "the case count is wrong"
import json, sys
d = sys.argv[1]
report = json.load(open(f"{d}/one.json"))
cells = {}
for item in report["items"]:
    if item["kind"] != "table" or item["title"] != "File Information":
        continue
    def walk(children):
        for c in children:
            if "children" in c:
                walk(c["children"])
            elif "cells" in c:
                cells[c["category"]] = c["cells"][0].get("number")
    walk(item["dimensions"][0]["children"])
assert cells["Unweighted"] == 45000, cells
PY

# The parts read as one file: the single file's report, numbers aside in
# their last digits.
python3 - "$tmp" "$cb" "$root" <<'PY' && ok || bad "the survey in parts reads otherwise than in one file"
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
in_parts "$tmp/big/datapackage.json" "$tmp/big.cbk" json "$tmp/x.json" >/dev/null 2>&1
line=$(python3 - "$tmp/big/part3.csv" <<'PY'
import sys
path = sys.argv[1]
lines = open(path).read().split("\n")
# A record's first line (a quoted line break's second line starts with a letter).
i = next(i for i in range(5000, len(lines)) if lines[i][:1].isdigit())
lines[i] = "x" + lines[i][lines[i].index(","):]
open(path, "w").write("\n".join(lines))
print(i + 1)
PY
)
rm -f "$tmp/p3.state"
msg=$("$cb" --run-plan "$tmp/run.plan" --part 3 -o "$tmp/p3.state" 2>&1)
status=$?
if [ $status = 2 ] && [[ "$msg" == *"part3.csv, line $line, column 1 (variable g): \"x\" is not a number"* ]] && [ ! -e "$tmp/p3.state" ]; then ok; else bad "bad cell: exit $status, $msg"; fi

# Damaged, foreign and missing states.
head -c 1000 "$tmp/p1.state" >"$tmp/cut.state"
rm -f "$tmp/x.json"
msg=$("$cb" --merge "$tmp/run.plan" "$tmp/cut.state" "$tmp/p2.state" "$tmp/p1.state" --format json -o "$tmp/x.json" 2>&1)
[ $? = 2 ] && [[ "$msg" == *"cut.state: the file is damaged"* ]] && [ ! -e "$tmp/x.json" ] && ok || bad "cut state: $msg"
msg=$("$cb" --merge "$tmp/run.plan" "$tmp/p1.state" "$tmp/p2.state" -o "$tmp/x.json" 2>&1)
[ $? = 2 ] && [[ "$msg" == *"lacks the partial state of part 3"* ]] && ok || bad "missing part: $msg"
cp "$tmp/run.plan" "$tmp/big.plan"
"$cb" "$tmp/big/datapackage.json" 'CODEBOOK many' --write-plan "$tmp/run.plan"
msg=$("$cb" --merge "$tmp/run.plan" "$tmp"/p*.state -o "$tmp/x.json" 2>&1)
[ $? = 2 ] && [[ "$msg" == *"was made with another plan"* ]] && ok || bad "state of another plan: $msg"
msg=$("$cb" --run-plan "$tmp/run.plan" --part 4 -o "$tmp/x.state" 2>&1)
[ $? = 2 ] && [[ "$msg" == *"has 3 parts; there is no part 4"* ]] && ok || bad "part out of range: $msg"
msg=$("$cb" --run-plan "$tmp/run.plan" --part 1 -o "$tmp/big/part1.csv" 2>&1)
[ $? = 2 ] && [[ "$msg" == *"is the input file"* ]] && ok || bad "state over a part: $msg"

# The Dask driver on a local cluster of two workers.
if /usr/bin/python3 -c 'import distributed' 2>/dev/null; then
  /usr/bin/python3 scripts/codebook_dask.py "$tmp/survey/datapackage.json" --syntax "$tmp/survey.cbk" \
    --workers 2 --codebook "$cb" --format json -o "$tmp/dask.json" 2>"$tmp/dask.err"
  status=$?
  "$cb" "$tmp/survey/datapackage.json" --syntax "$tmp/survey.cbk" --format json -o "$tmp/one.json" 2>/dev/null
  if [ $status = 1 ] && cmp -s "$tmp/dask.json" "$tmp/one.json"; then ok; else bad "Dask: exit $status"; cat "$tmp/dask.err"; fi
  # A part that fails every try fails the run with the program's message.
  rm -f "$tmp/dask.json"
  /usr/bin/python3 scripts/codebook_dask.py "$tmp/big/datapackage.json" 'CODEBOOK g' --workers 2 --retries 1 \
    --codebook "$cb" --format json -o "$tmp/dask.json" 2>"$tmp/dask.err"
  status=$?
  if [ $status = 2 ] && grep -q "part3.csv, line $line, column 1 (variable g)" "$tmp/dask.err" &&
     grep -q "1 of 3 parts failed every try" "$tmp/dask.err" && [ ! -e "$tmp/dask.json" ]; then ok
  else bad "Dask, a bad part: exit $status"; cat "$tmp/dask.err"; fi
else
  echo "skipped: the Dask driver (python3-distributed is not installed; make test installs it)"
fi

echo "parts: $passed passed, $failed failed"
[ $failed -eq 0 ]
