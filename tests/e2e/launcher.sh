#!/usr/bin/env bash
# Kestrun end to end: arguments passed on one for one, the working folder, a detached start,
# the swap of a delivered HalyardNew, and every way the swap or the start can fail.
# Usage: launcher.sh KESTRUN
set -euo pipefail

kestrun=$1
work=$(mktemp -d /tmp/halyard-launcher-XXXXXX)
mounted=
cleanup() {
  if [ -n "$mounted" ]; then umount "$mounted" 2>/dev/null || true; fi
  chmod -R u+w "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

. "$(dirname "$0")/checks.sh"

# A stand-in updater: waits until it is let go (so a launcher that waited would hang), then
# writes its version, working folder, session leadership, whether descriptor 7 reached it, and
# its arguments, one per line in brackets.
fake_updater() {  # path, version
  cat > "$1" <<EOF
#!/bin/sh
session=\$(awk '{print \$6}' /proc/\$\$/stat)
inherited=no; [ -e /proc/\$\$/fd/7 ] && inherited=yes
while [ ! -e "\$LAUNCHER_GO" ]; do sleep 0.05; done
{ echo "$2"; pwd; [ "\$session" = "\$\$" ] && echo leader || echo "not leader"; echo "\$inherited"
  for argument in "\$@"; do printf '[%s]\n' "\$argument"; done; } > "\$LAUNCHER_MARKER.part"
mv "\$LAUNCHER_MARKER.part" "\$LAUNCHER_MARKER"
EOF
  chmod 755 "$1"
}

new_program_folder() {  # folder
  mkdir -p "$1"
  cp "$kestrun" "$1/Kestrun"
  fake_updater "$1/Halyard" old
}

# Runs Kestrun from another working folder with descriptor 7 open; sets code and err.
launch() {  # folder, arguments...
  local folder=$1
  shift
  export LAUNCHER_GO="$work/go" LAUNCHER_MARKER="$work/marker"
  rm -f "$LAUNCHER_GO" "$LAUNCHER_MARKER"
  code=0
  (cd "$work/elsewhere" && timeout 20 "$folder/Kestrun" "$@" 7> "$work/descriptor" 2> "$work/err") ||
    code=$?
  touch "$LAUNCHER_GO"
}

marker_appears() {
  for _ in $(seq 1 200); do [ -e "$LAUNCHER_MARKER" ] && return 0; sleep 0.05; done
  return 1
}

# Nothing started: the marker is still missing after a generous pause.
nothing_started() {
  sleep 1
  [ ! -e "$LAUNCHER_MARKER" ]
}

mkdir -p "$work/elsewhere"

# No new copy: the updater starts with every argument as it was given.
app="$work/no new copy"
new_program_folder "$app"
launch "$app" "it's \"quoted\"" 'two  blanks' '$HOME' '' '*' '--x=a b' $'line\nbreak'
check "started without a new copy" [ "$code" -eq 0 ]
check "the updater starts" marker_appears
expected=$(printf '%s\n' old "$app" leader no "[it's \"quoted\"]" '[two  blanks]' '[$HOME]' '[]' \
  '[*]' '[--x=a b]' '[line' 'break]')
check "arguments, working folder and detachment arrive as given" \
  [ "$(cat "$LAUNCHER_MARKER")" = "$expected" ]

# A delivered copy, without execute bits, replaces the updater and is started.
app="$work/swap"
new_program_folder "$app"
fake_updater "$app/HalyardNew" new
chmod 644 "$app/HalyardNew"
cp "$app/HalyardNew" "$work/expected-new"
launch "$app" --restart
check "started after the swap" [ "$code" -eq 0 ]
check "the new updater starts" marker_appears
check "the new updater runs" [ "$(head -n 1 "$LAUNCHER_MARKER")" = new ]
check "the new copy is gone" [ ! -e "$app/HalyardNew" ]
check "the updater is the new copy byte for byte" cmp -s "$app/Halyard" "$work/expected-new"
check "the updater keeps its permissions" [ "$(stat -c %a "$app/Halyard")" = 755 ]
check "no temporary file is left" [ "$(ls "$app" | sort | tr '\n' ' ')" = "Halyard Kestrun " ]

# A folder in the new copy's place stops the launcher before anything starts.
app="$work/folder"
new_program_folder "$app"
cp "$app/Halyard" "$work/expected-old"
mkdir "$app/HalyardNew"
launch "$app"
check "a HalyardNew folder fails" [ "$code" -eq 1 ]
check "the message names the file and the reason" grep -q "HalyardNew.*Is a directory" "$work/err"
check "a HalyardNew folder starts nothing" nothing_started
check "the updater is unchanged" cmp -s "$app/Halyard" "$work/expected-old"

# No updater and no new copy: a failure, not silence.
app="$work/missing"
mkdir -p "$app"
cp "$kestrun" "$app/Kestrun"
launch "$app"
check "a missing updater fails" [ "$code" -eq 2 ]
check "the message names the updater" grep -q "$app/Halyard: No such file or directory" "$work/err"

# A copy that fails midway: the old updater stays whole and runnable, the new copy stays for
# the next start, and no temporary file is left.
copy_fails_midway() {  # folder, expected reason
  local app=$1 reason=$2
  cp "$app/Halyard" "$work/expected-old"
  launch "$app"
  check "a failed copy fails ($reason)" [ "$code" -eq 1 ]
  check "the message gives the reason ($reason)" grep -q "Cannot .*: $reason" "$work/err"
  check "a failed copy starts nothing ($reason)" nothing_started
  check "the old updater is intact ($reason)" cmp -s "$app/Halyard" "$work/expected-old"
  check "the new copy stays ($reason)" [ -f "$app/HalyardNew" ]
  check "no temporary file is left ($reason)" \
    [ "$(ls "$app" | sort | tr '\n' ' ')" = "Halyard HalyardNew Kestrun " ]
  rm -f "$LAUNCHER_MARKER"
  (cd "$work/elsewhere" && timeout 20 "$app/Halyard") || true
  check "the old updater still runs ($reason)" [ "$(head -n 1 "$LAUNCHER_MARKER" 2>/dev/null)" = old ]
}

if [ "$(id -u)" -ne 0 ]; then
  app="$work/read-only"
  new_program_folder "$app"
  fake_updater "$app/HalyardNew" new
  chmod 555 "$app"
  copy_fails_midway "$app" "Permission denied"
  chmod 755 "$app"
else
  echo "skipped: a read-only folder stops no copy as root"
fi

app="$work/full"
mkdir -p "$app"
# Room for Kestrun, the updater and a 2 MB new copy, with about 1 MB to spare: the copy of the
# new one runs out of room midway.
size_kb=$(( $(stat -c %s "$kestrun") / 1024 + 3 * 1024 ))
if [ "$(id -u)" -eq 0 ] && mount -t tmpfs -o "size=${size_kb}k" tmpfs "$app" 2>/dev/null; then
  mounted=$app
  new_program_folder "$app"
  fake_updater "$app/HalyardNew" new
  head -c 2000000 /dev/zero | tr '\0' '#' >> "$app/HalyardNew"
  copy_fails_midway "$app" "No space left on device"
else
  echo "skipped: a full file system needs root and a tmpfs mount"
fi

report_checks
