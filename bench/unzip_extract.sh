#!/bin/sh
# Extraction speed and peak memory of cUnzip against "unzip -o -q" on the same two archives:
# one 512 MB file and 2,000 small files in 20 folders. The archives are made once in
# $HALYARD_BENCH_TMP (default /tmp/halyard-unzip-bench) and reused by later runs.
# HALYARD_BENCH_OUT picks the extraction folder (default: $HALYARD_BENCH_TMP/out).
# Usage: bench/unzip_extract.sh [build-folder] [rounds]   (defaults: build/bench, 5)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/bench}
rounds=${2:-5}
work=${HALYARD_BENCH_TMP:-/tmp/halyard-unzip-bench}
out=${HALYARD_BENCH_OUT:-$work/out}  # where both tools extract
# An existing build folder keeps its own options; a new one is configured for release.
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALYARD_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target bench_unzip_extract >/dev/null
driver="$build/bench/bench_unzip_extract"
mkdir -p "$work"

if [ ! -f "$work/big.zip" ]; then
  echo "making big.zip (512 MB of base64 text, compresses to about 75%) ..."
  rm -rf "$work/big"; mkdir -p "$work/big"
  base64 -w 76 /dev/urandom | head -c 536870912 >"$work/big/big.bin"
  (cd "$work/big" && zip -q ../big.zip big.bin)
  rm -rf "$work/big"
fi
if [ ! -f "$work/small.zip" ]; then
  echo "making small.zip (2,000 files of 1 to 8 KiB) ..."
  rm -rf "$work/small"; mkdir -p "$work/small"
  base64 -w 76 /dev/urandom | head -c 8192000 >"$work/pool"
  i=0
  while [ $i -lt 2000 ]; do
    dir="$work/small/folder$((i % 20))"
    mkdir -p "$dir"
    size=$((1024 + (i * 3571) % 7168))
    tail -c +$((i * 4096 + 1)) "$work/pool" | head -c $size >"$dir/file$i.txt"
    i=$((i + 1))
  done
  (cd "$work/small" && zip -q -r ../small.zip .)
  rm -rf "$work/small" "$work/pool"
fi

report=$(mktemp)
trap 'rm -f "$report"; rm -rf "$out"' EXIT
# Prints "wall-seconds peak-kB cpu-seconds" of one run into an emptied folder.
measure() {
  rm -rf "$out"; mkdir -p "$out"
  /usr/bin/time -v "$@" >/dev/null 2>"$report" || { cat "$report" >&2; exit 1; }
  awk -F': ' '
    /Elapsed \(wall clock\) time/ {
      n = split($2, part, ":"); wall = 0
      for (i = 1; i <= n; i++) wall = wall * 60 + part[i]
    }
    /Maximum resident set size/ { rss = $2 }
    /User time \(seconds\)/ { user = $2 }
    /System time \(seconds\)/ { sys = $2 }
    END { printf "%.2f %d %.2f\n", wall, rss, user + sys }' "$report"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

for archive in big small; do
  cat "$work/$archive.zip" >/dev/null  # both tools start from a warm cache
  : >"$work/unzip.times"; : >"$work/cunzip.times"
  round=0
  while [ $round -lt "$rounds" ]; do
    # Alternate the order so neither tool always follows the other's write-back.
    if [ $((round % 2)) -eq 0 ]; then
      measure unzip -o -q "$work/$archive.zip" -d "$out" >>"$work/unzip.times"
      measure "$driver" "$work/$archive.zip" "$out/" >>"$work/cunzip.times"
    else
      measure "$driver" "$work/$archive.zip" "$out/" >>"$work/cunzip.times"
      measure unzip -o -q "$work/$archive.zip" -d "$out" >>"$work/unzip.times"
    fi
    round=$((round + 1))
  done
  unzip_time=$(cut -d' ' -f1 "$work/unzip.times" | median)
  cunzip_time=$(cut -d' ' -f1 "$work/cunzip.times" | median)
  unzip_rss=$(cut -d' ' -f2 "$work/unzip.times" | sort -n | tail -1)
  cunzip_rss=$(cut -d' ' -f2 "$work/cunzip.times" | sort -n | tail -1)
  unzip_cpu=$(cut -d' ' -f3 "$work/unzip.times" | median)
  cunzip_cpu=$(cut -d' ' -f3 "$work/cunzip.times" | median)
  awk -v a="$archive" -v ut="$unzip_time" -v ct="$cunzip_time" -v ur="$unzip_rss" \
      -v cr="$cunzip_rss" -v uc="$unzip_cpu" -v cc="$cunzip_cpu" -v n="$rounds" 'BEGIN {
    printf "%-5s wall: unzip %6.2f s, cUnzip %6.2f s = %.2fx | cpu: unzip %6.2f s, cUnzip %6.2f s = %.2fx | peak RSS: unzip %.1f MB, cUnzip %.1f MB (medians of %d)\n",
      a, ut, ct, (ut > 0 ? ct / ut : 0), uc, cc, (uc > 0 ? cc / uc : 0), ur / 1024, cr / 1024, n }'
done
rm -f "$work/unzip.times" "$work/cunzip.times"
