#!/usr/bin/env bash
# One process against a local Dask cluster on the benchmark survey in parts.
#
#   bench/scale_out.sh [--markdown] [N] [PARTS] [WORKERS]     (defaults: 10000000 10 2)
#
# The survey of N cases is generated once into bench/out/survey-N/ (as by
# compare.sh) and cut into PARTS CSV files of about equal size, each with the
# header row, under bench/out/survey-N-parts/ with a descriptor whose resource
# lists them. Then, with the files in the page cache:
#   - one process over all the parts (`codebook DESCRIPTOR -o report.html`);
#   - scripts/codebook_dask.py on a local cluster of WORKERS workers (plan, a
#     pass per part, merge), with the time of each step;
# and the two reports are compared byte for byte. The reports are HTML: the
# parts' passes always gather the overview's side statistics, so the one
# process gathers them too, for a like-for-like comparison. Wall times and peak memory
# come from GNU time; the load average of the machine before and after each
# run is printed beside them, since the figures mean little on a busy machine.
#
# Environment: CODEBOOK (default build/codebook), PYTHON (/usr/bin/python3,
# Debian's, with python3-distributed), BENCH_OUT (bench/out).
set -euo pipefail
export SOURCE_DATE_EPOCH=1767225600  # the reports say when they were made: the same for both

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OUT=${BENCH_OUT:-$ROOT/bench/out}
CODEBOOK=${CODEBOOK:-$ROOT/build/codebook}
PYTHON=${PYTHON:-/usr/bin/python3}
MARKDOWN=0
if [[ ${1:-} == --markdown ]]; then
  MARKDOWN=1
  shift
fi
N=${1:-10000000}
PARTS=${2:-10}
WORKERS=${3:-2}

log() { echo "$*" >&2; }
load() { cut -d' ' -f1-3 /proc/loadavg; }

SURVEY=$OUT/survey-$N
SPLIT=$OUT/survey-$N-parts
mkdir -p "$OUT"
if [[ ! -f $SURVEY/survey.csv ]]; then
  log "generating $N cases into $SURVEY"
  python3 "$ROOT/bench/generate_dataset.py" "$N" "$SURVEY" >&2
fi
if [[ ! -f $SPLIT/datapackage.json || $(ls "$SPLIT"/part*.csv 2>/dev/null | wc -l) -ne $PARTS ]]; then
  log "cutting it into $PARTS parts in $SPLIT"
  rm -rf "$SPLIT"
  mkdir -p "$SPLIT"
  python3 - "$SURVEY" "$SPLIT" "$PARTS" <<'PY'
import json, os, sys
survey, split, parts = sys.argv[1], sys.argv[2], int(sys.argv[3])
source = f"{survey}/survey.csv"
size = os.path.getsize(source)
names = [f"part{k:02d}.csv" for k in range(1, parts + 1)]
with open(source, "rb") as f:
    header = f.readline()
    k, out, written = 0, None, 0
    for line in f:  # the generator writes no line break inside a cell
        if out is None or (written >= size * (k / parts) and k < parts):
            if out:
                out.close()
            out = open(f"{split}/{names[k]}", "wb")
            out.write(header)
            k += 1
        out.write(line)
        written += len(line)
    out.close()
d = json.load(open(f"{survey}/datapackage.json"))
d["resources"][0]["path"] = names
json.dump(d, open(f"{split}/datapackage.json", "w"), indent=1)
PY
fi
cat "$SPLIT"/part*.csv >/dev/null  # into the page cache

timed() {  # label, command...: "wall rss" on stdout, the command's stderr kept
  local label=$1
  shift
  local before
  before=$(load)
  /usr/bin/time -f "%e %M" -o "$OUT/time.txt" "$@" 2>"$OUT/$label.err"
  echo "$(cat "$OUT/time.txt") $before | $(load)"
}

log "one process, JSON (no overview)"
json=$(timed json "$CODEBOOK" "$SPLIT/datapackage.json" --format json -o "$OUT/scale-one.json" --quiet)
log "one process"
one=$(timed one "$CODEBOOK" "$SPLIT/datapackage.json" -o "$OUT/scale-one.html" --quiet)
log "local Dask cluster of $WORKERS workers"
dask=$(timed dask "$PYTHON" "$ROOT/scripts/codebook_dask.py" "$SPLIT/datapackage.json" --workers "$WORKERS" \
  --codebook "$CODEBOOK" -o "$OUT/scale-dask.html" --timings --keep --work-dir "$OUT/scale-work")
same=no
cmp -s "$OUT/scale-one.html" "$OUT/scale-dask.html" && same=yes
steps=$(grep -o '[a-z]*: [0-9.]* s' "$OUT/dask.err" | tr '\n' ';' | sed 's/;$//; s/;/, /g')
largest=$(grep -o 'largest program process: [0-9]* MiB' "$OUT/dask.err" | grep -o '[0-9]* MiB' || true)
states=$(du -sh "$OUT/scale-work" 2>/dev/null | cut -f1 || true)

read -r jsonWall jsonRss _ <<<"$json"
jsonLoad=${json#* * }
read -r oneWall oneRss _ <<<"$one"
read -r daskWall daskRss _ <<<"$dask"
oneLoad=${one#* * }
daskLoad=${dask#* * }
if [[ $MARKDOWN == 1 ]]; then
  jsonLoad=${jsonLoad//|/\\|}
  oneLoad=${oneLoad//|/\\|}
  daskLoad=${daskLoad//|/\\|}
  echo "| run | wall time (s) | peak RSS (MiB) | load average before \\| after |"
  echo "|---|---:|---:|---|"
  echo "| one process, all $PARTS parts, JSON (no overview) | $jsonWall | $((jsonRss / 1024)) | $jsonLoad |"
  echo "| one process, all $PARTS parts | $oneWall | $((oneRss / 1024)) | $oneLoad |"
  echo "| local Dask cluster, $WORKERS workers | $daskWall | $((daskRss / 1024)) (driver) | $daskLoad |"
  echo
  echo "Steps of the cluster run: $steps; the largest program process on the driver's machine (plan, parts, merge): $largest; plan and partial states: $states. Reports identical: $same."
else
  echo "one process, JSON:    $jsonWall s, $((jsonRss / 1024)) MiB, load $jsonLoad"
  echo "one process:          $oneWall s, $((oneRss / 1024)) MiB, load $oneLoad"
  echo "Dask ($WORKERS workers):     $daskWall s, driver $((daskRss / 1024)) MiB, load $daskLoad"
  echo "steps: $steps; largest program process: $largest; plan and states: $states"
  echo "reports identical: $same"
fi
rm -rf "$OUT/scale-work"
