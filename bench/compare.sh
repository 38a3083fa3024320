#!/usr/bin/env bash
# End-to-end comparison of the codebook program with the limit of the machine
# and with its peers, every ratio from one interleaved run.
#
#   bench/compare.sh [--markdown] [--no-peers] [--no-early] [--no-wide] [--no-distinct] N [RUNS]
#
# Contenders, each run RUNS times (5) in turn (round r runs every contender
# once before round r + 1 starts, so a change in the machine's load hits all
# of them alike); medians of wall time, CPU time (user + system) and peak RSS:
#   codebook       the program, default statistics, JSON to /dev/null, every core
#   codebook-1t    the same with --threads 1
#   limit-1t/2t    bench/limit.cpp: every field to a double (fast_float), count
#                  and sum per column, on one and on two threads
#   pandas, data.table   bench/peers/*: the same numbers as our default run
#   duckdb-summarize, duckdb-counts   DuckDB (npm @duckdb/node-api): SUMMARIZE,
#                  and count() of every column
#   age            the program with `CODEBOOK age` alone
#   early-stop     a command whose items all pass MAXCATS within a few cases
#   wide, wide-limit     5,000 variables x 10,000 cases, HTML; the limit on it
#   distinct, distinct-limit   1,000,000 distinct strings listed
#                  (MAXCATS=1000000); the limit counting distinct texts
# The survey of N cases is generated once into bench/out/ (git-ignored);
# DuckDB is installed there with npm when missing. Raw figures go to
# bench/out/results-N.txt; --markdown prints the section that
# bench/update_docs.sh puts into docs/performance.md.
#
# Environment: CODEBOOK (default build/codebook), PYTHON_PEER
# (/usr/bin/python3), RSCRIPT (Rscript), NODE (node), BENCH_OUT (bench/out).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OUT=${BENCH_OUT:-$ROOT/bench/out}
MARKDOWN=0 PEERS=1 EARLY_RUN=1 WIDE_RUN=1 DISTINCT_RUN=1
while [[ $# -gt 0 && $1 == --* ]]; do
  case $1 in
    --markdown) MARKDOWN=1 ;;
    --no-peers) PEERS=0 ;;
    --no-early) EARLY_RUN=0 ;;
    --no-wide) WIDE_RUN=0 ;;
    --no-distinct) DISTINCT_RUN=0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
if [[ $# -lt 1 || ! $1 =~ ^[0-9]+$ ]]; then
  echo "usage: bench/compare.sh [--markdown] [--no-peers] [--no-early] [--no-wide] [--no-distinct] N [RUNS]" >&2
  exit 2
fi
N=$1
RUNS=${2:-5}
DEFAULT_CODEBOOK=$ROOT/build/codebook
CODEBOOK=${CODEBOOK:-$DEFAULT_CODEBOOK}
PYTHON_PEER=${PYTHON_PEER:-/usr/bin/python3}
RSCRIPT=${RSCRIPT:-Rscript}
NODE=${NODE:-node}
log() { echo "$*" >&2; }

if [[ ! -x /usr/bin/time ]]; then
  log "installing GNU time"
  SUDO=; [[ $(id -u) -ne 0 ]] && SUDO=sudo
  $SUDO apt-get install -y -q time >&2
fi
if ((PEERS)); then
  # The peers come from Debian's packages; installed here, never by the tests.
  missing=()
  "$PYTHON_PEER" -c 'import pandas' 2>/dev/null || missing+=(python3-pandas)
  command -v "$RSCRIPT" >/dev/null && "$RSCRIPT" -e 'library(data.table)' >/dev/null 2>&1 || missing+=(r-base-core r-cran-data.table)
  command -v "$NODE" >/dev/null || missing+=(nodejs npm)
  if ((${#missing[@]})); then
    log "installing ${missing[*]}"
    SUDO=; [[ $(id -u) -ne 0 ]] && SUDO=sudo
    $SUDO apt-get install -y -q "${missing[@]}" >&2
  fi
fi
if [[ ! -x $CODEBOOK ]]; then
  if [[ $CODEBOOK == "$DEFAULT_CODEBOOK" ]]; then make -C "$ROOT" build >&2; else log "no program at $CODEBOOK"; exit 2; fi
fi
mkdir -p "$OUT"
LIMIT=$OUT/limit
if [[ ! -x $LIMIT || $ROOT/bench/limit.cpp -nt $LIMIT ]]; then
  log "building the limit program"
  g++ -O3 -std=c++20 -o "$LIMIT" "$ROOT/bench/limit.cpp" -pthread
fi
DUCKDB=0
if ((PEERS)) && command -v "$NODE" >/dev/null; then
  if [[ ! -d $OUT/npm/node_modules/@duckdb/node-api ]]; then
    log "installing @duckdb/node-api into $OUT/npm"
    mkdir -p "$OUT/npm"
    npm install --silent --no-audit --no-fund --prefix "$OUT/npm" @duckdb/node-api >&2 || true
  fi
  if [[ -d $OUT/npm/node_modules/@duckdb/node-api ]]; then
    cp "$ROOT/bench/peers/duckdb_codebook.mjs" "$OUT/npm/"  # resolves the package from there
    DUCKDB=1
  fi
fi

# The peers must not inherit a BLAS tuning meant for another CPU.
PEER_ENV=(env)
if [[ -n ${OPENBLAS_CORETYPE+x} ]]; then PEER_ENV=(env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE); fi

dataset() {  # dataset DIR ARGS... : generates once
  local dir=$1; shift
  if [[ ! -f $dir/datapackage.json ]]; then
    log "generating $dir"
    python3 "$ROOT/bench/generate_dataset.py" "$@" "$dir.tmp" >&2
    rm -rf "$dir" && mv "$dir.tmp" "$dir"
  fi
}
SURVEY=$OUT/survey-$N
dataset "$SURVEY" "$N"
DATA=$SURVEY/datapackage.json
CSV=$SURVEY/survey.csv
CSV_BYTES=$(stat -c %s "$CSV")
WIDE=$OUT/wide-5000x10000
if ((WIDE_RUN)); then dataset "$WIDE" --wide 5000 10000; fi
DISTINCT=$OUT/distinct-1000000
if ((DISTINCT_RUN)) && [[ ! -f $DISTINCT/datapackage.json ]]; then
  log "generating $DISTINCT"
  python3 - "$DISTINCT" <<'PY'
import json, os, sys
d = sys.argv[1]
os.makedirs(d, exist_ok=True)
with open(f"{d}/data.csv", "w") as f:
    f.write("s,x\n")
    f.writelines(f"k{i:07d},{i % 100}\n" for i in range(1_000_000))
json.dump({"resources": [{"path": "data.csv", "schema": {"fields": [
    {"name": "s", "type": "string", "constraints": {"maxLength": 8}},
    {"name": "x", "type": "integer", "measure": "scale"}]}}]}, open(f"{d}/datapackage.json", "w"))
PY
fi

# The contenders: name and command.
NAMES=() CMDS=()
add() { NAMES+=("$1"); shift; CMDS+=("$(printf '%q ' "$@")"); }
add codebook "$CODEBOOK" "$DATA" -o /dev/null --format json --quiet
add codebook-1t "$CODEBOOK" "$DATA" -o /dev/null --format json --quiet --threads 1
add limit-1t "$LIMIT" --threads 1 "$CSV"
add limit-2t "$LIMIT" --threads 2 "$CSV"
add age "$CODEBOOK" "$DATA" "CODEBOOK age" -o /dev/null --format json --quiet
EARLY='CODEBOOK postcode id [N] income [N] /OPTIONS MAXCATS=5'
if ((EARLY_RUN)); then add early-stop "$CODEBOOK" "$DATA" "$EARLY" -o /dev/null --format json --quiet; fi
if ((PEERS)); then
  add pandas "${PEER_ENV[@]}" "$PYTHON_PEER" "$ROOT/bench/peers/pandas_codebook.py" "$DATA"
  add data.table "${PEER_ENV[@]}" "$RSCRIPT" "$ROOT/bench/peers/datatable_codebook.R" "$DATA"
  if ((DUCKDB)); then
    add duckdb-summarize "$NODE" "$OUT/npm/duckdb_codebook.mjs" summarize "$CSV"
    add duckdb-counts "$NODE" "$OUT/npm/duckdb_codebook.mjs" counts "$CSV"
  fi
fi
if ((WIDE_RUN)); then
  add wide "$CODEBOOK" "$WIDE/datapackage.json" -o /dev/null --format html --quiet
  add wide-limit "$LIMIT" --threads 2 "$WIDE/wide.csv"
fi
if ((DISTINCT_RUN)); then
  add distinct "$CODEBOOK" "$DISTINCT/datapackage.json" "CODEBOOK s /OPTIONS MAXCATS=1000000" -o /dev/null --format json --quiet
  add distinct-limit "$LIMIT" --strings "$DISTINCT/data.csv"
fi

TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
for f in "$CSV" "$WIDE/wide.csv" "$DISTINCT/data.csv"; do [[ -f $f ]] && cat "$f" >/dev/null; done  # page cache
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
for ((r = 1; r <= RUNS; r++)); do
  for i in "${!NAMES[@]}"; do
    name=${NAMES[$i]}
    if ! eval "/usr/bin/time -f '%e %U %S %M' -o '$TMP/t' ${CMDS[$i]}" >/dev/null 2>"$TMP/err"; then
      log "$name failed:"; tail -3 "$TMP/err" >&2
      echo "nan nan nan nan" >"$TMP/t"
    fi
    read -r wall user sys rss < <(tail -1 "$TMP/t")
    echo "$wall" >>"$TMP/$name.wall"
    awk -v u="$user" -v s="$sys" 'BEGIN { if (u == "nan") print "nan"; else print u + s }' >>"$TMP/$name.cpu"
    echo "$rss" >>"$TMP/$name.rss"
  done
  log "round $r of $RUNS done"
done
LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)

median() { { grep -v nan "$1" || true; } | sort -g | awk '{v[NR]=$1} END {if (NR == 0) print "nan"; else if (NR%2) print v[(NR+1)/2]; else print (v[NR/2]+v[NR/2+1])/2}'; }
declare -A WALL CPU RSS
RESULTS=$OUT/results-$N.txt
: >"$RESULTS"
for name in "${NAMES[@]}"; do
  WALL[$name]=$(median "$TMP/$name.wall"); CPU[$name]=$(median "$TMP/$name.cpu"); RSS[$name]=$(median "$TMP/$name.rss")
  echo "$name ${WALL[$name]} ${CPU[$name]} ${RSS[$name]}" >>"$RESULTS"
done
echo "csv_bytes $CSV_BYTES 0 0" >>"$RESULTS"
echo "load $LOAD_BEFORE / $LOAD_AFTER" >>"$RESULTS"

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "nan" || b == "nan" || a == "" || b == "" || b + 0 == 0) print "n/a"; else printf "%.2f", a / b }'; }
mib() { awk -v k="$1" 'BEGIN { if (k == "nan" || k == "") print "n/a"; else printf "%.0f", k / 1024 }'; }
has() { [[ -n ${WALL[$1]+x} ]]; }
# target NAME VALUE OP BOUND : one line of the targets table
TARGETS=()
target() {
  local verdict
  verdict=$(awk -v v="$2" -v b="$4" -v op="$3" 'BEGIN { if (v == "n/a") print "n/a"; else if ((op == "<=" && v + 0 <= b + 0) || (op == ">=" && v + 0 >= b + 0)) print "met"; else print "missed" }')
  TARGETS+=("$1|$2|$3 $4|$verdict")
}
target "wall time / two-thread limit" "$(ratio "${WALL[codebook]}" "${WALL[limit-2t]}")" "<=" 1.5
target "CPU time / one-thread limit" "$(ratio "${CPU[codebook]}" "${CPU[limit-1t]}")" "<=" 2
if has pandas; then
  target "pandas / ours (wall)" "$(ratio "${WALL[pandas]}" "${WALL[codebook]}")" ">=" 6
  target "data.table / ours (wall)" "$(ratio "${WALL[data.table]}" "${WALL[codebook]}")" ">=" 4
fi
if has duckdb-summarize; then target "DuckDB SUMMARIZE / ours (wall)" "$(ratio "${WALL[duckdb-summarize]}" "${WALL[codebook]}")" ">=" 5; fi
target "\`CODEBOOK age\` / full run (wall)" "$(ratio "${WALL[age]}" "${WALL[codebook]}")" "<=" 0.4
if has wide; then target "wide file / its limit (wall)" "$(ratio "${WALL[wide]}" "${WALL[wide-limit]}")" "<=" 3; fi
if has distinct; then
  target "1,000,000 distinct listed / counting limit (wall)" "$(ratio "${WALL[distinct]}" "${WALL[distinct-limit]}")" "<=" 3
  dbytes=$(stat -c %s "$DISTINCT/data.csv")
  target "1,000,000 distinct listed: peak RSS / CSV size" "$(awk -v r="${RSS[distinct]}" -v b="$dbytes" 'BEGIN { if (r == "nan") print "n/a"; else printf "%.1f", r * 1024 / b }')" "<=" 10
fi

if ((MARKDOWN)); then
  echo "### $(sed ':a;s/\B[0-9]\{3\}\>/,&/;ta' <<<"$N") cases"
  echo
  echo "CSV: $(mib $((CSV_BYTES / 1024))) MiB; $RUNS interleaved rounds, medians; load average (1, 5, 15 min) $LOAD_BEFORE before, $LOAD_AFTER after."
  echo
  echo "| run | wall (s) | CPU (s) | peak RSS (MiB) | wall / codebook |"
  echo "|---|---:|---:|---:|---:|"
  for name in "${NAMES[@]}"; do
    echo "| $name | ${WALL[$name]} | ${CPU[$name]} | $(mib "${RSS[$name]}") | $(ratio "${WALL[$name]}" "${WALL[codebook]}") |"
  done
  echo
  echo "| target | measured | bound | |"
  echo "|---|---:|---:|---|"
  for t in "${TARGETS[@]}"; do echo "| ${t//|/ | } |"; done
  echo
else
  printf '%s cases, CSV %s MiB, %s interleaved rounds, medians; load %s before, %s after\n' \
    "$N" "$(mib $((CSV_BYTES / 1024)))" "$RUNS" "$LOAD_BEFORE" "$LOAD_AFTER"
  printf '%-18s %8s %8s %9s %10s\n' run "wall s" "CPU s" "RSS MiB" "wall/ours"
  for name in "${NAMES[@]}"; do
    printf '%-18s %8s %8s %9s %10s\n' "$name" "${WALL[$name]}" "${CPU[$name]}" "$(mib "${RSS[$name]}")" \
      "$(ratio "${WALL[$name]}" "${WALL[codebook]}")"
  done
  echo
  for t in "${TARGETS[@]}"; do IFS='|' read -r what value bound verdict <<<"$t"; printf '%-50s %6s  (%s)  %s\n' "$what" "$value" "$bound" "$verdict"; done
fi
