#!/usr/bin/env bash
# The vendor's side end to end: halyard-publish turns a release into an update set,
# halyard-demo-server serves it with the vendor's pages, and halyard-cli installs it byte for byte.
# Usage: publish_and_serve.sh HALYARD_PUBLISH HALYARD_DEMO_SERVER HALYARD_CLI
set -euo pipefail

publish=$1
server=$2
cli=$3
work=$(mktemp -d /tmp/halyard-publish-XXXXXX)
. "$(dirname "$0")/checks.sh"
trap stop_server_and_remove_work EXIT

# A release with a zipped executable, a file to run, nested folders and a file for the
# system folder; a registry list written with LF line ends, as an editor on Linux saves it.
release="$work/release"
mkdir -p "$release/bin" "$release/plugins/spell" "$release/docs" "$release/shared" "$work/program" "$work/registry"
head -c 300000 /dev/urandom > "$release/bin/acme-editor.bin"
chmod 755 "$release/bin/acme-editor.bin"
head -c 70000 /dev/zero > "$release/plugins/spell/words.dat"
printf '#!/bin/sh\necho "ran in $(pwd)" > "$(dirname "$0")/../post-install.log"\n' > "$release/bin/post-install.sh"
printf 'Acme Editor 2.1\r\n' > "$release/docs/read me.txt"
printf 'helper' > "$release/shared/libacme.so"
# An odd second: an archive keeps times in two-second steps.
find "$release" -type f -exec touch -d '2026-01-02 03:04:05' {} +
printf 'REGEDIT4\nHKEY_CURRENT_USER,Software\\Acme\\Editor,Build,2107\n' > "$work/registry.txt"
options=(--zip 'bin/*.bin' --zip '*.dat' --execute bin/post-install.sh --system shared
  --registry "$work/registry.txt")

code=0
"$publish" "$release" "$work/set" "${options[@]}" --dry-run > "$work/dry" 2>&1 || code=$?
check "--dry-run exits 0" [ "$code" -eq 0 ]
check "--dry-run prints the list" grep -q '^20..-..-.. ..:..:..,files/bin/post-install.sh,EXECUTE$' "$work/dry"
check "--dry-run writes nothing" [ ! -e "$work/set" ]

"$publish" "$release" "$work/set" "${options[@]}" > "$work/out" 2>&1 || { cat "$work/out"; exit 1; }
check "the list has CR LF line ends" grep -q $'^File Changes:\r$' "$work/set/FileChanges.txt"
check "the system folder file is under SYSTEM" [ -f "$work/set/files/SYSTEM/libacme.so" ]
check "a zipped file is served under its .zip name" [ -f "$work/set/files/plugins/spell/words.zip" ]

"$server" --set "$work/set" --port 0 > "$work/server.out" 2> /dev/null &
server_pid=$!
for _ in $(seq 1 100); do [ -s "$work/server.out" ] && break; sleep 0.05; done
port=$(head -n 1 "$work/server.out")
printf '[Updater]\r\nServerName=127.0.0.1:%s\r\nServerPath=acme/editor\r\n[Platform]\r\nSystemFolder=%s\r\nRegistryFolder=%s\r\n' \
  "$port" "$work/system" "$work/registry" > "$work/program/updater.ini"

code=0
"$cli" --folder "$work/program" > "$work/cli.out" 2>&1 || code=$?
check "the update succeeds" [ "$code" -eq 0 ]
for file in bin/acme-editor.bin plugins/spell/words.dat bin/post-install.sh "docs/read me.txt"; do
  check "$file is installed byte for byte" cmp -s "$release/$file" "$work/program/$file"
done
check "the system folder file is installed there" cmp -s "$release/shared/libacme.so" "$work/system/libacme.so"
check "the zipped executable stays executable" [ -x "$work/program/bin/acme-editor.bin" ]
check "the EXECUTE file ran" [ -s "$work/program/post-install.log" ]
"$cli" --folder "$work/program" --print-registry 'HKEY_CURRENT_USER\Software\Acme\Editor' > "$work/registry.out" 2>&1 || true
check "the registry value is written" grep -q '"Build".*REG_DWORD.*2107' "$work/registry.out"

"$cli" --folder "$work/program" > "$work/cli.out" 2>&1 || true
check "a second update fetches nothing" bash -c "! grep -q '^Retrieving .*\.\(bin\|dat\|sh\|so\|txt\)$' '$work/cli.out'"

snapshot() { (cd "$work/set" && find . -type f -printf '%p %s %T@\n' | sort && md5sum FileChanges.txt); }
snapshot > "$work/before"
"$publish" "$release" "$work/set" "${options[@]}" > "$work/out" 2>&1
check "publishing again changes no file and no date" cmp -s "$work/before" <(snapshot)

mkdir -p "$release/temp"
printf 'x' > "$release/temp/cache.bin"
code=0
"$publish" "$release" "$work/set" "${options[@]}" > "$work/out" 2>&1 || code=$?
check "a refused release exits 1" [ "$code" -eq 1 ]
check "the refusal names the file" grep -q '^halyard-publish: temp/cache.bin: ' "$work/out"
check "a refused release writes nothing" cmp -s "$work/before" <(snapshot)
rm -r "$release/temp"

# Signed: the same release published with --sign installs into a second program folder that
# knows the public key; a file changed on the server afterwards is refused with exit code 3.
"$publish" keygen "$work/vendor.key" > "$work/public.key"
"$publish" "$release" "$work/set" "${options[@]}" --sign "$work/vendor.key" > "$work/out" 2>&1
check "the secret key is the owner's alone" [ "$(stat -c %a "$work/vendor.key")" = 600 ]
check "the set carries a manifest and its signature" \
  test -s "$work/set/Manifest.txt" -a -s "$work/set/Manifest.sig"
code=0
"$publish" "$release" "$work/set" "${options[@]}" > "$work/out" 2>&1 || code=$?
check "an unsigned publish over a signed set is refused" [ "$code" -eq 1 ]
mkdir -p "$work/signed"
sed 's/\r$//' "$work/program/updater.ini" | sed 's/$/\r/' > "$work/signed/updater.ini"
printf '[Security]\r\nPublicKey=%s\r\n' "$(cat "$work/public.key")" >> "$work/signed/updater.ini"
code=0
"$cli" --folder "$work/signed" > "$work/signed.out" 2>&1 || code=$?
check "the signed update succeeds" [ "$code" -eq 0 ]
check "it says the set was verified" grep -q '^Update set verified: manifest serial 1, signed by key 1$' "$work/signed.out"
check "a signed file is installed byte for byte" cmp -s "$release/bin/acme-editor.bin" "$work/signed/bin/acme-editor.bin"
rm "$work/signed/bin/acme-editor.bin"
served="$work/set/files/bin/acme-editor.zip"
cp "$served" "$work/saved.zip"
head -c "$(stat -c %s "$served")" /dev/zero > "$served"
code=0
"$cli" --folder "$work/signed" > "$work/signed.out" 2>&1 || code=$?
check "a changed file on the server fails the transfer (exit 3)" [ "$code" -eq 3 ]
check "the cause names the file" grep -q '^files/bin/acme-editor.zip does not match the manifest' "$work/signed.out"
check "nothing is installed" [ ! -e "$work/signed/bin/acme-editor.bin" ]
cp "$work/saved.zip" "$served"

# HTTPS: Scheme=https with a private authority in CAFile; a certificate for another name fails.
tls="$work/tls"
mkdir -p "$tls"
make_leaf() {  # name subjectAltName
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=$1" \
    -keyout "$tls/$1.key" -out "$tls/$1.csr" &&
    printf 'subjectAltName=%s' "$2" > "$tls/$1.ext" &&
    openssl x509 -req -days 1 -in "$tls/$1.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" \
      -CAcreateserial -extfile "$tls/$1.ext" -out "$tls/$1.pem"
} >/dev/null 2>&1
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=ca \
  -keyout "$tls/ca.key" -out "$tls/ca.pem" >/dev/null 2>&1
make_leaf server IP:127.0.0.1
make_leaf elsewhere DNS:updates.example
for leaf in server elsewhere; do
  "$server" --set "$work/set" --port 0 --tls-cert "$tls/$leaf.pem" --tls-key "$tls/$leaf.key" \
    > "$work/tls-server.out" 2>/dev/null &
  tls_pid=$!
  for _ in $(seq 1 100); do [ -s "$work/tls-server.out" ] && break; sleep 0.05; done
  rm -rf "$work/https" && mkdir -p "$work/https"
  printf '[Updater]\r\nScheme=https\r\nServerName=127.0.0.1:%s\r\nServerPath=acme/editor\r\n[Platform]\r\nSystemFolder=%s\r\nRegistryFolder=%s\r\n[Security]\r\nCAFile=%s\r\nPublicKey=%s\r\n' \
    "$(head -n 1 "$work/tls-server.out")" "$work/system" "$work/registry" "$tls/ca.pem" \
    "$(cat "$work/public.key")" > "$work/https/updater.ini"
  code=0
  "$cli" --folder "$work/https" > "$work/https.out" 2>&1 || code=$?
  kill "$tls_pid"; wait "$tls_pid" 2>/dev/null || true
  if [ "$leaf" = server ]; then
    check "over HTTPS with the CAFile authority the update succeeds" [ "$code" -eq 0 ]
    check "and installs the files" cmp -s "$release/bin/acme-editor.bin" "$work/https/bin/acme-editor.bin"
  else
    check "a certificate for another name fails the list download" [ "$code" -eq 1 ]
    check "the cause names the certificate" grep -q "Cannot download https://127.0.0.1:.*certificate subject name" "$work/https.out"
  fi
done

# The pages, as a browser sees them.
root="http://127.0.0.1:$port/acme/editor"
check "the login page posts to CheckLogin.asp" \
  bash -c "curl -sf '$root/Login.asp' | grep -q '<form[^>]*method=\"post\" action=\"CheckLogin.asp\"'"
curl -sf -d 'UserName=demo&Password=update' "$root/CheckLogin.asp" > "$work/accepted"
check "an accepted login carries the markers" \
  bash -c "grep -q '<TAGSUCCESS>' '$work/accepted' && grep -q '<tagusername>demo</tagusername>' '$work/accepted' && grep -q '<tagpassword>update</tagpassword>' '$work/accepted'"
curl -sf -d 'UserName=demo&Password=wrong' "$root/CheckLogin.asp" > "$work/refused"
check "a refused login offers APP:GOTOLOGIN and APP:CLOSE" \
  bash -c "! grep -q TAGSUCCESS '$work/refused' && grep -q 'APP:GOTOLOGIN' '$work/refused' && grep -q 'APP:CLOSE' '$work/refused'"
check "the status page escapes the user name" \
  bash -c "curl -sf '$root/Status.asp?Success=true&UserName=%3Cb%3E&Password=update' | grep -q 'Signed in as &lt;b&gt;'"
check "the request log names method, path, query and status" \
  grep -qx 'GET /acme/editor/Status.asp?Success=true&UserName=%3Cb%3E&Password=\*\*\* 200' "$work/server.out"
check "the log shows the zipped file fetched" grep -qx 'GET /acme/editor/files/plugins/spell/words.zip 200' "$work/server.out"
check "a path outside the set is not found" \
  [ "$(curl -s --path-as-is -o /dev/null -w '%{http_code}' "$root/files/../../../etc/passwd")" = 404 ]

report_checks
echo "all checks passed"
