#!/usr/bin/env bash
# The demo: publishes the release in demo/site/files with halyard-publish (one file zipped, one
# marked to run, the registry list of demo/site), serves it with halyard-demo-server on
# 127.0.0.1, then runs halyard-cli on a fresh program folder twice: the first run installs
# everything, the second finds nothing newer. Everything lives in a temporary folder that is
# removed at the end.
# Usage: scripts/demo.sh [--keep]   (--keep leaves the folder for a look)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

build_dir=${HALYARD_BUILD_DIR:-build/release}
scripts/install-deps.sh
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target halyard-cli halyard-publish halyard-demo-server >/dev/null
cli="$repo/$build_dir/tools/cli/halyard-cli"
publish="$repo/$build_dir/tools/publish/halyard-publish"
server="$repo/$build_dir/tools/demo-server/halyard-demo-server"

work=$(mktemp -d /tmp/halyard-demo-XXXXXX)
server_pid=
finish() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  if [ "${1:-}" = "--keep" ]; then echo "Demo folder kept: $work"; else rm -rf "$work"; fi
}
trap 'finish "${keep:-}"' EXIT
[ "${1:-}" = "--keep" ] && keep=--keep

# The vendor publishes the release as an update set.
set_folder="$work/set"
echo "== halyard-publish demo/site/files"
"$publish" demo/site/files "$set_folder" --zip plugins/spell.dat --execute bin/post-install.sh \
  --registry demo/site/Registry.txt | sed 's/^/   /'
echo

"$server" --set "$set_folder" --server-path acme/editor --port 0 > "$work/server.out" 2>/dev/null &
server_pid=$!
for _ in $(seq 1 100); do [ -s "$work/server.out" ] && break; sleep 0.05; done
port=$(head -n 1 "$work/server.out")

program="$work/program"
mkdir -p "$program"
sed -e "s|@PORT@|$port|" -e "s|@WORK@|$work|g" demo/updater.ini > "$program/updater.ini"

echo "== Server http://127.0.0.1:$port/acme/editor/ publishes:"
(cd "$set_folder" && find . -type f | sort | sed 's|^\./|   |')
echo
echo "== First run: everything is new"
code=0; "$cli" --folder "$program" || code=$?
echo "   exit code $code"
echo
echo "== Installed program folder:"
(cd "$program" && find . -type f ! -name '*.lock' | sort | sed 's|^\./|   |')
echo
echo "   post-install.log: $(cat "$program/post-install.log" 2>/dev/null || echo missing)"
echo
echo "== Registry values the update wrote:"
"$cli" --folder "$program" --print-registry 'HKEY_CURRENT_USER\Software\Acme\Editor' | sed 's/^/   /'
"$cli" --folder "$program" --print-registry 'HKEY_CURRENT_USER\Software\Acme\Editor\Plugins' | sed 's/^/   /'
echo
echo "== Second run: nothing newer on the server"
code=0; "$cli" --folder "$program" || code=$?
echo "   exit code $code"
echo
echo "== Requests the server answered:"
tail -n +2 "$work/server.out" | sed 's/^/   /'
