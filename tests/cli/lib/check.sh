# Sourced by the command-line checks: a scratch folder removed on exit, and
# check DESCRIPTION COMMAND... that counts what passed and failed.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
passed=0 failed=0
check() {  # description, then a command that must succeed
  local what=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what"; fi
}
