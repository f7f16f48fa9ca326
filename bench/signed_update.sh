#!/usr/bin/env bash
# The same update signed and unsigned: halyard-publish writes one set (200 files of 256 KB and
# one of 64 MB, signed), the fixture server on 127.0.0.1 serves it, and halyard-cli installs it
# into an empty folder with and without a PublicKey in updater.ini, the two runs alternating.
# Prints the median seconds of each and their ratio. Goal: signed at most 1.05x unsigned.
# Usage: bench/signed_update.sh [build-folder] [repetitions]   (default: build/bench, 5)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/common.sh"
build=${1:-$root/build/bench}
repetitions=${2:-5}
build_targets "$build" halyard-cli halyard-fixture-server halyard-publish
cli=$build/tools/cli/halyard-cli
publish=$build/tools/publish/halyard-publish

work=$(mktemp -d "${TMPDIR:-/tmp}/halyard-bench-XXXXXX")
at_exit 'rm -rf "$work"'

mkdir -p "$work/release/data" "$work/site"
head -c $((256 * 1024)) /dev/urandom > "$work/seed"
for i in $(seq 1 200); do
  { printf '%08d' "$i"; tail -c +9 "$work/seed"; } > "$work/release/data/f$i.bin"
done
head -c $((64 * 1024 * 1024)) /dev/urandom > "$work/release/data/large.bin"
public_key=$("$publish" keygen "$work/vendor.key")
"$publish" "$work/release" "$work/site/app" --sign "$work/vendor.key" >/dev/null
start_fixture_server "$build/tools/fixture-server/halyard-fixture-server" "$work/site" "$work"

run() {  # signed|unsigned -> measure's fields
  rm -rf "$work/program" && mkdir -p "$work/program"
  if [ "$1" = signed ]; then
    printf '[Security]\r\nPublicKey=%s\r\n' "$public_key" > "$work/program/updater.ini"
  fi
  sync
  measure "$cli" --folder "$work/program" --root "$base_url/app/" >> "$work/$1.times"
  [ "$1" = unsigned ] || [ -s "$work/program/Halyard.serial" ] ||
    { echo "the signed run did not verify the set" >&2; exit 1; }
}
run_signed() { run signed; }
run_unsigned() { run unsigned; }
: > "$work/signed.times"; : > "$work/unsigned.times"
alternate_rounds "$repetitions" run_unsigned run_signed

unsigned=$(column_median "$work/unsigned.times" 1)
signed=$(column_median "$work/signed.times" 1)
awk -v u="$unsigned" -v s="$signed" -v n="$repetitions" 'BEGIN {
  printf "signed against unsigned update, 200 x 256 KB + 64 MB (median of %d): unsigned %.2f s, signed %.2f s, ratio %.3fx (goal <= 1.05x)\n", n, u, s, s / u }'
