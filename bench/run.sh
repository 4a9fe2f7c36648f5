#!/usr/bin/env bash
# Runs every benchmark program built in the given build directory.
set -euo pipefail
dir=${1:-build/bench}
for b in "$dir"/bench/*_bench; do
  [ -x "$b" ] || continue
  # Benchmarks with outside peers run from their script, on the peers' data.
  [ -f "$(dirname "$0")/$(basename "$b" _bench)_peers.py" ] && continue
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.2
done
for p in "$(dirname "$0")"/*_peers.py; do
  [ -f "$p" ] || continue
  echo "== $(basename "$p")"
  python3 "$p" "$dir"
done
# Load and Save next to cp and wc -l (bench/load_save_bench.sh).
if [ -x "$dir/src/app/qnmx" ]; then
  echo "== load_save_bench.sh"
  bash "$(dirname "$0")/load_save_bench.sh" "$dir/src/app/qnmx"
fi
