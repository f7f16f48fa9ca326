#!/usr/bin/env bash
# A halyard-cli run that finds nothing newer over a 32,000-line change list (download, parse,
# compare, registry phase), against `xargs stat` on the same 32,000 local files, side by side
# against the fixture server on 127.0.0.1. Goal: the run takes at most 2x the time of the stat.
# Usage: bench/engine_no_change.sh [build-folder] [repetitions]   (default: build/bench, 5)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/common.sh"
build=${1:-$root/build/bench}
repetitions=${2:-5}
lines=32000
build_targets "$build" halyard-cli halyard-fixture-server
cli=$build/tools/cli/halyard-cli

work=$(mktemp -d "${TMPDIR:-/tmp}/halyard-bench-XXXXXX")
at_exit 'rm -rf "$work"'

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

start_fixture_server "$build/tools/fixture-server/halyard-fixture-server" "$work/site" "$work"

run_stat() { (cd "$work/program" && xargs -a "$work/paths" stat > /dev/null); }
run_halyard() {
  "$cli" --folder "$work/program" --root "$base_url/app/" > "$work/cli.out" 2> "$work/cli.err" ||
    { echo "halyard-cli failed:" >&2; cat "$work/cli.err" >&2; exit 1; }
  # Nothing may have been fetched: no "Replace" line.
  if grep -q "^Replace" "$work/cli.out"; then echo "halyard-cli replaced files" >&2; exit 1; fi
}

run_stat  # warm the caches for both
: > "$work/stat.times"; : > "$work/halyard.times"
for _ in $(seq 1 "$repetitions"); do
  elapsed run_stat >> "$work/stat.times"
  elapsed run_halyard >> "$work/halyard.times"
done
awk -v s="$(median < "$work/stat.times")" -v h="$(median < "$work/halyard.times")" \
  -v n="$repetitions" -v l="$lines" 'BEGIN {
  printf "no-change run over %d lines (median of %d): xargs stat %.2f s, halyard-cli %.2f s, ratio %.2fx (goal <= 1.50x)\n",
    l, n, s, h, h / s }'
