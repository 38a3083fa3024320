#!/usr/bin/env bash
# SIGINT, SIGTERM and SIGHUP while the output file is being written: the
# temporary file is removed, an existing output is left as it was, and the
# program ends by the signal (status 128 + its number).
#
# To catch the program with its temporary file open, a small preloaded
# library stops the process (SIGSTOP) when it syncs the file to disk, which
# it does once the file is complete and before renaming it.
set -uo pipefail
build=$1
cb="$build/codebook"
source "$(dirname "$0")/lib/check.sh"
data=$(pwd)/examples/survey/datapackage.json

cat >"$tmp/stop.c" <<'C'
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>
int fsync(int fd) {
  kill(getpid(), SIGSTOP);
  int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  return real(fd);
}
C
cc -shared -fPIC -o "$tmp/stop.so" "$tmp/stop.c" -ldl || { echo "cannot build the test library"; exit 1; }
# The sanitizer build wants its runtime first; the stop library does not mind.
export ASAN_OPTIONS=${ASAN_OPTIONS:-}:verify_asan_link_order=0

# Background jobs of a shell without job control start with SIGINT ignored,
# and an ignored signal stays ignored; job control (set -m, for the start
# only) gives them the default.
stopped() { [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" = T ]; }

for sig in INT TERM HUP; do
  set -m
  out="$tmp/$sig/report.html"
  mkdir "$tmp/$sig"
  echo old >"$out"
  LD_PRELOAD="$tmp/stop.so" "$cb" "$data" -o "$out" --quiet &
  pid=$!
  set +m
  for _ in $(seq 600); do stopped "$pid" && break; sleep 0.05; done
  check "SIG$sig: the program reached the temporary file" stopped "$pid"
  check "SIG$sig: the temporary file exists while writing" bash -c "ls -A '$tmp/$sig' | grep -q tmp-"
  kill -s "$sig" "$pid"
  kill -s CONT "$pid"
  # The first wait may report the stop (128 + SIGSTOP) noted earlier.
  status=$((128 + $(kill -l STOP)))
  while [ "$status" = $((128 + $(kill -l STOP))) ]; do
    wait "$pid" 2>/dev/null
    status=$?
  done
  check "SIG$sig: ends with status 128 + $(kill -l "$sig")" test "$status" = $((128 + $(kill -l "$sig")))
  check "SIG$sig: the temporary file is removed" bash -c "! ls -A '$tmp/$sig' | grep -q tmp-"
  check "SIG$sig: the old output is left as it was" grep -qx old "$out"
done

# SIGKILL cannot be caught: the temporary file stays. The next run to the
# same output removes it once it is a minute old and no process holds its
# lock, and leaves alone one that is newer, one still locked and any other
# file.
set -m
dir="$tmp/KILL"
mkdir "$dir"
echo old >"$dir/report.html"
LD_PRELOAD="$tmp/stop.so" "$cb" "$data" -o "$dir/report.html" --quiet &
pid=$!
set +m
for _ in $(seq 600); do stopped "$pid" && break; sleep 0.05; done
kill -s KILL "$pid"
wait "$pid" 2>/dev/null
killed=$(ls -A "$dir" | grep tmp-)
check "SIGKILL: the temporary file stays" test -n "$killed"
check "SIGKILL: the old output is left as it was" grep -qx old "$dir/report.html"
touch -d '2 minutes ago' "$dir/$killed"
echo new >"$dir/.report.html.tmp-AbC123"
echo held >"$dir/.report.html.tmp-Held00"
echo other >"$dir/.report.html.tmp-toolong"
touch -d '2 minutes ago' "$dir/.report.html.tmp-Held00" "$dir/.report.html.tmp-toolong"
flock "$dir/.report.html.tmp-Held00" sleep 30 &
holder=$!
for _ in $(seq 100); do grep -q "$(stat -c %i "$dir/.report.html.tmp-Held00")" /proc/locks && break; sleep 0.05; done
check "the next run writes the output" "$cb" "$data" -o "$dir/report.html" --quiet
check "the killed run's temporary file is removed" test ! -e "$dir/$killed"
check "a newer temporary file is left" test -e "$dir/.report.html.tmp-AbC123"
check "a locked temporary file is left" test -e "$dir/.report.html.tmp-Held00"
check "another name is left" test -e "$dir/.report.html.tmp-toolong"
kill "$holder"
wait "$holder" 2>/dev/null

finish
