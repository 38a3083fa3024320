#!/usr/bin/env bash
# What the program writes, and where it refuses to: the output never replaces
# an input, standard output failures are failures, -o follows links and keeps
# permissions, and an interrupted or failed run leaves no file behind.
set -uo pipefail
build=$1
cb="$build/codebook"
root=$(pwd)
data=$root/examples/survey/datapackage.json
source "$(dirname "$0")/lib/check.sh"
no_temporary_files() { ! ls -A "$1" | grep -q 'tmp-'; }

# A small package of our own, so that refusing to overwrite it can be checked
# against its bytes.
mkdir "$tmp/pkg"
cp "$root/examples/survey/datapackage.json" "$root/examples/survey/survey.csv" "$tmp/pkg/"
pkg=$tmp/pkg/datapackage.json
sum_before=$(cat "$tmp/pkg"/* | md5sum)
echo "CODEBOOK age." >"$tmp/commands.cbk"
ln "$tmp/pkg/survey.csv" "$tmp/hardlink.csv"
ln -s "$tmp/pkg/survey.csv" "$tmp/to-data.md"
# A package whose pass fails on a bad cell: a destination refused before the
# pass is named instead of the cell.
mkdir "$tmp/badcell"
printf '{"resources": [{"path": "d.csv", "schema": {"fields": [{"name": "n", "type": "integer"}]}}]}' \
  >"$tmp/badcell/datapackage.json"
printf 'n\n1\nabc\n' >"$tmp/badcell/d.csv"

# The output is never one of the inputs.
for out in "$pkg" "$tmp/pkg/survey.csv" "$tmp/hardlink.csv" "$tmp/to-data.md" "$tmp/pkg/../pkg/survey.csv"; do
  check "-o $out (an input) exits 2" test "$(status_of "$cb" "$pkg" --format text -o "$out")" = 2
done
check "-o naming the syntax file exits 2" \
  test "$(status_of "$cb" "$pkg" --syntax "$tmp/commands.cbk" --format text -o "$tmp/commands.cbk")" = 2
check "the refusal names the input" bash -c \
  "'$cb' '$pkg' --format text -o '$tmp/hardlink.csv' 2>&1 >/dev/null | grep -q \"is the input file '$tmp/pkg/survey.csv'\""
check "standard output appended to an input exits 2" bash -c "'$cb' '$pkg' >>'$tmp/pkg/survey.csv' 2>/dev/null; test \$? = 2"
cp "$root/examples/survey/survey.csv" "$tmp/piped.csv"
piped_before=$(md5sum <"$tmp/piped.csv")
fails "-o naming the file read as standard input exits 2" 2 "the output '$tmp/piped.csv' is the file read as standard input" \
  bash -c "'$cb' - --format json -o '$tmp/piped.csv' <'$tmp/piped.csv'"
check "standard output appended to the file read as standard input exits 2" \
  bash -c "'$cb' - --format json <'$tmp/piped.csv' >>'$tmp/piped.csv' 2>/dev/null; test \$? = 2"
check "the file read as standard input is unchanged" test "$(md5sum <"$tmp/piped.csv")" = "$piped_before"
# /dev/stdin followed as a link names the file redirected in; it is the
# descriptor, open for reading only.
fails "-o /dev/stdin with standard input from a file is refused" 2 "cannot write to '/dev/stdin': descriptor 0 is open for reading only" \
  bash -c "'$cb' '$pkg' --format json -o /dev/stdin <'$tmp/piped.csv'"
check "and that file is unchanged" test "$(md5sum <"$tmp/piped.csv")" = "$piped_before"
mkdir "$tmp/sas"
cp "$root/examples/sas/survey.sas7bdat" "$root/examples/sas/survey.sas7bcat" "$tmp/sas/"
catalog_before=$(md5sum <"$tmp/sas/survey.sas7bcat")
check "-o naming the SAS catalog read beside the data exits 2" \
  test "$(status_of "$cb" "$tmp/sas/survey.sas7bdat" --format json -o "$tmp/sas/survey.sas7bcat")" = 2
check "the catalog is unchanged" test "$(md5sum <"$tmp/sas/survey.sas7bcat")" = "$catalog_before"
check "the inputs are unchanged" test "$(cat "$tmp/pkg"/* | md5sum)" = "$sum_before"
check "the link to an input is still a link" test -L "$tmp/to-data.md"
# Nor the program's own files (`-o codebook` in the program's folder).
mkdir "$tmp/prog"
cp "$cb" "$build/libcodebook.so" "$tmp/prog/"
cp "$build/libcodebook.so" "$tmp/prog/other.so"
prog_before=$(cat "$tmp/prog"/* | md5sum)
fails "-o naming the program exits 2" 2 "the output '$tmp/prog/codebook' is the program's own file" \
  "$tmp/prog/codebook" "$pkg" --format text -o "$tmp/prog/codebook"
fails "-o naming the plug-in next to it exits 2" 2 "is the program's own file '$tmp/prog/libcodebook.so'" \
  "$tmp/prog/codebook" "$pkg" --format text -o "$tmp/prog/libcodebook.so"
fails "-o naming the plug-in given with --plugin exits 2" 2 "is the program's own file" \
  "$cb" "$pkg" --plugin "$tmp/prog/other.so" --format text -o "$tmp/prog/other.so"
check "the program's files are unchanged" test "$(cat "$tmp/prog"/* | md5sum)" = "$prog_before"

# Standard output: every write is checked.
check "the program runs" test "$(status_of "$cb" "$data" --quiet)" = 0
fails "a full disk on standard output says so" 2 'cannot write to standard output: No space left on device' \
  bash -c "'$cb' '$data' --quiet >/dev/full"
check "--version to a full disk exits 2" bash -c "'$cb' --version >/dev/full 2>/dev/null; test \$? = 2"
check "a closed pipe with SIGPIPE ignored exits 2 with a message" bash -c \
  "trap '' PIPE; '$cb' '$data' --format json 2>'$tmp/pipe.err' | head -c 1 >/dev/null; \
   test \${PIPESTATUS[0]} = 2 && grep -q 'Broken pipe' '$tmp/pipe.err'"
check "a closed pipe with SIGPIPE as usual ends quietly" bash -c \
  "'$cb' '$data' --format json 2>'$tmp/pipe2.err' | head -c 1 >/dev/null; \
   test \${PIPESTATUS[0]} = 141 && test ! -s '$tmp/pipe2.err'"
"$cb" "$data" --format json >"$tmp/stdout.json"
check "-o - is standard output" bash -c "'$cb' '$data' --format json -o - | cmp -s - '$tmp/stdout.json'"
check "-o /dev/stdout is standard output, even when it is a file" bash -c \
  "'$cb' '$data' --format json -o /dev/stdout >'$tmp/devstdout.json' && cmp -s '$tmp/devstdout.json' '$tmp/stdout.json'"
check "-o - with no --format writes text" bash -c "'$cb' '$data' -o - | head -n1 | grep -q '^id'"

# -o through a symbolic link writes the link's target; the link stays.
mkdir "$tmp/real"
echo old >"$tmp/real/report.json"
ln -s real/report.json "$tmp/link.json"
"$cb" "$data" -o "$tmp/link.json"
check "-o through a link writes its target" cmp -s "$tmp/real/report.json" "$tmp/stdout.json"
check "-o through a link keeps the link" test -L "$tmp/link.json"
ln -s real/new.json "$tmp/dangling.json"
"$cb" "$data" -o "$tmp/dangling.json"
check "-o through a dangling link creates its target" cmp -s "$tmp/real/new.json" "$tmp/stdout.json"
ln -s loop1 "$tmp/loop2.json"; ln -s loop2.json "$tmp/loop1"
check "-o through a link loop exits 2" test "$(status_of "$cb" "$data" -o "$tmp/loop2.json")" = 2

# An existing file keeps its permissions; new files get the usual ones.
echo old >"$tmp/private.json"
chmod 640 "$tmp/private.json"
"$cb" "$data" -o "$tmp/private.json"
check "a replaced file keeps its permissions" test "$(stat -c %a "$tmp/private.json")" = 640
(umask 022; "$cb" "$data" -o "$tmp/fresh.json")
check "a new file gets the permissions the umask allows" test "$(stat -c %a "$tmp/fresh.json")" = 644
# ACLs, written as the kernel stores them (no acl tools needed); skipped
# where the file system keeps none. A folder's default ACL decides a new
# report's permissions as it does the shell's (`>`), the umask aside; a
# replaced file keeps its ACL, so that neither a group the ACL shuts out nor
# anybody else gains what its mask allows.
acl() {  # FILE KIND ENTRY... (ENTRY: tag:perm:id, tags 1 owner 2 user 4 group 16 mask 32 other)
  python3 - "$@" <<'PY'
import os, struct, sys
entries = [tuple(int(x) for x in e.split(":")) for e in sys.argv[3:]]
os.setxattr(sys.argv[1], "system.posix_acl_" + sys.argv[2],
            struct.pack("<I", 2) + b"".join(struct.pack("<HHI", t, p, i) for t, p, i in entries))
PY
}
acl_of() { python3 -c 'import os, sys; print(os.getxattr(sys.argv[1], "system.posix_acl_access").hex())' "$1"; }
mkdir "$tmp/acl"
no_acl() { ! acl_of "$1" 2>/dev/null; }
if acl "$tmp/acl" default 1:6:0 2:4:65534 4:4:0 16:4:0 32:0:0 2>/dev/null; then
  (umask 022; "$cb" "$data" -o "$tmp/acl/new.json"; : >"$tmp/acl/shell.json")
  check "a new file in a folder with a default ACL gets what the shell's file gets" \
    test "$(stat -c %a "$tmp/acl/new.json")" = "$(stat -c %a "$tmp/acl/shell.json")"
  check "which is not readable by others" test "$(stat -c %a "$tmp/acl/new.json")" = 640
  echo old >"$tmp/acl-file.json"
  acl "$tmp/acl-file.json" access 1:6:0 2:4:65534 4:0:0 16:4:0 32:0:0
  acl_before=$(acl_of "$tmp/acl-file.json")
  "$cb" "$data" -o "$tmp/acl-file.json"
  check "a replaced file keeps its ACL" test "$(acl_of "$tmp/acl-file.json" 2>&1)" = "$acl_before"
  check "and its mode" test "$(stat -c %a "$tmp/acl-file.json")" = 640
  # A file without an ACL in that folder takes none from it.
  echo old >"$tmp/acl/plain.json"
  python3 -c 'import os, sys; os.removexattr(sys.argv[1], "system.posix_acl_access")' "$tmp/acl/plain.json" 2>/dev/null
  chmod 604 "$tmp/acl/plain.json"
  "$cb" "$data" -o "$tmp/acl/plain.json"
  check "a replaced file without an ACL takes none from its folder" no_acl "$tmp/acl/plain.json"
  check "and keeps its mode" test "$(stat -c %a "$tmp/acl/plain.json")" = 604
else
  echo "note: this file system keeps no ACLs; not checked"
fi
# A report shows the data's values: a new one is readable by the group and by
# others only where the data are (as cp and gzip copy a private file), also
# the plan and partial states of a run in parts and the merge's report; a
# pipe on standard input limits nothing, and a replaced file keeps its mode.
mkdir "$tmp/private"
cp "$root/examples/survey/survey.csv" "$tmp/private/secret.csv"
mode_of() { stat -c %a "$1"; }
private_reports() {
  local d=$tmp/private
  chmod "$1" "$d/secret.csv"
  rm -f "$d"/*.html "$d"/*.plan "$d"/*.state
  (umask 022
   "$cb" "$d/secret.csv" -o "$d/report.html" --quiet &&
   "$cb" - -o "$d/stdin.html" --quiet <"$d/secret.csv" &&
   "$cb" "$d/secret.csv" --write-plan "$d/run.plan" &&
   "$cb" --run-plan "$d/run.plan" --part 1 -o "$d/part.state" &&
   "$cb" --merge "$d/run.plan" "$d/part.state" -o "$d/merged.html") || return 1
  echo "$(mode_of "$d/report.html") $(mode_of "$d/stdin.html") $(mode_of "$d/run.plan") $(mode_of "$d/part.state")" \
    "$(mode_of "$d/merged.html")"
}
check "a private dataset's report, plan, state and merge are private" test "$(private_reports 600)" = "600 600 600 600 600"
check "a group's dataset's are the group's" test "$(private_reports 640)" = "640 640 640 640 640"
check "a dataset anyone may read: the umask decides" test "$(private_reports 644)" = "644 644 644 644 644"
chmod 600 "$tmp/private/secret.csv"
(umask 022; "$cb" - -o "$tmp/private/piped.html" --quiet < <(cat "$tmp/private/secret.csv"))
check "data through a pipe: the umask decides" test "$(mode_of "$tmp/private/piped.html")" = 644
chmod 644 "$tmp/private/report.html"
"$cb" "$tmp/private/secret.csv" -o "$tmp/private/report.html" --quiet
check "a report made readable by hand stays so when made again" test "$(mode_of "$tmp/private/report.html")" = 644

# Permissions bind root only through another user (setpriv), as a user runs it.
as_user=()
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  chmod 755 "$tmp"
fi
if [ "$(id -u)" != 0 ] || [ ${#as_user[@]} -gt 0 ]; then
  echo old >"$tmp/readonly.json"; chmod 444 "$tmp/readonly.json"
  check "a read-only file is refused, as a shell would" \
    test "$(status_of "${as_user[@]}" "$cb" "$data" -o "$tmp/readonly.json")" = 2
  check "the read-only file is unchanged" grep -qx old "$tmp/readonly.json"
  mkdir "$tmp/locked"; echo old >"$tmp/locked/report.json"; chmod 666 "$tmp/locked/report.json"; chmod 555 "$tmp/locked"
  fails "a writable file in a folder that is not: the message says why the folder matters" 2 \
    'is written whole to a temporary file in the same folder' "${as_user[@]}" "$cb" "$data" -o "$tmp/locked/report.json"
  check "and the file is unchanged" grep -qx old "$tmp/locked/report.json"
  # A new file: what to change, without the temporary file the user never named.
  fails "a read-only folder is named before the pass" 2 \
    "cannot write '$tmp/locked/report.html': Permission denied (you may not make files in the folder '$tmp/locked'); name a file in a folder you may write to, or write to standard output." \
    "${as_user[@]}" "$cb" "$tmp/badcell/datapackage.json" -o "$tmp/locked/report.html"
  fails "a plan in a read-only folder: no standard output offered, which cannot take it" 2 \
    'name a file in a folder you may write to.' "${as_user[@]}" "$cb" "$tmp/badcell/datapackage.json" --write-plan "$tmp/locked/run.plan"
  chmod 755 "$tmp/locked"
fi
if [ ${#as_user[@]} -gt 0 ]; then
  # In a folder with the sticky bit (/tmp) another user's file, writable or
  # not, cannot be renamed over: found before the pass, not after it.
  mkdir "$tmp/sticky"; chmod 1777 "$tmp/sticky"; echo old >"$tmp/sticky/report.json"; chmod 666 "$tmp/sticky/report.json"
  fails "another user's file in a sticky folder is refused before the pass" 2 'only its owner may replace it' \
    "${as_user[@]}" "$cb" "$tmp/badcell/datapackage.json" -o "$tmp/sticky/report.json"
  check "and that file is unchanged" grep -qx old "$tmp/sticky/report.json"
  check "a new file in the sticky folder is written" \
    test "$(status_of "${as_user[@]}" "$cb" "$data" -o "$tmp/sticky/mine.json")" = 0
fi

# The output goes to the folder that was checked against the inputs, even
# when that folder is swapped for a link into the data's folder during the
# pass: the report must neither replace the data nor be left half-made. The
# run is stopped once its temporary file exists, the folder swapped, and let
# go on; a run that ended first (a fast machine) cannot show it.
mkdir "$tmp/swap" "$tmp/swap/out"
seq 1 400000 | awk 'BEGIN { print "id,x" } { print $1 "," ($1 % 7) }' >"$tmp/swap/big.csv"
big_before=$(md5sum <"$tmp/swap/big.csv")
"$cb" "$tmp/swap/big.csv" --threads 1 --quiet -o "$tmp/swap/out/big.csv" --format json 2>"$tmp/swap/stderr" &
pid=$!
until compgen -G "$tmp/swap/out/.big.csv.tmp-*" >/dev/null || ! kill -0 "$pid" 2>/dev/null; do :; done
if kill -STOP "$pid" 2>/dev/null && [ ! -e "$tmp/swap/out/big.csv" ]; then
  mv "$tmp/swap/out" "$tmp/swap/moved" && ln -s "$tmp/swap" "$tmp/swap/out"
  kill -CONT "$pid"
  wait "$pid"
  check "a run whose output folder was swapped for a link during the pass ends well" test $? = 0
  check "the data are untouched" test "$(md5sum <"$tmp/swap/big.csv")" = "$big_before"
  check "the report is in the folder that was checked" grep -q '"items"' "$tmp/swap/moved/big.csv"
  check "no temporary file is left there" no_temporary_files "$tmp/swap/moved"
else
  kill -CONT "$pid" 2>/dev/null
  wait "$pid"
  echo "note: the run ended before its folder could be swapped; not checked"
fi

# A destination that cannot take the report is named before the data pass.
fails "-o into a missing folder is refused before the pass" 2 "the folder '$tmp/nosuch' does not exist; create it first" \
  "$cb" "$tmp/badcell/datapackage.json" -o "$tmp/nosuch/report.html"
fails "-o naming a folder is refused before the pass" 2 "it is a folder; name a file" \
  "$cb" "$tmp/badcell/datapackage.json" -o "$tmp/badcell" --format html
python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$tmp/socket"
fails "-o naming a socket is refused before the pass" 2 "it is a socket; name a file" \
  "$cb" "$tmp/badcell/datapackage.json" -o "$tmp/socket" --format html
# A disk or partition is never written over (a device number no driver has:
# nothing could be written even if the check failed).
if [ "$(id -u)" = 0 ] && mknod "$tmp/disk" b 62 0 2>/dev/null; then
  fails "-o naming a block device is refused before the pass" 2 "it is a block device (a disk or a partition); name a file" \
    "$cb" "$tmp/badcell/datapackage.json" -o "$tmp/disk" --format html
fi
# A named pipe is written directly, as the shell's > writes it.
mkfifo "$tmp/report.fifo"
cat "$tmp/report.fifo" >"$tmp/from-fifo.json" &
check "-o naming a named pipe writes the report into it" "$cb" "$data" --format json -o "$tmp/report.fifo"
wait
check "whole" cmp -s "$tmp/from-fifo.json" "$tmp/stdout.json"
# One that no program reads yet is waited on, as the shell's > waits, since
# its reader may start later; the run says what it waits for, or it would
# look hung.
"$cb" "$data" --format json -o "$tmp/report.fifo" 2>"$tmp/fifo.err" &
pid=$!
for _ in $(seq 600); do [ -s "$tmp/fifo.err" ] && break; sleep 0.1; done
cat "$tmp/report.fifo" >"$tmp/from-fifo.json"
wait "$pid"
check "a named pipe no program reads: the run says it waits, then writes when one does" test $? = 0
check "the note names the pipe" grep -qx \
  "codebook: note: waiting for a program to read the named pipe '$tmp/report.fifo' (the output): none has it open. Ctrl-C stops the run." \
  "$tmp/fifo.err"
check "and the report is whole" cmp -s "$tmp/from-fifo.json" "$tmp/stdout.json"
# --quiet keeps that note off standard error too, as every other note.
"$cb" "$data" --format json --quiet -o "$tmp/report.fifo" 2>"$tmp/fifo-quiet.err" &
pid=$!
sleep 1.5
cat "$tmp/report.fifo" >"$tmp/from-fifo.json"
wait "$pid"
check "--quiet: a named pipe no program reads is waited on without a note" \
  bash -c "test $? = 0 && test ! -s '$tmp/fifo-quiet.err' && cmp -s '$tmp/from-fifo.json' '$tmp/stdout.json'"
fails "--write-plan into a missing folder is refused at once" 2 "does not exist" \
  "$cb" "$tmp/badcell/datapackage.json" --write-plan "$tmp/nosuch/run.plan"
fails "-o naming a folder yet to be made (a trailing slash) is refused as a folder" 2 "a name that ends with '/' is a folder" \
  "$cb" "$tmp/badcell/datapackage.json" -o "$tmp/nosuch/"
check "nothing was created" test ! -e "$tmp/nosuch"
fails "--write-plan to standard output is refused" 2 'name a file, not' \
  bash -c "cd '$tmp' && '$cb' '$tmp/badcell/datapackage.json' --write-plan -"
check "and no file named - was made" test ! -e "$tmp/-"
fails "-o naming a descriptor that is not open is refused before the pass" 2 'descriptor 9 is not open' \
  "$cb" "$tmp/badcell/datapackage.json" -o /dev/fd/9
fails "-o naming a descriptor open for reading is refused before the pass" 2 'descriptor 0 is open for reading only' \
  bash -c "'$cb' '$tmp/badcell/datapackage.json' -o /dev/fd/0 </dev/null"
# A closed standard output is no place for the report, nor may the report go
# into the file that would take its descriptor (the spooled copy of the data).
csv=$root/examples/survey/survey.csv
fails "a closed standard output is refused before the pass" 2 'cannot write to standard output: descriptor 1 is not open' \
  bash -c "'$cb' - --quiet <'$csv' >&-"
fails "and named as -o -" 2 "cannot write to '-': descriptor 1 is not open" bash -c "'$cb' - --quiet -o - <'$csv' >&-"
fails "a closed standard input named as the dataset is said" 2 'cannot read standard input: descriptor 0 is not open' \
  bash -c "'$cb' - <&-"
fails "and as the syntax file" 2 'cannot read standard input: descriptor 0 is not open' bash -c "'$cb' '$csv' --syntax - <&-"
check "a report to -o FILE is written with standard output closed" \
  bash -c "'$cb' - --quiet -f json -o '$tmp/closed.json' <'$csv' >&- && grep -q '\"items\"' '$tmp/closed.json'"
# A replaced file keeps its mode but not set-user-ID or set-group-ID bits.
echo old >"$tmp/setid.txt"; chmod 6750 "$tmp/setid.txt"
"$cb" "$data" -o "$tmp/setid.txt"
check "a replaced file loses set-user-ID and set-group-ID" test "$(stat -c %a "$tmp/setid.txt")" = 750
# A file of two names is replaced under the one given, as a rename does.
echo old >"$tmp/name1.json" && ln "$tmp/name1.json" "$tmp/name2.json"
"$cb" "$data" -o "$tmp/name1.json"
check "a hard-linked file's other name keeps the old contents" bash -c "grep -qx old '$tmp/name2.json' && grep -q items '$tmp/name1.json'"

# Runs writing the same -o at once each write a whole report of their own
# and rename it over the name: the last one stays, whole, with no temporary
# file left.
mkdir "$tmp/race"
for n in 1 2 3; do "$cb" "$data" --format json -o "$tmp/race/report.json" --threads 1 & done
wait
check "runs writing the same -o at once leave one whole report" cmp -s "$tmp/race/report.json" "$tmp/stdout.json"
check "and no temporary file" no_temporary_files "$tmp/race"

# Names at the length limit.
long=$(printf 'n%.0s' $(seq 250)).json
"$cb" "$data" -o "$tmp/$long"
check "a 255-byte output name works" cmp -s "$tmp/$long" "$tmp/stdout.json"

# A file-size limit stands for a full disk: the write fails, the run says so,
# the old file stays and no temporary file is left.
echo keep >"$tmp/keep.json"
(ulimit -f 4; "$cb" "$data" -o "$tmp/keep.json" 2>"$tmp/fsize.err"; echo $? >"$tmp/fsize.status")
check "a full disk while writing -o exits 2 saying why" bash -c "test $(cat "$tmp/fsize.status") = 2 && grep -q 'File too large' '$tmp/fsize.err'"
check "a full disk while writing -o leaves the old file" grep -qx keep "$tmp/keep.json"
check "-o /dev/full exits 2" test "$(status_of "$cb" "$data" -o /dev/full --format json)" = 2
check "a failed run leaves no temporary file" no_temporary_files "$tmp"

# A full disk, on a small file system of our own mounted in a mount namespace
# of this check alone (so none is left behind however it ends). A disk with
# no room at all is named before the data pass (the bad-cell package would
# otherwise fail on its cell); one that fills while the report is written
# leaves the old report and no temporary file.
if [ "$(id -u)" = 0 ] && unshare --mount true 2>/dev/null; then
  mkdir "$tmp/full"
  unshare --mount bash -c '
    cd "$1" && mount -t tmpfs -o size=64k tmpfs full || exit
    echo old >full/report.html; : >full/stdout.txt
    head -c 64k /dev/zero >full/fill 2>/dev/null
    "$2" "$3" -o full/report.html 2>nospace.err; echo $? >>nospace.err
    "$2" "$3" >>full/stdout.txt 2>stdout.err; echo $? >>stdout.err
    rm full/fill; head -c 40k /dev/zero >full/fill
    "$2" "$4" -f html -o full/report.html 2>midway.err; echo $? >>midway.err
    ls -A full >midway.ls; cat full/report.html >>midway.ls
    "$2" "$4" --write-plan plan.plan && "$2" --run-plan plan.plan --part 1 -o full/part.state 2>state.err
    echo $? >>state.err; ls -A full >>state.err
    rm full/fill; head -c 64k /dev/zero >full/fill 2>/dev/null
    "$2" "$3" --write-plan full/run.plan 2>plan.err; echo $? >>plan.err
    umount full && mount -t tmpfs -o size=1m,nr_inodes=2 tmpfs full || exit
    echo old >full/report.html
    "$2" "$3" -o full/report.html 2>noinode.err; echo $? >>noinode.err
    mount -o remount,ro full || exit
    "$2" "$3" -o full/new.html 2>readonly.err; echo $? >>readonly.err
    "$2" "$3" -o full/report.html 2>>readonly.err; echo $? >>readonly.err
    "$2" "$3" --write-plan full/run.plan 2>>readonly.err; echo $? >>readonly.err
  ' _ "$tmp" "$cb" "$tmp/badcell/datapackage.json" "$data"
  holds() { [ "$(cat "$1")" = "$2" ]; }
  check "a full disk is named before the pass" holds "$tmp/nospace.err" \
    "codebook: cannot write 'full/report.html': No space left on device (its file system is full).
2"
  check "so is standard output into a file on a full disk" holds "$tmp/stdout.err" \
    "codebook: cannot write to standard output: No space left on device (its file system is full).
2"
  check "and a disk with room for no more files" grep -q 'No space left on device (its file system is full)' "$tmp/noinode.err"
  check "a disk that fills while the report is written says so, exit 2" holds "$tmp/midway.err" \
    "codebook: cannot write 'full/report.html': No space left on device.
2"
  check "and leaves the old report, no temporary file" holds "$tmp/midway.ls" "fill
report.html
stdout.txt
old"
  check "a partial state that fills the disk: said, no file left" holds "$tmp/state.err" \
    "codebook: cannot write 'full/part.state': No space left on device.
2
fill
report.html
stdout.txt"
  check "a plan for a full disk is refused before the pass" holds "$tmp/plan.err" \
    "codebook: cannot write 'full/run.plan': No space left on device (its file system is full).
2"
  check "a read-only file system is named before the pass, new file, old file or plan" holds "$tmp/readonly.err" \
    "codebook: cannot write 'full/new.html': Read-only file system (the folder 'full' is on a file system mounted read-only); name a file elsewhere.
2
codebook: cannot write 'full/report.html': Read-only file system.
2
codebook: cannot write 'full/run.plan': Read-only file system (the folder 'full' is on a file system mounted read-only); name a file elsewhere.
2"
else
  echo "note: not root or no mount namespaces; the full disk is not checked"
fi

# A file and folder named in Latin-1 (their bytes are not UTF-8): every
# report is still UTF-8 text, the name's bad byte shown as U+FFFD.
e_acute=$'\xe9'
mkdir "$tmp/caf$e_acute"
cp "$root/examples/survey/survey.csv" "$tmp/caf$e_acute/d$e_acute.csv"
for format in text html markdown json; do
  check "a $format report naming a file named in Latin-1 is UTF-8" bash -c \
    "'$cb' \"\$1\" 'CODEBOOK id /FILEINFO NAME LOCATION.' -f $format | iconv -f UTF-8 -t UTF-8 | grep -q \"d\$2.csv\"" \
    _ "$tmp/caf$e_acute/d$e_acute.csv" $'\xef\xbf\xbd'
done

# A long name in the HTML overview and headings breaks where its words meet
# (after _ . - and at a capital after a small letter), not inside a word, in a
# narrow window; a name of a few characters is left whole.
printf 'household_income_net,respondentAgeAtInterview,q12.open.text,short_name,x__yz__long__\n1,2,3,4,5\n' >"$tmp/names.csv"
"$cb" "$tmp/names.csv" -f html -o "$tmp/names.html"
names_break() {
  python3 - "$tmp/names.html" <<'PY'
import re, sys
html = open(sys.argv[1]).read()
rows = re.findall(r'role="rowheader"><a href="#t\d+">(.*?)</a>', html)
heads = re.findall(r'<h2[^>]*><span class="n">(.*?)</span>', html)
want = ["household_<wbr>income_<wbr>net", "respondent<wbr>Age<wbr>At<wbr>Interview", "q12.<wbr>open.<wbr>text",
        "short_name", "x__<wbr>yz__<wbr>long__"]
if rows != want or heads != want:
    sys.exit(f"overview {rows}, headings {heads}")
PY
}
check "long names break in the HTML where their words meet" names_break

# Usage checks.
check "--width below 40 exits 2" test "$(status_of "$cb" "$data" --width 39)" = 2
check "--width 40 works" test "$(status_of "$cb" "$data" --width 40)" = 0
# The text overview of a terminal's 80 columns fits them: its ten columns
# come as two tables there.
fits_80() { "$cb" "$data" --overview --width 80 | python3 -c 'import sys; sys.exit(max(len(l.rstrip("\n")) for l in sys.stdin) > 80)'; }
check "--overview --width 80: no line is wider" fits_80
# Nor any narrower line, down to the narrowest allowed: the overview comes in
# as many tables as it takes, titles and messages wrap, and the program's own
# row labels keep their words whole.
fits() {
  "$cb" "$data" --overview --width "$1" 'CODEBOOK ALL $ALL.' 'CODEBOOK nosuch_variable_named_here.' 2>/dev/null | python3 -c '
import re, sys, unicodedata
width = int(sys.argv[1])
cols = lambda l: sum(0 if unicodedata.combining(c) else 2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in l)
lines = sys.stdin.read().splitlines()
over = [l for l in lines if cols(l) > width]
cut = [l for l in lines if re.search(r"\b(Measuremen|Standar|Deviatio|Percentil)$", l)]
for l in over + cut: print(repr(l))
sys.exit(1 if over or cut or not any("nosuch_variable_named_here" in l for l in lines) else 0)' "$1"
  test "${PIPESTATUS[1]}" = 0
}
for width in 40 41 44 50 60 74; do check "--overview --width $width: no line is wider" fits $width; done
# Nor is a row's chart or type cut over two lines where the whole overview
# would only just fit: each of the 24 rows shows its type on one line.
types_whole() {
  "$cb" "$data" --overview --width "$1" | python3 -c '
import re, sys
rows = [l for l in sys.stdin if re.search(r"(Numeric|String|Date|Time), (scale|nominal|ordinal)|(Dichotomy|Category) set", l)]
sys.exit(len(rows) != 24)'
}
for width in 100 124 160; do check "--overview --width $width: types on one line" types_whole $width; done
# Columns no row fills are left out: no labels, no scale variable.
printf 'code,answer\n1,yes\n2,no\n1,no\n' >"$tmp/plain.csv"
no_empty_columns() { "$cb" "$tmp/plain.csv" --overview --width 200 | grep -qx ' *Distribution  Type  *Valid  *Missing  Distinct  Mean or mode'; }
check "--overview leaves out Label, Min and Max when no row has them" no_empty_columns
fails "--syntax naming a folder is refused" 2 '' "$cb" "$data" --syntax "$tmp"
# An unset variable (-o "$OUT") is not a wish for standard output or for plain CODEBOOK.
fails "-o with an empty name is refused" 2 '--output: an empty file name' "$cb" "$data" -o ''
fails "--syntax with an empty name is refused" 2 '--syntax: an empty file name' "$cb" "$data" --syntax ''
fails "--encoding with an empty name is refused" 2 '--encoding: an empty value' "$cb" "$data" --encoding ''
check "--syntax from a pipe is read once" bash -c "'$cb' '$data' --syntax <(echo 'CODEBOOK age.') --format json | grep -q '\"age\"'"
fails "--syntax - reads the commands from standard input, naming it in messages" 1 \
  'standard input, line 1, column 14: nosuch Invalid' bash -c "echo 'CODEBOOK age nosuch.' | '$cb' '$data' --syntax -"
cp "$tmp/commands.cbk" "$tmp/commands.txt"
fails "-o naming the syntax file read as standard input is refused" 2 'is the file read as standard input' \
  bash -c "'$cb' '$data' --syntax - -o '$tmp/commands.txt' <'$tmp/commands.txt'"
check "and the syntax file is unchanged" cmp -s "$tmp/commands.cbk" "$tmp/commands.txt"
fails "--syntax - with the dataset - is refused" 2 'both name standard input' bash -c "'$cb' - --syntax - </dev/null"
csv=$(pwd)/examples/survey/survey.csv
fails "--syntax /dev/stdin with the dataset - is refused" 2 'both read standard input' \
  bash -c "'$cb' - --syntax /dev/stdin <'$csv'"
fails "--syntax - with the dataset /dev/stdin is refused" 2 'both read standard input' \
  bash -c "'$cb' /dev/stdin --syntax - <'$csv'"
check "a syntax file that is also redirected in is read as usual" \
  bash -c "'$cb' '$csv' --syntax '$tmp/commands.cbk' --quiet <'$tmp/commands.cbk' | grep -q ."
fails "the reason from the system is in the message" 2 'Not a directory' "$cb" "$data" --syntax "$tmp/keep.json/x"

finish
