#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the reference
# tools need; only packages that are missing are installed.
set -euo pipefail

packages=(
  build-essential cmake ninja-build g++ pkg-config python3 ccache
  zlib1g-dev libjpeg62-turbo-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev sqlite3 libc-bin
  procps time netpbm giflib-tools proj-bin libjpeg-turbo-progs imagemagick socat curl wget netcat-openbsd guile-3.0
  libxml2-utils units python3-numpy python3-scipy python3-icalendar gdal-bin pigz tinyproxy
  wrk nginx-light
)

# `setup.sh fuzz` also installs clang and its fuzzing runtime.
if [ "${1:-}" = "fuzz" ]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
