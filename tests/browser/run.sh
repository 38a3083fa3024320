#!/usr/bin/env bash
# Opens the HTML codebook in headless Chromium: checks the overview and its
# charts, the table of contents, the filter and the keyboard, measures how
# long a 2,000-variable report takes to open, and writes screenshots to
# tests/browser/out/.
#
#   tests/browser/run.sh BUILD_DIR
#
# The page is the example dataset's report when the program is built, else
# the sample page the output unit test writes.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
chromium=${CHROMIUM:-/usr/bin/chromium}
out=tests/browser/out
mkdir -p "$out"
if [ ! -x "$chromium" ]; then
  echo "browser test: $chromium not found (make test-browser installs it)" >&2
  exit 1
fi

page="$out/report.html"
if [ -x "$build/codebook" ] && [ -f examples/survey/datapackage.json ]; then
  "$build/codebook" examples/survey/datapackage.json --format html -o "$page"
elif [ -x "$build/tests/output_html_test" ]; then
  "$build/tests/output_html_test" --gtest_filter='*TwoThousand*' >/dev/null
  cp "$build/tests/output_sample.html" "$page"
else
  echo "browser test: build $build first (codebook or output_html_test)" >&2
  exit 1
fi
echo "page: $page ($(wc -c <"$page") bytes)"

# A report of 2,000 variables (5 kinds, 500 cases), for the open-time check.
large=""
if [ -x "$build/codebook" ]; then
  wide=$(mktemp -d)
  python3 bench/generate_dataset.py --wide 2000 500 "$wide" >/dev/null
  large="$out/report-2000.html"
  "$build/codebook" "$wide/datapackage.json" --format html -o "$large"
  rm -rf "$wide"
  size=$(wc -c <"$large")
  echo "large page: $large ($size bytes)"
  if [ "$size" -gt $((15 * 1024 * 1024)) ]; then
    echo "FAIL the 2,000-variable report is over 15 MB" >&2
    exit 1
  fi
fi

# The --dump-dom path of the filter, without the DevTools protocol: what a
# plain headless run of the page shows with a #filter= address.
first=$(python3 - "$page" <<'PY'
import html, re, sys
text = open(sys.argv[1], encoding="utf-8").read()
names = re.findall(r'<li><a href="#t\d+"[^>]*><span class="n">(.*?)</span>', text)
print(html.unescape(names[min(1, len(names) - 1)]).lower() if names else "")
PY
)
profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
query=$(python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1]))' "$first")
timeout 120 "$chromium" --headless --no-sandbox --disable-gpu --disable-background-networking \
  --disable-component-update --disable-sync --no-first-run --user-data-dir="$profile" \
  --dump-dom "file://$PWD/$page#filter=$query" 2>/dev/null >"$out/filtered-dom.html"
python3 - "$out/filtered-dom.html" "$first" <<'PY'
import re, sys
dom = open(sys.argv[1], encoding="utf-8").read()
query = sys.argv[2]
m = re.search(r'<ul id="toc" data-matches="(\d+)">(.*?)</ul>', dom, re.S)
assert m, "the filter script did not run"
items = re.findall(r'<li( hidden="")?>(.*?)</li>', m.group(2), re.S)
shown = [body for hidden, body in items if not hidden]
assert int(m.group(1)) == len(shown) >= 1, (m.group(1), len(shown))
print(f"ok   dump-dom: #filter={query} shows {len(shown)} of {len(items)} entries")
PY

# The keyboard, the live filter and the screenshots need the DevTools
# protocol: a small client in node (WebSocket is built into node 20 behind a
# flag, 22 and later without).
if ! command -v node >/dev/null; then
  echo "browser test: node not found; the keyboard checks and screenshots are skipped" >&2
  exit 0
fi
flag=--experimental-websocket
node -e 'process.exit(typeof WebSocket === "function" ? 0 : 1)' 2>/dev/null && flag=
timeout 300 node $flag --no-warnings tests/browser/check.mjs "$chromium" "$PWD/$page" "$out" ${large:+"$PWD/$large"}
