#!/usr/bin/env bash
# The cost of installing an update as one whole (pre-flight, journal, old versions kept until the
# last file is in place): a 1,000-file update over an installed older version with this tree's
# halyard-cli against the same update with the halyard-cli of an earlier commit, built into a
# second folder, taking turns against one fixture server on 127.0.0.1. Goal: at most 1.10x.
# Usage: bench/whole_update.sh [baseline-commit] [repetitions] [build-folder]
#        (defaults: the commit this branch left main at, 7, build/bench)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/common.sh"
baseline=${1:-$(git -C "$root" merge-base HEAD main)}
repetitions=${2:-7}
build=${3:-$root/build/bench}
files=1000
size=65536

work=$(mktemp -d "${TMPDIR:-/tmp}/halyard-bench-XXXXXX")
at_exit 'rm -rf "$work"'

build_targets "$build" halyard-cli halyard-fixture-server
# The earlier commit's sources, exported once (no worktree is registered) and built beside.
commit=$(git -C "$root" rev-parse "$baseline")
baseline_source=$build-baseline/source
if [ "$(cat "$build-baseline/commit" 2>/dev/null)" != "$commit" ]; then
  rm -rf "$build-baseline"
  mkdir -p "$baseline_source"
  git -C "$root" archive "$commit" | tar -x -C "$baseline_source"
  echo "$commit" > "$build-baseline/commit"
fi
(root=$baseline_source && build_targets "$build-baseline/build" halyard-cli)

# The update: 1,000 files of 64 KB in 10 folders, each replacing an older installed one.
mkdir -p "$work/site/app/files" "$work/installed"
head -c "$size" /dev/urandom > "$work/seed"
{
  printf 'File Changes:\r\n'
  for i in $(seq 1 "$files"); do
    path="d$((i % 10))/f$i.bin"
    mkdir -p "$work/site/app/files/d$((i % 10))" "$work/installed/d$((i % 10))"
    { printf '%08d' "$i"; tail -c +9 "$work/seed"; } > "$work/site/app/files/$path"
    printf 'old %d\n' "$i" > "$work/installed/$path"
    printf '2024-02-01 12:00:00,files/%s\r\n' "$path"
  done
} > "$work/site/app/FileChanges.txt"
printf 'REGEDIT4\r\n' > "$work/site/app/Registry.txt"
find "$work/installed" -type f -exec touch -d '2024-01-01 12:00:00' {} +

start_fixture_server "$build/tools/fixture-server/halyard-fixture-server" "$work/site" "$work"

update_quietly() {  # cli
  "$1" --folder "$work/program" --root "$base_url/app/" > /dev/null 2> "$work/cli.err" ||
    { echo "$1 failed:" >&2; cat "$work/cli.err" >&2; exit 1; }
}
run_update() {  # cli -> wall seconds
  rm -rf "$work/program"
  cp -a "$work/installed" "$work/program"
  # Each run starts without the other's writes still pending.
  sync
  elapsed update_quietly "$1"
  [ "$(find "$work/program" -type f -name 'f*.bin' -size "${size}c" | wc -l)" -eq "$files" ] ||
    { echo "$1 did not install every file" >&2; exit 1; }
}
run_current() { run_update "$build/tools/cli/halyard-cli" >> "$work/current.times"; }
run_baseline() { run_update "$build-baseline/build/tools/cli/halyard-cli" >> "$work/baseline.times"; }

: > "$work/current.times"
: > "$work/baseline.times"
run_current >/dev/null && run_baseline >/dev/null  # warm the caches for both
: > "$work/current.times"
: > "$work/baseline.times"
alternate_rounds "$repetitions" run_current run_baseline
awk -v c="$(median < "$work/current.times")" -v b="$(median < "$work/baseline.times")" \
  -v n="$repetitions" -v ref="$(git -C "$root" rev-parse --short "$baseline")" 'BEGIN {
  printf "1,000 files of 64 KB over installed older ones (median of %d): before (%s) %.3f s, whole-update %.3f s, ratio %.2fx (goal <= 1.10x)\n",
    n, ref, b, c, c / b }'
