#!/usr/bin/env bash
# End-to-end comparison of the codebook program with a pandas and a data.table
# script that compute the same numbers from the same CSV.
#
#   bench/compare.sh [--markdown] [--no-peers] [--no-early] [--no-wide] N [RUNS]
#
# N cases of the benchmark survey are generated once into bench/out/survey-N/
# (git-ignored) and reused. Every command runs RUNS times (5); the table shows the
# median wall time, the median peak resident memory and the ratios peer/ours.
# Besides the full run it measures an early stop (only items over MAXCATS, so the
# pass ends after a few cases) and a wide file (5,000 variables x 10,000 cases,
# HTML output). --markdown prints a Markdown section (bench/update_docs.sh puts it
# into docs/performance.md); the raw figures also go to bench/out/results-N.txt.
#
# Environment: CODEBOOK (program, default build/codebook, built with make when
# missing), PYTHON_PEER (/usr/bin/python3: Debian's, with pandas), RSCRIPT (Rscript).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OUT=${BENCH_OUT:-$ROOT/bench/out}
MARKDOWN=0
PEERS=1
EARLY_RUN=1
WIDE_RUN=1
while [[ $# -gt 0 && $1 == --* ]]; do
  case $1 in
    --markdown) MARKDOWN=1 ;;
    --no-peers) PEERS=0 ;;
    --no-early) EARLY_RUN=0 ;;
    --no-wide) WIDE_RUN=0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
if [[ $# -lt 1 || ! $1 =~ ^[0-9]+$ ]]; then
  echo "usage: bench/compare.sh [--markdown] [--no-peers] [--no-early] [--no-wide] N [RUNS]" >&2
  exit 2
fi
N=$1
RUNS=${2:-5}
WIDE_VARS=5000
WIDE_CASES=10000

DEFAULT_CODEBOOK=$ROOT/build/codebook
CODEBOOK=${CODEBOOK:-$DEFAULT_CODEBOOK}
PYTHON_PEER=${PYTHON_PEER:-/usr/bin/python3}
RSCRIPT=${RSCRIPT:-Rscript}

log() { echo "$*" >&2; }

if [[ ! -x /usr/bin/time ]]; then
  log "installing GNU time"
  SUDO=; [[ $(id -u) -ne 0 ]] && SUDO=sudo
  $SUDO apt-get install -y -q time >&2
fi
if [[ ! -x $CODEBOOK ]]; then
  if [[ $CODEBOOK == "$DEFAULT_CODEBOOK" ]]; then
    log "building the program (make)"
    make -C "$ROOT" build >&2
  else
    log "no program at $CODEBOOK"
    exit 2
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
CSV_BYTES=$(stat -c %s "$SURVEY/survey.csv")
cat "$SURVEY/survey.csv" >/dev/null  # every contender starts with the file in the page cache

TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT

# measure NAME CMD... : runs CMD RUNS times; sets MED_TIME (s) and MED_RSS (KiB).
median() { sort -n | awk '{v[NR]=$1} END {if (NR%2) print v[(NR+1)/2]; else print (v[NR/2]+v[NR/2+1])/2}'; }
measure() {
  local name=$1; shift
  : >"$TMP/times"; : >"$TMP/rss"
  for ((i = 1; i <= RUNS; i++)); do
    if ! /usr/bin/time -f "%e %M" -o "$TMP/t" "$@" >/dev/null 2>"$TMP/err"; then
      log "$name failed:"; tail -5 "$TMP/err" >&2; tail -1 "$TMP/t" >&2
      MED_TIME=nan; MED_RSS=nan
      return 0
    fi
    local t m
    read -r t m < <(tail -1 "$TMP/t")
    echo "$t" >>"$TMP/times"; echo "$m" >>"$TMP/rss"
  done
  MED_TIME=$(median <"$TMP/times")
  MED_RSS=$(median <"$TMP/rss")
  log "$name: $(tr '\n' ' ' <"$TMP/times")s; median ${MED_TIME}s, ${MED_RSS} KiB"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "nan" || b == "nan" || b + 0 == 0) print "n/a"; else if (a / b < 0.95) printf "%.2f", a / b; else printf "%.1f", a / b }'; }
mib() { awk -v k="$1" 'BEGIN { if (k == "nan") print "n/a"; else printf "%.0f", k / 1024 }'; }

RESULTS=$OUT/results-$N.txt
: >"$RESULTS"
record() { echo "$1 $2 $3" >>"$RESULTS"; }  # key seconds KiB

measure ours "$CODEBOOK" "$DATA" -o /dev/null --format json --quiet
OURS_T=$MED_TIME; OURS_M=$MED_RSS; record ours "$OURS_T" "$OURS_M"
if ((PEERS)); then
  measure pandas "${PEER_ENV[@]}" "$PYTHON_PEER" "$ROOT/bench/peers/pandas_codebook.py" "$DATA"
  PANDAS_T=$MED_TIME; PANDAS_M=$MED_RSS; record pandas "$PANDAS_T" "$PANDAS_M"
  measure data.table "${PEER_ENV[@]}" "$RSCRIPT" "$ROOT/bench/peers/datatable_codebook.R" "$DATA"
  DT_T=$MED_TIME; DT_M=$MED_RSS; record data.table "$DT_T" "$DT_M"
fi
if ((EARLY_RUN)); then
  # Only items over MAXCATS: the pass may stop after a handful of cases.
  EARLY='CODEBOOK postcode id [N] income [N] /OPTIONS MAXCATS=5'
  measure early-stop "$CODEBOOK" "$DATA" "$EARLY" -o /dev/null --format json --quiet
  EARLY_T=$MED_TIME; EARLY_M=$MED_RSS; record early-stop "$EARLY_T" "$EARLY_M"
fi
if ((WIDE_RUN)); then
  WIDE=$OUT/wide-${WIDE_VARS}x$WIDE_CASES
  dataset "$WIDE" --wide "$WIDE_VARS" "$WIDE_CASES"
  cat "$WIDE/wide.csv" >/dev/null
  measure wide "$CODEBOOK" "$WIDE/datapackage.json" -o /dev/null --format html --quiet
  WIDE_T=$MED_TIME; WIDE_M=$MED_RSS; record wide "$WIDE_T" "$WIDE_M"
  WIDE_BYTES=$(stat -c %s "$WIDE/wide.csv")
fi

CSV_MIB=$(mib $((CSV_BYTES / 1024)))
if ((MARKDOWN)); then
  echo "### $(sed ':a;s/\B[0-9]\{3\}\>/,&/;ta' <<<"$N") cases"
  echo
  echo "CSV: $CSV_MIB MiB; each command ran $RUNS times, medians shown."
  echo
  echo "| program | wall time (s) | peak RSS (MiB) | time / ours | RSS / ours |"
  echo "|---|---:|---:|---:|---:|"
  echo "| codebook | $OURS_T | $(mib "$OURS_M") | 1.0 | 1.0 |"
  if ((PEERS)); then
    echo "| pandas | $PANDAS_T | $(mib "$PANDAS_M") | $(ratio "$PANDAS_T" "$OURS_T") | $(ratio "$PANDAS_M" "$OURS_M") |"
    echo "| data.table | $DT_T | $(mib "$DT_M") | $(ratio "$DT_T" "$OURS_T") | $(ratio "$DT_M" "$OURS_M") |"
  fi
  if ((EARLY_RUN || WIDE_RUN)); then
    echo
    echo "| codebook run | wall time (s) | peak RSS (MiB) | time / full run |"
    echo "|---|---:|---:|---:|"
  fi
  if ((EARLY_RUN)); then
    echo "| early stop: \`$EARLY\` | $EARLY_T | $(mib "$EARLY_M") | $(ratio "$EARLY_T" "$OURS_T") |"
  fi
  if ((WIDE_RUN)); then
    echo "| wide file: $WIDE_VARS variables x $WIDE_CASES cases ($(mib $((WIDE_BYTES / 1024))) MiB CSV), HTML | $WIDE_T | $(mib "$WIDE_M") | |"
  fi
  echo
else
  printf '%s cases, CSV %s MiB, %s runs, medians\n' "$N" "$CSV_MIB" "$RUNS"
  printf '%-12s %10s %10s %10s %10s\n' program "wall s" "RSS MiB" "t/ours" "RSS/ours"
  printf '%-12s %10s %10s %10s %10s\n' codebook "$OURS_T" "$(mib "$OURS_M")" 1.0 1.0
  if ((PEERS)); then
    printf '%-12s %10s %10s %10s %10s\n' pandas "$PANDAS_T" "$(mib "$PANDAS_M")" "$(ratio "$PANDAS_T" "$OURS_T")" "$(ratio "$PANDAS_M" "$OURS_M")"
    printf '%-12s %10s %10s %10s %10s\n' data.table "$DT_T" "$(mib "$DT_M")" "$(ratio "$DT_T" "$OURS_T")" "$(ratio "$DT_M" "$OURS_M")"
  fi
  if ((EARLY_RUN)); then
    printf '%-12s %10s %10s %10s   (%s)\n' early-stop "$EARLY_T" "$(mib "$EARLY_M")" "$(ratio "$EARLY_T" "$OURS_T")" "$EARLY"
  fi
  if ((WIDE_RUN)); then
    printf '%-12s %10s %10s %10s   (%s variables x %s cases, html)\n' wide "$WIDE_T" "$(mib "$WIDE_M")" "" "$WIDE_VARS" "$WIDE_CASES"
  fi
fi
echo "csv_bytes $CSV_BYTES 0" >>"$RESULTS"
