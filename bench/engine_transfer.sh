#!/usr/bin/env bash
# Fetching an update with halyard-cli against one curl process fetching the same URLs one after
# the other over a reused connection (all URLs in one -K config file), side by side against the
# same fixture server on 127.0.0.1: first 1,000 files of 64 KB, then one file of 512 MB. Also
# reports the peak memory of halyard-cli. Goals: wall time at most 1.1x curl's, and under 32 MB
# of peak memory during the 512 MB update.
# Usage: bench/engine_transfer.sh [build-folder] [repetitions]   (default: build/bench, 3)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/bench}
repetitions=${2:-3}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALYARD_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target halyard-cli halyard-fixture-server >/dev/null
cli=$build/tools/cli/halyard-cli
server=$build/tools/fixture-server/halyard-fixture-server

work=$(mktemp -d "${TMPDIR:-/tmp}/halyard-bench-XXXXXX")
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

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

"$server" --root "$work/site" > "$work/server.out" 2> "$work/server.err" &
server_pid=$!
for _ in $(seq 1 100); do [ -s "$work/server.out" ] && break; sleep 0.05; done
base="http://127.0.0.1:$(head -n 1 "$work/server.out")"

curl_config() {  # name count target_folder
  local i
  for i in $(seq 1 "$2"); do
    printf 'url = "%s/%s/files/f%d.bin"\noutput = "%s/f%d.bin"\n' "$base" "$1" "$i" "$3" "$i"
  done
}

seconds_between() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'; }

run_curl() {  # name count -> wall seconds
  rm -rf "$work/curl-out" && mkdir -p "$work/curl-out"
  curl_config "$1" "$2" "$work/curl-out" > "$work/curl.cfg"
  # Each program starts without the other's writes still pending: halyard-cli flushes its
  # staged files and would otherwise wait for curl's data as well.
  sync
  local start end
  start=$(date +%s%N)
  curl -s -f -K "$work/curl.cfg"
  end=$(date +%s%N)
  seconds_between "$start" "$end"
}

run_halyard() {  # name -> "wall_seconds peak_kb"
  rm -rf "$work/program" && mkdir -p "$work/program"
  sync
  /usr/bin/time -f '%e %M' -o "$work/time.out" \
    "$cli" --folder "$work/program" --root "$base/$1/" > /dev/null 2> "$work/cli.err" ||
    { echo "halyard-cli failed:" >&2; cat "$work/cli.err" >&2; exit 1; }
  cat "$work/time.out"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

for scenario in "small 1000 1,000 files of 64 KB" "large 1 one file of 512 MB"; do
  set -- $scenario
  name=$1 count=$2
  shift 2
  title="$*"
  : > "$work/curl.times"; : > "$work/halyard.times"; : > "$work/halyard.peaks"
  for _ in $(seq 1 "$repetitions"); do
    run_curl "$name" "$count" >> "$work/curl.times"
    read -r wall peak < <(run_halyard "$name")
    echo "$wall" >> "$work/halyard.times"
    echo "$peak" >> "$work/halyard.peaks"
  done
  curl_wall=$(median < "$work/curl.times")
  halyard_wall=$(median < "$work/halyard.times")
  peak=$(sort -n "$work/halyard.peaks" | tail -n 1)
  awk -v t="$title" -v c="$curl_wall" -v h="$halyard_wall" -v p="$peak" -v n="$repetitions" 'BEGIN {
    printf "%s (median of %d): curl %.2f s, halyard-cli %.2f s, ratio %.2fx (goal <= 1.10x); halyard-cli peak memory %.1f MB\n",
      t, n, c, h, h / c, p / 1024 }'
done
