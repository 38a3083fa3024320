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
    [[ $n -eq 1000000 ]] || flags+=(--no-wide)
    "$ROOT/bench/compare.sh" "${flags[@]}" "$n" "$runs"
  done
  profile_n=$(for n in $SIZES; do echo "$n"; done | grep -x 1000000 || true)
  if [[ -n $profile_n ]] && perf record -q -o "$SECTION.perf" true >/dev/null 2>&1; then
    # Where our time goes: the functions with the most samples, per thread.
    perf record -q -o "$SECTION.perf" "$CODEBOOK" "$OUT/survey-$profile_n/datapackage.json" -o /dev/null \
      --format json --quiet >/dev/null 2>&1
    echo "### Where the time goes (1,000,000 cases)"
    echo
    echo "CPU samples of one run (\`perf record\`), by thread: the CSV reader parses blocks of cases on"
    echo "its own thread while the main thread aggregates them and then computes the results."
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
            name = (t == main) ? "main: pass, statistics, output" : "CSV reader"
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
        res[n] = {k: (float(t), float(m)) for k, t, m in (line.split() for line in f)}
def ok(flag):
    return "met" if flag else "**missed**"
rows = []
if 1000000 in res:
    r = res[1000000]
    ours_t, ours_m = r["ours"]
    ours_t = max(ours_t, 0.005)  # GNU time reports hundredths
    if "pandas" in r:
        rows.append(("at least 5x faster than pandas on 1,000,000 cases", "%.1fx" % (r["pandas"][0] / ours_t),
                     ok(r["pandas"][0] >= 5 * ours_t)))
        rows.append(("at least 2x faster than data.table on 1,000,000 cases",
                     "%.1fx" % (r["data.table"][0] / ours_t), ok(r["data.table"][0] >= 2 * ours_t)))
        rows.append(("peak RSS on 1,000,000 cases below pandas'", "%.0f vs %.0f MiB" % (ours_m / 1024, r["pandas"][1] / 1024),
                     ok(ours_m < r["pandas"][1])))
    csv = r["csv_bytes"][0]
    rows.append(("peak RSS on 1,000,000 cases below 2x the CSV size", "%.0f vs %.0f MiB" % (ours_m / 1024, 2 * csv / 2**20),
                 ok(ours_m * 1024 < 2 * csv)))
    if "early-stop" in r:
        rows.append(("early stop a small fraction of the full run (1,000,000 cases)",
                     "%.0f%%" % (100 * r["early-stop"][0] / ours_t), ok(r["early-stop"][0] <= 0.1 * ours_t)))
    if 10000000 in res:
        rows.append(("10,000,000 cases within 12x of 1,000,000", "%.1fx" % (res[10000000]["ours"][0] / ours_t),
                     ok(res[10000000]["ours"][0] <= 12 * ours_t)))
if rows:
    print("### Targets\n")
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
