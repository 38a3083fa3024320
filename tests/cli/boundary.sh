#!/usr/bin/env bash
# The plug-in boundary: the procedure includes only its own headers and the
# host's interface headers, and nothing anywhere reaches into a folder by "..".
# The build already gives the procedure no other include path; this check
# catches the one way around it, a relative path, and a compile database entry
# that would widen the procedure's include path again.
set -euo pipefail
build=$1
root=$(pwd)
failures=0
fail() { echo "$1"; failures=$((failures + 1)); }

while IFS= read -r line; do
  fail "relative include: $line"
done < <(grep -rn --include='*.h' --include='*.cpp' -E '#include "[^"]*\.\./' codebook host app tests bench || true)

# Every quoted include of the procedure names a procedure header (relative to
# the including file or to codebook/) or an interface header.
while IFS=: read -r file _ text; do
  header=$(sed -E 's/.*#include "([^"]*)".*/\1/' <<<"$text")
  dir=$(dirname "$file")
  if [ -f "$dir/$header" ] || [ -f "codebook/$header" ] || [ -f "host/include/$header" ]; then
    continue
  fi
  fail "$file includes \"$header\", which is neither the procedure's nor an interface header"
done < <(grep -rn --include='*.h' --include='*.cpp' -E '#include "' codebook || true)

# The procedure's compile commands see codebook/ and host/include/ only.
if [ -f "$build/compile_commands.json" ]; then
  if python3 - "$build/compile_commands.json" "$root" <<'PY'
import json, sys
entries, root = json.load(open(sys.argv[1])), sys.argv[2]
bad = []
for e in entries:
    if "/codebook/" not in e["file"] or "/tests/" in e["file"]:
        continue
    for flag in e["command"].split():
        if flag.startswith("-I") and flag[2:].rstrip("/") == root:
            bad.append(e["file"])
sys.exit(1 if bad else 0)
PY
  then :; else fail "a procedure source is compiled with the source root on its include path"; fi
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures boundary violation(s)"
  exit 1
fi
echo "boundary holds"
