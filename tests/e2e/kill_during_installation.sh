#!/usr/bin/env bash
# Kills halyard-cli with SIGKILL at random moments while it installs 200 files, 50 times, and
# checks after every kill that each destination holds exactly its old or its new version; every
# tenth kill, a following run must complete the update.
# Usage: kill_during_installation.sh HALYARD_CLI FIXTURE_SERVER [KILLS]
set -euo pipefail

cli=$1
server=$2
kills=${3:-50}
files=200

work=$(mktemp -d /tmp/halyard-kill-XXXXXX)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/site/app/files/sub" "$work/old/sub" "$work/new/sub"
{
  printf 'File Changes:\r\n'
  for i in $(seq 1 $files); do
    name=$([ $((i % 3)) -eq 0 ] && echo "sub/f$i.bin" || echo "f$i.bin")
    size=$(( (i * 7919) % 16384 + 4096 ))
    head -c $size /dev/urandom > "$work/old/$name"
    head -c $((size + i)) /dev/urandom > "$work/new/$name"
    cp "$work/new/$name" "$work/site/app/files/$name"
    touch -d '2024-01-01 12:00:00' "$work/old/$name"
    printf '2024-02-01 12:00:00,files/%s\r\n' "$name"
  done
} > "$work/site/app/FileChanges.txt"
printf 'REGEDIT4\r\n' > "$work/site/app/Registry.txt"
(cd "$work/old" && find . -type f | sort) > "$work/names"
(cd "$work/old" && xargs -a "$work/names" -d '\n' md5sum --) > "$work/old.sums"
(cd "$work/new" && xargs -a "$work/names" -d '\n' md5sum --) > "$work/new.sums"

"$server" --root "$work/site" > "$work/server.out" 2> "$work/server.err" &
server_pid=$!
for _ in $(seq 1 100); do [ -s "$work/server.out" ] && break; sleep 0.05; done
port=$(head -n 1 "$work/server.out")
[ -n "$port" ] || { echo "fixture server did not start"; exit 1; }
root="http://127.0.0.1:$port/app/"

reset_program() {
  rm -rf "$work/program"
  cp -a "$work/old" "$work/program"
}

# Every destination is byte-equal to its old or its new version; prints how many are new.
# One checksum process for all files keeps the check fast enough to run after every kill.
check_destinations() {
  (cd "$work/program" && xargs -a "$work/names" -d '\n' md5sum --) |
    awk -v old="$work/old.sums" -v new="$work/new.sums" '
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

now_ms() { date +%s%3N; }

# Starts a run and returns once it reports the installation phase (or has ended); sets
# run_pid. Its status lines come through a FIFO, so the wait needs no polling.
mkfifo "$work/status"
start_until_installing() {
  "$cli" --folder "$work/program" --root "$root" > "$work/status" 2> "$work/cli.err" &
  run_pid=$!
  exec 3< "$work/status"
  local line
  while IFS= read -r line <&3; do
    [ "$line" = "Updating Software" ] && return 0
  done
}

finish_run() {
  wait "$run_pid" 2>/dev/null
  local status=$?
  exec 3<&-
  return $status
}

# Calibration: how long installation takes from its status line to the end of the run.
reset_program
start_until_installing
t0=$(now_ms)
finish_run || { echo "calibration run failed:"; cat "$work/cli.err"; exit 1; }
install_ms=$(( $(now_ms) - t0 ))
[ "$(check_destinations)" -eq $files ] || { echo "calibration run did not install everything"; exit 1; }
[ $install_ms -ge 5 ] || install_ms=5
echo "installation of $files files takes about $install_ms ms"

mixed=0
for round in $(seq 1 "$kills"); do
  reset_program
  start_until_installing
  delay_ms=$(( RANDOM % (install_ms + 1) ))
  sleep "$(printf '%d.%03d' $((delay_ms / 1000)) $((delay_ms % 1000)))"
  kill -KILL "$run_pid" 2>/dev/null || true
  finish_run || true
  new_count=$(check_destinations) || { echo "round $round: corrupt destination after kill"; exit 1; }
  if [ "$new_count" -gt 0 ] && [ "$new_count" -lt $files ]; then mixed=$((mixed + 1)); fi
  echo "round $round: killed after ${delay_ms} ms, $new_count of $files new"
  [ $((round % 10)) -eq 0 ] || continue
  # The next run picks up where the killed one stopped.
  if ! "$cli" --folder "$work/program" --root "$root" > /dev/null 2> "$work/cli.err"; then
    echo "round $round: run after the kill failed:"; cat "$work/cli.err"; exit 1
  fi
  [ "$(check_destinations)" -eq $files ] || { echo "round $round: rerun left old files"; exit 1; }
done
echo "kills: $kills, every destination old or new after each; $mixed kills landed mid-installation"
