#!/usr/bin/env bash
# Kills halyard-cli with SIGKILL in every phase of an update (200 files, some zipped, a registry
# list that arrives slowly, two programs to run), round after round. After each kill every
# destination holds exactly its old or its new version; the next run must then leave the
# release complete and byte-equal, every registry value written and every program run: a
# program the journal marked finished never again, every other one exactly once.
# Prints how many kills landed in each phase and how many runs each recovery took.
# Usage: kill_during_installation.sh HALYARD_CLI FIXTURE_SERVER [KILLS]
set -euo pipefail

cli=$1
server=$2
kills=${3:-28}
files=200
zipped=20
values=40

work=$(mktemp -d /tmp/halyard-kill-XXXXXX)
. "$(dirname "$0")/checks.sh"
trap stop_server_and_remove_work EXIT

# --- The release: files (a tenth of them zipped), two programs, a registry list ------------
mkdir -p "$work/site/app/files/sub" "$work/site/app/files/bin" "$work/old/sub" "$work/new/sub" \
  "$work/new/bin" "$work/zip"
log=$work/runs.log
program_script() {  # name seconds
  printf '#!/bin/sh\necho "%s start" >> "%s"\nsleep %s\necho "%s end" >> "%s"\n' "$1" "$log" "$2" "$1" "$log"
}
{
  printf 'File Changes:\r\n'
  for i in $(seq 1 $files); do
    name=$([ $((i % 3)) -eq 0 ] && echo "sub/f$i.bin" || echo "f$i.bin")
    size=$(( (i * 7919) % 16384 + 4096 ))
    head -c $size /dev/urandom > "$work/old/$name"
    head -c $((size + i)) /dev/urandom > "$work/new/$name"
    touch -d '2024-01-01 12:00:00' "$work/old/$name"
    if [ "$i" -le $zipped ]; then
      # Published as f<i>.zip holding the file under its own name.
      (cd "$work/zip" && cp "$work/new/$name" "f$i.bin" && zip -q "$work/site/app/files/${name%.bin}.zip" "f$i.bin")
      printf '2024-02-01 12:00:00,files/%s,ZIPPED\r\n' "$name"
    else
      cp "$work/new/$name" "$work/site/app/files/$name"
      printf '2024-02-01 12:00:00,files/%s\r\n' "$name"
    fi
  done
  for program in "first 0.1" "slow 0.3"; do
    set -- $program
    program_script "$1" "$2" > "$work/new/bin/$1.sh"
    cp "$work/new/bin/$1.sh" "$work/site/app/files/bin/$1.sh"
    printf '2024-02-01 12:00:00,files/bin/%s.sh,EXECUTE\r\n' "$1"
  done
} > "$work/site/app/FileChanges.txt"
{
  printf 'REGEDIT4\r\n'
  for i in $(seq 1 $values); do printf 'HKEY_CURRENT_USER,Software\\Halyard\\KillTest,v%d,%d\r\n' "$i" "$i"; done
} > "$work/site/app/Registry.txt"
(cd "$work/new" && find . -type f | sort) > "$work/names"
(cd "$work/new" && xargs -a "$work/names" -d '\n' md5sum --) > "$work/new.sums"
(cd "$work/old" && find . -type f | sort | xargs -d '\n' md5sum --) > "$work/old.sums"
printf '[Platform]\r\nRegistryFolder=%s\r\n' "$work/registry" > "$work/old/updater.ini"

# The registry list trickles in (1 KB every 40 ms), so that kills can land while it arrives.
"$server" --root "$work/site" --fault /app/Registry.txt=trickle:40 > "$work/server.out" 2> "$work/server.err" &
server_pid=$!
for _ in $(seq 1 100); do [ -s "$work/server.out" ] && break; sleep 0.05; done
port=$(head -n 1 "$work/server.out")
[ -n "$port" ] || { echo "fixture server did not start"; exit 1; }
root="http://127.0.0.1:$port/app/"

reset_program() {
  rm -rf "$work/program" "$work/registry" "$log"
  cp -a "$work/old" "$work/program"
}

# Every destination is byte-equal to its old or its new version (a new file may be missing);
# prints how many are new. One checksum process for all files keeps it fast.
check_destinations() {
  (cd "$work/program" && xargs -a "$work/names" -d '\n' md5sum -- 2>/dev/null || true) |
    awk -v old="$work/old.sums" -v new="$work/new.sums" -v names="$work/names" '
      BEGIN {
        while ((getline line < old) > 0) { split(line, f, "  "); old_sum[f[2]] = f[1] }
        while ((getline line < new) > 0) { split(line, f, "  "); new_sum[f[2]] = f[1] }
      }
      { seen[$2] = 1
        if ($1 == new_sum[$2]) fresh++
        else if ($1 != old_sum[$2]) { print "CORRUPT: " $2 " is neither its old nor its new version" > "/dev/stderr"; bad = 1 } }
      END {
        for (name in old_sum) if (!(name in seen)) { print "MISSING: " name > "/dev/stderr"; bad = 1 }
        if (bad) exit 1
        print fresh + 0
      }'
}

registry_values() {
  "$cli" --folder "$work/program" --print-registry 'HKEY_CURRENT_USER\Software\Halyard\KillTest' 2>/dev/null |
    grep -c REG_DWORD || true
}

journal_phase() {
  sed -n 's/^phase\t//p' "$work/program/Halyard.journal" 2>/dev/null || true
}

starts() {  # program -> how often it has started
  grep -c "^$1 start" "$log" 2>/dev/null || true
}

now_ms() { date +%s%3N; }
sleep_ms() { sleep "$(printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)))"; }

# Starts a run and returns once it prints the given status line (or has ended); sets run_pid.
# Its status lines come through a FIFO, so the wait needs no polling.
mkfifo "$work/status"
start_until() {  # status-line
  "$cli" --folder "$work/program" --root "$root" > "$work/status" 2> "$work/cli.err" &
  run_pid=$!
  exec 3< "$work/status"
  local line
  while IFS= read -r line <&3; do
    [ "$line" = "$1" ] && return 0
  done
}

# Returns as soon as the journal appears (it is written just before the first file is
# installed) or the run is over. A tight loop of shell builtins: installing takes milliseconds.
wait_for_journal() {
  until [ -e "$work/program/Halyard.journal" ] || ! kill -0 "$run_pid" 2>/dev/null; do :; done
}

# Waits (up to 10 s) until the journal reaches a phase, or the run is over.
wait_for_phase() {  # phase
  for _ in $(seq 1 2000); do
    [ "$(journal_phase)" = "$1" ] && return 0
    kill -0 "$run_pid" 2>/dev/null || return 0
    sleep 0.005
  done
}

finish_run() {
  wait "$run_pid" 2>/dev/null
  local status=$?
  exec 3<&-
  return $status
}

# A program goes on after the updater is killed; its end is waited for, so that the log is
# settled before the next run.
wait_for_programs() {
  for _ in $(seq 1 200); do
    [ "$(grep -c ' start$' "$log" 2>/dev/null || true)" = "$(grep -c ' end$' "$log" 2>/dev/null || true)" ] && return 0
    sleep 0.05
  done
  echo "a program did not end"; exit 1
}

# --- Calibration: how long transfer, decompression, installation, registry and execution take
reset_program
start_until "Retrieving updated files"
t_transfer=$(now_ms)
while IFS= read -r line <&3; do [ "$line" = "Decompressing files" ] && break; done
t_decompress=$(now_ms)
while IFS= read -r line <&3; do [ "$line" = "Updating Software" ] && break; done
t_updating=$(now_ms)
wait_for_journal
t_installing=$(now_ms)
wait_for_phase registry
t_registry=$(now_ms)
wait_for_phase execute
t_execute=$(now_ms)
finish_run || { echo "calibration run failed:"; cat "$work/cli.err"; exit 1; }
t_end=$(now_ms)
[ "$(check_destinations)" -eq "$(wc -l < "$work/names")" ] || { echo "calibration run did not install everything"; exit 1; }
[ "$(registry_values)" -eq $values ] || { echo "calibration run did not write every registry value"; exit 1; }
transfer_ms=$((t_decompress - t_transfer))
decompress_ms=$((t_updating - t_decompress))
preflight_ms=$((t_installing - t_updating))
install_ms=$((t_registry - t_installing))
registry_ms=$((t_execute - t_registry))
execute_ms=$((t_end - t_execute))
echo "phases take about: transfer $transfer_ms ms, decompression $decompress_ms ms," \
  "pre-flight $preflight_ms ms, installation $install_ms ms, registry $registry_ms ms," \
  "programs $execute_ms ms"

declare -A landed=()
mixed=0
most_runs=0
total_runs=0
targets=(list compare transfer decompress install registry execute)
for round in $(seq 1 "$kills"); do
  reset_program
  target=${targets[$(( (round - 1) % ${#targets[@]} ))]}
  case $target in
    list) start_until "Retrieving List of Updated Files"; delay=$((RANDOM % 20)) ;;
    compare) start_until "Comparing local files"; delay=$((RANDOM % 3)) ;;
    transfer) start_until "Retrieving updated files"; delay=$((RANDOM % (transfer_ms + 1))) ;;
    decompress) start_until "Decompressing files"; delay=$((RANDOM % (decompress_ms + 1))) ;;
    install) start_until "Updating Software"; wait_for_journal; delay=$((RANDOM % (install_ms + 1))) ;;
    registry) start_until "Updating Software"; wait_for_phase registry; delay=$((RANDOM % (registry_ms + 1))) ;;
    execute) start_until "Updating Software"; wait_for_phase execute; delay=$((RANDOM % (execute_ms + 1))) ;;
  esac
  sleep_ms "$delay"
  kill -KILL "$run_pid" 2>/dev/null || true
  finish_run || true
  wait_for_programs

  new_count=$(check_destinations) || { echo "round $round: corrupt destination after the kill"; exit 1; }
  phase=$(journal_phase)
  case $phase in
    install | roll-back) where=install ;;
    registry | execute) where=$phase ;;
    *) if [ "$new_count" -eq "$(wc -l < "$work/names")" ]; then where="after the end"
       elif [ "$target" = install ] || [ "$target" = registry ] || [ "$target" = execute ]; then where=pre-flight
       else where=$target; fi ;;
  esac
  landed[$where]=$(( ${landed[$where]:-0} + 1 ))
  if [ "$new_count" -gt 0 ] && [ "$new_count" -lt "$(wc -l < "$work/names")" ]; then mixed=$((mixed + 1)); fi
  # What the journal says of each program decides how often the next run may start it.
  declare -A expected=()
  for program in first slow; do
    state=$(sed -n "s|^program\t\([a-z]*\)\t.*/bin/$program.sh\$|\1|p" "$work/program/Halyard.journal" 2>/dev/null || true)
    if [ "$where" = "after the end" ] || [ "$state" = finished ]; then expected[$program]=0; else expected[$program]=1; fi
    expected[$program]=$(( $(starts $program) + ${expected[$program]} ))
  done

  runs=0
  until [ $runs -ge 3 ]; do
    runs=$((runs + 1))
    "$cli" --folder "$work/program" --root "$root" > "$work/recovery.out" 2> "$work/cli.err" && break
    [ $runs -lt 3 ] || { echo "round $round: no run after the kill succeeded:"; cat "$work/cli.err"; exit 1; }
  done
  total_runs=$((total_runs + runs))
  [ $runs -le $most_runs ] || most_runs=$runs
  [ "$(check_destinations)" -eq "$(wc -l < "$work/names")" ] || { echo "round $round: the release is not complete"; exit 1; }
  [ "$(registry_values)" -eq $values ] || { echo "round $round: registry values missing"; exit 1; }
  [ ! -e "$work/program/Halyard.journal" ] || { echo "round $round: the journal is left"; exit 1; }
  leftovers=$(cd "$work/program" && find . -name '*.halyard-*' -o -name Temp | head -n 3)
  [ -z "$leftovers" ] || { echo "round $round: left behind: $leftovers"; exit 1; }
  for program in first slow; do
    if [ "$(starts $program)" -ne "${expected[$program]}" ]; then
      echo "round $round (killed in $where): $program started $(starts $program) times, expected ${expected[$program]}"
      cat "$log"; exit 1
    fi
  done
  echo "round $round: aimed at $target, killed in $where after ${delay} ms ($new_count new), recovered in $runs run(s)"
done

summary=""
for where in list compare transfer decompress pre-flight install registry execute "after the end"; do
  summary="$summary $where ${landed[$where]:-0},"
done
echo "kills: $kills, landed in:${summary%,}; $mixed left old and new files side by side;" \
  "runs to recover: $total_runs in all, at most $most_runs per kill"
