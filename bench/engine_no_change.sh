#!/usr/bin/env bash
# A halyard-cli run that finds nothing newer over a 32,000-line change list (download, parse,
# compare, registry phase), against `xargs stat` on the same 32,000 local files, side by side
# against the fixture server on 127.0.0.1. Goal: the run takes at most 2x the time of the stat.
# Usage: bench/engine_no_change.sh [build-folder] [repetitions]   (default: build/bench, 5)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/bench}
repetitions=${2:-5}
lines=32000
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

# 32 folders of 1,000 small files, all written after the date the change list gives them.
mkdir -p "$work/site/app" "$work/program"
for folder in $(seq -w 1 32); do mkdir -p "$work/program/d$folder"; done
awk -v n="$lines" -v list="$work/site/app/FileChanges.txt" -v paths="$work/paths" '
  BEGIN {
    printf "File Changes:\r\n" > list
    for (i = 0; i < n; i++) {
      path = sprintf("d%02d/file%05d.dat", i % 32 + 1, i)
      printf "2024-01-01 12:00:00,files/%s\r\n", path > list
      print path > paths
    }
  }'
(cd "$work/program" && xargs -a "$work/paths" touch)
printf 'REGEDIT4\r\n' > "$work/site/app/Registry.txt"

"$server" --root "$work/site" > "$work/server.out" 2> "$work/server.err" &
server_pid=$!
for _ in $(seq 1 100); do [ -s "$work/server.out" ] && break; sleep 0.05; done
base="http://127.0.0.1:$(head -n 1 "$work/server.out")"

elapsed() {  # command... -> wall seconds
  local start end
  start=$(date +%s%N)
  "$@"
  end=$(date +%s%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", (b - a) / 1e9 }'
}

run_stat() { (cd "$work/program" && xargs -a "$work/paths" stat > /dev/null); }
run_halyard() {
  "$cli" --folder "$work/program" --root "$base/app/" > "$work/cli.out" 2> "$work/cli.err" ||
    { echo "halyard-cli failed:" >&2; cat "$work/cli.err" >&2; exit 1; }
  # Nothing may have been fetched: no "Replace" line.
  if grep -q "^Replace" "$work/cli.out"; then echo "halyard-cli replaced files" >&2; exit 1; fi
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

run_stat  # warm the caches for both
: > "$work/stat.times"; : > "$work/halyard.times"
for _ in $(seq 1 "$repetitions"); do
  elapsed run_stat >> "$work/stat.times"
  elapsed run_halyard >> "$work/halyard.times"
done
awk -v s="$(median < "$work/stat.times")" -v h="$(median < "$work/halyard.times")" \
  -v n="$repetitions" -v l="$lines" 'BEGIN {
  printf "no-change run over %d lines (median of %d): xargs stat %.2f s, halyard-cli %.2f s, ratio %.2fx (goal <= 2.00x)\n",
    l, n, s, h, h / s }'
