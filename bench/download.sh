#!/bin/sh
# Download speed and peak memory of CopyURLToFile (one InternetSession) against one
# "curl -K" process fetching the same URLs over one reused connection, both from the fixture
# server on 127.0.0.1: 1,000 files of 64 KB, and one file of 512 MB. The files are made once
# in $HALYARD_BENCH_TMP (default /tmp/halyard-download-bench) and reused by later runs.
# Usage: bench/download.sh [build-folder] [rounds]   (defaults: build/bench, 5)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/common.sh"
build=${1:-$root/build/bench}
rounds=${2:-5}
work=${HALYARD_BENCH_TMP:-/tmp/halyard-download-bench}
build_targets "$build" bench_download halyard-fixture-server
driver="$build/bench/bench_download"
mkdir -p "$work/site/small"

if [ ! -f "$work/site/big.bin" ]; then
  echo "making big.bin (512 MB) ..."
  head -c 536870912 /dev/urandom >"$work/site/big.bin.part"
  mv "$work/site/big.bin.part" "$work/site/big.bin"
fi
if [ ! -f "$work/site/small/f999.bin" ]; then
  echo "making 1,000 files of 64 KB ..."
  i=0
  while [ $i -lt 1000 ]; do
    head -c 65536 /dev/urandom >"$work/site/small/f$i.bin"
    i=$((i + 1))
  done
fi

at_exit 'rm -rf "$work/out" "$work/server.port" "$work"/*.list "$work"/*.curl "$work"/*.times'
start_fixture_server "$build/tools/fixture-server/halyard-fixture-server" "$work/site" "$work"

# The same URLs and outputs for both programs.
: >"$work/small.list"; : >"$work/small.curl"
i=0
while [ $i -lt 1000 ]; do
  echo "$base_url/small/f$i.bin $work/out/f$i.bin" >>"$work/small.list"
  printf 'url = "%s"\noutput = "%s"\n' "$base_url/small/f$i.bin" "$work/out/f$i.bin" >>"$work/small.curl"
  i=$((i + 1))
done
echo "$base_url/big.bin $work/out/big.bin" >"$work/big.list"
printf 'url = "%s"\noutput = "%s"\n' "$base_url/big.bin" "$work/out/big.bin" >"$work/big.curl"

# One round of each program over the current set, into an emptied folder.
curl_round() { measure_in_empty "$work/out" curl -sS --fail -K "$work/$set.curl" >>"$work/curl.times"; }
ours_round() { measure_in_empty "$work/out" "$driver" "$work/$set.list" >>"$work/ours.times"; }

for set in small big; do
  : >"$work/curl.times"; : >"$work/ours.times"
  alternate_rounds "$rounds" curl_round ours_round
  curl_time=$(column_median "$work/curl.times" 1)
  ours_time=$(column_median "$work/ours.times" 1)
  # The best round and the CPU time show the programs' own cost when other work shares the
  # machine; the wall-clock median is what a user would see.
  curl_best=$(column_least "$work/curl.times" 1)
  ours_best=$(column_least "$work/ours.times" 1)
  curl_cpu=$(column_median "$work/curl.times" 3)
  ours_cpu=$(column_median "$work/ours.times" 3)
  curl_rss=$(column_greatest "$work/curl.times" 2)
  ours_rss=$(column_greatest "$work/ours.times" 2)
  awk -v s="$set" -v n="$rounds" \
      -v ct="$curl_time" -v cb="$curl_best" -v cc="$curl_cpu" -v cr="$curl_rss" \
      -v ot="$ours_time" -v ob="$ours_best" -v oc="$ours_cpu" -v or="$ours_rss" 'BEGIN {
    printf "%-5s curl -K       wall %5.2f s (best %5.2f)  cpu %5.2f s  peak %5.1f MB\n", s, ct, cb, cc, cr / 1024
    printf "%-5s CopyURLToFile wall %5.2f s (best %5.2f)  cpu %5.2f s  peak %5.1f MB\n", s, ot, ob, oc, or / 1024
    printf "%-5s ratio         wall %.2fx (best %.2fx)  cpu %.2fx   (medians of %d rounds)\n", s,
      (ct > 0 ? ot / ct : 0), (cb > 0 ? ob / cb : 0), (cc > 0 ? oc / cc : 0), n }'
done
stop_fixture_server
echo "server: $(tail -n 1 "$work/server.log")"
