#!/usr/bin/env bash
# halyard-cli end to end: settings from updater.ini, status lines, "Tollgate:" messages, the exit
# code of every outcome, and Ctrl+C (SIGINT) as the Cancel button.
# Usage: cli_outcomes.sh HALYARD_CLI FIXTURE_SERVER
set -euo pipefail

cli=$1
server=$2
work=$(mktemp -d /tmp/halyard-cli-XXXXXX)
. "$(dirname "$0")/checks.sh"
trap stop_server_and_remove_work EXIT

mkdir -p "$work/site/acme/app/files" "$work/program" "$work/registry"
printf 'new a' > "$work/site/acme/app/files/a.txt"
head -c 300000 /dev/urandom > "$work/site/acme/app/files/big.bin"
printf 'REGEDIT4\r\n' > "$work/site/acme/app/Registry.txt"
list() { { printf 'File Changes:\r\n'; printf '%s\r\n' "$@"; } > "$work/site/acme/app/FileChanges.txt"; }

start_server() {  # extra fault options
  if [ -n "$server_pid" ]; then kill "$server_pid"; wait "$server_pid" 2>/dev/null || true; fi
  : > "$work/server.out"
  "$server" --root "$work/site" "$@" > "$work/server.out" 2> /dev/null &
  server_pid=$!
  for _ in $(seq 1 100); do [ -s "$work/server.out" ] && break; sleep 0.05; done
  port=$(head -n 1 "$work/server.out")
  printf '[Updater]\r\nServerName=127.0.0.1:%s\r\nServerPath=acme/app\r\n[Platform]\r\nRegistryFolder=%s\r\n' \
    "$port" "$work/registry" > "$work/program/updater.ini"
}

run() {  # runs the update on the program folder; sets code, out and err
  code=0
  "$cli" --folder "$work/program" --stall-timeout 2 "$@" > "$work/out" 2> "$work/err" || code=$?
}

start_server
list '2024-02-01 12:00:00,files/a.txt'
run
check "success exits 0" [ "$code" -eq 0 ]
check "update root comes from updater.ini" [ "$(cat "$work/program/a.txt")" = "new a" ]
check "status lines go to stdout" grep -qx "Retrieving a.txt" "$work/out"
check "no message on success" bash -c "! grep -q Tollgate '$work/err'"

run
check "nothing newer exits 0" [ "$code" -eq 0 ]
check "nothing newer fetches nothing" bash -c "! grep -q '^Retrieving a.txt' '$work/out'"

list '2024-02-01 12:00:00,files/missing.txt'
run
check "transfer failure exits 3" [ "$code" -eq 3 ]
check "transfer failure shows two messages" [ "$(grep -c '^Tollgate: ' "$work/err")" -eq 2 ]
check "second message is the transfer message" \
  grep -qx "Tollgate: An error occured transfering files from the Web" "$work/err"

# Names from the server reach the terminal with their control characters escaped.
list "$(printf '2024-02-01 12:00:00,files/e\033]0;owned\007.txt')"
run
check "a server's name is printed escaped" grep -qF 'e\x1b]0;owned\x07.txt' "$work/out"
check "no control character reaches the terminal" \
  bash -c "! grep -q \$'[\\x01-\\x08\\x1b]' '$work/out' '$work/err'"

# The registry list of a run, shown again with --print-registry.
printf 'REGEDIT4\r\nHKEY_CURRENT_USER,Software\\Acme,Build,42\r\nHKEY_CURRENT_USER,Software\\Acme,Name,a\tb\r\n' \
  > "$work/site/acme/app/Registry.txt"
list '2024-02-01 12:00:00,files/a.txt'
run
check "registry run exits 0" [ "$code" -eq 0 ]
printed=0
"$cli" --folder "$work/program" --print-registry 'hkey_current_user\Software\Acme' > "$work/out" 2>&1 || printed=$?
check "--print-registry exits 0 for a stored key" [ "$printed" -eq 0 ]
check "--print-registry shows a DWORD" grep -q '"Build".*REG_DWORD.*42' "$work/out"
check "--print-registry escapes a tab" grep -q '"Name".*REG_SZ.*a\\t\?.*b\|"Name".*REG_SZ.*a\\x09b' "$work/out"
printed=0
"$cli" --folder "$work/program" --print-registry 'HKEY_CURRENT_USER\Software\Missing' > "$work/out" 2>&1 || printed=$?
check "--print-registry exits 1 for a missing key" [ "$printed" -eq 1 ]
printed=0
"$cli" --folder "$work/program" --print-registry 'HKCU\Software\Acme' > "$work/out" 2>&1 || printed=$?
check "--print-registry refuses an unknown root" [ "$printed" -eq 64 ]
printf 'REGEDIT4\r\n' > "$work/site/acme/app/Registry.txt"

printf 'no header\r\n' > "$work/site/acme/app/FileChanges.txt"
run
check "missing header exits 1" [ "$code" -eq 1 ]
check "missing header message" grep -qx "Tollgate: Error downloading File List " "$work/err"

list '2024-02-01 12:00:00,files/a.txt'
run --root "http://127.0.0.1:$port/elsewhere/"
check "--root overrides updater.ini" [ "$code" -eq 1 ]
check "--root is where the list is fetched" grep -qx "Tollgate: Error downloading File List " "$work/err"

# Ctrl+C while a file trickles in: the run stops as if Cancel had been pressed.
start_server --fault /acme/app/files/big.bin=trickle:5
list '2024-03-01 12:00:00,files/big.bin'
"$cli" --folder "$work/program" > "$work/out" 2> "$work/err" &
pid=$!
for _ in $(seq 1 200); do grep -q '^Retrieving big.bin' "$work/out" && break; sleep 0.05; done
sleep 0.3
kill -INT "$pid"
code=0
wait "$pid" || code=$?
check "Ctrl+C during a transfer exits 2" [ "$code" -eq 2 ]
check "cancelled run installs nothing" [ ! -e "$work/program/big.bin" ]
check "cancelled run removes the staging folder" [ ! -e "$work/program/Temp" ]
check "cancel shows no Tollgate message" bash -c "! grep -q Tollgate '$work/err'"

report_checks
echo "all checks passed"
