# Sourced by the end-to-end scripts: check runs one test command and counts what fails;
# report_checks ends the script, failing when any check did.
failures=0
check() {  # description, then a test command
  local description=$1
  shift
  if "$@"; then echo "ok: $description"; else echo "FAILED: $description"; failures=$((failures + 1)); fi
}
report_checks() {
  [ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
}
