#!/usr/bin/env bash
# Installs what is missing, builds Halyard and runs every test. Exits non-zero on any failure.
# Usage: scripts/test.sh [--sanitize]
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build/release
cmake_options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
ctest_options=()
if [ "${1:-}" = "--sanitize" ]; then
  build_dir=build/sanitize
  # The windows stay out: the toolkit and the web engine are not built for the sanitizers; the
  # benchmark drivers measure nothing under them.
  cmake_options=(-DCMAKE_BUILD_TYPE=Debug -DHALYARD_SANITIZE=ON -DHALYARD_BUILD_GUI=OFF
    -DHALYARD_BUILD_BENCH=OFF)
  # The kill test ends its runs with SIGKILL, before a sanitizer could report anything; under
  # them it only takes minutes.
  ctest_options=(-E '^kill_during_installation$')
fi

scripts/install-deps.sh
cmake -S . -B "$build_dir" -G Ninja "${cmake_options[@]}" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" "${ctest_options[@]}"
