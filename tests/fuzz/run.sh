#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each in turn for a bounded time.
#   tests/fuzz/run.sh [SECONDS] [TARGET...]
# A <target>.dict beside this script gives libFuzzer the keywords and names
# that matter to the target. The corpus grows in build-fuzz/corpus/<target>/ (seeded from
# tests/fuzz/seeds/ and tests/fuzz/regressions/); a failing input is written to
# build-fuzz/fuzz/<target>-crash-* (or leak-, timeout-, oom-) and the full log
# to build-fuzz/fuzz/<target>.log. Exits nonzero when any target failed.
set -euo pipefail
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_command fuzz_csv fuzz_package fuzz_foreign)
root=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/build-fuzz"
jobs=${JOBS:-$(nproc)}
command -v clang++ >/dev/null || { echo "installing clang"; apt-get install -y -qq clang libclang-rt-14-dev >/dev/null; }
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCODEBOOK_FUZZ=ON -DCODEBOOK_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target "${targets[@]}"
failed=()
for target in "${targets[@]}"; do
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
  log="$build/fuzz/$target.log"
  echo "== $target for ${seconds}s (log: $log)"
  status=0
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
