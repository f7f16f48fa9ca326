#!/usr/bin/env bash
# The demo: a vendor publishes release 2.1 of "Acme Editor" and a user's copy of 2.0 is updated
# through the real windows.
#  1. Installs what is missing, builds, and installs Halyard into a scratch folder.
#  2. Makes a sample installed application there: Acme Editor 2.0 with Halyard, Kestrun, the
#     pages, an updater.ini pointing at the demo server, and a new updater (HalyardNew) that an
#     earlier update delivered.
#  3. Publishes release 2.1 with halyard-publish (a zipped plug-in, a program to run after
#     installation, registry values, and the newest updater as HalyardNew) and serves it with
#     halyard-demo-server.
#  4. Starts Acme Editor 2.0's window, then Kestrun with the command that restarts the editor.
# With a usable display you do the rest in the windows (close the editor, log in with the
# credentials the page shows). Without one everything runs on a private X server with pages
# that act by themselves; screenshots go to demo-output/. A short report ends the run.
# Usage: scripts/demo.sh [--keep]   (--keep leaves the scratch folder for a look)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
build_dir=${HALYARD_BUILD_DIR:-build/release}
output="$repo/demo-output"
keep=${1:-}
caption="Acme Editor Tollgate - V1.0.13"

step() { printf '\n== %s\n' "$*"; }
indent() { sed 's/^/   /'; }

scripts/install-deps.sh
step "Building Halyard, Kestrun and the tools ($build_dir)"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target Halyard halyard_pages Kestrun halyard-cli \
  halyard-publish halyard-demo-server halyard-demo-app >/dev/null

work=$(mktemp -d /tmp/halyard-demo-XXXXXX)
installed="$work/installed"
app="$work/acme-editor"
server_pid=
xvfb_pid=

# The processes whose program lies in the scratch folder (the editor's windows, Halyard).
demo_processes() {
  local entry exe
  for entry in /proc/[0-9]*; do
    exe=$(readlink "$entry/exe" 2>/dev/null || true)
    case "$exe" in "$work"/*) echo "${entry#/proc/}" ;; esac
  done
}
finish() {
  local pid
  for pid in $(demo_processes); do kill "$pid" 2>/dev/null || true; done
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  if [ "$keep" = "--keep" ]; then echo "Scratch folder kept: $work"; else rm -rf "$work"; fi
}
trap finish EXIT
trap 'exit 130' INT TERM

fail() {
  echo "demo: $*" >&2
  if [ -n "$xvfb_pid" ]; then
    import -window root "$output/failure.png" 2>/dev/null && echo "demo: the screen: $output/failure.png" >&2
  fi
  exit 1
}

wait_for() {  # seconds, description, command...
  local seconds=$1 description=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || fail "no $description after $seconds s"
    sleep 0.2
  done
}
window_of() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1; }
window_shown() { [ -n "$(window_of "$1")" ]; }
window_gone() { ! window_shown "$1"; }
halyard_running() {
  local pid
  for pid in $(demo_processes); do
    if [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$app/Halyard" ]; then return 0; fi
  done
  return 1
}
halyard_ended() { ! halyard_running; }
shot() {  # name
  import -window root "$output/$1.png"
  echo "   screenshot: demo-output/$1.png"
}
click_in() {  # window, x from the right edge, y from the bottom edge
  local X Y WIDTH HEIGHT SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$1")"
  xdotool mousemove --window "$1" $((WIDTH - $2)) $((HEIGHT - $3)) click 1
}

# 1. The updater as it is installed: lib/halyard (what a vendor ships) and bin (the tools).
cmake --install "$build_dir" --prefix "$installed" --strip >/dev/null
kit="$installed/lib/halyard"

# 2. The release the vendor publishes: demo/site/files plus the newest updater.
release="$work/release"
cp -r demo/site/files "$release"
cp "$kit/Halyard" "$release/HalyardNew"
step "The vendor makes a signing key and publishes release 2.1, signed: halyard-publish"
public_key=$("$installed/bin/halyard-publish" keygen "$work/vendor.key")
echo "   public key for updater.ini: $public_key"
"$installed/bin/halyard-publish" "$release" "$work/set" --zip plugins/spell.dat \
  --execute bin/post-install.sh --registry demo/site/Registry.txt --sign "$work/vendor.key" 2>&1 |
  indent

# 3. The user's copy of Acme Editor 2.0, with the updater beside it.
mkdir -p "$app/bin" "$app/docs"
cp "$kit"/* "$app/"
cp "$kit/Halyard" "$app/HalyardNew"  # delivered by an earlier update
cp "$build_dir/tools/demo-app/halyard-demo-app" "$app/bin/acme-window"
sed 's/2\.1/2.0/g' demo/site/files/bin/acme-editor > "$app/bin/acme-editor"
sed 's/2\.1/2.0/g' demo/site/files/docs/readme.txt > "$app/docs/readme.txt"
chmod 755 "$app/bin/acme-editor"
touch -d '2026-06-01 12:00:00' "$app/bin/acme-editor" "$app/docs/readme.txt"

display_usable() { [ -n "${DISPLAY:-}" ] && xdotool getdisplaygeometry >/dev/null 2>&1; }
interactive=yes
if ! display_usable; then
  interactive=
  # -noreset: a server that resets when its last client leaves refuses a program starting then.
  Xvfb -displayfd 5 -screen 0 1024x768x24 -dpi 96 -nolisten tcp -noreset 5>"$work/display" 2>/dev/null &
  xvfb_pid=$!
  wait_for 30 "X server" grep -qx '[0-9][0-9]*' "$work/display"
  export DISPLAY=":$(head -n 1 "$work/display")"
  export NO_AT_BRIDGE=1  # no accessibility bus on this display; GTK would wait for one
  rm -rf "$output"
  mkdir -p "$output"
fi

server_options=(--set "$work/set" --server-path acme/editor --port 0 --rate 128)
[ -z "$interactive" ] && server_options+=(--auto)
"$installed/bin/halyard-demo-server" "${server_options[@]}" > "$work/server.log" 2>/dev/null &
server_pid=$!
wait_for 30 "port from the demo server" test -s "$work/server.log"
port=$(head -n 1 "$work/server.log")
sed -e "s|^ServerName=.*|ServerName=127.0.0.1:$port|" \
  -e "s|^;RegistryFolder=.*|RegistryFolder=$work/registry|" \
  -e "s|^;PublicKey=.*|PublicKey=$public_key|" "$kit/updater.ini" > "$app/updater.ini"

step "Acme Editor 2.0 is running; it starts the update through Kestrun"
"$app/bin/acme-editor" &
wait_for 30 "Acme Editor 2.0 window" window_shown "Acme Editor 2.0"
echo "   $app/Kestrun $app/bin/acme-editor --after-update"
launcher_code=0
"$app/Kestrun" "$app/bin/acme-editor" --after-update || launcher_code=$?
[ "$launcher_code" -eq 0 ] || fail "Kestrun ended with exit code $launcher_code"
swapped=no
[ ! -e "$app/HalyardNew" ] && cmp -s "$app/Halyard" "$kit/Halyard" && swapped=yes
wait_for 120 "updater window" window_shown "$caption"

if [ -n "$interactive" ]; then
  cat <<EOF
   The updater's window is open. In it:
   - it asks you to close Acme Editor: close the "Acme Editor 2.0" window, then Continue;
   - "Log in and update", then sign in as user "demo" with password "update";
   - when the status page says the update is complete, Close.
EOF
  wait_for 900 "end of the updater (15 minutes)" halyard_ended
else
  main=$(window_of "$caption")
  # Its activation runs the running-application check, which finds the editor.
  xdotool windowfocus --sync "$main"
  wait_for 60 "shutdown prompt" window_shown "Please close Acme Editor"
  sleep 1.5  # the start page paints behind it
  shot 1-shutdown-prompt
  prompt=$(window_of "Please close Acme Editor")
  for pid in $(demo_processes); do
    if [ "$(readlink "/proc/$pid/exe")" = "$app/bin/acme-window" ]; then kill "$pid"; fi
  done
  wait_for 30 "closing of Acme Editor 2.0" window_gone "Acme Editor 2.0"
  sleep 1              # the prompt sees it gone on its next tick
  click_in "$prompt" 45 30  # Continue >>
  wait_for 30 "closing of the prompt" window_gone "Please close Acme Editor"
  sleep 0.5
  shot 2-start-page
  xdotool windowfocus --sync "$main" sleep 0.3 key Return  # "Log in and update"
  wait_for 30 "login page" grep -q 'Login.asp' "$work/server.log"
  sleep 0.8
  shot 3-login-page
  wait_for 120 "status window" window_shown "^Update Status$"
  sleep 1
  shot 4-status-window
  wait_for 180 "status page" grep -q 'Status.asp' "$work/server.log"
  sleep 1  # it closes itself two seconds after it loaded
  shot 5-status-page
  wait_for 60 "end of the updater" halyard_ended
fi
wait_for 30 "restarted Acme Editor" grep -q '2.1 started' "$app/started.log"
if [ -z "$interactive" ]; then
  wait_for 30 "Acme Editor 2.1 window" window_shown "Acme Editor 2.1"
  sleep 0.5
  shot 6-editor-restarted
fi

step "What happened"
echo "Launcher: Kestrun swapped the delivered HalyardNew over Halyard before it started it:" \
  "$swapped"
echo "Files in $app, against release 2.1:"
(cd "$release" && find . -type f | sort | sed 's|^\./||') | while read -r file; do
  if cmp -s "$release/$file" "$app/$file"; then state="installed, byte-equal to the release"
  else state="NOT as released"; fi
  case "$file" in
    plugins/spell.dat) note=" (fetched as plugins/spell.zip and unpacked)" ;;
    bin/post-install.sh) note=" (run after installation: $(cat "$app/post-install.log" 2>/dev/null || echo 'no post-install.log'))" ;;
    HalyardNew) note=" (the updater for the next start through Kestrun)" ;;
    *) note= ;;
  esac
  printf '   %-20s %s%s\n' "$file" "$state" "$note"
done
echo "Signature: the updater fetched the manifest and its signature first," \
  "$(grep -c 'Manifest\.\(txt\|sig\) 200' "$work/server.log") of 2 answered;" \
  "it accepted manifest serial $(cat "$app/Halyard.serial" 2>/dev/null || echo 'NONE')" \
  "under the PublicKey of updater.ini and checked every file against it"
echo "Registry store $work/registry, as halyard-cli prints it:"
for key in 'HKEY_CURRENT_USER\Software\Acme\Editor' 'HKEY_CURRENT_USER\Software\Acme\Editor\Plugins'; do
  "$installed/bin/halyard-cli" --folder "$app" --print-registry "$key" 2>&1 | indent
done
echo "   (LastUpdate is the update stamp: today's date, encrypted)"
echo "Restart command: $(tail -n 1 "$app/started.log")"
echo "Requests the demo server answered:"
tail -n +2 "$work/server.log" | indent
[ -z "$interactive" ] && echo "Screenshots: $output"
[ "$swapped" = yes ] || fail "the launcher did not swap in HalyardNew"
exit 0
