#!/bin/sh
# Measures the CPU share that ShellAndWait uses while it waits for "sleep 10".
# Usage: bench/shell_and_wait_cpu.sh [build-folder]   (default: build/bench)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/bench}
# An existing build folder keeps its own options; a new one is configured for release.
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALYARD_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target bench_shell_and_wait_cpu >/dev/null
report=$(mktemp)
trap 'rm -f "$report"' EXIT
/usr/bin/time -v "$build/bench/bench_shell_and_wait_cpu" "sleep 10" 0 2>"$report"
# User and system time include the waited-for program's, so the share is an upper bound.
awk -F': ' '
  /User time \(seconds\)/ { user = $2 }
  /System time \(seconds\)/ { sys = $2 }
  /Elapsed \(wall clock\) time/ {
    n = split($2, part, ":"); wall = 0
    for (i = 1; i <= n; i++) wall = wall * 60 + part[i]
  }
  END {
    printf "user %.2f s, system %.2f s, wall %.2f s: CPU share %.2f%% of one core\n",
      user, sys, wall, 100 * (user + sys) / wall
  }' "$report"
