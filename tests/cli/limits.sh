#!/usr/bin/env bash
# Limits: very wide files, long names, long attribute arrays, many distinct
# strings, long syntax files, descriptors with 100,000 labels, attributes or
# sets, a 100 MB cell, a quote never closed and too little memory either work
# or fail with a clear message, within memory. Nothing here is timed (a busy
# machine would fail it): bench/compare.sh times the wide and the
# 1,000,000-distinct files against the limit of the machine.
set -uo pipefail
build=$1
cb="$build/codebook"
source "$(dirname "$0")/lib/check.sh"
check() {  # description, command...: the command must succeed
  local what=$1; shift
  if "$@" >"$tmp/out" 2>"$tmp/err"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1)); echo "FAILED: $what"; head -c 2000 "$tmp/err"
  fi
}

python3 - "$tmp" <<'PY'
import json, os, sys
d = sys.argv[1]
def package(name, fields, rows, **extra):
    os.makedirs(f"{d}/{name}", exist_ok=True)
    with open(f"{d}/{name}/data.csv", "w") as f:
        f.write(",".join(x["name"] for x in fields) + "\n")
        for r in rows:
            f.write(",".join(map(str, r)) + "\n")
    desc = {"resources": [{"path": "data.csv", "schema": {"fields": fields}}]}
    desc.update(extra)
    json.dump(desc, open(f"{d}/{name}/datapackage.json", "w"))

# 100,000 variables, three cases.
n = 100_000
package("wide", [{"name": f"v{i}", "type": "integer"} for i in range(n)],
        [[(i + c) % 7 for i in range(n)] for c in range(3)])
# A 64-byte name and a 65-byte one.
name64 = "a" * 64
package("name64", [{"name": name64, "type": "integer"}], [[1], [2]])
package("name65", [{"name": "b" * 65, "type": "integer"}], [[1]])
# An attribute array of 10,000 values.
package("attr", [{"name": "x", "type": "integer",
                  "attributes": {"Long": [str(i) for i in range(10_000)]}}], [[1], [2]])
# A string variable with 1,000,000 distinct values, beside a scale variable.
os.makedirs(f"{d}/distinct", exist_ok=True)
with open(f"{d}/distinct/data.csv", "w") as f:
    f.write("s,x\n")
    f.writelines(f"k{i:07d},{i % 100}\n" for i in range(1_000_000))
json.dump({"resources": [{"path": "data.csv", "schema": {"fields": [
    {"name": "s", "type": "string", "constraints": {"maxLength": 8}},
    {"name": "x", "type": "integer", "measure": "scale"}]}}]}, open(f"{d}/distinct/datapackage.json", "w"))
# 100,000 value labels and variable attributes, data-file attributes and
# multiple-response sets.
n = 100_000
package("labels", [{"name": "x", "type": "integer",
                    "categories": [{"value": i, "label": f"label {i}"} for i in range(n)],
                    "attributes": {f"attr{i}": f"value {i}" for i in range(n)}},
                   {"name": "y", "type": "integer"}], [[1, 2]])
package("fileattrs", [{"name": "x", "type": "integer"}, {"name": "y", "type": "integer"}], [[1, 2]],
        attributes={f"a{i}": str(i) for i in range(n)})
package("sets", [{"name": "x", "type": "integer"}, {"name": "y", "type": "integer"}], [[1, 2]],
        multipleResponseSets=[{"name": f"$s{i}", "type": "categories", "variables": ["x", "y"]} for i in range(n)])
# A cell of 100 MB in a bare CSV.
with open(f"{d}/bigcell.csv", "w") as f:
    f.write("id,text\n1,short\n2,")
    f.write("x" * 100_000_000)
    f.write("\n")
# A quote never closed, 300 MB before the end of the file.
with open(f"{d}/runaway.csv", "w") as f:
    f.write("id,text,n\n1,short,2\n2,\"opened")
    for _ in range(300):
        f.write("y" * 999_999 + "\n")
# 1,000 commands.
with open(f"{d}/many.cbk", "w") as f:
    for i in range(1000):
        f.write(f"CODEBOOK v{i % 50} TO v{i % 50 + 3} /STATISTICS COUNT MEAN.\n")
PY

check "100,000 variables, every table" "$cb" "$tmp/wide/datapackage.json" --format json -o /dev/null --quiet
check "100,000 variables listed with TO and ordered by name" \
  "$cb" "$tmp/wide/datapackage.json" 'CODEBOOK v0 TO v99999 /STATISTICS NONE /OPTIONS VARORDER=ALPHA' --format json -o /dev/null --quiet
check "a 64-byte name" bash -c "'$cb' '$tmp/name64/datapackage.json' --format json --quiet | grep -q '$(printf 'a%.0s' {1..64})'"
check "a 65-byte name is cut to 64 bytes, the name as given kept as the label" bash -c \
  "'$cb' '$tmp/name65/datapackage.json' --format json --quiet >'$tmp/o65' && grep -q '\"title\": \"$(printf 'b%.0s' {1..64})\"' '$tmp/o65' && grep -q '\"text\": \"$(printf 'b%.0s' {1..65})\"' '$tmp/o65'"
check "a 10,000-value attribute array" bash -c \
  "'$cb' '$tmp/attr/datapackage.json' --format json --quiet | grep -q 'Long\\[10000\\]'"
check "1,000,000 distinct strings over the category limit" \
  "$cb" "$tmp/distinct/datapackage.json" --format json -o /dev/null --quiet
check "1,000,000 distinct strings all listed" \
  "$cb" "$tmp/distinct/datapackage.json" 'CODEBOOK s /OPTIONS MAXCATS=1000000' --format json -o /dev/null --quiet
check "a syntax file of 1,000 commands" "$cb" "$tmp/wide/datapackage.json" --syntax "$tmp/many.cbk" --format json -o /dev/null --quiet

# 100,000 labels, attributes and sets in a descriptor. (Documenting 100,000
# sets is another matter: the command here names one variable.)
one='CODEBOOK y /VARINFO POSITION LABEL VALUELABELS ATTRIBUTES /STATISTICS NONE'
check "100,000 value labels and variable attributes are read" "$cb" "$tmp/labels/datapackage.json" "$one" -o /dev/null --quiet
check "100,000 data-file attributes are read" "$cb" "$tmp/fileattrs/datapackage.json" "$one" -o /dev/null --quiet
check "100,000 multiple-response sets are read" "$cb" "$tmp/sets/datapackage.json" "$one" -o /dev/null --quiet
check "a 100 MB cell is an error naming its line and column" bash -c \
  "'$cb' '$tmp/bigcell.csv' --quiet >/dev/null 2>'$tmp/bigcell.err'; test \$? = 2 && \
   grep -q 'bigcell.csv, line 3, column 2 (variable text): the value has 100000000 bytes' '$tmp/bigcell.err'"

check "a quote never closed is an error naming the line and column where it opens" bash -c \
  "'$cb' '$tmp/runaway.csv' --quiet >/dev/null 2>'$tmp/runaway.err'; test \$? = 2 && \
   grep -q 'runaway.csv, line 3, column 2 (variable text): the cell runs on for more than 256 MiB' '$tmp/runaway.err'"

# A small compressed file whose header is 30,000,000 delimiters: refused by its
# width, within 400 MB, where it once took some GB per 100 MB of commas.
{ head -c 30000000 /dev/zero | tr '\0' ','; printf '\n1\n'; } | gzip -1 >"$tmp/commas.csv.gz"
check "a header of 30,000,000 delimiters is refused by its width, within memory" bash -c \
  "(ulimit -v 400000; '$cb' '$tmp/commas.csv.gz' --quiet >/dev/null 2>'$tmp/commas.err'); test \$? = 2 && \
   grep -q 'commas.csv.gz, line 1: the row has more than 1,000,000 cells' '$tmp/commas.err'"

# Out of memory at any point ends with exit 2 and a message, never an abort:
# the address space is limited step by step from too small to start to
# enough for the whole run.
oom_run() {  # limit in KiB: the status, and a message when the run failed
  local status
  (ulimit -v "$1"; "$cb" "$tmp/labels/datapackage.json" 'CODEBOOK x' --format html -o "$tmp/oom.html" --quiet \
     2>"$tmp/oom.err"; echo $? >"$tmp/oom.status")
  status=$(cat "$tmp/oom.status")
  [ "$status" = 0 ] || { [ "$status" = 2 ] && grep -q 'out of memory while reading' "$tmp/oom.err"; } || {
    echo "limit $1 KiB: status $status: $(head -c 300 "$tmp/oom.err")"; return 1; }
}
oom_sweep() {
  local limit
  for limit in $(seq 16000 4000 160000); do oom_run "$limit" || return 1; done
  oom_run 160000 && test "$(cat "$tmp/oom.status")" = 0
}
check "out of memory ends in exit 2 and a message, at every limit" oom_sweep

# The same with a file read by four threads: a thread the system will not
# start under the limit (no room for its stack) is done without, or the run
# ends as out of memory; it once ended in "internal error" or, a helper
# having started, in an abort.
awk 'BEGIN { print "id,age,income,region,score";
             for (i = 1; i <= 60000; i++) printf "%d,%d,%.2f,%d,%.3f\n", i, 18 + i % 60, 1000 + i * 0.37, i % 7, (i % 1000) / 7 }' \
  >"$tmp/threads.csv"
threads_sweep() {
  local limit status
  for limit in $(seq 16000 4000 100000); do
    (ulimit -v "$limit"; "$cb" "$tmp/threads.csv" --threads 4 --format html -o "$tmp/threads.html" --quiet \
       2>"$tmp/threads.err"; echo $? >"$tmp/threads.status")
    status=$(cat "$tmp/threads.status")
    [ "$status" = 0 ] || { [ "$status" = 2 ] && grep -q 'out of memory while' "$tmp/threads.err"; } || {
      echo "limit $limit KiB: status $status: $(head -c 300 "$tmp/threads.err")"; return 1; }
  done
}
check "threads that cannot start end in exit 2 and a message, or are done without" threads_sweep

# What let that sweep abort now and then: a thread_local object with a
# destructor, whose registration glibc makes with an allocation on the
# thread's first use and, when that fails, answers with an abort ("failed to
# register TLS destructor"). Rooms a thread keeps are reached through plain
# pointers instead (host/common/thread_room.h); no binary may ask for one.
no_thread_destructors() {
  local f
  for f in "$cb" "$build"/*.so; do
    # nm's whole output first: grep -q leaving early would fail the pipe.
    if [[ $(nm -D --undefined-only "$f") == *__cxa_thread_atexit* ]]; then echo "$f registers thread_local destructors"; return 1; fi
  done
}
check "no thread_local object has a destructor to register" no_thread_destructors

finish
