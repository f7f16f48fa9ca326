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

# For the EXIT trap of a script with a scratch folder $work and perhaps a server in server_pid:
# both go however the script ends.
server_pid=
stop_server_and_remove_work() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
