#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each in turn for a bounded time, then
# the property target "program", which drives the whole program (built with
# the same sanitizers) on generated datasets, commands and options.
#   tests/fuzz/run.sh [SECONDS] [TARGET...]
# The targets are every tests/fuzz/fuzz_<name>.cpp, and program.
# A <target>.dict beside this script gives libFuzzer the keywords and names
# that matter to the target. The corpus grows in build-fuzz/corpus/<target>/ (seeded from
# tests/fuzz/seeds/ and tests/fuzz/regressions/); a failing input is written to
# build-fuzz/fuzz/<target>-crash-* (or leak-, timeout-, oom-) and the full log
# to build-fuzz/fuzz/<target>.log; a failing program case is kept in
# build-fuzz/fuzz/program-failures/. Exits nonzero when any target failed.
set -euo pipefail
seconds=${1:-60}
shift || true
root=$(cd "$(dirname "$0")/../.." && pwd)
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in "$root"/tests/fuzz/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp)"); done
  targets+=(program)
fi
# A target is named as its file is ("fuzz_csv", not "csv"): a name that is
# none would otherwise fail deep in the build with "No rule to make target".
for target in "${targets[@]}"; do
  [ "$target" = program ] || [ -f "$root/tests/fuzz/$target.cpp" ] && continue
  known=$(cd "$root/tests/fuzz" && ls fuzz_*.cpp | sed 's/\.cpp$//' | tr '\n' ' ')
  hint=""
  [ -f "$root/tests/fuzz/fuzz_$target.cpp" ] && hint=" (did you mean fuzz_$target?)"
  echo "run.sh: no fuzz target '$target'$hint; the targets are: ${known}program" >&2
  exit 2
done
build="$root/build-fuzz"
jobs=${JOBS:-$(nproc)}
command -v clang++ >/dev/null || { echo "installing clang"; apt-get install -y -qq clang libclang-rt-14-dev >/dev/null; }
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCODEBOOK_FUZZ=ON -DCODEBOOK_TESTS=OFF >/dev/null
build_targets=()
for target in "${targets[@]}"; do
  if [ "$target" = program ]; then build_targets+=(codebook codebook_plugin); else build_targets+=("$target"); fi
done
cmake --build "$build" -j "$jobs" --target "${build_targets[@]}"
mkdir -p "$build/fuzz"
failed=()
for target in "${targets[@]}"; do
  log="$build/fuzz/$target.log"
  echo "== $target for ${seconds}s (log: $log)"
  status=0
  if [ "$target" = program ]; then
    # A sanitizer report ends the program with status 99, which the
    # property "exit status 0, 1 or 2" catches.
    (cd "$build" && ASAN_OPTIONS=detect_leaks=1:exitcode=99 UBSAN_OPTIONS=halt_on_error=1:exitcode=99 \
       python3 "$root/tests/fuzz/program.py" --program "$build/codebook" --seconds "$seconds" \
       --keep "$build/fuzz/program-failures" >"$log" 2>&1) || status=$?
    [ "$status" -ne 0 ] && { failed+=("$target"); head -n 20 "$log"; }
    tail -n 1 "$log"
    continue
  fi
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  for dir in seeds regressions; do
    cp -n "$root/tests/fuzz/$dir/$target"/* "$corpus"/ 2>/dev/null || true
  done
  max_len=4096
  [ "$target" = fuzz_package ] && max_len=16384
  [ "$target" = fuzz_foreign ] && max_len=65536
  dict=()
  [ -f "$root/tests/fuzz/$target.dict" ] && dict=(-dict="$root/tests/fuzz/$target.dict")
  (cd "$build" && ASAN_OPTIONS=detect_leaks=1 "$build/fuzz/$target" "$corpus" "${dict[@]}" \
     -max_total_time="$seconds" -max_len=$max_len -timeout=10 -rss_limit_mb=2048 \
     -artifact_prefix="$build/fuzz/$target-" -print_final_stats=1 >"$log" 2>&1) || status=$?
  if [ "$status" -ne 0 ]; then
    failed+=("$target")
    grep -E "^==[0-9]+==ERROR|^SUMMARY|Test unit written to|^ALARM|out-of-memory|leak" "$log" | head -n 20 || true
  fi
  tail -n 6 "$log"
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzzing found problems in: ${failed[*]} (minimise with: build-fuzz/fuzz/<target> -minimize_crash=1 -runs=10000 <input>)"
  exit 1
fi
echo "no problem found"
