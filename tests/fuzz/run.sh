#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each for a bounded time.
#   tests/fuzz/run.sh [SECONDS] [TARGET...]
set -euo pipefail
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_command fuzz_csv fuzz_package)
root=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/build-fuzz"
command -v clang++ >/dev/null || { echo "installing clang"; apt-get install -y -qq clang libclang-rt-14-dev >/dev/null; }
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCODEBOOK_FUZZ=ON -DCODEBOOK_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  cp -n "$root"/tests/fuzz/seeds/"$target"/* "$corpus"/ 2>/dev/null || true
  echo "== $target for ${seconds}s"
  max_len=4096
  [ "$target" = fuzz_package ] && max_len=16384
  (cd "$build" && ASAN_OPTIONS=detect_leaks=1 "$build/fuzz/$target" "$corpus" \
     -max_total_time="$seconds" -max_len=$max_len -timeout=10 -rss_limit_mb=2048 \
     -artifact_prefix="$build/fuzz/$target-" -print_final_stats=1 2>&1 | tail -n 12)
done
