#!/usr/bin/env bash
# Fetching an update with halyard-cli against one curl process fetching the same URLs one after
# the other over a reused connection (all URLs in one -K config file), side by side against the
# same fixture server on 127.0.0.1: first 1,000 files of 64 KB, then one file of 512 MB. Also
# reports the peak memory of halyard-cli. Goals: wall time at most 1.1x curl's, and under 32 MB
# of peak memory during the 512 MB update.
# Usage: bench/engine_transfer.sh [build-folder] [repetitions]   (default: build/bench, 3)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/common.sh"
build=${1:-$root/build/bench}
repetitions=${2:-3}
build_targets "$build" halyard-cli halyard-fixture-server
cli=$build/tools/cli/halyard-cli

work=$(mktemp -d "${TMPDIR:-/tmp}/halyard-bench-XXXXXX")
at_exit 'rm -rf "$work"'

# One update set per scenario: its files, its change list and the curl config for them.
make_set() {  # name count size_bytes
  local name=$1 count=$2 size=$3 i
  mkdir -p "$work/site/$name/files"
  {
    printf 'File Changes:\r\n'
    for i in $(seq 1 "$count"); do printf '2024-02-01 12:00:00,files/f%d.bin\r\n' "$i"; done
  } > "$work/site/$name/FileChanges.txt"
  printf 'REGEDIT4\r\n' > "$work/site/$name/Registry.txt"
  if [ "$count" -eq 1 ]; then
    head -c "$size" /dev/urandom > "$work/site/$name/files/f1.bin"
  else
    head -c "$size" /dev/urandom > "$work/seed"
    for i in $(seq 1 "$count"); do
      # Distinct contents without reading /dev/urandom a thousand times.
      { printf '%08d' "$i"; tail -c +9 "$work/seed"; } > "$work/site/$name/files/f$i.bin"
    done
  fi
}
make_set small 1000 65536
make_set large 1 $((512 * 1024 * 1024))

start_fixture_server "$build/tools/fixture-server/halyard-fixture-server" "$work/site" "$work"

curl_config() {  # name count target_folder
  local i
  for i in $(seq 1 "$2"); do
    printf 'url = "%s/%s/files/f%d.bin"\noutput = "%s/f%d.bin"\n' "$base_url" "$1" "$i" "$3" "$i"
  done
}

run_curl() {  # name count -> wall seconds
  rm -rf "$work/curl-out" && mkdir -p "$work/curl-out"
  curl_config "$1" "$2" "$work/curl-out" > "$work/curl.cfg"
  # Each program starts without the other's writes still pending: halyard-cli flushes its
  # staged files and would otherwise wait for curl's data as well.
  sync
  elapsed curl -s -f -K "$work/curl.cfg"
}

run_halyard() {  # name -> measure's fields
  rm -rf "$work/program" && mkdir -p "$work/program"
  sync
  measure "$cli" --folder "$work/program" --root "$base_url/$1/"
}

for scenario in "small 1000 1,000 files of 64 KB" "large 1 one file of 512 MB"; do
  set -- $scenario
  name=$1 count=$2
  shift 2
  title="$*"
  : > "$work/curl.times"; : > "$work/halyard.times"
  for _ in $(seq 1 "$repetitions"); do
    run_curl "$name" "$count" >> "$work/curl.times"
    run_halyard "$name" >> "$work/halyard.times"
  done
  curl_wall=$(median < "$work/curl.times")
  halyard_wall=$(column_median "$work/halyard.times" 1)
  peak=$(column_greatest "$work/halyard.times" 2)
  awk -v t="$title" -v c="$curl_wall" -v h="$halyard_wall" -v p="$peak" -v n="$repetitions" 'BEGIN {
    printf "%s (median of %d): curl %.2f s, halyard-cli %.2f s, ratio %.2fx (goal <= 1.10x); halyard-cli peak memory %.1f MB\n",
      t, n, c, h, h / c, p / 1024 }'
done
