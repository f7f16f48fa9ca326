#!/bin/sh
# Extraction speed and peak memory of cUnzip against "unzip -o -q" on the same two archives:
# one 512 MB file and 2,000 small files in 20 folders. The archives are made once in
# $HALYARD_BENCH_TMP (default /tmp/halyard-unzip-bench) and reused by later runs.
# HALYARD_BENCH_OUT picks the extraction folder (default: $HALYARD_BENCH_TMP/out).
# Usage: bench/unzip_extract.sh [build-folder] [rounds]   (defaults: build/bench, 5)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/common.sh"
build=${1:-$root/build/bench}
rounds=${2:-5}
work=${HALYARD_BENCH_TMP:-/tmp/halyard-unzip-bench}
out=${HALYARD_BENCH_OUT:-$work/out}  # where both tools extract
build_targets "$build" bench_unzip_extract
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

at_exit 'rm -rf "$out"'

# One round of each tool over the current archive, into an emptied folder.
unzip_round() { measure_in_empty "$out" unzip -o -q "$work/$archive.zip" -d "$out" >>"$work/unzip.times"; }
cunzip_round() { measure_in_empty "$out" "$driver" "$work/$archive.zip" "$out/" >>"$work/cunzip.times"; }

for archive in big small; do
  cat "$work/$archive.zip" >/dev/null  # both tools start from a warm cache
  : >"$work/unzip.times"; : >"$work/cunzip.times"
  alternate_rounds "$rounds" unzip_round cunzip_round
  unzip_time=$(column_median "$work/unzip.times" 1)
  cunzip_time=$(column_median "$work/cunzip.times" 1)
  unzip_rss=$(column_greatest "$work/unzip.times" 2)
  cunzip_rss=$(column_greatest "$work/cunzip.times" 2)
  unzip_cpu=$(column_median "$work/unzip.times" 3)
  cunzip_cpu=$(column_median "$work/cunzip.times" 3)
  awk -v a="$archive" -v ut="$unzip_time" -v ct="$cunzip_time" -v ur="$unzip_rss" \
      -v cr="$cunzip_rss" -v uc="$unzip_cpu" -v cc="$cunzip_cpu" -v n="$rounds" 'BEGIN {
    printf "%-5s wall: unzip %6.2f s, cUnzip %6.2f s = %.2fx | cpu: unzip %6.2f s, cUnzip %6.2f s = %.2fx | peak RSS: unzip %.1f MB, cUnzip %.1f MB (medians of %d)\n",
      a, ut, ct, (ut > 0 ? ct / ut : 0), uc, cc, (uc > 0 ? cc / uc : 0), ur / 1024, cr / 1024, n }'
done
rm -f "$work/unzip.times" "$work/cunzip.times"
