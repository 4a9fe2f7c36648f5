#!/usr/bin/env bash
# Runs every benchmark built in the given build directory. Those that
# bench/rows.txt does not name run first and print their own figures; then
# bench/table.py runs the commands of rows.txt and ends with the table of
# their rows. A benchmark that fails is reported and the others still run:
# `make bench` is a measurement, and fails for no missed aim.
set -uo pipefail
dir=${1:-build/bench}
here=$(dirname "$0")
rows=${QNMX_BENCH_ROWS:-$here/rows.txt}
# Whether rows.txt runs the program or script called $1.
rowed() { grep -qE "\{(build|bench)\}/(bench/)?$1( |$)" "$rows"; }
for b in "$dir"/bench/*_bench; do
  [ -x "$b" ] || continue
  name=$(basename "$b")
  # Benchmarks with outside peers run from their script, on the peers' data.
  [ -f "$here/${name%_bench}_peers.py" ] && continue
  rowed "$name" && continue
  echo "== $name"
  "$b" --benchmark_min_time=0.2 || echo "== $name failed (exit $?)"
done
for p in "$here"/*_peers.py; do
  [ -f "$p" ] || continue
  rowed "$(basename "$p")" && continue
  echo "== $(basename "$p")"
  python3 "$p" "$dir" || echo "== $(basename "$p") failed (exit $?)"
done
python3 "$here/table.py" "$dir"
