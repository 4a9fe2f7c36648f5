#!/usr/bin/env bash
# Installs the Debian packages that are missing for one use of the tree:
#   setup.sh        the build and the demo (and the examples)
#   setup.sh test   that, and the libraries and outside tools of the tests
#   setup.sh bench  that, and the benchmarks' library and peers
#   setup.sh fuzz   the build, and clang with its fuzzing runtime
# A service that comes with a package installed here (a web server, a
# proxy) is kept from starting, now and at boot: the tests and benchmarks
# start their own on ports of their own.
set -euo pipefail

mode="${1:-}"
build=(build-essential cmake ninja-build g++ pkg-config python3 ccache zlib1g-dev libjpeg62-turbo-dev)
# examples/demo.zu makes its picture with netpbm and compares with
# ImageMagick; the other examples use netpbm too.
demo=(netpbm imagemagick)
# What the tests compare with or talk to (time: the benchmark table's own
# test reads peak memory through it); the benchmarks use them as well.
peers=(procps libc-bin time giflib-tools proj-bin libjpeg-turbo-progs socat curl wget netcat-openbsd
       libxml2-utils units python3-numpy python3-scipy python3-icalendar gdal-bin tinyproxy)
tests=(libgtest-dev libgmock-dev)
bench=(libbenchmark-dev libsqlite3-dev sqlite3 guile-3.0 pigz wrk nginx-light)
# Packages that bring a service, and the service's name.
declare -A services=([tinyproxy]=tinyproxy [nginx-light]=nginx)

case "$mode" in
  "") packages=("${build[@]}" "${demo[@]}") ;;
  test) packages=("${build[@]}" "${demo[@]}" "${peers[@]}" "${tests[@]}") ;;
  bench) packages=("${build[@]}" "${demo[@]}" "${peers[@]}" "${bench[@]}") ;;
  fuzz) packages=("${build[@]}" clang libclang-rt-14-dev) ;;
  *) echo "setup.sh: unknown mode \"$mode\" (none, test, bench or fuzz)" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

# Another install (a fresh machine's own upgrades at boot, a second set-up)
# may hold the package lock: wait for it, 10 minutes at most. apt-get waits
# for the dpkg lock itself; the lock of its package lists it does not wait
# for, so a refusal naming a lock is tried again until the 10 minutes end.
apt_get() {
  local log rc end=$((SECONDS + 600))
  log=$(mktemp)
  while :; do
    set +e
    $sudo apt-get -o DPkg::Lock::Timeout=600 "$@" 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    set -e
    if [ "$rc" -eq 0 ] || ! grep -q "Could not get lock" "$log" || [ $SECONDS -ge $end ]; then break; fi
    echo "setup: another package install holds the lock; waiting for it"
    sleep 5
  done
  rm -f "$log"
  return "$rc"
}

# While the packages install, no service starts (policy-rc.d, when the
# machine has none of its own).
policy=/usr/sbin/policy-rc.d
own_policy=""
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\n# setup.sh: no service starts while it installs packages\nexit 101\n' | $sudo tee "$policy" >/dev/null
  $sudo chmod 755 "$policy"
  own_policy=1
fi
trap '[ -n "$own_policy" ] && $sudo rm -f "$policy"' EXIT

echo "setup: installing ${missing[*]}"
echo "setup: if another package install holds the lock, this waits for it (10 minutes at most)"
apt_get update -qq
apt_get install -y -qq --no-install-recommends "${missing[@]}"

# Services installed now stay off at boot, and one that started all the
# same (the machine had a policy of its own) is stopped.
for p in "${missing[@]}"; do
  svc="${services[$p]:-}"
  [ -n "$svc" ] || continue
  if command -v systemctl >/dev/null; then
    $sudo systemctl disable --now "$svc" >/dev/null 2>&1 || true
  fi
  if [ -x "/etc/init.d/$svc" ]; then
    $sudo update-rc.d "$svc" disable >/dev/null 2>&1 || true
    $sudo /etc/init.d/"$svc" stop >/dev/null 2>&1 || true
  fi
  echo "setup: the $svc service that came with $p is kept from starting"
done
