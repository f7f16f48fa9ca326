#!/usr/bin/env bash
# Installs every Debian package Halyard needs to build, test and run its demo.
# Idempotent: quiet and quick when everything is present. With --bench, also what bench/run.sh
# needs (a real web server and the chart).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libwxgtk3.2-dev libwxgtk-webview3.2-dev
  libcurl4-openssl-dev libzip-dev zlib1g-dev libglib2.0-dev libx11-dev libxres-dev libcli11-dev
  libcpp-httplib-dev
  libsodium-dev libssl-dev openssl
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  xvfb xdotool imagemagick
  zip unzip curl time
)
if [ "${1:-}" = "--bench" ]; then
  packages+=(nginx-light gnuplot-nox python3)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
