#!/usr/bin/env bash
# Runs every benchmark program built in the given build directory.
set -euo pipefail
dir=${1:-build/bench}
for b in "$dir"/bench/*_bench; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.2
done
