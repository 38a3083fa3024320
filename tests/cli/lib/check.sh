# Sourced by the command-line checks: a scratch folder removed on exit,
# check DESCRIPTION COMMAND... that counts what passed and failed, status_of
# COMMAND... (its exit status, output discarded), fails DESCRIPTION STATUS
# TEXT COMMAND... (the command ends with STATUS and its standard error holds
# TEXT, a fixed string) and finish (the summary and the script's status).
# HTML and Markdown reports carry the minute they were made: fixed here, so
# that two runs compare byte for byte even when a minute turns between them.
export SOURCE_DATE_EPOCH=1767225600
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
passed=0 failed=0
check() {  # description, then a command that must succeed
  local what=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what"; fi
}
status_of() { "$@" >/dev/null 2>&1; echo $?; }
fails() {
  local what=$1 want=$2 text=$3; shift 3
  "$@" >/dev/null 2>"$tmp/.stderr"
  local status=$?
  if [ "$status" = "$want" ] && grep -qF -- "$text" "$tmp/.stderr"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $what (status $status, expected $want and \"$text\" in:)"
    head -c 1000 "$tmp/.stderr"
  fi
}
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" = 0 ]
}
