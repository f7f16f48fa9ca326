#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ (clang, with the address and undefined-behaviour
# sanitizers) in build/fuzz and runs each one for SECONDS (default 60), as many at a time as
# there are processors. Prints the executions per second of each; exits non-zero on a finding,
# whose input is kept in build/fuzz/findings/ (rerun it with build/fuzz/fuzz/<name>_fuzzer FILE).
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build_dir=build/fuzz
parallel=${HALYARD_FUZZ_JOBS:-$(nproc)}

scripts/install-deps.sh
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DHALYARD_FUZZ=ON \
  -DHALYARD_BUILD_TESTS=OFF -DHALYARD_BUILD_GUI=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target fuzzers

harnesses=()
for folder in fuzz/*/; do
  name=$(basename "$folder")
  [ -f "$folder/${name}_fuzzer.cpp" ] && harnesses+=("$name")
done
mkdir -p "$build_dir/findings" "$build_dir/logs"

# New inputs go to build/fuzz/corpus/<name>; the seeds in fuzz/<name>/corpus are only read.
run_harness() {  # name
  local name=$1 status=0
  mkdir -p "$build_dir/corpus/$name"
  "$build_dir/fuzz/${name}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build_dir/findings/$name-" \
    "$build_dir/corpus/$name" "fuzz/$name/corpus" >"$build_dir/logs/$name.log" 2>&1 || status=$?
  echo "$status" >"$build_dir/logs/$name.status"
}

echo "Fuzzing ${#harnesses[@]} harnesses for $seconds s each, $parallel at a time"
running=0
for name in "${harnesses[@]}"; do
  if [ "$running" -ge "$parallel" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  run_harness "$name" &
  running=$((running + 1))
done
wait

failed=0
printf '%-16s %14s %12s  %s\n' harness executions "exec/s" outcome
for name in "${harnesses[@]}"; do
  log="$build_dir/logs/$name.log"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  outcome="no finding"
  if [ "$(cat "$build_dir/logs/$name.status")" != 0 ]; then
    outcome="FINDING, see $log"
    failed=1
  fi
  printf '%-16s %14s %12s  %s\n' "$name" "${runs:-?}" "${speed:-?}" "$outcome"
done
exit "$failed"
