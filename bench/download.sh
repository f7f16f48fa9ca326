#!/bin/sh
# Download speed and peak memory of CopyURLToFile (one InternetSession) against one
# "curl -K" process fetching the same URLs over one reused connection, both from the fixture
# server on 127.0.0.1: 1,000 files of 64 KB, and one file of 512 MB. The files are made once
# in $HALYARD_BENCH_TMP (default /tmp/halyard-download-bench) and reused by later runs.
# Usage: bench/download.sh [build-folder] [rounds]   (defaults: build/bench, 5)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/bench}
rounds=${2:-5}
work=${HALYARD_BENCH_TMP:-/tmp/halyard-download-bench}
# An existing build folder keeps its own options; a new one is configured for release.
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALYARD_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target bench_download halyard-fixture-server >/dev/null
driver="$build/bench/bench_download"
server_program="$build/tools/fixture-server/halyard-fixture-server"
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

port_file="$work/port"
report="$work/time.report"
rm -f "$port_file"  # the server's redirection may create it after the wait below starts
"$server_program" --root "$work/site" >"$port_file" 2>"$work/server.log" &
server=$!
trap 'kill $server 2>/dev/null || true; rm -rf "$work/out" "$report" "$port_file" "$work"/*.list "$work"/*.curl "$work"/*.times' EXIT
while [ ! -s "$port_file" ]; do
  kill -0 $server 2>/dev/null || { cat "$work/server.log" >&2; exit 1; }
  sleep 0.1
done
base="http://127.0.0.1:$(head -n 1 "$port_file")"

# The same URLs and outputs for both programs.
: >"$work/small.list"; : >"$work/small.curl"
i=0
while [ $i -lt 1000 ]; do
  echo "$base/small/f$i.bin $work/out/f$i.bin" >>"$work/small.list"
  printf 'url = "%s"\noutput = "%s"\n' "$base/small/f$i.bin" "$work/out/f$i.bin" >>"$work/small.curl"
  i=$((i + 1))
done
echo "$base/big.bin $work/out/big.bin" >"$work/big.list"
printf 'url = "%s"\noutput = "%s"\n' "$base/big.bin" "$work/out/big.bin" >"$work/big.curl"

# Prints "seconds peak-kB cpu-seconds" of one run into an emptied folder.
measure() {
  rm -rf "$work/out"; mkdir -p "$work/out"
  /usr/bin/time -v "$@" >/dev/null 2>"$report" || { cat "$report" >&2; exit 1; }
  awk -F': ' '
    /Elapsed \(wall clock\) time/ {
      n = split($2, part, ":"); wall = 0
      for (i = 1; i <= n; i++) wall = wall * 60 + part[i]
    }
    /Maximum resident set size/ { rss = $2 }
    /User time \(seconds\)/ { cpu += $2 }
    /System time \(seconds\)/ { cpu += $2 }
    END { printf "%.2f %d %.2f\n", wall, rss, cpu }' "$report"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

for set in small big; do
  : >"$work/curl.times"; : >"$work/ours.times"
  round=0
  while [ $round -lt "$rounds" ]; do
    # Alternate the order so neither program always follows the other's write-back.
    if [ $((round % 2)) -eq 0 ]; then
      measure curl -sS --fail -K "$work/$set.curl" >>"$work/curl.times"
      measure "$driver" "$work/$set.list" >>"$work/ours.times"
    else
      measure "$driver" "$work/$set.list" >>"$work/ours.times"
      measure curl -sS --fail -K "$work/$set.curl" >>"$work/curl.times"
    fi
    round=$((round + 1))
  done
  curl_time=$(cut -d' ' -f1 "$work/curl.times" | median)
  ours_time=$(cut -d' ' -f1 "$work/ours.times" | median)
  # The best round and the CPU time show the programs' own cost when other work shares the
  # machine; the wall-clock median is what a user would see.
  curl_best=$(cut -d' ' -f1 "$work/curl.times" | sort -n | head -1)
  ours_best=$(cut -d' ' -f1 "$work/ours.times" | sort -n | head -1)
  curl_cpu=$(cut -d' ' -f3 "$work/curl.times" | median)
  ours_cpu=$(cut -d' ' -f3 "$work/ours.times" | median)
  curl_rss=$(cut -d' ' -f2 "$work/curl.times" | sort -n | tail -1)
  ours_rss=$(cut -d' ' -f2 "$work/ours.times" | sort -n | tail -1)
  awk -v s="$set" -v n="$rounds" \
      -v ct="$curl_time" -v cb="$curl_best" -v cc="$curl_cpu" -v cr="$curl_rss" \
      -v ot="$ours_time" -v ob="$ours_best" -v oc="$ours_cpu" -v or="$ours_rss" 'BEGIN {
    printf "%-5s curl -K       wall %5.2f s (best %5.2f)  cpu %5.2f s  peak %5.1f MB\n", s, ct, cb, cc, cr / 1024
    printf "%-5s CopyURLToFile wall %5.2f s (best %5.2f)  cpu %5.2f s  peak %5.1f MB\n", s, ot, ob, oc, or / 1024
    printf "%-5s ratio         wall %.2fx (best %.2fx)  cpu %.2fx   (medians of %d rounds)\n", s,
      (ct > 0 ? ot / ct : 0), (cb > 0 ? ob / cb : 0), (cc > 0 ? oc / cc : 0), n }'
done
kill $server; wait $server 2>/dev/null || true
echo "server: $(tail -n 1 "$work/server.log")"
