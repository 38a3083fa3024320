#!/usr/bin/env bash
# The benchmark survey as a Stata file: our run on it beside our run on the
# same data as CSV and beside pandas (read_stata plus the same statistics).
#
#   bench/compare_stata.sh N [RUNS]
#
# The survey of N cases (bench/out/survey-N/, made by generate_dataset.py as for
# compare.sh) is written once as survey.dta by build/foreign-writer, with a
# descriptor on top (stata.json: the weight, the sets, the levels and the
# user-missing values the file holds as .a, .b, ...). Each command runs RUNS
# times (5); the table shows median wall time and peak RSS, and the two targets:
# Stata/CSV at most 1.5, pandas/ours above 1. Figures also go to
# bench/out/stata-N.txt. Environment as for compare.sh (CODEBOOK, PYTHON_PEER,
# BENCH_OUT) and FOREIGN_WRITER (build/foreign-writer).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OUT=${BENCH_OUT:-$ROOT/bench/out}
if [[ $# -lt 1 || ! $1 =~ ^[0-9]+$ ]]; then
  echo "usage: bench/compare_stata.sh N [RUNS]" >&2
  exit 2
fi
N=$1
RUNS=${2:-5}
CODEBOOK=${CODEBOOK:-$ROOT/build/codebook}
WRITER=${FOREIGN_WRITER:-$(dirname "$CODEBOOK")/foreign-writer}
PYTHON_PEER=${PYTHON_PEER:-/usr/bin/python3}
log() { echo "$*" >&2; }
[[ -x /usr/bin/time ]] || { log "installing GNU time"; apt-get install -y -q time >&2; }
[[ -x $CODEBOOK && -x $WRITER ]] || { log "building"; make -C "$ROOT" build >&2; }

SURVEY=$OUT/survey-$N
if [[ ! -f $SURVEY/datapackage.json ]]; then
  log "generating $SURVEY"
  python3 "$ROOT/bench/generate_dataset.py" "$N" "$SURVEY.tmp" >&2
  rm -rf "$SURVEY" && mv "$SURVEY.tmp" "$SURVEY"
fi
if [[ ! -f $SURVEY/survey.dta || ! -f $SURVEY/stata.json ]]; then
  log "writing $SURVEY/survey.dta"
  "$WRITER" --on-top "$SURVEY/stata.json" "$SURVEY/datapackage.json" "$SURVEY/survey.dta" >&2
fi
cat "$SURVEY/survey.csv" "$SURVEY/survey.dta" >/dev/null  # both in the page cache

TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
median() { sort -n | awk '{v[NR]=$1} END {if (NR%2) print v[(NR+1)/2]; else print (v[NR/2]+v[NR/2+1])/2}'; }
measure() {  # measure NAME CMD... : sets MED_TIME (s) and MED_RSS (KiB)
  local name=$1; shift
  : >"$TMP/times"; : >"$TMP/rss"
  for ((i = 1; i <= RUNS; i++)); do
    if ! /usr/bin/time -f "%e %M" -o "$TMP/t" "$@" >/dev/null 2>"$TMP/err"; then
      log "$name failed:"; tail -5 "$TMP/err" >&2
      exit 1
    fi
    read -r t m < <(tail -1 "$TMP/t")
    echo "$t" >>"$TMP/times"; echo "$m" >>"$TMP/rss"
  done
  MED_TIME=$(median <"$TMP/times"); MED_RSS=$(median <"$TMP/rss")
  log "$name: $(tr '\n' ' ' <"$TMP/times")s; median ${MED_TIME}s, ${MED_RSS} KiB"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.0f", k / 1024 }'; }

measure csv "$CODEBOOK" "$SURVEY/datapackage.json" -o /dev/null --format json --quiet
CSV_T=$MED_TIME; CSV_M=$MED_RSS
measure stata "$CODEBOOK" "$SURVEY/stata.json" -o /dev/null --format json --quiet
DTA_T=$MED_TIME; DTA_M=$MED_RSS
measure pandas "$PYTHON_PEER" "$ROOT/bench/peers/pandas_codebook.py" --stata "$SURVEY/survey.dta"
PANDAS_T=$MED_TIME; PANDAS_M=$MED_RSS

STATA_VS_CSV=$(ratio "$DTA_T" "$CSV_T")
PANDAS_VS_STATA=$(ratio "$PANDAS_T" "$DTA_T")
{
  printf '%s cases; CSV %s MiB, Stata %s MiB; %s runs, medians\n' "$N" "$(mib $(($(stat -c %s "$SURVEY/survey.csv") / 1024)))" \
    "$(mib $(($(stat -c %s "$SURVEY/survey.dta") / 1024)))" "$RUNS"
  printf '%-34s %8s %8s\n' run "wall s" "RSS MiB"
  printf '%-34s %8s %8s\n' "codebook, CSV + descriptor" "$CSV_T" "$(mib "$CSV_M")"
  printf '%-34s %8s %8s\n' "codebook, Stata + descriptor" "$DTA_T" "$(mib "$DTA_M")"
  printf '%-34s %8s %8s\n' "pandas read_stata + statistics" "$PANDAS_T" "$(mib "$PANDAS_M")"
  printf 'Stata / CSV: %s (target: at most 1.5) %s\n' "$STATA_VS_CSV" \
    "$(awk -v r="$STATA_VS_CSV" 'BEGIN { print (r <= 1.5 ? "met" : "MISSED") }')"
  printf 'pandas / ours on Stata: %s (target: above 1) %s\n' "$PANDAS_VS_STATA" \
    "$(awk -v r="$PANDAS_VS_STATA" 'BEGIN { print (r > 1 ? "met" : "MISSED") }')"
} | tee "$OUT/stata-$N.txt"
