#!/usr/bin/env bash
# Measures the end-to-end figures and rewrites them in docs/performance.md,
# between the markers <!-- end-to-end:begin --> and <!-- end-to-end:end -->.
# Everything else in the file is left as it is.
#
#   CODEBOOK=build-bench/codebook bench/update_docs.sh
#
# Environment: SIZES (case counts, "100000 1000000 10000000"), RUNS (5; 3 for
# ten million cases and more), CODEBOOK and the rest as for bench/compare.sh.
# Run it on an otherwise idle machine: the figures are wall times.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OUT=${BENCH_OUT:-$ROOT/bench/out}
DOC=${DOC:-$ROOT/docs/performance.md}
SIZES=${SIZES:-"100000 1000000 10000000"}
export CODEBOOK=${CODEBOOK:-$ROOT/build/codebook}

SECTION=$(mktemp)
trap 'rm -f "$SECTION"' EXIT

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
mem=$(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)
os=$(. /etc/os-release && echo "$PRETTY_NAME")
gxx=$(g++ --version | head -1)
pandas=$(/usr/bin/python3 -c 'import pandas; print(pandas.__version__)' 2>/dev/null || echo "?")
dt=$(Rscript -e 'cat(as.character(packageVersion("data.table")))' 2>/dev/null || echo "?")
r=$(Rscript -e 'cat(R.version$major, R.version$minor, sep=".")' 2>/dev/null || echo "?")
build=$(grep -s '^CMAKE_BUILD_TYPE' "$(dirname "$CODEBOOK")/CMakeCache.txt" | cut -d= -f2 || true)

{
  echo "Measured $(date -u +%Y-%m-%d) by \`bench/update_docs.sh\` (commit $(git -C "$ROOT" rev-parse --short HEAD))"
  echo "on $(nproc) cores ($cpu), $mem memory, $os; $gxx${build:+, $build build};"
  echo "pandas $pandas (Debian's python3), R $r with data.table $dt. Wall time and peak resident"
  echo "memory come from GNU time; the CSV is in the page cache for every run."
  echo
  for n in $SIZES; do
    runs=${RUNS:-$([[ $n -ge 10000000 ]] && echo 3 || echo 5)}
    flags=(--markdown)
    [[ $n -eq 1000000 ]] || flags+=(--no-wide --no-distinct)
    "$ROOT/bench/compare.sh" "${flags[@]}" "$n" "$runs"
  done
  profile_n=$(for n in $SIZES; do echo "$n"; done | grep -x 1000000 || true)
  if [[ -n $profile_n ]] && perf record -q -o "$SECTION.perf" true >/dev/null 2>&1; then
    # Where our time goes: the functions with the most samples, per thread.
    perf record -q -o "$SECTION.perf" "$CODEBOOK" "$OUT/survey-$profile_n/datapackage.json" -o /dev/null \
      --format json --quiet >/dev/null 2>&1
    echo "### Where the time goes (1,000,000 cases)"
    echo
    echo "CPU samples of one run (\`perf record\`), by thread: worker threads read, convert and gather"
    echo "stretches of the file; the main thread runs the procedure's pass, merges and computes the results."
    echo
    echo "| thread | share | functions with the most samples (share of all samples) |"
    echo "|---|---:|---|"
    perf report -q -i "$SECTION.perf" --no-children -g none --sort pid,symbol 2>/dev/null |
      awk '
        NF >= 3 && $1 ~ /%$/ {
          pct = $1 + 0; key = $2; tid = key; sub(/:.*/, "", tid)
          sym = $0; sub(/^ *[0-9.]+% +[^ ]+ +\[[^]]*\] +/, "", sym); sub(/( +-)* *$/, "", sym); gsub(/\|/, "\\|", sym)
          total[key] += pct
          if (!(key in first) || tid + 0 < main + 0) { if (main == "" || tid + 0 < main + 0) main = tid }
          first[key] = 1
          if (count[key] < 6 && pct >= 1.0) { list[key] = list[key] (count[key] ? "; " : "") "`" sym "` " pct "%"; count[key]++ }
        }
        END {
          for (k in total) {
            t = k; sub(/:.*/, "", t)
            name = (t == main) ? "main: pass, merges, statistics, output" : "worker"
            printf "| %s | %.0f%% | %s |\n", name, total[k], list[k]
          }
        }' | sort -r
    echo
    rm -f "$SECTION.perf" "$SECTION.perf.old"
  fi
  python3 - "$OUT" $SIZES <<'EOF'
import os, sys
out, sizes = sys.argv[1], [int(s) for s in sys.argv[2:]]
res = {}
for n in sizes:
    with open(os.path.join(out, "results-%d.txt" % n)) as f:
        res[n] = {p[0]: p[1:] for p in (line.split() for line in f) if p and p[0] != "load"}
def num(v):
    try:
        return float(v)
    except ValueError:
        return float("nan")
rows = []
if 1000000 in res and 10000000 in res:
    a, b = num(res[1000000]["codebook"][0]), num(res[10000000]["codebook"][0])
    rows.append(("10,000,000 cases within 10% of linear (10x the 1,000,000-case time)", "%.1fx" % (b / a),
                 "met" if b <= 11 * a else "**missed**"))
    pandas = res[1000000].get("pandas")
    if pandas:
        m10, mp = num(res[10000000]["codebook"][2]), num(pandas[2])
        rows.append(("peak RSS at 10,000,000 cases below pandas' at 1,000,000", "%.0f vs %.0f MiB" % (m10 / 1024, mp / 1024),
                     "met" if m10 < mp else "**missed**"))
if rows:
    print("### Across sizes\n")
    print("| target | measured | |")
    print("|---|---:|---|")
    for row in rows:
        print("| %s | %s | %s |" % row)
    print()
EOF
} >"$SECTION"

python3 - "$DOC" "$SECTION" <<'EOF'
import sys
doc, section = sys.argv[1], open(sys.argv[2]).read()
begin, end = "<!-- end-to-end:begin -->", "<!-- end-to-end:end -->"
try:
    text = open(doc).read()
except FileNotFoundError:
    text = "# Performance\n"
block = begin + "\n" + section.rstrip("\n") + "\n" + end
if begin in text and end in text:
    head, rest = text.split(begin, 1)
    text = head + block + rest.split(end, 1)[1]
else:
    text = text.rstrip("\n") + "\n\n## End to end\n\n" + block + "\n"
open(doc, "w").write(text)
EOF
echo "updated $DOC" >&2
