#!/usr/bin/env bash
# Runs every benchmark of the project and writes bench/REPORT.md and bench/throughput.png: each
# figure of Halyard beside its baseline measured in the same run, against nginx on 127.0.0.1.
#   downloads      halyard-cli updates (1,000 files of 64 KB; one of 256 MB) against curl + sync
#   throughput     the transfer alone (bench_download) against curl, + sync, per file size (chart)
#   extraction     cUnzip (bench_unzip_extract) against unzip
#   no change      halyard-cli over a 32,000-line change list against xargs stat -c %Y
#   signing        the same update signed and unsigned (when halyard-publish can sign)
#   peak memory    of halyard-cli, from /usr/bin/time -v
# followed by the output of the other benchmark scripts. Not part of CI; about 10 minutes.
# Usage: bench/run.sh [build-folder] [rounds]   (defaults: build/bench, 3)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/common.sh"
build=${1:-$root/build/bench}
rounds=${2:-3}
# Runs of small files last well under a second, where one slow round (another process's
# write-back, say) moves the median of three: their figures take at least seven rounds.
small_rounds=$((rounds > 7 ? rounds : 7))
report=$root/bench/REPORT.md
chart=$root/bench/throughput.png

"$root/scripts/install-deps.sh" --bench
load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date -u '+%Y-%m-%d %H:%M UTC')
build_targets "$build" halyard-cli halyard-publish bench_download bench_unzip_extract
cli=$build/tools/cli/halyard-cli
publish=$build/tools/publish/halyard-publish

work=$(mktemp -d "${TMPDIR:-/tmp}/halyard-bench-run-XXXXXX")
at_exit 'rm -rf "$work"'
chmod 755 "$work"  # nginx's workers run as another user when started as root
site=$work/site
mkdir -p "$site"
start_nginx "$site" "$work"

rows=()    # the report's table: "figure | Halyard | baseline | ratio | goal"
notes=()   # lines under the table
row() { rows+=("| $1 | $2 | $3 | $4 | $5 |"); }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
mb() { awk -v k="$1" 'BEGIN { printf "%.1f MiB", k / 1024 }'; }
# A release of count files of size bytes, each with its own content.
make_files() {  # folder count size
  mkdir -p "$1"
  head -c "$3" /dev/urandom >"$work/seed"
  for i in $(seq 1 "$2"); do
    { printf '%08d' "$i"; tail -c +9 "$work/seed"; } >"$1/f$i.bin"
  done
}
# An update set that halyard-cli reads: the change list, an empty registry list, the files.
make_set() {  # name count size
  make_files "$site/$1/files" "$2" "$3"
  {
    printf 'File Changes:\r\n'
    for i in $(seq 1 "$2"); do printf '2024-02-01 12:00:00,files/f%d.bin\r\n' "$i"; done
  } >"$site/$1/FileChanges.txt"
  printf 'REGEDIT4\r\n' >"$site/$1/Registry.txt"
}
# curl's config for the files of a set, written into target.
curl_config() {  # name count target
  for i in $(seq 1 "$2"); do
    printf 'url = "%s/%s/files/f%d.bin"\noutput = "%s/f%d.bin"\n' "$base_url" "$1" "$i" "$3" "$i"
  done
}
curl_and_sync() { curl -s -f -K "$1" && sync; }

# --- downloads: whole updates against curl followed by sync ------------------------------------
echo "downloads ..."
download_rss=0
for scenario in "small 1000 65536 1,000 files of 64 KB" "large 1 268435456 one file of 256 MB"; do
  read -r name count size title <<<"$scenario"
  make_set "$name" "$count" "$size"
  curl_config "$name" "$count" "$work/curl-out" >"$work/$name.curl"
  : >"$work/curl.times"; : >"$work/cli.times"
  curl_round() {
    rm -rf "$work/curl-out"; mkdir -p "$work/curl-out"; sync
    elapsed curl_and_sync "$work/$name.curl" >>"$work/curl.times"
  }
  cli_round() {
    rm -rf "$work/program"; mkdir -p "$work/program"; sync
    measure "$cli" --folder "$work/program" --root "$base_url/$name/" >>"$work/cli.times"
  }
  scenario_rounds=$rounds
  [ "$name" = small ] && scenario_rounds=$small_rounds
  alternate_rounds "$scenario_rounds" curl_round cli_round
  c=$(column_median "$work/curl.times" 1); h=$(column_median "$work/cli.times" 1)
  rss=$(column_greatest "$work/cli.times" 2)
  [ "$rss" -gt "$download_rss" ] && download_rss=$rss
  row "download, $title" "$h s" "curl + sync $c s" "$(ratio "$h" "$c")" "<= 1.00"
  rm -rf "$work/program" "$work/curl-out"
done
rm -rf "$site/large"

# --- throughput per file size: the transfer alone, both followed by sync -----------------------
echo "throughput ..."
: >"$work/throughput.dat"
total=$((64 << 20))
for size in 16384 262144 4194304 67108864; do
  count=$((total / size))
  make_files "$site/t$size/files" "$count" "$size"
  curl_config "t$size" "$count" "$work/out" >"$work/t.curl"
  sed -e 's/^url = "\(.*\)"$/\1/' -e 's/^output = "\(.*\)"$/\1/' "$work/t.curl" | paste -d' ' - - >"$work/t.list"
  : >"$work/curl.times"; : >"$work/ours.times"
  curl_round() { rm -rf "$work/out"; mkdir -p "$work/out"; sync; elapsed curl_and_sync "$work/t.curl" >>"$work/curl.times"; }
  ours_and_sync() { "$build/bench/bench_download" "$work/t.list" 2>/dev/null && sync; }
  ours_round() { rm -rf "$work/out"; mkdir -p "$work/out"; sync; elapsed ours_and_sync >>"$work/ours.times"; }
  alternate_rounds "$rounds" curl_round ours_round
  c=$(median <"$work/curl.times"); h=$(median <"$work/ours.times")
  awk -v s="$size" -v c="$c" -v h="$h" -v t="$total" \
    'BEGIN { printf "%d %.1f %.1f\n", s / 1024, t / h / 1048576, t / c / 1048576 }' >>"$work/throughput.dat"
  rm -rf "$site/t$size" "$work/out"
done
gnuplot <<PLOT
set terminal pngcairo size 900,560 font "sans,11"
set output "$chart"
set title "Download throughput from nginx on 127.0.0.1 (64 MiB per size, each followed by sync)"
set xlabel "file size (KiB)"
set ylabel "MiB/s"
set logscale x 2
set grid
set key left top
plot "$work/throughput.dat" using 1:2 with linespoints lw 2 title "Halyard (InternetSession)", \
     "$work/throughput.dat" using 1:3 with linespoints lw 2 title "curl -K"
PLOT
while read -r kib ours theirs; do
  row "throughput, files of $kib KiB" "$ours MiB/s" "curl + sync $theirs MiB/s" "$(ratio "$theirs" "$ours")" "<= 1.00 (time)"
done <"$work/throughput.dat"

# --- extraction: cUnzip against unzip ---------------------------------------------------------
echo "extraction ..."
mkdir -p "$work/zip/big" "$work/zip/small"
set +o pipefail  # the generators below end on a closed pipe, as intended
base64 -w 76 /dev/urandom | head -c $((128 << 20)) >"$work/zip/big/big.txt"
(cd "$work/zip/big" && zip -q ../big.zip big.txt)
base64 -w 76 /dev/urandom | head -c 8192000 >"$work/zip/pool"
for i in $(seq 0 1999); do
  mkdir -p "$work/zip/small/folder$((i % 20))"
  tail -c +$((i * 4096 + 1)) "$work/zip/pool" | head -c $((1024 + (i * 3571) % 7168)) >"$work/zip/small/folder$((i % 20))/file$i.txt"
done
(cd "$work/zip/small" && zip -q -r ../small.zip .)
set -o pipefail
rm -rf "$work/zip/big" "$work/zip/small" "$work/zip/pool"
for archive in "big one file of 128 MB" "small 2,000 files of 1-8 KB"; do
  read -r name title <<<"$archive"
  cat "$work/zip/$name.zip" >/dev/null
  : >"$work/unzip.times"; : >"$work/cunzip.times"
  unzip_round() { measure_in_empty "$work/unzipped" unzip -o -q "$work/zip/$name.zip" -d "$work/unzipped" >>"$work/unzip.times"; }
  cunzip_round() { measure_in_empty "$work/unzipped" "$build/bench/bench_unzip_extract" "$work/zip/$name.zip" "$work/unzipped/" >>"$work/cunzip.times"; }
  alternate_rounds "$rounds" unzip_round cunzip_round
  u=$(column_median "$work/unzip.times" 1); h=$(column_median "$work/cunzip.times" 1)
  row "extraction, $title" "$h s, peak $(mb "$(column_greatest "$work/cunzip.times" 2)")" \
    "unzip $u s, peak $(mb "$(column_greatest "$work/unzip.times" 2)")" "$(ratio "$h" "$u")" "<= 1.00"
done
rm -rf "$work/zip" "$work/unzipped"

# --- no change over 32,000 lines: halyard-cli against xargs stat -c %Y -------------------------
echo "no change ..."
lines=32000
mkdir -p "$site/same" "$work/program"
for folder in $(seq -w 1 32); do mkdir -p "$work/program/d$folder"; done
awk -v n="$lines" -v list="$site/same/FileChanges.txt" -v paths="$work/paths" 'BEGIN {
  printf "File Changes:\r\n" > list
  for (i = 0; i < n; i++) {
    path = sprintf("d%02d/file%05d.dat", i % 32 + 1, i)
    printf "2024-01-01 12:00:00,files/%s\r\n", path > list
    print path > paths
  } }'
(cd "$work/program" && xargs -a "$work/paths" touch)
printf 'REGEDIT4\r\n' >"$site/same/Registry.txt"
stat_run() { (cd "$work/program" && xargs -a "$work/paths" stat -c %Y >/dev/null); }
stat_run
: >"$work/stat.times"; : >"$work/cli.times"
stat_round() { elapsed stat_run >>"$work/stat.times"; }
cli_round() {
  measure "$cli" --folder "$work/program" --root "$base_url/same/" >>"$work/cli.times"
}
alternate_rounds $((rounds + 2)) stat_round cli_round
s=$(median <"$work/stat.times"); h=$(column_median "$work/cli.times" 1)
nochange_rss=$(column_greatest "$work/cli.times" 2)
row "no-change run, 32,000-line list" "$h s" "xargs stat -c %Y $s s" "$(ratio "$h" "$s")" "<= 1.50"
rm -rf "$work/program"

# --- signed against unsigned ------------------------------------------------------------------
echo "signing ..."
if "$publish" keygen "$work/secret.key" >"$work/public.key" 2>"$work/keygen.err"; then
  make_files "$work/release" 1000 65536
  "$publish" "$work/release" "$site/plain" >/dev/null
  "$publish" "$work/release" "$site/signed" --sign "$work/secret.key" >/dev/null
  public_key=$(tail -n 1 "$work/public.key")
  : >"$work/plain.times"; : >"$work/signed.times"
  # Each round installs into a folder of its own, all removed at the end: ext4 takes longer to
  # create files just after thousands were deleted, which made rounds after a removal slower.
  signed_round_number=0
  one_run() {  # set-name [public-key]
    signed_round_number=$((signed_round_number + 1))
    local program=$work/programs/$signed_round_number
    mkdir -p "$program"
    if [ -n "${2:-}" ]; then printf '[Security]\r\nPublicKey=%s\r\n' "$2" >"$program/updater.ini"; fi
    sync
    measure "$cli" --folder "$program" --root "$base_url/$1/"
  }
  plain_round() { one_run plain >>"$work/plain.times"; }
  signed_round() { one_run signed "$public_key" >>"$work/signed.times"; }
  alternate_rounds "$small_rounds" plain_round signed_round
  p=$(column_median "$work/plain.times" 1); g=$(column_median "$work/signed.times" 1)
  row "signed update, 1,000 files of 64 KB" "$g s" "unsigned $p s" "$(ratio "$g" "$p")" "<= 1.05"
  # What hashing the bytes costs by itself, at the speed of this machine's fastest SHA-256:
  # what checking every byte adds when it runs in line with the transfer.
  hash_rate=$(openssl speed -evp sha256 -bytes 16384 -seconds 1 2>/dev/null |
    awk '$1 == "sha256" { sub(/k$/, "", $NF); print $NF * 1000 }')
  if [ -n "$hash_rate" ]; then
    hash_seconds=$(awk -v r="$hash_rate" 'BEGIN { printf "%.3f", 1000 * 65536 / r }')
    notes+=("SHA-256 alone, over the signed update's 64 MB at this machine's best speed" \
      "(\`openssl speed -evp sha256\`: $(awk -v r="$hash_rate" 'BEGIN { printf "%.0f", r / 1048576 }') MiB/s)," \
      "takes $hash_seconds s, $(ratio "$hash_seconds" "$p") of the unsigned update's time: what hashing" \
      "every byte adds when it runs in line with the transfer, as in Halyard.")
  fi
  rm -rf "$work/programs" "$work/release"
else
  row "signed update, 1,000 files of 64 KB" "not measured: signing not available" "-" "-" "<= 1.05"
fi

row "peak memory, halyard-cli during the downloads" "$(mb "$download_rss")" "-" "-" "< 32 MiB"
row "peak memory, halyard-cli during the no-change run" "$(mb "$nochange_rss")" "-" "-" "< 32 MiB"
stop_nginx

# --- the other benchmark scripts, as they print ------------------------------------------------
others=()
for script in "$root"/bench/*.sh; do
  case $(basename "$script") in
    run.sh | common.sh) continue ;;
    # Measured above against nginx, with the baselines this report asks for.
    download.sh | engine_transfer.sh | engine_no_change.sh | unzip_extract.sh) continue ;;
  esac
  echo "$(basename "$script") ..."
  arguments=("$build")
  # Its own order: the commit to compare with, the rounds, the build folder. The commit is the
  # last one that installed file by file, without the journal and the kept old versions.
  [ "$(basename "$script")" = whole_update.sh ] &&
    arguments=(7f5e4a8a8eb5de84657c21c50db22e2c3555c860 "$rounds" "$build")
  if output=$("$script" "${arguments[@]}" 2>&1); then
    others+=("### $(basename "$script")" '```' "$(tail -n 8 <<<"$output")" '```')
  else
    others+=("### $(basename "$script")" "failed:" '```' "$(tail -n 8 <<<"$output")" '```')
  fi
done

{
  echo "# Benchmark report"
  echo
  echo "Made by \`bench/run.sh\` on $started; $rounds rounds per figure ($small_rounds for the downloads"
  echo "of 1,000 files and the signed update, $((rounds + 2)) for the no-change run), medians of"
  echo "wall-clock time, the two programs alternating. Files are served by nginx on"
  echo "127.0.0.1. A ratio is Halyard's time over the baseline's (below 1 is faster)."
  echo
  echo "## Machine"
  echo
  echo "- CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) cores"
  echo "- RAM: $(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"
  echo "- kernel: $(uname -sr)"
  echo "- load average at start: $load_at_start (1, 5, 15 minutes); at end: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  echo "## Figures"
  echo
  echo "| figure | Halyard | baseline | ratio | goal |"
  echo "|---|---|---|---|---|"
  printf '%s\n' "${rows[@]}"
  echo
  if [ ${#notes[@]} -gt 0 ]; then
    printf '%s\n' "${notes[@]}"
    echo
  fi
  echo "Throughput against file size: [throughput.png](throughput.png)."
  echo
  echo "## Other benchmarks"
  echo
  printf '%s\n' "${others[@]}"
} >"$report"
echo "wrote $report and $chart"
