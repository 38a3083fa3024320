#!/usr/bin/env bash
# The plug-in exports CODEBOOK and nothing else of ours.
set -euo pipefail
build=$1
lib="$build/libcodebook.so"
[ -f "$lib" ] || { echo "missing $lib"; exit 1; }
symbols=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$' || true)
if [ "$symbols" != "CODEBOOK" ]; then
  echo "exported symbols other than CODEBOOK:"
  echo "$symbols"
  exit 1
fi
nm -D --defined-only "$lib" | grep -q ' T CODEBOOK$' || { echo "CODEBOOK is not a function"; exit 1; }
echo "1 passed, 0 failed"
