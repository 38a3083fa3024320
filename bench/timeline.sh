#!/usr/bin/env bash
# Where a run leaves a core idle: one run of the program, cut into phases at
# the entries and returns of a few functions (uprobes, no change to the
# program), with every thread's time on a core in each phase (scheduler
# switches). Needs root and perf.
#
#   bench/timeline.sh [-n RUNS] DATASET [ARGS...]
#       e.g. bench/timeline.sh bench/out/survey-1000000/datapackage.json -o /dev/null --format json --quiet
#
# The phases: start (exec to the restarted image's main), load (the
# descriptor and syntax: LoadDataset), setup (plug-in, the procedure's parse
# and tables, up to the first block asked for), pass (to Pass::Finish), finish
# (the final results), tables (the rest of the procedure), report (rendering
# and writing, to the exit). A phase that did not happen is left out. Times
# are milliseconds; "busy" is the sum over threads of their time on a core,
# so busy / wall is the number of cores the phase kept busy.
# Environment: CODEBOOK (the program, default build-bench/codebook).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
RUNS=1
if [[ ${1:-} == -n ]]; then
  RUNS=$2
  shift 2
fi
if (($# < 1)); then
  sed -n '2,18p' "$0" >&2
  exit 2
fi
CODEBOOK=${CODEBOOK:-$ROOT/build-bench/codebook}
DIR=$(cd "$(dirname "$CODEBOOK")" && pwd)
HOSTLIB=$DIR/libcodebook-host.so
PLUGIN=$DIR/libcodebook.so
for f in "$CODEBOOK" "$HOSTLIB" "$PLUGIN"; do
  [[ -e $f ]] || { echo "timeline: no $f (build the Release tree first)" >&2; exit 2; }
done
command -v perf > /dev/null || { echo "timeline: perf is not installed" >&2; exit 2; }

symbol() {  # symbol FILE PATTERN: the first defined symbol matching PATTERN
  nm --defined-only "$1" | awk -v p="$2" '!found && $2 ~ /^[tTW]$/ && $3 ~ p { print $3; found = 1 }'
}
GROUP=cbtimeline
PROBES=()
probe() {  # probe NAME FILE PATTERN [return]
  local sym
  sym=$(symbol "$2" "$3")
  [[ -n $sym ]] || { echo "timeline: no symbol like $3 in $2" >&2; exit 2; }
  local spec="$GROUP:$1=$sym" event="$GROUP:$1"
  # perf names a return probe EVENT__return
  if [[ ${4:-} == return ]]; then spec+='%return' event+=__return; fi
  perf probe -q -x "$2" --no-demangle -a "$spec" > /dev/null
  PROBES+=("$event")
}
cleanup() { perf probe -q -d "$GROUP:*" > /dev/null 2>&1 || true; rm -f "${DATA:-}"; }
trap cleanup EXIT
cleanup
probe main "$CODEBOOK" '^main$'
probe dataset "$HOSTLIB" '^_ZN4host11LoadDataset.*LoadOptionsERSt6vector'
probe datasetdone "$HOSTLIB" '^_ZN4host11LoadDataset.*LoadOptionsERSt6vector' return
probe block "$HOSTLIB" '^_ZN4host12_GLOBAL__N_19CsvCursor9NextBlockEv$'
probe finish "$HOSTLIB" '^_ZN4host4Pass6FinishEi$'
probe finishdone "$HOSTLIB" '^_ZN4host4Pass6FinishEi$' return
probe procedure "$PLUGIN" '^CODEBOOK$'
probe proceduredone "$PLUGIN" '^CODEBOOK$' return

DATA=$(mktemp)
EVENTS=(-e sched:sched_switch)
for p in "${PROBES[@]}"; do EVENTS+=(-e "$p"); done
for ((run = 1; run <= RUNS; run++)); do
  # The program's own messages are dropped; perf's, if it fails, are shown.
  perf record -q -a -m 1024 -o "$DATA" "${EVENTS[@]}" -- "$CODEBOOK" "$@" > /dev/null 2> >(grep -v '^codebook' >&2 || true) || true
  perf script -i "$DATA" -F pid,tid,time,event,trace 2> /dev/null | python3 "$ROOT/bench/timeline_phases.py"
  if ((run < RUNS)); then echo; fi
done
