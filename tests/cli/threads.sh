#!/usr/bin/env bash
# The program's output is byte for byte the same for 1, 2 and 4 threads, on a
# weighted file with split groups, user-missing values and quoted line breaks
# that is long enough to be read in several stretches; the counts agree with
# a plain reading of the CSV; and a bad cell far into the file is reported
# at its true line whatever the threads.
set -uo pipefail
build=$1
cb="$build/codebook"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAILED: $1"; }

# The Count cells of the table titled "code" in a JSON report ($1) against the
# reference counts ($2: value -> count), within 1e-6.
same_code_counts() {
  python3 - "$1" "$2" <<'PY'
import json, sys
report, reference = sys.argv[1:3]
want = {float(k): v for k, v in json.load(open(reference)).items()}
table = next(t for t in json.load(open(report))["items"] if t.get("title") == "code")
got = {}
def walk(node):
    if isinstance(node, dict):
        if "value" in node and "cells" in node:
            for cell in node["cells"]:
                if cell["column"] == "Count":
                    got[node["value"]] = cell["number"]
        for v in node.values():
            walk(v)
    elif isinstance(node, list):
        for v in node:
            walk(v)
walk(table)
bad = {k: (got.get(k), v) for k, v in want.items() if got.get(k) is None or abs(got[k] - v) > 1e-6}
if bad or len(got) != len(want):
    print(got, want)
    sys.exit(1)
PY
}

python3 - "$tmp" <<'PY'
import csv, io, json, os, random, sys
d = sys.argv[1]
random.seed(11)
rows = []
for i in range(60000):
    w = random.choice(["", "0", "-1"]) if random.random() < 0.03 else f"{random.randint(1, 400) / 100:g}"
    note = random.choice(["plain", "two\nlines", "x,y", 'say "hi"', "note\n1,2,3"])
    rows.append([str(i // 9000), w, str(random.choice([1, 2, 3, 4, 9])), note,
                 "" if random.random() < 0.05 else f"{random.gauss(50, 12):.3f}", str(random.randint(0, 1)),
                 str(random.randint(0, 1))])
def write(path, rows):
    with open(path, "w", newline="") as f:
        out = csv.writer(f, lineterminator="\n")
        out.writerow(["g", "w", "code", "note", "score", "m1", "m2"])
        out.writerows(rows)
fields = [{"name": "g", "type": "integer"}, {"name": "w", "type": "number"},
          {"name": "code", "type": "integer", "measure": "nominal", "userMissing": {"values": [9]}},
          {"name": "note", "type": "string"},
          {"name": "score", "type": "number", "userMissing": {"range": {"low": 90, "high": "HI"}}},
          {"name": "m1", "type": "integer"}, {"name": "m2", "type": "integer"}]
for name, data in (("good", rows), ("bad", rows[:50000] + [rows[50000][:4] + ["4O.5"] + rows[50000][5:]] + rows[50001:])):
    os.makedirs(f"{d}/{name}")
    write(f"{d}/{name}/data.csv", data)
    json.dump({"weight": "w", "splitFile": ["g"],
               "multipleResponseSets": [{"name": "$m", "type": "dichotomies", "countedValue": "1",
                                         "variables": ["m1", "m2"]}],
               "resources": [{"path": "data.csv", "schema": {"fields": fields}}]},
              open(f"{d}/{name}/datapackage.json", "w"))
# The same cases without the split: one table of score holds some 57,000
# stored values.
json.dump({"weight": "w", "resources": [{"path": "data.csv", "schema": {"fields": fields}}]},
          open(f"{d}/good/whole.json", "w"))
# The reference: weighted counts of code (user-missing 9 listed too), read
# with Python's csv module.
counts = {}
for r in rows:
    try:
        w = float(r[1])
    except ValueError:
        continue
    if w > 0:
        counts[r[2]] = counts.get(r[2], 0.0) + w
json.dump({k: round(v, 6) for k, v in counts.items()}, open(f"{d}/counts.json", "w"))
# The line of the bad cell: header, then every record's lines before it.
buf = io.StringIO()
csv.writer(buf, lineterminator="\n").writerows(rows[:50000])
open(f"{d}/badline", "w").write(str(buf.getvalue().count("\n") + 2))
PY

for t in 1 2 4; do
  "$cb" "$tmp/good/datapackage.json" --format json --quiet --threads "$t" >"$tmp/out$t.json" || bad "run with $t threads"
done
if cmp -s "$tmp/out1.json" "$tmp/out2.json" && cmp -s "$tmp/out1.json" "$tmp/out4.json"; then ok; else bad "output differs between 1, 2 and 4 threads"; fi

if same_code_counts "$tmp/out1.json" "$tmp/counts.json"; then ok; else bad "counts of code differ from the reference"; fi

# With two threads a table with many stored values has its quartiles and its
# mean and standard deviation computed apart, at once; each alone, or two of
# them, as one thread computes them together.
for stats in "MEAN" "STDDEV" "QUARTILES" "MEAN QUARTILES" "STDDEV QUARTILES" "MEAN STDDEV"; do
  for t in 1 2; do
    "$cb" "$tmp/good/whole.json" "CODEBOOK score w code /STATISTICS $stats." --format json --quiet \
      --threads "$t" >"$tmp/stats$t.json" || bad "STATISTICS $stats with $t threads"
  done
  if cmp -s "$tmp/stats1.json" "$tmp/stats2.json"; then ok; else bad "STATISTICS $stats: 1 and 2 threads differ"; fi
done

line=$(cat "$tmp/badline")
for t in 1 2 4; do
  "$cb" "$tmp/bad/datapackage.json" --format json --quiet --threads "$t" >/dev/null 2>"$tmp/err$t"
  status=$?
  if [ "$status" = 2 ] && grep -q "line $line, column 5 (variable score)" "$tmp/err$t"; then ok; else
    bad "bad cell with $t threads (exit $status, expected line $line): $(cat "$tmp/err$t")"; fi
done

# A wide file (300 columns) lets its blocks' cells go once gathered; a table
# that passes the category limit within a later block is gathered up to
# there on the iterator's thread, which reads the block's cells back.
python3 - "$tmp" <<'PY'
import csv, json, os, random, sys
d = sys.argv[1] + "/wide"
os.makedirs(d)
random.seed(5)
names = ["grow", "code"] + [f"x{i}" for i in range(298)]
rows = [[str(r // 10), str(random.randint(1, 5))] +
        [str(random.randint(0, 9)) if i % 2 else f"{random.random() * 100:.2f}" for i in range(298)]
        for r in range(3000)]
with open(f"{d}/data.csv", "w", newline="") as f:
    out = csv.writer(f, lineterminator="\n")
    out.writerow(names)
    out.writerows(rows)
fields = [{"name": n, "type": "integer" if n in ("grow", "code") or int(n[1:]) % 2 else "number"} for n in names]
fields[0]["measure"] = fields[1]["measure"] = "nominal"
json.dump({"resources": [{"path": "data.csv", "schema": {"fields": fields}}]}, open(f"{d}/datapackage.json", "w"))
counts = {}
for r in rows:
    counts[r[1]] = counts.get(r[1], 0) + 1
json.dump(counts, open(f"{d}/counts.json", "w"))
PY
for t in 1 2 4; do
  "$cb" "$tmp/wide/datapackage.json" "CODEBOOK ALL /OPTIONS MAXCATS=20." --format json --quiet --threads "$t" \
    >"$tmp/wide$t.json" || bad "wide file with $t threads"
done
if cmp -s "$tmp/wide1.json" "$tmp/wide2.json" && cmp -s "$tmp/wide1.json" "$tmp/wide4.json"; then ok; else
  bad "wide file: output differs between 1, 2 and 4 threads"; fi
if same_code_counts "$tmp/wide1.json" "$tmp/wide/counts.json"; then ok; else bad "wide file: counts of code differ from the reference"; fi

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
