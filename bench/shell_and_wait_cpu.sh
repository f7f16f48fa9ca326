#!/bin/sh
# Measures the CPU share that ShellAndWait uses while it waits for "sleep 10".
# Usage: bench/shell_and_wait_cpu.sh [build-folder]   (default: build/bench)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/common.sh"
build=${1:-$root/build/bench}
build_targets "$build" bench_shell_and_wait_cpu
/usr/bin/time -v "$build/bench/bench_shell_and_wait_cpu" "sleep 10" 0 2>"$time_report"
read -r wall _ _ user sys <<FIELDS
$(time_report_fields "$time_report")
FIELDS
# User and system time include the waited-for program's, so the share is an upper bound.
awk -v user="$user" -v sys="$sys" -v wall="$wall" 'BEGIN {
  printf "user %.2f s, system %.2f s, wall %.2f s: CPU share %.2f%% of one core\n",
    user, sys, wall, 100 * (user + sys) / wall }'
